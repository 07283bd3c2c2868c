#include "core/text/fixed_text.hpp"

#include <array>
#include <cstring>

#include "core/text/text_blocks.hpp"

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

// Writers of the forms below: a copy, or a widening / byte swap after an
// optional big-endian byte-order mark of `Mark` bytes.
void copy_units(const FixedText& t, std::uint8_t* o) noexcept { std::memcpy(o, t.data, t.length); }

template <unsigned Out, bool Little, unsigned Mark>
void widen_marked(const FixedText& t, std::uint8_t* o) noexcept {
    if constexpr (Mark == 2) store16(o, 0xFEFF, false);
    if constexpr (Mark == 4) store32(o, 0xFEFF, false);
    widen<Out, Little>(t, o + Mark);
}

// What a text codec makes of fixed-width storage: texts whose characters are at
// most `max_width` bytes wide (and, with `ascii_only`, all ASCII) become `mark`
// bytes of byte-order mark and `unit` bytes per character, written by `write`.
// A max_width of 0: never from the storage (UTF-8 is already a copy of its own
// form; windows-1252 needs its table).
struct FixedForm {
    TextCodec codec;
    unsigned max_width;
    bool ascii_only;
    unsigned mark;
    unsigned unit;
    void (*write)(const FixedText&, std::uint8_t*) noexcept;
};

using T = TextCodec;

constexpr std::array<FixedForm, kTextCodecCount> kForms{{
    {T::Utf8, 0, false, 0, 0, nullptr},
    {T::Utf16, 2, false, 2, 2, widen_marked<2, false, 2>},
    {T::Utf16le, 2, false, 0, 2, widen_marked<2, true, 0>},
    {T::Utf16be, 2, false, 0, 2, widen_marked<2, false, 0>},
    {T::Utf32, 4, false, 4, 4, widen_marked<4, false, 4>},
    {T::Utf32le, 4, false, 0, 4, widen_marked<4, true, 0>},
    {T::Utf32be, 4, false, 0, 4, widen_marked<4, false, 0>},
    {T::UsAscii, 1, true, 0, 1, copy_units},
    {T::Iso8859_1, 1, false, 0, 1, copy_units},
    {T::Windows1252, 0, false, 0, 0, nullptr},
}};

constexpr bool forms_in_enum_order() {
    for (std::size_t i = 0; i < kForms.size(); ++i) {
        const FixedForm& f = kForms[i];
        if (static_cast<std::size_t>(f.codec) != i) return false;
        if (f.max_width != 0 && f.unit < f.max_width) return false;  // widening only
    }
    return true;
}
static_assert(forms_in_enum_order(), "fixed forms must follow TextCodec");

const FixedForm& form_of(TextCodec codec) noexcept {
    return kForms[static_cast<std::size_t>(codec)];
}

}  // namespace

std::size_t fixed_encoded_size(TextCodec codec, const FixedText& t) noexcept {
    const FixedForm& f = form_of(codec);
    if (t.length == 0 || t.width > f.max_width || (f.ascii_only && !t.ascii)) return 0;
    return f.mark + f.unit * t.length;
}

void encode_fixed(TextCodec codec, const FixedText& t, std::uint8_t* o) noexcept {
    const FixedForm& f = form_of(codec);
    if (f.write != nullptr) f.write(t, o);
}

}  // namespace bitloom::core
