#include "paths/pack_parameters.hpp"

#include <cstring>

#include "binding/item_reader.hpp"
#include "paths/item_cursor.hpp"
#include "paths/place_field.hpp"
#include "paths/plan_cache.hpp"

namespace bitloom::encoder {
namespace {

using core::FieldOutcome;
using py::Ref;

// The sizing pass of a recipe read afresh: every item's extent, in order.
bool packet_bits(const py::ItemList& items, std::uint64_t& total, py::FailureSite& site) {
    std::uint64_t largest = 0;
    site.in_item = true;
    for (std::size_t i = 0; i < items.size(); ++i) {
        site.index = i;
        std::uint32_t bits = 0, offset = 0;
        bool has_offset = false;
        if (!py::read_extent(items[i], bits, has_offset, offset)) return false;
        largest = core::extend_packet_bits(largest, has_offset, offset, bits);
    }
    total = largest;
    site.in_item = false;
    return true;
}

// The placement pass: every item in order, its prepared field and value from
// the cursor (the plan while it holds, else read afresh), then the one
// executor. find_plan has just found every item as planned, and while every
// value takes the executor's quick route no Python code runs (and, holding the
// GIL, no other thread), so nothing can change an item; the executor tells the
// cursor when a value took the general way, after which each planned item is
// checked before it is used. False at the first failure, with its error set
// and `site` naming the item.
bool place_items(const py::ItemList& items, const py::PlanRef& plan,
                 std::uint8_t* __restrict packet, std::uint64_t limit, py::FailureSite& site) {
    // `plan` keeps the plan alive for the call.
    py::AfreshRecords fresh;
    py::ItemCursor<py::Source::PlanWhileCurrent> cursor(items, plan.get(), &fresh);
    std::uint64_t position = 0;
    bool quiet = true;  // no Python code has run since find_plan
    site.in_item = true;
    const std::size_t count = cursor.size();
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* value;  // borrowed from the item, or held by the cursor
        int found;
        const core::FieldSpec& fld = cursor.valued(i, quiet, value, found);
        FieldOutcome outcome = FieldOutcome::Failed;
        const std::uint64_t start = cursor.start(i, fld, 0, position);
        if (found > 0) [[likely]] {
            outcome = place_field(fld, value, packet, limit, start, quiet);
        } else if (found == 0) {
            cursor.raise_missing_value(i);
        }
        if (outcome != FieldOutcome::Done) [[unlikely]] {
            return cursor.fail(outcome, i, site);
        }
        position = start + fld.bits;
    }
    return true;
}

// Both passes; a new bytes object or nullptr with the (un-wrapped) error set.
PyObject* build_packet(const py::ItemList& items, py::FailureSite& site) {
    py::PlanRef plan = py::find_plan(items);
    if (plan && !plan->recipe.packable) plan = nullptr;
    std::uint64_t total_bits = 0;
    if (plan) {
        total_bits = plan->recipe.packet_bits;
    } else if (!packet_bits(items, total_bits, site)) {
        return nullptr;
    }
    std::uint8_t* data = nullptr;
    Ref packet = new_packet(total_bits, data);
    if (!packet) return nullptr;
    const std::uint64_t limit = 8 * ((total_bits + 7) / 8);
    if (!place_items(items, plan, data, limit, site)) return nullptr;
    return packet.release();
}

}  // namespace

PyObject* pack_parameters(const py::ItemList& items) {
    py::FailureSite site;
    PyObject* packet = build_packet(items, site);
    if (packet == nullptr) [[unlikely]]
        py::rewrap_pending_error("packing", site);
    return packet;
}

}  // namespace bitloom::encoder
