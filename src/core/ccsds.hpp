// Framing of CCSDS space packet streams (CCSDS 133.0-B primary headers).
//
// A space packet starts with a 6-byte primary header:
//   3-bit version, 1-bit type, 1-bit secondary header flag, 11-bit APID,
//   2-bit sequence flags, 14-bit sequence count, 16-bit packet data length.
// The data field holds (length field + 1) bytes, so a packet is the length
// field + 7 bytes long (7 to 65542). Framing walks a byte stream from a start
// offset, packet after packet, reading only the headers; it never looks at the
// version or the flags, so any bytes frame as some packets.
//
// Framing stops at the end of the data, or where the data cuts a packet short:
// a header with fewer than 6 bytes left, or a packet whose declared length
// runs past the end. That stop is a value (where, what length, how many bytes
// left); the caller decides whether it is an error or where a live stream's
// next chunk starts.
//
// Offsets and sizes are 64-bit throughout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/portable.hpp"
#include "core/result.hpp"

namespace bitloom::core::ccsds {

inline constexpr std::uint64_t kHeaderBytes = 6;
inline constexpr std::uint64_t kMinPacketBytes = 7;
inline constexpr std::uint64_t kMaxPacketBytes = 0xFFFF + 7;
inline constexpr std::size_t kApidCount = 2048;

// The fields of a primary header that framing and splitting use.
struct Header {
    std::uint16_t apid;            // 11 bits
    std::uint16_t sequence_count;  // 14 bits
    std::uint32_t length;          // whole packet: length field + 7
};

inline Header read_header(const std::uint8_t* p) noexcept {
    return {static_cast<std::uint16_t>(((p[0] & 0x07U) << 8) | p[1]),
            static_cast<std::uint16_t>(((p[2] & 0x3FU) << 8) | p[3]),
            ((static_cast<std::uint32_t>(p[4]) << 8) | p[5]) + 7U};
}

enum class StopKind : std::uint8_t {
    End,          // framing reached the end of the data exactly
    ShortHeader,  // fewer than 6 bytes left for the next header
    ShortPacket,  // the next packet declares more bytes than are left
};

// Where framing stopped. `offset` is the stream's end offset: the end of the
// data for End, otherwise the first byte of the packet cut short.
struct Stop {
    StopKind kind = StopKind::End;
    std::uint64_t offset = 0;
    std::uint64_t declared = 0;  // ShortPacket: the packet's declared length
    std::uint64_t left = 0;      // ShortHeader, ShortPacket: bytes from offset to the end
};

// Calls on_packet(offset, header) for every whole packet from `start`, in
// stream order, and returns where it stopped. `start` must not exceed `size`.
template <class OnPacket>
inline Stop walk(const std::uint8_t* data, std::uint64_t size, std::uint64_t start,
                 OnPacket&& on_packet) {
    // Each header's address comes from the one before, so the walk waits on
    // memory packet by packet unless the bytes ahead are asked for early.
    constexpr std::uint64_t kAhead = 2048;
    std::uint64_t pos = start;
    while (size - pos >= kHeaderBytes) {
        if (size - pos > kAhead) prefetch(data + pos + kAhead);
        const Header h = read_header(data + pos);
        if (h.length > size - pos) return {StopKind::ShortPacket, pos, h.length, size - pos};
        on_packet(pos, h);
        pos += h.length;
        // A run of packets of this length: each next header's place is known
        // without its own length field, so the loads no longer wait on one
        // another; the run ends at the first header that says otherwise (it is
        // then read again above) or where the data cannot hold another.
        const std::uint64_t run = h.length;  // 7 or more: a whole header fits
        while (size - pos >= run) {
            if (size - pos > kAhead) prefetch(data + pos + kAhead);
            const Header next = read_header(data + pos);
            if (next.length != run) break;
            on_packet(pos, next);
            pos += run;
        }
    }
    if (pos == size) return {StopKind::End, pos, 0, 0};
    return {StopKind::ShortHeader, pos, 0, size - pos};
}

// The text of a stop that cuts a packet short (empty for StopKind::End).
std::string stop_message(const Stop& stop);

// The text for a start offset past the end of the data.
std::string start_message(std::uint64_t start, std::uint64_t size);

// Counts of one framing pass: packets in all and per APID, and the stop.
struct Count {
    std::uint64_t packets = 0;
    Stop stop;
};
Count count(const std::uint8_t* data, std::uint64_t size, std::uint64_t start) noexcept;
// The same, adding each packet to per_apid[apid] (kApidCount counters).
Count count_by_apid(const std::uint8_t* data, std::uint64_t size, std::uint64_t start,
                    std::uint64_t* per_apid) noexcept;

// Output arrays of a framing pass, each with room for the counted packets.
// Any of them may be null (not wanted).
struct Columns {
    std::int64_t* offsets = nullptr;
    std::int64_t* lengths = nullptr;
    std::uint16_t* apids = nullptr;
    std::uint16_t* sequence_counts = nullptr;
};

// Fills `out` with the first `capacity` packets from `start` (capacity is what
// count() gave for the same bytes). Returns the number of packets written; it
// is less than capacity only if the bytes changed between the two passes.
std::uint64_t fill(const std::uint8_t* data, std::uint64_t size, std::uint64_t start,
                   std::uint64_t capacity, const Columns& out) noexcept;

// One call for callers without their own buffers: frames the stream into
// vectors. A stop that cuts a packet short is an error unless allow_partial,
// in which case framing ends there and `end` says where.
struct Frames {
    std::vector<std::int64_t> offsets;
    std::vector<std::int64_t> lengths;
    std::vector<std::uint16_t> apids;
    std::vector<std::uint16_t> sequence_counts;
    std::uint64_t end = 0;
};
Result<Frames> split(const std::uint8_t* data, std::uint64_t size, std::uint64_t start,
                     bool allow_partial);

}  // namespace bitloom::core::ccsds
