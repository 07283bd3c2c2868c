"""pack_ccsds against a model (pack_parameters and a primary header packed by
hand), round trips through unpack_ccsds, ccsdspy as a peer decoder, and its
refusals."""

import io
import random
import struct

import numpy as np
import pytest

import bitloom
import bitloom_bulk
from bitloom_bulk import field
from bitloom_bulk.ccsds import primary_header
from tests.bulk.test_pack_columns import random_column, row_values
from tests.support.outcomes import as_bulk, outcome
from tests.support.random_recipes import random_recipe


def header_values(apid, count, size, packet_type=0, secondary=0):
    """The primary header's fields under bitloom's names."""
    return {
        "version": 0,
        "type": packet_type,
        "secondary_header": secondary,
        "apid": apid,
        "sequence_flags": 3,
        "sequence_count": count,
        "packet_length": size - 7,
    }


def header_bytes(apid, count, size, packet_type=0, secondary=0):
    """The 6-byte primary header, packed by hand."""
    first = (packet_type << 12) | (secondary << 11) | apid
    return struct.pack(">HHH", first, 0xC000 | count, size - 7)


def model(tables, recipes, order=None, first_counts=None, types=None, secondaries=None):
    """The stream pack_ccsds should give, packet by packet from pack_parameters
    (and Layout.pack, which must agree) with the header packed by hand; or the
    first failing row's error with its notes."""
    first_counts, types, secondaries = first_counts or {}, types or {}, secondaries or {}
    packets = {}
    for apid, table in tables.items():
        recipe = recipes[apid]
        layout = bitloom_bulk.compile(recipe)
        size = (layout.packet_bits + 7) // 8
        t, s = types.get(apid, 0), secondaries.get(apid, 0)
        packets[apid] = []
        for r, row in enumerate(row_values(table) if table else []):
            count = (first_counts.get(apid, 0) + r) % 16384
            values = {**header_values(apid, count, size, t, s), **row}
            carried = [dict(it, value=values[it["name"]]) for it in recipe]
            got = outcome(layout.pack, values)
            assert got == as_bulk(outcome(bitloom.pack_parameters, carried))
            if got[0] == "error":
                notes = (*got[3], f"in row {r} of the columns", f"in the table for APID {apid}")
                return (*got[:3], notes)
            head = header_bytes(apid, count, size, t, s)
            if recipe[0]["name"] == "version":  # the recipe's header items agree with the hand's
                assert got[1][:6] == head
            packets[apid].append(head + got[1][6:])
    if order is None:
        return ("ok", b"".join(p for apid in tables for p in packets[apid]))
    taken = {apid: iter(p) for apid, p in packets.items()}
    return ("ok", b"".join(next(taken[int(apid)]) for apid in order))


def ccsds_recipe(rng, with_header):
    """A random recipe of data items from bit 48 (the header's items first, or
    nothing there), with an 8-bit item first so that a packet holds 7 bytes."""
    for _ in range(100):
        body = random_recipe(rng, for_pack=True)
        for i, it in enumerate(body):
            it["name"] = f"f{i}"
            if "offset_bits" in it:
                it["offset_bits"] += 48
        pad = field("pad", "unsigned", 8, offset_bits=48)
        recipe = (primary_header() if with_header else []) + [pad, *body]
        if outcome(bitloom_bulk.compile, recipe)[0] == "ok":
            return recipe
    raise AssertionError("no random recipe compiles")


def random_tables(rng, recipes, bad):
    tables = {}
    for apid, recipe in recipes.items():
        rows = rng.choice([0, 1, 3, 17, 40])
        table = {}
        for it in recipe:
            if it["name"] in primary_header_names:
                continue
            table[it["name"]] = random_column(rng, it, rows, bad and rng.random() < 0.2)
        tables[apid] = table
    return tables


primary_header_names = [it["name"] for it in primary_header()]


@pytest.mark.parametrize("seed", range(80))
def test_pack_ccsds_matches_the_model(seed):
    rng = random.Random(9100 + seed)
    apids = rng.sample([0, 1, 5, 0x64, 0x3FF, 2046, 2047], rng.randrange(1, 4))
    recipes = {a: ccsds_recipe(rng, rng.random() < 0.6) for a in apids}
    tables = random_tables(rng, recipes, bad=rng.random() < 0.2)
    first = {a: rng.choice([0, 7, 16380, 16383]) for a in apids if rng.random() < 0.7}
    types = {a: rng.randrange(2) for a in apids if rng.random() < 0.5}
    secondaries = {a: rng.randrange(2) for a in apids if rng.random() < 0.5}
    order = None
    if rng.random() < 0.6:
        order = [a for a in apids for _ in range(len(next(iter(tables[a].values()))))]
        rng.shuffle(order)
        order = np.array(order, dtype=rng.choice(["u2", "i8", "<i4"]))
    expected = model(tables, recipes, order, first, types, secondaries)
    got = outcome(
        bitloom_bulk.pack_ccsds,
        tables,
        recipes,
        order=order,
        first_counts=first,
        packet_type=types,
        secondary_header=secondaries,
    )
    assert got == expected
    if got[0] == "ok" and got[1]:
        # Framed by its headers, the stream shows the counts running per APID.
        frames = bitloom_bulk.split_ccsds(got[1])
        seen = {}
        for apid, count in zip(
            frames.apids.tolist(), frames.sequence_counts.tolist(), strict=False
        ):
            assert count == (first.get(apid, 0) + seen.get(apid, 0)) % 16384
            seen[apid] = seen.get(apid, 0) + 1


def clean_recipe(rng, apid):
    """Integer and float64 items whose values come back exactly."""
    items = primary_header()[: rng.randrange(0, 8)] if rng.random() < 0.7 else []
    data = []
    for i in range(rng.randrange(1, 7)):
        encoding = rng.choice(["unsigned", "twos_complement", "sign_magnitude", "ieee754_f64"])
        bits = 64 if encoding == "ieee754_f64" else rng.randrange(2, 65)
        data.append(
            {
                "name": f"a{apid}_{i}",
                "encoding": encoding,
                "bits": bits,
                # little-endian fields of whole bytes: others do not read back as written
                "byte_order": rng.choice(["big", "little"] if bits % 8 == 0 else ["big"]),
                "reverse_bits": rng.random() < 0.2,
            }
        )
    data[0]["offset_bits"] = 48
    return items + data


def clean_column(rng, item, rows):
    if item["encoding"] == "ieee754_f64":
        return np.array([rng.uniform(-1e9, 1e9) for _ in range(rows)])
    bits = item["bits"]
    if item["encoding"] == "unsigned":
        return np.array([rng.randrange(2**bits) for _ in range(rows)], dtype="u8")
    top = 2 ** (bits - 1) - (item["encoding"] == "sign_magnitude")
    return np.array([rng.randrange(-top + 1, top) for _ in range(rows)], dtype="i8")


@pytest.mark.parametrize("seed", range(12))
def test_round_trip_through_unpack_ccsds(seed):
    rng = random.Random(500 + seed)
    apids = rng.sample(range(2047), rng.randrange(1, 5))
    recipes = {a: clean_recipe(rng, a) for a in apids}
    tables = {}
    for a, recipe in recipes.items():
        rows = rng.randrange(0, 60)
        tables[a] = {
            it["name"]: clean_column(rng, it, rows)
            for it in recipe
            if it["name"] not in primary_header_names
        }
    first = {a: rng.randrange(16384 - 30, 16384) for a in apids}  # counts wrap on the way
    order = [a for a in apids for _ in range(len(next(iter(tables[a].values()))))]
    rng.shuffle(order)
    stream = bitloom_bulk.pack_ccsds(tables, recipes, order=order, first_counts=first)
    back = bitloom_bulk.unpack_ccsds(stream, recipes)
    assert sorted(back) == sorted(apids)
    for a, recipe in recipes.items():
        rows = len(next(iter(tables[a].values())))
        size = (bitloom_bulk.compile(recipe).packet_bits + 7) // 8
        for name, column in tables[a].items():
            assert back[a][name].tolist() == column.tolist(), (a, name)
        counts = [(first[a] + r) % 16384 for r in range(rows)]
        heads = [header_values(a, c, size) for c in counts]
        for it in recipe:
            if it["name"] in primary_header_names:
                assert back[a][it["name"]].tolist() == [h[it["name"]] for h in heads]
    # The tables unpack_ccsds gives, header columns included, pack again as they were.
    again = bitloom_bulk.pack_ccsds(back, recipes, order=order, first_counts=first)
    assert again == stream


def test_sequence_counts_wrap_per_apid():
    recipes = {3: [*primary_header(), field("x", "unsigned", 8)]}
    recipes[9] = recipes[3]
    rows = {3: 16384 + 5, 9: 40}
    tables = {a: {"x": np.arange(n, dtype="u8") % 256} for a, n in rows.items()}
    order = np.array([3] * rows[3] + [9] * rows[9])
    np.random.default_rng(1).shuffle(order)
    stream = bitloom_bulk.pack_ccsds(tables, recipes, order=order, first_counts={9: 16370})
    frames = bitloom_bulk.split_ccsds(stream)
    assert frames.apids.tolist() == order.tolist()
    back = bitloom_bulk.unpack_ccsds(stream, recipes)
    assert back[3]["sequence_count"].tolist() == [r % 16384 for r in range(rows[3])]
    assert back[9]["sequence_count"].tolist() == [(16370 + r) % 16384 for r in range(40)]
    assert back[9]["x"].tolist() == list(range(40))
    assert set(back[3]["packet_length"].tolist()) == {0}


def test_ccsdspy_decodes_the_stream():
    ccsdspy = pytest.importorskip("ccsdspy")
    rng = np.random.default_rng(5)
    data = [
        field("temp", "twos_complement", 12, offset_bits=48),
        field("flags", "unsigned", 4),
        field("volts", "ieee754_f32", 32),
        field("ticks", "unsigned", 40),
    ]
    n = 300
    table = {
        "temp": rng.integers(-2048, 2048, n),
        "flags": rng.integers(0, 16, n).astype("u1"),
        "volts": rng.standard_normal(n).astype("f4"),
        "ticks": rng.integers(0, 2**40, n, dtype="u8"),
    }
    stream = bitloom_bulk.pack_ccsds(
        {0x1AB: table}, {0x1AB: data}, first_counts={0x1AB: 16300}, secondary_header=1
    )
    peer = ccsdspy.FixedLength(
        [
            ccsdspy.PacketField(name="temp", data_type="int", bit_length=12),
            ccsdspy.PacketField(name="flags", data_type="uint", bit_length=4),
            ccsdspy.PacketField(name="volts", data_type="float", bit_length=32),
            ccsdspy.PacketField(name="ticks", data_type="uint", bit_length=40),
        ]
    ).load(io.BytesIO(stream), include_primary_header=True)
    for name, column in table.items():
        assert peer[name].tolist() == column.tolist(), name
    assert peer["CCSDS_APID"].tolist() == [0x1AB] * n
    assert peer["CCSDS_SEQUENCE_COUNT"].tolist() == [(16300 + r) % 16384 for r in range(n)]
    assert set(peer["CCSDS_PACKET_LENGTH"].tolist()) == {17 - 7}  # 48 + 12 + 4 + 32 + 40 bits
    assert set(peer["CCSDS_SECONDARY_FLAG"].tolist()) == {1}
    assert set(peer["CCSDS_SEQUENCE_FLAG"].tolist()) == {3}
    assert set(peer["CCSDS_PACKET_TYPE"].tolist()) == {0}
    assert set(peer["CCSDS_VERSION_NUMBER"].tolist()) == {0}


X = field("x", "unsigned", 8, offset_bits=48)
R = {5: [*primary_header(), X], 6: [X, field("y", "twos_complement", 8)]}
T = {5: {"x": np.arange(4, dtype="u1")}, 6: {"x": np.zeros(3, "u1"), "y": np.zeros(3, "i1")}}
NOTE5 = ("in the table for APID 5",)


@pytest.mark.parametrize(
    ("tables", "recipes", "kwargs", "error", "text", "notes"),
    [
        ({5: {}}, R, {}, ValueError, "columns has no column for item 'x'", NOTE5),
        ({5: {"x": np.zeros(2), "z": 1}}, R, {}, TypeError, "column 'x' of format 'd'", NOTE5),
        ({5: {"x": np.zeros(2, "u1"), "z": 1}}, R, {}, ValueError, "columns holds 'z'", NOTE5),
        (
            {6: {"x": np.zeros(2, "u1"), "y": np.zeros(3, "i1")}},
            R,
            {},
            ValueError,
            "column 'y' holds 3 rows but column 'x' holds 2",
            ("in the table for APID 6",),
        ),
        (
            {5: {"x": np.zeros(2, "u1"), "apid": np.full(2, 6)}},
            R,
            {},
            ValueError,
            "column 'apid' of the table for APID 5 differs in row 0",
            (),
        ),
        (
            {5: {"x": np.zeros(2, "u1"), "sequence_count": np.array([0, 2])}},
            R,
            {},
            ValueError,
            "column 'sequence_count' of the table for APID 5 differs in row 1",
            (),
        ),
        ({7: T[5]}, R, {}, ValueError, "tables holds APID 7, for which recipes", None),
        ({2048: T[5]}, R, {}, ValueError, "APID 2048 of tables is outside 0 to 2047", None),
        ({"5": T[5]}, R, {}, TypeError, "APID keys of tables must be int, not str", None),
        (T, R, {"order": [5, 6, 5, 7]}, ValueError, "order[3] is APID 7, for which", None),
        (T, R, {"order": [5, 6, 5, 6, 6]}, ValueError, "order holds 2 packets of APID 5", None),
        (T, R, {"order": [5, 6, 5, 6, 6, 9999]}, ValueError, "order[5] is 9999, outside", None),
        (T, R, {"order": [[5]]}, ValueError, "order must be one-dimensional", None),
        (T, R, {"first_counts": {6: 16384}}, ValueError, "first_counts[6] is 16384", None),
        (T, R, {"packet_type": 2}, ValueError, "packet_type is 2, outside 0 to 1", None),
        (T, R, {"secondary_header": {5: -1}}, ValueError, "secondary_header[5] is -1", None),
        (
            {5: {"x": np.zeros(1, "u1"), "version": np.zeros(2, "u1")}},
            {5: [*primary_header()[:4], X]},
            {},
            ValueError,
            "column 'x' holds 1 rows but column 'version' holds 2",
            NOTE5,
        ),
        (
            {5: {}},
            {5: primary_header()},
            {},
            ValueError,
            "the recipe for APID 5 makes packets of 6 bytes",
            None,
        ),
        (
            {5: {"x": np.zeros(1, "u2")}},
            {5: [field("x", "unsigned", 16, offset_bits=40)]},
            {},
            ValueError,
            "item 'x' of the recipe for APID 5 straddles the end of the primary header",
            None,
        ),
        (
            {5: T[5]},
            {5: [field("x", "no_such", 8)]},
            {},
            ValueError,
            "",
            ("in the recipe for APID 5",),
        ),
    ],
)
def test_refusals_name_argument_apid_and_row(tables, recipes, kwargs, error, text, notes):
    got = outcome(bitloom_bulk.pack_ccsds, tables, recipes, **kwargs)
    assert got[0] == "error" and got[1] is error, got
    assert text in str(got[2][0]), got
    if notes is not None:
        assert got[3][-len(notes) :] == notes if notes else True, got


@pytest.mark.parametrize("apid", [5, 6])
def test_a_value_that_does_not_pack_raises_what_pack_raises(apid):
    tables = {a: {k: v.copy() for k, v in t.items()} for a, t in T.items()}
    bad = {5: ("x", np.array([1, 2, 3, 300], dtype="u2")), 6: ("y", np.array([1, -200, 3]))}
    name, column = bad[apid]
    tables[apid][name] = column
    row = 3 if apid == 5 else 1
    layout = bitloom_bulk.compile(R[apid])
    values = {it["name"]: 0 for it in R[apid]} | {name: int(column[row])}
    want = outcome(layout.pack, values)
    got = outcome(bitloom_bulk.pack_ccsds, tables, R, order=[6, 5, 5, 6, 5, 6, 5])
    assert got == (
        *want[:3],
        (*want[3], f"in row {row} of the columns", f"in the table for APID {apid}"),
    )
