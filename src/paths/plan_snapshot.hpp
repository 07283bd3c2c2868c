// Plans on CPython 3.10 and 3.11: each planned item keeps the (key, value)
// pairs of its dict as read, holding a reference to every object it compares,
// and the dict's version tag. Why the invariant holds: an item is current
// while its dict's tag is unchanged (every change of a dict's contents draws a
// new tag from one process-wide counter), or while a walk of the dict finds
// the same key and value objects in the same order ("value" aside); a held
// object cannot be replaced by a new one at the same address, so the same
// pointer means the same immutable object. The check needs nothing from the
// cache, so it holds for a plan pushed out of its slot too.
//
// What a plan holds stays bounded: dicts of at most kMaxKeys keys, keys and
// texts of at most kMaxHeldText characters, kPlanTextBudget characters in all.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "binding/convert.hpp"

namespace bitloom::py {

class PlanState {
public:
    bool current(std::size_t i, PyObject* dict, bool) noexcept {
        ItemRecord& it = records_[i];
        if (!PyDict_Check(dict)) [[unlikely]] {
            return false;
        }
        const std::uint64_t tag = shim::dict_version_tag(dict);
        if (tag == it.seen_tag) [[likely]] {
            return true;
        }
        return rescan(it, dict, tag, held_.data());
    }
    // current() for every item, `items` being the plan's own dicts: the tags
    // first, a walk of a dict only where its tag moved.
    bool all_current(ItemView items, bool) noexcept {
        const ItemRecord* record = records_.data();
        for (std::size_t i = 0; i < items.size(); ++i) {
            PyObject* dict = items[i];
            if (!PyDict_Check(dict) || shim::dict_version_tag(dict) != record[i].seen_tag)
                [[unlikely]] {
                if (!current(i, dict, true)) return false;
            }
        }
        return true;
    }
    // The "value" seen when the item was last found current (borrowed: the
    // dict holds it while its tag stands).
    PyObject* value(std::size_t i, PyObject*) noexcept { return records_[i].seen_value; }

    // A usable plan: keep every item's pairs. 1: done, 0: item `blocker` holds
    // more than a plan keeps (the plan becomes unusable), -1: out of memory.
    int capture(ItemView dicts, std::size_t& blocker);
    // An unusable plan stays so while its blocking item is unchanged ("value"
    // aside): keep that item's pairs, unowned (compared only; a false match
    // only keeps the direct path, which is always right).
    bool capture_unusable(ItemView items, std::size_t blocker);
    bool blocker_unchanged(PyObject* dict) noexcept;

    static bool ready() noexcept { return true; }

private:
    struct Pair {
        PyObject* key;
        PyObject* value;  // nullptr where the value does not enter the reading
    };
    struct ItemRecord {
        std::uint32_t first = 0;  // the item's pairs: [first, first + count)
        std::uint32_t count = 0;
        std::int32_t value_at = -1;  // position of its "value" among them, -1: none
        std::uint64_t seen_tag = 0;  // the tag when last found current
        PyObject* seen_value = nullptr;
    };

    // The tag changed: compare the dict's pairs with the record's.
    static bool rescan(ItemRecord& it, PyObject* dict, std::uint64_t tag,
                       const Pair* pairs) noexcept;
    // Append the dict's pairs to `pairs`; false when it holds more than a plan keeps.
    static bool record(PyObject* dict, std::vector<Pair>& pairs, ItemRecord& it, bool bounded,
                       std::int64_t& text_budget);

    std::vector<ItemRecord> records_;
    std::vector<Pair> held_;  // usable plans: every pair, each object held by `refs_`
    std::vector<Ref> refs_;
    bool blocker_is_dict_ = false;
    bool blocker_oversized_ = false;
    ItemRecord blocker_record_;
    std::vector<Pair> blocker_pairs_;  // unowned
};

}  // namespace bitloom::py
