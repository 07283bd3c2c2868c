// A compiled layout: a recipe read once into prepared fields, with the
// per-packet decoding and encoding that uses nothing but those fields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/prepared_field.hpp"
#include "binding/args.hpp"
#include "binding/ref.hpp"

namespace bitloom::bulk {

struct LayoutField {
    core::FieldSpec fld;
    py::Ref name;                  // the item's name object, as the recipe holds it (for notes)
    py::Ref key;                   // a plain str equal to the name: the result key
    std::string encoding_written;  // the encoding text as written (messages, pickling)
    std::string order_written;     // the byte order text as written (pickling)
};

struct Layout {
    std::vector<LayoutField> fields;
    std::uint64_t packet_bits = 0;
    py::Ref names;  // tuple of the keys, in recipe order
};

// The Python type of Layout objects (created by module initialisation).
bool init_layout_type(PyObject* module);
// The Layout held by a Layout object, or nullptr when obj is not one.
const Layout* as_layout(PyObject* obj) noexcept;
// A Layout object for `recipe`: a Layout object itself (new reference) or a
// recipe compiled now. nullptr with the unpack_parameters error set.
PyObject* layout_of(PyObject* recipe);

// Read one recipe item into a field: the keys, then the byte order, then the
// encoding (as unpacking checks them). False with the error set (not yet
// re-wrapped); `name_obj` holds the item's name as soon as it is read.
bool read_layout_field(PyObject* item, py::Ref& name_obj, LayoutField& field);

// Decode one packet into a new dict exactly as unpack_parameters does, with
// its re-wrapped errors and notes. nullptr with the error set.
PyObject* unpack_one(const Layout& layout, const std::uint8_t* packet, std::size_t len,
                     std::uint64_t base);

// compile(recipe)
PyObject* compile(PyObject* self, PyObject* recipe);

}  // namespace bitloom::bulk
