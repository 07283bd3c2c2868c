// Attribute and method names the binding layer looks up on error paths and in
// rare conversions, as interned str objects created once, at module init,
// instead of from C strings on every call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace bitloom::py {

struct Names {
    PyObject* module = nullptr;    // "__module__"
    PyObject* name = nullptr;      // "__name__"
    PyObject* qualname = nullptr;  // "__qualname__"
    PyObject* lower = nullptr;     // "lower"
    PyObject* add_note = nullptr;  // "add_note"
    PyObject* notes = nullptr;     // "__notes__"
};

// Create the names (once per process; later calls return true at once). Every
// module init calls it before anything that reads names(). False with an
// exception set when the interpreter has no memory for them.
bool init_names();

// The names; valid after init_names() returned true. Borrowed references, kept
// for the life of the process.
const Names& names() noexcept;

}  // namespace bitloom::py
