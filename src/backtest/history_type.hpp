// What a strategy class sees of a series while it runs: a Clock, moved on by the run before each
// call of next, and History views that show a column's values up to the clock and no further.
#pragma once

#include <cstddef>

#include "binding/classes.hpp"

namespace cw {

// How many bars the strategy may see: all of them while it prepares, then one more each bar.
struct Clock {
    std::ptrdiff_t now = 0;
};

extern ClassCell clock_class;
extern ClassCell history_class;
extern PyMethodDef history_functions[];

// The clock of a Clock object: the run writes it before each call of next.
[[nodiscard]] inline Clock& clock_of(PyObject* obj) {
    return receiver<Clock>(obj, clock_class).record;
}

}  // namespace cw
