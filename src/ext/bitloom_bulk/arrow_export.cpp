// Tables to Arrow through the C data interface. Fixed-width columns (integers,
// floats, fixed-width bytes, datetime64 and timedelta64) are handed over
// without a copy: the ArrowArray's data buffer is the numpy column's memory,
// and the array holds the column's buffer export (so the column stays alive
// and in place) until the consumer releases it, from whatever thread. Bool,
// str, bytes and strided columns are converted into memory the array owns.
// An ArrowColumn's buffers are handed over as they are, shared with it (no
// GIL needed to let go of them).
// g++ 12 reports a std::string assigned a short literal, inlined here, as a
// memcpy whose source and target may overlap (a false alarm of its
// -Wrestrict, fixed in later releases); the warning is off for this file.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
#include "ext/bitloom_bulk/arrow_export.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "ext/bitloom_bulk/messages.hpp"

namespace bitloom::bulk {
namespace {

using py::Ref;

// The structs of the Arrow C data interface and C stream interface, as the
// interface's ABI lays them out.
namespace abi {

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema*);
    int (*get_next)(ArrowArrayStream*, ArrowArray*);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};

constexpr std::int64_t kFlagNullable = 2;

}  // namespace abi

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kArrayCapsule = "arrow_array";
constexpr const char* kStreamCapsule = "arrow_array_stream";

// ---- schemas -----------------------------------------------------------------------

// A field of the schema: kept by a stream, which hands out a fresh ArrowSchema
// for it on every get_schema.
struct Field {
    std::string format;
    std::string name;
    std::vector<Field> children;
};

// What an exported ArrowSchema points into.
struct SchemaPrivate {
    std::string format;
    std::string name;
    std::vector<abi::ArrowSchema> children;
    std::vector<abi::ArrowSchema*> pointers;

    SchemaPrivate() = default;
    SchemaPrivate(const SchemaPrivate&) = delete;
    SchemaPrivate& operator=(const SchemaPrivate&) = delete;
    ~SchemaPrivate() {
        for (abi::ArrowSchema& child : children) {
            if (child.release != nullptr) child.release(&child);
        }
    }
};

void release_schema(abi::ArrowSchema* schema) {
    delete static_cast<SchemaPrivate*>(schema->private_data);
    schema->release = nullptr;
}

// `field` into `out`, which the caller releases. Throws std::bad_alloc (with
// nothing written into `out`).
void export_schema(const Field& field, abi::ArrowSchema& out) {
    auto priv = std::make_unique<SchemaPrivate>();
    priv->format = field.format;
    priv->name = field.name;
    const std::size_t n = field.children.size();
    priv->children.resize(n, abi::ArrowSchema{});
    priv->pointers.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        export_schema(field.children[i], priv->children[i]);
        priv->pointers.push_back(&priv->children[i]);
    }
    out = abi::ArrowSchema{priv->format.c_str(),
                           priv->name.c_str(),
                           nullptr,
                           abi::kFlagNullable,
                           static_cast<std::int64_t>(n),
                           n == 0 ? nullptr : priv->pointers.data(),
                           nullptr,
                           release_schema,
                           nullptr};
    out.private_data = priv.release();
}

// ---- arrays ------------------------------------------------------------------------

// Give back a buffer export of a numpy column from any thread: with the GIL
// taken (a thread that holds it already takes it again). After the
// interpreter's end there is nothing to give back to; while it is finishing,
// a thread without the GIL must not take it, and the export is left.
void release_view(Py_buffer& view) noexcept {
    if (Py_IsInitialized() == 0) return;
    if (PyGILState_Check() == 0 && py::shim::is_finalizing()) return;
    const PyGILState_STATE state = PyGILState_Ensure();
    PyBuffer_Release(&view);
    PyGILState_Release(state);
}

// What an exported ArrowArray points into and keeps alive: its buffer
// pointers, its children, bytes made here, and the numpy column's buffer
// export when the data buffer is the column's own memory.
struct ArrayPrivate {
    std::vector<const void*> buffers;
    std::vector<abi::ArrowArray> children;
    std::vector<abi::ArrowArray*> pointers;
    std::vector<std::unique_ptr<std::uint8_t[]>> owned;
    std::shared_ptr<const TextBuffers> text;  // an ArrowColumn's buffers
    Py_buffer view{};
    bool has_view = false;

    ArrayPrivate() = default;
    ArrayPrivate(const ArrayPrivate&) = delete;
    ArrayPrivate& operator=(const ArrayPrivate&) = delete;
    ~ArrayPrivate() {
        // A child the consumer moved out has its release already cleared.
        for (abi::ArrowArray& child : children) {
            if (child.release != nullptr) child.release(&child);
        }
        if (has_view) release_view(view);
    }

    // `bytes` of memory this array owns (at least one byte, so that the
    // pointer is never null), zeroed if asked.
    std::uint8_t* own(std::size_t bytes, bool zeroed) {
        bytes = std::max<std::size_t>(bytes, 1);
        owned.push_back(zeroed ? std::make_unique<std::uint8_t[]>(bytes)
                               : std::make_unique_for_overwrite<std::uint8_t[]>(bytes));
        return owned.back().get();
    }
};

void release_array(abi::ArrowArray* array) {
    delete static_cast<ArrayPrivate*>(array->private_data);
    array->release = nullptr;
}

// `priv` (buffers and children set) into `out`.
void finish_array(abi::ArrowArray& out, std::unique_ptr<ArrayPrivate> priv, std::int64_t length,
                  std::int64_t null_count) {
    for (abi::ArrowArray& child : priv->children) priv->pointers.push_back(&child);
    out = abi::ArrowArray{length,
                          null_count,
                          0,
                          static_cast<std::int64_t>(priv->buffers.size()),
                          static_cast<std::int64_t>(priv->children.size()),
                          priv->buffers.data(),
                          priv->children.empty() ? nullptr : priv->pointers.data(),
                          nullptr,
                          release_array,
                          nullptr};
    out.private_data = priv.release();
}

// An ArrowArray released when it goes out of scope unless handed on.
struct OwnedArray {
    abi::ArrowArray array{};
    OwnedArray() = default;
    OwnedArray(const OwnedArray&) = delete;
    OwnedArray& operator=(const OwnedArray&) = delete;
    ~OwnedArray() {
        if (array.release != nullptr) array.release(&array);
    }
};

// A buffer export of a column, given back on scope exit unless an array took it.
struct ViewGuard {
    Py_buffer view{};
    bool held = false;
    ViewGuard() = default;
    ViewGuard(const ViewGuard&) = delete;
    ViewGuard& operator=(const ViewGuard&) = delete;
    ~ViewGuard() {
        if (held) PyBuffer_Release(&view);
    }
};

// ---- columns -----------------------------------------------------------------------

// How a column's elements go to Arrow.
enum class Leaf : std::uint8_t { Fixed, Bool, Object };

struct LeafType {
    Leaf leaf = Leaf::Fixed;
    std::string format;     // the Arrow format of a fixed-width or bool element
    bool swap = false;      // the elements are not in the machine's byte order
    std::size_t align = 1;  // the alignment that Arrow's readers expect of the data
};

// The element type of a buffer export in the struct module's syntax (which
// numpy's buffer exports use): false for the ones without an Arrow type.
bool leaf_of(const Py_buffer& view, LeafType& out) {
    const char* f = view.format != nullptr ? view.format : "B";
    bool big = false;
    bool little = false;
    if (*f == '<' || *f == '>' || *f == '!' || *f == '=' || *f == '@' || *f == '|') {
        big = *f == '>' || *f == '!';
        little = *f == '<';
        ++f;
    }
    out.swap = std::endian::native == std::endian::little ? big : little;
    const Py_ssize_t size = view.itemsize;
    const std::size_t width = static_cast<std::size_t>(size);
    // Fixed-width bytes: "<n>s" (numpy's S<n>), n the element's size.
    const std::size_t digits = std::strspn(f, "0123456789");
    if (f[digits] == 's' && f[digits + 1] == '\0' && size > 0 &&
        (digits == 0 ? size == 1 : std::strtoll(f, nullptr, 10) == size)) {
        out = LeafType{Leaf::Fixed, "w:" + std::to_string(size), false, 1};
        return true;
    }
    if (f[0] == '\0' || f[1] != '\0') return false;
    const char code = f[0];
    out.align = width;
    switch (code) {
        case '?':
            out.leaf = Leaf::Bool;
            out.format = "b";
            return size == 1;
        case 'O': out.leaf = Leaf::Object; return width == sizeof(PyObject*);
        case 'e': out.format = "e"; return size == 2;
        case 'f': out.format = "f"; return size == 4;
        case 'd': out.format = "g"; return size == 8;
        case 'b':
        case 'h':
        case 'i':
        case 'l':
        case 'q':
        case 'B':
        case 'H':
        case 'I':
        case 'L':
        case 'Q': {
            const bool is_signed = code >= 'a';
            switch (size) {
                case 1: out.format = is_signed ? "c" : "C"; return true;
                case 2: out.format = is_signed ? "s" : "S"; return true;
                case 4: out.format = is_signed ? "i" : "I"; return true;
                case 8: out.format = is_signed ? "l" : "L"; return true;
                default: return false;
            }
        }
        default: return false;
    }
}

// Calls fn(element pointer, index) for every element of `view` in C order,
// whatever its strides; stops at (and returns) the first false.
template <class Fn>
bool for_each_element(const Py_buffer& view, Py_ssize_t total, Fn&& fn) {
    if (total == 0) return true;
    const int ndim = view.ndim;
    std::vector<Py_ssize_t> index(static_cast<std::size_t>(ndim), 0);
    const char* p = static_cast<const char*>(view.buf);
    for (Py_ssize_t n = 0; n < total; ++n) {
        if (!fn(p, n)) return false;
        for (int d = ndim - 1; d >= 0; --d) {
            const auto i = static_cast<std::size_t>(d);
            if (++index[i] < view.shape[d]) {
                p += view.strides[d];
                break;
            }
            p -= view.strides[d] * (view.shape[d] - 1);
            index[i] = 0;
        }
    }
    return true;
}

// The fixed-width elements of `view`: its own memory when C-contiguous,
// aligned and in the machine's byte order (the array then holds the export),
// else a contiguous copy in the machine's byte order.
void fixed_leaf(ViewGuard& guard, const LeafType& type, Py_ssize_t total, ArrayPrivate& priv,
                const void*& data) {
    Py_buffer& view = guard.view;
    const auto address = reinterpret_cast<std::uintptr_t>(view.buf);
    if (PyBuffer_IsContiguous(&view, 'C') != 0 && !type.swap && address % type.align == 0) {
        data = view.buf;
        priv.view = view;
        priv.has_view = true;
        guard.held = false;
        return;
    }
    const auto width = static_cast<std::size_t>(view.itemsize);
    std::uint8_t* out = priv.own(width * static_cast<std::size_t>(total), false);
    for_each_element(view, total, [&](const char* p, Py_ssize_t n) {
        std::uint8_t* dst = out + static_cast<std::size_t>(n) * width;
        if (type.swap) {
            for (std::size_t b = 0; b < width; ++b)
                dst[b] = static_cast<std::uint8_t>(p[width - 1 - b]);
        } else {
            std::memcpy(dst, p, width);
        }
        return true;
    });
    data = out;
}

// The validity bitmap of datetime64 / timedelta64 data: NaT (the least int64)
// is a null. Sets `null_count`; nullptr when there is none.
const void* time_validity(const void* data, Py_ssize_t total, ArrayPrivate& priv,
                          std::int64_t& null_count) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const auto count = static_cast<std::size_t>(total);
    constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();
    std::uint8_t* bits = nullptr;
    null_count = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::int64_t v = 0;
        std::memcpy(&v, bytes + i * sizeof v, sizeof v);
        if (v != kNaT) continue;
        if (bits == nullptr) {
            bits = priv.own((count + 7) / 8, false);
            std::memset(bits, 0xFF, (count + 7) / 8);
        }
        bits[i / 8] = static_cast<std::uint8_t>(bits[i / 8] & ~(1U << (i % 8)));
        ++null_count;
    }
    return bits;
}

// The bools of `view`, packed into bits (Arrow's bool layout).
const void* bool_leaf(const Py_buffer& view, Py_ssize_t total, ArrayPrivate& priv) {
    std::uint8_t* bits = priv.own((static_cast<std::size_t>(total) + 7) / 8, true);
    for_each_element(view, total, [&](const char* p, Py_ssize_t n) {
        if (*p != 0) {
            const auto i = static_cast<std::size_t>(n);
            bits[i / 8] = static_cast<std::uint8_t>(bits[i / 8] | (1U << (i % 8)));
        }
        return true;
    });
    return bits;
}

// One element of an object column: the bytes of a str (UTF-8) or bytes
// object, or a missing value (None).
struct Piece {
    const char* data = nullptr;
    Py_ssize_t size = -1;
};

template <class Offset>
void fill_offsets(const std::vector<Piece>& pieces, std::uint8_t* offsets_memory,
                  std::uint8_t* values) {
    Offset at = 0;
    std::memcpy(offsets_memory, &at, sizeof at);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i].size > 0) {
            std::memcpy(values + at, pieces[i].data, static_cast<std::size_t>(pieces[i].size));
            at = static_cast<Offset>(at + static_cast<Offset>(pieces[i].size));
        }
        std::memcpy(offsets_memory + (i + 1) * sizeof at, &at, sizeof at);
    }
}

// An object column of str (utf8) or bytes (binary), None a null; large_utf8
// or large_binary when the bytes pass what 32-bit offsets reach. The elements
// are read once, each held while its bytes are copied. False with the error set.
bool object_leaf(PyObject* name, const Py_buffer& view, Py_ssize_t total, ArrayPrivate& priv,
                 std::string& format, std::int64_t& null_count) {
    std::vector<Piece> pieces(static_cast<std::size_t>(total));
    std::vector<Ref> held;
    held.reserve(static_cast<std::size_t>(total));
    enum : std::uint8_t { kNone, kStr, kBytes } kind = kNone;
    std::size_t data_bytes = 0;
    null_count = 0;
    const bool ok = for_each_element(view, total, [&](const char* p, Py_ssize_t n) {
        PyObject* item = nullptr;
        std::memcpy(static_cast<void*>(&item), p, sizeof(PyObject*));
        Piece& piece = pieces[static_cast<std::size_t>(n)];
        if (item == nullptr || item == Py_None) {
            ++null_count;
            return true;
        }
        const bool is_str = PyUnicode_Check(item) != 0;
        if (!is_str && PyBytes_Check(item) == 0) {
            PyErr_Format(PyExc_TypeError, msg::kArrowObject, name, Py_TYPE(item)->tp_name, n);
            return false;
        }
        if (kind == kNone) kind = is_str ? kStr : kBytes;
        if ((kind == kStr) != is_str) {
            PyErr_Format(PyExc_TypeError, msg::kArrowMixed, name, n, Py_TYPE(item)->tp_name);
            return false;
        }
        held.push_back(Ref::borrow(item));
        if (is_str) {
            piece.data = PyUnicode_AsUTF8AndSize(item, &piece.size);
            if (piece.data == nullptr) {
                Ref note(PyUnicode_FromFormat(msg::kArrowElementNote, name, n));
                py::add_note_to_pending(note.get());
                return false;
            }
        } else {
            piece.data = PyBytes_AS_STRING(item);
            piece.size = PyBytes_GET_SIZE(item);
        }
        data_bytes += static_cast<std::size_t>(piece.size);
        return true;
    });
    if (!ok) return false;
    const bool large = data_bytes >
                       static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    format = kind == kBytes ? (large ? "Z" : "z") : (large ? "U" : "u");
    const std::size_t count = pieces.size();
    std::uint8_t* validity = nullptr;
    if (null_count > 0) {
        validity = priv.own((count + 7) / 8, true);
        for (std::size_t i = 0; i < count; ++i) {
            if (pieces[i].size >= 0) {
                validity[i / 8] = static_cast<std::uint8_t>(validity[i / 8] | (1U << (i % 8)));
            }
        }
    }
    std::uint8_t* offsets = priv.own((count + 1) * (large ? 8 : 4), false);
    std::uint8_t* values = priv.own(data_bytes, false);
    if (large) {
        fill_offsets<std::int64_t>(pieces, offsets, values);
    } else {
        fill_offsets<std::int32_t>(pieces, offsets, values);
    }
    priv.buffers = {validity, offsets, values};
    return true;
}

// The column's elements at dimension `level` and below: the leaf array at the
// last dimension, a fixed-size list of the level below at every other one.
// False with the error set.
bool build_level(PyObject* name, ViewGuard& guard, const LeafType& type, int level, Field& field,
                 abi::ArrowArray& out) {
    const Py_buffer& view = guard.view;
    Py_ssize_t length = 1;
    for (int d = 0; d <= level; ++d) length *= view.shape[d];
    auto priv = std::make_unique<ArrayPrivate>();
    if (level < view.ndim - 1) {
        const Py_ssize_t width = view.shape[level + 1];
        field.format = "+w:" + std::to_string(width);
        field.children.resize(1);
        field.children[0].name = "item";
        priv->children.resize(1, abi::ArrowArray{});
        if (!build_level(name, guard, type, level + 1, field.children[0], priv->children[0])) {
            return false;
        }
        priv->buffers = {nullptr};
        finish_array(out, std::move(priv), length, 0);
        return true;
    }
    std::int64_t null_count = 0;
    switch (type.leaf) {
        case Leaf::Fixed: {
            const void* data = nullptr;
            fixed_leaf(guard, type, length, *priv, data);
            const void* validity = nullptr;
            if (type.format.starts_with("t")) {
                validity = time_validity(data, length, *priv, null_count);
            }
            priv->buffers = {validity, data};
            field.format = type.format;
            break;
        }
        case Leaf::Bool:
            priv->buffers = {nullptr, bool_leaf(view, length, *priv)};
            field.format = type.format;
            break;
        case Leaf::Object:
            if (!object_leaf(name, view, length, *priv, field.format, null_count)) return false;
            break;
    }
    finish_array(out, std::move(priv), length, null_count);
    return true;
}

// The Arrow format of a datetime64 / timedelta64 dtype string such as
// "<M8[ns]": empty for units Arrow has no type for.
std::string time_format(const char* dtype_str, char kind) {
    const char* open = std::strchr(dtype_str, '[');
    if (open == nullptr) return {};
    const std::string unit(open + 1, std::strcspn(open + 1, "]"));
    char letter = 0;
    if (unit == "s") letter = 's';
    if (unit == "ms") letter = 'm';
    if (unit == "us") letter = 'u';
    if (unit == "ns") letter = 'n';
    if (letter == 0) return {};
    return kind == 'M' ? std::string("ts") + letter + ":" : std::string("tD") + letter;
}

bool raise_dtype(PyObject* name, PyObject* dtype) {
    PyErr_Format(PyExc_TypeError, msg::kArrowDtype, name, dtype);
    return false;
}

// An ArrowColumn's buffers as a utf8 (large_utf8) array, or binary
// (large_binary, binary_view) for a column of bytes, without a copy.
void text_array(std::shared_ptr<const TextBuffers> text, Field& field, abi::ArrowArray& out) {
    auto priv = std::make_unique<ArrayPrivate>();
    field.format = text->format();
    if (text->views) {
        // binary_view: no validity, the views, the data buffers, then the
        // int64 sizes of the data buffers (never a null pointer).
        static constexpr std::int64_t kNoSizes = 0;
        priv->buffers = {nullptr, text->offsets};
        for (const std::uint8_t* buffer : text->variadic) priv->buffers.push_back(buffer);
        priv->buffers.push_back(text->variadic_sizes.empty()
                                    ? &kNoSizes
                                    : static_cast<const void*>(text->variadic_sizes.data()));
    } else {
        priv->buffers = {nullptr, text->offsets, text->data};
    }
    const auto length = static_cast<std::int64_t>(text->length);
    priv->text = std::move(text);
    finish_array(out, std::move(priv), length, 0);
}

// One column into its field (named `name`) and array; `rows` its length.
// False with the error set.
bool export_column(PyObject* name, PyObject* column, Field& field, abi::ArrowArray& out,
                   Py_ssize_t& rows) {
    if (std::shared_ptr<const TextBuffers> text = arrow_column_buffers(column)) {
        rows = static_cast<Py_ssize_t>(text->length);
        text_array(std::move(text), field, out);
        return true;
    }
    Ref dtype;
    if (PyObject_CheckBuffer(column) != 0) dtype = Ref(PyObject_GetAttrString(column, "dtype"));
    if (!dtype) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, msg::kArrowNotArray, name, Py_TYPE(column)->tp_name);
        return false;
    }
    Ref kind_object(PyObject_GetAttrString(dtype.get(), "kind"));
    const char* kind = kind_object ? PyUnicode_AsUTF8(kind_object.get()) : nullptr;
    if (kind == nullptr) return false;
    // numpy has no buffer export of datetime64 and timedelta64: their int64
    // view in the same byte order is exported instead (it keeps the column).
    Ref source = Ref::borrow(column);
    std::string times;
    if (kind[0] == 'M' || kind[0] == 'm') {
        Ref str(PyObject_GetAttrString(dtype.get(), "str"));
        const char* text = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
        if (text == nullptr) return false;
        times = time_format(text, kind[0]);
        if (times.empty()) return raise_dtype(name, dtype.get());
        const char view_dtype[4] = {text[0], 'i', '8', '\0'};
        source = Ref(PyObject_CallMethod(column, "view", "s", view_dtype));
        if (!source) return false;
    }
    ViewGuard guard;
    if (PyObject_GetBuffer(source.get(), &guard.view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return raise_dtype(name, dtype.get());
    }
    guard.held = true;
    if (guard.view.ndim == 0) {
        PyErr_Format(PyExc_TypeError, msg::kArrowScalar, name);
        return false;
    }
    LeafType type;
    if (!leaf_of(guard.view, type)) return raise_dtype(name, dtype.get());
    if (!times.empty()) type.format = times;
    rows = guard.view.shape[0];
    return build_level(name, guard, type, 0, field, out);
}

// The table (a dict name -> column) as a struct field and a struct array of
// its columns, in the dict's order. False with the error set.
bool export_table(PyObject* table, Field& field, abi::ArrowArray& out) {
    if (PyDict_Check(table) == 0) {
        PyErr_Format(PyExc_TypeError, msg::kArrowTable, Py_TYPE(table)->tp_name);
        return false;
    }
    // A snapshot of the items: the dict may change once a column is exported.
    Ref items(PyDict_Items(table));
    if (!items) return false;
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    auto priv = std::make_unique<ArrayPrivate>();
    priv->children.resize(static_cast<std::size_t>(n), abi::ArrowArray{});
    field.format = "+s";
    field.children.resize(static_cast<std::size_t>(n));
    Py_ssize_t rows = 0;
    PyObject* first = nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        const auto at = static_cast<std::size_t>(i);
        if (PyUnicode_Check(key) == 0) {
            PyErr_Format(PyExc_TypeError, msg::kArrowKeyType, Py_TYPE(key)->tp_name);
            return false;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
        if (utf8 == nullptr) return false;
        if (std::memchr(utf8, '\0', static_cast<std::size_t>(size)) != nullptr) {
            PyErr_Format(PyExc_ValueError, msg::kArrowKeyNul, key);
            return false;
        }
        field.children[at].name.assign(utf8, static_cast<std::size_t>(size));
        Py_ssize_t column_rows = 0;
        if (!export_column(key, PyTuple_GET_ITEM(pair, 1), field.children[at], priv->children[at],
                           column_rows)) {
            return false;
        }
        if (first == nullptr) {
            first = key;
            rows = column_rows;
        } else if (column_rows != rows) {
            PyErr_Format(PyExc_ValueError, msg::kArrowRows, first, rows, key, column_rows);
            return false;
        }
    }
    priv->buffers = {nullptr};
    finish_array(out, std::move(priv), rows, 0);
    return true;
}

// ---- capsules ----------------------------------------------------------------------

// A consumer that took a struct's contents clears its release; what is left
// is freed here.
void free_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<abi::ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
    if (schema == nullptr) return;
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
}

void free_array_capsule(PyObject* capsule) {
    auto* array = static_cast<abi::ArrowArray*>(PyCapsule_GetPointer(capsule, kArrayCapsule));
    if (array == nullptr) return;
    if (array->release != nullptr) array->release(array);
    delete array;
}

void free_stream_capsule(PyObject* capsule) {
    auto* stream = static_cast<abi::ArrowArrayStream*>(
        PyCapsule_GetPointer(capsule, kStreamCapsule));
    if (stream == nullptr) return;
    if (stream->release != nullptr) stream->release(stream);
    delete stream;
}

PyObject* schema_capsule(const Field& field) {
    auto schema = std::make_unique<abi::ArrowSchema>();
    export_schema(field, *schema);
    abi::ArrowSchema* raw = schema.release();
    PyObject* capsule = PyCapsule_New(raw, kSchemaCapsule, free_schema_capsule);
    if (capsule == nullptr) {
        raw->release(raw);
        delete raw;
    }
    return capsule;
}

PyObject* array_capsule(OwnedArray& owned) {
    auto* raw = new abi::ArrowArray(owned.array);
    owned.array.release = nullptr;
    PyObject* capsule = PyCapsule_New(raw, kArrayCapsule, free_array_capsule);
    if (capsule == nullptr) {
        raw->release(raw);
        delete raw;
    }
    return capsule;
}

// The stream of one batch: the schema kept as a Field, the batch until taken.
struct StreamPrivate {
    Field field;
    OwnedArray batch;
    const char* error = nullptr;
};

int stream_get_schema(abi::ArrowArrayStream* stream, abi::ArrowSchema* out) {
    auto* priv = static_cast<StreamPrivate*>(stream->private_data);
    try {
        export_schema(priv->field, *out);
        return 0;
    } catch (const std::bad_alloc&) {
        priv->error = "out of memory";
        return ENOMEM;
    }
}

// The batch on the first call, the end of the stream (a released array) after.
int stream_get_next(abi::ArrowArrayStream* stream, abi::ArrowArray* out) {
    auto* priv = static_cast<StreamPrivate*>(stream->private_data);
    *out = priv->batch.array;
    priv->batch.array.release = nullptr;
    return 0;
}

const char* stream_get_last_error(abi::ArrowArrayStream* stream) {
    return static_cast<StreamPrivate*>(stream->private_data)->error;
}

void stream_release(abi::ArrowArrayStream* stream) {
    delete static_cast<StreamPrivate*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

PyObject* arrow_schema(PyObject* /*self*/, PyObject* table) {
    try {
        Field field;
        OwnedArray owned;
        if (!export_table(table, field, owned.array)) return nullptr;
        return schema_capsule(field);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* arrow_array(PyObject* /*self*/, PyObject* table) {
    try {
        Field field;
        OwnedArray owned;
        if (!export_table(table, field, owned.array)) return nullptr;
        Ref schema(schema_capsule(field));
        if (!schema) return nullptr;
        Ref array(array_capsule(owned));
        if (!array) return nullptr;
        return PyTuple_Pack(2, schema.get(), array.get());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* text_schema_capsule(const TextBuffers& text) {
    try {
        return schema_capsule(Field{text.format(), "", {}});
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* text_array_capsules(std::shared_ptr<const TextBuffers> text) {
    try {
        Field field;
        OwnedArray owned;
        text_array(std::move(text), field, owned.array);
        Ref schema(schema_capsule(field));
        if (!schema) return nullptr;
        Ref array(array_capsule(owned));
        if (!array) return nullptr;
        return PyTuple_Pack(2, schema.get(), array.get());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* arrow_stream(PyObject* /*self*/, PyObject* table) {
    try {
        auto priv = std::make_unique<StreamPrivate>();
        if (!export_table(table, priv->field, priv->batch.array)) return nullptr;
        auto* stream = new abi::ArrowArrayStream{stream_get_schema, stream_get_next,
                                                 stream_get_last_error, stream_release, nullptr};
        stream->private_data = priv.release();
        PyObject* capsule = PyCapsule_New(stream, kStreamCapsule, free_stream_capsule);
        if (capsule == nullptr) {
            stream->release(stream);
            delete stream;
        }
        return capsule;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace bitloom::bulk
