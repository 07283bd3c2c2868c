// The conversion rules: which Python objects a parameter (or a recipe value)
// accepts and what it becomes. Each returns true, or false with a Python
// exception set. None of them adds an argument prefix: module/ does that for
// arguments, recipe values are reported bare.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "python/ref.hpp"

namespace bitloom::py {

// str (or subclass) -> its cached UTF-8 form, read in place.
bool to_text(PyObject* obj, std::string_view& out);
// bytes (or subclass) -> its buffer, read in place. Other buffers are refused.
bool to_byte_string(PyObject* obj, std::string_view& out);
bool to_i64(PyObject* obj, std::int64_t& out);
bool to_u64(PyObject* obj, std::uint64_t& out);
bool to_u32(PyObject* obj, std::uint32_t& out);
// Unsigned 128-bit, as two 64-bit halves.
bool to_u128(PyObject* obj, std::uint64_t& high, std::uint64_t& low);
bool to_double(PyObject* obj, double& out);
bool to_single(PyObject* obj, float& out);
// True/False, or a numpy bool scalar.
bool to_bool(PyObject* obj, bool& out);

// A sequence (never a str) collected into owned references, in order.
using ItemList = std::vector<Ref>;
bool to_sequence(PyObject* obj, ItemList& out);

// Fast paths for values that are already of the exact type.
inline bool to_u32_fast(PyObject* obj, std::uint32_t& out) {
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0 && v >= 0 && v <= 0xFFFFFFFFLL) {
            out = static_cast<std::uint32_t>(v);
            return true;
        }
    }
    return to_u32(obj, out);
}

}  // namespace bitloom::py
