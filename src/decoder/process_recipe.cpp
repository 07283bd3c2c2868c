#include "decoder/process_recipe.hpp"

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

namespace bitloom::decoder {
namespace {

using core::Codec;
using py::Ref;

PyObject* from_result(core::Result<std::int64_t>&& r) {
    if (!r) [[unlikely]] {
        py::raise(r.error());
        return nullptr;
    }
    return PyLong_FromLongLong(r.value());
}

// Decode a numeric field from its raw value.
PyObject* decode_numeric(const core::EncodingRow& row, std::uint64_t raw, std::uint32_t bits) {
    switch (row.codec) {
        case Codec::Unsigned: return PyLong_FromUnsignedLongLong(raw);
        case Codec::TwosComplement:
            return PyLong_FromLongLong(core::decode_twos_complement(raw, bits));
        case Codec::OnesComplement:
            return PyLong_FromLongLong(core::decode_ones_complement(raw, bits));
        case Codec::SignMagnitude:
            return PyLong_FromLongLong(core::decode_sign_magnitude(raw, bits));
        case Codec::PackedBcd:
        case Codec::PackedBcdSigned:
            return from_result(
                core::decode_packed_bcd(raw, bits, row.codec == Codec::PackedBcdSigned));
        case Codec::UnpackedBcd:
        case Codec::UnpackedBcdSigned:
            return from_result(
                core::decode_unpacked_bcd(raw, bits, row.codec == Codec::UnpackedBcdSigned));
        case Codec::F16:
            return PyFloat_FromDouble(core::decode_f16(static_cast<std::uint16_t>(raw)));
        case Codec::F32:
            return PyFloat_FromDouble(core::decode_f32(static_cast<std::uint32_t>(raw)));
        case Codec::F64: return PyFloat_FromDouble(core::decode_f64(raw));
        case Codec::F128:
            if (bits > 64) {
                py::raise(PyExc_ValueError,
                          "IEEE 754 f128 requires special handling for >64 bits (not yet "
                          "implemented in process_recipe)");
                return nullptr;
            }
            // The raw value is the low half of a binary128 pattern whose high
            // half (and so its exponent) is zero: always +0.0.
            return PyFloat_FromDouble(0.0);
        case Codec::UnimplementedFloat:
            py::raise(PyExc_NotImplementedError, core::unimplemented_decode_message(row));
            return nullptr;
        case Codec::Text: break;
    }
    py::raise_panic("decode_numeric called for a text encoding");
    return nullptr;
}

PyObject* decode_text_field(const core::EncodingRow& row, const std::uint8_t* packet,
                            std::uint64_t start, std::uint32_t bits, bool little) {
    const std::size_t n = (static_cast<std::size_t>(bits) + 7) / 8;
    if (!little && start % 8 == 0 && bits % 8 == 0) {
        // The window is the packet's own bytes.
        return py::decode_text(row.text, packet + start / 8, n);
    }
    std::string window(n, '\0');
    auto* w = reinterpret_cast<std::uint8_t*>(window.data());
    core::field_window(packet, start, bits, little, w);
    return py::decode_text(row.text, w, n);
}

// Bounds, decoding and storing: what follows the reading of an item's keys
// (and, for a direct reading, the byte-order test, done by the caller).
bool decode_field(const core::EncodingRow& row, std::string_view packet, std::uint64_t start,
                  std::uint32_t bits, bool little, bool reverse, PyObject* key, PyObject* result) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(packet.data());
    Ref decoded(row.codec == Codec::Text
                    ? decode_text_field(row, data, start, bits, little)
                    : decode_numeric(row,
                                     core::field_raw_value(data, packet.size(), start, bits, little,
                                                           reverse),
                                     bits));
    return decoded && PyDict_SetItem(result, key, decoded.get()) == 0;
}

bool out_of_packet(std::uint64_t start, std::uint32_t bits, std::size_t len) {
    if (core::field_in_packet(start, bits, len)) [[likely]]
        return false;
    if (auto error = core::check_field_bounds(start, bits, len)) {
        py::raise(*error);
        return true;
    }
    return false;
}

// One item of a plan: its keys are known, only the packet is read.
bool process_planned(const py::PlanItem& it, std::string_view packet, std::uint64_t base,
                     std::uint64_t& position, PyObject* result) {
    const std::uint64_t start = it.has_offset ? base + it.offset : position;
    if (out_of_packet(start, it.bits, packet.size())) return false;
    if (it.row->codec == Codec::Unsigned) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(packet.data());
        Ref decoded(PyLong_FromUnsignedLongLong(
            core::field_raw_value(data, packet.size(), start, it.bits, it.little, it.reverse)));
        if (!decoded || PyDict_SetItem(result, it.result_key.get(), decoded.get()) < 0) {
            return false;
        }
    } else if (!decode_field(*it.row, packet, start, it.bits, it.little, it.reverse,
                             it.result_key.get(), result)) {
        return false;
    }
    position = start + it.bits;
    return true;
}

// One item: its keys, its field, its decoded value stored under its name.
bool process_item(PyObject* item, std::string_view packet, std::uint64_t base,
                  std::uint64_t& position, PyObject* result, Ref& name_obj) {
    py::ItemKeys keys;
    if (!py::read_item_keys(item, name_obj, keys)) return false;
    const std::uint64_t start = keys.has_offset ? base + keys.offset : position;

    // Field extraction: bounds first, then the byte order, then the encoding.
    if (out_of_packet(start, keys.bits, packet.size())) return false;
    bool little = false;
    if (!py::parse_byte_order(keys.order_obj.get(), keys.order, little)) return false;
    const core::EncodingRow* row = py::find_item_encoding(keys.encoding_obj.get(), keys.encoding,
                                                          /*packing=*/false);
    if (row == nullptr) return false;
    // The key is a plain str equal to the name (the name object itself when it is one).
    Ref key = PyUnicode_CheckExact(name_obj.get())
                  ? name_obj
                  : Ref(PyUnicode_FromStringAndSize(keys.name.data(),
                                                    static_cast<Py_ssize_t>(keys.name.size())));
    if (!key ||
        !decode_field(*row, packet, start, keys.bits, little, keys.reverse, key.get(), result)) {
        return false;
    }
    position = start + keys.bits;
    return true;
}

PyObject* process_recipe(std::string_view packet, std::uint32_t base_offset,
                         const py::ItemList& items, py::FailureSite& site) {
    // Room for one entry per item: the dict never resizes while it fills.
    Ref result(py::shim::dict_new_presized(static_cast<Py_ssize_t>(items.size())));
    if (!result) return nullptr;
    std::uint64_t position = base_offset;
    const bool done = py::run_items(
        items, py::find_plan(items), site,
        [&](const py::PlanItem& it) {
            return process_planned(it, packet, base_offset, position, result.get());
        },
        [&](PyObject* item, Ref& name_obj) {
            return process_item(item, packet, base_offset, position, result.get(), name_obj);
        });
    return done ? result.release() : nullptr;
}

}  // namespace

PyObject* unpack_parameters(std::string_view packet, std::uint32_t base_offset,
                            const py::ItemList& items) {
    py::FailureSite site;
    PyObject* result = process_recipe(packet, base_offset, items, site);
    if (result == nullptr) [[unlikely]]
        py::rewrap_pending_error("unpacking", site);
    return result;
}

}  // namespace bitloom::decoder
