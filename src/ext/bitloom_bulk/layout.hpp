// A compiled layout: a recipe read once into prepared fields, with the
// per-packet decoding and encoding that uses nothing but those fields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "binding/args.hpp"
#include "binding/ref.hpp"
#include "core/columns/column_kernel.hpp"
#include "paths/prepared_recipe.hpp"

namespace bitloom::bulk {

// The texts of an item as written, which pickling and messages give back.
struct WrittenTexts {
    std::string encoding;  // the encoding text as written (messages, pickling)
    std::string order;     // the byte order text as written (pickling)
    // "dtype": "float32": the item's column is float32 (a binary16 or binary32
    // field, whose values it holds exactly), not float64.
    bool float32 = false;
};

// A compiled layout: a prepared recipe read in the raising mode (its key is a
// plain str equal to each item's name), with each item's texts as written and
// the tuple of its keys.
struct Layout {
    py::PreparedRecipe recipe;
    std::vector<WrittenTexts> written;
    py::Ref names;  // tuple of the keys, in recipe order
};

// The element type of item j's column: float32 where the item asks for it,
// else the field's own (column_kind).
inline ColumnKind layout_column_kind(const Layout& layout, std::size_t j) noexcept {
    return layout.written[j].float32 ? ColumnKind::F32 : column_kind(layout.recipe.items[j].fld);
}

// The Python type of Layout objects (created by module initialisation).
bool init_layout_type(PyObject* module);
// The Layout held by a Layout object, or nullptr when obj is not one.
const Layout* as_layout(PyObject* obj) noexcept;
// A Layout object for `recipe`: a Layout object itself (new reference) or a
// recipe compiled now. nullptr with the unpack_parameters error set.
PyObject* layout_of(PyObject* recipe);

// Decode one packet into a new dict exactly as unpack_parameters does, with
// its re-wrapped errors and notes. nullptr with the error set.
PyObject* unpack_one(const Layout& layout, const std::uint8_t* packet, std::size_t len,
                     std::uint64_t base);

// compile(recipe)
PyObject* compile(PyObject* self, PyObject* recipe);

}  // namespace bitloom::bulk
