#include "binding/names.hpp"

#include <atomic>

namespace bitloom::py {
namespace {

Names g_names;
std::atomic<bool> g_ready{false};

}  // namespace

bool init_names() {
    // Module init runs under the import lock: one thread at a time gets here.
    if (g_ready.load(std::memory_order_acquire)) return true;
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&g_names.module, "__module__"},     {&g_names.name, "__name__"},
        {&g_names.qualname, "__qualname__"}, {&g_names.lower, "lower"},
        {&g_names.add_note, "add_note"},     {&g_names.notes, "__notes__"},
    };
    for (const Entry& e : entries) {
        if (*e.slot != nullptr) continue;
        *e.slot = PyUnicode_InternFromString(e.text);
        if (*e.slot == nullptr) return false;
    }
    g_ready.store(true, std::memory_order_release);
    return true;
}

const Names& names() noexcept { return g_names; }

}  // namespace bitloom::py
