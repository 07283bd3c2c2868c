// Reading recipe items: key lookups straight from the dict's own storage with
// key objects created once per process, and the conversion of the values found.
#pragma once

#include <cstdint>
#include <string_view>

#include "python/convert.hpp"

namespace bitloom::py {

enum class Key : std::uint8_t { Name, Encoding, Bits, ByteOrder, ReverseBits, OffsetBits, Value };

// Create the interned key objects; called once by module initialisation.
bool init_recipe_keys();
PyObject* key_object(Key key) noexcept;
const char* key_text(Key key) noexcept;

// Look `key` up in the dict `item` without calling any subclass hook.
// 1: found (new reference in out), 0: absent, -1: error.
int lookup(PyObject* item, Key key, Ref& out);

// KeyError "Recipe missing required field: '{key}'".
void raise_missing_field(Key key);

// A required text key (`name`, `encoding`, `byte_order`): the found object in
// `holder`, its UTF-8 text in `text`.
bool get_required_field(PyObject* item, Key key, Ref& holder, std::string_view& text);
// A required unsigned 32-bit key (`bits`).
bool get_required_field(PyObject* item, Key key, std::uint32_t& out);
// A required boolean key (`reverse_bits`).
bool get_required_bool(PyObject* item, Key key, bool& out);
// An optional unsigned 32-bit key (`offset_bits`): present is set accordingly.
bool get_optional_u32(PyObject* item, Key key, bool& present, std::uint32_t& out);

// The item must be a dict or a dict subclass (cast error naming dict otherwise).
bool require_dict(PyObject* item);

// Lower-case a text with the Unicode lower-case mapping (str.lower, never a
// subclass override) into `buf` when the result is at most `cap` bytes of
// ASCII; returns the lowered text, or an empty view when it cannot be one of
// the short ASCII names we compare with. False with an exception set on error.
bool lower_short_name(PyObject* obj, std::string_view text, char* buf, std::size_t cap,
                      std::string_view& lowered);

// Where in a recipe a call failed: the item's index and, once read, its name.
struct FailureSite {
    bool in_item = false;
    std::size_t index = 0;
    Ref name;
};

// The re-wrapping of pack_parameters / unpack_parameters: a pending Exception
// (other than MemoryError) becomes ValueError("{TypeName}: {str(exc)}");
// anything else passes through unchanged. The exception raised carries a note
// "while {verb} recipe item {index} ('{name}')" when the failure lies in an item.
void rewrap_pending_error(const char* verb, const FailureSite& site);

}  // namespace bitloom::py
