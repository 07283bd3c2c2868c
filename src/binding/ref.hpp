// An owning reference to a Python object: released on every path.
#pragma once

#include <utility>

#include "binding/shims.hpp"

namespace bitloom::py {

class Ref {
public:
    Ref() noexcept = default;
    // Takes ownership of a new reference (nullptr allowed).
    explicit Ref(PyObject* owned) noexcept : obj_(owned) {}
    static Ref borrow(PyObject* borrowed) noexcept { return Ref(Py_XNewRef(borrowed)); }

    Ref(const Ref& other) noexcept : obj_(Py_XNewRef(other.obj_)) {}
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace bitloom::py
