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

// Largest number of rows of one input: past two blocks of the windowed path
// (512 instances each), small enough that the one-instance reference stays quick.
constexpr std::uint64_t kMaxRows = 1200;

// A random recipe of numeric fields; `windowed`: every field big-endian, not
// reversed, and ending by bit 57 of the instance (or by bit 58, `past_window`).
std::vector<core::FieldSpec> make_recipe(fuzz::Input& in, bool windowed, bool past_window) {
    static const std::vector<const core::EncodingRow*> rows = numeric_rows();
    static const auto decodable = static_cast<std::size_t>(
        std::ranges::count_if(rows, [](auto r) { return r->codec != Codec::UnimplementedFloat; }));
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
            fld.bits = fuzz::pick_field_bits(in.take<std::uint8_t>());
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
    return fields;
}

// The stride: the instances packed, spaced, overlapping, byte-aligned, or
// (with one instance per packet) too large to step by.
std::uint64_t pick_stride(fuzz::Input& in, bool huge, std::uint64_t extent) {
    const auto pick = in.take<std::uint8_t>();
    if (huge) return in.take<std::uint64_t>() | (std::uint64_t{1} << 40);
    switch (pick >> 6) {
        case 0: return extent + (pick & 7);
        case 1: return pick & 0x3F;
        case 2: return std::uint64_t{8} * (1 + (pick & 7));
        default: return extent + (pick & 0x3F);
    }
}

// Exactly sized data, so that a window read past its end is caught. The bytes
// are the rest of the input, repeated; or, sparse, zeros (a valid digit of
// every unsigned BCD, so that the first refused value may lie far in) but for
// bytes set by (position, value) pairs of the input.
void fill_data(fuzz::Input& in, fuzz::ExactBuffer& buf, bool sparse) {
    const std::size_t n = buf.size();
    if (sparse) {
        std::memset(buf.data(), 0, n);
        while (n != 0 && in.remaining() != 0) {
            const std::size_t at = in.take<std::uint16_t>() % n;
            buf.data()[at] = in.take<std::uint8_t>();
        }
        return;
    }
    const std::vector<std::uint8_t> bytes = in.rest();
    for (std::size_t i = 0; i < n; ++i) {
        buf.data()[i] = bytes.empty()
                            ? static_cast<std::uint8_t>(i * 151 + 7)
                            : static_cast<std::uint8_t>(bytes[i % bytes.size()] + i / bytes.size());
    }
}

// One call's recipe, columns and packets.
struct Case {
    std::vector<core::FieldSpec> fields;
    std::vector<bulk::ColumnKind> kinds;
    std::vector<std::size_t> item;  // bytes per element of each column
    std::vector<std::uint64_t> rel;
    std::vector<std::uint64_t> offsets, lengths, starts, counts;
    std::uint64_t stride = 0;
    std::uint64_t total = 0;
    bulk::PacketSet packets;
};

// The reference: each instance as a packet of its own (its packet's offset
// and length), read with the instance's start as the base. Returns the first
// instance that fails and its field (as decode_repeated_columns counts them),
// and the rows before it, field by field.
bulk::ColumnFault one_by_one(const Case& c, std::vector<std::vector<std::uint8_t>>& rows) {
    const std::size_t nfields = c.fields.size();
    std::vector<std::unique_ptr<fuzz::ExactBuffer>> storage(nfields);
    std::vector<std::uint8_t*> columns(nfields);
    rows.assign(nfields, {});
    for (std::size_t j = 0; j < nfields; ++j) {
        rows[j].reserve(c.total * c.item[j]);
        storage[j] = std::make_unique<fuzz::ExactBuffer>(c.item[j]);
        columns[j] = storage[j]->data();
    }
    std::size_t row = 0;
    for (std::size_t p = 0; p < c.packets.count; ++p) {
        bulk::PacketSet one;
        one.data = c.packets.data;
        one.size = c.packets.size;
        one.count = 1;
        one.offsets = &c.offsets[p];
        one.lengths = &c.lengths[p];
        for (std::uint64_t k = 0; k < c.counts[p]; ++k, ++row) {
            const std::uint64_t base = c.starts[p] + k * c.stride;
            for (std::size_t j = 0; j < nfields; ++j) {
                FUZZ_CHECK(core::field_in_packet(base + c.rel[j], c.fields[j].bits, c.lengths[p]),
                           "packet %zu instance %" PRIu64 " field %zu outside its packet", p, k, j);
            }
            const bulk::ColumnFault f = bulk::decode_numeric_columns(c.fields, c.kinds, columns,
                                                                     one, base);
            if (f.packet == 0) return {row, f.field};
            for (std::size_t j = 0; j < nfields; ++j)
                rows[j].insert(rows[j].end(), columns[j], columns[j] + c.item[j]);
        }
    }
    return {row, 0};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const auto mode = in.take<std::uint8_t>();
    const bool at_offsets = (mode & 1) != 0;
    const bool windowed = (mode & 2) != 0;     // every field in the first 57 bits, big-endian
    const bool past_window = (mode & 4) != 0;  // ...but the widths may reach bit 58
    const bool huge_stride = (mode & 8) != 0;  // at most one instance per packet
    const bool many = (mode & 16) != 0;        // 100 to 499 instances a packet (blocks of 512)
    const bool sparse = (mode & 32) != 0;      // zero bytes (valid BCD) but a few set ones

    // The recipe, its starts counted from an instance's first bit.
    Case c;
    c.fields = make_recipe(in, windowed, past_window);
    const std::size_t nfields = c.fields.size();
    c.rel = bulk::relative_starts(c.fields);
    std::uint64_t extent = 0;  // the largest field end, from an instance's start
    for (std::size_t j = 0; j < nfields; ++j)
        extent = std::max(extent, c.rel[j] + c.fields[j].bits);
    c.stride = pick_stride(in, huge_stride, extent);

    // The packets: a start and a count each, and a length that holds every
    // instance (often exactly).
    const std::size_t npackets = in.take<std::uint8_t>() % 32;
    c.starts.resize(npackets);
    c.counts.resize(npackets);
    c.lengths.resize(npackets);
    c.offsets.resize(npackets);
    for (std::size_t p = 0; p < npackets; ++p) {
        const auto start_pick = in.take<std::uint8_t>();
        c.starts[p] = (start_pick & 0x80) != 0 ? start_pick & 7 : start_pick % 48;
        std::uint64_t count = many ? 100 + in.take<std::uint16_t>() % 400
                                   : in.take<std::uint8_t>() % 12;
        if (huge_stride) count = std::min<std::uint64_t>(count, 1);
        count = std::min(count, kMaxRows - c.total);
        c.counts[p] = count;
        c.total += count;
        const auto slack_pick = in.take<std::uint8_t>();
        const std::uint64_t slack = (slack_pick & 0x80) != 0 ? slack_pick & 7 : 0;
        const std::uint64_t end_bits = count == 0 ? 0
                                                  : c.starts[p] + (count - 1) * c.stride + extent;
        c.lengths[p] = (end_bits + 7) / 8 + slack;
    }

    // Where the packets lie: back to back at a fixed size (the longest), or
    // each at an offset that follows, overlaps or precedes the others.
    bulk::PacketSet& packets = c.packets;
    packets.count = npackets;
    std::size_t data_size = 0;
    if (!at_offsets) {
        packets.packet_bytes = npackets == 0 ? 1 : *std::ranges::max_element(c.lengths);
        for (std::size_t p = 0; p < npackets; ++p) {
            c.lengths[p] = packets.packet_bytes;
            c.offsets[p] = p * packets.packet_bytes;
        }
        data_size = npackets * packets.packet_bytes;
    } else {
        for (std::size_t p = 0; p < npackets; ++p) {
            const auto place = in.take<std::uint8_t>();
            c.offsets[p] = (place & 0x80) != 0 ? data_size
                                               : in.take<std::uint16_t>() % (data_size + 1);
            data_size = std::max<std::size_t>(data_size, c.offsets[p] + c.lengths[p]);
        }
        const auto tail = in.take<std::uint8_t>();
        data_size += (tail & 0x80) != 0 ? tail & 7 : 0;
        packets.offsets = c.offsets.data();
        packets.lengths = c.lengths.data();
    }
    fuzz::ExactBuffer buf(data_size);
    fill_data(in, buf, sparse);
    packets.data = buf.data();
    packets.size = data_size;

    // The kernel, into exactly sized columns.
    c.kinds.resize(nfields);
    c.item.resize(nfields);
    std::vector<std::unique_ptr<fuzz::ExactBuffer>> storage(nfields);
    std::vector<std::uint8_t*> columns(nfields);
    const auto narrow = in.take<std::uint16_t>();  // which binary16/32 fields get float32 columns
    for (std::size_t j = 0; j < nfields; ++j) {
        c.kinds[j] = bulk::float32_exact(c.fields[j]) && ((narrow >> (j % 16)) & 1) != 0
                         ? bulk::ColumnKind::F32
                         : bulk::column_kind(c.fields[j]);
        c.item[j] = bulk::column_item_size(c.kinds[j]);
        FUZZ_CHECK(c.item[j] != 0, "field %zu: no numeric column for %s", j,
                   std::string(c.fields[j].row->name).c_str());
        storage[j] = std::make_unique<fuzz::ExactBuffer>(c.total * c.item[j]);
        columns[j] = storage[j]->data();
    }
    // Each row's packet too, counted from an arbitrary first number.
    constexpr std::int64_t kOwnerBase = 5;
    fuzz::ExactBuffer owner_storage(c.total * sizeof(std::int64_t));
    auto* owners = reinterpret_cast<std::int64_t*>(owner_storage.data());
    const bulk::ColumnFault got =
        bulk::decode_repeated_columns(c.fields, c.kinds, columns, packets, c.starts.data(),
                                      c.counts.data(), c.stride, owners, kOwnerBase);

    std::vector<std::vector<std::uint8_t>> want_rows;
    const bulk::ColumnFault want = one_by_one(c, want_rows);
    const bool same_fault = got.packet == want.packet && got.field == want.field;
    FUZZ_CHECK(same_fault,
               "first faulty row %zu field %zu, one-instance reading row %zu field %zu "
               "(of %" PRIu64 " rows, stride %" PRIu64 ")",
               got.packet, got.field, want.packet, want.field, c.total, c.stride);
    std::size_t row = 0;
    for (std::size_t p = 0; p < packets.count && row < want.packet; ++p) {
        for (std::uint64_t k = 0; k < c.counts[p] && row < want.packet; ++k, ++row) {
            std::int64_t owner = 0;
            std::memcpy(&owner, owners + row, sizeof owner);
            FUZZ_CHECK(owner == kOwnerBase + static_cast<std::int64_t>(p),
                       "row %zu: owner %" PRId64 ", its packet %zu", row, owner, p);
        }
    }
    for (std::size_t j = 0; j < nfields; ++j) {
        const std::size_t n = c.item[j];
        for (std::size_t r = 0; r < want.packet; ++r) {
            if (std::memcmp(columns[j] + r * n, want_rows[j].data() + r * n, n) == 0) continue;
            std::uint64_t value = 0;
            std::uint64_t expected = 0;
            std::memcpy(&value, columns[j] + r * n, n);
            std::memcpy(&expected, want_rows[j].data() + r * n, n);
            FUZZ_CHECK(false,
                       "row %zu field %zu (%s, %u bits): %016" PRIx64
                       ", one-instance reading %016" PRIx64,
                       r, j, std::string(c.fields[j].row->name).c_str(), c.fields[j].bits, value,
                       expected);
        }
    }
    return 0;
}
