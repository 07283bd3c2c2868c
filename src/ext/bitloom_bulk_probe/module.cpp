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

// Like bitloom_bulk._native, the module runs without the GIL (a free-threaded
// run of the bulk tests that imports it keeps the GIL off), and lives in the
// main interpreter only: the recipe keys the reader compares with are kept
// for the process.
PyObject* init() {
    return py::main_interpreter_module(
        g_module, g_definition, "bitloom_bulk._probe can only be imported in the main interpreter",
        nullptr);
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
