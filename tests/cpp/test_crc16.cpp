// CRC-16-CCITT: the check value, known packets, the eight-byte tables
// against the bit-by-bit definition over every length and start of a
// pseudo-random buffer, whole and in two parts, and packet syndromes (the
// carry-less multiply form where the processor has it) against the same
// definition, one at a time and in batches (also by the tables alone, and
// shuffled so that packets taken side by side differ in length), at every
// start near the lowest readable byte and every length up to 300.
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
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
    // Syndromes: every length from 2 (the head block's every size, the
    // preset split across blocks at 17, 33, ...) at starts 0 to 40 from the
    // lowest readable byte (the head block copied, then loaded in place).
    std::vector<std::uint64_t> offsets, lengths;
    std::vector<std::uint16_t> wanted;
    for (std::size_t start = 0; start <= 40; ++start) {
        for (std::size_t n = 2; start + n <= buf.size(); ++n) {
            const std::uint8_t* p = buf.data() + start;
            const auto stored = static_cast<std::uint16_t>((p[n - 2] << 8) | p[n - 1]);
            const std::uint16_t want = core::crc16_ccitt_bitwise(p, n - 2) ^ stored;
            check(core::crc16_ccitt_syndrome(p, n, buf.data()) == want,
                  "syndrome at start " + std::to_string(start) + " length " + std::to_string(n));
            offsets.push_back(start);
            lengths.push_back(n);
            wanted.push_back(want);
        }
    }
    std::vector<std::uint16_t> got(offsets.size());
    core::crc16_ccitt_syndromes(buf.data(), offsets.data(), lengths.data(), 0, offsets.size(),
                                got.data());
    check(got == wanted, "syndromes of packets of many lengths");
    core::crc16_ccitt_syndromes_by_tables(buf.data(), offsets.data(), lengths.data(), 0,
                                          offsets.size(), got.data());
    check(got == wanted, "syndromes of packets of many lengths, by the tables");
    // The same packets shuffled, so that the two taken side by side differ
    // in length by anything up to 298 (one runs on alone after the other).
    for (std::size_t i = offsets.size() - 1; i > 0; --i) {
        x = x * 1664525u + 1013904223u;
        const std::size_t j = (x >> 8) % (i + 1);
        std::swap(offsets[i], offsets[j]);
        std::swap(lengths[i], lengths[j]);
        std::swap(wanted[i], wanted[j]);
    }
    core::crc16_ccitt_syndromes(buf.data(), offsets.data(), lengths.data(), 0, offsets.size(),
                                got.data());
    check(got == wanted, "syndromes of shuffled packets");
    core::crc16_ccitt_syndromes_by_tables(buf.data(), offsets.data(), lengths.data(), 0,
                                          offsets.size(), got.data());
    check(got == wanted, "syndromes of shuffled packets, by the tables");
    for (const std::uint64_t n : {2, 7, 16, 17, 18, 31, 32, 33, 94, 255}) {
        std::vector<std::uint64_t> at;
        for (std::uint64_t o = 0; o + n <= buf.size(); o += 5) at.push_back(o);
        std::vector<std::uint16_t> same(at.size());
        std::vector<std::uint16_t> tabled(at.size());
        core::crc16_ccitt_syndromes(buf.data(), at.data(), nullptr, n, at.size(), same.data());
        core::crc16_ccitt_syndromes_by_tables(buf.data(), at.data(), nullptr, n, at.size(),
                                              tabled.data());
        for (std::size_t i = 0; i < at.size(); ++i) {
            const std::uint8_t* p = buf.data() + at[i];
            const auto want = static_cast<std::uint16_t>(core::crc16_ccitt_bitwise(p, n - 2) ^
                                                         ((p[n - 2] << 8) | p[n - 1]));
            check(same[i] == want && tabled[i] == want,
                  "syndromes of one length " + std::to_string(n));
        }
    }
    // A packet carrying its own CRC has a zero syndrome; a flipped bit anywhere does not.
    for (std::size_t bit = 0; bit < packet.size() * 8; ++bit) {
        packet[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
        check(core::crc16_ccitt_syndrome(packet.data(), packet.size(), packet.data()) != 0,
              "bit " + std::to_string(bit) + " flipped");
        packet[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
    }
    check(core::crc16_ccitt_syndrome(packet.data(), packet.size(), packet.data()) == 0,
          "a packet with its own CRC");
    std::printf("syndromes by %s\n",
                core::crc16_ccitt_uses_clmul() ? "carry-less multiply" : "tables");
    if (g_failed == 0) std::printf("ok\n");
    return g_failed == 0 ? 0 : 1;
}
