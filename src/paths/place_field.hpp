// The packer's field executor: one prepared field and its value placed in a
// packet. Used by pack_parameters (for fields from a plan or read afresh alike)
// and by the compiled layouts of bitloom_bulk.
#pragma once

#include <cstdint>

#include "binding/ref.hpp"
#include "binding/shims.hpp"
#include "core/bits.hpp"
#include "core/ieee754.hpp"
#include "core/prepared_field.hpp"

namespace bitloom::encoder {

// Place `value` as the field `fld` at `start` in a zeroed packet of `limit`
// bits, in the packer's check order: the encoding (UnknownEncoding when there
// is no row or the packer cannot write it), the value's conversion and
// encoding (Failed, with the error set), the byte order (UnknownByteOrder),
// then the bits are written. `value` may be borrowed: it is held here before
// its conversion, which may run Python code.
core::FieldOutcome place_field_slow(const core::FieldSpec& fld, PyObject* value,
                                    std::uint8_t* packet, std::uint64_t limit, std::uint64_t start);

// The image of a value on the field's quick route: an exact int inside an
// "unsigned" or "twos_complement" field's range, an exact float for a float
// field. False for anything else (nothing raised, no Python code run): the
// general way then converts the value or raises its error.
inline bool quick_image(const core::FieldSpec& fld, PyObject* value,
                        std::uint64_t& image) noexcept {
    using core::QuickRoute;
    const QuickRoute route = fld.route;
    if (route == QuickRoute::Unsigned || route == QuickRoute::TwosComplement) {
        long long v = 0;
        if (!PyLong_CheckExact(value) || !py::shim::exact_int_value(value, v)) return false;
        auto u = static_cast<std::uint64_t>(v);
        if (route == QuickRoute::Unsigned) {
            if (v < 0 || u > fld.mask) return false;
        } else {
            // v in [-2^(bits-1), 2^(bits-1)) exactly when v + 2^(bits-1) (mod 2^64)
            // is in [0, 2^bits); for 64 bits every value is.
            if (u + (fld.mask >> 1) + 1 > fld.mask && fld.mask != ~std::uint64_t{0}) return false;
            u &= fld.mask;
        }
        image = u;
        return true;
    }
    if ((route == QuickRoute::F32 || route == QuickRoute::F64) && PyFloat_CheckExact(value)) {
        const double d = PyFloat_AS_DOUBLE(value);
        // As the general way converts: rounded to single for f32.
        image = route == QuickRoute::F32 ? std::uint64_t{core::f32_bits(static_cast<float>(d))}
                                         : core::f64_bits(d);
        return true;
    }
    return false;
}

// The executor. `quiet` is cleared when the value took the general way, where
// its conversion may have run Python code (which may change anything).
inline core::FieldOutcome place_field(const core::FieldSpec& fld, PyObject* value,
                                      std::uint8_t* packet, std::uint64_t limit,
                                      std::uint64_t start, bool& quiet) {
    std::uint64_t image = 0;
    if (quick_image(fld, value, image)) [[likely]] {
        if (fld.plain) {
            core::write_bits(packet, limit, start, fld.bits, fld.mask, image);
        } else {
            core::place_integer(packet, limit, start, fld.bits, image, fld.reverse, fld.little);
        }
        return core::FieldOutcome::Done;
    }
    quiet = false;
    return place_field_slow(fld, value, packet, limit, start);
}

inline core::FieldOutcome place_field(const core::FieldSpec& fld, PyObject* value,
                                      std::uint8_t* packet, std::uint64_t limit,
                                      std::uint64_t start) {
    bool quiet = true;
    return place_field(fld, value, packet, limit, start, quiet);
}

}  // namespace bitloom::encoder
