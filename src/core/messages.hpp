// The user-visible texts of the core codecs, in one place.
//
// A text with parts that vary is a format: "{}" marks each place a part goes,
// and fill() puts the parts in, in order. Format<N> checks while compiling that
// its text has exactly N places and fill() that it gets N parts.
//
// Tags: a text marked `// fixed text` is part of the module's contract: users
// see it in exceptions and match it character for character, so it never
// changes (not a space, not a letter's case). An untagged text (the CCSDS
// splitter's, the internal ones) may be reworded.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bitloom::core {

// The number of "{}" places in a format text.
constexpr std::size_t format_places(std::string_view text) noexcept {
    std::size_t n = 0;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '{' && text[i + 1] == '}') {
            ++n;
            ++i;
        }
    }
    return n;
}

template <std::size_t N>
struct Format {
    std::string_view text;
    consteval Format(const char* t) : text(t) {  // NOLINT(google-explicit-constructor)
        if (format_places(text) != N) throw "the format text does not have N places";
    }
};

// The format's text with its places filled by `parts` (string-like), in order.
template <std::size_t N, class... Parts>
std::string fill(const Format<N>& format, const Parts&... parts) {
    static_assert(sizeof...(Parts) == N, "one part for each place of the format");
    const std::string_view pieces[N == 0 ? 1 : N] = {std::string_view(parts)...};
    std::string out;
    out.reserve(format.text.size() + (std::string_view(parts).size() + ... + 0));
    std::size_t k = 0;
    const std::string_view t = format.text;
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '{' && i + 1 < t.size() && t[i + 1] == '}') {
            out.append(pieces[k++]);
            ++i;
        } else {
            out.push_back(t[i]);
        }
    }
    return out;
}

namespace msg {

// ---- integers (core/integer.cpp) ----------------------------------------------------

inline constexpr Format<2> kTooLarge = "Value {} is too large for {} bits";  // fixed text
inline constexpr std::string_view kTwosWidth =
    "bits must be <= 64 for two's complement encoding";  // fixed text
inline constexpr Format<4> kTwosRange =
    "Value {} out of range for {} bits (range: {} to {})";  // fixed text
inline constexpr std::string_view kOnesWidth =
    "bits must be <= 64 for ones' complement encoding";  // fixed text
inline constexpr Format<2> kOnesTooLarge =
    "Value {} is too large (magnitude) for {} bits";  // fixed text
inline constexpr std::string_view kSignMagnitudeWidth =
    "bits must be between 2 and 64 for sign-magnitude encoding";  // fixed text
inline constexpr Format<2> kMagnitudeTooLarge =
    "Magnitude of {} is too large for {} bits";  // fixed text

// ---- BCD (core/bcd.cpp) -------------------------------------------------------------

inline constexpr Format<2> kBcdTooManyDigits =
    "Value {} has too many digits for {} BCD digits";                          // fixed text
inline constexpr Format<1> kBcdDigit = "Invalid BCD digit: {} (must be 0-9)";  // fixed text
inline constexpr std::string_view kPackedBcdWidth =
    "bits must be >= 4 for packed BCD";  // fixed text
inline constexpr std::string_view kBcdNegative =
    "Cannot encode negative value in unsigned BCD";  // fixed text
inline constexpr std::string_view kUnpackedBcdWidth =
    "bits must be >= 8 for unpacked BCD";  // fixed text
inline constexpr std::string_view kBcdSignNibble =
    "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD";  // fixed text
inline constexpr Format<1> kZonedSignByte =
    "Invalid zoned decimal signed byte: 0x{} (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or "
    "0xF0-0xF9)";  // fixed text
inline constexpr Format<1> kZonedByte =
    "Invalid zoned decimal byte: 0x{} (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)";  // fixed
                                                                                        // text

// ---- float formats without a codec (core/encodings.cpp) -----------------------------

// An f128 field read wider than the 64 bits a raw value holds.
inline constexpr std::string_view kF128Wide =
    "IEEE 754 f128 requires special handling for >64 bits (not yet implemented in "
    "process_recipe)";                                                              // fixed text
inline constexpr Format<1> kFormatUnimplemented = "{} format not yet implemented";  // fixed text
inline constexpr Format<1> kEncodingUnimplemented =
    "{} encoding not yet implemented";  // fixed text

// ---- field bounds (core/bits.cpp) ---------------------------------------------------

inline constexpr Format<2> kRangeStart =
    "range start index {} out of range for slice of length {}";  // fixed text
inline constexpr Format<2> kRangeEnd =
    "range end index {} out of range for slice of length {}";  // fixed text

// ---- UTF-8 (core/text/utf8.cpp) -----------------------------------------------------

inline constexpr Format<1> kUtf8Incomplete =
    "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index {}";  // fixed text
inline constexpr Format<2> kUtf8Invalid =
    "Invalid UTF-8 bytes: invalid utf-8 sequence of {} bytes from index {}";  // fixed text

// ---- UTF-16 (core/text/utf16.cpp) ---------------------------------------------------

inline constexpr std::string_view kUtf16Short =
    "UTF-16 requires an even number of bytes with at least 2 bytes";  // fixed text
inline constexpr std::string_view kUtf16Odd =
    "UTF-16 requires an even number of bytes";  // fixed text
inline constexpr std::string_view kUtf16Lone =
    "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found";  // fixed text

// ---- UTF-32 (core/text/utf32.cpp) ---------------------------------------------------

inline constexpr std::string_view kUtf32Short =
    "UTF-32 requires a multiple of 4 bytes with at least 4 bytes";  // fixed text
inline constexpr std::string_view kUtf32Length =
    "UTF-32 requires a multiple of 4 bytes";                                  // fixed text
inline constexpr Format<1> kUtf32Invalid = "Invalid UTF-32 codepoint: 0x{}";  // fixed text

// ---- single-byte sets (core/text/charset.cpp) ---------------------------------------

// The character as UTF-8, its code (4 or more hex digits), the set's name.
inline constexpr Format<3> kCharacterNotValid =
    "Character '{}' (U+{}) is not valid {}";                      // fixed text
inline constexpr std::string_view kUsAsciiName = "US-ASCII";      // fixed text
inline constexpr std::string_view kIso8859_1Name = "ISO-8859-1";  // fixed text
inline constexpr Format<1> kUsAsciiByte =
    "Invalid US-ASCII byte: 0x{} (must be <= 0x7F)";  // fixed text
inline constexpr std::string_view kWindows1252Encode =
    "Failed to encode to Windows-1252";  // fixed text
inline constexpr std::string_view kWindows1252Decode =
    "Failed to decode Windows-1252 bytes";  // fixed text

// ---- encoders' sinks (core/text/utf8.cpp) -------------------------------------------

// Internal: a sink that gave no room (the binding layer raises MemoryError first).
inline constexpr std::string_view kSinkFailure = "no room for the encoded text";

// ---- the CCSDS splitter (core/ccsds.cpp) --------------------------------------------

inline constexpr Format<2> kCcsdsShortHeader =
    "truncated CCSDS packet at byte offset {}: its primary header needs 6 bytes, {} left";
inline constexpr Format<4> kCcsdsShortPacket =
    "truncated CCSDS packet at byte offset {}: declared length {} bytes (length field {}), {} "
    "left";
inline constexpr Format<2> kCcsdsStartPastEnd = "offset {} is past the end of the data ({} bytes)";

}  // namespace msg
}  // namespace bitloom::core
