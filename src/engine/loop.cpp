// The parts of the run loop that are not per book: the access faults and the call of init.
#include "engine/loop.hpp"

namespace cw {
namespace {

Ref new_bar_list(std::span<const Bar> data) {
    Ref list = require_object(PyList_New(static_cast<Py_ssize_t>(data.size())));
    // Signal handlers run while the list still has empty slots: out of the collector's sight, no
    // Python code can reach it (gc.get_objects) until it is whole.
    PyObject_GC_UnTrack(list.get());
    SignalCheck signals;
    for (std::size_t i = 0; i < data.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_bar(data[i]).release());
        signals.after();
    }
    PyObject_GC_Track(list.get());
    return list;
}

}  // namespace

void broker_held_for_exits() {
    panic("Already borrowed: PyBorrowMutError");
}
void broker_held_for_valuation() {
    panic("Already mutably borrowed: PyBorrowError");
}

// init is optional: an AttributeError from looking it up means there is none. The engine also
// drops one raised inside init (`errors_pass` false); the package lets it through, since a
// strategy half built by a failing init must not run. The attribute is looked up before the list
// is built, so a strategy without init costs no list: the list is built from the run's own bars
// and runs no Python code, so the order is not visible.
Ref call_init(std::span<const Bar> data, PyObject* strategy, bool errors_pass) {
    Ref init;
    try {
        init = require(PyObject_GetAttr(strategy, names().init));
    } catch (PyError& error) {
        if (!error.matches(PyExc_AttributeError)) {
            throw;
        }
        return Ref();
    }
    try {
        Ref bars = new_bar_list(data);
        // The slot before the argument is free for the callee (a bound method puts its receiver
        // there instead of copying the arguments).
        std::array<PyObject*, 2> stack{nullptr, bars.get()};
        return require(PyObject_Vectorcall(init.get(), stack.data() + 1,
                                           1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    } catch (PyError& error) {
        if (errors_pass || !error.matches(PyExc_AttributeError)) {
            throw;
        }
        return Ref();
    }
}

}  // namespace cw
