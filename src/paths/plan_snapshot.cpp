#include "paths/plan_cache.hpp"

#if BITLOOM_PLANS_SNAPSHOT

#include "binding/item_reader.hpp"

namespace bitloom::py {
namespace {

constexpr Py_ssize_t kMaxKeys = 32;
constexpr Py_ssize_t kMaxHeldText = 256;
constexpr std::int64_t kPlanTextBudget = 64 * 1024;

// Whether a key's value enters the reading of an item (every recipe key but "value").
int recipe_key_index(PyObject* key) {
    for (std::size_t j = 0; j < kKeyCount; ++j) {
        if (key == key_object(static_cast<Key>(j))) return static_cast<int>(j);
    }
    for (std::size_t j = 0; j < kKeyCount; ++j) {
        if (PyUnicode_CompareWithASCIIString(key, key_text(static_cast<Key>(j))) == 0) {
            return static_cast<int>(j);
        }
    }
    return -1;
}

}  // namespace

bool PlanState::rescan(ItemRecord& it, PyObject* dict, std::uint64_t tag,
                       const Pair* pairs) noexcept {
    if (PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(it.count)) return false;
    const Pair* e = pairs + it.first;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    for (std::uint32_t j = 0; j < it.count; ++j) {
        if (!PyDict_Next(dict, &pos, &k, &v) || k != e[j].key) return false;
        if (e[j].value != nullptr && v != e[j].value) return false;
        if (static_cast<std::int32_t>(j) == it.value_at) value = v;
    }
    it.seen_tag = tag;
    it.seen_value = value;
    return true;
}

bool PlanState::record(PyObject* dict, std::vector<Pair>& pairs, ItemRecord& it, bool bounded,
                       std::int64_t& text_budget) {
    it.first = static_cast<std::uint32_t>(pairs.size());
    it.value_at = -1;
    it.seen_tag = shim::dict_version_tag(dict);
    it.seen_value = nullptr;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v)) {
        const int index = PyUnicode_CheckExact(k) ? recipe_key_index(k) : -1;
        if (bounded) {
            // Reading the item refused every key that is not an exact str.
            if (PyUnicode_GET_LENGTH(k) > kMaxHeldText) return false;
            text_budget -= PyUnicode_GET_LENGTH(k);
        }
        const bool read = index >= 0 && index != static_cast<int>(Key::Value);
        if (index == static_cast<int>(Key::Value)) {
            it.value_at = static_cast<std::int32_t>(pairs.size() - it.first);
            it.seen_value = v;
        }
        if (read && bounded && PyUnicode_CheckExact(v)) {
            if (PyUnicode_GET_LENGTH(v) > kMaxHeldText) return false;
            text_budget -= PyUnicode_GET_LENGTH(v);
        }
        pairs.push_back({k, read ? v : nullptr});
    }
    it.count = static_cast<std::uint32_t>(pairs.size() - it.first);
    return !bounded || text_budget >= 0;
}

int PlanState::capture(ItemView dicts, std::size_t& blocker) {
    try {
        records_.assign(dicts.size(), ItemRecord{});
        held_.clear();
        std::int64_t budget = kPlanTextBudget;
        for (std::size_t i = 0; i < dicts.size(); ++i) {
            PyObject* dict = dicts[i];
            if (PyDict_GET_SIZE(dict) > kMaxKeys ||
                !record(dict, held_, records_[i], /*bounded=*/true, budget)) {
                blocker = i;
                records_.clear();
                held_.clear();
                return 0;
            }
        }
        refs_.reserve(2 * held_.size());
        for (const Pair& p : held_) {
            refs_.push_back(Ref::borrow(p.key));
            if (p.value != nullptr) refs_.push_back(Ref::borrow(p.value));
        }
        return 1;
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

bool PlanState::capture_unusable(ItemView items, std::size_t blocker) {
    PyObject* item = items[blocker];
    blocker_is_dict_ = PyDict_Check(item);
    blocker_oversized_ = blocker_is_dict_ && PyDict_GET_SIZE(item) > kMaxKeys;
    blocker_pairs_.clear();
    if (blocker_is_dict_ && !blocker_oversized_) {
        std::int64_t unbounded = 0;
        try {
            record(item, blocker_pairs_, blocker_record_, /*bounded=*/false, unbounded);
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    return true;
}

bool PlanState::blocker_unchanged(PyObject* item) noexcept {
    if (!PyDict_Check(item)) return !blocker_is_dict_;
    if (!blocker_is_dict_) return false;
    if (blocker_oversized_) return PyDict_GET_SIZE(item) > kMaxKeys;
    const std::uint64_t tag = shim::dict_version_tag(item);
    return tag == blocker_record_.seen_tag ||
           rescan(blocker_record_, item, tag, blocker_pairs_.data());
}

}  // namespace bitloom::py

#endif
