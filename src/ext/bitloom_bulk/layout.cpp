#include "ext/bitloom_bulk/layout.hpp"

#include <cstring>
#include <new>
#include <string_view>

#include "ext/bitloom_bulk/messages.hpp"
#include "core/bits.hpp"
#include "paths/extract_field.hpp"
#include "paths/pack_parameters.hpp"
#include "paths/place_field.hpp"
#include "binding/buffer.hpp"
#include "binding/errors.hpp"
#include "binding/module_init.hpp"
#include "binding/item_reader.hpp"
#include "binding/text.hpp"

namespace bitloom::bulk {

using core::Codec;
using py::Ref;

namespace {

// ---- the Layout type ----

struct LayoutObject {
    PyObject_HEAD Layout* layout;
};

PyTypeObject* g_layout_type = nullptr;

// As unpacking checks them once an item is read: the byte order, then the
// encoding; then the texts as written are kept.
bool check_and_keep_texts(void* context, std::size_t index, PyObject*,
                          const py::ItemReading& reading, py::PreparedItem& prepared) {
    if (!prepared.fld.order_known) return py::raise_invalid_byte_order(reading.order_text);
    if (prepared.fld.row == nullptr) return py::raise_unsupported_encoding(reading.encoding_text);
    WrittenTexts& written = (*static_cast<std::vector<WrittenTexts>*>(context))[index];
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
        py::rewrap_pending_error("unpacking", site);
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

// ---- packing ----

// The values of a pack call: a mapping from name to value, or a sequence in
// recipe order (one value per item).
struct Values {
    PyObject* mapping = nullptr;
    bool is_dict = false;
    Ref fast;  // the sequence as a list or tuple

    std::size_t count = 0;

    bool open(PyObject* values, std::size_t expected) {
        count = expected;
        if (PyTuple_Check(values) || PyList_Check(values)) {
            fast = Ref::borrow(values);
        } else if (PyUnicode_Check(values) || PyBytes_Check(values) || PyByteArray_Check(values)) {
            PyErr_Format(PyExc_TypeError, msg::kValuesType, Py_TYPE(values)->tp_name);
            return false;
        } else if (PyDict_Check(values)) {
            mapping = values;
            is_dict = true;
            return true;
        } else if (PyMapping_Check(values) && PyObject_HasAttrString(values, "keys")) {
            mapping = values;
            return true;
        } else {
            fast = Ref(PySequence_Fast(values, msg::kValuesNotSequence));
            if (!fast) return false;
        }
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
        if (static_cast<std::size_t>(n) != expected) {
            PyErr_Format(PyExc_ValueError, msg::kValuesCount, expected, n);
            return false;
        }
        return true;
    }
    // After the last value: a list that grew or shrank while its values were
    // converted gave values from two different lists. False with ValueError.
    bool unchanged() const {
        if (!fast || PySequence_Fast_GET_SIZE(fast.get()) == static_cast<Py_ssize_t>(count)) {
            return true;
        }
        PyErr_Format(PyExc_ValueError, msg::kValuesChanged, count,
                     PySequence_Fast_GET_SIZE(fast.get()));
        return false;
    }
    // 1: found (new reference), 0: absent, -1: error.
    int get(std::size_t i, const py::PreparedItem& f, Ref& out) const {
        if (fast) {
            // A list may have shrunk since open() counted it: a value's
            // conversion (its __index__ or __float__) can run any code.
            const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
            if (static_cast<Py_ssize_t>(i) >= n) {
                PyErr_Format(PyExc_ValueError, msg::kValuesChanged, count, n);
                return -1;
            }
            out = Ref::borrow(PySequence_Fast_ITEMS(fast.get())[i]);
            return 1;
        }
        if (is_dict) {
            PyObject* found = nullptr;
            const int r = py::shim::dict_get_item_ref(mapping, f.key.get(), &found);
            out = Ref(found);
            return r;
        }
        out = Ref(PyObject_GetItem(mapping, f.key.get()));
        if (out) return 1;
        if (PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
};

// Encode every field into `packet` (zeroed, `limit` bits): pack_parameters'
// placement pass with its errors re-wrapped. `covered`, when given, gets the
// bits of every field set.
bool place_all(const Layout& layout, PyObject* values, std::uint8_t* packet, std::uint64_t limit,
               std::uint8_t* covered) {
    Values vals;
    const std::vector<py::PreparedItem>& fields = layout.recipe.items;
    if (!vals.open(values, fields.size())) return false;
    py::FailureSite site;
    site.in_item = true;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const py::PreparedItem& f = fields[i];
        Ref value;
        // A tuple holds its items for the whole call; any other container's
        // item is held here, since a value's conversion code may change it.
        const bool tuple = vals.fast && PyTuple_CheckExact(vals.fast.get());
        const int found = tuple ? 1 : vals.get(i, f, value);
        PyObject* item = tuple ? PyTuple_GET_ITEM(vals.fast.get(), i) : value.get();
        bool ok = found > 0;
        const std::uint64_t start = f.start;
        if (found == 0) {
            Py_ssize_t len = 0;
            const char* name = PyUnicode_AsUTF8AndSize(f.key.get(), &len);
            if (name != nullptr) py::raise_missing_value({name, static_cast<std::size_t>(len)});
        } else if (ok) {
            // Compiling checked the byte order; only the encoding can be one
            // the packer refuses.
            const core::FieldOutcome outcome = encoder::place_field(f.fld, item, packet, limit,
                                                                    start);
            ok = outcome == core::FieldOutcome::Done;
            if (outcome == core::FieldOutcome::UnknownEncoding) {
                py::raise_unsupported_encoding(layout.written[i].encoding);
            }
        }
        if (!ok) {
            site.index = i;
            site.name = f.name;
            py::rewrap_pending_error("packing", site);
            return false;
        }
        if (covered != nullptr) {
            for (std::uint64_t b = 0; b < f.fld.bits; b += 64) {
                const auto n = static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(64, f.fld.bits - b));
                core::write_bits(covered, limit, start + b, n, core::low_bits_mask(n));
            }
        }
    }
    return vals.unchanged();
}

PyObject* layout_pack(PyObject* self, PyObject* values) {
    const Layout& layout = layout_from(self);
    std::uint8_t* data = nullptr;
    Ref packet = encoder::new_packet(layout.recipe.packet_bits, data);
    if (!packet) return nullptr;
    const auto limit = 8 * static_cast<std::uint64_t>(PyBytes_GET_SIZE(packet.get()));
    if (!place_all(layout, values, data, limit, nullptr)) return nullptr;
    return packet.release();
}

PyObject* layout_pack_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static constexpr py::Signature sig{"pack_into", {"buffer", "offset_bits", "values"}, 3, 3, 3};
    PyObject* argv[3] = {};
    if (!py::match_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
    std::uint64_t base = 0;
    if (!py::convert_arg(sig, 1, argv, py::to_u64, base)) return nullptr;
    const Layout& layout = layout_from(self);
    py::BufferView buffer;
    if (!buffer.acquire(argv[0], PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) return nullptr;
    const auto size = static_cast<std::uint64_t>(buffer.size());
    if (base > 8 * size || layout.recipe.packet_bits > 8 * size - base) {
        PyErr_Format(PyExc_ValueError, msg::kPackIntoFit,
                     static_cast<unsigned long long>(layout.recipe.packet_bits),
                     static_cast<unsigned long long>(base), static_cast<unsigned long long>(size));
        return nullptr;
    }
    // Encode everything first: a failure leaves the buffer untouched.
    const std::uint64_t length = (layout.recipe.packet_bits + 7) / 8;
    std::vector<std::uint8_t> image(length), covered(length);
    if (!place_all(layout, argv[2], image.data(), length * 8, covered.data())) return nullptr;
    std::uint8_t* dst = buffer.data();
    for (std::uint64_t k = 0; k < length; ++k) {
        const std::uint8_t mask = covered[k];
        if (mask == 0) continue;
        const std::uint64_t at = base + 8 * k;
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(8, 8 * size - at));
        // The packet's byte k lies at bit `at`; only its first n bits exist there
        // (the rest lie beyond the packet's bits, which no field covers).
        const std::uint64_t old = core::read_bits(dst, at, n);
        const std::uint64_t m = mask >> (8 - n), v = image[k] >> (8 - n);
        core::write_bits(dst, 8 * size, at, n, (old & ~m) | (v & m));
    }
    Py_RETURN_NONE;
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
        Ref item(f.fld.has_offset
                     ? Py_BuildValue("{sOss#sIss#sOsI}", "name", f.key.get(), "encoding",
                                     encoding.data(),
                                     static_cast<Py_ssize_t>(encoding.size()), "bits",
                                     f.fld.bits, "byte_order", order.data(),
                                     static_cast<Py_ssize_t>(order.size()),
                                     "reverse_bits", f.fld.reverse ? Py_True : Py_False,
                                     "offset_bits", f.fld.offset)
                     : Py_BuildValue("{sOss#sIss#sO}", "name", f.key.get(), "encoding",
                                     encoding.data(),
                                     static_cast<Py_ssize_t>(encoding.size()), "bits",
                                     f.fld.bits, "byte_order", order.data(),
                                     static_cast<Py_ssize_t>(order.size()),
                                     "reverse_bits", f.fld.reverse ? Py_True : Py_False));
        if (!item) return nullptr;
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
    {"pack", layout_pack, METH_O,
     "pack($self, values, /)\n--\n\nBuild the packet of the recipe carrying these values (a "
     "mapping from "
     "name to value, or a sequence in recipe order), as pack_parameters does."},
    {"pack_into", as_cfunction(layout_pack_into), METH_FASTCALL | METH_KEYWORDS,
     "pack_into($self, buffer, offset_bits, values)\n--\n\nWrite the fields into a writable buffer "
     "at "
     "a bit offset, leaving every other bit as it was."},
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
            py::rewrap_pending_error("unpacking", site);
            return nullptr;
        }
    }
    return result.release();
}

}  // namespace bitloom::bulk
