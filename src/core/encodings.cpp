#include "core/encodings.hpp"

#include "core/format.hpp"
#include "core/messages.hpp"
#include "core/text/charset.hpp"

namespace bitloom::core {
namespace {

using T = TextCodec;

constexpr std::array<TextCodecRow, kTextCodecCount> kTextCodecRows{{
    {T::Utf8, decode_utf8, encode_utf8},
    {T::Utf16, decode_utf16, encode_utf16},
    {T::Utf16le, [](ByteView b) { return decode_utf16_with_endianness(b, true); },
     [](std::string_view t, ByteSink& s) { return encode_utf16_with_endianness(t, true, s); }},
    {T::Utf16be, [](ByteView b) { return decode_utf16_with_endianness(b, false); },
     [](std::string_view t, ByteSink& s) { return encode_utf16_with_endianness(t, false, s); }},
    {T::Utf32, decode_utf32, encode_utf32},
    {T::Utf32le, [](ByteView b) { return decode_utf32_with_endianness(b, true); },
     [](std::string_view t, ByteSink& s) { return encode_utf32_with_endianness(t, true, s); }},
    {T::Utf32be, [](ByteView b) { return decode_utf32_with_endianness(b, false); },
     [](std::string_view t, ByteSink& s) { return encode_utf32_with_endianness(t, false, s); }},
    {T::UsAscii, decode_us_ascii, encode_us_ascii},
    {T::Iso8859_1, [](ByteView b) { return Result<CheckedText>(decode_iso_8859_1(b)); },
     encode_iso_8859_1},
    {T::Windows1252, decode_windows_1252, encode_windows_1252},
}};

constexpr bool text_rows_in_enum_order() {
    for (std::size_t i = 0; i < kTextCodecRows.size(); ++i) {
        const TextCodecRow& row = kTextCodecRows[i];
        // (Whether each function is there cannot be asked while compiling
        // under UBSan, which makes function addresses non-constant.)
        if (static_cast<std::size_t>(row.codec) != i) return false;
    }
    return true;
}
static_assert(text_rows_in_enum_order(), "text codec rows must follow TextCodec");

}  // namespace

const TextCodecRow& text_codec_row(TextCodec codec) noexcept {
    return kTextCodecRows[static_cast<std::size_t>(codec)];
}

std::string unimplemented_decode_message(const EncodingRow& row) {
    return fill(msg::kFormatUnimplemented, row.label);
}

std::string unimplemented_encode_message(const EncodingRow& row) {
    return fill(msg::kEncodingUnimplemented, row.label);
}

}  // namespace bitloom::core
