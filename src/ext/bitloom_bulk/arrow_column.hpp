// Text columns in Arrow's string layout (utf8: int32 offsets and UTF-8 bytes;
// large_utf8: int64 offsets) and byte columns in its binary layout (binary,
// large_binary: the same buffers, any bytes), filled from C++ without a Python
// object per value, and the Python type ArrowColumn that owns them and exports
// them through the Arrow PyCapsule interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "binding/ref.hpp"

namespace bitloom::bulk {

// The buffers of a string column: `length` values, value i the UTF-8 bytes
// data[offset(i), offset(i + 1)) (of a binary column: any bytes). Never
// changed once a column holds them; shared by the column object and each
// Arrow export of it (an export may outlive the object and is released from
// any thread).
struct TextBuffers {
    std::size_t length = 0;
    bool large = false;               // offsets of 8 bytes, else of 4
    bool binary = false;              // values are bytes (binary), else str (utf8)
    std::uint8_t* offsets = nullptr;  // length + 1 of them, native byte order
    std::uint8_t* data = nullptr;     // never null (at least one byte allocated)
    std::size_t size = 0;             // bytes of data in use

    TextBuffers() = default;
    TextBuffers(const TextBuffers&) = delete;
    TextBuffers& operator=(const TextBuffers&) = delete;
    ~TextBuffers();

    std::size_t offset(std::size_t i) const noexcept;
    // The Arrow format string: "u", "U", "z" or "Z".
    const char* format() const noexcept {
        if (binary) return large ? "Z" : "z";
        return large ? "U" : "u";
    }
};

// Bytes of data past which a column's offsets are int64 (the last int32 offset).
inline constexpr std::size_t kNarrowDataEnd = 0x7FFFFFFF;

// Builds the buffers of one column value after value, with or without the
// GIL: int32 offsets while the data stay within 2 GiB, widened to int64 once
// they pass it.
class TextColumnWriter {
public:
    // Room for `rows` values of about `bytes_per_row` bytes each (more is
    // taken as needed). False when the memory cannot be had.
    bool start(std::size_t rows, std::size_t bytes_per_row) noexcept;
    // Room for `bound` more bytes after the values written; nullptr when the
    // memory cannot be had.
    std::uint8_t* room(std::size_t bound) noexcept {
        if (bound <= capacity_ - size_) [[likely]]
            return data_ + size_;
        return grow(bound);
    }
    // The next value: the `size` bytes just written at room(). At most the
    // `rows` of start() are pushed. False when the offsets had to widen and
    // the memory could not be had.
    bool push(std::size_t size) noexcept {
        size_ += size;
        ++rows_;
        if (!large_ && size_ <= kNarrowDataEnd) [[likely]] {
            const auto end = static_cast<std::int32_t>(size_);
            std::memcpy(offsets_ + rows_ * sizeof end, &end, sizeof end);
            return true;
        }
        return push_large();
    }
    std::size_t rows() const noexcept { return rows_; }
    // The first `rows` values (no more than pushed) as a column's buffers;
    // the writer is empty afterwards.
    std::shared_ptr<const TextBuffers> finish(std::size_t rows) noexcept;

private:
    std::uint8_t* grow(std::size_t bound) noexcept;
    bool push_large() noexcept;

    std::shared_ptr<TextBuffers> buffers_;
    // The buffers' pointers and size while writing (the buffers get them at finish).
    std::uint8_t* offsets_ = nullptr;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;  // bytes allocated for data
    std::size_t max_rows_ = 0;  // rows the offsets have room for
    std::size_t rows_ = 0;
    bool large_ = false;
};

// The type bitloom_bulk._native.ArrowColumn (created by module initialisation).
bool init_arrow_column_type(PyObject* module);
// A new ArrowColumn over `buffers`; nullptr with the error set.
PyObject* new_arrow_column(std::shared_ptr<const TextBuffers> buffers);
// A binary column of `count` values, value i the sizes[i] bytes from bit
// starts[i] of `data` (any bit: a value starting inside a byte is shifted
// into whole bytes). Every value must lie inside the `size` bytes of data,
// as the caller has checked. The buffers are allocated with the GIL held
// (nullptr with MemoryError set when they cannot be had) and filled without
// it.
std::shared_ptr<const TextBuffers> gather_binary(const std::uint8_t* data,
                                                 const std::uint64_t* starts,
                                                 const std::uint64_t* sizes, std::size_t count);
// The buffers of an ArrowColumn, or nullptr when `obj` is not one.
std::shared_ptr<const TextBuffers> arrow_column_buffers(PyObject* obj);

}  // namespace bitloom::bulk
