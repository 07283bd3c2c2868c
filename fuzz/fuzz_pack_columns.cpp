// Packing whole tables (core/columns/pack_kernel) against the one-packet
// packer: a random layout of numeric fields (every packing encoding, odd
// widths, both byte orders, reversed bits, explicit offsets and overlaps) and
// a few rows of values in columns of every element type (strided, some in the
// other byte order), packed one after another or at scattered offsets. Each
// row is packed alone as pack_parameters packs it (the value converted by the
// field's rule, core::encode_numeric, core::place_integer); every packet
// before the first failing row, the failing row and field, and the value held
// for its error must agree.
#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <span>
#include <vector>

#include "core/bits.hpp"
#include "core/columns/pack_kernel.hpp"
#include "core/encodings.hpp"
#include "core/ieee754.hpp"
#include "core/numeric_field.hpp"
#include "fuzz_common.hpp"

using namespace bitloom;
using bulk::PackSource;
using core::ValueRule;

namespace {

constexpr std::size_t kWidth[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};

// A column element as the value Layout.pack would be given (what tolist gives).
struct Value {
    enum Kind { Signed, Unsigned, Float } kind = Signed;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    double d = 0;
};

// numpy's tolist of a float16 element: widened bit by bit, a NaN's payload
// (and its signaling bit) kept.
double half_as_python(std::uint16_t h) {
    const std::uint64_t sign = std::uint64_t{h & 0x8000U} << 48;
    const unsigned exponent = (h >> 10) & 0x1FU;
    const std::uint64_t fraction = h & 0x3FFU;
    if (exponent == 0x1F) {
        return std::bit_cast<double>(sign | (std::uint64_t{0x7FF} << 52) | (fraction << 42));
    }
    const double magnitude = exponent == 0 ? std::ldexp(static_cast<double>(fraction), -24)
                                           : std::ldexp(static_cast<double>(fraction | 0x400U),
                                                        static_cast<int>(exponent) - 25);
    return sign != 0 ? -magnitude : magnitude;
}

// numpy's tolist of a float32 element: widened by the processor, a NaN quieted.
double single_as_python(std::uint32_t f) {
    const std::uint64_t sign = std::uint64_t{f & 0x80000000U} << 32;
    const unsigned exponent = (f >> 23) & 0xFFU;
    const std::uint64_t fraction = f & 0x7FFFFFU;
    if (exponent == 0xFF) {
        const std::uint64_t quiet = fraction != 0 ? std::uint64_t{1} << 51 : 0;
        return std::bit_cast<double>(sign | (std::uint64_t{0x7FF} << 52) | quiet |
                                     (fraction << 29));
    }
    const double magnitude = exponent == 0 ? std::ldexp(static_cast<double>(fraction), -149)
                                           : std::ldexp(static_cast<double>(fraction | 0x800000U),
                                                        static_cast<int>(exponent) - 150);
    return sign != 0 ? -magnitude : magnitude;
}

Value value_of(PackSource src, const std::uint8_t* e) {
    Value v;
    auto get = [&](auto tag) {
        decltype(tag) x;
        std::memcpy(&x, e, sizeof x);
        return x;
    };
    switch (src) {
        case PackSource::I8: v.i = get(std::int8_t{}); break;
        case PackSource::I16: v.i = get(std::int16_t{}); break;
        case PackSource::I32: v.i = get(std::int32_t{}); break;
        case PackSource::I64: v.i = get(std::int64_t{}); break;
        case PackSource::U8: v.kind = Value::Unsigned, v.u = get(std::uint8_t{}); break;
        case PackSource::U16: v.kind = Value::Unsigned, v.u = get(std::uint16_t{}); break;
        case PackSource::U32: v.kind = Value::Unsigned, v.u = get(std::uint32_t{}); break;
        case PackSource::U64: v.kind = Value::Unsigned, v.u = get(std::uint64_t{}); break;
        case PackSource::F16:
            v.kind = Value::Float, v.d = half_as_python(get(std::uint16_t{}));
            break;
        case PackSource::F32:
            v.kind = Value::Float, v.d = single_as_python(get(std::uint32_t{}));
            break;
        case PackSource::F64: v.kind = Value::Float, v.d = get(double{}); break;
        case PackSource::None: break;
    }
    return v;
}

double as_double(const Value& v) {
    switch (v.kind) {
        case Value::Signed: return static_cast<double>(v.i);
        case Value::Unsigned: return static_cast<double>(v.u);
        case Value::Float: return v.d;
    }
    return 0;
}

// The one-packet packer's placing of a numeric field (paths/place_field):
// the value converted by the rule (py::to_u64, to_i64, to_single, to_double),
// then the encoder; false where it raises.
bool place_one(const core::FieldSpec& f, const Value& v, std::uint8_t* packet, std::uint64_t limit,
               std::uint64_t start) {
    core::NumericValue nv{};
    const ValueRule rule = f.row->value;
    switch (rule) {
        case ValueRule::Unsigned64:
            if (v.kind == Value::Signed && v.i < 0) return false;
            nv.u = v.kind == Value::Signed ? static_cast<std::uint64_t>(v.i) : v.u;
            break;
        case ValueRule::Signed64:
            if (v.kind == Value::Unsigned && v.u > static_cast<std::uint64_t>(INT64_MAX)) {
                return false;
            }
            nv.i = v.kind == Value::Unsigned ? static_cast<std::int64_t>(v.u) : v.i;
            break;
        case ValueRule::Single: nv.f = static_cast<float>(as_double(v)); break;
        case ValueRule::Double: nv.d = as_double(v); break;
        default: FUZZ_CHECK(false, "a non-numeric rule");
    }
    std::uint64_t image = 0;
    if (rule == ValueRule::Unsigned64 && (f.bits >= 64 || nv.u >> f.bits == 0)) {
        image = nv.u;
    } else {
        auto r = core::encode_numeric(f, nv);
        if (!r) return false;
        image = r.value();
    }
    core::place_integer(packet, limit, start, f.bits, image, f.reverse, f.little);
    return true;
}

bool same_value(const Value& v, const bulk::PackHeld& h) {
    switch (v.kind) {
        case Value::Signed: return h.is_signed && !h.is_float && h.i == v.i;
        case Value::Unsigned: return !h.is_signed && !h.is_float && h.u == v.u;
        case Value::Float:
            return h.is_float &&
                   std::bit_cast<std::uint64_t>(h.d) == std::bit_cast<std::uint64_t>(v.d);
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    // The numeric encodings the packer writes.
    static const std::vector<const core::EncodingRow*> rows = [] {
        std::vector<const core::EncodingRow*> out;
        for (const auto& row : core::kEncodings) {
            if (row.packs && row.value != ValueRule::Text && row.value != ValueRule::None) {
                out.push_back(&row);
            }
        }
        return out;
    }();
    const auto mode = in.take<std::uint8_t>();
    const bool scattered = (mode & 1) != 0;
    const std::size_t nrows = in.take<std::uint8_t>() % 40;
    const std::size_t nfields = 1 + in.take<std::uint8_t>() % 12;

    std::vector<core::FieldSpec> fields(nfields);
    std::vector<std::uint64_t> starts(nfields);
    std::uint64_t position = 0, packet_bits = 0;
    for (std::size_t j = 0; j < nfields; ++j) {
        core::FieldSpec& f = fields[j];
        const auto enc = in.take<std::uint8_t>();
        const auto flags = in.take<std::uint8_t>();
        f.row = rows[enc % rows.size()];
        f.bits = fuzz::pick_field_bits(in.take<std::uint8_t>());
        f.little = (flags & 1) != 0;
        f.reverse = (flags & 2) != 0;
        core::prepare_route(f);
        // Explicit offsets now and then (overlapping what came before), else one after another.
        starts[j] = (flags & 0x0C) == 0x0C ? in.take<std::uint8_t>() : position;
        position = starts[j] + f.bits;
        packet_bits = std::max(packet_bits, position);
    }
    if (packet_bits == 0) return 0;
    const std::size_t packet = (packet_bits + 7) / 8;

    // The columns: an element type the field's rule takes, a stride of one or
    // more elements, sometimes in the other byte order.
    std::vector<bulk::PackPlan> plans(nfields);
    std::vector<std::vector<std::uint8_t>> columns(nfields);
    std::vector<PackSource> sources(nfields);
    std::vector<std::size_t> strides(nfields);  // bytes from one element to the next
    for (std::size_t j = 0; j < nfields; ++j) {
        const auto pick = in.take<std::uint8_t>();
        const bool integer_rule = fields[j].row->value == ValueRule::Unsigned64 ||
                                  fields[j].row->value == ValueRule::Signed64;
        const auto src = static_cast<PackSource>(pick % (integer_rule ? 8 : 11));
        const std::size_t width = kWidth[static_cast<std::size_t>(src)];
        const std::size_t step = 1 + (pick >> 4) % 3;
        const bool swapped = (pick & 0x08) != 0 && width > 1;
        std::vector<std::uint8_t>& col = columns[j];
        col.resize(nrows * step * width);
        for (auto& b : col) b = in.take<std::uint8_t>();
        // Mostly small values, which pack: the upper bytes of an element cleared.
        if ((pick & 0x80) == 0) {
            for (std::size_t r = 0; r < nrows; ++r) {
                std::uint8_t* e = col.data() + r * step * width;
                for (std::size_t k = 1; k < width && src < PackSource::F16; ++k) e[k] = 0;
            }
        }
        sources[j] = src;
        strides[j] = step * width;
        bulk::PackPlan& p = plans[j];
        p.fld = &fields[j];
        p.start = starts[j];
        p.src = src;
        p.base = col.data();
        p.stride = static_cast<std::ptrdiff_t>(step * width);
        if (swapped) {
            std::vector<std::uint8_t> other(col.size());
            for (std::size_t r = 0; r < nrows; ++r) {
                const std::uint8_t* e = col.data() + r * step * width;
                std::reverse_copy(e, e + width, other.data() + r * step * width);
            }
            bulk::plan_swapped(p, other.data(), p.stride, nrows, width);
        }
        bulk::plan_numeric(p, width);
    }

    // Where the packets go: one after another, or in a shuffled order.
    std::vector<std::uint64_t> offsets(nrows);
    if (scattered) {
        std::vector<std::size_t> slots(nrows);
        std::iota(slots.begin(), slots.end(), 0);
        for (std::size_t r = nrows; r > 1; --r) {
            std::swap(slots[r - 1], slots[in.take<std::uint8_t>() % r]);
        }
        for (std::size_t r = 0; r < nrows; ++r) offsets[r] = slots[r] * packet;
    }
    fuzz::ExactBuffer out(nrows * packet);
    const bulk::PackFault fault = bulk::pack_rows(plans, nrows, packet, out.data(), out.size(),
                                                  scattered ? offsets.data() : nullptr);

    // The one-packet packer, row by row, field by field.
    fuzz::ExactBuffer one(packet);
    for (std::size_t r = 0; r < nrows; ++r) {
        std::memset(one.data(), 0, packet);
        std::size_t failed = nfields;
        Value failed_value;
        for (std::size_t j = 0; j < nfields && failed == nfields; ++j) {
            const std::uint8_t* e = columns[j].data() + r * strides[j];
            const Value v = value_of(sources[j], e);
            if (!place_one(fields[j], v, one.data(), 8 * std::uint64_t{packet}, starts[j])) {
                failed = j;
                failed_value = v;
            }
        }
        if (failed < nfields) {
            FUZZ_CHECK(fault.row == r && fault.field == failed,
                       "row %zu field %zu fails alone, the table packer says row %zu field %zu", r,
                       failed, fault.row, fault.field);
            FUZZ_CHECK(same_value(failed_value, plans[failed].held),
                       "row %zu field %zu: the value held for the error differs", r, failed);
            return 0;
        }
        FUZZ_CHECK(fault.row > r, "row %zu packs alone, the table packer fails it at field %zu", r,
                   fault.field);
        const std::uint8_t* got = out.data() + (scattered ? offsets[r] : r * packet);
        if (std::memcmp(got, one.data(), packet) != 0) {
            const std::vector<std::uint8_t> a(got, got + packet),
                b(one.data(), one.data() + packet);
            for (std::size_t j = 0; j < nfields; ++j) {
                std::fprintf(stderr,
                             "field %zu: %.*s, %u bits at %" PRIu64
                             ", little %d, "
                             "reverse %d, source %d, op %d, word %d\n",
                             j, static_cast<int>(fields[j].row->name.size()),
                             fields[j].row->name.data(), fields[j].bits, starts[j],
                             fields[j].little, fields[j].reverse, static_cast<int>(sources[j]),
                             static_cast<int>(plans[j].op), plans[j].word);
            }
            FUZZ_CHECK(false, "row %zu differs:\n  table %s\n  alone %s", r, fuzz::hex(a).c_str(),
                       fuzz::hex(b).c_str());
        }
    }
    FUZZ_CHECK(fault.row == bulk::kNoRow, "every row packs alone, the table packer failed row %zu",
               fault.row);
    return 0;
}
