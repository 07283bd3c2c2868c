// Holding a caller's buffer for a call, and letting other threads run while
// C++ works on what the call holds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "binding/shims.hpp"

namespace bitloom::py {

// A buffer view of an object, released on every path. While it is held, a
// bytearray cannot be resized, an mmap cannot be closed and a numpy array
// cannot be resized, so its memory stays where it is (its contents may still
// change, if another thread writes into it).
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }

    // PyObject_GetBuffer(obj, flags). False with the error set.
    bool acquire(PyObject* obj, int flags) {
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }
    // A view of any layout that must then be C-contiguous: false with
    // ValueError "data must be a C-contiguous buffer" when it is not.
    bool acquire_contiguous(PyObject* obj, int flags) {
        if (!acquire(obj, flags)) return false;
        if (PyBuffer_IsContiguous(&view_, 'C') != 0) return true;
        PyErr_SetString(PyExc_ValueError, "data must be a C-contiguous buffer");
        return false;
    }

    const Py_buffer& view() const noexcept { return view_; }
    // The view handed over: the caller releases it from now on.
    Py_buffer take() noexcept {
        held_ = false;
        return view_;
    }
    std::uint8_t* data() const noexcept { return static_cast<std::uint8_t*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The GIL released for the guard's lifetime. Nothing in its scope may touch
// a Python object.
class ReleasedGil {
public:
    ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;
    ~ReleasedGil() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// f() with the GIL released; returns what f returns.
template <class F>
auto without_gil(F&& f) {
    ReleasedGil released;
    return f();
}

}  // namespace bitloom::py
