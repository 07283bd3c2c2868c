// Column decoding (core/columns/column_kernel) against the one-packet reading: a
// random recipe of fields (every numeric encoding and a few text ones, odd
// widths, both byte orders, reversed bits, explicit offsets, a base offset)
// over random packets, fixed-size or at arbitrary offsets and lengths. Each
// packet is read field by field as the unpacker reads it (bounds, then the
// raw value from core/bits, then the codec from core), and every column
// element, the column's type, the first faulty packet, its field and its
// error must agree.
#include <bit>
#include <cinttypes>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/bcd.hpp"
#include "core/bits.hpp"
#include "core/columns/column_kernel.hpp"
#include "core/encodings.hpp"
#include "core/ieee754.hpp"
#include "core/integer.hpp"
#include "fuzz_common.hpp"

using namespace bitloom;
using core::Codec;

namespace {

// A value as the unpacker returns it: an int (signed or unsigned 64-bit) or a float.
struct RefValue {
    enum Kind { Signed, Unsigned, Float } kind = Signed;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    double d = 0;
};

// The unpacker's decoding of a numeric field's raw value (paths/extract_field),
// with its errors as core errors instead of raised exceptions.
core::Result<RefValue> ref_decode(const core::EncodingRow& row, std::uint64_t raw,
                                  std::uint32_t bits) {
    RefValue v;
    auto from = [&](core::Result<std::int64_t>&& r) -> core::Result<RefValue> {
        if (!r) return r.error();
        v.i = r.value();
        return v;
    };
    switch (row.codec) {
        case Codec::Unsigned:
            v.kind = RefValue::Unsigned;
            v.u = raw;
            return v;
        case Codec::TwosComplement: v.i = core::decode_twos_complement(raw, bits); return v;
        case Codec::OnesComplement: v.i = core::decode_ones_complement(raw, bits); return v;
        case Codec::SignMagnitude: v.i = core::decode_sign_magnitude(raw, bits); return v;
        case Codec::PackedBcd:
        case Codec::PackedBcdSigned:
            return from(core::decode_packed_bcd(raw, bits, row.codec == Codec::PackedBcdSigned));
        case Codec::UnpackedBcd:
        case Codec::UnpackedBcdSigned:
            return from(
                core::decode_unpacked_bcd(raw, bits, row.codec == Codec::UnpackedBcdSigned));
        case Codec::F16:
            v.kind = RefValue::Float;
            v.d = core::decode_f16(static_cast<std::uint16_t>(raw));
            return v;
        case Codec::F32:
            v.kind = RefValue::Float;
            v.d = core::decode_f32(static_cast<std::uint32_t>(raw));
            return v;
        case Codec::F64:
            v.kind = RefValue::Float;
            v.d = core::decode_f64(raw);
            return v;
        case Codec::F128:
            if (bits > 64) {
                return core::value_error(
                    "IEEE 754 f128 requires special handling for >64 bits (not yet implemented "
                    "in process_recipe)");
            }
            v.kind = RefValue::Float;
            v.d = 0.0;
            return v;
        case Codec::UnimplementedFloat:
            return core::Error{core::ErrorKind::NotImplemented,
                               core::unimplemented_decode_message(row)};
        case Codec::Text: break;
    }
    return core::Error{core::ErrorKind::System, "ref_decode called for text"};
}

struct RefFault {
    std::size_t packet, field;
    std::optional<core::Error> error;  // none for a text field's decoding (not read here)
};

// Element p of a column of `kind`, checked against the reference value: the
// value must be one the column's type holds, and the element must equal it.
void check_element(bulk::ColumnKind kind, const std::uint8_t* column, std::size_t p,
                   const RefValue& ref, std::size_t field) {
    using K = bulk::ColumnKind;
    auto load = [&](auto tag) {
        decltype(tag) e;
        std::memcpy(&e, column + p * sizeof(e), sizeof(e));
        return e;
    };
    auto check_int = [&](auto tag) {
        using T = decltype(tag);
        const T e = load(tag);
        if (ref.kind == RefValue::Unsigned) {
            FUZZ_CHECK(std::is_unsigned_v<T> &&
                           static_cast<std::uint64_t>(static_cast<T>(ref.u)) == ref.u,
                       "field %zu packet %zu: %" PRIu64 " does not fit its column", field, p,
                       ref.u);
            FUZZ_CHECK(static_cast<std::uint64_t>(e) == ref.u,
                       "field %zu packet %zu: column %" PRIu64 ", reference %" PRIu64, field, p,
                       static_cast<std::uint64_t>(e), ref.u);
        } else {
            FUZZ_CHECK(ref.kind == RefValue::Signed, "field %zu: an int column for a float", field);
            FUZZ_CHECK(static_cast<std::int64_t>(static_cast<T>(ref.i)) == ref.i &&
                           (std::is_signed_v<T> || ref.i >= 0),
                       "field %zu packet %zu: %" PRId64 " does not fit its column", field, p,
                       ref.i);
            FUZZ_CHECK(static_cast<std::int64_t>(e) == ref.i,
                       "field %zu packet %zu: column %" PRId64 ", reference %" PRId64, field, p,
                       static_cast<std::int64_t>(e), ref.i);
        }
    };
    switch (kind) {
        case K::U8: check_int(std::uint8_t{}); break;
        case K::U16: check_int(std::uint16_t{}); break;
        case K::U32: check_int(std::uint32_t{}); break;
        case K::U64: check_int(std::uint64_t{}); break;
        case K::I8: check_int(std::int8_t{}); break;
        case K::I16: check_int(std::int16_t{}); break;
        case K::I32: check_int(std::int32_t{}); break;
        case K::I64: check_int(std::int64_t{}); break;
        case K::F64: {
            FUZZ_CHECK(ref.kind == RefValue::Float, "field %zu: a float column for an int", field);
            const double e = load(double{});
            FUZZ_CHECK(std::bit_cast<std::uint64_t>(e) == std::bit_cast<std::uint64_t>(ref.d),
                       "field %zu packet %zu: column %016" PRIx64 ", reference %016" PRIx64, field,
                       p, std::bit_cast<std::uint64_t>(e), std::bit_cast<std::uint64_t>(ref.d));
            break;
        }
        case K::F32: {
            // Widened, the float32 element is the float64 reference exactly
            // (the widening quiets a signalling NaN as the reference does).
            FUZZ_CHECK(ref.kind == RefValue::Float, "field %zu: a float column for an int", field);
            const double e = static_cast<double>(load(float{}));
            FUZZ_CHECK(std::bit_cast<std::uint64_t>(e) == std::bit_cast<std::uint64_t>(ref.d),
                       "field %zu packet %zu: float32 column %016" PRIx64 ", reference %016" PRIx64,
                       field, p, std::bit_cast<std::uint64_t>(e), std::bit_cast<std::uint64_t>(ref.d));
            break;
        }
        case K::Text: FUZZ_CHECK(false, "field %zu: a numeric value in a text column", field);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::span<const core::EncodingRow> table(core::kEncodings);
    const auto mode = in.take<std::uint8_t>();
    const bool at_offsets = (mode & 1) != 0;
    const std::uint64_t base = in.take<std::uint8_t>() % 20;

    // The recipe.
    const std::size_t nfields = 1 + in.take<std::uint8_t>() % 16;
    std::vector<core::FieldSpec> fields(nfields);
    for (auto& fld : fields) {
        const auto enc = in.take<std::uint8_t>();
        const auto flags = in.take<std::uint8_t>();
        // Text encodings only now and then: the column kernel checks their bounds alone.
        std::size_t row = enc % table.size();
        if (table[row].codec == Codec::Text && (flags & 0x80) == 0) row = enc % 11;
        fld.row = &table[row];
        fld.bits = fuzz::pick_field_bits(in.take<std::uint8_t>());
        fld.little = (flags & 1) != 0;
        fld.reverse = (flags & 2) != 0;
        fld.has_offset = (flags & 0x0C) == 0x0C;
        if (fld.has_offset) fld.offset = in.take<std::uint8_t>();
        core::prepare_route(fld);
    }

    // The packets.
    bulk::PacketSet packets;
    std::vector<std::uint64_t> offsets, lengths;
    std::size_t data_size = 0;
    if (!at_offsets) {
        packets.packet_bytes = 1 + in.take<std::uint8_t>() % 48;
        packets.count = in.take<std::uint8_t>() % 64;
        data_size = packets.count * packets.packet_bytes;
    } else {
        data_size = in.take<std::uint16_t>() % 2048;
        packets.count = in.take<std::uint8_t>() % 64;
        for (std::size_t i = 0; i < packets.count; ++i) {
            const std::uint64_t o = in.take<std::uint16_t>() % (data_size + 1);
            const std::uint64_t room = data_size - o;
            const auto pick = in.take<std::uint8_t>();
            // Mostly long enough for the recipe, sometimes short, sometimes to the end.
            std::uint64_t len = (pick & 0x80) != 0 ? room
                                                   : std::min<std::uint64_t>(room, pick % 48);
            if ((pick & 0xC0) == 0x40) len = std::min<std::uint64_t>(room, 40 + pick % 8);
            offsets.push_back(o);
            lengths.push_back(len);
        }
    }
    // Exactly sized, so a read past the end of the data is caught; the bytes
    // are the rest of the input, repeated.
    const std::vector<std::uint8_t> bytes = in.rest();
    fuzz::ExactBuffer buf(data_size);
    for (std::size_t i = 0; i < data_size; ++i) {
        buf.data()[i] = bytes.empty()
                            ? static_cast<std::uint8_t>(i * 151 + 7)
                            : static_cast<std::uint8_t>(bytes[i % bytes.size()] + i / bytes.size());
    }
    packets.data = buf.data();
    packets.size = data_size;
    if (at_offsets) {
        packets.offsets = offsets.data();
        packets.lengths = lengths.data();
    }

    // The reference: every packet read as the unpacker reads it.
    std::vector<std::vector<RefValue>> ref(nfields, std::vector<RefValue>(packets.count));
    std::optional<RefFault> fault;
    for (std::size_t p = 0; p < packets.count && !fault; ++p) {
        const std::uint8_t* packet = packets.packet(p);
        const std::size_t len = packets.length(p);
        std::uint64_t position = base;
        for (std::size_t j = 0; j < nfields && !fault; ++j) {
            const core::FieldSpec& fld = fields[j];
            const std::uint64_t start = fld.has_offset ? base + fld.offset : position;
            if (auto e = core::check_field_bounds(start, fld.bits, len)) {
                fault = RefFault{p, j, std::move(e)};
                break;
            }
            position = start + fld.bits;
            if (fld.row->codec == Codec::Text) continue;
            const std::uint64_t raw = core::field_raw_value(packet, len, start, fld.bits,
                                                            fld.little, fld.reverse);
            auto v = ref_decode(*fld.row, raw, fld.bits);
            if (!v) {
                fault = RefFault{p, j, v.error()};
                break;
            }
            ref[j][p] = v.value();
        }
    }

    // The kernel, into exactly sized columns.
    std::vector<bulk::ColumnKind> kinds(nfields);
    std::vector<std::unique_ptr<fuzz::ExactBuffer>> storage(nfields);
    std::vector<std::uint8_t*> columns(nfields, nullptr);
    const auto narrow = in.take<std::uint16_t>();  // which binary16/32 fields get float32 columns
    for (std::size_t j = 0; j < nfields; ++j) {
        kinds[j] = bulk::float32_exact(fields[j]) && ((narrow >> j) & 1) != 0
                       ? bulk::ColumnKind::F32
                       : bulk::column_kind(fields[j]);
        FUZZ_CHECK((kinds[j] == bulk::ColumnKind::Text) == (fields[j].row->codec == Codec::Text),
                   "field %zu: text kind for %s", j, std::string(fields[j].row->name).c_str());
        if (kinds[j] == bulk::ColumnKind::Text) continue;
        storage[j] = std::make_unique<fuzz::ExactBuffer>(packets.count *
                                                         bulk::column_item_size(kinds[j]));
        columns[j] = storage[j]->data();
    }
    const bulk::ColumnFault got = bulk::decode_numeric_columns(fields, kinds, columns, packets,
                                                               base);

    const std::size_t ref_packet = fault ? fault->packet : packets.count;
    FUZZ_CHECK(got.packet == ref_packet, "first faulty packet %zu, reference %zu (of %zu)",
               got.packet, ref_packet, packets.count);
    if (fault) {
        FUZZ_CHECK(got.field == fault->field, "packet %zu: faulty field %zu, reference %zu",
                   got.packet, got.field, fault->field);
        const std::optional<core::Error> e = bulk::field_error(fields, packets, base, got);
        FUZZ_CHECK(e.has_value() && fault->error.has_value(), "packet %zu field %zu: no error",
                   got.packet, got.field);
        FUZZ_CHECK(e->kind == fault->error->kind && e->message == fault->error->message,
                   "packet %zu field %zu: error '%s', reference '%s'", got.packet, got.field,
                   e->message.c_str(), fault->error->message.c_str());
    }
    for (std::size_t j = 0; j < nfields; ++j) {
        if (kinds[j] == bulk::ColumnKind::Text) continue;
        for (std::size_t p = 0; p < ref_packet; ++p)
            check_element(kinds[j], columns[j], p, ref[j][p], j);
    }
    return 0;
}
