"""write_parquet on a real two-process cluster: every table read back from its
dataset equals a serial Definitions.decode of the same files, partitioned or
not, appended to or not; refusals and failed writes leave the datasets as
they were."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

from bitloom_bulk import Definitions, PacketType, field
from tests.support.random_definitions import random_definitions

distributed = pytest.importorskip(
    "distributed", reason='needs the dask extra (pip install ".[dask]")'
)
pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")
from bitloom_bulk.dask import read_packets, write_parquet  # noqa: E402

SIZE = 16  # bytes of a packet of DEFS
DAY = {"hk": lambda df: df["time"].dt.strftime("%Y-%m-%d")}

TIME = {"code": "cuc", "coarse_bytes": 4, "fine_bytes": 2, "epoch": "2026-01-05T00:00:00"}
HK = [
    field("time", "binary", 48, time=TIME),
    field("raw", "binary", 16),
    field("samples", "unsigned", 8, count={"field": "count"}),  # a child table
]
EVENT = [field("level", "unsigned", 8, enumeration={0: "info", 1: "warn", 2: "error"})]
DEFS = Definitions(
    [
        PacketType("frame", [field("kind", "unsigned", 8), field("count", "unsigned", 8)], abstract=True),
        PacketType("hk", HK, parent="frame", where={"kind": 1}),
        PacketType("event", [*EVENT, field("code", "unsigned", 16)], parent="frame", where={"kind": 2}),
        # No packet is of this type: its table is empty.
        PacketType("never", [field("value", "twos_complement", 16)], parent="frame", where={"kind": 9}),
    ]
)  # fmt: skip


def _files(tmp_path, stem, seeds, size=SIZE, packets=40):
    """Packets of DEFS: housekeeping over three days, and events (level 3
    unlabelled); of another size, random bytes with small counters."""
    paths = []
    for seed in seeds:
        rng = np.random.default_rng(seed)
        raw = rng.integers(0, 256, (packets, size), dtype=np.uint8)
        raw[:, 0] &= 0x3F
        if size == SIZE:
            kind = rng.integers(1, 3, packets)
            raw[:, 0], raw[:, 1] = kind, rng.integers(0, 4, packets)
            seconds = rng.integers(0, 3 * 86400, packets).astype(">u4")
            raw[:, 2:6] = seconds.view(np.uint8).reshape(-1, 4)
            raw[kind == 2, 2] = rng.integers(0, 4, int((kind == 2).sum()))
        path = tmp_path / f"{stem}-{seed}.bin"
        path.write_bytes(raw.tobytes())
        paths.append(str(path))
    return paths


def _serial(defs, paths, size):
    """Each table of a serial decode of each file in turn, concatenated."""
    decoded = [defs.decode(Path(p).read_bytes(), packet_bytes=size, errors="skip") for p in paths]
    tables = [d.to_pandas() for d in decoded]
    return {name: pd.concat([t[name] for t in tables], ignore_index=True) for name in tables[0]}


def _values(series):
    """Comparable values: missing ones (None, NaN, NaT, NA) as None."""
    return [None if v is None or v is pd.NA or v != v else v for v in series.tolist()]


def _same(got, want, dtypes):
    assert list(got.columns) == list(want.columns)
    assert dict(got.dtypes) == dtypes
    for column in want.columns:
        assert _values(got[column]) == _values(want[column]), column


def _snapshot(directory):
    """Every file readers see (none in a hidden directory), and its bytes."""
    files = [p.relative_to(directory) for p in directory.rglob("*") if p.is_file()]
    return {str(p): (directory / p).read_bytes() for p in files if p.parts[0][0] != "."}


def _frames(paths, defs=DEFS, size=SIZE):
    return read_packets(paths, defs, packet_bytes=size, blocksize="file", errors="skip")


@pytest.mark.parametrize(
    ("defs", "size", "files", "empty"),
    [(DEFS, SIZE, 12, "never"), (random_definitions(24), 64, 3, "root"),
     (random_definitions(33), 64, 3, "root")],
    ids=["hk", "random-24", "random-33"],
)  # fmt: skip
def test_every_table_reads_back_as_decoded(client, tmp_path, defs, size, files, empty):
    paths = _files(tmp_path, "a", range(1, files + 1), size)  # 12: part 10 sorts after 9
    frames = _frames(paths, defs, size)
    written = write_parquet(frames, tmp_path / "out")
    # Types in <type>/, child tables beside them in <type>.<item>/.
    assert written == {n: str(tmp_path / "out" / n.replace("/", ".")) for n in frames}
    serial = _serial(defs, paths, size)
    for name, frame in frames.items():
        _same(pd.read_parquet(written[name]), serial[name], dict(frame.dtypes))
    # A table of no rows reads back as its columns and dtypes.
    got = dd.read_parquet(written[empty]).compute()
    assert len(serial[empty]) == len(got) == 0
    assert dict(got.dtypes) == dict(frames[empty].dtypes)


def _same_partitioned(directory, key, table, dtypes):
    """The hive directories are the key's values, and the rows read back are
    the table's, grouped by them in order, the key last and read as text."""
    name = "partition" if callable(key) else key
    values = (key(table) if callable(key) else table[key]).astype(str)
    want = table.drop(columns=[name] if name == key else []).assign(**{name: values})
    want = want.sort_values(name, kind="stable").reset_index(drop=True)
    dirs = sorted(p.name for p in Path(directory).iterdir())
    assert dirs == sorted(f"{name}={v}" for v in want[name].unique())
    got = pd.read_parquet(directory)
    assert str(got[name].dtype) == "category"
    got[name] = got[name].astype(str)
    _same(got, want, {c: t for c, t in dtypes.items() if c != key} | {name: values.dtype})


@pytest.mark.parametrize("partition_on", ["kind", DAY], ids=["column", "callable"])
def test_partitioned_datasets(client, tmp_path, partition_on):
    paths = _files(tmp_path, "a", [1, 2])
    frames = _frames(paths)
    written = write_parquet(frames, tmp_path / "out", partition_on=partition_on)
    serial = _serial(DEFS, paths, SIZE)
    keys = partition_on
    if isinstance(partition_on, str):
        keys = {n: partition_on for n, f in frames.items() if partition_on in f.columns}
        assert sorted(keys) == ["event", "hk", "never"]
    # A partitioned table of no rows writes nothing; one not partitioned, its columns.
    assert sorted(written) == sorted(n for n in frames if n != "never" or n not in keys)
    for name, frame in frames.items():
        if name not in keys:
            _same(pd.read_parquet(written[name]), serial[name], dict(frame.dtypes))
        elif name in written:
            _same_partitioned(written[name], keys[name], serial[name], dict(frame.dtypes))


@pytest.mark.parametrize("partition_on", [None, DAY], ids=["whole", "by-day"])
def test_append_adds_rows_after_the_earlier_ones(client, tmp_path, partition_on):
    first, second = _files(tmp_path, "a", [1, 2]), _files(tmp_path, "b", [3, 4])
    out = tmp_path / "out"
    write_parquet(_frames(first), out, partition_on=partition_on)
    before = _snapshot(out)
    written = write_parquet(_frames(second), out, partition_on=partition_on, append=True)
    after = _snapshot(out)
    assert {k: after[k] for k in before} == before  # no earlier file touched
    assert len(after) > len(before)
    serial = _serial(DEFS, first + second, SIZE)
    for name, frame in _frames(first).items():
        if partition_on is None or name not in partition_on:
            got = dd.read_parquet(written[name]).compute().reset_index(drop=True)
            _same(got, serial[name], dict(frame.dtypes))
            _same(pd.read_parquet(written[name]), serial[name], dict(frame.dtypes))
        else:
            _same_partitioned(written[name], partition_on[name], serial[name], dict(frame.dtypes))
    assert not [p.name for p in out.iterdir() if p.name.startswith(".")]  # staging removed


def _truncate(paths):
    Path(paths[1]).write_bytes(Path(paths[1]).read_bytes()[:-SIZE])


@pytest.mark.parametrize(
    ("change", "kwargs", "error", "match"),
    [
        (None, {}, FileExistsError, "holds a dataset already"),
        (None, {"append": True, "partition_on": DAY}, ValueError, "partitioned on"),
        (lambda f: {"hk": f["hk"].drop(columns="raw")}, {"append": True}, ValueError, "raw: binary -> absent"),
        (_truncate, {"append": True}, OSError, "changed after the dataframe was built"),
    ],
    ids=["no-append", "other-key", "other-columns", "file-cut-short"],
)  # fmt: skip
def test_refused_writes_leave_the_dataset_unchanged(client, tmp_path, change, kwargs, error, match):
    out = tmp_path / "out"
    write_parquet(_frames(_files(tmp_path, "a", [1])), out)
    before = _snapshot(out)
    paths = _files(tmp_path, "b", [2, 3])
    frames = _frames(paths)
    if change is _truncate:
        change(paths)
    elif change is not None:
        frames = change(frames)
    with pytest.raises(error, match=match) as info:
        write_parquet(frames, out, **kwargs)
    if change is _truncate:
        assert any(paths[1] in note for note in info.value.__notes__)
    assert _snapshot(out) == before


@pytest.mark.parametrize(
    ("partition_on", "match"),
    [
        ({"hk": lambda df: df["kind"].astype(str) + "/x"}, "cannot name a partition directory"),
        ({"hk": lambda df: df["time"].where(df["count"] > 0)}, "has no value in"),
        ({"hk": lambda df: df["kind"].iloc[:1]}, "values of shape"),
    ],
    ids=["separator", "missing", "too-few"],
)
def test_unfit_partition_values_write_nothing(client, tmp_path, partition_on, match):
    with pytest.raises(ValueError, match=match):
        write_parquet(
            _frames(_files(tmp_path, "a", [1, 2])), tmp_path / "out", partition_on=partition_on
        )
    assert _snapshot(tmp_path / "out") == {}


@pytest.mark.parametrize(
    ("names", "kwargs", "match"),
    [
        (["../up"], {}, "'../up'"),
        (["/abs"], {}, "'/abs'"),
        (["a/b/c"], {}, "'a/b/c'"),
        ([".hidden"], {}, "'.hidden'"),
        (["a\\b"], {}, "'a"),
        ([""], {}, "''"),
        (["hk/raw", "hk.raw"], {}, "both be written to the directory 'hk.raw'"),
        (["HK", "hk"], {}, "both be written"),
        (["hk"], {"partition_on": "nope"}, "no table has that column"),
        (["hk"], {"partition_on": {"event": "kind"}}, "not being written"),
        (["hk"], {"partition_on": {"hk": "level"}}, "has no column 'level'"),
    ],
)
def test_refused_before_anything_is_written(tmp_path, names, kwargs, match):
    frame = _frames(_files(tmp_path, "a", [1]))["hk"]
    with pytest.raises(ValueError, match=match):
        write_parquet(dict.fromkeys(names, frame), tmp_path / "out", **kwargs)
    assert not (tmp_path / "out").exists()
