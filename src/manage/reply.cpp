#include "reply.hpp"

#include <utility>

#include "runtime/body.hpp"
#include "separator_scan.hpp"

namespace manage {

using namespace rt;

Status Reply::init() {
    parts_ = Owned::steal(PyList_New(0));
    CHECK(parts_);
    scratch_ = Owned::steal(PyList_New(0));
    CHECK(scratch_);
    return ok;
}

Status Reply::add(PyObject* chunk) {
    if (parts_ && PyUnicode_CheckExact(chunk)) {
        if (compat::unicode_ready(chunk) < 0) {
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

Status Reply::split(PyObject* splitter, Owned& sentences) {
    CHECK(materialize());
    LET(result, call(splitter, whole_.get(), start_pos_.get()));
    Owned position;
    CHECK(unpack_two(result.get(), position, sentences));
    start_pos_ = std::move(position);
    return ok;
}

Result<bool> Reply::has_rest() {
    if (parts_) {
        return tail_pos_ < length_;
    }
    const Py_ssize_t n = PyObject_Size(whole_.get());
    if (n < 0) {
        return failure;
    }
    LET(length, Owned::steal(PyLong_FromSsize_t(n)));
    const int less = PyObject_RichCompareBool(start_pos_.get(), length.get(), Py_LT);
    if (less < 0) {
        return failure;
    }
    return less != 0;
}

Owned Reply::rest() {
    if (parts_) {
        return span(tail_part_, tail_off_, PyList_GET_SIZE(parts_.get()), 0);
    }
    LET(slice, Owned::steal(PySlice_New(start_pos_.get(), nullptr, nullptr)));
    return Owned::steal(PyObject_GetItem(whole_.get(), slice.get()));
}

Owned Reply::whole() {
    CHECK(materialize());
    return Owned::ref(whole_.get());
}

// From the chunks to one object (and start_pos to an int object).
Status Reply::materialize() {
    if (!parts_) {
        return ok;
    }
    LET(position, Owned::steal(PyLong_FromSsize_t(tail_pos_)));
    LET(text, Owned::steal(PyUnicode_Join(process().empty_str, parts_.get())));
    parts_.reset();
    whole_ = std::move(text);
    start_pos_ = std::move(position);
    return ok;
}

// Back to chunks, when the reply is a str and start_pos an index into it
// (it may be anything after a subclass's _splitsen has run).
bool Reply::become_parts() {
    if (!PyUnicode_CheckExact(whole_.get()) || !PyLong_CheckExact(start_pos_.get()) ||
        compat::unicode_ready(whole_.get()) < 0) {
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
Owned Reply::span(Py_ssize_t a, Py_ssize_t a_off, Py_ssize_t b, Py_ssize_t b_off) {
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
    return Owned::steal(PyUnicode_Join(process().empty_str, scratch));
}

Status Reply::cut(const Separators& seps, Owned& sentences) {
    PyObject* parts = parts_.get();
    const Py_ssize_t n_parts = PyList_GET_SIZE(parts);
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
Status Reply::settle() {
    PyObject* parts = parts_.get();
    const Py_ssize_t count = tail_part_ - settled_;
    LET(run, Owned::steal(PyList_GetSlice(parts, settled_, tail_part_)));
    LET(block, Owned::steal(PyUnicode_Join(process().empty_str, run.get())));
    LET(one, Owned::steal(PyList_New(1)));
    PyList_SET_ITEM(one.get(), 0, block.release());
    CHECK(status(PyList_SetSlice(parts, settled_, tail_part_, one.get())));
    settled_ += 1;
    tail_part_ -= count - 1;
    scan_part_ -= count - 1;
    return ok;
}

}  // namespace manage
