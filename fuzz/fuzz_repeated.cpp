// Repeated-instance decoding (bulk::decode_repeated_columns) against the
// one-instance reading of bulk::decode_numeric_columns: a random recipe of
// numeric fields (every numeric encoding, BCD and the ones that always fail
// included; odd widths, both byte orders, reversed bits, explicit offsets),
// sometimes all within the first 57 bits of an instance, big-endian and not
// reversed, so that the one-window-per-instance path runs. Random packets,
// fixed-size or at arbitrary offsets and lengths, in an exactly sized buffer
// whose last instances may sit in its final bytes; random starts, counts and
// a stride chosen so that every instance lies inside its packet. Each instance
// is decoded on its own as a one-packet set with the instance's start as the
// base; the rows before the first fault must be equal bit for bit, and the
// first faulty row and its field must be the first instance and field the
// one-packet reading refuses.
#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/bits.hpp"
#include "core/columns/column_kernel.hpp"
#include "core/encodings.hpp"
#include "fuzz_common.hpp"

using namespace bitloom;
using core::Codec;

namespace {

// The rows of the encoding table that decode to a number: those whose
// decoder can succeed first, then the named but unimplemented formats (whose
// decoder always refuses).
std::vector<const core::EncodingRow*> numeric_rows() {
    std::vector<const core::EncodingRow*> rows;
    for (const core::EncodingRow& row : core::kEncodings) {
        if (row.codec != Codec::Text && row.codec != Codec::UnimplementedFloat)
            rows.push_back(&row);
    }
    for (const core::EncodingRow& row : core::kEncodings) {
        if (row.codec == Codec::UnimplementedFloat) rows.push_back(&row);
    }
    return rows;
}

// Widths: mostly small and odd, sometimes byte-sized, now and then past 64.
std::uint32_t pick_bits(std::uint8_t b) {
    switch (b >> 6) {
        case 0: return b & 0x0F;            // 0..15
        case 1: return 1 + (b & 0x3F);      // 1..64
        case 2: return 8U * (1 + (b & 7));  // 8, 16, ..., 64
        default: return 50 + (b & 0x1F);    // 50..81 (the window's edge and beyond)
    }
}

// Largest number of rows of one input: past two blocks of the windowed path
// (512 instances each), small enough that the one-instance reference stays quick.
constexpr std::uint64_t kMaxRows = 1200;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<const core::EncodingRow*> rows = numeric_rows();
    static const auto decodable = static_cast<std::size_t>(
        std::ranges::count_if(rows, [](auto r) { return r->codec != Codec::UnimplementedFloat; }));
    fuzz::Input in(data, size);
    const auto mode = in.take<std::uint8_t>();
    const bool at_offsets = (mode & 1) != 0;
    const bool windowed = (mode & 2) != 0;     // every field in the first 57 bits, big-endian
    const bool past_window = (mode & 4) != 0;  // ...but the widths may reach bit 58
    const bool huge_stride = (mode & 8) != 0;  // at most one instance per packet
    const bool many = (mode & 16) != 0;        // counts past a block of the windowed path
    const bool sparse = (mode & 32) != 0;      // zero bytes (valid BCD) but a few set ones

    // The recipe, its starts counted from an instance's first bit.
    const std::size_t nfields = 1 + in.take<std::uint8_t>() % (windowed ? 8 : 16);
    std::vector<core::FieldSpec> fields(nfields);
    std::uint64_t position = 0;
    for (auto& fld : fields) {
        // A format that always fails now and then: one in a recipe ends its rows at 0.
        const auto enc = in.take<std::uint8_t>();
        fld.row = rows[enc < 0xF0 ? enc % decodable : enc % rows.size()];
        const auto flags = in.take<std::uint8_t>();
        fld.has_offset = (flags & 0x0C) == 0x0C;
        if (!windowed) {
            fld.bits = pick_bits(in.take<std::uint8_t>());
            fld.little = (flags & 1) != 0;
            fld.reverse = (flags & 2) != 0;
            if (fld.has_offset) fld.offset = in.take<std::uint8_t>();
        } else {
            if (fld.has_offset || position >= 56) {
                fld.has_offset = true;
                fld.offset = in.take<std::uint8_t>() % 56;
            }
            const std::uint64_t start = fld.has_offset ? fld.offset : position;
            const std::uint64_t room = 57 - start + (past_window ? 1 : 0);
            fld.bits = static_cast<std::uint32_t>(1 + in.take<std::uint8_t>() % room);
        }
        position = core::field_start(fld, 0, position) + fld.bits;
        core::prepare_route(fld);
    }
    const std::vector<std::uint64_t> rel = bulk::relative_starts(fields);
    std::uint64_t extent = 0;  // the largest field end, from an instance's start
    for (std::size_t j = 0; j < nfields; ++j) extent = std::max(extent, rel[j] + fields[j].bits);

    // The stride: the instances packed, spaced, overlapping, byte-aligned, or
    // (with one instance per packet) too large to step by.
    std::uint64_t stride = 0;
    const auto stride_pick = in.take<std::uint8_t>();
    if (huge_stride) {
        stride = in.take<std::uint64_t>() | (std::uint64_t{1} << 40);
    } else {
        switch (stride_pick >> 6) {
            case 0: stride = extent + (stride_pick & 7); break;
            case 1: stride = stride_pick & 0x3F; break;
            case 2: stride = 8 * (1 + (stride_pick & 7)); break;
            default: stride = extent + (stride_pick & 0x3F); break;
        }
    }

    // The packets: a start and a count each, and a length that holds every
    // instance (often exactly).
    const std::size_t npackets = in.take<std::uint8_t>() % 32;
    std::vector<std::uint64_t> starts(npackets), counts(npackets), lengths(npackets);
    std::uint64_t total = 0;
    for (std::size_t p = 0; p < npackets; ++p) {
        const auto start_pick = in.take<std::uint8_t>();
        starts[p] = (start_pick & 0x80) != 0 ? start_pick & 7 : start_pick % 48;
        std::uint64_t count = many ? in.take<std::uint16_t>() % 400 : in.take<std::uint8_t>() % 12;
        if (huge_stride) count = std::min<std::uint64_t>(count, 1);
        count = std::min(count, kMaxRows - total);
        counts[p] = count;
        total += count;
        const auto slack_pick = in.take<std::uint8_t>();
        const std::uint64_t slack = (slack_pick & 0x80) != 0 ? slack_pick & 7 : 0;
        const std::uint64_t end_bits = count == 0 ? 0 : starts[p] + (count - 1) * stride + extent;
        lengths[p] = (end_bits + 7) / 8 + slack;
    }

    // Where the packets lie: back to back at a fixed size (the longest), or
    // each at an offset that follows, overlaps or precedes the others.
    bulk::PacketSet packets;
    packets.count = npackets;
    std::vector<std::uint64_t> offsets(npackets);
    std::size_t data_size = 0;
    if (!at_offsets) {
        packets.packet_bytes = npackets == 0 ? 1 : *std::ranges::max_element(lengths);
        for (std::size_t p = 0; p < npackets; ++p) {
            lengths[p] = packets.packet_bytes;
            offsets[p] = p * packets.packet_bytes;
        }
        data_size = npackets * packets.packet_bytes;
    } else {
        for (std::size_t p = 0; p < npackets; ++p) {
            const auto place = in.take<std::uint8_t>();
            offsets[p] = (place & 0x80) != 0 ? data_size
                                             : in.take<std::uint16_t>() % (data_size + 1);
            data_size = std::max<std::size_t>(data_size, offsets[p] + lengths[p]);
        }
        const auto tail = in.take<std::uint8_t>();
        data_size += (tail & 0x80) != 0 ? tail & 7 : 0;
        packets.offsets = offsets.data();
        packets.lengths = lengths.data();
    }
    // Exactly sized, so that a window read past the end of the data is caught.
    // The bytes are the rest of the input, repeated; or, sparse, zeros (a
    // valid digit of every unsigned BCD, so that the first refused value may
    // lie far in) but for bytes set by (position, value) pairs of the input.
    fuzz::ExactBuffer buf(data_size);
    if (sparse) {
        std::memset(buf.data(), 0, data_size);
        while (data_size != 0 && in.remaining() != 0) {
            const std::size_t at = in.take<std::uint16_t>() % data_size;
            buf.data()[at] = in.take<std::uint8_t>();
        }
    } else {
        const std::vector<std::uint8_t> bytes = in.rest();
        for (std::size_t i = 0; i < data_size; ++i) {
            buf.data()[i] = bytes.empty() ? static_cast<std::uint8_t>(i * 151 + 7)
                                          : static_cast<std::uint8_t>(bytes[i % bytes.size()] +
                                                                      i / bytes.size());
        }
    }
    packets.data = buf.data();
    packets.size = data_size;

    // The kernel, into exactly sized columns.
    std::vector<bulk::ColumnKind> kinds(nfields);
    std::vector<std::size_t> item(nfields);
    std::vector<std::unique_ptr<fuzz::ExactBuffer>> storage(nfields);
    std::vector<std::uint8_t*> columns(nfields);
    for (std::size_t j = 0; j < nfields; ++j) {
        kinds[j] = bulk::column_kind(fields[j]);
        item[j] = bulk::column_item_size(kinds[j]);
        FUZZ_CHECK(kinds[j] != bulk::ColumnKind::Text && item[j] != 0,
                   "field %zu: no numeric column for %s", j,
                   std::string(fields[j].row->name).c_str());
        storage[j] = std::make_unique<fuzz::ExactBuffer>(total * item[j]);
        columns[j] = storage[j]->data();
    }
    const bulk::ColumnFault got = bulk::decode_repeated_columns(fields, kinds, columns, packets,
                                                                starts.data(), counts.data(),
                                                                stride);

    // The reference: each instance as a packet of its own, read at its start,
    // its values kept row by row until the first one that fails.
    std::vector<std::vector<std::uint8_t>> want_rows(nfields);
    std::vector<std::unique_ptr<fuzz::ExactBuffer>> one_storage(nfields);
    std::vector<std::uint8_t*> one_columns(nfields);
    for (std::size_t j = 0; j < nfields; ++j) {
        want_rows[j].reserve(total * item[j]);
        one_storage[j] = std::make_unique<fuzz::ExactBuffer>(item[j]);
        one_columns[j] = one_storage[j]->data();
    }
    bulk::ColumnFault want{total, 0};
    std::uint64_t row = 0;
    for (std::size_t p = 0; p < npackets && want.packet == total; ++p) {
        bulk::PacketSet one;
        one.data = buf.data();
        one.size = data_size;
        one.count = 1;
        one.offsets = &offsets[p];
        one.lengths = &lengths[p];
        for (std::uint64_t k = 0; k < counts[p]; ++k, ++row) {
            const std::uint64_t base = starts[p] + k * stride;
            for (std::size_t j = 0; j < nfields; ++j) {
                FUZZ_CHECK(core::field_in_packet(base + rel[j], fields[j].bits, lengths[p]),
                           "packet %zu instance %" PRIu64 " field %zu outside its packet", p, k, j);
            }
            const bulk::ColumnFault f = bulk::decode_numeric_columns(fields, kinds, one_columns,
                                                                     one, base);
            if (f.packet == 0) {
                want = {static_cast<std::size_t>(row), f.field};
                break;
            }
            for (std::size_t j = 0; j < nfields; ++j) {
                want_rows[j].insert(want_rows[j].end(), one_columns[j], one_columns[j] + item[j]);
            }
        }
    }

    FUZZ_CHECK(got.packet == want.packet && got.field == want.field,
               "first faulty row %zu field %zu, one-instance reading row %zu field %zu "
               "(of %" PRIu64 " rows, stride %" PRIu64 ")",
               got.packet, got.field, want.packet, want.field, total, stride);
    for (std::size_t j = 0; j < nfields; ++j) {
        for (std::size_t r = 0; r < want.packet; ++r) {
            const std::uint8_t* element = columns[j] + r * item[j];
            const std::uint8_t* expected = want_rows[j].data() + r * item[j];
            if (std::memcmp(element, expected, item[j]) == 0) continue;
            std::uint64_t a = 0, b = 0;
            std::memcpy(&a, element, item[j]);
            std::memcpy(&b, expected, item[j]);
            FUZZ_CHECK(false,
                       "row %zu field %zu (%s, %u bits): %016" PRIx64
                       ", one-instance reading %016" PRIx64,
                       r, j, std::string(fields[j].row->name).c_str(), fields[j].bits, a, b);
        }
    }
    return 0;
}
