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

// The records of an item read afresh, kept across items (every reading starts
// anew). A separate object from the cursor: the readers get its address, and
// a cursor whose address no called function sees keeps its state in
// registers through the executor's loop.
struct AfreshRecords {
    core::FieldSpec fld;
    ItemReading reading;
    Ref key;    // unpacking: the result key
    Ref value;  // packing: the "value"
};

template <Source S>
class ItemCursor {
public:
    // `plan` is held by the caller for the whole call; nullptr only with
    // Afresh or PlanWhileCurrent. `fresh` (unused with Plan, which may pass
    // nullptr) outlives the cursor.
    ItemCursor(ItemView items, Plan* plan, AfreshRecords* fresh) noexcept
        : items_(items.data()),
          count_(items.size()),
          plan_(S == Source::Afresh ? nullptr : plan),
          planned_(plan_ != nullptr ? plan_->recipe.items.data() : nullptr),
          fresh_(fresh) {}

    std::size_t size() const noexcept { return count_; }

    // Item i's prepared field, with `key` its result key (unpacking). nullptr
    // when a fresh reading failed, with the error set.
    const core::FieldSpec* keyed(std::size_t i, PyObject*& key) {
        static_assert(S != Source::PlanWhileCurrent, "an unpacking cursor runs no Python code");
        if constexpr (S == Source::Plan) {
            key = planned_[i].key.get();
            return &planned_[i].fld;
        } else {
            if (!read_afresh(items_[i], fresh_->fld, fresh_->reading)) return nullptr;
            fresh_->key = Ref(result_key(fresh_->reading));
            key = fresh_->key.get();
            return key != nullptr ? &fresh_->fld : nullptr;
        }
    }

    // Item i's prepared field (packing), with `value` its "value" and `found`
    // 1 (the value borrowed from the item, or held by the cursor), 0 (absent)
    // or -1 (an error is set: the lookup or, for an item read afresh, its
    // reading failed). `quiet`: no Python code has run since the plan was
    // found current (the executor clears it when a value takes the general
    // way); planned items are checked once it is false. The flag is the
    // executor's own local, not the cursor's: the field executor gets it by
    // reference, which would otherwise expose the cursor.
    const core::FieldSpec& valued(std::size_t i, bool quiet, PyObject*& value, int& found) {
        static_assert(S == Source::PlanWhileCurrent, "a packing cursor checks its plan");
        if (plan_ != nullptr && (quiet || plan_->current(i))) [[likely]] {
            value = plan_->value(i);
            found = value != nullptr ? 1 : (PyErr_Occurred() ? -1 : 0);
            return planned_[i].fld;
        }
        plan_ = nullptr;  // once an item has changed, the rest is read afresh
        value = nullptr;
        if (!read_afresh(items_[i], fresh_->fld, fresh_->reading)) {
            found = -1;
        } else {
            found = lookup(items_[i], Key::Value, fresh_->value);
            value = fresh_->value.get();
        }
        return fresh_->fld;
    }

    // Where item i (prepared as `fld`) starts: the call's offset plus its
    // planned start, or the running position for a field read afresh without
    // an offset.
    std::uint64_t start(std::size_t i, const core::FieldSpec& fld, std::uint64_t base,
                        std::uint64_t position) const noexcept {
        if constexpr (S == Source::Plan) {
            return base + planned_[i].start;
        } else {
            return core::field_start(fld, base, position);
        }
    }

    // Raise "missing value" for item i (its reading must have run); or the
    // MemoryError of getting a planned name's text.
    void raise_missing_value(std::size_t i) const {
        if (!using_plan()) {
            py::raise_missing_value(fresh_->reading.name_text);
            return;
        }
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(planned_[i].name.get(), &len);
        if (text != nullptr) py::raise_missing_value({text, static_cast<std::size_t>(len)});
    }

    // A failure at item i: `site` names it, and an unknown encoding or byte
    // order read afresh is raised with its text as written. Returns false.
    bool fail(core::FieldOutcome outcome, std::size_t i, FailureSite& site) const {
        if (using_plan()) {
            // A planned field's byte order and encoding are known: only its
            // bounds or its data can fail, which need no reading.
            return fail_item(outcome, ItemReading{}, planned_[i].name, i, site);
        }
        return fail_item(outcome, fresh_->reading, fresh_->reading.name, i, site);
    }

private:
    bool using_plan() const noexcept {
        if constexpr (S == Source::Plan) return true;
        return plan_ != nullptr;
    }

    PyObject* const* items_;
    std::size_t count_;
    Plan* plan_;
    const PreparedItem* planned_;
    AfreshRecords* fresh_;
};

}  // namespace bitloom::py
