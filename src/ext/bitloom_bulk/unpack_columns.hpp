// Columns: numpy arrays filled from C++ without numpy's C API, and the
// decoding of many packets into one column per recipe item.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/columns/column_kernel.hpp"
#include "ext/bitloom_bulk/arrow_column.hpp"
#include "ext/bitloom_bulk/layout.hpp"

namespace bitloom::bulk {

// The numpy module's helpers, imported once by module initialisation.
bool init_numpy();

// A new one-dimensional numpy array of `count` elements of `dtype` (a numpy
// type string such as "uint16", "float64" or "S4"), made by numpy.empty and
// zeroed unless asked not to, to fill from C++: `data` is its first element.
// Only the caller references it, so its elements stay put (also while the GIL
// is released) until it is handed out or resized. Null with the error set.
py::Ref new_column(std::size_t count, const char* dtype, std::uint8_t*& data, bool zeroed = true);
// Fewer elements (`count`, no more than it has) for a column of new_column that
// no one else references: the first `count` kept, the address of the
// elements possibly changed. False with the error set.
bool shrink_column(py::Ref& column, std::size_t count);
// numpy.array(list, dtype=object) for a list of objects.
PyObject* object_column(PyObject* list);
// A new one-dimensional numpy object array of `count` elements, each None,
// to fill from C++: `slots` is its first element (nullptr when count is 0).
// Only the caller references it. Null with the error set.
py::Ref new_object_column(std::size_t count, PyObject**& slots);

// The columns of a layout for `total` packets, filled run after run: the rows
// of each run follow those of the run before. A call that decodes its packets
// in bounded runs (so that it never holds the positions of all of them at
// once) builds its result here.
// How text items come out: numpy object columns of str (decoded and checked
// against the encoding, as unpack_parameters does), numpy fixed-width bytes
// columns ("S<n>") of the bytes each text is decoded from, unchecked, or
// ArrowColumns (Arrow's utf8 layout) of the same texts as the str objects,
// decoded and checked as they are but written as UTF-8 without the GIL.
enum class TextForm : std::uint8_t { Object, Bytes, Arrow };

// The text= argument ("object", "bytes" or "arrow"; None for the default, object) into
// `form`; false with ValueError or TypeError naming `function`'s argument.
bool text_form_of(PyObject* arg, const char* function, TextForm& form);

// The CPUs this process may run on (its affinity mask where the system has
// one, else the hardware's threads), at least 1: the most threads a call takes.
std::size_t available_cpus() noexcept;

// The threads= argument: an int from 1 to available_cpus(), or None (or
// absent) for the default, given as 0. False with TypeError (not an int, or
// a bool) or ValueError (out of range) naming `function`'s argument.
bool threads_of(PyObject* arg, const char* function, std::size_t& threads);

// Fewest packets a thread of its own decodes: a share smaller than this is
// decoded by fewer threads (their start, and waiting for them on a machine
// whose cores are busy, cost more than they save; bench/bench_threads.py).
inline constexpr std::size_t kPacketsPerThread = 16384;
// With threads=None, the packets that make a second thread (a third, ...)
// worth starting; measured with bench/bench_threads.py.
inline constexpr std::size_t kDefaultPacketsPerThread = 32768;
// How many threads decode `count` packets when `requested` were asked for (0:
// the default): never more than asked or than the CPUs, never a share under
// kPacketsPerThread (kDefaultPacketsPerThread by default), at least 1.
std::size_t threads_for(std::size_t count, std::size_t requested) noexcept;

class ColumnBuilder {
public:
    // `function` names the caller in the message of data changed under it.
    // `threads`: at most this many threads decode the numbers (and bytes
    // texts) of one add(), each kPacketsPerThread packets at least (the
    // call's threads_for of all its packets; 0 gives the default of each add).
    ColumnBuilder(const Layout& layout, const char* function, TextForm text = TextForm::Object,
                  std::size_t threads = 1)
        : layout_(layout), function_(function), text_(text), threads_(threads) {}
    ColumnBuilder(const ColumnBuilder&) = delete;
    ColumnBuilder& operator=(const ColumnBuilder&) = delete;

    // The empty columns for `total` rows. False with the error set.
    bool allocate(std::size_t total);
    // Decode `packets` (every one inside the data, the caller checks) into the
    // next rows, the numeric fields with the GIL released (split into
    // contiguous ranges of packets, one thread each, where threads allow).
    // False with the first
    // faulty packet's error set: what unpack_parameters raises for it, with a
    // note naming the packet by its row and its bytes in the data.
    bool add(const PacketSet& packets, std::uint64_t base);
    std::size_t filled() const noexcept { return filled_; }
    // Fewer rows than allocated (packets left out after the columns were
    // made, as those failing their CRC): `rows` no less than those filled and
    // no more than allocated; no more rows are added afterwards. False with
    // the error set.
    bool shrink(std::size_t rows);
    // The dict name -> column, once every row is filled. nullptr with the error set.
    PyObject* finish();

private:
    // The bytes of the text fields of packets [0, count) into their columns
    // from row `row` on (no GIL needed).
    void copy_text_bytes(const PacketSet& packets, std::size_t count, std::uint64_t base,
                         std::size_t row) noexcept;
    // Decode packets [0, packets.count) into rows filled_ + [0, count) with
    // the GIL released, their ranges on several threads: `first_fault` the
    // first faulty packet (packets.count where none is). False (no error
    // set) without memory to split them.
    bool decode_released(const PacketSet& packets, std::uint64_t base, std::size_t& first_fault);
    // The texts of packets [0, count) decoded into the Arrow columns (no GIL
    // needed): the number of packets before the first whose text fails to
    // decode (count if none). Sets out_of_memory_ when a column cannot grow.
    std::size_t decode_arrow_texts(const PacketSet& packets, std::size_t count,
                                   std::uint64_t base) noexcept;

    const Layout& layout_;
    const char* function_;
    TextForm text_;
    std::size_t threads_;
    std::vector<std::size_t> text_widths_;  // bytes per element of each bytes text column
    std::vector<core::FieldSpec> fields_;
    std::vector<ColumnKind> kinds_;
    std::vector<std::uint8_t*> columns_;   // numeric columns' first elements
    std::vector<py::Ref> buffers_;         // numpy arrays, or lists for object text
    std::vector<TextColumnWriter> arrow_;  // Arrow text columns, by field
    std::vector<std::uint8_t> scratch_;    // one text's bytes, copied from its packet
    bool out_of_memory_ = false;
    std::size_t total_ = 0;
    std::size_t filled_ = 0;
    bool any_text_ = false;
};

// Decode every packet into a new dict name -> column in one run (ColumnBuilder).
PyObject* decode_columns(const Layout& layout, const PacketSet& packets, std::uint64_t base,
                         const char* function, TextForm text = TextForm::Object,
                         std::size_t threads = 1);

// RuntimeError "the data changed while {function} was reading it": another
// thread wrote into a buffer that a call reads with the GIL released, and two
// readings of it differ. Always nullptr.
PyObject* raise_data_changed(const char* function, const char* what = "the data");

// unpack_columns(data, recipe, *, packet_bytes=None, offsets=None, lengths=None, offset_bits=0,
//                text="object", threads=None)
PyObject* unpack_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);

// unpack_repeated(data, recipe, offsets, lengths, starts, counts, stride,
// owners=False, threads=None): the numeric items of `recipe` decoded counts[p] times in
// packet p (at offsets[p], lengths[p] bytes), instance k at bit starts[p] + k
// * stride, into one column per item (every instance a row, in packet order).
// With owners true, the result is (columns, an int64 column of each row's p).
// Arrays of elements and repeated records of packet definitions go through
// here.
PyObject* unpack_repeated(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// byte_slices(data, offsets, lengths): a numpy object column holding
// bytes(data[offsets[i] : offsets[i] + lengths[i]]) for every i, each slice
// checked to lie inside the data.
PyObject* byte_slices(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// binary_column(data, starts, sizes, view=False): an ArrowColumn of bytes
// (Arrow's binary layout; binary_view with view), value i the sizes[i] bytes
// from bit starts[i] of the data (shifted into whole bytes where a start
// lies inside a byte), each checked to lie inside the data; the bytes are
// copied without the GIL (with view and read-only data, only those of
// values that do not start on a byte boundary).
PyObject* binary_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// packet_crcs(data, offsets, lengths): two uint16 columns, the CRC-16-CCITT
// of each packet's bytes but its last two (CCSDS packet error control) and
// those two bytes read big-endian; every packet checked to lie inside the
// data and to hold at least two bytes.
PyObject* packet_crcs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace bitloom::bulk
