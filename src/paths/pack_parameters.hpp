// The packet builder behind pack_parameters.
#pragma once

#include "binding/convert.hpp"

namespace bitloom::encoder {

// Build the packet of a recipe; failures are re-wrapped as ValueError.
// New bytes object, or nullptr with an exception set.
PyObject* pack_parameters(const py::ItemList& items);

}  // namespace bitloom::encoder
