#include "bulk/ccsds.hpp"

#include <cstdint>
#include <limits>

#include "core/ccsds.hpp"
#include "python/ref.hpp"

namespace bitloom::bulk {
namespace {

namespace ccsds = core::ccsds;

// A read-only view of a C-contiguous buffer, released on every path. While it
// is held, a bytearray cannot be resized.
class Buffer {
public:
    bool acquire(PyObject* obj) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_STRIDES) != 0) return false;
        held_ = true;
        if (PyBuffer_IsContiguous(&view_, 'C') == 0) {
            PyErr_SetString(PyExc_ValueError, "data must be a C-contiguous buffer");
            return false;
        }
        return true;
    }
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    std::uint64_t size() const { return static_cast<std::uint64_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// An uninitialised bytearray of n elements of T.
template <class T>
py::Ref column(std::uint64_t n, T** out) {
    if (n > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max()) / sizeof(T)) {
        PyErr_NoMemory();
        return {};
    }
    py::Ref ba(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * sizeof(T))));
    if (ba) *out = reinterpret_cast<T*>(PyByteArray_AS_STRING(ba.get()));
    return ba;
}

}  // namespace

PyObject* split_ccsds(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "offset", "allow_partial", nullptr};
    PyObject* data = nullptr;
    PyObject* offset_obj = nullptr;
    int allow_partial = 0;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "O|$Op:split_ccsds", const_cast<char**>(keywords),
                                    &data, &offset_obj, &allow_partial) == 0) {
        return nullptr;
    }
    unsigned long long offset = 0;
    if (offset_obj != nullptr) {
        // An int (or an object with __index__) from 0 to 2**64 - 1.
        py::Ref index(PyNumber_Index(offset_obj));
        if (!index) return nullptr;
        offset = PyLong_AsUnsignedLongLong(index.get());
        if (offset == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
            return nullptr;
        }
    }
    Buffer buf;
    if (!buf.acquire(data)) return nullptr;
    const std::uint8_t* bytes = buf.data();
    const std::uint64_t size = buf.size();
    if (offset > size) {
        PyErr_SetString(PyExc_ValueError, ccsds::start_message(offset, size).c_str());
        return nullptr;
    }

    PyThreadState* released = PyEval_SaveThread();
    const ccsds::Count count = ccsds::count(bytes, size, offset);
    PyEval_RestoreThread(released);
    if (count.stop.kind != ccsds::StopKind::End && allow_partial == 0) {
        PyErr_SetString(PyExc_ValueError, ccsds::stop_message(count.stop).c_str());
        return nullptr;
    }
    ccsds::Columns out;
    py::Ref offsets = column(count.packets, &out.offsets);
    if (!offsets) return nullptr;
    py::Ref lengths = column(count.packets, &out.lengths);
    if (!lengths) return nullptr;
    py::Ref apids = column(count.packets, &out.apids);
    if (!apids) return nullptr;
    py::Ref seqs = column(count.packets, &out.sequence_counts);
    if (!seqs) return nullptr;

    released = PyEval_SaveThread();
    const std::uint64_t filled = ccsds::fill(bytes, size, offset, count.packets, out);
    PyEval_RestoreThread(released);
    // Another thread may write into a shared buffer while the GIL is released;
    // a different second reading is reported, never returned half-framed.
    const bool changed = filled != count.packets ||
                         (count.packets != 0 &&
                          static_cast<std::uint64_t>(out.offsets[count.packets - 1] +
                                                     out.lengths[count.packets - 1]) !=
                              count.stop.offset);
    if (changed) {
        PyErr_SetString(PyExc_RuntimeError, "data changed while split_ccsds was framing it");
        return nullptr;
    }
    return Py_BuildValue("(OOOOK)", offsets.get(), lengths.get(), apids.get(), seqs.get(),
                         static_cast<unsigned long long>(count.stop.offset));
}

}  // namespace bitloom::bulk
