"""Typical uses of bitloom that a type checker must accept (checked, not run)."""

from __future__ import annotations

import fractions
from typing import Any, NoReturn

from typing_extensions import assert_type

import bitloom


class Register:
    """An object that is not an int but converts to one through __index__."""

    def __index__(self) -> int:
        return 0x2A


telemetry: list[dict[str, Any]] = [
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
        "encoding": "ieee754_f32",
        "bits": 32,
        "byte_order": "little",
        "reverse_bits": False,
        "offset_bits": 16,
        "value": 21.5,
    },
    {
        "name": "label",
        "encoding": "utf8",
        "bits": 32,
        "byte_order": "big",
        "reverse_bits": False,
        "value": "ok",
    },
]

packet = bitloom.pack_parameters(telemetry)
assert_type(packet, bytes)
fields = bitloom.unpack_parameters(packet, 0, telemetry)
assert_type(fields, dict[str, Any])
# A tuple of dicts is a recipe too, and a recipe literal needs no annotation.
assert_type(
    bitloom.unpack_parameters(packet, offset_bits=8, recipe=tuple(telemetry)), dict[str, Any]
)
bitloom.pack_parameters(
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

# A recipe held in an unannotated variable (inferred as a list of dict[str, object]).
plain_recipe = [
    {"name": "flag", "encoding": "unsigned", "bits": 1, "byte_order": "big", "reverse_bits": True}
]
plain_recipe[0]["value"] = 1
assert_type(bitloom.pack_parameters(plain_recipe), bytes)

# Integer parameters take ints, bools and __index__ objects.
assert_type(bitloom.encode_twos_complement(-1, 8), int)
assert_type(bitloom.decode_twos_complement(Register(), bits=True), int)
assert_type(bitloom.encode_ones_complement(value=-5, bits=64), int)
assert_type(bitloom.decode_sign_magnitude(133, 8), int)
assert_type(bitloom.decode_ieee754_f128(1 << 127), float)

# BCD: `signed` defaults to False and may be given by keyword.
assert_type(bitloom.encode_packed_bcd(12, 8), int)
assert_type(bitloom.encode_unpacked_bcd(-7, 16, signed=True), int)
assert_type(bitloom.decode_packed_bcd(0x12C, 12, True), int)

# Float parameters take floats, ints and objects with __float__ or __index__.
assert_type(bitloom.encode_ieee754_f16(1.0), int)
assert_type(bitloom.encode_ieee754_f32(3), int)
assert_type(bitloom.encode_ieee754_f64(fractions.Fraction(1, 3)), int)
assert_type(bitloom.encode_ieee754_f64(Register()), int)
assert_type(bitloom.decode_ieee754_f64(0x3FF0000000000000), float)

# Text in both directions.
assert_type(bitloom.encode_utf16("x"), bytes)
assert_type(bitloom.encode_windows_1252(text="€"), bytes)
assert_type(bitloom.decode_utf32be(b"\0\0\0x"), str)
assert_type(bitloom.decode_iso_8859_1(bytes=b"\xe9"), str)


# The unimplemented formats never return, so a function ending in one
# satisfies a NoReturn annotation.
def unsupported_decode(image: int) -> NoReturn:
    bitloom.decode_mil_std_1750a_f48(_value=image)


def unsupported_encode(x: float) -> NoReturn:
    bitloom.encode_ieee754_f128(x)


names: list[str] = bitloom.__all__
