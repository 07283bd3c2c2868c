"""ccsdspy packet definitions (its CSV files, or its PacketField and
PacketArray objects) as packet definitions of ours.

ccsdspy counts ``bit_offset`` from the first bit of the packet, the primary
header included, and puts a field without one just past the furthest field
before it, the first one past the 48 bits of the primary header (as its
``load(include_primary_header=True)`` reads). The type has the primary header
under ccsdspy's names (``CCSDS_APID``, ...) and then the fields; a ``fill``
field only moves the position. A fixed array (``uint(4)``, ``int(12, 24)``)
is one 2-D column of all its elements per packet (ccsdspy's shape flattened,
in C order); an array sized by another field (``uint(COUNT)``) and an
expanding one (``uint(expand)``, as many elements as the packet holds before
the fields behind it) are child tables ``"<type>/<name>"``. A 32-bit float
field has ``"dtype": "float32"``: its column is float32, as ccsdspy's is.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from typing import Any

from bitloom_bulk._definitions import Definitions, PacketType
from bitloom_bulk._recipe_load import (
    _PRIMARY_HEADER_BITS,
    RecipeFileError,
    _ccsdspy_encoding,
    _csv_header,
    _csv_rows,
    _int_cell,
    _need,
    _read_text,
)
from bitloom_bulk.ccsds import primary_header

__all__ = ["load_ccsdspy"]

_TYPES = ("uint", "int", "float", "str", "fill")
_COLUMNS = ("name", "data_type", "bit_length", "bit_offset", "byte_order")


class _Field:
    """One ccsdspy field: its place in the source (for messages), and what it is."""

    def __init__(
        self,
        label: str,
        line: int | None,
        name: str,
        data_type: str,
        bits: int,
        offset: int | None,
        byte_order: str,
        shape: Any,
    ) -> None:
        self.label, self.line = label, line
        self.name, self.data_type, self.bits = name, data_type, bits
        self.offset, self.byte_order, self.shape = offset, byte_order, shape

    def fail(self, problem: str, column: str | None = None) -> RecipeFileError:
        return RecipeFileError(self.label, problem, line=self.line, column=column, key=None)

    @property
    def variable(self) -> bool:
        return isinstance(self.shape, str)


def load_ccsdspy(source: Any, *, name: str | None = None) -> Definitions:
    """The packet definitions of a ccsdspy definition: a CSV file (a path or
    an open file, in any of ccsdspy's forms: 3 or 4 columns, ``fill``, arrays,
    expanding and referenced arrays) or a list of ccsdspy ``PacketField`` /
    ``PacketArray`` objects. One packet type, named ``name`` (by default the
    file's stem, or ``"packet"``), with the primary header first.

    Columns ccsdspy ignores (a ``calibration``, a description) are ignored with
    a warning. A field that ccsdspy would read otherwise than we do, or a
    definition ccsdspy refuses, raises :class:`RecipeFileError` naming the file
    (or ``<fields>``), the line and the column.
    """
    if isinstance(source, (list, tuple)):
        fields = [_from_object(i, obj) for i, obj in enumerate(source)]
        label = "<fields>"
    else:
        label, text = _read_text(source)
        fields = _from_csv(label, text)
        if name is None and isinstance(source, (str, os.PathLike)):
            name = os.path.splitext(os.path.basename(os.fspath(source)))[0]
    items = _items(label, fields)
    return Definitions([PacketType(name or "packet", [*primary_header("ccsdspy"), *items])])


def _from_csv(label: str, text: str) -> list[_Field]:
    import warnings

    reader, header = _csv_header(label, text, skip_blanks=True)
    for column in ("name", "data_type", "bit_length"):
        if column not in header:
            raise RecipeFileError(label, f"the header has no {column!r} column", line=1)
    for column in dict.fromkeys(header):
        if column not in _COLUMNS:
            warnings.warn(
                f"{label}, line 1, column {column!r}: ignored, as ccsdspy ignores it",
                stacklevel=3,
            )
    fields = []
    for line, raw in _csv_rows(label, reader, header):
        cells = {column: cell.strip() for column, cell in raw.items()}
        name = _need(label, line, cells, "name")
        written = _need(label, line, cells, "data_type")
        data_type, shape = _data_type(label, line, written)
        _need(label, line, cells, "bit_length")
        bits = _int_cell(label, line, cells, "bit_length")
        assert bits is not None
        offset = _int_cell(label, line, cells, "bit_offset")
        order = cells.get("byte_order", "") or "big"
        fields.append(_Field(label, line, name, data_type, bits, offset, order, shape))
    return fields


def _data_type(label: str, line: int | None, written: str) -> tuple[str, Any]:
    """ccsdspy's data type and array shape: None, a tuple of ints, "expand" or
    the name of the field that counts the elements."""
    kind, bracket, rest = written.partition("(")
    data_type = kind.strip().lower()
    if data_type not in _TYPES:
        raise RecipeFileError(
            label,
            f"data_type {written!r}; write uint, int, float, str or fill, with an array"
            " shape in brackets where it is an array",
            line=line,
            column="data_type",
        )
    if not bracket:
        return data_type, None
    shape, closing, after = rest.partition(")")
    shape = shape.strip()
    if not closing or after.strip() or not shape:
        raise RecipeFileError(
            label, f"data_type {written!r} is not of the form type(shape)", line=line,
            column="data_type",
        )  # fmt: skip
    if shape == "expand" or not shape[0].isdigit():
        return data_type, shape
    try:
        dims = tuple(int(part) for part in shape.split(","))
    except ValueError:
        raise RecipeFileError(
            label, f"array shape {shape!r}; write integers, expand, or a field's name",
            line=line, column="data_type",
        ) from None  # fmt: skip
    if any(d < 1 for d in dims):
        raise RecipeFileError(
            label, f"array shape {shape!r} has an empty dimension", line=line, column="data_type"
        )
    return data_type, dims


def _from_object(index: int, obj: Any) -> _Field:
    label = "<fields>"
    try:
        name, data_type, bits = obj._name, obj._data_type, obj._bit_length
        offset, order = obj._bit_offset, getattr(obj, "_byte_order", "big")
        shape = getattr(obj, "_array_shape", None)
    except AttributeError:
        raise RecipeFileError(
            label, f"item {index} is a {type(obj).__name__}, not a ccsdspy PacketField or"
            " PacketArray",
        ) from None  # fmt: skip
    if isinstance(shape, int):
        shape = (shape,)
    elif isinstance(shape, Sequence) and not isinstance(shape, str):
        shape = tuple(int(d) for d in shape)
    if getattr(obj, "_array_order", "C") not in ("C", None):
        raise RecipeFileError(
            label, f"{name!r}: array_order {obj._array_order!r}; only C order loads"
        )
    field = _Field(label, None, str(name), str(data_type).lower(), int(bits), offset, str(order),
                   shape)  # fmt: skip
    if field.data_type not in _TYPES:
        raise field.fail(f"{name!r}: data_type {data_type!r}")
    return field


def _items(label: str, fields: list[_Field]) -> list[dict[str, Any]]:
    if any(f.variable for f in fields):
        placed = [f for f in fields if f.offset is not None]
        if placed:
            raise placed[0].fail(
                f"{placed[0].name!r} has a bit_offset in a definition with a variable-size"
                " array, which ccsdspy refuses (its VariableLength places every field itself)",
                "bit_offset",
            )
        expanding = [f for f in fields if f.shape == "expand"]
        if len(expanding) > 1:
            raise expanding[1].fail("a second expanding array, which ccsdspy refuses")
    names = [f.name for f in fields]
    items: list[dict[str, Any]] = []
    furthest = _PRIMARY_HEADER_BITS  # where ccsdspy puts a field without bit_offset
    running = _PRIMARY_HEADER_BITS  # where we read one without offset_bits
    variable = False  # past a field whose size varies: positions are ours to follow
    for i, f in enumerate(fields):
        if not 0 < f.bits < 2**32:
            raise f.fail(f"{f.name!r}: a field of {f.bits} bits", "bit_length")
        if f.offset is not None and f.offset < 0:
            raise f.fail(f"{f.name!r}: bit_offset {f.offset}; write 0 or more", "bit_offset")
        start = furthest if f.offset is None else f.offset
        permutation = f.byte_order.isdigit()
        if permutation and 8 * len(f.byte_order) != f.bits:
            raise f.fail(
                f"{f.name!r}: byte order {f.byte_order!r} has {len(f.byte_order)} bytes for a"
                f" field of {f.bits} bits",
                "byte_order",
            )
        if f.byte_order.lower() not in ("big", "little") and not permutation:
            raise f.fail(f"{f.name!r}: byte_order {f.byte_order!r}", "byte_order")
        if f.data_type == "fill":
            if f.shape is not None:
                raise f.fail(f"{f.name!r}: a fill field cannot be an array", "data_type")
            if variable:
                # Past a variable-size array the fill must be read to move the
                # position: it is a column, as ccsdspy returns it too.
                items.append(
                    {
                        "name": f.name,
                        "encoding": "binary" if f.bits % 8 == 0 else "unsigned",
                        "bits": f.bits,
                        "byte_order": "big",
                        "reverse_bits": False,
                    }
                )
            furthest = max(furthest, start + f.bits)
            continue
        # ccsdspy's own checks of where and how it reads the field (past a
        # variable-size array the start varies: its width alone is checked).
        encoding, order = _ccsdspy_encoding(
            label, f.line or 0, f.data_type, f.bits, 0 if variable else start,
            "big" if permutation else f.byte_order.lower(), f.offset is not None,
        )  # fmt: skip
        if permutation:
            # In order or reversed, a permutation is big- or little-endian,
            # which every kind of item takes (records too).
            ascending = "".join(str(k) for k in range(1, len(f.byte_order) + 1))
            if f.byte_order == ascending:
                order = "big"
            elif f.byte_order == ascending[::-1]:
                order = "little"
            elif f.shape == "expand":
                raise f.fail(
                    f"{f.name!r}: an expanding array of elements in byte order"
                    f" {f.byte_order!r}, which definitions cannot describe yet (a fixed or"
                    " counted array can)",
                    "byte_order",
                )
            else:
                order = f.byte_order
        element: dict[str, Any] = {
            "name": f.name,
            "encoding": encoding,
            "bits": f.bits,
            "byte_order": order,
            "reverse_bits": False,
        }
        if encoding == "ieee754_f32":
            # ccsdspy's column of a 32-bit float is float32 (">f4"): ours too,
            # which holds every value exactly.
            element["dtype"] = "float32"
        item = dict(element)
        # Where the field starts, given where it does not follow the item before.
        at_start = not variable and (f.offset is not None or start != running)
        if at_start:
            item["offset_bits"] = start
        if f.shape is None:
            size: int | None = f.bits
        elif isinstance(f.shape, tuple):
            item["count"] = math.prod(f.shape)
            size = f.bits * item["count"]
        elif f.shape == "expand":
            behind = fields[i + 1 :]
            if any(g.variable for g in behind):
                raise f.fail(
                    f"{f.name!r} expands to fill the packet, but a variable-size array follows it",
                    "data_type",
                )
            item = {
                "name": f.name,
                "encoding": "binary",
                "bits": {"rest": sum(g.bits * math.prod(g.shape or (1,)) for g in behind)},
                "byte_order": "big",
                "reverse_bits": False,
                "records": [element],
            }
            if at_start:
                item["offset_bits"] = start
            size = None
        else:
            if f.shape not in names[:i]:
                raise f.fail(
                    f"{f.name!r} is sized by {f.shape!r}, which is not a field before it",
                    "data_type",
                )
            item["count"] = {"field": f.shape}
            size = None
        items.append(item)
        if size is None:
            variable = True
        else:
            furthest = max(furthest, start + size)
            running = start + size
    return items
