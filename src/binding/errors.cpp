#include "binding/errors.hpp"

#include <atomic>
#include <string>

#include "binding/messages.hpp"

namespace bitloom::py {

PyObject* exception_type(core::ErrorKind kind) noexcept {
    switch (kind) {
        case core::ErrorKind::Value: return PyExc_ValueError;
        case core::ErrorKind::Key: return PyExc_KeyError;
        case core::ErrorKind::NotImplemented: return PyExc_NotImplementedError;
        case core::ErrorKind::Type: return PyExc_TypeError;
        case core::ErrorKind::Overflow: return PyExc_OverflowError;
        case core::ErrorKind::System: return PyExc_SystemError;
    }
    return PyExc_SystemError;
}

void raise(PyObject* type, std::string_view message) {
    Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return;
    // Call the type with one argument so that args == (message,) for every
    // type, KeyError included.
    Ref exc(PyObject_CallOneArg(type, text.get()));
    if (!exc) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

void raise(const core::Error& error) { raise(exception_type(error.kind), error.message); }

std::string type_qualname(PyObject* obj) {
    Ref name(shim::type_qualname(Py_TYPE(obj)));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &len);
        if (utf8 != nullptr) return std::string(utf8, static_cast<size_t>(len));
    }
    PyErr_Clear();
    return std::string(msg::kUnknownTypeName);
}

void raise_cast_error(PyObject* obj, const char* target) {
    raise(PyExc_TypeError, core::fill(msg::kCastError, type_qualname(obj), target));
}

void ensure_error_set() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, msg::kNoErrorSet.data());
    }
}

namespace {
std::atomic<PyObject*> g_panic_type{nullptr};
}  // namespace

PyObject* panic_exception_type() {
    PyObject* type = g_panic_type.load(std::memory_order_acquire);
    if (type != nullptr) return type;
    PyObject* created = PyErr_NewExceptionWithDoc(msg::kPanicName, msg::kPanicDoc,
                                                  PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    // The first one stored is kept for the life of the process.
    if (!g_panic_type.compare_exchange_strong(type, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return type;
    }
    return created;
}

void raise_panic(std::string_view message) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;
    raise(type, message.empty() ? msg::kInternalFailure : message);
}

void add_note_to_pending(PyObject* note) {
    Ref exc(shim::get_raised_exception());
    if (!exc) return;
    if (note != nullptr) {
        shim::exception_add_note(exc.get(), note, names().add_note, names().notes);
    }
    PyErr_Clear();
    shim::set_raised_exception(exc.release());
}

void prefix_argument_error(const char* param) {
    ensure_error_set();
    Ref exc(shim::get_raised_exception());
    if (!exc) return;
    if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        shim::set_raised_exception(exc.release());
        return;
    }
    Ref text(str_or_unprintable(exc.get()));
    if (!text) return;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) return;
    Ref wrapped(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!wrapped) return;
    PyException_SetContext(wrapped.get(), Py_NewRef(exc.get()));
    PyException_SetCause(wrapped.get(), exc.release());
    shim::set_raised_exception(wrapped.release());
}

PyObject* str_or_unprintable(PyObject* exc) {
    PyObject* text = PyObject_Str(exc);
    if (text != nullptr) return text;
    PyErr_WriteUnraisable(exc);
    const std::string fallback = core::fill(msg::kUnprintable, Py_TYPE(exc)->tp_name);
    return PyUnicode_FromStringAndSize(fallback.data(), static_cast<Py_ssize_t>(fallback.size()));
}

}  // namespace bitloom::py
