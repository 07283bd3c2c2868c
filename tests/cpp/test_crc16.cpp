// CRC-16-CCITT: the check value, known packets, and the eight-byte tables
// against the bit-by-bit definition over every length and start of a
// pseudo-random buffer, whole and in two parts.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/crc16.hpp"

namespace core = bitloom::core;

namespace {

int g_failed = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        ++g_failed;
        std::printf("FAIL %s\n", what.c_str());
    }
}

}  // namespace

int main() {
    const std::string digits = "123456789";
    const auto* d = reinterpret_cast<const std::uint8_t*>(digits.data());
    check(core::crc16_ccitt(d, digits.size()) == 0x29B1, "check value of 123456789");
    check(core::crc16_ccitt_bitwise(d, digits.size()) == 0x29B1, "bitwise check value");
    check(core::crc16_ccitt(d, 0) == 0xFFFF, "empty input leaves the preset");
    // A packet ending in its own CRC (big-endian) leaves a register of zero.
    std::vector<std::uint8_t> packet = {0x18, 0x01, 0xC0, 0x00, 0x00, 0x03, 0xAB, 0xCD};
    const std::uint16_t crc = core::crc16_ccitt(packet.data(), packet.size());
    packet.push_back(static_cast<std::uint8_t>(crc >> 8));
    packet.push_back(static_cast<std::uint8_t>(crc));
    check(core::crc16_ccitt(packet.data(), packet.size()) == 0, "CRC over data and its CRC");

    std::vector<std::uint8_t> buf(300);
    std::uint32_t x = 0x12345678;
    for (auto& b : buf) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    for (std::size_t start = 0; start < 9; ++start) {
        for (std::size_t n = 0; start + n <= buf.size(); ++n) {
            const std::uint8_t* p = buf.data() + start;
            const std::uint16_t want = core::crc16_ccitt_bitwise(p, n);
            check(core::crc16_ccitt(p, n) == want,
                  "tables at start " + std::to_string(start) + " length " + std::to_string(n));
            const std::size_t half = n / 3;
            check(core::crc16_ccitt(p + half, n - half, core::crc16_ccitt(p, half)) == want,
                  "continued at " + std::to_string(half) + " of " + std::to_string(n));
        }
    }
    if (g_failed == 0) std::printf("ok\n");
    return g_failed == 0 ? 0 : 1;
}
