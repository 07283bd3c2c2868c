// The single-byte character sets: US-ASCII, ISO-8859-1 and Windows-1252 (the
// WHATWG windows-1252 index, where bytes 81, 8D, 8F, 90 and 9D are the C1
// controls of the same value, so all 256 bytes have a character).
//
// Decoders return a CheckedText (core/text/unicode.hpp) for write_text; encoders take
// UTF-8 text and fill a ByteSink, leaving it untouched on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "core/text/unicode.hpp"

namespace bitloom::core {

// Error on the first byte of 0x80 or more.
Result<CheckedText> decode_us_ascii(ByteView bytes);
// Never fails: each byte is the character of the same value.
CheckedText decode_iso_8859_1(ByteView bytes);
// Sniffs a byte-order mark (EF BB BF: UTF-8, FF FE: UTF-16LE, FE FF: UTF-16BE)
// and decodes the rest in that encoding; without a mark, by the windows-1252
// index. Fails only when the rest after a mark is malformed.
Result<CheckedText> decode_windows_1252(ByteView bytes);

// Error on the first character above U+007F / U+00FF.
Result<std::size_t> encode_us_ascii(std::string_view text, ByteSink& out);
Result<std::size_t> encode_iso_8859_1(std::string_view text, ByteSink& out);
// Error when any character has no byte in the index.
Result<std::size_t> encode_windows_1252(std::string_view text, ByteSink& out);

}  // namespace bitloom::core
