// Creating the class objects.
#include "binding/classes.hpp"

#include <string>

#include "binding/text.hpp"

namespace cw {
namespace {

PyTypeObject* create_class(const ClassSpec& spec) {
    PyType_Slot slots[8];
    int n = 0;
    auto add = [&](int slot, void* pointer) { slots[n++] = PyType_Slot{slot, pointer}; };
    if (spec.doc != nullptr) {
        add(Py_tp_doc, const_cast<char*>(spec.doc));
    }
    if (spec.construct != nullptr) {
        add(Py_tp_new, reinterpret_cast<void*>(spec.construct));
    }
    if (spec.repr != nullptr) {
        add(Py_tp_repr, reinterpret_cast<void*>(spec.repr));
    }
    if (spec.methods != nullptr) {
        add(Py_tp_methods, spec.methods);
    }
    if (spec.getset != nullptr) {
        add(Py_tp_getset, spec.getset);
    }
    add(Py_tp_base, &PyBaseObject_Type);
    add(Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc));
    add(0, nullptr);

    unsigned int flags = Py_TPFLAGS_DEFAULT;
    if (spec.construct == nullptr) {
        flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    }
    PyType_Spec type_spec{spec.qualified_name, spec.basic_size, 0, flags, slots};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) {
        PyError cause = PyError::fetch();
        throw PyError::deferred(PyExc_RuntimeError,
                                concat({"An error occurred while initializing class ", spec.name()}))
            .caused_by(std::move(cause).into_exception());
    }
    return reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
}

}  // namespace

PyTypeObject* ClassCell::get() {
    return cell_.get([this] { return create_class(spec_); });
}

PyTypeObject* ClassCell::type_slow() {
    try {
        return get();
    } catch (PyError& error) {
        std::move(error).restore();
        PyErr_WriteUnraisable(nullptr);
        panic(concat({"failed to create type object for `", spec_.name(), "`"}));
    }
}

}  // namespace cw
