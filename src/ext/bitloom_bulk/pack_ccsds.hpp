// Packing CCSDS streams: tables of columns per APID into one stream of space
// packets, each APID's packets packed as Layout.pack_columns packs them, with
// the primary header filled in.
#pragma once

#include "binding/shims.hpp"

namespace bitloom::bulk {

// pack_ccsds(entries, order): entries is a list of (apid, layout, columns,
// first_count, packet_type, secondary_header) tuples, one per APID in the
// order of its packets when `order` is None; `order` a C-contiguous uint16
// array of one APID per packet. A new bytes object, or nullptr with the error
// set.
PyObject* pack_ccsds(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace bitloom::bulk
