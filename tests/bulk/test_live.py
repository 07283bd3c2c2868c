"""StreamDecoder and decode_stream: a stream fed in pieces decodes to what one
call on the whole stream gives, whatever the pieces' boundaries."""

from __future__ import annotations

import io
import socket
import threading

import numpy as np
import pytest

import bitloom_bulk as bb
from bitloom_bulk import Definitions, PacketType, StreamDecoder, decode_stream, field
from bitloom_bulk.ccsds import PRIMARY_HEADER
from tests.support import streams


def _definitions():
    root = PacketType("root", list(PRIMARY_HEADER), abstract=True)
    return Definitions(
        [
            root,
            PacketType(
                "hk",
                [
                    field("mode", "unsigned", 8, enumeration={v: f"m{v}" for v in range(200)}),
                    field("n", "unsigned", 4),
                    field("tail", "unsigned", 4),
                    field("xs", "unsigned", 8, count={"field": "n"}),
                ],
                parent=root,
                where={"apid": 5},
            ),
            PacketType("raw", [field("w", "unsigned", 16)], parent=root, where={"apid": 6}),
        ]
    )


RECIPES = {5: [field("a", "unsigned", 8, offset_bits=48)], 6: [field("w", "unsigned", 16)]}


def _stream(count=9, seed=0):
    rng = np.random.default_rng(seed)
    apids = rng.choice([5, 6, 7], size=count)
    lengths = rng.integers(8, 26, size=count)
    return streams.stream(apids, lengths, rng)


def _joined(results):
    """The results of the feeds put end to end, as one call's result."""
    first = results[0]
    if isinstance(first, bb.Decoded):
        tables = {
            name: {col: np.concatenate([r[name][col] for r in results]) for col in first[name]}
            for name in first
        }
        unmatched = {}
        for r in results:
            for k, v in r.unmatched.items():
                unmatched[k] = unmatched.get(k, 0) + v
        return bb.Decoded(tables, unmatched, [f for r in results for f in r.faults])
    columns = {
        apid: {name: np.concatenate([r[apid][name] for r in results]) for name in first[apid]}
        for apid in first
    }
    skipped = {}
    for r in results:
        for k, v in r.skipped.items():
            skipped[k] = skipped.get(k, 0) + v
    return bb.CcsdsColumns(columns, skipped)


def _same(got, want):
    assert list(got) == list(want)
    for name in want:
        assert list(got[name]) == list(want[name])
        for col in want[name]:
            assert got[name][col].dtype == want[name][col].dtype, (name, col)
            assert got[name][col].tolist() == want[name][col].tolist(), (name, col)
    if isinstance(want, bb.Decoded):
        assert {k: v for k, v in got.unmatched.items() if v} == {
            k: v for k, v in want.unmatched.items() if v
        }
        assert got.faults == want.faults
    else:
        assert {k: v for k, v in got.skipped.items() if v} == want.skipped


def _one_call(decoder, data, errors="skip"):
    if isinstance(decoder, Definitions):
        return decoder.decode(data, errors=errors)
    return bb.unpack_ccsds(data, decoder)


@pytest.mark.parametrize("kind", ["definitions", "recipes"])
def test_every_cut_of_a_stream_decodes_as_one_call(kind):
    decoder = _definitions() if kind == "definitions" else RECIPES
    data = _stream()
    want = _one_call(decoder, data)
    for cut in range(len(data) + 1):
        stream = StreamDecoder(decoder, errors="skip")
        results = [stream.feed(data[:cut]), stream.feed(data[cut:])]
        stream.close()
        _same(_joined(results), want)
        assert (stream.packets, stream.offset, stream.pending) == (9, len(data), 0)


@pytest.mark.parametrize("seed", range(8))
def test_random_pieces_with_faults_number_them_from_the_stream_start(seed):
    rng = np.random.default_rng(seed)
    data = bytearray(_stream(40, seed))
    # Packets of APID 5 whose count field asks for more bytes than they hold:
    # faults, listed with their index and byte offset in the whole stream.
    frames = bb.split_ccsds(bytes(data))
    for at in frames.offsets[frames.apids == 5][::3]:
        data[at + 7] = 0xF0 | (data[at + 7] & 0x0F)
    data = bytes(data)
    defs = _definitions()
    want = defs.decode(data, errors="skip")
    assert any(f.severity == "error" for f in want.faults)
    cuts = np.sort(rng.integers(0, len(data) + 1, size=rng.integers(1, 12)))
    pieces = [data[a:b] for a, b in zip([0, *cuts], [*cuts, len(data)], strict=True)]
    stream = StreamDecoder(defs, errors="skip")
    results = [stream.feed(p) for p in pieces]
    stream.close()
    _same(_joined(results), want)
    # The child table's packet column counts rows of "hk" over the whole stream.
    assert _joined(results)["hk/xs"]["packet"].tolist() == want["hk/xs"]["packet"].tolist()


def test_a_stream_that_stops_inside_a_packet_is_refused_at_close():
    data = _stream()
    stream = StreamDecoder(RECIPES)
    stream.feed(data[:-3])
    assert stream.pending > 0
    with pytest.raises(ValueError, match=r"ends inside a packet: \d+ bytes at byte \d+"):
        stream.close()
    stream.feed(data[-3:])
    stream.close()
    stream = StreamDecoder(RECIPES)
    stream.feed(data[:2])
    with pytest.raises(ValueError, match="not even its 6-byte header"):
        stream.close()


def test_a_fault_under_raise_names_the_piece_and_leaves_the_state():
    data = bytearray(_stream(12, 3))
    frames = bb.split_ccsds(bytes(data))
    hk = np.flatnonzero(frames.apids == 5)
    for p in hk:
        data[int(frames.offsets[p]) + 7] &= 0x0F  # no elements: every packet fits
    # The last packet of APID 5 too short for 15 elements asks for them.
    bad = int(hk[frames.lengths[hk] < 6 + 2 + 15][-1])
    assert bad > 0
    data[int(frames.offsets[bad]) + 7] |= 0xF0
    data = bytes(data)
    defs = _definitions()
    cut = int(frames.offsets[bad - 1])
    stream = StreamDecoder(defs)
    stream.feed(data[:cut])
    before = (stream.packets, stream.offset, stream.pending)
    with pytest.raises(ValueError) as info:
        stream.feed(data[cut:])
    assert info.value.__notes__[-1] == (
        f"in the piece of the stream from packet {before[0]}, byte {before[1]}"
    )
    assert (stream.packets, stream.offset, stream.pending) == before


@pytest.mark.parametrize(
    ("decoder", "error", "words"),
    [
        ([1, 2], TypeError, "mapping from APID to recipe"),
        ({4096: [field("a", "unsigned", 8)]}, ValueError, "4096"),
        (
            Definitions(
                [
                    PacketType(
                        "r",
                        [field("b", "binary", {"rest": 0}, records=[field("x", "unsigned", 8)])],
                    )
                ]
            ),
            ValueError,
            "has child tables but no column",
        ),
    ],
)
def test_decoders_that_cannot_stream_are_refused(decoder, error, words):
    with pytest.raises(error, match=words):
        StreamDecoder(decoder)


def _sources(data):
    pieces = [data[i : i + 37] for i in range(0, len(data), 37)]
    yield "iterable", lambda: iter(pieces)
    yield "readinto", lambda: io.BytesIO(data)

    class ReadOnly:
        def __init__(self):
            self.inner = io.BytesIO(data)

        def read(self, n):
            return self.inner.read(n)

    yield "read", ReadOnly


@pytest.mark.parametrize("kind", ["iterable", "readinto", "read", "socket"])
def test_decode_stream_reads_every_kind_of_source(kind):
    data = _stream(30, 7)
    want = bb.unpack_ccsds(data, RECIPES)
    if kind == "socket":
        left, right = socket.socketpair()
        with left, right:

            def send():
                for i in range(0, len(data), 53):
                    right.sendall(data[i : i + 53])
                right.shutdown(socket.SHUT_WR)

            sender = threading.Thread(target=send)
            sender.start()
            got = list(decode_stream(left, RECIPES, chunk_bytes=64))
            sender.join(timeout=10)
    else:
        make = dict(_sources(data))[kind]
        got = list(decode_stream(make(), RECIPES, chunk_bytes=64))
    _same(_joined(got), want)


def test_decode_stream_raises_where_the_source_stops_inside_a_packet():
    data = _stream()
    with pytest.raises(ValueError, match="ends inside a packet"):
        list(decode_stream(io.BytesIO(data[:-1]), RECIPES))
