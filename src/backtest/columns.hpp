// Bars from columns: six one-dimensional buffers (numpy arrays, array.array, memoryview) read in
// place, without a Python object per row.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "binding/compat.hpp"
#include "market/bar.hpp"

namespace cw {

// timestamp, open, high, low, close, volume; a null or None volume is 0.0 throughout.
[[nodiscard]] std::vector<Bar> bars_from_columns(const std::array<PyObject*, 6>& columns);

// One more column of numbers, as doubles; it must hold `rows` values.
[[nodiscard]] std::vector<double> doubles_from_column(PyObject* column, const std::string& name,
                                                      std::size_t rows);

}  // namespace cw
