// Module-global look-up at each use: the module namespace, then the
// built-ins, else NameError, as a Python function's LOAD_GLOBAL does. The
// host may rebind or delete a module global at any time and the next use
// sees it.
#pragma once

#include "runtime/process.hpp"
#include "runtime/ref.hpp"
#include "runtime/traceback.hpp"

namespace rt {

// The value of module-global `n` for the body at `here`.
Owned global(const Here& here, Name n);

}  // namespace rt
