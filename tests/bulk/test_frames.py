"""Tables as pandas DataFrames and xarray Datasets: every value and dtype as
in the numpy tables (random definitions, all kinds of column), 2-D columns
split or given a dimension, the time coordinates (child tables' too, also in
the batches of a stream and after pickling), empty tables, and the missing
extra."""

from __future__ import annotations

import itertools
import pickle
import sys

import numpy as np
import pytest

import bitloom_bulk
from bitloom_bulk import field
from bitloom_bulk.ccsds import PRIMARY_HEADER
from tests.support.random_definitions import random_definitions, random_packets

pd = pytest.importorskip("pandas")


def _same(got, want):
    got, want = np.asarray(got), np.asarray(want)
    assert got.dtype == want.dtype, (got.dtype, want.dtype)
    assert got.shape == want.shape
    if want.dtype.kind == "f":
        assert np.array_equal(got, want, equal_nan=True)
    else:
        assert got.tolist() == want.tolist()


def _decoded(seed):
    defs = random_definitions(seed)
    data, offsets, lengths = random_packets(seed, 80)
    return defs.decode(data, offsets=offsets, lengths=lengths, errors="skip")


@pytest.mark.parametrize("seed", range(40))
def test_pandas_frames_hold_the_tables(seed):
    decoded = _decoded(seed)
    frames = decoded.to_pandas()
    assert list(frames) == list(decoded)
    for key, table in decoded.items():
        frame = frames[key]
        expected = []
        for name, column in table.items():
            if column.ndim == 2:
                for k in range(column.shape[1]):
                    expected.append(f"{name}[{k}]")
                    _same(frame[f"{name}[{k}]"].to_numpy(), column[:, k])
            else:
                expected.append(name)
                _same(frame[name].to_numpy(), column)
        assert list(frame.columns) == expected
        assert len(frame) == (len(next(iter(table.values()))) if table else 0)


@pytest.mark.parametrize("seed", range(40))
def test_xarray_datasets_hold_the_tables(seed):
    pytest.importorskip("xarray")
    decoded = _decoded(seed)
    datasets = decoded.to_xarray()
    assert list(datasets) == list(decoded)
    for key, table in decoded.items():
        dataset = datasets[key]
        dimension = "row" if "/" in key else "packet"
        # The only datetime64 columns are those of items that derive a time.
        times = [n for n, c in table.items() if c.dtype.kind == "M"]
        for name, column in table.items():
            variable = dataset[name]
            if column.dtype == object:
                # xarray may read None (a raw value without a label) as NaN, its missing value.
                assert variable.dtype == object and len(variable.values) == len(column)
                for got, want in zip(variable.values.tolist(), column.tolist(), strict=True):
                    if want is None:
                        assert got is None or (isinstance(got, float) and np.isnan(got))
                    else:
                        assert got == want
                continue
            _same(variable.values, column)
            want = (dimension, f"{name}_index") if column.ndim == 2 else (dimension,)
            assert variable.dims == want
        if "/" in key:
            # A child table's rows carry their packet's times.
            parent = decoded[key.split("/")[0]]
            times = [n for n, c in parent.items() if c.dtype.kind == "M" and n not in table]
            for name in times:
                _same(dataset[name].values, parent[name][table["packet"]])
        assert sorted(dataset.coords) == sorted(times)


def test_uint64_and_times_keep_their_types():
    recipe = [
        {"name": "big", "encoding": "unsigned", "bits": 64, "byte_order": "big",
         "reverse_bits": False, "offset_bits": 48},
    ]  # fmt: skip
    from tests.support.streams import fixed_stream

    data = bytearray(fixed_stream(3, 7, 14))
    data[6:14] = (2**64 - 1).to_bytes(8, "big")
    columns = bitloom_bulk.unpack_ccsds(bytes(data), {7: recipe})
    frame = columns.to_pandas()[7]
    assert frame["big"].dtype == np.uint64
    assert int(frame["big"].iloc[0]) == 2**64 - 1
    defs = bitloom_bulk.Definitions(
        [
            bitloom_bulk.PacketType(
                "t",
                [bitloom_bulk.field("at", "binary", 32, time={"code": "cuc", "coarse_bytes": 4})],
            )
        ]
    )
    decoded = defs.decode(bytes([0, 0, 0, 1, 0, 0, 0, 2]), packet_bytes=4)
    assert decoded.to_pandas()["t"]["at"].dtype == np.dtype("datetime64[ns]")
    pytest.importorskip("xarray")
    dataset = decoded.to_xarray()["t"]
    assert list(dataset.coords) == ["at"]
    assert dataset["at"].values.tolist() == decoded["t"]["at"].tolist()


@pytest.mark.parametrize(("module", "method"), [("pandas", "to_pandas"), ("xarray", "to_xarray")])
def test_missing_extra_names_it(monkeypatch, module, method):
    monkeypatch.setitem(sys.modules, module, None)
    decoded = _decoded(1)
    with pytest.raises(ImportError, match=rf"{method}\(\) needs {module}: pip install"):
        getattr(decoded, method)()


def _timed_definitions():
    root = bitloom_bulk.PacketType("root", list(PRIMARY_HEADER), abstract=True)
    return bitloom_bulk.Definitions(
        [
            root,
            bitloom_bulk.PacketType(
                "hk",
                [
                    field("at", "binary", 32, time={"code": "cuc", "coarse_bytes": 4}),
                    field("n", "unsigned", 8),
                    field("xs", "unsigned", 8, count={"field": "n", "scale": 1, "offset": 0}),
                ],
                parent=root,
                where={"apid": 5},
            ),
        ]
    )


def _timed_stream():
    rng = np.random.default_rng(3)
    count = 40
    body = [bytes(rng.integers(0, 256, 4, dtype=np.uint8)) + bytes([k % 5]) for k in range(count)]
    body = [b + bytes(rng.integers(0, 256, b[4], dtype=np.uint8)) + b"\0" for b in body]
    return b"".join(
        bytes([0x08, 5, 0xC0 | (k >> 8 & 0x3F), k & 0xFF]) + (len(b) - 1).to_bytes(2, "big") + b
        for k, b in enumerate(body)
    )


def test_time_coordinates_follow_the_definition():
    xr = pytest.importorskip("xarray")
    defs = _timed_definitions()
    decoded = defs.decode(_timed_stream())
    assert decoded.times == {"hk": ("at",)}
    datasets = decoded.to_xarray()
    assert list(datasets["hk"].coords) == ["at"]
    child = datasets["hk/xs"]
    assert child["at"].dims == ("row",)
    _same(child["at"].values, decoded["hk"]["at"][decoded["hk/xs"]["packet"]])
    # Kept through pickling (as for a Dask worker's result).
    again = pickle.loads(pickle.dumps(decoded))
    assert again.times == decoded.times
    for key, dataset in again.to_xarray().items():
        xr.testing.assert_identical(dataset, datasets[key])
    # Raw columns (bytes) are no times.
    raw = defs.decode(_timed_stream(), derived=False)
    assert raw.times == {} and not raw.to_xarray()["hk"].coords


def test_stream_batches_give_their_child_rows_their_packets_times():
    xr = pytest.importorskip("xarray")
    defs = _timed_definitions()
    data = _timed_stream()
    whole = defs.decode(data).to_xarray()["hk/xs"]
    decoder = bitloom_bulk.StreamDecoder(defs)
    cuts = [0, 101, 102, 377, len(data)]
    batches = [decoder.feed(data[a:b]) for a, b in itertools.pairwise(cuts)]
    decoder.close()
    rows = [len(b["hk"]["n"]) for b in batches]
    assert [b.first_rows["hk"] for b in batches] == [sum(rows[:k]) for k in range(len(rows))]
    # A batch's child rows count packets from the decoder's start.
    first = batches[2].first_rows["hk"]
    assert first > 0 and batches[2]["hk/xs"]["packet"].min() >= first
    again = [pickle.loads(pickle.dumps(b)) for b in batches]
    assert [b.quality for b in again] == [b.quality for b in batches]
    assert sum(b.quality.packets.get(5, 0) for b in again) == 40
    joined = xr.concat([b.to_xarray()["hk/xs"] for b in again], dim="row")
    xr.testing.assert_identical(joined, whole)


@pytest.mark.parametrize("seed", range(6))
def test_empty_tables_keep_their_columns_and_dtypes(seed):
    defs = random_definitions(seed)
    decoded = defs.decode(b"", offsets=[], lengths=[], errors="skip")
    frames = decoded.to_pandas()
    for key, table in decoded.items():
        frame = frames[key]
        assert len(frame) == 0
        for name, column in table.items():
            if column.ndim == 1:
                assert frame[name].dtype == column.dtype, (key, name)
    pytest.importorskip("xarray")
    for key, dataset in decoded.to_xarray().items():
        for name, column in decoded[key].items():
            assert dataset[name].shape == column.shape and dataset[name].dtype == column.dtype
