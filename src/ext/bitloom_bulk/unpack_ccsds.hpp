// CCSDS space packet framing and decoding of packet streams by APID.
#pragma once

#include "binding/shims.hpp"

namespace bitloom::bulk {

// split_ccsds(data, *, offset=0, allow_partial=False)
PyObject* split_ccsds(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// unpack_ccsds(data, recipes, *, offset=0)
PyObject* unpack_ccsds(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace bitloom::bulk
