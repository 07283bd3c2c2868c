// Compiled recipes. A recipe whose items hold only plain values (str texts,
// exact ints and bools) is read once into a plan, which later calls reuse while
// no item dict has changed in anything but its "value".
//
// The invariant: a plan is used only where a fresh reading of the items would
// give the same fields. A call holds its own reference to the plan and asks,
// before every item, whether the plan still holds (a value's conversion code,
// another thread or a finaliser may change the recipe mid-call); the cache slot
// is never what proves it. Every way out of the cache (eviction, invalidation)
// marks the plan invalid first, and the cache is never torn down, so a plan no
// longer in the cache can only be found invalid.
//
// What a plan keeps alive stays small and visible: it holds references only to
// exact str, int and bool objects (which cannot take part in reference cycles),
// names only when they are exact str, and with snapshots texts of at most a few
// hundred characters and a bounded total per plan.
//
// - CPython 3.12 and later: dict watchers report every change, and the plan is
//   marked invalid and dropped the moment a watched dict changes in anything
//   but its "value" (or is freed). A plan pushed out of its slot is marked
//   invalid too, since the watchers no longer reach it.
// - CPython 3.10 and 3.11: each planned item keeps the (key, value) pairs of
//   its dict as read, holding a reference to every object it compares, and the
//   dict's version tag. An item is current while the tag is unchanged, or
//   while a walk of the dict finds the same key and value objects in the same
//   order ("value" aside). Held objects cannot be replaced by new ones at the
//   same address, so the same pointer means the same immutable object. This
//   check needs nothing from the cache, so it holds for an evicted plan too.
// - Split-table dicts (an object's __dict__) are never planned: CPython 3.13
//   stores attributes into them without telling the watchers, and on 3.10
//   and 3.11 their values are written by the attribute machinery, whose
//   upkeep of the version tag the snapshot check would otherwise rely on.
// - Free-threaded builds: no plans; the items are always read afresh.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/encodings.hpp"
#include "python/convert.hpp"
#include "python/recipe.hpp"
#include "python/shims.hpp"

#if defined(Py_GIL_DISABLED)
#define BITLOOM_PLANS_WATCHED 0
#define BITLOOM_PLANS_SNAPSHOT 0
#elif PY_VERSION_HEX >= 0x030C0000
#define BITLOOM_PLANS_WATCHED 1
#define BITLOOM_PLANS_SNAPSHOT 0
#else
#define BITLOOM_PLANS_WATCHED 0
#define BITLOOM_PLANS_SNAPSHOT 1
#endif

namespace bitloom::py {

struct PlanItem {
    PyObject* dict;                // borrowed: only compared, never read without a check
    Ref name;                      // the item's `name`
    std::string_view name_text;    // its UTF-8 text (owned by `name`)
    Ref result_key;                // plain str used as the result dict's key
    const core::EncodingRow* row;  // the encoding's row
    std::uint32_t bits;
    std::uint32_t offset;
    bool has_offset;
    bool reverse;
    bool little;

    // Snapshot checking (3.10, 3.11): the item's pairs are
    // Plan::entries[first_entry, first_entry + entry_count); value_entry is
    // the position of its "value" key among them (-1: none). seen_tag is the
    // dict's version tag when it was last found current, seen_value its
    // "value" object then (borrowed: the dict holds it while the tag stands).
    std::uint32_t first_entry = 0;
    std::uint32_t entry_count = 0;
    std::int32_t value_entry = -1;
    mutable std::uint64_t seen_tag = 0;
    mutable PyObject* seen_value = nullptr;
};

// One (key, value) pair of a planned dict. `value` is nullptr where the value
// does not enter the reading (the "value" key, keys the recipe ignores).
struct SnapshotEntry {
    PyObject* key;
    PyObject* value;
};

struct Plan {
    std::vector<PlanItem> items;
    std::vector<PyObject*> dicts;        // watchers: sorted, for the membership test
    std::vector<SnapshotEntry> entries;  // snapshots: the pairs of every item
    std::uint64_t packet_bits = 0;       // result of the packer's sizing pass
    bool packable = true;                // every encoding is one the packer accepts
    bool usable = true;                  // false: these items are read directly every time
    bool holds_entries = false;          // entries hold references (usable snapshot plans)
    bool blocker_is_dict = false;        // unusable snapshot plans: see `blocker`
    bool blocker_oversized = false;      // ... a dict with too many keys to keep
    std::size_t blocker = 0;             // unusable snapshot plans: the item that could not
                                         // be planned; only its change is looked for
    std::atomic<bool> valid{true};

    Plan() = default;
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
    ~Plan();

    // Item i's dict still reads as planned ("value" aside). With watchers:
    // no watched dict has changed since the plan was built. With snapshots:
    // the dict's tag is the one last seen, or a walk finds the same key and
    // value objects; the tag and "value" seen are then recorded. Checked
    // before every item is used, since a value's conversion code (or a
    // finaliser run by the collector) may change the recipe mid-call. Never
    // runs Python code or raises.
    bool item_current(std::size_t i) const noexcept {
#if BITLOOM_PLANS_SNAPSHOT
        const PlanItem& it = items[i];
        if (!PyDict_Check(it.dict)) [[unlikely]] {
            return false;
        }
        const std::uint64_t tag = shim::dict_version_tag(it.dict);
        if (tag == it.seen_tag) [[likely]] {
            return true;
        }
        return rescan(it, tag);
#else
        (void)i;
        return valid.load(std::memory_order_relaxed);
#endif
    }

    // The "value" object of an item just found current, for packing:
    // borrowed, nullptr when absent (or, with watchers, on a lookup error,
    // which is then set).
    PyObject* value_object(const PlanItem& it) const noexcept {
#if BITLOOM_PLANS_SNAPSHOT
        return it.seen_value;
#else
        return PyDict_GetItemWithError(it.dict, key_object(Key::Value));
#endif
    }

    // Snapshots: compare the dict's pairs with the item's (the tag changed).
    bool rescan(const PlanItem& it, std::uint64_t tag) const noexcept;
};

using PlanRef = std::shared_ptr<const Plan>;

// The plan of these recipe items, built on first use and found current; nullptr
// when the items must be read directly (plans unavailable, unusual values, or
// any item that would fail). Runs no Python code and never leaves an exception set.
PlanRef find_plan(const ItemList& items);

}  // namespace bitloom::py
