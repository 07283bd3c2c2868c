"""The native derivations of Definitions.decode (an enumeration's labels, a
polynomial) against the numpy expressions they replace and a Python model,
over random raw columns of every integer width, both signs, 2-D and empty."""

from __future__ import annotations

import random
import sys

import numpy as np
import pytest

from bitloom_bulk import _native
from bitloom_bulk._definitions_decode import (
    _enumerated,
    _labels,
    _polynomial,
    _polynomial_numpy,
)

# (dtype, lowest raw value, highest raw value, keys in the table, shape).
LABEL_CASES = [
    ("uint8", 0, 255, "dense", (1000,)),
    ("uint8", 0, 9, "sparse", (40, 25)),
    ("int8", -128, 127, "dense", (999,)),
    ("uint16", 0, 65535, "sparse", (2000,)),
    ("int16", -300, 300, "dense", (20, 3, 10)),
    ("int32", -(2**31), 2**31 - 1, "met", (1500,)),
    ("int32", 5, 70000, "sparse", (1500,)),
    ("uint32", 2**31, 2**31 + 70, "dense", (300,)),
    ("int64", -(2**63), 2**63 - 1, "met", (700,)),
    ("int64", -(2**62) - 5, -(2**62) + 5, "dense", (100,)),
    ("uint64", 2**64 - 100, 2**64 - 1, "dense", (100,)),
    ("uint64", 0, 2**64 - 1, "met", (700,)),
    (">u2", 0, 50, "dense", (300,)),  # not native byte order: numpy's way
    ("uint16", 0, 50, "dense", (0,)),
    ("int64", -5, 5, "dense", (0, 4)),
]


def _raw(dtype, low, high, shape, seed):
    rng = random.Random(seed)
    count = int(np.prod(shape))
    values = [rng.randint(low, high) for _ in range(count)]
    # The ends of the range always among them where there is room.
    values[: min(2, count)] = [low, high][: min(2, count)]
    return np.array(values, dtype=np.dtype(dtype)).reshape(shape), values


def _table(kind, low, high, met, rng):
    if kind == "dense":
        keys = [v for v in range(low, min(high, low + 400) + 1) if rng.random() < 0.8]
    elif kind == "sparse":
        keys = [low + int(v) for v in rng.integers(0, min(high - low + 1, 2**62), 30)]
    else:  # some of the values met, the others unknown
        keys = met[::2]
    return {k: f"label {k}" for k in keys}


@pytest.mark.parametrize(("dtype", "low", "high", "kind", "shape"), LABEL_CASES)
def test_labels_match_numpy_and_the_model(dtype, low, high, kind, shape):
    seed = abs(low) % 1000 + high % 1000 + len(shape)
    rng = np.random.default_rng(seed)
    values, met = _raw(dtype, low, high, shape, seed)
    table = _table(kind, low, high, met, rng)
    column, unknown = _enumerated(table, values)
    # The numpy expression the native pass replaces.
    labels, inverse, missing = _labels(table, values)
    want = labels[inverse].reshape(values.shape)
    assert column.dtype == object and column.shape == values.shape
    assert column.tolist() == want.tolist()
    # And each raw value looked up one by one.
    model = [table.get(int(v)) for v in values.reshape(-1).tolist()]
    assert column.reshape(-1).tolist() == model
    if missing.any():
        assert unknown is not None and unknown.dtype == bool
        np.testing.assert_array_equal(unknown, missing)
    else:
        assert unknown is None


@pytest.mark.parametrize(
    ("dtype", "values"),
    [
        ("uint8", [0, 1, 7, 255]),
        ("int16", [-32768, -1, 0, 5, 32767]),
        ("uint32", [0, 1, 4095, 2**32 - 1]),
        ("int64", [-(2**63), -(2**53) - 1, -3, 0, 2**53 + 1, 2**63 - 1]),
        ("uint64", [0, 2**53 + 1, 2**63, 2**64 - 1]),
        ("float32", [-1.5, 0.0, 3.25e38, np.inf, np.nan, -np.inf]),
        ("float64", [-1e308, -0.0, 1e-310, np.nan, 7.0]),
        (">i4", [-5, 0, 5]),  # numpy's way
        ("bool", [True, False]),  # numpy's way
    ],
)
@pytest.mark.parametrize(
    "coefficients",
    [
        [2.5],
        [-40.0, 0.05],
        [-40.0, 0.05, 1e-6],
        [1.0, -2.0, 3.0, -4.0],
        [0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 1e-30],
    ],
)
def test_polynomial_bit_for_bit_as_numpy(dtype, values, coefficients):
    rng = np.random.default_rng(len(values) + len(coefficients))
    raw = np.array(values, dtype=dtype)
    # Random values of the dtype besides its extremes, as 2-D.
    more = rng.choice(raw, 60).reshape(3, 20)
    if raw.dtype.kind in "iu":
        info = np.iinfo(raw.dtype)
        more = rng.integers(
            info.min, info.max, (3, 20), endpoint=True, dtype=raw.dtype.newbyteorder("=")
        )
        more = more.astype(raw.dtype)
    for column in (raw, more, raw[:0], more[:, ::3]):
        got = _polynomial(coefficients, column)
        with np.errstate(over="ignore", invalid="ignore"):
            want = _polynomial_numpy(coefficients, column)
        assert got.dtype == np.float64 and got.shape == column.shape
        np.testing.assert_array_equal(got.view(np.uint64), want.view(np.uint64))


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda: _native._label_column(np.zeros(3, np.float64), 0, ("a",)), TypeError),
        (lambda: _native._label_column(np.zeros(3, np.uint8), 0, ["a"]), TypeError),
        (lambda: _native._label_column(np.zeros(3, np.uint8), 2**64, ("a",)), OverflowError),
        (lambda: _native._label_column(np.zeros(3, object), 0, ("a",)), TypeError),
        (lambda: _native._label_column(np.zeros(3, np.float16), 0, ("a",)), TypeError),
        (lambda: _native._polynomial_column(np.zeros(3, np.uint8), ()), ValueError),
        (lambda: _native._polynomial_column(np.zeros(3, np.uint8), [1.0]), TypeError),
        (lambda: _native._polynomial_column(np.zeros(3, np.uint8), ("x",)), TypeError),
        (lambda: _native._polynomial_column(np.zeros((4, 4), np.int32)[:, 1], (1.0,)), ValueError),
    ],
)
def test_native_derivations_refuse_bad_arguments(call, error):
    with pytest.raises(error):
        call()


def test_label_column_holds_one_reference_per_element():
    # Labels made at run time (not shared with anything else), some unused.
    labels = tuple("".join(["label", str(k)]) for k in range(6))
    values = np.array([0, 1, 1, 5, 9, 1, 0, 3] * 1000, dtype=np.uint16)
    before = [sys.getrefcount(label) for label in labels]
    none_before = sys.getrefcount(None)
    column, unknown = _native._label_column(values, 0, labels)
    after = [sys.getrefcount(label) for label in labels]
    del column
    none_after = sys.getrefcount(None)
    counts = np.bincount(values, minlength=len(labels))[: len(labels)]
    assert [a - b for a, b in zip(after, before, strict=True)] == counts.tolist()
    assert [sys.getrefcount(label) for label in labels] == before
    np.testing.assert_array_equal(unknown, values >= len(labels))
    if sys.version_info < (3, 12):  # None is immortal from 3.12
        assert none_after == none_before
