// The unpacker's field executor: one prepared field read out of a packet and
// stored in the result dict. Used by unpack_parameters (for fields from a plan
// or read afresh alike) and by the compiled layouts of bitloom_bulk.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bits.hpp"
#include "core/prepared_field.hpp"
#include "python/ref.hpp"

namespace bitloom::decoder {

// Decode the field at `start` of a packet of `len` bytes and store it under
// `key` in `result`, in the unpacker's check order: the field's bounds
// (Failed, with the error set), the byte order (UnknownByteOrder), the encoding
// (UnknownEncoding), then the decoding (Failed on malformed data).
core::FieldOutcome extract_field_slow(const core::FieldSpec& fld, const std::uint8_t* packet,
                                      std::size_t len, std::uint64_t start, PyObject* key,
                                      PyObject* result);

// The common case, an "unsigned" field inside the packet, is decoded here;
// everything else (and every error) takes extract_field_slow.
inline core::FieldOutcome extract_field(const core::FieldSpec& fld, const std::uint8_t* packet,
                                        std::size_t len, std::uint64_t start, PyObject* key,
                                        PyObject* result) {
    if (fld.row != nullptr && fld.row->codec == core::Codec::Unsigned && fld.order_known &&
        core::field_in_packet(start, fld.bits, len)) [[likely]] {
        PyObject* decoded = PyLong_FromUnsignedLongLong(
            core::field_raw_value(packet, len, start, fld.bits, fld.little, fld.reverse));
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
