#include "ext/bitloom_bulk/layout_pack.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "binding/buffer.hpp"
#include "binding/item_reader.hpp"
#include "core/bits.hpp"
#include "ext/bitloom_bulk/messages.hpp"
#include "paths/pack_parameters.hpp"
#include "paths/place_field.hpp"

namespace bitloom::bulk {

using py::Ref;

namespace {

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
            py::rewrap_bulk_error("packing", site);
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

}  // namespace

PyObject* layout_pack(const Layout& layout, PyObject* values) {
    std::uint8_t* data = nullptr;
    Ref packet = encoder::new_packet(layout.recipe.packet_bits, data);
    if (!packet) return nullptr;
    const auto limit = 8 * static_cast<std::uint64_t>(PyBytes_GET_SIZE(packet.get()));
    if (!place_all(layout, values, data, limit, nullptr)) return nullptr;
    return packet.release();
}

PyObject* layout_pack_into(const Layout& layout, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static constexpr py::Signature sig{"pack_into", {"buffer", "offset_bits", "values"}, 3, 3, 3};
    PyObject* argv[3] = {};
    if (!py::match_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
    std::uint64_t base = 0;
    if (!py::convert_arg(sig, 1, argv, py::to_u64, base)) return nullptr;
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

}  // namespace bitloom::bulk
