// Traceback entries made on behalf of native code: a frame with the module
// namespace as globals and an empty code object that carries the function's
// name, the file "cantorel/manage" and the source line.
#pragma once

#include <Python.h>

#include <unordered_map>

namespace rt {

// One place that can appear in a traceback: a method ("cantorel.manage.
// VoiceVD.reset") or the module body ("init cantorel.manage"). Lives for the
// whole process; holds one cached code object per line.
class TracebackSite {
public:
    explicit TracebackSite(PyObject* function_name) : function_name_(function_name) {}
    // Adds an entry at `line` to the exception being raised, unless its
    // newest entry already is this site at this line (the exception passed
    // through one of our handlers and is on its way out). Keeps the
    // exception as it was if the entry cannot be made.
    void add_entry(int line, PyObject* globals);

private:
    PyObject* code_for(int line);
    PyObject* function_name_;                     // owned, never freed
    std::unordered_map<int, PyObject*> codes_;   // owned, never freed
};

// Where a method body is: its site, the line of the statement running, and
// the namespace its module-global names are looked up in (the function's
// __globals__, kept alive by the function for the whole call).
struct Here {
    TracebackSite& site;
    int line;
    PyObject* globals;
    void add_traceback() { site.add_entry(line, globals); }
};

}  // namespace rt

// The source line of the statement that follows, for its traceback entry.
#define LINE(n) (here.line = (n))
