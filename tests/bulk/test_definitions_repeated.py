"""Repeated records at scale: unpack_repeated on several threads and with each
row's packet (owners) against one thread and numpy's repeat, faults included;
Definitions.decode of a stream with hundreds of thousands of records against a
vectorised model of the records, in both error modes."""

from __future__ import annotations

import os

import numpy as np
import pytest

import bitloom_bulk as bb
from bitloom_bulk import Definitions, PacketType, field
from bitloom_bulk.ccsds import primary_header
from tests.support import streams

CPUS = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1

# Records whose fields all lie in one 57-bit window, and records that do not
# (a little-endian field, an end past bit 57); the packed BCD byte, at bit 16
# of a record, is where faults are planted.
LAYOUTS = {
    "windowed": (
        [
            field("a", "unsigned", 12),
            field("b", "twos_complement", 4),
            field("d", "packed_bcd", 8),
            field("c", "unsigned", 7),
        ],
        40,
    ),
    "general": (
        [
            field("a", "unsigned", 12),
            field("b", "twos_complement", 4),
            field("d", "packed_bcd", 8),
            field("e", "unsigned", 16, byte_order="little"),
            field("f", "unsigned", 40),
        ],
        88,
    ),
}


def _bcd_bytes(rng, n):
    """Bytes whose two nibbles are both decimal digits."""
    return ((rng.integers(0, 10, n) << 4) | rng.integers(0, 10, n)).astype(np.uint8)


def _instances(seed, stride):
    """Packets back to back with records from a byte boundary; one packet
    holds more records than a thread's range."""
    rng = np.random.default_rng(seed)
    counts = rng.integers(0, 150, 3000)
    counts[rng.integers(0, 3000, 200)] = 0
    counts[1234] = 40_000
    starts = 8 * rng.integers(0, 4, len(counts))
    lengths = (starts + counts * stride + 7) // 8 + rng.integers(0, 3, len(counts))
    offsets = np.zeros(len(counts), np.int64)
    np.cumsum(lengths[:-1], out=offsets[1:])
    data = _bcd_bytes(rng, int(lengths.sum()))
    return data, offsets, lengths, starts, counts


def _plant(data, offsets, starts, counts, stride, row):
    """An invalid BCD byte in the "d" field of ``row``."""
    first = np.cumsum(counts) - counts
    p = int(np.searchsorted(first + counts, row, side="right"))
    k = row - int(first[p])
    data[int(offsets[p]) + (int(starts[p]) + k * stride + 16) // 8] = 0xFA


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("bad", [[], [5], [100_000], [150_000, 60_000], ["last"]])
def test_threads_and_owners_agree_with_one_thread(layout, bad):
    recipe, stride = LAYOUTS[layout]
    data, offsets, lengths, starts, counts = _instances(len(bad), stride)
    total = int(counts.sum())
    assert total > 4 * 32768  # several ranges for each thread
    rows = [total - 1 if r == "last" else r for r in bad]
    for row in rows:
        _plant(data, offsets, starts, counts, stride, row)
    args = (bytes(data), recipe, offsets, lengths, starts, counts, stride)
    if rows:
        words = rf"row {min(rows)}: item 2 \('d'\) fails to decode"
        for threads in range(1, CPUS + 1):
            with pytest.raises(ValueError, match=words):
                bb._native.unpack_repeated(*args, owners=True, threads=threads)
        return
    one = bb._native.unpack_repeated(*args, threads=1)
    owners = np.repeat(np.arange(len(counts)), counts)
    for threads in [None, *range(1, CPUS + 1)]:
        columns, got = bb._native.unpack_repeated(*args, owners=True, threads=threads)
        assert got.dtype == np.int64
        np.testing.assert_array_equal(got, owners)
        assert list(columns) == list(one)
        for name, column in one.items():
            assert columns[name].dtype == column.dtype
            np.testing.assert_array_equal(columns[name], column)


def _events_stream(seed, n):
    """Packets of a 16-bit count, then that many 30-bit events (a 12-bit
    energy, an 8-bit BCD time of flight, a 10-bit position) and what is left
    of the last byte."""
    rng = np.random.default_rng(seed)
    counts = rng.integers(0, 400, n)
    body = 2 + (counts * 30 + 7) // 8
    data = bytearray(streams.stream(np.full(n, 9), 6 + body, rng))
    offsets = np.zeros(n, np.int64)
    np.cumsum((6 + body)[:-1], out=offsets[1:])
    view = np.frombuffer(data, np.uint8)
    view[offsets + 6] = counts >> 8
    view[offsets + 7] = counts & 0xFF
    energy = rng.integers(0, 1 << 12, int(counts.sum()))
    tof = _bcd_bytes(rng, len(energy)).astype(np.int64)
    position = rng.integers(0, 1 << 10, len(energy))
    records = (energy << 18) | (tof << 10) | position
    # Each packet's events as one big-endian number of its body's bits.
    at = 0
    for p, c in enumerate(counts.tolist()):
        bits = 8 * (int(body[p]) - 2)
        value = 0
        for r in records[at : at + c].tolist():
            value = (value << 30) | r
        value <<= bits - 30 * c
        start = int(offsets[p]) + 8
        data[start : start + bits // 8] = value.to_bytes(bits // 8, "big")
        at += c
    return data, offsets, counts, energy, tof, position


EVENTS = Definitions(
    [
        PacketType("root", primary_header(), abstract=True),
        PacketType(
            "events",
            [
                field("count", "unsigned", 16),
                field(
                    "events",
                    "binary",
                    {"rest": 0},
                    count={"field": "count"},
                    records=[
                        field("energy", "unsigned", 12),
                        field("tof", "packed_bcd", 8),
                        field("position", "unsigned", 10),
                    ],
                ),
                field("spare", "unsigned", 1, offset_bits=-1),
            ],
            parent="root",
            where={"apid": 9},
        ),
    ]
)


def _tof(raw):
    return (raw >> 4) * 10 + (raw & 15)


@pytest.mark.parametrize(
    "faults",
    [
        {},
        # A time of flight that is no BCD, in the first and in a late packet.
        {"bcd": [0, 1500]},
        # More events than the packet holds.
        {"count": [3, 2900]},
        {"bcd": [900], "count": [40]},
    ],
)
def test_decode_of_many_records_agrees_with_a_vectorised_model(faults):
    data, offsets, counts, energy, tof, position = _events_stream(7, 3000)
    assert counts.sum() > 2 * (1 << 18)  # threads by default
    view = np.frombuffer(data, np.uint8)
    first = np.cumsum(counts) - counts
    bad = np.zeros(len(counts), bool)
    for p in faults.get("bcd", []):
        k = int(counts[p]) // 2
        bit = 64 + 30 * k + 12
        view[offsets[p] + bit // 8] |= 0xF0 >> (bit % 8)
        view[offsets[p] + bit // 8 + 1] |= (0xF00 >> (bit % 8)) & 0xFF
        bad[p] = True
    for p in faults.get("count", []):
        view[offsets[p] + 6] = 0xFF
        bad[p] = True
    got = EVENTS.decode(bytes(data), errors="skip")
    kept = np.flatnonzero(~bad)
    assert (
        sorted({f.packet for f in got.faults if f.severity == "error"})
        == np.flatnonzero(bad).tolist()
    )
    events = got["events/events"]
    elements = np.concatenate([np.arange(first[p], first[p] + counts[p]) for p in kept])
    np.testing.assert_array_equal(events["packet"], np.repeat(np.arange(len(kept)), counts[kept]))
    assert events["packet"].dtype == np.int64
    np.testing.assert_array_equal(events["energy"], energy[elements])
    np.testing.assert_array_equal(events["tof"], _tof(tof[elements]))
    np.testing.assert_array_equal(events["position"], position[elements])
    np.testing.assert_array_equal(got["events"]["count"], counts[kept])
    if bad.any():
        with pytest.raises(ValueError) as info:
            EVENTS.decode(bytes(data))
        assert f"in packet {np.flatnonzero(bad)[0]} " in info.value.__notes__[1]
    else:
        assert got.faults == []


@pytest.mark.parametrize("derived", [True, False])
def test_arrays_whose_derived_elements_are_refused_agree_with_the_model(derived):
    from tests.support import definitions_model as model

    defs = Definitions(
        [
            PacketType(
                "p",
                [
                    field("n", "unsigned", 8),
                    field(
                        "x",
                        "unsigned",
                        8,
                        count={"field": "n"},
                        spline=[[0.0, 0.0], [200.0, 1.0]],
                    ),
                    field("tail", "unsigned", 8),
                ],
            )
        ]
    )
    rng = np.random.default_rng(3)
    counts = rng.integers(0, 6, 40)
    packets = [bytes([c, *rng.integers(0, 201, c).tolist(), 7]) for c in counts.tolist()]
    # Elements past the spline's last point in three packets.
    for p in (2, 17, 39):
        packets[p] = bytes([2, 5, 250, 7])
    data = b"".join(packets)
    lengths = np.array([len(p) for p in packets])
    offsets = np.cumsum(lengths) - lengths
    want = model.decode(defs, data, derived=derived, offsets=offsets, lengths=lengths)
    got = defs.decode(data, offsets=offsets, lengths=lengths, derived=derived, errors="skip")
    model.assert_same(defs, got, want)
    final = counts.copy()
    final[[2, 17, 39]] = 2
    kept = np.ones(len(counts), bool)
    if derived:
        kept[[2, 17, 39]] = False
    np.testing.assert_array_equal(
        got["p/x"]["packet"], np.repeat(np.arange(kept.sum()), final[kept])
    )
