#include "ext/bitloom_bulk/layout.hpp"

#include <cstring>
#include <new>
#include <string_view>

#include "binding/buffer.hpp"
#include "binding/errors.hpp"
#include "binding/item_reader.hpp"
#include "binding/module_init.hpp"
#include "binding/text.hpp"
#include "core/bits.hpp"
#include "ext/bitloom_bulk/layout_pack.hpp"
#include "ext/bitloom_bulk/messages.hpp"
#include "ext/bitloom_bulk/pack_columns.hpp"
#include "paths/extract_field.hpp"

namespace bitloom::bulk {

using core::Codec;
using py::Ref;

namespace {

// ---- the Layout type ----

struct LayoutObject {
    PyObject_HEAD Layout* layout;
};

PyTypeObject* g_layout_type = nullptr;
// "dtype" and "float32", interned, kept for the process.
PyObject* g_dtype_key = nullptr;
PyObject* g_float32_text = nullptr;

// An item's optional "dtype": absent, or "float32" on a binary16 or binary32
// field (its column's element type). False with the error set.
bool read_dtype(PyObject* item, const py::ItemReading& reading, const core::FieldSpec& fld,
                bool& float32) {
    PyObject* found = nullptr;
    if (py::shim::dict_get_item_ref(item, g_dtype_key, &found) < 0) return false;
    if (found == nullptr) return true;
    const Ref dtype(found);
    if (!PyUnicode_CheckExact(dtype.get()) ||
        PyUnicode_CompareWithASCIIString(dtype.get(), "float32") != 0) {
        PyErr_Format(PyExc_ValueError, msg::kDtypeValue, dtype.get());
        return false;
    }
    if (!float32_exact(fld)) {
        const std::string encoding(reading.encoding_text);
        PyErr_Format(PyExc_ValueError, msg::kDtypeEncoding, encoding.c_str());
        return false;
    }
    float32 = true;
    return true;
}

// As unpacking checks them once an item is read: the byte order, then the
// encoding, then the column's dtype; then the texts as written are kept.
bool check_and_keep_texts(void* context, std::size_t index, PyObject* item,
                          const py::ItemReading& reading, py::PreparedItem& prepared) {
    if (!prepared.fld.order_known) return py::raise_invalid_byte_order(reading.order_text);
    if (prepared.fld.row == nullptr) return py::raise_unsupported_encoding(reading.encoding_text);
    WrittenTexts& written = (*static_cast<std::vector<WrittenTexts>*>(context))[index];
    if (!read_dtype(item, reading, prepared.fld, written.float32)) return false;
    written.encoding.assign(reading.encoding_text);
    written.order.assign(reading.order_text);
    return true;
}

bool build_layout(PyObject* recipe, Layout& layout) {
    py::ItemList items;
    if (!py::to_sequence(recipe, items)) return false;
    layout.written.resize(items.size());
    py::FailureSite site;
    if (!py::prepare(items, py::ReadMode::Raise, layout.recipe, site.index, site.name,
                     check_and_keep_texts, &layout.written)) {
        site.in_item = true;
        py::rewrap_bulk_error("unpacking", site);
        return false;
    }
    const std::vector<py::PreparedItem>& fields = layout.recipe.items;
    layout.names = Ref(PyTuple_New(static_cast<Py_ssize_t>(fields.size())));
    if (!layout.names) return false;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        PyTuple_SET_ITEM(layout.names.get(), static_cast<Py_ssize_t>(i),
                         Py_NewRef(fields[i].key.get()));
    }
    return true;
}

const Layout& layout_from(PyObject* self) { return *reinterpret_cast<LayoutObject*>(self)->layout; }

void layout_dealloc(PyObject* self) {
    delete reinterpret_cast<LayoutObject*>(self)->layout;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* layout_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    static constexpr py::Signature sig{"unpack", {"packet", "offset_bits"}, 2, 1, 2};
    PyObject* argv[2] = {};
    if (!py::match_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
    std::uint32_t base = 0;
    if (argv[1] != nullptr && !py::convert_arg(sig, 1, argv, py::to_u32_fast, base)) {
        return nullptr;
    }
    if (PyBytes_CheckExact(argv[0])) {
        return unpack_one(layout_from(self),
                          reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(argv[0])),
                          static_cast<std::size_t>(PyBytes_GET_SIZE(argv[0])), base);
    }
    py::BufferView buffer;
    if (!buffer.acquire(argv[0], PyBUF_C_CONTIGUOUS)) return nullptr;
    return unpack_one(layout_from(self), buffer.data(), buffer.size(), base);
}

// ---- the methods and attributes ----

PyObject* layout_pack_method(PyObject* self, PyObject* values) {
    return layout_pack(layout_from(self), values);
}

PyObject* layout_pack_into_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return layout_pack_into(layout_from(self), args, nargs, kwnames);
}

PyObject* layout_pack_columns_method(PyObject* self, PyObject* columns) {
    return layout_pack_columns(layout_from(self), columns);
}

// ---- pickling and attributes ----

PyObject* layout_recipe(const Layout& layout) {
    const std::vector<py::PreparedItem>& fields = layout.recipe.items;
    Ref list(PyList_New(static_cast<Py_ssize_t>(fields.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const py::PreparedItem& f = fields[i];
        const std::string& encoding = layout.written[i].encoding;
        const std::string& order = layout.written[i].order;
        Ref item(
            f.fld.has_offset
                ? Py_BuildValue("{sOss#sIss#sOsI}", "name", f.key.get(), "encoding",
                                encoding.data(), static_cast<Py_ssize_t>(encoding.size()), "bits",
                                f.fld.bits, "byte_order", order.data(),
                                static_cast<Py_ssize_t>(order.size()), "reverse_bits",
                                f.fld.reverse ? Py_True : Py_False, "offset_bits", f.fld.offset)
                : Py_BuildValue("{sOss#sIss#sO}", "name", f.key.get(), "encoding", encoding.data(),
                                static_cast<Py_ssize_t>(encoding.size()), "bits", f.fld.bits,
                                "byte_order", order.data(), static_cast<Py_ssize_t>(order.size()),
                                "reverse_bits", f.fld.reverse ? Py_True : Py_False));
        if (!item) return nullptr;
        if (layout.written[i].float32 &&
            PyDict_SetItem(item.get(), g_dtype_key, g_float32_text) < 0) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
}

PyObject* layout_reduce(PyObject* self, PyObject*) {
    Ref module(PyImport_ImportModule("bitloom_bulk._native"));
    if (!module) return nullptr;
    Ref fn(PyObject_GetAttrString(module.get(), "compile"));
    if (!fn) return nullptr;
    Ref recipe(layout_recipe(layout_from(self)));
    if (!recipe) return nullptr;
    return Py_BuildValue("O(O)", fn.get(), recipe.get());
}

PyObject* layout_get_recipe(PyObject* self, void*) { return layout_recipe(layout_from(self)); }
PyObject* layout_get_names(PyObject* self, void*) {
    return Py_NewRef(layout_from(self).names.get());
}
PyObject* layout_get_packet_bits(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(layout_from(self).recipe.packet_bits);
}

PyObject* layout_repr(PyObject* self) {
    const Layout& layout = layout_from(self);
    return PyUnicode_FromFormat(msg::kLayoutRepr, PyTuple_GET_SIZE(layout.names.get()),
                                static_cast<unsigned long long>(layout.recipe.packet_bits));
}

using py::as_cfunction;

PyMethodDef g_layout_methods[] = {
    {"unpack", as_cfunction(layout_unpack), METH_FASTCALL | METH_KEYWORDS,
     "unpack($self, packet, offset_bits=0)\n--\n\nDecode one packet into a dict, as "
     "unpack_parameters "
     "does."},
    {"pack", layout_pack_method, METH_O,
     "pack($self, values, /)\n--\n\nBuild the packet of the recipe carrying these values (a "
     "mapping from "
     "name to value, or a sequence in recipe order), as pack_parameters does."},
    {"pack_into", as_cfunction(layout_pack_into_method), METH_FASTCALL | METH_KEYWORDS,
     "pack_into($self, buffer, offset_bits, values)\n--\n\nWrite the fields into a writable buffer "
     "at "
     "a bit offset, leaving every other bit as it was."},
    {"pack_columns", layout_pack_columns_method, METH_O,
     "pack_columns($self, columns, /)\n--\n\nBuild the packets of many rows at once: columns maps "
     "each item's name to a one-dimensional array (integers or floats for numbers, objects or "
     "'U<n>' strings for text), all of one length; the packets, each what pack() gives for its "
     "row, come back concatenated in one bytes object."},
    {"__reduce__", layout_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_layout_getset[] = {
    {"names", layout_get_names, nullptr, "The items' names, in recipe order.", nullptr},
    {"packet_bits", layout_get_packet_bits, nullptr, "The size of a packed packet in bits.",
     nullptr},
    {"recipe", layout_get_recipe, nullptr, "The recipe as plain data (no values).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_layout_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(layout_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(layout_repr)},
    {Py_tp_methods, g_layout_methods},
    {Py_tp_getset, g_layout_getset},
    {Py_tp_doc, const_cast<char*>("A recipe read once: compile(recipe) makes one.")},
    {0, nullptr},
};

PyType_Spec g_layout_spec = {
    "bitloom_bulk._native.Layout",
    sizeof(LayoutObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    g_layout_slots,
};

}  // namespace

bool init_layout_type(PyObject* module) {
    if (g_dtype_key == nullptr) g_dtype_key = PyUnicode_InternFromString("dtype");
    if (g_float32_text == nullptr) g_float32_text = PyUnicode_InternFromString("float32");
    if (g_dtype_key == nullptr || g_float32_text == nullptr) return false;
    PyObject* type = PyType_FromModuleAndSpec(module, &g_layout_spec, nullptr);
    if (type == nullptr) return false;
    g_layout_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the process
    return PyModule_AddObjectRef(module, "Layout", type) == 0;
}

const Layout* as_layout(PyObject* obj) noexcept {
    if (g_layout_type == nullptr || Py_TYPE(obj) != g_layout_type) return nullptr;
    return reinterpret_cast<LayoutObject*>(obj)->layout;
}

PyObject* compile(PyObject*, PyObject* recipe) {
    auto* layout = new (std::nothrow) Layout;
    if (layout == nullptr) return PyErr_NoMemory();
    if (!build_layout(recipe, *layout)) {
        delete layout;
        return nullptr;
    }
    auto* self = PyObject_New(LayoutObject, g_layout_type);
    if (self == nullptr) {
        delete layout;
        return nullptr;
    }
    self->layout = layout;
    return reinterpret_cast<PyObject*>(self);
}

PyObject* layout_of(PyObject* recipe) {
    if (as_layout(recipe) != nullptr) return Py_NewRef(recipe);
    return compile(nullptr, recipe);
}

PyObject* unpack_one(const Layout& layout, const std::uint8_t* packet, std::size_t len,
                     std::uint64_t base) {
    const std::vector<py::PreparedItem>& fields = layout.recipe.items;
    Ref result(py::shim::dict_new_presized(static_cast<Py_ssize_t>(fields.size())));
    if (!result) return nullptr;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const py::PreparedItem& f = fields[i];
        const std::uint64_t start = base + f.start;
        if (decoder::extract_field(f.fld, packet, len, start, f.key.get(), result.get()) !=
            core::FieldOutcome::Done) [[unlikely]] {
            py::FailureSite site;
            site.in_item = true;
            site.index = i;
            site.name = f.name;
            if (!core::field_in_packet(start, f.fld.bits, len) &&
                PyErr_ExceptionMatches(PyExc_ValueError)) {
                // The core's bounds error counts bytes; the recipe counts bits.
                PyErr_Clear();
                const std::uint64_t end = start + f.fld.bits;
                const std::uint64_t packet_bits = 8 * static_cast<std::uint64_t>(len);
                PyErr_Format(PyExc_ValueError, msg::kFieldPastPacket, f.key.get(),
                             static_cast<unsigned long long>(start),
                             static_cast<unsigned long long>(end),
                             static_cast<unsigned long long>(packet_bits), len,
                             len == 1 ? "byte" : "bytes");
            }
            py::rewrap_bulk_error("unpacking", site);
            return nullptr;
        }
    }
    return result.release();
}

}  // namespace bitloom::bulk
