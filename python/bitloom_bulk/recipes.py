"""Recipe helpers: build items with :func:`field`, check a recipe with
:func:`check_recipe` before trusting it, and keep recipes in files with
:func:`load_recipe` and :func:`dump_recipe`.

``check_recipe`` never changes what packing or unpacking does; it reports the
layouts that are legal but rarely meant. Each :class:`Finding` carries the
item's position (``index``), its ``name``, a stable ``code`` and a ``message``
that says what will happen and what to write instead. The codes:

``missing-key``
    a required key (``name``, ``encoding``, ``bits``, ``byte_order``,
    ``reverse_bits``) is absent: the call fails with KeyError.
``missing-value``
    packing only: the item has no ``value``; the call fails with KeyError.
``bad-type``
    the item is not a dict, or ``bits``/``offset_bits`` is not a non-negative
    int below 2**32, ``reverse_bits`` is not True/False, or ``name``,
    ``encoding`` or ``byte_order`` is not a str: the call fails.
``unknown-key``
    a key the recipe ignores (``offset`` for ``offset_bits``): the field is
    read from the running position instead; a close real key is suggested.
``unknown-encoding``
    an encoding name no direction accepts (``utf-8``, ``float32``, ``ascii``):
    the call fails with ValueError; the intended name is suggested.
``pack-unsupported``
    packing with an encoding that can only be read (``ieee754_f128``,
    ``ti_f32``, ...): the call fails with ValueError.
``bad-byte-order``
    ``byte_order`` is neither "big" nor "little" (in any case): the call fails.
``little-endian-partial-byte``
    a numeric little-endian field whose width is not a whole number of bytes:
    the byte swap works on whole bytes, so a 12-bit 0xABC packs as 0xC0A and
    reads back as 0xA0C.
``text-partial-byte``
    a text field whose width is not a multiple of 8: the leading bits of the
    text's first byte are lost.
``text-truncated``
    packing only: the encoded text is longer than its field; the field keeps
    the text's last bytes ("HELLO" in 16 bits packs as "LO").
``float-width``
    an ``ieee754_f16``/``f32``/``f64`` field whose width is not 16/32/64: the
    value packs or reads as a bit pattern cut or padded to that width.
``wide-integer``
    an integer or BCD field wider than 64 bits: values are 64-bit, the bits above are
    zero when packing and ignored when reading.
``f128-zero``
    an ``ieee754_f128`` field of 64 bits or fewer always reads as 0.0.
``duplicate-name``
    two items share a ``name``: the result dict keeps only the later one.
``overlap``
    packing only: two fields share bits; the later item wins bit by bit.
    (Overlapping fields are common and fine when unpacking, e.g. a status
    word and its flag bits.)

Recipe files (the format comes from the suffix, or ``format=``):

JSON (``.json``)
    a list of items, or an object with a ``fields`` list.
TOML (``.toml``)
    a top-level ``fields`` array of tables.
CSV (``.csv``)
    a header row and one item per row. Columns ``name``, ``encoding``,
    ``bits`` are required; ``byte_order`` (default "big"), ``reverse_bits``
    ("true"/"false", default false), ``offset_bits`` (empty: absent) and
    ``value`` (read as an int, float or str by the encoding; empty: absent)
    are optional.
ccsdspy's CSV packet definitions (a CSV whose header has ``data_type``)
    columns ``name``, ``data_type``, ``bit_length`` and optionally
    ``bit_offset``; blanks around a cell are dropped. The recipe, applied from
    the packet's first bit as ``unpack_ccsds`` applies it, decodes each field
    as ccsdspy's ``FixedLength`` does: ``bit_offset`` counts from the packet's
    first bit, and a field without one (every field of the three-column form)
    follows the furthest field before it, the first one the 48-bit primary
    header; ``offset_bits`` says so wherever a field does not follow the item
    before it. ``uint`` becomes "unsigned", ``int`` "twos_complement",
    ``float`` "ieee754_f16"/"ieee754_f32"/"ieee754_f64" by its width, ``str``
    "iso_8859_1": ccsdspy's text is raw bytes, and ISO-8859-1 reads each byte as
    the character of the same number (``text.encode("latin-1")`` gives the bytes
    back). A ``fill`` row is skipped; its bits still move the position. A
    ``byte_order`` column takes "big" and "little" as ccsdspy's ``PacketField``
    does (ccsdspy's own CSV reader has no such column and reads big-endian).
    Other columns are ignored with a warning, as ccsdspy ignores them. What a
    recipe cannot hold, or what ccsdspy reads otherwise than a recipe would, is
    refused with the line and the feature: arrays ("uint(4)"), expanding fields
    ("uint(expand)") and fields sized by another; byte permutations ("3412");
    little-endian integers but for whole 1, 2, 4 or 8 bytes on a byte boundary;
    floats of other widths or off a byte boundary; text that is not whole bytes
    on a byte boundary; integers spread over more than 8 bytes; fields of 0
    bits; a fill row named like a field before it.

Files are UTF-8. A malformed file raises :class:`RecipeFileError` naming the
file and the line and column (or the key) at fault; arrays or tables nested
more than 100 deep, and integers of more digits than the interpreter converts
to int, are malformed too. :func:`dump_recipe` writes a file whole or not at
all, and only items that read back as written.
"""

from __future__ import annotations

import codecs
import operator
from dataclasses import dataclass
from typing import Any, Literal, SupportsIndex, TypeGuard, cast

from bitloom_bulk._recipe_dump import dump_recipe
from bitloom_bulk._recipe_items import _U32_LIMIT, _suggest, field
from bitloom_bulk._recipe_items import ALL_ENCODINGS as ALL_ENCODINGS
from bitloom_bulk._recipe_items import FLOAT_ENCODINGS as FLOAT_ENCODINGS
from bitloom_bulk._recipe_items import FLOAT_WIDTHS as FLOAT_WIDTHS
from bitloom_bulk._recipe_items import INTEGER_ENCODINGS as INTEGER_ENCODINGS
from bitloom_bulk._recipe_items import KNOWN_KEYS as KNOWN_KEYS
from bitloom_bulk._recipe_items import NUMERIC_ENCODINGS as NUMERIC_ENCODINGS
from bitloom_bulk._recipe_items import PACK_ENCODINGS as PACK_ENCODINGS
from bitloom_bulk._recipe_items import REQUIRED_KEYS as REQUIRED_KEYS
from bitloom_bulk._recipe_items import TEXT_ENCODINGS as TEXT_ENCODINGS
from bitloom_bulk._recipe_items import UNPACK_ONLY_ENCODINGS as UNPACK_ONLY_ENCODINGS
from bitloom_bulk._recipe_load import _CCSDSPY_TYPES as _CCSDSPY_TYPES
from bitloom_bulk._recipe_load import CSV_COLUMNS as CSV_COLUMNS
from bitloom_bulk._recipe_load import RecipeFileError, load_recipe

__all__ = [
    "Finding",
    "RecipeFileError",
    "check_recipe",
    "dump_recipe",
    "field",
    "load_recipe",
]

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


def check_recipe(recipe: Any, *, direction: Literal["pack", "unpack"] = "unpack") -> list[Finding]:
    """Check ``recipe`` for layouts that fail or silently lose data.

    ``direction`` is "unpack" (reading packets) or "pack" (building them);
    some findings apply to one direction only. Returns the findings in recipe
    order, an empty list for a sound recipe. See the module documentation for
    the codes.
    """
    if direction not in ("pack", "unpack"):
        raise ValueError(f"direction must be 'pack' or 'unpack', not {direction!r}")
    if isinstance(recipe, (str, bytes)):
        raise TypeError("recipe must be a sequence of dicts, not a string")
    packing = direction == "pack"
    accepted = PACK_ENCODINGS if packing else ALL_ENCODINGS
    findings: list[Finding] = []
    seen_names: dict[str, int] = {}
    spans: list[tuple[int, int, int, str | None]] = []  # start, end, index, name
    running = 0

    for index, item in enumerate(recipe):

        def add(code: str, message: str, *, _index: int = index, _item: Any = item) -> None:
            name = _item.get("name") if isinstance(_item, dict) else None
            findings.append(Finding(_index, name if isinstance(name, str) else None, code, message))

        if not isinstance(item, dict):
            add(
                "bad-type",
                f"the item is a {type(item).__name__}, not a dict: the call fails with "
                "TypeError; write each item as a dict (see field()).",
            )
            continue

        for key in REQUIRED_KEYS:
            if key not in item:
                add(
                    "missing-key",
                    f"the item has no {key!r}: the call fails with KeyError; add "
                    f"{key!r} (field() fills byte_order 'big' and reverse_bits False).",
                )
        if packing and "value" not in item:
            add(
                "missing-value",
                "the item has no 'value': packing fails with KeyError; add 'value'.",
            )
        for key in item:
            if key in KNOWN_KEYS:
                continue
            guess = _suggest(str(key), KNOWN_KEYS)
            hint = f'did you mean "{guess}"?' if guess else f"known keys: {', '.join(KNOWN_KEYS)}"
            add(
                "unknown-key",
                f"the key {key!r} is ignored, so it has no effect on the field; {hint}",
            )

        name = item.get("name")
        encoding = item.get("encoding")
        bits = item.get("bits")
        byte_order = item.get("byte_order")
        ok_bits = "bits" in item and _is_u32(bits)

        for key in ("name", "encoding", "byte_order"):
            if key in item and not isinstance(item[key], str):
                add(
                    "bad-type",
                    f"{key!r} is a {type(item[key]).__name__}: the call fails with "
                    f"TypeError; write {key!r} as a str.",
                )
        for key in ("bits", "offset_bits"):
            if key in item and not _is_u32(item[key]):
                add(
                    "bad-type",
                    f"{key!r} is {item[key]!r}: the call fails; write {key!r} as an int "
                    "from 0 to 4294967295.",
                )
        if "reverse_bits" in item and not _is_bool(item["reverse_bits"]):
            add(
                "bad-type",
                f"'reverse_bits' is {item['reverse_bits']!r}: the call fails with "
                "TypeError; write True or False.",
            )

        if isinstance(name, str):
            if name in seen_names:
                add(
                    "duplicate-name",
                    f"item {seen_names[name]} has the same name {name!r}: the result "
                    "keeps only this later one; give each item its own name.",
                )
            else:
                seen_names[name] = index

        if isinstance(byte_order, str) and byte_order.lower() not in ("big", "little"):
            guess = _suggest(byte_order.lower(), ("big", "little"))
            hint = f'did you mean "{guess}"?' if guess else 'write "big" or "little".'
            add(
                "bad-byte-order",
                f"byte_order {byte_order!r} is neither 'big' nor 'little': the call "
                f"fails with ValueError; {hint}",
            )
        little = isinstance(byte_order, str) and byte_order.lower() == "little"

        enc: str | None = None
        if isinstance(encoding, str):
            lowered = encoding.lower()
            if packing and lowered in UNPACK_ONLY_ENCODINGS:
                add(
                    "pack-unsupported",
                    f"{encoding!r} can only be read: packing fails with ValueError "
                    "'Unsupported encoding type'; pack the value with one of: "
                    f"{', '.join(sorted(FLOAT_ENCODINGS))}, or build the bits yourself.",
                )
                enc = lowered
            elif lowered not in accepted:
                add(
                    "unknown-encoding",
                    f"{encoding!r} is not an encoding: the call fails with ValueError "
                    f"'Unsupported encoding type'; {_encoding_hint(encoding, accepted)}",
                )
            else:
                enc = lowered

        if enc is not None and ok_bits:
            width = operator.index(cast("SupportsIndex", bits))  # ok_bits: _is_u32(bits)
            if enc in NUMERIC_ENCODINGS:
                if little and width % 8:
                    add(
                        "little-endian-partial-byte",
                        f"a little-endian field of {width} bits is not whole bytes: the "
                        "bytes are swapped around the padded image, so a 12-bit 0xABC "
                        "packs as 0xC0A and reads back as 0xA0C; use a width that is a "
                        "multiple of 8, or byte_order 'big'.",
                    )
                if width > 64 and enc in INTEGER_ENCODINGS:
                    add(
                        "wide-integer",
                        f"an integer field of {width} bits is wider than 64: values are "
                        "64-bit, so the upper bits are zero when packing and ignored "
                        "when reading; use at most 64 bits and describe the rest as "
                        "separate fields.",
                    )
            if enc in FLOAT_WIDTHS and width != FLOAT_WIDTHS[enc]:
                fits = {v: k for k, v in FLOAT_WIDTHS.items()}.get(width)
                instead = f"encoding {fits!r}" if fits else f"bits {FLOAT_WIDTHS[enc]}"
                add(
                    "float-width",
                    f"{enc} is {FLOAT_WIDTHS[enc]} bits wide but the field has {width}: "
                    "the value is cut or zero-padded to the field and does not read back "
                    f"as the number; write {instead}.",
                )
            if enc == "ieee754_f128" and width <= 64:
                add(
                    "f128-zero",
                    f"an ieee754_f128 field of {width} bits always reads as 0.0; write "
                    "bits 128, or use ieee754_f64/ieee754_f32 for narrower fields.",
                )
            if enc in TEXT_ENCODINGS:
                if width % 8:
                    add(
                        "text-partial-byte",
                        f"a text field of {width} bits is not whole bytes: the leading "
                        f"{width % 8} bits of the text's first byte are cut; use a width "
                        "that is a multiple of 8.",
                    )
                value = item.get("value")
                if packing and isinstance(value, str):
                    try:
                        size = len(value.encode(_TEXT_CODECS[enc], errors="replace"))
                    except UnicodeError:
                        size = 0
                    if size * 8 > width:
                        add(
                            "text-truncated",
                            f"the text encodes to {size} bytes ({size * 8} bits) but the "
                            f"field has {width} bits: only its last {width // 8} bytes "
                            f"are kept; make bits at least {size * 8}, or shorten the text.",
                        )

        if packing and ok_bits:
            width = operator.index(cast("SupportsIndex", bits))  # ok_bits: _is_u32(bits)
            offset = item.get("offset_bits")
            if "offset_bits" in item and _is_u32(offset):
                running = operator.index(offset)
            elif "offset_bits" in item:
                continue
            if width:
                spans.append(
                    (running, running + width, index, name if isinstance(name, str) else None)
                )
            running += width

    if packing:
        findings.extend(_overlaps(spans))
        findings.sort(key=lambda f: f.index)
    return findings


def _overlaps(spans: list[tuple[int, int, int, str | None]]) -> list[Finding]:
    found: list[Finding] = []
    reported: set[int] = set()
    ordered = sorted(spans)
    reach: tuple[int, int, int, str | None] | None = None  # span reaching furthest so far
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
