// What the initialisation of both modules shares: the process state of the
// binding layer, made once, and the module object kept for the process.
#pragma once

#include <atomic>

#include "binding/shims.hpp"

namespace bitloom::py {

// The binding layer's process state: the interned names and recipe keys and
// the internal-failure exception. Made by the first call, kept for the process
// (module init runs under the import lock). False with the error set.
bool init_process_state();

// The module kept in `slot`: a new reference to it, or, the first time, what
// create() returns, kept in `slot` for the process. nullptr with the error set
// (SystemError where create() failed without one).
PyObject* cached_module(std::atomic<PyObject*>& slot, PyObject* (*create)());

// A module that lives in the main interpreter only, for the process: in a
// sub-interpreter, ImportError `refusal` before anything is imported (so a
// sub-interpreter can never take the module, or what it keeps, away from the
// main one); else the module kept in `slot`, or, the first time, `def`'s
// module made with the process state, declared to run without the GIL, and
// given to `finish` (when not null). nullptr with the error set.
PyObject* main_interpreter_module(std::atomic<PyObject*>& slot, PyModuleDef& def,
                                  const char* refusal, bool (*finish)(PyObject* module));

// A METH_FASTCALL | METH_KEYWORDS (or any) C function as the PyCFunction that
// a method table holds.
template <class F>
constexpr PyCFunction as_cfunction(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace bitloom::py
