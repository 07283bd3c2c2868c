#include "ext/bitloom_bulk/unpack_ccsds.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "binding/buffer.hpp"
#include "binding/convert.hpp"
#include "binding/ref.hpp"
#include "core/ccsds.hpp"
#include "core/crc16.hpp"
#include "ext/bitloom_bulk/layout.hpp"
#include "ext/bitloom_bulk/messages.hpp"
#include "ext/bitloom_bulk/unpack_columns.hpp"

namespace bitloom::bulk {
namespace {

namespace ccsds = core::ccsds;
using py::Ref;

// The data (argument 0) and the start offset (argument `offset_at`), checked:
// false with the error set.
bool open_stream(const py::Signature& sig, PyObject* const* argv, int offset_at,
                 py::BufferView& buf, std::uint64_t& offset) {
    offset = 0;
    if (argv[offset_at] != nullptr && !py::convert_arg(sig, offset_at, argv, py::to_u64, offset)) {
        return false;
    }
    if (!buf.acquire_contiguous(argv[0], PyBUF_STRIDES)) return false;
    if (offset > buf.size()) {
        PyErr_SetString(PyExc_ValueError, ccsds::start_message(offset, buf.size()).c_str());
        return false;
    }
    return true;
}

template <class T>
Ref column(std::uint64_t n, const char* dtype, T*& out) {
    if (n > PY_SSIZE_T_MAX / sizeof(T)) {
        PyErr_NoMemory();
        return {};
    }
    std::uint8_t* bytes = nullptr;
    // Not zeroed: every row handed out is written first, and the pages of
    // rows never written (the columns are made for the most packets the data
    // could hold) are never touched.
    Ref array = new_column(static_cast<std::size_t>(n), dtype, bytes, false);
    out = reinterpret_cast<T*>(bytes);
    return array;
}

}  // namespace

namespace {

// Frames packets into columns of `capacity` rows (a count of the same bytes):
// the packets written, and where the walk stopped.
template <class Index>
std::pair<std::uint64_t, ccsds::Stop> fill_frames(const std::uint8_t* bytes, std::uint64_t size,
                                                  std::uint64_t offset, std::uint64_t capacity,
                                                  Index* offsets, Index* lengths,
                                                  std::uint16_t* apids, std::uint16_t* seqs) {
    std::uint64_t i = 0;
    const ccsds::Stop stop = ccsds::walk(bytes, size, offset,
                                         [&](std::uint64_t pos, const ccsds::Header& h) {
                                             if (i < capacity) {
                                                 offsets[i] = static_cast<Index>(pos);
                                                 lengths[i] = static_cast<Index>(h.length);
                                                 apids[i] = h.apid;
                                                 seqs[i] = h.sequence_count;
                                             }
                                             ++i;
                                         });
    return {i, stop};
}

}  // namespace

PyObject* split_ccsds(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Signature sig{
        "split_ccsds", {"data", "offset", "allow_partial", "narrow"}, 4, 1, 1};
    PyObject* argv[4] = {};
    if (!py::match_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
    bool allow_partial = false;
    if (argv[2] != nullptr && !py::convert_arg(sig, 2, argv, py::to_bool, allow_partial)) {
        return nullptr;
    }
    bool narrow = false;
    if (argv[3] != nullptr && !py::convert_arg(sig, 3, argv, py::to_bool, narrow)) {
        return nullptr;
    }
    py::BufferView buf;
    std::uint64_t offset = 0;
    if (!open_stream(sig, argv, 1, buf, offset)) return nullptr;
    const std::uint8_t* bytes = buf.data();
    const std::uint64_t size = buf.size();

    // Offsets and lengths as int32 where every packet's end fits it.
    const bool small = narrow && size <= 0x7FFFFFFFU;
    // Columns for as many packets as the data holds if none is shorter than
    // the shortest of the first 64 (all of them, for packets of one length),
    // counting a packet as 16 bytes at the least: at most 1.25 bytes of
    // columns per byte of data, and only the rows written are touched. One
    // walk fills them, with no buffer in between whose fresh pages would
    // cost as much as the walk. Only where shorter packets follow does a
    // second walk fill columns of the size the first one counted.
    std::uint64_t shortest = ccsds::kMaxPacketBytes;
    for (std::uint64_t pos = offset, n = 0; n < 64 && size - pos >= ccsds::kHeaderBytes; ++n) {
        const std::uint64_t length = ccsds::read_header(bytes + pos).length;
        if (length > size - pos) break;
        shortest = std::min(shortest, length);
        pos += length;
    }
    std::uint64_t rows = (size - offset) / std::max<std::uint64_t>(shortest, 16) + 1;
    Ref offsets, lengths, apids, seqs;
    std::int64_t *offsets64 = nullptr, *lengths64 = nullptr;
    std::int32_t *offsets32 = nullptr, *lengths32 = nullptr;
    std::uint16_t *apid_out = nullptr, *seq_out = nullptr;
    auto make = [&] {
        if (small) {
            offsets = column(rows, "int32", offsets32);
            if (offsets) lengths = column(rows, "int32", lengths32);
        } else {
            offsets = column(rows, "int64", offsets64);
            if (offsets) lengths = column(rows, "int64", lengths64);
        }
        if (lengths) apids = column(rows, "uint16", apid_out);
        if (apids) seqs = column(rows, "uint16", seq_out);
        return static_cast<bool>(seqs);
    };
    auto fill = [&] {
        return py::without_gil([&] {
            return small ? fill_frames(bytes, size, offset, rows, offsets32, lengths32, apid_out,
                                       seq_out)
                         : fill_frames(bytes, size, offset, rows, offsets64, lengths64, apid_out,
                                       seq_out);
        });
    };
    if (!make()) return nullptr;
    const auto [packets, stop] = fill();
    if (stop.kind != ccsds::StopKind::End && !allow_partial) {
        PyErr_SetString(PyExc_ValueError, ccsds::stop_message(stop).c_str());
        return nullptr;
    }
    if (packets > rows) {
        rows = packets;
        offsets = Ref();
        lengths = Ref();
        apids = Ref();
        seqs = Ref();
        if (!make()) return nullptr;
        const auto [again, again_stop] = fill();
        // Another thread wrote into the data between the two walks.
        if (again != packets || again_stop.offset != stop.offset) {
            return raise_data_changed("split_ccsds");
        }
    } else if (packets < rows) {
        for (Ref* c : {&offsets, &lengths, &apids, &seqs}) {
            if (!shrink_column(*c, static_cast<std::size_t>(packets))) return nullptr;
        }
    }
    return Py_BuildValue("(OOOOK)", offsets.get(), lengths.get(), apids.get(), seqs.get(),
                         static_cast<unsigned long long>(stop.offset));
}

namespace {

// What the counting pass learns about an APID.
struct ApidPackets {
    std::uint64_t count = 0;
    std::uint32_t first_length = 0;
    bool varying = false;      // lengths differ: lengths are kept per packet
    std::uint64_t filled = 0;  // packets indexed so far
    std::uint64_t failed = 0;  // packets left out for their CRC
};

// The packets of one run of the stream, grouped by APID: the offsets (and
// lengths) of at most kRun wanted packets, in stream order within each APID.
// Decoding run by run keeps the positions of a bounded number of packets
// whatever the stream holds (a packet is 7 bytes at the least, its position
// 16: the index of a whole stream could outweigh the stream).
// 8,192 packets of a few dozen bytes lie within a core's own cache: a run's
// CRC checks and its decoding, APID by APID, find its packets there.
constexpr std::size_t kRun = 8192;

struct Run {
    std::vector<std::uint64_t> offsets, lengths;  // in stream order
    std::vector<std::uint16_t> apids;
    std::vector<std::uint64_t> grouped_offsets, grouped_lengths;  // by APID
    // APID a's packets: [first[a], last[a]) of the grouped ones (set for the
    // APIDs met, the others hold nothing to read).
    std::array<std::uint32_t, ccsds::kApidCount> first{}, last{};
    std::vector<std::uint16_t> syndromes;  // of one APID's packets

    // Room for runs of `limit` packets (kRun, or fewer where the stream
    // holds fewer: a live stream's piece decodes a thousand packets or so).
    bool reserve(std::size_t limit, bool checked) {
        try {
            offsets.reserve(limit);
            lengths.reserve(limit);
            apids.reserve(limit);
            grouped_offsets.resize(limit);
            grouped_lengths.resize(limit);
            if (checked) syndromes.resize(limit);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }
    void clear() {
        offsets.clear();
        lengths.clear();
        apids.clear();
    }
    // A counting sort by APID, keeping stream order within each, over the
    // APIDs `met` (ascending) alone: a live stream's piece holds a few of the
    // 2048. False, with nothing moved, where a packet's APID is not one of them.
    bool group(std::span<const std::uint16_t> met) {
        for (const std::uint16_t a : met) last[a] = 0;
        for (const std::uint16_t a : apids) ++last[a];
        std::uint32_t at = 0;
        for (const std::uint16_t a : met) {
            first[a] = at;
            at += last[a];
            last[a] = first[a];  // the next place of the APID's packets
        }
        if (at != apids.size()) return false;
        for (std::size_t i = 0; i < apids.size(); ++i) {
            const std::uint32_t to = last[apids[i]]++;
            grouped_offsets[to] = offsets[i];
            grouped_lengths[to] = lengths[i];
        }
        return true;
    }
};

// An APID's recipe, its columns and, once one of its packets failed, the
// exception raised for it (held until every lower APID is done).
struct ApidColumns {
    Ref layout;
    std::unique_ptr<ColumnBuilder> builder;
    Ref fault;
};

constexpr std::uint16_t kIdleApid = 2047;
constexpr std::uint32_t kCountMask = 0x3FFF;  // sequence counts run modulo 2^14
constexpr std::size_t kStreamWords = 1 + 2 * ccsds::kApidCount;

struct Gap {
    std::uint16_t apid;
    std::uint64_t after;  // the stream index of the packet before the gap
    std::uint16_t sequence_count;
    std::uint16_t missing;
};
struct Repeat {
    std::uint16_t apid;
    std::uint64_t packet;
    std::uint16_t sequence_count;
};
struct CrcFault {
    std::uint64_t packet, offset;
    std::uint16_t apid, computed, found;
};

// The data quality of a stream decoded with CRCs checked: per APID the gaps
// and repeats of sequence counts (idle packets aside), the first header whose
// version field differs from the stream's (its first header's), and the
// packets failing their CRC. Packets count from the start offset.
struct Quality {
    static constexpr std::uint32_t kNone = 0xFFFF;  // no packet of the APID yet

    std::array<bool, ccsds::kApidCount> checked{};  // the idle APID never is
    std::uint64_t base = 0;                         // the stream index of the data's first packet
    std::uint64_t packets = 0;                      // the stream index of the next packet framed
    std::uint8_t first_byte = 0;                    // of the stream's first header
    unsigned other_version = 0;                     // nonzero: some header's version differs
    // Each APID's next sequence count if none is missing, and its last packet.
    std::array<std::uint32_t, ccsds::kApidCount> expected{};
    std::array<std::uint64_t, ccsds::kApidCount> last_packet{};
    std::vector<Gap> gaps;
    std::vector<Repeat> repeats;
    std::vector<CrcFault> faults;

    Quality() { expected.fill(kNone); }

    // The state of a stream decoded piece by piece, as `stream` holds it
    // (kStreamWords int64: the stream index of the piece's first packet, then
    // each APID's next sequence count or kNone, then each APID's last packet).
    // Each word is read once, straight from the caller's buffer (any
    // alignment). False with the error set where a count is neither.
    bool read_stream(const std::uint8_t* state) {
        auto word = [state](std::size_t i) {
            std::int64_t value;
            std::memcpy(&value, state + i * sizeof value, sizeof value);
            return value;
        };
        const std::int64_t first = word(0);
        if (first < 0) {
            PyErr_Format(PyExc_ValueError, msg::kStreamState, 0);
            return false;
        }
        base = packets = static_cast<std::uint64_t>(first);
        for (std::size_t a = 0; a < ccsds::kApidCount; ++a) {
            const std::int64_t next = word(1 + a);
            if (next != kNone && (next < 0 || next > static_cast<std::int64_t>(kCountMask))) {
                PyErr_Format(PyExc_ValueError, msg::kStreamState, static_cast<int>(1 + a));
                return false;
            }
            expected[a] = static_cast<std::uint32_t>(next);
            last_packet[a] = static_cast<std::uint64_t>(word(1 + ccsds::kApidCount + a));
        }
        return true;
    }

    // The state after the packets framed, in the form read_stream reads.
    void write_stream(std::uint8_t* state) const {
        auto put = [state](std::size_t i, std::int64_t value) {
            std::memcpy(state + i * sizeof value, &value, sizeof value);
        };
        put(0, static_cast<std::int64_t>(packets));
        for (std::size_t a = 0; a < ccsds::kApidCount; ++a) {
            put(1 + a, expected[a]);
            put(1 + ccsds::kApidCount + a, static_cast<std::int64_t>(last_packet[a]));
        }
    }

    // The counting pass with the quality gathered: each packet counted in
    // per[apid] as the plain pass counts it; the usual packet (the stream's
    // version, the next sequence count) costs a compare each. May throw
    // std::bad_alloc.
    BITLOOM_NOINLINE ccsds::Stop frame(const std::uint8_t* bytes, std::uint64_t size,
                                       std::uint64_t start, ApidPackets* per) {
        std::uint64_t n = packets;
        unsigned versions = 0;
        const unsigned first = first_byte;
        const ccsds::Stop stop = ccsds::walk(
            bytes, size, start, [&](std::uint64_t at, const ccsds::Header& h) {
                ApidPackets& a = per[h.apid];
                if (a.count == 0) a.first_length = h.length;
                a.varying |= h.length != a.first_length;
                ++a.count;
                versions |= (bytes[at] ^ first) & 0xE0U;
                if (h.sequence_count != expected[h.apid]) [[unlikely]] {
                    packets = n;
                    odd_count(h);
                }
                expected[h.apid] = (h.sequence_count + 1U) & kCountMask;
                last_packet[h.apid] = n;
                ++n;
            });
        packets = n;
        other_version |= versions;
        return stop;
    }

    void odd_count(const ccsds::Header& h) {
        const std::uint32_t next = expected[h.apid];
        if (next == kNone || h.apid == kIdleApid) return;
        const std::uint32_t missing = (h.sequence_count - next) & kCountMask;
        const auto before = static_cast<std::uint16_t>((next - 1U) & kCountMask);
        if (missing == kCountMask) {  // the count before's again
            repeats.push_back({h.apid, packets, h.sequence_count});
        } else {
            gaps.push_back(
                {h.apid, last_packet[h.apid], before, static_cast<std::uint16_t>(missing)});
        }
    }

    // The stream index of every fault (they hold offsets until then), by a
    // walk over the headers; false if the bytes no longer frame as they did.
    bool number_faults(const std::uint8_t* bytes, std::uint64_t size, std::uint64_t start) {
        if (faults.empty()) return true;
        std::sort(faults.begin(), faults.end(),
                  [](const CrcFault& x, const CrcFault& y) { return x.offset < y.offset; });
        std::size_t k = 0;
        std::uint64_t index = base;
        ccsds::walk(bytes, size, start, [&](std::uint64_t at, const ccsds::Header&) {
            if (k < faults.size() && faults[k].offset == at) faults[k++].packet = index;
            ++index;
        });
        return k == faults.size();
    }

    // The CRCs of APID a's packets in a run: those that fail are recorded and
    // taken out of the run (the others keep their order). May throw
    // std::bad_alloc.
    void check(Run& run, std::size_t a, ApidPackets& per, const std::uint8_t* bytes) {
        const std::uint32_t first = run.first[a];
        const std::size_t n = run.last[a] - first;
        std::uint64_t* offsets = run.grouped_offsets.data() + first;
        std::uint64_t* lengths = run.grouped_lengths.data() + first;
        std::uint16_t* syndromes = run.syndromes.data();
        core::crc16_ccitt_syndromes(bytes, offsets, per.varying ? lengths : nullptr,
                                    per.first_length, n, syndromes);
        unsigned any = 0;
        for (std::size_t i = 0; i < n; ++i) any |= syndromes[i];
        if (any == 0) return;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (syndromes[i] == 0) {
                offsets[kept] = offsets[i];
                lengths[kept] = lengths[i];
                ++kept;
                continue;
            }
            const std::uint64_t size = per.varying ? lengths[i] : per.first_length;
            const std::uint8_t* end = bytes + offsets[i] + size;
            const auto found = static_cast<std::uint16_t>((end[-2] << 8) | end[-1]);
            faults.push_back({0, offsets[i], static_cast<std::uint16_t>(a),
                              static_cast<std::uint16_t>(syndromes[i] ^ found), found});
        }
        per.failed += n - kept;
        run.last[a] = first + static_cast<std::uint32_t>(kept);
    }

    // A list of what `build` makes of each element. nullptr with the error set.
    template <class T, class Build>
    static PyObject* tuples(const std::vector<T>& items, Build build) {
        Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < items.size(); ++i) {
            PyObject* item = build(items[i]);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    }

    // (packets per APID, gaps, repeats, idle packets, CRC faults) as Python
    // objects; the faults in stream order.
    PyObject* result(const std::vector<ApidPackets>& per, std::span<const std::uint16_t> met) {
        Ref counts(PyDict_New());
        if (!counts) return nullptr;
        for (const std::uint16_t a : met) {
            Ref key(PyLong_FromSize_t(a));
            Ref n(PyLong_FromUnsignedLongLong(per[a].count));
            if (!key || !n || PyDict_SetItem(counts.get(), key.get(), n.get()) < 0) return nullptr;
        }
        Ref gap_list(tuples(gaps, [](const Gap& g) {
            return Py_BuildValue("(HKHH)", g.apid, static_cast<unsigned long long>(g.after),
                                 g.sequence_count, g.missing);
        }));
        Ref repeat_list(tuples(repeats, [](const Repeat& r) {
            return Py_BuildValue("(HKH)", r.apid, static_cast<unsigned long long>(r.packet),
                                 r.sequence_count);
        }));
        Ref fault_list(tuples(faults, [](const CrcFault& f) {
            return Py_BuildValue("(KKHHH)", static_cast<unsigned long long>(f.packet),
                                 static_cast<unsigned long long>(f.offset), f.apid, f.computed,
                                 f.found);
        }));
        if (!gap_list || !repeat_list || !fault_list) return nullptr;
        return Py_BuildValue("(OOOKO)", counts.get(), gap_list.get(), repeat_list.get(),
                             static_cast<unsigned long long>(per[kIdleApid].count),
                             fault_list.get());
    }
};

// The APID key of a recipe: any integer (an int, numpy's uint16 APIDs that
// split_ccsds gives, anything with __index__) from 0 to 2047. -1 with the
// error set.
long apid_of(PyObject* key) {
    Ref index(PyNumber_Index(key));
    if (!index) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, msg::kApidKeyType, Py_TYPE(key)->tp_name);
        return -1;
    }
    int overflow = 0;
    const long apid = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (apid == -1 && PyErr_Occurred() != nullptr) return -1;
    if (overflow != 0 || apid < 0 || apid >= static_cast<long>(ccsds::kApidCount)) {
        PyErr_Format(PyExc_ValueError, msg::kApidRange, index.get());
        return -1;
    }
    return apid;
}

// The result of unpack_ccsds once every wanted packet is decoded: the columns
// of each APID with a recipe, the count of every other APID's packets (both
// without the packets that failed their CRC), and with CRCs checked, the
// stream's quality. `keyed`: the APIDs with a recipe or packets, ascending;
// `met`: those with packets.
PyObject* ccsds_result(std::vector<ApidColumns>& apids, const std::vector<ApidPackets>& per,
                       std::span<const std::uint16_t> keyed, std::span<const std::uint16_t> met,
                       Quality* quality, const py::BufferView& stream, std::uint64_t end) {
    Ref result(PyDict_New());
    Ref skipped(PyDict_New());
    if (!result || !skipped) return nullptr;
    for (const std::uint16_t a : keyed) {
        ApidColumns& c = apids[a];
        const std::uint64_t kept = per[a].count - per[a].failed;
        if (!c.layout && kept == 0) continue;
        Ref key(PyLong_FromSize_t(a));
        if (!key) return nullptr;
        if (!c.layout) {
            Ref n(PyLong_FromUnsignedLongLong(kept));
            if (!n || PyDict_SetItem(skipped.get(), key.get(), n.get()) < 0) return nullptr;
            continue;
        }
        if (per[a].filled != per[a].count) return raise_data_changed("unpack_ccsds");
        if (per[a].failed != 0 && !c.builder->shrink(static_cast<std::size_t>(kept))) {
            return nullptr;
        }
        Ref columns(c.builder->finish());
        if (!columns || PyDict_SetItem(result.get(), key.get(), columns.get()) < 0) return nullptr;
    }
    if (quality == nullptr) return PyTuple_Pack(2, result.get(), skipped.get());
    Ref found(quality->result(per, met));
    if (!found) return nullptr;
    if (stream.data() == nullptr) return PyTuple_Pack(3, result.get(), skipped.get(), found.get());
    Ref stop(PyLong_FromUnsignedLongLong(end));
    if (!stop) return nullptr;
    Ref out(PyTuple_Pack(4, result.get(), skipped.get(), found.get(), stop.get()));
    if (!out) return nullptr;
    // The stream's state goes on only with a result returned.
    quality->write_stream(stream.data());
    return out.release();
}

// The APIDs whose packets' CRCs are checked, from a bytes-like object of
// 2048 flags (nonzero: checked); the idle APID never is. False with the error set.
bool read_checked(PyObject* arg, Quality& quality) {
    py::BufferView flags;
    if (!flags.acquire(arg, PyBUF_C_CONTIGUOUS)) return false;
    if (flags.size() != ccsds::kApidCount) {
        PyErr_Format(PyExc_ValueError, msg::kCrcFlags, flags.size());
        return false;
    }
    for (std::size_t a = 0; a < ccsds::kApidCount; ++a) {
        quality.checked[a] = a != kIdleApid && flags.data()[a] != 0;
    }
    return true;
}

}  // namespace

PyObject* unpack_ccsds(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Signature sig{
        "unpack_ccsds", {"data", "recipes", "offset", "text", "crc", "threads", "stream"}, 7, 2, 2};
    PyObject* argv[7] = {};
    if (!py::match_arguments(sig, args, nargs, kwnames, argv)) return nullptr;

    // The recipes first: their faults come before anything about the packets.
    if (!PyDict_Check(argv[1])) {
        PyErr_Format(PyExc_TypeError, msg::kRecipesType, Py_TYPE(argv[1])->tp_name);
        return nullptr;
    }
    std::vector<ApidColumns> apids(ccsds::kApidCount);
    // The APIDs with a recipe (ascending, once each), then the APIDs met and
    // those with packets or a recipe: at most 2048 each, room made here once.
    std::vector<std::uint16_t> with_recipe, met, keyed;
    try {
        with_recipe.reserve(ccsds::kApidCount);
        met.reserve(ccsds::kApidCount);
        keyed.reserve(ccsds::kApidCount);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    {
        Ref items(PyDict_Items(argv[1]));
        if (!items) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            const long apid = apid_of(PyTuple_GET_ITEM(pair, 0));
            if (apid < 0) return nullptr;
            Ref layout(layout_of(PyTuple_GET_ITEM(pair, 1)));
            if (!layout) {
                Ref note(PyUnicode_FromFormat(msg::kRecipeNote, apid));
                py::add_note_to_pending(note.get());
                return nullptr;
            }
            apids[static_cast<std::size_t>(apid)].layout = std::move(layout);
            with_recipe.push_back(static_cast<std::uint16_t>(apid));
        }
        std::sort(with_recipe.begin(), with_recipe.end());
        with_recipe.erase(std::unique(with_recipe.begin(), with_recipe.end()), with_recipe.end());
    }

    TextForm text = TextForm::Object;
    if (!text_form_of(argv[3], "unpack_ccsds", text)) return nullptr;
    std::size_t requested = 0;
    if (!threads_of(argv[5], "unpack_ccsds", requested)) return nullptr;

    // With CRCs checked (`crc`: 2048 flags), the stream's quality is gathered
    // on the way and packets failing their CRC are left out.
    std::unique_ptr<Quality> quality;
    if (argv[4] != nullptr && argv[4] != Py_None) {
        quality = std::make_unique<Quality>();
        if (!read_checked(argv[4], *quality)) return nullptr;
    }
    // `stream` (with `crc`): a writable buffer of kStreamWords int64, the
    // state of a stream decoded piece by piece; the sequence counts go on
    // from it, packets are numbered from its first word, a packet cut short at
    // the end is left for the next piece, and on success it is overwritten
    // with the state after this piece and the end offset is returned too.
    py::BufferView stream;
    if (argv[6] != nullptr && argv[6] != Py_None) {
        if (!quality) {
            PyErr_SetString(PyExc_ValueError, msg::kStreamWithoutCrc);
            return nullptr;
        }
        if (!stream.acquire(argv[6], PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) return nullptr;
        if (stream.size() != kStreamWords * sizeof(std::int64_t)) {
            PyErr_Format(PyExc_ValueError, msg::kStreamSize, kStreamWords, stream.size());
            return nullptr;
        }
        if (!quality->read_stream(stream.data())) return nullptr;
    }
    const bool partial = stream.data() != nullptr;

    py::BufferView buf;
    std::uint64_t offset = 0;
    if (!open_stream(sig, argv, 2, buf, offset)) return nullptr;
    const std::uint8_t* bytes = buf.data();
    std::uint64_t size = buf.size();

    // Pass 1: count the packets of each APID and see whether their lengths vary.
    std::vector<ApidPackets> per(ccsds::kApidCount);
    auto count = [&](std::uint64_t, const ccsds::Header& h) {
        ApidPackets& a = per[h.apid];
        if (a.count == 0) a.first_length = h.length;
        a.varying |= h.length != a.first_length;
        ++a.count;
    };
    ccsds::Stop stop;
    if (quality) {
        if (offset < size) quality->first_byte = bytes[offset];
        bool no_memory = false;
        stop = py::without_gil([&] {
            try {
                return quality->frame(bytes, size, offset, per.data());
            } catch (const std::bad_alloc&) {
                no_memory = true;
                return ccsds::Stop{};
            }
        });
        if (no_memory) return PyErr_NoMemory();
        // A header whose version is not the stream's, or a packet held back
        // whose first byte shows one: the bytes stop looking like packets
        // there, which comes before a stream cut short (its length field is
        // no better). The caller words it; nothing is decoded.
        const int version = quality->first_byte >> 5;
        const bool held_other = stop.kind != ccsds::StopKind::End &&
                                quality->packets != quality->base &&
                                (bytes[stop.offset] >> 5) != version;
        if (quality->other_version != 0 || held_other) {
            std::uint64_t packet = quality->packets - quality->base;
            std::uint64_t at = stop.offset;
            if (quality->other_version != 0) {
                std::uint64_t index = 0;
                bool found = false;
                ccsds::walk(bytes, size, offset, [&](std::uint64_t where, const ccsds::Header&) {
                    if (!found && (bytes[where] >> 5) != version) {
                        found = true;
                        packet = index;
                        at = where;
                    }
                    ++index;
                });
                if (!found) return raise_data_changed("unpack_ccsds");
            }
            return Py_BuildValue("(OO(KKii))", Py_None, Py_None,
                                 static_cast<unsigned long long>(packet),
                                 static_cast<unsigned long long>(at), bytes[at] >> 5, version);
        }
    } else {
        stop = py::without_gil([&] { return ccsds::walk(bytes, size, offset, count); });
    }
    if (stop.kind != ccsds::StopKind::End) {
        if (!partial) {
            PyErr_SetString(PyExc_ValueError, ccsds::stop_message(stop).c_str());
            return nullptr;
        }
        size = stop.offset;  // the packet cut short waits for the next piece
    }
    // The APIDs met (ascending), and those with packets or a recipe: the
    // loops below visit these rather than all 2048 (a live stream's piece of
    // a thousand packets holds a few).
    for (std::size_t a = 0; a < ccsds::kApidCount; ++a) {
        if (per[a].count != 0) met.push_back(static_cast<std::uint16_t>(a));
    }
    std::set_union(met.begin(), met.end(), with_recipe.begin(), with_recipe.end(),
                   std::back_inserter(keyed));
    // The threads of the call, from the packets it decodes. Only a stream
    // decoded as fixed-size packets (below) is split among them: the runs of
    // pass 2 hold fewer than 2 * kPacketsPerThread packets of any APID.
    std::uint64_t wanted = 0;
    for (const std::uint16_t a : with_recipe) wanted += per[a].count;
    const std::size_t threads = threads_for(static_cast<std::size_t>(wanted), requested);
    for (const std::uint16_t a : with_recipe) {
        ApidColumns& c = apids[a];
        c.builder = std::make_unique<ColumnBuilder>(*as_layout(c.layout.get()), "unpack_ccsds",
                                                    text, threads);
        if (!c.builder->allocate(static_cast<std::size_t>(per[a].count))) return nullptr;
    }

    // A stream of one APID's packets, all of one length and all wanted (an
    // instrument's own file): they lie end to end, so they are decoded as
    // fixed-size packets, with no second walk over the headers (unless their
    // CRCs are checked).
    std::size_t only = ccsds::kApidCount;
    std::uint64_t total = 0;
    for (const std::uint16_t a : met) {
        total += per[a].count;
        only = a;
    }
    if (offset == 0 && only < ccsds::kApidCount && total == per[only].count && apids[only].layout &&
        !per[only].varying && per[only].first_length * total == size &&
        !(quality && quality->checked[only])) {
        PacketSet packets;
        packets.data = bytes;
        packets.size = static_cast<std::size_t>(size);
        packets.count = static_cast<std::size_t>(total);
        packets.packet_bytes = per[only].first_length;
        ApidColumns& c = apids[only];
        if (!c.builder->add(packets, 0)) {
            Ref note(PyUnicode_FromFormat(msg::kApidNote, only));
            py::add_note_to_pending(note.get());
            return nullptr;
        }
        per[only].filled = per[only].count;
        return ccsds_result(apids, per, keyed, met, quality.get(), stream, size);
    }

    // Pass 2, run by run: index the next kRun wanted packets (packets of other
    // APIDs are only stepped over, unless their CRCs are checked), check the
    // CRCs of the run's packets APID by APID (one length after another, which
    // the processor predicts, and the bytes then lie in cache for decoding),
    // then decode each APID's share of them. A packet's fault is kept with
    // its APID until the end, so that the fault raised is the first one of the
    // lowest APID, whatever the order of the runs; APIDs above a faulty one
    // are not decoded further.
    std::uint64_t indexed = 0;  // packets that pass 2 indexes
    for (const std::uint16_t a : met) {
        if (apids[a].layout || (quality && quality->checked[a])) indexed += per[a].count;
    }
    const std::size_t limit = static_cast<std::size_t>(std::clamp<std::uint64_t>(indexed, 1, kRun));
    Run run;
    if (!run.reserve(limit, quality != nullptr)) return PyErr_NoMemory();
    std::size_t lowest_fault = ccsds::kApidCount;
    std::uint64_t pos = offset;
    while (pos < size) {
        run.clear();
        bool changed = false;
        bool no_memory = false;
        {
            py::ReleasedGil released;
            while (size - pos >= ccsds::kHeaderBytes && run.apids.size() < limit) {
                const ccsds::Header h = ccsds::read_header(bytes + pos);
                if (h.length > size - pos) {
                    changed = true;
                    break;
                }
                const bool wanted = static_cast<bool>(apids[h.apid].layout);
                const bool checked = quality && quality->checked[h.apid];
                if (wanted || checked) {
                    ApidPackets& a = per[h.apid];
                    // CRCs are read with the counting pass's length for APIDs of one length.
                    if ((wanted && a.filled == a.count) ||
                        (!a.varying && h.length != a.first_length)) {
                        changed = true;
                        break;
                    }
                    if (wanted) ++a.filled;
                    run.offsets.push_back(pos);
                    run.lengths.push_back(h.length);
                    run.apids.push_back(h.apid);
                }
                pos += h.length;
            }
            // Short of a full run, the walk ends where the data ends: anywhere
            // else, a header that the counting pass read whole now is not.
            if (!changed && run.apids.size() < limit && pos != size) changed = true;
            if (!changed && !run.group(met)) changed = true;
            if (!changed && quality) {
                try {
                    for (const std::uint16_t a : met) {
                        if (quality->checked[a] && run.first[a] != run.last[a]) {
                            quality->check(run, a, per[a], bytes);
                        }
                    }
                } catch (const std::bad_alloc&) {
                    no_memory = true;
                }
            }
        }
        if (changed) return raise_data_changed("unpack_ccsds");
        if (no_memory) return PyErr_NoMemory();
        for (const std::uint16_t a : met) {
            if (a >= lowest_fault) break;
            const std::uint32_t first = run.first[a], end = run.last[a];
            ApidColumns& c = apids[a];
            if (first == end || !c.layout) continue;
            PacketSet packets;
            packets.data = bytes;
            packets.size = static_cast<std::size_t>(size);
            packets.count = end - first;
            packets.offsets = run.grouped_offsets.data() + first;
            if (per[a].varying) {
                packets.lengths = run.grouped_lengths.data() + first;
            } else {
                packets.packet_bytes = per[a].first_length;
            }
            if (!c.builder->add(packets, 0)) {
                if (per[a].failed != 0) {
                    Ref note(PyUnicode_FromFormat(msg::kCrcRowsNote, a));
                    py::add_note_to_pending(note.get());
                }
                c.fault = Ref(py::shim::get_raised_exception());
                lowest_fault = a;
            }
        }
    }
    if (pos != stop.offset) return raise_data_changed("unpack_ccsds");
    if (quality) {
        const bool numbered = py::without_gil(
            [&] { return quality->number_faults(bytes, size, offset); });
        if (!numbered) return raise_data_changed("unpack_ccsds");
    }
    if (lowest_fault < ccsds::kApidCount) {
        py::shim::set_raised_exception(apids[lowest_fault].fault.release());
        Ref note(PyUnicode_FromFormat(msg::kApidNote, lowest_fault));
        py::add_note_to_pending(note.get());
        return nullptr;
    }

    return ccsds_result(apids, per, keyed, met, quality.get(), stream, size);
}

}  // namespace bitloom::bulk
