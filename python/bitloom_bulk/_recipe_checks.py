"""The recipe checks behind :func:`check_recipe`: one function per family of
findings, and :class:`Finding`, what each reports.

The codes and what they mean are listed in :mod:`bitloom_bulk.recipes`'s
documentation, which re-exports the public names.
"""

from __future__ import annotations

import codecs
import operator
from dataclasses import dataclass
from typing import Any, Literal, SupportsIndex, TypeGuard, cast

from bitloom_bulk._recipe_items import (
    _U32_LIMIT,
    ALL_ENCODINGS,
    FLOAT32_ENCODINGS,
    FLOAT_ENCODINGS,
    FLOAT_WIDTHS,
    INTEGER_ENCODINGS,
    KNOWN_KEYS,
    NUMERIC_ENCODINGS,
    PACK_ENCODINGS,
    REQUIRED_KEYS,
    TEXT_ENCODINGS,
    UNPACK_ONLY_ENCODINGS,
    _suggest,
)

# Names people write for our encodings; the keys are lower-cased.
ENCODING_ALIASES = {
    "utf-8": "utf8",
    "utf_8": "utf8",
    "utf-16": "utf16",
    "utf_16": "utf16",
    "utf-16le": "utf16le",
    "utf-16-le": "utf16le",
    "utf_16_le": "utf16le",
    "utf-16be": "utf16be",
    "utf-16-be": "utf16be",
    "utf_16_be": "utf16be",
    "utf-32": "utf32",
    "utf_32": "utf32",
    "utf-32le": "utf32le",
    "utf-32-le": "utf32le",
    "utf-32be": "utf32be",
    "utf-32-be": "utf32be",
    "ascii": "us_ascii",
    "us-ascii": "us_ascii",
    "latin-1": "latin1",
    "latin_1": "latin1",
    "iso-8859-1": "iso_8859_1",
    "iso8859-1": "iso_8859_1",
    "cp1252": "windows_1252",
    "windows-1252": "windows_1252",
    "float16": "ieee754_f16",
    "half": "ieee754_f16",
    "f16": "ieee754_f16",
    "float": "ieee754_f32",
    "float32": "ieee754_f32",
    "single": "ieee754_f32",
    "f32": "ieee754_f32",
    "float64": "ieee754_f64",
    "double": "ieee754_f64",
    "f64": "ieee754_f64",
    "float128": "ieee754_f128",
    "uint": "unsigned",
    "unsigned_int": "unsigned",
    "int": "twos_complement",
    "signed": "twos_complement",
    "twos-complement": "twos_complement",
    "ones-complement": "ones_complement",
    "sign-magnitude": "sign_magnitude",
    "bcd": "packed_bcd",
}

# Python codecs giving the byte length of a text field's image.
_TEXT_CODECS = {
    "utf8": "utf-8",
    "utf16": "utf-16",
    "utf16le": "utf-16-le",
    "utf16be": "utf-16-be",
    "utf32": "utf-32",
    "utf32le": "utf-32-le",
    "utf32be": "utf-32-be",
    "us_ascii": "ascii",
    "iso_8859_1": "latin-1",
    "latin1": "latin-1",
    "windows_1252": "cp1252",
}
assert set(_TEXT_CODECS) == TEXT_ENCODINGS
for _codec in _TEXT_CODECS.values():
    codecs.lookup(_codec)


@dataclass(frozen=True)
class Finding:
    """One finding of :func:`check_recipe`."""

    index: int
    name: str | None
    code: str
    message: str

    def __str__(self) -> str:
        where = f"item {self.index}" + (f" ({self.name!r})" if self.name is not None else "")
        return f"{where}: {self.code}: {self.message}"


# Users meet it (in pickles, in help(), as the type of a finding) as the public
# module's; it is set once the dataclass is built, which reads its own module.
Finding.__module__ = "bitloom_bulk.recipes"


# A finding's code and message, before the item it is about is named.
_Note = tuple[str, str]
# A packed field's bits: start, end, and its item's index and name.
_Span = tuple[int, int, int, str | None]


def check_recipe(recipe: Any, *, direction: Literal["pack", "unpack"] = "unpack") -> list[Finding]:
    """Check ``recipe`` for layouts that fail or silently lose data.

    ``direction`` is "unpack" (reading packets) or "pack" (building them);
    some findings apply to one direction only. Returns the findings in recipe
    order, an empty list for a sound recipe. See the module documentation for
    the codes. ``recipe`` may also be packet ``Definitions``: each type's items
    are checked as recipe items (the keys definitions add known), and the
    tree for types no packet reaches, sizes no packet holds and records that
    do not fit.
    """
    if direction not in ("pack", "unpack"):
        raise ValueError(f"direction must be 'pack' or 'unpack', not {direction!r}")
    from bitloom_bulk._definitions import Definitions

    if isinstance(recipe, Definitions):
        from bitloom_bulk._definition_checks import check_definitions

        return check_definitions(recipe)
    if isinstance(recipe, (str, bytes)):
        raise TypeError("recipe must be a sequence of dicts, not a string")
    packing = direction == "pack"
    accepted = PACK_ENCODINGS if packing else ALL_ENCODINGS
    findings: list[Finding] = []
    seen_names: dict[str, int] = {}
    spans: list[_Span] = []
    running = 0
    for index, item in enumerate(recipe):
        if not isinstance(item, dict):
            findings.extend(_found(index, item, _item_shape(item)))
            continue
        notes = _keys(item, packing)
        bits = item.get("bits")
        ok_bits = "bits" in item and _is_u32(bits)
        notes += _key_types(item)
        notes += _duplicate_name(item, index, seen_names)
        notes += _byte_order(item)
        enc, encoding_notes = _encoding(item, packing, accepted)
        notes += encoding_notes
        notes += _dtype(item, enc)
        if enc is not None and ok_bits:
            width = operator.index(cast("SupportsIndex", bits))  # ok_bits: _is_u32(bits)
            notes += _byte_swap(item, enc, width)
            notes += _number_width(enc, width)
            notes += _text_width(item, enc, width, packing)
        findings.extend(_found(index, item, notes))
        if packing and ok_bits:
            running = _place(item, index, running, spans)
    if packing:
        findings.extend(_overlaps(spans))
        findings.sort(key=lambda f: f.index)
    return findings


def _found(index: int, item: Any, notes: list[_Note]) -> list[Finding]:
    """The findings of item ``index``, named by the item's name where it is a str."""
    found: list[Finding] = []
    for code, message in notes:
        name = item.get("name") if isinstance(item, dict) else None
        found.append(Finding(index, name if isinstance(name, str) else None, code, message))
    return found


def _item_shape(item: Any) -> list[_Note]:
    """bad-type: an item that is not a dict."""
    return [
        (
            "bad-type",
            f"the item is a {type(item).__name__}, not a dict: the call fails with "
            "TypeError; write each item as a dict (see field()).",
        )
    ]


def _keys(item: dict[Any, Any], packing: bool) -> list[_Note]:
    """missing-key for each required key the item lacks, missing-value when
    packing an item without a value, and unknown-key for each key no direction
    reads, in the item's order."""
    notes: list[_Note] = []
    for key in REQUIRED_KEYS:
        if key not in item:
            notes.append(
                (
                    "missing-key",
                    f"the item has no {key!r}: the call fails with KeyError; add "
                    f"{key!r} (field() fills byte_order 'big' and reverse_bits False).",
                )
            )
    if packing and "value" not in item:
        notes.append(
            (
                "missing-value",
                "the item has no 'value': packing fails with KeyError; add 'value'.",
            )
        )
    for key in item:
        if key in KNOWN_KEYS:
            continue
        guess = _suggest(str(key), KNOWN_KEYS)
        hint = f'did you mean "{guess}"?' if guess else f"known keys: {', '.join(KNOWN_KEYS)}"
        notes.append(
            (
                "unknown-key",
                f"the key {key!r} is ignored, so it has no effect on the field; {hint}",
            )
        )
    return notes


def _key_types(item: dict[Any, Any]) -> list[_Note]:
    """bad-type for each key whose value the call refuses: ``name``,
    ``encoding`` or ``byte_order`` not a str, ``bits`` or ``offset_bits`` not
    an int from 0 to 2**32 - 1, ``reverse_bits`` not True or False."""
    notes: list[_Note] = []
    for key in ("name", "encoding", "byte_order"):
        if key in item and not isinstance(item[key], str):
            notes.append(
                (
                    "bad-type",
                    f"{key!r} is a {type(item[key]).__name__}: the call fails with "
                    f"TypeError; write {key!r} as a str.",
                )
            )
    for key in ("bits", "offset_bits"):
        if key in item and not _is_u32(item[key]):
            notes.append(
                (
                    "bad-type",
                    f"{key!r} is {item[key]!r}: the call fails; write {key!r} as an int "
                    "from 0 to 4294967295.",
                )
            )
    if "reverse_bits" in item and not _is_bool(item["reverse_bits"]):
        notes.append(
            (
                "bad-type",
                f"'reverse_bits' is {item['reverse_bits']!r}: the call fails with "
                "TypeError; write True or False.",
            )
        )
    return notes


def _duplicate_name(item: dict[Any, Any], index: int, seen_names: dict[str, int]) -> list[_Note]:
    """duplicate-name: a name an earlier item has (in ``seen_names``, which
    learns the first item of each name)."""
    name = item.get("name")
    if not isinstance(name, str):
        return []
    if name not in seen_names:
        seen_names[name] = index
        return []
    return [
        (
            "duplicate-name",
            f"item {seen_names[name]} has the same name {name!r}: the result "
            "keeps only this later one; give each item its own name.",
        )
    ]


def _byte_order(item: dict[Any, Any]) -> list[_Note]:
    """bad-byte-order: a str ``byte_order`` that is neither big nor little in
    any case."""
    byte_order = item.get("byte_order")
    if not (isinstance(byte_order, str) and byte_order.lower() not in ("big", "little")):
        return []
    guess = _suggest(byte_order.lower(), ("big", "little"))
    hint = f'did you mean "{guess}"?' if guess else 'write "big" or "little".'
    return [
        (
            "bad-byte-order",
            f"byte_order {byte_order!r} is neither 'big' nor 'little': the call "
            f"fails with ValueError; {hint}",
        )
    ]


def _encoding(
    item: dict[Any, Any], packing: bool, accepted: frozenset[str]
) -> tuple[str | None, list[_Note]]:
    """The item's encoding in lower case (None where there is no str one, or
    none the direction knows), and pack-unsupported (packing an encoding that
    can only be read) or unknown-encoding (a name no direction accepts, with
    the name meant)."""
    encoding = item.get("encoding")
    if not isinstance(encoding, str):
        return None, []
    lowered = encoding.lower()
    if packing and lowered in UNPACK_ONLY_ENCODINGS:
        return lowered, [
            (
                "pack-unsupported",
                f"{encoding!r} can only be read: packing fails with ValueError "
                "'Unsupported encoding type'; pack the value with one of: "
                f"{', '.join(sorted(FLOAT_ENCODINGS))}, or build the bits yourself.",
            )
        ]
    if lowered not in accepted:
        return None, [
            (
                "unknown-encoding",
                f"{encoding!r} is not an encoding: the call fails with ValueError "
                f"'Unsupported encoding type'; {_encoding_hint(encoding, accepted)}",
            )
        ]
    return lowered, []


def _byte_swap(item: dict[Any, Any], enc: str, width: int) -> list[_Note]:
    """little-endian-partial-byte: a little-endian number of ``width`` bits
    that are not whole bytes, so the byte swap moves bits across the field."""
    if enc not in NUMERIC_ENCODINGS:
        return []
    byte_order = item.get("byte_order")
    little = isinstance(byte_order, str) and byte_order.lower() == "little"
    if not (little and width % 8):
        return []
    return [
        (
            "little-endian-partial-byte",
            f"a little-endian field of {width} bits is not whole bytes: the "
            "bytes are swapped around the padded image, so a 12-bit 0xABC "
            "packs as 0xC0A and reads back as 0xA0C; use a width that is a "
            "multiple of 8, or byte_order 'big'.",
        )
    ]


def _dtype(item: dict[Any, Any], enc: str | None) -> list[_Note]:
    """bad-dtype: a ``dtype`` other than "float32", or "float32" on a field
    that is not ieee754_f16 or ieee754_f32 (an unknown encoding has its own
    finding)."""
    if "dtype" not in item:
        return []
    dtype = item["dtype"]
    if not isinstance(dtype, str) or dtype != "float32":
        problem = f"'dtype' is {dtype!r}"
    elif enc is not None and enc not in FLOAT32_ENCODINGS:
        problem = f"'dtype' 'float32' is on a field of encoding {enc!r}"
    else:
        return []
    return [
        (
            "bad-dtype",
            f"{problem}: decoding into columns fails with ValueError; write 'float32' on an"
            " ieee754_f16 or ieee754_f32 field (a float32 column), or leave 'dtype' out"
            " (float64).",
        )
    ]


def _number_width(enc: str, width: int) -> list[_Note]:
    """wide-integer (an integer or BCD field wider than the 64 bits of its
    values), float-width (an IEEE 754 half, single or double of another width
    than its own) and f128-zero (an ieee754_f128 field too narrow to read)."""
    notes: list[_Note] = []
    if width > 64 and enc in INTEGER_ENCODINGS:
        notes.append(
            (
                "wide-integer",
                f"an integer field of {width} bits is wider than 64: values are "
                "64-bit, so the upper bits are zero when packing and ignored "
                "when reading; use at most 64 bits and describe the rest as "
                "separate fields.",
            )
        )
    if enc in FLOAT_WIDTHS and width != FLOAT_WIDTHS[enc]:
        fits = {v: k for k, v in FLOAT_WIDTHS.items()}.get(width)
        instead = f"encoding {fits!r}" if fits else f"bits {FLOAT_WIDTHS[enc]}"
        notes.append(
            (
                "float-width",
                f"{enc} is {FLOAT_WIDTHS[enc]} bits wide but the field has {width}: "
                "the value is cut or zero-padded to the field and does not read back "
                f"as the number; write {instead}.",
            )
        )
    if enc == "ieee754_f128" and width <= 64:
        notes.append(
            (
                "f128-zero",
                f"an ieee754_f128 field of {width} bits always reads as 0.0; write "
                "bits 128, or use ieee754_f64/ieee754_f32 for narrower fields.",
            )
        )
    return notes


def _text_width(item: dict[Any, Any], enc: str, width: int, packing: bool) -> list[_Note]:
    """text-partial-byte (a text field that is not whole bytes) and, packing,
    text-truncated (a value whose encoding is longer than its field)."""
    if enc not in TEXT_ENCODINGS:
        return []
    notes: list[_Note] = []
    if width % 8:
        notes.append(
            (
                "text-partial-byte",
                f"a text field of {width} bits is not whole bytes: the leading "
                f"{width % 8} bits of the text's first byte are cut; use a width "
                "that is a multiple of 8.",
            )
        )
    value = item.get("value")
    if packing and isinstance(value, str):
        try:
            size = len(value.encode(_TEXT_CODECS[enc], errors="replace"))
        except UnicodeError:
            size = 0
        if size * 8 > width:
            notes.append(
                (
                    "text-truncated",
                    f"the text encodes to {size} bytes ({size * 8} bits) but the "
                    f"field has {width} bits: only its last {width // 8} bytes "
                    f"are kept; make bits at least {size * 8}, or shorten the text.",
                )
            )
    return notes


def _place(item: dict[Any, Any], index: int, running: int, spans: list[_Span]) -> int:
    """Packing: add the span of the item's bits to ``spans`` (none for a field
    of 0 bits) and return where the next item goes when it has no
    ``offset_bits``. An item with a bad ``offset_bits`` has no place: it adds
    nothing and leaves the position as it was."""
    width = operator.index(cast("SupportsIndex", item.get("bits")))  # checked by the caller
    offset = item.get("offset_bits")
    if "offset_bits" in item and _is_u32(offset):
        running = operator.index(offset)
    elif "offset_bits" in item:
        return running
    if width:
        name = item.get("name")
        spans.append((running, running + width, index, name if isinstance(name, str) else None))
    return running + width


def _overlaps(spans: list[_Span]) -> list[Finding]:
    """overlap: each item that shares bits with an item before it in the
    recipe, once, naming that item and the bits they share."""
    found: list[Finding] = []
    reported: set[int] = set()
    ordered = sorted(spans)
    reach: _Span | None = None  # span reaching furthest so far
    for span in ordered:
        start, end, index, _ = span
        if reach is not None and start < reach[1]:
            first, second = (reach, span) if reach[2] < index else (span, reach)
            if second[2] not in reported:
                reported.add(second[2])
                lo, hi = max(first[0], second[0]), min(first[1], second[1])
                found.append(
                    Finding(
                        second[2],
                        second[3],
                        "overlap",
                        f"bits {lo} to {hi - 1} are also item {first[2]}'s"
                        + (f" ({first[3]!r})" if first[3] is not None else "")
                        + ": this later item overwrites them bit by bit; move one of the "
                        "fields with 'offset_bits' (overlapping is fine when unpacking).",
                    )
                )
        if reach is None or end > reach[1]:
            reach = span
    return found


def _is_u32(value: object) -> TypeGuard[SupportsIndex]:
    if isinstance(value, bool):
        return False
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        return False
    return 0 <= number < _U32_LIMIT


def _is_bool(value: object) -> bool:
    return isinstance(value, bool) or type(value).__name__ == "bool_"


def _encoding_hint(encoding: str, accepted: frozenset[str]) -> str:
    lowered = encoding.lower()
    guess = ENCODING_ALIASES.get(lowered)
    if guess is None or guess not in accepted:
        guess = _suggest(lowered, accepted)
    if guess is None:
        return f"write one of: {', '.join(sorted(accepted))}"
    return f'did you mean "{guess}"?'
