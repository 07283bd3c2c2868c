// A private view of the encoding table for the test suite: the rows as plain
// Python values, so that a test can hold every hand-written list of encoding
// names (typed recipe items, aliases, the documentation) to the one table.
#pragma once

#include "binding/ref.hpp"

namespace bitloom::bulk {

// _encoding_table() -> [(name, kind, packs), ...] in table order; kind is
// "integer", "float", "text" or "unpack-only".
PyObject* encoding_table(PyObject* self, PyObject* unused);

}  // namespace bitloom::bulk
