"""The data quality of split_ccsds and unpack_ccsds: what a StreamDecoder fed
the same bytes in any pieces reports, and bytes that stop looking like packets."""

from __future__ import annotations

import numpy as np
import pytest

import bitloom_bulk as bb
from bitloom_bulk import StreamDecoder
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


def test_a_packet_fault_behind_a_left_out_packet_says_how_it_is_counted():
    data, _ = _quality_stream(0)
    frames = bb.split_ccsds(data, crc={5: "ccitt"})
    assert frames.quality.crc_faults
    too_far = {6: [bb.field("w", "unsigned", 8, offset_bits=8 * 40)]}
    with pytest.raises(ValueError) as info:
        bb.unpack_ccsds(data, too_far, crc={5: "ccitt"})
    n = len(frames.quality.crc_faults)
    assert info.value.__notes__[-1] == (
        "(packet numbers and bytes above count the stream without the"
        f" {n} packets that failed their CRC check)"
    )


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
