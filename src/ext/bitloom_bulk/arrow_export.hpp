// Tables (dicts name -> numpy column) exported through the Arrow C data
// interface and its PyCapsule protocol, with the structs of the Arrow ABI
// written here (no Arrow library is linked).
#pragma once

#include "binding/shims.hpp"

namespace bitloom::bulk {

// _arrow_schema(table): a PyCapsule "arrow_schema" holding the table's schema
// (a struct of one field per column).
PyObject* arrow_schema(PyObject* self, PyObject* table);
// _arrow_array(table): a pair of PyCapsules, "arrow_schema" and "arrow_array":
// the table as one struct array.
PyObject* arrow_array(PyObject* self, PyObject* table);
// _arrow_stream(table): a PyCapsule "arrow_array_stream" that yields the table
// as one struct record batch, then the end of the stream.
PyObject* arrow_stream(PyObject* self, PyObject* table);

}  // namespace bitloom::bulk
