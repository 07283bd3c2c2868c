// The packet builder behind pack_parameters.
#pragma once

#include <cstdint>

#include "binding/convert.hpp"

namespace bitloom::encoder {

// A zeroed packet of `bits` bits rounded up to whole bytes, as a new bytes
// object; `data` points at its bytes. Empty with MemoryError set when it
// cannot be made.
py::Ref new_packet(std::uint64_t bits, std::uint8_t*& data);

// Build the packet of a recipe; failures are re-wrapped as ValueError.
// New bytes object, or nullptr with an exception set.
PyObject* pack_parameters(const py::ItemList& items);

}  // namespace bitloom::encoder
