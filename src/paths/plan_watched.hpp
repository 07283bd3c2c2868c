// Plans on CPython 3.12 and later: dict watchers report every change of a
// planned dict, and the plan is retired (marked invalid and dropped) the moment
// a watched dict changes in anything but its "value", or is freed. Why the
// invariant holds: every change of a dict's contents goes through the dict's
// own update path, which calls the watcher before the change; a plan pushed
// out of its slot is marked invalid as it goes, since the watchers no longer
// reach it. A planned item is therefore current exactly while its plan is valid.
//
// The "value"s are remembered too: a watched dict's "value" changing bumps one
// process-wide epoch, and an item's value found at the current epoch is the one
// a lookup would find (the dict holds it; any change of it would have bumped
// the epoch first).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "binding/convert.hpp"

namespace bitloom::py {

// Bumped by the dict watcher on every change of a watched dict's "value" (the
// GIL orders them): a value remembered at the current epoch is still the item's.
inline std::uint64_t watched_value_epoch = 0;

class PlanState {
public:
    bool current(std::size_t, PyObject*, bool valid) const noexcept { return valid; }
    bool all_current(ItemView, bool valid) const noexcept { return valid; }
    PyObject* value(std::size_t i, PyObject* dict) noexcept {
        const SeenValue& seen = seen_[i];
        if (seen.epoch == watched_value_epoch) [[likely]] {
            return seen.value;
        }
        return look_up_value(i, dict);
    }

    // A usable plan: watch its dicts and make room for the values. 1: done,
    // -1: the plan cannot be kept (nothing raised). `blocker` is not used here.
    int capture(ItemView dicts, std::size_t& blocker);
    // An unusable plan stays so until one of its dicts changes: watch them.
    bool capture_unusable(ItemView items, std::size_t blocker);
    // An unusable plan found again in the cache: unchanged, or it was retired.
    bool blocker_unchanged(PyObject*) const noexcept { return true; }

    // The plan reads this dict (its watcher events concern the plan).
    bool reads(PyObject* dict) const noexcept;

    // The dict watcher, registered once; false when watchers are unavailable.
    static bool ready() noexcept;

private:
    bool watch_all();

    std::vector<PyObject*> dicts_;  // sorted, for the membership test (borrowed)
    PyObject* look_up_value(std::size_t i, PyObject* dict) noexcept;

    struct SeenValue {
        std::uint64_t epoch;  // UINT64_MAX: never seen
        PyObject* value;      // borrowed, valid while the epoch stands
    };
    std::vector<SeenValue> seen_;  // per item
};

}  // namespace bitloom::py
