// The Unicode codecs: UTF-8, UTF-16 and UTF-32 in both byte orders.
//
// Decoding is split in two steps so that a caller can build its text object in
// one allocation: a decoder validates and measures the bytes and returns a
// CheckedText (length in characters and the narrowest character width), the
// caller allocates room for exactly that text, and write_text fills it. The
// single-byte character sets (core/text/charset.hpp) return the same CheckedText.
//
// Encoders take text as UTF-8 and append the encoded bytes to a std::string;
// on failure the string is left as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace bitloom::core {

using ByteView = std::span<const std::uint8_t>;

// The narrowest fixed-width form that holds every character of a text.
enum class CharRange : std::uint8_t {
    Ascii,          // U+0000 to U+007F: 1 byte per character
    Latin1,         // up to U+00FF: 1 byte per character
    Bmp,            // up to U+FFFF: 2 bytes per character
    Supplementary,  // up to U+10FFFF: 4 bytes per character
};

// The largest code point of a range.
constexpr std::uint32_t range_top(CharRange r) noexcept {
    switch (r) {
        case CharRange::Ascii: return 0x7F;
        case CharRange::Latin1: return 0xFF;
        case CharRange::Bmp: return 0xFFFF;
        case CharRange::Supplementary: break;
    }
    return 0x10FFFF;
}

// Bytes per character in the fixed-width form of a range.
constexpr std::size_t unit_size(CharRange r) noexcept {
    return r == CharRange::Supplementary ? 4 : r == CharRange::Bmp ? 2 : 1;
}

// How the bytes of a checked text encode their characters.
enum class TextForm : std::uint8_t {
    Utf8,
    Utf16le,
    Utf16be,
    Utf32le,
    Utf32be,
    Bytes,      // one character per byte, equal to the byte
    ByteTable,  // one character per byte, looked up in `table`
};

// Bytes that a decoder has validated and measured. `data` borrows the decoder's
// input (byte-order mark already skipped).
struct CheckedText {
    TextForm form;
    CharRange range;
    const std::uint8_t* data;
    std::size_t size;
    std::size_t length;               // characters
    const char16_t* table = nullptr;  // ByteTable: the character of each byte value
};

// Writes the `length` characters of a text returned by one of the decoders into
// `out`: unit_size(range) bytes per character, native byte order.
void write_text(const CheckedText& text, void* out) noexcept;

// The most bytes that write_utf8 makes of a text returned by one of the
// decoders (its exact size for UTF-8 and ASCII texts).
std::size_t utf8_bound(const CheckedText& text) noexcept;
// Writes the characters of such a text as UTF-8 into `out`, which has room
// for utf8_bound(text) bytes; returns the bytes written.
std::size_t write_utf8(const CheckedText& text, std::uint8_t* out) noexcept;

// ---- decoders ----------------------------------------------------------------

// UTF-8, checked against the well-formed byte sequences; a leading EF BB BF stays
// as U+FEFF. Error: "Invalid UTF-8 bytes: ...".
Result<CheckedText> decode_utf8(ByteView bytes);

// UTF-16 with an optional mark (FE FF big-endian, FF FE little-endian; no mark:
// big-endian); at least 2 bytes.
Result<CheckedText> decode_utf16(ByteView bytes);
Result<CheckedText> decode_utf16_with_endianness(ByteView bytes, bool little_endian);

// UTF-32 with an optional mark (00 00 FE FF big-endian, FF FE 00 00
// little-endian; no mark: big-endian); at least 4 bytes.
Result<CheckedText> decode_utf32(ByteView bytes);
Result<CheckedText> decode_utf32_with_endianness(ByteView bytes, bool little_endian);

// ---- encoders ----------------------------------------------------------------
//
// The text is UTF-8. Text that is not well-formed UTF-8 is refused with the
// decode_utf8 error (a str's UTF-8 always is). An encoder checks the whole text
// first, then asks the sink once for exactly the bytes it produces and fills
// them, so a failure leaves the sink untouched. Each returns the byte count.

// Where an encoder puts its bytes.
class ByteSink {
public:
    // Room for `size` more bytes, or nullptr when it cannot be had (the encoder
    // then fails with sink_failure()).
    virtual std::uint8_t* reserve(std::size_t size) = 0;

protected:
    ~ByteSink() = default;
};

// Appends to a std::string.
class StringSink final : public ByteSink {
public:
    explicit StringSink(std::string& out) noexcept : out_(out) {}
    std::uint8_t* reserve(std::size_t size) override {
        const std::size_t old = out_.size();
        out_.resize(old + size);
        return reinterpret_cast<std::uint8_t*>(out_.data()) + old;
    }

private:
    std::string& out_;
};

// The error of an encoder whose sink gave no room.
Error sink_failure();

// The text unchanged.
Result<std::size_t> encode_utf8(std::string_view text, ByteSink& out);

// FE FF, then UTF-16 big-endian.
Result<std::size_t> encode_utf16(std::string_view text, ByteSink& out);
Result<std::size_t> encode_utf16_with_endianness(std::string_view text, bool little_endian,
                                                 ByteSink& out);

// 00 00 FE FF, then UTF-32 big-endian.
Result<std::size_t> encode_utf32(std::string_view text, ByteSink& out);
Result<std::size_t> encode_utf32_with_endianness(std::string_view text, bool little_endian,
                                                 ByteSink& out);

// ---- UTF-8 measurement ---------------------------------------------------------

struct Utf8Shape {
    std::size_t chars;          // code points
    std::size_t supplementary;  // code points above U+FFFF
    CharRange range;
};

// Validates UTF-8 and counts its characters.
Result<Utf8Shape> measure_utf8(const std::uint8_t* data, std::size_t size);

// "Invalid UTF-8 bytes: ..." for the sequence at `index` of a text.
Error utf8_error(std::size_t index, bool incomplete, std::size_t invalid_length);

}  // namespace bitloom::core
