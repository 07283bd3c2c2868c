"""Packet definitions: what a set refuses when built, framing, the
APID-sorted shortcut against the general way, and faults under both modes."""

from __future__ import annotations

import numpy as np
import pytest

import bitloom
import bitloom_bulk as bb
from bitloom_bulk import DefinitionError, Definitions, PacketType, field
from tests.support import streams

HEADER = list(bb.ccsds.PRIMARY_HEADER)
ROOT = PacketType("root", HEADER, abstract=True)


def u(name, bits, **keys):
    return field(name, "unsigned", bits, **keys)


def T(*args, **keys):
    """A type built inside the test (some are refused as they are built)."""
    return lambda: PacketType(*args, **keys)


# Each: the types, then words the message must hold.
REFUSED = [
    ([T("a", [u("x", 8)], parent="nope")], ["'a'", "unknown parent 'nope'"]),
    (
        [T("a", [u("x", 8)], parent="b"), T("b", [u("y", 8)], parent="a")],
        ["cycle"],
    ),
    ([T("a", [u("x", 8)]), T("a", [u("y", 8)])], ["'a'", "two types"]),
    ([T("a", [u("x", 8)], where={"x": 1})], ["'a'", "where reads 'x'", "root"]),
    (
        [lambda: ROOT, T("a", [u("x", 8)], parent="root", where={"x": 1})],
        ["where reads 'x'", "not decoded before"],
    ),
    (
        [lambda: ROOT, T("a", [u("apid", 8)], parent="root")],
        ["item 'apid'", "decoded before"],
    ),
    (
        [T("a", [field("t", "utf8", 8), field("b", "binary", {"field": "t"})])],
        ["item 'b'", "not an integer field"],
    ),
    (
        [T("a", [field("b", "binary", {"field": "later"}), u("later", 8)])],
        ["item 'b'", "not decoded before it"],
    ),
    ([T("a", [u("x", 16, byte_order="3412")])], ["item 'x'", "bits must be 32"]),
    ([T("a", [u("x", 16, byte_order="1123")])], ["item 'x'", "byte_order"]),
    ([T("a", [field("b", "binary", 12)])], ["item 'b'", "multiple of 8"]),
    ([T("a", [u("x", {"rest": 0})])], ["item 'x'", "only binary and text"]),
    (
        [T("a", [field("t", "binary", 32, time={"code": "cuc", "coarse_bytes": 3})])],
        ["item 't'", "takes 24 bits"],
    ),
    (
        [T("a", [field("r", "binary", 64, records=[u("x", 4, count=2)])])],
        ["'r.x'", "plain items"],
    ),
    (
        [T("a", [u("x", 8, polynomial=[1], enumeration={1: "a"})])],
        ["item 'x'", "one derived value"],
    ),
    ([T("a", [u("x", 8, spline=[[2, 0], [1, 1]])])], ["increasing"]),
    (
        [lambda: ROOT, T("a", [u("x", 8)], parent="root", where=[("apid", "=~", 1)])],
        ["'=~'"],
    ),
    ([T("a", [{"name": "x", "bits": 8}])], ["item 'x'", "missing key 'encoding'"]),
    # Of two faulty types the first listed is named, a child listed before its
    # parent included; a child reads every field of a faulty parent.
    (
        [T("c", [u("z", 8)], parent="p", where={"w": 1}), T("p", [u("x", 8), u("x", 8)])],
        ["type 'c'", "where reads 'w'"],
    ),
    (
        [
            T("p", [u("x", 8), u("x", 8), u("y", 8)]),
            T("c", [u("z", 8)], parent="p", where={"w": 1}),
        ],
        ["type 'p'", "item 'x'", "decoded before it"],
    ),
    (
        [
            T("c", [u("z", 8, count={"field": "y"})], parent="p", where={"y": 1}),
            T("p", [u("x", 8), u("x", 8), u("y", 8)]),
            T("d", [u("v", 8)], parent="p", where={"z": 1}),
        ],
        ["type 'p'", "item 'x'", "decoded before it"],
    ),
    (
        [
            T("b", [u("z", 8)], parent="r2", where={"q": 1}),
            T("r", [u("k", 8)]),
            T("a", [u("q", 8), u("q", 8)], parent="r"),
            T("r2", [u("m", 8)]),
        ],
        ["type 'b'", "where reads 'q'"],
    ),
]


@pytest.mark.parametrize(("types", "words"), REFUSED)
def test_a_set_that_cannot_decode_is_refused_when_built(types, words):
    with pytest.raises(DefinitionError) as info:
        Definitions([make() for make in types])
    assert isinstance(info.value, ValueError)
    for word in words:
        assert word in str(info.value)


def _stream(n, seed=0):
    rng = np.random.default_rng(seed)
    apids = rng.choice([10, 11, 12, 13], size=n)
    sizes = np.where(apids == 12, 30, 20)
    return streams.stream(apids, sizes, rng)


def _keyed(root_abstract=True):
    root = PacketType("root", HEADER, abstract=root_abstract)
    return Definitions(
        [
            root,
            PacketType(
                "ten",
                [u("a", 8), field("b", "twos_complement", 12)],
                parent=root,
                where={"apid": 10},
            ),
            PacketType(
                "eleven",
                [field("f", "ieee754_f32", 32), u("g", 5, offset_bits=100)],
                parent=root,
                where=[("apid", "==", 11)],
            ),
            PacketType(
                "twelve",
                [u(f"w{i}", 16) for i in range(8)],
                parent=root,
                where={"all": [("apid", "==", 12)]},
            ),
        ]
    )


def _same_tables(a, b):
    assert list(a) == list(b)
    for name in a:
        assert list(a[name]) == list(b[name]), name
        for column in a[name]:
            x, y = a[name][column], b[name][column]
            assert x.dtype == y.dtype, (name, column)
            np.testing.assert_array_equal(x, y)


def test_apid_sorted_sets_decode_as_the_general_way_does():
    data = _stream(3000)
    frames = bb.split_ccsds(data)
    defs = _keyed()
    shortcut = defs.decode(data)
    # Framed by the caller, the set goes the general way.
    general = defs.decode(data, offsets=frames.offsets, lengths=frames.lengths)
    _same_tables(shortcut, general)
    assert shortcut.unmatched == {13: int((frames.apids == 13).sum())}
    assert general.unmatched == {None: int((frames.apids == 13).sum())}
    # And packet by packet as unpack_parameters reads each type's recipe.
    for name, apid in (("ten", 10), ("eleven", 11), ("twelve", 12)):
        node = next(n for n in defs.nodes() if n.name == name)
        recipe = [
            item.plain_item() | ({"offset_bits": item.offset} if item.offset is not None else {})
            for item in node.fields()
        ]
        chosen = np.flatnonzero(frames.apids == apid)
        for row, p in enumerate(chosen[:50]):
            start, size = int(frames.offsets[p]), int(frames.lengths[p])
            expected = bitloom.unpack_parameters(data[start : start + size], 0, recipe)
            got = {k: v[row] for k, v in shortcut[name].items()}
            assert got == pytest.approx(expected, nan_ok=True)


def _keyed_derived(labels, points):
    root = PacketType(
        "root",
        [
            dict(item, polynomial=[0.5, 2.0]) if item["name"] == "version" else item
            for item in HEADER
        ],
        abstract=True,
    )
    return Definitions(
        [
            root,
            PacketType(
                "ten",
                [
                    u("a", 8, enumeration={v: f"s{v}" for v in range(labels)}),
                    field("b", "twos_complement", 12, polynomial=[-1.0, 0.25, 1e-3]),
                ],
                parent=root,
                where={"apid": 10},
            ),
            PacketType(
                "eleven",
                [u("g", 5, offset_bits=100, spline=points), u("h", 3)],
                parent=root,
                where={"apid": 11},
            ),
        ]
    )


@pytest.mark.parametrize(
    ("labels", "points", "faults"),
    [
        # Every raw value labelled and inside the spline: derived by APID.
        (256, [[0, 1.0], [7, 2.0], [31, -3.0]], None),
        # Raw values without a label: warnings, listed by packet.
        (200, [[0, 1.0], [31, -3.0]], "warning"),
        # Raw values outside the spline: those packets fault.
        (256, [[2, 1.0], [29, -3.0]], "error"),
    ],
)
def test_derived_values_of_apid_sorted_sets_match_the_general_way(labels, points, faults):
    data = _stream(3000, seed=5)
    frames = bb.split_ccsds(data)
    defs = _keyed_derived(labels, points)
    general = defs.decode(data, offsets=frames.offsets, lengths=frames.lengths, errors="skip")
    shortcut = defs.decode(data, errors="skip")
    _same_tables(shortcut, general)
    assert shortcut.faults == general.faults
    assert {f.severity for f in shortcut.faults} == ({faults} if faults else set())
    raw = defs.decode(data, derived=False)
    ten = np.flatnonzero(frames.apids == 10)
    assert len(ten) == len(raw["ten"]["a"])
    expected = [f"s{v}" if v < labels else None for v in raw["ten"]["a"].tolist()]
    assert general["ten"]["a"].tolist() == expected
    b = raw["ten"]["b"].astype(float)
    np.testing.assert_array_equal(general["ten"]["b"], (1e-3 * b + 0.25) * b - 1.0)
    np.testing.assert_array_equal(general["ten"]["version"], raw["ten"]["version"] * 2.0 + 0.5)


@pytest.mark.parametrize(
    "change",
    [
        {"encoding": "twos_complement"},  # reads 1500 as -548
        {"reverse_bits": True},
        {"bits": 10},  # the field after it then starts a bit early
    ],
)
def test_a_root_field_unlike_the_apid_keeps_the_general_way(change):
    """Only the primary header's own APID field (unsigned, 11 bits at bit 5,
    big-endian, not reversed) lets packets be sorted by the framed APID."""
    header = [dict(item, **change) if item["name"] == "apid" else item for item in HEADER]
    root = PacketType("root", header, abstract=True)
    defs = Definitions(
        [
            root,
            PacketType("a", [u("x", 8)], parent=root, where={"apid": 1500}),
            PacketType("b", [u("y", 8)], parent=root, where={"apid": 3}),
        ]
    )
    rng = np.random.default_rng(9)
    data = streams.stream(rng.choice([3, 1500], size=200), np.full(200, 12), rng)
    frames = bb.split_ccsds(data)
    general = defs.decode(data, offsets=frames.offsets, lengths=frames.lengths)
    got = defs.decode(data)
    _same_tables(got, general)
    assert sum(got.unmatched.values()) == general.unmatched.get(None, 0)


def test_a_faulty_packet_takes_the_general_way_under_the_shortcut():
    data = bytearray(_stream(200, seed=3))
    frames = bb.split_ccsds(bytes(data))
    # An APID-11 packet cut to 8 bytes: the field at bit 100 lies outside it.
    p = int(np.flatnonzero(frames.apids == 11)[3])
    at = int(frames.offsets[p])
    short = (
        bytes(data[:at])
        + streams.header(11, 0, 8)
        + b"\0\0"
        + bytes(data[at + int(frames.lengths[p]) :])
    )
    defs = _keyed()
    with pytest.raises(ValueError) as info:
        defs.decode(short)
    assert info.value.__notes__ == [
        "while decoding item 'f' of packet type 'eleven'",
        f"in packet {p} (bytes {at} to {at + 8} of the data)",
    ]
    skipped = defs.decode(short, errors="skip")
    assert [(f.packet, f.type, f.item, f.severity) for f in skipped.faults] == [
        (p, "eleven", "f", "error")
    ]
    whole = defs.decode(bytes(data))
    assert len(skipped["eleven"]["f"]) == len(whole["eleven"]["f"]) - 1


@pytest.mark.parametrize(
    ("keys", "error", "words"),
    [
        ({"packet_bytes": 7}, ValueError, "partial packet"),
        ({"packet_bytes": 0}, ValueError, "at least 1"),
        ({"offsets": [0]}, TypeError, "go together"),
        ({"offsets": [0], "lengths": [1, 2]}, ValueError, "differ in size"),
        ({"offsets": [15], "lengths": [10]}, ValueError, "inside the data of 20 bytes"),
        ({"offsets": [0], "lengths": [5], "offset": 1}, ValueError, "must be 0"),
        ({"offset": 21}, ValueError, "outside the data"),
        ({"errors": "ignore"}, ValueError, "'raise' or 'skip'"),
    ],
)
def test_framing_arguments_are_checked(keys, error, words):
    defs = Definitions([PacketType("a", [u("x", 8)])])
    with pytest.raises(error, match=words):
        defs.decode(bytes(20), **keys)


def test_fixed_packets_after_skipped_bytes_and_caller_offsets_agree():
    defs = Definitions([PacketType("a", [u("x", 4), field("y", "binary", 16)])])
    data = b"HDR" + bytes([0x12, 0x34, 0x56, 0xAB, 0xCD, 0xEF])
    fixed = defs.decode(data, packet_bytes=3, offset=3)
    listed = defs.decode(data, offsets=[3, 6], lengths=[3, 3])
    _same_tables(fixed, listed)
    assert fixed["a"]["x"].tolist() == [1, 0xA]
    # A binary field read from bit 4: each byte straddles two stored bytes.
    assert fixed["a"]["y"].tolist() == [b"\x23\x45", b"\xbc\xde"]
    assert fixed.unmatched == {}


def test_skipped_packets_leave_every_table_and_child_rows_renumber():
    # n, then n 8-bit elements, then a BCD byte: packet 1's BCD fails.
    defs = Definitions(
        [PacketType("a", [u("n", 8), u("e", 8, count={"field": "n"}), field("d", "packed_bcd", 8)])]
    )
    packets = [b"\x02\x01\x02\x11", b"\x01\x07\x1f\x00", b"\x01\x09\x22\x00"]
    data = b"".join(packets)
    decoded = defs.decode(data, packet_bytes=4, errors="skip")
    assert decoded["a"]["n"].tolist() == [2, 1]
    assert decoded["a"]["d"].tolist() == [11, 22]
    assert decoded["a/e"]["packet"].tolist() == [0, 0, 1]
    assert decoded["a/e"]["e"].tolist() == [1, 2, 9]
    assert [(f.packet, f.offset, f.item) for f in decoded.faults] == [(1, 4, "d")]
    with pytest.raises(ValueError, match="BCD") as info:
        defs.decode(data, packet_bytes=4)
    assert info.value.__notes__[1] == "in packet 1 (bytes 4 to 8 of the data)"


def test_types_with_no_packets_have_empty_typed_columns():
    defs = Definitions(
        [
            ROOT,
            PacketType(
                "a",
                [u("x", 12), u("arr", 4, count=3), field("b", "binary", 8)],
                parent="root",
                where={"apid": 5},
            ),
        ]
    )
    decoded = defs.decode(_stream(20))
    table = decoded["a"]
    assert table["x"].dtype == np.uint16 and table["x"].shape == (0,)
    assert table["arr"].shape == (0, 3)
    assert table["b"].dtype == object
    assert sum(decoded.unmatched.values()) == 20


def test_a_packet_goes_to_the_first_child_whose_where_holds():
    defs = Definitions(
        [
            PacketType("base", [u("kind", 8)]),
            PacketType("one", [u("x", 8)], parent="base", where=[("kind", "==", 1)]),
            PacketType("more", [u("y", 8)], parent="base", where=[("kind", ">=", 1)]),
            PacketType(
                "odd", [u("z", 8)], parent="more", where={"any": [{"kind": 3}, {"kind": 5}]}
            ),
        ]
    )
    data = bytes([1, 10, 11, 2, 20, 21, 3, 30, 31, 0, 40, 41, 5, 50, 51])
    decoded = defs.decode(data, packet_bytes=3)
    assert decoded["base"]["kind"].tolist() == [0]
    assert decoded["one"]["x"].tolist() == [10]
    assert decoded["more"]["y"].tolist() == [20]
    assert decoded["odd"]["kind"].tolist() == [3, 5]
    assert decoded["odd"]["y"].tolist() == [30, 50]
    assert decoded["odd"]["z"].tolist() == [31, 51]


def test_fields_behind_a_variable_array_start_at_any_bit():
    # n, n 3-bit elements, then fields at 8 + 3n: every bit within a byte occurs.
    tail = [u("x", 5), field("y", "twos_complement", 11), field("t", "utf8", 8)]
    defs = Definitions([PacketType("a", [u("n", 8), u("e", 3, count={"field": "n"}), *tail])])
    rng = np.random.default_rng(5)
    packets = []
    for n in range(16):
        body = rng.integers(0, 256, size=9, dtype=np.uint8).tobytes()
        text_at = 8 + 3 * n + 16
        raw = bytearray(bytes([n]) + body)
        # An ASCII letter in the text field, wherever it starts.
        value = int.from_bytes(raw, "big")
        shift = 80 - text_at - 8
        value = (value & ~(0xFF << shift)) | (ord("A") + n) << shift
        packets.append(value.to_bytes(10, "big"))
    decoded = defs.decode(b"".join(packets), packet_bytes=10)
    for p, packet in enumerate(packets):
        n = packet[0]
        expected = bitloom.unpack_parameters(packet, 8 + 3 * n, tail)
        assert decoded["a"]["x"][p] == expected["x"]
        assert decoded["a"]["y"][p] == expected["y"]
        assert decoded["a"]["t"][p] == expected["t"] == chr(ord("A") + n)


WINDOWED = [
    u("a", 12),
    field("b", "twos_complement", 7),
    u("c", 8),
    field("d", "sign_magnitude", 30),
]


@pytest.mark.parametrize("windowed", [True, False])
def test_repeated_instances_decode_as_unpack_parameters_at_each_start(windowed):
    recipe = (
        WINDOWED
        if windowed
        else [
            u("a", 12),
            field("b", "twos_complement", 7),
            field("c", "sign_magnitude", 8),
            field("g", "ones_complement", 13),
            u("d", 9, byte_order="little", offset_bits=40),
            field("e", "ieee754_f32", 32, reverse_bits=True),
            u("f", 64),
        ]
    )
    rng = np.random.default_rng(11)
    data = bytes(rng.integers(0, 256, 4000, dtype=np.uint8))
    # The last packet's last instance ends on the data's last bit.
    offsets = np.array([0, 1000, 1001, 3000], dtype=np.int64)
    lengths = np.array([1000, 1, 1999, 1000], dtype=np.int64)
    starts = np.array([3, 0, 11, 0], dtype=np.int64)
    stride = 141
    counts = np.array([4, 0, 7, 1], dtype=np.int64)
    if windowed:
        counts[3] = 56
        starts[3] = 8000 - 55 * stride - 57
    got = bb._native.unpack_repeated(data, recipe, offsets, lengths, starts, counts, stride)
    expected = [
        bitloom.unpack_parameters(data[o : o + n], int(s + k * stride), recipe)
        for o, n, s, c in zip(offsets, lengths, starts, counts, strict=True)
        for k in range(c)
    ]
    for item in recipe:
        name = item["name"]
        assert got[name].tolist() == pytest.approx([e[name] for e in expected], nan_ok=True)


@pytest.mark.parametrize(
    ("counts", "starts", "error", "words"),
    [
        ([3, 0], [0, 0], ValueError, "3 instances from bit 0 do not fit its 4 bytes"),
        ([1, 1], [25, 0], ValueError, "1 instances from bit 25"),
        ([1, -1], [0, 0], ValueError, "negative"),
        ([1, 1, 1], [0, 0], ValueError, "hold 2, 2, 2 and 3 packets"),
    ],
)
def test_repeated_instances_outside_their_packet_are_refused(counts, starts, error, words):
    with pytest.raises(error, match=words):
        bb._native.unpack_repeated(bytes(8), [u("a", 10)], [0, 4], [4, 4], starts, counts, 16)


def test_repeated_instances_name_the_first_value_that_fails():
    recipe = [u("a", 4), field("d", "packed_bcd", 8)]
    data = bytes([0x01, 0x20, 0x0F, 0xF0])
    with pytest.raises(ValueError, match=r"row 2: item 1 \('d'\)"):
        bb._native.unpack_repeated(data, recipe, [0], [4], [0], [3], 10)
    # Both items fail in row 0: the first in recipe order is named.
    twice = [field("x", "packed_bcd", 8), field("y", "packed_bcd", 8)]
    with pytest.raises(ValueError, match=r"row 0: item 0 \('x'\)"):
        bb._native.unpack_repeated(b"\xff\xff", twice, [0], [2], [0], [1], 16)
    with pytest.raises(TypeError, match="numbers only"):
        bb._native.unpack_repeated(data, [field("t", "utf8", 8)], [0], [4], [0], [1], 8)


@pytest.mark.parametrize(
    ("offsets", "lengths", "words"),
    [
        ([0, 5], [5], "offsets holds 2 packets but lengths holds 1"),
        ([4], [5], "past"),
        ([-1], [1], "negative"),
    ],
)
def test_byte_slices_stay_inside_the_data(offsets, lengths, words):
    assert bb._native.byte_slices(b"abcdefgh", [1, 0, 8], [3, 0, 0]).tolist() == [b"bcd", b"", b""]
    with pytest.raises(ValueError, match=words):
        bb._native.byte_slices(b"abcdefgh", offsets, lengths)


def _time_of(code, stored, **time_keys):
    defs = Definitions(
        [PacketType("t", [field("t", "binary", 8 * len(stored), time={"code": code, **time_keys})])]
    )
    return defs.decode(stored, packet_bytes=len(stored), errors="skip")


@pytest.mark.parametrize(
    ("code", "stored", "time_keys", "expected"),
    [
        # 1 s and 0x8000/65536 s from the 1958 epoch.
        ("cuc", b"\0\0\0\1\x80\0", {"fine_bytes": 2}, "1958-01-01T00:00:01.5"),
        # A fine count of 1/2**24 s floors to 59 ns.
        ("cuc", b"\0\0\0\0\0\0\1", {"fine_bytes": 3}, "1958-01-01T00:00:00.000000059"),
        (
            "cuc",
            b"\0\x10",
            {"coarse_bytes": 2, "epoch": "2000-01-01T12:00:00"},
            "2000-01-01T12:00:16",
        ),
        # Day 1, 1.5 s into it, 250 microseconds.
        ("cds", b"\0\1\0\0\x05\xdc\0\xfa", {"sub_ms": 16}, "1958-01-02T00:00:01.50025"),
        # 86,400,500 ms: half a second into a leap second, counted on.
        ("cds", b"\0\0\x05\x26\x5d\xf4", {}, "1958-01-02T00:00:00.5"),
        (
            "cds",
            b"\0\0\0\0\0\0\0\0\0\x03\xe8",
            {"day_bits": 24, "sub_ms": 32},
            "1958-01-01T00:00:00.000000001",
        ),
    ],
)
def test_time_codes_count_from_their_epoch(code, stored, time_keys, expected):
    decoded = _time_of(code, stored, **time_keys)
    assert decoded.faults == []
    assert decoded["t"]["t"].tolist() == [np.datetime64(expected, "ns").item()]
    raw = Definitions(
        [PacketType("t", [field("t", "binary", 8 * len(stored), time={"code": code, **time_keys})])]
    ).decode(stored, packet_bytes=len(stored), derived=False)
    assert raw["t"]["t"].tolist() == [stored]


@pytest.mark.parametrize(
    ("code", "stored", "time_keys", "words"),
    [
        ("cds", b"\0\0\x05\x26\x5f\xe8", {}, "millisecond of day 86401000"),
        ("cds", b"\0\0\0\0\0\0\x03\xe8", {"sub_ms": 16}, "microsecond count 1000"),
        ("cds", b"\xff\xff\xff\0\0\0\0", {"day_bits": 24}, "outside datetime64"),
    ],
)
def test_refused_time_codes_are_faults(code, stored, time_keys, words):
    decoded = _time_of(
        code,
        stored[: 6 + (time_keys.get("day_bits", 16) - 16) // 8 + time_keys.get("sub_ms", 0) // 8],
        **time_keys,
    )
    assert decoded["t"]["t"].tolist() == []
    assert [f.severity for f in decoded.faults] == ["error"]
    assert words in decoded.faults[0].message


@pytest.mark.parametrize(
    ("names", "apid_name", "count_name"),
    [
        ("bitloom", "apid", "sequence_count"),
        ("ccsdspy", "CCSDS_APID", "CCSDS_SEQUENCE_COUNT"),
        ("xtce", "PKT_APID", "SRC_SEQ_CTR"),
    ],
)
def test_the_primary_header_reads_what_framing_finds(names, apid_name, count_name):
    data = _stream(500, seed=9)
    frames = bb.split_ccsds(data)
    header = bb.ccsds.primary_header(names)
    columns = bb.unpack_columns(data, header, offsets=frames.offsets, lengths=frames.lengths)
    assert columns[apid_name].tolist() == frames.apids.tolist()
    assert columns[count_name].tolist() == frames.sequence_counts.tolist()
    assert (columns[header[-1]["name"]] + 7).tolist() == frames.lengths.tolist()
    assert sum(item["bits"] for item in header) == 48
    # Fresh items each call; the tuple's are bitloom's names.
    header[0]["bits"] = 99
    assert bb.ccsds.primary_header(names)[0]["bits"] == 3
    assert [i["name"] for i in bb.ccsds.PRIMARY_HEADER] == [
        i["name"] for i in bb.ccsds.primary_header()
    ]
    with pytest.raises(ValueError, match="names must be"):
        bb.ccsds.primary_header("yamcs")


def _codes(types):
    return [(f.index, f.name, f.code) for f in bb.check_recipe(Definitions(types))]


@pytest.mark.parametrize(
    ("types", "expected"),
    [
        # A sound set: no findings, the definition keys known.
        (
            [
                ROOT,
                PacketType(
                    "a",
                    [
                        u("n", 4),
                        u("e", 4, count={"field": "n"}, enumeration={1: "x"}),
                        field("b", "binary", {"rest": 16}),
                        u("p", 32, byte_order="3412"),
                    ],
                    parent="root",
                    where={"apid": 1},
                ),
            ],
            [],
        ),
        # A typo'd key and a little-endian partial byte, named by type and item.
        (
            [PacketType("a", [u("x", 12, offset=4), u("y", 12, byte_order="little")])],
            [(0, "a.x", "unknown-key"), (0, "a.y", "little-endian-partial-byte")],
        ),
        (
            [
                ROOT,
                PacketType("a", [], parent="root"),
                PacketType("b", [], parent="root", where={"apid": 2}),
            ],
            [(2, "b", "unreachable-type")],
        ),
        (
            [
                ROOT,
                PacketType("a", [], parent="root", where={"apid": 2}),
                PacketType("b", [], parent="root", where=[("apid", "==", 2), ("version", "==", 0)]),
            ],
            [(2, "b", "unreachable-type")],
        ),
        (
            [
                ROOT,
                PacketType("a", [], parent="root", where=[("apid", ">", 2)]),
                PacketType("b", [], parent="root", where={"apid": 3}),
            ],
            [],
        ),
        (
            [PacketType("a", [u("n", 32), field("b", "binary", {"field": "n", "scale": 8})])],
            [(0, "a.b", "size-too-large")],
        ),
        (
            [PacketType("a", [u("n", 16), u("e", 16, count={"field": "n"})])],
            [(0, "a.e", "size-too-large")],
        ),
        (
            [PacketType("a", [u("n", 8), u("e", 16, count={"field": "n"})])],
            [],
        ),
        (
            [PacketType("a", [field("r", "binary", 16, records=[u("x", 12), u("y", 8)])])],
            [(0, "a.r", "records-do-not-fit")],
        ),
        (
            [PacketType("a", [field("r", "binary", 64, count=4, records=[u("x", 20)])])],
            [(0, "a.r", "records-do-not-fit")],
        ),
    ],
)
def test_check_recipe_checks_definitions(types, expected):
    assert _codes(types) == expected


@pytest.mark.parametrize(
    ("encoding", "bits", "stored", "labels"),
    [
        # Signed raw values far apart: the label table must not wrap in int8.
        ("twos_complement", 8, [0x9C, 0x64, 0x00], {-100: "low", 100: "high"}),
        ("unsigned", 64, [2**64 - 1, 5, 2**63], {2**64 - 1: "top", 5: "five"}),
        ("unsigned", 32, [70000, 1, 3], {70000: "far", 1: "one"}),
    ],
)
def test_enumerations_label_every_raw_value(encoding, bits, stored, labels):
    defs = Definitions([PacketType("t", [field("x", encoding, bits, enumeration=labels)])])
    data = b"".join(v.to_bytes(bits // 8, "big") for v in stored)
    decoded = defs.decode(data, packet_bytes=bits // 8)
    raws = defs.decode(data, packet_bytes=bits // 8, derived=False)["t"]["x"].tolist()
    assert decoded["t"]["x"].tolist() == [labels.get(r) for r in raws]
    assert [f.packet for f in decoded.faults] == [p for p, r in enumerate(raws) if r not in labels]


def test_a_spline_refusal_comes_before_a_later_field_outside_the_packet():
    # x's raw value 200 lies outside the spline; y does not fit the 2-byte
    # packet: the packet's first fault is x's, as item order has it.
    defs = Definitions([PacketType("t", [u("x", 8, spline=[[0, 0.0], [100, 1.0]]), u("y", 16)])])
    decoded = defs.decode(bytes([200, 0]), packet_bytes=2, errors="skip")
    assert [(f.item, f.severity) for f in decoded.faults] == [("x", "error")]
    assert "outside the spline" in decoded.faults[0].message
    with pytest.raises(ValueError, match="outside the spline") as info:
        defs.decode(bytes([200, 0]), packet_bytes=2)
    assert info.value.__notes__[0] == "while decoding item 'x' of packet type 't'"
