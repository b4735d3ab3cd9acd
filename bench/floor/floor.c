/* The floor of the run-loop benchmark: per bar only the work that any loop handing Python a fresh
 * bar object must do. Allocate one object of a heap type the size of a Bar object through
 * object's tp_new, call strategy.next(bar, broker) by an interned name through vectorcall, and
 * release both. Built by bench/run.py for the running interpreter; not part of the module. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *next_name;
static PyObject *empty_args;

/* The least a heap type's instance can do when released: free it and give back its reference to
 * the type. */
static void
floor_bar_dealloc(PyObject *self)
{
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

/* bar_type(basicsize) -> a new heap type whose instances have that size. */
static PyObject *
floor_bar_type(PyObject *module, PyObject *arg)
{
    long size = PyLong_AsLong(arg);
    if (size == -1 && PyErr_Occurred()) {
        return NULL;
    }
    if (size < (long)sizeof(PyObject)) {
        PyErr_SetString(PyExc_ValueError, "basicsize smaller than an object header");
        return NULL;
    }
    PyType_Slot slots[] = {
        {Py_tp_dealloc, (void *)floor_bar_dealloc},
        {0, NULL},
    };
    PyType_Spec spec = {"_cwfloor.FloorBar", (int)size, 0, Py_TPFLAGS_DEFAULT, slots};
    return PyType_FromSpec(&spec);
}

/* run(bar_type, strategy, broker, count): count times, a fresh bar_type object through
 * object.__new__, strategy.next(bar, broker), release. */
static PyObject *
floor_run(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 4 || !PyType_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "run(bar_type, strategy, broker, count)");
        return NULL;
    }
    PyTypeObject *type = (PyTypeObject *)args[0];
    PyObject *strategy = args[1];
    PyObject *broker = args[2];
    Py_ssize_t count = PyLong_AsSsize_t(args[3]);
    if (count == -1 && PyErr_Occurred()) {
        return NULL;
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *bar = PyBaseObject_Type.tp_new(type, empty_args, NULL);
        if (bar == NULL) {
            return NULL;
        }
        /* Slot 0 is free for the interpreter to use (PY_VECTORCALL_ARGUMENTS_OFFSET). */
        PyObject *stack[4] = {NULL, strategy, bar, broker};
        PyObject *result = PyObject_VectorcallMethod(
            next_name, stack + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
        Py_DECREF(bar);
        if (result == NULL) {
            return NULL;
        }
        Py_DECREF(result);
    }
    Py_RETURN_NONE;
}

static PyMethodDef floor_methods[] = {
    {"bar_type", floor_bar_type, METH_O, NULL},
    {"run", (PyCFunction)(void (*)(void))floor_run, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "_cwfloor", NULL, -1, floor_methods,
};

PyMODINIT_FUNC
PyInit__cwfloor(void)
{
    next_name = PyUnicode_InternFromString("next");
    empty_args = PyTuple_New(0);
    if (next_name == NULL || empty_args == NULL) {
        return NULL;
    }
    return PyModule_Create(&floor_module);
}
