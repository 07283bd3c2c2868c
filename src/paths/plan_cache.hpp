// Recipe plans. A recipe whose items hold only plain values (exact str texts,
// exact ints, True/False) is read once into a prepared recipe, which later
// calls reuse while no item dict has changed in anything but its "value".
// This file holds the cache's lookup, validity and invalidation; how a plan
// learns of changes is its strategy's (plan_watched.hpp, 3.12 and later;
// plan_snapshot.hpp, 3.10 and 3.11; plan_strategy.hpp chooses).
//
// The invariant: a plan is used only where a fresh reading would give the same
// fields. A call holds its own reference to the plan and asks, before every
// item, whether the plan still holds (a value's conversion code, another
// thread or a finaliser may change the recipe mid-call); the cache slot is
// never what proves it. Every way out of the cache (eviction, replacement,
// invalidation) goes through one function that marks the plan invalid first,
// and the cache is never torn down, so a plan no longer in the cache can only
// be found invalid (or, with snapshots, checks its items by itself).
//
// A plan is built by the one item reader in its refusing mode, so it holds
// exactly what a raising reading would give, or nothing: any item that would
// run Python code, fail, or hold more than plain objects keeps the recipe on
// the direct path. What a plan keeps alive stays small and visible: exact
// str names (which take part in no reference cycle) and, with snapshots, the
// keys and values of its dicts, bounded in size.
//
// Split-table dicts (an object's __dict__) are never planned: CPython 3.13
// stores attributes into them without telling dict watchers, and before 3.12
// their values are written by the attribute machinery, whose upkeep of the
// version tag the snapshots would otherwise rely on.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "binding/convert.hpp"
#include "paths/plan_strategy.hpp"
#include "paths/prepared_recipe.hpp"

#if BITLOOM_PLANS_WATCHED
#include "paths/plan_watched.hpp"
#elif BITLOOM_PLANS_SNAPSHOT
#include "paths/plan_snapshot.hpp"
#endif

namespace bitloom::py {

#if !BITLOOM_PLANS_WATCHED && !BITLOOM_PLANS_SNAPSHOT
// Free-threaded builds: no plans, the items are always read afresh.
class PlanState {
public:
    bool current(std::size_t, PyObject*, bool) const noexcept { return false; }
    bool all_current(ItemView, bool) const noexcept { return false; }
    PyObject* value(std::size_t, PyObject*) noexcept { return nullptr; }
};
#endif

class Plan {
public:
    PreparedRecipe recipe;  // empty in an unusable plan
    // The items, borrowed: only compared, never read unchecked. Side by side,
    // so that finding a recipe's plan compares one block of pointers.
    std::vector<PyObject*> dicts;
    bool usable = true;             // false: these items are read directly every time
    std::size_t blocker = 0;        // unusable plans: the item that could not be planned
    bool reused = false;            // found again in the cache after it was built
    std::atomic<bool> valid{true};  // cleared when the plan leaves the cache
    PlanState state;                // the strategy's own records

    Plan() = default;
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;

    // Item i's dict still reads as planned ("value" aside). Checked before
    // every item is used. Never runs Python code or raises.
    bool current(std::size_t i) noexcept {
        return state.current(i, dicts[i], valid.load(std::memory_order_relaxed));
    }
    // Every item current, where `items` are the plan's own dicts.
    bool all_current(ItemView items) noexcept {
        return state.all_current(items, valid.load(std::memory_order_relaxed));
    }
    // The "value" object of an item just found current, for packing: borrowed,
    // nullptr when absent (or on a lookup error, which is then set).
    PyObject* value(std::size_t i) noexcept { return state.value(i, dicts[i]); }
};

using PlanRef = std::shared_ptr<Plan>;

// The plan of these recipe items, built on its second sighting and found
// current; nullptr when the items must be read directly (plans unavailable,
// unusual values, or any item that would fail). Runs no Python code and never
// leaves an exception set.
PlanRef find_plan(ItemView items);

// For the watcher strategy: retire every cached plan that reads `dict`;
// `freed`: the dict is being deallocated.
void retire_plans_reading(PyObject* dict, bool freed) noexcept;

}  // namespace bitloom::py
