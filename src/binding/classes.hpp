// The four classes' common machinery: instance layout, the process-wide class cells, instance
// creation and destruction, and the receiver check.
#pragma once

#include <new>
#include <string_view>
#include <utility>

#include "binding/access.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/once.hpp"

namespace cw {

// Every instance: the interpreter's header, the record by value, then the access flag.
template <class Record>
struct Instance {
    PyObject_HEAD
    Record record;
    AccessFlag access;
};

struct ClassSpec {
    const char* qualified_name;  // "builtins.Bar": __module__ "builtins", __name__ "Bar"
    const char* doc;             // null: no doc slot
    int basic_size;
    destructor dealloc;
    newfunc construct;           // null: not instantiable from Python
    reprfunc repr;
    PyMethodDef* methods;
    PyGetSetDef* getset;
    const PyType_Slot* slots = nullptr;  // more slots (buffer, sequence), ended by a zero slot
    bool subclassable = false;           // Python classes may derive from it

    [[nodiscard]] std::string_view name() const noexcept {
        const std::string_view full(qualified_name);
        return full.substr(full.rfind('.') + 1);
    }
};

// The class object of one class, created once per process on first use.
class ClassCell {
public:
    explicit ClassCell(const ClassSpec& spec) noexcept : spec_(spec) {}

    // Creating the class if this is the first use; failure is the caller's error.
    [[nodiscard]] PyTypeObject* get();
    // For uses after import, where the class must already exist: a failure is an internal fault.
    [[nodiscard]] PyTypeObject* type() {
        if (cell_.ready()) [[likely]] {
            return cell_.value();
        }
        return type_slow();
    }
    [[nodiscard]] std::string_view name() const noexcept { return spec_.name(); }
    // Takes over the class object another module made from this same spec, after checking that
    // its instances have the size this module was built for.
    void adopt(PyObject* type, std::string_view from);

private:
    [[gnu::cold]] PyTypeObject* type_slow();
    const ClassSpec& spec_;
    OnceCell<PyTypeObject*> cell_;
};

// The interpreter's own empty tuple, which never goes away; inline so that allocating an instance
// on every bar of a run costs no call to find it.
[[nodiscard]] inline PyObject* empty_tuple() noexcept {
    static PyObject* const empty = PyTuple_New(0);
    return empty;
}

// A new instance of `cls` holding `record`, allocated the way object() allocates (through the
// class's tp_alloc). Always inlined: the run loop makes one Bar per bar, and a call that returns
// the Ref through memory costs it measurably.
template <class Record>
[[gnu::always_inline]] inline Ref new_instance(PyTypeObject* cls, Record&& record) {
    PyObject* obj = PyBaseObject_Type.tp_new(cls, empty_tuple(), nullptr);
    if (obj == nullptr) {
        throw_pending();
    }
    auto* instance = reinterpret_cast<Instance<std::decay_t<Record>>*>(obj);
    new (&instance->record) std::decay_t<Record>(std::forward<Record>(record));
    new (&instance->access) AccessFlag();
    return Ref::steal(obj);
}

template <class Record>
void dealloc_instance(PyObject* obj) noexcept {
    dealloc_boundary([obj] {
        reinterpret_cast<Instance<Record>*>(obj)->record.~Record();
        // Instances of heap types own a reference to their type, given back once freed.
        PyTypeObject* type = Py_TYPE(obj);
        type->tp_free(obj);
        Py_DECREF(type);
    });
}

// `self` as an instance of the cell's class (or a subclass); otherwise the caller's TypeError.
template <class Record>
Instance<Record>& receiver(PyObject* self, ClassCell& cell) {
    PyTypeObject* type = cell.type();
    if (!PyObject_TypeCheck(self, type)) [[unlikely]] {
        throw type_mismatch(self, type);
    }
    return *reinterpret_cast<Instance<Record>*>(self);
}

// The receiver of a method that runs Python code (a conversion, a strategy), held for the whole
// call: that code can drop the caller's last reference to it, as a functools.partial whose state
// it replaces does.
template <class Record>
class HeldReceiver {
public:
    HeldReceiver(PyObject* self, ClassCell& cell)
        : instance_(receiver<Record>(self, cell)), keep_(Ref::borrow(self)) {}
    Instance<Record>* operator->() const noexcept { return &instance_; }

private:
    Instance<Record>& instance_;
    Ref keep_;
};

// A read-only attribute: a value read from the record under shared access, by `Read(record)`.
template <class Record, ClassCell& Cell, auto Read>
PyObject* value_getter(PyObject* self, void* /*closure*/) {
    return boundary([self] {
        Instance<Record>& instance = receiver<Record>(self, Cell);
        const auto value = [&] {
            SharedAccess access(instance.access);
            return Read(instance.record);
        }();
        return to_py(value);
    });
}

// A read-only attribute: one field of the record.
template <class Record, ClassCell& Cell, auto Field>
constexpr getter field_getter =
    value_getter<Record, Cell, [](const Record& record) { return record.*Field; }>;

template <class Record>
constexpr int instance_size() {
    return static_cast<int>(sizeof(Instance<Record>));
}

// A method entry in a PyMethodDef table.
template <class Function>
PyCFunction method_entry(Function* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace cw
