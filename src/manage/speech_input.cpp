// Input: captures one utterance and returns what the host's recognition
// model makes of it.
#include "module_classes.hpp"
#include "runtime/body.hpp"

namespace {

using namespace rt;

// The module globals this unit uses, looked up at each use.
namespace g {
const Global RecVoice_T{"RecVoice_T"}, Exception{"Exception"};
}  // namespace g

const Constant asr_model_attr{"asr_model"}, sld_attr{"sld"}, max_time_attr{"max_time"},
    recorder_attr{"recorder"}, thread_attr{"thread"};

const Constant init_name{"_init"}, start_recording_name{"start_recording"}, join_name{"join"},
    get_audio_name{"get_audio"}, generate_name{"generate"}, strip_name{"strip"};

const Constant not_valid_line{"Not valid Voice"}, asr_tag{"[ASR] "}, error_tag{"Error "};
const Constant kw_recorder{[] { return Py_BuildValue("(ss)", "sld", "max_time"); }};

Owned Input___init__(Here& here, PyObject* self, PyObject* asr_model, PyObject* sld,
                     PyObject* max_time) {
    LINE(162);
    CHECK(setattr(self, asr_model_attr, asr_model));
    LINE(163);
    CHECK(setattr(self, sld_attr, sld));
    LINE(164);
    CHECK(setattr(self, max_time_attr, max_time));
    LINE(165);
    CHECK(setattr(self, recorder_attr, Py_None));
    LINE(166);
    CHECK(call_method(self, init_name));
    return Owned::ref(Py_None);
}
const MethodSpec init_row =
    method<Input___init__>("__init__", 158,
                           {self_param, param("asr_model"),
                            param("sld").exactly(Exact::int_).annotated("int").defaults_to(1),
                            param("max_time").exactly(Exact::int_).annotated("int").defaults_to(3)});

Owned Input__init(Here& here, PyObject* self) {
    LINE(169);
    LET(recorder_class, global(here, g::RecVoice_T));
    LINE(170);
    LET(sld, getattr(self, sld_attr));
    LINE(171);
    LET(max_time, getattr(self, max_time_attr));
    LINE(169);
    LET(recorder, call_kw(recorder_class.get(), kw_recorder, sld.get(), max_time.get()));
    CHECK(setattr(self, recorder_attr, recorder.get()));
    return Owned::ref(Py_None);
}
const MethodSpec init_recorder_row = method<Input__init>("_init", 168, {self_param}).returns("None");

// The text of one utterance, or None. Prints one line for every outcome;
// any Exception (from the recorder, the model or the result check) is
// printed, not raised, while an interrupt or an exit request passes on.
Owned Input__recognize(Here& here, PyObject* self) {
    Owned result;
    auto attempt = [&]() -> Status {
        LINE(176);
        {
            LET(recorder, getattr(self, recorder_attr));
            CHECK(call_method(recorder.get(), start_recording_name));
        }
        LINE(177);
        {
            LET(recorder, getattr(self, recorder_attr));
            LET(thread, getattr(recorder.get(), thread_attr));
            CHECK(call_method(thread.get(), join_name));
        }
        LINE(178);
        Owned audio_data;
        {
            LET(recorder, getattr(self, recorder_attr));
            audio_data = call_method(recorder.get(), get_audio_name);
            CHECK(audio_data);
        }

        LINE(180);
        bool no_voice = audio_data.get() == Py_None;
        if (!no_voice) {
            const Py_ssize_t samples = PyObject_Size(audio_data.get());
            CHECK(samples >= 0);
            no_voice = samples == 0;
        }
        if (no_voice) {
            LINE(181);
            CHECK(print(not_valid_line.get(), true));
            result = Owned::ref(Py_None);
            return ok;
        }

        LINE(184);
        Owned text;
        {
            LET(model, getattr(self, asr_model_attr));
            text = call_method(model.get(), generate_name, audio_data.get());
            CHECK(text);
        }
        LINE(185);
        Owned recognized_text;
        const Result<bool> any_text = truth(text.get());
        CHECK(any_text);
        recognized_text = any_text.value() ? call_method(text.get(), strip_name) : Owned::ref(Py_None);
        CHECK(recognized_text);

        LINE(186);
        {
            LET(shown, Owned::steal(PyObject_Format(recognized_text.get(), process().empty_str)));
            LET(line, Owned::steal(PyUnicode_Concat(asr_tag.get(), shown.get())));
            CHECK(print(line.get(), true));
        }
        LINE(187);
        if (recognized_text.get() != Py_None && !PyUnicode_CheckExact(recognized_text.get())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str",
                         Py_TYPE(recognized_text.get())->tp_name);
            return failure;
        }
        result = std::move(recognized_text);
        return ok;
    };
    auto report = [&](PyObject* e) -> Status {
        LINE(190);
        CHECK(print_failure(&error_tag, e, true));
        result = Owned::ref(Py_None);
        return ok;
    };
    CHECK(try_except(here, g::Exception, 189, attempt, report));
    return result;
}
const MethodSpec recognize_row = method<Input__recognize>("_recognize", 174, {self_param})
                                     .returns("Optional[str]")
                                     .locals({"audio_data", "text", "recognized_text", "e"});

Owned Input__reset(Here& here, PyObject* self) {
    LINE(194);
    CHECK(call_method(self, init_name));
    return Owned::ref(Py_None);
}
const MethodSpec reset_row = method<Input__reset>("_reset", 193, {self_param}).returns("None");

}  // namespace

namespace manage {

const ClassSpec Input_class{
    "Input", 157,
    {init_row, init_recorder_row, recognize_row, reset_row},
    {"asr_model", "sld", "max_time", "recorder"},
};

}  // namespace manage
