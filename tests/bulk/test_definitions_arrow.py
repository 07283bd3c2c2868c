"""Definitions.decode(..., binary="arrow") against binary="bytes": the same
tables, rows and faults, each binary column an ArrowColumn of the same bytes
(random definitions with values at any bit, empty values and faulty packets;
the IDEX real data); the gather against a bit-level model; the Arrow export
as pyarrow reads it."""

from __future__ import annotations

import importlib.util
import pickle

import numpy as np
import pytest

from bitloom_bulk import ArrowColumn, Definitions, PacketType, _native, field, load_xtce
from tests.support.random_definitions import random_definitions, random_packets
from tests.support.realdata import REALDATA, needs_realdata


def _same(arrow, plain):
    """The two decodings agree; returns the ArrowColumns met."""
    assert arrow.keys() == plain.keys()
    assert arrow.faults == plain.faults and arrow.unmatched == plain.unmatched
    found = []
    for name, table in plain.items():
        assert list(arrow[name]) == list(table), name
        for key, column in table.items():
            got = arrow[name][key]
            if isinstance(got, ArrowColumn):
                assert column.dtype == object, (name, key)
                assert list(got) == list(column), (name, key)
                found.append(got)
            else:
                # Every column of bytes comes as an ArrowColumn.
                assert not any(isinstance(v, bytes) for v in column.ravel()), (name, key)
                assert got.dtype == column.dtype, (name, key)
                np.testing.assert_array_equal(got, column)
    return found


@pytest.mark.parametrize("seed", range(120))
def test_arrow_decodes_as_bytes_on_random_definitions(seed):
    defs = random_definitions(seed)
    data, offsets, lengths = random_packets(seed, 60)
    for derived in (True, False):
        kwargs = {"offsets": offsets, "lengths": lengths, "derived": derived}
        plain = defs.decode(data, errors="skip", **kwargs)
        arrow = defs.decode(data, errors="skip", binary="arrow", **kwargs)
        for column in _same(arrow, plain):
            if len(column):
                assert column[-1] == column[len(column) - 1] == column.to_pylist()[-1]
        try:
            want = defs.decode(data, **kwargs)
        except ValueError as exc:
            with pytest.raises(type(exc)) as info:
                defs.decode(data, binary="arrow", **kwargs)
            assert str(info.value) == str(exc) and info.value.__notes__ == exc.__notes__
        else:
            _same(defs.decode(data, binary="arrow", **kwargs), want)


def test_random_definitions_hold_empty_values_and_faults():
    """The random sets above meet empty binary values and faulty packets
    (else the comparison proves little)."""
    empty, faults = 0, 0
    for seed in range(120):
        defs = random_definitions(seed)
        data, offsets, lengths = random_packets(seed, 60)
        arrow = defs.decode(data, offsets=offsets, lengths=lengths, errors="skip", binary="arrow")
        faults += len(arrow.faults)
        for table in arrow.values():
            for column in table.values():
                if isinstance(column, ArrowColumn):
                    empty += sum(len(v) == 0 for v in column)
    assert empty > 0 and faults > 0


def _model(data, start, size):
    """size bytes from bit start of data, through Python integers."""
    if size == 0:
        return b""
    bits = int.from_bytes(data, "big")
    total = 8 * len(data)
    return ((bits >> (total - start - 8 * size)) & ((1 << (8 * size)) - 1)).to_bytes(size, "big")


@pytest.mark.parametrize("seed", range(6))
def test_gather_matches_the_bit_model(seed):
    rng = np.random.default_rng(seed)
    data = rng.integers(0, 256, 64, dtype=np.uint8).tobytes()
    # Sizes around the 8-byte words the gather shifts at once.
    sizes = rng.integers(0, 40, 300)
    starts = np.array([rng.integers(0, 8 * (64 - s) + 1) for s in sizes], dtype=np.int64)
    # Values at every bit within a byte whose last bits lie in the data's last byte.
    starts[:8] = 8 * 64 - 8 * 17 - np.arange(8)
    sizes[:8] = 17
    column = _native.binary_column(data, starts, sizes)
    assert len(column) == len(sizes)
    assert list(column) == [
        _model(data, int(a), int(n)) for a, n in zip(starts, sizes, strict=True)
    ]
    assert pickle.loads(pickle.dumps(column)).to_pylist() == column.to_pylist()


@pytest.mark.parametrize(
    ("starts", "sizes", "message"),
    [
        ([0, 8 * 16], [1, 1], r"value 1 \(bit 128, 1 bytes\) runs past the end of the data"),
        ([1], [16], r"value 0 \(bit 1, 16 bytes\) runs past the end"),
        ([8 * 16 + 1], [0], r"value 0 \(bit 129, 0 bytes\) runs past the end"),
        ([2**63 - 1], [1], r"runs past the end"),
        ([0], [2**62], r"runs past the end"),
        ([-8], [1], r"starts\[0\] is negative \(-8\)"),
        ([0, 0], [1, -1], r"sizes\[1\] is negative \(-1\)"),
        ([0, 0], [1], "starts holds 2 values but sizes holds 1"),
    ],
)
def test_gather_refuses_what_lies_outside_the_data(starts, sizes, message):
    with pytest.raises(ValueError, match=message):
        _native.binary_column(bytes(16), np.array(starts, np.int64), np.array(sizes, np.int64))


@pytest.mark.parametrize("value", ["Arrow", "object", None, b"arrow", 1])
def test_binary_must_be_bytes_arrow_or_view(value):
    defs = Definitions([PacketType("t", [field("b", "binary", 8)])])
    with pytest.raises(ValueError, match=r"binary must be 'bytes', 'arrow' or 'view', not "):
        defs.decode(b"\x01", packet_bytes=1, binary=value)


def test_where_on_a_binary_field_and_time_fields():
    """A binary field that a child's where reads still decodes, and one read
    only as a time stays a time."""
    cuc = {"code": "cuc", "coarse_bytes": 4, "fine_bytes": 2}
    defs = Definitions(
        [
            PacketType("root", [field("k", "binary", 8), field("t", "binary", 48, time=cuc)]),
            PacketType(
                "a", [field("p", "binary", {"rest": 0})], parent="root", where={"k": b"\x01"}
            ),
        ]
    )
    data = bytes([1, 0, 0, 0, 5, 0, 0, 9, 9, 2, 0, 0, 0, 5, 0, 0, 8, 7])
    plain = defs.decode(data, packet_bytes=9)
    arrow = defs.decode(data, packet_bytes=9, binary="arrow")
    assert [isinstance(arrow["a"][c], ArrowColumn) for c in ("k", "t", "p")] == [True, False, True]
    assert len(_same(arrow, plain)) == 3 and list(arrow["a"]["p"]) == [b"\x09\x09"]


@pytest.mark.parametrize("seed", [0, 11, 24, 33])
def test_arrow_export_reads_in_pyarrow(seed):
    pa = pytest.importorskip("pyarrow")
    defs = random_definitions(seed)
    data, offsets, lengths = random_packets(seed, 60)
    arrow = defs.decode(data, offsets=offsets, lengths=lengths, errors="skip", binary="arrow")
    met = 0
    for table in arrow.values():
        exported = pa.table(table.as_arrow()) if table else None
        for key, column in table.items():
            if not isinstance(column, ArrowColumn):
                continue
            met += 1
            array = pa.array(column)
            assert array.type == pa.binary() and array.to_pylist() == list(column)
            assert exported.column(key).to_pylist() == list(column)
            assert repr(column).startswith("<bitloom_bulk.ArrowColumn binary of ")
    assert met


@needs_realdata
def test_idex_waveforms_decode_alike():
    spp = REALDATA / "spp" / "idex"
    defs = load_xtce(spp / "idex_combined_science_definition.xml")
    data = (spp / "sciData_2023_052_14_45_05").read_bytes()
    for derived in (True, False):
        plain = defs.decode(data, derived=derived)
        found = _same(defs.decode(data, derived=derived, binary="arrow"), plain)
        # The waveforms: nearly all of the data's bytes.
        assert sum(len(b) for c in found for b in c) > len(data) // 2


@pytest.mark.parametrize("piece", [7, 100, 1 << 20])
def test_stream_decoder_passes_binary_on(piece):
    from bitloom_bulk import StreamDecoder
    from bitloom_bulk.ccsds import primary_header
    from tests.support import streams

    rng = np.random.default_rng(piece)
    defs = Definitions(
        [
            PacketType("root", primary_header(), abstract=True),
            # The payload from bit 52: shifted into whole bytes.
            PacketType(
                "w",
                [field("n", "unsigned", 4), field("p", "binary", {"rest": 4})],
                parent="root",
                where={"apid": 5},
            ),
        ]
    )
    data = streams.stream(np.full(40, 5), rng.integers(7, 40, 40), rng)
    stream = StreamDecoder(defs, binary="arrow")
    values = []
    for begin in range(0, len(data), piece):
        batch = stream.feed(data[begin : begin + piece])
        assert isinstance(batch["w"]["p"], ArrowColumn)
        values += list(batch["w"]["p"])
    stream.close()
    assert values == list(defs.decode(data)["w"]["p"])
    with pytest.raises(ValueError, match="binary must be 'bytes', 'arrow' or 'view', not 'b'"):
        StreamDecoder(defs, binary="b")


def test_binary_buffers_checked_and_pickled():
    values = [b"", b"\xff\x00", b"\x80", b""]
    column = _native.binary_column(b"\xff\x00\x80", [0, 0, 16, 24], [0, 2, 1, 0])
    maker, (offsets, data, large, binary) = column.__reduce__()
    assert (large, binary, data) == (False, True, b"\xff\x00\x80")
    wide = maker(np.frombuffer(offsets, "<i4").astype("<i8").tobytes(), data, True, True)
    for got in (column, wide, pickle.loads(pickle.dumps(wide))):
        assert list(got) == values
    assert "large_binary of 4 values" in repr(wide)
    if importlib.util.find_spec("pyarrow") is not None:
        import pyarrow as pa

        assert pa.array(wide).type == pa.large_binary() and pa.array(wide).to_pylist() == values
    # Any bytes are a binary value; offsets must still run from 0 to the end, never down.
    for broken in ([0, 0, 2, 3, 2], [0, 0, 2, 3, 4], [1, 1, 2, 3, 3]):
        with pytest.raises(ValueError, match="not a binary column"):
            maker(np.array(broken, "<i4").tobytes(), data, False, True)
    with pytest.raises(IndexError, match="ArrowColumn index out of range"):
        column[4]


def test_binary_values_past_256_mib():
    """Packets 256 MiB into the data: their bit places are past int32 even
    where their byte offsets are not."""
    defs = Definitions([PacketType("t", [field("k", "unsigned", 3), field("b", "binary", 16)])])
    data = np.zeros((1 << 28) + 64, dtype=np.uint8)  # calloc'ed: pages stay untouched
    data[-16:-13] = [0x2A, 0x55, 0xE0]
    offsets, lengths = [0, len(data) - 16], [3, 3]
    plain = defs.decode(data, offsets=offsets, lengths=lengths)
    arrow = defs.decode(data, offsets=offsets, lengths=lengths, binary="arrow")
    assert _same(arrow, plain) and list(plain["t"]["b"]) == [b"\0\0", b"\x52\xaf"]
