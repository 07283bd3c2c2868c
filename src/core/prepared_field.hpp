// A prepared field: one recipe item read once into a plain record, which the
// packet paths execute without looking at Python objects again.
#pragma once

#include <algorithm>
#include <cstdint>

#include "core/bits.hpp"
#include "core/encodings.hpp"

namespace bitloom::core {

// The executors' quick route for a field, worked out when it is prepared:
// a 1..64-bit field of a known byte order whose value is a plain number of
// one of the commonest encodings. Every other field (and every failure) goes
// the general way; both ways give the same bits and the same objects.
enum class QuickRoute : std::uint8_t { None, Unsigned, TwosComplement, F32, F64 };

struct FieldSpec {
    // The encoding's row (its lower-cased name found); nullptr when the name
    // is none we know. The error is raised by each path at its own point of
    // the check order, so the reading of an item never fails on it.
    const EncodingRow* row = nullptr;
    std::uint32_t bits = 0;
    std::uint32_t offset = 0;  // meaningful when has_offset
    bool has_offset = false;
    bool little = false;                  // byte order "little"
    bool reverse = false;                 // reverse_bits
    bool order_known = true;              // false: the byte order is neither "big" nor "little"
                                          // (raised, like an unknown encoding, at its point)
    QuickRoute route = QuickRoute::None;  // set by prepare_route once the rest is read
    std::uint64_t mask = 0;               // low_bits_mask(bits), set with the route
    bool plain = false;                   // neither little-endian nor reversed, set with the route
};

// The route of an encoding, for fields of a known byte order and 1 to 64 bits.
constexpr QuickRoute codec_route(Codec codec) noexcept {
    switch (codec) {
        case Codec::Unsigned: return QuickRoute::Unsigned;
        case Codec::TwosComplement: return QuickRoute::TwosComplement;
        case Codec::F32: return QuickRoute::F32;
        case Codec::F64: return QuickRoute::F64;
        default: return QuickRoute::None;
    }
}

// The route of a field whose other members are final.
constexpr QuickRoute route_of(const FieldSpec& fld) noexcept {
    if (fld.row == nullptr || !fld.order_known || fld.bits == 0 || fld.bits > 64) {
        return QuickRoute::None;
    }
    return codec_route(fld.row->codec);
}

constexpr void prepare_route(FieldSpec& fld) noexcept {
    fld.route = route_of(fld);
    fld.mask = low_bits_mask(fld.bits);
    fld.plain = !fld.little && !fld.reverse;
}

// The packer's quick route skips the "packer cannot write it" check.
static_assert(std::ranges::all_of(encoding_rows::kRows,
                                  [](const EncodingRow& row) {
                                      return codec_route(row.codec) == QuickRoute::None ||
                                             row.packs;
                                  }),
              "every encoding with a quick route is one the packer writes");

// What executing a prepared field came to. The two unknown-name outcomes
// let each caller raise them with the text as written, at the point of the
// check order where the executor met them.
enum class FieldOutcome : std::uint8_t {
    Done,
    Failed,            // an error is set
    UnknownEncoding,   // row nullptr, or (packing) an encoding the packer cannot write
    UnknownByteOrder,  // order_known false
};

// Where a field starts. Unpacking: `base` is the call's offset_bits argument
// and `position` the running position; packing passes base 0.
constexpr std::uint64_t field_start(const FieldSpec& fld, std::uint64_t base,
                                    std::uint64_t position) noexcept {
    return fld.has_offset ? base + fld.offset : position;
}

// One step of the packer's sizing rule: a field without an offset starts at
// the largest end so far; the result is the largest end including this field.
constexpr std::uint64_t extend_packet_bits(std::uint64_t largest, bool has_offset,
                                           std::uint32_t offset, std::uint32_t bits) noexcept {
    const std::uint64_t start = has_offset ? offset : largest;
    return std::max(largest, start + bits);
}

}  // namespace bitloom::core
