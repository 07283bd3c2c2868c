// The recipe processor behind unpack_parameters.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/convert.hpp"

namespace bitloom::decoder {

// Read the recipe's fields out of the packet into a new dict; failures are
// re-wrapped as ValueError. nullptr with an exception set on failure.
PyObject* unpack_parameters(std::string_view packet, std::uint32_t base_offset,
                            const py::ItemList& items);
// The same for a recipe that is an exact list or tuple, whose items are
// decoded in place when they are planned.
PyObject* unpack_listed(std::string_view packet, std::uint32_t base_offset, PyObject* recipe);

}  // namespace bitloom::decoder
