// A private check of the recipe reader for the test suite: one item read in
// both modes, so that tests can compare what a plan would hold with what a
// fresh reading gives. Built only into the test-only module bitloom_bulk._probe.
#pragma once

#include "binding/ref.hpp"

namespace bitloom::probe {

// read_item(item) -> (refusing reading or None, raising reading or its exception)
PyObject* read_item_both_ways(PyObject* self, PyObject* item);

}  // namespace bitloom::probe
