#include "binding/module_init.hpp"

#include "binding/errors.hpp"
#include "binding/item_reader.hpp"
#include "binding/names.hpp"

namespace bitloom::py {

bool init_process_state() {
    return init_names() && init_recipe_keys() && panic_exception_type() != nullptr;
}

PyObject* cached_module(std::atomic<PyObject*>& slot, PyObject* (*create)()) {
    if (PyObject* cached = slot.load(std::memory_order_acquire)) return Py_NewRef(cached);
    PyObject* module = create();
    if (module == nullptr) {
        ensure_error_set();
        return nullptr;
    }
    slot.store(Py_NewRef(module), std::memory_order_release);  // kept for the process
    return module;
}

}  // namespace bitloom::py
