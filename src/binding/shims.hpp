// The one place that knows about CPython versions. Everything else calls the
// modern API names; on older interpreters these fallbacks give the same results
// and the same exception texts.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // the digits of an int (included by Python.h from 3.11)
#endif

#include "binding/messages.hpp"
#include "binding/names.hpp"

namespace bitloom::py::shim {

// PyDict_GetItemRef (3.13+): 1 and a new reference, 0 when absent, -1 on error.
inline int dict_get_item_ref(PyObject* dict, PyObject* key, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, result);
#else
    PyObject* item = PyDict_GetItemWithError(dict, key);
    if (item != nullptr) {
        *result = Py_NewRef(item);
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// PyErr_GetRaisedException (3.12+): the pending exception object (normalised,
// traceback attached) or nullptr; clears the indicator.
inline PyObject* get_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// PyErr_SetRaisedException (3.12+): steals the reference.
inline void set_raised_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    PyObject* tb = PyException_GetTraceback(exc);
    PyErr_Restore(type, exc, tb);
#endif
}

// Attach a note to an exception (PEP 678): add_note on 3.11+, else append to
// its __notes__ list, created when missing. `add_note` and `notes` are the
// interned names. A failure leaves the exception as it is, with an error set.
inline void exception_add_note(PyObject* exc, PyObject* note, PyObject* add_note,
                               PyObject* notes_name) {
#if PY_VERSION_HEX >= 0x030B0000
    (void)notes_name;
    Py_XDECREF(PyObject_CallMethodOneArg(exc, add_note, note));
#else
    (void)add_note;
    PyObject* notes = PyObject_GetAttr(exc, notes_name);
    if (notes == nullptr) {
        PyErr_Clear();
        notes = PyList_New(0);
        if (notes != nullptr && PyObject_SetAttr(exc, notes_name, notes) < 0) Py_CLEAR(notes);
    }
    if (notes != nullptr && PyList_Check(notes)) PyList_Append(notes, note);
    Py_XDECREF(notes);
#endif
}

// The qualified name of a type as a new str (PyType_GetQualName, 3.11+).
inline PyObject* type_qualname(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
    return PyType_GetQualName(type);
#else
    return PyObject_GetAttr(reinterpret_cast<PyObject*>(type), names().qualname);
#endif
}

// Write a non-negative int of at most 128 bits as 16 little-endian bytes, as
// PyLong_AsNativeBytes(v, buf, 16, NATIVE | UNSIGNED_BUFFER | REJECT_NEGATIVE)
// does. Returns 0 on success; -1 with ValueError (negative) or OverflowError
// "Python int larger than 128 bits".
inline int long_as_u128(PyObject* v, unsigned char out[16]) {
#if PY_VERSION_HEX >= 0x030D0000
    static_assert(PY_LITTLE_ENDIAN, "the 128-bit conversion assumes a little-endian host");
    Py_ssize_t need = PyLong_AsNativeBytes(v, out, 16,
                                           Py_ASNATIVEBYTES_NATIVE_ENDIAN |
                                               Py_ASNATIVEBYTES_UNSIGNED_BUFFER |
                                               Py_ASNATIVEBYTES_REJECT_NEGATIVE);
    if (need < 0) return -1;
    if (need > 16) {
        PyErr_SetString(PyExc_OverflowError, msg::kU128TooLarge.data());
        return -1;
    }
    return 0;
#else
    int sign = _PyLong_Sign(v);
    if (sign < 0) {
        PyErr_SetString(PyExc_ValueError, msg::kU128Negative.data());
        return -1;
    }
    size_t nbits = _PyLong_NumBits(v);
    if (nbits == static_cast<size_t>(-1) && PyErr_Occurred()) return -1;
    if (nbits > 128) {
        PyErr_SetString(PyExc_OverflowError, msg::kU128TooLarge.data());
        return -1;
    }
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(v), out, 16, 1, 0);
#endif
}

// The value of an exact int that fits in 64 signed bits; false (nothing
// raised) when it does not. Ints of one digit are read from the object.
inline bool exact_int_value(PyObject* v, long long& out) noexcept {
    auto* n = reinterpret_cast<PyLongObject*>(v);
#if PY_VERSION_HEX >= 0x030C0000
    if (PyUnstable_Long_IsCompact(n)) [[likely]] {
        out = static_cast<long long>(PyUnstable_Long_CompactValue(n));
        return true;
    }
#else
    const Py_ssize_t size = Py_SIZE(v);
    if (size == 0) {
        out = 0;  // zero has no digit to read
        return true;
    }
    if (size == 1 || size == -1) [[likely]] {
        out = size * static_cast<long long>(n->ob_digit[0]);
        return true;
    }
#endif
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(v, &overflow);  // an exact int: no other failure
    return overflow == 0;
}

// A new dict with room for `size` entries without resizing.
inline PyObject* dict_new_presized(Py_ssize_t size) {
#if PY_VERSION_HEX < 0x030F0000
    return _PyDict_NewPresized(size);
#else
    (void)size;
    return PyDict_New();
#endif
}

// ---- Dict fields read by recipe plans ----
// Before 3.12 every dict carries a 64-bit tag (PEP 509) drawn from one
// process-wide counter when the dict is created and again on every change of
// its contents, so an unchanged tag means the same dict in the same state.
// 3.12 deprecated the field and reuses part of it for watcher bits.
#if PY_VERSION_HEX < 0x030C0000
inline std::uint64_t dict_version_tag(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

// A dict whose values are stored apart from its keys: an instance __dict__
// sharing its class's keys, or on 3.13 one backed by the object's inline
// values. Attribute stores write such values without telling dict watchers.
inline bool dict_has_split_table(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr;
}
// ---- end of dict fields read by recipe plans ----

// Py_IsFinalizing (3.13+; _Py_IsFinalizing before): whether the interpreter
// is shutting down, when a thread that does not hold the GIL must not take it.
inline bool is_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Declare that the module needs the GIL (free-threaded builds only).
inline int module_declare_gil_used(PyObject* module) {
#ifdef Py_GIL_DISABLED
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED);
#else
    (void)module;
    return 0;
#endif
}

// Declare that the module runs without the GIL (free-threaded builds only).
inline int module_declare_gil_not_used(PyObject* module) {
#ifdef Py_GIL_DISABLED
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#else
    (void)module;
    return 0;
#endif
}

}  // namespace bitloom::py::shim
