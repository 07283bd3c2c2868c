// The recipe processor behind unpack_parameters.
#pragma once

#include <cstdint>
#include <string_view>

#include "binding/convert.hpp"

namespace bitloom::decoder {

// Whether a call's items are held by the caller (an ItemList) or borrowed
// from a list or tuple it passed as it is.
enum class Items : bool { Held, Borrowed };

// Read the recipe's fields out of the packet into a new dict; failures are
// re-wrapped as ValueError. nullptr with an exception set on failure.
PyObject* unpack_parameters(std::string_view packet, std::uint32_t base_offset, py::ItemView items,
                            Items held);

}  // namespace bitloom::decoder
