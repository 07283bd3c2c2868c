// Packing with a compiled layout: Layout.pack and Layout.pack_into, which
// encode exactly as pack_parameters does, with the values given as a mapping
// from name to value or as a sequence in recipe order.
#pragma once

#include "binding/shims.hpp"
#include "ext/bitloom_bulk/layout.hpp"

namespace bitloom::bulk {

// Layout.pack(values): a new bytes object, or nullptr with the error set.
PyObject* layout_pack(const Layout& layout, PyObject* values);

// Layout.pack_into(buffer, offset_bits, values): None, or nullptr with the
// error set; a failure leaves the buffer untouched.
PyObject* layout_pack_into(const Layout& layout, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

}  // namespace bitloom::bulk
