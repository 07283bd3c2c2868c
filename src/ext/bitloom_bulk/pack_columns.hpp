// Packing whole tables: Layout.pack_columns turns one column per item into
// the packets of every row, concatenated, each exactly what Layout.pack gives
// for that row. Numeric columns are packed with the GIL released (by the pure
// C++ kernel of core/columns/pack_kernel); pack_ccsds packs its tables the same way.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "binding/buffer.hpp"
#include "binding/ref.hpp"
#include "binding/shims.hpp"
#include "core/columns/pack_kernel.hpp"
#include "ext/bitloom_bulk/layout.hpp"

namespace bitloom::bulk {

// A table's columns read for packing: a plan per item of the layout, with the
// column objects and their buffers held for the call.
struct TablePack {
    std::vector<PackPlan> plans;
    std::vector<py::Ref> objects;  // each item's column (null where it has none)
    std::vector<py::Ref> failed;   // text items: the value of the first row that fails
    std::unique_ptr<py::BufferView[]> buffers;
    std::size_t rows = 0;
};

// Read the column of every item of `layout` from the mapping `columns`: items
// flagged in `optional` may have none (their bits are left zero), and a table
// without any column has `rows_without_columns` rows. False with the error set
// (the errors of Layout.pack_columns).
bool open_table(const Layout& layout, PyObject* columns, TablePack& table,
                const std::vector<bool>* optional, std::size_t rows_without_columns);

// Raise what Layout.pack raises for the failing value of item `index` in
// `row`, with the note naming the row.
void raise_row_error(const Layout& layout, const TablePack& table, std::size_t index,
                     std::size_t row);

// Layout.pack_columns(columns): a new bytes object of N packets, or nullptr
// with the error set (the error Layout.pack raises for the first failing row,
// with a note naming the row).
PyObject* layout_pack_columns(const Layout& layout, PyObject* columns);

}  // namespace bitloom::bulk
