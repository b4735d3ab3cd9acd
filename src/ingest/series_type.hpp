// The Python class Bars (loaded bars as columns, a Bar per item) and the module functions that
// read, check, shift and resample them.
#pragma once

#include "binding/classes.hpp"
#include "ingest/series.hpp"

namespace cw {

extern ClassCell bars_class;
extern PyMethodDef ingest_functions[];

}  // namespace cw
