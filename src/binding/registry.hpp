// What every module's execution step does: its checks, and the registering of its classes.
#pragma once

#include <string_view>

#include "binding/classes.hpp"

namespace cw {

// The checks and the one-time set-up every execution step starts with; throws if the module
// cannot be made here (in a sub-interpreter, say).
void begin_exec(PyObject* module, std::string_view name);

// Creates the class if need be, sets it on the module under its name and appends that to __all__.
void add_class(PyObject* module, ClassCell& cell);

}  // namespace cw
