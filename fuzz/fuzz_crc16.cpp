// CRC-16-CCITT syndromes of many packets in one exactly sized buffer: the
// batch kernels (carry-less multiply where the processor has it, and the
// tables), with one length for all and lengths of their own, with and
// without the CRCs found, and the one-packet syndrome, each against the
// bit-by-bit definition. AddressSanitizer sees any load past the buffer's
// ends, the 16-byte blocks read before a packet's first byte included.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/crc16.hpp"
#include "fuzz_common.hpp"

using namespace bitloom::core;

namespace {

std::uint16_t found_in(const std::uint8_t* p, std::uint64_t n) {
    return static_cast<std::uint16_t>((p[n - 2] << 8) | p[n - 1]);
}

std::uint16_t syndrome_by_bits(const std::uint8_t* p, std::uint64_t n) {
    return static_cast<std::uint16_t>(crc16_ccitt_bitwise(p, n - 2) ^ found_in(p, n));
}

using Batch = void (*)(const std::uint8_t*, const std::uint64_t*, const std::uint64_t*,
                       std::uint64_t, std::size_t, std::uint16_t*, std::uint16_t*) noexcept;

// One batch kernel over the packets, both forms of its results.
void check_batch(Batch batch, const char* name, const std::uint8_t* base,
                 const std::vector<std::uint64_t>& at, const std::vector<std::uint64_t>* lengths,
                 std::uint64_t length) {
    const std::size_t n = at.size();
    std::vector<std::uint16_t> out(n), computed(n), found(n);
    const std::uint64_t* lens = lengths == nullptr ? nullptr : lengths->data();
    batch(base, at.data(), lens, length, n, out.data(), nullptr);
    batch(base, at.data(), lens, length, n, computed.data(), found.data());
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t size = lens == nullptr ? length : lens[i];
        const std::uint8_t* p = base + at[i];
        const std::uint16_t want = syndrome_by_bits(p, size);
        FUZZ_CHECK(out[i] == want,
                   "%s: packet %zu (offset %llu, length %llu) syndrome %04x, want %04x", name, i,
                   (unsigned long long)at[i], (unsigned long long)size, out[i], want);
        FUZZ_CHECK(found[i] == found_in(p, size) && (computed[i] ^ found[i]) == want,
                   "%s: packet %zu CRC computed %04x found %04x", name, i, computed[i], found[i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const unsigned count = in.take<std::uint8_t>();
    const auto fixed_pick = in.take<std::uint16_t>();
    std::vector<std::uint16_t> picks(2U * count);
    for (auto& v : picks) v = in.take<std::uint16_t>();
    const std::vector<std::uint8_t> raw = in.rest();
    if (raw.size() < 2) return 0;
    fuzz::ExactBuffer buf(raw.size());
    std::memcpy(buf.data(), raw.data(), raw.size());
    const std::uint8_t* base = buf.data();
    const std::uint64_t total = raw.size();

    // Packets anywhere in the buffer (overlapping is allowed), 2 bytes or more.
    std::vector<std::uint64_t> at, lengths;
    for (unsigned i = 0; i < count; ++i) {
        const std::uint64_t offset = picks[2 * i] % (total - 1);
        const std::uint64_t room = total - offset;  // 2 or more
        at.push_back(offset);
        lengths.push_back(2 + picks[2 * i + 1] % (room - 1));
    }
    for (std::size_t i = 0; i < at.size(); ++i) {
        const std::uint16_t one = crc16_ccitt_syndrome(base + at[i], lengths[i], base);
        FUZZ_CHECK(one == syndrome_by_bits(base + at[i], lengths[i]), "one packet %zu", i);
    }
    check_batch(&crc16_ccitt_syndromes, "syndromes", base, at, &lengths, 0);
    check_batch(&crc16_ccitt_syndromes_by_tables, "tables", base, at, &lengths, 0);

    // One length for all: the packets it fits.
    const std::uint64_t length = 2 + fixed_pick % (total - 1);
    std::vector<std::uint64_t> fit;
    for (const std::uint64_t o : at) {
        if (o + length <= total) fit.push_back(o);
    }
    check_batch(&crc16_ccitt_syndromes, "syndromes of one length", base, fit, nullptr, length);
    check_batch(&crc16_ccitt_syndromes_by_tables, "tables of one length", base, fit, nullptr,
                length);
    return 0;
}
