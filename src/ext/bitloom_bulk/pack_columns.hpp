// Packing whole tables: Layout.pack_columns turns one column per item into
// the packets of every row, concatenated, each exactly what Layout.pack gives
// for that row. Numeric columns are packed with the GIL released.
#pragma once

#include "binding/shims.hpp"
#include "ext/bitloom_bulk/layout.hpp"

namespace bitloom::bulk {

// Layout.pack_columns(columns): a new bytes object of N packets, or nullptr
// with the error set (the error Layout.pack raises for the first failing row,
// with a note naming the row).
PyObject* layout_pack_columns(const Layout& layout, PyObject* columns);

}  // namespace bitloom::bulk
