// The test-only module bitloom_bulk._probe, built with the CMake option
// BITLOOM_TEST_PROBE=ON and never into a release wheel: private views of the
// binding layer that the test suite checks and that bitloom_bulk._native has
// no use for. It links its own copy of the binding layer, so it makes that
// copy's process state itself, as each extension does.
#include <atomic>

#include "binding/module_init.hpp"
#include "binding/ref.hpp"
#include "ext/bitloom_bulk_probe/reader_probe.hpp"

namespace bitloom::probe {
namespace {

PyMethodDef g_methods[] = {
    {"read_item", read_item_both_ways, METH_O,
     "read_item(item, /)\n--\n\nThe item read as a plan reads it and afresh."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "bitloom_bulk._probe",
    "",
    0,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<PyObject*> g_module{nullptr};

// Like bitloom_bulk._native, the module runs without the GIL: a free-threaded
// run of the bulk tests that imports it keeps the GIL off.
PyObject* create_module() {
    py::Ref module(PyModule_Create2(&g_definition, PYTHON_API_VERSION));
    if (!module) return nullptr;
    if (!py::init_process_state()) return nullptr;
    if (py::shim::module_declare_gil_not_used(module.get()) < 0) return nullptr;
    return module.release();
}

// The recipe keys the reader compares with are kept for the process, so the
// module is kept for the process too and lives in the main interpreter only.
PyObject* init() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "bitloom_bulk._probe can only be imported in the main interpreter");
        return nullptr;
    }
    return py::cached_module(g_module, create_module);
}

}  // namespace
}  // namespace bitloom::probe

PyMODINIT_FUNC PyInit__probe(void) {
    try {
        return bitloom::probe::init();
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
}
