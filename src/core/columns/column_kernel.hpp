// The numeric part of column decoding: many packets into one typed column per
// numeric field, with the field semantics of the one-packet unpacker. Pure
// C++ (no Python), so that it runs with the GIL released and links into the
// fuzz targets on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/numeric_field.hpp"
#include "core/prepared_field.hpp"
#include "core/result.hpp"

namespace bitloom::bulk {

// The element type of a column. Text fields have no numeric column.
enum class ColumnKind : std::uint8_t { U8, U16, U32, U64, I8, I16, I32, I64, F64, F32, Text };

// The narrowest kind holding every value the field's decoder returns at its width.
ColumnKind column_kind(const core::FieldSpec& fld) noexcept;
// Whether the field's values fit a float32 column exactly: binary16 and
// binary32 fields, whose every value (a NaN's payload too) is a binary32 value.
bool float32_exact(const core::FieldSpec& fld) noexcept;
// Bytes per element of a numeric kind (0 for Text).
std::size_t column_item_size(ColumnKind kind) noexcept;
// The numpy dtype name of a numeric kind ("uint16", "float64", ...; nullptr for Text).
const char* column_dtype(ColumnKind kind) noexcept;

// The packets of one call: fixed-size (lengths empty, packet_bytes set) or
// at offsets[i] with lengths[i] bytes, every one inside data[0:size].
struct PacketSet {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t count = 0;
    std::uint64_t packet_bytes = 0;
    const std::uint64_t* offsets = nullptr;
    const std::uint64_t* lengths = nullptr;
    const std::uint8_t* packet(std::size_t i) const noexcept {
        return data + (offsets != nullptr ? offsets[i] : i * packet_bytes);
    }
    std::size_t length(std::size_t i) const noexcept {
        return static_cast<std::size_t>(lengths != nullptr ? lengths[i] : packet_bytes);
    }
};

// A decoded numeric value and its decoding, shared with the one-packet paths.
using NumericValue = core::NumericValue;
using core::decode_numeric;

// Where the first faulty packet of a call lies: `packet` (== the packet count
// when there is none) and the first item of that packet, in recipe order,
// that fails: out of the packet, or (numeric fields only) refused by its
// decoder. Text fields are checked for their bounds only.
struct ColumnFault {
    std::size_t packet = 0;
    std::size_t field = 0;
};

// Decode the numeric fields of every packet into columns[j] (column_item_size
// bytes per packet; Text fields are skipped and their column may be null).
// The elements of the packets before the returned fault's packet are all
// written; those of that packet and later ones may or may not be.
ColumnFault decode_numeric_columns(std::span<const core::FieldSpec> fields,
                                   std::span<const ColumnKind> kinds,
                                   std::span<std::uint8_t* const> columns, const PacketSet& packets,
                                   std::uint64_t base) noexcept;

// Decode counts[p] instances of the fields in every packet p, the instance k
// at bit starts[p] + k * stride (the fields' starts counted from it, as in a
// recipe decoded at bit 0), into consecutive rows of columns[j] (packet 0's
// instances first). The caller has checked that every instance lies inside its
// packet. Where `owners` is not null, owners[row] is set to owner_base + p
// for every row of packet p (the rows before a returned fault at least).
// Returns the first row whose value fails to decode (and the first such
// field), or {total rows, 0}.
ColumnFault decode_repeated_columns(std::span<const core::FieldSpec> fields,
                                    std::span<const ColumnKind> kinds,
                                    std::span<std::uint8_t* const> columns,
                                    const PacketSet& packets, const std::uint64_t* starts,
                                    const std::uint64_t* counts, std::uint64_t stride,
                                    std::int64_t* owners = nullptr,
                                    std::int64_t owner_base = 0) noexcept;

// The fields' starts relative to an instance (a recipe decoded at bit 0).
std::vector<std::uint64_t> relative_starts(std::span<const core::FieldSpec> fields);

// The error of a faulty packet's field (as found by decode_numeric_columns):
// its bounds error, or its decoder's. nullopt when that field reads fine.
std::optional<core::Error> field_error(std::span<const core::FieldSpec> fields,
                                       const PacketSet& packets, std::uint64_t base,
                                       const ColumnFault& fault);

}  // namespace bitloom::bulk
