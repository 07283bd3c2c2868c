// The functions of the module: a signature and the function that does the work.
#pragma once

#include "binding/args.hpp"

namespace bitloom::module {

struct FunctionDef;
using Impl = PyObject* (*)(const FunctionDef& fn, PyObject* const* argv);

struct FunctionDef : py::Signature {
    Impl impl;
};

using py::convert_arg;
using py::kMaxParams;
using py::match_arguments;
using py::prefix_argument_error;

}  // namespace bitloom::module
