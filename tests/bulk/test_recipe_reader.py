"""The recipe reader's two modes: what a plan would hold (the refusing reading)
against a fresh reading (the raising one), on random and malformed items.

They must agree on which items are plannable: an item is planned exactly when
it holds only plain objects and a fresh reading of it succeeds with a known
encoding and byte order, and then both readings give the same field.

The readings come from the test-only module bitloom_bulk._probe (the ``probe``
fixture): these tests skip where the build has none.
"""

import enum
import sys
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tests.support import probe as probe_gate
from tests.support.numbers import Index

KEYS = ["name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits"]


class Text(str):
    pass


class Mapping(dict):
    pass


class Flag(enum.IntEnum):
    ON = 1


texts = st.sampled_from(
    [
        "unsigned",
        "UTF8",
        "Ieee754_F32",
        "ti_f32",
        "ieee754_f128",
        "bogus",
        "big",
        "LITTLE",
        "Little",
        "middle",
        "",
        "x" * 40,
        "\u212aey",  # KELVIN SIGN: lowers to ASCII
        "b\u0131g",  # dotless i
        "p\udc80",  # a lone surrogate
        "name",
    ]
)
values = st.one_of(
    texts,
    texts.map(Text),
    st.integers(min_value=-3, max_value=2**33),
    st.sampled_from([True, False, None, 1.0, Flag.ON, Index(7), b"big", 0, 2**32 - 1, 2**32]),
)
keys = st.one_of(
    st.sampled_from([*KEYS, "value", "extra"]),
    st.sampled_from([1, b"name"]),
    st.sampled_from(KEYS).map(Text),
)


@st.composite
def items(draw):
    d = {}
    for key in KEYS:
        if draw(st.integers(0, 9)) == 0:
            continue  # a missing key now and then
        d[key] = draw(values if draw(st.booleans()) else plain_value(key))
    for _ in range(draw(st.integers(0, 2))):
        d[draw(keys)] = draw(values)
    kind = draw(st.integers(0, 9))
    if kind == 0:
        return Mapping(d)
    if kind == 1:
        return list(d.items())
    return d


def plain_value(key):
    if key in ("name",):
        return texts
    if key == "encoding":
        return st.sampled_from(["unsigned", "UTF16", "Packed_BCD", "dec_f64", "nope"])
    if key == "byte_order":
        return st.sampled_from(["big", "little", "BIG", "other"])
    if key == "reverse_bits":
        return st.booleans()
    return st.integers(min_value=0, max_value=300)


def encodable(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def plain(item):
    """Only objects whose reading runs no Python code and cannot fail."""
    if not isinstance(item, dict) or not all(type(k) is str for k in item):
        return False
    if any(k not in item for k in KEYS[:5]):
        return False
    for key in ("name", "encoding", "byte_order"):
        v = item[key]
        if type(v) is not str or not encodable(v):
            return False
        if key != "name" and not v.isascii():
            return False
    for key in ("bits", "offset_bits"):
        if key in item and not (type(item[key]) is int and 0 <= item[key] < 2**32):
            return False
    return item["reverse_bits"] is True or item["reverse_bits"] is False


def check(probe, item):
    planned, fresh = probe.read_item(item)
    readable = isinstance(fresh, tuple) and fresh[0] is not None and fresh[5]
    assert (planned is not None) == (plain(item) and readable), (item, planned, fresh)
    if planned is not None:
        assert planned[:6] == fresh[:6]
        assert planned[6] is fresh[6]


@settings(max_examples=1500, deadline=None)
@given(items())
def test_modes_agree_on_random_items(probe, item):
    check(probe, item)


@pytest.mark.parametrize(
    "item",
    [
        {
            "name": "a",
            "encoding": "unsigned",
            "bits": 8,
            "byte_order": "big",
            "reverse_bits": False,
        },
        {
            "name": "a",
            "encoding": "UNSIGNED",
            "bits": 8,
            "byte_order": "Little",
            "reverse_bits": True,
            "offset_bits": 3,
        },
        # Plain but unknown: a fresh reading succeeds and leaves the error to its path.
        {"name": "a", "encoding": "nope", "bits": 8, "byte_order": "big", "reverse_bits": False},
        {
            "name": "a",
            "encoding": "unsigned",
            "bits": 8,
            "byte_order": "middle",
            "reverse_bits": False,
        },
        # Readable afresh, refused by a plan.
        {
            "name": Text("a"),
            "encoding": "unsigned",
            "bits": 8,
            "byte_order": "big",
            "reverse_bits": False,
        },
        {
            "name": "a",
            "encoding": "unsigned",
            "bits": True,
            "byte_order": "big",
            "reverse_bits": False,
        },
        {
            "name": "a",
            "encoding": "unsigned",
            "bits": Index(8),
            "byte_order": "big",
            "reverse_bits": False,
        },
        {
            "name": "a",
            "encoding": "\u212aey",
            "bits": 8,
            "byte_order": "big",
            "reverse_bits": False,
        },
        {
            "name": "a",
            "encoding": "unsigned",
            "bits": 8,
            "byte_order": "big",
            "reverse_bits": False,
            1: 2,
        },
        Mapping(name="a", encoding="unsigned", bits=8, byte_order="big", reverse_bits=False),
        # Failing afresh: refused.
        {
            "name": "a",
            "encoding": "unsigned",
            "bits": -1,
            "byte_order": "big",
            "reverse_bits": False,
        },
        {"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big"},
        {
            "name": "p\udc80",
            "encoding": "unsigned",
            "bits": 8,
            "byte_order": "big",
            "reverse_bits": False,
        },
        [("name", "a")],
    ],
)
def test_modes_agree_on_chosen_items(probe, item):
    check(probe, item)


def test_fresh_reading_keeps_the_error_order(probe):
    # The first failing key in reading order raises, as the packet paths report it.
    planned, fresh = probe.read_item({"bits": "x", "encoding": 1})
    assert planned is None
    assert type(fresh) is KeyError and fresh.args == ("Recipe missing required field: 'name'",)
    planned, fresh = probe.read_item({"name": "a", "encoding": 1, "bits": "x"})
    assert type(fresh) is TypeError and str(fresh) == "'int' object cannot be cast as 'str'"


# ---- the probe's gate (tests/support/probe.py) --------------------------------------


@pytest.mark.parametrize(
    "present, required, outcome",
    [
        (True, None, "loaded"),
        (True, "1", "loaded"),
        (False, None, "skipped"),
        (False, "", "skipped"),
        (False, "0", "skipped"),
        (False, "1", "failed"),
        (False, "yes", "failed"),
    ],
)
def test_probe_gate_skips_unless_the_run_requires_the_probe(
    monkeypatch, present, required, outcome
):
    stand_in = types.ModuleType(probe_gate.MODULE)
    # None in sys.modules: the import fails as it does where the module was not built.
    monkeypatch.setitem(sys.modules, probe_gate.MODULE, stand_in if present else None)
    if required is None:
        monkeypatch.delenv(probe_gate.REQUIRE, raising=False)
    else:
        monkeypatch.setenv(probe_gate.REQUIRE, required)
    if outcome == "loaded":
        assert probe_gate.load() is stand_in
        return
    expected = {"skipped": pytest.skip.Exception, "failed": pytest.fail.Exception}[outcome]
    with pytest.raises(expected) as caught:
        probe_gate.load()
    assert type(caught.value) is expected
    assert probe_gate.BUILD in str(caught.value)  # the reason says how to build the probe


def test_probe_gate_raises_when_the_package_is_missing(monkeypatch):
    # Only the probe's absence is a reason to skip: a missing package is an error.
    monkeypatch.setattr(probe_gate, "MODULE", "bitloom_no_such_package._probe")
    monkeypatch.delenv(probe_gate.REQUIRE, raising=False)
    with pytest.raises(ModuleNotFoundError) as caught:
        probe_gate.load()
    assert caught.value.name == "bitloom_no_such_package"
