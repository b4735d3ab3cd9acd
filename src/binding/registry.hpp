// Registering a module's classes, and refusing sub-interpreters.
#pragma once

#include <string_view>

#include "binding/classes.hpp"

namespace cw {

// The checks and the one-time set-up every execution step starts with; throws if the module
// cannot be made here.
void begin_exec(PyObject* module, std::string_view name);

// Creates the class if need be, sets it on the module under its name and appends that to __all__.
void add_class(PyObject* module, ClassCell& cell);

// The class objects are process-wide and keep the main interpreter's state (version tags,
// attributes set on them), so no other interpreter may get them, not even one that shares the
// main interpreter's lock and so passes the interpreter's own check.
void refuse_subinterpreter(std::string_view module);

}  // namespace cw
