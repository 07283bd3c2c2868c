#include "binding/module_init.hpp"

#include "binding/errors.hpp"
#include "binding/item_reader.hpp"
#include "binding/names.hpp"
#include "binding/ref.hpp"

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

PyObject* main_interpreter_module(std::atomic<PyObject*>& slot, PyModuleDef& def,
                                  const char* refusal, bool (*finish)(PyObject* module)) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, refusal);
        return nullptr;
    }
    if (PyObject* cached = slot.load(std::memory_order_acquire)) return Py_NewRef(cached);
    Ref module(PyModule_Create2(&def, PYTHON_API_VERSION));
    if (!module || !init_process_state() || shim::module_declare_gil_not_used(module.get()) < 0 ||
        (finish != nullptr && !finish(module.get()))) {
        ensure_error_set();
        return nullptr;
    }
    slot.store(Py_NewRef(module.get()), std::memory_order_release);  // kept for the process
    return module.release();
}

}  // namespace bitloom::py
