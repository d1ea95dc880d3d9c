// Class creation as the class statement does it: namespace, methods, and
// for a class with bases the __mro_entries__ protocol, the calculated
// metaclass, __prepare__ and the class cell of zero-argument super().
#pragma once

#include <Python.h>

#include <utility>
#include <vector>

#include "runtime/process.hpp"
#include "runtime/ref.hpp"
#include "runtime/signature.hpp"
#include "runtime/traceback.hpp"

namespace rt {

class Global;

// A class statement: its name, line, methods in the order of the class
// body, the attributes its methods assign as `self.<name> = ...` (which
// interpreters from 3.13 publish as __static_attributes__), and the module
// global naming its one base, if any.
struct ClassSpec {
    ClassSpec(const char* name, int line, std::vector<MethodSpec> methods,
              const Global* base = nullptr)
        : ClassSpec(name, line, std::move(methods), {}, base) {}
    ClassSpec(const char* name, int line, std::vector<MethodSpec> methods,
              std::vector<const char*> self_attributes, const Global* base = nullptr)
        : name(name), line(line), methods(std::move(methods)),
          self_attributes(std::move(self_attributes)), base(base) {
        for (MethodSpec& m : this->methods) {
            m.class_name = name;
        }
    }
    const char* name;
    int line;
    std::vector<MethodSpec> methods;
    std::vector<const char*> self_attributes;
    const Global* base;
};

// Creates the class and binds it in the module namespace. `methods` holds
// the runtime data of spec.methods, in order. `here` names the statement
// running, for the traceback entry of a failure; throws PyErrorSet.
void create_class(Here& here, const ClassSpec& spec, MethodRuntime* const* methods);

}  // namespace rt
