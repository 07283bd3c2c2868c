"""Reading recipe files for :func:`load_recipe`: JSON, TOML, our CSV and
ccsdspy's CSV packet definitions, each refused with the place at fault
(:class:`RecipeFileError`); nesting too deep and integers too long to read are
found before or after the parser gives up without a place.

What each format holds is told in :mod:`bitloom_bulk.recipes`'s documentation,
which re-exports the public names.
"""

from __future__ import annotations

import csv
import io
import json
import os
import re
import sys
import warnings
from collections.abc import Iterator
from typing import Any

from bitloom_bulk._recipe_items import _U32_LIMIT, FLOAT_ENCODINGS, TEXT_ENCODINGS, _suggest


class RecipeFileError(ValueError):
    """A recipe file that cannot be read or written.

    ``file``, ``line``, ``column`` and ``key`` tell where (``None`` when unknown);
    ``str()`` names them in one line.
    """

    def __init__(
        self,
        file: str,
        problem: str,
        *,
        line: int | None = None,
        column: int | str | None = None,
        key: str | None = None,
    ) -> None:
        self.file, self.problem = file, problem
        self.line, self.column, self.key = line, column, key
        where = file
        if line is not None:
            where += f", line {line}"
        if column is not None:
            where += f", column {column}" if isinstance(column, int) else f", column {column!r}"
        if key is not None:
            where += f", key {key!r}"
        super().__init__(f"{where}: {problem}")


# Users meet it (in tracebacks, in help(), as the type they catch) as the public
# module's.
RecipeFileError.__module__ = "bitloom_bulk.recipes"


_FORMATS = {".json": "json", ".toml": "toml", ".csv": "csv"}
CSV_COLUMNS = ("name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits")

# ccsdspy's CSV definitions: the columns ccsdspy reads (and ``byte_order``, read
# here), and its types. A ccsdspy str is raw bytes: ISO-8859-1 reads every byte
# as the one character of the same number, so no byte fails and none is lost.
_CCSDSPY_COLUMNS = ("name", "data_type", "bit_length", "bit_offset", "byte_order")
_CCSDSPY_TYPES = {"uint": "unsigned", "int": "twos_complement", "str": "iso_8859_1"}
_CCSDSPY_FLOATS = {16: "ieee754_f16", 32: "ieee754_f32", 64: "ieee754_f64"}
# ccsdspy counts bit_offset from the first bit of the packet, and puts a field
# without one just past the furthest field before it: the first one past the
# 48 bits of the CCSDS primary header.
_PRIMARY_HEADER_BITS = 48


def _format_of(target: Any, given: str | None) -> str:
    if given is not None:
        fmt = given.lower().lstrip(".")
        if fmt not in _FORMATS.values():
            raise ValueError(f"format must be 'json', 'toml' or 'csv', not {given!r}")
        return fmt
    name = target if isinstance(target, (str, os.PathLike)) else getattr(target, "name", "")
    suffix = (
        os.path.splitext(os.fspath(name))[1].lower() if isinstance(name, (str, os.PathLike)) else ""
    )
    if suffix not in _FORMATS:
        raise ValueError(
            f"cannot tell the format of {os.fspath(name) if name else 'the file'!r} from its "
            "suffix; name it .json, .toml or .csv, or pass format='json'|'toml'|'csv'"
        )
    return _FORMATS[suffix]


def _read_text(source: Any) -> tuple[str, str]:
    if isinstance(source, (str, os.PathLike)):
        label = os.fspath(source)
        try:
            # newline="": line breaks reach the parsers as written, so a "\r\n"
            # inside a quoted CSV cell stays "\r\n" (universal newlines would make
            # it "\n", and a lone "\r" a new row).
            with open(label, encoding="utf-8-sig", newline="") as handle:
                return label, handle.read()
        except UnicodeDecodeError as exc:
            raise RecipeFileError(label, f"not UTF-8 text ({exc.reason})") from None
    label = str(getattr(source, "name", "<stream>"))
    data = source.read()
    if isinstance(data, bytes):
        try:
            data = data.decode("utf-8-sig")
        except UnicodeDecodeError as exc:
            raise RecipeFileError(label, f"not UTF-8 text ({exc.reason})") from None
    return label, data.removeprefix("\ufeff")


def _tomllib() -> Any:
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # pragma: no cover - exercised on 3.10
        import tomli as tomllib
    return tomllib


def _items(label: str, items: Any, key: str | None) -> list[dict[str, Any]]:
    if not isinstance(items, list):
        raise RecipeFileError(label, "the recipe must be a list of items", key=key)
    for index, item in enumerate(items):
        if not isinstance(item, dict):
            where = f"{key}[{index}]" if key else f"[{index}]"
            raise RecipeFileError(label, "each item must be a table/object", key=where)
    return items


def load_recipe(path_or_file: Any, *, format: str | None = None) -> list[dict[str, Any]]:
    """Read a recipe from a JSON, TOML or CSV file (a path or an open file).

    Returns the list of item dicts. The format comes from the file's suffix
    unless ``format`` names it. Raises :class:`RecipeFileError` for a
    malformed file. The items are not checked; see :func:`check_recipe`.
    """
    fmt = _format_of(path_or_file, format)
    label, text = _read_text(path_or_file)
    if fmt == "csv":
        return _load_csv(label, text)
    data = parse_text(label, text, fmt)
    if fmt == "json":
        if isinstance(data, dict):
            if "fields" not in data:
                raise RecipeFileError(label, "an object needs a 'fields' list", key="fields")
            return _items(label, data["fields"], "fields")
        return _items(label, data, None)
    if "fields" not in data:
        raise RecipeFileError(label, "a top-level 'fields' array of tables is needed", key="fields")
    return _items(label, data["fields"], "fields")


def parse_text(label: str, text: str, fmt: str) -> Any:
    """The JSON or TOML document in ``text``; RecipeFileError with the file
    and the place for a malformed one."""
    _refuse_deep_nesting(label, text, fmt)
    if fmt == "json":
        try:
            return json.loads(text)
        except json.JSONDecodeError as exc:
            raise RecipeFileError(label, exc.msg, line=exc.lineno, column=exc.colno) from None
        except ValueError:  # the one other failure: an integer too long for int()
            raise _long_integer_error(label, text, fmt) from None
        except RecursionError:
            raise _nesting_error(label, text, fmt) from None
    tomllib = _tomllib()
    try:
        return tomllib.loads(text)
    except tomllib.TOMLDecodeError as exc:
        line = getattr(exc, "lineno", None)
        column = getattr(exc, "colno", None)
        raise RecipeFileError(label, str(exc), line=line, column=column) from None
    except ValueError:
        raise _long_integer_error(label, text, fmt) from None
    except RecursionError:
        raise _nesting_error(label, text, fmt) from None


# Deeper nesting is refused before parsing: the parsers recurse once or twice a
# level and give up (RecursionError, without a position) some hundreds of levels
# down, and a recipe needs three.
_MAX_NESTING = 100
_NESTED = {"json": "arrays and objects", "toml": "arrays and tables"}

# The tokens that matter for finding nesting and numbers: strings (and TOML's
# comments and non-decimal integers), whose brackets and digits are not
# tokens; numbers; brackets.
_TOKENS = {
    "json": re.compile(
        r'(?P<skip>"(?:[^"\\]|\\.)*")'
        r"|(?P<number>-?[0-9]+(?P<fraction>[.eE][-+0-9.eE]*)?)"
        r"|(?P<open>[\[{])|(?P<close>[\]}])",
        re.DOTALL,
    ),
    "toml": re.compile(
        r'(?P<skip>"""(?:[^\\]|\\.)*?"""'
        r"|'''.*?'''"
        r'|"(?:[^"\\\n]|\\.)*"'
        r"|'[^'\n]*'"
        r"|#[^\n]*"
        r"|0[xob][0-9a-fA-F_]+)"
        r"|(?P<number>[-+]?[0-9][0-9_]*(?P<fraction>[.eE][-+0-9_.eE]*)?)"
        r"|(?P<open>[\[{])|(?P<close>[\]}])",
        re.DOTALL,
    ),
}


def _line_column(text: str, index: int) -> tuple[int, int]:
    line = text.count("\n", 0, index) + 1
    return line, index - text.rfind("\n", 0, index)


def _refuse_deep_nesting(label: str, text: str, fmt: str) -> None:
    if text.count("[") + text.count("{") > _MAX_NESTING:
        index, depth = _deep_bracket(text, fmt, _MAX_NESTING)
        if depth > _MAX_NESTING:
            line, column = _line_column(text, index)
            raise RecipeFileError(
                label,
                f"{_NESTED[fmt]} nested more than {_MAX_NESTING} deep",
                line=line,
                column=column,
            )


def _nesting_error(label: str, text: str, fmt: str) -> RecipeFileError:
    """For a parser that ran out of recursion above the limit (when called
    deep in a program's own recursion): the place of the deepest level."""
    index, depth = _deep_bracket(text, fmt, None)
    if index < 0:
        return RecipeFileError(label, f"{_NESTED[fmt]} nested too deeply")
    line, column = _line_column(text, index)
    return RecipeFileError(
        label, f"{_NESTED[fmt]} nested {depth} deep, too deep to read", line=line, column=column
    )


def _deep_bracket(text: str, fmt: str, limit: int | None) -> tuple[int, int]:
    """(index, depth) of the first bracket that opens a level deeper than
    ``limit``, else of the first one of the deepest level; (-1, 0) for none."""
    depth, deepest, where = 0, 0, -1
    for match in _TOKENS[fmt].finditer(text):
        if match.group("open"):
            depth += 1
            if depth > deepest:
                deepest, where = depth, match.start()
                if limit is not None and depth > limit:
                    break
        elif match.group("close"):
            depth = max(depth - 1, 0)
    return where, deepest


def _int_digits_limit() -> int:
    return int(getattr(sys, "get_int_max_str_digits", lambda: 0)())


def _long_integer_error(label: str, text: str, fmt: str) -> RecipeFileError:
    """The parser's int() refused a decimal integer of more digits than the
    interpreter converts (it names neither file nor place): find the first."""
    limit = _int_digits_limit()
    for match in _TOKENS[fmt].finditer(text):
        number = match.group("number")
        if number and not match.group("fraction"):
            digits = sum(char.isdigit() for char in number)
            if limit and digits > limit:
                line, column = _line_column(text, match.start())
                return RecipeFileError(label, _too_long(digits), line=line, column=column)
    return RecipeFileError(label, "a number that cannot be read")


def _too_long(digits: int) -> str:
    return (
        f"an integer of {digits} digits; integers of more than "
        f"{_int_digits_limit()} digits are not read"
    )


def _load_csv(label: str, text: str) -> list[dict[str, Any]]:
    # The header is read as ccsdspy reads its files, skipping the blanks after
    # each comma (so the cell in `name, "data_type"` is quoted), and tells
    # whether the file is ccsdspy's. Our own form keeps every cell as written,
    # since a name or a text value may begin with a blank.
    reader, header = _csv_header(label, text, skip_blanks=True)
    ccsdspy = "data_type" in header
    if not ccsdspy:
        reader, header = _csv_header(label, text, skip_blanks=False)
    required = ("name", "data_type", "bit_length") if ccsdspy else ("name", "encoding", "bits")
    for column in required:
        if column not in header:
            raise RecipeFileError(label, f"the header has no {column!r} column", line=1)
    known = _CCSDSPY_COLUMNS if ccsdspy else (*CSV_COLUMNS, "value")
    for column in dict.fromkeys(header):
        if column in known:
            continue
        if ccsdspy:
            # ccsdspy ignores columns it does not know (a calibration, a
            # description), so a definition that has them still loads.
            warnings.warn(
                f"{label}, line 1, column {column!r}: ignored, as ccsdspy ignores it",
                stacklevel=3,
            )
            continue
        guess = _suggest(column, known)
        hint = f'; did you mean "{guess}"?' if guess else f"; known: {', '.join(known)}"
        raise RecipeFileError(label, f"unknown column{hint}", line=1, column=column)
    rows = _csv_rows(label, reader, header)
    if ccsdspy:
        return _ccsdspy_recipe(label, rows)
    return [_csv_item(label, line, cells) for line, cells in rows]


def _csv_header(label: str, text: str, *, skip_blanks: bool) -> tuple[Any, list[str]]:
    reader = csv.reader(io.StringIO(text, newline=""), skipinitialspace=skip_blanks)
    try:
        return reader, [column.strip() for column in next(reader)]
    except StopIteration:
        raise RecipeFileError(label, "the file is empty; it needs a header row", line=1) from None
    except csv.Error as exc:
        raise RecipeFileError(label, str(exc), line=reader.line_num) from None


def _csv_rows(label: str, reader: Any, header: list[str]) -> Iterator[tuple[int, dict[str, str]]]:
    while True:
        try:
            row = next(reader)
        except StopIteration:
            return
        except csv.Error as exc:
            raise RecipeFileError(label, str(exc), line=reader.line_num) from None
        line = reader.line_num
        if not row or all(not cell.strip() for cell in row):
            continue
        if len(row) > len(header):
            raise RecipeFileError(label, f"{len(row)} cells for {len(header)} columns", line=line)
        yield line, dict(zip(header, row, strict=False))


def _int_cell(label: str, line: int, cells: dict[str, str], column: str) -> int | None:
    cell = cells.get(column, "").strip()
    if cell == "":
        return None
    try:
        return int(cell)
    except ValueError:
        problem = _int_problem(cell, f"{_shown(cell)} is not an integer")
        raise RecipeFileError(label, problem, line=line, column=column) from None


def _int_problem(cell: str, otherwise: str) -> str:
    """What is wrong with a cell int() refused: too many digits, or ``otherwise``."""
    digits = cell.strip().lstrip("+-").replace("_", "")
    if digits.isdigit() and len(digits) > _int_digits_limit() > 0:
        return _too_long(len(digits))
    return otherwise


def _need(label: str, line: int, cells: dict[str, str], column: str) -> str:
    cell = cells.get(column, "")
    if cell.strip() == "":
        raise RecipeFileError(label, "the cell is empty", line=line, column=column)
    return cell


def _csv_item(label: str, line: int, cells: dict[str, str]) -> dict[str, Any]:
    name = _need(label, line, cells, "name")
    encoding = _need(label, line, cells, "encoding")
    _need(label, line, cells, "bits")
    item: dict[str, Any] = {
        "name": name,
        "encoding": encoding,
        "bits": _int_cell(label, line, cells, "bits"),
        "byte_order": cells.get("byte_order") or "big",
    }
    flag = cells.get("reverse_bits", "").strip().lower()
    if flag not in ("", "true", "false"):
        raise RecipeFileError(
            label,
            f"{cells['reverse_bits']!r} is not true or false",
            line=line,
            column="reverse_bits",
        )
    item["reverse_bits"] = flag == "true"
    offset = _int_cell(label, line, cells, "offset_bits")
    if offset is not None:
        item["offset_bits"] = offset
    value = cells.get("value", "")
    if value != "":
        kind = encoding.lower()
        try:
            if kind in TEXT_ENCODINGS:
                item["value"] = value
            elif kind in FLOAT_ENCODINGS:
                item["value"] = float(value)
            else:
                try:
                    item["value"] = int(value)
                except ValueError:
                    item["value"] = int(value, 0)
        except ValueError:
            problem = _int_problem(value, f"{_shown(value)} is not a value for {encoding!r}")
            raise RecipeFileError(label, problem, line=line, column="value") from None
    return item


def _ccsdspy_recipe(label: str, rows: Iterator[tuple[int, dict[str, str]]]) -> list[dict[str, Any]]:
    """The recipe of a ccsdspy CSV definition, applied from the packet's first
    bit (as unpack_ccsds applies it): each field where ccsdspy reads it, or a
    RecipeFileError for a field ccsdspy would read differently from us."""
    recipe: list[dict[str, Any]] = []
    furthest = _PRIMARY_HEADER_BITS  # where ccsdspy puts a field without bit_offset
    running = 0  # where we read a field without offset_bits: after the item before
    lines: dict[str, int] = {}  # the line of each field's name, fill rows left out
    for line, cells in rows:
        name, data_type, bits, offset, byte_order = _ccsdspy_row(label, line, cells)
        start = furthest if offset is None else offset
        furthest = max(furthest, start + bits)
        if start + bits > _U32_LIMIT:
            raise RecipeFileError(
                label,
                f"the field of {bits} bits at bit {start} ends past bit 4294967295",
                line=line,
                column="bit_offset" if offset is not None else "bit_length",
            )
        if data_type == "fill":
            # Skipped: its bits only move the position. ccsdspy returns a fill's
            # bytes under its name too, in place of a field named the same before it.
            if name in lines:
                raise RecipeFileError(
                    label,
                    f"a fill row named like the field on line {lines[name]}; ccsdspy "
                    "returns the fill's bytes under that name: rename one of them",
                    line=line,
                    column="name",
                )
            continue
        encoding, byte_order = _ccsdspy_encoding(
            label, line, data_type, bits, start, byte_order, offset is not None
        )
        item: dict[str, Any] = {
            "name": name,
            "encoding": encoding,
            "bits": bits,
            "byte_order": byte_order,
            "reverse_bits": False,
        }
        if offset is not None or start != running:
            item["offset_bits"] = start
        running = start + bits
        lines.setdefault(name, line)
        recipe.append(item)
    return recipe


def _ccsdspy_row(
    label: str, line: int, cells: dict[str, str]
) -> tuple[str, str, int, int | None, str]:
    # ccsdspy skips the blanks after a comma; those before one go too, so that
    # none reaches a name or a message.
    cells = {column: cell.strip() for column, cell in cells.items()}
    name = _need(label, line, cells, "name")
    written = _need(label, line, cells, "data_type")
    data_type = written.lower()
    if data_type not in ("uint", "int", "float", "str", "fill"):
        problem = _ccsdspy_array(written) or (
            f"data_type {written!r}; write uint, int, float, str or fill"
        )
        raise RecipeFileError(label, problem, line=line, column="data_type")
    _need(label, line, cells, "bit_length")
    bits = _int_cell(label, line, cells, "bit_length")
    assert bits is not None
    if not 0 < bits < _U32_LIMIT:
        raise RecipeFileError(
            label, f"a field of {bits} bits; write 1 to 4294967295", line=line, column="bit_length"
        )
    offset = _int_cell(label, line, cells, "bit_offset")
    if offset is not None and offset < 0:
        raise RecipeFileError(
            label, f"bit_offset {offset}; write 0 or more", line=line, column="bit_offset"
        )
    order = cells.get("byte_order", "")
    if order.lower() not in ("", "big", "little"):
        problem = (
            f"byte order {order!r} is a byte permutation, which recipes cannot describe "
            "yet; only big and little load"
            if order.isascii() and order.isdigit()
            else f"byte_order {order!r}; write big or little"
        )
        raise RecipeFileError(label, problem, line=line, column="byte_order")
    return name, data_type, bits, offset, order.lower() or "big"


def _ccsdspy_array(written: str) -> str | None:
    """What an array data type of ccsdspy ("uint(4)", "int(12, 24)",
    "uint(expand)", "uint(COUNT)") is, for the message refusing it."""
    kind, bracket, rest = written.partition("(")
    shape, closing, after = rest.partition(")")
    if not bracket or not closing or after.strip() or "(" in shape:
        return None
    shape = shape.strip()
    if shape == "expand":
        feature, hint = "an expanding field (it grows to fill the packet)", ""
    elif shape and all(part.strip().isdigit() for part in shape.split(",")):
        feature = f"an array of shape ({shape})"
        hint = f"; write one {kind.strip() or 'field'} row per element"
    else:
        feature, hint = f"an array sized by the field {shape!r}", ""
    return f"data_type {written!r} is {feature}, which recipes cannot describe yet{hint}"


def _ccsdspy_encoding(
    label: str, line: int, data_type: str, bits: int, start: int, byte_order: str, placed: bool
) -> tuple[str, str]:
    """Our encoding and byte order for a ccsdspy field at bit ``start``, or a
    RecipeFileError where ccsdspy reads the field otherwise than we would."""
    where = "bit_offset" if placed else None
    if data_type == "float":
        if bits not in _CCSDSPY_FLOATS:
            raise RecipeFileError(
                label, f"a float of {bits} bits; write 16, 32 or 64", line=line, column="bit_length"
            )
        if start % 8:
            # ccsdspy takes a float's whole bytes without shifting out the bits
            # before it, which is another number.
            raise RecipeFileError(
                label,
                f"a float at bit {start}, not on a byte boundary, which ccsdspy reads "
                "from the whole bytes around it",
                line=line,
                column=where,
            )
        return _CCSDSPY_FLOATS[bits], byte_order
    if data_type == "str":
        if start % 8 or bits % 8:
            raise RecipeFileError(
                label,
                f"a str of {bits} bits at bit {start}, not whole bytes on a byte boundary, "
                "which ccsdspy reads with the bits around it",
                line=line,
                column=where,
            )
        # ccsdspy reads text in packet order whatever its byte order says.
        return _CCSDSPY_TYPES[data_type], "big"
    first, last = start // 8, (start + bits - 1) // 8
    if last - first >= 8:
        raise RecipeFileError(
            label,
            f"{'an' if data_type == 'int' else 'a'} {data_type} of {bits} bits at bit {start} "
            f"spans {last - first + 1} bytes; "
            "ccsdspy reads integers of at most 8 bytes",
            line=line,
            column=where,
        )
    if byte_order == "little" and (start % 8 or bits not in (8, 16, 32, 64)):
        # ccsdspy swaps the bytes of the 1, 2, 4 or 8-byte number it widened the
        # field to, which for any other field is not the field's bytes reversed.
        raise RecipeFileError(
            label,
            f"a little-endian {data_type} of {bits} bits at bit {start}; ccsdspy reverses "
            "the bytes of whole 1, 2, 4 or 8-byte fields on a byte boundary only",
            line=line,
            column="byte_order",
        )
    return _CCSDSPY_TYPES[data_type], byte_order


def _shown(value: object, limit: int = 40) -> str:
    """repr() of a value for a message, cut short when long."""
    if isinstance(value, int) and not isinstance(value, bool):
        try:
            text = repr(value)
        except ValueError:  # more digits than int-to-str conversion allows
            return f"an integer of about {value.bit_length() * 0.30103:.0f} digits"
    else:
        text = repr(value)
    if len(text) <= limit:
        return text
    return f"{text[: limit - 10]}... ({len(text)} characters)"
