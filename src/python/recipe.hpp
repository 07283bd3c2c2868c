// Reading recipe items: key lookups straight from the dict's own storage with
// key objects created once per process, and the conversion of the values found.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/encodings.hpp"
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

// The keys the packer and the unpacker both read from an item. The texts are
// the UTF-8 of the objects held here (and, for `name`, of the caller's Ref).
struct ItemKeys {
    std::string_view name;
    Ref encoding_obj;
    std::string_view encoding;
    std::uint32_t bits = 0;
    Ref order_obj;
    std::string_view order;
    bool reverse = false;
    bool has_offset = false;
    std::uint32_t offset = 0;
};

// Read an item's keys in the order their errors take precedence: the item is a
// dict, then `name`, `encoding`, `bits`, `byte_order`, `reverse_bits` and the
// optional `offset_bits`; the first failure stops the reading with its error
// set. The name object goes to `name_obj` as soon as it is read, so that a
// failure on a later key can still name the item. Only types are checked here:
// the encoding and byte-order texts are resolved by each path at its own point.
inline bool read_item_keys(PyObject* item, Ref& name_obj, ItemKeys& keys) {
    return require_dict(item) && get_required_field(item, Key::Name, name_obj, keys.name) &&
           get_required_field(item, Key::Encoding, keys.encoding_obj, keys.encoding) &&
           get_required_field(item, Key::Bits, keys.bits) &&
           get_required_field(item, Key::ByteOrder, keys.order_obj, keys.order) &&
           get_required_bool(item, Key::ReverseBits, keys.reverse) &&
           get_optional_u32(item, Key::OffsetBits, keys.has_offset, keys.offset);
}

// Room for the lower-cased form of any encoding name or byte order we accept.
inline constexpr std::size_t kShortNameCap = 32;

// ValueError "Invalid byte_order '{written}': must be 'big' or 'little'". Returns false.
bool raise_invalid_byte_order(std::string_view written);
// ValueError "Unsupported encoding type: {written}". Returns false.
bool raise_unsupported_encoding(std::string_view written);

// A lower-cased byte order: "big" gives little = false, "little" gives little =
// true; false (nothing raised) for any other text.
inline bool byte_order_of(std::string_view lowered, bool& little) noexcept {
    little = lowered == "little";
    return little || lowered == "big";
}

// A byte order after lower-casing: "big" gives little = false, "little" gives
// little = true; any other text raises the invalid byte-order error.
inline bool parse_byte_order(PyObject* obj, std::string_view text, bool& little) {
    char buf[kShortNameCap];
    std::string_view lowered;
    if (!lower_short_name(obj, text, buf, sizeof buf, lowered)) return false;
    return byte_order_of(lowered, little) || raise_invalid_byte_order(text);
}

// The row of an encoding name after lower-casing; nullptr with the unsupported
// encoding error set when there is none, or, for packing, when the packer
// cannot write that encoding.
inline const core::EncodingRow* find_item_encoding(PyObject* obj, std::string_view text,
                                                   bool packing) {
    char buf[kShortNameCap];
    std::string_view lowered;
    if (!lower_short_name(obj, text, buf, sizeof buf, lowered)) return nullptr;
    const core::EncodingRow* row = core::find_encoding(lowered);
    if (row == nullptr || (packing && !row->packs)) {
        raise_unsupported_encoding(text);
        return nullptr;
    }
    return row;
}

// Where in a recipe a call failed: the item's index and, once read, its name.
struct FailureSite {
    bool in_item = false;
    std::size_t index = 0;
    Ref name;
};

// Run every item of a recipe in order, keeping `site` on the item at hand:
// the items a plan covers through `planned(plan_item)` while each is found
// current (a value's own conversion code may change the recipe, so the plan is
// checked before every item), then the rest through `direct(item, site_name)`,
// which stores the item's name object as soon as it has read it. False at the first
// failure, with its error set and `site` naming the item.
template <class PlanPtr, class Planned, class Direct>
inline bool run_items(const ItemList& items, const PlanPtr& plan, FailureSite& site,
                      Planned&& planned, Direct&& direct) {
    std::size_t i = 0;
    site.in_item = true;
    if (plan) {
        for (; i < items.size() && plan->item_current(i); ++i) {
            if (!planned(plan->items[i])) [[unlikely]] {
                site.index = i;
                site.name = plan->items[i].name;
                return false;
            }
        }
    }
    for (; i < items.size(); ++i) {
        site.index = i;
        site.name = Ref();
        if (!direct(items[i], site.name)) return false;
    }
    return true;
}

// The re-wrapping of pack_parameters / unpack_parameters: a pending Exception
// (other than MemoryError) becomes ValueError("{TypeName}: {str(exc)}");
// anything else passes through unchanged. The exception raised carries a note
// "while {verb} recipe item {index} ('{name}')" when the failure lies in an item.
void rewrap_pending_error(const char* verb, const FailureSite& site);

}  // namespace bitloom::py
