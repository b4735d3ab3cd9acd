// Clock and History: a strategy's view of its columns, which grows by one value a bar without a
// copy, and the crossing tests a strategy asks on every bar. Indexing by an integer is the hot
// path (sma[-1] a few times a bar) and stays native; a slice is handed to the class's `_take`,
// which the package's subclass answers with a numpy array.
#include "backtest/history_type.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "binding/buffer.hpp"
#include "binding/once.hpp"
#include "binding/text.hpp"
#include "binding/sequence.hpp"

namespace cw {
namespace {

// --- Clock ---

PyObject* clock_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
            throw PyError::deferred(PyExc_TypeError, "Clock() takes no arguments");
        }
        return new_instance(cls, Clock{});
    });
}

PyObject* clock_now(PyObject* self, void* /*closure*/) {
    return boundary([self] { return to_py(static_cast<std::int64_t>(clock_of(self).now)); });
}

int clock_set_now(PyObject* self, PyObject* value, void* /*closure*/) {
    return detail::guarded(
        [&] {
            if (value == nullptr) {
                throw PyError::deferred(PyExc_AttributeError, "a clock's time cannot be deleted");
            }
            const Py_ssize_t now = PyNumber_AsSsize_t(value, PyExc_OverflowError);
            if (now == -1 && PyErr_Occurred() != nullptr) {
                throw_pending();
            }
            if (now < 0) {
                throw PyError::deferred(PyExc_ValueError,
                                        "a clock's time is a count of bars, >= 0");
            }
            clock_of(self).now = now;
            return 0;
        },
        -1);
}

PyGetSetDef g_clock_getset[] = {
    {"now", clock_now, clock_set_now, "how many bars the views show", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec k_clock_spec{
    "candlewright.Clock",
    "The number of bars a strategy's History views show; the run moves it on before each bar.",
    instance_size<Clock>(),
    dealloc_instance<Clock>,
    clock_new,
    nullptr,
    nullptr,
    g_clock_getset,
};

// --- History ---

struct History {
    HeldBuffer values;  // one dimension, float64 or int64
    Ref clock;
    const Clock* time = nullptr;
    bool integers = false;
};

History& history_of(PyObject* self) {
    return receiver<History>(self, history_class).record;
}

Py_ssize_t visible(const History& history) noexcept {
    return std::min(history.time->now, history.values.view().shape[0]);
}

template <class T>
T raw_at(const History& history, Py_ssize_t i) noexcept {
    const Py_buffer& view = history.values.view();
    T value;
    // A strided buffer need not be aligned.
    std::memcpy(&value, static_cast<const char*>(view.buf) + i * view.strides[0], sizeof value);
    return value;
}

double float_at(const History& history, Py_ssize_t i) noexcept {
    return history.integers ? static_cast<double>(raw_at<std::int64_t>(history, i))
                            : raw_at<double>(history, i);
}

Ref item_at(const History& history, Py_ssize_t i) {
    return history.integers ? to_py(raw_at<std::int64_t>(history, i))
                            : to_py(raw_at<double>(history, i));
}

// The buffer's item format without its byte-order mark, for 8-byte items; empty otherwise.
std::string_view format_of(const Py_buffer& view) noexcept {
    const char* format = view.format;
    if (format == nullptr || view.itemsize != 8) {
        return {};
    }
    if (*format == '@' || *format == '=' || *format == '<') {
        ++format;
    }
    return format;
}

PyObject* history_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return boundary([&] {
        PyObject* values = nullptr;
        PyObject* clock = nullptr;
        static const char* keywords[] = {"values", "clock", nullptr};
        if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO:History", const_cast<char**>(keywords),
                                        &values, &clock) == 0) {
            throw_pending();
        }
        Clock& time = clock_of(clock);
        PyObject* obj = cls->tp_alloc(cls, 0);
        if (obj == nullptr) {
            throw_pending();
        }
        Ref made = Ref::steal(obj);
        auto* instance = reinterpret_cast<Instance<History>*>(obj);
        new (&instance->record) History();
        new (&instance->access) AccessFlag();
        History& history = instance->record;
        history.values.take(values, PyBUF_RECORDS_RO);
        const Py_buffer& view = history.values.view();
        const std::string_view format = format_of(view);
        history.integers = format == "q" || format == "l" || format == "n";
        if (view.ndim != 1 || !(history.integers || format == "d")) {
            throw PyError::deferred(
                PyExc_TypeError,
                concat({"History needs one dimension of float64 or int64 values, not ",
                        std::to_string(view.ndim), " of format '",
                        view.format != nullptr ? view.format : "B", "'"}));
        }
        history.clock = Ref::borrow(clock);
        history.time = &time;
        return made;
    });
}

Py_ssize_t history_length(PyObject* self) {
    try {
        return visible(history_of(self));
    } catch (...) {
        detail::set_caught_error();
        return -1;
    }
}

[[noreturn, gnu::cold]] void beyond(Py_ssize_t i, Py_ssize_t n) {
    throw PyError::deferred(
        PyExc_IndexError,
        concat({"history index ", std::to_string(i), " out of range: ", std::to_string(n),
                n == 1 ? " value is there so far" : " values are there so far"}));
}

PyObject* history_item(PyObject* self, Py_ssize_t i) {
    return boundary([&] {
        const History& history = history_of(self);
        const Py_ssize_t n = visible(history);
        if (i < 0 || i >= n) {
            beyond(i, n);
        }
        return item_at(history, i);
    });
}

// h[i] for an integer, from the end when negative; anything else goes to `_take`. The slot is
// only ever called on a History, so the receiver needs no check: this is the hot path.
PyObject* history_subscript(PyObject* self, PyObject* key) {
    const History& history = reinterpret_cast<Instance<History>*>(self)->record;
    if (PyLong_CheckExact(key)) [[likely]] {
        const Py_ssize_t given = PyLong_AsSsize_t(key);
        const Py_ssize_t n = visible(history);
        const Py_ssize_t i = given < 0 ? given + n : given;
        if (i >= 0 && i < n) [[likely]] {
            if (!history.integers) {
                return PyFloat_FromDouble(float_at(history, i));
            }
        } else if (given == -1 && PyErr_Occurred() != nullptr) {
            return nullptr;
        }
    }
    return boundary([&] {
        if (!PyLong_Check(key) && (PySlice_Check(key) || !PyIndex_Check(key))) {
            static OnceCell<PyObject*> name;
            PyObject* take = name.get([] {
                return require(PyUnicode_InternFromString("_take")).release();
            });
            return require(PyObject_CallMethodOneArg(self, take, key));
        }
        const Py_ssize_t given = PyNumber_AsSsize_t(key, PyExc_IndexError);
        if (given == -1 && PyErr_Occurred() != nullptr) {
            throw_pending();
        }
        const Py_ssize_t n = visible(history);
        const Py_ssize_t i = given < 0 ? given + n : given;
        if (i < 0 || i >= n) {
            beyond(given, n);
        }
        return item_at(history, i);
    });
}

// The values seen so far, read-only; the shape is the export's own, since the clock moves on.
int history_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    view->obj = nullptr;
    try {
        const History& history = history_of(self);
        const Py_buffer& source = history.values.view();
        if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
            throw PyError::deferred(PyExc_BufferError, "a history is read-only");
        }
        const bool strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES;
        if (!strides && source.strides[0] != source.itemsize) {
            throw PyError::deferred(
                PyExc_BufferError, "this history is strided: ask for strides (numpy, memoryview)");
        }
        auto* shape = new Py_ssize_t(visible(history));
        view->buf = source.buf;
        view->len = *shape * source.itemsize;
        view->readonly = 1;
        view->itemsize = source.itemsize;
        view->format = (flags & PyBUF_FORMAT) != 0
                           ? const_cast<char*>(history.integers ? "q" : "d")
                           : nullptr;
        view->ndim = 1;
        view->shape = (flags & PyBUF_ND) == PyBUF_ND ? shape : nullptr;
        view->strides = strides ? source.strides : nullptr;
        view->suboffsets = nullptr;
        view->internal = shape;
        view->obj = Ref::borrow(self).release();
        return 0;
    } catch (...) {
        detail::set_caught_error();
        return -1;
    }
}

void history_releasebuffer(PyObject* /*self*/, Py_buffer* view) {
    delete static_cast<Py_ssize_t*>(view->internal);
}

PyObject* history_repr(PyObject* self) {
    return boundary([self] {
        const History& history = history_of(self);
        return to_py(concat({"History(", std::to_string(visible(history)), " of ",
                             std::to_string(history.values.view().shape[0]), " values)"}));
    });
}

// The values so far as a memoryview; the package's subclass gives numpy arrays instead.
PyObject* history_take(PyObject* self, PyObject* key) {
    return boundary([&] {
        Ref view = require(PyMemoryView_FromObject(self));
        return require(PyObject_GetItem(view.get(), key));
    });
}

PyObject* history_total(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        return to_py(static_cast<std::int64_t>(history_of(self).values.view().shape[0]));
    });
}

PyObject* history_values(PyObject* self, void* /*closure*/) {
    return boundary([self] { return Ref::borrow(history_of(self).values.view().obj); });
}

PyType_Slot g_history_slots[] = {
    {Py_sq_length, reinterpret_cast<void*>(history_length)},
    {Py_sq_item, reinterpret_cast<void*>(history_item)},
    {Py_mp_subscript, reinterpret_cast<void*>(history_subscript)},
    {Py_tp_iter, reinterpret_cast<void*>(sequence_iter)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(history_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(history_releasebuffer)},
    {0, nullptr},
};

PyMethodDef g_history_methods[] = {
    {"_take", history_take, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_history_getset[] = {
    {"total", history_total, nullptr, "how many values there are in all", nullptr},
    {"source", history_values, nullptr, "the object whose values these are", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec k_history_spec{
    "candlewright.History",
    "A column's values up to the bar a run is at: h[-1] is the current bar's, h[-2] the one "
    "before; it grows as the run goes on, without a copy.",
    instance_size<History>(),
    dealloc_instance<History>,
    history_new,
    history_repr,
    g_history_methods,
    g_history_getset,
    g_history_slots,
    true,
};

// --- crossing ---

// The last two values of an operand: a History's, a sequence's, or a number's twice.
struct LastTwo {
    double before;
    double last;
    bool known;
};

LastTwo last_two(PyObject* obj) {
    if (PyObject_TypeCheck(obj, history_class.type())) [[likely]] {
        const History& history = reinterpret_cast<Instance<History>*>(obj)->record;
        const Py_ssize_t n = visible(history);
        if (n < 2) {
            return LastTwo{0.0, 0.0, false};
        }
        return LastTwo{float_at(history, n - 2), float_at(history, n - 1), true};
    }
    if (PyFloat_Check(obj) || PyLong_Check(obj)) {
        const double value = to_f64(obj);
        return LastTwo{value, value, true};
    }
    const Py_ssize_t n = PyObject_Size(obj);
    if (n == -1) {
        PyErr_Clear();
        const double value = to_f64(obj);  // a number of another kind, or the TypeError
        return LastTwo{value, value, true};
    }
    if (n < 2) {
        return LastTwo{0.0, 0.0, false};
    }
    Ref before = require(PySequence_GetItem(obj, n - 2));
    Ref last = require(PySequence_GetItem(obj, n - 1));
    return LastTwo{to_f64(before.get()), to_f64(last.get()), true};
}

template <bool Above>
PyObject* crossing(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    return boundary([&] {
        if (nargs != 2) {
            throw PyError::deferred(
                PyExc_TypeError,
                concat({Above ? "crossover" : "crossunder", "() takes 2 arguments (",
                        std::to_string(nargs), " given)"}));
        }
        const LastTwo a = last_two(args[0]);
        const LastTwo b = last_two(args[1]);
        if (!a.known || !b.known) {
            return to_py(false);
        }
        // NaN compares false: no crossing while either is warming up.
        return to_py(Above ? a.before < b.before && a.last > b.last
                           : a.before > b.before && a.last < b.last);
    });
}

}  // namespace

PyMethodDef history_functions[] = {
    {"crossover", method_entry(crossing<true>), METH_FASTCALL,
     "crossover(a, b)\n--\n\nWhether `a` crossed above `b` at the last value: a[-2] < b[-2] and "
     "a[-1] > b[-1]. Each is a History, a sequence or a number."},
    {"crossunder", method_entry(crossing<false>), METH_FASTCALL,
     "crossunder(a, b)\n--\n\nWhether `a` crossed below `b` at the last value: a[-2] > b[-2] and "
     "a[-1] < b[-1]. Each is a History, a sequence or a number."},
    {nullptr, nullptr, 0, nullptr},
};

ClassCell clock_class{k_clock_spec};
ClassCell history_class{k_history_spec};

}  // namespace cw
