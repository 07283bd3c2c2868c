// UTF-8: validation and measurement (64 bytes at a time where SSE2 is there,
// then sequence by sequence), the decoder and the encoder (a copy).
#include <algorithm>
#include <cstring>

#include "core/format.hpp"
#include "core/messages.hpp"
#include "core/text/unicode.hpp"
#include "core/text/unicode_detail.hpp"

namespace bitloom::core {
namespace {

using namespace unicode_detail;

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

}  // namespace

Error utf8_error(std::size_t index, bool incomplete, std::size_t invalid_length) {
    if (incomplete) return value_error(fill(msg::kUtf8Incomplete, dec(index)));
    return value_error(fill(msg::kUtf8Invalid, dec(invalid_length), dec(index)));
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

Result<CheckedText> decode_utf8(ByteView bytes) {
    auto shape = measure_utf8(bytes.data(), bytes.size());
    if (!shape) return std::move(shape).error();
    return CheckedText{TextForm::Utf8, shape.value().range, bytes.data(), bytes.size(),
                       shape.value().chars};
}

Error sink_failure() { return Error{ErrorKind::System, std::string(msg::kSinkFailure)}; }

Result<std::size_t> encode_utf8(std::string_view text, ByteSink& out) {
    std::uint8_t* o = out.reserve(text.size());
    if (o == nullptr) return sink_failure();
    if (!text.empty()) std::memcpy(o, text.data(), text.size());
    return text.size();
}

}  // namespace bitloom::core
