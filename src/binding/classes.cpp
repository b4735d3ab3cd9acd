// Creating the class objects.
#include "binding/classes.hpp"

#include <string>

#include "binding/text.hpp"

namespace cw {
namespace {

PyTypeObject* create_class(const ClassSpec& spec) {
    PyType_Slot slots[16];
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
    for (const PyType_Slot* more = spec.slots; more != nullptr && more->slot != 0; ++more) {
        add(more->slot, more->pfunc);
    }
    add(Py_tp_base, &PyBaseObject_Type);
    add(Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc));
    add(0, nullptr);

    unsigned int flags = Py_TPFLAGS_DEFAULT;
    if (spec.construct == nullptr) {
        flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    }
    if (spec.subclassable) {
        flags |= Py_TPFLAGS_BASETYPE;
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

void ClassCell::adopt(PyObject* type, std::string_view from) {
    if (!PyType_Check(type)) {
        throw type_mismatch(type, &PyType_Type);
    }
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    if (cls->tp_basicsize != spec_.basic_size || cls->tp_itemsize != 0) {
        throw PyError::deferred(
            PyExc_ImportError,
            concat({from, ".", name(), " has instances of ", std::to_string(cls->tp_basicsize),
                    " bytes, but this module was built for ", std::to_string(spec_.basic_size),
                    ": the two native modules come from different builds; reinstall candlewright"}));
    }
    // Kept for the life of the process, like a class made here.
    (void)cell_.get([type] { return reinterpret_cast<PyTypeObject*>(Ref::borrow(type).release()); });
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
