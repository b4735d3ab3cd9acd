// Bars from columns: six one-dimensional buffers (numpy arrays, array.array, memoryview) read in
// place, without a Python object per row.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "binding/compat.hpp"
#include "binding/convert.hpp"
#include "market/bar.hpp"

namespace cw {

// The six column arguments of a bound call, from `first` on, borrowed for the call.
template <class Bound>
std::array<PyObject*, 6> column_args(const Bound& bound, std::size_t first = 0) {
    std::array<PyObject*, 6> columns{};
    for (std::size_t i = 0; i < columns.size(); ++i) {
        columns[i] = bound.template get<to_object>(first + i).get();
    }
    return columns;
}

// timestamp, open, high, low, close, volume; a null or None volume is 0.0 throughout.
[[nodiscard]] std::vector<Bar> bars_from_columns(const std::array<PyObject*, 6>& columns);

// One more column of numbers, as doubles; it must hold `rows` values.
[[nodiscard]] std::vector<double> doubles_from_column(PyObject* column, const std::string& name,
                                                      std::size_t rows);

}  // namespace cw
