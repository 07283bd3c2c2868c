#include "python/plan.hpp"

#include <algorithm>
#include <array>

#include "python/recipe.hpp"

// Dict watchers exist from CPython 3.12. A free-threaded interpreter may run
// with the GIL disabled despite the module's declaration; plans are not used there.
#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
#define BITLOOM_PLANS 1
#else
#define BITLOOM_PLANS 0
#endif

namespace bitloom::py {

#if BITLOOM_PLANS
namespace {

constexpr std::size_t kCacheSize = 8;
constexpr std::size_t kMaxItems = 4096;
constexpr std::size_t kNameCap = 32;

std::array<std::shared_ptr<Plan>, kCacheSize> g_cache;
std::size_t g_next_slot = 0;
int g_watcher = -1;  // -1: not yet tried, -2: unavailable

bool is_value_key(PyObject* key) {
    if (key == key_object(Key::Value)) return true;
    return key != nullptr && PyUnicode_CheckExact(key) &&
           PyUnicode_CompareWithASCIIString(key, "value") == 0;
}

// Every change of a watched dict but one of its "value" drops the plans that
// read it. Runs with the GIL held; must not raise.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) {
    if ((event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
         event == PyDict_EVENT_DELETED) &&
        is_value_key(key)) {
        return 0;
    }
    for (auto& slot : g_cache) {
        if (slot && std::binary_search(slot->dicts.begin(), slot->dicts.end(), dict)) {
            slot->valid.store(false, std::memory_order_relaxed);
            slot.reset();  // a call still using it holds its own reference
        }
    }
    return 0;
}

bool ensure_watcher() {
    if (g_watcher >= 0) return true;
    if (g_watcher == -2) return false;
    int id = PyDict_AddWatcher(on_dict_event);
    if (id < 0) {
        PyErr_Clear();
        g_watcher = -2;
        return false;
    }
    g_watcher = id;
    return true;
}

// An exact str's text; false for anything else (a subclass may carry state).
bool plain_text(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) return false;
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
    if (utf8 == nullptr) return false;
    out = std::string_view(utf8, static_cast<size_t>(len));
    return true;
}

bool plain_u32(PyObject* obj, std::uint32_t& out) {
    if (!PyLong_CheckExact(obj)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0 || v < 0 || v > 0xFFFFFFFFLL) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

// Borrowed value of a key, or nullptr when absent.
PyObject* peek(PyObject* dict, Key key) { return PyDict_GetItemWithError(dict, key_object(key)); }

// Read one item as the recipe paths would, succeeding only where that reading
// runs no Python code and cannot fail.
bool read_item(PyObject* dict, PlanItem& out) {
    if (!PyDict_Check(dict)) return false;
    // Changes to a split table's values may come without a watcher event.
    if (shim::dict_has_split_table(dict)) return false;
    // Keys other than exact str could run Python code while being compared.
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k)) return false;
    }
    PyObject* name = peek(dict, Key::Name);
    PyObject* encoding = peek(dict, Key::Encoding);
    PyObject* bits = peek(dict, Key::Bits);
    PyObject* order = peek(dict, Key::ByteOrder);
    PyObject* reverse = peek(dict, Key::ReverseBits);
    PyObject* offset = peek(dict, Key::OffsetBits);
    if (!name || !encoding || !bits || !order || !reverse) return false;
    std::string_view name_text, encoding_text, order_text;
    if (!plain_text(name, name_text) || !plain_text(encoding, encoding_text) ||
        !plain_text(order, order_text) || !plain_u32(bits, out.bits)) {
        return false;
    }
    if (reverse != Py_True && reverse != Py_False) return false;
    out.has_offset = offset != nullptr;
    if (out.has_offset && !plain_u32(offset, out.offset)) return false;
    char buf[kNameCap];
    std::string_view lowered;
    if (!lower_short_name(encoding, encoding_text, buf, sizeof buf, lowered)) return false;
    out.row = core::find_encoding(lowered);
    if (out.row == nullptr) return false;
    if (!lower_short_name(order, order_text, buf, sizeof buf, lowered)) return false;
    if (lowered == "little") {
        out.little = true;
    } else if (lowered == "big") {
        out.little = false;
    } else {
        return false;
    }
    out.reverse = reverse == Py_True;
    out.name = Ref::borrow(name);
    out.name_text = name_text;
    out.result_key = PyUnicode_CheckExact(name)
                         ? Ref::borrow(name)
                         : Ref(PyUnicode_FromStringAndSize(
                               name_text.data(), static_cast<Py_ssize_t>(name_text.size())));
    return static_cast<bool>(out.result_key);
}

// A plan of the items; when they cannot be planned, a plan marked unusable that
// remembers so (until one of its dicts changes) instead of trying every call.
std::shared_ptr<Plan> build_plan(const ItemList& items) {
    auto plan = std::make_shared<Plan>();
    plan->items.resize(items.size());
    std::uint64_t largest = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PlanItem& it = plan->items[i];
        it.dict = items[i];
        if (PyDict_Check(items[i])) plan->dicts.push_back(items[i]);
        if (!plan->usable) continue;
        if (!read_item(items[i], it)) {
            PyErr_Clear();
            plan->usable = false;
            continue;
        }
        const std::uint64_t start = it.has_offset ? it.offset : largest;
        largest = std::max(largest, start + it.bits);
        plan->packable = plan->packable && it.row->packs;
    }
    plan->packet_bits = largest;
    std::sort(plan->dicts.begin(), plan->dicts.end());
    plan->dicts.erase(std::unique(plan->dicts.begin(), plan->dicts.end()), plan->dicts.end());
    for (PyObject* dict : plan->dicts) {
        if (PyDict_Watch(g_watcher, dict) < 0) return nullptr;
    }
    return plan;
}

bool matches(const Plan& plan, const ItemList& items) {
    if (plan.items.size() != items.size()) return false;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (plan.items[i].dict != items[i]) return false;
    }
    return true;
}

}  // namespace

PlanRef find_plan(const ItemList& items) {
    if (items.empty() || items.size() > kMaxItems) return nullptr;
    for (const auto& slot : g_cache) {
        if (slot && matches(*slot, items)) return slot->usable ? slot : nullptr;
    }
    if (!ensure_watcher()) return nullptr;
    std::shared_ptr<Plan> plan;
    try {
        plan = build_plan(items);
    } catch (const std::bad_alloc&) {
        plan = nullptr;
    }
    if (!plan) {
        PyErr_Clear();
        return nullptr;
    }
    g_cache[g_next_slot] = plan;
    g_next_slot = (g_next_slot + 1) % kCacheSize;
    return plan->usable ? plan : nullptr;
}

#else

PlanRef find_plan(const ItemList&) { return nullptr; }

#endif

}  // namespace bitloom::py
