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
``bad-dtype``
    ``dtype`` is not "float32", or is "float32" on a field that is not
    ``ieee754_f16``/``ieee754_f32``: decoding into columns fails with
    ValueError. (``"dtype": "float32"`` asks ``bitloom_bulk`` for a float32
    column, which holds those fields' values exactly; ``bitloom`` ignores it.)
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

Checking packet ``Definitions`` (``check_definitions(definitions)``, or
``check_recipe(definitions)``) gives each finding the type's place in the set
as ``index`` and "type.item" (or the type) as ``name``; besides the codes
above for each item:

``unreachable-type``
    an earlier sibling (or, for a root, an earlier root) has no ``where``, the
    same one, or equalities that this type's include: it takes every packet
    this type would.
``size-too-large``
    a size or count read from a field can exceed the largest CCSDS packet
    (65,542 bytes): the field's largest or smallest raw value (by its width
    and encoding) times the scale, plus the offset.
``records-do-not-fit``
    a ``records`` item whose region (its fixed bits, or the largest size its
    field gives) is too small for one record (or for its fixed ``count`` of
    them).

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

# The code lives in private modules by concern: the items and field()
# (_recipe_items), the checks (_recipe_checks), reading files (_recipe_load) and
# writing them (_recipe_dump). This module is the one users import.
from bitloom_bulk._recipe_checks import ENCODING_ALIASES as ENCODING_ALIASES
from bitloom_bulk._recipe_checks import Finding, check_recipe
from bitloom_bulk._recipe_dump import dump_recipe
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
from bitloom_bulk._recipe_items import field
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
