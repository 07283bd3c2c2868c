#include "core/encodings.hpp"

#include <array>

#include "core/format.hpp"

namespace bitloom::core {
namespace {

using C = Codec;
using T = TextCodec;

constexpr std::array<EncodingRow, 34> kRows{{
    {"unsigned", C::Unsigned, T::Utf8, true, {}},
    {"twos_complement", C::TwosComplement, T::Utf8, true, {}},
    {"ones_complement", C::OnesComplement, T::Utf8, true, {}},
    {"sign_magnitude", C::SignMagnitude, T::Utf8, true, {}},
    {"packed_bcd", C::PackedBcd, T::Utf8, true, {}},
    {"packed_bcd_signed", C::PackedBcdSigned, T::Utf8, true, {}},
    {"unpacked_bcd", C::UnpackedBcd, T::Utf8, true, {}},
    {"unpacked_bcd_signed", C::UnpackedBcdSigned, T::Utf8, true, {}},
    {"ieee754_f16", C::F16, T::Utf8, true, {}},
    {"ieee754_f32", C::F32, T::Utf8, true, {}},
    {"ieee754_f64", C::F64, T::Utf8, true, {}},
    {"ieee754_f128", C::F128, T::Utf8, false, "IEEE 754 f128"},
    {"ti_f32", C::UnimplementedFloat, T::Utf8, false, "TI f32"},
    {"ti_f40", C::UnimplementedFloat, T::Utf8, false, "TI f40"},
    {"dec_f32", C::UnimplementedFloat, T::Utf8, false, "DEC f32"},
    {"dec_f64", C::UnimplementedFloat, T::Utf8, false, "DEC f64"},
    {"ibm_f32", C::UnimplementedFloat, T::Utf8, false, "IBM f32"},
    {"ibm_f64", C::UnimplementedFloat, T::Utf8, false, "IBM f64"},
    {"ieee754_1985_f32", C::UnimplementedFloat, T::Utf8, false, "IEEE 754-1985 f32"},
    {"ieee754_1985_f64", C::UnimplementedFloat, T::Utf8, false, "IEEE 754-1985 f64"},
    {"ieee754_1985_f80", C::UnimplementedFloat, T::Utf8, false, "IEEE 754-1985 f80"},
    {"mil_std_1750a_f32", C::UnimplementedFloat, T::Utf8, false, "MIL-STD-1750A f32"},
    {"mil_std_1750a_f48", C::UnimplementedFloat, T::Utf8, false, "MIL-STD-1750A f48"},
    {"utf8", C::Text, T::Utf8, true, {}},
    {"utf16", C::Text, T::Utf16, true, {}},
    {"utf16le", C::Text, T::Utf16le, true, {}},
    {"utf16be", C::Text, T::Utf16be, true, {}},
    {"utf32", C::Text, T::Utf32, true, {}},
    {"utf32le", C::Text, T::Utf32le, true, {}},
    {"utf32be", C::Text, T::Utf32be, true, {}},
    {"us_ascii", C::Text, T::UsAscii, true, {}},
    {"iso_8859_1", C::Text, T::Iso8859_1, true, {}},
    {"latin1", C::Text, T::Iso8859_1, true, {}},
    {"windows_1252", C::Text, T::Windows1252, true, {}},
}};

}  // namespace

const EncodingRow* find_encoding(std::string_view lowered) noexcept {
    for (const EncodingRow& row : kRows) {
        if (row.name == lowered) return &row;
    }
    return nullptr;
}

std::string unimplemented_decode_message(const EncodingRow& row) {
    return cat(row.label, " format not yet implemented");
}

std::string unimplemented_encode_message(const EncodingRow& row) {
    return cat(row.label, " encoding not yet implemented");
}

}  // namespace bitloom::core
