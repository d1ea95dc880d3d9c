// The separator scanner: finds the characters that close a piece of text
// in a str's own storage, for Output's sentence cutting (_splitsen and the
// stream intake). Knows nothing of Output; it reads storage and calls back.
//
// Raw memory only, no Python objects: safe in the forced unwind that ends a
// daemon thread at interpreter exit, which runs without the GIL.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "runtime/failure.hpp"

namespace manage {

using rt::ok;
using rt::Status;

// The set of characters that close a piece, for scanning a str's own
// storage. Code points below 256 (every ASCII separator) are a table look-up;
// wider ones (the full-width comma and the ideographic full stop of the
// default set) pass a 64-bit filter first, so most characters of a CJK text
// cost one shift and one test. A set of at most kFew distinct characters
// (the default one has six) is also kept as a list, for the block scan.
class Separators {
public:
    static constexpr int kFew = 8;

    Separators() = default;
    Separators(const Separators&) = delete;
    Separators& operator=(const Separators&) = delete;
    // Raw memory only, so it is safe in a forced unwind without the GIL.
    ~Separators() { PyMem_RawFree(sorted_); }

    // Takes the characters of a ready str; fails with MemoryError.
    Status assign(PyObject* sep) {
        return assign(PyUnicode_KIND(sep), PyUnicode_DATA(sep), PyUnicode_GET_LENGTH(sep));
    }

    // Takes n characters of the given storage kind.
    Status assign(int kind, const void* data, Py_ssize_t n) {
        Py_ssize_t n_high = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c < 256) {
                low_[c] = true;
            } else {
                high_mask_ |= uint64_t{1} << (c & 63);
                ++n_high;
            }
            note_distinct(c);
        }
        if (n_high > kInline) {
            sorted_ = static_cast<Py_UCS4*>(PyMem_RawMalloc(sizeof(Py_UCS4) * n_high));
            if (sorted_ == nullptr) {
                PyErr_NoMemory();
                return rt::failure;
            }
        }
        Py_UCS4* high = sorted_ != nullptr ? sorted_ : inline_;
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c >= 256) {
                high[n_high_++] = c;
            }
        }
        if (sorted_ != nullptr) {
            std::sort(sorted_, sorted_ + n_high_);
        }
        return ok;
    }

    bool contains(Py_UCS4 c) const {
        if (c < 256) {
            return low_[c];
        }
        if (((high_mask_ >> (c & 63)) & 1) == 0) {
            return false;
        }
        if (sorted_ != nullptr) {
            return std::binary_search(sorted_, sorted_ + n_high_, c);
        }
        for (Py_ssize_t i = 0; i < n_high_; ++i) {
            if (inline_[i] == c) {
                return true;
            }
        }
        return false;
    }

    // The index of the first separator in s[i:n], or n, one character at a time.
    template <typename Char>
    Py_ssize_t find_each(const Char* s, Py_ssize_t i, Py_ssize_t n) const {
        if constexpr (sizeof(Char) == 1) {
            while (i < n && !low_[s[i]]) {
                ++i;
            }
        } else {
            while (i < n && !contains(s[i])) {
                ++i;
            }
        }
        return i;
    }

    // The distinct characters, when there are at most kFew of them.
    bool few() const { return n_few_ <= kFew; }
    int n_few() const { return n_few_; }
    Py_UCS4 few(int k) const { return few_[k]; }

private:
    void note_distinct(Py_UCS4 c) {
        if (n_few_ > kFew) {
            return;
        }
        for (int k = 0; k < n_few_; ++k) {
            if (few_[k] == c) {
                return;
            }
        }
        if (n_few_ < kFew) {
            few_[n_few_] = c;
        }
        ++n_few_;
    }

    static constexpr Py_ssize_t kInline = 8;
    bool low_[256] = {};
    uint64_t high_mask_ = 0;
    Py_UCS4 inline_[kInline] = {};
    Py_UCS4* sorted_ = nullptr;
    Py_ssize_t n_high_ = 0;
    Py_UCS4 few_[kFew] = {};
    int n_few_ = 0;
};

// 16 characters' storage at a time, as the compiler's portable vector type
// (SSE2 on x86-64, NEON on ARM).
typedef uint8_t Lanes8 __attribute__((vector_size(16)));
typedef uint16_t Lanes16 __attribute__((vector_size(16)));
typedef uint32_t Lanes32 __attribute__((vector_size(16)));
template <typename Char>
struct LanesOf;
template <>
struct LanesOf<Py_UCS1> {
    using type = Lanes8;
};
template <>
struct LanesOf<Py_UCS2> {
    using type = Lanes16;
};
template <>
struct LanesOf<Py_UCS4> {
    using type = Lanes32;
};

// Finds separators in storage of one width. With a small set it compares 16
// bytes at a time against each separator that this width can hold; a block
// without one is passed over whole (separators are tens of characters apart
// in text), and in a block with some, each is taken from the comparison's
// bits, so no character is looked at twice.
template <typename Char>
class Scanner {
    using Lanes = typename LanesOf<Char>::type;
    static constexpr Py_ssize_t kLanes = sizeof(Lanes) / sizeof(Char);
    static constexpr int kLaneBits = 8 * sizeof(Char);
    // The lowest bit of every lane of a 64-bit word.
    static constexpr uint64_t kLaneLow = ~uint64_t{0} / ((uint64_t{1} << (kLaneBits - 1) << 1) - 1);

public:
    explicit Scanner(const Separators& seps) : seps_(seps), blocks_(seps.few()) {
        if (!blocks_) {
            return;
        }
        for (int k = 0; k < seps.n_few(); ++k) {
            const Py_UCS4 c = seps.few(k);
            if (c <= static_cast<Py_UCS4>(std::numeric_limits<Char>::max())) {
                for (Py_ssize_t j = 0; j < kLanes; ++j) {
                    splat_[n_][j] = static_cast<Char>(c);
                }
                ++n_;
            }
        }
    }

    // Calls at(i) for every separator s[i] with from <= i < n, in order;
    // stops at the first failure of at() and returns it.
    template <typename At>
    Status each(const Char* s, Py_ssize_t from, Py_ssize_t n, At&& at) const {
        Py_ssize_t i = from;
        if (blocks_) {
            // The number of separators as a constant, so that the
            // comparisons unroll and the separators stay in registers.
            switch (n_) {
                case 0:
                    return ok;  // no separator fits in this width
                case 1: CHECK(blocks<1>(s, i, n, at)); break;
                case 2: CHECK(blocks<2>(s, i, n, at)); break;
                case 3: CHECK(blocks<3>(s, i, n, at)); break;
                case 4: CHECK(blocks<4>(s, i, n, at)); break;
                case 5: CHECK(blocks<5>(s, i, n, at)); break;
                case 6: CHECK(blocks<6>(s, i, n, at)); break;
                case 7: CHECK(blocks<7>(s, i, n, at)); break;
                default: CHECK(blocks<8>(s, i, n, at)); break;
            }
        }
        for (i = seps_.find_each(s, i, n); i < n; i = seps_.find_each(s, i + 1, n)) {
            CHECK(at(i));
        }
        return ok;
    }

private:
    // The whole blocks from i on; leaves i at the first character not scanned.
    template <int N, typename At>
    Status blocks(const Char* s, Py_ssize_t& i, Py_ssize_t n, At& at) const {
        static_assert(N <= Separators::kFew, "more separators than kept");
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        Lanes splat[N];
        for (int k = 0; k < N; ++k) {
            splat[k] = splat_[k];
        }
        for (; n - i >= kLanes; i += kLanes) {
            Lanes block;
            std::memcpy(&block, s + i, sizeof block);
            auto hit = block == splat[0];
            for (int k = 1; k < N; ++k) {
                hit |= block == splat[k];
            }
            uint64_t words[2];
            std::memcpy(words, &hit, sizeof words);
            if ((words[0] | words[1]) == 0) {
                continue;
            }
            for (int w = 0; w < 2; ++w) {
                // Lanes in address order from the lowest bit up.
                for (uint64_t bits = words[w] & kLaneLow; bits != 0; bits &= bits - 1) {
                    CHECK(at(i + w * (kLanes / 2) + __builtin_ctzll(bits) / kLaneBits));
                }
            }
        }
#else
        (void)s, (void)n, (void)at;
#endif
        return ok;
    }

    const Separators& seps_;
    const bool blocks_;
    Lanes splat_[Separators::kFew] = {};
    int n_ = 0;
};

// The default set "，。,.!?", built once and never freed: every call of
// _add_stream cuts with it.
const Separators& default_separators();

// Whether `sep` (a ready str) is the default set.
bool is_default_separators(PyObject* sep);

// Visits every separator of `text` in [from, n) in order: at(i) for each,
// stopping early (with its failure) when at() fails.
template <typename At>
Status each_separator(PyObject* text, Py_ssize_t from, const Separators& seps, At&& at) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    auto scan = [&](const auto* s) -> Status {
        const Scanner<std::remove_const_t<std::remove_pointer_t<decltype(s)>>> scanner(seps);
        return scanner.each(s, from, n, at);
    };
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return scan(PyUnicode_1BYTE_DATA(text));
        case PyUnicode_2BYTE_KIND:
            return scan(PyUnicode_2BYTE_DATA(text));
        default:
            return scan(PyUnicode_4BYTE_DATA(text));
    }
}
}  // namespace manage
