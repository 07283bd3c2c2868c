"""load_recipe and dump_recipe: exact round trips per format, ccsdspy-style CSV,
and bad files named with their line and column or key."""

import io
import itertools
import json
import math
import os

import pytest
from bulk_helpers import same_dict
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import bitloom
from bitloom_bulk import RecipeFileError, dump_recipe, field, load_recipe

FORMATS = ["json", "toml", "csv"]

RECIPE = [
    field("version", "unsigned", 3, value=1),
    field("Temperatur_°C", "twos_complement", 13, value=-273),
    field("spannung", "ieee754_f32", 32, byte_order="little", value=28.5),
    field("mirror", "unsigned", 8, reverse_bits=True, offset_bits=48, value=0x81),
    field('grüße, "quoted"', "utf8", 64, value="Grüße ✓"),
    field("padded", "us_ascii", 40, value="  a b "),
]
UNPACK = [{k: v for k, v in item.items() if k != "value"} for item in RECIPE]


@pytest.mark.parametrize("fmt", ["json", "toml", "csv"])
@pytest.mark.parametrize("recipe", [RECIPE, UNPACK], ids=["pack", "unpack"])
def test_round_trip(tmp_path, fmt, recipe):
    path = tmp_path / f"recipe.{fmt}"
    dump_recipe(recipe, path)
    loaded = load_recipe(path)
    assert loaded == recipe
    assert [list(item) for item in loaded] == [list(item) for item in recipe]
    if recipe is RECIPE:
        assert bitloom.pack_parameters(loaded) == bitloom.pack_parameters(RECIPE)


@pytest.mark.parametrize("fmt", ["json", "toml", "csv"])
def test_round_trip_through_open_files_and_explicit_format(tmp_path, fmt):
    path = tmp_path / "recipe.txt"
    with open(path, "w", encoding="utf-8", newline="") as handle:
        dump_recipe(RECIPE, handle, format=fmt)
    with open(path, "rb") as handle:
        assert load_recipe(handle, format=fmt) == RECIPE
    with pytest.raises(ValueError, match="suffix"):
        load_recipe(path)


def test_csv_defaults(tmp_path):
    path = tmp_path / "r.csv"
    path.write_text("name,encoding,bits\nä,unsigned,4\nb,UTF8,8\n", encoding="utf-8")
    assert load_recipe(path) == [field("ä", "unsigned", 4), field("b", "UTF8", 8)]


def test_ccsdspy_csv(tmp_path):
    path = tmp_path / "defs.csv"
    path.write_text(
        "name,data_type,bit_length,bit_offset,byte_order\n"
        "count,uint,14,18,\n"
        "temp,int,16,,little\n"
        "volts,float,32,,\n"
        "wide,float,64,,\n"
        "label,str,64,,\n",
        encoding="utf-8",
    )
    assert load_recipe(path) == [
        field("count", "unsigned", 14, offset_bits=18),
        field("temp", "twos_complement", 16, byte_order="little"),
        field("volts", "ieee754_f32", 32),
        field("wide", "ieee754_f64", 64),
        field("label", "utf8", 64),
    ]


@pytest.mark.parametrize(
    ("name", "text", "where"),
    [
        ("bad.json", '[\n  {"name": "a",\n   "bits": 8,,}\n]', "line 3, column"),
        ("bad.json", '{"items": []}', "key 'fields'"),
        ("bad.json", '[{"name": "a"}, 3]', "key '[1]'"),
        ("bad.toml", "[[fields]]\nname = 'a'\nbits = = 8\n", "line 3"),
        ("bad.toml", "[[item]]\nname = 'a'\n", "key 'fields'"),
        ("bad.csv", "name,encoding,bits\na,unsigned,eight\n", "line 2, column 'bits'"),
        (
            "bad.csv",
            "name,encoding,bits,reverse_bits\na,unsigned,8,yes\n",
            "line 2, column 'reverse_bits'",
        ),
        ("bad.csv", "name,encoding,bits,offset\na,unsigned,8,3\n", "line 1, column 'offset'"),
        ("bad.csv", "name,encoding\na,unsigned\n", "line 1"),
        ("bad.csv", "name,encoding,bits\n\na,unsigned,8\nb,,8\n", "line 4, column 'encoding'"),
        ("bad.csv", "name,data_type,bit_length\nx,float,24\n", "line 2, column 'bit_length'"),
        ("bad.csv", "name,data_type,bit_length\nx,fill,8\n", "line 2, column 'data_type'"),
    ],
)
def test_bad_files(tmp_path, name, text, where):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    with pytest.raises(RecipeFileError) as info:
        load_recipe(path)
    assert str(info.value).startswith(str(path))
    assert where in str(info.value)
    assert isinstance(info.value, ValueError)


def test_json_error_position_is_the_decoders():
    text = '[{"name": "a",\n "bits": }]'
    with pytest.raises(json.JSONDecodeError) as expected:
        json.loads(text)
    with pytest.raises(RecipeFileError) as info:
        load_recipe(io.StringIO(text), format="json")
    assert (info.value.line, info.value.column) == (expected.value.lineno, expected.value.colno)


@pytest.mark.parametrize(
    ("item", "key"),
    [
        ({**field("a", "unsigned", 8), "offset": 3}, "[0].offset"),
        (field("a", "unsigned", 8, value="3"), "[0].value"),
        (field("t", "utf8", 8, value=""), "[0].value"),
    ],
)
def test_csv_refuses_what_does_not_read_back(tmp_path, item, key):
    with pytest.raises(RecipeFileError, match=key.replace("[", r"\[").replace("]", r"\]")):
        dump_recipe([item], tmp_path / "r.csv")
    dump_recipe([item], tmp_path / "r.json")
    assert load_recipe(tmp_path / "r.json") == [item]


# Writing: the whole file or nothing, and only what reads back as written.


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize(
    ("recipe", "key"),
    [
        ([field("\udc80", "unsigned", 8)], "[0].name"),
        (
            [field("a", "utf8", 16, value="ok"), field("b", "utf8", 16, value="x\ud800")],
            "[1].value",
        ),
    ],
)
def test_a_refused_dump_leaves_the_old_file(tmp_path, fmt, recipe, key):
    path = tmp_path / f"keep.{fmt}"
    dump_recipe(RECIPE, path)
    before = path.read_bytes()
    with pytest.raises(RecipeFileError, match="surrogate") as info:
        dump_recipe(recipe, path)
    assert info.value.key == key
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == [path.name]


TRICKY_TEXTS = [
    "a\r\nb",
    "c\rd",
    "\rx",
    "e\nf\n",
    " blanks around ",
    '"quoted", with a comma',
    "\x85\u2028\u2029\x0b\x0c.",
    "\ufeffmark",
    "# not a comment",
    "'single' = [x]",
]


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("text", TRICKY_TEXTS)
def test_texts_read_back_as_written(tmp_path, fmt, text):
    recipe = [field(text, "utf8", 64, value=text), field("after", "unsigned", 8, value=1)]
    path = tmp_path / f"r.{fmt}"
    dump_recipe(recipe, path)
    assert load_recipe(path) == recipe


@pytest.mark.parametrize(
    ("fmt", "item", "key"),
    [
        *[(fmt, field("n", "ieee754_f64", 64, value=-math.nan), "[1].value") for fmt in FORMATS],
        ("json", {**field("a", "unsigned", 8), "unit": ("m", "s")}, "[1].unit"),
        ("json", {**field("a", "unsigned", 8), 7: "seven"}, "[1]"),
        ("toml", {**field("a", "unsigned", 8), "unit": None}, "[1]"),
        ("json", field("a", "unsigned", 10**5000), "[1]"),
        ("csv", field("a", "unsigned", 10**5000), "[1]"),
        (
            "csv",
            {"name": "a", "encoding": "unsigned", "bits": 8, "reverse_bits": False},
            "[1].byte_order",
        ),
        ("csv", field("a", "unsigned", 8, offset_bits=None), "[1].offset_bits"),
        ("csv", field("a", "unsigned", "8"), "[1].bits"),
        ("csv", field("  ", "unsigned", 8), "[1].name"),
    ],
)
def test_dump_refuses_what_would_not_read_back(tmp_path, fmt, item, key):
    path = tmp_path / f"r.{fmt}"
    with pytest.raises(RecipeFileError) as info:
        dump_recipe([field("ok", "unsigned", 8), item], path)
    assert info.value.key == key
    assert not path.exists()


TEXTS = st.text(max_size=6) | st.sampled_from([*TRICKY_TEXTS, " ", "\x00"])
VALUES = {
    "unsigned": st.integers(0, 2**64) | st.just(10**5000),
    "ieee754_f32": st.floats(width=32),
    "ieee754_f64": st.floats(),
    "utf8": TEXTS,
    "latin1": TEXTS,
}


@st.composite
def recipe_items(draw):
    """Items as people write them, now and then with a fault some format
    cannot hold: a missing key, a value of another type, blank text."""
    encoding = draw(st.sampled_from(sorted(VALUES)))
    item = field(
        draw(st.text(min_size=1, max_size=6) | TEXTS),
        encoding,
        draw(st.integers(0, 2**32)),
        byte_order=draw(st.sampled_from(["big", "little", "Big", " big"])),
        reverse_bits=draw(st.booleans()),
    )
    if draw(st.booleans()):
        item["offset_bits"] = draw(st.integers(0, 2**32))
    if draw(st.booleans()):
        item["value"] = draw(VALUES[encoding])
    fault = draw(st.integers(0, 19))
    if fault == 0:
        del item[draw(st.sampled_from(list(item)))]
    elif fault == 1:
        item[draw(st.sampled_from(list(item)))] = draw(st.none() | st.integers() | TEXTS)
    return item


_FILES = itertools.count()


@settings(
    max_examples=250, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(recipe=st.lists(recipe_items(), max_size=3), fmt=st.sampled_from(FORMATS))
def test_what_dump_writes_loads_back_exactly(tmp_path, recipe, fmt):
    path = tmp_path / f"{next(_FILES)}.{fmt}"
    try:
        dump_recipe(recipe, path)
    except RecipeFileError as exc:
        assert exc.file == str(path)
        assert not path.exists()
        return
    loaded = load_recipe(path)
    assert len(loaded) == len(recipe)
    assert all(same_dict(a, b) for a, b in zip(loaded, recipe, strict=True))


# Reading: parser limits reported as RecipeFileError with their place.

DIGITS = "9" * 5000


@pytest.mark.parametrize(
    ("fmt", "text", "line", "column", "problem"),
    [
        ("json", '[\n {"name": "a", "bits": ' + DIGITS + "}]", 2, 24, "5000 digits"),
        ("json", '{"fields": [{"x": ' + "[" * 100_000, 1, 116, "nested more than 100"),
        ("toml", "[[fields]]\nname = 'a'\nbits = " + DIGITS + "\n", 3, 8, "5000 digits"),
        ("toml", "[[fields]]\nname = 'a'\nbits = " + "[" * 100_000, 3, 108, "nested more than 100"),
        ("toml", "x = " + "{a = " * 100_000, 1, 505, "nested more than 100"),
        ("csv", "name,encoding,bits\na,unsigned," + DIGITS + "\n", 2, "bits", "5000 digits"),
        (
            "csv",
            "name,encoding,bits,value\na,unsigned,8," + DIGITS + "\n",
            2,
            "value",
            "5000 digits",
        ),
        (
            "csv",
            "name,data_type,bit_length\na,uint," + DIGITS + "\n",
            2,
            "bit_length",
            "5000 digits",
        ),
    ],
)
def test_parser_limits_are_recipe_file_errors(tmp_path, fmt, text, line, column, problem):
    path = tmp_path / f"big.{fmt}"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(RecipeFileError) as info:
        load_recipe(path)
    assert (info.value.file, info.value.line, info.value.column) == (str(path), line, column)
    assert problem in info.value.problem
    assert len(info.value.problem) < 200


@pytest.mark.parametrize(
    ("fmt", "text"),
    [
        ("json", '[{"name": "[{' + "[" * 500 + DIGITS + '\\"", "bits": 8}]'),
        (
            "toml",
            "[[fields]]\nname = '''["
            + "[" * 500
            + DIGITS
            + "'''\n# ["
            + "[" * 200
            + "\nbits = 8\n",
        ),
    ],
)
def test_brackets_and_digits_inside_strings_are_text(tmp_path, fmt, text):
    path = tmp_path / f"r.{fmt}"
    path.write_text(text, encoding="utf-8")
    (item,) = load_recipe(path)
    assert len(item["name"]) > 5500
