#include "ext/bitloom_bulk/unpack_columns.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#include "binding/buffer.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/text.hpp"
#include "core/bits.hpp"
#include "core/crc16.hpp"
#include "core/integer.hpp"
#include "core/portable.hpp"
#include "core/text/unicode.hpp"
#include "ext/bitloom_bulk/messages.hpp"

#if defined(__linux__)
#include <sched.h>
#endif

namespace bitloom::bulk {
namespace {

using core::Codec;
using py::Ref;

// numpy.empty, numpy.array and numpy.dtype, imported once at module
// initialisation and never changed afterwards.
PyObject* g_array = nullptr;
PyObject* g_empty = nullptr;
PyObject* g_dtype = nullptr;
// numpy dtype objects of the column dtypes made most often, beside their
// names: made once, so that a column's array is made without parsing its
// dtype's name or making a str to look it up (a live stream's small pieces
// make hundreds of columns a call).
constexpr const char* kMadeDtypes[] = {"uint8", "uint16", "uint32", "uint64",  "int8",
                                       "int16", "int32",  "int64",  "float64", "bool"};
constexpr std::size_t kMadeCount = sizeof(kMadeDtypes) / sizeof(kMadeDtypes[0]);
PyObject* g_made_dtypes[kMadeCount] = {};

// The text fields of packet p into row `row` of the lists; false at a
// decoding failure (error set).
bool decode_text_fields(const Layout& layout, const std::vector<ColumnKind>& kinds,
                        const std::vector<Ref>& lists, const PacketSet& packets, std::size_t p,
                        std::size_t row, std::uint64_t base) {
    const std::uint8_t* packet = packets.packet(p);
    for (std::size_t j = 0; j < layout.recipe.items.size(); ++j) {
        if (kinds[j] != ColumnKind::Text) continue;
        const core::FieldSpec& fld = layout.recipe.items[j].fld;
        const std::uint64_t start = base + layout.recipe.items[j].start;
        const std::size_t n = (static_cast<std::size_t>(fld.bits) + 7) / 8;
        PyObject* text;
        if (!fld.little && start % 8 == 0 && fld.bits % 8 == 0) {
            text = py::decode_text(fld.row->text, packet + start / 8, n);
        } else {
            std::string window(n, '\0');
            core::field_window(packet, start, fld.bits, fld.little,
                               reinterpret_cast<std::uint8_t*>(window.data()));
            text = py::decode_text(fld.row->text, reinterpret_cast<std::uint8_t*>(window.data()),
                                   n);
        }
        if (text == nullptr) return false;
        PyList_SET_ITEM(lists[j].get(), static_cast<Py_ssize_t>(row), text);
    }
    return true;
}

// Raise what unpack_parameters raises for packet p (row `row` of the call),
// with a note naming it. A packet that decodes on this second reading was
// changed by another thread since the first.
bool raise_packet_error(const Layout& layout, const PacketSet& packets, std::size_t p,
                        std::size_t row, std::uint64_t base, const char* function) {
    PyErr_Clear();
    Ref dict(unpack_one(layout, packets.packet(p), packets.length(p), base));
    if (dict) {
        raise_data_changed(function);
        return false;
    }
    const auto offset = static_cast<unsigned long long>(packets.packet(p) - packets.data);
    Ref note(PyUnicode_FromFormat(msg::kPacketNote, row, offset, offset + packets.length(p)));
    py::add_note_to_pending(note.get());
    return false;
}

}  // namespace

bool init_numpy() {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    g_array = PyObject_GetAttrString(numpy.get(), "array");
    g_dtype = PyObject_GetAttrString(numpy.get(), "dtype");
    g_empty = PyObject_GetAttrString(numpy.get(), "empty");
    if (g_array == nullptr || g_dtype == nullptr || g_empty == nullptr) {
        return false;
    }
    for (std::size_t i = 0; i < kMadeCount; ++i) {
        g_made_dtypes[i] = PyObject_CallFunction(g_dtype, "s", kMadeDtypes[i]);
        if (g_made_dtypes[i] == nullptr) return false;
    }
    return true;
}

namespace {

// The dtype object of a column dtype: one made at initialisation (borrowed,
// in `made`), else made from its name (owned, in `named`). False with the
// error set.
bool dtype_object(const char* dtype, PyObject*& made, Ref& named) {
    made = nullptr;
    for (std::size_t i = 0; i < kMadeCount && made == nullptr; ++i) {
        if (std::strcmp(kMadeDtypes[i], dtype) == 0) made = g_made_dtypes[i];
    }
    if (made != nullptr) return true;
    named = Ref(PyUnicode_FromString(dtype));
    made = named.get();
    return made != nullptr;
}

}  // namespace

Ref new_column(std::size_t count, const char* dtype, std::uint8_t*& data, bool zeroed) {
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return Ref();
    }
    PyObject* type = nullptr;
    Ref named;
    if (!dtype_object(dtype, type, named)) return Ref();
    Ref size(PyLong_FromSize_t(count));
    if (!size) return Ref();
    // numpy.empty(count, dtype): numpy's own allocation, which asks for huge
    // pages for a large array (a bytearray's storage gets none, and the first
    // write to each of its 4 KiB pages is a fault, a large share of a fast
    // decode's time).
    Ref array(PyObject_CallFunctionObjArgs(g_empty, size.get(), type, nullptr));
    if (!array) return array;
    // The address of its elements, through the buffer protocol. The view is
    // released at once: only the caller references the new array, and it
    // exports no other buffer, so nothing can resize it and its elements stay
    // where they are until the caller hands it out.
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE) < 0) return Ref();
    data = static_cast<std::uint8_t*>(view.buf);
    const auto bytes = static_cast<std::size_t>(view.len);
    PyBuffer_Release(&view);
    if (zeroed && bytes != 0) std::memset(data, 0, bytes);
    return array;
}

bool shrink_column(Ref& column, std::size_t count) {
    // ndarray.resize(count, refcheck=False): the elements kept in place (a
    // realloc, which for a large array moves no bytes), no copy of the rows
    // that stay. refcheck is off because the array is only ours: nobody holds
    // a view of it. Its elements may move: the caller drops their address.
    Ref size(PyLong_FromSize_t(count));
    if (!size) return false;
    Ref method(PyObject_GetAttrString(column.get(), "resize"));
    if (!method) return false;
    Ref args(PyTuple_Pack(1, size.get()));
    Ref kwargs(Py_BuildValue("{sO}", "refcheck", Py_False));
    if (!args || !kwargs) return false;
    Ref done(PyObject_Call(method.get(), args.get(), kwargs.get()));
    return static_cast<bool>(done);
}

// The element pointers of a new one-dimensional object array, found through
// its array interface ("|O" elements, contiguous); nullptr (no exception
// set) where the interface says anything else.
PyObject** object_slots(PyObject* array) {
    Ref face(PyObject_GetAttrString(array, "__array_interface__"));
    if (!face || !PyDict_Check(face.get())) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* typestr = PyDict_GetItemString(face.get(), "typestr");
    PyObject* strides = PyDict_GetItemString(face.get(), "strides");
    PyObject* where = PyDict_GetItemString(face.get(), "data");
    if (typestr == nullptr || !PyUnicode_Check(typestr) ||
        PyUnicode_CompareWithASCIIString(typestr, "|O") != 0 ||
        (strides != nullptr && strides != Py_None) || where == nullptr || !PyTuple_Check(where) ||
        PyTuple_GET_SIZE(where) < 1) {
        return nullptr;
    }
    void* address = PyLong_AsVoidPtr(PyTuple_GET_ITEM(where, 0));
    if (address == nullptr) PyErr_Clear();
    return static_cast<PyObject**>(address);
}

PyObject* object_column(PyObject* list) {
    Ref kwargs(Py_BuildValue("{sO}", "dtype", reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!kwargs) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (n > 0) {
        // The list's objects go into a new array directly: numpy.array would
        // first look into every element for nested sequences.
        Ref size(PyLong_FromSsize_t(n));
        if (!size) return nullptr;
        Ref args(PyTuple_Pack(1, size.get()));
        if (!args) return nullptr;
        Ref array(PyObject_Call(g_empty, args.get(), kwargs.get()));
        if (!array) return nullptr;
        if (PyObject** slots = object_slots(array.get())) {
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* item = PyList_GET_ITEM(list, i);
                Py_INCREF(item);
                PyObject* old = slots[i];  // None, as numpy.empty fills object arrays
                slots[i] = item;
                Py_XDECREF(old);
            }
            return array.release();
        }
    }
    Ref args(PyTuple_Pack(1, list));
    if (!args) return nullptr;
    return PyObject_Call(g_array, args.get(), kwargs.get());
}

Ref new_object_column(std::size_t count, PyObject**& slots) {
    slots = nullptr;
    Ref size(PyLong_FromSize_t(count));
    if (!size) return Ref();
    Ref args(PyTuple_Pack(1, size.get()));
    Ref kwargs(Py_BuildValue("{sO}", "dtype", reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!args || !kwargs) return Ref();
    Ref array(PyObject_Call(g_empty, args.get(), kwargs.get()));
    if (!array || count == 0) return array;
    slots = object_slots(array.get());
    if (slots == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, msg::kObjectSlots);
        return Ref();
    }
    return array;
}

PyObject* raise_data_changed(const char* function, const char* what) {
    PyErr_Format(PyExc_RuntimeError, msg::kChanged, what, function);
    return nullptr;
}

bool text_form_of(PyObject* arg, const char* function, TextForm& form) {
    form = TextForm::Object;
    if (arg == nullptr || arg == Py_None) return true;
    if (!PyUnicode_Check(arg)) {
        PyErr_Format(PyExc_TypeError, msg::kTextFormType, function, Py_TYPE(arg)->tp_name);
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(arg, "object") == 0) return true;
    if (PyUnicode_CompareWithASCIIString(arg, "bytes") == 0) {
        form = TextForm::Bytes;
        return true;
    }
    if (PyUnicode_CompareWithASCIIString(arg, "arrow") == 0) {
        form = TextForm::Arrow;
        return true;
    }
    PyErr_Format(PyExc_ValueError, msg::kTextFormValue, function, arg);
    return false;
}

std::size_t available_cpus() noexcept {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
#endif
    return std::max<std::size_t>(std::thread::hardware_concurrency(), 1);
}

bool threads_of(PyObject* arg, const char* function, std::size_t& threads) {
    threads = 0;
    if (arg == nullptr || arg == Py_None) return true;
    if (PyBool_Check(arg) || !PyIndex_Check(arg)) {
        PyErr_Format(PyExc_TypeError, msg::kThreadsType, function, Py_TYPE(arg)->tp_name);
        return false;
    }
    Ref index(PyNumber_Index(arg));
    if (!index) return false;
    const std::size_t cpus = available_cpus();
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (n == -1 && PyErr_Occurred() != nullptr) return false;
    if (overflow != 0 || n < 1 || static_cast<unsigned long long>(n) > cpus) {
        PyErr_Format(PyExc_ValueError, msg::kThreadsRange, function, cpus, index.get());
        return false;
    }
    threads = static_cast<std::size_t>(n);
    return true;
}

std::size_t threads_for(std::size_t count, std::size_t requested) noexcept {
    const std::size_t share = requested == 0 ? kDefaultPacketsPerThread : kPacketsPerThread;
    const std::size_t most = requested == 0 ? available_cpus() : requested;
    return std::clamp<std::size_t>(count / share, 1, most);
}

bool ColumnBuilder::allocate(std::size_t total) {
    const std::size_t nfields = layout_.recipe.items.size();
    fields_.resize(nfields);
    kinds_.resize(nfields);
    columns_.assign(nfields, nullptr);
    buffers_.resize(nfields);
    text_widths_.assign(nfields, 0);
    arrow_.clear();
    arrow_.resize(nfields);
    total_ = total;
    filled_ = 0;
    for (std::size_t j = 0; j < nfields; ++j) {
        fields_[j] = layout_.recipe.items[j].fld;
        kinds_[j] = layout_column_kind(layout_, j);
        if (kinds_[j] == ColumnKind::Text && text_ == TextForm::Bytes) {
            // numpy has no zero-width bytes type: an empty text is one NUL,
            // which numpy shows as b"".
            const std::size_t width = std::max<std::size_t>((fields_[j].bits + 7) / 8, 1);
            text_widths_[j] = width;
            if (total > PY_SSIZE_T_MAX / width) {
                PyErr_NoMemory();
                return false;
            }
            char dtype[32];
            std::snprintf(dtype, sizeof dtype, "S%zu", width);
            buffers_[j] = new_column(total, dtype, columns_[j], true);
        } else if (kinds_[j] == ColumnKind::Text && text_ == TextForm::Arrow) {
            const std::size_t n = (fields_[j].bits + 7) / 8;
            if (!arrow_[j].start(total, n)) {
                PyErr_NoMemory();
                return false;
            }
            try {
                scratch_.resize(std::max(scratch_.size(), n));
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
                return false;
            }
            continue;
        } else if (kinds_[j] == ColumnKind::Text) {
            any_text_ = true;
            if (total > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
                PyErr_NoMemory();
                return false;
            }
            buffers_[j] = Ref(PyList_New(static_cast<Py_ssize_t>(total)));
        } else {
            const std::size_t width = column_item_size(kinds_[j]);
            if (total > PY_SSIZE_T_MAX / width) {
                PyErr_NoMemory();
                return false;
            }
            // Every element is written before the column is handed out.
            buffers_[j] = new_column(total, column_dtype(kinds_[j]), columns_[j], false);
        }
        if (!buffers_[j]) return false;
    }
    return true;
}

bool ColumnBuilder::add(const PacketSet& packets, std::uint64_t base) {
    if (packets.count > total_ - filled_) {
        PyErr_SetString(PyExc_SystemError, msg::kMorePackets);
        return false;
    }
    std::size_t failed = 0;
    if (!decode_released(packets, base, failed)) {
        PyErr_NoMemory();
        return false;
    }
    if (text_ == TextForm::Arrow) {
        // The texts go into growing columns, in packet order, on this thread
        // (with the GIL released), up to the first numeric fault.
        failed = py::without_gil([&] { return decode_arrow_texts(packets, failed, base); });
        if (out_of_memory_) {
            PyErr_NoMemory();
            return false;
        }
    }
    if (any_text_) {
        // The texts of the packets before the first numeric fault; a text fault
        // there is the first fault.
        for (std::size_t p = 0; p < failed; ++p) {
            if (!decode_text_fields(layout_, kinds_, buffers_, packets, p, filled_ + p, base)) {
                return raise_packet_error(layout_, packets, p, filled_ + p, base, function_);
            }
        }
    }
    if (failed < packets.count) {
        return raise_packet_error(layout_, packets, failed, filled_ + failed, base, function_);
    }
    filled_ += packets.count;
    return true;
}

namespace {

// Packets [begin, end) of `packets` as a set of their own. Fixed-size packets
// keep the data from their first byte to the end of the whole data: the
// kernel reads whole words where they lie inside the data, and reads the same
// words (to the same values) whatever range a packet falls in.
PacketSet packet_range(const PacketSet& packets, std::size_t begin, std::size_t end) noexcept {
    PacketSet part = packets;
    part.count = end - begin;
    if (packets.offsets != nullptr) {
        part.offsets = packets.offsets + begin;
        if (packets.lengths != nullptr) part.lengths = packets.lengths + begin;
    } else {
        const auto skipped = static_cast<std::size_t>(begin * packets.packet_bytes);
        part.data = packets.data + skipped;
        part.size = packets.size - skipped;
    }
    return part;
}

// Start f(t) on a new thread of `workers` (room reserved); false where the
// system refuses the thread.
template <class F>
bool start_thread(std::vector<std::jthread>& workers, F& f, std::size_t t) noexcept {
    try {
        workers.emplace_back(f, t);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

// Decodes ranges 0 .. ranges - 1, each by decode(r, t) (t the thread: 0 is
// the calling one; true where range r holds a faulty packet), on up to
// `threads` threads with the GIL released. Ranges are handed out in order to
// whichever thread asks next, so a thread that the system starts late (its
// cores busy with other work) takes fewer of them; none after the lowest
// faulty range is started, as the first faulty packet lies in that range and
// every range before it was handed out before it. A thread that the system
// refuses (its limit on threads, or no memory for its stack) leaves its ranges
// to the others. Ranges left undecoded are the caller's to finish.
template <class Decode>
void run_ranges(std::size_t ranges, std::size_t threads, Decode& decode) noexcept {
    std::vector<std::jthread> workers;
    try {
        workers.reserve(threads - 1);
    } catch (const std::bad_alloc&) {
        threads = 1;
    }
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> lowest_faulty{ranges};
    auto work = [&](std::size_t thread) noexcept {
        for (;;) {
            const std::size_t r = next.fetch_add(1, std::memory_order_relaxed);
            if (r >= ranges || r > lowest_faulty.load(std::memory_order_relaxed)) return;
            if (decode(r, thread)) {
                std::size_t seen = lowest_faulty.load(std::memory_order_relaxed);
                while (r < seen && !lowest_faulty.compare_exchange_weak(seen, r)) {
                }
            }
        }
    };
    py::ReleasedGil released;
    for (std::size_t t = 1; t < threads && start_thread(workers, work, t); ++t) {
    }
    work(0);
    workers.clear();  // joins them
}

}  // namespace

bool ColumnBuilder::decode_released(const PacketSet& packets, std::uint64_t base,
                                    std::size_t& first_fault) {
    const std::size_t nfields = fields_.size();
    const std::size_t count = packets.count;
    // The packets go in ranges (`share` packets, the last one fewer), spread
    // over the threads by run_ranges.
    const std::size_t threads = threads_for(count, threads_);
    const std::size_t share = threads == 1 ? std::max<std::size_t>(count, 1)
                                           : std::clamp<std::size_t>(count / (threads * 8),
                                                                     kPacketsPerThread, 65536);
    const std::size_t ranges = (count + share - 1) / share;
    constexpr std::size_t kNotDone = ~std::size_t{0};
    std::vector<std::size_t> failed;  // of each range: its first faulty packet, or its end
    std::vector<std::uint8_t*> at;    // of each thread: its range's columns
    try {
        failed.assign(ranges, kNotDone);
        at.assign(threads * nfields, nullptr);
    } catch (const std::bad_alloc&) {
        return false;
    }
    // Range r, decoded as a call of its own would decode it: every packet
    // before its first faulty one written.
    auto decode = [&](std::size_t r, std::uint8_t** columns) noexcept {
        const std::size_t begin = r * share;
        const std::size_t end = std::min(count, begin + share);
        for (std::size_t j = 0; j < nfields; ++j) {
            // The numeric kernel skips text fields: bytes text columns are
            // filled by copy_text_bytes.
            columns[j] = columns_[j] != nullptr && kinds_[j] != ColumnKind::Text
                             ? columns_[j] + (filled_ + begin) * column_item_size(kinds_[j])
                             : nullptr;
        }
        const PacketSet part = packet_range(packets, begin, end);
        const std::size_t first =
            decode_numeric_columns(fields_, kinds_, std::span(columns, nfields), part, base).packet;
        if (text_ == TextForm::Bytes) copy_text_bytes(part, first, base, filled_ + begin);
        failed[r] = begin + first;
        return begin + first < end;
    };
    auto decode_range = [&](std::size_t r, std::size_t thread) noexcept {
        return decode(r, at.data() + thread * nfields);
    };
    run_ranges(ranges, threads, decode_range);
    // The first faulty packet lies in the first faulty range. Ranges after
    // it were left undecoded; one before it never is (it was handed out
    // first), but would be decoded here.
    first_fault = count;
    for (std::size_t r = 0; r < ranges; ++r) {
        if (failed[r] == kNotDone) decode(r, at.data());
        if (failed[r] < std::min(count, (r + 1) * share)) {
            first_fault = failed[r];
            break;
        }
    }
    return true;
}

void ColumnBuilder::copy_text_bytes(const PacketSet& packets, std::size_t count, std::uint64_t base,
                                    std::size_t row) noexcept {
    // The kernel has checked every field of these packets to lie inside them.
    for (std::size_t j = 0; j < fields_.size(); ++j) {
        if (kinds_[j] != ColumnKind::Text) continue;
        const core::FieldSpec& fld = fields_[j];
        const std::uint64_t start = base + layout_.recipe.items[j].start;
        const std::size_t n = (static_cast<std::size_t>(fld.bits) + 7) / 8;
        const std::size_t width = text_widths_[j];
        std::uint8_t* out = columns_[j] + row * width;
        const bool whole = !fld.little && start % 8 == 0 && fld.bits % 8 == 0;
        for (std::size_t p = 0; p < count; ++p, out += width) {
            if (n == 0) continue;
            if (whole) {
                std::memcpy(out, packets.packet(p) + start / 8, n);
            } else {
                core::field_window(packets.packet(p), start, fld.bits, fld.little, out);
            }
        }
    }
}

namespace {

// n bytes from s to d (not overlapping): short texts without a call.
inline void copy_text(std::uint8_t* d, const std::uint8_t* s, std::size_t n) noexcept {
    if (n >= 8 && n <= 16) {
        std::uint64_t head = 0, tail = 0;
        std::memcpy(&head, s, 8);
        std::memcpy(&tail, s + n - 8, 8);
        std::memcpy(d, &head, 8);
        std::memcpy(d + n - 8, &tail, 8);
    } else if (n >= 4 && n < 8) {
        std::uint32_t head = 0, tail = 0;
        std::memcpy(&head, s, 4);
        std::memcpy(&tail, s + n - 4, 4);
        std::memcpy(d, &head, 4);
        std::memcpy(d + n - 4, &tail, 4);
    } else if (n != 0) {
        std::memcpy(d, s, n);
    }
}

inline bool all_ascii(const std::uint8_t* p, std::size_t n) noexcept {
    std::uint64_t seen = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, p + i, 8);
        seen |= word;
    }
    for (; i < n; ++i) seen |= p[i];
    return (seen & 0x8080808080808080ULL) == 0;
}

// Codecs that read a byte below 0x80 as the character of the same value,
// whatever the bytes around it (windows-1252 sniffs a byte-order mark only
// from bytes above 0x7F): a text of such bytes is its own UTF-8.
constexpr bool ascii_is_itself(core::TextCodec codec) noexcept {
    return codec == core::TextCodec::Utf8 || codec == core::TextCodec::UsAscii ||
           codec == core::TextCodec::Iso8859_1 || codec == core::TextCodec::Windows1252;
}

}  // namespace

std::size_t ColumnBuilder::decode_arrow_texts(const PacketSet& packets, std::size_t count,
                                              std::uint64_t base) noexcept {
    // The kernel has checked every field of these packets to lie inside them.
    // Each text's bytes are copied out of its packet (into the column, where
    // they are its UTF-8 as they are, else aside) before they are checked:
    // what is checked is what is written, whatever another thread does to
    // the data meanwhile.
    std::size_t limit = count;
    try {
        for (std::size_t j = 0; j < fields_.size(); ++j) {
            if (kinds_[j] != ColumnKind::Text) continue;
            const core::FieldSpec& fld = fields_[j];
            const core::TextCodecRow& codec = core::text_codec_row(fld.row->text);
            const bool ascii_fast = ascii_is_itself(fld.row->text);
            const bool latin1 = fld.row->text == core::TextCodec::Iso8859_1;
            const std::uint64_t start = base + layout_.recipe.items[j].start;
            const std::size_t n = (static_cast<std::size_t>(fld.bits) + 7) / 8;
            const bool whole = !fld.little && start % 8 == 0 && fld.bits % 8 == 0;
            std::uint8_t* window = scratch_.data();
            TextColumnWriter& column = arrow_[j];
            for (std::size_t p = 0; p < limit; ++p) {
                std::uint8_t* at = column.room(n);
                if (at == nullptr) {
                    out_of_memory_ = true;
                    return 0;
                }
                if (whole) {
                    copy_text(at, packets.packet(p) + start / 8, n);
                } else if (n != 0) {
                    core::field_window(packets.packet(p), start, fld.bits, fld.little, at);
                }
                if (ascii_fast && all_ascii(at, n)) {
                    if (!column.push(n)) [[unlikely]] {
                        out_of_memory_ = true;
                        return 0;
                    }
                    continue;
                }
                copy_text(window, at, n);
                if (latin1) {
                    // Never fails: each byte is the character of its value.
                    at = column.room(2 * n);
                    if (at == nullptr) {
                        out_of_memory_ = true;
                        return 0;
                    }
                    std::size_t size = 0;
                    for (std::size_t i = 0; i < n; ++i) {
                        const std::uint8_t c = window[i];
                        if (c < 0x80) {
                            at[size++] = c;
                        } else {
                            at[size++] = static_cast<std::uint8_t>(0xC0 | (c >> 6));
                            at[size++] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
                        }
                    }
                    if (!column.push(size)) {
                        out_of_memory_ = true;
                        return 0;
                    }
                    continue;
                }
                const auto checked = codec.decode(core::ByteView(window, n));
                if (!checked) {
                    limit = p;  // its error is raised from the packet, with the GIL
                    break;
                }
                at = column.room(core::utf8_bound(checked.value()));
                if (at == nullptr) {
                    out_of_memory_ = true;
                    return 0;
                }
                if (!column.push(core::write_utf8(checked.value(), at))) {
                    out_of_memory_ = true;
                    return 0;
                }
            }
        }
    } catch (...) {  // std::bad_alloc making a decoder's error
        out_of_memory_ = true;
        return 0;
    }
    return limit;
}

bool ColumnBuilder::shrink(std::size_t rows) {
    if (rows < filled_ || rows > total_) {
        PyErr_SetString(PyExc_SystemError, msg::kColumnsUnfilled);
        return false;
    }
    for (std::size_t j = 0; j < fields_.size() && rows != total_; ++j) {
        if (kinds_[j] == ColumnKind::Text && text_ == TextForm::Arrow) continue;  // finish() cuts
        PyObject* buffer = buffers_[j].get();
        if (kinds_[j] == ColumnKind::Text && text_ == TextForm::Object) {
            // The slots past `rows` were never set: the list holds NULL there.
            if (PyList_SetSlice(buffer, static_cast<Py_ssize_t>(rows), PY_SSIZE_T_MAX, nullptr) <
                0) {
                return false;
            }
            continue;
        }
        if (!shrink_column(buffers_[j], rows)) return false;
        columns_[j] = nullptr;  // a resize may move the elements: no rows are added after this
    }
    total_ = rows;
    return true;
}

PyObject* ColumnBuilder::finish() {
    if (filled_ != total_) {
        PyErr_SetString(PyExc_SystemError, msg::kColumnsUnfilled);
        return nullptr;
    }
    const std::size_t nfields = fields_.size();
    Ref result(py::shim::dict_new_presized(static_cast<Py_ssize_t>(nfields)));
    if (!result) return nullptr;
    for (std::size_t j = 0; j < nfields; ++j) {
        Ref column;
        if (kinds_[j] == ColumnKind::Text && text_ == TextForm::Arrow) {
            column = Ref(new_arrow_column(arrow_[j].finish(total_)));
        } else if (kinds_[j] == ColumnKind::Text && text_ == TextForm::Object) {
            column = Ref(object_column(buffers_[j].get()));
        } else {
            column = buffers_[j];  // the array the rows were written into
        }
        if (!column ||
            PyDict_SetItem(result.get(), layout_.recipe.items[j].key.get(), column.get()) < 0) {
            return nullptr;
        }
    }
    return result.release();
}

PyObject* decode_columns(const Layout& layout, const PacketSet& packets, std::uint64_t base,
                         const char* function, TextForm text, std::size_t threads) {
    ColumnBuilder builder(layout, function, text, threads);
    if (!builder.allocate(packets.count) || !builder.add(packets, base)) return nullptr;
    return builder.finish();
}

namespace {

// The offsets or lengths argument of unpack_columns: a one-dimensional buffer
// of integers of any width (a numpy array, read in place, element by element,
// whatever its strides), or any other sequence of integers (converted here
// into an array of our own). Elements are read afresh on every call of at():
// the caller's array may change meanwhile, so what at() gives is checked by
// its user each time, never trusted from an earlier reading.
class Positions {
public:
    // False with TypeError (or the conversion's error) set, naming `what`.
    bool open(PyObject* obj, const char* what) {
        what_ = what;
        if (PyObject_CheckBuffer(obj)) return open_buffer(obj);
        return open_sequence(obj);
    }
    std::size_t size() const noexcept { return count_; }
    // Element i: its value, or false when it is negative (`negative` holds it).
    bool at(std::size_t i, std::uint64_t& value, long long& negative) const noexcept {
        if (!in_place_) {
            value = owned_[i];
            return true;
        }
        const char* p = static_cast<const char*>(buffer_.view().buf) +
                        static_cast<Py_ssize_t>(i) * stride_;
        std::uint64_t raw = 0;
        switch (width_) {
            case 1: raw = load<std::uint8_t>(p); break;
            case 2: raw = load<std::uint16_t>(p); break;
            case 4: raw = load<std::uint32_t>(p); break;
            default: raw = load<std::uint64_t>(p); break;
        }
        if (swap_) raw = core::bswap64(raw) >> (64 - 8 * width_);
        if (signed_ && width_ < 8) {
            const unsigned shift = 64 - 8 * static_cast<unsigned>(width_);
            raw = static_cast<std::uint64_t>(static_cast<std::int64_t>(raw << shift) >> shift);
        }
        if (signed_ && static_cast<std::int64_t>(raw) < 0) {
            negative = static_cast<std::int64_t>(raw);
            return false;
        }
        value = raw;
        return true;
    }
    // Elements [begin, begin + n) into out: false at the first negative one
    // (`at` holds its index, `negative` its value). A native-order buffer of
    // 8-byte integers is copied whole and then checked.
    bool read(std::size_t begin, std::size_t n, std::uint64_t* out, std::size_t& at,
              long long& negative) const noexcept {
        if (!in_place_) {
            if (n != 0) std::memcpy(out, owned_.data() + begin, n * sizeof(std::uint64_t));
            return true;
        }
        if (width_ == 8 && !swap_ && stride_ == 8) {
            if (n != 0) {
                std::memcpy(out, static_cast<const char*>(buffer_.view().buf) + begin * 8, n * 8);
            }
            if (!signed_) return true;
            for (std::size_t i = 0; i < n; ++i) {
                if (static_cast<std::int64_t>(out[i]) < 0) [[unlikely]] {
                    at = begin + i;
                    negative = static_cast<std::int64_t>(out[i]);
                    return false;
                }
            }
            return true;
        }
        if (!swap_ && stride_ == width_) {
            // Contiguous native-order elements (int32 offsets and lengths are
            // the common case): widened in one pass, then checked.
            switch (width_) {
                case 1: return read_narrow<std::uint8_t>(begin, n, out, at, negative);
                case 2: return read_narrow<std::uint16_t>(begin, n, out, at, negative);
                case 4: return read_narrow<std::uint32_t>(begin, n, out, at, negative);
                default: break;
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (!this->at(begin + i, out[i], negative)) {
                at = begin + i;
                return false;
            }
        }
        return true;
    }
    const char* what() const noexcept { return what_; }

private:
    // read() of contiguous native-order elements of type U (signed where the
    // buffer says so): each element loaded once into out, and the check
    // made on those copies, so that a writer meanwhile cannot slip a
    // negative value past it.
    template <class U>
    bool read_narrow(std::size_t begin, std::size_t n, std::uint64_t* out, std::size_t& at,
                     long long& negative) const noexcept {
        // The sign bit of U moved to the top, and back with the sign spread.
        constexpr unsigned kShift = 64 - 8 * sizeof(U);
        const char* p = static_cast<const char*>(buffer_.view().buf) + begin * sizeof(U);
        if (!signed_) {
            for (std::size_t i = 0; i < n; ++i) out[i] = load<U>(p + i * sizeof(U));
            return true;
        }
        bool any_negative = false;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t raw = load<U>(p + i * sizeof(U));
            const std::int64_t v = static_cast<std::int64_t>(raw << kShift) >> kShift;
            out[i] = static_cast<std::uint64_t>(v);
            any_negative |= v < 0;
        }
        if (!any_negative) [[likely]]
            return true;
        for (std::size_t i = 0; i < n; ++i) {
            if (static_cast<std::int64_t>(out[i]) < 0) {
                at = begin + i;
                negative = static_cast<std::int64_t>(out[i]);
                return false;
            }
        }
        return true;
    }
    template <class U>
    static std::uint64_t load(const char* p) noexcept {
        U v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }

    bool open_buffer(PyObject* obj) {
        if (!buffer_.acquire(obj, PyBUF_RECORDS_RO)) return false;
        const Py_buffer& v = buffer_.view();
        std::string_view format = v.format ? v.format : "B";
        bool big = std::endian::native == std::endian::big;
        if (!format.empty() &&
            std::string_view("@=<>!").find(format[0]) != std::string_view::npos) {
            if (format[0] == '<') big = false;
            if (format[0] == '>' || format[0] == '!') big = true;
            format.remove_prefix(1);
        }
        const bool integer = format.size() == 1 &&
                             std::string_view("bBhHiIlLqQnN").find(format[0]) !=
                                 std::string_view::npos;
        if (v.ndim != 1 || !integer ||
            (v.itemsize != 1 && v.itemsize != 2 && v.itemsize != 4 && v.itemsize != 8)) {
            PyErr_Format(PyExc_TypeError, msg::kPositionsArray, what_, v.ndim,
                         v.format ? v.format : "B");
            return false;
        }
        in_place_ = true;
        signed_ = format[0] >= 'a' && format[0] <= 'z';
        swap_ = v.itemsize > 1 && big != (std::endian::native == std::endian::big);
        width_ = static_cast<int>(v.itemsize);
        stride_ = v.strides != nullptr ? v.strides[0] : v.itemsize;
        count_ = static_cast<std::size_t>(v.shape != nullptr ? v.shape[0] : v.len / v.itemsize);
        return true;
    }

    bool open_sequence(PyObject* obj) {
        if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
            PyErr_Format(PyExc_TypeError, msg::kPositionsType, what_, Py_TYPE(obj)->tp_name);
            return false;
        }
        Ref fast(PySequence_Fast(obj, "a sequence"));
        if (!fast) return false;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
        try {
            owned_.resize(static_cast<std::size_t>(n));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            // The list may change while an item's __index__ runs: read it anew.
            if (i >= PySequence_Fast_GET_SIZE(fast.get())) {
                raise_data_changed("unpack_columns", what_);
                return false;
            }
            Ref item = Ref::borrow(PySequence_Fast_ITEMS(fast.get())[i]);
            Ref index(PyNumber_Index(item.get()));
            if (!index) {
                if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, msg::kPositionNotInteger, what_, i,
                             Py_TYPE(item.get())->tp_name);
                return false;
            }
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
            if (v == -1 && PyErr_Occurred() != nullptr) return false;
            if (overflow < 0 || (overflow == 0 && v < 0)) {
                PyErr_Format(PyExc_ValueError, msg::kPositionNegativeObject, what_, i, index.get());
                return false;
            }
            if (overflow > 0) {
                const unsigned long long u = PyLong_AsUnsignedLongLong(index.get());
                if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
                    PyErr_Clear();
                    PyErr_Format(PyExc_ValueError, msg::kPositionTooLarge, what_, i, index.get());
                    return false;
                }
                owned_[static_cast<std::size_t>(i)] = u;
            } else {
                owned_[static_cast<std::size_t>(i)] = static_cast<std::uint64_t>(v);
            }
        }
        count_ = static_cast<std::size_t>(n);
        return true;
    }

    const char* what_ = "";
    py::BufferView buffer_;
    std::vector<std::uint64_t> owned_;
    std::size_t count_ = 0;
    Py_ssize_t stride_ = 0;
    int width_ = 8;
    bool in_place_ = false;  // read from the caller's buffer, not owned_
    bool signed_ = false;
    bool swap_ = false;  // the buffer's byte order is not the machine's
};

// Every element of `positions` is not negative: false with ValueError naming
// the first one that is.
// Packets are decoded in runs of this many, each run's offsets and lengths
// copied from the caller's arrays and checked before its decoding starts: the
// decoder only ever uses positions it has checked, and holds a bounded copy
// of them whatever the packet count.
constexpr std::size_t kRun = 65536;

// Room for `n` positions, left unwritten (each is written before it is read;
// zeroing would cost as much as the copy it is for).
std::unique_ptr<std::uint64_t[]> scratch(std::size_t n) {
    return std::make_unique_for_overwrite<std::uint64_t[]>(std::max<std::size_t>(n, 1));
}

bool check_not_negative(const Positions& positions) {
    const std::unique_ptr<std::uint64_t[]> chunk = scratch(std::min(positions.size(), kRun));
    for (std::size_t begin = 0; begin < positions.size(); begin += kRun) {
        const std::size_t n = std::min(kRun, positions.size() - begin);
        std::size_t at = 0;
        long long negative = 0;
        if (!positions.read(begin, n, chunk.get(), at, negative)) {
            PyErr_Format(PyExc_ValueError, msg::kPositionNegative, positions.what(), at, negative);
            return false;
        }
    }
    return true;
}

// Runs [begin, begin + n) of offsets and lengths into o and len; false with
// RuntimeError when one became negative since they were first checked.
bool read_run(const Positions& offsets, const Positions& lengths, std::size_t begin, std::size_t n,
              std::uint64_t* o, std::uint64_t* len) {
    std::size_t at = 0;
    long long negative = 0;
    if (!offsets.read(begin, n, o, at, negative) || !lengths.read(begin, n, len, at, negative)) {
        raise_data_changed("unpack_columns", "offsets or lengths");
        return false;
    }
    return true;
}

// unpack_columns over offsets and lengths: the arguments checked as a whole
// (their faults raised before any packet is decoded), then decoded run by run
// from checked copies.
PyObject* decode_positions(const Layout& layout, const std::uint8_t* data, std::size_t size,
                           const Positions& offsets, const Positions& lengths, std::uint64_t base,
                           TextForm text, std::size_t threads) {
    const std::size_t count = offsets.size();
    const std::unique_ptr<std::uint64_t[]> run_offsets = scratch(std::min(count, kRun));
    const std::unique_ptr<std::uint64_t[]> run_lengths = scratch(std::min(count, kRun));
    for (std::size_t begin = 0; begin < count; begin += kRun) {
        const std::size_t n = std::min(kRun, count - begin);
        if (!read_run(offsets, lengths, begin, n, run_offsets.get(), run_lengths.get())) {
            return nullptr;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t o = run_offsets[i], len = run_lengths[i];
            if (o > size || len > size - o) {
                PyErr_Format(PyExc_ValueError, msg::kPacketPastEnd, begin + i,
                             static_cast<unsigned long long>(o),
                             static_cast<unsigned long long>(len), size);
                return nullptr;
            }
        }
    }
    ColumnBuilder builder(layout, "unpack_columns", text, threads);
    if (!builder.allocate(count)) return nullptr;
    for (std::size_t begin = 0; begin < count; begin += kRun) {
        const std::size_t n = std::min(kRun, count - begin);
        if (!read_run(offsets, lengths, begin, n, run_offsets.get(), run_lengths.get())) {
            return nullptr;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t o = run_offsets[i], len = run_lengths[i];
            if (o > size || len > size - o) {
                return raise_data_changed("unpack_columns", "offsets or lengths");
            }
        }
        PacketSet packets;
        packets.data = data;
        packets.size = size;
        packets.count = n;
        packets.offsets = run_offsets.get();
        packets.lengths = run_lengths.get();
        if (!builder.add(packets, base)) return nullptr;
    }
    return builder.finish();
}

}  // namespace

PyObject* unpack_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Signature sig{"unpack_columns",
                                       {"data", "recipe", "packet_bytes", "offsets", "lengths",
                                        "offset_bits", "text", "threads"},
                                       8,
                                       2,
                                       2};
    PyObject* argv[8] = {};
    if (!py::match_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
    // The recipe first: its faults come before anything about the packets.
    Ref layout_obj(layout_of(argv[1]));
    if (!layout_obj) return nullptr;
    const Layout& layout = *as_layout(layout_obj.get());
    TextForm text = TextForm::Object;
    if (!text_form_of(argv[6], "unpack_columns", text)) return nullptr;
    std::size_t threads = 0;
    if (!threads_of(argv[7], "unpack_columns", threads)) return nullptr;
    for (int i = 2; i < 6; ++i) {
        if (argv[i] == Py_None) argv[i] = nullptr;
    }
    std::uint32_t base = 0;
    if (argv[5] != nullptr && !py::convert_arg(sig, 5, argv, py::to_u32, base)) {
        return nullptr;
    }

    py::BufferView data;  // held until the columns are built: its memory stays put meanwhile
    if (!data.acquire(argv[0], PyBUF_C_CONTIGUOUS)) return nullptr;
    const std::uint8_t* bytes = data.data();
    const std::size_t size = data.size();

    if (argv[2] != nullptr) {
        if (argv[3] != nullptr || argv[4] != nullptr) {
            PyErr_SetString(PyExc_TypeError, msg::kFramingBoth);
            return nullptr;
        }
        std::uint64_t packet_bytes = 0;
        if (!py::convert_arg(sig, 2, argv, py::to_u64, packet_bytes)) return nullptr;
        if (packet_bytes == 0) {
            PyErr_SetString(PyExc_ValueError, msg::kPacketBytesZero);
            return nullptr;
        }
        const std::uint64_t rest = size % packet_bytes;
        if (rest != 0) {
            PyErr_Format(PyExc_ValueError, msg::kPartialPacket,
                         static_cast<unsigned long long>(rest),
                         static_cast<unsigned long long>(size - rest),
                         static_cast<unsigned long long>(packet_bytes), size);
            return nullptr;
        }
        PacketSet packets;
        packets.data = bytes;
        packets.size = size;
        packets.packet_bytes = packet_bytes;
        packets.count = size / packet_bytes;
        return decode_columns(layout, packets, base, "unpack_columns", text,
                              threads_for(packets.count, threads));
    }
    if (argv[3] == nullptr || argv[4] == nullptr) {
        PyErr_SetString(PyExc_TypeError, msg::kFramingNeither);
        return nullptr;
    }
    Positions offsets, lengths;
    if (!offsets.open(argv[3], "offsets") || !check_not_negative(offsets) ||
        !lengths.open(argv[4], "lengths") || !check_not_negative(lengths)) {
        return nullptr;
    }
    if (offsets.size() != lengths.size()) {
        PyErr_Format(PyExc_ValueError, msg::kPositionCounts, offsets.size(), lengths.size());
        return nullptr;
    }
    return decode_positions(layout, bytes, size, offsets, lengths, base, text,
                            threads_for(offsets.size(), threads));
}

namespace {

// The four per-packet arguments of unpack_repeated, a run of them copied and
// checked: every instance inside its packet, every packet inside the data.
struct RepeatedRun {
    std::vector<std::uint64_t> offsets, lengths, starts, counts;
};

// Copy packets [begin, begin + n) of the arguments into `run`; false with
// ValueError (or RuntimeError, when they changed since they were first read).
bool copy_repeated(const Positions* const (&args)[4], std::size_t begin, std::size_t n,
                   std::size_t size, std::uint64_t stride, std::uint64_t extent, RepeatedRun& run) {
    std::vector<std::uint64_t>* const out[4] = {&run.offsets, &run.lengths, &run.starts,
                                                &run.counts};
    for (int a = 0; a < 4; ++a) {
        out[a]->resize(n);
        std::size_t at = 0;
        long long negative = 0;
        if (!args[a]->read(begin, n, out[a]->data(), at, negative)) {
            raise_data_changed("unpack_repeated", "offsets, lengths, starts or counts");
            return false;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t o = run.offsets[i], len = run.lengths[i];
        if (o > size || len > size - o) {
            PyErr_Format(PyExc_ValueError, msg::kPacketPastEnd, begin + i,
                         static_cast<unsigned long long>(o), static_cast<unsigned long long>(len),
                         size);
            return false;
        }
        const std::uint64_t count = run.counts[i], start = run.starts[i];
        if (count == 0) continue;
        // The last instance's end, in 128 bits: no argument can overflow it.
        const unsigned __int128 end = static_cast<unsigned __int128>(start) +
                                      static_cast<unsigned __int128>(count - 1) * stride + extent;
        if (end > static_cast<unsigned __int128>(len) * 8) {
            PyErr_Format(PyExc_ValueError, msg::kRepeatedOutside, begin + i,
                         static_cast<unsigned long long>(count),
                         static_cast<unsigned long long>(start),
                         static_cast<unsigned long long>(len));
            return false;
        }
    }
    return true;
}

// A run's rows go to threads of their own from this many on (a thread's
// start, and waiting for it where the cores are busy, cost less than the
// decoding of these rows: about a millisecond).
constexpr std::size_t kRowsPerThread = std::size_t{1} << 18;
// Rows of a range of packets handed to whichever thread asks next (at the
// least, short of the run's end; a packet is never split).
constexpr std::size_t kRowsPerRange = std::size_t{1} << 15;

// Where the rows of a run go: the columns at the run's first row, and the
// owners' column there (null without owners) with the run's first packet.
struct RepeatedOut {
    std::span<std::uint8_t* const> columns;
    std::span<const ColumnKind> kinds;
    std::int64_t* owners = nullptr;
    std::int64_t owner_base = 0;
    std::size_t threads = 0;  // as asked (0: the default)
};

// Decode the `rows` rows of the first n packets of a checked run without the
// GIL, on several threads where the rows are many: ranges of packets handed
// out in order, none after a faulty one started. Returns the run's first
// faulty row and its field, or {rows, 0}; false (with MemoryError) where the
// ranges find no memory.
bool repeated_released(std::span<const core::FieldSpec> fields, const RepeatedOut& out,
                       const PacketSet& packets, const RepeatedRun& run, std::size_t rows,
                       std::uint64_t stride, ColumnFault& fault) {
    const std::size_t nfields = fields.size();
    const std::size_t threads = out.threads == 0
                                    ? std::clamp<std::size_t>(rows / kRowsPerThread, 1,
                                                              available_cpus())
                                    : std::clamp<std::size_t>(rows / kRowsPerRange, 1, out.threads);
    if (threads == 1) {
        fault = py::without_gil([&] {
            return decode_repeated_columns(fields, out.kinds, out.columns, packets,
                                           run.starts.data(), run.counts.data(), stride, out.owners,
                                           out.owner_base);
        });
        return true;
    }
    constexpr std::size_t kNotDone = ~std::size_t{0};
    std::vector<std::size_t> first;   // of each range: its first packet (and one past the last)
    std::vector<std::size_t> row_of;  // of each range: its first row in the run
    std::vector<ColumnFault> failed;  // of each range: its first faulty row, or its end
    std::vector<std::uint8_t*> at;    // of each thread: its range's columns
    try {
        first.push_back(0);
        row_of.push_back(0);
        std::size_t in_range = 0, row = 0;
        for (std::size_t p = 0; p < packets.count; ++p) {
            in_range += static_cast<std::size_t>(run.counts[p]);
            row += static_cast<std::size_t>(run.counts[p]);
            if (in_range >= kRowsPerRange && p + 1 < packets.count) {
                first.push_back(p + 1);
                row_of.push_back(row);
                in_range = 0;
            }
        }
        first.push_back(packets.count);
        row_of.push_back(rows);
        failed.assign(first.size() - 1, ColumnFault{kNotDone, 0});
        at.assign(threads * nfields, nullptr);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    const std::size_t ranges = failed.size();
    // Range r, decoded as a call of its own would decode it.
    auto decode = [&](std::size_t r, std::uint8_t** columns) noexcept {
        const std::size_t begin = first[r], end = first[r + 1], row = row_of[r];
        for (std::size_t j = 0; j < nfields; ++j) {
            columns[j] = out.columns[j] + row * column_item_size(out.kinds[j]);
        }
        const PacketSet part = packet_range(packets, begin, end);
        const ColumnFault got = decode_repeated_columns(
            fields, out.kinds, std::span(columns, nfields), part, run.starts.data() + begin,
            run.counts.data() + begin, stride, out.owners != nullptr ? out.owners + row : nullptr,
            out.owner_base + static_cast<std::int64_t>(begin));
        failed[r] = {row + got.packet, got.field};
        return row + got.packet < row_of[r + 1];
    };
    auto decode_range = [&](std::size_t r, std::size_t thread) noexcept {
        return decode(r, at.data() + thread * nfields);
    };
    run_ranges(ranges, threads, decode_range);
    // The first faulty row lies in the first faulty range; a range before it
    // left undone (never, as they are handed out in order) is decoded here.
    fault = {rows, 0};
    for (std::size_t r = 0; r < ranges; ++r) {
        if (failed[r].packet == kNotDone) decode(r, at.data());
        if (failed[r].packet < row_of[r + 1]) {
            fault = failed[r];
            break;
        }
    }
    return true;
}

}  // namespace

PyObject* unpack_repeated(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Signature sig{"unpack_repeated",
                                       {"data", "recipe", "offsets", "lengths", "starts", "counts",
                                        "stride", "owners", "threads"},
                                       9,
                                       7,
                                       7};
    PyObject* argv[9] = {};
    if (!py::match_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
    bool with_owners = false;
    if (argv[7] != nullptr && !py::convert_arg(sig, 7, argv, py::to_bool, with_owners)) {
        return nullptr;
    }
    std::size_t threads = 0;
    if (!threads_of(argv[8], "unpack_repeated", threads)) return nullptr;
    Ref layout_obj(layout_of(argv[1]));
    if (!layout_obj) return nullptr;
    const Layout& layout = *as_layout(layout_obj.get());
    const std::size_t nfields = layout.recipe.items.size();
    std::vector<core::FieldSpec> fields(nfields);
    std::vector<ColumnKind> kinds(nfields);
    std::uint64_t extent = 0;  // the largest field end, from an instance's start
    for (std::size_t j = 0; j < nfields; ++j) {
        fields[j] = layout.recipe.items[j].fld;
        if (fields[j].row == nullptr || !fields[j].order_known) {
            // The one-item path raises the encoding's or byte order's fault.
            PyErr_Format(PyExc_ValueError, msg::kRepeatedFault, std::size_t{0}, j,
                         layout.recipe.items[j].name.get());
            return nullptr;
        }
        kinds[j] = layout_column_kind(layout, j);
        if (kinds[j] == ColumnKind::Text) {
            PyErr_Format(PyExc_TypeError, msg::kRepeatedText, j, layout.recipe.items[j].name.get());
            return nullptr;
        }
    }
    const std::vector<std::uint64_t> rel = relative_starts(fields);
    for (std::size_t j = 0; j < nfields; ++j) extent = std::max(extent, rel[j] + fields[j].bits);
    std::uint64_t stride = 0;
    if (!py::convert_arg(sig, 6, argv, py::to_u64, stride)) return nullptr;

    py::BufferView data;
    if (!data.acquire(argv[0], PyBUF_C_CONTIGUOUS)) return nullptr;
    Positions offsets, lengths, starts, counts;
    if (!offsets.open(argv[2], "offsets") || !check_not_negative(offsets) ||
        !lengths.open(argv[3], "lengths") || !check_not_negative(lengths) ||
        !starts.open(argv[4], "starts") || !check_not_negative(starts) ||
        !counts.open(argv[5], "counts") || !check_not_negative(counts)) {
        return nullptr;
    }
    const std::size_t npackets = offsets.size();
    if (lengths.size() != npackets || starts.size() != npackets || counts.size() != npackets) {
        PyErr_Format(PyExc_ValueError, msg::kRepeatedCounts, npackets, lengths.size(),
                     starts.size(), counts.size());
        return nullptr;
    }
    const Positions* const all[4] = {&offsets, &lengths, &starts, &counts};
    // Every run checked once before anything is allocated, so that a fault
    // raises before the columns are built; the rows they add up to.
    std::size_t total = 0;
    RepeatedRun run;
    for (std::size_t begin = 0; begin < npackets; begin += kRun) {
        const std::size_t n = std::min(kRun, npackets - begin);
        if (!copy_repeated(all, begin, n, data.size(), stride, extent, run)) return nullptr;
        for (const std::uint64_t c : run.counts) {
            if (c > PY_SSIZE_T_MAX - total) return PyErr_NoMemory();
            total += static_cast<std::size_t>(c);
        }
    }
    std::vector<Ref> buffers(nfields);
    std::vector<std::uint8_t*> columns(nfields, nullptr);
    for (std::size_t j = 0; j < nfields; ++j) {
        const std::size_t width = column_item_size(kinds[j]);
        if (total > PY_SSIZE_T_MAX / width) return PyErr_NoMemory();
        buffers[j] = new_column(total, column_dtype(kinds[j]), columns[j], false);
        if (!buffers[j]) return nullptr;
    }
    // Each row's packet (its index in the arguments), written by the kernel
    // as it decodes: no second pass over the rows.
    Ref owner_buffer;
    std::int64_t* owners = nullptr;
    if (with_owners) {
        std::uint8_t* bytes = nullptr;
        if (total > PY_SSIZE_T_MAX / sizeof(std::int64_t)) return PyErr_NoMemory();
        owner_buffer = new_column(total, "int64", bytes, false);
        if (!owner_buffer) return nullptr;
        owners = reinterpret_cast<std::int64_t*>(bytes);
    }
    std::size_t filled = 0;
    std::vector<std::uint8_t*> at(nfields);
    for (std::size_t begin = 0; begin < npackets; begin += kRun) {
        const std::size_t n = std::min(kRun, npackets - begin);
        if (!copy_repeated(all, begin, n, data.size(), stride, extent, run)) return nullptr;
        std::size_t rows = 0;
        for (const std::uint64_t c : run.counts) rows += static_cast<std::size_t>(c);
        if (rows > total - filled) return raise_data_changed("unpack_repeated", "counts");
        for (std::size_t j = 0; j < nfields; ++j) {
            at[j] = columns[j] + filled * column_item_size(kinds[j]);
        }
        PacketSet packets;
        packets.data = data.data();
        packets.size = data.size();
        packets.count = n;
        packets.offsets = run.offsets.data();
        packets.lengths = run.lengths.data();
        const RepeatedOut out{at, kinds, owners != nullptr ? owners + filled : nullptr,
                              static_cast<std::int64_t>(begin), threads};
        ColumnFault fault;
        if (!repeated_released(fields, out, packets, run, rows, stride, fault)) return nullptr;
        if (fault.packet < rows) {
            PyErr_Format(PyExc_ValueError, msg::kRepeatedFault, filled + fault.packet, fault.field,
                         layout.recipe.items[fault.field].name.get());
            return nullptr;
        }
        filled += rows;
    }
    if (filled != total) return raise_data_changed("unpack_repeated", "counts");
    Ref result(py::shim::dict_new_presized(static_cast<Py_ssize_t>(nfields)));
    if (!result) return nullptr;
    for (std::size_t j = 0; j < nfields; ++j) {
        if (PyDict_SetItem(result.get(), layout.recipe.items[j].key.get(), buffers[j].get()) < 0) {
            return nullptr;
        }
    }
    if (with_owners) return PyTuple_Pack(2, result.get(), owner_buffer.get());
    return result.release();
}

PyObject* byte_slices(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Signature sig{"byte_slices", {"data", "offsets", "lengths"}, 3, 3, 3};
    PyObject* argv[3] = {};
    if (!py::match_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
    py::BufferView data;
    if (!data.acquire(argv[0], PyBUF_C_CONTIGUOUS)) return nullptr;
    Positions offsets, lengths;
    if (!offsets.open(argv[1], "offsets") || !lengths.open(argv[2], "lengths")) return nullptr;
    const std::size_t count = offsets.size();
    if (lengths.size() != count) {
        PyErr_Format(PyExc_ValueError, msg::kPositionCounts, count, lengths.size());
        return nullptr;
    }
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    const std::size_t size = data.size();
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t o = 0, n = 0;
        long long negative = 0;
        if (!offsets.at(i, o, negative) || !lengths.at(i, n, negative)) {
            PyErr_Format(PyExc_ValueError, msg::kPositionNegative,
                         offsets.at(i, o, negative) ? "lengths" : "offsets", i, negative);
            return nullptr;
        }
        if (o > size || n > size - o) {
            PyErr_Format(PyExc_ValueError, msg::kPacketPastEnd, i,
                         static_cast<unsigned long long>(o), static_cast<unsigned long long>(n),
                         size);
            return nullptr;
        }
        PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data() + o),
                                                    static_cast<Py_ssize_t>(n));
        if (bytes == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), bytes);
    }
    return object_column(list.get());
}

PyObject* binary_column(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Signature sig{
        "binary_column", {"data", "starts", "sizes", "view"}, 4, 3, 3};
    PyObject* argv[4] = {};
    if (!py::match_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
    const int view = argv[3] == nullptr ? 0 : PyObject_IsTrue(argv[3]);
    if (view < 0) return nullptr;
    py::BufferView data;
    if (!data.acquire(argv[0], PyBUF_C_CONTIGUOUS)) return nullptr;
    Positions starts, sizes;
    if (!starts.open(argv[1], "starts") || !sizes.open(argv[2], "sizes")) return nullptr;
    const std::size_t count = starts.size();
    if (sizes.size() != count) {
        PyErr_Format(PyExc_ValueError, msg::kBinaryCounts, count, sizes.size());
        return nullptr;
    }
    // The positions copied once and checked: the copy is what the gather
    // reads without the GIL, whatever the caller's arrays become meanwhile.
    std::vector<std::uint64_t> at(count), len(count);
    std::size_t where = 0;
    long long negative = 0;
    if (!starts.read(0, count, at.data(), where, negative)) {
        PyErr_Format(PyExc_ValueError, msg::kPositionNegative, "starts", where, negative);
        return nullptr;
    }
    if (!sizes.read(0, count, len.data(), where, negative)) {
        PyErr_Format(PyExc_ValueError, msg::kPositionNegative, "sizes", where, negative);
        return nullptr;
    }
    const std::size_t size = data.size();
    for (std::size_t i = 0; i < count; ++i) {
        // The value's bits run from bit start & 7 of byte start >> 3 (its
        // size checked first, so that counting its bits cannot overflow).
        const std::uint64_t first = at[i] >> 3;
        const std::uint64_t end_bits = (at[i] & 7) + (len[i] << 3);
        if (first > size || len[i] > size - first || (end_bits + 7) / 8 > size - first) {
            PyErr_Format(PyExc_ValueError, msg::kBinaryPastEnd, i,
                         static_cast<unsigned long long>(at[i]),
                         static_cast<unsigned long long>(len[i]), size);
            return nullptr;
        }
    }
    if (view != 0) {
        // Read-only data is held by the column and its long values point into
        // it; writable data, which the caller may change later, is copied.
        if (data.view().readonly != 0) {
            Py_buffer pin = data.take();
            return new_arrow_column(gather_views(static_cast<const std::uint8_t*>(pin.buf), size,
                                                 at.data(), len.data(), count, &pin));
        }
        return new_arrow_column(
            gather_views(data.data(), size, at.data(), len.data(), count, nullptr));
    }
    std::shared_ptr<const TextBuffers> column = gather_binary(data.data(), at.data(), len.data(),
                                                              count);
    if (!column) return nullptr;
    return new_arrow_column(std::move(column));
}

PyObject* packet_crcs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Signature sig{"packet_crcs", {"data", "offsets", "lengths"}, 3, 3, 3};
    PyObject* argv[3] = {};
    if (!py::match_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
    py::BufferView data;
    if (!data.acquire(argv[0], PyBUF_C_CONTIGUOUS)) return nullptr;
    Positions offsets, lengths;
    if (!offsets.open(argv[1], "offsets") || !check_not_negative(offsets) ||
        !lengths.open(argv[2], "lengths") || !check_not_negative(lengths)) {
        return nullptr;
    }
    const std::size_t count = offsets.size();
    if (lengths.size() != count) {
        PyErr_Format(PyExc_ValueError, msg::kPositionCounts, count, lengths.size());
        return nullptr;
    }
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / 2) return PyErr_NoMemory();
    std::uint8_t* computed_bytes = nullptr;
    std::uint8_t* stored_bytes = nullptr;
    Ref first(new_column(count, "uint16", computed_bytes, false));
    if (!first) return nullptr;
    Ref second(new_column(count, "uint16", stored_bytes, false));
    if (!second) return nullptr;
    auto* computed = reinterpret_cast<std::uint16_t*>(computed_bytes);
    auto* stored = reinterpret_cast<std::uint16_t*>(stored_bytes);
    const std::size_t size = data.size();
    // In runs: each run's positions copied and checked, then its packets'
    // CRCs computed without the GIL from the checked copy only.
    std::vector<std::uint64_t> at(std::min(count, kRun)), len(std::min(count, kRun));
    for (std::size_t begin = 0; begin < count; begin += kRun) {
        const std::size_t n = std::min(kRun, count - begin);
        std::size_t where = 0;
        long long negative = 0;
        if (!offsets.read(begin, n, at.data(), where, negative) ||
            !lengths.read(begin, n, len.data(), where, negative)) {
            return raise_data_changed("packet_crcs", "offsets or lengths");
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (at[i] > size || len[i] > size - at[i]) {
                PyErr_Format(PyExc_ValueError, msg::kPacketPastEnd, begin + i,
                             static_cast<unsigned long long>(at[i]),
                             static_cast<unsigned long long>(len[i]), size);
                return nullptr;
            }
            if (len[i] < 2) {
                PyErr_Format(PyExc_ValueError, msg::kCrcShortPacket, begin + i,
                             static_cast<unsigned long long>(len[i]));
                return nullptr;
            }
        }
        // The run's CRCs, computed and found, in one call and one pass over
        // the packets (taken in pairs, with no call per packet).
        py::without_gil([&] {
            core::crc16_ccitt_syndromes(data.data(), at.data(), len.data(), 0, n, computed + begin,
                                        stored + begin);
        });
    }
    return PyTuple_Pack(2, first.get(), second.get());
}

}  // namespace bitloom::bulk
