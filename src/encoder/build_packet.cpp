#include "encoder/build_packet.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/bcd.hpp"
#include "core/bits.hpp"
#include "core/encodings.hpp"
#include "core/ieee754.hpp"
#include "core/integer.hpp"
#include "python/errors.hpp"
#include "python/plan.hpp"
#include "python/recipe.hpp"
#include "python/text.hpp"

namespace bitloom::encoder {
namespace {

using core::Codec;
using py::Key;
using py::Ref;

// Failure of a core encoder: raise it and stop.
template <class T>
bool take(core::Result<T>&& r, T& out) {
    if (!r) [[unlikely]] {
        py::raise(r.error());
        return false;
    }
    out = r.value();
    return true;
}

// The integer value of a numeric field, per the encoding's row.
bool numeric_value(Codec codec, PyObject* value, std::uint32_t bits, std::uint64_t& out) {
    std::int64_t i = 0;
    switch (codec) {
        case Codec::Unsigned: {
            std::uint64_t u = 0;
            return py::to_u64(value, u) && take(core::encode_unsigned(u, bits), out);
        }
        case Codec::TwosComplement:
            return py::to_i64(value, i) && take(core::encode_twos_complement(i, bits), out);
        case Codec::OnesComplement:
            return py::to_i64(value, i) && take(core::encode_ones_complement(i, bits), out);
        case Codec::SignMagnitude:
            return py::to_i64(value, i) && take(core::encode_sign_magnitude(i, bits), out);
        case Codec::PackedBcd:
        case Codec::PackedBcdSigned:
            return py::to_i64(value, i) &&
                   take(core::encode_packed_bcd(i, bits, codec == Codec::PackedBcdSigned), out);
        case Codec::UnpackedBcd:
        case Codec::UnpackedBcdSigned:
            return py::to_i64(value, i) &&
                   take(core::encode_unpacked_bcd(i, bits, codec == Codec::UnpackedBcdSigned), out);
        case Codec::F16: {
            float f = 0;
            if (!py::to_single(value, f)) return false;
            out = core::encode_f16(f);
            return true;
        }
        case Codec::F32: {
            float f = 0;
            if (!py::to_single(value, f)) return false;
            out = core::f32_bits(f);
            return true;
        }
        case Codec::F64: {
            double f = 0;
            if (!py::to_double(value, f)) return false;
            out = core::f64_bits(f);
            return true;
        }
        case Codec::F128:
        case Codec::UnimplementedFloat:
        case Codec::Text: break;
    }
    py::raise_panic("numeric_value called for a non-numeric encoding");
    return false;
}

// Sizing pass: the largest end of any field, in bits.
bool packet_bits(const py::ItemList& items, std::uint64_t& total, py::FailureSite& site) {
    std::uint64_t largest = 0;
    site.in_item = true;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = items[i];
        site.index = i;
        std::uint32_t bits = 0, offset = 0;
        bool has_offset = false;
        if (!py::require_dict(item) || !py::get_required_field(item, Key::Bits, bits) ||
            !py::get_optional_u32(item, Key::OffsetBits, has_offset, offset)) {
            return false;
        }
        const std::uint64_t start = has_offset ? offset : largest;
        largest = std::max(largest, start + bits);
    }
    total = largest;
    site.in_item = false;
    return true;
}

// Encode the value and place it: the part of the placement pass that follows the
// reading of the keys. `position` is the running position.
bool place_value(const core::EncodingRow& row, PyObject* value, std::uint32_t bits, bool reverse,
                 PyObject* order_obj, std::string_view order, bool order_known_little,
                 std::uint8_t* packet, std::uint64_t limit, std::uint64_t start) {
    bool little = order_known_little;
    if (row.codec == Codec::Text) {
        std::string_view text;
        std::string image;
        if (!py::to_text(value, text) || !py::encode_text(row.text, text, image) ||
            (order_obj != nullptr && !py::parse_byte_order(order_obj, order, little))) {
            return false;
        }
        core::place_bytes(packet, limit, start, bits, reinterpret_cast<std::uint8_t*>(image.data()),
                          image.size(), little);
        return true;
    }
    std::uint64_t integer = 0;
    if (!numeric_value(row.codec, value, bits, integer) ||
        (order_obj != nullptr && !py::parse_byte_order(order_obj, order, little))) {
        return false;
    }
    core::place_integer(packet, limit, start, bits, integer, reverse, little);
    return true;
}

bool missing_value(std::string_view name) {
    std::string message = "Recipe item '";
    message.append(name);
    message += "' missing required field: 'value'";
    py::raise(PyExc_KeyError, message);
    return false;
}

// Placement pass for one item of a plan: only its value is read. `value` is
// the item's "value" (borrowed; nullptr: absent, or a lookup error). Nothing
// runs between its lookup and the use of an exact int; any other value is
// held while its conversion runs.
bool place_planned(const py::PlanItem& it, PyObject* value, std::uint8_t* packet,
                   std::uint64_t limit, std::uint64_t& position) {
    if (value == nullptr) [[unlikely]] {
        return PyErr_Occurred() ? false : missing_value(it.name_text);
    }
    if (it.has_offset) position = it.offset;
    const std::uint64_t start = position;
    const Codec codec = it.row->codec;
    if (codec == Codec::Unsigned && PyLong_CheckExact(value)) {
        const unsigned long long v = PyLong_AsUnsignedLongLong(value);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        if (it.bits <= 63 && v >> it.bits != 0) [[unlikely]] {
            std::uint64_t unused = 0;
            return take(core::encode_unsigned(v, it.bits), unused);
        }
        core::place_integer(packet, limit, start, it.bits, v, it.reverse, it.little);
    } else {
        Ref held = Ref::borrow(value);
        if (!place_value(*it.row, held.get(), it.bits, it.reverse, nullptr, {}, it.little, packet,
                         limit, start)) {
            return false;
        }
    }
    position = start + it.bits;
    return true;
}

// Placement pass for one item. `position` is the running position.
bool place_item(PyObject* item, std::uint8_t* packet, std::uint64_t limit, std::uint64_t& position,
                Ref& name_obj) {
    py::ItemKeys keys;
    if (!py::read_item_keys(item, name_obj, keys)) return false;
    Ref value;
    int found = py::lookup(item, Key::Value, value);
    if (found <= 0) return found == 0 ? missing_value(keys.name) : false;
    if (keys.has_offset) position = keys.offset;
    const std::uint64_t start = position;

    const core::EncodingRow* row = py::find_item_encoding(keys.encoding_obj.get(), keys.encoding,
                                                          /*packing=*/true);
    if (row == nullptr) return false;
    // The byte order is checked after the value has been converted.
    if (!place_value(*row, value.get(), keys.bits, keys.reverse, keys.order_obj.get(), keys.order,
                     false, packet, limit, start)) {
        return false;
    }
    position = start + keys.bits;
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
    std::uint64_t position = 0;
    const std::uint64_t limit = length * 8;
    const bool done = py::run_items(
        items, plan, site,
        [&](const py::PlanItem& it) {
            return place_planned(it, plan->value_object(it), data, limit, position);
        },
        [&](PyObject* item, Ref& name_obj) {
            return place_item(item, data, limit, position, name_obj);
        });
    return done ? packet.release() : nullptr;
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
