#include "core/columns/pack_kernel.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/bits.hpp"
#include "core/ieee754.hpp"
#include "core/numeric_field.hpp"
#include "core/portable.hpp"

namespace bitloom::bulk {

using core::ValueRule;
using Src = PackSource;
using Op = PackOp;

namespace {

template <Src S>
struct Element;
template <>
struct Element<Src::I8> {
    using T = std::int8_t;
};
template <>
struct Element<Src::I16> {
    using T = std::int16_t;
};
template <>
struct Element<Src::I32> {
    using T = std::int32_t;
};
template <>
struct Element<Src::I64> {
    using T = std::int64_t;
};
template <>
struct Element<Src::U8> {
    using T = std::uint8_t;
};
template <>
struct Element<Src::U16> {
    using T = std::uint16_t;
};
template <>
struct Element<Src::U32> {
    using T = std::uint32_t;
};
template <>
struct Element<Src::U64> {
    using T = std::uint64_t;
};
template <>
struct Element<Src::F16> {
    using T = std::uint16_t;  // the binary16 image
};
template <>
struct Element<Src::F32> {
    using T = float;
};
template <>
struct Element<Src::F64> {
    using T = double;
};

template <Src S>
constexpr bool kFloatSrc = S == Src::F16 || S == Src::F32 || S == Src::F64;
template <Src S>
constexpr bool kSignedSrc = S == Src::I8 || S == Src::I16 || S == Src::I32 || S == Src::I64;

// Where a block of rows is packed: a staging area whose rows lie `packet`
// bytes apart, each with room for a field's whole word past the packet's last
// byte, so that no field's write reaches the row after it. Row r of the
// columns is row r - first of the area.
struct Out {
    std::uint8_t* data;
    std::uint64_t limit;  // its size in bits
    std::size_t packet;   // bytes from one row to the next
    std::size_t first;
};

// A column's element as a 64-bit integer (int8 elements are numbers, not characters).
template <class T>
constexpr std::int64_t as_i64(T v) noexcept {
    return static_cast<std::int64_t>(v);  // NOLINT(bugprone-signed-char-misuse)
}

template <class T>
inline T load(const PackPlan& p, std::size_t row) noexcept {
    T v;
    std::memcpy(&v, p.base + static_cast<std::ptrdiff_t>(row) * p.stride, sizeof v);
    return v;
}

// A column's element as the Python float that Layout.pack is given for it
// (what numpy's tolist gives): a binary16 NaN keeps its signaling bit (numpy
// widens halves bit by bit), a binary32 one is quieted (widened by the processor).
template <Src S>
inline double as_double(typename Element<S>::T v) noexcept {
    if constexpr (S == Src::F16) {
        if ((v & 0x7C00U) == 0x7C00U) {  // infinities and NaNs: the payload moved up
            const std::uint64_t sign = std::uint64_t{v & 0x8000U} << 48;
            return std::bit_cast<double>(sign | (std::uint64_t{0x7FF} << 52) |
                                         (std::uint64_t{v & 0x3FFU} << 42));
        }
        return static_cast<double>(core::decode_f16(v));
    } else {
        return static_cast<double>(v);
    }
}

// That float narrowed to binary32 as Layout.pack narrows it. For a binary32
// element the widening and the narrowing fold away in the compiler, which
// would keep a signaling NaN: its quiet bit is set as the two conversions set it.
template <Src S>
inline float as_single(typename Element<S>::T v) noexcept {
    if constexpr (S == Src::F32) {
        std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
        if ((bits & 0x7F800000U) == 0x7F800000U && (bits & 0x7FFFFFU) != 0) bits |= 0x400000U;
        return std::bit_cast<float>(bits);
    } else {
        return static_cast<float>(as_double<S>(v));
    }
}

template <Src S>
inline void hold(PackPlan& p, typename Element<S>::T v) noexcept {
    if constexpr (kFloatSrc<S>) {
        p.held.is_float = true;
        p.held.d = as_double<S>(v);
    } else if constexpr (kSignedSrc<S>) {
        p.held.is_signed = true;
        p.held.i = as_i64(v);
    } else {
        p.held.u = v;
    }
}

inline void place_image(const PackPlan& p, const Out& out, std::size_t row, std::uint64_t image) {
    const core::FieldSpec& f = *p.fld;
    const std::uint64_t start = 8 * static_cast<std::uint64_t>(row - out.first) * out.packet +
                                p.start;
    core::place_integer(out.data, out.limit, start, f.bits, image, f.reverse, f.little);
}

// The quick routes: returns the first row of [r0, r1) whose value fails its
// checks (kept in p.held), or r1. The checks of the whole block are gathered
// without branches; a block that failed is read again for its first row.
// Where a quick route puts its values: bit by bit, by one read-modify-write
// of the field's 8-byte word in the staging area, or into its fused word.
enum class Place : std::uint8_t { Bits, Word, Fused };

template <Src S, Op O, Place P>
std::size_t quick_kernel(PackPlan& p, const Out& out, std::size_t r0, std::size_t r1) {
    using T = typename Element<S>::T;
    const core::FieldSpec& f = *p.fld;
    const std::uint64_t mask = f.mask;
    const bool full = mask == ~std::uint64_t{0};
    const auto fails = [&](T v) noexcept {
        if constexpr (O == Op::Unsigned) {
            bool bad = (static_cast<std::uint64_t>(as_i64(v)) & ~mask) != 0;
            if constexpr (kSignedSrc<S>) bad |= v < 0;
            return bad;
        } else if constexpr (O == Op::Twos) {
            bool bad = false;
            if constexpr (S == Src::U64) bad |= v > static_cast<std::uint64_t>(INT64_MAX);
            const auto u = static_cast<std::uint64_t>(as_i64(v));
            return bad | (!full & (u + (mask >> 1) + 1 > mask));
        } else {
            return false;
        }
    };
    // Locals: the stores into the output could otherwise alias the plan.
    const std::uint8_t* const base = p.base;
    const std::ptrdiff_t stride = p.stride;
    std::uint8_t* const data = out.data;
    const std::size_t packet = out.packet;
    const auto image_of = [&](T v) noexcept {
        if constexpr (O == Op::F32) {
            return std::uint64_t{core::f32_bits(as_single<S>(v))};
        } else if constexpr (O == Op::F64) {
            return core::f64_bits(as_double<S>(v));
        } else {
            return static_cast<std::uint64_t>(as_i64(v)) & mask;
        }
    };
    bool bad = false;
    std::size_t r = r0;
    if constexpr (P == Place::Fused) {
        // Into the row's word of the fused fields: a loop over plain arrays,
        // which the compiler vectorizes where the column is contiguous.
        std::uint64_t* const acc = p.acc;
        const unsigned tail = p.tail;
        const std::uint64_t m = mask << tail;
        if (stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
            for (std::size_t k = 0; k < r1 - r0; ++k) {
                T v;
                std::memcpy(&v, base + (r0 + k) * sizeof(T), sizeof v);
                bad |= fails(v);
                acc[k] |= (image_of(v) << tail) & m;
            }
        } else {
            const std::uint8_t* from = base + static_cast<std::ptrdiff_t>(r0) * stride;
            for (std::size_t k = 0; k < r1 - r0; ++k, from += stride) {
                T v;
                std::memcpy(&v, from, sizeof v);
                bad |= fails(v);
                acc[k] |= (image_of(v) << tail) & m;
            }
        }
        r = r1;
    }
    if constexpr (P == Place::Word) {
        const bool alone = p.alone;
        const unsigned tail = p.tail;
        const std::uint64_t m = mask << tail;
        std::uint8_t* at = data + (r0 - out.first) * packet + p.at;
        const std::uint8_t* from = base + static_cast<std::ptrdiff_t>(r0) * stride;
        for (; r < r1; ++r, at += packet, from += stride) {
            T v;
            std::memcpy(&v, from, sizeof v);
            bad |= fails(v);
            std::uint64_t w;
            std::memcpy(&w, at, 8);
            if (alone) {
                w |= core::bswap64((image_of(v) << tail) & m);  // its bits are still zero
            } else {
                w = core::bswap64((core::bswap64(w) & ~m) | ((image_of(v) << tail) & m));
            }
            std::memcpy(at, &w, 8);
        }
    }
    for (; r < r1; ++r) {
        const T v = load<T>(p, r);
        bad |= fails(v);
        place_image(p, out, r, image_of(v));
    }
    if (!bad) [[likely]]
        return r1;
    for (std::size_t k = r0; k < r1; ++k) {
        const T v = load<T>(p, k);
        if (fails(v)) {
            hold<S>(p, v);
            return k;
        }
    }
    return r1;  // another thread changed the value meanwhile
}

// The general way: the value converted by the field's rule, then the core encoder.
template <Src S>
std::size_t general_kernel(PackPlan& p, const Out& out, std::size_t r0, std::size_t r1) {
    using T = typename Element<S>::T;
    const core::FieldSpec& f = *p.fld;
    const ValueRule rule = f.row->value;
    for (std::size_t r = r0; r < r1; ++r) {
        const T v = load<T>(p, r);
        core::NumericValue nv{};
        bool bad = false;
        if (rule == ValueRule::Single) {
            nv.f = as_single<S>(v);
        } else if (rule == ValueRule::Double) {
            nv.d = as_double<S>(v);
        } else if constexpr (kFloatSrc<S>) {
            bad = true;  // refused before packing: integer rules take integer columns
        } else if (rule == ValueRule::Unsigned64) {
            if constexpr (kSignedSrc<S>) bad = v < 0;
            nv.u = static_cast<std::uint64_t>(as_i64(v));
        } else {
            if constexpr (S == Src::U64) bad = v > static_cast<std::uint64_t>(INT64_MAX);
            nv.i = as_i64(v);
        }
        std::uint64_t image = 0;
        if (!bad) {
            if (rule == ValueRule::Unsigned64 && (f.bits >= 64 || nv.u >> f.bits == 0)) {
                image = nv.u;
            } else {
                auto encoded = core::encode_numeric(f, nv);
                bad = !encoded;
                if (encoded) image = encoded.value();
            }
        }
        if (bad) [[unlikely]] {
            hold<S>(p, v);
            return r;
        }
        place_image(p, out, r, image);
    }
    return r1;
}

std::size_t text_kernel(PackPlan& p, const Out& out, std::size_t r0, std::size_t r1) {
    const core::FieldSpec& f = *p.fld;
    const std::size_t end = std::min(r1, p.fail);
    std::string image;
    for (std::size_t r = r0; r < end; ++r) {
        const std::size_t from = r == 0 ? 0 : p.ends[r - 1];
        image.assign(p.images, from, p.ends[r] - from);  // placing reverses it in place
        const std::uint64_t start = 8 * static_cast<std::uint64_t>(r - out.first) * out.packet +
                                    p.start;
        core::place_bytes(out.data, out.limit, start, f.bits,
                          reinterpret_cast<std::uint8_t*>(image.data()), image.size(), f.little);
    }
    return end < r1 ? end : r1;
}

// The packets of rows [r0, r1) from the staging area into the output of
// `size` bytes: at their offsets, exactly; else one after another, in whole
// words where the output has room past the packet (the next row's copy
// overwrites what spills over), its exact bytes at the end.
void copy_rows(std::uint8_t* data, std::size_t size, std::size_t packet, const Out& out,
               const std::uint64_t* offsets, std::size_t r0, std::size_t r1) noexcept {
    if (offsets != nullptr) {
        for (std::size_t r = r0; r < r1; ++r) {
            std::memcpy(data + offsets[r], out.data + (r - r0) * out.packet, packet);
        }
        return;
    }
    const std::size_t words = (packet + 7) / 8;
    for (std::size_t r = r0; r < r1; ++r) {
        const std::uint8_t* from = out.data + (r - r0) * out.packet;
        std::uint8_t* to = data + r * packet;
        if (r * packet + 8 * words <= size) [[likely]] {
            for (std::size_t k = 0; k < words; ++k) std::memcpy(to + 8 * k, from + 8 * k, 8);
        } else {
            std::memcpy(to, from, packet);
        }
    }
}

using Kernel = std::size_t (*)(PackPlan&, const Out&, std::size_t, std::size_t);

// Fields [first, last] gathered in one word per row at byte `at` of the packet.
struct FusedWord {
    std::size_t first, last;
    std::uint32_t at;
    std::vector<std::uint64_t> acc;

    // Each row's word into the staging area (its fields' bits are still zero
    // there), then cleared for the next block.
    void flush(std::uint8_t* staging, std::size_t stride, std::size_t n) noexcept {
        std::uint8_t* to = staging + at;
        for (std::size_t k = 0; k < n; ++k, to += stride) {
            std::uint64_t w;
            std::memcpy(&w, to, 8);
            w |= core::bswap64(acc[k]);
            std::memcpy(to, &w, 8);
            acc[k] = 0;
        }
    }
};

template <Src S, Op O>
Kernel placed_kernel(const PackPlan& p) {
    if (p.fused) return quick_kernel<S, O, Place::Fused>;
    return p.word ? quick_kernel<S, O, Place::Word> : quick_kernel<S, O, Place::Bits>;
}

template <Src S>
Kernel numeric_kernel(const PackPlan& p) {
    switch (p.op) {
        case Op::Unsigned: return placed_kernel<S, Op::Unsigned>(p);
        case Op::Twos: return placed_kernel<S, Op::Twos>(p);
        case Op::Fits: return placed_kernel<S, Op::Fits>(p);
        case Op::F32: return placed_kernel<S, Op::F32>(p);
        case Op::F64: return placed_kernel<S, Op::F64>(p);
        default: return general_kernel<S>;
    }
}

std::size_t refused_kernel(PackPlan& p, const Out& /*out*/, std::size_t /*r0*/, std::size_t r1) {
    return std::min(p.fail, r1);
}

std::size_t skipped_kernel(PackPlan& /*p*/, const Out& /*out*/, std::size_t /*r0*/,
                           std::size_t r1) {
    return r1;
}

Kernel kernel_of(const PackPlan& p) {
    if (p.op == Op::Text) return text_kernel;
    if (p.op == Op::Refused) return refused_kernel;
    if (p.op == Op::Skipped) return skipped_kernel;
    switch (p.src) {
        case Src::I8: return numeric_kernel<Src::I8>(p);
        case Src::I16: return numeric_kernel<Src::I16>(p);
        case Src::I32: return numeric_kernel<Src::I32>(p);
        case Src::I64: return numeric_kernel<Src::I64>(p);
        case Src::U8: return numeric_kernel<Src::U8>(p);
        case Src::U16: return numeric_kernel<Src::U16>(p);
        case Src::U32: return numeric_kernel<Src::U32>(p);
        case Src::U64: return numeric_kernel<Src::U64>(p);
        case Src::F16: return numeric_kernel<Src::F16>(p);
        case Src::F32: return numeric_kernel<Src::F32>(p);
        case Src::F64: return numeric_kernel<Src::F64>(p);
        case Src::None: break;
    }
    return refused_kernel;
}

}  // namespace

void plan_numeric(PackPlan& p, std::size_t item_size) noexcept {
    const core::FieldSpec& f = *p.fld;
    switch (f.route) {
        case core::QuickRoute::Unsigned: p.op = Op::Unsigned; break;
        case core::QuickRoute::TwosComplement: p.op = Op::Twos; break;
        case core::QuickRoute::F32: p.op = Op::F32; break;
        case core::QuickRoute::F64: p.op = Op::F64; break;
        case core::QuickRoute::None: p.op = Op::General; break;
    }
    const bool unsigned_src = p.src >= Src::U8 && p.src <= Src::U64;
    const bool narrow = 8 * static_cast<std::uint64_t>(item_size) <= f.bits;
    if (narrow && integer_source(p.src) &&
        ((p.op == Op::Unsigned && unsigned_src) || (p.op == Op::Twos && !unsigned_src))) {
        p.op = Op::Fits;
    }
    p.word = p.op != Op::General && f.plain && p.start % 8 + f.bits <= 64;
    if (p.word) {
        p.at = static_cast<std::uint32_t>(p.start / 8);
        p.tail = static_cast<unsigned>(64 - p.start % 8 - f.bits);
    }
}

void plan_swapped(PackPlan& p, const std::uint8_t* base, std::ptrdiff_t stride, std::size_t rows,
                  std::size_t width) {
    p.native.resize(rows * width);
    for (std::size_t r = 0; r < rows; ++r) {
        const std::uint8_t* from = base + static_cast<std::ptrdiff_t>(r) * stride;
        std::reverse_copy(from, from + width, p.native.data() + r * width);
    }
    p.base = p.native.data();
    p.stride = static_cast<std::ptrdiff_t>(width);
}

PackFault pack_rows(std::span<PackPlan> plans, std::size_t rows, std::size_t packet_bytes,
                    std::uint8_t* data, std::size_t size, const std::uint64_t* offsets,
                    PackRowHook hook, void* context) {
    const std::size_t count = plans.size();
    // Blocks of rows whose staging area fits the first-level cache, every
    // field in order within a block; the first block with a failing row ends
    // the pass.
    const std::size_t stride = (packet_bytes + 15) / 8 * 8;
    const std::size_t block = std::max<std::size_t>(64, 32768 / stride);
    std::vector<std::uint8_t> staging(std::min(block, std::max<std::size_t>(rows, 1)) * stride);
    Out out{staging.data(), 8 * std::uint64_t{staging.size()}, stride, 0};
    std::vector<Kernel> kernels(count);
    for (std::size_t i = 0; i < count; ++i) {
        PackPlan& p = plans[i];
        const std::uint64_t bits = p.fld->bits;
        p.alone = std::none_of(plans.begin(), plans.begin() + static_cast<std::ptrdiff_t>(i),
                               [&](const PackPlan& before) {
                                   return before.op != Op::Skipped &&
                                          before.start < p.start + bits &&
                                          p.start < before.start + before.fld->bits;
                               });
    }
    // Runs of consecutive fields written whole-word, none sharing a bit with
    // a field before it, that fit in one 8-byte word: each is gathered per row
    // in an array of words and written into the staging area once.
    std::vector<FusedWord> groups;
    for (std::size_t i = 0; i < count; ++i) {
        PackPlan& p = plans[i];
        p.fused = false;
        if (!p.word || !p.alone) continue;
        const std::uint64_t end = p.start + p.fld->bits;
        if (groups.empty() || groups.back().last + 1 != i ||
            p.start < 8 * std::uint64_t{groups.back().at} ||
            end > 8 * std::uint64_t{groups.back().at} + 64) {
            groups.push_back({i, i, p.at, {}});
        }
        FusedWord& g = groups.back();
        g.last = i;
        p.fused = true;
        p.tail = static_cast<unsigned>(8 * std::uint64_t{g.at} + 64 - end);
    }
    std::vector<std::size_t> flush_after(count, groups.size());
    for (std::size_t g = 0; g < groups.size(); ++g) {
        if (groups[g].first == groups[g].last) {  // alone in its word: read-modify-write
            plans[groups[g].first].fused = false;
            continue;
        }
        groups[g].acc.assign(staging.size() / stride, 0);
        for (std::size_t i = groups[g].first; i <= groups[g].last; ++i) {
            plans[i].acc = groups[g].acc.data();
        }
        flush_after[groups[g].last] = g;
    }
    for (std::size_t i = 0; i < count; ++i) kernels[i] = kernel_of(plans[i]);
    PackFault fault;
    const std::size_t block_rows = staging.size() / stride;
    for (std::size_t r0 = 0; r0 < rows && fault.row == kNoRow; r0 += block_rows) {
        const std::size_t r1 = std::min(rows, r0 + block_rows);
        std::memset(out.data, 0, (r1 - r0) * stride);
        out.first = r0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t r = kernels[i](plans[i], out, r0, r1);
            if (r < r1 && r < fault.row) fault = {r, i};
            if (flush_after[i] != groups.size())
                groups[flush_after[i]].flush(out.data, stride, r1 - r0);
        }
        if (hook != nullptr) {
            for (std::size_t r = r0; r < r1 && r < fault.row; ++r) {
                if (!hook(context, out.data + (r - r0) * stride, r)) fault = {r, count};
            }
        }
        copy_rows(data, size, packet_bytes, out, offsets, r0, r1);
    }
    return fault;
}

}  // namespace bitloom::bulk
