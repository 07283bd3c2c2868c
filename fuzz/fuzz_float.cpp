// IEEE 754 codecs: binary16 in both directions (hardware and software paths
// bit-identical, round to nearest even against a neighbour model, round trips),
// binary32 widening and the truncating binary128 decoder against formulas.
#include <bit>
#include <cmath>
#include <cstdint>

#include "core/f16_detail.hpp"
#include "core/ieee754.hpp"
#include "fuzz_common.hpp"

using namespace bitloom::core;

namespace {

// Value of a binary16 image, from its fields (NaN excluded).
double f16_value(std::uint16_t h) {
    const int e = (h >> 10) & 0x1F;
    const int f = h & 0x3FF;
    const double sign = (h & 0x8000) ? -1.0 : 1.0;
    if (e == 0x1F) return sign * INFINITY;
    if (e == 0) return sign * std::ldexp(f, -24);
    return sign * std::ldexp(1024 + f, e - 25);
}

bool is_f16_nan(std::uint16_t h) { return (h & 0x7C00) == 0x7C00 && (h & 0x3FF) != 0; }

void check_encode_f16(float x) {
    const std::uint16_t sw = encode_f16_software(x);
    if (has_f16c()) {
        const std::uint16_t hw = encode_f16_hardware(x);
        FUZZ_CHECK(hw == sw, "f16 encode hw %04x != sw %04x for %08x", hw, sw,
                   std::bit_cast<std::uint32_t>(x));
    }
    FUZZ_CHECK(encode_f16(x) == sw, "f16 encode dispatch");
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    const std::uint16_t sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000);
    FUZZ_CHECK((sw & 0x8000) == sign, "f16 sign of %08x", bits);
    if (std::isnan(x)) {
        const std::uint16_t want = static_cast<std::uint16_t>(sign | 0x7E00 |
                                                              ((bits >> 13) & 0x3FF));
        FUZZ_CHECK(sw == want, "f16 NaN %08x -> %04x, want %04x", bits, sw, want);
        return;
    }
    const double v = x;
    const double a = std::fabs(v);
    if (a >= 65520.0) {
        FUZZ_CHECK((sw & 0x7FFF) == 0x7C00, "f16 overflow of %g gave %04x", v, sw);
        return;
    }
    // The nearest binary16 magnitude, ties to the even image.
    const std::uint16_t m = sw & 0x7FFF;
    FUZZ_CHECK(m < 0x7C00, "f16 finite %g gave %04x", v, sw);
    const double got = std::fabs(f16_value(m));
    const double err = std::fabs(got - a);
    if (m > 0) {
        const double below = std::fabs(std::fabs(f16_value(m - 1)) - a);
        FUZZ_CHECK(err < below || (err == below && (m & 1) == 0), "f16 rounding of %a: %04x", v,
                   sw);
    }
    if (m < 0x7BFF) {
        const double above = std::fabs(std::fabs(f16_value(m + 1)) - a);
        FUZZ_CHECK(err < above || (err == above && (m & 1) == 0), "f16 rounding of %a: %04x", v,
                   sw);
    } else {
        // Largest finite: beyond it lies infinity, which 65520 reaches.
        FUZZ_CHECK(a < 65520.0, "f16 max");
    }
}

void check_decode_f16(std::uint16_t h) {
    const float sw = decode_f16_software(h);
    const std::uint32_t swb = std::bit_cast<std::uint32_t>(sw);
    if (has_f16c()) {
        const std::uint32_t hwb = std::bit_cast<std::uint32_t>(decode_f16_hardware(h));
        FUZZ_CHECK(hwb == swb, "f16 decode hw %08x != sw %08x for %04x", hwb, swb, h);
    }
    FUZZ_CHECK(std::bit_cast<std::uint32_t>(decode_f16(h)) == swb, "f16 decode dispatch");
    if (is_f16_nan(h)) {
        const std::uint32_t want = (static_cast<std::uint32_t>(h & 0x8000) << 16) | 0x7F800000u |
                                   0x00400000u | (static_cast<std::uint32_t>(h & 0x3FF) << 13);
        FUZZ_CHECK(swb == want, "f16 NaN decode %04x -> %08x", h, swb);
        FUZZ_CHECK(encode_f16_software(sw) == (h | 0x0200), "f16 NaN round trip %04x", h);
        return;
    }
    const double want = f16_value(h);
    FUZZ_CHECK(static_cast<double>(sw) == want && std::signbit(sw) == std::signbit(want),
               "f16 decode %04x = %a, want %a", h, static_cast<double>(sw), want);
    FUZZ_CHECK(encode_f16_software(sw) == h, "f16 round trip %04x", h);
}

void check_decode_f32(std::uint32_t image) {
    const double d = decode_f32(image);
    const std::uint64_t db = std::bit_cast<std::uint64_t>(d);
    const float f = std::bit_cast<float>(image);
    if (std::isnan(f)) {
        const std::uint64_t want = (static_cast<std::uint64_t>(image & 0x80000000u) << 32) |
                                   0x7FF8000000000000ULL |
                                   (static_cast<std::uint64_t>(image & 0x7FFFFF) << 29);
        FUZZ_CHECK(db == want, "f32 NaN %08x -> %016llx", image, (unsigned long long)db);
        return;
    }
    FUZZ_CHECK(d == static_cast<double>(f) && std::signbit(d) == std::signbit(f), "f32 widen");
    FUZZ_CHECK(f32_bits(static_cast<float>(d)) == image, "f32 round trip");
}

void check_decode_f128(std::uint64_t high, std::uint64_t low) {
    const double got = decode_f128(high, low);
    const bool s = (high >> 63) != 0;
    const unsigned e = static_cast<unsigned>(high >> 48) & 0x7FFF;
    const bool f_nonzero = (high & 0xFFFFFFFFFFFFULL) != 0 || low != 0;
    double want;
    if (e == 0) {
        want = s ? -0.0 : 0.0;
    } else if (e == 0x7FFF) {
        if (f_nonzero) {
            FUZZ_CHECK(std::bit_cast<std::uint64_t>(got) == 0x7FF8000000000000ULL, "f128 NaN");
            return;
        }
        want = s ? -INFINITY : INFINITY;
    } else if (e > 0x43FE) {
        want = s ? -INFINITY : INFINITY;
    } else if (e < 0x3C01) {
        want = s ? -0.0 : 0.0;
    } else {
        const std::uint64_t f = ((high & 0xFFFFFFFFFFFFULL) << 4) | (low >> 60);
        want = std::ldexp(1.0 + std::ldexp(static_cast<double>(f), -52),
                          static_cast<int>(e) - 16383);
        if (s) want = -want;
    }
    FUZZ_CHECK(std::bit_cast<std::uint64_t>(got) == std::bit_cast<std::uint64_t>(want),
               "f128 %016llx %016llx -> %a, want %a", (unsigned long long)high,
               (unsigned long long)low, got, want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const auto f32 = in.take<std::uint32_t>();
    const auto d64 = in.take<std::uint64_t>();
    const auto high = in.take<std::uint64_t>();
    const auto low = in.take<std::uint64_t>();
    check_encode_f16(std::bit_cast<float>(f32));
    // A double rounded to single first, as the packet builder does.
    check_encode_f16(static_cast<float>(std::bit_cast<double>(d64)));
    check_decode_f16(static_cast<std::uint16_t>(f32));
    check_decode_f16(static_cast<std::uint16_t>(f32 >> 16));
    check_decode_f32(f32);
    FUZZ_CHECK(f64_bits(decode_f64(d64)) == d64, "f64 round trip");
    // Exponents near the binary64 range are the edges of the binary128 decoder.
    std::uint64_t h = high;
    if (in.take_bool()) {
        const unsigned e = 0x3BF0 + static_cast<unsigned>(high % 0x830);
        h = (high & 0x8000FFFFFFFFFFFFULL) | (static_cast<std::uint64_t>(e & 0x7FFF) << 48);
    }
    check_decode_f128(h, low);
    return 0;
}
