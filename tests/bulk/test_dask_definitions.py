"""read_packets with packet definitions on a real two-process cluster: every
type's and child table's rows, and the faults and unmatched packets, against
Definitions.decode over each file in turn."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

from tests.support.random_definitions import random_definitions
from tests.support.streams import stream

distributed = pytest.importorskip(
    "distributed", reason='needs the dask extra (pip install ".[dask]")'
)
dask = pytest.importorskip("dask")
pd = pytest.importorskip("pandas")
from bitloom_bulk.dask import read_packets  # noqa: E402

TIMEOUT = 60


def _fixed_files(tmp_path, count, packets, size):
    paths = []
    for i in range(count):
        rng = np.random.default_rng(i)
        raw = rng.integers(0, 256, size * packets, dtype=np.uint8)
        raw[::size] &= 0x3F  # small counters, so most sizes and counts fit
        path = tmp_path / f"part-{i}.bin"
        path.write_bytes(raw.tobytes())
        paths.append(str(path))
    return paths


def _ccsds_files(tmp_path, count, packets):
    paths = []
    for i in range(count):
        rng = np.random.default_rng(100 + i)
        data = bytearray(stream(rng.integers(0, 3, packets), rng.integers(40, 70, packets), rng))
        at = 0
        while at < len(data):
            data[at] &= 0x3F
            at += int.from_bytes(data[at + 4 : at + 6], "big") + 7
        path = tmp_path / f"stream-{i}.bin"
        path.write_bytes(bytes(data))
        paths.append(str(path))
    return paths


def _serial(defs, paths, **kwargs):
    return [defs.decode(Path(p).read_bytes(), errors="skip", **kwargs) for p in paths]


def _blocks(defs, paths, per_block, **kwargs):
    """Definitions.decode of each partition's bytes in turn: a child table's
    packet counts its type's rows within the partition."""
    out = []
    for path in paths:
        data = Path(path).read_bytes()
        step = per_block or len(data)
        out += [
            defs.decode(data[at : at + step], errors="skip", **kwargs)
            for at in range(0, len(data), step)
        ]
    return out


def _same(frame, serial, name):
    want = [s.to_pandas()[name] for s in serial]
    assert list(frame.columns) == list(want[0].columns)
    for column in frame.columns:
        got = frame[column].to_numpy()
        expected = np.concatenate([w[column].to_numpy() for w in want])
        if expected.dtype == object:
            # Dask holds text as its string type (None as NA), bytes as Arrow binary.
            got = [None if v is None or v is pd.NA or v != v else v for v in got.tolist()]
            assert got == expected.tolist(), (name, column)
            continue
        assert got.dtype == expected.dtype, (name, column)
        if got.dtype.kind == "f":
            assert np.array_equal(got, expected, equal_nan=True), (name, column)
        else:
            assert got.tolist() == expected.tolist(), (name, column)


@pytest.mark.parametrize(("seed", "blocksize"), [(3, 64 * 7), (8, "file"), (11, 64 * 2)])
def test_fixed_size_files_equal_serial_decode(client, tmp_path, seed, blocksize):
    defs = random_definitions(seed)
    paths = _fixed_files(tmp_path, 3, 40, 64)
    frames = read_packets(paths, defs, packet_bytes=64, blocksize=blocksize, errors="skip")
    serial = _serial(defs, paths, packet_bytes=64)
    blocks = _blocks(defs, paths, None if blocksize == "file" else blocksize, packet_bytes=64)
    names = list(frames)
    assert names == list(serial[0])
    computed = client.gather(client.compute([frames[n] for n in names]))
    for name, frame in zip(names, computed, strict=True):
        # The rows are the serial decode's; a child table's packet is counted in
        # its partition, as decoding each block on its own counts it.
        _same(frame, blocks if "/" in name else serial, name)
    report = client.compute(frames.report).result(timeout=TIMEOUT)
    want = [
        (path, f.offset, f.type, f.item, f.message, f.severity)
        for path, s in zip(paths, serial, strict=True)
        for f in s.faults
    ]
    assert report.faults == want
    unmatched = {}
    for s in serial:
        for key, count in s.unmatched.items():
            unmatched[key] = unmatched.get(key, 0) + count
    assert report.unmatched == unmatched


@pytest.mark.parametrize("seed", [3, 8, 11])
def test_threads_each_reading_into_their_own_buffer(tmp_path, seed):
    """Many small partitions read by four threads of one process, each into
    the buffer its thread keeps from one partition to the next, computed
    together (every result outlives later reads): all equal to the serial
    decode."""
    defs = random_definitions(seed)
    paths = _fixed_files(tmp_path, 4, 120, 64)
    frames = read_packets(paths, defs, packet_bytes=64, blocksize=64 * 5, errors="skip")
    serial = _serial(defs, paths, packet_bytes=64)
    blocks = _blocks(defs, paths, 64 * 5, packet_bytes=64)
    names = list(frames)
    with dask.config.set(scheduler="threads", num_workers=4):
        computed = dask.compute(*[frames[n] for n in names])
    for name, frame in zip(names, computed, strict=True):
        _same(frame, blocks if "/" in name else serial, name)


def test_ccsds_streams_equal_serial_decode(client, tmp_path):
    defs = random_definitions(5)
    paths = _ccsds_files(tmp_path, 2, 60)
    frames = read_packets(paths, defs, errors="skip")
    serial = _serial(defs, paths)
    names = list(frames)
    computed = client.gather(client.compute([frames[n] for n in names]))
    for name, frame in zip(names, computed, strict=True):
        _same(frame, serial, name)
    report = client.compute(frames.report).result(timeout=TIMEOUT)
    assert len(report.faults) == sum(len(s.faults) for s in serial)


def test_meta_from_the_definitions_alone(tmp_path):
    defs = random_definitions(3)
    paths = _fixed_files(tmp_path, 1, 5, 64)
    frames = read_packets(paths, defs, packet_bytes=64, errors="skip")
    computed = dask.compute(*frames.values(), scheduler="sync")
    for frame, got in zip(frames.values(), computed, strict=True):
        assert dict(frame.dtypes) == dict(got.dtypes)


def test_a_fault_raises_naming_the_file(tmp_path):
    defs = random_definitions(11)
    paths = _fixed_files(tmp_path, 2, 40, 64)
    serial = _serial(defs, paths, packet_bytes=64)
    if not any(f.severity == "error" for s in serial for f in s.faults):
        pytest.skip("this seed's packets decode without an error")
    frames = read_packets(paths, defs, packet_bytes=64)
    with pytest.raises(Exception) as info:
        dask.compute(*frames.values(), scheduler="sync")
    assert any("while reading" in note and "part-" in note for note in info.value.__notes__)


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        ({"apid": 3}, TypeError),
        ({"errors": "ignore"}, ValueError),
    ],
)
def test_bad_arguments_with_definitions(tmp_path, kwargs, error):
    paths = _fixed_files(tmp_path, 1, 2, 64)
    with pytest.raises(error):
        read_packets(paths, random_definitions(3), **kwargs)


def test_errors_and_derived_go_with_definitions_only(tmp_path):
    paths = _fixed_files(tmp_path, 1, 2, 64)
    recipe = [
        {"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False}
    ]
    with pytest.raises(TypeError, match="go with packet definitions"):
        read_packets(paths, recipe, packet_bytes=64, errors="skip")


def _enumerated_definitions():
    from bitloom_bulk import Definitions, PacketType, field

    items = [
        # Keys out of order, two raw values of one label.
        field("mode", "unsigned", 8, enumeration={3: "three", 2: "one", 1: "one", 200: "high"}),
        field("s", "twos_complement", 8, enumeration={7: "seven", -5: "minus", 0: "zero"}),
        # Raw values too far apart for a table by value.
        field("wide", "unsigned", 32, enumeration={4_000_000_000: "b", 0: "a"}),
        # More labels than int8 codes hold.
        field("mid", "unsigned", 16, enumeration={v: f"m{v}" for v in range(0, 1 << 16, 3)}),
        field("name", "us_ascii", 16),
        field("arr", "unsigned", 4, count=3, enumeration={15: "f", 0: "z"}),
        field("n", "unsigned", 2),
        field("xs", "unsigned", 4, count={"field": "n"}, enumeration={2: "x2", 1: "x1"}),
    ]
    return Definitions([PacketType("t", items)])


def _enumerated_files(tmp_path, count, packets):
    paths = []
    for i in range(count):
        rng = np.random.default_rng(40 + i)
        raw = rng.integers(0, 256, (packets, 16), dtype=np.uint8)
        raw[:, 0] = rng.choice([0, 1, 2, 3, 200, 255], packets)
        raw[:, 1] = rng.choice([0, 7, 0xFB, 0x80, 5], packets)  # 0xFB: -5
        wide = rng.choice([0, 4_000_000_000, 17], packets).astype(">u4")
        raw[:, 2:6] = wide.view(np.uint8).reshape(packets, 4)
        raw[:, 8:10] = rng.integers(0x41, 0x5B, (packets, 2))  # text: capitals
        path = tmp_path / f"enum-{i}.bin"
        path.write_bytes(raw.tobytes())
        paths.append(str(path))
    return paths


@pytest.mark.parametrize("convert", [True, False])
def test_enumerations_are_categoricals_of_their_labels(client, tmp_path, convert):
    """Enumerated columns (plain, fixed arrays, counted arrays) are
    categoricals whose values are the serial decode's labels, missing where
    the raw value has none; text is Arrow strings when Dask converts text."""
    defs = _enumerated_definitions()
    paths = _enumerated_files(tmp_path, 2, 300)
    with dask.config.set({"dataframe.convert-string": convert}):
        frames = read_packets(paths, defs, packet_bytes=16, blocksize=16 * 70, errors="skip")
    serial = _serial(defs, paths, packet_bytes=16)
    blocks = _blocks(defs, paths, 16 * 70, packet_bytes=16)
    computed = dict(zip(frames, client.gather(client.compute(list(frames.values()))), strict=True))
    for name, frame in computed.items():
        assert dict(frame.dtypes) == dict(frames[name].dtypes), name
        _same(frame, blocks if "/" in name else serial, name)
    table, child = computed["t"], computed["t/xs"]
    categories = {
        "mode": ["one", "three", "high"],
        "s": ["minus", "zero", "seven"],
        "wide": ["a", "b"],
        **{f"arr[{k}]": ["z", "f"] for k in range(3)},
    }
    for column, labels in categories.items():
        assert list(table[column].cat.categories) == labels, column
    assert list(child["xs"].cat.categories) == ["x1", "x2"]
    mid = table["mid"].cat
    assert len(mid.categories) == 21846 and list(mid.categories[:2]) == ["m0", "m3"]
    # Every kind of value is there: labelled ones and missing ones.
    for column in [*categories, "mid"]:
        assert 0 < table[column].isna().sum() < len(table), column
    assert child["xs"].isna().any() and child["xs"].notna().any()
    text = table["name"].dtype
    assert text == (pd.StringDtype("pyarrow") if convert else np.dtype(object))
