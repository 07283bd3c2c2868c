// write_utf8: the characters of any checked text (the Unicode decoders' and
// the single-byte sets') as UTF-8 bytes, for columns that keep text as UTF-8
// (Arrow's string layout) rather than as str objects.
#include <cstring>

#include "core/text/text_blocks.hpp"
#include "core/text/unicode.hpp"

namespace bitloom::core {
namespace {

using blocks::load16;
using blocks::load32;

// One code point (a Unicode scalar value, as the decoders have checked) as
// UTF-8; returns the byte after it.
std::uint8_t* put_utf8(std::uint8_t* o, std::uint32_t cp) noexcept {
    if (cp < 0x80) {
        *o = static_cast<std::uint8_t>(cp);
        return o + 1;
    }
    if (cp < 0x800) {
        o[0] = static_cast<std::uint8_t>(0xC0 | (cp >> 6));
        o[1] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
        return o + 2;
    }
    if (cp < 0x10000) {
        o[0] = static_cast<std::uint8_t>(0xE0 | (cp >> 12));
        o[1] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        o[2] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
        return o + 3;
    }
    o[0] = static_cast<std::uint8_t>(0xF0 | (cp >> 18));
    o[1] = static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F));
    o[2] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    o[3] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    return o + 4;
}

}  // namespace

std::size_t utf8_bound(const CheckedText& t) noexcept {
    if (t.range == CharRange::Ascii) return t.length;
    switch (t.form) {
        case TextForm::Utf8: return t.size;
        case TextForm::Bytes: return 2 * t.size;
        case TextForm::ByteTable: return 3 * t.size;
        case TextForm::Utf16le:
        case TextForm::Utf16be: return t.size / 2 * 3;
        case TextForm::Utf32le:
        case TextForm::Utf32be: return t.size;
    }
    return 4 * t.length;
}

std::size_t write_utf8(const CheckedText& t, std::uint8_t* out) noexcept {
    const std::uint8_t* d = t.data;
    std::uint8_t* o = out;
    switch (t.form) {
        case TextForm::Utf8: {
            if (t.size != 0) std::memcpy(o, d, t.size);
            return t.size;
        }
        case TextForm::Bytes: {
            if (t.range == CharRange::Ascii) {
                if (t.size != 0) std::memcpy(o, d, t.size);
                return t.size;
            }
            for (std::size_t i = 0; i < t.size; ++i) o = put_utf8(o, d[i]);
            return static_cast<std::size_t>(o - out);
        }
        case TextForm::ByteTable: {
            for (std::size_t i = 0; i < t.size; ++i) o = put_utf8(o, t.table[d[i]]);
            return static_cast<std::size_t>(o - out);
        }
        case TextForm::Utf16le:
        case TextForm::Utf16be: {
            const bool little = t.form == TextForm::Utf16le;
            const std::size_t units = t.size / 2;
            for (std::size_t i = 0; i < units; ++i) {
                std::uint32_t cp = load16(d + 2 * i, little);
                // A high surrogate is followed by a low one: the decoder checked.
                if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units) {
                    const std::uint32_t low = load16(d + 2 * (i + 1), little);
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
                o = put_utf8(o, cp);
            }
            return static_cast<std::size_t>(o - out);
        }
        case TextForm::Utf32le:
        case TextForm::Utf32be: {
            const bool little = t.form == TextForm::Utf32le;
            const std::size_t units = t.size / 4;
            for (std::size_t i = 0; i < units; ++i) o = put_utf8(o, load32(d + 4 * i, little));
            return static_cast<std::size_t>(o - out);
        }
    }
    return 0;
}

}  // namespace bitloom::core
