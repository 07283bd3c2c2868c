"""bitloom_bulk.dask on a real cluster: two worker processes on the loopback
interface decode a generated archive, and every result is compared row for row
with the serial column decoder over the same files."""

from __future__ import annotations

import importlib
import os
import shutil
import sys

import numpy as np
import pytest

import bitloom_bulk
from tests.support.archives import (
    EVENTS,
    EVENTS_BYTES,
    EVENTS_TEXT,
    TELEMETRY,
    TELEMETRY_BYTES,
    ccsds_archive,
    fixed_archive,
)
from tests.support.streams import fixed_stream

try:
    import distributed

    from bitloom_bulk.dask import DEFAULT_BLOCKSIZE, DISTRIBUTION, read_packets
except ImportError:
    distributed = None

needs_dask = pytest.mark.skipif(
    distributed is None, reason='needs the dask extra (pip install ".[dask]")'
)
pytestmark = pytest.mark.skipif(
    not hasattr(bitloom_bulk, "unpack_columns"),
    reason="this build of bitloom_bulk has no column decoder",
)

TIMEOUT = 60  # seconds any one computation may take before the test fails
FIXED_FILES = 4
CCSDS_FILES = 3


def test_import_without_the_extra_names_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "dask", None)
    monkeypatch.setitem(sys.modules, "dask.dataframe", None)
    monkeypatch.delitem(sys.modules, "bitloom_bulk.dask", raising=False)
    with pytest.raises(ImportError) as info:
        importlib.import_module("bitloom_bulk.dask")
    assert '[dask]"' in str(info.value)
    if distributed is not None:
        assert f'pip install "{DISTRIBUTION}[dask]"' in str(info.value)
    assert "pip install" in str(info.value)


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    root = tmp_path_factory.mktemp("archive")
    return {
        "root": root,
        "fixed": fixed_archive(str(root / "fixed"), FIXED_FILES, 300),
        "ccsds": ccsds_archive(str(root / "ccsds"), CCSDS_FILES, 400),
    }


def compute(client, df):
    return client.compute(df).result(timeout=TIMEOUT)


def failure(client, df):
    """The exception the computation of ``df`` raises."""
    with pytest.raises(Exception) as info:
        compute(client, df)
    return info.value


def serial_error(function, *args, **kwargs):
    with pytest.raises(Exception) as info:
        function(*args, **kwargs)
    return info.value


def read(path):
    with open(path, "rb") as f:
        return f.read()


def concat(parts):
    names = list(parts[0])
    return {name: np.concatenate([part[name] for part in parts]) for name in names}


def assert_same_rows(frame, columns):
    """``frame`` holds exactly ``columns``, row for row: numeric columns with the
    same dtype and bits (floats by their bits, NaNs included), texts equal."""
    assert list(frame.columns) == list(columns)
    for name, column in columns.items():
        got = frame[name]
        assert len(got) == len(column), name
        if column.dtype == object:
            assert got.tolist() == column.tolist(), name
        else:
            assert got.dtype == column.dtype, name
            assert got.to_numpy().tobytes() == column.tobytes(), name


def serial_fixed(paths):
    return concat(
        [
            bitloom_bulk.unpack_columns(read(p), TELEMETRY, packet_bytes=TELEMETRY_BYTES)
            for p in paths
        ]
    )


def serial_stream(data, apid, recipe):
    """The serial path for one APID of a stream: frame it, decode that APID's packets."""
    split = bitloom_bulk.split_ccsds(data)
    chosen = np.flatnonzero(split.apids == apid)
    columns = bitloom_bulk.unpack_columns(
        data, recipe, offsets=split.offsets[chosen], lengths=split.lengths[chosen]
    )
    return columns, chosen


def serial_ccsds(paths, apid, recipe):
    parts, numbers = zip(*(serial_stream(read(path), apid, recipe) for path in paths), strict=True)
    return concat(list(parts)), list(numbers)


# --- the cluster's dataframe equals the serial decoder ---------------------------


@needs_dask
@pytest.mark.parametrize(
    "blocksize, packets_per_partition",
    [
        (None, None),  # the default: these small files are one block each
        ("file", None),
        (100 * TELEMETRY_BYTES, 100),
        (37 * TELEMETRY_BYTES + 5, 37),  # rounded down to whole packets
        (1, 1),  # at least one packet per partition
    ],
)
def test_fixed_length_archive_equals_serial_decode(
    client, archive, blocksize, packets_per_partition
):
    # A partition per packet: one file keeps that graph small.
    paths = archive["fixed"][:1] if packets_per_partition == 1 else archive["fixed"]
    df = read_packets(paths, TELEMETRY, packet_bytes=TELEMETRY_BYTES, blocksize=blocksize)
    result = compute(client, df)
    assert_same_rows(result, serial_fixed(paths))
    counts = [os.path.getsize(p) // TELEMETRY_BYTES for p in paths]
    assert result.index.tolist() == [i for n in counts for i in range(n)]
    lengths = compute(client, df.map_partitions(len))
    if packets_per_partition is None:
        assert lengths.tolist() == counts
    else:
        assert df.npartitions == sum(-(-n // packets_per_partition) for n in counts)
        assert max(lengths) == packets_per_partition
        assert sum(lengths) == sum(counts)


@needs_dask
@pytest.mark.parametrize("apid, recipe", [(0x1AB, TELEMETRY), (0x2C, EVENTS)])
def test_mixed_apid_streams_equal_serial_decode(client, archive, apid, recipe):
    df = read_packets(archive["ccsds"], recipe, apid=apid)
    assert df.npartitions == CCSDS_FILES
    result = compute(client, df)
    columns, numbers = serial_ccsds(archive["ccsds"], apid, recipe)
    assert len(result) > 0
    assert_same_rows(result, columns)
    assert result.index.to_numpy().tolist() == np.concatenate(numbers).tolist()


@needs_dask
def test_glob_takes_the_files_sorted_by_name(client, archive):
    pattern = os.path.join(os.path.dirname(archive["fixed"][0]), "tm-*.bin")
    by_glob = compute(client, read_packets(pattern, TELEMETRY, packet_bytes=TELEMETRY_BYTES))
    assert_same_rows(by_glob, serial_fixed(sorted(archive["fixed"])))
    reversed_list = list(reversed(archive["fixed"]))
    by_list = compute(client, read_packets(reversed_list, TELEMETRY, packet_bytes=TELEMETRY_BYTES))
    assert_same_rows(by_list, serial_fixed(reversed_list))


@needs_dask
def test_threaded_scheduler_gives_the_same_rows(archive):
    df = read_packets(archive["ccsds"], EVENTS, apid=0x2C)
    result = df.compute(scheduler="threads", num_workers=2)
    assert_same_rows(result, serial_ccsds(archive["ccsds"], 0x2C, EVENTS)[0])


@needs_dask
def test_sum_per_column_equals_numpy(client, archive):
    df = read_packets(archive["fixed"], TELEMETRY, packet_bytes=TELEMETRY_BYTES, blocksize=4096)
    sums = compute(client, df[["seconds", "temperature", "current"]].sum())
    columns = serial_fixed(archive["fixed"])
    for name in ("seconds", "temperature", "current"):
        assert sums[name] == columns[name].astype(np.int64).sum()


# --- meta comes from the recipe alone ------------------------------------------


@needs_dask
@pytest.mark.parametrize(
    "recipe, options",
    [
        (TELEMETRY, {"packet_bytes": TELEMETRY_BYTES, "blocksize": "file"}),
        (EVENTS, {"apid": 0x2C}),
    ],
)
def test_meta_without_reading_any_file(tmp_path, recipe, options):
    # Files whose contents no recipe decodes: building the graph sizes them
    # but never reads them.
    files = [tmp_path / "garbage-1.bin", tmp_path / "garbage-2.bin"]
    for path in files:
        path.write_bytes(b"\xff" * 7)
    df = read_packets([str(path) for path in files], recipe, **options)
    assert df.npartitions == 2
    assert list(df.columns) == [item["name"] for item in recipe]
    empty = bitloom_bulk.unpack_columns(b"", recipe, packet_bytes=1)
    for name, column in empty.items():
        if column.dtype != object:
            assert df.dtypes[name] == column.dtype, name
    assert df.index.name == "packet"


@needs_dask
def test_meta_matches_the_computed_partitions(client, archive):
    df = read_packets(archive["ccsds"], EVENTS, apid=0x2C)
    result = compute(client, df)
    assert result.dtypes.to_dict() == df.dtypes.to_dict()
    for name in EVENTS_TEXT:
        assert all(isinstance(value, str) for value in result[name])


@needs_dask
@pytest.mark.parametrize("options", [{"packet_bytes": TELEMETRY_BYTES}, {"apid": 0x2C}])
def test_sizes_of_files_are_looked_up_when_building(tmp_path, options):
    missing = str(tmp_path / "missing.bin")
    with pytest.raises(FileNotFoundError) as info:
        read_packets([missing], TELEMETRY, **options)
    assert any(missing in note for note in info.value.__notes__)


@needs_dask
def test_default_blocksize_is_whole_packets(tmp_path):
    path = tmp_path / "big.bin"
    packets = DEFAULT_BLOCKSIZE // TELEMETRY_BYTES + 3
    with open(path, "wb") as f:  # sparse: only the size matters to the graph
        f.truncate(packets * TELEMETRY_BYTES)
    df = read_packets([str(path)], TELEMETRY, packet_bytes=TELEMETRY_BYTES)
    assert df.npartitions == 2


# --- faults: the serial path's exception, with a note naming the file -----------


@pytest.mark.parametrize(
    "change",
    [
        lambda item: item.pop("bits"),
        lambda item: item.update(encoding="no_such_encoding"),
        lambda item: item.update(byte_order="middle"),
        lambda item: item.update(bits="16"),
    ],
)
@needs_dask
def test_recipe_fault_raises_when_building_with_the_serial_text(archive, change):
    recipe = [dict(item) for item in TELEMETRY]
    change(recipe[8])
    expected = serial_error(
        bitloom_bulk.unpack_columns, read(archive["fixed"][0]), recipe, packet_bytes=TELEMETRY_BYTES
    )
    with pytest.raises(type(expected)) as info:
        read_packets(archive["fixed"], recipe, packet_bytes=TELEMETRY_BYTES)
    assert str(info.value) == str(expected)


def corrupt_label(path):
    """Puts an invalid UTF-8 byte into the label of the stream's 3rd event packet."""
    data = bytearray(read(path))
    split = bitloom_bulk.split_ccsds(data)
    offset = int(split.offsets[np.flatnonzero(split.apids == 0x2C)[2]])
    data[offset + EVENTS_BYTES - 2] = 0xFF
    return bytes(data)


@needs_dask
@pytest.mark.parametrize(
    "kind",
    [
        "partial packet",
        "partial packet in the last block",
        "truncated stream",
        "bad text",
        "directory",
    ],
)
def test_corrupt_file_fails_with_the_serial_text_and_its_name(client, archive, tmp_path, kind):
    fixed = [str(tmp_path / os.path.basename(p)) for p in archive["fixed"]]
    streams = [str(tmp_path / os.path.basename(p)) for p in archive["ccsds"]]
    for source, copy in zip(archive["fixed"] + archive["ccsds"], fixed + streams, strict=True):
        shutil.copyfile(source, copy)
    bad_fixed, bad_stream = fixed[1], streams[1]
    note_part = bad_stream
    if kind.startswith("partial packet"):
        with open(bad_fixed, "ab") as f:
            f.write(b"\0\0\0")
        data = read(bad_fixed)
        note_part = bad_fixed
        if kind == "partial packet":
            df = read_packets(fixed, TELEMETRY, packet_bytes=TELEMETRY_BYTES, blocksize="file")
            expected = serial_error(
                bitloom_bulk.unpack_columns, data, TELEMETRY, packet_bytes=TELEMETRY_BYTES
            )
        else:
            block = 64 * TELEMETRY_BYTES
            df = read_packets(fixed, TELEMETRY, packet_bytes=TELEMETRY_BYTES, blocksize=block)
            start = (len(data) // TELEMETRY_BYTES // 64) * block
            # The last block holds the trailing bytes; the serial decoder over
            # that block's bytes raises what the partition raises.
            expected = serial_error(
                bitloom_bulk.unpack_columns, data[start:], TELEMETRY, packet_bytes=TELEMETRY_BYTES
            )
            note_part = f"{bad_fixed} from byte {start} (packet {start // TELEMETRY_BYTES}"
    elif kind == "truncated stream":
        data = read(bad_stream)[:-3]
        with open(bad_stream, "wb") as f:
            f.write(data)
        df = read_packets(streams, EVENTS, apid=0x2C)
        expected = serial_error(serial_stream, data, 0x2C, EVENTS)
    elif kind == "bad text":
        data = corrupt_label(bad_stream)
        with open(bad_stream, "wb") as f:
            f.write(data)
        df = read_packets(streams, EVENTS, apid=0x2C)
        expected = serial_error(serial_stream, data, 0x2C, EVENTS)
    else:
        os.remove(bad_stream)
        os.mkdir(bad_stream)
        df = read_packets(streams, EVENTS, apid=0x2C)
        expected = serial_error(open, bad_stream, "rb")
    error = failure(client, df)
    assert type(error) is type(expected)
    assert str(error) == str(expected)
    notes = getattr(error, "__notes__", [])
    # The decoder's own notes (packet index, recipe item) come first, then the file.
    assert notes[: len(getattr(expected, "__notes__", []))] == getattr(expected, "__notes__", [])
    assert any(note_part in note for note in notes), notes


@needs_dask
def test_file_removed_after_building_fails_the_computation_naming_it(client, archive, tmp_path):
    gone = str(tmp_path / "gone.ccsds")
    shutil.copyfile(archive["ccsds"][0], gone)
    df = read_packets([*archive["ccsds"], gone], EVENTS, apid=0x2C)
    os.remove(gone)
    error = failure(client, df)
    assert isinstance(error, FileNotFoundError)
    assert any(gone in note for note in error.__notes__)


ROW = [bitloom_bulk.field("n", "unsigned", 32)]


@needs_dask
@pytest.mark.parametrize(
    "options, bad_part",
    [
        ({"blocksize": 16}, "bytes 32 to 40"),  # three partitions: 16, 16 and 8 bytes
        ({}, "bytes 0 to 40"),  # the default: one partition
        ({"blocksize": "file"}, "bytes 0 to 40"),
    ],
)
@pytest.mark.parametrize("change, now", [("shrink", 32), ("grow", 44)])
def test_file_that_changed_size_after_building_fails(tmp_path, options, bad_part, change, now):
    path = tmp_path / "f40.bin"
    path.write_bytes(bytes(range(40)))
    df = read_packets(str(path), ROW, packet_bytes=4, **options)
    if change == "shrink":
        os.truncate(path, now)
    else:
        with open(path, "ab") as f:
            f.write(bytes(now - 40))
    with pytest.raises(OSError, match="changed after the dataframe was built") as info:
        df.compute(scheduler="sync")
    message = str(info.value)
    assert str(path) in message and f"had 40 bytes, now {now}" in message, message
    assert bad_part in message


@needs_dask
@pytest.mark.parametrize("cut", [10, -10])  # a whole packet less, or one more
def test_stream_that_changed_size_after_building_fails(tmp_path, cut):
    path = tmp_path / "s.ccsds"
    data = fixed_stream(5, 0x2C, 10)
    path.write_bytes(data)
    df = read_packets([str(path)], [bitloom_bulk.field("seq", "unsigned", 16, offset_bits=16)])
    path.write_bytes(data[:-cut] if cut > 0 else data + data[cut:])
    with pytest.raises(OSError, match=f"had 50 bytes, now {50 - cut}"):
        df.compute(scheduler="sync")


@pytest.fixture
def glob_names(tmp_path):
    """Files whose names hold glob characters, beside files those globs match."""
    names = {"run1.bin": "AAAA", "run[1].bin": "BBBB", "run2.bin": "CCCC"}
    if os.name != "nt":  # names Windows does not allow
        names.update({"all*.bin": "DDDD", "allx.bin": "EEEE", "q?.bin": "FFFF", "q1.bin": "GGGG"})
    for name, content in names.items():
        (tmp_path / name).write_text(content)
    return tmp_path


posix_names = pytest.mark.skipif(os.name == "nt", reason="names with * and ? need POSIX")


@needs_dask
@pytest.mark.parametrize(
    "paths, expected",
    [
        (["run[1].bin"], ["BBBB"]),  # a list names its files as written
        (["run1.bin", "run[1].bin"], ["AAAA", "BBBB"]),
        ("run[1].bin", ["BBBB"]),  # a single string without *: a path, as fsspec takes it
        ("run[12].bin", FileNotFoundError),
        ("run*.bin", ["AAAA", "CCCC", "BBBB"]),  # a glob, its matches sorted by name
        ("run[12]*.bin", ["AAAA", "CCCC"]),
        pytest.param(["q?.bin"], ["FFFF"], marks=posix_names),
        pytest.param("q?.bin", ["FFFF"], marks=posix_names),
        pytest.param(["all*.bin"], ["DDDD"], marks=posix_names),
        pytest.param("all*.bin", ["DDDD"], marks=posix_names),  # an existing file wins
    ],
)
def test_paths_are_literal_except_a_single_glob(glob_names, paths, expected):
    recipe = [bitloom_bulk.field("text", "us_ascii", 32)]
    if isinstance(paths, list):
        where = [str(glob_names / path) for path in paths]
    else:
        where = str(glob_names / paths)
    if expected is FileNotFoundError:
        with pytest.raises(FileNotFoundError):
            read_packets(where, recipe, packet_bytes=4)
        return
    df = read_packets(where, recipe, packet_bytes=4)
    assert df.compute(scheduler="sync")["text"].tolist() == expected


@needs_dask
@pytest.mark.parametrize(
    "paths, options, error",
    [
        ([], {"packet_bytes": TELEMETRY_BYTES}, ValueError),
        (["x.bin"], {"packet_bytes": 0}, ValueError),
        (["x.bin"], {"packet_bytes": TELEMETRY_BYTES, "apid": 3}, TypeError),
        (["x.bin"], {"packet_bytes": TELEMETRY_BYTES, "blocksize": 0}, ValueError),
        (["x.bin"], {"packet_bytes": TELEMETRY_BYTES, "blocksize": "12MB"}, ValueError),
    ],
)
def test_bad_arguments(paths, options, error):
    with pytest.raises(error):
        read_packets(paths, TELEMETRY, **options)


@needs_dask
def test_glob_without_matches(tmp_path):
    with pytest.raises(FileNotFoundError, match="no files match"):
        read_packets(str(tmp_path / "*.bin"), TELEMETRY, packet_bytes=TELEMETRY_BYTES)


@needs_dask
def test_compiled_layout_in_place_of_the_recipe(client, archive):
    layout = bitloom_bulk.compile(EVENTS)
    result = compute(client, read_packets(archive["ccsds"], layout, apid=0x2C))
    assert_same_rows(result, serial_ccsds(archive["ccsds"], 0x2C, EVENTS)[0])


@needs_dask
@pytest.mark.parametrize("options", [{"packet_bytes": TELEMETRY_BYTES}, {"apid": 0x2C}])
def test_an_empty_recipe_gives_partitions_without_columns(archive, options):
    paths = archive["fixed"] if "packet_bytes" in options else archive["ccsds"]
    frame = read_packets(paths, [], **options).compute(scheduler="sync")
    assert list(frame.columns) == []
