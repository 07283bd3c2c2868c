// UTF-16 in both byte orders: checking and measuring units, the decoders (the
// mark read by decode_utf16), the encoders from UTF-8, and the writers of
// checked units into a str's storage.
#include <cstring>

#include "core/format.hpp"
#include "core/messages.hpp"
#include "core/text/unicode.hpp"
#include "core/text/unicode_detail.hpp"

namespace bitloom::core {
namespace unicode_detail {

// UTF-16 units (checked) into UCS1, UCS2 or UCS4.
void utf16_to_ucs1(const std::uint8_t* d, std::size_t units, bool little,
                   std::uint8_t* o) noexcept {
    std::size_t i = 0;
#if BITLOOM_SSE2
    for (; i + 16 <= units; i += 16) {
        __m128i a = load128(d + 2 * i);
        __m128i b = load128(d + 2 * i + 16);
        if (!little) {
            a = _mm_srli_epi16(a, 8);
            b = _mm_srli_epi16(b, 8);
        }
        store128(o + i, _mm_packus_epi16(a, b));
    }
#endif
    for (; i < units; ++i) o[i] = static_cast<std::uint8_t>(load16(d + 2 * i, little));
}

void utf16_to_ucs2(const std::uint8_t* d, std::size_t units, bool little,
                   std::uint8_t* o) noexcept {
    if (little == kHostLittle) {
        std::memcpy(o, d, 2 * units);
        return;
    }
    std::size_t i = 0;
#if BITLOOM_SSE2
    for (; i + 8 <= units; i += 8) store128(o + 2 * i, swap16x8(load128(d + 2 * i)));
#endif
    for (; i < units; ++i) store16(o + 2 * i, load16(d + 2 * i, little), kHostLittle);
}

void utf16_to_ucs4(const std::uint8_t* d, std::size_t units, bool little,
                   std::uint8_t* o) noexcept {
    std::size_t i = 0;
    while (i < units) {
#if BITLOOM_SSE2
        if (units - i >= 8) {
            __m128i v = load128(d + 2 * i);
            const unsigned m = surrogate_lanes16(v, little);
            if (m == 0) {
                if (little != kHostLittle) v = swap16x8(v);
                const __m128i z = _mm_setzero_si128();
                store128(o, _mm_unpacklo_epi16(v, z));
                store128(o + 16, _mm_unpackhi_epi16(v, z));
                i += 8;
                o += 32;
                continue;
            }
            for (unsigned k = static_cast<unsigned>(std::countr_zero(m)) / 2; k > 0; --k) {
                store32(o, load16(d + 2 * i, little), kHostLittle);
                ++i;
                o += 4;
            }
        }
#endif
        std::uint32_t u = load16(d + 2 * i, little);
        if ((u & 0xFC00) == 0xD800) {
            const std::uint32_t low = load16(d + 2 * i + 2, little);
            u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        } else {
            i += 1;
        }
        store32(o, u, kHostLittle);
        o += 4;
    }
}

}  // namespace unicode_detail

namespace {

using namespace unicode_detail;

Result<CheckedText> check_utf16(const std::uint8_t* d, std::size_t size, bool little) {
    const std::size_t units = size / 2;
    std::size_t i = 0;
    std::size_t chars = 0;
    std::uint32_t ored = 0;
    bool supplementary = false;
#if BITLOOM_SSE2
    __m128i vored = _mm_setzero_si128();
#endif
    while (i < units) {
#if BITLOOM_SSE2
        if (units - i >= 8) {
            // Surrogate lanes are OR-ed in too; they only matter when the text
            // has a pair (then it is Supplementary anyway) or fails.
            const __m128i v = load128(d + 2 * i);
            vored = _mm_or_si128(vored, v);
            const unsigned m = surrogate_lanes16(v, little);
            if (m == 0) {
                i += 8;
                chars += 8;
                continue;
            }
            const unsigned k = static_cast<unsigned>(std::countr_zero(m)) / 2;
            i += k;
            chars += k;
        }
#endif
        const std::uint16_t u = load16(d + 2 * i, little);
        if ((u & 0xF800) != 0xD800) {
            ored |= u;
            ++chars;
            ++i;
            continue;
        }
        if (u <= 0xDBFF && i + 1 < units && (load16(d + 2 * i + 2, little) & 0xFC00) == 0xDC00) {
            supplementary = true;
            ++chars;
            i += 2;
            continue;
        }
        return value_error(std::string(msg::kUtf16Lone));
    }
#if BITLOOM_SSE2
    std::uint32_t lanes = or_lanes32(vored);
    std::uint16_t raw = static_cast<std::uint16_t>(lanes | (lanes >> 16));
    ored |= little == kHostLittle ? raw : bswap16(raw);
#endif
    const TextForm form = little ? TextForm::Utf16le : TextForm::Utf16be;
    return CheckedText{form, range_of_bits(ored, supplementary), d, size, chars};
}

template <bool Little>
Result<std::size_t> append_utf16(std::string_view text, bool mark, ByteSink& out) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    auto shape = measure_utf8(p, text.size());
    if (!shape) return std::move(shape).error();
    const std::size_t body = 2 * (shape.value().chars + shape.value().supplementary);
    const std::size_t total = body + (mark ? 2 : 0);
    std::uint8_t* o = out.reserve(total);
    if (o == nullptr) return sink_failure();
    if (mark) {
        store16(o, 0xFEFF, Little);
        o += 2;
    }
    utf8_to<Utf16Out<Little>>(p, p + text.size(), o, o + body);
    return total;
}

}  // namespace

Result<CheckedText> decode_utf16_with_endianness(ByteView bytes, bool little_endian) {
    if (bytes.size() % 2 != 0) return value_error(std::string(msg::kUtf16Odd));
    return check_utf16(bytes.data(), bytes.size(), little_endian);
}

Result<CheckedText> decode_utf16(ByteView bytes) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0) {
        return value_error(std::string(msg::kUtf16Short));
    }
    if (bytes[0] == 0xFE && bytes[1] == 0xFF) {
        return decode_utf16_with_endianness(bytes.subspan(2), false);
    }
    if (bytes[0] == 0xFF && bytes[1] == 0xFE) {
        return decode_utf16_with_endianness(bytes.subspan(2), true);
    }
    return decode_utf16_with_endianness(bytes, false);
}

Result<std::size_t> encode_utf16(std::string_view text, ByteSink& out) {
    return append_utf16<false>(text, true, out);
}

Result<std::size_t> encode_utf16_with_endianness(std::string_view text, bool little_endian,
                                                 ByteSink& out) {
    return little_endian ? append_utf16<true>(text, false, out)
                         : append_utf16<false>(text, false, out);
}

}  // namespace bitloom::core
