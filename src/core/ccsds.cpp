#include "core/ccsds.hpp"

#include <string>
#include <utility>

#include "core/messages.hpp"

namespace bitloom::core::ccsds {

std::string stop_message(const Stop& stop) {
    switch (stop.kind) {
        case StopKind::End: return {};
        case StopKind::ShortHeader:
            return fill(msg::kCcsdsShortHeader, std::to_string(stop.offset),
                        std::to_string(stop.left));
        case StopKind::ShortPacket:
            return fill(msg::kCcsdsShortPacket, std::to_string(stop.offset),
                        std::to_string(stop.declared), std::to_string(stop.declared - 7),
                        std::to_string(stop.left));
    }
    return {};
}

std::string start_message(std::uint64_t start, std::uint64_t size) {
    return fill(msg::kCcsdsStartPastEnd, std::to_string(start), std::to_string(size));
}

Count count(const std::uint8_t* data, std::uint64_t size, std::uint64_t start) noexcept {
    Count c;
    c.stop = walk(data, size, start, [&](std::uint64_t, const Header&) { ++c.packets; });
    return c;
}

Count count_by_apid(const std::uint8_t* data, std::uint64_t size, std::uint64_t start,
                    std::uint64_t* per_apid) noexcept {
    Count c;
    c.stop = walk(data, size, start, [&](std::uint64_t, const Header& h) {
        ++c.packets;
        ++per_apid[h.apid];
    });
    return c;
}

std::uint64_t fill(const std::uint8_t* data, std::uint64_t size, std::uint64_t start,
                   std::uint64_t capacity, const Columns& out) noexcept {
    // The bytes are read once more here, so a stream that changed since
    // count() could hold more packets than there is room for: stop at capacity.
    std::uint64_t pos = start;
    std::uint64_t i = 0;
    while (i < capacity && size - pos >= kHeaderBytes) {
        const Header h = read_header(data + pos);
        if (h.length > size - pos) break;
        if (out.offsets != nullptr) out.offsets[i] = static_cast<std::int64_t>(pos);
        if (out.lengths != nullptr) out.lengths[i] = h.length;
        if (out.apids != nullptr) out.apids[i] = h.apid;
        if (out.sequence_counts != nullptr) out.sequence_counts[i] = h.sequence_count;
        pos += h.length;
        ++i;
    }
    return i;
}

Result<Frames> split(const std::uint8_t* data, std::uint64_t size, std::uint64_t start,
                     bool allow_partial) {
    if (start > size) return value_error(start_message(start, size));
    const Count c = count(data, size, start);
    if (c.stop.kind != StopKind::End && !allow_partial) {
        return value_error(stop_message(c.stop));
    }
    Frames f;
    f.offsets.resize(c.packets);
    f.lengths.resize(c.packets);
    f.apids.resize(c.packets);
    f.sequence_counts.resize(c.packets);
    fill(data, size, start, c.packets,
         {f.offsets.data(), f.lengths.data(), f.apids.data(), f.sequence_counts.data()});
    f.end = c.stop.offset;
    return f;
}

}  // namespace bitloom::core::ccsds
