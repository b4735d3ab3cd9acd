// What the read-only sequences of rows share: iteration through __getitem__, and indexing by an
// integer (negative from the end) or by a slice, which picks rows into a new table.
#pragma once

#include <vector>

#include "binding/errors.hpp"

namespace cw {

// The interpreter's own iterator over __getitem__, as a list has one of its own.
inline PyObject* sequence_iter(PyObject* self) {
    return PySeqIter_New(self);
}

// The rows a slice takes, as computed by slice_of.
struct SliceRows {
    Py_ssize_t start;
    Py_ssize_t step;
    Py_ssize_t count;

    template <class Value>
    [[nodiscard]] std::vector<Value> pick(const std::vector<Value>& from) const {
        std::vector<Value> picked;
        picked.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t k = 0; k < count; ++k) {
            picked.push_back(from[static_cast<std::size_t>(start + k * step)]);
        }
        return picked;
    }
};

// seq[key] for a sequence of n rows: `item(i)` (a PyObject* as sq_item returns it) for an
// integer, `slice(rows)` (a Ref) for a slice.
template <class Item, class Slice>
Ref subscript(PyObject* key, Py_ssize_t n, Item item, Slice slice) {
    if (!PySlice_Check(key)) {
        const Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred() != nullptr) {
            throw_pending();
        }
        return require(item(i < 0 ? i + n : i));
    }
    Py_ssize_t start = 0;
    Py_ssize_t stop = 0;
    Py_ssize_t step = 0;
    require_ok(PySlice_Unpack(key, &start, &stop, &step));
    const Py_ssize_t count = PySlice_AdjustIndices(n, &start, &stop, step);
    return slice(SliceRows{start, step, count});
}

}  // namespace cw
