// The Python class Bars (loaded bars as rows, a Bar per item) and the module functions that
// read, check, shift and resample them.
#pragma once

#include <string>
#include <vector>

#include "binding/classes.hpp"
#include "binding/ref.hpp"
#include "ingest/series.hpp"

namespace cw {

extern ClassCell bars_class;
extern PyMethodDef loading_functions[];

[[nodiscard]] Ref new_series(BarSeries series);
[[nodiscard]] Ref new_series(std::vector<Bar> rows, std::vector<ExtraColumn> extras = {});
[[nodiscard]] const BarSeries& series_of(PyObject* self);
// A name given as str, as UTF-8; a str that cannot be encoded is refused.
[[nodiscard]] std::string utf8_of(PyObject* name);

}  // namespace cw
