"""load_recipe and dump_recipe: exact round trips per format, ccsdspy-style CSV,
and bad files named with their line and column or key."""

import io
import itertools
import json
import math
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import bitloom
from bitloom_bulk import RecipeFileError, dump_recipe, field, load_recipe, unpack_ccsds
from tests.support.outcomes import same_dict
from tests.support.streams import header

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
    # Offsets count from the packet's first bit; a field without one follows the
    # furthest field before it, and the first such field the primary header.
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
        field("temp", "twos_complement", 16, byte_order="little", offset_bits=48),
        field("volts", "ieee754_f32", 32),
        field("wide", "ieee754_f64", 64),
        field("label", "iso_8859_1", 64),
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
        ("bad.csv", "name,data_type,bit_length\nx,bool,8\n", "line 2, column 'data_type'"),
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


# ccsdspy's CSV definitions.


def ccsds_packet(body, apid=5):
    return header(apid, 0, 6 + len(body)) + body


def test_ccsdspy_fields_without_offsets_start_after_the_primary_header(tmp_path):
    path = tmp_path / "hk.csv"
    path.write_text("name,data_type,bit_length\ntemp,uint,16\n", encoding="utf-8")
    packet = ccsds_packet((1000).to_bytes(2, "big"))
    assert unpack_ccsds(packet, {5: load_recipe(path)})[5]["temp"].tolist() == [1000]


def test_ccsdspy_str_reads_every_byte(tmp_path):
    path = tmp_path / "hk.csv"
    path.write_text("name,data_type,bit_length\nlabel,str,32\n", encoding="utf-8")
    packet = ccsds_packet(b"\xffA\x00\x80")
    assert unpack_ccsds(packet, {5: load_recipe(path)})[5]["label"].tolist() == ["\xffA\x00\x80"]


@pytest.mark.parametrize(
    "text",
    [
        "name,data_type,bit_length\nhigh,uint,4\nSPARE,fill,4\nlow,int,8\nSPARE,fill,2\n",
        "name,data_type,bit_length,bit_offset\nhigh,uint,4,48\nSPARE,fill,4,52\nlow,int,8,56\n",
    ],
)
def test_ccsdspy_fill_rows_only_move_the_position(tmp_path, text):
    path = tmp_path / "fill.csv"
    path.write_text(text, encoding="utf-8")
    columns = unpack_ccsds(ccsds_packet(b"\xa5\xfe\x00"), {5: load_recipe(path)})[5]
    assert {name: column.tolist() for name, column in columns.items()} == {
        "high": [0xA],
        "low": [-2],
    }


def test_ccsdspy_extra_columns_are_ignored_with_a_warning(tmp_path):
    path = tmp_path / "defs.csv"
    path.write_text(
        'name,data_type,bit_offset,bit_length,calibration\nx,uint,48,8,"{""0"": ""OFF""}"\n',
        encoding="utf-8",
    )
    with pytest.warns(UserWarning, match="calibration") as record:
        recipe = load_recipe(path)
    assert recipe == [field("x", "unsigned", 8, offset_bits=48)]
    assert [str(w.message) for w in record] == [
        f"{path}, line 1, column 'calibration': ignored, as ccsdspy ignores it"
    ]


def test_ccsdspy_cells_lose_their_blanks(tmp_path):
    path = tmp_path / "defs.csv"
    path.write_text("name, data_type, bit_length\n temp , uint , 16 \n", encoding="utf-8")
    assert load_recipe(path) == [field("temp", "unsigned", 16, offset_bits=48)]
    path.write_text('name, data_type, bit_length\nVOLTAGE, "int(12, 24)", 8\n', encoding="utf-8")
    with pytest.raises(RecipeFileError) as info:
        load_recipe(path)
    assert (info.value.line, info.value.column) == (2, "data_type")
    assert info.value.problem.startswith("data_type 'int(12, 24)' is an array of shape (12, 24)")


@pytest.mark.parametrize(
    ("rows", "line", "column", "feature"),
    [
        ("a,uint(4),8", 2, "data_type", "'uint(4)' is an array of shape (4)"),
        ("a,uint(expand),8", 2, "data_type", "'uint(expand)' is an expanding field"),
        ("n,uint,8\na,uint(n),8", 3, "data_type", "sized by the field 'n'"),
        ("a,uint,32,,3412", 2, "byte_order", "byte order '3412' is a byte permutation"),
        ("a,uint,24,,little", 2, "byte_order", "little-endian uint of 24 bits"),
        ("p,fill,4\na,int,16,,little", 3, "byte_order", "little-endian int of 16 bits at bit 52"),
        ("a,float,24", 2, "bit_length", "a float of 24 bits"),
        ("p,fill,4\na,float,32", 3, None, "a float at bit 52, not on a byte boundary"),
        ("a,float,32,61", 2, "bit_offset", "a float at bit 61, not on a byte boundary"),
        ("a,str,12", 2, None, "a str of 12 bits at bit 48, not whole bytes"),
        ("p,fill,1\na,uint,64", 3, None, "a uint of 64 bits at bit 49 spans 9 bytes"),
        ("a,int,72", 2, None, "an int of 72 bits at bit 48 spans 9 bytes"),
        ("a,uint,0", 2, "bit_length", "a field of 0 bits"),
        ("a,uint,8\na,fill,8", 3, "name", "a fill row named like the field on line 2"),
        ("a,bool,8", 2, "data_type", "data_type 'bool'"),
        ("a,uint,8,-1", 2, "bit_offset", "bit_offset -1"),
        ("a,uint,4294967295\nb,uint,8", 2, "bit_length", "ends past bit 4294967295"),
    ],
)
def test_ccsdspy_features_recipes_cannot_hold_are_refused(tmp_path, rows, line, column, feature):
    path = tmp_path / "defs.csv"
    path.write_text(f"name,data_type,bit_length,bit_offset,byte_order\n{rows}\n", encoding="utf-8")
    with pytest.raises(RecipeFileError) as info:
        load_recipe(path)
    assert (info.value.file, info.value.line, info.value.column) == (str(path), line, column)
    assert feature in info.value.problem
