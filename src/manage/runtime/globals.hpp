// Module-global look-up at each use: the module namespace, then the
// built-ins, else NameError, as a Python function's LOAD_GLOBAL does. The
// host may rebind or delete a module global at any time and the next use
// sees it.
#pragma once

#include "runtime/process.hpp"
#include "runtime/ref.hpp"

namespace rt {

Owned global(Name n);

}  // namespace rt
