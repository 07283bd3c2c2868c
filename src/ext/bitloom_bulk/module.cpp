// The module bitloom_bulk._native: single-phase initialisation, one module per
// process, in the main interpreter. Functions are listed one row each in the method table.
#include <atomic>

#include "binding/errors.hpp"
#include "binding/item_reader.hpp"
#include "binding/module_init.hpp"
#include "binding/names.hpp"
#include "ext/bitloom_bulk/arrow_column.hpp"
#include "ext/bitloom_bulk/arrow_export.hpp"
#include "ext/bitloom_bulk/derive_columns.hpp"
#include "ext/bitloom_bulk/encoding_table.hpp"
#include "ext/bitloom_bulk/layout.hpp"
#include "ext/bitloom_bulk/messages.hpp"
#include "ext/bitloom_bulk/pack_ccsds.hpp"
#include "ext/bitloom_bulk/unpack_ccsds.hpp"
#include "ext/bitloom_bulk/unpack_columns.hpp"

namespace bitloom::bulk {
namespace {

PyMethodDef g_methods[] = {
    {"_encoding_table", encoding_table, METH_NOARGS,
     "_encoding_table()\n--\n\nFor the test suite: the encoding table's rows (name, kind, packs)."},
    {"_arrow_schema", arrow_schema, METH_O,
     "_arrow_schema(table, /)\n--\n\nA PyCapsule 'arrow_schema': the schema of a dict of numpy "
     "columns."},
    {"_arrow_array", arrow_array, METH_O,
     "_arrow_array(table, /)\n--\n\nPyCapsules 'arrow_schema' and 'arrow_array': a dict of "
     "numpy\ncolumns as one Arrow struct array."},
    {"_arrow_stream", arrow_stream, METH_O,
     "_arrow_stream(table, /)\n--\n\nA PyCapsule 'arrow_array_stream': a dict of numpy columns "
     "as\nan Arrow stream of one struct record batch."},
    {"compile", compile, METH_O, "compile(recipe, /)\n--\n\nRead a recipe once into a Layout."},
    {"unpack_columns", py::as_cfunction(unpack_columns), METH_FASTCALL | METH_KEYWORDS,
     "unpack_columns(data, recipe, *, packet_bytes=None, offsets=None, lengths=None, "
     "offset_bits=0, text='object', threads=None)\n--\n\nDecode many packets into one numpy "
     "column per recipe item.\n\ntext='object' gives text items as str objects, decoded and "
     "checked against their\nencoding; text='bytes' as numpy fixed-width bytes ('S<n>') of the "
     "bytes each text\nis decoded from, unchecked (numpy drops trailing NUL bytes when it reads "
     "one);\n"
     "text='arrow' as ArrowColumns (Arrow utf8) of the same texts as 'object', as "
     "UTF-8.\n\nthreads=N decodes the numbers (and bytes texts) on up to N threads (1 to the "
     "CPUs\navailable to the process), in ranges of 16,384 packets at least handed out in\n"
     "packet order: an upper bound, fewer where there are fewer packets. threads=None\n"
     "(the default) takes one thread per 32,768 packets, up to the CPUs available.\n"
     "Results and errors (the first faulty packet's) are those of one thread; str\n"
     "objects of text='object' are made on the calling thread afterwards."},
    {"split_ccsds", py::as_cfunction(split_ccsds), METH_FASTCALL | METH_KEYWORDS,
     "split_ccsds(data, *, offset=0, allow_partial=False, narrow=False)\n--\n\n"
     "Frame a CCSDS space packet stream by its primary headers. narrow: offsets and\n"
     "lengths as int32 where the data is under 2 GiB."},
    {"unpack_repeated", py::as_cfunction(unpack_repeated), METH_FASTCALL | METH_KEYWORDS,
     "unpack_repeated(data, recipe, offsets, lengths, starts, counts, stride, *, owners=False,"
     " threads=None)\n--\n\n"
     "Decode a recipe's numeric items counts[i] times in packet i, instance k at bit\n"
     "starts[i] + k * stride, into one column per item (a row per instance); with\n"
     "owners, also each row's i (int64): (columns, owners). threads: as unpack_columns's."},
    {"packet_crcs", py::as_cfunction(packet_crcs), METH_FASTCALL | METH_KEYWORDS,
     "packet_crcs(data, offsets, lengths)\n--\n\n"
     "The CRC-16-CCITT of each packet but its last two bytes, and those two bytes\n"
     "(big-endian), as two uint16 columns."},
    {"byte_slices", py::as_cfunction(byte_slices), METH_FASTCALL | METH_KEYWORDS,
     "byte_slices(data, offsets, lengths)\n--\n\n"
     "A numpy object column of the bytes data[offsets[i]:offsets[i] + lengths[i]]."},
    {"binary_column", py::as_cfunction(binary_column), METH_FASTCALL | METH_KEYWORDS,
     "binary_column(data, starts, sizes, view=False)\n--\n\n"
     "An ArrowColumn of bytes (binary): value i the sizes[i] bytes from bit\n"
     "starts[i] of the data, copied into one buffer without the GIL. With view,\n"
     "in Arrow's binary_view layout: over the data itself where it is read-only\n"
     "(the column holds it), else over a copy of the values."},
    {"unpack_ccsds", py::as_cfunction(unpack_ccsds), METH_FASTCALL | METH_KEYWORDS,
     "unpack_ccsds(data, recipes, *, offset=0, text='object', crc=None, threads=None, "
     "stream=None)\n--\n\n"
     "Decode a mixed-APID CCSDS stream into columns per APID (threads: as unpack_columns's;\n"
     "stream, with crc: the state of a stream decoded piece by piece)."},
    {"pack_ccsds", py::as_cfunction(pack_ccsds), METH_FASTCALL | METH_KEYWORDS,
     "pack_ccsds(entries, order)\n--\n\n"
     "Pack tables of columns per APID into one CCSDS space packet stream."},
    {"_label_column", py::as_cfunction(label_column), METH_FASTCALL | METH_KEYWORDS,
     "_label_column(values, low, labels)\n--\n\n"
     "An enumeration's labels of integer raw values (read flat): an object column\n"
     "of labels[value - low] (None outside labels), and None when every element has\n"
     "a label, else a bool column of those without one."},
    {"_polynomial_column", py::as_cfunction(polynomial_column), METH_FASTCALL | METH_KEYWORDS,
     "_polynomial_column(values, coefficients)\n--\n\n"
     "A polynomial (coefficients lowest power first) of numeric raw values (read\n"
     "flat) by Horner's rule in float64, as a float64 column."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "bitloom_bulk._native",
    "",
    0,
    g_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<PyObject*> g_module{nullptr};

bool finish_module(PyObject* module) {
    return init_numpy() && init_layout_type(module) && init_arrow_column_type(module);
}

// The module lives in the main interpreter only. numpy, whose functions and
// types the module keeps, loads in one interpreter per process, and the
// recipe keys are kept for the process.
PyObject* init() {
    return py::main_interpreter_module(g_module, g_definition, msg::kMainInterpreterOnly,
                                       finish_module);
}

}  // namespace
}  // namespace bitloom::bulk

PyMODINIT_FUNC PyInit__native(void) {
    try {
        return bitloom::bulk::init();
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
}
