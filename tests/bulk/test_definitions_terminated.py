"""Texts that run to a terminator byte, against hand-worked packets: where
the terminator is, what follows it, and the packets that fault."""

from __future__ import annotations

import pytest

from bitloom_bulk import DefinitionError, Definitions, PacketType, field


def _defs(lead_bits=8, byte=0):
    items = [
        field("lead", "unsigned", lead_bits),
        field("name", "iso_8859_1", {"terminator": byte}),
        field("after", "unsigned", 8),
    ]
    return Definitions([PacketType("t", items)])


CASES = [
    # packets, lead bits, terminator: names, afters, (packet, item) of faults
    ([b"\x01ab\x00\x07"], 8, 0, ["ab"], [7], []),
    ([b"\x01\x00\x07"], 8, 0, [""], [7], []),
    ([b"\x01abc;\x09"], 8, 0x3B, ["abc"], [9], []),
    # No terminator in the packet: the next packet's first byte is one, and
    # must not be taken for it.
    ([b"\x01ab", b"\x00\x00\x05"], 8, 0, [""], [5], [(0, "name")]),
    # The terminator is there, but nothing is left for the field after it.
    ([b"\x01ab\x00"], 8, 0, [], [], [(0, "after")]),
    # Off a byte boundary.
    ([b"\x01ab\x00\x07"], 4, 0, [], [], [(0, "name")]),
]


@pytest.mark.parametrize(("packets", "lead", "byte", "names", "afters", "faulty"), CASES)
def test_terminated_text(packets, lead, byte, names, afters, faulty):
    defs = _defs(lead, byte)
    data = b"".join(packets)
    lengths = [len(p) for p in packets]
    offsets = [sum(lengths[:i]) for i in range(len(packets))]
    decoded = defs.decode(data, offsets=offsets, lengths=lengths, errors="skip")
    assert decoded["t"]["name"].tolist() == names
    assert decoded["t"]["after"].tolist() == afters
    assert [(f.packet, f.item) for f in decoded.faults] == faulty


@pytest.mark.parametrize(
    ("encoding", "bits", "message"),
    [
        ("utf16be", {"terminator": 0}, "one-byte encoding or utf8"),
        ("binary", {"terminator": 0}, "only text fields do"),
        ("iso_8859_1", {"terminator": 256}, "byte value B"),
        ("unsigned", {"terminator": 0}, "only binary and text fields"),
    ],
)
def test_terminator_refused(encoding, bits, message):
    with pytest.raises(DefinitionError, match=message):
        Definitions([PacketType("t", [field("x", encoding, bits)])])
