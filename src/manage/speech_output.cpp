// Output: streamed text in, ordered speech out, through a TTS worker and a
// play worker.
//
// Threads: the host's thread builds the object, feeds it (_add_stream) and
// waits (_wait_all); "TTS-Worker" turns text into audio and "Play-Worker"
// plays it. The two queues are the only hand-over points. A worker blocked
// in a queue or in the host's model when the interpreter ends is a daemon
// thread: if it wakes during finalization it is ended by pthread_exit, whose
// forced unwind runs through these bodies without the GIL. So nothing here
// catches it, nothing that calls into Python is noexcept, and the only
// destructors that run are those of Owned handles and what holds them (which
// leak while the interpreter is finalizing) and of Separators (raw memory,
// no Python objects).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <type_traits>
#include <utility>

#include "classes.hpp"
#include "runtime/body.hpp"
#include "runtime/function.hpp"

namespace {

using namespace rt;

const Constant tts_model_name{"tts_model"}, output_queue_name{"output_queue"},
    play_queue_name{"play_queue"}, tts_thread_name{"tts_thread"},
    play_thread_name{"play_thread"}, Queue_name{"Queue"}, Thread_name{"Thread"},
    start_name{"start"}, _init_threads_name{"_init_threads"}, _tts_worker_name{"_tts_worker"},
    _play_worker_name{"_play_worker"}, _splitsen_name{"_splitsen"}, get_name{"get"},
    put_name{"put"}, task_done_name{"task_done"}, join_name{"join"}, strip_name{"strip"},
    ort_predict_name{"ort_predict"}, play_audio_name{"play_audio"},
    tts_worker_thread{"TTS-Worker"}, play_worker_thread{"Play-Worker"}, tts_tag{"[TTS] "},
    llm_tag{"[LLM] "},
    // "[LLM] Stream text" and U+FF1A FULLWIDTH COLON, nothing after it
    stream_text_label{"[LLM] Stream text\xEF\xBC\x9A"};

const Constant kw_thread{[] { return Py_BuildValue("(sss)", "target", "daemon", "name"); }};
const Constant kw_block{[] { return Py_BuildValue("(s)", "block"); }};

// ---------------------------------------------------------------- helpers

// f"{value}": a str as it is, anything else through its __format__.
Owned formatted(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        return Owned::ref(value);
    }
    return Owned::steal(PyObject_Format(value, nullptr));
}

// tag + f"{value}"
Owned tagged(const Constant& tag, PyObject* value) {
    LET(text, formatted(value));
    return Owned::steal(PyUnicode_Concat(tag.get(), text.get()));
}

// print(tag + str(e), flush=True): the failure line of a worker or of the intake.
Status print_failure(const Constant* tag, PyObject* e) {
    LET(message, Owned::steal(PyObject_Str(e)));
    if (tag == nullptr) {
        return print(message.get(), true);
    }
    LET(line, Owned::steal(PyUnicode_Concat(tag->get(), message.get())));
    return print(line.get(), true);
}

// self.<queue>.<method>(args...)
template <typename... Args>
Owned queue_call(PyObject* self, const Constant& queue_attr, const Constant& method,
                 Args... args) {
    LET(queue, getattr(self, queue_attr));
    return call_method(queue.get(), method, args...);
}

// self.<queue>.get(block=True): waits without a time limit, GIL released.
Owned queue_get(PyObject* self, const Constant& queue_attr) {
    LET(queue, getattr(self, queue_attr));
    return call_method_kw(queue.get(), get_name, kw_block, Py_True);
}

// ---------------------------------------------------------------- separators

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

    // Takes the characters of a ready str; false with MemoryError set.
    bool assign(PyObject* sep) {
        return assign(PyUnicode_KIND(sep), PyUnicode_DATA(sep), PyUnicode_GET_LENGTH(sep));
    }

    // Takes n characters of the given storage kind.
    bool assign(int kind, const void* data, Py_ssize_t n) {
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
                return false;
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
        return true;
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

// The default set "，。,.!?": U+FF0C FULLWIDTH COMMA, U+3002 IDEOGRAPHIC FULL
// STOP, then ",.!?".
constexpr Py_UCS2 kDefaultSeparators[] = {0xFF0C, 0x3002, ',', '.', '!', '?'};

// Built once: every call of _add_stream cuts with it. Plain memory, never freed.
const Separators& default_separators() {
    static const Separators* table = [] {
        auto* t = new Separators();
        // Six characters take no memory of their own, so this cannot fail.
        (void)t->assign(PyUnicode_2BYTE_KIND, kDefaultSeparators, std::size(kDefaultSeparators));
        return t;
    }();
    return *table;
}

bool is_default_separators(PyObject* sep) {
    return PyUnicode_GET_LENGTH(sep) == std::size(kDefaultSeparators) &&
           PyUnicode_KIND(sep) == PyUnicode_2BYTE_KIND &&
           std::memcmp(PyUnicode_DATA(sep), kDefaultSeparators, sizeof(kDefaultSeparators)) == 0;
}

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

// ---------------------------------------------------------------- construction

Owned Output___init__(Here& here, PyObject* self, PyObject* tts_model) {
    LINE(199);
    CHECK(setattr(self, tts_model_name, tts_model));
    for (const auto& [line, attribute] : {std::pair<int, const Constant*>{200, &output_queue_name},
                                          std::pair<int, const Constant*>{201, &play_queue_name}}) {
        LINE(line);
        LET(queue_module, global(here, g::queue));
        LET(queue_type, getattr(queue_module.get(), Queue_name));
        LET(queue, call(queue_type.get()));
        CHECK(setattr(self, *attribute, queue.get()));
    }
    LINE(202);
    CHECK(setattr(self, tts_thread_name, Py_None));
    LINE(203);
    CHECK(setattr(self, play_thread_name, Py_None));
    LINE(204);
    CHECK(call_method(self, _init_threads_name));
    return Owned::ref(Py_None);
}

// self.<attribute> = threading.Thread(target=self.<worker>, daemon=True, name=<name>)
Status make_worker(Here& here, PyObject* self, int line, const Constant& attribute,
                   const Constant& worker, const Constant& name) {
    LINE(line);
    LET(threading, global(here, g::threading));
    LET(thread_type, getattr(threading.get(), Thread_name));
    LINE(line + 1);
    LET(target, getattr(self, worker));
    LINE(line);
    LET(thread, call_kw(thread_type.get(), kw_thread, target.get(), Py_True, name.get()));
    return setattr(self, attribute, thread.get());
}

Owned Output__init_threads(Here& here, PyObject* self) {
    // Both threads exist before either starts; the TTS worker starts first.
    CHECK(make_worker(here, self, 207, tts_thread_name, _tts_worker_name, tts_worker_thread));
    CHECK(make_worker(here, self, 212, play_thread_name, _play_worker_name, play_worker_thread));
    LINE(217);
    {
        LET(thread, getattr(self, tts_thread_name));
        CHECK(call_method(thread.get(), start_name));
    }
    LINE(218);
    {
        LET(thread, getattr(self, play_thread_name));
        CHECK(call_method(thread.get(), start_name));
    }
    return Owned::ref(Py_None);
}

// ---------------------------------------------------------------- cutting

// The pieces of text[start:] that end in a separator, sliced straight from
// the str's storage in one pass; `last_pos` becomes the index after the last
// separator (or stays `start`).
Owned cut_pieces(Here& here, PyObject* text, Py_ssize_t start, const Separators& seps,
                 Py_ssize_t& last_pos) {
    LINE(226);
    LET(sentences, Owned::steal(PyList_New(0)));
    LINE(230);
    last_pos = start;
    CHECK(each_separator(text, start, seps, [&](Py_ssize_t i) -> Status {
        LET(piece, Owned::steal(PyUnicode_Substring(text, last_pos, i + 1)));
        CHECK(status(PyList_Append(sentences.get(), piece.get())));
        last_pos = i + 1;
        return ok;
    }));
    return sentences;
}

// Runs no Python code of its own (allocation may run the garbage collector,
// but a str is immutable), so the scan reads the str's storage directly.
Owned Output__splitsen(Here& here, PyObject* text, PyObject* start, PyObject* sep) {
    LINE(222);
    if (PyUnicode_READY(text) < 0) {
        return failure;
    }
    const Py_ssize_t text_len = PyUnicode_GET_LENGTH(text);
    LINE(223);
    static_assert(sizeof(long long) >= sizeof(Py_ssize_t), "a start that fits must fit here");
    int overflow = 0;
    const long long start_value = PyLong_AsLongLongAndOverflow(start, &overflow);
    if (start_value == -1 && overflow == 0 && PyErr_Occurred()) {
        return failure;
    }
    if (overflow > 0 || (overflow == 0 && start_value >= text_len)) {
        LINE(224);
        LET(empty, Owned::steal(PyList_New(0)));
        return Owned::steal(PyTuple_Pack(2, start, empty.get()));
    }
    // A negative start would index from the end of the text; nothing inside
    // the module passes one, so it is refused rather than given a meaning.
    LINE(228);
    if (overflow < 0 || start_value < 0) {
        PyErr_Format(PyExc_ValueError, "_splitsen() start must not be negative, got %S", start);
        return failure;
    }
    const Py_ssize_t first = static_cast<Py_ssize_t>(start_value);
    if (PyUnicode_READY(sep) < 0) {
        return failure;
    }
    Separators own_set;
    const Separators* seps = &default_separators();
    if (!is_default_separators(sep)) {
        CHECK(own_set.assign(sep));
        seps = &own_set;
    }
    Py_ssize_t last_pos = first;
    LET(sentences, cut_pieces(here, text, first, *seps, last_pos));
    LINE(232);
    LET(position, last_pos == first ? Owned::ref(start)
                                    : Owned::steal(PyLong_FromSsize_t(last_pos)));
    return Owned::steal(PyTuple_Pack(2, position.get(), sentences.get()));
}

// ---------------------------------------------------------------- workers

// May run arbitrary Python code: the host's model, the queues, print.
Owned Output__tts_worker(Here& here, PyObject* self) {
    for (;;) {  // 235
        Status pass = try_finally(
            here,
            [&]() -> Status {
                return try_except(
                    here, g::Exception, 246,
                    [&]() -> Status {
                        LINE(237);
                        LET(item, queue_get(self, output_queue_name));
                        Owned index, text;
                        CHECK(unpack_two(item.get(), index, text));
                        LINE(238);
                        {
                            LET(stripped, call_method(text.get(), strip_name));
                            const int has_text = truth(stripped.get());
                            CHECK(has_text >= 0);
                            if (has_text == 0) {
                                return ok;  // nothing to say: only marked done
                            }
                        }
                        LINE(242);
                        LET(model, getattr(self, tts_model_name));
                        LET(audio_data, call_method(model.get(), ort_predict_name, text.get()));
                        // The audio is queued before the item is marked done,
                        // so _wait_all's first join cannot return while a
                        // piece is neither in play_queue nor finished.
                        LINE(243);
                        CHECK(queue_call(self, play_queue_name, put_name, audio_data.get()));
                        LINE(244);
                        LET(line, tagged(tts_tag, text.get()));
                        CHECK(print(line.get(), true));
                        return ok;
                    },
                    [&](PyObject* e) -> Status {
                        LINE(247);
                        return print_failure(&tts_tag, e);
                    });
            },
            [&]() -> Status {
                LINE(249);
                CHECK(queue_call(self, output_queue_name, task_done_name));
                return ok;
            });
        CHECK(pass);
    }
}

// May run arbitrary Python code; blocks for the length of every piece.
Owned Output__play_worker(Here& here, PyObject* self) {
    LINE(252);
    LET(player_class, global(here, g::AudioPlayer));
    LET(audio_player, call(player_class.get()));
    for (;;) {  // 253
        Status pass = try_finally(
            here,
            [&]() -> Status {
                return try_except(
                    here, g::Exception, 258,
                    [&]() -> Status {
                        LINE(255);
                        LET(audio_data, queue_get(self, play_queue_name));
                        LINE(256);
                        CHECK(call_method(audio_player.get(), play_audio_name, audio_data.get()));
                        return ok;
                    },
                    [&](PyObject* e) -> Status {
                        LINE(259);
                        return print_failure(nullptr, e);
                    });
            },
            [&]() -> Status {
                LINE(261);
                CHECK(queue_call(self, play_queue_name, task_done_name));
                return ok;
            });
        CHECK(pass);
    }
}

// ---------------------------------------------------------------- intake

// Whether `splitter` is this module's own _splitsen, whatever function
// object carries it: then calling it is unobservable and the intake may cut
// the new text itself.
bool is_native_splitsen(PyObject* splitter);

// The reply as `_add_stream` accumulates it. Python's `full_response +=
// chunk` followed by a scan from start_pos would copy the whole reply for
// every chunk; here, while `self._splitsen` is this module's own, the reply
// is kept as its chunks (exact str), only the new chunk is scanned, and a
// piece is made from the chunks it spans. So a reply of n characters costs
// O(n) however small its chunks. When anything else must see the reply (a
// subclass's _splitsen, a chunk that is not a str and whose addition may do
// anything), it is joined into one object and handled exactly as the
// Python statements do, growing in place while nothing else refers to it.
class Reply {
public:
    Reply() = default;
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;

    Status init() {
        parts_ = Owned::steal(PyList_New(0));
        CHECK(parts_);
        scratch_ = Owned::steal(PyList_New(0));
        CHECK(scratch_);
        return ok;
    }

    // full_response += chunk_text
    Status add(PyObject* chunk) {
        if (parts_ && PyUnicode_CheckExact(chunk)) {
            if (PyUnicode_READY(chunk) < 0) {
                return failure;
            }
            CHECK(status(PyList_Append(parts_.get(), chunk)));
            length_ += PyUnicode_GET_LENGTH(chunk);
            return ok;
        }
        CHECK(materialize());
        if (PyUnicode_CheckExact(whole_.get()) && PyUnicode_CheckExact(chunk)) {
            // In place when the reply is referred to only from here, as the
            // interpreter does for `s += t` on a local.
            PyObject* left = whole_.release();
            PyUnicode_Append(&left, chunk);
            whole_ = Owned::steal(left);
            return whole_ ? ok : Status(failure);
        }
        LET(sum, Owned::steal(PyNumber_InPlaceAdd(whole_.get(), chunk)));
        whole_ = std::move(sum);
        return ok;
    }

    // start_pos, sentences = splitter(full_response, start_pos); the pieces
    // go to `sentences` (a new list, whatever the splitter returned, or null
    // when the module's own rule cut nothing).
    Status split(PyObject* splitter, Owned& sentences) {
        if (is_native_splitsen(splitter) && (parts_ || become_parts())) {
            return cut_new_text(sentences);
        }
        CHECK(materialize());
        LET(result, call(splitter, whole_.get(), start_pos_.get()));
        Owned position;
        CHECK(unpack_two(result.get(), position, sentences));
        start_pos_ = std::move(position);
        return ok;
    }

    // start_pos < len(full_response): 1, 0 or -1 with an exception set.
    int has_rest() {
        if (parts_) {
            return tail_pos_ < length_;
        }
        const Py_ssize_t n = PyObject_Size(whole_.get());
        if (n < 0) {
            return -1;
        }
        Owned length = Owned::steal(PyLong_FromSsize_t(n));
        if (!length) {
            return -1;
        }
        return PyObject_RichCompareBool(start_pos_.get(), length.get(), Py_LT);
    }

    // full_response[start_pos:]
    Owned rest() {
        if (parts_) {
            return span(tail_part_, tail_off_, PyList_GET_SIZE(parts_.get()), 0);
        }
        LET(slice, Owned::steal(PySlice_New(start_pos_.get(), nullptr, nullptr)));
        return Owned::steal(PyObject_GetItem(whole_.get(), slice.get()));
    }

    // full_response
    Owned whole() {
        CHECK(materialize());
        return Owned::ref(whole_.get());
    }

private:
    // From the chunks to one object (and start_pos to an int object).
    Status materialize() {
        if (!parts_) {
            return ok;
        }
        LET(position, Owned::steal(PyLong_FromSsize_t(tail_pos_)));
        LET(text, Owned::steal(PyUnicode_Join(empty_str(), parts_.get())));
        parts_.reset();
        whole_ = std::move(text);
        start_pos_ = std::move(position);
        return ok;
    }

    // Back to chunks, when the reply is a str and start_pos an index into it
    // (it may be anything after a subclass's _splitsen has run).
    bool become_parts() {
        if (!PyUnicode_CheckExact(whole_.get()) || !PyLong_CheckExact(start_pos_.get()) ||
            PyUnicode_READY(whole_.get()) < 0) {
            PyErr_Clear();
            return false;
        }
        const Py_ssize_t start = PyLong_AsSsize_t(start_pos_.get());
        const Py_ssize_t n = PyUnicode_GET_LENGTH(whole_.get());
        if (start < 0 || start > n) {
            PyErr_Clear();
            return false;
        }
        Owned parts = Owned::steal(PyList_New(1));
        if (!parts) {
            PyErr_Clear();
            return false;
        }
        PyList_SET_ITEM(parts.get(), 0, whole_.release());
        parts_ = std::move(parts);
        start_pos_.reset();
        length_ = n;
        tail_part_ = scan_part_ = settled_ = 0;
        tail_off_ = scan_off_ = tail_pos_ = start;
        scan_base_ = 0;
        return true;
    }

    // The text from (part a, offset a_off) up to (part b, offset b_off), as
    // one new str.
    Owned span(Py_ssize_t a, Py_ssize_t a_off, Py_ssize_t b, Py_ssize_t b_off) {
        PyObject* parts = parts_.get();
        if (a == b) {
            return Owned::steal(PyUnicode_Substring(PyList_GET_ITEM(parts, a), a_off, b_off));
        }
        PyObject* scratch = scratch_.get();
        CHECK(status(PyList_SetSlice(scratch, 0, PyList_GET_SIZE(scratch), nullptr)));
        {
            LET(head, Owned::steal(PyUnicode_Substring(PyList_GET_ITEM(parts, a), a_off,
                                                       PY_SSIZE_T_MAX)));
            CHECK(status(PyList_Append(scratch, head.get())));
        }
        for (Py_ssize_t p = a + 1; p < b; ++p) {
            CHECK(status(PyList_Append(scratch, PyList_GET_ITEM(parts, p))));
        }
        if (b < PyList_GET_SIZE(parts) && b_off > 0) {
            LET(tail, Owned::steal(PyUnicode_Substring(PyList_GET_ITEM(parts, b), 0, b_off)));
            CHECK(status(PyList_Append(scratch, tail.get())));
        }
        return Owned::steal(PyUnicode_Join(empty_str(), scratch));
    }

    // Cuts what arrived since the last scan with the default separators, as
    // _splitsen(full_response, start_pos) would.
    // `sentences` stays null when nothing was cut, as it is for most chunks.
    Status cut_new_text(Owned& sentences) {
        PyObject* parts = parts_.get();
        const Py_ssize_t n_parts = PyList_GET_SIZE(parts);
        const Separators& seps = default_separators();
        for (Py_ssize_t p = scan_part_; p < n_parts; ++p) {
            PyObject* part = PyList_GET_ITEM(parts, p);
            const Py_ssize_t from = p == scan_part_ ? scan_off_ : 0;
            CHECK(each_separator(part, from, seps, [&](Py_ssize_t i) -> Status {
                LET(piece, span(tail_part_, tail_off_, p, i + 1));
                if (!sentences) {
                    sentences = Owned::steal(PyList_New(0));
                    CHECK(sentences);
                }
                CHECK(status(PyList_Append(sentences.get(), piece.get())));
                tail_part_ = p;
                tail_off_ = i + 1;
                tail_pos_ = scan_base_ + i + 1;
                return ok;
            }));
            scan_base_ += PyUnicode_GET_LENGTH(part);
        }
        scan_part_ = n_parts;
        scan_off_ = 0;
        if (tail_part_ - settled_ >= kSettle) {
            CHECK(settle());
        }
        return ok;
    }

    // Joins the chunks that lie wholly before the uncut text into one str,
    // so that a long reply holds a few large strs instead of a chunk object
    // for every few characters. Each character is copied once by this, so
    // the intake stays linear. (The uncut text itself stays as its chunks: a
    // reply with no separator at all keeps every chunk until its end.)
    Status settle() {
        PyObject* parts = parts_.get();
        const Py_ssize_t count = tail_part_ - settled_;
        LET(run, Owned::steal(PyList_GetSlice(parts, settled_, tail_part_)));
        LET(block, Owned::steal(PyUnicode_Join(empty_str(), run.get())));
        LET(one, Owned::steal(PyList_New(1)));
        PyList_SET_ITEM(one.get(), 0, block.release());
        CHECK(status(PyList_SetSlice(parts, settled_, tail_part_, one.get())));
        settled_ += 1;
        tail_part_ -= count - 1;
        scan_part_ -= count - 1;
        return ok;
    }

    PyObject* empty_str() const { return process().empty_str; }

    // Chunks: the reply is "".join(parts_).
    Owned parts_;
    Owned scratch_;            // the segments of one piece, reused
    Py_ssize_t length_ = 0;    // len(full_response)
    Py_ssize_t tail_part_ = 0, tail_off_ = 0;  // where the uncut text begins
    Py_ssize_t tail_pos_ = 0;                  // start_pos
    Py_ssize_t scan_part_ = 0, scan_off_ = 0;  // where the unscanned text begins
    Py_ssize_t scan_base_ = 0;                 // len of the parts before scan_part_
    Py_ssize_t settled_ = 0;                   // parts before this one are joined blocks
    static constexpr Py_ssize_t kSettle = 512;
    // One object: the reply as `+=` made it, and start_pos as returned.
    Owned whole_;
    Owned start_pos_;
};

// May run arbitrary Python code: the stream, a subclass's _splitsen, the
// queue, print.
Owned Output__add_stream(Here& here, PyObject* self, PyObject* llm_stream) {
    LINE(264);
    Reply full_response;
    CHECK(full_response.init());
    Py_ssize_t sentence_index = 0;  // 266

    // self.output_queue.put((sentence_index, sentence))
    auto enqueue = [&](PyObject* sentence) -> Status {
        LET(index, Owned::steal(PyLong_FromSsize_t(sentence_index)));
        LET(item, Owned::steal(PyTuple_Pack(2, index.get(), sentence)));
        CHECK(queue_call(self, output_queue_name, put_name, item.get()));
        return ok;
    };

    Status handled = try_except(
        here, g::Exception, 284,
        [&]() -> Status {
            LINE(269);
            LET(chunks, Owned::steal(PyObject_GetIter(llm_stream)));
            for (;;) {
                LINE(269);
                Owned chunk_text = Owned::steal(PyIter_Next(chunks.get()));
                if (!chunk_text) {
                    if (PyErr_Occurred()) {
                        return failure;
                    }
                    break;
                }
                LINE(270);
                CHECK(full_response.add(chunk_text.get()));
                LINE(271);
                Owned sentences;
                {
                    LET(splitter, getattr(self, _splitsen_name));
                    CHECK(full_response.split(splitter.get(), sentences));
                }
                if (!sentences) {
                    continue;
                }
                LINE(272);
                LET(pieces, Owned::steal(PyObject_GetIter(sentences.get())));
                for (;;) {
                    LINE(272);
                    Owned sentence = Owned::steal(PyIter_Next(pieces.get()));
                    if (!sentence) {
                        if (PyErr_Occurred()) {
                            return failure;
                        }
                        break;
                    }
                    LINE(273);
                    ++sentence_index;
                    LINE(274);
                    CHECK(enqueue(sentence.get()));
                }
            }
            LINE(276);
            const int has_rest = full_response.has_rest();
            CHECK(has_rest >= 0);
            if (has_rest) {
                LINE(277);
                ++sentence_index;
                LINE(278);
                LET(rest, full_response.rest());
                LET(remaining_text, call_method(rest.get(), strip_name));
                LINE(279);
                const int non_empty = truth(remaining_text.get());
                CHECK(non_empty >= 0);
                if (non_empty) {
                    LINE(280);
                    CHECK(enqueue(remaining_text.get()));
                }
            }
            LINE(282);
            LET(whole, full_response.whole());
            LET(line, tagged(stream_text_label, whole.get()));
            CHECK(print(line.get(), true));
            return ok;
        },
        [&](PyObject* e) -> Status {
            LINE(285);
            return print_failure(&llm_tag, e);
        });
    CHECK(handled);
    return Owned::ref(Py_None);
}

// ---------------------------------------------------------------- waiting

Owned Output__wait_all(Here& here, PyObject* self) {
    LINE(288);
    CHECK(queue_call(self, output_queue_name, join_name));
    LINE(289);
    CHECK(queue_call(self, play_queue_name, join_name));
    return Owned::ref(Py_None);
}

bool is_native_splitsen(PyObject* splitter) {
    return Py_TYPE(splitter) == process().function_type &&
           reinterpret_cast<FunctionObject*>(splitter)->method->spec.body ==
               &detail::adapt<Output__splitsen>;
}

}  // namespace

namespace manage {

const ClassSpec Output_class{
    "Output", 197,
    {
        method<Output___init__>("__init__", 198, {self_param, param("tts_model")}),
        method<Output__init_threads>("_init_threads", 206, {self_param}).returns("None"),
        method<Output__splitsen>("_splitsen", 220,
                                 {param("text").exactly(Exact::str).annotated("str"),
                                  param("start").exactly(Exact::int_).annotated("int"),
                                  param("sep").exactly(Exact::str).annotated("str")
                                      .defaults_to("\xEF\xBC\x8C\xE3\x80\x82,.!?")})
            .returns("tuple[int, List[str]]")
            .locals({"text_len", "sentences", "last_pos", "i"})
            .static_method(),
        method<Output__tts_worker>("_tts_worker", 234, {self_param})
            .returns("None")
            .locals({"index", "text", "audio_data", "e"}),
        method<Output__play_worker>("_play_worker", 251, {self_param})
            .returns("None")
            .locals({"audio_player", "audio_data", "e"}),
        method<Output__add_stream>("_add_stream", 263,
                                   {self_param,
                                    param("llm_stream").annotated("Generator[str, None, None]")})
            .returns("None")
            .locals({"full_response", "start_pos", "sentence_index", "chunk_text", "sentences",
                     "sentence", "remaining_text", "e"}),
        method<Output__wait_all>("_wait_all", 287, {self_param}).returns("None"),
    },
    {"tts_model", "output_queue", "play_queue", "tts_thread", "play_thread"},
};

}  // namespace manage
