#include "paths/unpack_parameters.hpp"

#include <type_traits>

#include "paths/extract_field.hpp"
#include "paths/plan_cache.hpp"
#include "binding/item_reader.hpp"

namespace bitloom::decoder {
namespace {

using core::FieldOutcome;
using py::Ref;

struct NoReading {};
struct FreshReading {
    core::FieldSpec fld;
    py::ItemReading reading;
    Ref key;
};

// Every item in order: its prepared field from the plan (`planned`), or read
// afresh (`planned` null); then the one executor. find_plan has just found
// every planned item current, and nothing here can change an item before it is
// used: the executor runs no Python code (it makes ints, floats and strs and
// stores them under exact str keys in a dict of its own, created before the
// plan was looked up), and no other thread runs while it holds the GIL
// (free-threaded builds have no plans). False at the first failure, with its
// error set and `site` naming the item. Instantiated once for each source of
// the fields, so that the planned loop carries nothing of a fresh reading.
template <bool Planned>
bool process_items(const std::uint8_t* packet, std::size_t len, std::uint64_t base,
                   py::ItemView items, const py::PlannedField* planned, PyObject* result,
                   py::FailureSite& site) {
    std::uint64_t position = base;
    site.in_item = true;
    // A fresh reading's records live across items (every reading starts anew);
    // the planned loop has none.
    [[maybe_unused]] std::conditional_t<Planned, NoReading, FreshReading> fresh;
    // Loop invariants kept in locals: the executor's calls into the
    // interpreter would otherwise make the compiler reload them every item.
    PyObject* const* item = items.data();
    const std::size_t count = items.size();
    for (std::size_t i = 0; i < count; ++i) {
        const core::FieldSpec* fld;
        PyObject* key;
        if constexpr (Planned) {
            fld = &planned[i].fld;
            key = planned[i].name.get();
        } else {
            py::ItemReading& reading = fresh.reading;
            if (!py::read_afresh(item[i], fresh.fld, reading)) {
                return py::fail_item(FieldOutcome::Failed, reading, reading.name, i, site);
            }
            fresh.key = Ref(py::result_key(reading));
            if (!fresh.key) {
                return py::fail_item(FieldOutcome::Failed, reading, reading.name, i, site);
            }
            fld = &fresh.fld;
            key = fresh.key.get();
        }
        const std::uint64_t start = Planned ? base + planned[i].start
                                            : core::field_start(*fld, base, position);
        const FieldOutcome outcome = extract_field(*fld, packet, len, start, key, result);
        if (outcome != FieldOutcome::Done) [[unlikely]] {
            if constexpr (Planned) {
                // A planned field's byte order and encoding are known: only
                // its bounds or its data can fail, which need no reading.
                return py::fail_item(outcome, py::ItemReading{}, planned[i].name, i, site);
            } else {
                return py::fail_item(outcome, fresh.reading, fresh.reading.name, i, site);
            }
        }
        if constexpr (!Planned) position = start + fld->bits;
    }
    return true;
}

// The items with their plan (which the call holds until it returns), or
// read afresh where there is none.
bool process_items(const std::uint8_t* packet, std::size_t len, std::uint64_t base,
                   py::ItemView items, const py::PlanRef& plan, PyObject* result,
                   py::FailureSite& site) {
    if (plan) {
        return process_items<true>(packet, len, base, items, plan->fields.data(), result, site);
    }
    return process_items<false>(packet, len, base, items, nullptr, result, site);
}

// Room for one entry per item: the dict never resizes while it fills. It is
// made before the plan is looked up: making it may start a garbage collection,
// whose finalisers may change the recipe.
Ref new_result(std::size_t items) {
    return Ref(py::shim::dict_new_presized(static_cast<Py_ssize_t>(items)));
}

PyObject* finish(Ref& result, bool done, const py::FailureSite& site) {
    if (done) return result.release();
    py::rewrap_pending_error("unpacking", site);
    return nullptr;
}

const std::uint8_t* bytes_of(std::string_view packet) {
    return reinterpret_cast<const std::uint8_t*>(packet.data());
}

}  // namespace

PyObject* unpack_parameters(std::string_view packet, std::uint32_t base_offset,
                            const py::ItemList& items) {
    py::FailureSite site;
    Ref result = new_result(items.size());
    const bool done = result && process_items(bytes_of(packet), packet.size(), base_offset, items,
                                              py::find_plan(items), result.get(), site);
    return finish(result, done, site);
}

PyObject* unpack_listed(std::string_view packet, std::uint32_t base_offset, PyObject* recipe) {
    py::FailureSite site;
    const py::ItemView listed(PySequence_Fast_ITEMS(recipe),
                              static_cast<std::size_t>(PySequence_Fast_GET_SIZE(recipe)));
    Ref result = new_result(listed.size());
    if (!result) return finish(result, false, site);
    // Planned items are decoded straight from the recipe, borrowed: from here
    // to the end nothing runs Python code (see process_items), so nothing can
    // change the list or free an item. Items read afresh may run Python code
    // (a key's __eq__, say), so they are held by references of their own.
    if (const py::PlanRef plan = py::find_plan(listed)) {
        const bool done = process_items(bytes_of(packet), packet.size(), base_offset, listed, plan,
                                        result.get(), site);
        return finish(result, done, site);
    }
    py::ItemList items;
    items.assign_new_refs(listed.data(), listed.size());
    const bool done = process_items<false>(bytes_of(packet), packet.size(), base_offset, items,
                                           nullptr, result.get(), site);
    return finish(result, done, site);
}

}  // namespace bitloom::decoder
