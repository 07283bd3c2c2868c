#include "binding/convert.hpp"

#include <cstring>

#include "binding/errors.hpp"
#include "binding/messages.hpp"
#include "binding/names.hpp"

namespace bitloom::py {

bool to_text(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_cast_error(obj, msg::kTargetStr);
        return false;
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (utf8 == nullptr) return false;  // lone surrogate: the interpreter's UnicodeEncodeError
    out = std::string_view(utf8, static_cast<size_t>(len));
    return true;
}

bool to_byte_string(PyObject* obj, std::string_view& out) {
    if (!PyBytes_Check(obj)) {
        raise_cast_error(obj, msg::kTargetBytes);
        return false;
    }
    out = std::string_view(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
    return true;
}

bool to_i64(PyObject* obj, std::int64_t& out) {
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_u64(PyObject* obj, std::uint64_t& out) {
    unsigned long long v;
    if (PyLong_Check(obj)) {
        v = PyLong_AsUnsignedLongLong(obj);
    } else {
        Ref index(PyNumber_Index(obj));
        if (!index) return false;
        v = PyLong_AsUnsignedLongLong(index.get());
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_u32(PyObject* obj, std::uint32_t& out) {
    std::uint64_t v = 0;
    if (!to_u64(obj, v)) return false;
    if (v > 0xFFFFFFFFULL) {
        PyErr_SetString(PyExc_OverflowError, msg::kIntegralRange.data());
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool to_u128(PyObject* obj, std::uint64_t& high, std::uint64_t& low) {
    Ref index(PyNumber_Index(obj));
    if (!index) return false;
    unsigned char buf[16];
    if (shim::long_as_u128(index.get(), buf) != 0) return false;
    std::uint64_t lo = 0, hi = 0;
    for (int i = 7; i >= 0; --i) lo = (lo << 8) | buf[i];
    for (int i = 15; i >= 8; --i) hi = (hi << 8) | buf[i];
    high = hi;
    low = lo;
    return true;
}

bool to_double(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_single(PyObject* obj, float& out) {
    double v = 0.0;
    if (!to_double(obj, v)) return false;
    out = static_cast<float>(v);  // round to nearest; beyond the range: infinity
    return true;
}

namespace {

// A numpy boolean scalar: its type's module is "numpy" and its name "bool_" or
// "bool". Decided from the type's attributes, without importing numpy.
bool is_numpy_bool(PyObject* obj) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    if (Py_TYPE(obj)->tp_as_number == nullptr || Py_TYPE(obj)->tp_as_number->nb_bool == nullptr) {
        return false;
    }
    Ref module(PyObject_GetAttr(type, names().module));
    if (!module || !PyUnicode_Check(module.get())) {
        PyErr_Clear();
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
    Ref name(PyObject_GetAttr(type, names().name));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

bool to_bool(PyObject* obj, bool& out) {
    if (obj == Py_True) {
        out = true;
        return true;
    }
    if (obj == Py_False) {
        out = false;
        return true;
    }
    if (is_numpy_bool(obj)) {
        int truth = Py_TYPE(obj)->tp_as_number->nb_bool(obj);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    raise_cast_error(obj, msg::kTargetBool);
    return false;
}

bool to_sequence(PyObject* obj, ItemList& out) {
    out.clear();
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) [[likely]] {
        // Iterating an exact list or tuple has no side effects: copy the items.
        out.assign_new_refs(PySequence_Fast_ITEMS(obj),
                            static_cast<std::size_t>(PySequence_Fast_GET_SIZE(obj)));
        return true;
    }
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, msg::kStrAsSequence.data());
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_cast_error(obj, msg::kTargetSequence);
        return false;
    }
    Py_ssize_t size = PyObject_Size(obj);
    if (size < 0) {
        PyErr_Clear();  // the length only reserves room
    } else {
        // A length only reserves room; a hostile __len__ cannot make us reserve much.
        out.reserve(static_cast<size_t>(size < (1 << 20) ? size : (1 << 20)));
    }
    Ref iter(PyObject_GetIter(obj));
    if (!iter) return false;
    while (PyObject* item = PyIter_Next(iter.get())) out.push_back(item);
    return !PyErr_Occurred();
}

}  // namespace bitloom::py
