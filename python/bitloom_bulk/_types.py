"""Typed recipe items: annotate a recipe with these and a type checker catches
misspelt keys, unknown encodings and byte orders, and values of the wrong type.

They are ordinary ``TypedDict`` classes at run time, so an annotated item is a
plain ``dict`` that every function of ``bitloom`` and ``bitloom_bulk`` accepts.
"""

from __future__ import annotations

import sys
from typing import Literal, TypedDict, Union

if sys.version_info >= (3, 11):
    from typing import NotRequired
else:  # pragma: no cover - exercised on 3.10
    from typing_extensions import NotRequired

IntegerEncoding = Literal[
    "unsigned",
    "twos_complement",
    "ones_complement",
    "sign_magnitude",
    "packed_bcd",
    "packed_bcd_signed",
    "unpacked_bcd",
    "unpacked_bcd_signed",
]
FloatEncoding = Literal["ieee754_f16", "ieee754_f32", "ieee754_f64"]
TextEncoding = Literal[
    "utf8",
    "utf16",
    "utf16le",
    "utf16be",
    "utf32",
    "utf32le",
    "utf32be",
    "us_ascii",
    "iso_8859_1",
    "latin1",
    "windows_1252",
]
# Encodings the unpacker reads but the packer refuses.
UnpackOnlyEncoding = Literal[
    "ieee754_f128",
    "ti_f32",
    "ti_f40",
    "dec_f32",
    "dec_f64",
    "ibm_f32",
    "ibm_f64",
    "ieee754_1985_f32",
    "ieee754_1985_f64",
    "ieee754_1985_f80",
    "mil_std_1750a_f32",
    "mil_std_1750a_f48",
]
PackEncoding = Literal[IntegerEncoding, FloatEncoding, TextEncoding]
Encoding = Literal[PackEncoding, UnpackOnlyEncoding]
ByteOrder = Literal["big", "little"]


class UnpackItem(TypedDict):
    """One field of a recipe for unpacking."""

    name: str
    encoding: Encoding
    bits: int
    byte_order: ByteOrder
    reverse_bits: bool
    offset_bits: NotRequired[int]
    dtype: NotRequired[Literal["float32"]]


class _PackBase(TypedDict):
    name: str
    bits: int
    byte_order: ByteOrder
    reverse_bits: bool
    offset_bits: NotRequired[int]


class IntegerPackItem(_PackBase):
    """A packed integer or BCD field."""

    encoding: IntegerEncoding
    value: int


class FloatPackItem(_PackBase):
    """A packed IEEE 754 field."""

    encoding: FloatEncoding
    value: float


class TextPackItem(_PackBase):
    """A packed text field."""

    encoding: TextEncoding
    value: str


PackItem = Union[IntegerPackItem, FloatPackItem, TextPackItem]  # noqa: UP007 - a runtime alias

__all__ = [
    "ByteOrder",
    "Encoding",
    "FloatEncoding",
    "FloatPackItem",
    "IntegerEncoding",
    "IntegerPackItem",
    "PackEncoding",
    "PackItem",
    "TextEncoding",
    "TextPackItem",
    "UnpackItem",
    "UnpackOnlyEncoding",
]
