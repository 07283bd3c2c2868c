// The numeric encodings of a prepared field: a field's integer image to its
// value and back, by the encoding's row. Shared by the packet paths, the
// compiled layouts and the column decoder, so each encoding is handled in one
// place.
#pragma once

#include <cstdint>

#include "core/prepared_field.hpp"
#include "core/result.hpp"

namespace bitloom::core {

union NumericValue {
    std::uint64_t u;
    std::int64_t i;
    float f;
    double d;
};

// The float encodings: they decode to a double (d), the others to an integer.
constexpr bool decodes_to_float(Codec codec) noexcept {
    return codec == Codec::F16 || codec == Codec::F32 || codec == Codec::F64 ||
           codec == Codec::F128;
}

// Decode a numeric field's raw value into `out` (u for unsigned, i for the
// signed codecs and BCD, d for the floats). False where the decoder fails
// (malformed BCD, f128 wider than 64 bits, a float format without a codec);
// numeric_decode_error then gives the error.
bool decode_numeric(const FieldSpec& fld, std::uint64_t raw, NumericValue& out);
Error numeric_decode_error(const FieldSpec& fld, std::uint64_t raw);

// Encode a converted value (the member its row's value rule names) into the field's
// integer image. The encoding must be one the packer accepts.
Result<std::uint64_t> encode_numeric(const FieldSpec& fld, NumericValue value);

}  // namespace bitloom::core
