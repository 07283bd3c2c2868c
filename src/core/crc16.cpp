#include "core/crc16.hpp"

#include <array>

namespace bitloom::core {

namespace {

// Tables for eight bytes at a time: table[k][v] is the CRC register's change
// from a byte v followed by k zero bytes, so that eight bytes fold into the
// register with eight lookups and no dependency between them but the last XOR.
using Tables = std::array<std::array<std::uint16_t, 256>, 8>;

constexpr Tables make_tables() {
    Tables t{};
    for (unsigned v = 0; v < 256; ++v) {
        std::uint16_t crc = static_cast<std::uint16_t>(v << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
        t[0][v] = crc;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (unsigned v = 0; v < 256; ++v) {
            const std::uint16_t prev = t[k - 1][v];
            t[k][v] = static_cast<std::uint16_t>((prev << 8) ^ t[0][prev >> 8]);
        }
    }
    return t;
}

constexpr Tables kTables = make_tables();

}  // namespace

std::uint16_t crc16_ccitt(const std::uint8_t* data, std::size_t size, std::uint16_t crc) noexcept {
    const auto& t = kTables;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        // The register meets the first two bytes; the other six enter as they are.
        const unsigned b0 = data[i] ^ (crc >> 8);
        const unsigned b1 = data[i + 1] ^ (crc & 0xFF);
        crc = static_cast<std::uint16_t>(t[7][b0] ^ t[6][b1] ^ t[5][data[i + 2]] ^
                                         t[4][data[i + 3]] ^ t[3][data[i + 4]] ^ t[2][data[i + 5]] ^
                                         t[1][data[i + 6]] ^ t[0][data[i + 7]]);
    }
    for (; i < size; ++i) {
        crc = static_cast<std::uint16_t>((crc << 8) ^ t[0][(crc >> 8) ^ data[i]]);
    }
    return crc;
}

}  // namespace bitloom::core
