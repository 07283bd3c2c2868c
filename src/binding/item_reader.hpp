// Reading recipe items: the one reader that turns an item dict into a prepared
// field, with key objects created once per process, and the failure site and
// re-wrapping the recipe paths share.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/convert.hpp"
#include "core/prepared_field.hpp"

namespace bitloom::py {

enum class Key : std::uint8_t { Name, Encoding, Bits, ByteOrder, ReverseBits, OffsetBits, Value };
inline constexpr std::size_t kKeyCount = 7;

// Create the interned key objects and the other names the recipe paths look
// up (method and attribute names); called once by module initialisation.
bool init_recipe_keys();
PyObject* key_object(Key key) noexcept;
const char* key_text(Key key) noexcept;

// Look `key` up in the dict `item` without calling any subclass hook.
// 1: found (new reference in out), 0: absent, -1: error.
int lookup(PyObject* item, Key key, Ref& out);

// How the reader treats what it cannot read as a plain field.
enum class ReadMode : std::uint8_t {
    // Raise what a recipe path raises for the item, converting as the paths do.
    Raise,
    // Refuse (return false, nothing raised) anything that would run Python
    // code, raise, or hold more than plain objects: a dict with a key that is
    // not an exact str, a missing key, texts that are not exact ASCII-lowerable
    // str, integers that are not exact int, flags that are not True/False, an
    // unknown encoding or byte order. Used to build plans.
    Refuse,
};

// The objects an item's reading found, for messages and result keys. In
// Raise mode each is held; in Refuse mode they are borrowed from the dict
// (nothing runs between the reading and their use).
struct ItemReading {
    Ref name;                    // the `name` object, set as soon as it is read
    std::string_view name_text;  // its UTF-8 text
    Ref encoding;
    std::string_view encoding_text;
    Ref order;
    std::string_view order_text;
};

// Read an item in the order its errors take precedence: the item is a dict,
// then `name`, `encoding`, `bits`, `byte_order`, `reverse_bits` and the
// optional `offset_bits`; the first failure stops the reading. Then the
// encoding and byte order are resolved after lower-casing; an unknown one is
// left in the field (row nullptr, order_known false) for each path to raise
// at its own point of the check order (Raise mode), or refused (Refuse mode).
bool read_field(PyObject* item, ReadMode mode, core::FieldSpec& fld, ItemReading& reading);

// What the packer's sizing pass reads of an item: it is a dict, its `bits`
// and its optional `offset_bits`. False with the error set.
bool read_extent(PyObject* item, std::uint32_t& bits, bool& has_offset, std::uint32_t& offset);

// The key under which unpacking stores an item's value: the name object when
// it is an exact str, else a plain str equal to it. nullptr on error.
PyObject* result_key(const ItemReading& reading);

// The recipe paths' errors of a field read in Raise mode, raised where each
// path checks them. Each returns false.
bool raise_unsupported_encoding(std::string_view written);  // "Unsupported encoding type: ..."
bool raise_invalid_byte_order(std::string_view written);    // "Invalid byte_order '...': ..."
bool raise_missing_value(std::string_view name);            // "Recipe item '...' missing ..."

// Where in a recipe a call failed: the item's index and, once read, its name.
struct FailureSite {
    bool in_item = false;
    std::size_t index = 0;
    Ref name;
};

// A fresh reading of an item in Raise mode, its records cleared first.
inline bool read_afresh(PyObject* item, core::FieldSpec& fld, ItemReading& reading) {
    fld = core::FieldSpec{};
    reading = ItemReading{};
    return read_field(item, ReadMode::Raise, fld, reading);
}

// A recipe path's failure at item `index`: `site` names the item, and the
// error an unknown encoding or byte order stands for is raised with the text
// as written (for Failed an error is already set). Returns false.
bool fail_item(core::FieldOutcome outcome, const ItemReading& reading, const Ref& name,
               std::size_t index, FailureSite& site);

// The re-wrapping of pack_parameters / unpack_parameters: a pending Exception
// (other than MemoryError) becomes ValueError("{TypeName}: {str(exc)}");
// anything else passes through unchanged. The exception raised carries a note
// "while {verb} recipe item {index} ('{name}')" when the failure lies in an item.
void rewrap_pending_error(const char* verb, const FailureSite& site);

// The same for bitloom_bulk, whose messages do not repeat their type's name:
// a pending ValueError keeps its own text (it would otherwise read
// "ValueError: ValueError: ..." when printed) and only gains the note; any
// other exception is re-wrapped as above.
void rewrap_bulk_error(const char* verb, const FailureSite& site);

}  // namespace bitloom::py
