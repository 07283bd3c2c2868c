"""Definitions whose binary16 and binary32 items ask for float32 columns: the
reference model's values and the float64 columns of the same definitions
without the key (widened, bit for bit), in every kind of item; the refusals,
the file round trips and the checks; load_ccsdspy against ccsdspy's dtypes."""

from __future__ import annotations

import random

import numpy as np
import pytest

import bitloom_bulk as bb
from bitloom_bulk import DefinitionError, Definitions, PacketType, field
from tests.support import definitions_model as model
from tests.support.realdata import REALDATA, needs_realdata

F32 = {"dtype": "float32"}
SIZE = 96
TENTH = 0x3DCC_CCCD  # float32(0.1), above 0.1 as a double


def definitions(narrow):
    d = F32 if narrow else {}
    base = [
        field("n", "unsigned", 3),
        field("g", "ieee754_f32", 32, **d),  # from bit 3
        field("h", "ieee754_f16", 16, byte_order="little", offset_bits=37, **d),
        field("q", "ieee754_f32", 32, byte_order="3412", **d),
        field("r", "ieee754_f16", 16, byte_order="21", **d),
        field("a", "ieee754_f32", 32, byte_order="little", count=3, **d),
        field("m", "ieee754_f32", 32, reverse_bits=True, **d),
        field("p", "ieee754_f32", 32, polynomial=[1.5, 0.25], **d),
        field("k", "ieee754_f16", 16, count={"field": "n"}, **d),
        field("w", "ieee754_f32", 32, count={"when": [("n", ">", 3)]}, **d),
        field("recs", "binary", {"field": "n", "scale": 37},
              records=[field("e", "unsigned", 5), field("v", "ieee754_f32", 32, **d)]),
    ]  # fmt: skip
    return Definitions(
        [
            PacketType("base", base),
            # float32(0.1) is above 0.1: compared as float64, as without the key.
            PacketType("equal", [field("x", "ieee754_f32", 32, **d)], parent="base",
                       where=[("g", "==", 0.1)]),
            PacketType("above", [field("y", "ieee754_f16", 16, **d)], parent="base",
                       where=[("g", ">", 0.1)]),
        ]
    )  # fmt: skip


def packets(seed, count):
    rng = random.Random(seed)
    data = bytearray(rng.randbytes(SIZE * count))
    at_g = bb.compile([field("g", "unsigned", 32, offset_bits=3)])
    images = [TENTH, 0x7F80_0001, 0xFFC1_2345, 0x8000_0000, 0x7F80_0000, 0xFF80_0000]
    for p in range(0, count, 2):
        at_g.pack_into(data, 8 * SIZE * p, {"g": images[(p // 2) % len(images)]})
    return bytes(data)


def float32_names(defs, derived=True):
    """The items whose columns are float32: those asking for it, but for
    derived values (float64) unless `derived` is False."""
    names = set()
    for node in defs.nodes():
        for item in node.items:
            if item.item.get("dtype") == "float32" and not (item.derived and derived):
                names.add(item.name)
            for r in item.records or []:
                if r.get("dtype") == "float32":
                    names.add(r["name"])
    return names


@pytest.mark.parametrize("seed", range(6))
def test_float32_items_decode_as_the_model_and_as_float64_items(seed):
    narrow, wide = definitions(True), definitions(False)
    data = packets(seed, 64)
    want = model.decode(narrow, data, packet_bytes=SIZE)
    got = narrow.decode(data, packet_bytes=SIZE)
    model.assert_same(narrow, got, want)
    assert len(got["above"]["y"]) >= 5  # the packets holding float32(0.1) among them
    full = wide.decode(data, packet_bytes=SIZE)
    assert list(got) == list(full)
    floats = float32_names(narrow)
    for table in got:
        assert list(got[table]) == list(full[table])
        for name, column in got[table].items():
            other = full[table][name]
            if name in floats:
                assert column.dtype == np.float32, (table, name)
                with np.errstate(invalid="ignore"):  # signalling NaNs, widened
                    column = column.astype(np.float64)
            assert column.dtype == other.dtype, (table, name)
            np.testing.assert_array_equal(column.view(np.uint8), other.view(np.uint8))
    assert got["base"]["p"].dtype == np.float64  # derived values stay float64
    raw = narrow.decode(data, packet_bytes=SIZE, derived=False)
    assert raw["base"]["p"].dtype == np.float32
    model.assert_same(narrow, raw, model.decode(narrow, data, packet_bytes=SIZE, derived=False))


def one(**keys):
    return Definitions([PacketType("T", [field("x", "ieee754_f32", 32) | keys])])


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: one(dtype="float64"), "dtype must be 'float32' (a float32 column), not 'float64'"),
        (lambda: one(dtype=None), "dtype must be 'float32' (a float32 column), not None"),
        (lambda: one(dtype=4), "dtype must be 'float32' (a float32 column), not 4"),
        (lambda: one(encoding="unsigned", dtype="float32"),
         "dtype 'float32' is for an ieee754_f16 or ieee754_f32 field, not encoding 'unsigned'"),
        (lambda: one(encoding="IEEE754_F64", bits=64, dtype="float32"),
         "not encoding 'IEEE754_F64'"),
        (lambda: one(encoding="binary", bits=32, dtype="float32"), "not encoding 'binary'"),
        (lambda: one(encoding="binary", bits={"rest": 0}, dtype="float32",
                     records=[field("v", "ieee754_f32", 32)]), "not encoding 'binary'"),
        (lambda: one(encoding="binary", bits={"rest": 0},
                     records=[field("v", "unsigned", 32, dtype="float32")]), "item 'v'"),
    ],
)  # fmt: skip
def test_a_dtype_no_float32_column_can_take_is_refused_when_built(make, message):
    with pytest.raises(DefinitionError) as caught:
        make()
    assert message in str(caught.value) and "type 'T'" in str(caught.value)


@pytest.mark.parametrize("suffix", [".json", ".toml"])
def test_files_keep_the_dtype(tmp_path, suffix):
    defs = definitions(True)
    path = tmp_path / f"defs{suffix}"
    bb.dump_definitions(defs, path)
    back = bb.load_definitions(path)
    assert back == defs
    assert float32_names(back, derived=False) == set("ghqramkwvxyp")
    assert back.decode(packets(0, 4), packet_bytes=SIZE)["base"]["g"].dtype == np.float32


@pytest.mark.parametrize(
    ("keys", "codes"),
    [
        ({"dtype": "float32"}, []),
        ({"dtype": "float32", "encoding": "ieee754_f16", "bits": 16}, []),
        ({"dtype": "float64"}, ["bad-dtype"]),
        ({"dtype": "float32", "encoding": "ieee754_f64", "bits": 64}, ["bad-dtype"]),
        ({"dtype": "float32", "encoding": "unsigned"}, ["bad-dtype"]),
        ({"dtype": "float32", "encoding": "utf-8"}, ["unknown-encoding"]),
        ({"dtpye": "float32"}, ["unknown-key"]),
    ],
)
def test_check_recipe_knows_the_dtype(keys, codes):
    recipe = [field("x", "ieee754_f32", 32) | keys]
    assert [f.code for f in bb.check_recipe(recipe)] == codes
    if codes != ["bad-dtype"]:
        return
    with pytest.raises(ValueError, match="dtype"):
        bb.unpack_columns(bytes(8), recipe, packet_bytes=8)  # as the finding says
    assert bb.check_recipe(definitions(True)) == []


ccsdspy = pytest.importorskip("ccsdspy")

# Floats of every width and byte order, an array and a permutation. (As
# objects: ccsdspy 2.0.1's CSV reader drops the byte_order column.)
FIELDS = [
    ("a", "float", 32, "big", None),
    ("b", "float", 32, "little", None),
    ("c", "float", 64, "big", None),
    ("d", "float", 16, "big", None),
    ("e", "float", 32, "big", 3),
    ("f", "float", 32, "3412", None),
    ("g", "uint", 32, "little", None),
]
BODY = 4 + 4 + 8 + 2 + 12 + 4 + 4


def test_load_ccsdspy_gives_ccsdspys_values_and_dtypes(tmp_path):
    fields = [
        ccsdspy.PacketArray(name=n, data_type=t, bit_length=b, byte_order=o, array_shape=s)
        if s else ccsdspy.PacketField(name=n, data_type=t, bit_length=b, byte_order=o)
        for n, t, b, o, s in FIELDS
    ]  # fmt: skip
    rng = random.Random(7)
    specials = [b"\x7f\x80\x00\x01", b"\xff\xc1\x23\x45", b"\x80\x00\x00\x00", b"\x7f\x80\x00\x00"]
    data = bytearray()
    count = 40
    for p in range(count):
        body = bytearray(rng.randbytes(BODY))
        for at in (0, 4, 18, 30):  # a, b, e[0], f
            body[at : at + 4] = specials[(p + at) % len(specials)]
        data += b"\x08\x21\xc0\x00" + (BODY - 1).to_bytes(2, "big") + body
    path = tmp_path / "floats.bin"
    path.write_bytes(data)
    theirs = ccsdspy.FixedLength(fields).load(str(path), include_primary_header=True)
    ours = bb.load_ccsdspy(fields, name="floats").decode(bytes(data))["floats"]
    for name, want in theirs.items():
        got = ours[name]
        if name == "d":
            # ccsdspy's 16-bit floats are float16; ours stay float64.
            assert want.dtype == np.dtype(">f2") and got.dtype == np.float64
            want = want.astype(np.float64)
        assert got.dtype == want.dtype.newbyteorder("="), name
        np.testing.assert_array_equal(
            got.reshape(count, -1).view(np.uint8),
            want.astype(got.dtype).reshape(count, -1).view(np.uint8),
            name,
        )


@needs_realdata
def test_the_jpss_csv_columns_have_ccsdspys_dtypes():
    csv = REALDATA / "spp" / "jpss" / "ccsdspy_jpss1_geolocation.csv"
    data = REALDATA / "spp" / "jpss" / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
    ours = bb.load_ccsdspy(csv).decode(data.read_bytes())[csv.stem]
    theirs = ccsdspy.FixedLength.from_file(str(csv)).load(str(data), include_primary_header=True)
    assert {k: ours[k].dtype for k in theirs} == {
        k: v.dtype.newbyteorder("=") for k, v in theirs.items()
    }
    assert sum(ours[k].dtype == np.float32 for k in theirs) == 10
