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

}  // namespace bitloom::core
