// UTF-32 in both byte orders: checking units, the decoders (the mark read by
// decode_utf32), the encoders from UTF-8, and the writers of checked units into
// a str's storage.
#include <cstring>

#include "core/format.hpp"
#include "core/messages.hpp"
#include "core/text/unicode.hpp"
#include "core/text/unicode_detail.hpp"

namespace bitloom::core {
namespace unicode_detail {

// UTF-32 units (checked) into UCS1, UCS2 or UCS4.
void utf32_to_ucs1(const std::uint8_t* d, std::size_t units, bool little,
                   std::uint8_t* o) noexcept {
    std::size_t i = 0;
#if BITLOOM_SSE2
    for (; i + 16 <= units; i += 16) {
        __m128i v[4];
        for (std::size_t k = 0; k < 4; ++k) {
            v[k] = load128(d + 4 * i + 16 * k);
            if (!little) v[k] = swap32x4(v[k]);
        }
        store128(o + i, _mm_packus_epi16(_mm_packs_epi32(v[0], v[1]), _mm_packs_epi32(v[2], v[3])));
    }
#endif
    for (; i < units; ++i) o[i] = static_cast<std::uint8_t>(load32(d + 4 * i, little));
}

void utf32_to_ucs2(const std::uint8_t* d, std::size_t units, bool little,
                   std::uint8_t* o) noexcept {
    std::size_t i = 0;
#if BITLOOM_SSE2
    // packs_epi32 saturates signed values: bias the units into the signed range
    // and take the bias off again after packing.
    const __m128i bias32 = _mm_set1_epi32(0x8000);
    const __m128i bias16 = _mm_set1_epi16(static_cast<short>(0x8000));
    for (; i + 8 <= units; i += 8) {
        __m128i a = load128(d + 4 * i);
        __m128i b = load128(d + 4 * i + 16);
        if (!little) {
            a = swap32x4(a);
            b = swap32x4(b);
        }
        const __m128i packed = _mm_packs_epi32(_mm_sub_epi32(a, bias32), _mm_sub_epi32(b, bias32));
        store128(o + 2 * i, _mm_add_epi16(packed, bias16));
    }
#endif
    for (; i < units; ++i) {
        store16(o + 2 * i, static_cast<std::uint16_t>(load32(d + 4 * i, little)), kHostLittle);
    }
}

void utf32_to_ucs4(const std::uint8_t* d, std::size_t units, bool little,
                   std::uint8_t* o) noexcept {
    if (little == kHostLittle) {
        std::memcpy(o, d, 4 * units);
        return;
    }
    std::size_t i = 0;
#if BITLOOM_SSE2
    for (; i + 4 <= units; i += 4) store128(o + 4 * i, swap32x4(load128(d + 4 * i)));
#endif
    for (; i < units; ++i) store32(o + 4 * i, load32(d + 4 * i, little), kHostLittle);
}

}  // namespace unicode_detail

namespace {

using namespace unicode_detail;

Result<CheckedText> check_utf32(const std::uint8_t* d, std::size_t size, bool little) {
    const std::size_t units = size / 4;
    std::size_t i = 0;
    std::uint32_t ored = 0;
#if BITLOOM_SSE2
    const __m128i sign = _mm_set1_epi32(static_cast<int>(0x80000000u));
    const __m128i top = _mm_set1_epi32(static_cast<int>(0x8010FFFFu));  // 0x10FFFF, sign-flipped
    const __m128i sur_mask = _mm_set1_epi32(static_cast<int>(0xFFFFF800u));
    const __m128i sur = _mm_set1_epi32(0xD800);
    __m128i vored = _mm_setzero_si128();
    for (; i + 4 <= units; i += 4) {
        __m128i v = load128(d + 4 * i);
        if (little != kHostLittle) v = swap32x4(v);
        const __m128i bad = _mm_or_si128(_mm_cmpgt_epi32(_mm_xor_si128(v, sign), top),
                                         _mm_cmpeq_epi32(_mm_and_si128(v, sur_mask), sur));
        if (_mm_movemask_epi8(bad) != 0) break;  // the scalar loop reports it
        vored = _mm_or_si128(vored, v);
    }
    ored = or_lanes32(vored);
#endif
    for (; i < units; ++i) {
        const std::uint32_t u = load32(d + 4 * i, little);
        if (u > 0x10FFFF || (u & 0xFFFFF800) == 0xD800) {
            return value_error(fill(msg::kUtf32Invalid, hex_upper(u, 8)));
        }
        ored |= u;
    }
    const TextForm form = little ? TextForm::Utf32le : TextForm::Utf32be;
    return CheckedText{form, range_of_bits(ored, false), d, size, units};
}

template <bool Little>
Result<std::size_t> append_utf32(std::string_view text, bool mark, ByteSink& out) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    auto shape = measure_utf8(p, text.size());
    if (!shape) return std::move(shape).error();
    const std::size_t body = 4 * shape.value().chars;
    const std::size_t total = body + (mark ? 4 : 0);
    std::uint8_t* o = out.reserve(total);
    if (o == nullptr) return sink_failure();
    if (mark) {
        store32(o, 0xFEFF, Little);
        o += 4;
    }
    utf8_to<Utf32Out<Little>>(p, p + text.size(), o, o + body);
    return total;
}

}  // namespace

Result<CheckedText> decode_utf32_with_endianness(ByteView bytes, bool little_endian) {
    if (bytes.size() % 4 != 0) return value_error(std::string(msg::kUtf32Length));
    return check_utf32(bytes.data(), bytes.size(), little_endian);
}

Result<CheckedText> decode_utf32(ByteView bytes) {
    if (bytes.size() < 4 || bytes.size() % 4 != 0) {
        return value_error(std::string(msg::kUtf32Short));
    }
    static constexpr std::uint8_t kBigMark[4] = {0x00, 0x00, 0xFE, 0xFF};
    static constexpr std::uint8_t kLittleMark[4] = {0xFF, 0xFE, 0x00, 0x00};
    if (std::memcmp(bytes.data(), kBigMark, 4) == 0) {
        return decode_utf32_with_endianness(bytes.subspan(4), false);
    }
    if (std::memcmp(bytes.data(), kLittleMark, 4) == 0) {
        return decode_utf32_with_endianness(bytes.subspan(4), true);
    }
    return decode_utf32_with_endianness(bytes, false);
}

Result<std::size_t> encode_utf32(std::string_view text, ByteSink& out) {
    return append_utf32<false>(text, true, out);
}

Result<std::size_t> encode_utf32_with_endianness(std::string_view text, bool little_endian,
                                                 ByteSink& out) {
    return little_endian ? append_utf32<true>(text, false, out)
                         : append_utf32<false>(text, false, out);
}

}  // namespace bitloom::core
