#include "binding/args.hpp"

#include <string>

#include "binding/errors.hpp"

namespace bitloom::py {
namespace {

std::string quoted_list(const Signature& fn, const bool* missing) {
    int names[kMaxParams];
    int k = 0;
    for (int i = 0; i < fn.nrequired; ++i) {
        if (missing[i]) names[k++] = i;
    }
    std::string out;
    for (int j = 0; j < k; ++j) {
        if (j > 0) {
            if (k == 2) {
                out += " and ";
            } else if (j == k - 1) {
                out += ", and ";
            } else {
                out += ", ";
            }
        }
        out += '\'';
        out += fn.params[names[j]];
        out += '\'';
    }
    return out;
}

[[gnu::cold]] bool too_many_positional(const Signature& fn, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (fn.nrequired == fn.npositional) {
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given",
                     fn.name, fn.npositional, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %d to %d positional arguments but %zd %s given", fn.name,
                     fn.nrequired, fn.npositional, given, verb);
    }
    return false;
}

[[gnu::cold]] bool missing_required(const Signature& fn, PyObject** argv) {
    bool missing[kMaxParams] = {};
    int k = 0;
    for (int i = 0; i < fn.nrequired; ++i) {
        if (argv[i] == nullptr) {
            missing[i] = true;
            ++k;
        }
    }
    std::string list = quoted_list(fn, missing);
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional %s: %s", fn.name, k,
                 k == 1 ? "argument" : "arguments", list.c_str());
    return false;
}

}  // namespace

bool match_arguments(const Signature& fn, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, PyObject** argv) {
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (given > fn.npositional) [[unlikely]]
        return too_many_positional(fn, given);
    for (int i = 0; i < fn.nparams; ++i) argv[i] = i < given ? args[i] : nullptr;

    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            int slot = -1;
            for (int i = 0; i < fn.nparams; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, fn.params[i]) == 0) {
                    slot = i;
                    break;
                }
            }
            if (slot < 0) [[unlikely]] {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             fn.name, key);
                return false;
            }
            if (argv[slot] != nullptr) [[unlikely]] {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", fn.name,
                             key);
                return false;
            }
            argv[slot] = args[given + k];
        }
    }
    for (int i = 0; i < fn.nrequired; ++i) {
        if (argv[i] == nullptr) [[unlikely]]
            return missing_required(fn, argv);
    }
    return true;
}

}  // namespace bitloom::py
