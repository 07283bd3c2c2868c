#include "python/recipe.hpp"

#include <array>
#include <string>

#include "python/errors.hpp"

namespace bitloom::py {
namespace {

constexpr std::array<const char*, 7> kKeyTexts{"name",         "encoding",    "bits", "byte_order",
                                               "reverse_bits", "offset_bits", "value"};
std::array<PyObject*, 7> g_keys{};  // interned, kept for the process

}  // namespace

bool init_recipe_keys() {
    for (std::size_t i = 0; i < kKeyTexts.size(); ++i) {
        if (g_keys[i] != nullptr) continue;
        g_keys[i] = PyUnicode_InternFromString(kKeyTexts[i]);
        if (g_keys[i] == nullptr) return false;
    }
    return true;
}

PyObject* key_object(Key key) noexcept { return g_keys[static_cast<std::size_t>(key)]; }
const char* key_text(Key key) noexcept { return kKeyTexts[static_cast<std::size_t>(key)]; }

int lookup(PyObject* item, Key key, Ref& out) {
    PyObject* found = nullptr;
    int r = shim::dict_get_item_ref(item, key_object(key), &found);
    out = Ref(found);
    return r;
}

void raise_missing_field(Key key) {
    std::string message = "Recipe missing required field: '";
    message += key_text(key);
    message += "'";
    raise(PyExc_KeyError, message);
}

namespace {

bool find_required(PyObject* item, Key key, Ref& out) {
    int r = lookup(item, key, out);
    if (r > 0) return true;
    if (r == 0) raise_missing_field(key);
    return false;
}

}  // namespace

bool get_required_field(PyObject* item, Key key, Ref& holder, std::string_view& text) {
    return find_required(item, key, holder) && to_text(holder.get(), text);
}

bool get_required_field(PyObject* item, Key key, std::uint32_t& out) {
    Ref value;
    return find_required(item, key, value) && to_u32_fast(value.get(), out);
}

bool get_required_bool(PyObject* item, Key key, bool& out) {
    Ref value;
    return find_required(item, key, value) && to_bool(value.get(), out);
}

bool get_optional_u32(PyObject* item, Key key, bool& present, std::uint32_t& out) {
    Ref value;
    int r = lookup(item, key, value);
    if (r < 0) return false;
    present = r > 0;
    return !present || to_u32_fast(value.get(), out);
}

bool raise_invalid_byte_order(std::string_view written) {
    std::string message = "Invalid byte_order '";
    message.append(written);
    message += "': must be 'big' or 'little'";
    raise(PyExc_ValueError, message);
    return false;
}

bool raise_unsupported_encoding(std::string_view written) {
    std::string message = "Unsupported encoding type: ";
    message.append(written);
    raise(PyExc_ValueError, message);
    return false;
}

bool require_dict(PyObject* item) {
    if (PyDict_Check(item)) return true;
    raise_cast_error(item, "dict");
    return false;
}

bool lower_short_name(PyObject* obj, std::string_view text, char* buf, std::size_t cap,
                      std::string_view& lowered) {
    lowered = {};
    if (PyUnicode_IS_ASCII(obj)) {
        if (text.size() > cap) return true;  // longer than any name we know
        for (std::size_t i = 0; i < text.size(); ++i) {
            char c = text[i];
            buf[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
        }
        lowered = std::string_view(buf, text.size());
        return true;
    }
    // Non-ASCII text can still lower-case to an ASCII name (U+212A KELVIN SIGN
    // lowers to 'k'): use the interpreter's own mapping, str.lower, unbound so
    // that a subclass cannot change it.
    Ref low(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", obj));
    if (!low) return false;
    if (!PyUnicode_IS_ASCII(low.get())) return true;
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(low.get(), &len);
    if (utf8 == nullptr) return false;
    if (static_cast<std::size_t>(len) > cap) return true;
    std::copy(utf8, utf8 + len, buf);
    lowered = std::string_view(buf, static_cast<std::size_t>(len));
    return true;
}

namespace {

// Attach "while {verb} recipe item {index} ('{name}')" to the exception (PEP 678:
// add_note, or the __notes__ list where add_note does not exist yet). A failure
// to attach it leaves the exception as it is.
void add_site_note(PyObject* exc, const char* verb, const FailureSite& site) {
    if (!site.in_item) return;
    Ref note;
    if (site.name && PyUnicode_Check(site.name.get())) {
        // A str subclass's repr may fail or give something else than a str:
        // the note then names the index alone.
        note = Ref(PyUnicode_FromFormat("while %s recipe item %zu (%R)", verb, site.index,
                                        site.name.get()));
        if (!note) PyErr_Clear();
    }
    if (!note) note = Ref(PyUnicode_FromFormat("while %s recipe item %zu", verb, site.index));
    if (note) {
#if PY_VERSION_HEX >= 0x030B0000
        Ref r(PyObject_CallMethod(exc, "add_note", "O", note.get()));
#else
        Ref notes(PyObject_GetAttrString(exc, "__notes__"));
        if (!notes) {
            PyErr_Clear();
            notes = Ref(PyList_New(0));
            if (notes && PyObject_SetAttrString(exc, "__notes__", notes.get()) < 0) notes = Ref();
        }
        if (notes && PyList_Check(notes.get())) PyList_Append(notes.get(), note.get());
#endif
    }
    PyErr_Clear();
}

}  // namespace

void rewrap_pending_error(const char* verb, const FailureSite& site) {
    ensure_error_set();
    Ref exc(shim::get_raised_exception());
    if (!exc) return;
    if (!PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception)) ||
        PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_MemoryError))) {
        // Interrupts, exits, internal failures and memory exhaustion are not data errors.
        if (!PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_MemoryError))) {
            add_site_note(exc.get(), verb, site);
        }
        shim::set_raised_exception(exc.release());
        return;
    }
    Ref type_name(shim::type_qualname(Py_TYPE(exc.get())));
    if (!type_name || !PyUnicode_Check(type_name.get())) {
        PyErr_Clear();
        raise_panic("a Display implementation returned an error unexpectedly");
        return;
    }
    Ref text(PyObject_Str(exc.get()));
    Ref message;
    if (text) {
        message = Ref(PyUnicode_FromFormat("%U: %U", type_name.get(), text.get()));
    } else {
        // An interrupt or exit raised while describing the failure goes to the
        // caller as it is; an ordinary failure leaves a placeholder text.
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
            return;
        }
        PyErr_Clear();
        message = Ref(PyUnicode_FromFormat("%U: <exception str() failed>", type_name.get()));
    }
    if (!message) return;
    exc = Ref();  // the original exception is discarded, not chained
    Ref wrapped(PyObject_CallOneArg(PyExc_ValueError, message.get()));
    if (!wrapped) return;
    add_site_note(wrapped.get(), verb, site);
    PyErr_SetObject(PyExc_ValueError, wrapped.get());
}

}  // namespace bitloom::py
