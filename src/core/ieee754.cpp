#include "core/ieee754.hpp"

#include <atomic>

#include "core/f16_detail.hpp"

#if defined(__x86_64__) || defined(__i386__)
#define BITLOOM_X86 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define BITLOOM_X86 0
#endif

namespace bitloom::core {
namespace {

constexpr std::uint32_t kF32Sign = 0x8000'0000;
constexpr std::uint32_t kF32ExpMask = 0x7F80'0000;
constexpr std::uint32_t kF32Quiet = 0x0040'0000;
constexpr std::uint16_t kF16ExpMask = 0x7C00;
constexpr std::uint16_t kF16Quiet = 0x0200;

#if BITLOOM_X86
bool detect_f16c() noexcept {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    constexpr unsigned kOsxsave = 1U << 27;
    constexpr unsigned kAvx = 1U << 28;
    constexpr unsigned kF16c = 1U << 29;
    if ((ecx & (kOsxsave | kAvx | kF16c)) != (kOsxsave | kAvx | kF16c)) return false;
    // The instructions are VEX-encoded: the OS must save the SSE and AVX state.
    unsigned lo = 0;
    unsigned hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (lo & 0x6U) == 0x6U;
}
#endif

// 0 = not asked yet, 1 = absent, 2 = present. Concurrent first calls may each
// ask the processor; they store the same answer.
std::atomic<unsigned char> g_f16c_state{0};

}  // namespace

bool has_f16c() noexcept {
    unsigned char state = g_f16c_state.load(std::memory_order_relaxed);
    if (state == 0) {
#if BITLOOM_X86
        state = detect_f16c() ? 2 : 1;
#else
        state = 1;
#endif
        g_f16c_state.store(state, std::memory_order_relaxed);
    }
    return state == 2;
}

std::uint16_t encode_f16_software(float value) noexcept {
    const std::uint32_t x = std::bit_cast<std::uint32_t>(value);
    const auto sign = static_cast<std::uint16_t>((x >> 16) & 0x8000);
    const std::uint32_t a = x & ~kF32Sign;

    if (a >= kF32ExpMask) {
        if (a == kF32ExpMask) return sign | kF16ExpMask;  // infinity
        // NaN: the top ten fraction bits, made quiet.
        return static_cast<std::uint16_t>(sign | kF16ExpMask | kF16Quiet | ((a >> 13) & 0x3FF));
    }
    // 65520 = 65504 + half an ulp: the tie rounds to even, i.e. up to 2^16, beyond range.
    if (a >= 0x477F'F000) return sign | kF16ExpMask;

    if (a < 0x3880'0000) {  // below 2^-14, the smallest normal binary16
        // At most 2^-25 (half the smallest subnormal) rounds to zero; the tie goes to even.
        if (a <= 0x3300'0000) return sign;
        // Here 2^-25 < |value| < 2^-14, so the exponent field is 102 ... 112 and the
        // value is m * 2^(e - 150); in units of 2^-24 that is m >> (126 - e).
        const std::uint32_t e = a >> 23;
        const std::uint32_t m = (a & 0x7F'FFFF) | 0x80'0000;
        const std::uint32_t shift = 126 - e;  // 14 ... 24
        std::uint32_t q = m >> shift;
        const std::uint32_t rest = m & ((1U << shift) - 1);
        const std::uint32_t half = 1U << (shift - 1);
        if (rest > half || (rest == half && (q & 1U) != 0))
            ++q;  // may carry into 2^-14: still right
        return static_cast<std::uint16_t>(sign | q);
    }

    // Normal: rebias the exponent (127 -> 15) and drop 13 fraction bits, rounding
    // to nearest even; a carry out of the fraction correctly bumps the exponent.
    const std::uint32_t r = a - 0x3800'0000;
    std::uint32_t q = r >> 13;
    const std::uint32_t rest = r & 0x1FFF;
    if (rest > 0x1000 || (rest == 0x1000 && (q & 1U) != 0)) ++q;
    return static_cast<std::uint16_t>(sign | q);
}

float decode_f16_software(std::uint16_t image) noexcept {
    const std::uint32_t sign = static_cast<std::uint32_t>(image & 0x8000) << 16;
    const std::uint32_t e = (image >> 10) & 0x1F;
    const std::uint32_t f = image & 0x3FF;
    std::uint32_t bits = 0;
    if (e == 0x1F) {
        // Infinity, or a NaN whose payload moves up and whose quiet bit is set.
        bits = sign | kF32ExpMask | (f == 0 ? 0 : kF32Quiet | (f << 13));
    } else if (e != 0) {
        bits = sign | ((e + 112) << 23) | (f << 13);
    } else if (f == 0) {
        bits = sign;
    } else {
        // Subnormal f * 2^-24: normalise so that the leading bit p becomes implicit.
        const int p = static_cast<int>(std::bit_width(f)) - 1;  // 0 ... 9
        bits = sign | (static_cast<std::uint32_t>(p + 103) << 23) | ((f << (23 - p)) & 0x7F'FFFF);
    }
    return std::bit_cast<float>(bits);
}

#if BITLOOM_X86
__attribute__((target("f16c"))) std::uint16_t encode_f16_hardware(float value) noexcept {
    return static_cast<std::uint16_t>(_cvtss_sh(value, _MM_FROUND_TO_NEAREST_INT));
}
__attribute__((target("f16c"))) float decode_f16_hardware(std::uint16_t image) noexcept {
    return _cvtsh_ss(image);
}
#else
std::uint16_t encode_f16_hardware(float value) noexcept { return encode_f16_software(value); }
float decode_f16_hardware(std::uint16_t image) noexcept { return decode_f16_software(image); }
#endif

std::uint16_t encode_f16(float value) noexcept {
    return has_f16c() ? encode_f16_hardware(value) : encode_f16_software(value);
}

float decode_f16(std::uint16_t image) noexcept {
    return has_f16c() ? decode_f16_hardware(image) : decode_f16_software(image);
}

double decode_f32(std::uint32_t image) noexcept {
    if ((image & ~kF32Sign) > kF32ExpMask) {
        // NaN: widen by hand so that sign and payload survive on every platform.
        const std::uint64_t sign = static_cast<std::uint64_t>(image & kF32Sign) << 32;
        const std::uint64_t payload = static_cast<std::uint64_t>(image & 0x7F'FFFF) << 29;
        return std::bit_cast<double>(sign | 0x7FF8'0000'0000'0000ULL | payload);
    }
    return static_cast<double>(std::bit_cast<float>(image));  // exact
}

double decode_f128(std::uint64_t high, std::uint64_t low) noexcept {
    const std::uint64_t sign = high & 0x8000'0000'0000'0000ULL;
    const std::uint32_t e = static_cast<std::uint32_t>(high >> 48) & 0x7FFF;
    const std::uint64_t f_high = high & 0xFFFF'FFFF'FFFFULL;  // fraction bits 111 ... 64
    const std::uint64_t infinity = 0x7FF0'0000'0000'0000ULL;

    if (e == 0) return std::bit_cast<double>(sign);  // zero or subnormal: signed zero
    if (e == 0x7FFF) {
        if (f_high != 0 || low != 0) return std::bit_cast<double>(0x7FF8'0000'0000'0000ULL);
        return std::bit_cast<double>(sign | infinity);
    }
    if (e > 0x43FE) return std::bit_cast<double>(sign | infinity);  // above 2^1023 range
    if (e < 0x3C01) return std::bit_cast<double>(sign);             // no binary64 subnormals
    // Rebias 16383 -> 1023 and keep the top 52 fraction bits (truncation).
    const std::uint64_t fraction = (f_high << 4) | (low >> 60);
    const std::uint64_t exponent = static_cast<std::uint64_t>(e - 0x3C00) << 52;
    return std::bit_cast<double>(sign | exponent | fraction);
}

}  // namespace bitloom::core
