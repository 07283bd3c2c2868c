// Repeated instances (decode_repeated_columns) against the flat column kernel:
// random numeric fields (every numeric encoding, odd widths, both byte orders,
// reversed bits, explicit offsets; now and then all of them within one 57-bit
// window so that the windowed path runs) over random packets at offsets and
// lengths in an exactly sized buffer, with random starts, counts and a stride
// that keep every instance inside its packet. Each instance is decoded on its
// own by decode_numeric_columns over a one-packet set at base = its start:
// every row before the first fault must be bit-identical, and the first
// faulty row and its field must agree.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/columns/column_kernel.hpp"
#include "core/encodings.hpp"
#include "fuzz_common.hpp"

using namespace bitloom;
using core::Codec;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::span<const core::EncodingRow> table(core::kEncodings);
    const auto mode = in.take<std::uint8_t>();
    const bool narrow = (mode & 1) != 0;  // every field big-endian and within 57 bits

    const std::size_t nfields = 1 + in.take<std::uint8_t>() % 6;
    std::vector<core::FieldSpec> fields(nfields);
    std::uint64_t extent = 0;
    for (auto& fld : fields) {
        const auto enc = in.take<std::uint8_t>();
        const auto flags = in.take<std::uint8_t>();
        std::size_t row = enc % table.size();
        while (table[row].codec == Codec::Text) row = (row + 1) % table.size();
        fld.row = &table[row];
        const auto b = in.take<std::uint8_t>();
        fld.bits = narrow ? 1 + b % 16 : b % 72;
        fld.little = !narrow && (flags & 1) != 0;
        fld.reverse = !narrow && (flags & 2) != 0;
        fld.has_offset = (flags & 0x0C) == 0x0C;
        if (fld.has_offset) fld.offset = in.take<std::uint8_t>() % (narrow ? 24 : 64);
        core::prepare_route(fld);
    }
    {
        std::uint64_t position = 0;
        for (const auto& fld : fields) {
            const std::uint64_t start = fld.has_offset ? fld.offset : position;
            position = start + fld.bits;
            extent = std::max(extent, position);
        }
    }

    // The packets, and instances that stay inside them.
    const std::size_t data_size = in.take<std::uint16_t>() % 1024;
    const std::size_t npackets = in.take<std::uint8_t>() % 24;
    const std::uint64_t stride = in.take<std::uint8_t>() % 80;
    std::vector<std::uint64_t> offsets, lengths, starts, counts;
    for (std::size_t i = 0; i < npackets; ++i) {
        const std::uint64_t o = in.take<std::uint16_t>() % (data_size + 1);
        const std::uint64_t len = data_size - o;
        const std::uint64_t bits = 8 * len;
        std::uint64_t start = in.take<std::uint16_t>() % (bits + 1);
        std::uint64_t count = in.take<std::uint8_t>() % 12;
        // Fewer instances (from an earlier start) where they would not fit.
        while (count > 0 && start + (count - 1) * stride + extent > bits) {
            if (start > 0) {
                start /= 2;
            } else {
                --count;
            }
        }
        offsets.push_back(o);
        lengths.push_back(len);
        starts.push_back(start);
        counts.push_back(count);
    }
    const std::vector<std::uint8_t> bytes = in.rest();
    fuzz::ExactBuffer buf(data_size);
    for (std::size_t i = 0; i < data_size; ++i) {
        buf.data()[i] = bytes.empty() ? static_cast<std::uint8_t>(i * 151 + 7)
                                      : static_cast<std::uint8_t>(bytes[i % bytes.size()] + i);
    }
    bulk::PacketSet packets;
    packets.data = buf.data();
    packets.size = data_size;
    packets.count = npackets;
    packets.offsets = offsets.data();
    packets.lengths = lengths.data();

    std::size_t total = 0;
    for (const auto c : counts) total += c;
    std::vector<bulk::ColumnKind> kinds(nfields);
    std::vector<std::unique_ptr<fuzz::ExactBuffer>> storage(nfields);
    std::vector<std::uint8_t*> columns(nfields);
    for (std::size_t j = 0; j < nfields; ++j) {
        kinds[j] = bulk::column_kind(fields[j]);
        storage[j] = std::make_unique<fuzz::ExactBuffer>(total * bulk::column_item_size(kinds[j]));
        columns[j] = storage[j]->data();
    }
    const bulk::ColumnFault got = bulk::decode_repeated_columns(fields, kinds, columns, packets,
                                                                starts.data(), counts.data(),
                                                                stride);

    // The reference, instance by instance.
    std::size_t row = 0;
    bulk::ColumnFault want{total, 0};
    std::vector<std::uint8_t> one(8);
    for (std::size_t p = 0; p < npackets && want.packet == total; ++p) {
        bulk::PacketSet single;
        single.data = buf.data();
        single.size = data_size;
        single.count = 1;
        single.offsets = &offsets[p];
        single.lengths = &lengths[p];
        for (std::uint64_t k = 0; k < counts[p]; ++k, ++row) {
            std::vector<std::unique_ptr<fuzz::ExactBuffer>> ref(nfields);
            std::vector<std::uint8_t*> ref_columns(nfields);
            for (std::size_t j = 0; j < nfields; ++j) {
                ref[j] = std::make_unique<fuzz::ExactBuffer>(bulk::column_item_size(kinds[j]));
                ref_columns[j] = ref[j]->data();
            }
            const bulk::ColumnFault fault = bulk::decode_numeric_columns(fields, kinds, ref_columns,
                                                                         single,
                                                                         starts[p] + k * stride);
            if (fault.packet == 0) {
                want = {row, fault.field};
                break;
            }
            for (std::size_t j = 0; j < nfields; ++j) {
                const std::size_t width = bulk::column_item_size(kinds[j]);
                FUZZ_CHECK(std::memcmp(columns[j] + row * width, ref_columns[j], width) == 0,
                           "row %zu field %zu differs from the flat kernel", row, j);
            }
        }
    }
    FUZZ_CHECK(got.packet == want.packet, "first faulty row %zu, flat kernel %zu (of %zu)",
               got.packet, want.packet, total);
    if (want.packet < total) {
        FUZZ_CHECK(got.field == want.field, "row %zu: faulty field %zu, flat kernel %zu",
                   got.packet, got.field, want.field);
    }
    return 0;
}
