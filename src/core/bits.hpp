// Bit plumbing of packets. Bit position p is the bit of weight 0x80 >> (p % 8)
// in byte p / 8, so position 0 is the most significant bit of the first byte.
// Positions are 64-bit: fields near or beyond bit 2^32 are placed and read
// exactly where the recipe says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/portable.hpp"
#include "core/result.hpp"

namespace bitloom::core {

constexpr std::uint64_t low_bits_mask(std::uint32_t bits) noexcept {
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

// Mirror the low `bits` (1..64) bits of v; higher bits are dropped.
std::uint64_t mirror_bits(std::uint64_t v, std::uint32_t bits) noexcept;

// Read `count` (0..64) bits starting at `start`, first bit most significant.
// Touches only the bytes that hold those bits.
std::uint64_t read_bits(const std::uint8_t* data, std::uint64_t start,
                        std::uint32_t count) noexcept;
// The byte at which one unaligned 8-byte word covers `count` (1..64) bits from
// `start` inside a buffer of `size` bytes: the field's first byte, or, near
// the end of the buffer, its last eight bytes. -1 when no such word exists
// (a field spread over nine bytes, a buffer shorter than eight, a field that
// runs past the end).
constexpr std::int64_t covering_word(std::size_t size, std::uint64_t start,
                                     std::uint32_t count) noexcept {
    const std::uint64_t first = start / 8;
    if (start % 8 + count > 64) return -1;
    if (first + 8 <= size) return static_cast<std::int64_t>(first);
    if (size < 8 || start + count > 8 * static_cast<std::uint64_t>(size)) return -1;
    return static_cast<std::int64_t>(size - 8);
}

// `count` (1..64 - skip) bits of the eight bytes at `word`, after its first
// `skip` bits, first bit most significant.
inline std::uint64_t word_bits(const std::uint8_t* word, std::uint64_t skip,
                               std::uint32_t count) noexcept {
    std::uint64_t v;
    std::memcpy(&v, word, 8);
    return (bswap64(v) << skip) >> (64 - count);
}

// The same, for a buffer of `size` bytes: one whole-word load where it stays inside.
inline std::uint64_t read_bits(const std::uint8_t* data, std::size_t size, std::uint64_t start,
                               std::uint32_t count) noexcept {
    const std::int64_t at = count == 0 ? -1 : covering_word(size, start, count);
    if (at >= 0) [[likely]] {
        return word_bits(data + at, start - 8 * static_cast<std::uint64_t>(at), count);
    }
    return read_bits(data, start, count);
}

// Write the low `count` (0..64) bits of v at `start`, most significant first.
// Positions at or beyond `limit` are not written; data holds ceil(limit / 8) bytes.
void write_bits_general(std::uint8_t* data, std::uint64_t limit, std::uint64_t start,
                        std::uint32_t count, std::uint64_t v) noexcept;

// `low` is low_bits_mask(count), for callers that have it at hand.
inline void write_bits(std::uint8_t* data, std::uint64_t limit, std::uint64_t start,
                       std::uint32_t count, std::uint64_t low, std::uint64_t v) noexcept {
    // Only whole bytes below `limit` are in the word, so a field inside them
    // is written by one unaligned 8-byte read-modify-write.
    const std::int64_t at = count == 0 ? -1 : covering_word(limit / 8, start, count);
    if (at >= 0) [[likely]] {
        std::uint64_t word;
        std::memcpy(&word, data + at, 8);
        word = bswap64(word);
        const auto tail = static_cast<unsigned>(64 - (start - 8 * static_cast<std::uint64_t>(at)) -
                                                count);
        const std::uint64_t mask = low << tail;
        word = (word & ~mask) | ((v << tail) & mask);
        word = bswap64(word);
        std::memcpy(data + at, &word, 8);
        return;
    }
    write_bits_general(data, limit, start, count, v);
}

inline void write_bits(std::uint8_t* data, std::uint64_t limit, std::uint64_t start,
                       std::uint32_t count, std::uint64_t v) noexcept {
    write_bits(data, limit, start, count, low_bits_mask(count), v);
}

// Clear `count` bits from `start`, up to `limit`.
void clear_bits(std::uint8_t* data, std::uint64_t limit, std::uint64_t start,
                std::uint64_t count) noexcept;

// Copy `count` bits from src (from bit `src_start`) to dst (from bit `dst_start`),
// whole bytes at a time where the alignment allows; nothing at or beyond `limit`.
void copy_bits(std::uint8_t* dst, std::uint64_t limit, std::uint64_t dst_start,
               const std::uint8_t* src, std::uint64_t src_start, std::uint64_t count) noexcept;

// Place a numeric field: the integer image of `value`, its bytes reversed for
// little-endian, then its low `bits` bits written at `start`. Equivalent to
// place_bytes of that image without building an image proportional to the width.
void place_wide_integer(std::uint8_t* packet, std::uint64_t limit, std::uint64_t start,
                        std::uint32_t bits, std::uint64_t value, bool reverse_bits,
                        bool little_endian) noexcept;

inline void place_integer(std::uint8_t* packet, std::uint64_t limit, std::uint64_t start,
                          std::uint32_t bits, std::uint64_t value, bool reverse_bits,
                          bool little_endian) noexcept {
    if (!reverse_bits && !little_endian && bits - 1 < 64) [[likely]] {
        write_bits(packet, limit, start, bits, value);  // only the low `bits` bits are written
        return;
    }
    if (bits == 0) return;
    if (bits > 64) {
        place_wide_integer(packet, limit, start, bits, value, reverse_bits, little_endian);
        return;
    }
    const std::uint32_t bytes = (bits + 7) / 8;
    std::uint64_t image = reverse_bits ? mirror_bits(value, bits) : value;
    if (little_endian) image = bswap64(image) >> (64 - 8 * bytes);
    write_bits(packet, limit, start, bits, image & low_bits_mask(bits));
}

// Place a byte image: reversed as a whole for little-endian (in place), then
// read as one big-endian number whose low `bits` bits are written at `start`.
void place_bytes(std::uint8_t* packet, std::uint64_t limit, std::uint64_t start, std::uint32_t bits,
                 std::uint8_t* image, std::size_t size, bool little_endian) noexcept;

// True when a field lies inside a packet of `len` bytes (the quick form of the
// test below).
constexpr bool field_in_packet(std::uint64_t start, std::uint32_t bits, std::size_t len) noexcept {
    return bits == 0 ? start / 8 <= len : start + bits <= 8 * static_cast<std::uint64_t>(len);
}

// The bounds test of a field read from a packet of `len` bytes: an error
// "range start index ..." / "range end index ..." when it does not lie inside.
std::optional<Error> check_field_bounds(std::uint64_t start, std::uint32_t bits, std::size_t len);

// The raw value of a field inside the packet: the field window (its bytes,
// right-aligned, reversed for little-endian) taken as one number, its low
// `bits` bits kept (or mirrored over the width `bits` with `reverse_bits`),
// and the low 64 bits of that.
// Fields of 0 or more than 64 bits.
std::uint64_t wide_field_raw_value(const std::uint8_t* packet, std::size_t len, std::uint64_t start,
                                   std::uint32_t bits, bool little_endian,
                                   bool reverse_bits) noexcept;
// Fields of 1 to 64 bits.
inline std::uint64_t narrow_field_raw_value(const std::uint8_t* packet, std::size_t len,
                                            std::uint64_t start, std::uint32_t bits,
                                            bool little_endian, bool reverse_bits) noexcept {
    std::uint64_t raw = read_bits(packet, len, start, bits);
    if (little_endian) {
        // The low (bits + 7) / 8 bytes in the other order.
        raw = (bswap64(raw) >> (64 - 8 * ((bits + 7) / 8))) & low_bits_mask(bits);
    }
    return reverse_bits ? mirror_bits(raw, bits) : raw;
}
inline std::uint64_t field_raw_value(const std::uint8_t* packet, std::size_t len,
                                     std::uint64_t start, std::uint32_t bits, bool little_endian,
                                     bool reverse_bits) noexcept {
    if (bits - 1 >= 64) [[unlikely]] {
        return wide_field_raw_value(packet, len, start, bits, little_endian, reverse_bits);
    }
    return narrow_field_raw_value(packet, len, start, bits, little_endian, reverse_bits);
}

// The field window: (bits + 7) / 8 bytes written to `out`.
void field_window(const std::uint8_t* packet, std::uint64_t start, std::uint32_t bits,
                  bool little_endian, std::uint8_t* out) noexcept;

}  // namespace bitloom::core
