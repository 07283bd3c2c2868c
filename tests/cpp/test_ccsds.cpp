// CCSDS framing on hand-built streams: whole packets, a header cut short, a
// packet cut short, a start offset, and the stop texts.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/ccsds.hpp"

namespace ccsds = bitloom::core::ccsds;

namespace {

int g_failed = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        ++g_failed;
        std::printf("FAIL %s\n", what.c_str());
    }
}

// A packet with this APID, sequence count and data field of `data_len` bytes.
void add_packet(std::vector<std::uint8_t>& s, unsigned apid, unsigned seq, unsigned data_len) {
    const unsigned field = data_len - 1;
    s.push_back(static_cast<std::uint8_t>(0x08 | (apid >> 8)));  // secondary header flag set
    s.push_back(static_cast<std::uint8_t>(apid));
    s.push_back(static_cast<std::uint8_t>(0xC0 | (seq >> 8)));
    s.push_back(static_cast<std::uint8_t>(seq));
    s.push_back(static_cast<std::uint8_t>(field >> 8));
    s.push_back(static_cast<std::uint8_t>(field));
    s.insert(s.end(), data_len, 0xEE);
}

}  // namespace

int main() {
    std::vector<std::uint8_t> s;
    add_packet(s, 0x7FF, 0x3FFF, 1);  // the shortest packet: 7 bytes
    add_packet(s, 0x064, 1, 13);
    add_packet(s, 0x001, 2, 300);  // length field above 255
    const std::uint64_t whole = s.size();
    check(whole == 7 + 19 + 306, "stream size");

    auto r = ccsds::split(s.data(), s.size(), 0, false);
    check(r.ok(), "whole stream frames");
    if (r.ok()) {
        const auto& f = r.value();
        check(f.offsets == std::vector<std::int64_t>{0, 7, 26}, "offsets");
        check(f.lengths == std::vector<std::int64_t>{7, 19, 306}, "lengths");
        check(f.apids == std::vector<std::uint16_t>{0x7FF, 0x064, 0x001}, "apids");
        check(f.sequence_counts == std::vector<std::uint16_t>{0x3FFF, 1, 2}, "sequence counts");
        check(f.end == whole, "end");
    }

    r = ccsds::split(s.data(), s.size(), 7, false);
    check(r.ok() && r.value().offsets == std::vector<std::int64_t>{7, 26}, "start offset");
    r = ccsds::split(s.data(), s.size(), whole, false);
    check(r.ok() && r.value().offsets.empty() && r.value().end == whole, "start at the end");
    r = ccsds::split(s.data(), s.size(), whole + 1, false);
    check(!r.ok() && r.error().message == "offset 333 is past the end of the data (332 bytes)",
          "start past the end");

    // Cut inside the last packet's data field.
    r = ccsds::split(s.data(), whole - 5, 0, false);
    check(!r.ok() && r.error().message ==
                         "truncated CCSDS packet at byte offset 26: declared length 306 bytes "
                         "(length field 299), 301 left",
          "packet cut short: " + (r.ok() ? std::string("ok") : r.error().message));
    r = ccsds::split(s.data(), whole - 5, 0, true);
    check(r.ok() && r.value().offsets.size() == 2 && r.value().end == 26, "allow_partial");

    // Cut inside the last header.
    r = ccsds::split(s.data(), 26 + 4, 0, false);
    check(!r.ok() && r.error().message ==
                         "truncated CCSDS packet at byte offset 26: its primary header needs 6 "
                         "bytes, 4 left",
          "header cut short");
    r = ccsds::split(s.data(), 26 + 4, 0, true);
    check(r.ok() && r.value().end == 26 && r.value().apids.size() == 2, "allow_partial header");

    std::vector<std::uint64_t> per_apid(ccsds::kApidCount, 0);
    const auto c = ccsds::count_by_apid(s.data(), s.size(), 0, per_apid.data());
    check(c.packets == 3 && per_apid[0x7FF] == 1 && per_apid[0x64] == 1 && per_apid[1] == 1,
          "per-APID counts");

    std::printf("%s: test_ccsds\n", g_failed == 0 ? "ok" : "FAILED");
    return g_failed == 0 ? 0 : 1;
}
