// The interpreter API this module is written against (3.14), provided from older calls on 3.11-3.13.
// Every include of Python.h in the module goes through this header.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
// 3.12 keeps the raised exception as one object; before it, the (type, value, traceback) triple
// has to be normalised and the traceback attached to the value to get the same object.
inline PyObject* PyErr_GetRaisedException() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value == nullptr) {  // normalising gives a value even when it runs out of memory
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        return nullptr;
    }
    if (traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
        Py_DECREF(traceback);
    }
    Py_DECREF(type);
    return value;
}

// Steals `exc`; null clears the pending error.
inline void PyErr_SetRaisedException(PyObject* exc) {
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}
#endif

#if PY_VERSION_HEX < 0x030E0000
// 1: *item is a new reference; 0: exhausted, *item null; -1: error pending, *item null.
inline int PyIter_NextItem(PyObject* iter, PyObject** item) {
    *item = PyIter_Next(iter);
    if (*item != nullptr) {
        return 1;
    }
    return PyErr_Occurred() != nullptr ? -1 : 0;
}
#endif

// Module definition slots that older interpreters do not know (an unknown slot fails the import).
#if PY_VERSION_HEX >= 0x030D0000
#define CW_SLOT_GIL_NOT_USED {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define CW_SLOT_GIL_NOT_USED
#endif

#if PY_VERSION_HEX >= 0x030C0000
#define CW_SLOT_SINGLE_INTERPRETER \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define CW_SLOT_SINGLE_INTERPRETER
#endif
