#include "ext/bitloom_bulk/pack_ccsds.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "binding/args.hpp"
#include "binding/buffer.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"
#include "core/ccsds.hpp"
#include "ext/bitloom_bulk/layout.hpp"
#include "ext/bitloom_bulk/messages.hpp"
#include "ext/bitloom_bulk/pack_columns.hpp"

namespace bitloom::bulk {
namespace {

using py::Ref;

constexpr std::uint64_t kHeaderBits = 48;
constexpr std::uint64_t kLargestPacket = 65542;  // a 16-bit length field + 7
constexpr std::uint32_t kCountMask = 0x3FFF;     // sequence counts run modulo 2^14

// The primary header of one APID's packets, written into each packet once
// its fields are placed: everything but the sequence count is fixed; the bits
// of header items the caller gave columns for must already hold the same.
struct HeaderFill {
    std::array<std::uint8_t, 6> fixed{};     // the count's bits zero
    std::array<std::uint8_t, 6> given{};     // the bits of header items with a column
    std::array<std::uint8_t, 6> mismatch{};  // the bits of the failing row that differ
    std::uint32_t first_count = 0;
};

bool fill_header(void* context, std::uint8_t* packet, std::size_t row) noexcept {
    HeaderFill& h = *static_cast<HeaderFill*>(context);
    std::array<std::uint8_t, 6> head = h.fixed;
    const auto count = static_cast<std::uint32_t>((h.first_count + row) & kCountMask);
    head[2] = static_cast<std::uint8_t>(head[2] | (count >> 8));
    head[3] = static_cast<std::uint8_t>(count & 0xFF);
    unsigned bad = 0;
    for (std::size_t k = 0; k < 6; ++k) {
        h.mismatch[k] = static_cast<std::uint8_t>((packet[k] ^ head[k]) & h.given[k]);
        bad |= h.mismatch[k];
    }
    if (bad != 0) return false;
    std::memcpy(packet, head.data(), 6);
    return true;
}

// One APID's share of the stream.
struct Entry {
    long apid = 0;
    Ref layout_object;
    const Layout* layout = nullptr;
    PyObject* columns = nullptr;  // borrowed from the entries list
    std::size_t packet = 0;       // bytes per packet
    std::size_t in_order = 0;     // its packets in `order`
    TablePack table;
    HeaderFill header;
    std::vector<bool> header_items;  // items lying inside the primary header
    std::vector<std::uint64_t> offsets;
};

bool add_apid_note(long apid) {
    Ref note(PyUnicode_FromFormat(msg::kPackApidNote, apid));
    if (!note) return false;
    py::add_note_to_pending(note.get());
    return false;
}

// Read one entry tuple and its layout's packet size and header items.
bool read_entry(PyObject* tuple, Entry& e) {
    unsigned long first = 0, type = 0, secondary = 0;
    PyObject* layout = nullptr;
    if (!PyArg_ParseTuple(tuple, "lOOkkk", &e.apid, &layout, &e.columns, &first, &type,
                          &secondary)) {
        return false;
    }
    e.layout = as_layout(layout);
    if (e.layout == nullptr || e.apid < 0 || e.apid >= 2048 || first > kCountMask || type > 1 ||
        secondary > 1) {
        py::raise_panic("pack_ccsds was given an entry it cannot read");
        return false;
    }
    e.layout_object = Ref::borrow(layout);
    const std::uint64_t bytes = (e.layout->recipe.packet_bits + 7) / 8;
    if (bytes < core::ccsds::kHeaderBytes + 1 || bytes > kLargestPacket) {
        PyErr_Format(PyExc_ValueError, msg::kPackCcsdsSize, e.apid,
                     static_cast<unsigned long long>(bytes));
        return false;
    }
    e.packet = static_cast<std::size_t>(bytes);
    const auto& items = e.layout->recipe.items;
    e.header_items.assign(items.size(), false);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::uint64_t end = items[i].start + items[i].fld.bits;
        if (items[i].start < kHeaderBits && end > kHeaderBits) {
            PyErr_Format(PyExc_ValueError, msg::kPackCcsdsStraddles, items[i].name.get(), e.apid);
            return false;
        }
        e.header_items[i] = end <= kHeaderBits;
    }
    const std::uint64_t length = bytes - 7;
    e.header.fixed = {static_cast<std::uint8_t>((type << 4) | (secondary << 3) |
                                                (static_cast<unsigned long>(e.apid) >> 8)),
                      static_cast<std::uint8_t>(e.apid & 0xFF),
                      0xC0,  // sequence flags 3: unsegmented
                      0,
                      static_cast<std::uint8_t>(length >> 8),
                      static_cast<std::uint8_t>(length & 0xFF)};
    e.header.first_count = static_cast<std::uint32_t>(first);
    return true;
}

// The bits of the header items that have a column.
void mark_given(Entry& e) {
    const auto& items = e.layout->recipe.items;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!e.header_items[i] || e.table.plans[i].op == PackOp::Skipped) continue;
        for (std::uint64_t b = items[i].start; b < items[i].start + items[i].fld.bits; ++b) {
            e.header.given[b / 8] = static_cast<std::uint8_t>(e.header.given[b / 8] |
                                                              (0x80U >> (b % 8)));
        }
    }
}

// The header item whose column differs from the header written in `row`.
void raise_header_mismatch(const Entry& e, std::size_t row) {
    const auto& items = e.layout->recipe.items;
    PyObject* name = Py_None;
    for (std::size_t i = 0; i < items.size() && name == Py_None; ++i) {
        if (!e.header_items[i] || e.table.plans[i].op == PackOp::Skipped) continue;
        for (std::uint64_t b = items[i].start; b < items[i].start + items[i].fld.bits; ++b) {
            if ((e.header.mismatch[b / 8] & (0x80U >> (b % 8))) != 0) {
                name = items[i].name.get();
                break;
            }
        }
    }
    PyErr_Format(PyExc_ValueError, msg::kPackHeaderMismatch, name, e.apid, row);
}

}  // namespace

PyObject* pack_ccsds(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr py::Signature sig{"pack_ccsds", {"entries", "order"}, 2, 2, 2};
    PyObject* argv[2] = {};
    if (!py::match_arguments(sig, args, nargs, kwnames, argv)) return nullptr;
    if (!PyList_Check(argv[0])) {
        py::raise_panic("pack_ccsds was given entries that are not a list");
        return nullptr;
    }
    const auto count = static_cast<std::size_t>(PyList_GET_SIZE(argv[0]));
    std::vector<Entry> entries(count);
    std::array<int, core::ccsds::kApidCount> index_of{};
    index_of.fill(-1);
    for (std::size_t k = 0; k < count; ++k) {
        Entry& e = entries[k];
        if (!read_entry(PyList_GET_ITEM(argv[0], static_cast<Py_ssize_t>(k)), e)) {
            return nullptr;
        }
        if (index_of[static_cast<std::size_t>(e.apid)] >= 0) {
            py::raise_panic("pack_ccsds was given an APID twice");
            return nullptr;
        }
        index_of[static_cast<std::size_t>(e.apid)] = static_cast<int>(k);
    }

    // The order: one APID per packet, each one with a table.
    // It is copied first: reading the tables may run Python code, which may
    // change the caller's array.
    std::vector<std::uint16_t> apids;
    const bool ordered = argv[1] != Py_None;
    if (ordered) {
        py::BufferView order;
        if (!order.acquire_contiguous(argv[1], PyBUF_SIMPLE)) return nullptr;
        try {
            apids.resize(order.size() / 2);
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        // An empty order may have no storage at all (a null pointer).
        if (!apids.empty()) std::memcpy(apids.data(), order.data(), 2 * apids.size());
        for (std::size_t i = 0; i < apids.size(); ++i) {
            const std::uint16_t a = apids[i];
            const int k = a < core::ccsds::kApidCount ? index_of[a] : -1;
            if (k < 0) {
                PyErr_Format(PyExc_ValueError, msg::kPackOrderUnknown, i, static_cast<unsigned>(a));
                return nullptr;
            }
            ++entries[static_cast<std::size_t>(k)].in_order;
        }
    }

    // The columns of every table, then the stream's size.
    std::uint64_t total = 0;
    for (Entry& e : entries) {
        if (!open_table(*e.layout, e.columns, e.table, &e.header_items, e.in_order)) {
            add_apid_note(e.apid);
            return nullptr;
        }
        if (ordered && e.table.rows != e.in_order) {
            PyErr_Format(PyExc_ValueError, msg::kPackOrderCount, e.in_order, e.apid, e.table.rows);
            return nullptr;
        }
        mark_given(e);
        if (e.table.rows > (static_cast<std::uint64_t>(PY_SSIZE_T_MAX) - total) / e.packet) {
            PyErr_Format(PyExc_MemoryError, msg::kColumnsTooLarge, e.table.rows,
                         static_cast<unsigned long long>(e.packet));
            return nullptr;
        }
        total += e.table.rows * e.packet;
    }
    Ref result(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!result) return nullptr;
    std::uint8_t* const data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result.get()));

    // Where each packet goes: interleaved as `order` says, else each APID's
    // packets one after another, in the order of the entries. The order is
    // read with the GIL held (it is the caller's array).
    std::vector<std::uint64_t> bases(count, 0);
    try {
        if (ordered) {
            for (Entry& e : entries) e.offsets.reserve(e.in_order);
            std::uint64_t at = 0;
            for (const std::uint16_t a : apids) {
                Entry& e = entries[static_cast<std::size_t>(index_of[a])];
                e.offsets.push_back(at);
                at += e.packet;
            }
        } else {
            std::uint64_t at = 0;
            for (std::size_t k = 0; k < count; ++k) {
                bases[k] = at;
                at += entries[k].table.rows * entries[k].packet;
            }
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }

    std::size_t failed = count;
    PackFault fault;
    bool no_memory = false;
    {
        py::ReleasedGil released;
        try {
            for (std::size_t k = 0; k < count && failed == count; ++k) {
                Entry& e = entries[k];
                if (e.table.rows == 0) continue;
                const std::size_t region = e.table.rows * e.packet;
                fault = ordered ? pack_rows(e.table.plans, e.table.rows, e.packet, data, total,
                                            e.offsets.data(), fill_header, &e.header)
                                : pack_rows(e.table.plans, e.table.rows, e.packet, data + bases[k],
                                            region, nullptr, fill_header, &e.header);
                if (fault.row != kNoRow) failed = k;
            }
        } catch (const std::bad_alloc&) {
            no_memory = true;
        }
    }
    if (no_memory) return PyErr_NoMemory();
    if (failed < count) {
        const Entry& e = entries[failed];
        if (fault.field == e.table.plans.size()) {
            raise_header_mismatch(e, fault.row);
            return nullptr;
        }
        raise_row_error(*e.layout, e.table, fault.field, fault.row);
        add_apid_note(e.apid);
        return nullptr;
    }
    return result.release();
}

}  // namespace bitloom::bulk
