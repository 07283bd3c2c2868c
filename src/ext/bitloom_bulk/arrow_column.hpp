// Text columns in Arrow's string layout (utf8: int32 offsets and UTF-8 bytes;
// large_utf8: int64 offsets) and byte columns in its binary layout (binary,
// large_binary: the same buffers, any bytes) or its binary_view layout (a
// 16-byte view per value into data buffers that may be the caller's input),
// filled from C++ without a Python object per value, and the Python type
// ArrowColumn that owns them and exports them through the Arrow PyCapsule
// interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

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

    // A binary_view column (binary is set, data is null, offsets holds the
    // `length` views of kViewBytes): a value of kViewInline bytes or less is
    // inside its view, a longer one at its view's offset in variadic[index].
    bool views = false;
    std::vector<const std::uint8_t*> variadic;  // the data buffers
    std::vector<std::int64_t> variadic_sizes;   // their sizes (never empty: one 0 at least)
    std::vector<std::uint8_t*> owned;           // the buffers allocated here
    Py_buffer pinned{};                         // the caller's input the views point into
    bool has_pinned = false;

    TextBuffers() = default;
    TextBuffers(const TextBuffers&) = delete;
    TextBuffers& operator=(const TextBuffers&) = delete;
    ~TextBuffers();

    std::size_t offset(std::size_t i) const noexcept;
    // Where value i starts, and its size in bytes (any layout).
    const std::uint8_t* value(std::size_t i, std::size_t& size) const noexcept;
    // The Arrow format string: "u", "U", "z", "Z" or "vz".
    const char* format() const noexcept {
        if (views) return "vz";
        if (binary) return large ? "Z" : "z";
        return large ? "U" : "u";
    }
};

// A view's bytes, and the longest value held inside one.
inline constexpr std::size_t kViewBytes = 16;
inline constexpr std::size_t kViewInline = 12;

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
// A binary_view column of the same values as gather_binary's. With `pin`
// (an export of read-only data, which the column then holds and releases),
// values longer than kViewInline that start on a byte boundary point into
// the data itself; every other long value is copied into buffers the column
// owns. Views point into the data through windows of it that start every
// kViewWindow bytes (int32 offsets reach any value of a window). nullptr with
// the error set (a value over 2 GiB has no view); the views are filled
// without the GIL.
inline constexpr std::size_t kViewWindow = std::size_t{1} << 30;
std::shared_ptr<const TextBuffers> gather_views(const std::uint8_t* data, std::size_t size,
                                                const std::uint64_t* starts,
                                                const std::uint64_t* sizes, std::size_t count,
                                                Py_buffer* pin);
// The buffers of an ArrowColumn, or nullptr when `obj` is not one.
std::shared_ptr<const TextBuffers> arrow_column_buffers(PyObject* obj);

}  // namespace bitloom::bulk
