"""load_recipe on ccsdspy's CSV packet definitions, against ccsdspy itself.

Generated definitions in all of ccsdspy's forms (with and without bit_offset,
offsets left out of some rows, fill rows, every data type and byte order it
accepts, arrays and expanding fields, blanks after the commas, extra columns),
then the definitions ccsdspy and the real-data corpus ship, on their own data
where they come with some. A definition either loads into a recipe that
unpack_ccsds decodes to what ccsdspy's FixedLength(...).load(...) decodes, field
by field and packet by packet, or is refused with a RecipeFileError naming the
file, the line and the feature.
"""

from __future__ import annotations

import collections
import glob
import io
import logging
import math
import os
import pathlib
import random
import warnings
from dataclasses import dataclass, replace

import numpy as np
import pytest

from bitloom_bulk import RecipeFileError, load_recipe, unpack_ccsds
from tests.support.realdata import REALDATA, needs_realdata
from tests.support.streams import header

ccsdspy = pytest.importorskip("ccsdspy")
logging.getLogger("ccsdspy").setLevel(logging.ERROR)  # sequence-count notes

APID = 0x123
TYPES = ["uint", "int", "float", "str", "fill"]
# Byte orders ccsdspy accepts: big, little and any string of digits.
ORDERS = ["big", "little", "1", "21", "4321", "3412", "12345678"]

# Words of a refusal, by what the refused row has.
FEATURES = {
    "array": ("is an array", "is an expanding field"),
    "permutation": ("is a byte permutation",),
    "little": ("little-endian",),
    "float": ("float",),
    "str": ("str of",),
    "integer": ("ccsdspy reads integers of at most 8 bytes",),
    "fill": ("fill row named like",),
}


@dataclass
class Row:
    name: str
    data_type: str  # as written: "uint", "int(2, 3)", "uint(expand)"
    bits: int
    offset: int | None = None
    order: str = ""

    @property
    def base(self):
        return self.data_type.partition("(")[0]

    def features(self):
        if "(" in self.data_type:
            return {"array"}
        found = {"fill"} if self.base == "fill" else set()
        if self.order.isdigit():
            found.add("permutation")
        if self.order == "little" and self.base in ("uint", "int"):
            found.add("little")
        if self.base in ("uint", "int"):
            found.add("integer")
        if self.base in ("float", "str"):
            found.add(self.base)
        return found

    def packet_field(self):
        """The field as ccsdspy's CSV reader would make it, with its byte order."""
        return ccsdspy.PacketField(
            name=self.name,
            data_type=self.data_type,
            bit_length=self.bits,
            bit_offset=self.offset,
            byte_order=self.order or "big",
        )


def random_definition(rng):
    """(rows, form, with byte_order column, with an extra column). Most
    definitions keep to whole bytes, as most packets do; the others put fields
    anywhere."""
    form = rng.choice(["no offsets", "offsets", "some offsets"])
    orders = rng.random() < 0.4
    aligned = rng.random() < 0.6
    rows = []
    position = 48
    for index in range(rng.randrange(1, 8)):
        data_type = rng.choice(TYPES)
        bits = {
            "uint": rng.choice([8, 16, 24, 32, 64]) if aligned else rng.randrange(1, 65),
            "int": rng.choice([8, 16, 32, 40, 64]) if aligned else rng.randrange(1, 65),
            "float": rng.choice([16, 32, 64]) if rng.random() < 0.9 else 24,
            "str": rng.choice([8, 16, 24, 40, 64, 72]) if aligned else rng.randrange(1, 24),
            "fill": rng.choice([8, 16]) if aligned else rng.randrange(1, 24),
        }[data_type]
        # ccsdspy's files repeat the name of their fill rows; now and then a row
        # takes the name of an earlier one (the later one is the one returned).
        name = "SPACER" if data_type == "fill" and rng.random() < 0.5 else f"F{index}"
        if rows and rng.random() < 0.08:
            name = rng.choice(rows).name
        kind = rng.random()
        if kind < 0.02:
            data_type = f"{data_type}({rng.randrange(1, 4)})"
        elif kind < 0.03:
            data_type = f"{data_type}({rng.randrange(1, 3)}, {rng.randrange(1, 3)})"
        elif kind < 0.04:
            data_type = "uint(expand)"
        elif kind < 0.05 and rows:
            data_type = f"uint({rows[0].name})"
        row = Row(name, data_type, bits)
        if form == "offsets" or (form == "some offsets" and rng.random() < 0.5):
            # Mostly where the field would be anyway, now and then a gap, a step
            # back, or a place in the primary header.
            pick = rng.random()
            row.offset = (
                position if pick < 0.5 else rng.randrange(0, position + 24) if pick < 0.9 else 0
            )
            if aligned:
                row.offset -= row.offset % 8
        position = max(position, (position if row.offset is None else row.offset) + bits)
        if orders:
            row.order = rng.choice(ORDERS) if rng.random() < 0.1 else rng.choice(["", "little"])
        rows.append(row)
    return rows, form, orders, rng.random() < 0.15


def csv_text(rows, form, orders, extra, rng):
    columns = ["name", "data_type", "bit_length"]
    if form != "no offsets":
        columns.append("bit_offset")
    if orders:
        columns.append("byte_order")
    if extra:
        columns.insert(rng.randrange(len(columns) + 1), "description")
    blank = rng.choice(["", " "])  # ccsdspy's own files have a blank after each comma

    def cell(text):
        return blank + (f'"{text}"' if "," in text else text)

    lines = [",".join(columns)]
    for row in rows:
        values = {
            "name": row.name,
            "data_type": row.data_type,
            "bit_length": str(row.bits),
            "bit_offset": "" if row.offset is None else str(row.offset),
            "byte_order": row.order,
            "description": "a, b",
        }
        lines.append(",".join(cell(values[column]) for column in columns))
    return "\n".join(lines) + "\n"


def packets(rows, rng, count=4):
    """``count`` packets long enough for every field, of random bytes but for an
    all-ones one (negative integers, NaNs). ccsdspy reads a field at the place
    of the last field of its name, so the packets reach one field further."""
    reach = max(48, *(row.offset or 0 for row in rows)) + sum(row.bits for row in rows)
    reach += max(row.bits for row in rows)
    size = max(7, -(-reach // 8) + rng.randrange(0, 3))
    data = bytearray()
    for number in range(count):
        body = b"\xff" * (size - 6) if number == 1 else rng.randbytes(size - 6)
        data += header(APID, number, size) + body
    return bytes(data)


def same_values(recipe, ours, theirs, fields, where):
    """Every field of the recipe as ccsdspy decoded it, packet by packet; fill
    fields are ccsdspy's only."""
    named = {field.name: field for field in fields}
    assert set(ours) == {name for name, field in named.items() if field.data_type != "fill"}
    bits = {item["name"]: item["bits"] for item in recipe}
    for name, column in ours.items():
        expected = theirs[name]
        assert len(column) == len(expected), (where, name)
        for number, (mine, their) in enumerate(zip(column.tolist(), expected, strict=True)):
            data_type = named[name].data_type
            if data_type == "str":
                # ccsdspy holds text as numpy bytes widened to 4 or 8 bytes with
                # zeros in front (and shows them without the zeros at the end):
                # compare the bytes of the field itself.
                raw = expected[number : number + 1].view(np.uint8).tobytes()
                width = bits[name] // 8
                assert raw == bytes(len(raw) - width) + mine.encode("latin-1"), (where, name)
            elif data_type == "float":
                their = float(their)
                assert (math.isnan(mine) and math.isnan(their)) or (
                    mine == their and math.copysign(1, mine) == math.copysign(1, their)
                ), (where, name, number, mine, their)
            else:
                assert mine == int(their), (where, name, number, mine, their)


def decode_both(path, rows, recipe, data, *, from_file):
    fields = (
        ccsdspy.FixedLength.from_file(str(path))._fields
        if from_file
        else [row.packet_field() for row in rows]
    )
    try:
        theirs = ccsdspy.FixedLength(fields).load(io.BytesIO(data))
    except (TypeError, ValueError):
        # ccsdspy reads every field at the place of the last field of its name,
        # which can be a place it cannot read that field from; it then fails
        # where the result would hold the last field only. Named apart, the
        # fields before it leave the last one as it was.
        names = [row.name for row in rows]
        assert len(set(names)) < len(names)
        apart = [
            replace(row, name=f"{row.name}@{index}") if row.name in names[index + 1 :] else row
            for index, row in enumerate(rows)
        ]
        theirs = ccsdspy.FixedLength([row.packet_field() for row in apart]).load(io.BytesIO(data))
    ours = unpack_ccsds(data, {APID: recipe})[APID]
    return ours, theirs, fields


def check_refusal(error, path, rows):
    assert error.file == str(path)
    assert 2 <= error.line <= len(rows) + 1
    row = rows[error.line - 2]
    assert any(word in error.problem for feature in row.features() for word in FEATURES[feature]), (
        error.problem,
        row,
    )


def test_generated_definitions_decode_as_ccsdspy_or_are_refused(tmp_path):
    rng = random.Random(2024)
    compared = collections.Counter()
    refused = collections.Counter()
    for number in range(600):
        rows, form, orders, extra = random_definition(rng)
        path = tmp_path / f"def{number}.csv"
        path.write_text(csv_text(rows, form, orders, extra, rng), encoding="utf-8")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                recipe = load_recipe(path)
            except RecipeFileError as error:
                check_refusal(error, path, rows)
                refused[form] += 1
                continue
        assert [str(w.message) for w in caught] == (
            [f"{path}, line 1, column 'description': ignored, as ccsdspy ignores it"]
            if extra
            else []
        )
        if not recipe:
            # Only fill rows: every packet decodes into nothing.
            assert {row.data_type for row in rows} == {"fill"}
            assert unpack_ccsds(packets(rows, rng), {APID: recipe}) == {APID: {}}
            continue
        # ccsdspy's own CSV reader takes neither a byte_order column nor rows
        # without an offset under a bit_offset column; for those, ccsdspy gets the
        # fields the file writes.
        from_file = not orders and form != "some offsets"
        data = packets(rows, rng)
        ours, theirs, fields = decode_both(path, rows, recipe, data, from_file=from_file)
        same_values(recipe, ours, theirs, fields, path.name)
        for row in rows:
            compared[form, row.base, row.order or "big"] += 1
    # Every form, type and both plain byte orders reached a comparison, and the
    # refusals stay the exception.
    for form in ("no offsets", "offsets", "some offsets"):
        for data_type in TYPES:
            assert compared[form, data_type, "big"], (form, data_type)
    for data_type in ("uint", "int", "float"):
        assert sum(
            n for (_, t, order), n in compared.items() if (t, order) == (data_type, "little")
        )
    assert sum(refused.values()) < 360


# Each real definition: None where it loads, else the line and feature refused.
REAL_DEFINITIONS = {
    "ccsdspy/packet_def/basic_csv_3col.csv": None,
    "ccsdspy/packet_def/basic_csv_3col_with_all.csv": (3, "'uint(expand)' is an expanding field"),
    "ccsdspy/packet_def/basic_csv_3col_with_array.csv": (
        6,
        "'int(12, 24)' is an array of shape (12, 24)",
    ),
    "ccsdspy/packet_def/basic_csv_3col_with_expand.csv": (
        6,
        "'uint(expand)' is an expanding field",
    ),
    "ccsdspy/packet_def/basic_csv_3col_with_reference.csv": (6, "sized by the field 'OPMODE'"),
    "ccsdspy/packet_def/extended_csv_4col.csv": None,
    "ccsdspy/packet_def/extended_csv_4col_with_array.csv": (
        2,
        "'uint(4)' is an array of shape (4)",
    ),
    "spp/jpss/ccsdspy_jpss1_geolocation.csv": None,
}
# Data the corpus pairs with a definition.
REAL_DATA = {
    "spp/jpss/ccsdspy_jpss1_geolocation.csv": "spp/jpss/J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
}


def compare_on(path, data):
    recipe = load_recipe(path)
    apid = int.from_bytes(data[:2], "big") & 0x7FF
    fields = ccsdspy.FixedLength.from_file(str(path))._fields
    theirs = ccsdspy.FixedLength(fields).load(io.BytesIO(data))
    ours = unpack_ccsds(data, {apid: recipe})[apid]
    same_values(recipe, ours, theirs, fields, path.name)
    return len(next(iter(ours.values())))


@needs_realdata
def test_real_definitions_decode_as_ccsdspy_or_are_refused():
    found = {
        str(pathlib.Path(name).relative_to(REALDATA))
        for name in glob.glob(str(REALDATA / "**" / "*.csv"), recursive=True)
        if "data_type" in pathlib.Path(name).read_text(encoding="utf-8").partition("\n")[0]
    }
    assert found == set(REAL_DEFINITIONS)
    rng = random.Random(7)
    for name, refusal in REAL_DEFINITIONS.items():
        path = REALDATA / name
        if refusal is not None:
            with pytest.raises(RecipeFileError) as info:
                load_recipe(path)
            assert (info.value.file, info.value.line) == (str(path), refusal[0])
            assert refusal[1] in info.value.problem
            continue
        if name in REAL_DATA:
            data = (REALDATA / REAL_DATA[name]).read_bytes()
            assert compare_on(path, data) == 7200
        else:
            rows = [Row(item["name"], "uint", item["bits"]) for item in load_recipe(path)]
            assert compare_on(path, packets(rows, rng, count=8)) == 8


HS = sorted(
    glob.glob(os.path.join(os.path.dirname(ccsdspy.__file__), "tests", "data", "hs", "apid*"))
)


@pytest.mark.skipif(not HS, reason="this ccsdspy installation has no test data")
@pytest.mark.parametrize("folder", HS, ids=os.path.basename)
def test_ccsdspy_shipped_definitions_decode_their_data_as_ccsdspy(folder):
    # Four-column definitions whose offsets start inside the primary header,
    # with a calibration column ccsdspy ignores.
    path = pathlib.Path(folder) / "defs.csv"
    (data_file,) = glob.glob(os.path.join(folder, "*.tlm"))
    with pytest.warns(UserWarning, match="'calibration': ignored"):
        assert compare_on(path, pathlib.Path(data_file).read_bytes()) > 0
