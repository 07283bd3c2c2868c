// binary16 conversions: the F16C path against the software path on every
// binary16 image and every binary32 input, plus known values for both.
#include <atomic>
#include <bit>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <vector>

#include "core/f16_detail.hpp"
#include "core/ieee754.hpp"

namespace core = bitloom::core;

namespace {

std::uint64_t g_passed = 0;
std::uint64_t g_failed = 0;

void check(bool ok, const char* what, std::uint64_t input, std::uint64_t got, std::uint64_t want) {
    if (ok) {
        ++g_passed;
        return;
    }
    if (++g_failed <= 20) {
        std::printf("FAIL %s: input 0x%" PRIX64 " gave 0x%" PRIX64 ", expected 0x%" PRIX64 "\n",
                    what, input, got, want);
    }
}

std::uint32_t bits_of(float f) { return std::bit_cast<std::uint32_t>(f); }
float float_of(std::uint32_t b) { return std::bit_cast<float>(b); }

struct EncodeCase {
    std::uint32_t input;  // binary32 image
    std::uint16_t want;
};

// Rounding boundaries, subnormals, overflow, NaNs and signs.
constexpr EncodeCase kEncodeCases[] = {
    {0x3F800000, 0x3C00},  // 1.0
    {0xC0000000, 0xC000},  // -2.0
    {0x477FE000, 0x7BFF},  // 65504, the largest finite
    {0x477FEFFF, 0x7BFF},  // just below 65520
    {0x477FF000, 0x7C00},  // 65520: tie, rounds to even = 2^16 -> infinity
    {0xC9742400, 0xFC00},  // -1e6
    {0x80000000, 0x8000},  // -0.0
    {0x322BCC77, 0x0000},  // 1e-8
    {0x33800000, 0x0001},  // 2^-24, smallest subnormal
    {0x33000000, 0x0000},  // 2^-25: tie, rounds to even zero
    {0xB3000000, 0x8000},  // -2^-25: negative zero
    {0x33000001, 0x0001},  // just above 2^-25
    {0x33C00000, 0x0002},  // 1.5 * 2^-24: tie, rounds to even 2
    {0x34200000, 0x0002},  // 2.5 * 2^-24: tie, rounds to even 2
    {0x387FC000, 0x03FF},  // largest subnormal
    {0x387FE000, 0x0400},  // tie between largest subnormal and smallest normal
    {0x38800000, 0x0400},  // 2^-14, smallest normal
    {0x3F801000, 0x3C00},  // 1 + 2^-11: tie, rounds to even
    {0x3F801001, 0x3C01},  // just above that tie
    {0x3F803000, 0x3C02},  // 1 + 3 * 2^-11: tie, rounds to even
    {0x7F800000, 0x7C00},  // +inf
    {0xFF800000, 0xFC00},  // -inf
    {0x7F7FFFFF, 0x7C00},  // largest binary32
    {0x7FC00000, 0x7E00},  // quiet NaN
    {0xFFC00000, 0xFE00},  // negative quiet NaN
    {0x7F800001, 0x7E00},  // signalling NaN, payload below the kept bits
    {0x7FA00000, 0x7F00},  // signalling NaN with a kept payload bit
    {0xFFFFFFFF, 0xFFFF},  // all ones
    {0x00000001, 0x0000},  // smallest binary32 subnormal
    {0x80000001, 0x8000},
};

struct DecodeCase {
    std::uint16_t input;
    std::uint32_t want;  // binary32 image
};

constexpr DecodeCase kDecodeCases[] = {
    {0x3C00, 0x3F800000}, {0xC000, 0xC0000000}, {0x7BFF, 0x477FE000}, {0x0001, 0x33800000},
    {0x03FF, 0x387FC000}, {0x0400, 0x38800000}, {0x8000, 0x80000000}, {0x0000, 0x00000000},
    {0x7C00, 0x7F800000}, {0xFC00, 0xFF800000}, {0x7E00, 0x7FC00000}, {0x7C01, 0x7FC02000},
    {0xFD55, 0xFFEAA000}, {0x8001, 0xB3800000}, {0x0155, 0x37AA8000},
};

void known_values(const char* path, std::uint16_t (*encode)(float),
                  float (*decode)(std::uint16_t)) {
    char what[64];
    std::snprintf(what, sizeof what, "%s encode", path);
    for (const auto& c : kEncodeCases) {
        const std::uint16_t got = encode(float_of(c.input));
        check(got == c.want, what, c.input, got, c.want);
    }
    std::snprintf(what, sizeof what, "%s decode", path);
    for (const auto& c : kDecodeCases) {
        const std::uint32_t got = bits_of(decode(c.input));
        check(got == c.want, what, c.input, got, c.want);
    }
    // Every non-NaN binary16 survives decode then encode unchanged.
    std::snprintf(what, sizeof what, "%s round trip", path);
    for (std::uint32_t h = 0; h <= 0xFFFF; ++h) {
        if ((h & 0x7C00) == 0x7C00 && (h & 0x3FF) != 0) continue;
        const std::uint16_t got = encode(decode(static_cast<std::uint16_t>(h)));
        check(got == h, what, h, got, h);
    }
}

std::uint16_t sw_encode(float v) { return core::encode_f16_software(v); }
float sw_decode(std::uint16_t h) { return core::decode_f16_software(h); }
std::uint16_t hw_encode(float v) { return core::encode_f16_hardware(v); }
float hw_decode(std::uint16_t h) { return core::decode_f16_hardware(h); }

// Hardware against software on all 2^32 binary32 inputs, split across threads.
std::uint64_t compare_all_encodes(unsigned threads) {
    std::atomic<std::uint64_t> mismatches{0};
    std::atomic<std::uint64_t> first_bad{~std::uint64_t{0}};
    std::vector<std::thread> pool;
    const std::uint64_t total = std::uint64_t{1} << 32;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            const std::uint64_t begin = total * t / threads;
            const std::uint64_t end = total * (t + 1) / threads;
            std::uint64_t bad = 0;
            for (std::uint64_t i = begin; i < end; ++i) {
                const float v = float_of(static_cast<std::uint32_t>(i));
                if (core::encode_f16_hardware(v) != core::encode_f16_software(v)) {
                    if (bad++ == 0) {
                        std::uint64_t expected = ~std::uint64_t{0};
                        first_bad.compare_exchange_strong(expected, i);
                    }
                }
            }
            mismatches += bad;
        });
    }
    for (auto& th : pool) th.join();
    if (mismatches != 0) {
        const auto i = static_cast<std::uint32_t>(first_bad.load());
        std::printf("FAIL encode hardware/software differ on %" PRIu64
                    " inputs, e.g. 0x%08X: hw 0x%04X, sw 0x%04X\n",
                    mismatches.load(), i, core::encode_f16_hardware(float_of(i)),
                    core::encode_f16_software(float_of(i)));
    }
    return mismatches;
}

}  // namespace

int main() {
    const auto start = std::chrono::steady_clock::now();

    known_values("software", sw_encode, sw_decode);
    // The dispatching entry points agree with the known values whichever path they take.
    known_values(
        "dispatch", [](float v) { return core::encode_f16(v); },
        [](std::uint16_t h) { return core::decode_f16(h); });

    if (!core::has_f16c()) {
        std::printf("no F16C on this processor: hardware comparison skipped, software path only\n");
    } else {
        known_values("hardware", hw_encode, hw_decode);
        for (std::uint32_t h = 0; h <= 0xFFFF; ++h) {
            const auto image = static_cast<std::uint16_t>(h);
            const std::uint32_t hw = bits_of(core::decode_f16_hardware(image));
            const std::uint32_t sw = bits_of(core::decode_f16_software(image));
            check(hw == sw, "decode hardware/software", h, sw, hw);
        }
        unsigned threads = std::thread::hardware_concurrency();
        if (threads == 0) threads = 1;
        const std::uint64_t bad = compare_all_encodes(threads);
        g_failed += bad;
        g_passed += (std::uint64_t{1} << 32) - bad;
    }

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("f16 identity: %" PRIu64 " passed, %" PRIu64 " failed (%.1f s)\n", g_passed,
                g_failed, seconds);
    return g_failed == 0 ? 0 : 1;
}
