// The numeric part of packing whole tables: one column per field into the
// packets of many rows, each what the one-packet packer writes for its row.
// Pure C++ (no Python), so that it runs with the GIL released and links into
// the fuzz targets on its own. Reading the columns and raising errors is the
// caller's (ext/bitloom_bulk/pack_columns.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "core/prepared_field.hpp"

namespace bitloom::bulk {

inline constexpr std::size_t kNoRow = std::numeric_limits<std::size_t>::max();

// The element type of a numeric column.
enum class PackSource : std::uint8_t { I8, I16, I32, I64, U8, U16, U32, U64, F16, F32, F64, None };

// How a field's values are encoded: the quick routes of the packet paths, the
// general encoder, text encoded beforehand, an encoding the packer refuses,
// or no column at all (the field's bits are left zero for the caller).
// Fits: an unsigned or two's complement field wide enough for every value of
// its column's element type, which needs no check.
enum class PackOp : std::uint8_t {
    Unsigned,
    Twos,
    Fits,
    F32,
    F64,
    General,
    Text,
    Refused,
    Skipped
};

// A value read from a column, kept for the error of the row that failed.
struct PackHeld {
    bool is_float = false;
    bool is_signed = false;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    double d = 0.0;
};

// One field with the column its values come from.
struct PackPlan {
    const core::FieldSpec* fld = nullptr;
    std::uint64_t start = 0;  // the field's first bit in the packet
    PackOp op = PackOp::General;
    PackSource src = PackSource::None;
    bool word = false;  // placed by one 8-byte read-modify-write at byte `at` of the packet
    std::uint32_t at = 0;
    unsigned tail = 0;   // the bits after the field in that word
    bool alone = false;  // no field before it shares a bit with it
    // Fused: placed with the fields next to it in one 8-byte word at byte `at`
    // (`tail` counted from that word's end), gathered row by row in `acc`.
    bool fused = false;
    std::uint64_t* acc = nullptr;
    const std::uint8_t* base = nullptr;
    std::ptrdiff_t stride = 0;
    std::vector<std::uint8_t> native;  // a copy of a column in the other byte order
    std::string images;                // text: each row's encoded bytes, one after another
    std::vector<std::size_t> ends;     // text: where each row's bytes end in `images`
    std::size_t fail = kNoRow;         // the first row whose value fails (text, refused)
    PackHeld held;                     // what that row held (numeric)
};

// Is `src` an integer element type?
constexpr bool integer_source(PackSource src) noexcept { return src < PackSource::F16; }

// The op and the placement of a numeric field whose column has elements of
// `item_size` bytes (p.fld, p.start, p.src set; the caller has checked that
// the field's value rule takes that element type).
void plan_numeric(PackPlan& p, std::size_t item_size) noexcept;

// Copy `rows` elements of `width` bytes lying `stride` bytes apart into
// p.native with their bytes reversed, and read the column from there.
void plan_swapped(PackPlan& p, const std::uint8_t* base, std::ptrdiff_t stride, std::size_t rows,
                  std::size_t width);

// Called for each packet once its fields are placed, before it is copied out
// (`packet` holds its bytes, room for 8 more after them); false: the row fails.
using PackRowHook = bool (*)(void* context, std::uint8_t* packet, std::size_t row) noexcept;

// The first row that failed and its field (plans.size() for the hook), or
// {kNoRow, 0}.
struct PackFault {
    std::size_t row = kNoRow;
    std::size_t field = 0;
};

// Pack rows [0, rows) of the plans into packets of `packet_bytes` bytes: row r
// at data + offsets[r] (offsets null: at data + r * packet_bytes), every packet
// inside data[0:size]. Blocks of rows are packed field by field; the first
// block with a failing row ends the pass (the packets of that block and later
// ones may or may not be written). With `offsets`, each packet's bytes are
// written exactly; without, whole words may spill into the next row's bytes
// (written after them) but never past `size`.
PackFault pack_rows(std::span<PackPlan> plans, std::size_t rows, std::size_t packet_bytes,
                    std::uint8_t* data, std::size_t size, const std::uint64_t* offsets,
                    PackRowHook hook = nullptr, void* context = nullptr);

}  // namespace bitloom::bulk
