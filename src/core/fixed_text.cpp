#include "core/fixed_text.hpp"

#include <cstring>

#include "core/text_blocks.hpp"

namespace bitloom::core {
namespace {

using namespace blocks;

inline std::uint32_t unit_at(const std::uint8_t* p, unsigned width) noexcept {
    if (width == 1) return *p;
    if (width == 2) {
        std::uint16_t u;
        std::memcpy(&u, p, 2);
        return u;
    }
    std::uint32_t u;
    std::memcpy(&u, p, 4);
    return u;
}

// Characters [i, n) one at a time.
template <unsigned Width, unsigned Out, bool Little>
void convert_tail(const std::uint8_t* in, std::size_t i, std::size_t n, std::uint8_t* o) noexcept {
    for (; i < n; ++i) {
        const std::uint32_t cp = unit_at(in + i * Width, Width);
        if constexpr (Out == 1) {
            o[i] = static_cast<std::uint8_t>(cp);
        } else if constexpr (Out == 2) {
            store16(o + i * 2, static_cast<std::uint16_t>(cp), Little);
        } else {
            store32(o + i * 4, cp, Little);
        }
    }
}

// Characters of `width` bytes (native order) to units of `Out` bytes in the
// given order; Out >= width.
template <unsigned Width, unsigned Out, bool Little>
void convert(const std::uint8_t* in, std::size_t n, std::uint8_t* o) noexcept {
    std::size_t i = 0;
    if constexpr (Width == Out && Little == kHostLittle) {
        std::memcpy(o, in, n * Width);
        return;
    }
#if BITLOOM_SSE2
    // 16 input bytes per step.
    constexpr std::size_t kStep = 16 / Width;
    for (; i + kStep <= n; i += kStep) {
        const __m128i v = load128(in + i * Width);
        std::uint8_t* const w = o + i * Out;
        if constexpr (Width == Out) {  // a byte swap
            store128(w, Width == 2 ? swap16x8(v) : swap32x4(v));
        } else if constexpr (Width == 1 && Out == 2) {
            widen8to16<Little>(w, v);
        } else if constexpr (Width == 1 && Out == 4) {
            widen8to32<Little>(w, v);
        } else {  // 2 -> 4
            const __m128i z = _mm_setzero_si128();
            const __m128i s = Little ? v : swap16x8(v);
            store128(w, Little ? _mm_unpacklo_epi16(s, z) : _mm_unpacklo_epi16(z, s));
            store128(w + 16, Little ? _mm_unpackhi_epi16(s, z) : _mm_unpackhi_epi16(z, s));
        }
    }
#endif
    convert_tail<Width, Out, Little>(in, i, n, o);
}

template <unsigned Out, bool Little>
void widen(const FixedText& t, std::uint8_t* o) noexcept {
    const auto* in = static_cast<const std::uint8_t*>(t.data);
    switch (t.width) {
        case 1: convert<1, Out, Little>(in, t.length, o); break;
        case 2:
            if constexpr (Out >= 2) convert<2, Out, Little>(in, t.length, o);
            break;
        default:
            if constexpr (Out == 4) convert<4, Out, Little>(in, t.length, o);
            break;
    }
}

}  // namespace

std::size_t fixed_encoded_size(TextCodec codec, const FixedText& t) noexcept {
    if (t.length == 0) return 0;
    switch (codec) {
        case TextCodec::UsAscii: return t.ascii ? t.length : 0;
        case TextCodec::Iso8859_1: return t.width == 1 ? t.length : 0;
        case TextCodec::Utf16: return t.width <= 2 ? 2 + 2 * t.length : 0;
        case TextCodec::Utf16le:
        case TextCodec::Utf16be: return t.width <= 2 ? 2 * t.length : 0;
        case TextCodec::Utf32: return 4 + 4 * t.length;
        case TextCodec::Utf32le:
        case TextCodec::Utf32be: return 4 * t.length;
        case TextCodec::Utf8:  // already a copy of the UTF-8 form
        case TextCodec::Windows1252: break;
    }
    return 0;
}

void encode_fixed(TextCodec codec, const FixedText& t, std::uint8_t* o) noexcept {
    switch (codec) {
        case TextCodec::UsAscii:
        case TextCodec::Iso8859_1: std::memcpy(o, t.data, t.length); return;
        case TextCodec::Utf16:
            store16(o, 0xFEFF, false);
            widen<2, false>(t, o + 2);
            return;
        case TextCodec::Utf16le: widen<2, true>(t, o); return;
        case TextCodec::Utf16be: widen<2, false>(t, o); return;
        case TextCodec::Utf32:
            store32(o, 0xFEFF, false);
            widen<4, false>(t, o + 4);
            return;
        case TextCodec::Utf32le: widen<4, true>(t, o); return;
        case TextCodec::Utf32be: widen<4, false>(t, o); return;
        case TextCodec::Utf8:
        case TextCodec::Windows1252: return;
    }
}

}  // namespace bitloom::core
