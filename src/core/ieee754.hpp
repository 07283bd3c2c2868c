// IEEE 754 interchange formats: binary16 conversions (hardware F16C when the
// processor has it, software otherwise, bit-identical), binary32/binary64 bit
// patterns, and the truncating binary128 -> binary64 conversion.
#pragma once

#include <bit>
#include <cstdint>

namespace bitloom::core {

// binary32 -> binary16 image, round to nearest even. Never fails.
std::uint16_t encode_f16(float value) noexcept;
// binary16 image -> binary32, exact. Never fails.
float decode_f16(std::uint16_t image) noexcept;

inline std::uint32_t f32_bits(float value) noexcept { return std::bit_cast<std::uint32_t>(value); }
inline std::uint64_t f64_bits(double value) noexcept { return std::bit_cast<std::uint64_t>(value); }

// binary32 image widened exactly to double (a NaN keeps sign and payload, gains the quiet bit).
double decode_f32(std::uint32_t image) noexcept;
inline double decode_f64(std::uint64_t image) noexcept { return std::bit_cast<double>(image); }

// binary128 image (high and low 64-bit halves) -> double, truncating.
double decode_f128(std::uint64_t high, std::uint64_t low) noexcept;

}  // namespace bitloom::core
