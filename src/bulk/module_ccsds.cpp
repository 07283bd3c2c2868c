// bitloom_bulk._ccsds: the CCSDS stream functions of bitloom_bulk.
#include "bulk/ccsds.hpp"

namespace {

PyMethodDef g_methods[] = {
    {"split_ccsds",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&bitloom::bulk::split_ccsds)),
     METH_VARARGS | METH_KEYWORDS,
     "split_ccsds(data, *, offset=0, allow_partial=False)\n--\n\n"
     "Frame a CCSDS space packet stream; the columns as bytearrays."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot g_slots[] = {
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "bitloom_bulk._ccsds",
    nullptr,
    0,
    g_methods,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__ccsds() { return PyModuleDef_Init(&g_definition); }
