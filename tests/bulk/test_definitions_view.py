"""Definitions.decode(..., binary="view") against binary="bytes": the same
tables, rows and faults, each binary column an ArrowColumn in Arrow's
binary_view layout whose values, read by pyarrow and by the column itself,
are the same bytes (random definitions with values at any bit, empty values
and faulty packets; the IDEX real data); the views against a bit-level
model, for read-only input (long values in place) and writable input
(copied, so later writes change nothing)."""

from __future__ import annotations

import pickle

import numpy as np
import pytest

from bitloom_bulk import ArrowColumn, Definitions, PacketType, _native, field, load_xtce
from tests.bulk.test_definitions_arrow import _model, _same
from tests.support.random_definitions import random_definitions, random_packets
from tests.support.realdata import REALDATA, needs_realdata

pa = pytest.importorskip("pyarrow")

# How the input is handed over: read-only (values in place) or writable (copied).
INPUTS = {
    "bytes": bytes,
    "readonly": lambda b: memoryview(bytearray(b)).toreadonly(),
    "bytearray": bytearray,
}


def _address(data):
    return np.frombuffer(data, dtype=np.uint8).ctypes.data


def _check_views(column, want):
    """``column`` holds the values ``want`` as it and pyarrow read them, in a
    well-formed binary_view array (returned)."""
    assert isinstance(column, ArrowColumn) and repr(column).startswith(
        "<bitloom_bulk.ArrowColumn binary_view of "
    )
    assert list(column) == list(want) == pickle.loads(pickle.dumps(column)).to_pylist()
    array = pa.array(column)
    array.validate(full=True)
    assert array.type == pa.binary_view() and array.to_pylist() == list(want)
    return array


@pytest.mark.parametrize("kind", list(INPUTS))
@pytest.mark.parametrize("seed", range(0, 120, 3))
def test_view_decodes_as_bytes_on_random_definitions(seed, kind):
    defs = random_definitions(seed)
    raw, offsets, lengths = random_packets(seed, 60)
    data = INPUTS[kind](raw)
    for derived in (True, False):
        kwargs = {"offsets": offsets, "lengths": lengths, "derived": derived}
        plain = defs.decode(raw, errors="skip", **kwargs)
        view = defs.decode(data, errors="skip", binary="view", **kwargs)
        for column in _same(view, plain):
            _check_views(column, column.to_pylist())
        for name, table in view.items():
            if table:
                exported = pa.table(table.as_arrow())
                for key, column in table.items():
                    if isinstance(column, ArrowColumn):
                        assert exported.column(key).to_pylist() == list(plain[name][key])


def _long_packets(rng, lead, count):
    """Packets of a ``lead``-bit field, a size n (8 bits), n bytes and the rest
    (0 to 30 bytes), end to end; n mostly around 12 and 13, some past the
    packet's end (a fault)."""
    packets = []
    for _ in range(count):
        n = int(rng.choice([0, 1, 11, 12, 13, 14, 30, 64, 200]))
        body = rng.integers(0, 256, min(n, 64) + int(rng.integers(0, 31)), dtype=np.uint8)
        bits = (int(rng.integers(0, 1 << lead)) << 8 | n) << (8 * len(body)) | int.from_bytes(
            body.tobytes(), "big"
        )
        total = lead + 8 + 8 * len(body)
        size = -(-total // 8)
        packets.append((bits << (8 * size - total)).to_bytes(size, "big"))
    lengths = np.array([len(p) for p in packets], dtype=np.int64)
    return b"".join(packets), np.concatenate([[0], np.cumsum(lengths)[:-1]]), lengths


@pytest.mark.parametrize("kind", list(INPUTS))
@pytest.mark.parametrize("lead", [0, 3, 8, 13])
def test_long_values_at_any_bit_decode_as_bytes(lead, kind):
    """Values longer than a view holds inline, on byte boundaries and off
    them, from read-only and writable input."""
    items = [field("k", "unsigned", lead)] if lead else []
    items += [
        field("n", "unsigned", 8),
        field("b", "binary", {"field": "n", "scale": 8}),
        # To the packet's end but for the bits that pad it to whole bytes.
        field("c", "binary", {"rest": -lead % 8}),
    ]
    defs = Definitions([PacketType("a", items)])
    raw, offsets, lengths = _long_packets(np.random.default_rng(lead), lead, 300)
    plain = defs.decode(raw, offsets=offsets, lengths=lengths, errors="skip")
    view = defs.decode(
        INPUTS[kind](raw), offsets=offsets, lengths=lengths, errors="skip", binary="view"
    )
    found = _same(view, plain)
    assert plain.faults and {12, 13} <= {len(v) for v in plain["a"]["b"]}
    for column in found:
        _check_views(column, column.to_pylist())


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("kind", list(INPUTS))
def test_views_match_the_bit_model(seed, kind):
    rng = np.random.default_rng(seed)
    raw = rng.integers(0, 256, 96, dtype=np.uint8).tobytes()
    # Sizes around the 12 bytes a view holds inline and the 8-byte words the
    # shifted copy takes at once, at every bit within a byte.
    sizes = np.concatenate([[0, 11, 12, 13, 12, 13, 0, 40], rng.integers(0, 40, 200)])
    starts = np.array([rng.integers(0, 8 * (96 - s) + 1) for s in sizes], dtype=np.int64)
    starts[:8] = [8 * 95, 8 * 3, 8 * 5, 8 * 7, 8 * 20 + 3, 8 * 40 + 5, 8 * 96, 8 * 56]
    data = INPUTS[kind](raw)
    column = _native.binary_column(data, starts, sizes, view=True)
    want = [_model(raw, int(a), int(n)) for a, n in zip(starts, sizes, strict=True)]
    array = _check_views(column, want)
    assert list(_native.binary_column(data, starts, sizes)) == want
    views = np.frombuffer(array.buffers()[1], dtype="<i4").reshape(-1, 4)
    assert views[:, 0].tolist() == sizes.tolist()
    inline = sizes <= 12
    # An inline value fills its view from byte 4, zeros after it.
    for row, n, value in zip(
        views[inline], sizes[inline], np.array(want, object)[inline], strict=True
    ):
        assert row.tobytes()[4:] == value + bytes(12 - n)
    # A long value: its first 4 bytes, then where it lies.
    long_rows = views[~inline]
    prefixes = [v[:4] for v, s in zip(want, inline, strict=True) if not s]
    assert [r.tobytes()[4:8] for r in long_rows] == prefixes
    buffers = array.buffers()[2:]
    in_place = ~inline & (starts % 8 == 0) & (kind != "bytearray")
    if kind != "bytearray":
        # The input itself is the first data buffer, and the aligned long
        # values point into it at their byte.
        assert buffers[0].address == _address(data) and buffers[0].size == len(raw)
        assert (views[in_place, 2] == 0).all()
        assert views[in_place, 3].tolist() == (starts[in_place] // 8).tolist()
    copied = ~inline & ~in_place
    assert views[copied, 2].min() >= (kind != "bytearray")
    assert all(b.address != _address(data) for b in buffers[kind != "bytearray" :])


def test_writable_input_is_copied_and_read_only_input_is_held():
    raw = bytes(range(200))
    starts = np.array([0, 8 * 50, 8 * 100 + 1, 8 * 190], dtype=np.int64)
    sizes = np.array([40, 13, 30, 10], dtype=np.int64)
    want = [_model(raw, int(a), int(n)) for a, n in zip(starts, sizes, strict=True)]
    mutable = bytearray(raw)
    copied = _native.binary_column(mutable, starts, sizes, view=True)
    array = pa.array(copied)
    mutable[:] = bytes(200)
    assert list(copied) == want and array.to_pylist() == want
    # A read-only input is held by the column: neither its export nor the
    # column outlives the other wrongly, and the bytes stay readable.
    held = memoryview(bytearray(raw)).toreadonly()
    column = _native.binary_column(held, starts, sizes, view=True)
    with pytest.raises(BufferError):
        held.release()
    array = pa.array(column)
    del column
    assert array.to_pylist() == want


def test_view_refusals():
    with pytest.raises(ValueError, match=r"value 0 \(bit 1, 16 bytes\) runs past the end"):
        _native.binary_column(bytes(16), [1], [16], view=True)
    with pytest.raises(ValueError, match="not a binary column"):
        ArrowColumn._from_buffers(np.array([0, 2, 1], "<i4").tobytes(), b"ab", False, True, True)


@needs_realdata
def test_idex_waveforms_decode_alike():
    spp = REALDATA / "spp" / "idex"
    defs = load_xtce(spp / "idex_combined_science_definition.xml")
    raw = (spp / "sciData_2023_052_14_45_05").read_bytes()
    for data in (raw, bytearray(raw)):
        plain = defs.decode(raw)
        view = defs.decode(data, binary="view")
        found = _same(view, plain)
        # The waveforms: nearly all of the data's bytes.
        assert sum(len(b) for c in found for b in c) > len(raw) // 2
        for column in found:
            array = _check_views(column, column.to_pylist())
            # The waveforms of read-only input stay where they are.
            if len(column):
                assert (array.buffers()[2].address == _address(data)) == (data is raw)
        frames = view.to_pandas()
        for name, table in plain.items():
            for key, column in table.items():
                if column.dtype == object:
                    assert list(frames[name][key]) == list(column)


def test_read_only_input_past_2_gib_in_windows():
    """Views into input past 2 GiB go through windows of it, each reached by
    int32 offsets (the zeros are calloc'ed: pages stay untouched)."""
    size = (1 << 31) + (1 << 21)
    data = np.zeros(size, dtype=np.uint8)
    starts = np.array([0, (1 << 30) - 50, (1 << 31) - 10, (1 << 31) + 999, size - 20])
    sizes = np.array([100, 100, 100, 13, 20])
    for i, (a, n) in enumerate(zip(starts, sizes, strict=True)):
        data[a : a + n] = np.arange(n) + i
    want = [bytes(data[a : a + n]) for a, n in zip(starts, sizes, strict=True)]
    column = _native.binary_column(memoryview(data).toreadonly(), 8 * starts, sizes, view=True)
    array = _check_views(column, want)
    buffers = array.buffers()[2:]
    assert [b.address - data.ctypes.data for b in buffers] == [0, 1 << 30, 1 << 31]
    assert [b.size for b in buffers] == [(1 << 31) - 1, (1 << 30) + (1 << 21), 1 << 21]
