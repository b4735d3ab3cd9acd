// The Python class Ticks (loaded ticks as columns, a slice a view of the same store) and the
// module functions that read tick text and make ticks from columns.
#pragma once

#include "binding/classes.hpp"
#include "ingest/ticks.hpp"

namespace cw {

extern ClassCell ticks_class;
extern PyMethodDef ticks_functions[];

[[nodiscard]] const TickSeries& ticks_of(PyObject* obj);

}  // namespace cw
