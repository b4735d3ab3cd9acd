// Bars from columns: six one-dimensional buffers (numpy arrays, array.array, memoryview) read in
// place, without a Python object per row.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "binding/buffer.hpp"
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

// timestamp, open, high, low, close, volume; a null or None volume is 0.0 throughout. A column is
// a buffer or a tuple of buffers read one after another (an Arrow column's chunks). With
// `ticks_per_second`, the timestamps are date-time ticks (numpy datetime64 viewed as int64) made
// whole seconds here: the smallest int64 is a missing time and a fraction of a second is refused.
[[nodiscard]] std::vector<Bar> bars_from_columns(const std::array<PyObject*, 6>& columns,
                                                 std::int64_t ticks_per_second = 0);

// One more column of numbers, as doubles; it must hold `rows` values. Booleans read as 0 or 1.
[[nodiscard]] std::vector<double> doubles_from_column(PyObject* column, const std::string& name,
                                                      std::size_t rows);

// Numbers per bar for one set or many: a buffer of `rows` values, or of `rows` rows of one value
// per set (a numpy array of shape (bars, sets)), held for the call and read one set at a time.
class NumberTable {
public:
    NumberTable(PyObject* obj, std::string name, std::size_t rows);
    [[nodiscard]] std::size_t sets() const noexcept { return sets_; }
    [[nodiscard]] const std::string& name() const noexcept { return name_; }
    // Values `first` to `first + count` of set `set` (0 for a one-dimensional buffer), into `out`.
    void read(std::size_t set, std::size_t first, std::size_t count, double* out) const;
    // The same values as signs, -1, 0 or +1: the number read, or `count` if none is NaN, which
    // stops the reading there.
    [[nodiscard]] std::size_t read_signs(std::size_t set, std::size_t first, std::size_t count,
                                         std::int8_t* out) const;
    [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
    // Set `set`'s values where they lie, when they are bytes in a row that a run may read as
    // they stand (int8, or booleans that are all 0 or 1); null otherwise. Valid while the table
    // is.
    [[nodiscard]] const std::int8_t* signs_in_place(std::size_t set) const noexcept;

private:
    HeldBuffer held_;
    std::string name_;
    std::size_t rows_;
    std::size_t sets_ = 1;
    Py_ssize_t set_stride_ = 0;
    char code_ = 'd';
};

}  // namespace cw
