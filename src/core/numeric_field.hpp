// The numeric encodings of a prepared field: a field's integer image to its
// value and back, by the encoding's row. Shared by the packet paths, the
// compiled layouts and the column decoder, so each encoding is handled in one
// place.
#pragma once

#include <cstdint>

#include "core/prepared_field.hpp"
#include "core/result.hpp"

namespace bitloom::core {

// Which member of a numeric value an encoding uses.
enum class NumericKind : std::uint8_t {
    Unsigned,  // u: "unsigned"
    Signed,    // i: the signed integer codecs and BCD
    Single,    // f: binary16 and binary32 (values are rounded to single precision)
    Double,    // d: binary64 and binary128
    None,      // text, and the float formats without a codec
};

constexpr NumericKind numeric_kind(Codec codec) noexcept {
    switch (codec) {
        case Codec::Unsigned: return NumericKind::Unsigned;
        case Codec::TwosComplement:
        case Codec::OnesComplement:
        case Codec::SignMagnitude:
        case Codec::PackedBcd:
        case Codec::PackedBcdSigned:
        case Codec::UnpackedBcd:
        case Codec::UnpackedBcdSigned: return NumericKind::Signed;
        case Codec::F16:
        case Codec::F32: return NumericKind::Single;
        case Codec::F64:
        case Codec::F128: return NumericKind::Double;
        case Codec::UnimplementedFloat:
        case Codec::Text: return NumericKind::None;
    }
    return NumericKind::None;
}

union NumericValue {
    std::uint64_t u;
    std::int64_t i;
    float f;
    double d;
};

// Decoding: the kind of a decoded value (Single decodes to a double too).
constexpr bool decodes_to_float(Codec codec) noexcept {
    const NumericKind kind = numeric_kind(codec);
    return kind == NumericKind::Single || kind == NumericKind::Double;
}

// Decode a numeric field's raw value into `out` (u for unsigned, i for the
// signed codecs and BCD, d for the floats). False where the decoder fails
// (malformed BCD, f128 wider than 64 bits, a float format without a codec);
// numeric_decode_error then gives the error.
bool decode_numeric(const FieldSpec& fld, std::uint64_t raw, NumericValue& out) noexcept;
Error numeric_decode_error(const FieldSpec& fld, std::uint64_t raw);

// Encode a converted value (the member numeric_kind names) into the field's
// integer image. The encoding must be one the packer accepts.
Result<std::uint64_t> encode_numeric(const FieldSpec& fld, NumericValue value);

}  // namespace bitloom::core
