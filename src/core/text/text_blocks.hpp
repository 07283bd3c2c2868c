// Building blocks shared by the text codecs: byte-order helpers, ASCII scanning
// a block at a time (16 bytes with SSE2, 8-byte words otherwise) and a checked
// reader for one UTF-8 sequence. Internal to the text codecs of core/.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/portable.hpp"

#if defined(__SSE2__) && defined(__x86_64__) && !defined(BITLOOM_NO_SIMD)
#include <emmintrin.h>
#define BITLOOM_SSE2 1
#else
#define BITLOOM_SSE2 0
#endif

namespace bitloom::core::blocks {

inline constexpr bool kHostLittle = std::endian::native == std::endian::little;

inline std::uint64_t load64(const std::uint8_t* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint16_t bswap16(std::uint16_t v) noexcept {
    return static_cast<std::uint16_t>((v >> 8) | (v << 8));
}

// A 16-bit unit stored in the given byte order.
inline std::uint16_t load16(const std::uint8_t* p, bool little) noexcept {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return little == kHostLittle ? v : bswap16(v);
}
inline void store16(std::uint8_t* p, std::uint16_t v, bool little) noexcept {
    if (little != kHostLittle) v = bswap16(v);
    std::memcpy(p, &v, sizeof v);
}

// A 32-bit unit stored in the given byte order.
inline std::uint32_t load32(const std::uint8_t* p, bool little) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return little == kHostLittle ? v : bswap32(v);
}
inline void store32(std::uint8_t* p, std::uint32_t v, bool little) noexcept {
    if (little != kHostLittle) v = bswap32(v);
    std::memcpy(p, &v, sizeof v);
}

#if BITLOOM_SSE2
// 16 bytes at a time; the swaps reverse the bytes of each 16- or 32-bit lane.
inline __m128i load128(const std::uint8_t* p) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline void store128(std::uint8_t* p, __m128i v) noexcept {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}
inline __m128i swap16x8(__m128i v) noexcept {
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}
inline __m128i swap32x4(__m128i v) noexcept {
    v = swap16x8(v);
    v = _mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_shufflehi_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
}
// 16 bytes, each a character below U+0100, as 16 UTF-16 (32 bytes) or UTF-32
// (64 bytes) units in the given byte order.
template <bool Little>
inline void widen8to16(std::uint8_t* o, __m128i v) noexcept {
    const __m128i z = _mm_setzero_si128();
    store128(o, Little ? _mm_unpacklo_epi8(v, z) : _mm_unpacklo_epi8(z, v));
    store128(o + 16, Little ? _mm_unpackhi_epi8(v, z) : _mm_unpackhi_epi8(z, v));
}
template <bool Little>
inline void widen8to32(std::uint8_t* o, __m128i v) noexcept {
    const __m128i z = _mm_setzero_si128();
    const __m128i lo = Little ? _mm_unpacklo_epi8(v, z) : _mm_unpacklo_epi8(z, v);
    const __m128i hi = Little ? _mm_unpackhi_epi8(v, z) : _mm_unpackhi_epi8(z, v);
    store128(o, Little ? _mm_unpacklo_epi16(lo, z) : _mm_unpacklo_epi16(z, lo));
    store128(o + 16, Little ? _mm_unpackhi_epi16(lo, z) : _mm_unpackhi_epi16(z, lo));
    store128(o + 32, Little ? _mm_unpacklo_epi16(hi, z) : _mm_unpacklo_epi16(z, hi));
    store128(o + 48, Little ? _mm_unpackhi_epi16(hi, z) : _mm_unpackhi_epi16(z, hi));
}
#endif

// Index of the first byte with the high bit set inside a word that has one.
inline unsigned first_high_byte(std::uint64_t masked) noexcept {
    if constexpr (kHostLittle) {
        return static_cast<unsigned>(std::countr_zero(masked)) / 8;
    } else {
        return static_cast<unsigned>(std::countl_zero(masked)) / 8;
    }
}

inline constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Number of leading bytes of p[0, n) that are below 0x80.
inline std::size_t ascii_prefix(const std::uint8_t* p, std::size_t n) noexcept {
    std::size_t i = 0;
#if BITLOOM_SSE2
    const auto block = [p](std::size_t at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    };
    const auto high_bits = [](__m128i v) {
        return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(v)));
    };
    for (; i + 64 <= n; i += 64) {
        const __m128i a = block(i);
        const __m128i b = block(i + 16);
        const __m128i c = block(i + 32);
        const __m128i d = block(i + 48);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) {
            const std::uint64_t m = high_bits(a) | high_bits(b) << 16 | high_bits(c) << 32 |
                                    high_bits(d) << 48;
            return i + static_cast<std::size_t>(std::countr_zero(m));
        }
    }
    for (; i + 16 <= n; i += 16) {
        const std::uint64_t m = high_bits(block(i));
        if (m != 0) return i + static_cast<std::size_t>(std::countr_zero(m));
    }
#endif
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w = load64(p + i) & kHighBits;
        if (w != 0) return i + first_high_byte(w);
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

// Copies the leading bytes of p[0, n) that are below 0x80 to o and returns how
// many there were. o must have room for n bytes: whole blocks are stored, and
// the bytes past the returned count are scratch that the caller overwrites.
inline std::size_t copy_ascii_prefix(const std::uint8_t* p, std::size_t n,
                                     std::uint8_t* o) noexcept {
    std::size_t i = 0;
#if BITLOOM_SSE2
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + i), v);
        const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(v));
        if (m != 0) return i + static_cast<std::size_t>(std::countr_zero(m));
    }
#endif
    for (; i + 8 <= n; i += 8) {
        const std::uint64_t w = load64(p + i);
        std::memcpy(o + i, &w, sizeof w);
        if ((w & kHighBits) != 0) return i + first_high_byte(w & kHighBits);
    }
    for (; i < n && p[i] < 0x80; ++i) o[i] = p[i];
    return i;
}

// One UTF-8 sequence read with every check of the well-formed byte sequences.
enum class Utf8Fault : std::uint8_t { None, Incomplete, Invalid };

struct Utf8Step {
    std::uint32_t cp;  // the code point (Fault::None)
    std::uint8_t len;  // bytes read (None), or bytes of the allowed beginning (Invalid)
    Utf8Fault fault;
};

inline bool is_continuation(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

// Reads the sequence at p; p < end.
inline Utf8Step read_utf8(const std::uint8_t* p, const std::uint8_t* end) noexcept {
    const std::uint32_t b0 = p[0];
    const std::size_t avail = static_cast<std::size_t>(end - p);
    if (b0 < 0x80) return {b0, 1, Utf8Fault::None};
    if (b0 < 0xC2) return {0, 1, Utf8Fault::Invalid};
    if (b0 < 0xE0) {
        if (avail < 2) return {0, 0, Utf8Fault::Incomplete};
        if (!is_continuation(p[1])) return {0, 1, Utf8Fault::Invalid};
        return {((b0 & 0x1F) << 6) | (p[1] & 0x3Fu), 2, Utf8Fault::None};
    }
    if (b0 < 0xF0) {
        const std::uint8_t lo = b0 == 0xE0 ? 0xA0 : 0x80;
        const std::uint8_t hi = b0 == 0xED ? 0x9F : 0xBF;
        if (avail < 2) return {0, 0, Utf8Fault::Incomplete};
        if (p[1] < lo || p[1] > hi) return {0, 1, Utf8Fault::Invalid};
        if (avail < 3) return {0, 0, Utf8Fault::Incomplete};
        if (!is_continuation(p[2])) return {0, 2, Utf8Fault::Invalid};
        return {((b0 & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu), 3, Utf8Fault::None};
    }
    if (b0 < 0xF5) {
        const std::uint8_t lo = b0 == 0xF0 ? 0x90 : 0x80;
        const std::uint8_t hi = b0 == 0xF4 ? 0x8F : 0xBF;
        if (avail < 2) return {0, 0, Utf8Fault::Incomplete};
        if (p[1] < lo || p[1] > hi) return {0, 1, Utf8Fault::Invalid};
        if (avail < 3) return {0, 0, Utf8Fault::Incomplete};
        if (!is_continuation(p[2])) return {0, 2, Utf8Fault::Invalid};
        if (avail < 4) return {0, 0, Utf8Fault::Incomplete};
        if (!is_continuation(p[3])) return {0, 3, Utf8Fault::Invalid};
        return {((b0 & 0x07) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) |
                    (p[3] & 0x3Fu),
                4, Utf8Fault::None};
    }
    return {0, 1, Utf8Fault::Invalid};
}

// Reads the sequence at p of text that is known to be well formed.
inline std::uint32_t read_utf8_trusted(const std::uint8_t*& p) noexcept {
    const std::uint32_t b0 = p[0];
    if (b0 < 0x80) {
        p += 1;
        return b0;
    }
    if (b0 < 0xE0) {
        std::uint32_t cp = ((b0 & 0x1F) << 6) | (p[1] & 0x3Fu);
        p += 2;
        return cp;
    }
    if (b0 < 0xF0) {
        std::uint32_t cp = ((b0 & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
        p += 3;
        return cp;
    }
    std::uint32_t cp = ((b0 & 0x07) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) |
                       (p[3] & 0x3Fu);
    p += 4;
    return cp;
}

}  // namespace bitloom::core::blocks
