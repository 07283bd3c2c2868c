// The packer's field executor: one prepared field and its value placed in a
// packet. Used by pack_parameters (for fields from a plan or read afresh alike)
// and by the compiled layouts of bitloom_bulk.
#pragma once

#include <cstdint>

#include "core/bits.hpp"
#include "core/prepared_field.hpp"
#include "python/ref.hpp"

namespace bitloom::encoder {

// Place `value` as the field `fld` at `start` in a zeroed packet of `limit`
// bits, in the packer's check order: the encoding (UnknownEncoding when there
// is no row or the packer cannot write it), the value's conversion and
// encoding (Failed, with the error set), the byte order (UnknownByteOrder),
// then the bits are written. `value` must be held by the caller: its
// conversion may run Python code.
core::FieldOutcome place_field_slow(const core::FieldSpec& fld, PyObject* value,
                                    std::uint8_t* packet, std::uint64_t limit, std::uint64_t start);

// The common case, an exact int that fits its "unsigned" field, is placed
// here; everything else (and every error) takes place_field_slow.
inline core::FieldOutcome place_field(const core::FieldSpec& fld, PyObject* value,
                                      std::uint8_t* packet, std::uint64_t limit,
                                      std::uint64_t start) {
    if (fld.row != nullptr && fld.row->value == core::ValueRule::Unsigned64 && fld.order_known &&
        PyLong_CheckExact(value)) [[likely]] {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0 && v >= 0 &&
            (fld.bits >= 64 || static_cast<std::uint64_t>(v) >> fld.bits == 0)) {
            core::place_integer(packet, limit, start, fld.bits, static_cast<std::uint64_t>(v),
                                fld.reverse, fld.little);
            return core::FieldOutcome::Done;
        }
    }
    return place_field_slow(fld, value, packet, limit, start);
}

}  // namespace bitloom::encoder
