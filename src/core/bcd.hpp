// Packed BCD (one digit per nibble, optional sign nibble) and unpacked / zoned
// BCD (one digit per byte) on a field image of `bits` bits.
#pragma once

#include <cstdint>

#include "core/result.hpp"

namespace bitloom::core {

Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);
Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed);
Result<std::int64_t> decode_packed_bcd(std::uint64_t image, std::uint32_t bits, bool is_signed);
Result<std::int64_t> decode_unpacked_bcd(std::uint64_t image, std::uint32_t bits, bool is_signed);

}  // namespace bitloom::core
