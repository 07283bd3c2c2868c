#include "core/bcd.hpp"

#include <algorithm>

#include "core/format.hpp"
#include "core/messages.hpp"

namespace bitloom::core {
namespace {

// The field image is 64 bits wide: 16 nibbles or 8 bytes. Positions beyond it
// are never written, and read back as 0.
constexpr std::uint32_t kImageNibbles = 16;
constexpr std::uint32_t kImageBytes = 8;

constexpr std::uint64_t kSignPositive = 0xC;
constexpr std::uint64_t kSignNegative = 0xD;

// |value| as an unsigned number; 2^63 for INT64_MIN.
constexpr std::uint64_t magnitude(std::int64_t value) noexcept {
    return value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                     : static_cast<std::uint64_t>(value);
}

Error too_many_digits(std::int64_t value, std::uint32_t digits) {
    return value_error(fill(msg::kBcdTooManyDigits, dec(value), dec(digits)));
}

Error invalid_digit(unsigned digit) { return value_error(fill(msg::kBcdDigit, dec(digit))); }

// Splits `m` into `digits` decimal digits and places digit k at bit
// `first_shift + k * stride`. Fails when the digits do not hold all of `m`.
// `digits` never exceeds what fits into the image, so no shift reaches 64.
Result<std::uint64_t> spread_digits(std::int64_t value, std::uint32_t digits, unsigned first_shift,
                                    unsigned stride, std::uint64_t zone) {
    std::uint64_t m = magnitude(value);
    std::uint64_t image = 0;
    for (std::uint32_t k = 0; k < digits; ++k) {
        const unsigned shift = first_shift + k * stride;
        image |= ((m % 10) | zone) << shift;
        m /= 10;
    }
    if (m != 0) return too_many_digits(value, digits);
    return image;
}

// Negates a decoded magnitude; magnitudes here stay below 10^16.
constexpr std::int64_t with_sign(std::uint64_t m, bool negative) noexcept {
    const auto v = static_cast<std::int64_t>(m);
    return negative ? -v : v;
}

}  // namespace

Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
    if (bits < 4) return value_error(std::string(msg::kPackedBcdWidth));
    const std::uint32_t n = bits / 4;
    if (value < 0 && !is_signed) return value_error(std::string(msg::kBcdNegative));

    // The sign takes nibble 0; digits follow in the nibbles that the image holds.
    const std::uint32_t lead = is_signed ? 1 : 0;
    const std::uint32_t digits = std::min(n, kImageNibbles) - lead;
    auto image = spread_digits(value, digits, 4 * lead, 4, 0);
    if (!image || !is_signed) return image;
    return image.value() | (value < 0 ? kSignNegative : kSignPositive);
}

Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
    if (bits < 8) return value_error(std::string(msg::kUnpackedBcdWidth));
    const std::uint32_t digits = std::min(bits / 8, kImageBytes);
    if (!is_signed) return spread_digits(value, digits, 0, 8, 0);

    // Every digit byte carries the 0xF zone, except byte 0, whose zone is the sign.
    auto image = spread_digits(value, digits, 0, 8, 0xF0);
    if (!image) return image;
    const std::uint64_t sign_zone = value < 0 ? 0xD0 : 0xC0;
    return (image.value() & ~std::uint64_t{0xF0}) | sign_zone;
}

Result<std::int64_t> decode_packed_bcd(std::uint64_t image, std::uint32_t bits, bool is_signed) {
    if (bits < 4) return std::int64_t{0};
    // Nibbles past the image read as 0, which adds nothing to the magnitude.
    const std::uint32_t n = std::min(bits / 4, kImageNibbles);

    bool negative = false;
    std::uint32_t first = 0;
    if (is_signed) {
        const unsigned sign = static_cast<unsigned>(image & 0xF);
        if (sign < 0xA) {
            return value_error(std::string(msg::kBcdSignNibble));
        }
        negative = sign == 0xB || sign == 0xD;
        first = 1;
    }

    std::uint64_t m = 0;
    std::uint64_t weight = 1;
    for (std::uint32_t i = first; i < n; ++i) {
        const unsigned digit = static_cast<unsigned>((image >> (4 * i)) & 0xF);
        if (digit > 9) return invalid_digit(digit);
        m += digit * weight;
        weight *= 10;  // at most 10^16 after the 16th digit
    }
    return with_sign(m, negative);
}

Result<std::int64_t> decode_unpacked_bcd(std::uint64_t image, std::uint32_t bits, bool is_signed) {
    if (bits < 8) return std::int64_t{0};
    const std::uint32_t n = bits / 8;

    auto byte_at = [image](std::uint32_t i) -> unsigned {
        return i < kImageBytes ? static_cast<unsigned>((image >> (8 * i)) & 0xFF) : 0U;
    };

    std::uint64_t m = 0;
    std::uint64_t weight = 1;
    bool negative = false;

    if (!is_signed) {
        // Bytes past the image read as 0x00, a valid digit 0: only the image counts.
        const std::uint32_t used = std::min(n, kImageBytes);
        for (std::uint32_t i = 0; i < used; ++i) {
            const unsigned b = byte_at(i);
            if (b > 9) return invalid_digit(b);
            m += b * weight;
            weight *= 10;
        }
        return with_sign(m, false);
    }

    const unsigned b0 = byte_at(0);
    const unsigned zone0 = b0 >> 4;
    if ((b0 & 0xF) > 9 || (zone0 != 0xC && zone0 != 0xD && zone0 != 0xF && zone0 != 0x3)) {
        return value_error(fill(msg::kZonedSignByte, hex_upper(b0, 2)));
    }
    negative = zone0 == 0xD;
    m = b0 & 0xF;
    weight = 10;

    // A byte past the image reads as 0x00, which is not a zoned digit, so a
    // width above 64 bits stops at byte 8 (after the image's bytes passed).
    const std::uint32_t last = std::min(n, kImageBytes + 1);
    for (std::uint32_t i = 1; i < last; ++i) {
        const unsigned b = byte_at(i);
        const unsigned zone = b >> 4;
        if ((b & 0xF) > 9 || (zone != 0x3 && zone != 0xF)) {
            return value_error(fill(msg::kZonedByte, hex_upper(b, 2)));
        }
        m += (b & 0xF) * weight;
        weight *= 10;
    }
    return with_sign(m, negative);
}

}  // namespace bitloom::core
