"""Writing recipe files for :func:`dump_recipe`: each item is read back from
the text it would be written as and refused unless it is the item again, and a
file is written whole or not at all.
"""

from __future__ import annotations

import csv
import io
import json
import numbers
import os
import struct
from collections.abc import Mapping
from typing import Any

from bitloom_bulk._files import atomic_write
from bitloom_bulk._recipe_items import FLOAT_ENCODINGS, TEXT_ENCODINGS
from bitloom_bulk._recipe_load import (
    CSV_COLUMNS,
    RecipeFileError,
    _format_of,
    _load_csv,
    _shown,
    _tomllib,
)


def dump_recipe(recipe: Any, path: Any, *, format: str | None = None) -> None:
    """Write ``recipe`` to ``path`` (a path or an open text file) as JSON, TOML
    or CSV, so that :func:`load_recipe` gives the same items back.

    Every item is checked to read back as written before anything is written;
    one that would not (a text with a lone surrogate, which UTF-8 cannot hold, a
    key TOML has no form for such as a None value, a NaN with its sign or payload
    bits set, an integer too long to write) raises :class:`RecipeFileError`
    naming the item and key. CSV holds only the keys of its columns (and
    ``value``), and writes every column for every item; an item with other keys,
    without one of the five required keys, or with a text value in a numeric
    column, raises :class:`RecipeFileError`. A path is replaced only once the
    whole file is written, so a failure leaves an existing file as it was.
    """
    fmt = _format_of(path, format)
    label = (
        os.fspath(path)
        if isinstance(path, (str, os.PathLike))
        else str(getattr(path, "name", "<stream>"))
    )
    items = _items_to_write(label, recipe)
    try:
        if fmt == "json":
            text = _dump_json(label, items)
        elif fmt == "toml":
            text = _dump_toml(label, items)
        else:
            text = _dump_csv(label, items)
    except RecursionError:
        raise RecipeFileError(label, "an item holds values nested too deeply to write") from None
    if isinstance(path, (str, os.PathLike)):
        with atomic_write(path, "w", encoding="utf-8", newline="") as handle:
            handle.write(text)
    else:
        path.write(text)


def _items_to_write(label: str, recipe: Any) -> list[dict[str, Any]]:
    if isinstance(recipe, (str, bytes)):
        raise RecipeFileError(label, "the recipe must be a list of items, not a string")
    items: list[dict[str, Any]] = []
    for index, item in enumerate(recipe):
        if not isinstance(item, Mapping):
            raise RecipeFileError(
                label, f"the item is a {type(item).__name__}, not a dict", key=f"[{index}]"
            )
        item = dict(item)
        _check_writable(label, item, f"[{index}]")
        items.append(item)
    return items


def _check_writable(label: str, value: object, key: str) -> None:
    # Keys are text in every format, and files are UTF-8, which has no form for
    # a lone surrogate ("\udc80", left by a surrogateescape decoding): refuse
    # either by its place before a file is touched.
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError as exc:
            raise RecipeFileError(
                label,
                f"{_shown(value)} holds the lone surrogate {exc.object[exc.start]!r}, "
                "which UTF-8 cannot write",
                key=key,
            ) from None
    elif isinstance(value, Mapping):
        for name, inner in value.items():
            if not isinstance(name, str):
                raise RecipeFileError(
                    label,
                    f"the key {name!r} is a {type(name).__name__}; keys must be text",
                    key=key,
                )
            _check_writable(label, name, key)
            _check_writable(label, inner, f"{key}.{name}")
    elif isinstance(value, (list, tuple)):
        for index, inner in enumerate(value):
            _check_writable(label, inner, f"{key}[{index}]")


def _same(written: object, read: object) -> bool:
    """Whether a value read back from a file is the value that was written."""
    if isinstance(written, bool) or isinstance(read, bool):
        return type(written) is type(read) and written == read
    if isinstance(read, float):
        # Bit for bit: -0.0 and NaNs with sign or payload bits must survive too.
        return isinstance(written, float) and struct.pack("<d", written) == struct.pack("<d", read)
    if isinstance(read, int):
        return isinstance(written, numbers.Integral) and written == read
    if isinstance(read, str):
        return isinstance(written, str) and written == read
    if isinstance(read, dict):
        return (
            isinstance(written, Mapping)
            and len(written) == len(read)
            and all(key in read and _same(value, read[key]) for key, value in written.items())
        )
    if isinstance(read, list):
        return (
            type(written) is list
            and len(written) == len(read)
            and all(_same(a, b) for a, b in zip(written, read, strict=True))
        )
    return type(written) is type(read) and written == read


def _refuse_unless_same(
    label: str, fmt: str, index: int, written: dict[str, Any], read: dict[str, Any]
) -> None:
    for key, value in written.items():
        if key not in read:
            raise RecipeFileError(
                label, f"{fmt} does not keep {_shown(value)} here", key=f"[{index}].{key}"
            )
        if not _same(value, read[key]):
            raise RecipeFileError(
                label,
                f"{_typed(value)} reads back from {fmt} as {_typed(read[key])}",
                key=f"[{index}].{key}",
            )
    for key in read:
        if key not in written:
            raise RecipeFileError(
                label,
                f"the item has no {key!r}, but every {fmt} row has one, so it would read "
                f"back as {_shown(read[key])}; add {key!r} to the item",
                key=f"[{index}].{key}",
            )


def _typed(value: object) -> str:
    if isinstance(value, float):
        # The bits tell a NaN with its sign or payload set from a plain "nan".
        bits = struct.unpack("<Q", struct.pack("<d", value))[0]
        return f"{value!r} (float, bits 0x{bits:016X})"
    return f"{_shown(value)} ({type(value).__name__})"


def _dump_json(label: str, items: list[dict[str, Any]]) -> str:
    for index, item in enumerate(items):
        try:
            text = json.dumps(item, ensure_ascii=False)
        except (TypeError, ValueError) as exc:
            raise RecipeFileError(
                label, f"cannot be written as JSON: {exc}", key=f"[{index}]"
            ) from None
        _refuse_unless_same(label, "JSON", index, item, json.loads(text))
    return json.dumps(items, ensure_ascii=False, indent=2) + "\n"


def _dump_toml(label: str, items: list[dict[str, Any]]) -> str:
    import tomli_w

    tomllib = _tomllib()
    for index, item in enumerate(items):
        try:
            text = tomli_w.dumps({"fields": [item]})
        except (TypeError, ValueError) as exc:
            raise RecipeFileError(
                label, f"cannot be written as TOML: {exc}", key=f"[{index}]"
            ) from None
        _refuse_unless_same(label, "TOML", index, item, tomllib.loads(text)["fields"][0])
    return tomli_w.dumps({"fields": items})


def _dump_csv(label: str, items: list[dict[str, Any]]) -> str:
    with_value = any("value" in item for item in items)
    columns = [*CSV_COLUMNS, "value"] if with_value else list(CSV_COLUMNS)
    header = io.StringIO(newline="")
    csv.writer(header, lineterminator="\n").writerow(columns)
    out = io.StringIO(newline="")
    out.write(header.getvalue())
    for index, item in enumerate(items):
        extra = set(item) - set(columns)
        if extra:
            raise RecipeFileError(
                label, "CSV has no column for it", key=f"[{index}].{min(extra, key=str)}"
            )
        for key in ("name", "encoding", "byte_order"):
            if not isinstance(item.get(key, ""), str):
                raise RecipeFileError(label, "CSV holds only text here", key=f"[{index}].{key}")
        if "reverse_bits" in item and not isinstance(item["reverse_bits"], bool):
            raise RecipeFileError(
                label, "CSV holds only true/false here", key=f"[{index}].reverse_bits"
            )
        value = item.get("value", "")
        kind = str(item.get("encoding", "")).lower()
        expected = str if kind in TEXT_ENCODINGS else float if kind in FLOAT_ENCODINGS else int
        if "value" in item and (type(value) is not expected or (value == "" and expected is str)):
            raise RecipeFileError(
                label,
                f"a {type(value).__name__} value does not read back from CSV",
                key=f"[{index}].value",
            )
        row = []
        for column in columns:
            cell = item.get(column, "")
            if column == "reverse_bits":
                cell = "true" if cell else "false"
            elif column == "value" and expected is float and "value" in item:
                cell = repr(cell)
            row.append(cell)
        # A row with a carriage return is quoted whole: the csv module of some
        # Pythons leaves a lone "\r" unquoted when lines end in "\n", and a reader
        # then takes it for the end of the row.
        carriage = any(isinstance(cell, str) and "\r" in cell for cell in row)
        line = io.StringIO(newline="")
        writer = csv.writer(
            line, lineterminator="\n", quoting=csv.QUOTE_ALL if carriage else csv.QUOTE_MINIMAL
        )
        try:
            writer.writerow(row)
        except (csv.Error, ValueError) as exc:
            # The csv module of Python 3.10 cannot write a NUL character.
            for column, cell in zip(columns, row, strict=True):
                if isinstance(cell, str) and "\x00" in cell:
                    raise RecipeFileError(
                        label,
                        "a NUL character, which the csv module of this Python cannot write",
                        key=f"[{index}].{column}",
                    ) from None
            raise RecipeFileError(
                label, f"cannot be written as CSV: {exc}", key=f"[{index}]"
            ) from None
        try:
            read = _load_csv(label, header.getvalue() + line.getvalue())
        except RecipeFileError as exc:
            where = f"[{index}]" if exc.column is None else f"[{index}].{exc.column}"
            raise RecipeFileError(
                label, f"does not read back from CSV: {exc.problem}", key=where
            ) from None
        _refuse_unless_same(label, "CSV", index, item, read[0] if read else {})
        out.write(line.getvalue())
    return out.getvalue()
