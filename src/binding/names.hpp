// Attribute names the module looks up, interned once per process.
#pragma once

#include "binding/compat.hpp"

namespace cw {

struct Names {
    PyObject* all;   // "__all__"
    PyObject* init;  // "init"
    PyObject* next;  // "next"
};

[[nodiscard]] const Names& names();

}  // namespace cw
