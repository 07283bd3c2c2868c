"""Packet definitions in JSON and TOML files: exact round trips, faults named
with the file and the place, files written whole or not at all."""

from __future__ import annotations

import io
import json

import pytest

from bitloom_bulk import (
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
