#include "bulk/ccsds.hpp"

#include <array>
#include <cstdint>
#include <vector>

#include "bulk/columns.hpp"
#include "bulk/layout.hpp"
#include "core/ccsds.hpp"
#include "python/convert.hpp"
#include "python/ref.hpp"

namespace bitloom::bulk {
namespace {

namespace ccsds = core::ccsds;
using py::Ref;

// A read-only view of a C-contiguous buffer, released on every path. While it
// is held, a bytearray cannot be resized.
class DataBuffer {
public:
    DataBuffer() = default;
    DataBuffer(const DataBuffer&) = delete;
    DataBuffer& operator=(const DataBuffer&) = delete;
    ~DataBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool acquire(PyObject* obj) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_STRIDES) != 0) return false;
        held_ = true;
        if (PyBuffer_IsContiguous(&view_, 'C') == 0) {
            PyErr_SetString(PyExc_ValueError, "data must be a C-contiguous buffer");
            return false;
        }
        return true;
    }
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    std::uint64_t size() const { return static_cast<std::uint64_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The data and the start offset, checked: false with the error set.
bool open_stream(PyObject* data, PyObject* offset_obj, DataBuffer& buf, std::uint64_t& offset) {
    offset = 0;
    if (offset_obj != nullptr && !py::to_u64(offset_obj, offset)) return false;
    if (!buf.acquire(data)) return false;
    if (offset > buf.size()) {
        PyErr_SetString(PyExc_ValueError, ccsds::start_message(offset, buf.size()).c_str());
        return false;
    }
    return true;
}

PyObject* raise_changed(const char* function) {
    PyErr_Format(PyExc_RuntimeError, "the data changed while %s was reading it", function);
    return nullptr;
}

template <class T>
Ref column(std::uint64_t n, T*& out) {
    if (n > PY_SSIZE_T_MAX / sizeof(T)) {
        PyErr_NoMemory();
        return {};
    }
    std::uint8_t* bytes = nullptr;
    Ref buffer = new_column_buffer(static_cast<std::size_t>(n * sizeof(T)), bytes);
    out = reinterpret_cast<T*>(bytes);
    return buffer;
}

}  // namespace

PyObject* split_ccsds(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data", "offset", "allow_partial"};
    PyObject* argv[3] = {};
    if (!parse_args("split_ccsds", args, nargs, kwnames, names, 3, 1, 1, argv)) return nullptr;
    bool allow_partial = false;
    if (argv[2] != nullptr && !py::to_bool(argv[2], allow_partial)) return nullptr;
    DataBuffer buf;
    std::uint64_t offset = 0;
    if (!open_stream(argv[0], argv[1], buf, offset)) return nullptr;
    const std::uint8_t* bytes = buf.data();
    const std::uint64_t size = buf.size();

    PyThreadState* released = PyEval_SaveThread();
    const ccsds::Count count = ccsds::count(bytes, size, offset);
    PyEval_RestoreThread(released);
    if (count.stop.kind != ccsds::StopKind::End && !allow_partial) {
        PyErr_SetString(PyExc_ValueError, ccsds::stop_message(count.stop).c_str());
        return nullptr;
    }
    ccsds::Columns out;
    Ref offsets = column(count.packets, out.offsets);
    if (!offsets) return nullptr;
    Ref lengths = column(count.packets, out.lengths);
    if (!lengths) return nullptr;
    Ref apids = column(count.packets, out.apids);
    if (!apids) return nullptr;
    Ref seqs = column(count.packets, out.sequence_counts);
    if (!seqs) return nullptr;

    released = PyEval_SaveThread();
    const std::uint64_t filled = ccsds::fill(bytes, size, offset, count.packets, out);
    PyEval_RestoreThread(released);
    // Another thread may write into a shared buffer while the GIL is released:
    // a second reading that differs is reported, never returned half-framed.
    if (filled != count.packets ||
        (filled != 0 && static_cast<std::uint64_t>(out.offsets[filled - 1] +
                                                   out.lengths[filled - 1]) != count.stop.offset)) {
        return raise_changed("split_ccsds");
    }
    Ref columns[4] = {Ref(column_from_buffer(offsets.get(), "int64")),
                      Ref(column_from_buffer(lengths.get(), "int64")),
                      Ref(column_from_buffer(apids.get(), "uint16")),
                      Ref(column_from_buffer(seqs.get(), "uint16"))};
    for (const Ref& c : columns) {
        if (!c) return nullptr;
    }
    return Py_BuildValue("(OOOOK)", columns[0].get(), columns[1].get(), columns[2].get(),
                         columns[3].get(), static_cast<unsigned long long>(count.stop.offset));
}

namespace {

// What one framing pass learns about an APID.
struct ApidPackets {
    std::uint64_t count = 0;
    std::uint32_t first_length = 0;
    bool varying = false;     // lengths differ: lengths are kept per packet
    std::uint64_t start = 0;  // first slot in the shared index
    std::uint64_t filled = 0;
};

}  // namespace

PyObject* unpack_ccsds(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data", "recipes", "offset"};
    PyObject* argv[3] = {};
    if (!parse_args("unpack_ccsds", args, nargs, kwnames, names, 3, 2, 2, argv)) return nullptr;

    // The recipes first: their faults come before anything about the packets.
    if (!PyDict_Check(argv[1])) {
        PyErr_Format(PyExc_TypeError, "recipes must be a dict from APID to recipe, not %.200s",
                     Py_TYPE(argv[1])->tp_name);
        return nullptr;
    }
    std::array<Ref, ccsds::kApidCount> layouts;
    {
        Ref items(PyDict_Items(argv[1]));
        if (!items) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            PyObject* key = PyTuple_GET_ITEM(pair, 0);
            if (!PyLong_Check(key)) {
                PyErr_Format(PyExc_TypeError, "APID keys of recipes must be int, not %.200s",
                             Py_TYPE(key)->tp_name);
                return nullptr;
            }
            const long apid = PyLong_AsLong(key);
            if (apid == -1 && PyErr_Occurred() != nullptr) PyErr_Clear();
            if (apid < 0 || apid >= static_cast<long>(ccsds::kApidCount)) {
                PyErr_Format(PyExc_ValueError, "APID %R is outside 0 to 2047", key);
                return nullptr;
            }
            Ref layout(layout_of(PyTuple_GET_ITEM(pair, 1)));
            if (!layout) {
                Ref note(PyUnicode_FromFormat("in the recipe for APID %ld", apid));
                add_note_to_pending(note.get());
                return nullptr;
            }
            layouts[static_cast<std::size_t>(apid)] = std::move(layout);
        }
    }

    DataBuffer buf;
    std::uint64_t offset = 0;
    if (!open_stream(argv[0], argv[2], buf, offset)) return nullptr;
    const std::uint8_t* bytes = buf.data();
    const std::uint64_t size = buf.size();

    // Pass 1: count the packets of each APID and see whether their lengths vary.
    std::vector<ApidPackets> per(ccsds::kApidCount);
    PyThreadState* released = PyEval_SaveThread();
    const ccsds::Stop stop = ccsds::walk(bytes, size, offset,
                                         [&](std::uint64_t, const ccsds::Header& h) {
                                             ApidPackets& a = per[h.apid];
                                             if (a.count == 0) a.first_length = h.length;
                                             a.varying |= h.length != a.first_length;
                                             ++a.count;
                                         });
    PyEval_RestoreThread(released);
    if (stop.kind != ccsds::StopKind::End) {
        PyErr_SetString(PyExc_ValueError, ccsds::stop_message(stop).c_str());
        return nullptr;
    }

    // Pass 2: the offsets (and varying lengths) of the wanted packets, grouped
    // by APID in one index; packets of other APIDs are only counted.
    std::uint64_t wanted = 0, varying = 0;
    for (std::size_t apid = 0; apid < ccsds::kApidCount; ++apid) {
        if (!layouts[apid]) continue;
        per[apid].start = wanted;
        wanted += per[apid].count;
        if (per[apid].varying) varying += per[apid].count;
    }
    std::vector<std::uint64_t> offsets, lengths;
    try {
        offsets.resize(wanted);
        lengths.resize(varying);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    std::vector<std::uint64_t> length_start(ccsds::kApidCount, 0);
    for (std::uint64_t apid = 0, at = 0; apid < ccsds::kApidCount; ++apid) {
        if (layouts[apid] && per[apid].varying) {
            length_start[apid] = at;
            at += per[apid].count;
        }
    }
    bool changed = false;
    released = PyEval_SaveThread();
    const ccsds::Stop again = ccsds::walk(
        bytes, size, offset, [&](std::uint64_t pos, const ccsds::Header& h) {
            if (!layouts[h.apid]) return;
            ApidPackets& a = per[h.apid];
            if (a.filled == a.count || (!a.varying && h.length != a.first_length)) {
                changed = true;
                return;
            }
            offsets[a.start + a.filled] = pos;
            if (a.varying) lengths[length_start[h.apid] + a.filled] = h.length;
            ++a.filled;
        });
    PyEval_RestoreThread(released);
    if (changed || again.kind != ccsds::StopKind::End || again.offset != stop.offset) {
        return raise_changed("unpack_ccsds");
    }

    // Decode APID by APID, in ascending order.
    Ref result(PyDict_New());
    Ref skipped(PyDict_New());
    if (!result || !skipped) return nullptr;
    for (std::size_t apid = 0; apid < ccsds::kApidCount; ++apid) {
        const ApidPackets& a = per[apid];
        Ref key(PyLong_FromSize_t(apid));
        if (!key) return nullptr;
        if (!layouts[apid]) {
            if (a.count == 0) continue;
            Ref n(PyLong_FromUnsignedLongLong(a.count));
            if (!n || PyDict_SetItem(skipped.get(), key.get(), n.get()) < 0) return nullptr;
            continue;
        }
        if (a.filled != a.count) return raise_changed("unpack_ccsds");
        PacketSet packets;
        packets.data = bytes;
        packets.size = static_cast<std::size_t>(size);
        packets.count = static_cast<std::size_t>(a.count);
        packets.offsets = offsets.data() + a.start;
        if (a.varying) {
            packets.lengths = lengths.data() + length_start[apid];
        } else {
            packets.packet_bytes = a.first_length;
        }
        Ref columns(decode_columns(*as_layout(layouts[apid].get()), packets, 0));
        if (!columns) {
            Ref note(PyUnicode_FromFormat(
                "in the packets of APID %zu (the packet number above counts that APID's "
                "packets only)",
                apid));
            add_note_to_pending(note.get());
            return nullptr;
        }
        if (PyDict_SetItem(result.get(), key.get(), columns.get()) < 0) return nullptr;
    }
    return PyTuple_Pack(2, result.get(), skipped.get());
}

}  // namespace bitloom::bulk
