#include "ext/bitloom_bulk_probe/reader_probe.hpp"

#include "binding/item_reader.hpp"

namespace bitloom::probe {
namespace {

// A reading as a tuple: (encoding row's name or None, bits, offset or None,
// little, reverse, byte order known, name object).
PyObject* reading_tuple(const core::FieldSpec& fld, const py::ItemReading& reading) {
    PyObject* row = fld.row == nullptr
                        ? Py_NewRef(Py_None)
                        : PyUnicode_FromStringAndSize(
                              fld.row->name.data(), static_cast<Py_ssize_t>(fld.row->name.size()));
    if (row == nullptr) return nullptr;
    PyObject* offset = fld.has_offset ? PyLong_FromUnsignedLong(fld.offset) : Py_NewRef(Py_None);
    if (offset == nullptr) {
        Py_DECREF(row);
        return nullptr;
    }
    return Py_BuildValue("(NkNOOOO)", row, static_cast<unsigned long>(fld.bits), offset,
                         fld.little ? Py_True : Py_False, fld.reverse ? Py_True : Py_False,
                         fld.order_known ? Py_True : Py_False, reading.name.get());
}

}  // namespace

PyObject* read_item_both_ways(PyObject*, PyObject* item) {
    core::FieldSpec refused_fld;
    py::ItemReading refused_reading;
    const bool planned = py::read_field(item, py::ReadMode::Refuse, refused_fld, refused_reading);
    if (PyErr_Occurred()) {
        // The refusing mode must never leave an exception behind.
        PyErr_Clear();
        PyErr_SetString(PyExc_SystemError, "the refusing reader left an exception set");
        return nullptr;
    }
    py::Ref plan(planned ? reading_tuple(refused_fld, refused_reading) : Py_NewRef(Py_None));
    if (!plan) return nullptr;
    core::FieldSpec fld;
    py::ItemReading reading;
    py::Ref fresh;
    if (py::read_field(item, py::ReadMode::Raise, fld, reading)) {
        fresh = py::Ref(reading_tuple(fld, reading));
        if (!fresh) return nullptr;
    } else {
        fresh = py::Ref(py::shim::get_raised_exception());
        if (!fresh) return nullptr;
    }
    return PyTuple_Pack(2, plan.get(), fresh.get());
}

}  // namespace bitloom::probe
