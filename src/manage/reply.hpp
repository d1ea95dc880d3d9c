// The reply as `_add_stream` accumulates it: a rope of the chunks.
//
// Python's `full_response += chunk` followed by a scan from start_pos would
// copy the whole reply for every chunk; here, while the module's own rule
// does the cutting, the reply is kept as its chunks (exact str), only the
// new chunk is scanned, and a piece is made from the chunks it spans. So a
// reply of n characters costs O(n) however small its chunks. When anything
// else must see the reply (a subclass's _splitsen, a chunk that is not a str
// and whose addition may do anything), it is joined into one object and
// handled exactly as the Python statements do, growing in place while
// nothing else refers to it.
//
// The caller decides which rule cuts: `cut()` is the module's own, `split()`
// calls whatever splitter it is given. Every member may run arbitrary
// Python code unless it says otherwise.
#pragma once

#include <Python.h>

#include "runtime/ref.hpp"

namespace manage {

class Separators;

class Reply {
public:
    Reply() = default;
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;

    rt::Status init();

    // full_response += chunk_text
    rt::Status add(PyObject* chunk);

    // Whether the reply is (or can be made again) its chunks, with start_pos
    // an index into it, so that cut() may run. Runs no Python code.
    bool as_chunks() { return parts_ || become_parts(); }

    // start_pos, sentences = _splitsen(full_response, start_pos) with the
    // separators `seps`, scanning only what arrived since the last cut;
    // only after as_chunks(). `sentences` stays null when nothing was cut,
    // as it is for most chunks.
    rt::Status cut(const Separators& seps, rt::Owned& sentences);

    // start_pos, sentences = splitter(full_response, start_pos); the pieces
    // go to `sentences`, whatever the splitter returned.
    rt::Status split(PyObject* splitter, rt::Owned& sentences);

    // start_pos < len(full_response)
    rt::Result<bool> has_rest();

    // full_response[start_pos:]
    rt::Owned rest();

    // full_response
    rt::Owned whole();

private:
    rt::Status materialize();
    bool become_parts();
    rt::Owned span(Py_ssize_t a, Py_ssize_t a_off, Py_ssize_t b, Py_ssize_t b_off);
    rt::Status settle();

    // Chunks: the reply is "".join(parts_).
    rt::Owned parts_;
    rt::Owned scratch_;         // the segments of one piece, reused
    Py_ssize_t length_ = 0;     // len(full_response)
    Py_ssize_t tail_part_ = 0, tail_off_ = 0;  // where the uncut text begins
    Py_ssize_t tail_pos_ = 0;                  // start_pos
    Py_ssize_t scan_part_ = 0, scan_off_ = 0;  // where the unscanned text begins
    Py_ssize_t scan_base_ = 0;                 // len of the parts before scan_part_
    Py_ssize_t settled_ = 0;                   // parts before this one are joined blocks
    static constexpr Py_ssize_t kSettle = 512;
    // One object: the reply as `+=` made it, and start_pos as returned.
    rt::Owned whole_;
    rt::Owned start_pos_;
};

}  // namespace manage
