"""read_packets over CCSDS files cut into stripes at packet boundaries found by
framing tasks: the rows against a serial decode of each file, at every kind of
stripe end; the data quality joined across partitions against one pass over
the files' bytes end to end; files changed after planning."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

import bitloom_bulk as bb
from tests.bulk.test_live import _definitions, _quality_stream
from tests.support import streams

pytest.importorskip("distributed", reason='needs the dask extra (pip install ".[dask]")')
dask = pytest.importorskip("dask")
pd = pytest.importorskip("pandas")
from bitloom_bulk.dask import read_packets  # noqa: E402

RECIPE = [
    bb.field("apid", "unsigned", 11, offset_bits=5),
    bb.field("count", "unsigned", 14, offset_bits=18),
    bb.field("last", "unsigned", 8, offset_bits=48),
]


def _files(tmp_path, sizes):
    """CCSDS files of mixed APIDs, packets of 7 to 300 bytes (some longer
    than the smaller stripes)."""
    paths = []
    for i, n in enumerate(sizes):
        rng = np.random.default_rng(40 + i)
        lengths = np.where(rng.random(n) < 0.1, rng.integers(200, 300, n), rng.integers(7, 40, n))
        path = tmp_path / f"s{i}.bin"
        path.write_bytes(streams.stream(rng.integers(0, 4, n), lengths, rng))
        paths.append(str(path))
    return paths


def _serial(paths):
    frames = []
    for path in paths:
        data = Path(path).read_bytes()
        split = bb.split_ccsds(data)
        columns = bb.unpack_columns(data, RECIPE, offsets=split.offsets, lengths=split.lengths)
        frames.append(pd.DataFrame(columns, index=pd.RangeIndex(len(split.offsets), name="packet")))
    return pd.concat(frames)


@pytest.mark.parametrize(
    ("blocksize", "packets", "piece"),
    [
        (1, [12, 1], None),
        (5, [25], None),
        (6, [25, 2], None),
        (7, [40, 1], None),
        (13, [60, 5], None),
        (64, [200, 1, 40], None),
        (299, [300, 1], None),
        (301, [300], None),
        (4096, [300, 40], None),
        ("file", [300, 1, 40], None),
        # Boundaries framed a few bytes at a time: pieces that end inside
        # headers and bodies, and packets spanning several pieces.
        (64, [200, 1, 40], 5),
        (301, [300], 7),
        (4096, [300, 40], 100),
    ],
)
def test_stripes_equal_a_serial_decode_wherever_they_end(
    tmp_path, monkeypatch, blocksize, packets, piece
):
    # Stripe ends fall on packet starts, inside headers, inside bodies, on a
    # packet's last byte, and within packets longer than a stripe (empty
    # stripes then).
    if piece is not None:
        monkeypatch.setattr("bitloom_bulk._dask_parts._PIECE", piece)
    paths = _files(tmp_path, packets)
    frame = read_packets(paths, RECIPE, blocksize=blocksize)
    sizes = [Path(p).stat().st_size for p in paths]
    if blocksize != "file":
        assert frame.npartitions == sum(-(-s // blocksize) if s > blocksize else 1 for s in sizes)
    got = frame.compute(scheduler="sync")
    want = _serial(paths)
    assert got.index.tolist() == want.index.tolist()
    for column in want.columns:
        assert got[column].dtype == want[column].dtype
        assert got[column].tolist() == want[column].tolist(), column


def test_stripes_on_a_cluster_with_definitions_and_quality(client, tmp_path):
    # Streams with CRCs on APID 5 (some wrong), gaps, repeats, the 14-bit wrap
    # and idle packets; quality joined over stripes and files.
    paths = []
    for seed in range(3):
        data, _ = _quality_stream(seed)
        path = tmp_path / f"q{seed}.bin"
        path.write_bytes(data)
        paths.append(str(path))
    whole = b"".join(Path(p).read_bytes() for p in paths)
    defs = _definitions()
    for crc in (None, {5: "ccitt"}, "ccitt"):
        frames = read_packets(paths, defs, blocksize=200, errors="skip", quality=True, crc=crc)
        names = list(frames)
        *computed, quality, report = client.gather(
            client.compute([*frames.values(), frames.quality, frames.report])
        )
        tables = dict(zip(names, computed, strict=True))
        want = bb.split_ccsds(whole, crc=crc).quality
        if crc is None:  # quality without CRCs: split_ccsds's framing quality
            want = bb.split_ccsds(whole, crc={}).quality
        assert quality == want, crc
        # The tables: a serial decode of each file without the packets that failed.
        failed = {f.offset for f in want.crc_faults}
        kept = b""
        at = 0
        for path in paths:
            data = Path(path).read_bytes()
            split = bb.split_ccsds(data)
            for o, n in zip(split.offsets.tolist(), split.lengths.tolist(), strict=True):
                if at + o not in failed:
                    kept += data[o : o + n]
            at += len(data)
        serial = defs.decode(kept, errors="skip")
        for name in ("hk", "raw"):
            want_rows = serial.to_pandas()[name].reset_index(drop=True)
            got_rows = tables[name].reset_index(drop=True)
            assert got_rows["sequence_count"].tolist() == want_rows["sequence_count"].tolist()
            assert got_rows.astype(str).equals(want_rows.astype(str)), (name, crc)
        assert len(report.faults) == len(serial.faults)


@pytest.mark.parametrize("change", ["truncated", "grown", "length field"])
def test_a_file_changed_after_planning_fails_naming_it(tmp_path, change):
    paths = _files(tmp_path, [200])
    frame = read_packets(paths, RECIPE, blocksize=500)
    data = bytearray(Path(paths[0]).read_bytes())
    if change == "truncated":
        data = data[: len(data) - 300]
    elif change == "grown":
        data += bytes(20)
    else:  # a packet past the middle now declares more bytes than the file holds
        split = bb.split_ccsds(bytes(data))
        at = int(split.offsets[len(split.offsets) // 2])
        data[at + 4 : at + 6] = b"\xff\xff"
    Path(paths[0]).write_bytes(bytes(data))
    with pytest.raises((OSError, ValueError)) as info:
        frame.compute(scheduler="sync")
    assert any(paths[0] in note for note in getattr(info.value, "__notes__", [])) or paths[
        0
    ] in str(info.value)


def test_quality_goes_with_definitions_over_streams(tmp_path):
    paths = _files(tmp_path, [5])
    with pytest.raises(TypeError, match="quality and crc go with packet definitions"):
        read_packets(paths, RECIPE, crc="ccitt")
    with pytest.raises(TypeError, match="quality and crc go with packet definitions"):
        read_packets(paths, _definitions(), packet_bytes=10, quality=True)
