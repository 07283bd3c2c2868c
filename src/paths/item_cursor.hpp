// The item cursor: the one source of items the packet executors iterate. It
// gives each item's prepared field, result key and value, from the call's plan
// while the plan holds, else read afresh, so that the executors' loops never
// look at the plan cache themselves.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/convert.hpp"
#include "binding/item_reader.hpp"
#include "paths/plan_cache.hpp"
#include "paths/prepared_recipe.hpp"

namespace bitloom::py {

// Where a cursor's items come from, fixed for the call so that a loop over
// planned items carries nothing of a fresh reading.
enum class Source : std::uint8_t {
    // A plan found current just now, for a call that runs no Python code
    // until it returns (unpacking: the executor makes ints, floats and strs
    // and stores them under exact str keys in a dict of its own, and no other
    // thread runs while it holds the GIL), so every item holds as planned.
    Plan,
    // Every item read afresh.
    Afresh,
    // The plan while no Python code has run since it was found current
    // (quiet), then each item checked before it is used, and read afresh from
    // the first one that changed on (packing: a value's conversion may run
    // code that changes the recipe). Without a plan, every item afresh.
    PlanWhileCurrent,
};

template <Source S>
class ItemCursor {
public:
    // `plan` is held by the caller for the whole call; nullptr only with
    // Afresh or PlanWhileCurrent.
    ItemCursor(ItemView items, Plan* plan) noexcept
        : items_(items.data()),
          count_(items.size()),
          plan_(S == Source::Afresh ? nullptr : plan),
          planned_(plan_ != nullptr ? plan_->recipe.items.data() : nullptr) {}

    std::size_t size() const noexcept { return count_; }

    // Item i's prepared field with its result key (unpacking). nullptr when a
    // fresh reading failed, with the error set.
    const PreparedItem* keyed(std::size_t i) {
        if constexpr (S == Source::Plan) {
            return &planned_[i];
        } else {
            const PreparedItem* planned = from_plan(i);
            if (planned != nullptr) return planned;
            if (!read_afresh(items_[i], fresh_.fld, reading_)) return nullptr;
            fresh_.key = Ref(result_key(reading_));
            return fresh_.key ? &fresh_ : nullptr;
        }
    }

    // Item i's prepared field without its key (packing), and with `value`
    // its "value": 1 found (borrowed from the item, or held by the cursor),
    // 0 absent, -1 error set. nullptr when a fresh reading failed.
    const PreparedItem* valued(std::size_t i, PyObject*& value, int& found) {
        static_assert(S != Source::Plan, "a packing cursor must check its plan");
        if (const PreparedItem* planned = from_plan(i)) {
            value = plan_->value(i);
            found = value != nullptr ? 1 : (PyErr_Occurred() ? -1 : 0);
            return planned;
        }
        if (!read_afresh(items_[i], fresh_.fld, reading_)) return nullptr;
        found = lookup(items_[i], Key::Value, fresh_value_);
        value = fresh_value_.get();
        return &fresh_;
    }

    // Where item `p` starts: the call's offset plus its planned start, or the
    // running position for a field read afresh without an offset.
    std::uint64_t start(const PreparedItem& p, std::uint64_t base,
                        std::uint64_t position) const noexcept {
        if constexpr (S == Source::Plan) {
            return base + p.start;
        } else {
            return core::field_start(p.fld, base, position);
        }
    }

    // Cleared by the packer's executor when a value took the general way.
    bool& quiet() noexcept { return quiet_; }

    // The item's name text, for "missing value" (its reading must have run).
    std::string_view name_text(std::size_t i) const noexcept {
        return using_plan() ? planned_[i].name_text : reading_.name_text;
    }

    // A failure at item i: `site` names it, and an unknown encoding or byte
    // order read afresh is raised with its text as written. Returns false.
    bool fail(core::FieldOutcome outcome, std::size_t i, FailureSite& site) const {
        if (using_plan()) {
            // A planned field's byte order and encoding are known: only its
            // bounds or its data can fail, which need no reading.
            return fail_item(outcome, ItemReading{}, planned_[i].name, i, site);
        }
        return fail_item(outcome, reading_, reading_.name, i, site);
    }

private:
    bool using_plan() const noexcept {
        if constexpr (S == Source::Plan) return true;
        return plan_ != nullptr;
    }

    // The planned item i while the plan holds; nullptr (for this and every
    // later item) from the first item that must be read afresh.
    const PreparedItem* from_plan(std::size_t i) noexcept {
        if constexpr (S == Source::Afresh) {
            return nullptr;
        } else {
            if (plan_ != nullptr && (quiet_ || plan_->current(i))) [[likely]] {
                return &planned_[i];
            }
            plan_ = nullptr;  // once an item has changed, the rest is read afresh
            return nullptr;
        }
    }

    PyObject* const* items_;
    std::size_t count_;
    Plan* plan_;
    const PreparedItem* planned_;
    bool quiet_ = true;  // no Python code has run since the plan was found
    // A fresh reading's records live across items: every reading starts anew.
    PreparedItem fresh_;
    ItemReading reading_;
    Ref fresh_value_;
};

}  // namespace bitloom::py
