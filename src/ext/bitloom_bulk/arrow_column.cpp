#include "ext/bitloom_bulk/arrow_column.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "binding/args.hpp"
#include "binding/buffer.hpp"
#include "core/portable.hpp"
#include "core/text/unicode.hpp"
#include "ext/bitloom_bulk/arrow_export.hpp"
#include "ext/bitloom_bulk/messages.hpp"
#include "ext/bitloom_bulk/unpack_columns.hpp"

namespace bitloom::bulk {

using py::Ref;

// ---- buffers -----------------------------------------------------------------------

namespace {

// Give back the export of the caller's input from any thread: with the GIL
// taken (a thread that holds it already takes it again). After the
// interpreter's end there is nothing to give back to; while it is finishing,
// a thread without the GIL must not take it, and the export is left.
void release_pinned(Py_buffer& view) noexcept {
    if (Py_IsInitialized() == 0) return;
    if (PyGILState_Check() == 0 && py::shim::is_finalizing()) return;
    const PyGILState_STATE state = PyGILState_Ensure();
    PyBuffer_Release(&view);
    PyGILState_Release(state);
}

}  // namespace

TextBuffers::~TextBuffers() {
    std::free(offsets);
    std::free(data);
    for (std::uint8_t* buffer : owned) std::free(buffer);
    if (has_pinned) release_pinned(pinned);
}

const std::uint8_t* TextBuffers::value(std::size_t i, std::size_t& size) const noexcept {
    if (!views) {
        const std::size_t start = offset(i);
        size = offset(i + 1) - start;
        return data + start;
    }
    const std::uint8_t* view = offsets + i * kViewBytes;
    std::int32_t n = 0;
    std::memcpy(&n, view, sizeof n);
    size = static_cast<std::size_t>(n);
    if (size <= kViewInline) return view + 4;
    std::int32_t index = 0;
    std::int32_t at = 0;
    std::memcpy(&index, view + 8, sizeof index);
    std::memcpy(&at, view + 12, sizeof at);
    return variadic[static_cast<std::size_t>(index)] + at;
}

std::size_t TextBuffers::offset(std::size_t i) const noexcept {
    if (large) {
        std::int64_t v = 0;
        std::memcpy(&v, offsets + i * sizeof v, sizeof v);
        return static_cast<std::size_t>(v);
    }
    std::int32_t v = 0;
    std::memcpy(&v, offsets + i * sizeof v, sizeof v);
    return static_cast<std::size_t>(v);
}

namespace {

// Large buffers are asked to be backed by huge pages, as numpy asks for its
// own large arrays (numpy.empty does so for the numeric columns): the first
// write to each 4 KiB page is otherwise a fault. Advice only.
void advise_huge(void* memory, std::size_t size) noexcept {
#ifdef MADV_HUGEPAGE
    constexpr std::size_t kHuge = std::size_t{4} << 20;
    constexpr std::size_t kPage = 4096;
    if (memory == nullptr || size < kHuge) return;
    auto* bytes = static_cast<std::uint8_t*>(memory);
    const std::size_t lead = (kPage - reinterpret_cast<std::uintptr_t>(bytes) % kPage) % kPage;
    const std::size_t length = (size - lead) & ~(kPage - 1);
    if (length != 0) madvise(bytes + lead, length, MADV_HUGEPAGE);
#else
    (void)memory;
    (void)size;
#endif
}

}  // namespace

bool TextColumnWriter::start(std::size_t rows, std::size_t bytes_per_row) noexcept {
    buffers_ = std::shared_ptr<TextBuffers>(new (std::nothrow) TextBuffers,
                                            [](TextBuffers* b) { delete b; });
    rows_ = 0;
    size_ = 0;
    large_ = false;
    offsets_ = data_ = nullptr;
    if (!buffers_ || rows >= std::numeric_limits<std::size_t>::max() / 8) return false;
    max_rows_ = rows;
    offsets_ = static_cast<std::uint8_t*>(std::malloc((rows + 1) * 4));
    if (offsets_ == nullptr) return false;
    advise_huge(offsets_, (rows + 1) * 4);
    buffers_->offsets = offsets_;
    const std::int32_t zero = 0;
    std::memcpy(offsets_, &zero, sizeof zero);
    // The data of every row at the field's size (a UTF-8 text is mostly no
    // longer than its bytes): untouched pages cost nothing until written.
    capacity_ = bytes_per_row != 0 &&
                        rows <= std::numeric_limits<std::size_t>::max() / 2 / bytes_per_row
                    ? rows * bytes_per_row
                    : 0;
    capacity_ = std::max<std::size_t>(capacity_, 64);
    data_ = static_cast<std::uint8_t*>(std::malloc(capacity_));
    advise_huge(data_, capacity_);
    buffers_->data = data_;
    return data_ != nullptr;
}

std::uint8_t* TextColumnWriter::grow(std::size_t bound) noexcept {
    if (bound > std::numeric_limits<std::size_t>::max() / 2 - size_) return nullptr;
    const std::size_t grown = std::max(2 * capacity_, size_ + bound);
    void* moved = std::realloc(data_, grown);
    if (moved == nullptr) return nullptr;
    data_ = static_cast<std::uint8_t*>(moved);
    buffers_->data = data_;
    capacity_ = grown;
    return data_ + size_;
}

bool TextColumnWriter::push_large() noexcept {
    if (!large_) {
        // The data just passed 2 GiB: the offsets so far widen to int64, back
        // to front (value i's 8 bytes land at or after where its 4 were read,
        // over values already moved only).
        void* wider = std::realloc(offsets_, (max_rows_ + 1) * 8);
        if (wider == nullptr) return false;
        offsets_ = static_cast<std::uint8_t*>(wider);
        buffers_->offsets = offsets_;
        for (std::size_t i = rows_; i-- > 0;) {
            std::int32_t narrow = 0;
            std::memcpy(&narrow, offsets_ + i * 4, 4);
            const std::int64_t wide = narrow;
            std::memcpy(offsets_ + i * 8, &wide, 8);
        }
        large_ = true;
    }
    const auto end = static_cast<std::int64_t>(size_);
    std::memcpy(offsets_ + rows_ * sizeof end, &end, sizeof end);
    return true;
}

std::shared_ptr<const TextBuffers> TextColumnWriter::finish(std::size_t rows) noexcept {
    std::shared_ptr<TextBuffers> b = std::move(buffers_);
    rows = std::min(rows, rows_);
    b->length = rows;
    b->large = large_;
    b->size = b->offset(rows);
    // Give back what was allocated beyond the values (a failed shrink keeps it).
    if (rows < max_rows_) {
        if (void* fit = std::realloc(b->offsets, (rows + 1) * (large_ ? 8 : 4)); fit != nullptr) {
            b->offsets = static_cast<std::uint8_t*>(fit);
        }
    }
    if (b->size < capacity_) {
        if (void* fit = std::realloc(b->data, std::max<std::size_t>(b->size, 1)); fit != nullptr) {
            b->data = static_cast<std::uint8_t*>(fit);
        }
    }
    offsets_ = data_ = nullptr;
    size_ = capacity_ = rows_ = max_rows_ = 0;
    large_ = false;
    return b;
}

// ---- binary columns gathered from the data --------------------------------------------

namespace {

// A big-endian 64-bit word from 8 bytes, and back.
std::uint64_t load_big(const std::uint8_t* p) noexcept {
    std::uint64_t v = 0;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = core::bswap64(v);
    return v;
}
void store_big(std::uint8_t* p, std::uint64_t v) noexcept {
    if constexpr (std::endian::native == std::endian::little) v = core::bswap64(v);
    std::memcpy(p, &v, sizeof v);
}

// The `size` bytes from bit `shift` (1 to 7) of `from` into `into`: each made
// of the two bytes it straddles, so the size + 1 bytes from[0, size] are read
// (the last holds the value's last bits). Eight bytes at a time while the
// ninth they need lies within those, then byte by byte.
void copy_shifted(std::uint8_t* into, const std::uint8_t* from, std::size_t size,
                  unsigned shift) noexcept {
    const unsigned back = 8 - shift;
    std::size_t k = 0;
    for (; k + 8 <= size; k += 8) {
        store_big(into + k, (load_big(from + k) << shift) | (from[k + 8] >> back));
    }
    for (; k < size; ++k) {
        into[k] = static_cast<std::uint8_t>((from[k] << shift) | (from[k + 1] >> back));
    }
}

}  // namespace

std::shared_ptr<const TextBuffers> gather_binary(const std::uint8_t* data,
                                                 const std::uint64_t* starts,
                                                 const std::uint64_t* sizes, std::size_t count) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (sizes[i] > std::numeric_limits<std::size_t>::max() / 2 - total) {
            PyErr_NoMemory();
            return nullptr;
        }
        total += static_cast<std::size_t>(sizes[i]);
    }
    auto b = std::make_shared<TextBuffers>();
    b->binary = true;
    b->length = count;
    b->size = total;
    b->large = total > kNarrowDataEnd;
    const std::size_t width = b->large ? 8 : 4;
    if (count >= std::numeric_limits<std::size_t>::max() / width - 1) {
        PyErr_NoMemory();
        return nullptr;
    }
    b->offsets = static_cast<std::uint8_t*>(std::malloc((count + 1) * width));
    b->data = static_cast<std::uint8_t*>(std::malloc(std::max<std::size_t>(total, 1)));
    if (b->offsets == nullptr || b->data == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    advise_huge(b->offsets, (count + 1) * width);
    advise_huge(b->data, total);
    TextBuffers& out = *b;
    py::without_gil([&] {
        std::size_t at = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (out.large) {
                const auto v = static_cast<std::int64_t>(at);
                std::memcpy(out.offsets + i * 8, &v, 8);
            } else {
                const auto v = static_cast<std::int32_t>(at);
                std::memcpy(out.offsets + i * 4, &v, 4);
            }
            const auto size = static_cast<std::size_t>(sizes[i]);
            const std::uint8_t* from = data + (starts[i] >> 3);
            const auto shift = static_cast<unsigned>(starts[i] & 7);
            if (shift == 0) {
                if (size != 0) std::memcpy(out.data + at, from, size);
            } else {
                copy_shifted(out.data + at, from, size, shift);
            }
            at += size;
        }
        if (out.large) {
            const auto v = static_cast<std::int64_t>(at);
            std::memcpy(out.offsets + count * 8, &v, 8);
        } else {
            const auto v = static_cast<std::int32_t>(at);
            std::memcpy(out.offsets + count * 4, &v, 4);
        }
    });
    return b;
}

// ---- binary_view columns ---------------------------------------------------------------

std::shared_ptr<const TextBuffers> gather_views(const std::uint8_t* data, std::size_t size,
                                                const std::uint64_t* starts,
                                                const std::uint64_t* sizes, std::size_t count,
                                                Py_buffer* pin) {
    auto b = std::make_shared<TextBuffers>();
    b->binary = true;
    b->views = true;
    b->length = count;
    if (pin != nullptr) {
        // Released with the buffers from here on, on every path.
        b->pinned = *pin;
        b->has_pinned = true;
    }
    try {
        // The windows of the data the views may point into (in place only).
        std::size_t windows = 0;
        if (pin != nullptr) {
            windows = size <= kNarrowDataEnd ? 1 : (size + kViewWindow - 1) / kViewWindow;
            for (std::size_t k = 0; k < windows; ++k) {
                b->variadic.push_back(data + k * kViewWindow);
                b->variadic_sizes.push_back(
                    static_cast<std::int64_t>(std::min(kNarrowDataEnd, size - k * kViewWindow)));
            }
        }
        // Whether the long value of `n` bytes from bit `start` stays where it
        // is, and in which window.
        const auto in_window = [&](std::uint64_t start, std::size_t n, std::size_t& k) {
            if (windows == 0 || (start & 7) != 0) return false;
            const auto first = static_cast<std::size_t>(start >> 3);
            k = windows == 1 ? 0 : first / kViewWindow;
            return first - k * kViewWindow + n <= static_cast<std::size_t>(b->variadic_sizes[k]);
        };
        // The sizes of the buffers that the copied values fill one after the
        // other, each up to kNarrowDataEnd bytes (the fill below takes the
        // same steps).
        std::vector<std::size_t> filled;
        for (std::size_t i = 0; i < count; ++i) {
            if (sizes[i] > kNarrowDataEnd) {
                PyErr_Format(PyExc_ValueError, msg::kBinaryViewTooLong, i,
                             static_cast<unsigned long long>(sizes[i]));
                return nullptr;
            }
            const auto n = static_cast<std::size_t>(sizes[i]);
            std::size_t k = 0;
            if (n <= kViewInline || in_window(starts[i], n, k)) continue;
            if (filled.empty() || n > kNarrowDataEnd - filled.back()) filled.push_back(0);
            filled.back() += n;
        }
        for (const std::size_t bytes : filled) {
            auto* buffer = static_cast<std::uint8_t*>(std::malloc(std::max<std::size_t>(bytes, 1)));
            if (buffer == nullptr) {
                PyErr_NoMemory();
                return nullptr;
            }
            b->owned.push_back(buffer);
            advise_huge(buffer, bytes);
            b->variadic.push_back(buffer);
            b->variadic_sizes.push_back(static_cast<std::int64_t>(bytes));
        }
        if (count >= std::numeric_limits<std::size_t>::max() / kViewBytes) {
            PyErr_NoMemory();
            return nullptr;
        }
        // Zeroed: an inline value's unused bytes are zeros.
        b->offsets = static_cast<std::uint8_t*>(
            std::calloc(std::max<std::size_t>(count, 1), kViewBytes));
        if (b->offsets == nullptr) {
            PyErr_NoMemory();
            return nullptr;
        }
        TextBuffers& out = *b;
        py::without_gil([&] {
            std::size_t own = 0;  // the owned buffer being filled, and where
            std::size_t at = 0;
            bool started = false;
            for (std::size_t i = 0; i < count; ++i) {
                std::uint8_t* view = out.offsets + i * kViewBytes;
                const auto n = static_cast<std::size_t>(sizes[i]);
                const std::uint8_t* from = data + (starts[i] >> 3);
                const auto shift = static_cast<unsigned>(starts[i] & 7);
                const auto length = static_cast<std::int32_t>(n);
                std::memcpy(view, &length, sizeof length);
                if (n <= kViewInline) {
                    if (shift != 0) {
                        copy_shifted(view + 4, from, n, shift);
                    } else if (n != 0) {
                        std::memcpy(view + 4, from, n);
                    }
                    continue;
                }
                std::size_t k = 0;
                std::size_t offset = 0;
                if (in_window(starts[i], n, k)) {
                    offset = static_cast<std::size_t>(starts[i] >> 3) - k * kViewWindow;
                } else {
                    if (!started || n > kNarrowDataEnd - at) {
                        own += started ? 1 : 0;
                        started = true;
                        at = 0;
                    }
                    std::uint8_t* into = out.owned[own] + at;
                    if (shift != 0) {
                        copy_shifted(into, from, n, shift);
                    } else {
                        std::memcpy(into, from, n);
                    }
                    from = into;
                    k = windows + own;
                    offset = at;
                    at += n;
                }
                std::memcpy(view + 4, from, 4);  // the prefix
                const auto index = static_cast<std::int32_t>(k);
                const auto place = static_cast<std::int32_t>(offset);
                std::memcpy(view + 8, &index, sizeof index);
                std::memcpy(view + 12, &place, sizeof place);
            }
        });
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    return b;
}

// ---- the ArrowColumn type ------------------------------------------------------------

namespace {

struct ColumnObject {
    PyObject_HEAD std::shared_ptr<const TextBuffers> buffers;
};

PyTypeObject* g_column_type = nullptr;

const TextBuffers& buffers_of(PyObject* self) {
    return *reinterpret_cast<ColumnObject*>(self)->buffers;
}

// Value i as a new str (bytes for a binary column).
PyObject* value_str(const TextBuffers& b, std::size_t i) {
    std::size_t n = 0;
    const auto* at = reinterpret_cast<const char*>(b.value(i, n));
    const auto size = static_cast<Py_ssize_t>(n);
    if (b.binary) return PyBytes_FromStringAndSize(at, size);
    return PyUnicode_DecodeUTF8(at, size, "strict");
}

// Offsets in the byte order of pickles (little-endian), in place.
void offsets_to_little(std::uint8_t* offsets, std::size_t count, bool large) {
    if constexpr (std::endian::native == std::endian::big) {
        const std::size_t width = large ? 8 : 4;
        for (std::size_t i = 0; i < count; ++i)
            std::reverse(offsets + i * width, offsets + (i + 1) * width);
    }
}

// The values of `iterable` (each a str) into a column. nullptr with the error set.
PyObject* from_strings(PyObject* iterable) {
    Ref list(PySequence_List(iterable));
    if (!list) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(list.get());
    TextColumnWriter writer;
    if (!writer.start(static_cast<std::size_t>(n), 8)) return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < n; ++i) {  // the list is this call's own
        PyObject* item = PyList_GET_ITEM(list.get(), i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, msg::kArrowColumnValue, i, Py_TYPE(item)->tp_name);
            return nullptr;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (utf8 == nullptr) return nullptr;
        std::uint8_t* at = writer.room(static_cast<std::size_t>(size));
        if (at == nullptr) return PyErr_NoMemory();
        if (size != 0) std::memcpy(at, utf8, static_cast<std::size_t>(size));
        if (!writer.push(static_cast<std::size_t>(size))) return PyErr_NoMemory();
    }
    return new_arrow_column(writer.finish(static_cast<std::size_t>(n)));
}

PyObject* column_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    PyObject* values = nullptr;
    static const char* const kNames[] = {"values", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:ArrowColumn", const_cast<char**>(kNames),
                                     &values)) {
        return nullptr;
    }
    if (values == nullptr) {
        Ref empty(PyTuple_New(0));
        return empty ? from_strings(empty.get()) : nullptr;
    }
    if (PyUnicode_Check(values) || PyBytes_Check(values)) {
        PyErr_Format(PyExc_TypeError, msg::kArrowColumnValues, Py_TYPE(values)->tp_name);
        return nullptr;
    }
    return from_strings(values);
}

// The values of a binary column `b` in a binary_view column of its own.
std::shared_ptr<const TextBuffers> as_views(const TextBuffers& b) {
    std::vector<std::uint64_t> starts(b.length), sizes(b.length);
    for (std::size_t i = 0; i < b.length; ++i) {
        starts[i] = static_cast<std::uint64_t>(b.offset(i)) * 8;
        sizes[i] = b.offset(i + 1) - b.offset(i);
    }
    return gather_views(b.data, b.size, starts.data(), sizes.data(), b.length, nullptr);
}

// _from_buffers(offsets, data, large, binary=False, views=False): a column
// over copies of the buffers that __reduce__ gives, every one checked (the
// bytes may come from anywhere); with views, the binary values in a
// binary_view column.
PyObject* column_from_buffers(PyObject*, PyObject* args) {
    Py_buffer offsets{}, data{};
    int large = 0;
    int binary = 0;
    int views = 0;
    if (!PyArg_ParseTuple(args, "y*y*p|pp:_from_buffers", &offsets, &data, &large, &binary,
                          &views)) {
        return nullptr;
    }
    struct Release {
        Py_buffer& a;
        Py_buffer& b;
        ~Release() {
            PyBuffer_Release(&a);
            PyBuffer_Release(&b);
        }
    } release{offsets, data};
    const std::size_t width = large != 0 ? 8 : 4;
    const auto offsets_size = static_cast<std::size_t>(offsets.len);
    const auto data_size = static_cast<std::size_t>(data.len);
    if (offsets_size < width || offsets_size % width != 0) {
        PyErr_Format(PyExc_ValueError, msg::kArrowColumnOffsets, offsets.len, width);
        return nullptr;
    }
    auto b = std::make_shared<TextBuffers>();
    b->length = offsets_size / width - 1;
    b->large = large != 0;
    b->binary = binary != 0;
    b->size = data_size;
    b->offsets = static_cast<std::uint8_t*>(std::malloc(offsets_size));
    b->data = static_cast<std::uint8_t*>(std::malloc(std::max<std::size_t>(data_size, 1)));
    if (b->offsets == nullptr || b->data == nullptr) return PyErr_NoMemory();
    std::memcpy(b->offsets, offsets.buf, offsets_size);
    offsets_to_little(b->offsets, b->length + 1, b->large);
    if (data_size != 0) std::memcpy(b->data, data.buf, data_size);
    const char* broken = b->binary ? msg::kArrowColumnBrokenBinary : msg::kArrowColumnBroken;
    if (!large && data_size > kNarrowDataEnd) {
        PyErr_SetString(PyExc_ValueError, broken);
        return nullptr;
    }
    // Offsets from 0 up to the data's end, never down, each value UTF-8 (a
    // binary column's values are any bytes).
    std::size_t before = b->offset(0);
    bool ok = before == 0 && b->offset(b->length) == data_size;
    for (std::size_t i = 1; ok && i <= b->length; ++i) {
        const std::size_t at = b->offset(i);
        ok = at >= before && at <= data_size &&
             (b->binary || static_cast<bool>(core::measure_utf8(b->data + before, at - before)));
        before = at;
    }
    if (!ok) {
        PyErr_SetString(PyExc_ValueError, broken);
        return nullptr;
    }
    if (views != 0 && binary != 0) {
        std::shared_ptr<const TextBuffers> viewed;
        try {
            viewed = as_views(*b);
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        return viewed ? new_arrow_column(std::move(viewed)) : nullptr;
    }
    return new_arrow_column(std::move(b));
}

void column_dealloc(PyObject* self) {
    reinterpret_cast<ColumnObject*>(self)->buffers.~shared_ptr();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t column_length(PyObject* self) {
    return static_cast<Py_ssize_t>(buffers_of(self).length);
}

// column[i]: value i (a negative i already counted from the end by Python).
PyObject* column_item(PyObject* self, Py_ssize_t i) {
    const TextBuffers& b = buffers_of(self);
    if (i < 0 || static_cast<std::size_t>(i) >= b.length) {
        PyErr_SetString(PyExc_IndexError, msg::kArrowColumnIndex);
        return nullptr;
    }
    return value_str(b, static_cast<std::size_t>(i));
}

PyObject* column_to_pylist(PyObject* self, PyObject*) {
    const TextBuffers& b = buffers_of(self);
    Ref list(PyList_New(static_cast<Py_ssize_t>(b.length)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < b.length; ++i) {
        PyObject* s = value_str(b, i);
        if (s == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
}

PyObject* column_to_numpy(PyObject* self, PyObject*) {
    Ref list(column_to_pylist(self, nullptr));
    return list ? object_column(list.get()) : nullptr;
}

// __array__(dtype=None, copy=None): an object array of the str values (a
// new array each time: there is no numpy view of the buffers).
PyObject* column_array(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* dtype = Py_None;
    PyObject* copy = Py_None;
    static const char* const kNames[] = {"dtype", "copy", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:__array__", const_cast<char**>(kNames),
                                     &dtype, &copy)) {
        return nullptr;
    }
    if (copy == Py_False) {
        PyErr_SetString(PyExc_ValueError, msg::kArrowColumnNoView);
        return nullptr;
    }
    Ref array(column_to_numpy(self, nullptr));
    if (!array || dtype == Py_None) return array.release();
    return PyObject_CallMethod(array.get(), "astype", "O", dtype);
}

PyObject* column_schema(PyObject* self, PyObject*) { return text_schema_capsule(buffers_of(self)); }

PyObject* column_capsules(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* requested = Py_None;  // not applied: the column's own type is exported
    static const char* const kNames[] = {"requested_schema", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_array__",
                                     const_cast<char**>(kNames), &requested)) {
        return nullptr;
    }
    return text_array_capsules(reinterpret_cast<ColumnObject*>(self)->buffers);
}

// A binary_view column pickles as the buffers of its values in the binary
// layout, with views=True.
PyObject* views_reduce(PyObject* self, const TextBuffers& b) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < b.length; ++i) {
        std::size_t n = 0;
        b.value(i, n);
        total += n;
    }
    const bool large = total > kNarrowDataEnd;
    const std::size_t width = large ? 8 : 4;
    Ref offsets(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>((b.length + 1) * width)));
    Ref data(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!offsets || !data) return nullptr;
    auto* ends = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(offsets.get()));
    auto* into = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(data.get()));
    std::size_t at = 0;
    for (std::size_t i = 0; i <= b.length; ++i) {
        if (large) {
            const auto v = static_cast<std::int64_t>(at);
            std::memcpy(ends + i * 8, &v, 8);
        } else {
            const auto v = static_cast<std::int32_t>(at);
            std::memcpy(ends + i * 4, &v, 4);
        }
        if (i == b.length) break;
        std::size_t n = 0;
        const std::uint8_t* from = b.value(i, n);
        if (n != 0) std::memcpy(into + at, from, n);
        at += n;
    }
    offsets_to_little(ends, b.length + 1, large);
    Ref make(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_buffers"));
    if (!make) return nullptr;
    return Py_BuildValue("O(OOOOO)", make.get(), offsets.get(), data.get(),
                         large ? Py_True : Py_False, Py_True, Py_True);
}

PyObject* column_reduce(PyObject* self, PyObject*) {
    const TextBuffers& b = buffers_of(self);
    if (b.views) return views_reduce(self, b);
    const std::size_t width = b.large ? 8 : 4;
    Ref offsets(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>((b.length + 1) * width)));
    if (!offsets) return nullptr;
    auto* into = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(offsets.get()));
    std::memcpy(into, b.offsets, (b.length + 1) * width);
    offsets_to_little(into, b.length + 1, b.large);
    Ref data(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data),
                                       static_cast<Py_ssize_t>(b.size)));
    if (!data) return nullptr;
    Ref make(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_buffers"));
    if (!make) return nullptr;
    PyObject* large = b.large ? Py_True : Py_False;
    // A text column's arguments stay (offsets, data, large); a binary
    // column's add binary=True.
    if (b.binary) {
        return Py_BuildValue("O(OOOO)", make.get(), offsets.get(), data.get(), large, Py_True);
    }
    return Py_BuildValue("O(OOO)", make.get(), offsets.get(), data.get(), large);
}

// "<bitloom_bulk.ArrowColumn utf8 of 3 values: ['a', 'b', 'c']>" (binary:
// values shown as bytes), the first few values shown.
PyObject* column_repr(PyObject* self) {
    const TextBuffers& b = buffers_of(self);
    constexpr std::size_t kShown = 5;
    const std::size_t shown = std::min(b.length, kShown);
    Ref list(PyList_New(static_cast<Py_ssize_t>(shown)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < shown; ++i) {
        PyObject* s = value_str(b, i);
        if (s == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    Ref text(PyObject_Repr(list.get()));
    if (!text) return nullptr;
    if (b.length > shown) {
        Ref cut(PyUnicode_Substring(text.get(), 0, PyUnicode_GET_LENGTH(text.get()) - 1));
        if (!cut) return nullptr;
        text = Ref(PyUnicode_FromFormat("%U, ...]", cut.get()));
        if (!text) return nullptr;
    }
    const char* type = b.views    ? "binary_view"
                       : b.binary ? (b.large ? "large_binary" : "binary")
                                  : (b.large ? "large_utf8" : "utf8");
    return PyUnicode_FromFormat(msg::kArrowColumnRepr, type, b.length, text.get());
}

PyMethodDef g_column_methods[] = {
    {"to_pylist", column_to_pylist, METH_NOARGS,
     "to_pylist($self, /)\n--\n\nThe values as a list of str (of bytes for a binary column)."},
    {"to_numpy", column_to_numpy, METH_NOARGS,
     "to_numpy($self, /)\n--\n\nThe values as a numpy object array of str or bytes (a copy)."},
    {"__array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(column_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__array__($self, /, dtype=None, copy=None)\n--\n\nThe values as a numpy object array."},
    {"__arrow_c_schema__", column_schema, METH_NOARGS,
     "__arrow_c_schema__($self, /)\n--\n\nA PyCapsule 'arrow_schema': utf8, large_utf8, binary, "
     "large_binary or binary_view."},
    {"__arrow_c_array__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(column_capsules)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, /, requested_schema=None)\n--\n\nPyCapsules 'arrow_schema' and "
     "'arrow_array' over the column's own buffers\n(requested_schema is not applied)."},
    {"_from_buffers", column_from_buffers, METH_VARARGS | METH_STATIC,
     "_from_buffers(offsets, data, large, binary=False, views=False, /)\n--\n\nA column over "
     "copies of little-endian offsets and UTF-8 data (any bytes\nwhen binary; in a binary_view "
     "column with views), checked (what pickling\ngives back)."},
    {"__reduce__", column_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_column_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(column_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(column_repr)},
    {Py_tp_methods, g_column_methods},
    {Py_sq_length, reinterpret_cast<void*>(column_length)},
    {Py_sq_item, reinterpret_cast<void*>(column_item)},
    {Py_tp_doc,
     const_cast<char*>("ArrowColumn(values=(), /)\n--\n\nA column of str in Arrow's string layout "
                       "(utf8; large_utf8 past 2 GiB):\nint32 offsets and UTF-8 bytes that it "
                       "owns and exports through the Arrow\nPyCapsule interface without a copy. "
                       "unpack_columns(..., text='arrow')\ngives them. "
                       "Definitions.decode(..., binary='arrow') gives columns of\nbytes in "
                       "Arrow's binary layout (binary; large_binary past 2 GiB);\n"
                       "binary='view' in its binary_view layout, over the input itself\nwhen "
                       "that is read-only.")},
    {0, nullptr},
};

PyType_Spec g_column_spec = {
    "bitloom_bulk._native.ArrowColumn",
    sizeof(ColumnObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    g_column_slots,
};

}  // namespace

bool init_arrow_column_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &g_column_spec, nullptr);
    if (type == nullptr) return false;
    g_column_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the process
    return PyModule_AddObjectRef(module, "ArrowColumn", type) == 0;
}

PyObject* new_arrow_column(std::shared_ptr<const TextBuffers> buffers) {
    if (!buffers) return PyErr_NoMemory();
    auto* self = PyObject_New(ColumnObject, g_column_type);
    if (self == nullptr) return nullptr;
    new (&self->buffers) std::shared_ptr<const TextBuffers>(std::move(buffers));
    return reinterpret_cast<PyObject*>(self);
}

std::shared_ptr<const TextBuffers> arrow_column_buffers(PyObject* obj) {
    if (g_column_type == nullptr || Py_TYPE(obj) != g_column_type) return nullptr;
    return reinterpret_cast<ColumnObject*>(obj)->buffers;
}

}  // namespace bitloom::bulk
