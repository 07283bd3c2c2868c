"""check_definitions: each finding on definitions that have the fault and on
ones just short of it, and the findings' claims checked against the decoder
and against bitloom's own reading of the fields."""

from __future__ import annotations

import pytest

import bitloom
import bitloom_bulk as bb
from bitloom_bulk import Definitions, PacketType, check_definitions, check_recipe, field
from bitloom_bulk._definition_checks import LARGEST_PACKET_BITS, raw_range
from bitloom_bulk._recipe_items import INTEGER_ENCODINGS
from bitloom_bulk.ccsds import primary_header
from tests.support.streams import header


def u(name, bits, **keys):
    return field(name, "unsigned", bits, **keys)


ROOT = PacketType("root", primary_header(), abstract=True)
KEY = u("key", 8)


def _found(types):
    return [(f.index, f.name, f.code) for f in check_definitions(Definitions(types))]


def _child(name, where):
    return PacketType(name, [u(f"{name}_x", 8)], parent="body", where=where)


BODY = PacketType("body", [KEY], parent="root", abstract=True)


@pytest.mark.parametrize(
    ("types", "expected"),
    [
        # Roots are tried in order like children: a root without a where
        # takes every packet, so no later root is ever reached.
        (
            [PacketType("first", [u("x", 8)]), PacketType("second", [u("y", 8)])],
            [(1, "second", "unreachable-type")],
        ),
        ([PacketType("only", [u("x", 8)])], []),
        # Equalities that never hold together take nothing from a later type.
        (
            [
                ROOT,
                BODY,
                _child("never", [("key", "==", 1), ("key", "==", 2)]),
                _child("b", {"key": 2}),
            ],
            [],
        ),
        (
            [
                ROOT,
                BODY,
                _child("a", [("key", "==", 1), ("key", "==", 1)]),
                _child("b", {"key": 1}),
            ],
            [(3, "b", "unreachable-type")],
        ),
        # The same where written as a dict and as triples.
        (
            [ROOT, BODY, _child("a", {"key": 4}), _child("b", [("key", "==", 4)])],
            [(3, "b", "unreachable-type")],
        ),
        # Another field, another value, another operator: both reachable.
        ([ROOT, BODY, _child("a", {"key": 4}), _child("b", {"apid": 4})], []),
        ([ROOT, BODY, _child("a", {"key": 4}), _child("b", {"key": 5})], []),
        ([ROOT, BODY, _child("a", [("key", "!=", 4)]), _child("b", {"key": 4})], []),
        # The later type is the one named; only the first that covers it.
        (
            [ROOT, BODY, _child("a", None), _child("b", None), _child("c", {"key": 1})],
            [(3, "b", "unreachable-type"), (4, "c", "unreachable-type")],
        ),
    ],
    ids=[
        "second-root",
        "one-root",
        "contradiction",
        "repeated-equality",
        "dict-and-triples",
        "other-field",
        "other-value",
        "other-operator",
        "each-once",
    ],
)
def test_unreachable_types(types, expected):
    assert _found(types) == expected


def _packets(keys, apid=7):
    """One packet per key: the primary header, then the key byte."""
    return b"".join(header(apid, i, 8) + bytes([k, 0]) for i, k in enumerate(keys))


@pytest.mark.parametrize(
    "types",
    [
        [ROOT, BODY, _child("a", {"key": 1}), _child("b", {"key": 1, "apid": 7})],
        [ROOT, BODY, _child("a", None), _child("b", [("key", ">", 0)])],
        [ROOT, BODY, _child("a", {"key": 2}), _child("b", {"key": 2})],
    ],
)
def test_an_unreachable_type_gets_no_packet(types):
    (finding,) = _found(types)
    assert finding[2] == "unreachable-type"
    decoded = Definitions(types).decode(_packets(range(256)))
    assert len(decoded[finding[1]][f"{finding[1]}_x"]) == 0
    # The type before it does take packets, and takes the later one's too.
    assert len(decoded[types[2].name][f"{types[2].name}_x"]) > 0


def test_reachable_siblings_get_packets():
    types = [
        ROOT,
        BODY,
        _child("never", [("key", "==", 1), ("key", "==", 2)]),
        _child("b", {"key": 2}),
    ]
    assert _found(types) == []
    decoded = Definitions(types).decode(_packets([2, 2, 3]))
    assert len(decoded["b"]["b_x"]) == 2


@pytest.mark.parametrize("encoding", sorted(INTEGER_ENCODINGS))
@pytest.mark.parametrize("bits", [1, 4, 7, 8, 9, 12, 16])
def test_raw_ranges_are_bitlooms(encoding, bits):
    values = []
    for raw in range(1 << bits):
        data = (raw << (-bits % 8)).to_bytes((bits + 7) // 8, "big")
        try:
            values.append(bitloom.unpack_parameters(data, 0, [field("x", encoding, bits)])["x"])
        except ValueError:  # a BCD digit out of range
            continue
    expected = (min(values), max(values)) if values else (0, 0)
    assert raw_range(encoding, bits) == expected


def _sized(source, scale=1, offset=0, key="bits", element=8):
    size = {"field": "n", "scale": scale, "offset": offset}
    item = field("blob", "binary", size) if key == "bits" else u("blob", element, count=size)
    return [PacketType("a", [source, item])]


LIMIT = LARGEST_PACKET_BITS


@pytest.mark.parametrize(
    ("types", "too_large"),
    [
        # Unsigned: 2**16 - 1 bits, times 9 is past the limit; the offset
        # brings the largest to the limit exactly, and one past it.
        (_sized(u("n", 16), scale=8), False),
        (_sized(u("n", 16), scale=9), True),
        (_sized(u("n", 16), offset=LIMIT - 65535), False),
        (_sized(u("n", 16), offset=LIMIT - 65535 + 1), True),
        # Signed fields reach half as far up, and further down.
        (_sized(field("n", "twos_complement", 20)), False),
        (_sized(field("n", "twos_complement", 21)), True),
        (_sized(field("n", "twos_complement", 16), scale=-16), False),
        (_sized(field("n", "twos_complement", 16), scale=-17), True),
        (_sized(field("n", "sign_magnitude", 17), scale=-8), False),
        (_sized(field("n", "sign_magnitude", 18), scale=-8), True),
        # BCD: a digit per nibble or byte.
        (_sized(field("n", "packed_bcd", 20), scale=5), False),
        (_sized(field("n", "packed_bcd", 20), scale=6), True),
        (_sized(field("n", "unpacked_bcd_signed", 32), scale=-52), False),
        (_sized(field("n", "unpacked_bcd_signed", 32), scale=-53), True),
        # A count: times the element's bits.
        (_sized(u("n", 13), key="count", element=64), False),
        (_sized(u("n", 14), key="count", element=64), True),
        # A byte permutation reads the same range.
        (_sized(u("n", 24, byte_order="321"), key="count", element=1), True),
        (_sized(u("n", 16, byte_order="21"), key="count", element=8), False),
    ],
)
def test_size_too_large_at_its_bound(types, too_large):
    found = _found(types)
    assert found == ([(0, "a.blob", "size-too-large")] if too_large else [])


@pytest.mark.parametrize(
    ("records", "region", "count", "fits"),
    [
        ([u("x", 12), u("y", 8)], 20, None, True),
        ([u("x", 12), u("y", 8)], 16, None, False),
        # A record ends at its furthest item, wherever that is placed.
        ([u("y", 8), u("x", 4, offset_bits=28)], 32, None, True),
        ([u("y", 8), u("x", 4, offset_bits=28)], 31, None, False),
        ([u("x", 10)], 40, 4, True),
        ([u("x", 10)], 40, 5, False),
        ([u("x", 10)], 0, 0, True),
        # From a field: the region at its largest.
        ([u("x", 16)], {"field": "n"}, None, True),
        ([u("x", 16)], {"field": "n", "scale": 1, "offset": -240}, None, False),
        ([u("x", 16)], {"field": "n", "scale": 1, "offset": -239}, None, True),
        ([u("x", 16)], {"field": "n", "scale": 2}, 32, False),
        ([u("x", 16)], {"field": "n", "scale": 2, "offset": 2}, 32, True),
        # From the packet's end or a count from a field: nothing to say.
        ([u("x", 16)], {"rest": 0}, 1000, True),
        ([u("x", 16)], 8, {"field": "n"}, False),
    ],
)
def test_records_do_not_fit(records, region, count, fits):
    keys = {} if count is None else {"count": count}
    types = [PacketType("a", [u("n", 8), field("r", "binary", region, records=records, **keys)])]
    assert _found(types) == ([] if fits else [(0, "a.r", "records-do-not-fit")])


def test_records_that_do_not_fit_fault_every_packet():
    # The region from n is at most 255 - 240 = 15 bits: no 16-bit record fits,
    # so a packet with a count of one record faults whatever n says.
    region = {"field": "n", "offset": -240}
    types = [
        PacketType("a", [u("n", 8), field("r", "binary", region, count=1, records=[u("x", 16)])])
    ]
    assert _found(types) == [(0, "a.r", "records-do-not-fit")]
    # Each packet has room for the region at its largest.
    packets = b"".join(bytes([n, 0xFF, 0xFF]) for n in range(240, 256))
    decoded = Definitions(types).decode(packets, packet_bytes=3, errors="skip")
    assert len(decoded["a"]["n"]) == 0
    assert [(f.packet, f.item) for f in decoded.faults] == [(i, "r") for i in range(16)]
    # One bit more of region and the records fit where n is 255.
    region["offset"] = -239
    types = [
        PacketType("a", [u("n", 8), field("r", "binary", region, count=1, records=[u("x", 16)])])
    ]
    assert _found(types) == []
    decoded = Definitions(types).decode(packets, packet_bytes=3, errors="skip")
    assert decoded["a"]["n"].tolist() == [255]


def test_check_recipe_gives_the_same_and_only_definitions_are_checked():
    types = [
        PacketType("first", [u("x", 8)]),
        PacketType("second", [u("y", 12, byte_order="little")]),
    ]
    defs = Definitions(types)
    assert check_recipe(defs) == check_definitions(defs)
    assert [f.code for f in check_definitions(defs)] == [
        "little-endian-partial-byte",
        "unreachable-type",
    ]
    with pytest.raises(TypeError, match="checks Definitions"):
        check_definitions([u("x", 8)])  # type: ignore[arg-type]
    assert "check_definitions" in bb.__all__
