// Matching vector-call arguments to a function's parameters, and the argument
// prefix of conversion errors.
#pragma once

#include <cstdint>

#include "python/convert.hpp"

namespace bitloom::module {

struct FunctionDef;
using Impl = PyObject* (*)(const FunctionDef& fn, PyObject* const* argv);

struct FunctionDef {
    const char* name;
    const char* params[3];
    std::uint8_t nparams;
    std::uint8_t nrequired;  // the first `nrequired` parameters must be given
    Impl impl;
};

constexpr int kMaxParams = 3;

// Fill argv[0..nparams) with borrowed references (nullptr for an optional
// parameter that was not given). False with TypeError set on a mismatch.
bool match_arguments(const FunctionDef& fn, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, PyObject** argv);

// After a conversion of parameter `index` failed: an exception of exactly type
// TypeError is replaced by TypeError "argument '{name}': {message}" caused by
// the original; any other exception is left as it is.
void prefix_argument_error(const FunctionDef& fn, int index);

// Convert parameter `index` with `rule`, prefixing a TypeError.
template <class T>
inline bool convert_arg(const FunctionDef& fn, int index, PyObject* const* argv,
                        bool (*rule)(PyObject*, T&), T& out) {
    if (rule(argv[index], out)) return true;
    prefix_argument_error(fn, index);
    return false;
}

}  // namespace bitloom::module
