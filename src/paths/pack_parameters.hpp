// The packet builder behind pack_parameters.
#pragma once

#include <cstdint>
#include <cstring>

#include "binding/convert.hpp"

namespace bitloom::encoder {

// A zeroed packet of `bits` bits rounded up to whole bytes, as a new bytes
// object; `data` points at its bytes. Empty with MemoryError set when it
// cannot be made.
inline py::Ref new_packet(std::uint64_t bits, std::uint8_t*& data) {
    const std::uint64_t length = (bits + 7) / 8;
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return py::Ref();
    }
    // Allocated once, at its final length, directly as the result.
    py::Ref packet(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    if (!packet) return packet;
    data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(packet.get()));
    std::memset(data, 0, length);
    return packet;
}

// Build the packet of a recipe; failures are re-wrapped as ValueError.
// New bytes object, or nullptr with an exception set.
PyObject* pack_parameters(const py::ItemList& items);

}  // namespace bitloom::encoder
