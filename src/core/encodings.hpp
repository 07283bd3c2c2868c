// The table of encoding names. One row per name drives packing, unpacking and
// the standalone functions of the named-but-unimplemented float formats.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bitloom::core {

enum class Codec : std::uint8_t {
    Unsigned,
    TwosComplement,
    OnesComplement,
    SignMagnitude,
    PackedBcd,
    PackedBcdSigned,
    UnpackedBcd,
    UnpackedBcdSigned,
    F16,
    F32,
    F64,
    F128,
    UnimplementedFloat,  // named float formats without a codec
    Text,
};

enum class TextCodec : std::uint8_t {
    Utf8,
    Utf16,
    Utf16le,
    Utf16be,
    Utf32,
    Utf32le,
    Utf32be,
    UsAscii,
    Iso8859_1,
    Windows1252,
};

struct EncodingRow {
    std::string_view name;  // lower-case recipe name
    Codec codec;
    TextCodec text;          // meaningful for Codec::Text only
    bool packs;              // accepted by pack_parameters (every row unpacks)
    std::string_view label;  // format label of UnimplementedFloat rows and F128, e.g. "TI f32"
};

// The row of an already lower-cased name, or nullptr.
const EncodingRow* find_encoding(std::string_view lowered) noexcept;

// "{label} format not yet implemented" / "{label} encoding not yet implemented".
std::string unimplemented_decode_message(const EncodingRow& row);
std::string unimplemented_encode_message(const EncodingRow& row);

}  // namespace bitloom::core
