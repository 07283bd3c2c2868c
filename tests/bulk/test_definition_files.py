"""Packet definitions in JSON and TOML files: exact round trips, faults named
with the file and the place, files written whole or not at all."""

from __future__ import annotations

import io
import itertools
import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from bitloom_bulk import (
    DefinitionError,
    Definitions,
    PacketType,
    RecipeFileError,
    dump_definitions,
    field,
    load_definitions,
)
from tests.bulk.test_definitions_model import random_definitions


@pytest.mark.parametrize("fmt", ["json", "toml"])
@pytest.mark.parametrize("seed", range(40))
def test_random_definitions_read_back_equal(tmp_path, fmt, seed):
    defs = random_definitions(seed)
    path = tmp_path / f"defs.{fmt}"
    dump_definitions(defs, path)
    assert load_definitions(path) == defs
    # And through open files, the format named.
    buffer = io.StringIO()
    dump_definitions(defs, buffer, format=fmt)
    buffer.seek(0)
    assert load_definitions(buffer, format=fmt) == defs


def test_the_written_forms_are_the_documented_ones(tmp_path):
    defs = Definitions(
        [
            PacketType("root", [field("apid", "unsigned", 11)], abstract=True),
            PacketType(
                "a",
                [field("s", "unsigned", 4, enumeration={1: "on", 15: "off"})],
                parent="root",
                where={"any": [["apid", "==", 5], {"apid": 6}]},
            ),
        ]
    )
    path = tmp_path / "d.json"
    dump_definitions(defs, path)
    written = json.loads(path.read_text())
    assert written["types"][0] == {
        "name": "root",
        "abstract": True,
        "items": [
            {
                "name": "apid",
                "encoding": "unsigned",
                "bits": 11,
                "byte_order": "big",
                "reverse_bits": False,
            }
        ],
    }
    assert written["types"][1]["where"] == {"any": [["apid", "==", 5], {"apid": 6}]}
    assert written["types"][1]["items"][0]["enumeration"] == {"1": "on", "15": "off"}
    loaded = load_definitions(path)
    assert loaded["a"].where == {"any": [("apid", "==", 5), {"apid": 6}]}
    assert loaded["a"].items[0]["enumeration"] == {1: "on", 15: "off"}


@pytest.mark.parametrize(
    ("name", "text", "words", "line"),
    [
        ("bad.json", '{"types": [\n  {"name": "a",, }]}', "Expecting", 2),
        ("bad.toml", "[[types]]\nname = 'a'\nitems = [\n", "", None),
        ("none.json", '{"fields": []}', "top-level 'types' list", None),
        (
            "key.json",
            '{"types": [{"name": "a", "items": [], "wher": {}}]}',
            "unknown key 'wher'",
            None,
        ),
        ("items.json", '{"types": [{"name": "a"}]}', "needs 'name' and 'items'", None),
        (
            "parent.json",
            '{"types": [{"name": "a", "parent": "b", "items": []}]}',
            "unknown parent 'b'",
            None,
        ),
        (
            "enum.json",
            '{"types": [{"name": "a", "items": [{"name": "x", "encoding": "unsigned", "bits": 4,'
            ' "byte_order": "big", "reverse_bits": false, "enumeration": {"one": "1"}}]}]}',
            "enumeration key 'one'",
            None,
        ),
        (
            "item.json",
            '{"types": [{"name": "a", "items": [{"name": "x", "encoding": "unsigned",'
            ' "bits": {"rest": 0}, "byte_order": "big", "reverse_bits": false}]}]}',
            "item 'x'",
            None,
        ),
    ],
)
def test_bad_files_name_the_file_and_the_place(tmp_path, name, text, words, line):
    path = tmp_path / name
    path.write_text(text)
    with pytest.raises(RecipeFileError) as info:
        load_definitions(path)
    assert str(path) in str(info.value)
    assert words in str(info.value)
    if line is not None:
        assert info.value.line == line


@pytest.mark.parametrize(
    ("fmt", "where", "words"),
    [
        ("json", {"x": float("nan")}, "cannot be written as JSON"),
        ("toml", {"x": float("nan")}, "would not read back the same"),
        ("json", {"x": b"\x01"}, "cannot be written as JSON"),
        ("toml", {"x": None}, "cannot be written as TOML"),
    ],
)
def test_what_would_not_read_back_is_refused_and_the_file_kept(tmp_path, fmt, where, words):
    defs = Definitions(
        [
            PacketType("root", [field("x", "unsigned", 8)]),
            PacketType("a", [field("y", "unsigned", 8)], parent="root", where=where),
        ]
    )
    path = tmp_path / f"d.{fmt}"
    path.write_text("old")
    with pytest.raises(RecipeFileError, match=words) as info:
        dump_definitions(defs, path)
    assert "types[1]" in str(info.value)
    assert path.read_text() == "old"


def test_csv_and_non_definitions_are_refused(tmp_path):
    defs = Definitions([PacketType("a", [field("x", "unsigned", 8)])])
    with pytest.raises(ValueError, match="JSON or TOML"):
        dump_definitions(defs, tmp_path / "d.csv")
    with pytest.raises(TypeError, match="writes Definitions"):
        dump_definitions([], tmp_path / "d.json")


# Definition faults in a file: the DefinitionError's message, and the place.


def _u(name, bits=8, **keys):
    return field(name, "unsigned", bits, **keys)


def _entry(name, items, **keys):
    return {"name": name, "items": items, **keys}


@pytest.mark.parametrize(
    ("entries", "key"),
    [
        ([_entry("a", [_u("x")]), _entry("b", [_u("y")], parent="c")], "types[1]"),
        ([_entry("a", [_u("x")]), _entry("b", []), _entry("a", [])], "types[2]"),
        (
            [_entry("a", [_u("x")]), _entry("b", [_u("y"), field("z", "utf-9", 8)], parent="a")],
            "types[1].items[1]",
        ),
        (
            [_entry("a", [_u("x")]), _entry("b", [_u("y")], parent="a", where={"q": 1})],
            "types[1]",
        ),
        ([_entry("a", [field("b", "binary", {"field": "n"}), _u("n")])], "types[0].items[0]"),
        (
            [_entry("a", [_u("n"), field("r", "binary", 64, records=[_u("p"), _u("q", count=2)])])],
            "types[0].items[1].records[1]",
        ),
        (
            [_entry("a", [field("r", "binary", 64, records=[_u("p"), field("q", "utf-9", 8)])])],
            "types[0].items[0].records[1]",
        ),
    ],
    ids=["parent", "twice", "item", "where", "size", "record-item", "record-encoding"],
)
@pytest.mark.parametrize("fmt", ["json", "toml"])
def test_definition_faults_name_the_type_item_and_place(tmp_path, fmt, entries, key):
    import tomli_w

    path = tmp_path / f"bad.{fmt}"
    document = {"types": entries}
    path.write_text(json.dumps(document) if fmt == "json" else tomli_w.dumps(document))
    with pytest.raises(DefinitionError) as direct:
        Definitions(
            [
                PacketType(e["name"], e["items"], parent=e.get("parent"), where=e.get("where"))
                for e in entries
            ]
        )
    with pytest.raises(RecipeFileError) as info:
        load_definitions(path)
    assert (info.value.file, info.value.key, info.value.problem) == (
        str(path),
        key,
        str(direct.value),
    )


def _enumerated(keys):
    item = {**_u("s", 4), "enumeration": {k: f"label{i}" for i, k in enumerate(keys)}}
    return json.dumps({"types": [_entry("a", [item])]})


@pytest.mark.parametrize(
    ("keys", "read"),
    [
        (["0", "8", "-1", "+3", "007"], [0, 8, -1, 3, 7]),
        (["18446744073709551616"], [2**64]),
    ],
)
def test_enumeration_keys_are_decimal_integers(tmp_path, keys, read):
    path = tmp_path / "e.json"
    path.write_text(_enumerated(keys))
    assert list(load_definitions(path)["a"].items[0]["enumeration"]) == read


@pytest.mark.parametrize(
    ("keys", "words"),
    [
        (["1_0"], "'1_0' is not a decimal integer"),
        ([" 1"], "' 1' is not a decimal integer"),
        (["\u0661"], "is not a decimal integer"),
        (["0x1"], "'0x1' is not a decimal integer"),
        (["1.0"], "'1.0' is not a decimal integer"),
        ([""], "'' is not a decimal integer"),
        (["9" * 5000], "is not a decimal integer"),
        (["1", "01"], "keys '1' and '01' are both 1"),
        (["-0", "0"], "keys '-0' and '0' are both 0"),
    ],
)
def test_enumeration_keys_that_are_not_one_integer_each_are_refused(tmp_path, keys, words):
    path = tmp_path / "e.json"
    path.write_text(_enumerated(keys))
    with pytest.raises(RecipeFileError) as info:
        load_definitions(path)
    assert info.value.key == "types[0].items[0].enumeration"
    assert words in info.value.problem
    assert len(str(info.value)) < 300


@pytest.mark.parametrize("fmt", ["json", "toml"])
def test_unknown_top_level_keys_are_refused(tmp_path, fmt):
    path = tmp_path / f"d.{fmt}"
    if fmt == "json":
        path.write_text('{"types": [], "typs": []}')
    else:
        path.write_text("types = []\nversion = 2\n")
    with pytest.raises(RecipeFileError) as info:
        load_definitions(path)
    assert info.value.key == ("typs" if fmt == "json" else "version")


# Round trips over written forms of every kind: either the file reads back
# equal, value for value and type for type, or nothing is written.

_SCALARS = (
    st.integers(-(2**70), 2**70)
    | st.floats()
    | st.booleans()
    | st.text(max_size=4)
    | st.none()
    | st.binary(max_size=2)
)
_FIELDS = st.sampled_from(["a", "b"])
_TRIPLES = st.tuples(_FIELDS, st.sampled_from(["==", "!=", "<", "<=", ">", ">="]), _SCALARS)


def _wheres(depth=0):
    flat = st.dictionaries(_FIELDS, _SCALARS, min_size=1, max_size=2) | st.lists(
        _TRIPLES | _TRIPLES.map(list), max_size=3
    )
    if depth == 2:
        return flat
    nested = st.lists(_TRIPLES | _wheres(depth + 1), max_size=3)
    return flat | st.builds(lambda k, terms: {k: terms}, st.sampled_from(["any", "all"]), nested)


_DERIVED = st.one_of(
    st.just({}),
    st.dictionaries(st.integers(-(2**70), 2**70), st.text(max_size=3), max_size=3).map(
        lambda table: {"enumeration": table}
    ),
    st.lists(
        st.integers(-(2**62), 2**62) | st.floats(allow_nan=False, allow_infinity=False),
        min_size=1,
        max_size=3,
    ).map(lambda c: {"polynomial": c}),
    st.just({"spline": [(0, 1.5), [10, -2]]}),
)


@st.composite
def _definitions(draw):
    derived = draw(_DERIVED)
    root = PacketType(
        "r",
        [
            _u("a", **derived),
            field("b", "twos_complement", 16, byte_order=draw(st.sampled_from(["big", "21"]))),
            field(
                "t",
                "binary",
                32,
                time={
                    "code": "cuc",
                    "epoch": draw(
                        st.sampled_from(
                            ["1958-01-01T00:00:00", "2000-01-01T12:00:00+01:00", "2010-01-01"]
                        )
                    ),
                },
            ),
            field("r", "binary", {"rest": draw(st.integers(0, 16))}, records=[_u("p", 4)]),
        ],
        abstract=draw(st.booleans()),
    )
    try:
        child = PacketType(
            "k",
            [_u("c", count=2)],
            parent=draw(st.sampled_from(["r", root])),
            where=draw(_wheres()),
        )
    except DefinitionError:  # a where this form cannot give
        return Definitions([root])
    return Definitions([root, child])


_PATHS = itertools.count()


def _same_values(written, read):
    """Equal with the same types all the way down (a where's triples may be
    lists or tuples; both read back as tuples). TOML writes a table's tables
    after its values, so keys may come back in another order."""
    if isinstance(written, dict):
        return (
            isinstance(read, dict)
            and set(written) == set(read)
            and all(_same_values(written[k], read[k]) for k in written)
        )
    if isinstance(written, (list, tuple)):
        return (
            isinstance(read, (list, tuple))
            and len(written) == len(read)
            and all(_same_values(a, b) for a, b in zip(written, read, strict=True))
        )
    return type(written) is type(read) and written == read


@settings(
    max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(defs=_definitions(), fmt=st.sampled_from(["json", "toml"]))
def test_what_dump_writes_loads_back_exactly(tmp_path, defs, fmt):
    path = tmp_path / f"{next(_PATHS)}.{fmt}"
    try:
        dump_definitions(defs, path)
    except RecipeFileError as exc:
        assert (exc.file, exc.key) == (str(path), f"types[{len(defs) - 1}]")
        assert not path.exists()
        return
    loaded = load_definitions(path)
    assert loaded == defs
    for written, read in zip(defs, loaded, strict=True):
        assert (read.name, read.parent, read.abstract) == (
            written.name,
            written.parent,
            written.abstract,
        )
        assert _same_values(written.items, read.items)
        assert _same_values(written.where, read.where)
