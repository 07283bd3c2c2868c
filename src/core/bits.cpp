#include "core/bits.hpp"

#include <algorithm>
#include <cstring>

#include "core/format.hpp"
#include "core/messages.hpp"
#include "core/portable.hpp"

namespace bitloom::core {
namespace {

constexpr std::uint64_t reverse64(std::uint64_t v) noexcept {
    v = ((v >> 1) & 0x5555555555555555ULL) | ((v & 0x5555555555555555ULL) << 1);
    v = ((v >> 2) & 0x3333333333333333ULL) | ((v & 0x3333333333333333ULL) << 2);
    v = ((v >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((v & 0x0F0F0F0F0F0F0F0FULL) << 4);
    return bswap64(v);
}

}  // namespace

std::uint64_t mirror_bits(std::uint64_t v, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    return reverse64(v & low_bits_mask(bits)) >> (64 - bits);
}

std::uint64_t read_bits(const std::uint8_t* data, std::uint64_t start,
                        std::uint32_t count) noexcept {
    if (count == 0) return 0;
    const std::uint8_t* p = data + start / 8;
    const unsigned shift = static_cast<unsigned>(start % 8);
    const unsigned span = (shift + count + 7) / 8;  // at most 9 bytes
    if (span <= 8) {
        std::uint64_t acc = 0;
        for (unsigned i = 0; i < span; ++i) acc = (acc << 8) | p[i];
        return (acc >> (8 * span - shift - count)) & low_bits_mask(count);
    }
    u128 acc = 0;
    for (unsigned i = 0; i < span; ++i) acc = (acc << 8) | p[i];
    acc >>= (8 * span - shift - count);
    return static_cast<std::uint64_t>(acc) & low_bits_mask(count);
}

void write_bits_general(std::uint8_t* data, std::uint64_t limit, std::uint64_t start,
                        std::uint32_t count, std::uint64_t v) noexcept {
    if (count == 0 || start >= limit) return;
    if (limit - start < count) {
        // Keep the leading bits that still lie inside.
        const auto inside = static_cast<std::uint32_t>(limit - start);
        v >>= (count - inside);
        count = inside;
    }
    v &= low_bits_mask(count);
    std::uint8_t* p = data + start / 8;
    const unsigned shift = static_cast<unsigned>(start % 8);
    if (shift == 0 && count % 8 == 0) {
        for (unsigned i = count / 8; i-- > 0;) {
            p[i] = static_cast<std::uint8_t>(v);
            v >>= 8;
        }
        return;
    }
    const unsigned span = (shift + count + 7) / 8;
    const unsigned tail = 8 * span - shift - count;
    u128 acc = 0;
    for (unsigned i = 0; i < span; ++i) acc = (acc << 8) | p[i];
    const u128 mask = static_cast<u128>(low_bits_mask(count)) << tail;
    acc = (acc & ~mask) | (static_cast<u128>(v) << tail);
    for (unsigned i = span; i-- > 0;) {
        p[i] = static_cast<std::uint8_t>(acc);
        acc >>= 8;
    }
}

void clear_bits(std::uint8_t* data, std::uint64_t limit, std::uint64_t start,
                std::uint64_t count) noexcept {
    if (start >= limit) return;
    count = std::min(count, limit - start);
    while (count > 0 && start % 8 != 0) {
        const auto k = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, 8 - start % 8));
        write_bits(data, limit, start, k, 0);
        start += k;
        count -= k;
    }
    if (count >= 8) {
        std::memset(data + start / 8, 0, count / 8);
        start += count / 8 * 8;
        count %= 8;
    }
    if (count > 0) write_bits(data, limit, start, static_cast<std::uint32_t>(count), 0);
}

void copy_bits(std::uint8_t* dst, std::uint64_t limit, std::uint64_t dst_start,
               const std::uint8_t* src, std::uint64_t src_start, std::uint64_t count) noexcept {
    if (dst_start >= limit) return;
    count = std::min(count, limit - dst_start);
    // Head: up to the next byte boundary of the destination.
    if (count > 0 && dst_start % 8 != 0) {
        const auto k = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(count, 8 - dst_start % 8));
        write_bits(dst, limit, dst_start, k, read_bits(src, src_start, k));
        dst_start += k;
        src_start += k;
        count -= k;
    }
    const std::uint64_t whole = count / 8;
    if (whole > 0) {
        std::uint8_t* d = dst + dst_start / 8;
        const std::uint8_t* s = src + src_start / 8;
        const unsigned shift = static_cast<unsigned>(src_start % 8);
        if (shift == 0) {
            std::memcpy(d, s, whole);
        } else {
            // Each destination byte takes the low bits of one source byte and
            // the high bits of the next; both lie inside the bits being copied.
            for (std::uint64_t i = 0; i < whole; ++i) {
                d[i] = static_cast<std::uint8_t>((s[i] << shift) | (s[i + 1] >> (8 - shift)));
            }
        }
        dst_start += whole * 8;
        src_start += whole * 8;
        count -= whole * 8;
    }
    if (count > 0) {
        const auto k = static_cast<std::uint32_t>(count);
        write_bits(dst, limit, dst_start, k, read_bits(src, src_start, k));
    }
}

void place_bytes(std::uint8_t* packet, std::uint64_t limit, std::uint64_t start, std::uint32_t bits,
                 std::uint8_t* image, std::size_t size, bool little_endian) noexcept {
    if (bits == 0) return;
    if (little_endian) std::reverse(image, image + size);
    const std::uint64_t image_bits = 8 * static_cast<std::uint64_t>(size);
    if (image_bits >= bits) {
        copy_bits(packet, limit, start, image, image_bits - bits, bits);
    } else {
        // A short image is preceded by zero bits.
        const std::uint64_t pad = bits - image_bits;
        clear_bits(packet, limit, start, pad);
        copy_bits(packet, limit, start + pad, image, 0, image_bits);
    }
}

void place_wide_integer(std::uint8_t* packet, std::uint64_t limit, std::uint64_t start,
                        std::uint32_t bits, std::uint64_t value, bool reverse_bits,
                        bool little_endian) noexcept {
    const std::uint64_t n = (static_cast<std::uint64_t>(bits) + 7) / 8;
    // Wider than 64 bits: the image is zero but for at most nine bytes, `window`,
    // at byte offset `offset` of the n-byte image.
    const auto d = static_cast<std::uint32_t>(8 * n - bits);
    std::uint8_t window[9];
    std::uint32_t width;
    std::uint64_t offset;
    if (!reverse_bits) {
        for (int i = 0; i < 8; ++i) window[i] = static_cast<std::uint8_t>(value >> (56 - 8 * i));
        width = 8;
        offset = n - 8;
    } else {
        // Mirrored, the value occupies image bits d .. d + 63 (counted from the first bit).
        const u128 x = static_cast<u128>(reverse64(value)) << (8 - d);
        for (int i = 0; i < 9; ++i) window[i] = static_cast<std::uint8_t>(x >> (64 - 8 * i));
        width = 9;
        offset = 0;
    }
    if (little_endian) {
        std::reverse(window, window + width);
        offset = n - offset - width;
    }
    clear_bits(packet, limit, start, bits);
    // Image byte i lands at field bit 8i - d; the first d image bits lie above the field.
    const std::uint64_t image_bit = 8 * offset;
    const std::uint64_t skip = image_bit < d ? d - image_bit : 0;
    copy_bits(packet, limit, start + image_bit + skip - d, window, skip,
              8 * static_cast<std::uint64_t>(width) - skip);
}

std::optional<Error> check_field_bounds(std::uint64_t start, std::uint32_t bits, std::size_t len) {
    const std::uint64_t first = start / 8;
    if (first > len) {
        return value_error(fill(msg::kRangeStart, dec(first), dec(len)));
    }
    if (bits == 0) return std::nullopt;
    const std::uint64_t end = (start + bits - 1) / 8 + 1;
    if (end > len) {
        return value_error(fill(msg::kRangeEnd, dec(end), dec(len)));
    }
    return std::nullopt;
}

namespace {

// Byte i of the field bytes: the field right-aligned in n bytes, first byte first.
std::uint8_t field_byte(const std::uint8_t* packet, std::uint64_t start, std::uint32_t d,
                        std::uint64_t i) noexcept {
    if (i == 0) return static_cast<std::uint8_t>(read_bits(packet, start, 8 - d));
    return static_cast<std::uint8_t>(read_bits(packet, start + 8 * i - d, 8));
}

}  // namespace

std::uint64_t wide_field_raw_value(const std::uint8_t* packet, std::size_t /*len*/,
                                   std::uint64_t start, std::uint32_t bits, bool little_endian,
                                   bool reverse_bits) noexcept {
    if (bits == 0) return 0;
    const std::uint64_t n = (static_cast<std::uint64_t>(bits) + 7) / 8;
    const auto d = static_cast<std::uint32_t>(8 * n - bits);
    auto window_byte = [&](std::uint64_t i) {
        return field_byte(packet, start, d, little_endian ? n - 1 - i : i);
    };
    if (!reverse_bits) {
        // The low 64 bits of the window: its last eight bytes.
        std::uint64_t raw = 0;
        for (std::uint64_t i = n - 8; i < n; ++i) raw = (raw << 8) | window_byte(i);
        return raw;
    }
    // Mirrored over the width, the low 64 bits of the result are the window's
    // bits d .. d + 63 (from its first bit) in reverse order.
    u128 x = 0;
    for (std::uint64_t i = 0; i < 9; ++i) x = (x << 8) | window_byte(i);
    return reverse64(static_cast<std::uint64_t>(x >> (8 - d)));
}

void field_window(const std::uint8_t* packet, std::uint64_t start, std::uint32_t bits,
                  bool little_endian, std::uint8_t* out) noexcept {
    const std::uint64_t n = (static_cast<std::uint64_t>(bits) + 7) / 8;
    if (n == 0) return;
    const std::uint64_t d = 8 * n - bits;
    out[0] = 0;
    copy_bits(out, 8 * n, d, packet, start, bits);
    if (little_endian) std::reverse(out, out + n);
}

}  // namespace bitloom::core
