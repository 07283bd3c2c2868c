#include "core/numeric_field.hpp"

#include "core/bcd.hpp"
#include "core/ieee754.hpp"
#include "core/integer.hpp"
#include "core/messages.hpp"

namespace bitloom::core {

bool decode_numeric(const FieldSpec& fld, std::uint64_t raw, NumericValue& out) {
    const std::uint32_t bits = fld.bits;
    const Codec codec = fld.row->codec;
    switch (codec) {
        case Codec::Unsigned: out.u = raw; return true;
        case Codec::TwosComplement: out.i = decode_twos_complement(raw, bits); return true;
        case Codec::OnesComplement: out.i = decode_ones_complement(raw, bits); return true;
        case Codec::SignMagnitude: out.i = decode_sign_magnitude(raw, bits); return true;
        case Codec::PackedBcd:
        case Codec::PackedBcdSigned: {
            auto r = decode_packed_bcd(raw, bits, codec == Codec::PackedBcdSigned);
            if (!r) return false;
            out.i = r.value();
            return true;
        }
        case Codec::UnpackedBcd:
        case Codec::UnpackedBcdSigned: {
            auto r = decode_unpacked_bcd(raw, bits, codec == Codec::UnpackedBcdSigned);
            if (!r) return false;
            out.i = r.value();
            return true;
        }
        case Codec::F16: out.d = decode_f16(static_cast<std::uint16_t>(raw)); return true;
        case Codec::F32: out.d = decode_f32(static_cast<std::uint32_t>(raw)); return true;
        case Codec::F64: out.d = decode_f64(raw); return true;
        case Codec::F128:
            // The raw value is the low half of a binary128 pattern whose high
            // half (and so its exponent) is zero: always +0.0.
            out.d = 0.0;
            return bits <= 64;
        case Codec::UnimplementedFloat:
        case Codec::Text: return false;
    }
    return false;
}

Error numeric_decode_error(const FieldSpec& fld, std::uint64_t raw) {
    const Codec codec = fld.row->codec;
    switch (codec) {
        case Codec::PackedBcd:
        case Codec::PackedBcdSigned: {
            auto r = decode_packed_bcd(raw, fld.bits, codec == Codec::PackedBcdSigned);
            if (!r) return std::move(r).error();
            break;
        }
        case Codec::UnpackedBcd:
        case Codec::UnpackedBcdSigned: {
            auto r = decode_unpacked_bcd(raw, fld.bits, codec == Codec::UnpackedBcdSigned);
            if (!r) return std::move(r).error();
            break;
        }
        case Codec::F128: return {ErrorKind::Value, std::string(msg::kF128Wide)};
        case Codec::UnimplementedFloat:
            return {ErrorKind::NotImplemented, unimplemented_decode_message(*fld.row)};
        default: break;
    }
    return {ErrorKind::System, "numeric_decode_error called for a field that decodes"};
}

Result<std::uint64_t> encode_numeric(const FieldSpec& fld, NumericValue value) {
    const std::uint32_t bits = fld.bits;
    const Codec codec = fld.row->codec;
    switch (codec) {
        case Codec::Unsigned: return encode_unsigned(value.u, bits);
        case Codec::TwosComplement: return encode_twos_complement(value.i, bits);
        case Codec::OnesComplement: return encode_ones_complement(value.i, bits);
        case Codec::SignMagnitude: return encode_sign_magnitude(value.i, bits);
        case Codec::PackedBcd:
        case Codec::PackedBcdSigned:
            return encode_packed_bcd(value.i, bits, codec == Codec::PackedBcdSigned);
        case Codec::UnpackedBcd:
        case Codec::UnpackedBcdSigned:
            return encode_unpacked_bcd(value.i, bits, codec == Codec::UnpackedBcdSigned);
        case Codec::F16: return std::uint64_t{encode_f16(value.f)};
        case Codec::F32: return std::uint64_t{f32_bits(value.f)};
        case Codec::F64: return f64_bits(value.d);
        case Codec::F128:
        case Codec::UnimplementedFloat:
        case Codec::Text: break;
    }
    return Error{ErrorKind::System, "encode_numeric called for a non-numeric encoding"};
}

}  // namespace bitloom::core
