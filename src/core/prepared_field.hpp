// A prepared field: one recipe item read once into a plain record, which the
// packet paths execute without looking at Python objects again.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "core/encodings.hpp"

namespace bitloom::core {

struct FieldSpec {
    const EncodingRow* row = nullptr;  // the encoding's row (its lower-cased name found)
    std::uint32_t bits = 0;
    std::uint32_t offset = 0;  // meaningful when has_offset
    bool has_offset = false;
    bool little = false;   // byte order "little"
    bool reverse = false;  // reverse_bits
};

// Where a field starts. Unpacking: `base` is the call's offset_bits argument
// and `position` the running position; packing passes base 0.
constexpr std::uint64_t field_start(const FieldSpec& fld, std::uint64_t base,
                                    std::uint64_t position) noexcept {
    return fld.has_offset ? base + fld.offset : position;
}

// The packer's sizing rule: the largest end of any field, each field without
// an offset starting at the largest end so far.
constexpr std::uint64_t packet_bits_of(std::span<const FieldSpec> specs) noexcept {
    std::uint64_t largest = 0;
    for (const FieldSpec& fld : specs) {
        const std::uint64_t start = fld.has_offset ? fld.offset : largest;
        largest = std::max(largest, start + fld.bits);
    }
    return largest;
}

}  // namespace bitloom::core
