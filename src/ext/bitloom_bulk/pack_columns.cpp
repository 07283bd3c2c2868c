#include "ext/bitloom_bulk/pack_columns.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "binding/buffer.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/item_reader.hpp"
#include "binding/text.hpp"
#include "core/bits.hpp"
#include "core/ieee754.hpp"
#include "core/numeric_field.hpp"
#include "core/portable.hpp"
#include "ext/bitloom_bulk/messages.hpp"
#include "paths/place_field.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace bitloom::bulk {

using core::ValueRule;
using py::Ref;

namespace {

constexpr std::size_t kNoRow = std::numeric_limits<std::size_t>::max();

// The element type of a numeric column.
enum class Src : std::uint8_t { I8, I16, I32, I64, U8, U16, U32, U64, F16, F32, F64, None };

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

// How a field's values are encoded: the quick routes of the packet paths, the
// general encoder, text encoded beforehand, or an encoding the packer refuses.
// Fits: an unsigned or two's complement field wide enough for every value of
// its column's element type, which needs no check.
enum class Op : std::uint8_t { Unsigned, Twos, Fits, F32, F64, General, Text, Refused };

// A value read from a column, kept for the error of the row that failed.
struct Held {
    bool is_float = false;
    bool is_signed = false;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    double d = 0.0;
};

// One field of the layout with the column its values come from.
struct Plan {
    const py::PreparedItem* item = nullptr;
    Op op = Op::General;
    Src src = Src::None;
    bool word = false;  // placed by one 8-byte read-modify-write at byte `at` of the packet
    std::uint32_t at = 0;
    unsigned tail = 0;   // the bits after the field in that word
    bool alone = false;  // no field before it shares a bit with it
    const std::uint8_t* base = nullptr;
    Py_ssize_t stride = 0;
    std::vector<std::uint8_t> native;  // a copy of a column in the other byte order
    std::string images;                // text: each row's encoded bytes, one after another
    std::vector<std::size_t> ends;     // text: where each row's bytes end in `images`
    std::size_t fail = kNoRow;         // the first row whose value fails (text, refused)
    Held held;                         // what that row held (numeric)
    Ref object;                        // what that row held (text)
};

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
inline T load(const Plan& p, std::size_t row) noexcept {
    T v;
    std::memcpy(&v, p.base + static_cast<Py_ssize_t>(row) * p.stride, sizeof v);
    return v;
}

template <Src S>
inline double as_double(typename Element<S>::T v) noexcept {
    if constexpr (S == Src::F16) {
        return static_cast<double>(core::decode_f16(v));
    } else {
        return static_cast<double>(v);
    }
}

template <Src S>
inline void hold(Plan& p, typename Element<S>::T v) noexcept {
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

inline void place_image(const Plan& p, const Out& out, std::size_t row, std::uint64_t image) {
    const core::FieldSpec& f = p.item->fld;
    const std::uint64_t start = 8 * static_cast<std::uint64_t>(row - out.first) * out.packet +
                                p.item->start;
    core::place_integer(out.data, out.limit, start, f.bits, image, f.reverse, f.little);
}

// The quick routes: returns the first row of [r0, r1) whose value fails its
// checks (kept in p.held), or r1. The checks of the whole block are gathered
// without branches; a block that failed is read again for its first row.
template <Src S, Op O, bool Word>
std::size_t quick_kernel(Plan& p, const Out& out, std::size_t r0, std::size_t r1) {
    using T = typename Element<S>::T;
    const core::FieldSpec& f = p.item->fld;
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
    const Py_ssize_t stride = p.stride;
    std::uint8_t* const data = out.data;
    const std::size_t packet = out.packet;
    const auto image_of = [&](T v) noexcept {
        if constexpr (O == Op::F32) {
            return std::uint64_t{core::f32_bits(static_cast<float>(as_double<S>(v)))};
        } else if constexpr (O == Op::F64) {
            return core::f64_bits(as_double<S>(v));
        } else {
            return static_cast<std::uint64_t>(as_i64(v)) & mask;
        }
    };
    bool bad = false;
    std::size_t r = r0;
    if constexpr (Word) {
        const bool alone = p.alone;
        const unsigned tail = p.tail;
        const std::uint64_t m = mask << tail;
        std::uint8_t* at = data + (r0 - out.first) * packet + p.at;
        const std::uint8_t* from = base + static_cast<Py_ssize_t>(r0) * stride;
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
    for (std::size_t r = r0; r < r1; ++r) {
        const T v = load<T>(p, r);
        if (fails(v)) {
            hold<S>(p, v);
            return r;
        }
    }
    return r1;  // another thread changed the value meanwhile
}

// The general way: the value converted by the field's rule, then the core encoder.
template <Src S>
std::size_t general_kernel(Plan& p, const Out& out, std::size_t r0, std::size_t r1) {
    using T = typename Element<S>::T;
    const core::FieldSpec& f = p.item->fld;
    const ValueRule rule = f.row->value;
    for (std::size_t r = r0; r < r1; ++r) {
        const T v = load<T>(p, r);
        core::NumericValue nv{};
        bool bad = false;
        if (rule == ValueRule::Single) {
            nv.f = static_cast<float>(as_double<S>(v));
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

std::size_t text_kernel(Plan& p, const Out& out, std::size_t r0, std::size_t r1) {
    const core::FieldSpec& f = p.item->fld;
    const std::size_t end = std::min(r1, p.fail);
    std::string image;
    for (std::size_t r = r0; r < end; ++r) {
        const std::size_t from = r == 0 ? 0 : p.ends[r - 1];
        image.assign(p.images, from, p.ends[r] - from);  // placing reverses it in place
        const std::uint64_t start = 8 * static_cast<std::uint64_t>(r - out.first) * out.packet +
                                    p.item->start;
        core::place_bytes(out.data, out.limit, start, f.bits,
                          reinterpret_cast<std::uint8_t*>(image.data()), image.size(), f.little);
    }
    return end < r1 ? end : r1;
}

// The packets of rows [r0, r1) from the staging area into the output of
// `size` bytes: whole words where the output has room past the packet (the
// next row's copy overwrites what spills over), its exact bytes at the end.
void copy_rows(std::uint8_t* data, std::size_t size, std::size_t packet, const Out& out,
               std::size_t r0, std::size_t r1) noexcept {
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

// A large output is first touched here, one page fault per 4 KiB page; on
// Linux, huge pages for it (where the system gives them on request) take
// one fault per 2 MiB. Only advice: nothing changes if it is not taken.
void advise_large_output(std::uint8_t* data, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t kHuge = std::size_t{1} << 21;
    if (size < 2 * kHuge) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kHuge - 1);
    if (end > begin) {
        // NOLINTNEXTLINE(performance-no-int-to-ptr): the aligned range inside the output
        static_cast<void>(madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE));
    }
#else
    static_cast<void>(data);
    static_cast<void>(size);
#endif
}

using Kernel = std::size_t (*)(Plan&, const Out&, std::size_t, std::size_t);

template <Src S>
Kernel numeric_kernel(const Plan& p) {
    switch (p.op) {
        case Op::Unsigned:
            return p.word ? quick_kernel<S, Op::Unsigned, true>
                          : quick_kernel<S, Op::Unsigned, false>;
        case Op::Twos:
            return p.word ? quick_kernel<S, Op::Twos, true> : quick_kernel<S, Op::Twos, false>;
        case Op::Fits:
            return p.word ? quick_kernel<S, Op::Fits, true> : quick_kernel<S, Op::Fits, false>;
        case Op::F32:
            return p.word ? quick_kernel<S, Op::F32, true> : quick_kernel<S, Op::F32, false>;
        case Op::F64:
            return p.word ? quick_kernel<S, Op::F64, true> : quick_kernel<S, Op::F64, false>;
        default: return general_kernel<S>;
    }
}

std::size_t refused_kernel(Plan& p, const Out&, std::size_t, std::size_t r1) {
    return std::min(p.fail, r1);
}

Kernel kernel_of(const Plan& p) {
    if (p.op == Op::Text) return text_kernel;
    if (p.op == Op::Refused) return refused_kernel;
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

// ---- reading the columns ----

// The column of `key` in the mapping: 1 found (new reference), 0 absent, -1 error.
int column_of(PyObject* columns, PyObject* key, Ref& out) {
    if (PyDict_Check(columns)) {
        PyObject* found = nullptr;
        const int r = py::shim::dict_get_item_ref(columns, key, &found);
        out = Ref(found);
        return r;
    }
    out = Ref(PyObject_GetItem(columns, key));
    if (out) return 1;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
    PyErr_Clear();
    return 0;
}

// A key of the mapping that names no item: ValueError naming it.
bool check_keys(const Layout& layout, PyObject* columns) {
    Ref keys(PyMapping_Keys(columns));
    if (!keys) return false;
    Ref fast(PySequence_Fast(keys.get(), "keys"));
    if (!fast) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
        PyObject* key = PySequence_Fast_ITEMS(fast.get())[i];
        const int in = PySequence_Contains(layout.names.get(), key);
        if (in < 0) return false;
        if (in == 0) {
            PyErr_Format(PyExc_ValueError, msg::kColumnUnknown, key);
            return false;
        }
    }
    return true;
}

// The element type of a one-dimensional numeric buffer's format, and whether
// its byte order is the machine's.
Src source_of(const Py_buffer& v, bool& swapped) {
    std::string_view format = v.format != nullptr ? v.format : "B";
    bool big = std::endian::native == std::endian::big;
    if (!format.empty() && std::string_view("@=<>!").find(format[0]) != std::string_view::npos) {
        if (format[0] == '<') big = false;
        if (format[0] == '>' || format[0] == '!') big = true;
        format.remove_prefix(1);
    }
    swapped = v.itemsize > 1 && big != (std::endian::native == std::endian::big);
    if (format.size() != 1) return Src::None;
    const char c = format[0];
    if (std::string_view("bhilqn").find(c) != std::string_view::npos) {
        switch (v.itemsize) {
            case 1: return Src::I8;
            case 2: return Src::I16;
            case 4: return Src::I32;
            case 8: return Src::I64;
            default: return Src::None;
        }
    }
    if (std::string_view("BHILQN").find(c) != std::string_view::npos) {
        switch (v.itemsize) {
            case 1: return Src::U8;
            case 2: return Src::U16;
            case 4: return Src::U32;
            case 8: return Src::U64;
            default: return Src::None;
        }
    }
    if (c == 'e' && v.itemsize == 2) return Src::F16;
    if (c == 'f' && v.itemsize == 4) return Src::F32;
    if (c == 'd' && v.itemsize == 8) return Src::F64;
    return Src::None;
}

// A text column: objects, or numpy's fixed-width str ("<n>w").
bool text_format(const Py_buffer& v) {
    std::string_view format = v.format != nullptr ? v.format : "B";
    if (!format.empty() && std::string_view("@=<>!").find(format[0]) != std::string_view::npos) {
        format.remove_prefix(1);
    }
    if (format == "O") return true;
    while (!format.empty() && format[0] >= '0' && format[0] <= '9') format.remove_prefix(1);
    return format == "w";
}

bool refuse_format(const Layout& layout, std::size_t i, const Py_buffer& v, const char* takes) {
    PyErr_Format(PyExc_TypeError, msg::kColumnFormat, layout.recipe.items[i].key.get(),
                 v.format != nullptr ? v.format : "B", layout.written[i].encoding.c_str(), takes);
    return false;
}

// Check item i's column and make its plan: the element type and where its
// values lie. A column in the other byte order is copied in the machine's.
bool open_column(const Layout& layout, std::size_t i, py::BufferView& buffer, Plan& p,
                 Py_ssize_t& rows) {
    const py::PreparedItem& item = layout.recipe.items[i];
    const core::FieldSpec& f = item.fld;
    const Py_buffer& v = buffer.view();
    if (v.ndim != 1) {
        PyErr_Format(PyExc_ValueError, msg::kColumnDims, item.key.get(), v.ndim);
        return false;
    }
    rows = v.shape[0];
    p.item = &item;
    if (f.row == nullptr || !f.row->packs) {
        p.op = Op::Refused;
        p.fail = 0;
        return true;
    }
    const ValueRule rule = f.row->value;
    if (rule == ValueRule::Text) {
        if (!text_format(v)) return refuse_format(layout, i, v, msg::kTakesText);
        p.op = Op::Text;
        return true;
    }
    bool swapped = false;
    p.src = source_of(v, swapped);
    const bool integer = p.src != Src::None && p.src < Src::F16;
    const bool integer_rule = rule == ValueRule::Unsigned64 || rule == ValueRule::Signed64;
    if (p.src == Src::None || (integer_rule && !integer)) {
        return refuse_format(layout, i, v, integer_rule ? msg::kTakesIntegers : msg::kTakesNumbers);
    }
    p.base = buffer.data();
    p.stride = v.strides != nullptr ? v.strides[0] : v.itemsize;
    if (swapped) {
        const auto width = static_cast<std::size_t>(v.itemsize);
        p.native.resize(static_cast<std::size_t>(rows) * width);
        for (Py_ssize_t r = 0; r < rows; ++r) {
            const std::uint8_t* from = p.base + r * p.stride;
            std::reverse_copy(from, from + width,
                              p.native.data() + static_cast<std::size_t>(r) * width);
        }
        p.base = p.native.data();
        p.stride = v.itemsize;
    }
    switch (f.route) {
        case core::QuickRoute::Unsigned: p.op = Op::Unsigned; break;
        case core::QuickRoute::TwosComplement: p.op = Op::Twos; break;
        case core::QuickRoute::F32: p.op = Op::F32; break;
        case core::QuickRoute::F64: p.op = Op::F64; break;
        case core::QuickRoute::None: p.op = Op::General; break;
    }
    const bool unsigned_src = p.src >= Src::U8 && p.src <= Src::U64;
    const bool narrow = 8 * static_cast<std::uint64_t>(v.itemsize) <= f.bits;
    if (narrow && p.src < Src::F16 &&
        ((p.op == Op::Unsigned && unsigned_src) || (p.op == Op::Twos && !unsigned_src))) {
        p.op = Op::Fits;
    }
    p.word = p.op != Op::General && f.plain && item.start % 8 + f.bits <= 64;
    if (p.word) {
        p.at = static_cast<std::uint32_t>(item.start / 8);
        p.tail = static_cast<unsigned>(64 - item.start % 8 - f.bits);
    }
    return true;
}

// The encoded bytes of every row of a text item, up to its first failing row
// (whose value is kept in p.object). With the GIL held: the values are objects.
bool encode_texts(PyObject* column, Plan& p, std::size_t rows) {
    p.ends.resize(rows);
    const core::TextCodec codec = p.item->fld.row->text;
    for (std::size_t r = 0; r < rows; ++r) {
        Ref value(PySequence_GetItem(column, static_cast<Py_ssize_t>(r)));
        if (!value) return false;
        std::string_view text;
        if (!py::to_text(value.get(), text) || !py::encode_text(codec, text, p.images)) {
            PyErr_Clear();  // raised again from the value if this row is the first to fail
            p.fail = r;
            p.object = std::move(value);
            return true;
        }
        p.ends[r] = p.images.size();
    }
    return true;
}

// Raise what Layout.pack raises for the failing value of item `index`, with
// the row's note.
void raise_row_error(const Layout& layout, const Plan& p, std::size_t index, std::size_t row) {
    const py::PreparedItem& item = *p.item;
    Ref value;
    if (p.op == Op::Text) {
        value = Ref::borrow(p.object.get());
    } else if (p.op == Op::Refused) {
        value = Ref::borrow(Py_None);
    } else if (p.held.is_float) {
        value = Ref(PyFloat_FromDouble(p.held.d));
    } else if (p.held.is_signed) {
        value = Ref(PyLong_FromLongLong(p.held.i));
    } else {
        value = Ref(PyLong_FromUnsignedLongLong(p.held.u));
    }
    if (!value) return;
    const std::uint64_t limit = item.start + item.fld.bits + 64;
    std::vector<std::uint8_t> scratch((limit + 7) / 8);
    const core::FieldOutcome outcome = encoder::place_field_slow(item.fld, value.get(),
                                                                 scratch.data(), limit, item.start);
    if (outcome == core::FieldOutcome::UnknownEncoding) {
        py::raise_unsupported_encoding(layout.written[index].encoding);
    } else if (outcome == core::FieldOutcome::UnknownByteOrder) {
        py::raise_invalid_byte_order(layout.written[index].order);
    } else if (outcome == core::FieldOutcome::Done) {
        py::raise_panic("pack_columns refused a value that packs");
        return;
    }
    py::FailureSite site;
    site.in_item = true;
    site.index = index;
    site.name = Ref::borrow(item.name.get());
    py::rewrap_bulk_error("packing", site);
    Ref note(PyUnicode_FromFormat(msg::kPackRowNote, row));
    if (note) {
        py::add_note_to_pending(note.get());
    } else {
        PyErr_Clear();
    }
}

}  // namespace

PyObject* layout_pack_columns(const Layout& layout, PyObject* columns) {
    if (!PyDict_Check(columns) &&
        (!PyMapping_Check(columns) || PyObject_HasAttrString(columns, "keys") == 0)) {
        PyErr_Format(PyExc_TypeError, msg::kColumnsType, Py_TYPE(columns)->tp_name);
        return nullptr;
    }
    const std::vector<py::PreparedItem>& items = layout.recipe.items;
    const std::size_t count = items.size();
    std::vector<Plan> plans(count);
    std::vector<Ref> objects(count);
    auto buffers = std::make_unique<py::BufferView[]>(count);
    Py_ssize_t rows = -1;
    std::size_t first = 0;  // the item whose column set the rows
    for (std::size_t i = 0; i < count; ++i) {
        const int found = column_of(columns, items[i].key.get(), objects[i]);
        if (found < 0) return nullptr;
        if (found == 0) {
            PyErr_Format(PyExc_ValueError, msg::kColumnMissing, items[i].key.get());
            return nullptr;
        }
        PyObject* column = objects[i].get();
        if (!PyObject_CheckBuffer(column)) {
            PyErr_Format(PyExc_TypeError, msg::kColumnNotBuffer, items[i].key.get(),
                         Py_TYPE(column)->tp_name);
            return nullptr;
        }
        if (!buffers[i].acquire(column, PyBUF_RECORDS_RO)) return nullptr;
        Py_ssize_t n = 0;
        if (!open_column(layout, i, buffers[i], plans[i], n)) return nullptr;
        if (rows >= 0 && n != rows) {
            PyErr_Format(PyExc_ValueError, msg::kColumnRows, items[i].key.get(), n,
                         items[first].key.get(), rows);
            return nullptr;
        }
        if (rows < 0) first = i;
        rows = n;
    }
    if (!check_keys(layout, columns)) return nullptr;
    const auto total = static_cast<std::size_t>(rows < 0 ? 0 : rows);
    const std::uint64_t packet = (layout.recipe.packet_bits + 7) / 8;
    if (packet != 0 && total > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / packet) {
        PyErr_Format(PyExc_MemoryError, msg::kColumnsTooLarge, total,
                     static_cast<unsigned long long>(packet));
        return nullptr;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (plans[i].op == Op::Text && !encode_texts(objects[i].get(), plans[i], total)) {
            return nullptr;
        }
        if (plans[i].op == Op::Refused && total == 0) plans[i].fail = kNoRow;
    }
    const std::size_t size = total * packet;
    Ref result(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!result) return nullptr;
    std::uint8_t* const data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result.get()));
    advise_large_output(data, size);
    // Blocks of rows whose staging area fits the first-level cache, every
    // field in recipe order within a block; the first block with a failing
    // row ends the pass.
    const std::size_t stride = (packet + 15) / 8 * 8;
    const std::size_t block = std::max<std::size_t>(64, 32768 / stride);
    std::vector<std::uint8_t> staging(block * stride);
    Out out{staging.data(), 8 * std::uint64_t{staging.size()}, stride, 0};
    std::vector<Kernel> kernels(count);
    for (std::size_t i = 0; i < count; ++i) {
        Plan& p = plans[i];
        p.alone = std::none_of(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(i),
                               [&](const py::PreparedItem& before) {
                                   return before.start < p.item->start + p.item->fld.bits &&
                                          p.item->start < before.start + before.fld.bits;
                               });
        kernels[i] = kernel_of(p);
    }
    std::size_t fail_row = kNoRow, fail_item = 0;
    {
        py::ReleasedGil released;
        for (std::size_t r0 = 0; r0 < total && fail_row == kNoRow; r0 += block) {
            const std::size_t r1 = std::min(total, r0 + block);
            std::memset(out.data, 0, (r1 - r0) * stride);
            out.first = r0;
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t r = kernels[i](plans[i], out, r0, r1);
                if (r < r1 && r < fail_row) {
                    fail_row = r;
                    fail_item = i;
                }
            }
            copy_rows(data, size, packet, out, r0, r1);
        }
    }
    if (fail_row != kNoRow) {
        raise_row_error(layout, plans[fail_item], fail_item, fail_row);
        return nullptr;
    }
    return result.release();
}

}  // namespace bitloom::bulk
