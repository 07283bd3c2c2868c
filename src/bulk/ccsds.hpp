// CCSDS entry points of bitloom_bulk's extension.
#pragma once

#include "python/shims.hpp"

namespace bitloom::bulk {

// split_ccsds(data, *, offset=0, allow_partial=False)
//   -> (offsets, lengths, apids, sequence_counts, end)
// The four columns come back as bytearrays holding native int64, int64, uint16
// and uint16 values; the Python side views them as numpy arrays (no copy).
PyObject* split_ccsds(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace bitloom::bulk
