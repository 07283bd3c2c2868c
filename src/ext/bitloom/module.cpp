// The module object: single-phase initialisation, one module per process.
#include <array>
#include <atomic>
#include <string>

#include "binding/errors.hpp"
#include "binding/item_reader.hpp"
#include "binding/module_init.hpp"
#include "binding/names.hpp"
#include "ext/bitloom/function_table.hpp"

namespace bitloom::module {
namespace {

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "bitloom",
    "",       // __doc__ is the empty string
    0,        // no per-module state
    nullptr,  // functions are attached during initialisation
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> g_interpreter_id{-1};
std::atomic<PyObject*> g_module{nullptr};

// Method definitions live for the whole process: function objects point at them.
std::array<PyMethodDef, 62> g_methods{};
std::array<std::string, 62> g_docs{};

void fill_method_table() {
    const auto table = function_table();
    for (std::size_t i = 0; i < table.size(); ++i) {
        const FunctionDef& fn = table[i];
        std::string doc = fn.name;
        doc += '(';
        for (int p = 0; p < fn.nparams; ++p) {
            if (p > 0) doc += ", ";
            doc += fn.params[p];
            if (p >= fn.nrequired) doc += "=False";  // only `signed` is optional
        }
        doc += ")\n--\n\n";
        g_docs[i] = std::move(doc);
        g_methods[i] = PyMethodDef{
            fn.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function_entry(i))),
            METH_FASTCALL | METH_KEYWORDS, g_docs[i].c_str()};
    }
}

// Create a function bound to the module, append its name to __all__ and set it
// as an attribute. False with an exception set on failure.
bool register_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
    py::Ref func(PyCMethod_New(def, module, module_name, nullptr));
    if (!func) return false;
    py::Ref name(PyObject_GetAttrString(func.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        py::raise_cast_error(name.get(), "str");
        return false;
    }
    py::Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = py::Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        py::raise_cast_error(all.get(), "PyList");
        return false;
    }
    if (PyList_Append(all.get(), name.get()) < 0) return false;
    return PyObject_SetAttr(module, name.get(), func.get()) == 0;
}

PyObject* create_module() {
    py::Ref module(PyModule_Create2(&g_definition, PYTHON_API_VERSION));
    if (!module) return nullptr;
    if (!py::init_process_state()) return nullptr;
    if (py::shim::module_declare_gil_used(module.get()) < 0) return nullptr;
    fill_method_table();
    py::Ref module_name(PyModule_GetNameObject(module.get()));
    if (!module_name) return nullptr;
    for (PyMethodDef& def : g_methods) {
        if (!register_function(module.get(), module_name.get(), &def)) return nullptr;
    }
    return module.release();
}

PyObject* init() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1) {
        py::ensure_error_set();
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "bitloom does not support sub-interpreters: it can only be imported "
                        "once per process, in the interpreter that imported it first");
        return nullptr;
    }
    return py::cached_module(g_module, create_module);
}

}  // namespace
}  // namespace bitloom::module

PyMODINIT_FUNC PyInit_bitloom(void) {
    try {
        return bitloom::module::init();
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
}
