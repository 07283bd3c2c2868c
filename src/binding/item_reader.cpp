#include "binding/item_reader.hpp"

#include <array>
#include <string>

#include "binding/errors.hpp"
#include "binding/messages.hpp"
#include "binding/names.hpp"

namespace bitloom::py {
namespace {

constexpr std::array<const char*, kKeyCount> kKeyTexts{"name",       "encoding",     "bits",
                                                       "byte_order", "reverse_bits", "offset_bits",
                                                       "value"};
static_assert(static_cast<std::size_t>(Key::Value) + 1 == kKeyCount,
              "every Key has its text, in the enum's order");
std::array<PyObject*, kKeyCount> g_keys{};  // interned, kept for the process

bool intern(PyObject*& slot, const char* text) {
    if (slot == nullptr) slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

// Room for the lower-cased form of any encoding name or byte order we accept.
constexpr std::size_t kShortNameCap = 32;

}  // namespace

bool init_recipe_keys() {
    for (std::size_t i = 0; i < kKeyTexts.size(); ++i) {
        if (!intern(g_keys[i], kKeyTexts[i])) return false;
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

bool raise_invalid_byte_order(std::string_view written) {
    raise(PyExc_ValueError, core::fill(msg::kInvalidByteOrder, written));
    return false;
}

bool raise_unsupported_encoding(std::string_view written) {
    raise(PyExc_ValueError, core::fill(msg::kUnsupportedEncoding, written));
    return false;
}

bool raise_missing_value(std::string_view name) {
    raise(PyExc_KeyError, core::fill(msg::kMissingValue, name));
    return false;
}

namespace {

void raise_missing_field(Key key) {
    raise(PyExc_KeyError, core::fill(msg::kMissingField, std::string_view(key_text(key))));
}

// Lower-case a text with the Unicode lower-case mapping (str.lower, never a
// subclass override) into `buf` when the result is at most `cap` bytes of
// ASCII; `lowered` is the lowered text, or empty when it cannot be one of the
// short ASCII names we compare with. Non-ASCII text is lowered only when
// `may_call` (it calls into the interpreter); otherwise false, nothing raised.
// False with an exception set on error.
bool lower_short_name(PyObject* obj, std::string_view text, bool may_call, char* buf,
                      std::size_t cap, std::string_view& lowered) {
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
    if (!may_call) return false;
    // Non-ASCII text can still lower-case to an ASCII name (U+212A KELVIN SIGN
    // lowers to 'k'): use the interpreter's own mapping, str.lower, unbound so
    // that a subclass cannot change it.
    Ref low(PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(&PyUnicode_Type), names().lower,
                                      obj));
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

// One reading step per key and mode. Raise mode converts as the recipe paths
// always have (str subclasses, integers by __index__, numpy bools) and raises
// their errors; Refuse mode takes only the plain objects and fails silently.
template <ReadMode M>
struct Steps;

template <>
struct Steps<ReadMode::Raise> {
    static bool dict(PyObject* item) {
        if (PyDict_Check(item)) return true;
        raise_cast_error(item, msg::kTargetDict);
        return false;
    }
    static bool required(PyObject* item, Key key, Ref& out) {
        const int r = lookup(item, key, out);
        if (r > 0) return true;
        if (r == 0) raise_missing_field(key);
        return false;
    }
    // 1: found, 0: absent, -1: error.
    static int optional(PyObject* item, Key key, Ref& out) { return lookup(item, key, out); }
    static bool text(PyObject* obj, std::string_view& out) { return to_text(obj, out); }
    static bool u32(PyObject* obj, std::uint32_t& out) { return to_u32_fast(obj, out); }
    static bool flag(PyObject* obj, bool& out) { return to_bool(obj, out); }
};

template <>
struct Steps<ReadMode::Refuse> {
    // A lookup compares the key with the dict's keys of the same hash; with
    // every key an exact str that comparison runs no Python code.
    static bool dict(PyObject* item) {
        if (!PyDict_Check(item)) return false;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(item, &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k)) return false;
        }
        return true;
    }
    static bool required(PyObject* item, Key key, Ref& out) { return optional(item, key, out) > 0; }
    static int optional(PyObject* item, Key key, Ref& out) {
        PyObject* found = PyDict_GetItemWithError(item, key_object(key));
        if (found == nullptr) {
            if (!PyErr_Occurred()) return 0;
            PyErr_Clear();
            return -1;
        }
        out = Ref::borrow(found);
        return 1;
    }
    static bool text(PyObject* obj, std::string_view& out) {
        if (!PyUnicode_CheckExact(obj)) return false;
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
        if (utf8 == nullptr) {
            PyErr_Clear();
            return false;
        }
        out = std::string_view(utf8, static_cast<std::size_t>(len));
        return true;
    }
    static bool u32(PyObject* obj, std::uint32_t& out) {
        if (!PyLong_CheckExact(obj)) return false;
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow != 0 || v < 0 || v > 0xFFFFFFFFLL) return false;
        out = static_cast<std::uint32_t>(v);
        return true;
    }
    static bool flag(PyObject* obj, bool& out) {
        if (obj != Py_True && obj != Py_False) return false;
        out = obj == Py_True;
        return true;
    }
};

template <ReadMode M>
bool read_keys(PyObject* item, core::FieldSpec& fld, ItemReading& r) {
    using S = Steps<M>;
    Ref bits, reverse, offset;
    if (!S::dict(item) || !S::required(item, Key::Name, r.name) ||
        !S::text(r.name.get(), r.name_text) || !S::required(item, Key::Encoding, r.encoding) ||
        !S::text(r.encoding.get(), r.encoding_text) || !S::required(item, Key::Bits, bits) ||
        !S::u32(bits.get(), fld.bits) || !S::required(item, Key::ByteOrder, r.order) ||
        !S::text(r.order.get(), r.order_text) || !S::required(item, Key::ReverseBits, reverse) ||
        !S::flag(reverse.get(), fld.reverse)) {
        return false;
    }
    const int found = S::optional(item, Key::OffsetBits, offset);
    if (found < 0) return false;
    fld.has_offset = found > 0;
    return !fld.has_offset || S::u32(offset.get(), fld.offset);
}

}  // namespace

bool read_field(PyObject* item, ReadMode mode, core::FieldSpec& fld, ItemReading& reading) {
    const bool raising = mode == ReadMode::Raise;
    if (!(raising ? read_keys<ReadMode::Raise>(item, fld, reading)
                  : read_keys<ReadMode::Refuse>(item, fld, reading))) {
        return false;
    }
    char buf[kShortNameCap];
    std::string_view lowered;
    if (!lower_short_name(reading.encoding.get(), reading.encoding_text, raising, buf, sizeof buf,
                          lowered)) {
        return false;
    }
    fld.row = core::find_encoding(lowered);
    if (!lower_short_name(reading.order.get(), reading.order_text, raising, buf, sizeof buf,
                          lowered)) {
        return false;
    }
    fld.little = lowered == "little";
    fld.order_known = fld.little || lowered == "big";
    core::prepare_route(fld);
    return raising || (fld.row != nullptr && fld.order_known);
}

bool read_extent(PyObject* item, std::uint32_t& bits, bool& has_offset, std::uint32_t& offset) {
    using S = Steps<ReadMode::Raise>;
    Ref bits_obj, offset_obj;
    if (!S::dict(item) || !S::required(item, Key::Bits, bits_obj) ||
        !S::u32(bits_obj.get(), bits)) {
        return false;
    }
    const int found = S::optional(item, Key::OffsetBits, offset_obj);
    if (found < 0) return false;
    has_offset = found > 0;
    return !has_offset || S::u32(offset_obj.get(), offset);
}

bool fail_item(core::FieldOutcome outcome, const ItemReading& reading, const Ref& name,
               std::size_t index, FailureSite& site) {
    site.index = index;
    site.name = name;
    if (outcome == core::FieldOutcome::UnknownByteOrder) {
        raise_invalid_byte_order(reading.order_text);
    } else if (outcome == core::FieldOutcome::UnknownEncoding) {
        raise_unsupported_encoding(reading.encoding_text);
    }
    return false;
}

PyObject* result_key(const ItemReading& reading) {
    if (PyUnicode_CheckExact(reading.name.get())) return Py_NewRef(reading.name.get());
    return PyUnicode_FromStringAndSize(reading.name_text.data(),
                                       static_cast<Py_ssize_t>(reading.name_text.size()));
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
        note = Ref(PyUnicode_FromFormat(msg::kSiteNote, verb, site.index, site.name.get()));
        if (!note) PyErr_Clear();
    }
    if (!note) note = Ref(PyUnicode_FromFormat(msg::kSiteNoteIndexOnly, verb, site.index));
    if (note) {
        shim::exception_add_note(exc, note.get(), names().add_note, names().notes);
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
        message = Ref(PyUnicode_FromFormat(msg::kRewrapped, type_name.get(), text.get()));
    } else {
        // An interrupt or exit raised while describing the failure goes to the
        // caller as it is; an ordinary failure leaves a placeholder text.
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
            return;
        }
        PyErr_Clear();
        message = Ref(PyUnicode_FromFormat(msg::kRewrappedUnprintable, type_name.get()));
    }
    if (!message) return;
    exc = Ref();  // the original exception is discarded, not chained
    Ref wrapped(PyObject_CallOneArg(PyExc_ValueError, message.get()));
    if (!wrapped) return;
    add_site_note(wrapped.get(), verb, site);
    PyErr_SetObject(PyExc_ValueError, wrapped.get());
}

void rewrap_bulk_error(const char* verb, const FailureSite& site) {
    ensure_error_set();
    Ref exc(shim::get_raised_exception());
    if (!exc) return;
    if (Py_IS_TYPE(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_ValueError))) {
        add_site_note(exc.get(), verb, site);
        shim::set_raised_exception(exc.release());
        return;
    }
    shim::set_raised_exception(exc.release());
    rewrap_pending_error(verb, site);
}

}  // namespace bitloom::py
