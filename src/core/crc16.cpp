#include "core/crc16.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
#define BITLOOM_CRC_CLMUL 1
#include <immintrin.h>
#endif

namespace bitloom::core {

namespace {

// Tables for eight bytes at a time: table[k][v] is the CRC register's change
// from a byte v followed by k zero bytes, so that eight bytes fold into the
// register with eight lookups and no dependency between them but the last XOR.
using Tables = std::array<std::array<std::uint16_t, 256>, 8>;

constexpr Tables make_tables() {
    Tables t{};
    for (unsigned v = 0; v < 256; ++v) {
        std::uint16_t crc = static_cast<std::uint16_t>(v << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
        t[0][v] = crc;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (unsigned v = 0; v < 256; ++v) {
            const std::uint16_t prev = t[k - 1][v];
            t[k][v] = static_cast<std::uint16_t>((prev << 8) ^ t[0][prev >> 8]);
        }
    }
    return t;
}

constexpr Tables kTables = make_tables();

// Eight bytes into the register: it meets the first two; the other six enter
// as they are.
inline std::uint16_t step8(std::uint16_t crc, const std::uint8_t* p) noexcept {
    const auto& t = kTables;
    return static_cast<std::uint16_t>(t[7][p[0] ^ (crc >> 8)] ^ t[6][p[1] ^ (crc & 0xFF)] ^
                                      t[5][p[2]] ^ t[4][p[3]] ^ t[3][p[4]] ^ t[2][p[5]] ^
                                      t[1][p[6]] ^ t[0][p[7]]);
}

// The last 0 to 7 bytes: four, two, then one at a time, so that a short
// packet's tail costs at most three dependent steps rather than seven.
inline std::uint16_t tail(std::uint16_t crc, const std::uint8_t* p, std::size_t size) noexcept {
    const auto& t = kTables;
    if ((size & 4) != 0) {
        crc = static_cast<std::uint16_t>(t[3][p[0] ^ (crc >> 8)] ^ t[2][p[1] ^ (crc & 0xFF)] ^
                                         t[1][p[2]] ^ t[0][p[3]]);
        p += 4;
    }
    if ((size & 2) != 0) {
        crc = static_cast<std::uint16_t>(t[1][p[0] ^ (crc >> 8)] ^ t[0][p[1] ^ (crc & 0xFF)]);
        p += 2;
    }
    if ((size & 1) != 0) crc = static_cast<std::uint16_t>((crc << 8) ^ t[0][(crc >> 8) ^ p[0]]);
    return crc;
}

inline std::uint16_t found_crc(const std::uint8_t* data, std::size_t size) noexcept {
    return static_cast<std::uint16_t>((data[size - 2] << 8) | data[size - 1]);
}

// Where the results of many packets go: their syndromes in `out`, or where
// `found` is not null, the CRC each carries in `found` and the CRC computed
// in `out` (the syndrome XOR the one found), read while the packet's last
// bytes are still in the cache rather than in a second pass over the data.
struct Results {
    std::uint16_t* out;
    std::uint16_t* found;

    void put(std::size_t i, std::uint16_t syndrome, const std::uint8_t* packet,
             std::size_t size) const noexcept {
        if (found == nullptr) {
            out[i] = syndrome;
            return;
        }
        const std::uint16_t carried = found_crc(packet, size);
        found[i] = carried;
        out[i] = static_cast<std::uint16_t>(syndrome ^ carried);
    }
};

std::uint16_t syndrome_by_tables(const std::uint8_t* data, std::size_t size) noexcept {
    return static_cast<std::uint16_t>(crc16_ccitt(data, size - 2) ^ found_crc(data, size));
}

// Two packets side by side through the tables: their eight-byte steps in
// turns while both have them (two independent chains of lookups, so that one
// fills the other's load latency), then each one's remaining steps and tail.
void syndromes_by_tables(const std::uint8_t* base, const std::uint64_t* offsets,
                         const std::uint64_t* lengths, std::uint64_t length, std::size_t n,
                         Results r) noexcept {
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const auto n0 = static_cast<std::size_t>(lengths == nullptr ? length : lengths[i]);
        const auto n1 = static_cast<std::size_t>(lengths == nullptr ? length : lengths[i + 1]);
        const std::uint8_t* p0 = base + offsets[i];
        const std::uint8_t* p1 = base + offsets[i + 1];
        const std::size_t b0 = n0 - 2;
        const std::size_t b1 = n1 - 2;
        std::uint16_t c0 = kCrc16CcittInit;
        std::uint16_t c1 = kCrc16CcittInit;
        const std::size_t both = std::min(b0, b1) & ~std::size_t{7};
        for (std::size_t k = 0; k < both; k += 8) {
            c0 = step8(c0, p0 + k);
            c1 = step8(c1, p1 + k);
        }
        c0 = crc16_ccitt(p0 + both, b0 - both, c0);
        c1 = crc16_ccitt(p1 + both, b1 - both, c1);
        r.put(i, static_cast<std::uint16_t>(c0 ^ found_crc(p0, n0)), p0, n0);
        r.put(i + 1, static_cast<std::uint16_t>(c1 ^ found_crc(p1, n1)), p1, n1);
    }
    if (i < n) {
        const std::uint8_t* p = base + offsets[i];
        const auto size = static_cast<std::size_t>(lengths == nullptr ? length : lengths[i]);
        r.put(i, syndrome_by_tables(p, size), p, size);
    }
}

#ifdef BITLOOM_CRC_CLMUL

// The carry-less multiply form. A packet's bytes, most significant bit
// first, are the coefficients of a polynomial D(x) over GF(2) (its first bit
// the highest power); the register's preset amounts to inverting the first
// 16 bits of D. With P(x) = x^16 + x^12 + x^5 + 1, the CRC of the bytes but
// the last two is B(x) x^16 mod P, so D(x) mod P = CRC XOR the last two
// bytes: the syndrome. D is taken 16 bytes at a time, highest first, into a
// 128-bit accumulator A ≡ what has been read (mod P): each next block B gives
// A = A_hi (x^192 mod P) + A_lo (x^128 mod P) + B, two 64x16-bit products that
// fit in 128 bits. The first block holds the packet's first (size mod 16)
// bytes (or 16), as if the packet began with zero bytes, which leaves D
// unchanged. At the end A is folded to 64 bits and reduced by Barrett's method
// with mu = floor(x^64 / P).

constexpr std::uint64_t kPoly = 0x11021;

// x^k mod P.
constexpr std::uint64_t x_pow_mod(unsigned k) {
    std::uint64_t r = 1;
    for (unsigned i = 0; i < k; ++i) {
        r <<= 1;
        if ((r & 0x10000) != 0) r ^= kPoly;
    }
    return r;
}

// floor(x^64 / P): polynomial long division, the dividend's bit 64 and below.
constexpr std::uint64_t barrett_mu() {
    std::uint64_t quotient = 0;
    std::uint64_t high = 1;  // bit 64 of the remainder
    std::uint64_t low = 0;   // bits 63..0
    for (int d = 64; d >= 16; --d) {
        const bool set = d == 64 ? (high & 1) != 0 : ((low >> d) & 1) != 0;
        if (!set) continue;
        quotient |= std::uint64_t{1} << (d - 16);
        // Subtract P x^(d-16): its top term clears bit d.
        if (d == 64) {
            high = 0;
            low ^= (kPoly & 0xFFFF) << 48;  // the terms of P x^48 below x^64
        } else {
            low ^= kPoly << (d - 16);
        }
    }
    return quotient;
}

constexpr std::uint64_t kMu = barrett_mu();
static_assert(kMu >> 48 == 1, "floor(x^64 / P) has degree 48");

// Per head length h (1 to 16): the byte shuffle that reverses a 16-byte load
// ending at byte h of the packet and zeroes the bytes before the packet, and
// the bits of the preset, over the packet's first two bytes.
struct HeadMasks {
    alignas(16) std::uint8_t shuffle[17][16];
    alignas(16) std::uint8_t preset[17][16];
};

constexpr HeadMasks make_head_masks() {
    HeadMasks m{};
    for (int h = 0; h <= 16; ++h) {
        for (int j = 0; j < 16; ++j) {
            m.shuffle[h][j] = j < h ? static_cast<std::uint8_t>(15 - j) : 0x80;
            const bool first_two = (h >= 2 && (j == h - 1 || j == h - 2)) || (h == 1 && j == 0);
            m.preset[h][j] = first_two ? 0xFF : 0;
        }
    }
    return m;
}

constexpr HeadMasks kHead = make_head_masks();

#define BITLOOM_CLMUL_TARGET __attribute__((target("pclmul,ssse3,sse4.1")))

BITLOOM_CLMUL_TARGET inline __m128i load16(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// What a packet's length decides: its head block's masks and how many whole
// blocks follow the head.
struct Shape {
    std::size_t head;    // 1 to 16 bytes
    std::size_t blocks;  // whole 16-byte blocks after the head
    __m128i shuffle, preset;
};

BITLOOM_CLMUL_TARGET inline Shape shape_of(std::size_t size) {
    Shape s;
    s.head = size % 16 == 0 ? 16 : size % 16;
    s.blocks = (size - s.head) / 16;
    s.shuffle = load16(kHead.shuffle[s.head]);
    s.preset = load16(kHead.preset[s.head]);
    return s;
}

BITLOOM_CLMUL_TARGET inline __m128i fold_in(__m128i a, __m128i block, __m128i fold) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(a, fold, 0x11),
                                       _mm_clmulepi64_si128(a, fold, 0x00)),
                         block);
}

// The constants of the folds and of the reduction.
struct Folding {
    __m128i fold, x64, mu_poly, reverse, second;
};

BITLOOM_CLMUL_TARGET inline Folding folding() {
    return {_mm_set_epi64x(static_cast<long long>(x_pow_mod(192)),
                           static_cast<long long>(x_pow_mod(128))),
            _mm_set_epi64x(0, static_cast<long long>(x_pow_mod(64))),
            _mm_set_epi64x(static_cast<long long>(kPoly), static_cast<long long>(kMu)),
            _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
            // The preset's second byte, where it opens the block after a head of one.
            _mm_set_epi64x(static_cast<long long>(0xFF00000000000000ULL), 0)};
}

// The accumulator after the head block (and, for a head of one byte, the
// block after it, which holds the preset's second byte).
BITLOOM_CLMUL_TARGET inline __m128i start(const std::uint8_t* data, const Shape& s,
                                          const std::uint8_t* readable, const Folding& f) {
    __m128i head;
    if (static_cast<std::size_t>(data - readable) + s.head >= 16) {
        head = load16(data + s.head - 16);
    } else {  // too near the start of what may be read: a zero-padded copy
        std::uint8_t copy[16] = {};
        std::memcpy(copy + 16 - s.head, data, s.head);
        head = load16(copy);
    }
    __m128i a = _mm_xor_si128(_mm_shuffle_epi8(head, s.shuffle), s.preset);
    if (s.head == 1) {  // size >= 17: a block follows
        const __m128i b = _mm_shuffle_epi8(load16(data + 1), f.reverse);
        a = fold_in(a, _mm_xor_si128(b, f.second), f.fold);
    }
    return a;
}

// The syndrome from the accumulator: 128 bits to at most 79 (A_hi x^64 mod P
// + A_lo), then to 64, then Barrett: q = ((T >> 16) mu) >> 48 (the product
// has at most 97 bits), and the syndrome is the low 16 bits of T + q P.
BITLOOM_CLMUL_TARGET inline std::uint16_t finish(__m128i a, const Folding& f) {
    a = _mm_xor_si128(_mm_clmulepi64_si128(a, f.x64, 0x01), _mm_move_epi64(a));
    a = _mm_xor_si128(_mm_clmulepi64_si128(a, f.x64, 0x01), _mm_move_epi64(a));
    __m128i q = _mm_clmulepi64_si128(_mm_srli_epi64(a, 16), f.mu_poly, 0x00);
    q = _mm_or_si128(_mm_srli_epi64(q, 48), _mm_slli_epi64(_mm_srli_si128(q, 8), 16));
    const __m128i r = _mm_xor_si128(a, _mm_clmulepi64_si128(q, f.mu_poly, 0x10));
    return static_cast<std::uint16_t>(_mm_cvtsi128_si32(r));
}

// Whole blocks after the start: those of a head of one begin a block later.
BITLOOM_CLMUL_TARGET inline std::size_t first_block(const Shape& s) {
    return s.head == 1 ? 17 : s.head;
}

BITLOOM_CLMUL_TARGET inline std::size_t blocks_after_start(const Shape& s) {
    return s.head == 1 ? s.blocks - 1 : s.blocks;
}

BITLOOM_CLMUL_TARGET inline std::uint16_t syndrome_clmul(const std::uint8_t* data, const Shape& s,
                                                         const std::uint8_t* readable) {
    const Folding f = folding();
    __m128i a = start(data, s, readable, f);
    const std::uint8_t* p = data + first_block(s);
    for (std::size_t k = blocks_after_start(s); k != 0; --k, p += 16) {
        a = fold_in(a, _mm_shuffle_epi8(load16(p), f.reverse), f.fold);
    }
    return finish(a, f);
}

BITLOOM_CLMUL_TARGET void syndromes_clmul(const std::uint8_t* base, const std::uint64_t* offsets,
                                          const std::uint64_t* lengths, std::uint64_t length,
                                          std::size_t n, Results r) {
    if (lengths == nullptr) {
        // One length for all: its shape is worked out once, the block loop's
        // trip count repeats (which the branch predictor learns), and two
        // packets go side by side, so that one's chain of multiplies fills
        // the other's waits.
        const auto size = static_cast<std::size_t>(length);
        const Shape s = shape_of(size);
        const Folding f = folding();
        const std::size_t skip = first_block(s);
        const std::size_t blocks = blocks_after_start(s);
        std::size_t i = 0;
        for (; i + 2 <= n; i += 2) {
            const std::uint8_t* q0 = base + offsets[i];
            const std::uint8_t* q1 = base + offsets[i + 1];
            __m128i a0 = start(q0, s, base, f);
            __m128i a1 = start(q1, s, base, f);
            const std::uint8_t* p0 = q0 + skip;
            const std::uint8_t* p1 = q1 + skip;
            for (std::size_t k = blocks; k != 0; --k, p0 += 16, p1 += 16) {
                a0 = fold_in(a0, _mm_shuffle_epi8(load16(p0), f.reverse), f.fold);
                a1 = fold_in(a1, _mm_shuffle_epi8(load16(p1), f.reverse), f.fold);
            }
            r.put(i, finish(a0, f), q0, size);
            r.put(i + 1, finish(a1, f), q1, size);
        }
        if (i < n) r.put(i, syndrome_clmul(base + offsets[i], s, base), base + offsets[i], size);
        return;
    }
    // Lengths of their own: two packets side by side again, their blocks in
    // turns while both have them, then the longer one's alone. The constants
    // stay in registers across packets, and no call is made per packet.
    const Folding f = folding();
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const auto n0 = static_cast<std::size_t>(lengths[i]);
        const auto n1 = static_cast<std::size_t>(lengths[i + 1]);
        const Shape s0 = shape_of(n0);
        const Shape s1 = shape_of(n1);
        const std::uint8_t* q0 = base + offsets[i];
        const std::uint8_t* q1 = base + offsets[i + 1];
        __m128i a0 = start(q0, s0, base, f);
        __m128i a1 = start(q1, s1, base, f);
        const std::uint8_t* p0 = q0 + first_block(s0);
        const std::uint8_t* p1 = q1 + first_block(s1);
        std::size_t k0 = blocks_after_start(s0);
        std::size_t k1 = blocks_after_start(s1);
        for (std::size_t both = std::min(k0, k1); both != 0; --both, --k0, --k1) {
            a0 = fold_in(a0, _mm_shuffle_epi8(load16(p0), f.reverse), f.fold);
            a1 = fold_in(a1, _mm_shuffle_epi8(load16(p1), f.reverse), f.fold);
            p0 += 16;
            p1 += 16;
        }
        for (; k0 != 0; --k0, p0 += 16) {
            a0 = fold_in(a0, _mm_shuffle_epi8(load16(p0), f.reverse), f.fold);
        }
        for (; k1 != 0; --k1, p1 += 16) {
            a1 = fold_in(a1, _mm_shuffle_epi8(load16(p1), f.reverse), f.fold);
        }
        r.put(i, finish(a0, f), q0, n0);
        r.put(i + 1, finish(a1, f), q1, n1);
    }
    if (i < n) {
        const auto size = static_cast<std::size_t>(lengths[i]);
        r.put(i, syndrome_clmul(base + offsets[i], shape_of(size), base), base + offsets[i], size);
    }
}

bool detect_clmul() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3") &&
           __builtin_cpu_supports("sse4.1");
}

const bool kHasClmul = detect_clmul();

#endif  // BITLOOM_CRC_CLMUL

}  // namespace

std::uint16_t crc16_ccitt(const std::uint8_t* data, std::size_t size, std::uint16_t crc) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) crc = step8(crc, data + i);
    return tail(crc, data + i, size - i);
}

bool crc16_ccitt_uses_clmul() noexcept {
#ifdef BITLOOM_CRC_CLMUL
    return kHasClmul;
#else
    return false;
#endif
}

std::uint16_t crc16_ccitt_syndrome(const std::uint8_t* data, std::size_t size,
                                   const std::uint8_t* readable) noexcept {
#ifdef BITLOOM_CRC_CLMUL
    if (kHasClmul) return syndrome_clmul(data, shape_of(size), readable);
#else
    (void)readable;
#endif
    return syndrome_by_tables(data, size);
}

void crc16_ccitt_syndromes(const std::uint8_t* base, const std::uint64_t* offsets,
                           const std::uint64_t* lengths, std::uint64_t length, std::size_t n,
                           std::uint16_t* out, std::uint16_t* found) noexcept {
#ifdef BITLOOM_CRC_CLMUL
    if (kHasClmul) {
        syndromes_clmul(base, offsets, lengths, length, n, {out, found});
        return;
    }
#endif
    syndromes_by_tables(base, offsets, lengths, length, n, {out, found});
}

void crc16_ccitt_syndromes_by_tables(const std::uint8_t* base, const std::uint64_t* offsets,
                                     const std::uint64_t* lengths, std::uint64_t length,
                                     std::size_t n, std::uint16_t* out,
                                     std::uint16_t* found) noexcept {
    syndromes_by_tables(base, offsets, lengths, length, n, {out, found});
}

}  // namespace bitloom::core
