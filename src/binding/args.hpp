// Matching vector-call arguments to a function's parameters, and the argument
// prefix of conversion errors: one matcher and one set of messages for the
// functions of both modules.
#pragma once

#include <cstdint>

#include "binding/convert.hpp"
#include "binding/errors.hpp"

namespace bitloom::py {

inline constexpr int kMaxParams = 9;

// A function's parameters: the first `npositional` may be given by position
// (the rest by keyword only), the first `nrequired` must be given.
struct Signature {
    const char* name;
    const char* params[kMaxParams];
    std::uint8_t nparams;
    std::uint8_t nrequired;
    std::uint8_t npositional;
};

// Fill argv[0..nparams) with borrowed references (nullptr for an optional
// parameter that was not given). False with TypeError set on a mismatch, in
// the interpreter's own words ("f() takes 2 positional arguments but 3 were
// given", "f() missing 1 required positional argument: 'x'", ...).
bool match_arguments(const Signature& fn, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, PyObject** argv);

// After a conversion of parameter `index` failed: an exception of exactly type
// TypeError is replaced by TypeError "argument '{name}': {message}" caused by
// the original; any other exception is left as it is.
inline void prefix_argument_error(const Signature& fn, int index) {
    prefix_argument_error(fn.params[index]);
}

// Convert parameter `index` with `rule`, prefixing a TypeError.
template <class T>
inline bool convert_arg(const Signature& fn, int index, PyObject* const* argv,
                        bool (*rule)(PyObject*, T&), T& out) {
    if (rule(argv[index], out)) return true;
    prefix_argument_error(fn, index);
    return false;
}

}  // namespace bitloom::py
