"""Tables as pandas DataFrames and xarray Datasets: every value and dtype as
in the numpy tables (random definitions, all kinds of column), 2-D columns
split or given a dimension, the time coordinate, and the missing extra."""

from __future__ import annotations

import sys

import numpy as np
import pytest

import bitloom_bulk
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
        times = [n for n, c in table.items() if c.ndim == 1 and c.dtype.kind == "M"]
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
        assert list(dataset.coords) == times[:1]


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
