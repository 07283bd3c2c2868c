#include "paths/unpack_parameters.hpp"

#include "binding/item_reader.hpp"
#include "paths/extract_field.hpp"
#include "paths/item_cursor.hpp"
#include "paths/plan_cache.hpp"

namespace bitloom::decoder {
namespace {

using core::FieldOutcome;
using py::Ref;

// Every item in order, its prepared field and key from the cursor, then the
// one executor. False at the first failure, with its error set and `site`
// naming the item. Instantiated once for a plan and once for fresh readings
// (the cursor's source), so that the planned loop carries nothing of a fresh
// reading.
template <py::Source S>
bool unpack_items(const std::uint8_t* packet, std::size_t len, std::uint64_t base,
                  py::ItemCursor<S>& cursor, PyObject* result, py::FailureSite& site) {
    std::uint64_t position = base;
    site.in_item = true;
    const std::size_t count = cursor.size();
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* key;
        const core::FieldSpec* fld = cursor.keyed(i, key);
        if (fld == nullptr) return cursor.fail(FieldOutcome::Failed, i, site);
        const std::uint64_t start = cursor.start(i, *fld, base, position);
        const FieldOutcome outcome = extract_field(*fld, packet, len, start, key, result);
        if (outcome != FieldOutcome::Done) [[unlikely]] {
            return cursor.fail(outcome, i, site);
        }
        position = start + fld->bits;
    }
    return true;
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

}  // namespace

PyObject* unpack_parameters(std::string_view packet, std::uint32_t base_offset, py::ItemView items,
                            Items held) {
    py::FailureSite site;
    const std::uint8_t* data = reinterpret_cast<const std::uint8_t*>(packet.data());
    Ref result = new_result(items.size());
    if (!result) return finish(result, false, site);
    // Planned items are decoded straight from the recipe, borrowed or not: from
    // here to the end nothing runs Python code (see Source::Plan), so nothing
    // can change the recipe or free an item.
    if (const py::PlanRef plan = py::find_plan(items)) {
        py::ItemCursor<py::Source::Plan> cursor(items, plan.get(), nullptr);
        return finish(result,
                      unpack_items(data, packet.size(), base_offset, cursor, result.get(), site),
                      site);
    }
    // Items read afresh may run Python code (a key's __eq__, say), so borrowed
    // ones are first held by references of their own.
    py::ItemList own;
    if (held == Items::Borrowed) {
        own.assign_new_refs(items.data(), items.size());
        items = own;
    }
    py::AfreshRecords fresh;
    py::ItemCursor<py::Source::Afresh> cursor(items, nullptr, &fresh);
    return finish(result,
                  unpack_items(data, packet.size(), base_offset, cursor, result.get(), site), site);
}

}  // namespace bitloom::decoder
