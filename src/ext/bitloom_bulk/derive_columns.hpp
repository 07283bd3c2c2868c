// Derived values of raw columns, each in one pass over the raw values: an
// enumeration's labels as an object column, a polynomial as float64.
#pragma once

#include "binding/shims.hpp"

namespace bitloom::bulk {

// _label_column(values, low, labels): for C-contiguous integer raw values
// (any shape, read flat), the object column (one-dimensional) whose element i
// is labels[values[i] - low], or None where that lies outside labels; and
// None when every element has a label (is not None), else a bool column of
// the elements without one.
PyObject* label_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// _polynomial_column(values, coefficients): for C-contiguous numeric raw
// values (read flat), the float64 column of the polynomial by Horner's rule
// from the raw value as float64: c[n] * x + c[n-1], times x, plus c[n-2], ...
// (each step rounded, no fused multiply-add), or c[0] everywhere for one
// coefficient.
PyObject* polynomial_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

}  // namespace bitloom::bulk
