"""CCSDS framing: split_ccsds against a pure-Python reference framer, on
streams built with pack_parameters and on generated random streams."""

import mmap
import random

import numpy as np
import pytest

import bitloom
import bitloom_bulk
from tests.support import streams
from tests.support.items import item
from tests.support.outcomes import as_bulk, outcome


def ref_split(data, offset=0):
    """Reference framer: (packets [(offset, length, apid, seq)], end, fault or None)."""
    data = bytes(data)
    packets = []
    pos = offset
    while pos < len(data):
        left = len(data) - pos
        if left < 6:
            return packets, pos, f"its primary header needs 6 bytes, {left} left"
        word0 = int.from_bytes(data[pos : pos + 2], "big")
        word1 = int.from_bytes(data[pos + 2 : pos + 4], "big")
        length = int.from_bytes(data[pos + 4 : pos + 6], "big") + 7
        if length > left:
            return (
                packets,
                pos,
                f"declared length {length} bytes (length field {length - 7}), {left} left",
            )
        packets.append((pos, length, word0 & 0x7FF, word1 & 0x3FFF))
        pos += length
    return packets, pos, None


def frames_as_tuples(frames):
    return list(
        zip(
            frames.offsets.tolist(),
            frames.lengths.tolist(),
            frames.apids.tolist(),
            frames.sequence_counts.tolist(),
            strict=True,
        )
    )


def check_against_reference(data, offset=0):
    packets, end, fault = ref_split(data, offset)
    if fault is None:
        got = bitloom_bulk.split_ccsds(data, offset=offset)
    else:
        with pytest.raises(ValueError) as info:
            bitloom_bulk.split_ccsds(data, offset=offset)
        assert str(info.value) == f"truncated CCSDS packet at byte offset {end}: {fault}"
        got = bitloom_bulk.split_ccsds(data, offset=offset, allow_partial=True)
    assert frames_as_tuples(got) == packets
    assert got.end == end
    # The int32 framing that packet definitions ask for: the same packets.
    narrow = bitloom_bulk._native.split_ccsds(data, offset=offset, allow_partial=True, narrow=True)
    assert [a.dtype for a in narrow[:2]] == [np.int32, np.int32]
    assert list(zip(*(a.tolist() for a in narrow[:4]), strict=True)) == packets
    assert narrow[4] == end
    return got


@pytest.mark.parametrize(
    "lengths, tail",
    [
        ([100] * 70 + [7] * 50, b""),  # shorter packets after the first 64
        ([7] + [300] * 10, b""),  # longer ones after the first
        ([20] * 64 + [19, 21], b""),
        ([40] * 10, bytes(3)),  # a header cut short at the end
        ([40] * 70 + [8] * 5, bytes.fromhex("0800c0000050") + bytes(9)),  # a packet cut short
    ],
)
def test_frames_whatever_lengths_follow_the_first_packets(lengths, tail):
    data = streams.stream(np.zeros(len(lengths)), lengths, np.random.default_rng(5)) + tail
    assert len(check_against_reference(data).offsets) == len(lengths)


def packed_packet(apid, seq, body):
    """A space packet whose header fields are recipe items, built by pack_parameters."""
    recipe = [
        item("version", bits=3, value=0),
        item("type", bits=1, value=0),
        item("sec_hdr", bits=1, value=1),
        item("apid", bits=11, value=apid),
        item("seq_flags", bits=2, value=3),
        item("seq_count", bits=14, value=seq),
        item("length", bits=16, value=len(body) - 1),
        *(item(f"b{i}", bits=8, value=b) for i, b in enumerate(body)),
    ]
    return bitloom.pack_parameters(recipe)


def test_packets_built_by_pack_parameters():
    rng = random.Random(7)
    packets = [
        packed_packet(rng.randrange(2048), rng.randrange(16384), rng.randbytes(rng.randint(1, 40)))
        for _ in range(50)
    ]
    packets.append(packed_packet(0x7FF, 0x3FFF, b"\x00"))  # idle APID, shortest packet
    data = b"".join(packets)
    got = check_against_reference(data)
    assert len(got.offsets) == len(packets)
    # Each framed packet is exactly one of the packets that were joined.
    for (start, length), packet in zip(
        zip(got.offsets, got.lengths, strict=True), packets, strict=True
    ):
        assert data[start : start + length] == packet
    # The header fields read back as the recipe wrote them.
    header = [
        {k: v for k, v in f.items() if k != "value"}
        for f in [
            item("version", bits=3, value=0),
            item("type", bits=1, value=0),
            item("sec_hdr", bits=1, value=1),
            item("apid", bits=11, value=0),
            item("seq_flags", bits=2, value=0),
            item("seq_count", bits=14, value=0),
        ]
    ]
    for start, apid, seq in zip(got.offsets, got.apids, got.sequence_counts, strict=True):
        values = bitloom.unpack_parameters(data, int(start) * 8, header)
        assert (values["apid"], values["seq_count"]) == (apid, seq)


@pytest.mark.parametrize("seed", range(20))
def test_random_streams(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(0, 60))
    # Mostly short packets, some long ones (length field above 255).
    lengths = np.where(rng.random(n) < 0.9, rng.integers(7, 40, n), rng.integers(262, 2000, n))
    data = streams.stream(rng.integers(0, 2048, n), lengths, rng)
    got = check_against_reference(data)
    assert got.offsets.dtype == np.int64 and got.lengths.dtype == np.int64
    assert got.apids.dtype == np.uint16 and got.sequence_counts.dtype == np.uint16
    # Any start offset frames from there, aligned or not (misaligned starts
    # read payload bytes as headers, which is still framing by the rules).
    for offset in {0, len(data), *rng.integers(0, len(data) + 1, 5).tolist()}:
        check_against_reference(data, offset)


@pytest.mark.parametrize("seed", range(5))
def test_random_bytes(seed):
    data = np.random.default_rng(seed).integers(0, 256, 3000, dtype=np.uint8).tobytes()
    check_against_reference(data)


def test_every_cut_of_a_stream():
    data = streams.stream([1, 2, 3], [7, 12, 300], np.random.default_rng(1))
    for cut in range(len(data) + 1):
        check_against_reference(data[:cut])


@pytest.mark.parametrize(
    "data, message",
    [
        (b"\x08\x01\xc0\x00\x00\x05abc", "declared length 12 bytes (length field 5), 9 left"),
        (b"\x08\x01\xc0\x00\x00", "its primary header needs 6 bytes, 5 left"),
        (b"\x08", "its primary header needs 6 bytes, 1 left"),
        (
            b"\x08\x01\xc0\x00\xff\xff" + bytes(100),
            "declared length 65542 bytes (length field 65535), 106 left",
        ),
    ],
)
def test_truncated_messages(data, message):
    with pytest.raises(ValueError) as info:
        bitloom_bulk.split_ccsds(b"\x08\x02\xc0\x00\x00\x00\x00" + data)
    assert str(info.value) == f"truncated CCSDS packet at byte offset 7: {message}"
    got = bitloom_bulk.split_ccsds(b"\x08\x02\xc0\x00\x00\x00\x00" + data, allow_partial=True)
    assert got.end == 7 and got.offsets.tolist() == [0]


def test_live_stream_chunks():
    """end is where the next chunk continues: framing chunk by chunk gives the whole."""
    data = streams.mixed_stream(200, {5: 19, 6: 94, 7: 70}, seed=3)
    whole = bitloom_bulk.split_ccsds(data)
    seen = []
    pending = b""
    base = 0
    for i in range(0, len(data), 333):
        pending += data[i : i + 333]
        part = bitloom_bulk.split_ccsds(pending, allow_partial=True)
        seen += (part.offsets + base).tolist()
        pending = pending[part.end :]
        base += part.end
    assert pending == b""
    assert seen == whole.offsets.tolist()


def test_offset_past_the_end():
    with pytest.raises(ValueError) as info:
        bitloom_bulk.split_ccsds(bytes(7), offset=8)
    assert str(info.value) == "offset 8 is past the end of the data (7 bytes)"
    assert bitloom_bulk.split_ccsds(bytes(7), offset=7).end == 7


@pytest.mark.parametrize(
    "offset, exc", [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError), ("0", TypeError)]
)
def test_bad_offsets(offset, exc):
    with pytest.raises(exc):
        bitloom_bulk.split_ccsds(bytes(7), offset=offset)


def test_buffer_kinds(tmp_path):
    data = streams.mixed_stream(50, {1: 8, 2: 20}, seed=5)
    want = frames_as_tuples(bitloom_bulk.split_ccsds(data))
    path = tmp_path / "stream.bin"
    path.write_bytes(data)
    with path.open("rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        assert frames_as_tuples(bitloom_bulk.split_ccsds(m)) == want
    arr = np.frombuffer(data, dtype=np.uint8)
    for buf in (
        bytearray(data),
        memoryview(data),
        arr,
        arr.view(np.uint16) if len(data) % 2 == 0 else arr,
    ):
        assert frames_as_tuples(bitloom_bulk.split_ccsds(buf)) == want


def test_non_contiguous_and_non_buffers():
    with pytest.raises(ValueError, match=r"^data must be a C-contiguous buffer$"):
        bitloom_bulk.split_ccsds(memoryview(bytes(28))[::2])
    with pytest.raises(TypeError):
        bitloom_bulk.split_ccsds("\x08\x01\xc0\x00\x00\x00\x00")
    with pytest.raises(TypeError):
        bitloom_bulk.split_ccsds(bytes(7), 0)  # offset is keyword-only


def test_bytearray_is_free_after_the_call():
    """The columns do not keep the input's buffer exported."""
    data = bytearray(streams.fixed_stream(10, 3, 9))
    frames = bitloom_bulk.split_ccsds(data)
    data.extend(b"\x00")  # would raise BufferError if still exported
    assert len(frames.offsets) == 10


def test_columns_are_independent_arrays():
    frames = bitloom_bulk.split_ccsds(streams.fixed_stream(4, 9, 10))
    frames.offsets[0] = 99  # writable, owned by the result
    assert frames.offsets.tolist() == [99, 10, 20, 30]
    assert frames.apids.tolist() == [9] * 4
    assert frames.sequence_counts.tolist() == [0, 1, 2, 3]


# ---- unpack_ccsds ----------------------------------------------------------


HEADER_ITEMS = [
    item("apid", "unsigned", 11, offset_bits=5),
    item("seq", "unsigned", 14, offset_bits=18),
]
RECIPES = {
    5: [*HEADER_ITEMS, item("a", "unsigned", 12, offset_bits=48), item("b", "twos_complement", 20)],
    6: [
        item("x", "ieee754_f32", 32, offset_bits=48),
        item("t", "twos_complement", 16, byte_order="little"),
        item("r", "unsigned", 7, reverse_bits=True),
    ],
    9: [item("text", "latin1", 32, offset_bits=56), item("bcd", "unsigned", 3)],
}


def values_equal(a, b):
    if isinstance(a, float):
        return np.float64(a).tobytes() == np.float64(b).tobytes()
    return a == b


def check_unpack_ccsds(data, recipes, plain=None):
    plain = plain or recipes
    got = bitloom_bulk.unpack_ccsds(data, recipes)
    packets, _, fault = ref_split(data)
    assert fault is None
    want_skipped = {}
    per_apid = {}
    for start, length, apid, _ in packets:
        if apid in recipes:
            per_apid.setdefault(apid, []).append(data[start : start + length])
        else:
            want_skipped[apid] = want_skipped.get(apid, 0) + 1
    assert got.skipped == want_skipped
    # Every APID with a recipe has its columns, empty where it has no packets.
    assert sorted(got) == sorted(recipes)
    for apid in recipes:
        pkts = per_apid.get(apid, [])
        rows = [bitloom.unpack_parameters(p, 0, plain[apid]) for p in pkts]
        cols = got[apid]
        assert list(cols) == list(dict.fromkeys(i["name"] for i in plain[apid]))
        for name, column in cols.items():
            assert len(column) == len(rows)
            for i, row in enumerate(rows):
                assert values_equal(
                    row[name], column[i].item() if column.dtype != object else column[i]
                ), (apid, name, i)
    return got


@pytest.mark.parametrize("seed", range(8))
def test_unpack_ccsds_against_unpack_parameters(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(0, 300))
    apids = rng.choice([5, 6, 7, 9, 2047], size=n)
    # APID 5 and 6 packets of one size; APID 9 of varying sizes.
    sizes = np.where(apids == 9, rng.integers(14, 40, n), np.where(apids == 6, 16, 14))
    data = streams.stream(apids, sizes, rng)
    check_unpack_ccsds(data, RECIPES)
    layouts = {apid: bitloom_bulk.compile(r) for apid, r in RECIPES.items()}
    check_unpack_ccsds(data, layouts, RECIPES)


def test_unpack_ccsds_offset_and_empty():
    data = streams.mixed_stream(50, {5: 14, 7: 9}, seed=4)
    got = bitloom_bulk.unpack_ccsds(b"\xff" * 3 + data, RECIPES, offset=3)
    want = bitloom_bulk.unpack_ccsds(data, RECIPES)
    assert got.skipped == want.skipped
    assert all(np.array_equal(got[5][k], want[5][k]) for k in want[5])
    empty = bitloom_bulk.unpack_ccsds(b"", RECIPES)
    assert sorted(empty) == sorted(RECIPES) and empty.skipped == {}
    assert all(len(c) == 0 for cols in empty.values() for c in cols.values())


def test_unpack_ccsds_packet_fault_names_the_apid():
    ok = streams.fixed_stream(3, 5, 14, seed=1)
    short = streams.fixed_stream(1, 5, 8, seed=1)  # too short for field "a"
    data = ok + short
    pkt = data[len(ok) :]
    with pytest.raises(BaseException) as want:
        bitloom.unpack_parameters(pkt, 0, RECIPES[5])
    with pytest.raises(BaseException) as got:
        bitloom_bulk.unpack_ccsds(data, RECIPES)
    assert type(got.value) is type(want.value)
    # bitloom_bulk's form of unpack_parameters' message: in bits, named once.
    bulk = as_bulk(outcome(bitloom.unpack_parameters, pkt, 0, RECIPES[5]), RECIPES[5], 0, len(pkt))
    assert (str(got.value),) == bulk[2]
    notes = "\n".join(getattr(got.value, "__notes__", []))
    assert f"bytes {len(ok)} to {len(data)} of the data" in notes
    assert "APID 5" in notes


def test_unpack_ccsds_recipe_fault_first():
    bad = {
        5: [
            {"name": "a", "encoding": "nope", "bits": 8, "byte_order": "big", "reverse_bits": False}
        ]
    }
    with pytest.raises(ValueError) as info:
        bitloom_bulk.unpack_ccsds(b"\x00", bad)  # the stream is cut short too
    assert "Unsupported encoding type: nope" in str(info.value)
    assert "in the recipe for APID 5" in "\n".join(info.value.__notes__)


@pytest.mark.parametrize(
    "recipes, exc, message",
    [
        ([], TypeError, "recipes must be a dict from APID to recipe, not list"),
        ({"5": []}, TypeError, "APID keys of recipes must be int, not str"),
        ({2048: []}, ValueError, "APID 2048 is outside 0 to 2047"),
        ({-1: []}, ValueError, "APID -1 is outside 0 to 2047"),
    ],
)
def test_unpack_ccsds_bad_recipes(recipes, exc, message):
    with pytest.raises(exc) as info:
        bitloom_bulk.unpack_ccsds(b"", recipes)
    assert str(info.value) == message


def test_unpack_ccsds_truncated_stream():
    data = streams.fixed_stream(3, 5, 14)
    with pytest.raises(ValueError) as info:
        bitloom_bulk.unpack_ccsds(data[:-1], RECIPES)
    assert str(info.value) == (
        "truncated CCSDS packet at byte offset 28: declared length 14 bytes (length field 7), 13 left"
    )


def test_threads_share_one_stream():
    """Framing and decoding release the GIL; calls from many threads on one
    buffer give the same results as one call alone."""
    from concurrent.futures import ThreadPoolExecutor

    data = streams.mixed_stream(20_000, {5: 14, 6: 16, 9: 30}, seed=8)
    want_frames = frames_as_tuples(bitloom_bulk.split_ccsds(data))
    want = bitloom_bulk.unpack_ccsds(data, RECIPES)

    def work(i):
        if i % 2:
            return frames_as_tuples(bitloom_bulk.split_ccsds(data)) == want_frames
        got = bitloom_bulk.unpack_ccsds(data, RECIPES)
        return got.skipped == want.skipped and all(
            np.array_equal(got[a][k], want[a][k], equal_nan=want[a][k].dtype.kind == "f")
            for a in want
            for k in want[a]
            if want[a][k].dtype != object
        )

    with ThreadPoolExecutor(4) as pool:
        assert all(pool.map(work, range(16)))


def test_unpack_ccsds_takes_the_apids_split_ccsds_gives():
    data = streams.mixed_stream(40, {5: 14, 7: 9}, seed=2)
    apids = np.unique(bitloom_bulk.split_ccsds(data).apids)  # numpy uint16
    got = bitloom_bulk.unpack_ccsds(data, {apid: RECIPES[5] for apid in apids if apid == 5})
    want = bitloom_bulk.unpack_ccsds(data, {5: RECIPES[5]})
    assert list(got) == [5] and type(next(iter(got))) is int
    assert all(np.array_equal(got[5][k], want[5][k]) for k in want[5])
    assert bitloom_bulk.unpack_ccsds(data, {5: []})[5] == {}


def test_long_streams_decode_in_runs_as_packet_by_packet():
    # More wanted packets than one run of positions, of three APIDs (one of
    # varying sizes) and one without a recipe: each APID's columns are what
    # unpack_columns gives over that APID's packets found by split_ccsds.
    rng = np.random.default_rng(5)
    n = 160_000
    apids = rng.choice([5, 6, 9, 100], size=n, p=[0.5, 0.2, 0.2, 0.1])
    sizes = np.where(apids == 9, rng.integers(14, 40, n), np.where(apids == 6, 16, 14))
    data = streams.stream(apids, sizes, rng)
    got = bitloom_bulk.unpack_ccsds(data, {a: RECIPES[a] for a in (5, 6, 9)})
    frames = bitloom_bulk.split_ccsds(data)
    assert got.skipped == {100: int((apids == 100).sum())}
    for apid in (5, 6, 9):
        mine = frames.apids == apid
        want = bitloom_bulk.unpack_columns(
            data, RECIPES[apid], offsets=frames.offsets[mine], lengths=frames.lengths[mine]
        )
        assert list(got[apid]) == list(want)
        for name, column in want.items():
            if column.dtype == object:
                assert got[apid][name].tolist() == column.tolist()
            else:
                assert np.array_equal(got[apid][name], column, equal_nan=column.dtype.kind == "f")


def test_the_lowest_apids_first_fault_is_raised_wherever_it_lies():
    # APID 9's fault lies in the first run of packets, APID 6's in a later
    # one: APID 6's is raised, as when the APIDs are decoded in turn.
    rng = np.random.default_rng(9)
    n = 140_000
    apids = np.full(n, 5)
    apids[10], apids[130_000], apids[135_000] = 9, 6, 6
    sizes = np.full(n, 14)
    sizes[10] = 8  # too short for APID 9's recipe
    sizes[135_000] = 7  # too short for APID 6's recipe
    data = streams.stream(apids, sizes, rng)
    with pytest.raises(ValueError) as info:
        bitloom_bulk.unpack_ccsds(data, {a: RECIPES[a] for a in (5, 6, 9)})
    start = int(np.sum(sizes[:135_000]))
    assert info.value.__notes__[-2:] == [
        f"in packet 1 (bytes {start} to {start + 7} of the data)",
        "in the packets of APID 6 (the packet number above counts that APID's packets only)",
    ]


def test_an_apids_first_fault_is_raised_not_a_later_one():
    # APID 6's two faulty packets lie in different runs of packets: the first
    # is raised, and the later run leaves it alone.
    rng = np.random.default_rng(10)
    n = 140_000
    apids = np.full(n, 5)
    apids[[20, 130_000]] = 6
    sizes = np.full(n, 14)
    sizes[[20, 130_000]] = 7  # too short for APID 6's recipe
    data = streams.stream(apids, sizes, rng)
    with pytest.raises(ValueError) as info:
        bitloom_bulk.unpack_ccsds(data, {a: RECIPES[a] for a in (5, 6)})
    start = int(np.sum(sizes[:20]))
    assert info.value.__notes__[-2] == f"in packet 0 (bytes {start} to {start + 7} of the data)"


@pytest.mark.parametrize("seed", range(40))
def test_one_apid_of_one_length_as_fixed_size_packets(seed):
    """A stream of one APID's packets of one length, all wanted, decodes as
    fixed-size packets would: the same columns, or the same fault."""
    from tests.support.random_recipes import random_recipe

    rng = random.Random(seed)
    recipe = random_recipe(rng, clean=rng.random() < 0.7)
    size = rng.randint(7, 40)
    data = streams.fixed_stream(rng.randint(0, 50), 33, size, seed=seed)
    try:
        want = bitloom_bulk.unpack_columns(data, recipe, packet_bytes=size) if data else None
    except Exception as exc:
        want = exc
    try:
        got = bitloom_bulk.unpack_ccsds(data, {33: recipe})
    except Exception as exc:
        got = exc
    if isinstance(want, Exception):
        assert type(got) is type(want) and str(got) == str(want)
        return
    assert isinstance(got, dict), got
    if want is None:
        return
    for name, column in want.items():
        assert got[33][name].dtype == column.dtype
        assert got[33][name].tolist() == column.tolist() or np.array_equal(
            got[33][name], column, equal_nan=True
        )
