#include "core/unicode.hpp"

#include <algorithm>
#include <cstring>

#include "core/format.hpp"
#include "core/text_blocks.hpp"

namespace bitloom::core {
namespace {

using namespace blocks;

// ---- messages ------------------------------------------------------------------

constexpr std::string_view kUtf8Invalid = "Invalid UTF-8 bytes: ";
constexpr std::string_view kUtf8IncompleteDetail = "incomplete utf-8 byte sequence from index ";
constexpr std::string_view kUtf8InvalidDetail = "invalid utf-8 sequence of ";
constexpr std::string_view kUtf8InvalidDetailIndex = " bytes from index ";
constexpr std::string_view kUtf16Short =
    "UTF-16 requires an even number of bytes with at least 2 bytes";
constexpr std::string_view kUtf16Odd = "UTF-16 requires an even number of bytes";
constexpr std::string_view kUtf16Lone =
    "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found";
constexpr std::string_view kUtf32Short =
    "UTF-32 requires a multiple of 4 bytes with at least 4 bytes";
constexpr std::string_view kUtf32Length = "UTF-32 requires a multiple of 4 bytes";
constexpr std::string_view kUtf32Invalid = "Invalid UTF-32 codepoint: 0x";
constexpr std::string_view kSinkFailure = "no room for the encoded text";

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

// Single bytes looked up in a table of BMP characters, into UCS2.
void table_to_ucs2(const std::uint8_t* d, std::size_t n, const char16_t* table,
                   std::uint8_t* o) noexcept {
    std::size_t i = 0;
    while (i < n) {
#if BITLOOM_SSE2
        if (n - i >= 16) {
            const __m128i v = load128(d + i);
            if (_mm_movemask_epi8(v) == 0) {
                NativeUcs2::put_ascii16(o + 2 * i, v);
                i += 16;
                continue;
            }
        }
#endif
        store16(o + 2 * i, table[d[i]], kHostLittle);
        ++i;
    }
}

// ---- checking --------------------------------------------------------------------

CharRange range_of_bits(std::uint32_t all_units_ored, bool supplementary) noexcept {
    if (supplementary || all_units_ored > 0xFFFF) return CharRange::Supplementary;
    if (all_units_ored > 0xFF) return CharRange::Bmp;
    if (all_units_ored > 0x7F) return CharRange::Latin1;
    return CharRange::Ascii;
}

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
        return value_error(std::string(kUtf16Lone));
    }
#if BITLOOM_SSE2
    std::uint32_t lanes = or_lanes32(vored);
    std::uint16_t raw = static_cast<std::uint16_t>(lanes | (lanes >> 16));
    ored |= little == kHostLittle ? raw : bswap16(raw);
#endif
    const TextForm form = little ? TextForm::Utf16le : TextForm::Utf16be;
    return CheckedText{form, range_of_bits(ored, supplementary), d, size, chars};
}

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
            return value_error(cat(kUtf32Invalid, hex_upper(u, 8)));
        }
        ored |= u;
    }
    const TextForm form = little ? TextForm::Utf32le : TextForm::Utf32be;
    return CheckedText{form, range_of_bits(ored, false), d, size, units};
}

// Checks UTF-8 64 bytes at a time without branching on the bytes. For every
// position it looks at the three bytes before it (carried over from the previous
// block at the block's start): the byte must be a continuation byte exactly when
// one of them is a lead byte whose sequence reaches it, no byte may be C0, C1 or
// F5-FF, and the byte after E0, ED, F0 or F4 must lie in that lead's narrower
// range. Violations are OR-ed together and tested once per 64 bytes; an all-ASCII
// stretch only has its first block checked, for a sequence running into it.
//
// Stops before the first 64 bytes that break a rule, or when fewer are left.
// `resume` is then the start of the first sequence not yet checked; everything
// before it is well formed and counted.
struct BlockScan {
    const std::uint8_t* resume;
    std::size_t chars;
    std::size_t supplementary;
    std::uint8_t top;  // largest byte seen
};

#if BITLOOM_SSE2
// The bytes of `cur` moved up by K positions, the last K bytes of `prev` below them.
template <int K>
inline __m128i earlier(__m128i cur, __m128i prev) noexcept {
    return _mm_or_si128(_mm_slli_si128(cur, K), _mm_srli_si128(prev, 16 - K));
}

inline __m128i equals(__m128i v, int b) noexcept {
    return _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(b)));
}

// The rule violations of block `v` that follows block `prev`: a nonzero byte
// marks a position that breaks a rule.
inline __m128i utf8_violations(__m128i v, __m128i prev) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i b1 = earlier<1>(v, prev);
    // Nonzero where the byte 1, 2 or 3 before is a lead byte reaching this far
    // (C2 and up, E0 and up, F0 and up).
    const __m128i reached = _mm_or_si128(
        _mm_or_si128(_mm_subs_epu8(b1, _mm_set1_epi8(static_cast<char>(0xC1))),
                     _mm_subs_epu8(earlier<2>(v, prev), _mm_set1_epi8(static_cast<char>(0xDF)))),
        _mm_subs_epu8(earlier<3>(v, prev), _mm_set1_epi8(static_cast<char>(0xEF))));
    const __m128i is_continuation = _mm_cmplt_epi8(v, _mm_set1_epi8(-64));  // 80-BF
    // A continuation byte exactly where one is reached.
    __m128i bad = _mm_cmpeq_epi8(_mm_cmpeq_epi8(reached, zero), is_continuation);
    // C0 and C1, and F5 to FF.
    bad = _mm_or_si128(bad, equals(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xFE))), 0xC0));
    bad = _mm_or_si128(bad, _mm_subs_epu8(v, _mm_set1_epi8(static_cast<char>(0xF4))));
    // After E0: A0-BF; after ED: 80-9F; after F0: 90-BF; after F4: 80-8F.
    // Signed, A0 is -96 and 90 is -112.
    bad = _mm_or_si128(bad, _mm_and_si128(equals(b1, 0xE0), _mm_cmplt_epi8(v, _mm_set1_epi8(-96))));
    bad = _mm_or_si128(bad, _mm_and_si128(equals(b1, 0xED), _mm_cmpgt_epi8(v, _mm_set1_epi8(-97))));
    bad = _mm_or_si128(bad,
                       _mm_and_si128(equals(b1, 0xF0), _mm_cmplt_epi8(v, _mm_set1_epi8(-112))));
    bad = _mm_or_si128(bad,
                       _mm_and_si128(equals(b1, 0xF4), _mm_cmpgt_epi8(v, _mm_set1_epi8(-113))));
    return bad;
}

inline bool any_nonzero(__m128i v) noexcept {
    return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) != 0xFFFF;
}

// Sums four blocks of per-byte flags (0 or -1) into two 64-bit lanes.
inline __m128i count_flags(__m128i acc, __m128i f0, __m128i f1, __m128i f2, __m128i f3) noexcept {
    const __m128i negated = _mm_add_epi8(_mm_add_epi8(f0, f1), _mm_add_epi8(f2, f3));
    const __m128i counts = _mm_sub_epi8(_mm_setzero_si128(), negated);
    return _mm_add_epi64(acc, _mm_sad_epu8(counts, _mm_setzero_si128()));
}
#endif

BlockScan scan_utf8_blocks(const std::uint8_t* const start,
                           const std::uint8_t* const end) noexcept {
    const std::uint8_t* p = start;
    std::size_t chars = 0;
    std::size_t supplementary = 0;
    std::uint8_t top_byte = 0;
#if BITLOOM_SSE2
    __m128i continuations = _mm_setzero_si128();
    __m128i fours = _mm_setzero_si128();
    __m128i top = _mm_setzero_si128();
    __m128i prev = _mm_setzero_si128();
    while (end - p >= 64) {
        const __m128i v0 = load128(p);
        const __m128i v1 = load128(p + 16);
        const __m128i v2 = load128(p + 32);
        const __m128i v3 = load128(p + 48);
        const __m128i any = _mm_or_si128(_mm_or_si128(v0, v1), _mm_or_si128(v2, v3));
        if (_mm_movemask_epi8(any) == 0) {
            // Only a lead byte among the last three of the block before can
            // reach into an ASCII stretch.
            if ((_mm_movemask_epi8(prev) & 0xE000) != 0 && any_nonzero(utf8_violations(v0, prev))) {
                break;
            }
            prev = v3;
            p += 64;
            continue;
        }
        __m128i bad = utf8_violations(v0, prev);
        bad = _mm_or_si128(bad, utf8_violations(v1, v0));
        bad = _mm_or_si128(bad, utf8_violations(v2, v1));
        bad = _mm_or_si128(bad, utf8_violations(v3, v2));
        if (any_nonzero(bad)) break;
        const __m128i below_c0 = _mm_set1_epi8(-64);
        continuations = count_flags(continuations, _mm_cmplt_epi8(v0, below_c0),
                                    _mm_cmplt_epi8(v1, below_c0), _mm_cmplt_epi8(v2, below_c0),
                                    _mm_cmplt_epi8(v3, below_c0));
        // Well formed, the bytes from F0 up are the lead bytes F0-F4.
        const __m128i f0 = _mm_set1_epi8(static_cast<char>(0xF0));
        const auto at_least_f0 = [&](__m128i v) { return _mm_cmpeq_epi8(_mm_max_epu8(v, f0), v); };
        fours = count_flags(fours, at_least_f0(v0), at_least_f0(v1), at_least_f0(v2),
                            at_least_f0(v3));
        top = _mm_max_epu8(top, _mm_max_epu8(_mm_max_epu8(v0, v1), _mm_max_epu8(v2, v3)));
        prev = v3;
        p += 64;
    }
    const auto sum64 = [](__m128i v) {
        return static_cast<std::size_t>(_mm_cvtsi128_si64(v)) +
               static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)));
    };
    chars = static_cast<std::size_t>(p - start) - sum64(continuations);
    supplementary = sum64(fours);
    alignas(16) std::uint8_t top_bytes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(top_bytes), top);
    for (std::uint8_t b : top_bytes) top_byte = std::max(top_byte, b);
    if (p != start) {
        // The last sequence before p may run past it: resume at its lead, which
        // has been counted already.
        const std::uint8_t* lead = p - 1;
        while (is_continuation(*lead)) --lead;
        const std::size_t need = *lead < 0x80 ? 1 : *lead < 0xE0 ? 2 : *lead < 0xF0 ? 3 : 4;
        if (static_cast<std::size_t>(p - lead) < need) {
            p = lead;
            --chars;
            if (*lead >= 0xF0) --supplementary;
        }
    }
#else
    (void)end;
#endif
    return {p, chars, supplementary, top_byte};
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

Error utf8_error(std::size_t index, bool incomplete, std::size_t invalid_length) {
    if (incomplete) return value_error(cat(kUtf8Invalid, kUtf8IncompleteDetail, dec(index)));
    return value_error(cat(kUtf8Invalid, kUtf8InvalidDetail, dec(invalid_length),
                           kUtf8InvalidDetailIndex, dec(index)));
}

Result<Utf8Shape> measure_utf8(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t* const end = data + size;
    const BlockScan blocks = scan_utf8_blocks(data, end);
    const std::uint8_t* p = blocks.resume;
    std::size_t chars = blocks.chars;
    std::size_t supplementary = blocks.supplementary;
    std::uint8_t top = blocks.top;
    for (;;) {
        const std::size_t run = ascii_prefix(p, static_cast<std::size_t>(end - p));
        p += run;
        chars += run;
        if (p == end) break;
        do {
            const Utf8Step step = read_utf8(p, end);
            if (step.fault != Utf8Fault::None) {
                return utf8_error(static_cast<std::size_t>(p - data),
                                  step.fault == Utf8Fault::Incomplete, step.len);
            }
            top = std::max(top, *p);
            if (step.len == 4) ++supplementary;
            ++chars;
            p += step.len;
        } while (p < end && *p >= 0x80);
    }
    // The largest byte is the largest lead byte: C2-C3 start characters up to
    // U+00FF, C4-EF up to U+FFFF, F0-F4 the rest.
    CharRange range = CharRange::Ascii;
    if (top >= 0xF0) {
        range = CharRange::Supplementary;
    } else if (top >= 0xC4) {
        range = CharRange::Bmp;
    } else if (top >= 0x80) {
        range = CharRange::Latin1;
    }
    return Utf8Shape{chars, supplementary, range};
}

void write_text(const CheckedText& t, void* out) noexcept {
    auto* o = static_cast<std::uint8_t*>(out);
    const std::uint8_t* d = t.data;
    if (t.length == 0) return;
    switch (t.form) {
        case TextForm::Utf8: {
            const std::uint8_t* o_end = o + t.length * unit_size(t.range);
            switch (t.range) {
                case CharRange::Ascii: std::memcpy(o, d, t.size); return;
                case CharRange::Latin1: utf8_to<Ucs1Out>(d, d + t.size, o, o_end); return;
                case CharRange::Bmp: utf8_to<NativeUcs2>(d, d + t.size, o, o_end); return;
                case CharRange::Supplementary: utf8_to<NativeUcs4>(d, d + t.size, o, o_end); return;
            }
            return;
        }
        case TextForm::Utf16le:
        case TextForm::Utf16be: {
            const bool little = t.form == TextForm::Utf16le;
            const std::size_t units = t.size / 2;
            switch (unit_size(t.range)) {
                case 1: utf16_to_ucs1(d, units, little, o); return;
                case 2: utf16_to_ucs2(d, units, little, o); return;
                default: utf16_to_ucs4(d, units, little, o); return;
            }
        }
        case TextForm::Utf32le:
        case TextForm::Utf32be: {
            const bool little = t.form == TextForm::Utf32le;
            const std::size_t units = t.size / 4;
            switch (unit_size(t.range)) {
                case 1: utf32_to_ucs1(d, units, little, o); return;
                case 2: utf32_to_ucs2(d, units, little, o); return;
                default: utf32_to_ucs4(d, units, little, o); return;
            }
        }
        case TextForm::Bytes: std::memcpy(o, d, t.size); return;
        case TextForm::ByteTable: table_to_ucs2(d, t.size, t.table, o); return;
    }
}

Result<CheckedText> decode_utf8(ByteView bytes) {
    auto shape = measure_utf8(bytes.data(), bytes.size());
    if (!shape) return std::move(shape).error();
    return CheckedText{TextForm::Utf8, shape.value().range, bytes.data(), bytes.size(),
                       shape.value().chars};
}

Result<CheckedText> decode_utf16_with_endianness(ByteView bytes, bool little_endian) {
    if (bytes.size() % 2 != 0) return value_error(std::string(kUtf16Odd));
    return check_utf16(bytes.data(), bytes.size(), little_endian);
}

Result<CheckedText> decode_utf16(ByteView bytes) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0) return value_error(std::string(kUtf16Short));
    if (bytes[0] == 0xFE && bytes[1] == 0xFF) {
        return decode_utf16_with_endianness(bytes.subspan(2), false);
    }
    if (bytes[0] == 0xFF && bytes[1] == 0xFE) {
        return decode_utf16_with_endianness(bytes.subspan(2), true);
    }
    return decode_utf16_with_endianness(bytes, false);
}

Result<CheckedText> decode_utf32_with_endianness(ByteView bytes, bool little_endian) {
    if (bytes.size() % 4 != 0) return value_error(std::string(kUtf32Length));
    return check_utf32(bytes.data(), bytes.size(), little_endian);
}

Result<CheckedText> decode_utf32(ByteView bytes) {
    if (bytes.size() < 4 || bytes.size() % 4 != 0) return value_error(std::string(kUtf32Short));
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

Error sink_failure() { return Error{ErrorKind::System, std::string(kSinkFailure)}; }

Result<std::size_t> encode_utf8(std::string_view text, ByteSink& out) {
    std::uint8_t* o = out.reserve(text.size());
    if (o == nullptr) return sink_failure();
    if (!text.empty()) std::memcpy(o, text.data(), text.size());
    return text.size();
}

Result<std::size_t> encode_utf16(std::string_view text, ByteSink& out) {
    return append_utf16<false>(text, true, out);
}

Result<std::size_t> encode_utf16_with_endianness(std::string_view text, bool little_endian,
                                                 ByteSink& out) {
    return little_endian ? append_utf16<true>(text, false, out)
                         : append_utf16<false>(text, false, out);
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
