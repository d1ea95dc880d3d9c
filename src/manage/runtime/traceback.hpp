// Traceback entries made on behalf of native code: a frame with the module
// namespace as globals and an empty code object that carries the function's
// name, the file "cantorel/manage" and the source line.
#pragma once

#include <Python.h>

namespace rt {

// One place that can appear in a traceback: a method ("cantorel.manage.
// VoiceVD.reset") or the module body ("init cantorel.manage"). Lives for the
// whole process; holds one cached code object per line.
class TracebackSite {
public:
    explicit TracebackSite(PyObject* function_name) noexcept : function_name_(function_name) {}
    // Adds an entry at `line` to the exception being raised, unless its
    // newest entry already is this site at this line (the exception passed
    // through one of our handlers and is on its way out). Keeps the
    // exception as it was if the entry cannot be made; never throws, so
    // the pending error cannot be lost on the way.
    void add_entry(int line, PyObject* globals) noexcept;

private:
    PyObject* code_for(int line) noexcept;  // a new reference, or null
    static constexpr int kCachedLines = 320;   // every line of the module's source
    PyObject* function_name_;                  // owned, never freed
    PyObject* codes_[kCachedLines] = {};       // owned, never freed
};

// Where a method body is: its site, the line of the statement running, the
// namespace its module-global names are looked up in (the function's
// __globals__), and the function itself, which the entry point keeps alive
// for the whole call.
struct Here {
    TracebackSite& site;
    int line;
    PyObject* globals;
    PyObject* function;
    void add_traceback() noexcept { site.add_entry(line, globals); }
};

}  // namespace rt

// The source line of the statement that follows, for its traceback entry.
#define LINE(n) (here.line = (n))
