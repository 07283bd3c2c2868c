// CRC-16-CCITT as the packet error control of CCSDS space packets (and ECSS
// PUS) computes it: polynomial x^16 + x^12 + x^5 + 1 (0x1021), register
// preset to all ones (0xFFFF), bits taken most significant first, no final
// inversion. The check value of the ASCII digits "123456789" is 0x29B1.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bitloom::core {

inline constexpr std::uint16_t kCrc16CcittInit = 0xFFFF;

// The CRC of data[0..size), continuing from `crc` (the preset for a new run).
std::uint16_t crc16_ccitt(const std::uint8_t* data, std::size_t size,
                          std::uint16_t crc = kCrc16CcittInit) noexcept;

// The same, one byte at a time with no tables: the definition the fast one
// is tested against.
constexpr std::uint16_t crc16_ccitt_bitwise(const std::uint8_t* data, std::size_t size,
                                            std::uint16_t crc = kCrc16CcittInit) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

// A packet's syndrome: the CRC (from the preset) of its bytes but the last
// two, XOR those two bytes read big-endian. Zero exactly when the packet
// error control matches; otherwise the CRC computed is the syndrome XOR the
// CRC found. `size` is 2 or more. `readable` is the lowest address that may
// be read: whole 16-byte blocks ending inside the packet may be loaded from
// [readable, data) (and those bytes ignored), which spares a copy of the
// packet's first bytes.
std::uint16_t crc16_ccitt_syndrome(const std::uint8_t* data, std::size_t size,
                                   const std::uint8_t* readable) noexcept;

// The syndromes of n packets in one call: packet i is
// base[offsets[i] .. offsets[i] + length_i), length_i = lengths[i], or
// `length` for all where `lengths` is null. Every length is 2 or more and
// every packet lies inside memory readable from `base`. Where `found` is not
// null, found[i] is the CRC packet i carries (its last two bytes, big-endian)
// and out[i] the CRC computed, both from the one pass over the packet.
void crc16_ccitt_syndromes(const std::uint8_t* base, const std::uint64_t* offsets,
                           const std::uint64_t* lengths, std::uint64_t length, std::size_t n,
                           std::uint16_t* out, std::uint16_t* found = nullptr) noexcept;

// The same by the tables alone, whatever the processor has: the path of
// processors without carry-less multiply, for tests on those that have it.
void crc16_ccitt_syndromes_by_tables(const std::uint8_t* base, const std::uint64_t* offsets,
                                     const std::uint64_t* lengths, std::uint64_t length,
                                     std::size_t n, std::uint16_t* out,
                                     std::uint16_t* found = nullptr) noexcept;

// Whether the syndromes use the processor's carry-less multiply (x86-64
// with PCLMULQDQ and SSE4.1) rather than tables: for tests and benchmarks.
bool crc16_ccitt_uses_clmul() noexcept;

}  // namespace bitloom::core
