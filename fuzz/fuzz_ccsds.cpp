// CCSDS framing: walk/count/fill/split against a reference framer written
// field by field from the primary header layout, on raw streams and on streams
// built from packet descriptions (many whole packets, then a cut anywhere).
#include <cstdint>
#include <vector>

#include "core/ccsds.hpp"
#include "fuzz_common.hpp"

using namespace bitloom::core;

namespace {

struct RefPacket {
    std::uint64_t offset, length;
    unsigned apid, seq;
};

struct RefFrames {
    std::vector<RefPacket> packets;
    std::uint64_t end = 0;
    int stop = 0;  // 0 end of data, 1 header cut short, 2 packet cut short
    std::uint64_t declared = 0;
};

// One bit at a time from the header, most significant first.
unsigned header_field(const std::uint8_t* h, unsigned first_bit, unsigned bits) {
    unsigned v = 0;
    for (unsigned b = first_bit; b < first_bit + bits; ++b) {
        v = (v << 1) | ((h[b / 8] >> (7 - b % 8)) & 1U);
    }
    return v;
}

RefFrames ref_frame(const std::vector<std::uint8_t>& s, std::uint64_t start) {
    RefFrames r;
    std::uint64_t pos = start;
    for (;;) {
        if (pos == s.size()) break;
        if (pos + 6 > s.size()) {
            r.stop = 1;
            break;
        }
        const std::uint8_t* h = s.data() + pos;
        const std::uint64_t length = header_field(h, 32, 16) + 1 + 6;
        if (pos + length > s.size()) {
            r.stop = 2;
            r.declared = length;
            break;
        }
        r.packets.push_back({pos, length, header_field(h, 5, 11), header_field(h, 18, 14)});
        pos += length;
    }
    r.end = pos;
    return r;
}

// Whole packets from 3-byte descriptions (APID, data length), then a cut.
std::vector<std::uint8_t> build_stream(fuzz::Input& in) {
    std::vector<std::uint8_t> s;
    const unsigned n = in.take<std::uint8_t>();
    for (unsigned i = 0; i < n && in.remaining() >= 3; ++i) {
        const auto apid = in.take<std::uint16_t>();
        const unsigned data_len = in.take<std::uint8_t>() + 1U;  // 1..256 bytes
        const unsigned field = data_len - 1;
        s.push_back(static_cast<std::uint8_t>(apid >> 8));
        s.push_back(static_cast<std::uint8_t>(apid));
        s.push_back(static_cast<std::uint8_t>(0xC0 | (i >> 8 & 0x3F)));
        s.push_back(static_cast<std::uint8_t>(i));
        s.push_back(static_cast<std::uint8_t>(field >> 8));
        s.push_back(static_cast<std::uint8_t>(field));
        for (unsigned k = 0; k < data_len; ++k) s.push_back(static_cast<std::uint8_t>(k * 37 + i));
    }
    const auto cut = in.take<std::uint16_t>();
    if ((cut & 0x8000U) != 0 && !s.empty()) s.resize(s.size() - (cut % s.size()));
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const auto mode = in.take<std::uint8_t>();
    const bool allow_partial = (mode & 2) != 0;
    const auto start_pick = in.take<std::uint16_t>();
    const std::vector<std::uint8_t> raw = (mode & 1) != 0 ? build_stream(in) : in.rest();
    // An exactly sized copy, so a read one byte past the end is caught.
    fuzz::ExactBuffer buf(raw.size());
    if (!raw.empty()) std::memcpy(buf.data(), raw.data(), raw.size());
    const std::uint8_t* p = buf.data();
    const std::uint64_t n = raw.size();
    // Mostly a start inside the data, sometimes just past it.
    const std::uint64_t start = (start_pick & 0x8000U) != 0 ? n + (start_pick & 3U)
                                                            : start_pick % (n + 1);

    auto result = ccsds::split(p, n, start, allow_partial);
    if (start > n) {
        FUZZ_CHECK(!result && result.error().message == ccsds::start_message(start, n),
                   "start %llu past %llu accepted", (unsigned long long)start,
                   (unsigned long long)n);
        return 0;
    }
    const RefFrames ref = ref_frame(raw, start);

    const ccsds::Count c = ccsds::count(p, n, start);
    FUZZ_CHECK(c.packets == ref.packets.size(), "count %llu, reference %zu",
               (unsigned long long)c.packets, ref.packets.size());
    FUZZ_CHECK(c.stop.offset == ref.end, "stop offset %llu, reference %llu",
               (unsigned long long)c.stop.offset, (unsigned long long)ref.end);
    FUZZ_CHECK(static_cast<int>(c.stop.kind) == ref.stop, "stop kind %d, reference %d",
               static_cast<int>(c.stop.kind), ref.stop);
    FUZZ_CHECK(c.stop.left == n - ref.end, "bytes left %llu", (unsigned long long)c.stop.left);
    if (ref.stop == 2) FUZZ_CHECK(c.stop.declared == ref.declared, "declared length");

    std::vector<std::uint64_t> per_apid(ccsds::kApidCount, 0);
    const ccsds::Count ca = ccsds::count_by_apid(p, n, start, per_apid.data());
    FUZZ_CHECK(ca.packets == c.packets && ca.stop.offset == c.stop.offset, "count_by_apid");
    std::vector<std::uint64_t> ref_apid(ccsds::kApidCount, 0);
    for (const auto& r : ref.packets) ++ref_apid[r.apid];
    FUZZ_CHECK(per_apid == ref_apid, "per-APID counts");

    if (ref.stop != 0 && !allow_partial) {
        FUZZ_CHECK(!result, "a cut stream framed without allow_partial");
        FUZZ_CHECK(result.error().kind == ErrorKind::Value &&
                       result.error().message == ccsds::stop_message(c.stop),
                   "stop message");
        return 0;
    }
    FUZZ_CHECK(result.ok(), "split failed: %s", result.error().message.c_str());
    const ccsds::Frames& f = result.value();
    FUZZ_CHECK(f.end == ref.end, "end");
    FUZZ_CHECK(f.offsets.size() == ref.packets.size(), "frames");
    for (std::size_t i = 0; i < ref.packets.size(); ++i) {
        const RefPacket& r = ref.packets[i];
        FUZZ_CHECK(static_cast<std::uint64_t>(f.offsets[i]) == r.offset &&
                       static_cast<std::uint64_t>(f.lengths[i]) == r.length &&
                       f.apids[i] == r.apid && f.sequence_counts[i] == r.seq,
                   "packet %zu: offset %lld length %lld apid %u seq %u", i,
                   (long long)f.offsets[i], (long long)f.lengths[i], f.apids[i],
                   f.sequence_counts[i]);
    }
    // fill() never writes past its capacity, whatever the stream holds.
    if (!ref.packets.empty()) {
        const std::uint64_t cap = ref.packets.size() / 2;
        std::vector<std::int64_t> offs(cap);
        std::vector<std::uint16_t> apids(cap);
        const std::uint64_t got =
            ccsds::fill(p, n, start, cap, {offs.data(), nullptr, apids.data(), nullptr});
        FUZZ_CHECK(got == cap, "fill with room for %llu wrote %llu", (unsigned long long)cap,
                   (unsigned long long)got);
        for (std::uint64_t i = 0; i < cap; ++i) {
            FUZZ_CHECK(static_cast<std::uint64_t>(offs[i]) == ref.packets[i].offset &&
                           apids[i] == ref.packets[i].apid,
                       "partial fill %llu", (unsigned long long)i);
        }
    }
    return 0;
}
