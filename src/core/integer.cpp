#include "core/integer.hpp"

#include <algorithm>

#include "core/bits.hpp"
#include "core/format.hpp"
#include "core/messages.hpp"

namespace bitloom::core {
namespace {

// |value| as an unsigned number; 2^63 for INT64_MIN.
constexpr std::uint64_t magnitude(std::int64_t value) noexcept {
    return value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                     : static_cast<std::uint64_t>(value);
}

Error too_large(std::int64_t value, std::uint32_t bits) {
    return value_error(fill(msg::kTooLarge, dec(value), dec(bits)));
}

}  // namespace

Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits) {
    if (bits > 64) return value_error(std::string(msg::kTwosWidth));
    if (bits == 64) return static_cast<std::uint64_t>(value);
    // A zero-width field holds only 0.
    const std::int64_t min = bits == 0 ? 0 : -(std::int64_t{1} << (bits - 1));
    const std::int64_t max = bits == 0 ? 0 : (std::int64_t{1} << (bits - 1)) - 1;
    if (value < min || value > max) {
        return value_error(fill(msg::kTwosRange, dec(value), dec(bits), dec(min), dec(max)));
    }
    return static_cast<std::uint64_t>(value) & low_bits_mask(bits);
}

Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits) {
    if (bits > 64) return value_error(std::string(msg::kOnesWidth));
    // Largest magnitude that fits: 2^(bits-1) - 1 (0 for a zero-width field).
    const std::uint64_t limit = bits == 0 ? 0 : (std::uint64_t{1} << (bits - 1)) - 1;
    if (value >= 0) {
        if (static_cast<std::uint64_t>(value) > limit) return too_large(value, bits);
        return static_cast<std::uint64_t>(value);
    }
    const std::uint64_t m = magnitude(value);
    if (m > limit) {
        return value_error(fill(msg::kOnesTooLarge, dec(value), dec(bits)));
    }
    return low_bits_mask(bits) - m;
}

Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits) {
    if (bits < 2 || bits > 64) {
        return value_error(std::string(msg::kSignMagnitudeWidth));
    }
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    const std::uint64_t m = magnitude(value);
    if (m >= sign) {
        return value_error(fill(msg::kMagnitudeTooLarge, dec(value), dec(bits)));
    }
    return value < 0 ? (m | sign) : m;
}

std::int64_t decode_ones_complement(std::uint64_t image, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    if (bits >= 64) {
        const auto v = static_cast<std::int64_t>(image);
        return v < 0 ? v + 1 : v;
    }
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    if ((image & sign) == 0) return static_cast<std::int64_t>(image);
    return static_cast<std::int64_t>(image - low_bits_mask(bits));
}

std::int64_t decode_sign_magnitude(std::uint64_t image, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    bits = std::min<std::uint32_t>(bits, 64);
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    const auto m = static_cast<std::int64_t>(image & (sign - 1));
    return (image & sign) != 0 ? -m : m;
}

Result<std::uint64_t> encode_unsigned(std::uint64_t value, std::uint32_t bits) {
    if (bits <= 63 && value >= (std::uint64_t{1} << bits)) {
        return value_error(fill(msg::kTooLarge, dec(value), dec(bits)));
    }
    return value;
}

}  // namespace bitloom::core
