#include "python/plan.hpp"

#include <algorithm>
#include <array>

namespace bitloom::py {

Plan::~Plan() {
    if (!holds_entries) return;
    for (const SnapshotEntry& e : entries) {
        Py_DECREF(e.key);
        Py_XDECREF(e.value);
    }
}

#if BITLOOM_PLANS_WATCHED || BITLOOM_PLANS_SNAPSHOT
namespace {

// The cache: kSets sets of two slots each, a recipe's set chosen by a hash of
// its length and its first and last item. A recipe is planned on its second
// sighting within its set (the set remembers the last recipe it missed), so a
// program cycling through more recipes than the cache holds reads them directly
// instead of building a plan on every call and throwing it away.
constexpr std::size_t kSets = 64;
constexpr std::size_t kWays = 2;
constexpr std::size_t kMaxItems = 4096;
constexpr Py_ssize_t kMaxKeys = 32;  // snapshots: larger item dicts are read directly
constexpr int kKeyCount = 7;
// Snapshots: held texts (keys and the values of recipe keys) of more than
// kMaxHeldText characters, or more than kPlanTextBudget characters in one plan,
// keep the recipe on the direct path; what a dead recipe's plan can keep alive
// stays small.
constexpr Py_ssize_t kMaxHeldText = 256;
#if BITLOOM_PLANS_SNAPSHOT
constexpr Py_ssize_t kPlanTextBudget = 64 * 1024;
#endif

struct CacheSet {
    std::array<std::shared_ptr<Plan>, kWays> slot;
    std::uint64_t missed = 0;  // hash of the last recipe that missed here
    std::uint8_t recent = 0;   // the slot used last
};
using Cache = std::array<CacheSet, kSets>;

// Plans hold Python references, which must not be released once the
// interpreter is gone: the cache is never destroyed (no work at exit).
Cache& plan_cache() {
    static Cache* cache = new Cache();
    return *cache;
}

// Every way a plan leaves its slot goes through here: the plan is marked
// invalid first, so that a call still running on it (it holds its own
// reference) reads the rest of its items directly.
void retire(std::shared_ptr<Plan>& slot) {
    if (slot) {
        slot->valid.store(false, std::memory_order_relaxed);
        slot.reset();
    }
}

std::uint64_t recipe_hash(const ItemList& items) {
    auto h = static_cast<std::uint64_t>(items.size()) * 0x9E3779B97F4A7C15ULL;
    h ^= reinterpret_cast<std::uintptr_t>(items[0]) >> 4;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= reinterpret_cast<std::uintptr_t>(items[items.size() - 1]) >> 4;
    h *= 0x94D049BB133111EBULL;
    return (h ^ (h >> 31)) | 1;  // never 0, the empty mark
}

// Which recipe key an exact str is (its Key as an int), or -1.
int recipe_key_index(PyObject* key) {
    for (int j = 0; j < kKeyCount; ++j) {
        if (key == key_object(static_cast<Key>(j))) return j;
    }
    for (int j = 0; j < kKeyCount; ++j) {
        if (PyUnicode_CompareWithASCIIString(key, key_text(static_cast<Key>(j))) == 0) return j;
    }
    return -1;
}

// An str's text. Only an exact str where the plan holds it (the name; with
// snapshots every text): a subclass instance could carry state, take part in
// reference cycles the collector cannot see through the plan, or have a finaliser.
bool plain_text(PyObject* obj, std::string_view& out, bool held) {
    if ((held || BITLOOM_PLANS_SNAPSHOT) ? !PyUnicode_CheckExact(obj) : !PyUnicode_Check(obj)) {
        return false;
    }
    if (BITLOOM_PLANS_SNAPSHOT && PyUnicode_GET_LENGTH(obj) > kMaxHeldText) return false;
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

// The values of the recipe keys of one dict (borrowed, nullptr when absent),
// found by one walk; false when a key is not an exact str (comparing it in a
// lookup could run Python code). With `entries`, every pair is appended there
// (values that do not enter the reading as nullptr) and the item's positions noted.
bool scan_item(PyObject* dict, std::array<PyObject*, kKeyCount>& found,
               std::vector<SnapshotEntry>* entries, PlanItem& it, bool bounded) {
    found.fill(nullptr);
    bool plain = true;
    if (entries != nullptr) {
        it.first_entry = static_cast<std::uint32_t>(entries->size());
        it.value_entry = -1;
    }
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        int index = -1;
        if (PyUnicode_CheckExact(k)) {
            if (bounded && PyUnicode_GET_LENGTH(k) > kMaxHeldText) return false;
            index = recipe_key_index(k);
            if (index >= 0) found[static_cast<std::size_t>(index)] = v;
        } else {
            plain = false;
            if (entries == nullptr) return false;
        }
        if (entries != nullptr) {
            const bool read = index >= 0 && index != static_cast<int>(Key::Value);
            if (index == static_cast<int>(Key::Value)) {
                it.value_entry = static_cast<std::int32_t>(entries->size() - it.first_entry);
            }
            entries->push_back({k, read ? v : nullptr});
        }
    }
    if (entries != nullptr) {
        it.entry_count = static_cast<std::uint32_t>(entries->size() - it.first_entry);
        if (it.value_entry >= 0) it.seen_value = found[static_cast<std::size_t>(Key::Value)];
    }
    return plain;
}

// Read one item as the recipe paths would, succeeding only where that reading
// runs no Python code and cannot fail.
bool read_item(PyObject* dict, PlanItem& out, std::vector<SnapshotEntry>* entries) {
    // A split table's values are written by attribute stores, outside the
    // dict's own update path (on CPython 3.13 without a watcher event); such
    // dicts are read directly on every version.
    if (shim::dict_has_split_table(dict)) return false;
    if (entries != nullptr && PyDict_GET_SIZE(dict) > kMaxKeys) return false;
    std::array<PyObject*, kKeyCount> found;
    if (!scan_item(dict, found, entries, out, entries != nullptr)) return false;
    auto at = [&found](Key key) { return found[static_cast<std::size_t>(key)]; };
    PyObject* name = at(Key::Name);
    PyObject* encoding = at(Key::Encoding);
    PyObject* bits = at(Key::Bits);
    PyObject* order = at(Key::ByteOrder);
    PyObject* reverse = at(Key::ReverseBits);
    PyObject* offset = at(Key::OffsetBits);
    if (!name || !encoding || !bits || !order || !reverse) return false;
    std::string_view name_text, encoding_text, order_text;
    if (!plain_text(name, name_text, true) || !plain_text(encoding, encoding_text, false) ||
        !plain_text(order, order_text, false) || !plain_u32(bits, out.bits)) {
        return false;
    }
    // Lower-casing non-ASCII text calls into the interpreter; such names are
    // left to the direct path.
    if (!PyUnicode_IS_ASCII(encoding) || !PyUnicode_IS_ASCII(order)) return false;
    if (reverse != Py_True && reverse != Py_False) return false;
    out.has_offset = offset != nullptr;
    if (out.has_offset && !plain_u32(offset, out.offset)) return false;
    char buf[kShortNameCap];
    std::string_view lowered;
    if (!lower_short_name(encoding, encoding_text, buf, sizeof buf, lowered)) return false;
    out.row = core::find_encoding(lowered);
    if (out.row == nullptr) return false;
    if (!lower_short_name(order, order_text, buf, sizeof buf, lowered)) return false;
    if (!byte_order_of(lowered, out.little)) return false;
    out.reverse = reverse == Py_True;
    out.name = Ref::borrow(name);
    out.name_text = name_text;
    out.result_key = Ref::borrow(name);
    return true;
}

bool matches(const Plan& plan, const ItemList& items) {
    if (plan.items.size() != items.size()) return false;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (plan.items[i].dict != items[i]) return false;
    }
    return true;
}

}  // namespace
#endif

#if BITLOOM_PLANS_WATCHED
namespace {

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
    for (CacheSet& set : plan_cache()) {
        for (auto& slot : set.slot) {
            if (slot && std::binary_search(slot->dicts.begin(), slot->dicts.end(), dict)) {
                retire(slot);
            }
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
        if (!PyDict_Check(items[i]) || !read_item(items[i], it, nullptr)) {
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

// Watchers drop every plan whose dicts change, so a plan found is current.
bool still_holds(const Plan&) { return true; }

}  // namespace

#elif BITLOOM_PLANS_SNAPSHOT

bool Plan::rescan(const PlanItem& it, std::uint64_t tag) const noexcept {
    if (PyDict_GET_SIZE(it.dict) != static_cast<Py_ssize_t>(it.entry_count)) return false;
    const SnapshotEntry* e = entries.data() + it.first_entry;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    for (std::uint32_t j = 0; j < it.entry_count; ++j) {
        if (!PyDict_Next(it.dict, &pos, &k, &v) || k != e[j].key) return false;
        if (e[j].value != nullptr && v != e[j].value) return false;
        if (static_cast<std::int32_t>(j) == it.value_entry) value = v;
    }
    it.seen_tag = tag;
    it.seen_value = value;
    return true;
}

namespace {

// Every item of a usable plan is current (each records its tag and value).
bool all_current(const Plan& plan) {
    for (std::size_t i = 0; i < plan.items.size(); ++i) {
        if (!plan.item_current(i)) return false;
    }
    return true;
}

// An unusable plan stays so while the item that stopped it is unchanged
// ("value" aside). Its pairs are compared without references: a false match
// only keeps the direct path, which is always right.
bool still_unusable(const Plan& plan) {
    const PlanItem& it = plan.items[plan.blocker];
    if (!PyDict_Check(it.dict)) return !plan.blocker_is_dict;
    if (!plan.blocker_is_dict) return false;
    if (plan.blocker_oversized) return PyDict_GET_SIZE(it.dict) > kMaxKeys;
    const std::uint64_t tag = shim::dict_version_tag(it.dict);
    return tag == it.seen_tag || plan.rescan(it, tag);
}

std::shared_ptr<Plan> build_plan(const ItemList& items) {
    auto plan = std::make_shared<Plan>();
    plan->items.resize(items.size());
    std::uint64_t largest = 0;
    Py_ssize_t held_text = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PlanItem& it = plan->items[i];
        it.dict = items[i];
        if (!plan->usable) continue;
        const bool is_dict = PyDict_Check(items[i]);
        if (is_dict) it.seen_tag = shim::dict_version_tag(items[i]);
        const std::size_t first = plan->entries.size();
        bool planned = is_dict && read_item(items[i], it, &plan->entries);
        if (planned) {
            for (std::size_t e = first; e < plan->entries.size(); ++e) {
                held_text += PyUnicode_GET_LENGTH(plan->entries[e].key);
                PyObject* v = plan->entries[e].value;
                if (v != nullptr && PyUnicode_CheckExact(v)) held_text += PyUnicode_GET_LENGTH(v);
            }
            planned = held_text <= kPlanTextBudget;
        }
        if (!planned) {
            PyErr_Clear();
            // Keep only the pairs of the item that stopped the plan.
            plan->usable = false;
            plan->blocker = i;
            plan->blocker_is_dict = is_dict;
            plan->entries.clear();
            plan->blocker_oversized = is_dict && PyDict_GET_SIZE(items[i]) > kMaxKeys;
            if (is_dict && !plan->blocker_oversized) {
                std::array<PyObject*, kKeyCount> found;
                PlanItem& blocker = plan->items[i];
                scan_item(items[i], found, &plan->entries, blocker, false);
            }
            continue;
        }
        const std::uint64_t start = it.has_offset ? it.offset : largest;
        largest = std::max(largest, start + it.bits);
        plan->packable = plan->packable && it.row->packs;
    }
    plan->packet_bits = largest;
    if (plan->usable) {
        for (const SnapshotEntry& e : plan->entries) {
            Py_INCREF(e.key);
            Py_XINCREF(e.value);
        }
        plan->holds_entries = true;
    }
    return plan;
}

// A cached plan still reads its recipe as it is now: every item current, or,
// for an unusable plan, the item that stopped it unchanged.
bool still_holds(const Plan& plan) {
    return plan.usable ? all_current(plan) : still_unusable(plan);
}

bool ensure_watcher() { return true; }

}  // namespace

#endif

#if BITLOOM_PLANS_WATCHED || BITLOOM_PLANS_SNAPSHOT

PlanRef find_plan(const ItemList& items) {
    if (items.empty() || items.size() > kMaxItems) return nullptr;
    const std::uint64_t hash = recipe_hash(items);
    CacheSet& set = plan_cache()[hash % kSets];
    std::size_t way = kWays;
    for (std::size_t w = 0; w < kWays; ++w) {
        std::shared_ptr<Plan>& s = set.slot[w];
        if (s && matches(*s, items)) {
            set.recent = static_cast<std::uint8_t>(w);
            if (still_holds(*s)) {
                return s->usable ? s : nullptr;
            }
            retire(s);  // changed: planned again in the same place
            way = w;
            break;
        }
    }
    if (way == kWays) {
        // Not cached: plan it on its second sighting only.
        if (set.missed != hash) {
            set.missed = hash;
            return nullptr;
        }
        way = set.slot[0] ? (set.slot[1] ? 1U - set.recent : 1U) : 0U;
    }
    if (!ensure_watcher()) return nullptr;
    std::shared_ptr<Plan> plan;
    try {
        plan = build_plan(items);
    } catch (const std::bad_alloc&) {
        plan = nullptr;
    }
    retire(set.slot[way]);
    if (!plan) {
        PyErr_Clear();
        return nullptr;
    }
    set.slot[way] = plan;
    set.recent = static_cast<std::uint8_t>(way);
    set.missed = 0;
    return plan->usable ? plan : nullptr;
}

#else

PlanRef find_plan(const ItemList&) { return nullptr; }

#endif

#if !BITLOOM_PLANS_SNAPSHOT
bool Plan::rescan(const PlanItem&, std::uint64_t) const noexcept { return false; }
#endif

}  // namespace bitloom::py
