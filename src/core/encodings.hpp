// The table of encoding names. One row per name drives packing, unpacking and
// the standalone functions of the named-but-unimplemented float formats: the
// codec, the text codec of the text encodings, the rule that converts the
// packer's value, and whether the packer accepts the name at all.
//
// The table is a constant of this header so that it can be checked while
// compiling (every codec has a row, every name is lower case and unique, each
// row's value rule is its codec's) and so that a name can be looked up at
// compile time (encoding_index: an unknown name does not compile). Lookup at
// run time hashes the name to a slot (three characters from the end, the first
// one and the length: no two names share a slot, also checked while compiling)
// and compares one name.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/text/unicode.hpp"

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
inline constexpr std::size_t kCodecCount = static_cast<std::size_t>(Codec::Text) + 1;

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
inline constexpr std::size_t kTextCodecCount = static_cast<std::size_t>(TextCodec::Windows1252) + 1;

// How the packer converts an item's `value` before encoding it: to a 64-bit
// unsigned or signed integer (through __index__), to a single or double
// (through __float__), to text (a str); None: the packer refuses the encoding.
enum class ValueRule : std::uint8_t { Unsigned64, Signed64, Single, Double, Text, None };

// The value rule of each codec, in Codec order.
inline constexpr std::array<ValueRule, kCodecCount> kCodecValueRules{{
    ValueRule::Unsigned64,  // Unsigned
    ValueRule::Signed64,    // TwosComplement
    ValueRule::Signed64,    // OnesComplement
    ValueRule::Signed64,    // SignMagnitude
    ValueRule::Signed64,    // PackedBcd
    ValueRule::Signed64,    // PackedBcdSigned
    ValueRule::Signed64,    // UnpackedBcd
    ValueRule::Signed64,    // UnpackedBcdSigned
    ValueRule::Single,      // F16 (rounded to single first, then to half)
    ValueRule::Single,      // F32
    ValueRule::Double,      // F64
    ValueRule::None,        // F128
    ValueRule::None,        // UnimplementedFloat
    ValueRule::Text,        // Text
}};

constexpr ValueRule value_rule_of(Codec codec) noexcept {
    return kCodecValueRules[static_cast<std::size_t>(codec)];
}

struct EncodingRow {
    std::string_view name;  // lower-case recipe name
    Codec codec;
    TextCodec text;          // meaningful for Codec::Text only
    bool packs;              // accepted by pack_parameters (every row unpacks)
    std::string_view label;  // format label of UnimplementedFloat rows and F128, e.g. "TI f32"
    ValueRule value;         // the packer's conversion of `value`: value_rule_of(codec)
};

namespace encoding_rows {

using C = Codec;
using T = TextCodec;
using V = ValueRule;

inline constexpr std::array<EncodingRow, 34> kRows{{
    {"unsigned", C::Unsigned, T::Utf8, true, {}, V::Unsigned64},
    {"twos_complement", C::TwosComplement, T::Utf8, true, {}, V::Signed64},
    {"ones_complement", C::OnesComplement, T::Utf8, true, {}, V::Signed64},
    {"sign_magnitude", C::SignMagnitude, T::Utf8, true, {}, V::Signed64},
    {"packed_bcd", C::PackedBcd, T::Utf8, true, {}, V::Signed64},
    {"packed_bcd_signed", C::PackedBcdSigned, T::Utf8, true, {}, V::Signed64},
    {"unpacked_bcd", C::UnpackedBcd, T::Utf8, true, {}, V::Signed64},
    {"unpacked_bcd_signed", C::UnpackedBcdSigned, T::Utf8, true, {}, V::Signed64},
    {"ieee754_f16", C::F16, T::Utf8, true, {}, V::Single},
    {"ieee754_f32", C::F32, T::Utf8, true, {}, V::Single},
    {"ieee754_f64", C::F64, T::Utf8, true, {}, V::Double},
    {"ieee754_f128", C::F128, T::Utf8, false, "IEEE 754 f128", V::None},
    {"ti_f32", C::UnimplementedFloat, T::Utf8, false, "TI f32", V::None},
    {"ti_f40", C::UnimplementedFloat, T::Utf8, false, "TI f40", V::None},
    {"dec_f32", C::UnimplementedFloat, T::Utf8, false, "DEC f32", V::None},
    {"dec_f64", C::UnimplementedFloat, T::Utf8, false, "DEC f64", V::None},
    {"ibm_f32", C::UnimplementedFloat, T::Utf8, false, "IBM f32", V::None},
    {"ibm_f64", C::UnimplementedFloat, T::Utf8, false, "IBM f64", V::None},
    {"ieee754_1985_f32", C::UnimplementedFloat, T::Utf8, false, "IEEE 754-1985 f32", V::None},
    {"ieee754_1985_f64", C::UnimplementedFloat, T::Utf8, false, "IEEE 754-1985 f64", V::None},
    {"ieee754_1985_f80", C::UnimplementedFloat, T::Utf8, false, "IEEE 754-1985 f80", V::None},
    {"mil_std_1750a_f32", C::UnimplementedFloat, T::Utf8, false, "MIL-STD-1750A f32", V::None},
    {"mil_std_1750a_f48", C::UnimplementedFloat, T::Utf8, false, "MIL-STD-1750A f48", V::None},
    {"utf8", C::Text, T::Utf8, true, {}, V::Text},
    {"utf16", C::Text, T::Utf16, true, {}, V::Text},
    {"utf16le", C::Text, T::Utf16le, true, {}, V::Text},
    {"utf16be", C::Text, T::Utf16be, true, {}, V::Text},
    {"utf32", C::Text, T::Utf32, true, {}, V::Text},
    {"utf32le", C::Text, T::Utf32le, true, {}, V::Text},
    {"utf32be", C::Text, T::Utf32be, true, {}, V::Text},
    {"us_ascii", C::Text, T::UsAscii, true, {}, V::Text},
    {"iso_8859_1", C::Text, T::Iso8859_1, true, {}, V::Text},
    {"latin1", C::Text, T::Iso8859_1, true, {}, V::Text},
    {"windows_1252", C::Text, T::Windows1252, true, {}, V::Text},
}};

// The shortest and longest names: anything else is no name.
inline constexpr std::size_t kMinName = [] {
    std::size_t n = kRows[0].name.size();
    for (const EncodingRow& row : kRows) n = row.name.size() < n ? row.name.size() : n;
    return n;
}();
inline constexpr std::size_t kMaxName = [] {
    std::size_t n = 0;
    for (const EncodingRow& row : kRows) n = row.name.size() > n ? row.name.size() : n;
    return n;
}();
static_assert(kMinName >= 3, "the slot hash reads three characters from the end");

// The slot of a name of kMinName to kMaxName characters. The weights were
// chosen so that the names above fall into distinct slots; a new name that
// collides fails the static_assert below, and then the weights change.
inline constexpr std::size_t kSlots = 64;
constexpr std::size_t slot_of(std::string_view s) noexcept {
    const auto at = [&](std::size_t i) {
        return static_cast<std::size_t>(static_cast<unsigned char>(s[i]));
    };
    const std::size_t n = s.size();
    return (n + 20 * at(0) + at(n - 1) + 29 * at(n - 2) + at(n - 3)) % kSlots;
}

inline constexpr std::uint8_t kNoRow = 0xFF;
static_assert(kRows.size() < kNoRow);

// Slot -> row index, kNoRow where no name lands.
inline constexpr std::array<std::uint8_t, kSlots> kSlotRows = [] {
    std::array<std::uint8_t, kSlots> slots{};
    for (auto& s : slots) s = kNoRow;
    for (std::size_t i = 0; i < kRows.size(); ++i) {
        slots[slot_of(kRows[i].name)] = static_cast<std::uint8_t>(i);
    }
    return slots;
}();

// The index of a name's row, or kRows.size().
constexpr std::size_t index_of(std::string_view lowered) noexcept {
    if (lowered.size() < kMinName || lowered.size() > kMaxName) return kRows.size();
    const std::uint8_t i = kSlotRows[slot_of(lowered)];
    return i != kNoRow && kRows[i].name == lowered ? i : kRows.size();
}

// ---- what the table must satisfy -------------------------------------------------

constexpr bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

constexpr bool lower_case_names() {
    return std::ranges::all_of(kRows, [](const EncodingRow& row) {
        return std::ranges::all_of(row.name, name_char);
    });
}

constexpr bool every_name_found() {
    for (std::size_t i = 0; i < kRows.size(); ++i) {
        if (index_of(kRows[i].name) != i) return false;  // a slot collision or a repeated name
    }
    return true;
}

constexpr bool every_codec_has_a_row() {
    for (std::size_t c = 0; c < kCodecCount; ++c) {
        bool found = false;
        for (const EncodingRow& row : kRows)
            found = found || static_cast<std::size_t>(row.codec) == c;
        if (!found) return false;
    }
    return true;
}

constexpr bool every_text_codec_has_a_row() {
    for (std::size_t t = 0; t < kTextCodecCount; ++t) {
        bool found = false;
        for (const EncodingRow& row : kRows) {
            found = found || (row.codec == Codec::Text && static_cast<std::size_t>(row.text) == t);
        }
        if (!found) return false;
    }
    return true;
}

constexpr bool row_fits_codec(const EncodingRow& row) {
    const bool labelled = row.codec == Codec::UnimplementedFloat || row.codec == Codec::F128;
    return row.value == value_rule_of(row.codec) && row.packs == (row.value != ValueRule::None) &&
           labelled != row.label.empty() &&
           (row.codec == Codec::Text || row.text == TextCodec::Utf8);
}

constexpr bool rows_agree_with_codecs() { return std::ranges::all_of(kRows, row_fits_codec); }

static_assert(lower_case_names(), "encoding names are lower case: a-z, 0-9 and _");
static_assert(every_name_found(),
              "two encoding names share a slot (change slot_of's weights) or a name is repeated");
static_assert(every_codec_has_a_row(), "a Codec without an encoding row");
static_assert(every_text_codec_has_a_row(), "a TextCodec without an encoding row");
static_assert(rows_agree_with_codecs(),
              "a row whose value rule, packs flag, label or text codec does not fit its codec");

}  // namespace encoding_rows

inline constexpr const std::array<EncodingRow, 34>& kEncodings = encoding_rows::kRows;

// The row of an already lower-cased name, or nullptr.
constexpr const EncodingRow* find_encoding(std::string_view lowered) noexcept {
    const std::size_t i = encoding_rows::index_of(lowered);
    return i < kEncodings.size() ? &kEncodings[i] : nullptr;
}

// The index in kEncodings of a name known while compiling; a name that has no
// row does not compile (the throw is not a constant expression).
consteval std::size_t encoding_index(std::string_view name) {
    const std::size_t i = encoding_rows::index_of(name);
    if (i >= kEncodings.size()) throw "no encoding row of that name";
    return i;
}

// ---- text codecs -----------------------------------------------------------------

// What a text codec does in each direction: bytes -> checked text, and UTF-8
// text -> bytes appended to a sink.
struct TextCodecRow {
    TextCodec codec;
    Result<CheckedText> (*decode)(ByteView bytes);
    Result<std::size_t> (*encode)(std::string_view utf8, ByteSink& out);
};

// The row of a text codec (rows in TextCodec order, checked while compiling).
const TextCodecRow& text_codec_row(TextCodec codec) noexcept;

// "{label} format not yet implemented" / "{label} encoding not yet implemented".
std::string unimplemented_decode_message(const EncodingRow& row);
std::string unimplemented_encode_message(const EncodingRow& row);

}  // namespace bitloom::core
