#include "paths/plan_cache.hpp"

#if BITLOOM_PLANS_WATCHED

#include <algorithm>

#include "binding/item_reader.hpp"

namespace bitloom::py {
namespace {

int g_watcher = -1;  // -1: not yet tried, -2: unavailable
constexpr std::uint64_t kNeverSeen = ~std::uint64_t{0};

bool is_value_key(PyObject* key) {
    if (key == key_object(Key::Value)) return true;
    return key != nullptr && PyUnicode_CheckExact(key) &&
           PyUnicode_CompareWithASCIIString(key, key_text(Key::Value)) == 0;
}

// Every change of a watched dict but one of its "value" retires the plans that
// read it. Runs with the GIL held; must not raise.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) {
    if ((event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
         event == PyDict_EVENT_DELETED) &&
        is_value_key(key)) {
        ++watched_value_epoch;
        return 0;
    }
    retire_plans_reading(dict, event == PyDict_EVENT_DEALLOCATED);
    return 0;
}

}  // namespace

bool PlanState::ready() noexcept {
    if (g_watcher >= 0) return true;
    if (g_watcher == -2) return false;
    const int id = PyDict_AddWatcher(on_dict_event);
    if (id < 0) {
        PyErr_Clear();
        g_watcher = -2;
        return false;
    }
    g_watcher = id;
    return true;
}

PyObject* PlanState::look_up_value(std::size_t i, PyObject* dict) noexcept {
    // Every key of a planned dict is an exact str: the lookup runs no Python code.
    PyObject* v = PyDict_GetItemWithError(dict, key_object(Key::Value));
    if (v != nullptr || !PyErr_Occurred()) seen_[i] = {watched_value_epoch, v};
    return v;
}

bool PlanState::watch_all() {
    std::sort(dicts_.begin(), dicts_.end());
    dicts_.erase(std::unique(dicts_.begin(), dicts_.end()), dicts_.end());
    for (PyObject* dict : dicts_) {
        if (PyDict_Watch(g_watcher, dict) < 0) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

int PlanState::capture(ItemView dicts, std::size_t&) {
    dicts_.assign(dicts.begin(), dicts.end());
    seen_.assign(dicts.size(), SeenValue{kNeverSeen, nullptr});
    return watch_all() ? 1 : -1;
}

bool PlanState::capture_unusable(ItemView items, std::size_t) {
    dicts_.clear();
    for (PyObject* item : items) {
        if (PyDict_Check(item)) dicts_.push_back(item);
    }
    return watch_all();
}

bool PlanState::reads(PyObject* dict) const noexcept {
    return std::binary_search(dicts_.begin(), dicts_.end(), dict);
}

}  // namespace bitloom::py

#endif
