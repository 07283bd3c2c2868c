"""Recipes annotated with the typed items of bitloom_bulk, a user's own TypedDict
and plain dicts: a type checker must accept all of them (checked, not run)."""

from __future__ import annotations

from typing import Any, TypedDict

from typing_extensions import assert_type

import bitloom
from bitloom_bulk import ByteOrder, Encoding, FloatPackItem, IntegerPackItem, PackItem, UnpackItem

header: list[UnpackItem] = [
    {
        "name": "apid",
        "encoding": "unsigned",
        "bits": 11,
        "byte_order": "big",
        "reverse_bits": False,
    },
    {
        "name": "temp",
        "encoding": "ieee754_f32",
        "bits": 32,
        "byte_order": "little",
        "reverse_bits": False,
        "offset_bits": 16,
    },
    {"name": "label", "encoding": "utf8", "bits": 32, "byte_order": "big", "reverse_bits": True},
]
assert_type(bitloom.unpack_parameters(b"\0" * 10, 0, header), dict[str, Any])
assert_type(bitloom.unpack_parameters(b"\0" * 10, 0, tuple(header)), dict[str, Any])

command: list[PackItem] = [
    {
        "name": "apid",
        "encoding": "unsigned",
        "bits": 11,
        "byte_order": "big",
        "reverse_bits": False,
        "value": 0x123,
    },
    {
        "name": "temp",
        "encoding": "ieee754_f64",
        "bits": 64,
        "byte_order": "little",
        "reverse_bits": False,
        "value": 21.5,
    },
    {
        "name": "label",
        "encoding": "utf16le",
        "bits": 32,
        "byte_order": "big",
        "reverse_bits": False,
        "value": "ok",
    },
]
packet = bitloom.pack_parameters(command)
assert_type(packet, bytes)
# A packing recipe can be read back with itself.
assert_type(bitloom.unpack_parameters(packet, 0, command), dict[str, Any])

# The per-family items and the Literal aliases on their own.
count: IntegerPackItem = {
    "name": "count",
    "encoding": "packed_bcd_signed",
    "bits": 16,
    "byte_order": "big",
    "reverse_bits": False,
    "value": -12,
}
# An int is a valid value for a float field.
ratio: FloatPackItem = {
    "name": "ratio",
    "encoding": "ieee754_f16",
    "bits": 16,
    "byte_order": "big",
    "reverse_bits": False,
    "value": 1,
}
assert_type(bitloom.pack_parameters([count, ratio]), bytes)
encoding: Encoding = "mil_std_1750a_f48"
order: ByteOrder = "little"


# A user's own TypedDict, with a key of its own that the packer ignores.
class Channel(TypedDict):
    name: str
    encoding: str
    bits: int
    byte_order: str
    reverse_bits: bool
    unit: str


channels: list[Channel] = [
    {
        "name": "volts",
        "encoding": "unsigned",
        "bits": 12,
        "byte_order": "big",
        "reverse_bits": False,
        "unit": "V",
    }
]
assert_type(bitloom.unpack_parameters(b"\0\0", 0, channels), dict[str, Any])

# Plain, unannotated dicts are recipes too.
plain = [
    {"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False}
]
assert_type(bitloom.unpack_parameters(b"\x01", 0, plain), dict[str, Any])
plain_packed = bitloom.pack_parameters(
    [
        {
            "name": "a",
            "encoding": "unsigned",
            "bits": 8,
            "byte_order": "big",
            "reverse_bits": False,
            "value": 1,
        }
    ]
)
assert_type(plain_packed, bytes)
