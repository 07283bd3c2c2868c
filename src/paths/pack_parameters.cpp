#include "paths/pack_parameters.hpp"

#include <cstring>

#include "paths/place_field.hpp"
#include "paths/plan_cache.hpp"
#include "binding/item_reader.hpp"

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
// the plan while the plan holds, else read afresh; then the one executor.
// find_plan has just found every item as planned, and while every value takes
// the executor's quick route no Python code runs (and, holding the GIL, no
// other thread), so nothing can change an item. Once a value has taken the
// general way, whose conversion may run code that changes the recipe, each
// later item is checked before it is used. False at the first failure, with
// its error set and `site` naming the item.
bool place_items(const py::ItemList& items, const py::PlanRef& plan,
                 std::uint8_t* __restrict packet, std::uint64_t limit, py::FailureSite& site) {
    std::uint64_t position = 0;
    site.in_item = true;
    // The fresh reading's records live across items: only the planned fields
    // are used until a plan fails, and every fresh reading starts anew.
    core::FieldSpec fresh;
    py::ItemReading reading;
    bool quiet = true;  // no Python code has run since find_plan
    Ref fresh_value;
    // `plan` keeps the plan alive for the call; `planned` is nullptr from the
    // first item read afresh on.
    py::Plan* planned = plan.get();
    // Loop invariants kept in locals: the conversions' calls into the
    // interpreter would otherwise make the compiler reload them every item.
    const py::PlannedField* fields = plan ? plan->fields.data() : nullptr;
    PyObject* const* item = items.begin();
    const std::size_t count = items.size();
    for (std::size_t i = 0; i < count; ++i) {
        const core::FieldSpec* fld;
        PyObject* value;  // borrowed from the item, or held by `fresh_value`
        int found;
        if (planned != nullptr && (quiet || planned->current(i))) [[likely]] {
            fld = &fields[i].fld;
            value = planned->value(i);
            found = value != nullptr ? 1 : (PyErr_Occurred() ? -1 : 0);
        } else {
            planned = nullptr;  // once an item has changed, the rest is read afresh
            if (!py::read_afresh(item[i], fresh, reading)) {
                return py::fail_item(FieldOutcome::Failed, reading, reading.name, i, site);
            }
            fld = &fresh;
            found = py::lookup(item[i], py::Key::Value, fresh_value);
            value = fresh_value.get();
        }
        FieldOutcome outcome = FieldOutcome::Failed;
        const std::uint64_t start = core::field_start(*fld, 0, position);
        if (found > 0) [[likely]] {
            outcome = place_field(*fld, value, packet, limit, start, quiet);
        } else if (found == 0) {
            py::raise_missing_value(planned ? fields[i].name_text : reading.name_text);
        }
        if (outcome != FieldOutcome::Done) [[unlikely]] {
            return py::fail_item(outcome, reading, planned ? fields[i].name : reading.name, i,
                                 site);
        }
        position = start + fld->bits;
    }
    return true;
}

// Both passes; a new bytes object or nullptr with the (un-wrapped) error set.
PyObject* build_packet(const py::ItemList& items, py::FailureSite& site) {
    py::PlanRef plan = py::find_plan(items);
    if (plan && !plan->packable) plan = nullptr;
    std::uint64_t total_bits = 0;
    if (plan) {
        total_bits = plan->packet_bits;
    } else if (!packet_bits(items, total_bits, site)) {
        return nullptr;
    }
    const std::uint64_t length = (total_bits + 7) / 8;
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    // The packet is allocated once, at its final length, directly as the result.
    Ref packet(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    if (!packet) return nullptr;
    auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get()));
    std::memset(data, 0, length);
    if (!place_items(items, plan, data, length * 8, site)) return nullptr;
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
