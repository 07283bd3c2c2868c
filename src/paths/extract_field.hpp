// The unpacker's field executor: one prepared field read out of a packet and
// stored in the result dict. Used by unpack_parameters (for fields from a plan
// or read afresh alike) and by the compiled layouts of bitloom_bulk.
#pragma once

#include <cstddef>
#include <cstdint>

#include "binding/ref.hpp"
#include "core/bits.hpp"
#include "core/ieee754.hpp"
#include "core/integer.hpp"
#include "core/prepared_field.hpp"

namespace bitloom::decoder {

// Decode the field at `start` of a packet of `len` bytes and store it under
// `key` in `result`, in the unpacker's check order: the field's bounds
// (Failed, with the error set), the byte order (UnknownByteOrder), the encoding
// (UnknownEncoding), then the decoding (Failed on malformed data).
core::FieldOutcome extract_field_slow(const core::FieldSpec& fld, const std::uint8_t* packet,
                                      std::size_t len, std::uint64_t start, PyObject* key,
                                      PyObject* result);

// The object for a field on its quick route (see QuickRoute), from its raw
// value: a new reference, or nullptr with the error set.
inline PyObject* quick_object(const core::FieldSpec& fld, std::uint64_t raw) {
    const core::QuickRoute route = fld.route;
    if (route == core::QuickRoute::Unsigned) [[likely]] {
        return PyLong_FromUnsignedLongLong(raw);
    }
    if (route == core::QuickRoute::TwosComplement) {
        return PyLong_FromLongLong(core::decode_twos_complement(raw, fld.bits));
    }
    if (route == core::QuickRoute::F32) {
        return PyFloat_FromDouble(core::decode_f32(static_cast<std::uint32_t>(raw)));
    }
    return PyFloat_FromDouble(core::decode_f64(raw));  // F64: the only route left
}

// The executor. A field on its quick route that lies inside the packet is
// decoded here; everything else (and every error) takes extract_field_slow.
// Runs no Python code.
inline core::FieldOutcome extract_field(const core::FieldSpec& fld, const std::uint8_t* packet,
                                        std::size_t len, std::uint64_t start, PyObject* key,
                                        PyObject* result) {
    // A field on a quick route has 1 to 64 bits. Most are in big-endian order,
    // not reversed, and covered by the eight bytes from their first byte: one
    // load. The rest of those inside the packet are read by the general rules.
    if (fld.route != core::QuickRoute::None) [[likely]] {
        const std::uint64_t first = start / 8;
        const std::uint64_t skip = start % 8;
        std::uint64_t raw;
        if (fld.plain && first + 8 <= len && skip + fld.bits <= 64) [[likely]] {
            raw = core::word_bits(packet + first, skip, fld.bits);
        } else if (start + fld.bits <= 8 * std::uint64_t{len}) {
            raw = core::narrow_field_raw_value(packet, len, start, fld.bits, fld.little,
                                               fld.reverse);
        } else {
            return extract_field_slow(fld, packet, len, start, key, result);
        }
        PyObject* decoded = quick_object(fld, raw);
        if (decoded != nullptr) {
            const int stored = PyDict_SetItem(result, key, decoded);
            Py_DECREF(decoded);
            if (stored == 0) return core::FieldOutcome::Done;
        }
        return core::FieldOutcome::Failed;
    }
    return extract_field_slow(fld, packet, len, start, key, result);
}

// The decoded value of a field that lies in the packet and whose byte order
// and encoding are known: a new reference, or nullptr with the error set.
PyObject* decode_field(const core::FieldSpec& fld, const std::uint8_t* packet, std::size_t len,
                       std::uint64_t start);

}  // namespace bitloom::decoder
