"""What a recipe item is: the families of encodings, the keys an item has, and
:func:`field`, which builds an item typed by its encoding's family.

The public names are :mod:`bitloom_bulk.recipes`'s; the checks and the recipe
files take their encoding families and keys from here.
"""

from __future__ import annotations

import difflib
from collections.abc import Mapping
from typing import Any, get_args, overload

from bitloom_bulk._types import (
    Encoding,
    FloatEncoding,
    FloatPackItem,
    IntegerEncoding,
    IntegerPackItem,
    PackEncoding,
    TextEncoding,
    TextPackItem,
    UnpackItem,
    UnpackOnlyEncoding,
)

# The encodings of each family, as the typed items name them.
INTEGER_ENCODINGS = frozenset(get_args(IntegerEncoding))
FLOAT_ENCODINGS = frozenset(get_args(FloatEncoding))
TEXT_ENCODINGS = frozenset(get_args(TextEncoding))
UNPACK_ONLY_ENCODINGS = frozenset(get_args(UnpackOnlyEncoding))
PACK_ENCODINGS = frozenset(get_args(PackEncoding))
ALL_ENCODINGS = frozenset(get_args(Encoding))
NUMERIC_ENCODINGS = ALL_ENCODINGS - TEXT_ENCODINGS

REQUIRED_KEYS = ("name", "encoding", "bits", "byte_order", "reverse_bits")
KNOWN_KEYS = (*REQUIRED_KEYS, "offset_bits", "value", "dtype")
FLOAT_WIDTHS = {"ieee754_f16": 16, "ieee754_f32": 32, "ieee754_f64": 64}
# The encodings whose every value a float32 column holds exactly (binary16
# and binary32 values are binary32 values): the ones ``"dtype": "float32"``
# takes, for a float32 column in place of a float64 one.
FLOAT32_ENCODINGS = frozenset({"ieee754_f16", "ieee754_f32"})
# ``bits`` and ``offset_bits`` are below this; so is a field's end in a file.
_U32_LIMIT = 2**32


@overload
def field(
    name: str, encoding: IntegerEncoding, bits: int, *, value: int, **keys: Any
) -> IntegerPackItem: ...
@overload
def field(
    name: str, encoding: FloatEncoding, bits: int, *, value: float, **keys: Any
) -> FloatPackItem: ...
@overload
def field(
    name: str, encoding: TextEncoding, bits: int, *, value: str, **keys: Any
) -> TextPackItem: ...
@overload
def field(name: str, encoding: Encoding, bits: int, **keys: Any) -> UnpackItem: ...
@overload
def field(
    name: str, encoding: str, bits: int | Mapping[str, int], **keys: Any
) -> dict[str, Any]: ...
def field(name: str, encoding: str, bits: int | Mapping[str, int], **keys: Any) -> Any:
    """A recipe item: big-endian, bits not reversed, unless ``keys`` say otherwise.

    ``keys`` adds or overrides any key (``value``, ``offset_bits``,
    ``byte_order``, ``reverse_bits``, and in packet definitions ``count``,
    ``records`` and the derived values). Packet definitions also take the
    encoding "binary" and ``bits`` as ``{"field": NAME, "scale": A,
    "offset": B}`` or ``{"rest": N}``.
    """
    item: dict[str, Any] = {
        "name": name,
        "encoding": encoding,
        "bits": bits,
        "byte_order": "big",
        "reverse_bits": False,
    }
    item.update(keys)
    return item


def _suggest(word: str, choices: Any) -> str | None:
    """The one of ``choices`` closest to ``word``, for a "did you mean", or None."""
    match = difflib.get_close_matches(word, sorted(choices), n=1, cutoff=0.6)
    return match[0] if match else None
