// The registry: the 62 module functions in registration order.
#pragma once

#include <span>

#include "ext/bitloom/function_def.hpp"

namespace bitloom::module {

std::span<const FunctionDef> function_table() noexcept;

// The vector-call entry point of function number `index` of the table.
using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Entry function_entry(std::size_t index) noexcept;

}  // namespace bitloom::module
