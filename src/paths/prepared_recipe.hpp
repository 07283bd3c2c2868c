// The prepared recipe: a recipe's items read once, by the one item reader,
// into plain records the packet paths execute without looking at the item
// dicts again. A cached plan is a prepared recipe plus what proves it still
// reads as its items do (plan_cache.hpp); a compiled Layout of bitloom_bulk is
// a prepared recipe plus the texts that pickling writes back.
//
// The words the packet paths use:
//
//   prepared field   one item read into a core::FieldSpec: encoding row, width,
//                    offset, byte order, bit reversal, and its quick route.
//   prepared recipe  every item's prepared field, name, result key and start,
//                    with the packet size the packer's sizing rule gives and
//                    whether the packer can write every encoding.
//   plan             a prepared recipe the cache keeps for a recipe whose
//                    items hold only plain values, reused by later calls while
//                    no item dict has changed in anything but its "value".
//   afresh           an item read again from its dict for this one call,
//                    because there is no plan or the plan no longer holds.
//   quick route      the executors' way for a 1..64-bit field of a known byte
//                    order holding a plain number of one of the commonest
//                    encodings (core::QuickRoute); no Python code runs on it.
//   quiet            no Python code has run since the plan was found current,
//                    so nothing can have changed an item: the packer checks
//                    planned items only once a value took the general way.
//   item cursor      what the executors iterate (item_cursor.hpp): the
//                    prepared field, key and value of each item, from the plan
//                    while it holds, else read afresh.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "binding/convert.hpp"
#include "binding/item_reader.hpp"
#include "core/prepared_field.hpp"

namespace bitloom::py {

// 64 bytes: the executors index an array of them, and a power of two keeps
// that to one shift.
struct PreparedItem {
    core::FieldSpec fld;
    Ref name;  // the item's `name` object, as the recipe holds it (notes, messages)
    Ref key;   // the result key: `name` when an exact str, else a plain str
    // Where the field starts when unpacking at offset 0: every start is the
    // call's offset plus this (the running position only adds up the fields
    // before it, reset at each item's own offset).
    std::uint64_t start = 0;
};
static_assert(sizeof(void*) != 8 || sizeof(PreparedItem) == 64);

struct PreparedRecipe {
    std::vector<PreparedItem> items;
    std::uint64_t packet_bits = 0;  // the packer's sizing rule over the fields
    bool packable = true;           // every encoding is one the packer writes
};

// Called with each item's reading before the next item is read; false stops
// the preparation (with an error set in ReadMode::Raise, none in Refuse).
using OnItem = bool (*)(void* context, std::size_t index, PyObject* item,
                        const ItemReading& reading, PreparedItem& prepared);

// Read `items` into `out` in order, each by read_field in `mode`, then work
// out every start, the packet size and whether it packs. False at the first
// item that cannot be read or that `on_item` refuses: `failed` is its index,
// and in Raise mode its error is set (not yet re-wrapped) and `failed_name`
// holds its name once read.
bool prepare(ItemView items, ReadMode mode, PreparedRecipe& out, std::size_t& failed,
             Ref& failed_name, OnItem on_item = nullptr, void* context = nullptr);

}  // namespace bitloom::py
