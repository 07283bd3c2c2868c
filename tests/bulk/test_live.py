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
from tests.bulk.test_ccsds import frames_as_tuples
from tests.support import streams
from tests.support.crc import crc16_ccitt


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


# -- data quality -------------------------------------------------------------------


def _quality_stream(seed):
    """Packets of APIDs 5, 6 and idle ones (2047), sequence counts with
    gaps, repeats and the 14-bit wrap; APID 5 packets end in their CRC, a few
    of them wrong."""
    rng = np.random.default_rng(seed)
    n = 60
    apids = rng.choice([5, 6, 2047], size=n, p=[0.45, 0.45, 0.1])
    lengths = rng.integers(10, 30, size=n)
    data = bytearray(streams.stream(apids, lengths, rng))
    frames = bb.split_ccsds(bytes(data))
    counts = {5: 16380, 6: 7}
    wrong = set()
    for p, (at, size, apid) in enumerate(
        zip(frames.offsets.tolist(), frames.lengths.tolist(), frames.apids.tolist(), strict=True)
    ):
        if apid == 2047:
            continue
        roll = rng.random()
        if roll < 0.1:
            counts[apid] += int(rng.integers(2, 5))  # a gap
        elif roll > 0.9:
            pass  # a repeat
        else:
            counts[apid] += 1
        c = counts[apid] % 16384
        data[at + 2] = 0xC0 | (c >> 8)
        data[at + 3] = c & 0xFF
        if apid == 5:
            crc = crc16_ccitt(bytes(data[at : at + size - 2]))
            if rng.random() < 0.15:
                crc ^= 1 << int(rng.integers(0, 16))
                wrong.add(p)
            data[at + size - 2 : at + size] = crc.to_bytes(2, "big")
    return bytes(data), wrong


def _model_quality(data, crc_apids, skip_idle):
    frames = bb.split_ccsds(data)
    gaps, repeats, last, faults = [], [], {}, []
    keep = []
    for p, (at, size, apid, count) in enumerate(frames_as_tuples(frames)):
        if apid != 2047:
            if apid in last:
                before, prev = last[apid]
                step = (count - prev) % 16384
                if step == 0:
                    repeats.append((apid, p, count))
                elif step != 1:
                    gaps.append((apid, before, prev, step - 1))
            last[apid] = (p, count)
        kept = not (skip_idle and apid == 2047)
        if kept and apid in crc_apids:
            body = data[at : at + size - 2]
            found = int.from_bytes(data[at + size - 2 : at + size], "big")
            if crc16_ccitt(body) != found:
                faults.append((p, at, apid, crc16_ccitt(body), found))
                kept = False
        keep.append(kept)
    return gaps, repeats, faults, np.array(keep)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize(
    ("crc", "crc_apids"), [(None, set()), ("ccitt", {5, 6}), ({5: "ccitt"}, {5})]
)
def test_quality_in_pieces_matches_the_model(seed, crc, crc_apids):
    data, wrong = _quality_stream(seed)
    gaps, repeats, faults, keep = _model_quality(data, crc_apids, skip_idle=True)
    if crc_apids == {5}:
        assert {f[0] for f in faults} == wrong
    rng = np.random.default_rng(100 + seed)
    cuts = np.sort(rng.integers(0, len(data) + 1, size=5))
    pieces = [data[a:b] for a, b in zip([0, *cuts], [*cuts, len(data)], strict=True)]
    stream = StreamDecoder(RECIPES, crc=crc)
    results = [stream.feed(p) for p in pieces]
    stream.close()
    q = stream.quality
    assert [tuple(g) for g in q.gaps] == gaps
    assert [tuple(r) for r in q.repeats] == repeats
    assert [tuple(f) for f in q.crc_faults] == faults
    frames = bb.split_ccsds(data)
    assert q.idle == int((frames.apids == 2047).sum())
    assert sum(q.packets.values()) == len(frames.offsets)
    assert q.missing == sum(g[3] for g in gaps)
    # Per feed: the pieces' qualities add up to the stream's.
    assert sum(len(r.quality.gaps) for r in results) == len(gaps)
    # The tables hold the kept packets only, as one call on them gives.
    kept = b"".join(
        data[o : o + n]
        for o, n in zip(frames.offsets[keep].tolist(), frames.lengths[keep].tolist(), strict=True)
    )
    _same(_joined(results), bb.unpack_ccsds(kept, RECIPES))


def test_idle_packets_are_kept_when_asked():
    data, _ = _quality_stream(1)
    frames = bb.split_ccsds(data)
    recipes = {**RECIPES, 2047: [field("w", "unsigned", 8, offset_bits=48)]}
    stream = StreamDecoder(recipes, skip_idle=False)
    got = stream.feed(data)
    assert len(got[2047]["w"]) == int((frames.apids == 2047).sum()) > 0
    assert stream.quality.idle == 0
    skipping = StreamDecoder(recipes).feed(data)
    assert len(skipping[2047]["w"]) == 0


def test_faults_of_definitions_keep_stream_positions_past_left_out_packets():
    data, _ = _quality_stream(2)
    defs = _definitions()
    stream = StreamDecoder(defs, errors="skip", crc={5: "ccitt"})
    got = stream.feed(data)
    frames = bb.split_ccsds(data)
    for f in got.faults:
        assert int(frames.offsets[f.packet]) == f.offset
        assert int(frames.apids[f.packet]) == 5


@pytest.mark.parametrize(
    ("crc", "error", "words"),
    [
        ("crc32", ValueError, "'ccitt'"),
        ({5000: "ccitt"}, ValueError, "APIDs from 0 to 2047"),
        ({5: "crc32"}, ValueError, "APID 5 must be 'ccitt'"),
        (16, TypeError, "not int"),
    ],
)
def test_bad_crc_settings_are_refused(crc, error, words):
    with pytest.raises(error, match=words):
        StreamDecoder(RECIPES, crc=crc)


# -- the one-call feed against the general way ----------------------------------------


def _feeds(stream, pieces):
    """Each feed's result (or the words of its error) and the decoder's
    position after it."""
    out = []
    for piece in pieces:
        try:
            result = stream.feed(piece)
        except ValueError as exc:
            out.append(("error", str(exc), getattr(exc, "__notes__", [])))
            continue
        out.append((result, stream.packets, stream.offset, stream.pending, stream._version))
    return out


def _same_feeds(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want, strict=True):
        if w[0] == "error":
            assert g == w
            continue
        _same(g[0], w[0])
        assert g[0].quality == w[0].quality
        if isinstance(w[0], bb.Decoded):
            assert g[0].first_rows == w[0].first_rows and g[0].times == w[0].times
        assert g[1:] == w[1:]


def _general(recipes, **options):
    """A decoder that takes every feed the general way (framing, checks and
    decoding in separate passes), the model of the one-call feed."""
    stream = StreamDecoder(recipes, **options)
    stream._state = None
    return stream


PAST_THE_END = {5: [field("z", "unsigned", 8, offset_bits=8 * 20)], 6: RECIPES[6]}


def _keyed(**extra):
    """RECIPES as definitions sorted by APID alone; APID 5's raw values from
    240 have no label (a warning: the general way must list it)."""
    root = PacketType("root", list(PRIMARY_HEADER), abstract=True)
    labels = {v: f"e{v}" for v in range(240)}
    return Definitions(
        [
            root,
            PacketType(
                "five",
                [field("a", "unsigned", 8, enumeration=labels)],
                parent=root,
                where={"apid": 5},
            ),
            PacketType(
                "six",
                [field("w", "unsigned", 16, polynomial=[0.5, 2.0], **extra)],
                parent=root,
                where={"apid": 6},
            ),
        ]
    )


KEYED = _keyed()


@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize(
    ("crc", "recipes", "garbage", "options"),
    [
        (None, RECIPES, False, {}),
        ("ccitt", RECIPES, False, {}),
        ({5: "ccitt"}, RECIPES, True, {}),
        ({6: "ccitt"}, {6: RECIPES[6]}, False, {}),
        (None, PAST_THE_END, False, {}),  # packets of APID 5 under 21 bytes fault
        (None, KEYED, False, {}),
        ("ccitt", KEYED, False, {"errors": "skip"}),
        ({5: "ccitt"}, KEYED, True, {}),
        (None, KEYED, False, {"derived": False}),
    ],
)
def test_one_call_feeds_match_the_general_way(seed, crc, recipes, garbage, options):
    data, _ = _quality_stream(seed)
    if garbage:  # a header of another version two thirds in
        frames = bb.split_ccsds(data)
        at = int(frames.offsets[2 * len(frames.offsets) // 3])
        data = data[:at] + bytes([data[at] | 0xE0]) + data[at + 1 :]
    rng = np.random.default_rng(seed)
    # Two pieces cut at every byte, then pieces of random sizes.
    cuts = [[cut] for cut in range(len(data) + 1)]
    cuts += [np.sort(rng.integers(0, len(data) + 1, size=12)).tolist() for _ in range(20)]
    for cut in cuts:
        pieces = [data[a:b] for a, b in zip([0, *cut], [*cut, len(data)], strict=True)]
        stream = StreamDecoder(recipes, crc=crc, **options)
        general = _general(recipes, crc=crc, **options)
        assert stream._state is not None
        _same_feeds(_feeds(stream, pieces), _feeds(general, pieces))
        assert stream.quality == general.quality


def _state(**words):
    state = np.zeros(4097, dtype=np.int64)
    state[1:2049] = 0xFFFF
    for at, value in words.items():
        state[int(at[1:])] = value
    return state


@pytest.mark.parametrize(
    ("crc", "state", "error", "words"),
    [
        (None, _state(), ValueError, "stream needs crc"),
        (bytes(2048), np.zeros(4096, dtype=np.int64), ValueError, "4097 int64 words, not 32768"),
        (bytes(2048), _state().tobytes(), BufferError, "not writable"),
        (bytes(2048), _state(w0=-1), ValueError, "stream word 0 is not"),
        (bytes(2048), _state(w6=16384), ValueError, "stream word 6 is not"),
        (bytes(2048), _state(w2048=-2), ValueError, "stream word 2048 is not"),
    ],
)
def test_bad_stream_states_are_refused(crc, state, error, words):
    with pytest.raises(error, match=words):
        bb._native.unpack_ccsds(_stream(), RECIPES, crc=crc, stream=state)


def test_a_failed_native_feed_leaves_the_stream_state():
    data, _ = _quality_stream(0)
    state = _state(w0=7, w6=3, w2054=5)
    before = state.copy()
    with pytest.raises(ValueError, match="past the end of the packet"):
        bb._native.unpack_ccsds(data, PAST_THE_END, crc=bytes(2048), stream=state)
    assert state.tolist() == before.tolist()
    *_, end = bb._native.unpack_ccsds(data, RECIPES, crc=bytes(2048), stream=state)
    frames = bb.split_ccsds(data)
    assert (end, int(state[0])) == (len(data), 7 + len(frames.offsets))
