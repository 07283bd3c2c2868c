// The unpacker's field executor: one prepared field read out of a packet and
// stored in the result dict. Used by unpack_parameters (for fields from a plan
// or read afresh alike) and by the compiled layouts of bitloom_bulk.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/prepared_field.hpp"
#include "python/ref.hpp"

namespace bitloom::decoder {

// Decode the field at `start` of a packet of `len` bytes and store it under
// `key` in `result`, in the unpacker's check order: the field's bounds
// (Failed, with the error set), the byte order (UnknownByteOrder), the encoding
// (UnknownEncoding), then the decoding (Failed on malformed data).
core::FieldOutcome extract_field(const core::FieldSpec& fld, const std::uint8_t* packet,
                                 std::size_t len, std::uint64_t start, PyObject* key,
                                 PyObject* result);

// The decoded value of a field that lies in the packet and whose byte order
// and encoding are known: a new reference, or nullptr with the error set.
PyObject* decode_field(const core::FieldSpec& fld, const std::uint8_t* packet, std::size_t len,
                       std::uint64_t start);

}  // namespace bitloom::decoder
