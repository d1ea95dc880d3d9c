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
//
// Beside this unit, and knowing nothing of Output: the separator scanner
// (separator_scan.*) and the reply's rope of chunks (reply.*). The bodies
// here decide which of their paths to take.
#include <utility>

#include "module_classes.hpp"
#include "reply.hpp"
#include "runtime/body.hpp"
#include "runtime/function.hpp"
#include "separator_scan.hpp"

namespace {

using namespace rt;

// The module globals this unit uses, looked up at each use.
namespace g {
const Global queue{"queue"}, threading{"threading"}, AudioPlayer{"AudioPlayer"}, Exception{"Exception"};
}  // namespace g
using manage::Reply;
using manage::Separators;

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

// self.<attribute> = queue.Queue()
Status set_new_queue(const Here& here, PyObject* self, const Constant& attribute) {
    LET(queue_module, global(here, g::queue));
    LET(queue_type, getattr(queue_module.get(), Queue_name));
    LET(queue, call(queue_type.get()));
    return setattr(self, attribute, queue.get());
}

// threading.Thread, looked up when the statement runs.
Owned thread_type(const Here& here) {
    LET(threading, global(here, g::threading));
    return getattr(threading.get(), Thread_name);
}

// self.<attribute> = thread_type(target=target, daemon=True, name=name)
Status set_new_thread(PyObject* self, const Constant& attribute, PyObject* thread_type,
                      PyObject* target, const Constant& name) {
    LET(thread, call_kw(thread_type, kw_thread, target, Py_True, name.get()));
    return setattr(self, attribute, thread.get());
}

// ---------------------------------------------------------------- construction

Owned Output___init__(Here& here, PyObject* self, PyObject* tts_model) {
    LINE(199);
    CHECK(setattr(self, tts_model_name, tts_model));
    LINE(200);
    CHECK(set_new_queue(here, self, output_queue_name));
    LINE(201);
    CHECK(set_new_queue(here, self, play_queue_name));
    LINE(202);
    CHECK(setattr(self, tts_thread_name, Py_None));
    LINE(203);
    CHECK(setattr(self, play_thread_name, Py_None));
    LINE(204);
    CHECK(call_method(self, _init_threads_name));
    return Owned::ref(Py_None);
}
const MethodSpec init_row = method<Output___init__>("__init__", 198, {self_param, param("tts_model")});

// Both threads exist before either starts; the TTS worker starts first.
Owned Output__init_threads(Here& here, PyObject* self) {
    {
        LINE(207);
        LET(type, thread_type(here));
        LINE(208);
        LET(target, getattr(self, _tts_worker_name));
        LINE(207);
        CHECK(set_new_thread(self, tts_thread_name, type.get(), target.get(), tts_worker_thread));
    }
    {
        LINE(212);
        LET(type, thread_type(here));
        LINE(213);
        LET(target, getattr(self, _play_worker_name));
        LINE(212);
        CHECK(set_new_thread(self, play_thread_name, type.get(), target.get(), play_worker_thread));
    }
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
const MethodSpec init_threads_row =
    method<Output__init_threads>("_init_threads", 206, {self_param}).returns("None");

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
    CHECK(manage::each_separator(text, start, seps, [&](Py_ssize_t i) -> Status {
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
    if (compat::unicode_ready(text) < 0) {
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
    if (compat::unicode_ready(sep) < 0) {
        return failure;
    }
    Separators own_set;
    const Separators* seps = &manage::default_separators();
    if (!manage::is_default_separators(sep)) {
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
const MethodSpec splitsen_row =
    method<Output__splitsen>("_splitsen", 220,
                             {param("text").exactly(Exact::str).annotated("str"),
                              param("start").exactly(Exact::int_).annotated("int"),
                              param("sep").exactly(Exact::str).annotated("str")
                                  .defaults_to("\xEF\xBC\x8C\xE3\x80\x82,.!?")})
        .returns("tuple[int, List[str]]")
        .locals({"text_len", "sentences", "last_pos", "i"})
        .static_method();

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
                            const Result<bool> has_text = truth(stripped.get());
                            CHECK(has_text);
                            if (!has_text.value()) {
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
                        return print_failure(&tts_tag, e, true);
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
const MethodSpec tts_worker_row = method<Output__tts_worker>("_tts_worker", 234, {self_param})
                                      .returns("None")
                                      .locals({"index", "text", "audio_data", "e"});

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
                        return print_failure(nullptr, e, true);
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
const MethodSpec play_worker_row = method<Output__play_worker>("_play_worker", 251, {self_param})
                                       .returns("None")
                                       .locals({"audio_player", "audio_data", "e"});

// ---------------------------------------------------------------- intake

// Whether the splitter is this module's own _splitsen, whatever function
// object carries it: then calling it is unobservable, and the reply may cut
// only its new text itself.
bool is_own_splitsen(PyObject* splitter) { return runs_body(splitter, splitsen_row.body); }

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
                Owned chunk_text;
                CHECK(next_item(chunks.get(), chunk_text));
                if (!chunk_text) {
                    break;
                }
                LINE(270);
                CHECK(full_response.add(chunk_text.get()));
                LINE(271);
                Owned sentences;
                {
                    LET(splitter, getattr(self, _splitsen_name));
                    if (is_own_splitsen(splitter.get()) && full_response.as_chunks()) {
                        CHECK(full_response.cut(manage::default_separators(), sentences));
                    } else {
                        CHECK(full_response.split(splitter.get(), sentences));
                    }
                }
                if (!sentences) {
                    continue;
                }
                LINE(272);
                LET(pieces, Owned::steal(PyObject_GetIter(sentences.get())));
                for (;;) {
                    LINE(272);
                    Owned sentence;
                    CHECK(next_item(pieces.get(), sentence));
                    if (!sentence) {
                        break;
                    }
                    LINE(273);
                    ++sentence_index;
                    LINE(274);
                    CHECK(enqueue(sentence.get()));
                }
            }

            LINE(276);
            const Result<bool> has_rest = full_response.has_rest();
            CHECK(has_rest);
            if (has_rest.value()) {
                LINE(277);
                ++sentence_index;
                LINE(278);
                LET(rest, full_response.rest());
                LET(remaining_text, call_method(rest.get(), strip_name));
                LINE(279);
                const Result<bool> non_empty = truth(remaining_text.get());
                CHECK(non_empty);
                if (non_empty.value()) {
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
            return print_failure(&llm_tag, e, true);
        });
    CHECK(handled);
    return Owned::ref(Py_None);
}
const MethodSpec add_stream_row =
    method<Output__add_stream>("_add_stream", 263,
                               {self_param,
                                param("llm_stream").annotated("Generator[str, None, None]")})
        .returns("None")
        .locals({"full_response", "start_pos", "sentence_index", "chunk_text", "sentences",
                 "sentence", "remaining_text", "e"});

// ---------------------------------------------------------------- waiting

Owned Output__wait_all(Here& here, PyObject* self) {
    LINE(288);
    CHECK(queue_call(self, output_queue_name, join_name));
    LINE(289);
    CHECK(queue_call(self, play_queue_name, join_name));
    return Owned::ref(Py_None);
}
const MethodSpec wait_all_row =
    method<Output__wait_all>("_wait_all", 287, {self_param}).returns("None");

}  // namespace

namespace manage {

const ClassSpec Output_class{
    "Output", 197,
    {init_row, init_threads_row, splitsen_row, tts_worker_row, play_worker_row, add_stream_row,
     wait_all_row},
    {"tts_model", "output_queue", "play_queue", "tts_thread", "play_thread"},
};

}  // namespace manage
