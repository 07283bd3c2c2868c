"""Definitions.pack_columns: a type's table into packets, against a model that
packs every field of every row on its own with bitloom.pack_parameters and
places its bits by hand, and back through Definitions.decode; the shared
XTCE sets' tables packed back into their own packets; and what is refused."""

from __future__ import annotations

import random

import numpy as np
import pytest

import bitloom
import bitloom_bulk as bb
from bitloom_bulk import DefinitionError, Definitions, PacketType, field
from tests.support.realdata import REALDATA, needs_realdata

# -- the model -----------------------------------------------------------------


def _field_bits(item, value):
    """The field's bits (an int of item's width), packed on its own."""
    bits = item["bits"]
    order = item["byte_order"]
    if item["encoding"] == "binary":
        return int.from_bytes(value, "big")
    if order.isdigit():
        image = bitloom.pack_parameters([{**item, "byte_order": "big", "value": value}])
        stored = bytearray(len(order))
        for i, digit in enumerate(order):
            stored[int(digit) - 1] = image[i]
        return int.from_bytes(stored, "big")
    packed = bitloom.pack_parameters([{**item, "value": value}])
    return int.from_bytes(packed, "big") >> (8 * len(packed) - bits)


def model_packet(items, row):
    """One packet: each field's bits at its place (its offset, or where the
    field before it ended), zero elsewhere, padded to whole bytes."""
    placed, at = [], 0
    for item in items:
        plain = {k: v for k, v in item.items() if k not in ("count", "offset_bits")}
        start = item.get("offset_bits", at)
        values = row[item["name"]]
        for value in values if "count" in item else [values]:
            placed.append((start, item["bits"], _field_bits(plain, value)))
            start += item["bits"]
        at = start
    total = max((s + b for s, b, _ in placed), default=0)
    size = -(-total // 8)
    word = 0
    for start, bits, value in placed:
        word |= value << (8 * size - start - bits)
    return word.to_bytes(size, "big")


def model_route(types, row):
    """The name of the type a row's packet decodes as (None: no type)."""
    by_parent = {}
    for t in types:
        by_parent.setdefault(t["parent"], []).append(t)
    node = None
    children = by_parent.get(None, [])
    while True:
        nxt = next((c for c in children if c["holds"](row)), None)
        if nxt is None:
            return None if node is None or node["abstract"] else node["name"]
        node, children = nxt, by_parent.get(nxt["name"], [])


# -- random definitions --------------------------------------------------------

PERMUTATIONS = ["21", "3412", "2143", "4321", "2341", "78563412", "12345678"]


def _random_item(rng, name):
    kind = rng.choice(["u", "u", "s", "f32", "f64", "text", "perm", "binary", "array"])
    if kind in ("u", "s", "array"):
        enc = "unsigned" if kind != "s" else "twos_complement"
        bits = rng.randrange(1, 65)
        order = rng.choice(["big", "little"]) if bits % 8 == 0 else "big"
        keys = {"count": rng.randrange(1, 4)} if kind == "array" else {}
        return field(name, enc, bits, byte_order=order, reverse_bits=rng.random() < 0.2, **keys)
    if kind == "f32":
        return field(name, "ieee754_f32", 32, byte_order=rng.choice(["big", "little"]))
    if kind == "f64":
        return field(name, "ieee754_f64", 64, byte_order=rng.choice(["big", "little"]))
    if kind == "text":
        return field(name, "us_ascii", 8 * rng.randrange(1, 6))
    if kind == "perm":
        order = rng.choice(PERMUTATIONS)
        enc = rng.choice(["unsigned", "twos_complement"])
        return field(name, enc, 8 * len(order), byte_order=order)
    return field(name, "binary", 8 * rng.randrange(1, 20))


def _random_value(rng, item):
    enc, bits = item["encoding"], item["bits"]
    if enc == "unsigned":
        return rng.randrange(2**bits)
    if enc == "twos_complement":
        return rng.randrange(-(2 ** (bits - 1)), 2 ** (bits - 1))
    if enc.startswith("ieee754"):
        return (
            rng.choice([0.0, -1.5, 1e300, rng.uniform(-1e6, 1e6)])
            if bits == 64
            else rng.uniform(-1e3, 1e3)
        )
    if enc == "us_ascii":
        return "".join(rng.choice("abcXYZ019 ") for _ in range(bits // 8))
    return bytes(rng.randrange(256) for _ in range(bits // 8))


def _column(item, values):
    enc = item["encoding"]
    if enc == "binary":
        return np.array(values, dtype=object)
    if enc == "us_ascii":
        return np.array(values, dtype=object)
    if enc == "ieee754_f32":
        return np.array(values, dtype=np.float32)
    if enc == "ieee754_f64":
        return np.array(values, dtype=np.float64)
    dtype = np.uint64 if enc == "unsigned" else np.int64
    return np.array(values, dtype=dtype)


def _random_where(rng):
    """A where on the root's 'kind' field, and the same test in Python."""
    v = rng.randrange(4)
    shape = rng.randrange(4)
    if shape == 0:
        return {"kind": v}, lambda r: r["kind"] == v
    if shape == 1:
        return [("kind", ">=", v)], lambda r: r["kind"] >= v
    if shape == 2:
        w = rng.randrange(4)
        return {"any": [{"kind": v}, ("kind", "==", w)]}, lambda r: r["kind"] in (v, w)
    return {
        "all": [("kind", "!=", v), {"all": [("kind", "<", 3)]}]
    }, lambda r: r["kind"] != v and r["kind"] < 3


def random_set(rng):
    """Up to three levels under an abstract root holding 'kind'; every type's
    items fixed, some at an explicit offset past the running position."""
    types = [
        {
            "name": "root",
            "parent": None,
            "abstract": True,
            "holds": lambda r: True,
            "items": [field("kind", "unsigned", 8)],
        }
    ]
    for i in range(rng.randrange(1, 5)):
        parent = rng.choice([t for t in types if t["name"].count(".") < 2])
        where, holds = _random_where(rng) if rng.random() < 0.85 else (None, lambda r: True)
        items = []
        for j in range(rng.randrange(1, 5)):
            item = _random_item(rng, f"t{i}f{j}")
            if rng.random() < 0.2:
                item["offset_bits"] = 2000 + 700 * i + 100 * j  # past every running end
            items.append(item)
        types.append(
            {
                "name": f"{parent['name']}.{i}",
                "parent": parent["name"],
                "abstract": rng.random() < 0.15,
                "holds": holds,
                "where": where,
                "items": items,
            }
        )
    defs = Definitions(
        [
            PacketType(
                t["name"],
                t["items"],
                parent=t["parent"],
                where=t.get("where"),
                abstract=t["abstract"],
            )
            for t in types
        ]
    )
    return defs, types


def lineage_items(types, name):
    by_name = {t["name"]: t for t in types}
    chain = []
    while name is not None:
        chain.append(by_name[name])
        name = by_name[name]["parent"]
    return [item for t in reversed(chain) for item in t["items"]]


@pytest.mark.parametrize("seed", range(60))
def test_tables_pack_as_the_model_packs_each_row_and_decode_back(seed):
    rng = random.Random(seed)
    defs, types = random_set(rng)
    concrete = [t for t in types if not t["abstract"]]
    if not concrete:
        return
    target = rng.choice(concrete)
    items = lineage_items(types, target["name"])
    rows = []
    for _ in range(200):
        row = {"kind": rng.randrange(5)}
        if model_route(types, row) != target["name"]:
            continue
        for item in items[1:]:
            n = item.get("count")
            row[item["name"]] = (
                [_random_value(rng, item) for _ in range(n)] if n else _random_value(rng, item)
            )
        rows.append(row)
    columns = {"kind": np.array([r["kind"] for r in rows], dtype=np.uint8)}
    for item in items[1:]:
        values = [r[item["name"]] for r in rows]
        column = _column(item, values)
        if "count" in item:
            column = column.reshape(len(rows), item["count"])
        columns[item["name"]] = column
    # float32 columns carry their values rounded; the model packs the same.
    for item in items:
        if item["encoding"] == "ieee754_f32":
            for r, v in zip(rows, columns[item["name"]].tolist(), strict=True):
                r[item["name"]] = v
    got = defs.pack_columns(target["name"], columns)
    want = b"".join(model_packet(items, r) for r in rows)
    assert got == want
    if not rows:
        return
    size = len(want) // len(rows)
    back = defs.decode(got, packet_bytes=size, derived=False)
    filled = {name for name, table in back.items() if len(next(iter(table.values()))) > 0}
    assert filled == {target["name"]} and back.unmatched == {} and back.faults == []
    table = back[target["name"]]
    assert list(table) == list(columns)
    for name, column in columns.items():
        if column.dtype == object:
            assert list(table[name]) == list(column), name
        else:
            assert np.array_equal(np.asarray(table[name]), column), name


# -- routing ---------------------------------------------------------------------

ROUTED = Definitions(
    [
        PacketType("root", [field("kind", "unsigned", 8)], abstract=True),
        PacketType("A", [field("x", "unsigned", 8)], parent="root", where={"kind": 1}),
        PacketType("A1", [field("y", "unsigned", 8)], parent="A", where=[("x", ">", 200)]),
        PacketType("B", [field("z", "unsigned", 8)], parent="root", where=[("kind", "<=", 2)]),
    ]
)


@pytest.mark.parametrize(
    ("type_name", "columns", "row", "reached"),
    [
        # kind 1 is A's, which comes first: B never sees it
        ("B", {"kind": [2, 2, 1], "z": [0, 0, 0]}, 2, "as type 'A' or a type under it"),
        # kind 3 meets no root's where
        ("A", {"kind": [1, 3], "x": [0, 0]}, 1, "as no type"),
        # x past 200 goes on to the child
        ("A", {"kind": [1, 1, 1, 1], "x": [0, 5, 201, 9]}, 2, "as type 'A1'"),
        # the child's own where fails: the packet stays an A
        ("A1", {"kind": [1, 1], "x": [250, 3], "y": [0, 0]}, 1, "as type 'A'"),
    ],
)
def test_a_row_that_would_decode_as_another_type_is_refused(type_name, columns, row, reached):
    cols = {k: np.array(v, dtype=np.uint8) for k, v in columns.items()}
    with pytest.raises(ValueError) as info:
        ROUTED.pack_columns(type_name, cols)
    assert f"row {row} of the columns would decode {reached}, not as '{type_name}'" in str(
        info.value
    )
    for name in cols:
        cols[name] = np.delete(cols[name], row)
    data = ROUTED.pack_columns(type_name, cols)
    assert (
        ROUTED.decode(data, packet_bytes=len(cols) or 1, derived=False)[type_name]["kind"].tolist()
        == cols["kind"].tolist()
    )


# -- refusals --------------------------------------------------------------------

U8 = field("n", "unsigned", 8)


def _set(*items, abstract=False):
    return Definitions([PacketType("t", [U8, *items], abstract=abstract)])


@pytest.mark.parametrize(
    ("defs", "columns", "error", "words"),
    [
        (
            _set(field("b", "binary", {"field": "n"})),
            {},
            DefinitionError,
            ["item 'b'", "its size comes from the packet"],
        ),
        (
            _set(field("b", "binary", {"rest": 0})),
            {},
            DefinitionError,
            ["item 'b'", "its size comes from the packet"],
        ),
        (
            _set(field("a", "unsigned", 4, count={"field": "n"})),
            {},
            DefinitionError,
            ["item 'a'", "count comes from the packet"],
        ),
        (
            _set(field("r", "binary", 16, records=[field("e", "unsigned", 4)])),
            {},
            DefinitionError,
            ["item 'r'", "records make a child table"],
        ),
        (
            _set(field("c", "unsigned", 8, offset_bits=-8)),
            {},
            DefinitionError,
            ["item 'c'", "counted from the packet's end"],
        ),
        (_set(abstract=True), {}, DefinitionError, ["type 't'", "abstract"]),
        (_set(), {"n": [1], "m": [2]}, ValueError, ["'m'", "names no field of type 't'"]),
        (_set(field("m", "unsigned", 8)), {"n": [1]}, ValueError, ["no column for field 'm'"]),
        (
            _set(field("m", "unsigned", 8)),
            {"n": [1, 2], "m": [1]},
            ValueError,
            ["column 'm' holds 1 rows"],
        ),
        (
            _set(field("a", "unsigned", 8, count=3)),
            {"n": [1, 1, 1], "a": [1, 2, 3]},
            ValueError,
            ["'a'", "shape (rows, 3)"],
        ),
        (
            _set(field("b", "binary", 16)),
            {"n": [1, 1], "b": [b"ab", b"abc"]},
            ValueError,
            ["row 1 of column 'b' holds 3 bytes", "holds 2"],
        ),
        (
            _set(field("b", "binary", 16)),
            {"n": [1], "b": ["ab"]},
            TypeError,
            ["row 0 of column 'b' is a str"],
        ),
        (
            _set(field("b", "binary", 16)),
            {"n": [1], "b": np.array([b"abc"])},
            ValueError,
            ["values of 3 bytes"],
        ),
        (
            _set(field("b", "binary", 16)),
            {"n": [1], "b": np.array([7], "u2")},
            TypeError,
            ["column 'b' of dtype uint16"],
        ),
        (_set(), [1], TypeError, ["columns must be a mapping"]),
        (
            _set(field("b", "unsigned", 32, byte_order="3412")),
            {"n": [0, 0], "b": [1, 2**32]},
            ValueError,
            ["bytes are stored as '3412'"],
        ),
    ],
)
def test_what_cannot_be_packed_is_refused(defs, columns, error, words):
    if isinstance(columns, dict):
        columns = {
            k: v
            if isinstance(v, np.ndarray)
            else np.array(v, dtype=object if isinstance(v[0], (bytes, str)) else np.uint64)
            for k, v in columns.items()
        }
    with pytest.raises(error) as info:
        defs.pack_columns("t", columns)
    text = str(info.value) + " ".join(getattr(info.value, "__notes__", []))
    for word in words:
        assert word in text


def test_packets_pad_to_packet_bytes():
    defs = _set(field("m", "unsigned", 4))
    columns = {"n": np.array([1, 2], "u1"), "m": np.array([3, 4], "u1")}
    assert defs.pack_columns("t", columns, packet_bytes=4) == bytes(
        (1, 3 << 4, 0, 0, 2, 4 << 4, 0, 0)
    )
    assert defs.pack_columns("t", columns, packet_bytes=2) == defs.pack_columns("t", columns)
    with pytest.raises(
        ValueError, match="packet_bytes is 1, but a packet of type 't' takes 2 bytes"
    ):
        defs.pack_columns("t", columns, packet_bytes=1)
    with pytest.raises(TypeError, match="packet_bytes must be None or an int"):
        defs.pack_columns("t", columns, packet_bytes=2.0)


def test_an_out_of_range_value_names_row_item_and_type():
    defs = _set(field("m", "unsigned", 4))
    columns = {"n": np.zeros(5, "u1"), "m": np.array([1, 2, 3, 16, 4], "u1")}
    with pytest.raises(ValueError) as info:
        defs.pack_columns("t", columns)
    notes = info.value.__notes__
    assert "in row 3 of the columns" in notes and "while packing the table of type 't'" in notes
    with pytest.raises(KeyError):
        defs.pack_columns("nope", columns)
    with pytest.raises(TypeError, match="takes a type's name or the PacketType"):
        defs.pack_columns(3, columns)
    assert defs.pack_columns(defs["t"], {"n": columns["n"], "m": columns["m"] % 16}) == bytes(
        (0, 1 << 4, 0, 2 << 4, 0, 3 << 4, 0, 0, 0, 4 << 4)
    )


# -- the shared XTCE sets ----------------------------------------------------------

SPP = REALDATA / "spp"


@needs_realdata
@pytest.mark.parametrize(
    ("xml", "data_file", "root", "exact", "longer"),
    [
        (
            "jpss/jpss1_geolocation_xtce_v1.xml",
            "jpss/J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1",
            None,
            1,
            0,
        ),
        (
            "jpss/contrived_inheritance_structure.xml",
            "jpss/J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1",
            None,
            1,
            0,
        ),
        ("ctim/ctim_xtce_v1.xml", "ctim/ccsds_2021_155_14_39_51", "CCSDSTelemetryPacket", 7, 2),
        ("idex/idex_combined_science_definition.xml", "idex/sciData_2023_052_14_45_05", None, 1, 0),
    ],
)
def test_real_tables_pack_back_into_their_own_packets(xml, data_file, root, exact, longer):
    """Each type's table packs into the packets it was decoded from, in order.
    Where a type's fields end before its packets do (CTIM's APID 1 leaves its
    last bits undescribed), the packets padded to their size agree with the
    originals up to the fields' end and are zero after it."""
    defs = bb.load_xtce(SPP / xml, root=root)
    data = (SPP / data_file).read_bytes()
    offsets, lengths = bb.split_ccsds(data)[:2]
    packets = [data[o : o + n] for o, n in zip(offsets.tolist(), lengths.tolist(), strict=True)]
    decoded = defs.decode(data, derived=False)
    counts = {"exact": 0, "longer": 0}
    for name, table in decoded.items():
        rows = len(next(iter(table.values())))
        if "/" in name or rows == 0:
            continue
        try:
            out = defs.pack_columns(name, dict(table))
        except DefinitionError as exc:
            assert "comes from the packet" in str(exc)  # IDEX's waveforms
            continue
        size = len(out) // rows
        mine = [out[i * size : (i + 1) * size] for i in range(rows)]
        headers = {m[:6] for m in mine}
        theirs = [p for p in packets if p[:6] in headers]
        assert len(theirs) == rows
        if all(len(p) == size for p in theirs):
            assert mine == theirs
            counts["exact"] += 1
            continue
        for got, want in zip(mine, theirs, strict=True):
            assert got[: size - 1] == want[: size - 1]  # every whole byte the fields cover
        counts["longer"] += 1
    assert counts == {"exact": exact, "longer": longer}
