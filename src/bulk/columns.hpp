// Columns: C++-filled buffers handed to numpy without its C API, and the
// decoding of many packets into one column per recipe item.
#pragma once

#include <cstdint>
#include <span>

#include "bulk/column_kernel.hpp"
#include "bulk/layout.hpp"

namespace bitloom::bulk {

// The numpy module's helpers, imported once by module initialisation.
bool init_numpy();

// A buffer of `size` bytes (zeroed unless asked not to) to fill from C++ (a bytearray, which only
// the caller references, so its storage stays put while the GIL is released).
py::Ref new_column_buffer(std::size_t size, std::uint8_t*& data, bool zeroed = true);
// numpy.frombuffer(buffer, dtype): an array over the buffer's bytes, no copy.
// `dtype` is a numpy type string such as "<u2" or "float64".
PyObject* column_from_buffer(PyObject* buffer, const char* dtype);
// numpy.array(list, dtype=object) for a list of objects.
PyObject* object_column(PyObject* list);

// Add a note (a str) to the pending exception: add_note, or __notes__ before 3.11.
void add_note_to_pending(PyObject* note);

// Decode every packet into a new dict name -> column. Packets must lie inside
// `data` (the caller checks). The GIL is released for the numeric fields.
// nullptr with the first packet's error (and a note naming the packet) set.
PyObject* decode_columns(const Layout& layout, const PacketSet& packets, std::uint64_t base);

// unpack_columns(data, recipe, *, packet_bytes=None, offsets=None, lengths=None, offset_bits=0)
PyObject* unpack_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);

}  // namespace bitloom::bulk
