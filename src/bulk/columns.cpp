#include "bulk/columns.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/bits.hpp"
#include "core/integer.hpp"
#include "core/portable.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/text.hpp"

namespace bitloom::bulk {
namespace {

using core::Codec;
using py::Ref;

// numpy.frombuffer and numpy.array, imported once at module initialisation
// and never changed afterwards.
PyObject* g_frombuffer = nullptr;
PyObject* g_array = nullptr;
PyObject* g_dtype = nullptr;

// The text fields of packet p; false at a decoding failure (error set).
bool decode_text_fields(const Layout& layout, const std::vector<ColumnKind>& kinds,
                        const std::vector<Ref>& lists, const PacketSet& packets, std::size_t p,
                        std::uint64_t base) {
    const std::uint8_t* packet = packets.packet(p);
    std::uint64_t position = base;
    for (std::size_t j = 0; j < layout.fields.size(); ++j) {
        const core::FieldSpec& fld = layout.fields[j].fld;
        const std::uint64_t start = core::field_start(fld, base, position);
        position = start + fld.bits;
        if (kinds[j] != ColumnKind::Text) continue;
        const std::size_t n = (static_cast<std::size_t>(fld.bits) + 7) / 8;
        PyObject* text;
        if (!fld.little && start % 8 == 0 && fld.bits % 8 == 0) {
            text = py::decode_text(fld.row->text, packet + start / 8, n);
        } else {
            std::string window(n, '\0');
            core::field_window(packet, start, fld.bits, fld.little,
                               reinterpret_cast<std::uint8_t*>(window.data()));
            text = py::decode_text(fld.row->text, reinterpret_cast<std::uint8_t*>(window.data()),
                                   n);
        }
        if (text == nullptr) return false;
        PyList_SET_ITEM(lists[j].get(), static_cast<Py_ssize_t>(p), text);
    }
    return true;
}

// Raise what unpack_parameters raises for packet p, with a note naming it.
PyObject* raise_packet_error(const Layout& layout, const PacketSet& packets, std::size_t p,
                             std::uint64_t base) {
    PyErr_Clear();
    Ref dict(unpack_one(layout, packets.packet(p), packets.length(p), base));
    if (dict) {
        py::raise_panic("a packet that failed to decode decoded on its second reading");
        return nullptr;
    }
    const auto offset = static_cast<unsigned long long>(packets.packet(p) - packets.data);
    Ref note(PyUnicode_FromFormat("in packet %zu (bytes %llu to %llu of the data)", p, offset,
                                  offset + packets.length(p)));
    add_note_to_pending(note.get());
    return nullptr;
}

}  // namespace

// Add a note to the pending exception (add_note, or __notes__ before 3.11).
void add_note_to_pending(PyObject* note) {
    Ref exc(py::shim::get_raised_exception());
    if (!exc) return;
    if (note != nullptr) {
#if PY_VERSION_HEX >= 0x030B0000
        Ref r(PyObject_CallMethod(exc.get(), "add_note", "O", note));
#else
        Ref notes(PyObject_GetAttrString(exc.get(), "__notes__"));
        if (!notes) {
            PyErr_Clear();
            notes = Ref(PyList_New(0));
            if (notes && PyObject_SetAttrString(exc.get(), "__notes__", notes.get()) < 0) {
                notes = Ref();
            }
        }
        if (notes && PyList_Check(notes.get())) PyList_Append(notes.get(), note);
#endif
    }
    PyErr_Clear();
    py::shim::set_raised_exception(exc.release());
}

bool init_numpy() {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    g_frombuffer = PyObject_GetAttrString(numpy.get(), "frombuffer");
    g_array = PyObject_GetAttrString(numpy.get(), "array");
    g_dtype = PyObject_GetAttrString(numpy.get(), "dtype");
    return g_frombuffer != nullptr && g_array != nullptr && g_dtype != nullptr;
}

Ref new_column_buffer(std::size_t size, std::uint8_t*& data, bool zeroed) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return Ref();
    }
    Ref buffer(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!buffer) return buffer;
    data = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(buffer.get()));
    if (zeroed && size != 0) std::memset(data, 0, size);
    return buffer;
}

PyObject* column_from_buffer(PyObject* buffer, const char* dtype) {
    Ref kwargs(Py_BuildValue("{ss}", "dtype", dtype));
    if (!kwargs) return nullptr;
    Ref args(PyTuple_Pack(1, buffer));
    if (!args) return nullptr;
    return PyObject_Call(g_frombuffer, args.get(), kwargs.get());
}

PyObject* object_column(PyObject* list) {
    Ref kwargs(Py_BuildValue("{sO}", "dtype", reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!kwargs) return nullptr;
    Ref args(PyTuple_Pack(1, list));
    if (!args) return nullptr;
    return PyObject_Call(g_array, args.get(), kwargs.get());
}

PyObject* decode_columns(const Layout& layout, const PacketSet& packets, std::uint64_t base) {
    const std::size_t nfields = layout.fields.size();
    std::vector<ColumnKind> kinds(nfields);
    std::vector<core::FieldSpec> fields(nfields);
    std::vector<std::uint8_t*> columns(nfields, nullptr);
    std::vector<Ref> buffers(nfields);  // bytearrays, or lists for text
    bool any_text = false;
    for (std::size_t j = 0; j < nfields; ++j) {
        fields[j] = layout.fields[j].fld;
        kinds[j] = column_kind(fields[j]);
        if (kinds[j] == ColumnKind::Text) {
            any_text = true;
            buffers[j] = Ref(PyList_New(static_cast<Py_ssize_t>(packets.count)));
        } else {
            const std::size_t width = column_item_size(kinds[j]);
            if (packets.count > PY_SSIZE_T_MAX / width) return PyErr_NoMemory();
            // Every element is written before the column is handed out.
            buffers[j] = new_column_buffer(packets.count * width, columns[j], false);
        }
        if (!buffers[j]) return nullptr;
    }
    std::size_t failed = packets.count;
    Py_BEGIN_ALLOW_THREADS failed =
        decode_numeric_columns(fields, kinds, columns, packets, base).packet;
    Py_END_ALLOW_THREADS if (any_text) {
        // The texts of the packets before the first numeric fault; a text fault
        // there is the first fault.
        for (std::size_t p = 0; p < failed; ++p) {
            if (!decode_text_fields(layout, kinds, buffers, packets, p, base)) {
                return raise_packet_error(layout, packets, p, base);
            }
        }
    }
    if (failed < packets.count) return raise_packet_error(layout, packets, failed, base);

    Ref result(py::shim::dict_new_presized(static_cast<Py_ssize_t>(nfields)));
    if (!result) return nullptr;
    for (std::size_t j = 0; j < nfields; ++j) {
        Ref column(kinds[j] == ColumnKind::Text
                       ? object_column(buffers[j].get())
                       : column_from_buffer(buffers[j].get(), column_dtype(kinds[j])));
        if (!column || PyDict_SetItem(result.get(), layout.fields[j].key.get(), column.get()) < 0) {
            return nullptr;
        }
    }
    return result.release();
}

namespace {

struct Buffer {
    Py_buffer view{};
    bool held = false;
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held) PyBuffer_Release(&view);
    }
};

// A one-dimensional array of 64-bit integers (offsets or lengths), all >= 0.
bool positions_of(PyObject* obj, const char* what, Buffer& buffer) {
    if (PyObject_GetBuffer(obj, &buffer.view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
        return false;
    }
    buffer.held = true;
    std::string_view format = buffer.view.format ? buffer.view.format : "B";
    if (!format.empty() && (format[0] == '<' || format[0] == '=' || format[0] == '@')) {
        format.remove_prefix(1);
    }
    const bool is_signed = format == "q" || format == "l";
    if (buffer.view.ndim != 1 || buffer.view.itemsize != 8 ||
        !(is_signed || format == "Q" || format == "L")) {
        PyErr_Format(PyExc_TypeError,
                     "%s must be a one-dimensional array of 64-bit integers (numpy int64 or "
                     "uint64), not one of %d dimension(s) with format '%s'",
                     what, buffer.view.ndim, buffer.view.format ? buffer.view.format : "B");
        return false;
    }
    if (is_signed) {
        const auto* v = static_cast<const std::int64_t*>(buffer.view.buf);
        const auto n = static_cast<std::size_t>(buffer.view.len / 8);
        for (std::size_t i = 0; i < n; ++i) {
            if (v[i] < 0) {
                PyErr_Format(PyExc_ValueError, "%s[%zu] is negative (%lld)", what, i,
                             static_cast<long long>(v[i]));
                return false;
            }
        }
    }
    return true;
}

}  // namespace

PyObject* unpack_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data",    "recipe",  "packet_bytes",
                                        "offsets", "lengths", "offset_bits"};
    PyObject* argv[6] = {};
    if (!parse_args("unpack_columns", args, nargs, kwnames, names, 6, 2, 2, argv)) return nullptr;
    // The recipe first: its faults come before anything about the packets.
    Ref layout_obj(layout_of(argv[1]));
    if (!layout_obj) return nullptr;
    const Layout& layout = *as_layout(layout_obj.get());
    for (int i = 2; i < 6; ++i) {
        if (argv[i] == Py_None) argv[i] = nullptr;
    }
    std::uint32_t base = 0;
    if (argv[5] != nullptr && !py::to_u32(argv[5], base)) return nullptr;

    Buffer data;
    if (PyObject_GetBuffer(argv[0], &data.view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    data.held = true;  // held until the columns are built: a bytearray cannot resize meanwhile
    PacketSet packets;
    packets.data = static_cast<const std::uint8_t*>(data.view.buf);
    packets.size = static_cast<std::size_t>(data.view.len);

    Buffer offsets, lengths;
    if (argv[2] != nullptr) {
        if (argv[3] != nullptr || argv[4] != nullptr) {
            PyErr_SetString(
                PyExc_TypeError,
                "unpack_columns() takes packet_bytes, or offsets and lengths, not both");
            return nullptr;
        }
        std::uint64_t packet_bytes = 0;
        if (!py::to_u64(argv[2], packet_bytes)) return nullptr;
        if (packet_bytes == 0) {
            PyErr_SetString(PyExc_ValueError, "packet_bytes must be at least 1");
            return nullptr;
        }
        const std::uint64_t rest = packets.size % packet_bytes;
        if (rest != 0) {
            PyErr_Format(PyExc_ValueError,
                         "the data ends with a partial packet of %llu bytes at byte %llu "
                         "(packet_bytes is %llu, the data holds %zu bytes)",
                         static_cast<unsigned long long>(rest),
                         static_cast<unsigned long long>(packets.size - rest),
                         static_cast<unsigned long long>(packet_bytes), packets.size);
            return nullptr;
        }
        packets.packet_bytes = packet_bytes;
        packets.count = packets.size / packet_bytes;
    } else {
        if (argv[3] == nullptr || argv[4] == nullptr) {
            PyErr_SetString(PyExc_TypeError,
                            "unpack_columns() needs packet_bytes, or both offsets and lengths");
            return nullptr;
        }
        if (!positions_of(argv[3], "offsets", offsets) ||
            !positions_of(argv[4], "lengths", lengths)) {
            return nullptr;
        }
        if (offsets.view.len != lengths.view.len) {
            PyErr_Format(PyExc_ValueError, "offsets holds %zd packets but lengths holds %zd",
                         offsets.view.len / 8, lengths.view.len / 8);
            return nullptr;
        }
        packets.offsets = static_cast<const std::uint64_t*>(offsets.view.buf);
        packets.lengths = static_cast<const std::uint64_t*>(lengths.view.buf);
        packets.count = static_cast<std::size_t>(offsets.view.len / 8);
        for (std::size_t i = 0; i < packets.count; ++i) {
            const std::uint64_t o = packets.offsets[i], n = packets.lengths[i];
            if (o > packets.size || n > packets.size - o) {
                PyErr_Format(PyExc_ValueError,
                             "packet %zu (offset %llu, length %llu) runs past the end of the "
                             "data (%zu bytes)",
                             i, static_cast<unsigned long long>(o),
                             static_cast<unsigned long long>(n), packets.size);
                return nullptr;
            }
        }
    }
    return decode_columns(layout, packets, base);
}

}  // namespace bitloom::bulk
