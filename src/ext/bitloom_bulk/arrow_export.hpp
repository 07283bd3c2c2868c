// Tables (dicts name -> numpy column) exported through the Arrow C data
// interface and its PyCapsule protocol, with the structs of the Arrow ABI
// written here (no Arrow library is linked).
#pragma once

#include <memory>

#include "binding/shims.hpp"
#include "ext/bitloom_bulk/arrow_column.hpp"

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

// An ArrowColumn's schema: a PyCapsule "arrow_schema", utf8 or large_utf8
// (binary, large_binary or binary_view for a column of bytes).
PyObject* text_schema_capsule(const TextBuffers& text);
// An ArrowColumn as PyCapsules "arrow_schema" and "arrow_array" over its own
// buffers, which the array shares until the consumer releases it.
PyObject* text_array_capsules(std::shared_ptr<const TextBuffers> text);

}  // namespace bitloom::bulk
