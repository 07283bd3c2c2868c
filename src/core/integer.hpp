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

std::int64_t decode_twos_complement(std::uint64_t image, std::uint32_t bits) noexcept;
std::int64_t decode_ones_complement(std::uint64_t image, std::uint32_t bits) noexcept;
std::int64_t decode_sign_magnitude(std::uint64_t image, std::uint32_t bits) noexcept;

// "unsigned" fields: the value must fit into `bits` when `bits` <= 63.
Result<std::uint64_t> encode_unsigned(std::uint64_t value, std::uint32_t bits);

}  // namespace bitloom::core
