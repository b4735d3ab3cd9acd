// Taking in the bars handed to the Engine constructor: any sequence of Bar objects except a str.
#include "engine/intake.hpp"

#include <new>
#include <stdexcept>

#include "binding/access.hpp"
#include "binding/once.hpp"
#include "binding/signals.hpp"
#include "market/bar_type.hpp"

namespace cw {
namespace {

OnceCell<PyObject*> g_sequence_abc;

// collections.abc.Sequence, only to name it in the error: the check itself is the sequence
// protocol, so registering a class with the ABC does not make it acceptable.
PyObject* sequence_abc() {
    return g_sequence_abc.get([] {
        Ref module = require(PyImport_ImportModule("collections.abc"));
        return require(PyObject_GetAttrString(module.get(), "Sequence")).release();
    });
}

// The length is only a hint for the reservation: iteration alone decides which bars are taken,
// so a length that fails, lies, or is too large to reserve is passed over. Only ordinary errors
// are: a KeyboardInterrupt or SystemExit raised while the length is counted ends the intake.
void reserve_hint(std::vector<Bar>& bars, PyObject* data) {
    const Py_ssize_t hint = PySequence_Size(data);
    if (hint < 0) {
        if (PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception)) {
            throw_pending();
        }
        PyErr_Clear();
        return;
    }
    try {
        bars.reserve(static_cast<std::size_t>(hint));
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
}

}  // namespace

std::vector<Bar> to_bars(PyObject* data) {
    if (PyUnicode_Check(data)) {
        throw PyError::deferred(PyExc_TypeError, "Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(data)) {
        throw type_mismatch(data, sequence_abc());
    }
    std::vector<Bar> bars;
    reserve_hint(bars, data);
    Ref iterator = require(PyObject_GetIter(data));
    PyTypeObject* bar_type = bar_class.type();
    SignalCheck signals;
    for (;;) {
        PyObject* raw = nullptr;
        const int status = PyIter_NextItem(iterator.get(), &raw);
        if (status == 0) {
            // A length that promised more than came would keep its reservation for the engine's
            // life; one that told the truth filled it exactly, and nothing is copied.
            bars.shrink_to_fit();
            return bars;
        }
        if (status < 0) {
            throw_pending();
        }
        Ref item = Ref::steal(raw);
        if (!PyObject_TypeCheck(item.get(), bar_type)) {
            throw type_mismatch(item.get(), bar_type);
        }
        auto* bar = reinterpret_cast<BarObject*>(item.get());
        SharedAccess access(bar->access);
        bars.push_back(bar->record);
        signals.after();
    }
}

}  // namespace cw
