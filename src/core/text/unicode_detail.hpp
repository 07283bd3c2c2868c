// Pieces the Unicode codecs share: SIMD lane tests for 16- and 32-bit units,
// the output forms (UCS1, UTF-16 and UTF-32 units in either byte order) with the
// UTF-8 transcoder that fills them, the narrowest range of a set of units, and
// the per-codec writers of checked UTF-16 and UTF-32 into a str's fixed-width
// storage (core/text/text_writer.cpp dispatches to them). Internal to core/text/utf8.cpp,
// core/text/utf16.cpp, core/text/utf32.cpp and core/text/text_writer.cpp.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "core/text/text_blocks.hpp"
#include "core/text/unicode.hpp"

namespace bitloom::core::unicode_detail {

using namespace blocks;

// ---- SSE2 helpers --------------------------------------------------------------

#if BITLOOM_SSE2
// Mask of the 16-bit lanes (two mask bits per lane) that hold a surrogate;
// `v` holds units in the given byte order.
inline unsigned surrogate_lanes16(__m128i v, bool little) noexcept {
    const __m128i high = little ? _mm_srli_epi16(v, 8) : _mm_and_si128(v, _mm_set1_epi16(0xFF));
    const __m128i hit = _mm_cmpeq_epi16(_mm_and_si128(high, _mm_set1_epi16(0xF8)),
                                        _mm_set1_epi16(0xD8));
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
}
inline std::uint32_t or_lanes32(__m128i v) noexcept {
    v = _mm_or_si128(v, _mm_srli_si128(v, 8));
    v = _mm_or_si128(v, _mm_srli_si128(v, 4));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
}
#endif

// ---- writing characters ----------------------------------------------------------
//
// An output form: kUnit bytes per ASCII character, put() for one code point and
// put_ascii16() for 16 ASCII bytes at once.

struct Ucs1Out {
    static constexpr std::size_t kUnit = 1;
    static std::uint8_t* put(std::uint8_t* o, std::uint32_t cp) noexcept {
        *o = static_cast<std::uint8_t>(cp);
        return o + 1;
    }
#if BITLOOM_SSE2
    static void put_ascii16(std::uint8_t* o, __m128i v) noexcept { store128(o, v); }
#endif
};

template <bool Little>
struct Utf16Out {
    static constexpr std::size_t kUnit = 2;
    static std::uint8_t* put(std::uint8_t* o, std::uint32_t cp) noexcept {
        if (cp < 0x10000) {
            store16(o, static_cast<std::uint16_t>(cp), Little);
            return o + 2;
        }
        cp -= 0x10000;
        store16(o, static_cast<std::uint16_t>(0xD800 + (cp >> 10)), Little);
        store16(o + 2, static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)), Little);
        return o + 4;
    }
#if BITLOOM_SSE2
    static void put_ascii16(std::uint8_t* o, __m128i v) noexcept { widen8to16<Little>(o, v); }
#endif
};

template <bool Little>
struct Utf32Out {
    static constexpr std::size_t kUnit = 4;
    static std::uint8_t* put(std::uint8_t* o, std::uint32_t cp) noexcept {
        store32(o, cp, Little);
        return o + 4;
    }
#if BITLOOM_SSE2
    static void put_ascii16(std::uint8_t* o, __m128i v) noexcept { widen8to32<Little>(o, v); }
#endif
};

using NativeUcs2 = Utf16Out<kHostLittle>;
using NativeUcs4 = Utf32Out<kHostLittle>;

// Transcodes well-formed UTF-8 [p, end) into the output form; the output
// [o, o_end) has exactly the room the text needs. ASCII runs move a block at a
// time; a partly ASCII block is still stored whole when the output has room for
// it, since the characters that follow overwrite the surplus.
template <class Out>
void utf8_to(const std::uint8_t* p, const std::uint8_t* end, std::uint8_t* o,
             const std::uint8_t* o_end) noexcept {
    constexpr std::size_t U = Out::kUnit;
    while (p < end) {
#if BITLOOM_SSE2
        if (end - p >= 16) {
            const __m128i v = load128(p);
            const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(v));
            if (m == 0) {
                Out::put_ascii16(o, v);
                p += 16;
                o += 16 * U;
                continue;
            }
            const unsigned k = static_cast<unsigned>(std::countr_zero(m));
            if (static_cast<std::size_t>(o_end - o) >= 16 * U) {
                Out::put_ascii16(o, v);
            } else {
                for (unsigned j = 0; j < k; ++j) Out::put(o + j * U, p[j]);
            }
            p += k;
            o += k * U;
            o = Out::put(o, read_utf8_trusted(p));
            continue;
        }
#endif
        if (end - p >= 8) {
            const std::uint64_t w = load64(p) & kHighBits;
            const unsigned k = w == 0 ? 8 : first_high_byte(w);
            for (unsigned j = 0; j < k; ++j) Out::put(o + j * U, p[j]);
            p += k;
            o += k * U;
            if (k == 8) continue;
        }
        o = Out::put(o, read_utf8_trusted(p));
    }
}

// ---- checking --------------------------------------------------------------------

// The narrowest range of a text whose units OR-ed together give `all_units_ored`.
inline CharRange range_of_bits(std::uint32_t all_units_ored, bool supplementary) noexcept {
    if (supplementary || all_units_ored > 0xFFFF) return CharRange::Supplementary;
    if (all_units_ored > 0xFF) return CharRange::Bmp;
    if (all_units_ored > 0x7F) return CharRange::Latin1;
    return CharRange::Ascii;
}

// ---- checked units into a str's storage -----------------------------------------

// UTF-16 units (checked) into UCS1, UCS2 or UCS4 (core/text/utf16.cpp).
void utf16_to_ucs1(const std::uint8_t* d, std::size_t units, bool little, std::uint8_t* o) noexcept;
void utf16_to_ucs2(const std::uint8_t* d, std::size_t units, bool little, std::uint8_t* o) noexcept;
void utf16_to_ucs4(const std::uint8_t* d, std::size_t units, bool little, std::uint8_t* o) noexcept;

// UTF-32 units (checked) into UCS1, UCS2 or UCS4 (core/text/utf32.cpp).
void utf32_to_ucs1(const std::uint8_t* d, std::size_t units, bool little, std::uint8_t* o) noexcept;
void utf32_to_ucs2(const std::uint8_t* d, std::size_t units, bool little, std::uint8_t* o) noexcept;
void utf32_to_ucs4(const std::uint8_t* d, std::size_t units, bool little, std::uint8_t* o) noexcept;

}  // namespace bitloom::core::unicode_detail
