// Compiled recipes. A recipe whose items hold only plain values (str texts,
// exact ints and bools) is read once into a plan, which later calls reuse while
// no item dict has changed in anything but its "value". Dict watchers report
// every change, so a plan is dropped the moment it could differ from what a
// fresh reading of the items would give. Interpreters without dict watchers,
// and free-threaded builds, always read the items afresh.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/encodings.hpp"
#include "python/convert.hpp"

namespace bitloom::py {

struct PlanItem {
    PyObject* dict;                // borrowed: watched, the plan dies with any change
    Ref name;                      // the item's `name`
    std::string_view name_text;    // its UTF-8 text (owned by `name`)
    Ref result_key;                // plain str used as the result dict's key
    const core::EncodingRow* row;  // the encoding's row
    std::uint32_t bits;
    std::uint32_t offset;
    bool has_offset;
    bool reverse;
    bool little;
};

struct Plan {
    std::vector<PlanItem> items;
    std::vector<PyObject*> dicts;   // sorted, for the watcher's membership test
    std::uint64_t packet_bits = 0;  // result of the packer's sizing pass
    bool packable = true;           // every encoding is one the packer accepts
    bool usable = true;             // false: these items are read directly every time
    std::atomic<bool> valid{true};

    bool still_valid() const noexcept { return valid.load(std::memory_order_relaxed); }
};

using PlanRef = std::shared_ptr<const Plan>;

// The plan of these recipe items, built on first use; nullptr when the items
// must be read directly (plans unavailable, unusual values, or any item that
// would fail). Never leaves an exception set.
PlanRef find_plan(const ItemList& items);

}  // namespace bitloom::py
