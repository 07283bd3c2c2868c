// The packer's field executor: one prepared field and its value placed in a
// packet. Used by pack_parameters (for fields from a plan or read afresh alike)
// and by the compiled layouts of bitloom_bulk.
#pragma once

#include <cstdint>

#include "core/prepared_field.hpp"
#include "python/ref.hpp"

namespace bitloom::encoder {

// Place `value` as the field `fld` at `start` in a zeroed packet of `limit`
// bits, in the packer's check order: the encoding (UnknownEncoding when there
// is no row or the packer cannot write it), the value's conversion and
// encoding (Failed, with the error set), the byte order (UnknownByteOrder),
// then the bits are written. `value` must be held by the caller: its
// conversion may run Python code.
core::FieldOutcome place_field(const core::FieldSpec& fld, PyObject* value, std::uint8_t* packet,
                               std::uint64_t limit, std::uint64_t start);

}  // namespace bitloom::encoder
