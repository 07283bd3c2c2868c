// Derived values of raw columns in one pass: the loops numpy would make in
// several (an index array, an object take, a mask; a cast and two passes per
// coefficient). This file is compiled without floating-point contraction, so
// that each multiplication and addition is rounded on its own, as numpy's are.
#include "ext/bitloom_bulk/derive_columns.hpp"

#include <bit>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <vector>

#include "binding/args.hpp"
#include "binding/buffer.hpp"
#include "ext/bitloom_bulk/messages.hpp"
#include "ext/bitloom_bulk/unpack_columns.hpp"

namespace bitloom::bulk {
namespace {

using py::Ref;

// Fewest values for which the polynomial is computed with the GIL released:
// below this, releasing and taking it back costs more than it frees.
constexpr std::size_t kReleaseAt = 1 << 14;

enum class NumberKind : std::uint8_t { Signed, Unsigned, Float };

// A C-contiguous buffer of numbers in native byte order (read flat, whatever
// its shape): its kind and width from the buffer's format.
class Numbers {
public:
    // False with TypeError set naming `function`'s argument `what`.
    bool open(PyObject* obj, const char* function, const char* what) {
        if (!buffer_.acquire(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
        const Py_buffer& v = buffer_.view();
        std::string_view format = v.format != nullptr ? v.format : "B";
        if (!format.empty() && (format[0] == '@' || format[0] == '=' ||
                                (format[0] == '<' && std::endian::native == std::endian::little) ||
                                (format[0] == '>' && std::endian::native == std::endian::big))) {
            format.remove_prefix(1);
        }
        const auto size = static_cast<std::size_t>(v.itemsize);
        bool known = format.size() == 1 && (size == 1 || size == 2 || size == 4 || size == 8);
        if (known) {
            if (std::string_view("bhilqn").find(format[0]) != std::string_view::npos) {
                kind_ = NumberKind::Signed;
            } else if (std::string_view("BHILQN").find(format[0]) != std::string_view::npos) {
                kind_ = NumberKind::Unsigned;
            } else if (format[0] == 'f' || format[0] == 'd') {
                kind_ = NumberKind::Float;
                known = size == sizeof(float) || size == sizeof(double);
            } else {
                known = false;
            }
        }
        if (!known) {
            PyErr_Format(PyExc_TypeError, msg::kDeriveValues, function, what,
                         v.format != nullptr ? v.format : "B");
            return false;
        }
        width_ = size;
        count_ = static_cast<std::size_t>(v.len) / size;
        return true;
    }
    NumberKind kind() const noexcept { return kind_; }
    std::size_t width() const noexcept { return width_; }
    std::size_t count() const noexcept { return count_; }
    const void* data() const noexcept { return buffer_.view().buf; }

    // fn(const T* values) for the buffer's element type T.
    template <typename Fn>
    void visit(Fn&& fn) const {
        const void* p = data();
        switch (kind_) {
            case NumberKind::Signed:
                switch (width_) {
                    case 1: fn(static_cast<const std::int8_t*>(p)); break;
                    case 2: fn(static_cast<const std::int16_t*>(p)); break;
                    case 4: fn(static_cast<const std::int32_t*>(p)); break;
                    default: fn(static_cast<const std::int64_t*>(p)); break;
                }
                break;
            case NumberKind::Unsigned:
                switch (width_) {
                    case 1: fn(static_cast<const std::uint8_t*>(p)); break;
                    case 2: fn(static_cast<const std::uint16_t*>(p)); break;
                    case 4: fn(static_cast<const std::uint32_t*>(p)); break;
                    default: fn(static_cast<const std::uint64_t*>(p)); break;
                }
                break;
            case NumberKind::Float:
                if (width_ == sizeof(float)) {
                    fn(static_cast<const float*>(p));
                } else {
                    fn(static_cast<const double*>(p));
                }
                break;
        }
    }

private:
    py::BufferView buffer_;
    NumberKind kind_ = NumberKind::Unsigned;
    std::size_t width_ = 1;
    std::size_t count_ = 0;
};

// The index of raw value v among `n` labels from raw value `low`, or n where
// it is outside them (exact for every v and low: no difference overflows).
std::size_t index_of(std::int64_t v, std::int64_t low, std::size_t n) noexcept {
    if (v < low) return n;
    const std::uint64_t d = static_cast<std::uint64_t>(v) - static_cast<std::uint64_t>(low);
    return d < n ? static_cast<std::size_t>(d) : n;
}

std::size_t index_of(std::uint64_t v, std::int64_t low, std::size_t n) noexcept {
    if (low < 0) {
        if (v >= n) return n;  // v - low is above v
        const std::uint64_t d = v + (0 - static_cast<std::uint64_t>(low));
        return d < n ? static_cast<std::size_t>(d) : n;
    }
    if (v < static_cast<std::uint64_t>(low)) return n;
    const std::uint64_t d = v - static_cast<std::uint64_t>(low);
    return d < n ? static_cast<std::size_t>(d) : n;
}

// Each raw value's label into the column's slots (each None before); the
// number of elements left without one. Every raw value is read once, so a
// value that another thread changes meanwhile still indexes inside labels.
// With the GIL, the references each label gains (and None loses) are counted
// and added once at the end: an increment per element of a few shared
// reference counts makes every element wait for the one before.
template <typename T>
std::size_t fill_labels(const T* values, std::size_t count, std::int64_t low,
                        PyObject* const* labels, std::size_t n, PyObject** slots) {
    std::size_t unknown = 0;
#if !defined(Py_GIL_DISABLED)
    // Four counters a label, element i counting in lane i % 4, so that
    // neighbouring elements of the same label do not wait on one counter.
    constexpr std::size_t kLanes = 4;
    std::vector<std::size_t> uses(kLanes * n);
#endif
    for (std::size_t i = 0; i < count; ++i) {
        const T v = values[i];
        std::size_t at = n;
        if constexpr (std::is_signed_v<T>) {
            at = index_of(static_cast<std::int64_t>(v), low, n);
        } else {
            at = index_of(static_cast<std::uint64_t>(v), low, n);
        }
        PyObject* label = at < n ? labels[at] : Py_None;
        if (label == Py_None) {
            ++unknown;
            continue;  // the slot holds None already
        }
#if defined(Py_GIL_DISABLED)
        Py_INCREF(label);
        PyObject* old = slots[i];
        slots[i] = label;
        Py_XDECREF(old);
#else
        slots[i] = label;  // in place of None, whose reference is dropped below
        ++uses[(i % kLanes) * n + at];
#endif
    }
#if !defined(Py_GIL_DISABLED)
    // Nothing else ran meanwhile (the GIL is held): the counts are added at
    // once. An immortal object's count is left as it is, as Py_INCREF would.
    for (std::size_t j = 0; j < n; ++j) {
        std::size_t gained = 0;
        for (std::size_t lane = 0; lane < kLanes; ++lane) gained += uses[lane * n + j];
        if (gained != 0) {
            Py_SET_REFCNT(labels[j], Py_REFCNT(labels[j]) + static_cast<Py_ssize_t>(gained));
        }
    }
    if (count != unknown) {
        // Every slot held a reference to None, which the column made.
        Py_SET_REFCNT(Py_None, Py_REFCNT(Py_None) - static_cast<Py_ssize_t>(count - unknown));
    }
#endif
    return unknown;
}

// The polynomial of `coefficients` (lowest power first, at least two) of
// every value, by Horner's rule, each step rounded to float64.
template <typename T>
void horner(const T* values, std::size_t count, const std::vector<double>& c, double* out) {
    const std::size_t k = c.size();
    const double top = c[k - 1];
    const double next = c[k - 2];
    for (std::size_t i = 0; i < count; ++i) {
        const double x = static_cast<double>(values[i]);
        double r = x * top;
        r += next;
        for (std::size_t j = k - 2; j-- > 0;) {
            r *= x;
            r += c[j];
        }
        out[i] = r;
    }
}

// horner for K coefficients known when compiled.
template <std::size_t K, typename T>
void horner_fixed(const T* values, std::size_t count, const double* c, double* out) {
    static_assert(K >= 2);
    for (std::size_t i = 0; i < count; ++i) {
        const double x = static_cast<double>(values[i]);
        double r = x * c[K - 1];
        r += c[K - 2];
        for (std::size_t j = K - 2; j-- > 0;) {
            r *= x;
            r += c[j];
        }
        out[i] = r;
    }
}

}  // namespace

PyObject* label_column(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Signature sig{"_label_column", {"values", "low", "labels"}, 3, 3, 3};
    PyObject* argv[3] = {};
    if (!py::match_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
    Numbers values;
    if (!values.open(argv[0], "_label_column", "values")) return nullptr;
    if (values.kind() == NumberKind::Float) {
        PyErr_Format(PyExc_TypeError, msg::kDeriveValues, "_label_column", "values",
                     values.width() == sizeof(float) ? "f" : "d");
        return nullptr;
    }
    const long long low = PyLong_AsLongLong(argv[1]);
    if (low == -1 && PyErr_Occurred() != nullptr) return nullptr;
    PyObject* labels = argv[2];
    if (!PyTuple_Check(labels)) {
        PyErr_Format(PyExc_TypeError, msg::kDeriveTuple, "_label_column", "labels",
                     Py_TYPE(labels)->tp_name);
        return nullptr;
    }
    // A tuple never changes: its items stay put while the column is filled.
    const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(labels));
    PyObject* const* items = &PyTuple_GET_ITEM(labels, 0);
    const std::size_t count = values.count();
    PyObject** slots = nullptr;
    Ref column = new_object_column(count, slots);
    if (!column) return nullptr;
    std::size_t unknown = 0;
    values.visit([&](const auto* raw) {
        if constexpr (std::is_integral_v<std::remove_cv_t<std::remove_pointer_t<decltype(raw)>>>) {
            unknown = fill_labels(raw, count, low, items, n, slots);
        }
    });
    Ref missing = Ref::borrow(Py_None);
    if (unknown != 0) {
        std::uint8_t* flags = nullptr;
        missing = new_column(count, "bool", flags, false);
        if (!missing) return nullptr;
        for (std::size_t i = 0; i < count; ++i) flags[i] = slots[i] == Py_None ? 1 : 0;
    }
    return PyTuple_Pack(2, column.get(), missing.get());
}

PyObject* polynomial_column(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Signature sig{"_polynomial_column", {"values", "coefficients"}, 2, 2, 2};
    PyObject* argv[2] = {};
    if (!py::match_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
    Numbers values;
    if (!values.open(argv[0], "_polynomial_column", "values")) return nullptr;
    PyObject* given = argv[1];
    if (!PyTuple_Check(given)) {
        PyErr_Format(PyExc_TypeError, msg::kDeriveTuple, "_polynomial_column", "coefficients",
                     Py_TYPE(given)->tp_name);
        return nullptr;
    }
    const Py_ssize_t k = PyTuple_GET_SIZE(given);
    if (k == 0) {
        PyErr_SetString(PyExc_ValueError, msg::kDeriveEmptyCoefficients);
        return nullptr;
    }
    std::vector<double> c(static_cast<std::size_t>(k));
    for (Py_ssize_t j = 0; j < k; ++j) {
        c[static_cast<std::size_t>(j)] = PyFloat_AsDouble(PyTuple_GET_ITEM(given, j));
        if (c[static_cast<std::size_t>(j)] == -1.0 && PyErr_Occurred() != nullptr) return nullptr;
    }
    const std::size_t count = values.count();
    std::uint8_t* bytes = nullptr;
    Ref column = new_column(count, "float64", bytes, false);
    if (!column) return nullptr;
    // The column is ours alone; the values are read once each, so a caller
    // changing them meanwhile changes results, never where they are written.
    double* out = count != 0 ? reinterpret_cast<double*>(bytes) : nullptr;
    auto run = [&] {
        if (k == 1) {
            for (std::size_t i = 0; i < count; ++i) out[i] = c[0];
            return;
        }
        values.visit([&](const auto* raw) {
            // Two and three coefficients (the usual calibrations) with a loop
            // the compiler unrolls and vectorises; the same steps in order.
            if (k == 2) {
                horner_fixed<2>(raw, count, c.data(), out);
            } else if (k == 3) {
                horner_fixed<3>(raw, count, c.data(), out);
            } else {
                horner(raw, count, c, out);
            }
        });
    };
    if (count >= kReleaseAt) {
        py::ReleasedGil released;
        run();
    } else {
        run();
    }
    return column.release();
}

}  // namespace bitloom::bulk
