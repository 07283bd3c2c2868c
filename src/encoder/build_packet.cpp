#include "encoder/build_packet.hpp"

#include "python/errors.hpp"

namespace bitloom::encoder {
PyObject* pack_parameters(const py::ItemList&) {
    py::raise(PyExc_NotImplementedError, "pack_parameters is not available yet");
    return nullptr;
}
}  // namespace bitloom::encoder
