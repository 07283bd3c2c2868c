"""Definitions.decode's shortcuts against its general way and the reference
model: header fields known from CCSDS framing or gathered from their byte
(against the same packets framed by offsets, which decodes them with the
column kernel), and items whose derivation never refuses a value, decoded
and derived only for the packets of each table."""

from __future__ import annotations

import numpy as np
import pytest

from bitloom_bulk import Definitions, PacketType, field
from bitloom_bulk import _definitions_decode as decoding
from bitloom_bulk.ccsds import primary_header
from tests.support import definitions_model as model
from tests.support import streams


def _stream(seed, count=80):
    """CCSDS packets of 8 to 40 bytes whose header bits a where may read
    (version, type, secondary header flag, sequence flags) vary."""
    rng = np.random.default_rng(seed)
    data = bytearray(streams.stream(rng.integers(0, 3, count), rng.integers(8, 41, count), rng))
    at = 0
    while at < len(data):
        data[at] = (data[at] & 0x07) | int(rng.integers(0, 32)) << 3
        data[at + 2] = (data[at + 2] & 0x3F) | int(rng.integers(0, 4)) << 6
        at += int.from_bytes(data[at + 4 : at + 6], "big") + 7
    return bytes(data)


def _framed(data):
    """The offsets and lengths of the packets of ``data``."""
    places = [(at, n) for at, n, _ in model.frames(data)]
    return [a for a, _ in places], [n for _, n in places]


HEADER_WHERES = [
    # Fields within the first byte, gathered from it.
    pytest.param([{"version": 0}, {"version": 5}], id="version"),
    pytest.param([[("type", "==", 1), ("secondary_header", "==", 0)], None], id="type-flag"),
    # Two bits at the top of byte 2, also beside bits of byte 0.
    pytest.param([{"sequence_flags": 3}, [("sequence_flags", "<", 2)]], id="sequence-flags"),
    pytest.param(
        [[("sequence_flags", "==", 1), ("version", "<", 4)], {"type": 0, "sequence_flags": 2}],
        id="two-bytes",
    ),
    # The length field, known from framing.
    pytest.param([[("packet_length", ">", 25)], [("packet_length", "<=", 12)]], id="length"),
    pytest.param([[("apid", "==", 1), ("packet_length", ">=", 20)], None], id="apid-length"),
    pytest.param(
        [{"any": [("version", "==", 7), ("sequence_count", "<", 40)]}, None],
        id="version-or-count",
    ),
]


@pytest.mark.parametrize("wheres", HEADER_WHERES)
# With a field after the header in the root's first run, packets of fewer
# than 10 bytes fault there and leave before the header's fields are read.
@pytest.mark.parametrize("extra", [0, 32])
@pytest.mark.parametrize("seed", range(3))
def test_header_fields_read_from_framing_agree(wheres, extra, seed):
    header = primary_header() + ([field("extra", "unsigned", extra)] if extra else [])
    types = [PacketType("root", header, abstract=True)]
    for k, where in enumerate(wheres):
        types.append(
            PacketType(
                f"t{k}",
                [
                    field("a", "unsigned", 3),
                    # Sized by the length field: what remains after "a" and
                    # "b", a bit to spare.
                    field(
                        "body",
                        "binary",
                        {"field": "packet_length", "scale": 8, "offset": -8 - extra},
                    ),
                    field("b", "unsigned", 4),
                ],
                parent="root",
                where=where,
            )
        )
    defs = Definitions(types)
    data = _stream(seed)
    offsets, lengths = _framed(data)
    framed = defs.decode(data, errors="skip")
    placed = defs.decode(data, offsets=offsets, lengths=lengths, errors="skip")
    model.assert_same(defs, framed, model.decode(defs, data))
    assert framed.faults == placed.faults
    for name, table in placed.items():
        for column, values in table.items():
            got = framed[name][column]
            assert got.dtype == values.dtype, (name, column)
            assert got.tolist() == values.tolist(), (name, column)


# Each derivation of the item "d" (3 bits from bit 1 of the body, after "a"),
# and whether it refuses no raw value of its bits.
DERIVATIONS = [
    pytest.param({"enumeration": {v: f"e{v}" for v in range(8)}}, True, id="enumeration-all"),
    pytest.param({"enumeration": {v: f"e{v % 3}" for v in range(8)}}, True, id="shared-labels"),
    pytest.param({"enumeration": {v: f"e{v}" for v in range(7)}}, False, id="enumeration-7"),
    pytest.param({"polynomial": [0.5, -1.25, 0.125]}, True, id="polynomial"),
    pytest.param({"boolean": True}, True, id="boolean"),
    pytest.param({"spline": [[0, 0.0], [6, 3.0]]}, False, id="spline"),
]


def _derived_set(derivation, encoding="unsigned"):
    """A root whose derived item "d" a child's where reads raw, and children
    with items after it that fault in some packets (a size beyond the packet)."""
    root = PacketType(
        "root",
        [
            field("a", "unsigned", 9),
            field("d", encoding, 3, **derivation),
            field("n", "unsigned", 4),
        ],
    )
    return Definitions(
        [
            root,
            PacketType(
                "low",
                [field("z", "binary", {"field": "n", "scale": 16, "offset": 0})],
                parent="root",
                where=[("d", "<", 3)],
            ),
            PacketType(
                "rest",
                [field("e", encoding, 3, **derivation)],
                parent="root",
                where=[("a", ">", 9)],
            ),
        ]
    )


@pytest.mark.parametrize(("derivation", "total"), DERIVATIONS)
@pytest.mark.parametrize("encoding", ["unsigned", "twos_complement"])
@pytest.mark.parametrize("seed", range(3))
def test_derived_items_decoded_for_the_tables_agree_with_the_model(
    derivation, total, encoding, seed
):
    defs = _derived_set(derivation, encoding)
    node = next(n for n in defs.nodes() if n.name == "root")
    item = next(i for i in node.items if i.name == "d")
    # Two's complement raw values -4..3 are not the labels' 0..7.
    assert decoding._never_refused(item) == (
        total and not (encoding == "twos_complement" and "enumeration" in derivation)
    )
    rng = np.random.default_rng(seed)
    data = rng.integers(0, 256, 6 * 90, dtype=np.uint8).tobytes()
    for derived in (True, False):
        want = model.decode(defs, data, packet_bytes=6, derived=derived)
        got = defs.decode(data, packet_bytes=6, derived=derived, errors="skip")
        model.assert_same(defs, got, want)


@pytest.mark.parametrize(
    "derivation",
    [
        pytest.param({v: f"e{v}" for v in range(8)}, id="labels"),
        pytest.param({v: f"e{(v * 5) % 3}" for v in range(8)}, id="shared"),
    ],
)
def test_lazy_enumerations_give_their_codes(derivation):
    """With codes (what Dask's categoricals are made from), each value is
    its label's place among the enumeration's categories."""
    defs = _derived_set({"enumeration": derivation})
    data = np.random.default_rng(7).integers(0, 256, 6 * 50, dtype=np.uint8).tobytes()
    raw = defs.decode(data, packet_bytes=6, derived=False, errors="skip")
    coded = decoding.decode(
        defs,
        data,
        packet_bytes=6,
        offsets=None,
        lengths=None,
        offset=0,
        derived=True,
        errors="skip",
        codes=True,
    )
    _, codes = decoding.enumeration_categories(derivation)
    for name in ("low", "rest"):
        want = [codes[v] for v in raw[name]["d"].tolist()]
        assert coded[name]["d"].tolist() == want, name
    assert coded["rest"]["e"].tolist() == [codes[v] for v in raw["rest"]["e"].tolist()]
