#include "decoder/process_recipe.hpp"

#include "python/errors.hpp"

namespace bitloom::decoder {
PyObject* unpack_parameters(std::string_view, std::uint32_t, const py::ItemList&) {
    py::raise(PyExc_NotImplementedError, "unpack_parameters is not available yet");
    return nullptr;
}
}  // namespace bitloom::decoder
