"""The data quality of split_ccsds and unpack_ccsds: what a StreamDecoder fed
the same bytes in any pieces reports, and bytes that stop looking like packets."""

from __future__ import annotations

import numpy as np
import pytest

import bitloom_bulk as bb
from bitloom_bulk import StreamDecoder, _native, _quality
from tests.bulk.test_live import RECIPES, _joined, _model_quality, _quality_stream, _same
from tests.support import streams
from tests.support.realdata import REALDATA, needs_realdata


def _pieces(data, rng, cuts):
    at = np.sort(rng.integers(0, len(data) + 1, size=cuts)).tolist()
    return [data[a:b] for a, b in zip([0, *at], [*at, len(data)], strict=True)]


def _fields(quality):
    return (
        quality.packets,
        [tuple(g) for g in quality.gaps],
        [tuple(r) for r in quality.repeats],
        quality.idle,
        [tuple(f) for f in quality.crc_faults],
        quality.garbage_at,
    )


@pytest.mark.parametrize("seed", range(10))
@pytest.mark.parametrize(
    ("crc", "crc_apids"), [(None, set()), ("ccitt", {5, 6}), ({5: "ccitt"}, {5})]
)
def test_one_call_reports_what_a_stream_decoder_in_pieces_reports(seed, crc, crc_apids):
    data, _ = _quality_stream(seed)
    rng = np.random.default_rng(seed)
    stream = StreamDecoder(RECIPES, crc=crc)
    results = [stream.feed(p) for p in _pieces(data, rng, int(rng.integers(1, 12)))]
    stream.close()
    frames = bb.split_ccsds(data, crc=crc)
    assert _fields(frames.quality) == _fields(stream.quality)
    gaps, repeats, faults, _ = _model_quality(data, crc_apids, skip_idle=True)
    assert _fields(frames.quality)[1:5] == (
        gaps,
        repeats,
        int((frames.apids == 2047).sum()),
        faults,
    )
    if crc is None:
        assert bb.unpack_ccsds(data, RECIPES).quality is None
        return
    one = bb.unpack_ccsds(data, RECIPES, crc=crc)
    assert _fields(one.quality) == _fields(stream.quality)
    # Packets failing their CRC leave the tables and the skipped counts alike;
    # idle packets, which a StreamDecoder leaves out, stay counted in skipped.
    assert one.skipped.pop(2047) == one.quality.idle > 0
    _same(one, _joined(results))


def test_idle_packets_stay_in_the_frames_and_are_counted():
    data = streams.stream([5, 2047, 5, 2047, 2047], [9, 12, 9, 7, 8], np.random.default_rng(0))
    frames = bb.split_ccsds(data, crc="ccitt")
    assert frames.apids.tolist() == [5, 2047, 5, 2047, 2047]
    assert frames.quality.idle == 3
    # Idle packets are fill: under "ccitt" for every APID their CRC is not checked.
    assert {f.apid for f in frames.quality.crc_faults} == {5}
    assert frames.quality.packets == {5: 2, 2047: 3}


def test_positions_count_from_the_start_of_the_data_past_an_offset():
    data, _ = _quality_stream(3)
    lead = b"\xff" * 5
    base = bb.split_ccsds(data, crc="ccitt").quality
    shifted = bb.split_ccsds(lead + data, offset=5, crc="ccitt").quality
    assert shifted.crc_faults == [f._replace(offset=f.offset + 5) for f in base.crc_faults]
    assert shifted.gaps == base.gaps and shifted.repeats == base.repeats
    assert base.crc_faults  # the stream holds faults to move
    _same(
        bb.unpack_ccsds(lead + data, RECIPES, offset=5, crc="ccitt"),
        bb.unpack_ccsds(data, RECIPES, crc="ccitt"),
    )


@pytest.mark.parametrize("seed", range(4))
def test_a_packet_fault_behind_left_out_packets_names_its_row_and_its_bytes(seed):
    data, _ = _quality_stream(seed)
    frames = bb.split_ccsds(data, crc={5: "ccitt"})
    failed = {f.packet for f in frames.quality.crc_faults}
    assert failed  # APID 5 packets left out, before and after the one that faults
    # A field past the end of all but the longest packets of APID 5: the first
    # kept packet shorter than 29 bytes faults.
    late = {5: [bb.field("w", "unsigned", 8, offset_bits=8 * 28)]}
    kept = [p for p in range(len(frames.offsets)) if frames.apids[p] == 5 and p not in failed]
    row = next(i for i, p in enumerate(kept) if frames.lengths[p] <= 28)
    at, size = int(frames.offsets[kept[row]]), int(frames.lengths[kept[row]])
    with pytest.raises(ValueError) as info:
        bb.unpack_ccsds(data, late, crc={5: "ccitt"})
    notes = info.value.__notes__
    assert f"in packet {row} (bytes {at} to {at + size} of the data)" in notes
    left_out = "(the packet number above counts only the packets of APID 5 that passed"
    assert any(n.startswith(left_out) for n in notes)
    # Checking another APID's CRCs leaves APID 5's numbering alone.
    with pytest.raises(ValueError) as info:
        bb.unpack_ccsds(data, late, crc={6: "ccitt"})
    ours = np.flatnonzero(frames.apids == 5)
    first = next(i for i, p in enumerate(ours) if frames.lengths[p] <= 28)
    assert not any(n.startswith(left_out) for n in info.value.__notes__)
    assert any(n.startswith(f"in packet {first} ") for n in info.value.__notes__)


def _with_crcs(data, rng, apids_with_crc, wrong):
    """The stream with a CRC at the end of every packet of those APIDs (the
    kernel that test_crc checks against the polynomial writes them), a share
    ``wrong`` of them with one bit flipped."""
    frames = bb.split_ccsds(data)
    rows = np.flatnonzero(np.isin(frames.apids, sorted(apids_with_crc)))
    crcs, _ = _native.packet_crcs(data, frames.offsets[rows], frames.lengths[rows])
    flips = (rng.random(len(rows)) < wrong) << rng.integers(0, 16, len(rows))
    crcs = crcs ^ flips.astype(np.uint16)
    buf = np.frombuffer(data, dtype=np.uint8).copy()
    ends = frames.offsets[rows] + frames.lengths[rows]
    buf[ends - 2] = crcs >> 8
    buf[ends - 1] = crcs & 0xFF
    return buf.tobytes()


@pytest.mark.parametrize(
    ("seed", "crc"), [(0, "ccitt"), (1, {5: "ccitt", 9: "ccitt"}), (2, {6: "ccitt", 2047: "ccitt"})]
)
def test_checked_decoding_of_many_runs_against_framing_and_the_kept_bytes(seed, crc):
    # Past 65,536 wanted packets the decoder works run by run: failures in
    # every run, APIDs of one length (5), of many (6), without a recipe (9),
    # and idle packets, which no CRC check touches.
    rng = np.random.default_rng(seed)
    n = 150_000
    apids = rng.choice([5, 6, 9, 2047], size=n, p=[0.5, 0.3, 0.15, 0.05])
    lengths = np.where(apids == 5, 19, rng.integers(9, 60, size=n))
    data = _with_crcs(streams.stream(apids, lengths, rng), rng, {5, 6, 9}, 0.01)
    recipes = {
        5: [bb.field("a", "unsigned", 8, offset_bits=48), bb.field("t", "latin1", 32)],
        6: [bb.field("w", "unsigned", 16), bb.field("x", "twos_complement", 12, offset_bits=52)],
    }
    got = bb.unpack_ccsds(data, recipes, crc=crc)
    frames = bb.split_ccsds(data, crc=crc)
    assert _fields(got.quality) == _fields(frames.quality)
    assert {f.apid for f in got.quality.crc_faults} == set(
        crc if isinstance(crc, dict) else {5, 6, 9}
    ) - {2047}
    keep = np.ones(len(frames.offsets), dtype=bool)
    keep[[f.packet for f in got.quality.crc_faults]] = False
    want = bb.unpack_ccsds(_quality.kept_bytes(data, frames, keep, 0), recipes)
    _same(got, want)


# -- bytes that are not packets ---------------------------------------------------

GOOD = streams.stream([5, 6, 5, 6, 5], [12, 9, 14, 10, 12], np.random.default_rng(7))
AT = [0, 12, 21, 35, 45]  # where each packet of GOOD begins


@pytest.mark.parametrize(
    ("garbage", "where"),
    [
        (b"\xff\xff\xff", 2),  # version 7 between packets
        (b"hello, world", 3),  # text: version 3
        (b"\x20" + bytes(9), 1),  # version 1, the nearest to 0
        (b"\xe0\x00\x00\x00\xff\xff", 4),  # declares more bytes than follow
        (b"\x40", 5),  # one byte after the last packet
    ],
)
def test_garbage_between_packets_is_reported_where_it_begins(garbage, where):
    at = AT[where] if where < len(AT) else len(GOOD)
    data = GOOD[:at] + garbage + GOOD[at:]
    frames = bb.split_ccsds(data, allow_partial=True)
    assert frames.quality.garbage_at == at
    assert frames.offsets[:where].tolist() == AT[:where]
    message = (
        f"the bytes at byte {at} (packet {where}) do not look like a CCSDS packet:"
        f" version field {garbage[0] >> 5}, not the stream's 0"
    )
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        bb.unpack_ccsds(data, RECIPES, crc="ccitt")
    for cut in range(len(data) + 1):
        stream = StreamDecoder(RECIPES)
        got = [stream.feed(data[:cut])]
        try:
            got.append(stream.feed(data[cut:]))
        except ValueError as exc:
            assert str(exc).startswith(message), exc
            assert cut > at  # the first feed already met the garbage
        with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
            stream.close()
        # The packets before the garbage are decoded, none after it.
        assert stream.packets == where, cut
        assert stream.quality.garbage_at == at
        _same(_joined(got), bb.unpack_ccsds(GOOD[:at], RECIPES))


@pytest.mark.parametrize("cut", [1, 5, 6, 11])
def test_a_stream_cut_short_raises_as_without_a_check(cut):
    data = GOOD[: AT[2] + cut]
    with pytest.raises(ValueError) as plain:
        bb.unpack_ccsds(data, RECIPES)
    with pytest.raises(ValueError) as checked:
        bb.unpack_ccsds(data, RECIPES, crc="ccitt")
    assert checked.value.args == plain.value.args


def _with_version(data, version):
    """The stream with the version field of every header set to ``version``."""
    out = bytearray(data)
    for at in bb.split_ccsds(data).offsets.tolist():
        out[at] = (out[at] & 0x1F) | (version << 5)
    return bytes(out)


def test_the_stream_s_own_version_is_the_one_headers_are_held_to():
    # Some generators write version 1 in every header (the ccsdspy test files
    # of the shared real data do): such a stream is read whole, and a header of
    # version 0 in it is where its bytes stop looking like packets.
    ones = _with_version(GOOD, 1)
    assert bb.split_ccsds(ones).quality.garbage_at is None
    stream = StreamDecoder(RECIPES)
    got = [stream.feed(ones[:20]), stream.feed(ones[20:])]
    stream.close()
    _same(_joined(got), bb.unpack_ccsds(ones, RECIPES))
    data = ones[: AT[3]] + bytes(7) + ones[AT[3] :]
    assert bb.split_ccsds(data).quality.garbage_at == AT[3]
    with pytest.raises(ValueError, match="version field 0, not the stream's 1"):
        bb.unpack_ccsds(data, RECIPES, crc="ccitt")
    # The version comes from the stream's first header (at a cut of 5 bytes,
    # from its first byte alone), not from each piece's.
    for cut in (5, AT[3]):
        stream = StreamDecoder(RECIPES)
        stream.feed(data[:cut])
        stream.feed(data[cut:])
        assert (stream.packets, stream.quality.garbage_at) == (3, AT[3]), cut


@needs_realdata
def test_real_streams_of_another_version_decode_in_pieces():
    path = REALDATA / "ccsdspy" / "byte_order" / "byteorder_1234.bin"
    if not path.is_file():
        pytest.skip(f"{path} is not in the real-data corpus")
    data = path.read_bytes()
    frames = bb.split_ccsds(data)
    assert (data[0] >> 5, frames.quality.garbage_at) == (1, None)
    recipes = {226: [bb.field("w", "unsigned", 32, offset_bits=48)]}
    stream = StreamDecoder(recipes)
    got = [stream.feed(data[i : i + 100]) for i in range(0, len(data), 100)]
    stream.close()
    _same(_joined(got), bb.unpack_ccsds(data, recipes))
    assert stream.packets == len(frames.offsets) == 10
