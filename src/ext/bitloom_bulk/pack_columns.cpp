#include "ext/bitloom_bulk/pack_columns.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
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
using Src = PackSource;
using Op = PackOp;

namespace {

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
bool open_column(const Layout& layout, std::size_t i, py::BufferView& buffer, PackPlan& p,
                 Py_ssize_t& rows) {
    const py::PreparedItem& item = layout.recipe.items[i];
    const core::FieldSpec& f = item.fld;
    const Py_buffer& v = buffer.view();
    if (v.ndim != 1) {
        PyErr_Format(PyExc_ValueError, msg::kColumnDims, item.key.get(), v.ndim);
        return false;
    }
    rows = v.shape[0];
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
    const bool integer = p.src != Src::None && integer_source(p.src);
    const bool integer_rule = rule == ValueRule::Unsigned64 || rule == ValueRule::Signed64;
    if (p.src == Src::None || (integer_rule && !integer)) {
        return refuse_format(layout, i, v, integer_rule ? msg::kTakesIntegers : msg::kTakesNumbers);
    }
    p.base = buffer.data();
    p.stride = v.strides != nullptr ? v.strides[0] : v.itemsize;
    if (swapped) {
        plan_swapped(p, p.base, p.stride, static_cast<std::size_t>(rows),
                     static_cast<std::size_t>(v.itemsize));
    }
    plan_numeric(p, static_cast<std::size_t>(v.itemsize));
    return true;
}

// The encoded bytes of every row of a text item, up to its first failing row
// (whose value is kept in `failed`). With the GIL held: the values are objects.
bool encode_texts(PyObject* column, PackPlan& p, Ref& failed, std::size_t rows) {
    p.ends.resize(rows);
    const core::TextCodec codec = p.fld->row->text;
    for (std::size_t r = 0; r < rows; ++r) {
        Ref value(PySequence_GetItem(column, static_cast<Py_ssize_t>(r)));
        if (!value) return false;
        std::string_view text;
        if (!py::to_text(value.get(), text) || !py::encode_text(codec, text, p.images)) {
            PyErr_Clear();  // raised again from the value if this row is the first to fail
            p.fail = r;
            failed = std::move(value);
            return true;
        }
        p.ends[r] = p.images.size();
    }
    return true;
}

}  // namespace

bool open_table(const Layout& layout, PyObject* columns, TablePack& table,
                const std::vector<bool>* optional, std::size_t rows_without_columns) {
    if (!PyDict_Check(columns) &&
        (!PyMapping_Check(columns) || PyObject_HasAttrString(columns, "keys") == 0)) {
        PyErr_Format(PyExc_TypeError, msg::kColumnsType, Py_TYPE(columns)->tp_name);
        return false;
    }
    const std::vector<py::PreparedItem>& items = layout.recipe.items;
    const std::size_t count = items.size();
    table.plans = std::vector<PackPlan>(count);
    table.objects = std::vector<Ref>(count);
    table.failed = std::vector<Ref>(count);
    table.buffers = std::make_unique<py::BufferView[]>(count);
    Py_ssize_t rows = -1;
    std::size_t first = 0;  // the item whose column set the rows
    for (std::size_t i = 0; i < count; ++i) {
        PackPlan& p = table.plans[i];
        p.fld = &items[i].fld;
        p.start = items[i].start;
        const int found = column_of(columns, items[i].key.get(), table.objects[i]);
        if (found < 0) return false;
        if (found == 0) {
            if (optional != nullptr && (*optional)[i]) {
                p.op = Op::Skipped;
                continue;
            }
            PyErr_Format(PyExc_ValueError, msg::kColumnMissing, items[i].key.get());
            return false;
        }
        PyObject* column = table.objects[i].get();
        if (!PyObject_CheckBuffer(column)) {
            PyErr_Format(PyExc_TypeError, msg::kColumnNotBuffer, items[i].key.get(),
                         Py_TYPE(column)->tp_name);
            return false;
        }
        if (!table.buffers[i].acquire(column, PyBUF_RECORDS_RO)) return false;
        Py_ssize_t n = 0;
        if (!open_column(layout, i, table.buffers[i], p, n)) return false;
        if (rows >= 0 && n != rows) {
            PyErr_Format(PyExc_ValueError, msg::kColumnRows, items[i].key.get(), n,
                         items[first].key.get(), rows);
            return false;
        }
        if (rows < 0) first = i;
        rows = n;
    }
    if (!check_keys(layout, columns)) return false;
    table.rows = rows < 0 ? rows_without_columns : static_cast<std::size_t>(rows);
    const std::uint64_t packet = (layout.recipe.packet_bits + 7) / 8;
    if (packet != 0 && table.rows > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / packet) {
        PyErr_Format(PyExc_MemoryError, msg::kColumnsTooLarge, table.rows,
                     static_cast<unsigned long long>(packet));
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        PackPlan& p = table.plans[i];
        if (p.op == Op::Text &&
            !encode_texts(table.objects[i].get(), p, table.failed[i], table.rows)) {
            return false;
        }
        if (p.op == Op::Refused && table.rows == 0) p.fail = kNoRow;
    }
    return true;
}

void raise_row_error(const Layout& layout, const TablePack& table, std::size_t index,
                     std::size_t row) {
    const py::PreparedItem& item = layout.recipe.items[index];
    const PackPlan& p = table.plans[index];
    Ref value;
    if (p.op == Op::Text) {
        value = Ref::borrow(table.failed[index].get());
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

PyObject* layout_pack_columns(const Layout& layout, PyObject* columns) {
    TablePack table;
    if (!open_table(layout, columns, table, nullptr, 0)) return nullptr;
    const std::uint64_t packet = (layout.recipe.packet_bits + 7) / 8;
    const std::size_t size = table.rows * packet;
    Ref result(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!result) return nullptr;
    std::uint8_t* const data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result.get()));
    advise_large_output(data, size);
    bool no_memory = false;
    const PackFault fault = py::without_gil([&] {
        try {
            return pack_rows(table.plans, table.rows, static_cast<std::size_t>(packet), data, size,
                             nullptr);
        } catch (const std::bad_alloc&) {
            no_memory = true;
            return PackFault{};
        }
    });
    if (no_memory) return PyErr_NoMemory();
    if (fault.row != kNoRow) {
        raise_row_error(layout, table, fault.field, fault.row);
        return nullptr;
    }
    return result.release();
}

}  // namespace bitloom::bulk
