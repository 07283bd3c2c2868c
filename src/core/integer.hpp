// Signed integer representations of a field of `bits` bits: two's complement,
// ones' complement and sign-magnitude. Encoders map a signed 64-bit value to the
// field image (the representation in the low `bits` bits, higher bits zero);
// decoders map an image back and never fail.
#pragma once

#include <cstdint>

#include "core/result.hpp"

namespace bitloom::core {

Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits);
Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits);
Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits);

// Inline: the packet paths' quick route decodes two's complement fields with it.
constexpr std::int64_t decode_twos_complement(std::uint64_t image, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    if (bits >= 64) return static_cast<std::int64_t>(image);
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    if ((image & sign) == 0) return static_cast<std::int64_t>(image);
    // -((2^64 - image) mod 2^bits), in wrapping arithmetic.
    const std::uint64_t m = (std::uint64_t{0} - image) & ((sign << 1) - 1);
    return static_cast<std::int64_t>(std::uint64_t{0} - m);
}
std::int64_t decode_ones_complement(std::uint64_t image, std::uint32_t bits) noexcept;
std::int64_t decode_sign_magnitude(std::uint64_t image, std::uint32_t bits) noexcept;

// "unsigned" fields: the value must fit into `bits` when `bits` <= 63.
Result<std::uint64_t> encode_unsigned(std::uint64_t value, std::uint32_t bits);

}  // namespace bitloom::core
