#include "core/text/charset.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/format.hpp"
#include "core/messages.hpp"
#include "core/text/text_blocks.hpp"

namespace bitloom::core {
namespace {

using namespace blocks;

// "Character '{char}' (U+{code}) is not valid {charset}".
Error character_error(std::string_view utf8_char, std::uint32_t cp, std::string_view charset) {
    return value_error(fill(msg::kCharacterNotValid, utf8_char, hex_upper(cp, 4), charset));
}

// ---- the windows-1252 index ----------------------------------------------------

// Bytes 80 to 9F; every other byte is the character of the same value.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

constexpr std::array<char16_t, 256> make_windows_1252_table() {
    std::array<char16_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        table[b] = b >= 0x80 && b < 0xA0 ? kWindows1252High[b - 0x80] : static_cast<char16_t>(b);
    }
    return table;
}

constexpr std::array<char16_t, 256> kWindows1252 = make_windows_1252_table();

int windows_1252_byte(std::uint32_t cp) noexcept {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
    for (int i = 0; i < 32; ++i) {
        if (kWindows1252High[i] == cp) return 0x80 + i;
    }
    return -1;
}

// ---- encoding ----------------------------------------------------------------------

// Encodes one byte per character: `byte_of(cp)` gives the byte or -1, and
// `refuse(utf8_char, cp)` the error for the first character without one.
template <class ByteOf, class Refuse>
Result<std::size_t> append_single_byte(std::string_view text, ByteSink& out, ByteOf byte_of,
                                       Refuse refuse) {
    const auto* const start = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto* const end = start + text.size();
    // Check and count the characters.
    std::size_t chars = 0;
    for (const std::uint8_t* p = start;;) {
        const std::size_t run = ascii_prefix(p, static_cast<std::size_t>(end - p));
        p += run;
        chars += run;
        if (p == end) break;
        const Utf8Step step = read_utf8(p, end);
        if (step.fault != Utf8Fault::None) {
            return utf8_error(static_cast<std::size_t>(p - start),
                              step.fault == Utf8Fault::Incomplete, step.len);
        }
        if (byte_of(step.cp) < 0) {
            return refuse(std::string_view(reinterpret_cast<const char*>(p), step.len), step.cp);
        }
        ++chars;
        p += step.len;
    }
    std::uint8_t* o = out.reserve(chars);
    if (o == nullptr) return sink_failure();
    // Write them.
    const std::uint8_t* const o_end = o + chars;
    for (const std::uint8_t* p = start; p < end;) {
        if (*p < 0x80) {
            const auto room = static_cast<std::size_t>(std::min(end - p, o_end - o));
            const std::size_t k = copy_ascii_prefix(p, room, o);
            p += k;
            o += k;
            continue;
        }
        *o++ = static_cast<std::uint8_t>(byte_of(read_utf8_trusted(p)));
    }
    return chars;
}

// ---- decoding ------------------------------------------------------------------------

// The range of bytes without a mark read by the windows-1252 index.
CharRange windows_1252_range(const std::uint8_t* d, std::size_t n) noexcept {
    std::size_t i = ascii_prefix(d, n);
    if (i == n) return CharRange::Ascii;
    // Bytes 80-9F other than the five C1 controls map above U+00FF.
#if BITLOOM_SSE2
    const __m128i below_a0 = _mm_set1_epi8(static_cast<char>(0xA0));
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        // Signed bytes below -96 (0xA0) are exactly 80-9F.
        unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, below_a0)));
        for (; m != 0; m &= m - 1) {
            if (kWindows1252[d[i + static_cast<unsigned>(std::countr_zero(m))]] > 0xFF) {
                return CharRange::Bmp;
            }
        }
    }
#endif
    for (; i < n; ++i) {
        if (kWindows1252[d[i]] > 0xFF) return CharRange::Bmp;
    }
    return CharRange::Latin1;
}

Result<CheckedText> sniffed(Result<CheckedText> decoded) {
    if (!decoded) return value_error(std::string(msg::kWindows1252Decode));
    return decoded;
}

}  // namespace

Result<CheckedText> decode_us_ascii(ByteView bytes) {
    const std::size_t k = ascii_prefix(bytes.data(), bytes.size());
    if (k != bytes.size()) {
        return value_error(fill(msg::kUsAsciiByte, hex_upper(bytes[k], 2)));
    }
    return CheckedText{TextForm::Bytes, CharRange::Ascii, bytes.data(), bytes.size(), bytes.size()};
}

CheckedText decode_iso_8859_1(ByteView bytes) {
    const bool ascii = ascii_prefix(bytes.data(), bytes.size()) == bytes.size();
    return CheckedText{TextForm::Bytes, ascii ? CharRange::Ascii : CharRange::Latin1, bytes.data(),
                       bytes.size(), bytes.size()};
}

Result<CheckedText> decode_windows_1252(ByteView bytes) {
    const std::size_t n = bytes.size();
    if (n >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        return sniffed(decode_utf8(bytes.subspan(3)));
    }
    if (n >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        return sniffed(decode_utf16_with_endianness(bytes.subspan(2), true));
    }
    if (n >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        return sniffed(decode_utf16_with_endianness(bytes.subspan(2), false));
    }
    const CharRange range = windows_1252_range(bytes.data(), n);
    // Up to U+00FF the index maps every byte present to itself.
    if (range != CharRange::Bmp) return CheckedText{TextForm::Bytes, range, bytes.data(), n, n};
    return CheckedText{TextForm::ByteTable, range, bytes.data(), n, n, kWindows1252.data()};
}

Result<std::size_t> encode_us_ascii(std::string_view text, ByteSink& out) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t k = ascii_prefix(p, text.size());
    if (k == text.size()) {
        std::uint8_t* o = out.reserve(text.size());
        if (o == nullptr) return sink_failure();
        if (k != 0) std::memcpy(o, p, k);
        return k;
    }
    const Utf8Step step = read_utf8(p + k, p + text.size());
    if (step.fault != Utf8Fault::None) {
        return utf8_error(k, step.fault == Utf8Fault::Incomplete, step.len);
    }
    return character_error(text.substr(k, step.len), step.cp, msg::kUsAsciiName);
}

Result<std::size_t> encode_iso_8859_1(std::string_view text, ByteSink& out) {
    // Text of characters up to U+00FF, written one byte per character, is its
    // ISO-8859-1 form: check it as UTF-8 a block at a time, then write it.
    const ByteView bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    const auto checked = decode_utf8(bytes);
    if (checked && unit_size(checked.value().range) == 1) {
        const CheckedText& t = checked.value();
        std::uint8_t* o = out.reserve(t.length);
        if (o == nullptr) return sink_failure();
        write_text(t, o);
        return t.length;
    }
    // A character above U+00FF or an ill-formed sequence: the first decides.
    return append_single_byte(
        text, out, [](std::uint32_t cp) { return cp <= 0xFF ? static_cast<int>(cp) : -1; },
        [](std::string_view ch, std::uint32_t cp) {
            return character_error(ch, cp, msg::kIso8859_1Name);
        });
}

Result<std::size_t> encode_windows_1252(std::string_view text, ByteSink& out) {
    return append_single_byte(text, out, windows_1252_byte, [](std::string_view, std::uint32_t) {
        return value_error(std::string(msg::kWindows1252Encode));
    });
}

}  // namespace bitloom::core
