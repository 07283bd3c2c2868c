"""load_recipe and dump_recipe: exact round trips per format, ccsdspy-style CSV,
and bad files named with their line and column or key."""

import io
import json

import pytest

import bitloom
from bitloom_bulk import RecipeFileError, dump_recipe, field, load_recipe

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
