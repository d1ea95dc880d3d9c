// Class creation as the class statement does it: namespace, methods, and
// for a class with bases the __mro_entries__ protocol, the calculated
// metaclass, __prepare__ and the class cell of zero-argument super().
#pragma once

#include <Python.h>

#include <vector>

#include "runtime/process.hpp"
#include "runtime/ref.hpp"
#include "runtime/signature.hpp"
#include "runtime/traceback.hpp"

namespace rt {

struct ClassSpec {
    const char* name;
    Name name_id;
    int line;  // of the class statement
    std::vector<MethodSpec> methods;
    bool derived = false;  // from the class named by `base`
    Name base = Name::count_;
};

// Creates the class and binds it in the module namespace. `methods` holds
// the runtime data of spec.methods, in order. `here` names the statement
// running, for the traceback entry of a failure; throws PyErrorSet.
void create_class(Here& here, const ClassSpec& spec, MethodRuntime* const* methods);

}  // namespace rt
