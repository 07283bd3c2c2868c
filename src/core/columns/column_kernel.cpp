#include "core/columns/column_kernel.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <type_traits>
#include <vector>

#include "core/bcd.hpp"
#include "core/bits.hpp"
#include "core/ieee754.hpp"
#include "core/integer.hpp"
#include "core/portable.hpp"

namespace bitloom::bulk {
namespace {

// Packets at offsets lie apart in memory, each load a likely cache miss: the
// bytes of the packet this many ahead are asked for early, so that the loads
// do not wait on memory one after another.
constexpr std::size_t kPrefetchAhead = 64;

using core::Codec;

constexpr std::array<const char*, 10> kDtypes = {"uint8", "uint16", "uint32", "uint64",  "int8",
                                                 "int16", "int32",  "int64",  "float64", "float32"};
constexpr std::array<std::size_t, 10> kSizes = {1, 2, 4, 8, 1, 2, 4, 8, 8, 4};

ColumnKind unsigned_kind(std::uint32_t bits) {
    return bits <= 8    ? ColumnKind::U8
           : bits <= 16 ? ColumnKind::U16
           : bits <= 32 ? ColumnKind::U32
                        : ColumnKind::U64;
}
ColumnKind signed_kind(std::uint64_t bits) {
    return bits <= 8    ? ColumnKind::I8
           : bits <= 16 ? ColumnKind::I16
           : bits <= 32 ? ColumnKind::I32
                        : ColumnKind::I64;
}

// The codecs of the hot loops, written so that they inline into them; each
// returns exactly what its core function (core/integer, core/ieee754) returns
// for a raw value of at most `bits` bits.

// Two's complement: the value sign-extended from bit bits - 1 (`shift` is
// 64 - bits, or 0 for widths of 0 and of 64 and more, whose raw value is kept).
inline std::int64_t twos_complement(std::uint64_t raw, unsigned shift) noexcept {
    return static_cast<std::int64_t>(raw << shift) >> shift;
}

inline std::int64_t ones_complement(std::uint64_t raw, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    if (bits >= 64) {
        const auto v = static_cast<std::int64_t>(raw);
        return v < 0 ? v + 1 : v;
    }
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    if ((raw & sign) == 0) return static_cast<std::int64_t>(raw);
    return static_cast<std::int64_t>(raw - core::low_bits_mask(bits));
}

inline std::int64_t sign_magnitude(std::uint64_t raw, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    bits = std::min<std::uint32_t>(bits, 64);
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    const auto m = static_cast<std::int64_t>(raw & (sign - 1));
    return (raw & sign) != 0 ? -m : m;
}

// binary32 widened to a double; a NaN keeps its sign and payload (moved up)
// with the quiet bit set, whatever the platform's conversion does.
inline double f32_to_double(std::uint32_t image) noexcept {
    if ((image & 0x7FFF'FFFFU) > 0x7F80'0000U) [[unlikely]] {
        const std::uint64_t sign = static_cast<std::uint64_t>(image & 0x8000'0000U) << 32;
        const std::uint64_t payload = static_cast<std::uint64_t>(image & 0x7F'FFFFU) << 29;
        return std::bit_cast<double>(sign | 0x7FF8'0000'0000'0000ULL | payload);
    }
    return static_cast<double>(std::bit_cast<float>(image));
}

// binary32 as a float32 element: its bits as they are. No rounding can
// happen; a signalling NaN stays signalling (as numpy's view of the bytes
// as float32 shows it), where the widening to double above quiets it.
inline float f32_image(std::uint32_t image) noexcept { return std::bit_cast<float>(image); }

// Signed integer elements (a float column's type is signed too).
template <class T>
inline constexpr bool kSignedInt = std::is_integral_v<T> && std::is_signed_v<T>;

// One numeric field over packets [begin, end) of a call, as a tight loop. A
// big-endian field of at most 57 bits (no reversal) is one unaligned 8-byte
// load, a shift and a mask wherever those 8 bytes lie inside the data; the
// packets near its end, and every other field, take the general reading.
// Returns the first packet whose value fails to decode, or `end`.
template <class T, class Decode>
std::size_t column_loop(const PacketSet& packets, std::size_t begin, std::size_t end,
                        std::uint64_t start, const core::FieldSpec& fld, std::uint8_t* column,
                        Decode decode) noexcept {
    const std::uint64_t byte = start / 8;
    const bool quick = !fld.little && !fld.reverse && fld.bits >= 1 && fld.bits <= 57 &&
                       packets.size >= byte + 8;
    const unsigned shift = 64 - static_cast<unsigned>(start % 8) - std::min(fld.bits, 57U);
    const std::uint64_t mask = core::low_bits_mask(fld.bits);
    // Packets whose offset is at most `last` have 8 bytes at `byte` inside the data.
    const std::uint64_t last = quick ? packets.size - byte - 8 : 0;
    T* out = reinterpret_cast<T*>(column);
    auto general = [&](std::size_t p, T& v) {
        return decode(core::field_raw_value(packets.packet(p), packets.length(p), start, fld.bits,
                                            fld.little, fld.reverse),
                      v);
    };
    if (packets.offsets == nullptr) {
        const std::size_t stride = packets.packet_bytes;
        // Packets [begin, fast) take the quick reading.
        std::size_t fast = begin;
        if (quick)
            fast = std::clamp<std::size_t>(static_cast<std::size_t>(last / stride + 1), begin, end);
        const std::uint8_t* at = packets.data + begin * stride + byte;
        for (std::size_t p = begin; p < fast; ++p, at += stride) {
            std::uint64_t word;
            std::memcpy(&word, at, 8);
            T v;
            if (!decode((core::bswap64(word) >> shift) & mask, v)) [[unlikely]]
                return p;
            out[p] = v;
        }
        for (std::size_t p = fast; p < end; ++p) {
            T v;
            if (!general(p, v)) [[unlikely]]
                return p;
            out[p] = v;
        }
        return end;
    }
    for (std::size_t p = begin; p < end; ++p) {
        if (p + kPrefetchAhead < end && packets.offsets[p + kPrefetchAhead] + byte < packets.size)
            core::prefetch(packets.data + packets.offsets[p + kPrefetchAhead] + byte);
        T v;
        const std::uint64_t offset = packets.offsets[p];
        if (quick && offset <= last) [[likely]] {
            std::uint64_t word;
            std::memcpy(&word, packets.data + offset + byte, 8);
            if (!decode((core::bswap64(word) >> shift) & mask, v)) [[unlikely]]
                return p;
        } else if (!general(p, v)) [[unlikely]] {
            return p;
        }
        out[p] = v;
    }
    return end;
}

// A decoder that cannot fail: v = f(raw).
template <class T, class F>
auto infallible(F f) {
    return [f](std::uint64_t raw, T& v) {
        v = static_cast<T>(f(raw));
        return true;
    };
}

// Call run(decode) with the decoder of the field's codec for elements of type T.
template <class T, class Run>
std::size_t with_decoder(const core::FieldSpec& fld, Run run) noexcept {
    const std::uint32_t bits = fld.bits;
    switch (fld.row->codec) {
        case Codec::Unsigned:
            if constexpr (std::is_unsigned_v<T>) {
                return run(infallible<T>([](std::uint64_t raw) { return raw; }));
            }
            break;
        case Codec::TwosComplement:
            if constexpr (kSignedInt<T>) {
                const unsigned shift = bits == 0 || bits >= 64 ? 0 : 64 - bits;
                return run(infallible<T>(
                    [shift](std::uint64_t raw) { return twos_complement(raw, shift); }));
            }
            break;
        case Codec::OnesComplement:
            if constexpr (kSignedInt<T>) {
                return run(infallible<T>(
                    [bits](std::uint64_t raw) { return ones_complement(raw, bits); }));
            }
            break;
        case Codec::SignMagnitude:
            if constexpr (kSignedInt<T>) {
                return run(
                    infallible<T>([bits](std::uint64_t raw) { return sign_magnitude(raw, bits); }));
            }
            break;
        case Codec::F16:
            if constexpr (std::is_same_v<T, float>) {
                return run(infallible<T>([](std::uint64_t raw) {
                    return core::decode_f16(static_cast<std::uint16_t>(raw));
                }));
            }
            break;
        case Codec::F32:
            if constexpr (std::is_same_v<T, double>) {
                return run(infallible<T>([](std::uint64_t raw) {
                    return f32_to_double(static_cast<std::uint32_t>(raw));
                }));
            } else if constexpr (std::is_same_v<T, float>) {
                return run(infallible<T>(
                    [](std::uint64_t raw) { return f32_image(static_cast<std::uint32_t>(raw)); }));
            }
            break;
        case Codec::F64:
            if constexpr (std::is_same_v<T, double>) {
                return run(infallible<T>([](std::uint64_t raw) { return core::decode_f64(raw); }));
            }
            break;
        default: break;
    }
    // BCD, f16 into float64 and the rest: the general decoder. (A float32
    // column is of a binary16 or binary32 field, decoded above.)
    return run([&fld](std::uint64_t raw, T& v) {
        NumericValue d;
        if (!decode_numeric(fld, raw, d)) return false;
        if constexpr (std::is_floating_point_v<T>) {
            v = static_cast<T>(d.d);
        } else if constexpr (std::is_signed_v<T>) {
            v = static_cast<T>(d.i);
        } else {
            v = static_cast<T>(d.u);
        }
        return true;
    });
}

// Call body(T{}) with the element type of a numeric kind.
template <class Body>
std::size_t with_type(ColumnKind kind, Body body) noexcept {
    switch (kind) {
        case ColumnKind::U8: return body(std::uint8_t{});
        case ColumnKind::U16: return body(std::uint16_t{});
        case ColumnKind::U32: return body(std::uint32_t{});
        case ColumnKind::U64: return body(std::uint64_t{});
        case ColumnKind::I8: return body(std::int8_t{});
        case ColumnKind::I16: return body(std::int16_t{});
        case ColumnKind::I32: return body(std::int32_t{});
        case ColumnKind::I64: return body(std::int64_t{});
        case ColumnKind::F64: return body(double{});
        case ColumnKind::F32: return body(float{});
        case ColumnKind::Text: break;
    }
    return 0;
}

// A field read on its own, packet by packet (column_loop).
std::size_t column_dispatch(ColumnKind kind, const PacketSet& packets, std::size_t begin,
                            std::size_t end, std::uint64_t at, const core::FieldSpec& fld,
                            std::uint8_t* c) noexcept {
    if (kind == ColumnKind::Text) return end;
    return with_type(kind, [&](auto tag) {
        using T = decltype(tag);
        return with_decoder<T>(fld, [&](auto decode) {
            return column_loop<T>(packets, begin, end, at, fld, c, decode);
        });
    });
}

// ---- Fields specialised for their place and encoding -----------------------
//
// A field of the commonest encodings (unsigned, two's complement, binary32,
// binary64) of 1 to 64 bits is read by a loop made for it when the call's
// plan is made: a template instance per load width (1, 2, 4 or 8 bytes from
// the field's first byte, or 8 and one more for a field spread over nine),
// per shape (the load itself, big- or little-endian, where the field fills
// it; a shift and a mask of a big-endian load, or the shift alone where the
// field starts at the load's first bit, or the mask alone where it ends at
// its last; or the shift and mask followed by the little-endian byte swap
// and the bit mirror as the field asks), per element
// type, and per packet framing (fixed size or offsets). Each returns exactly
// what field_raw_value and the field's decoder return.

enum class Shape : std::uint8_t { BigExact, LittleExact, Shifted, Top, Bottom, Other };
enum class Dec : std::uint8_t { Unsigned, Twos, F16, F32, F64 };

// The per-field constants of a specialised loop.
struct FieldRun;
using RunLoop = std::size_t (*)(const FieldRun&, const PacketSet&, std::size_t,
                                std::size_t) noexcept;
struct FieldRun {
    RunLoop loop = nullptr;
    std::size_t field = 0;
    std::uint64_t start = 0;  // bit of the packet
    std::uint64_t byte = 0;   // start / 8
    unsigned shift = 0;       // right shift of the load that brings the field to bit 0
    unsigned skip = 0;        // start % 8
    std::uint32_t bits = 0;
    std::uint64_t mask = 0;
    bool little = false;
    bool reverse = false;
    std::uint8_t* column = nullptr;
    // Fixed-size packets: those before this one have the load's bytes inside the data.
    std::size_t fast = 0;
};

inline std::uint16_t bswap16(std::uint16_t v) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap16(v);
#else
    return static_cast<std::uint16_t>((v >> 8) | (v << 8));
#endif
}

template <unsigned L>
inline std::uint64_t load_big(const std::uint8_t* q) noexcept {
    if constexpr (L == 1) {
        return q[0];
    } else if constexpr (L == 2) {
        std::uint16_t v;
        std::memcpy(&v, q, 2);
        return bswap16(v);
    } else if constexpr (L == 4) {
        std::uint32_t v;
        std::memcpy(&v, q, 4);
        return core::bswap32(v);
    } else {
        std::uint64_t v;
        std::memcpy(&v, q, 8);
        return core::bswap64(v);
    }
}

template <unsigned L>
inline std::uint64_t load_little(const std::uint8_t* q) noexcept {
    if constexpr (L == 1) {
        return q[0];
    } else if constexpr (L == 2) {
        std::uint16_t v;
        std::memcpy(&v, q, 2);
        if constexpr (std::endian::native == std::endian::big) v = bswap16(v);
        return v;
    } else if constexpr (L == 4) {
        std::uint32_t v;
        std::memcpy(&v, q, 4);
        if constexpr (std::endian::native == std::endian::big) v = core::bswap32(v);
        return v;
    } else {
        std::uint64_t v;
        std::memcpy(&v, q, 8);
        if constexpr (std::endian::native == std::endian::big) v = core::bswap64(v);
        return v;
    }
}

// The raw value of the field whose first byte is q (L bytes readable there).
template <unsigned L, Shape S>
inline std::uint64_t run_raw(const FieldRun& r, const std::uint8_t* q) noexcept {
    if constexpr (S == Shape::BigExact) {
        return load_big<L>(q);
    } else if constexpr (S == Shape::LittleExact) {
        return load_little<L>(q);
    } else {
        std::uint64_t raw;
        if constexpr (L == 9) {
            // Spread over nine bytes (skip >= 1): the 64 bits from the
            // field's first bit, then its `bits` high ones.
            const std::uint64_t v = (load_big<8>(q) << r.skip) | (q[8] >> (8 - r.skip));
            raw = v >> r.shift;
        } else if constexpr (S == Shape::Top) {
            raw = load_big<L>(q) >> r.shift;  // no bits above the field's
        } else if constexpr (S == Shape::Bottom) {
            raw = load_big<L>(q) & r.mask;  // shift 0
        } else {
            raw = (load_big<L>(q) >> r.shift) & r.mask;
        }
        if constexpr (S == Shape::Other) {
            if (r.little) raw = (core::bswap64(raw) >> (64 - 8 * ((r.bits + 7) / 8))) & r.mask;
            if (r.reverse) raw = core::mirror_bits(raw, r.bits);
        }
        return raw;
    }
}

template <class T, Dec D, unsigned L, Shape S>
inline T run_value(const FieldRun& r, std::uint64_t raw) noexcept {
    if constexpr (D == Dec::Unsigned) {
        return static_cast<T>(raw);
    } else if constexpr (D == Dec::Twos) {
        if constexpr (S == Shape::BigExact || S == Shape::LittleExact) {
            // The field fills the load: its sign bit is the load's top bit.
            constexpr unsigned kShift = 64 - 8 * L;
            return static_cast<T>(static_cast<std::int64_t>(raw << kShift) >> kShift);
        } else {
            const unsigned shift = 64 - r.bits;  // bits is 1..64
            return static_cast<T>(static_cast<std::int64_t>(raw << shift) >> shift);
        }
    } else if constexpr (D == Dec::F16) {
        static_assert(std::is_same_v<T, float>, "binary16 has a loop into float32 columns only");
        return core::decode_f16(static_cast<std::uint16_t>(raw));
    } else if constexpr (D == Dec::F32 && std::is_same_v<T, float>) {
        return f32_image(static_cast<std::uint32_t>(raw));
    } else if constexpr (D == Dec::F32) {
        const auto image = static_cast<std::uint32_t>(raw);
#if defined(__x86_64__) || defined(_M_X64)
        // SSE2's widening keeps a NaN's sign and payload and sets its quiet
        // bit, which is what f32_to_double gives.
        return static_cast<double>(std::bit_cast<float>(image));
#else
        return f32_to_double(image);
#endif
    } else {
        return core::decode_f64(raw);
    }
}

// The loop: packets [begin, end) whose L bytes from the field's first byte
// lie inside the data take the specialised reading, the rest (near the end
// of the data) the general one. The decoders here cannot fail: returns end.
template <class T, Dec D, unsigned L, Shape S, bool Fixed>
std::size_t run_loop(const FieldRun& field, const PacketSet& packets, std::size_t begin,
                     std::size_t end) noexcept {
    // A copy of the constants that the column's stores cannot alias, so
    // that they stay in registers.
    const FieldRun r = field;
    T* const out = reinterpret_cast<T*>(r.column);
    const std::size_t size = packets.size;
    const bool any = size >= r.byte + L;
    // Packets whose offset is at most `last` have L bytes at `byte` inside the data.
    const std::uint64_t last = any ? size - r.byte - L : 0;
    auto general = [&](std::size_t p) {
        const std::uint64_t raw = core::field_raw_value(packets.packet(p), packets.length(p),
                                                        r.start, r.bits, r.little, r.reverse);
        if constexpr (D == Dec::F32 && std::is_same_v<T, double>) {
            out[p] = f32_to_double(static_cast<std::uint32_t>(raw));
        } else if constexpr (D == Dec::Twos) {
            out[p] = static_cast<T>(twos_complement(raw, 64 - r.bits));
        } else {
            out[p] = run_value<T, D, L, Shape::Other>(r, raw);
        }
    };
    if constexpr (Fixed) {
        const std::size_t stride = packets.packet_bytes;
        const std::size_t fast = std::clamp(r.fast, begin, end);
        const std::uint8_t* q = packets.data + begin * stride + r.byte;
        std::size_t p = begin;
        // Eight packets a turn: the loop's own counting shared by eight reads.
        constexpr std::size_t kTurn = 8;
        for (; p + kTurn <= fast; p += kTurn, q += kTurn * stride) {
            const std::uint8_t* at = q;
            for (std::size_t i = 0; i < kTurn; ++i, at += stride)
                out[p + i] = run_value<T, D, L, S>(r, run_raw<L, S>(r, at));
        }
        for (; p < fast; ++p, q += stride) out[p] = run_value<T, D, L, S>(r, run_raw<L, S>(r, q));
        for (; p < end; ++p) general(p);
    } else {
        for (std::size_t p = begin; p < end; ++p) {
            if (p + kPrefetchAhead < end && packets.offsets[p + kPrefetchAhead] + r.byte < size)
                core::prefetch(packets.data + packets.offsets[p + kPrefetchAhead] + r.byte);
            const std::uint64_t offset = packets.offsets[p];
            if (any && offset <= last) [[likely]] {
                out[p] = run_value<T, D, L, S>(r, run_raw<L, S>(r, packets.data + offset + r.byte));
            } else {
                general(p);
            }
        }
    }
    return end;
}

// The loop of a field for its element type T and decoder D, by load width
// and shape; nullptr for combinations no field of that type takes.
template <class T, Dec D>
RunLoop pick_loop(unsigned width, Shape shape, bool fixed) noexcept {
    auto by_shape = [&]<unsigned L>() -> RunLoop {
        // Which load widths a field of type T can take (the span of its widths).
        constexpr bool kTakes = D == Dec::F16 || D == Dec::F32 || D == Dec::F64 ||
                                (sizeof(T) == 1   ? L <= 2
                                 : sizeof(T) == 2 ? L == 2 || L == 4
                                 : sizeof(T) == 4 ? L == 4 || L == 8
                                                  : L >= 8);
        if constexpr (!kTakes) {
            return nullptr;
        } else {
            auto with = [&]<Shape S>() -> RunLoop {
                return fixed ? &run_loop<T, D, L, S, true> : &run_loop<T, D, L, S, false>;
            };
            constexpr bool kExact = L != 9 && (D == Dec::F16   ? L == 2
                                               : D == Dec::F32 ? L == 4
                                               : D == Dec::F64 ? L == 8
                                                               : L == sizeof(T));
            switch (shape) {
                case Shape::BigExact:
                    if constexpr (kExact) return with.template operator()<Shape::BigExact>();
                    return nullptr;
                case Shape::LittleExact:
                    if constexpr (kExact) return with.template operator()<Shape::LittleExact>();
                    return nullptr;
                case Shape::Shifted: return with.template operator()<Shape::Shifted>();
                case Shape::Top:
                    if constexpr (L != 9) return with.template operator()<Shape::Top>();
                    return nullptr;
                case Shape::Bottom:
                    if constexpr (L != 9) return with.template operator()<Shape::Bottom>();
                    return nullptr;
                case Shape::Other: return with.template operator()<Shape::Other>();
            }
            return nullptr;
        }
    };
    switch (width) {
        case 1: return by_shape.template operator()<1>();
        case 2: return by_shape.template operator()<2>();
        case 4: return by_shape.template operator()<4>();
        case 8: return by_shape.template operator()<8>();
        case 9: return by_shape.template operator()<9>();
        default: return nullptr;
    }
}

// The specialised loop of a field at bit `start`, with its constants; loop
// nullptr where the field has none (other encodings, 0 or more than 64 bits).
FieldRun plan_field(const core::FieldSpec& fld, ColumnKind kind, std::uint64_t start,
                    const PacketSet& packets) noexcept {
    const bool fixed = packets.offsets == nullptr;
    FieldRun r;
    if (fld.bits < 1 || fld.bits > 64 || fld.row == nullptr) return r;
    r.start = start;
    r.byte = start / 8;
    r.skip = static_cast<unsigned>(start % 8);
    r.bits = fld.bits;
    r.mask = core::low_bits_mask(fld.bits);
    r.little = fld.little;
    r.reverse = fld.reverse;
    const unsigned span = (r.skip + fld.bits + 7) / 8;
    const unsigned width = span == 1 ? 1 : span == 2 ? 2 : span <= 4 ? 4 : span <= 8 ? 8 : 9;
    r.shift = width == 9 ? 64 - fld.bits : 8 * width - r.skip - fld.bits;
    const bool fills = r.skip == 0 && fld.bits == 8 * width;
    if (fixed && packets.packet_bytes != 0 && packets.size >= r.byte + width) {
        const std::uint64_t last = packets.size - r.byte - width;
        r.fast = static_cast<std::size_t>(
            std::min<std::uint64_t>(last / packets.packet_bytes + 1, packets.count));
    }
    Shape shape = Shape::Other;
    if (!fld.reverse && fills) {
        shape = fld.little ? Shape::LittleExact : Shape::BigExact;
    } else if (!fld.reverse && (!fld.little || fld.bits <= 8)) {
        // Big-endian, or one byte, whose byte order changes nothing.
        shape = width == 9     ? Shape::Shifted
                : r.skip == 0  ? Shape::Top
                : r.shift == 0 ? Shape::Bottom
                               : Shape::Shifted;
    }
    switch (fld.row->codec) {
        case Codec::Unsigned:
            switch (kind) {
                case ColumnKind::U8:
                    r.loop = pick_loop<std::uint8_t, Dec::Unsigned>(width, shape, fixed);
                    break;
                case ColumnKind::U16:
                    r.loop = pick_loop<std::uint16_t, Dec::Unsigned>(width, shape, fixed);
                    break;
                case ColumnKind::U32:
                    r.loop = pick_loop<std::uint32_t, Dec::Unsigned>(width, shape, fixed);
                    break;
                case ColumnKind::U64:
                    r.loop = pick_loop<std::uint64_t, Dec::Unsigned>(width, shape, fixed);
                    break;
                default: break;
            }
            break;
        case Codec::TwosComplement:
            switch (kind) {
                case ColumnKind::I8:
                    r.loop = pick_loop<std::int8_t, Dec::Twos>(width, shape, fixed);
                    break;
                case ColumnKind::I16:
                    r.loop = pick_loop<std::int16_t, Dec::Twos>(width, shape, fixed);
                    break;
                case ColumnKind::I32:
                    r.loop = pick_loop<std::int32_t, Dec::Twos>(width, shape, fixed);
                    break;
                case ColumnKind::I64:
                    r.loop = pick_loop<std::int64_t, Dec::Twos>(width, shape, fixed);
                    break;
                default: break;
            }
            break;
        case Codec::F16:
            if (kind == ColumnKind::F32) r.loop = pick_loop<float, Dec::F16>(width, shape, fixed);
            break;
        case Codec::F32:
            if (kind == ColumnKind::F64) r.loop = pick_loop<double, Dec::F32>(width, shape, fixed);
            if (kind == ColumnKind::F32) r.loop = pick_loop<float, Dec::F32>(width, shape, fixed);
            break;
        case Codec::F64:
            if (kind == ColumnKind::F64) r.loop = pick_loop<double, Dec::F64>(width, shape, fixed);
            break;
        default: break;
    }
    return r;
}

// One field over rows [begin, end) from their windows (words): returns
// the first packet whose value fails to decode, or `end`.
std::size_t column_from_words(ColumnKind kind, const std::uint64_t* words, std::size_t begin,
                              std::size_t end, unsigned shift, const core::FieldSpec& fld,
                              std::uint8_t* column) noexcept {
    const std::uint64_t mask = core::low_bits_mask(fld.bits);
    return with_type(kind, [&](auto tag) {
        using T = decltype(tag);
        T* out = reinterpret_cast<T*>(column) + begin;
        return with_decoder<T>(fld, [&](auto decode) {
            const std::size_t n = end - begin;
            for (std::size_t i = 0; i < n; ++i) {
                T v;
                if (!decode((words[i] >> shift) & mask, v)) [[unlikely]]
                    return begin + i;
                out[i] = v;
            }
            return end;
        });
    });
}

std::vector<std::uint64_t> field_starts(std::span<const core::FieldSpec> fields,
                                        std::uint64_t base) {
    std::vector<std::uint64_t> starts(fields.size());
    std::uint64_t position = base;
    for (std::size_t j = 0; j < fields.size(); ++j) {
        starts[j] = core::field_start(fields[j], base, position);
        position = starts[j] + fields[j].bits;
    }
    return starts;
}

// One field of the instances of every packet (decode_repeated_columns): a
// big-endian field of at most 57 bits (no reversal) is one unaligned 8-byte
// load, a shift and a mask wherever those 8 bytes lie inside the data, every
// other one the general reading. Returns the first row that fails, or the
// row count.
template <class T, class Decode>
std::size_t repeated_loop(const PacketSet& packets, const std::uint64_t* starts,
                          const std::uint64_t* counts, std::uint64_t stride, std::uint64_t rel,
                          const core::FieldSpec& fld, std::uint8_t* column,
                          Decode decode) noexcept {
    const bool quick = !fld.little && !fld.reverse && fld.bits >= 1 && fld.bits <= 57;
    const std::uint64_t mask = core::low_bits_mask(fld.bits);
    const unsigned width = std::min(fld.bits, 57U);
    T* out = reinterpret_cast<T*>(column);
    std::size_t row = 0;
    for (std::size_t p = 0; p < packets.count; ++p) {
        const std::uint8_t* packet = packets.packet(p);
        const std::size_t len = packets.length(p);
        const auto offset = static_cast<std::uint64_t>(packet - packets.data);
        std::uint64_t pos = starts[p] + rel;
        for (std::uint64_t k = 0; k < counts[p]; ++k, pos += stride, ++row) {
            std::uint64_t raw;
            const std::uint64_t byte = offset + pos / 8;
            if (quick && packets.size >= 8 && byte <= packets.size - 8) [[likely]] {
                std::uint64_t word;
                std::memcpy(&word, packets.data + byte, 8);
                raw = (core::bswap64(word) >> (64 - pos % 8 - width)) & mask;
            } else {
                raw = core::field_raw_value(packet, len, pos, fld.bits, fld.little, fld.reverse);
            }
            T v;
            if (!decode(raw, v)) [[unlikely]]
                return row;
            out[row] = v;
        }
    }
    return row;
}

// The window of the instance at bit `pos` of the data: its 8 bytes from the
// instance's first byte as a big-endian number, shifted so that the instance
// starts at the top bit. Bytes past the end of the data read as zero: every
// field of the instance lies inside its packet, so none takes bits there.
inline std::uint64_t window_at(const std::uint8_t* data, std::size_t size,
                               std::uint64_t pos) noexcept {
    const std::uint64_t byte = pos / 8;
    std::uint8_t b[8] = {};
    if (byte < size) std::memcpy(b, data + byte, std::min<std::uint64_t>(8, size - byte));
    std::uint64_t word;
    std::memcpy(&word, b, 8);
    return core::bswap64(word) << (pos % 8);
}

// decode_repeated_columns for instances that fit one window each, in blocks
// of instances whose windows are loaded first, then each field's column. The
// windows of one packet are loaded in runs: where the run's last window lies
// inside the data, so do all before it, and the loop has no bounds test.
ColumnFault windowed_instances(std::span<const core::FieldSpec> fields,
                               std::span<const ColumnKind> kinds,
                               std::span<std::uint8_t* const> columns, const PacketSet& packets,
                               const std::uint64_t* starts, const std::uint64_t* counts,
                               std::uint64_t stride, const std::vector<std::uint64_t>& rel,
                               std::size_t total, std::int64_t* owners,
                               std::int64_t owner_base) noexcept {
    constexpr std::size_t kBlock = 1024;
    std::uint64_t words[kBlock];
    std::vector<std::size_t> failed_at(fields.size());
    const std::uint8_t* const data = packets.data;
    const std::size_t size = packets.size;
    // The last bit position whose window lies wholly inside the data.
    const bool any = size >= 8;
    const std::uint64_t last_fast = any ? (static_cast<std::uint64_t>(size - 8) * 8 + 7) : 0;
    std::size_t p = 0;
    std::uint64_t k = 0;
    std::size_t row = 0;
    while (row < total) {
        const std::size_t begin = row;
        std::size_t n = 0;
        while (n < kBlock && p < packets.count) {
            if (k >= counts[p]) {
                ++p;
                k = 0;
                continue;
            }
            const std::size_t take = static_cast<std::size_t>(
                std::min<std::uint64_t>(counts[p] - k, kBlock - n));
            // Bit positions in the data: the data is a buffer in memory, so
            // its size in bits and every instance's position fit 64 bits.
            const std::uint64_t first = static_cast<std::uint64_t>(packets.packet(p) - data) * 8 +
                                        starts[p] + k * stride;
            const std::uint64_t last = first + (take - 1) * stride;
            std::uint64_t* w = words + n;
            if (any && last <= last_fast) [[likely]] {
                std::uint64_t pos = first;
                for (std::size_t i = 0; i < take; ++i, pos += stride) {
                    std::uint64_t word;
                    std::memcpy(&word, data + pos / 8, 8);
                    w[i] = core::bswap64(word) << (pos % 8);
                }
            } else {
                std::uint64_t pos = first;
                for (std::size_t i = 0; i < take; ++i, pos += stride)
                    w[i] = window_at(data, size, pos);
            }
            if (owners != nullptr) {
                // The packet's number for each of its rows, written while the
                // block's rows are in cache.
                std::fill_n(owners + begin + n, take, owner_base + static_cast<std::int64_t>(p));
            }
            n += take;
            k += take;
        }
        row = begin + n;
        std::ranges::fill(failed_at, row);
        for (std::size_t j = 0; j < fields.size(); ++j) {
            if (kinds[j] == ColumnKind::Text) continue;
            const auto shift = static_cast<unsigned>(64 - rel[j] - fields[j].bits);
            failed_at[j] = column_from_words(kinds[j], words, begin, row, shift, fields[j],
                                             columns[j]);
        }
        const std::size_t failed = *std::ranges::min_element(failed_at);
        if (failed < row) {
            std::size_t j = 0;
            while (failed_at[j] != failed) ++j;
            return {failed, j};
        }
    }
    return {total, 0};
}

}  // namespace

std::vector<std::uint64_t> relative_starts(std::span<const core::FieldSpec> fields) {
    return field_starts(fields, 0);
}

ColumnFault decode_repeated_columns(std::span<const core::FieldSpec> fields,
                                    std::span<const ColumnKind> kinds,
                                    std::span<std::uint8_t* const> columns,
                                    const PacketSet& packets, const std::uint64_t* starts,
                                    const std::uint64_t* counts, std::uint64_t stride,
                                    std::int64_t* owners, std::int64_t owner_base) noexcept {
    std::size_t total = 0;
    for (std::size_t p = 0; p < packets.count; ++p) total += counts[p];
    ColumnFault first{total, 0};
    const std::vector<std::uint64_t> rel = field_starts(fields, 0);
    // An instance whose numeric fields are all big-endian, not reversed, and
    // end within 57 bits of its start lies in the 8 bytes from its first
    // byte: each instance's window is loaded once and shifted so that the
    // instance starts at its top bit, and every field is a fixed shift and a
    // mask of it.
    bool windowed = true;
    for (std::size_t j = 0; j < fields.size(); ++j) {
        if (kinds[j] == ColumnKind::Text) continue;
        const core::FieldSpec& fld = fields[j];
        if (fld.little || fld.reverse || fld.bits == 0 || rel[j] + fld.bits > 57) windowed = false;
    }
    if (windowed && total != 0)
        return windowed_instances(fields, kinds, columns, packets, starts, counts, stride, rel,
                                  total, owners, owner_base);
    if (owners != nullptr) {
        std::int64_t* out = owners;
        for (std::size_t p = 0; p < packets.count; ++p) {
            out = std::fill_n(out, counts[p], owner_base + static_cast<std::int64_t>(p));
        }
    }
    for (std::size_t j = 0; j < fields.size(); ++j) {
        if (kinds[j] == ColumnKind::Text) continue;
        const std::size_t failed = with_type(kinds[j], [&](auto tag) {
            using T = decltype(tag);
            return with_decoder<T>(fields[j], [&](auto decode) {
                return repeated_loop<T>(packets, starts, counts, stride, rel[j], fields[j],
                                        columns[j], decode);
            });
        });
        // The earliest row, and at that row the first field in recipe order.
        if (failed < first.packet) first = {failed, j};
    }
    return first;
}

ColumnKind column_kind(const core::FieldSpec& fld) noexcept {
    // The signed codecs return values of `bits` bits (64 at most); BCD digits
    // never exceed the raw value (a digit is at most its nibble or byte), so an
    // unsigned BCD value is below 2^bits and a signed one's magnitude too; the
    // floats decode to a double.
    switch (fld.row->codec) {
        case Codec::Unsigned: return unsigned_kind(fld.bits);
        case Codec::TwosComplement:
        case Codec::OnesComplement:
        case Codec::SignMagnitude: return signed_kind(fld.bits);
        case Codec::PackedBcd:
        case Codec::UnpackedBcd: return fld.bits <= 32 ? unsigned_kind(fld.bits) : ColumnKind::I64;
        case Codec::PackedBcdSigned:
        case Codec::UnpackedBcdSigned: return signed_kind(std::uint64_t{fld.bits} + 1);
        case Codec::Text: return ColumnKind::Text;
        default: return ColumnKind::F64;
    }
}

bool float32_exact(const core::FieldSpec& fld) noexcept {
    return fld.row != nullptr && (fld.row->codec == Codec::F16 || fld.row->codec == Codec::F32);
}

std::size_t column_item_size(ColumnKind kind) noexcept {
    return kind == ColumnKind::Text ? 0 : kSizes[static_cast<std::size_t>(kind)];
}

const char* column_dtype(ColumnKind kind) noexcept {
    return kind == ColumnKind::Text ? nullptr : kDtypes[static_cast<std::size_t>(kind)];
}

// The plan of the fields' loops and the blocked loop over packets stay in
// one function: they share the per-field state of a block.
// NOLINTNEXTLINE(readability-function-cognitive-complexity)
ColumnFault decode_numeric_columns(std::span<const core::FieldSpec> fields,
                                   std::span<const ColumnKind> kinds,
                                   std::span<std::uint8_t* const> columns, const PacketSet& packets,
                                   std::uint64_t base) noexcept {
    const std::size_t nfields = fields.size();
    // An empty recipe decodes every packet into nothing.
    if (nfields == 0) return {packets.count, 0};
    // Every field starts at the same bit of every packet (a start depends on
    // the widths and offsets alone), so each numeric field is decoded as one
    // column over the packets long enough to hold all fields; the first
    // shorter packet is where a bounds fault lies.
    const std::vector<std::uint64_t> starts = field_starts(fields, base);
    auto fits = [&](std::size_t len) {
        for (std::size_t j = 0; j < nfields; ++j) {
            if (!core::field_in_packet(starts[j], fields[j].bits, len)) return false;
        }
        return true;
    };
    std::size_t count = packets.count;
    if (packets.lengths == nullptr) {
        if (count != 0 && !fits(packets.packet_bytes)) count = 0;
    } else {
        // The shortest length that holds every field, found from the lengths seen.
        std::uint64_t enough = ~std::uint64_t{0};
        for (std::size_t p = 0; p < count; ++p) {
            const std::uint64_t len = packets.lengths[p];
            if (len >= enough) continue;
            if (!fits(len)) {
                count = p;
                break;
            }
            enough = len;
        }
    }
    // Each numeric field's specialised loop, or (other encodings and widths)
    // the general column loop.
    std::vector<FieldRun> runs;
    std::vector<std::size_t> alone;
    for (std::size_t j = 0; j < nfields; ++j) {
        if (kinds[j] == ColumnKind::Text) continue;
        FieldRun r = plan_field(fields[j], kinds[j], starts[j], packets);
        if (r.loop == nullptr) {
            alone.push_back(j);
            continue;
        }
        r.field = j;
        r.column = columns[j];
        runs.push_back(r);
    }

    // Blocks of packets small enough to stay in cache while every field of
    // theirs is decoded; the first block with a fault ends the decoding.
    constexpr std::size_t kBlock = 512;
    std::vector<std::size_t> failed_at(nfields);
    for (std::size_t begin = 0; begin < count; begin += kBlock) {
        const std::size_t end = std::min(count, begin + kBlock);
        std::ranges::fill(failed_at, end);
        // The specialised loops' decoders cannot fail.
        for (const FieldRun& r : runs) r.loop(r, packets, begin, end);
        for (const std::size_t j : alone) {
            failed_at[j] = column_dispatch(kinds[j], packets, begin, end, starts[j], fields[j],
                                           columns[j]);
        }
        const std::size_t failed = *std::ranges::min_element(failed_at);
        if (failed < end) {
            // The first field, in recipe order, that fails at that packet.
            std::size_t j = 0;
            while (failed_at[j] != failed) ++j;
            return {failed, j};
        }
    }
    if (count == packets.count) return {count, 0};
    // Packet `count` has a field outside it: the first field that fails there,
    // by its bounds or (before those) by its decoder.
    const std::uint8_t* packet = packets.packet(count);
    const std::size_t len = packets.length(count);
    for (std::size_t j = 0; j < nfields; ++j) {
        const core::FieldSpec& fld = fields[j];
        if (!core::field_in_packet(starts[j], fld.bits, len)) return {count, j};
        if (kinds[j] == ColumnKind::Text) continue;
        NumericValue v;
        const std::uint64_t raw = core::field_raw_value(packet, len, starts[j], fld.bits,
                                                        fld.little, fld.reverse);
        if (!decode_numeric(fld, raw, v)) return {count, j};
    }
    return {count, nfields};  // not reached: some field lies outside the packet
}

std::optional<core::Error> field_error(std::span<const core::FieldSpec> fields,
                                       const PacketSet& packets, std::uint64_t base,
                                       const ColumnFault& fault) {
    if (fault.packet >= packets.count || fault.field >= fields.size()) return std::nullopt;
    const std::vector<std::uint64_t> starts = field_starts(fields, base);
    const core::FieldSpec& fld = fields[fault.field];
    const std::uint64_t start = starts[fault.field];
    const std::size_t len = packets.length(fault.packet);
    if (auto error = core::check_field_bounds(start, fld.bits, len)) return error;
    if (fld.row->codec == Codec::Text) return std::nullopt;
    const std::uint64_t raw = core::field_raw_value(packets.packet(fault.packet), len, start,
                                                    fld.bits, fld.little, fld.reverse);
    NumericValue v;
    if (decode_numeric(fld, raw, v)) return std::nullopt;
    return core::numeric_decode_error(fld, raw);
}

}  // namespace bitloom::bulk
