/* The floor of unpacking a packet into a dict: the cost of building the same
 * result from values already decoded, in C. Two functions, both taking a tuple
 * of keys and a tuple of ints of the same length:
 *
 *   dict_from_ints(keys, ints)     a presized dict filled with the given int
 *                                  objects (counts building the dict only)
 *   dict_creating_ints(keys, raw)  the same, each value an int made with
 *                                  PyLong_FromUnsignedLongLong from the given
 *                                  (non-negative) int's value, as a decoder
 *                                  makes it (counts creating the ints too)
 *
 * Built by bench/floor_helper.py for the running interpreter. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static int check_args(PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyTuple_Check(args[0]) || !PyTuple_Check(args[1]) ||
        PyTuple_GET_SIZE(args[0]) != PyTuple_GET_SIZE(args[1])) {
        PyErr_SetString(PyExc_TypeError, "expected two tuples of the same length");
        return -1;
    }
    return 0;
}

static PyObject *dict_from_ints(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    (void)self;
    if (check_args(args, nargs) < 0) return NULL;
    Py_ssize_t n = PyTuple_GET_SIZE(args[0]);
    PyObject *d = _PyDict_NewPresized(n);
    if (d == NULL) return NULL;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyDict_SetItem(d, PyTuple_GET_ITEM(args[0], i), PyTuple_GET_ITEM(args[1], i)) < 0) {
            Py_DECREF(d);
            return NULL;
        }
    }
    return d;
}

/* The raw values as C integers, converted once per tuple: the floor stands for
 * values already decoded into C, so reading them back from Python objects on
 * every call is kept out of the count. */
static PyObject *raw_source = NULL;
static unsigned long long raw_values[1024];

static int load_raw(PyObject *ints) {
    if (ints == raw_source) return 0;
    Py_ssize_t n = PyTuple_GET_SIZE(ints);
    if (n > (Py_ssize_t)(sizeof raw_values / sizeof raw_values[0])) {
        PyErr_SetString(PyExc_ValueError, "at most 1024 values");
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        raw_values[i] = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(ints, i));
        if (raw_values[i] == (unsigned long long)-1 && PyErr_Occurred()) return -1;
    }
    Py_INCREF(ints);
    Py_XSETREF(raw_source, ints);
    return 0;
}

static PyObject *dict_creating_ints(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    (void)self;
    if (check_args(args, nargs) < 0 || load_raw(args[1]) < 0) return NULL;
    Py_ssize_t n = PyTuple_GET_SIZE(args[0]);
    PyObject *d = _PyDict_NewPresized(n);
    if (d == NULL) return NULL;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *v = PyLong_FromUnsignedLongLong(raw_values[i]);
        if (v == NULL || PyDict_SetItem(d, PyTuple_GET_ITEM(args[0], i), v) < 0) {
            Py_XDECREF(v);
            Py_DECREF(d);
            return NULL;
        }
        Py_DECREF(v);
    }
    return d;
}

static PyMethodDef methods[] = {
    {"dict_from_ints", (PyCFunction)(void (*)(void))dict_from_ints, METH_FASTCALL, NULL},
    {"dict_creating_ints", (PyCFunction)(void (*)(void))dict_creating_ints, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "bitloom_floor", NULL, -1, methods,
                                    NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_bitloom_floor(void) { return PyModule_Create(&module); }
