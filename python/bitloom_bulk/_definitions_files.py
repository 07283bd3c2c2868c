"""Packet definitions in files: JSON and TOML, read back exactly as written.

The file holds ``{"types": [{"name": ..., "parent": ..., "where": ...,
"abstract": ..., "items": [...]}, ...]}`` (``parent``, ``where`` and
``abstract`` left out when None, None and False). A where's triples are
written as arrays and read back as tuples (as :class:`PacketType` keeps them,
however given); enumeration keys are written as decimal strings and read back
as ints. NaN has no place in JSON, and none of these files can hold a NaN
that reads back equal, so a where comparing with NaN is refused in both.
Definition faults found when a file is read raise :class:`RecipeFileError`
(with the :class:`DefinitionError`'s message and the place in the file).
"""

from __future__ import annotations

import json
import os
import re
from collections.abc import Mapping
from typing import Any

from bitloom_bulk._definitions import DefinitionError, Definitions, PacketType
from bitloom_bulk._files import atomic_write
from bitloom_bulk._recipe_load import (
    RecipeFileError,
    _format_of,
    _read_text,
    _shown,
    _tomllib,
    parse_text,
)

_TYPE_KEYS = ("name", "parent", "where", "abstract", "items")
# Enumeration keys: ASCII decimal digits (int() would also take blanks,
# underscores and other scripts' digits), an optional sign.
_DECIMAL = re.compile(r"[-+]?[0-9]+")


def load_definitions(path: Any, format: str | None = None) -> Definitions:
    """Read packet definitions from a JSON or TOML file (a path or an open
    file; the format from the suffix unless ``format`` names it).

    A malformed file, or definitions that cannot be decoded, raise
    :class:`RecipeFileError` naming the file and where: the line and column
    of a syntax error; for a definition fault, the message of the
    :class:`DefinitionError` (naming the type and item) and as ``key`` the
    place in the file, such as ``types[2].items[0]``. Enumeration keys are
    decimal integers written as strings ("7", "-1"); two that are the same
    number are refused.
    """
    fmt = _definitions_format(path, format)
    label, text = _read_text(path)
    data = parse_text(label, text, fmt)
    if not isinstance(data, dict) or not isinstance(data.get("types"), list):
        raise RecipeFileError(label, "the file needs a top-level 'types' list", key="types")
    unknown_top = sorted(set(data) - {"types"})
    if unknown_top:
        raise RecipeFileError(
            label, "unknown top-level key; the file holds only 'types'", key=unknown_top[0]
        )
    types = []
    for index, entry in enumerate(data["types"]):
        key = f"types[{index}]"
        if not isinstance(entry, dict):
            raise RecipeFileError(label, "each type must be a table/object", key=key)
        unknown = sorted(set(entry) - set(_TYPE_KEYS))
        if unknown:
            raise RecipeFileError(label, f"unknown key {unknown[0]!r}", key=key)
        if "name" not in entry or "items" not in entry:
            raise RecipeFileError(label, "a type needs 'name' and 'items'", key=key)
        items = entry["items"]
        if not isinstance(items, list):
            raise RecipeFileError(label, "'items' must be a list", key=f"{key}.items")
        try:
            types.append(
                PacketType(
                    entry["name"],
                    [_read_item(label, f"{key}.items[{i}]", item) for i, item in enumerate(items)],
                    parent=entry.get("parent"),
                    where=entry.get("where"),
                    abstract=entry.get("abstract", False),
                )
            )
        except DefinitionError as exc:
            raise RecipeFileError(label, str(exc), key=key) from None
    try:
        return Definitions(types)
    except DefinitionError as exc:
        raise RecipeFileError(label, str(exc), key=_place(data["types"], exc)) from None


def _place(entries: list[dict[str, Any]], exc: DefinitionError) -> str | None:
    """Where in the file the type and item a DefinitionError names are: the
    type's entry (the second of two of one name) and the item's, or a
    record's item's, within it."""
    indices = [i for i, entry in enumerate(entries) if entry.get("name") == exc.type]
    if not indices:
        return None
    index = indices[1] if len(indices) > 1 else indices[0]
    key = f"types[{index}]"
    if exc.item is None:
        return key
    items = entries[index]["items"]
    for j, item in enumerate(items):
        if item.get("name") == exc.item:
            return f"{key}.items[{j}]"
    # A record's item, named by itself or as "records item.its item".
    for j, item in enumerate(items):
        records = item.get("records")
        if not isinstance(records, list):
            continue
        for k, sub in enumerate(records):
            name = sub.get("name") if isinstance(sub, dict) else None
            if exc.item in (name, f"{item.get('name')}.{name}"):
                return f"{key}.items[{j}].records[{k}]"
    return key


def dump_definitions(definitions: Definitions, path: Any, format: str | None = None) -> None:
    """Write ``definitions`` to a JSON or TOML file (a path or an open text
    file) that :func:`load_definitions` reads back equal. Anything the format
    cannot hold so that it reads back the same (a None where TOML has no null,
    bytes, a NaN in JSON) raises :class:`RecipeFileError` naming the type; a
    path is replaced only once the whole file is written."""
    if not isinstance(definitions, Definitions):
        raise TypeError(f"dump_definitions writes Definitions, not {type(definitions).__name__}")
    fmt = _definitions_format(path, format)
    label = (
        os.fspath(path)
        if isinstance(path, (str, os.PathLike))
        else str(getattr(path, "name", "<stream>"))
    )
    entries = [_written_type(t) for t in definitions.types]
    for index, entry in enumerate(entries):
        text = _text(label, fmt, {"types": [entry]}, f"types[{index}]")
        back = _parse(fmt, text)["types"][0]
        again = PacketType(
            back["name"],
            [_read_item(label, "", item) for item in back["items"]],
            parent=back.get("parent"),
            where=back.get("where"),
            abstract=back.get("abstract", False),
        )
        if again != definitions.types[index]:
            raise RecipeFileError(
                label,
                f"type {entries[index]['name']!r} would not read back the same from {fmt.upper()}",
                key=f"types[{index}]",
            )
    text = _text(label, fmt, {"types": entries}, "types")
    if isinstance(path, (str, os.PathLike)):
        with atomic_write(path, "w", encoding="utf-8", newline="") as handle:
            handle.write(text)
    else:
        path.write(text)


def _definitions_format(path: Any, given: str | None) -> str:
    fmt = _format_of(path, given)
    if fmt == "csv":
        raise ValueError("packet definitions are written as JSON or TOML, not CSV")
    return fmt


def _written_type(t: PacketType) -> dict[str, Any]:
    entry: dict[str, Any] = {"name": t.name}
    if t.parent is not None:
        entry["parent"] = t.parent
    if t.where is not None:
        entry["where"] = _written_where(t.where)
    if t.abstract:
        entry["abstract"] = True
    entry["items"] = [_written_item(item) for item in t.items]
    return entry


def _written_item(item: Any) -> Any:
    if not isinstance(item, Mapping):
        return item
    out = {}
    for key, value in item.items():
        if key == "enumeration" and isinstance(value, Mapping):
            value = {str(k) if isinstance(k, int) else k: v for k, v in value.items()}
        elif key == "records" and isinstance(value, (list, tuple)):
            value = [_written_item(r) for r in value]
        elif isinstance(value, tuple):
            value = _lists(value)
        out[key] = value
    return out


def _read_item(label: str, key: str, item: Any) -> Any:
    if not isinstance(item, dict):
        raise RecipeFileError(label, "each item must be a table/object", key=key)
    out = dict(item)
    table = out.get("enumeration")
    if isinstance(table, dict):
        labels: dict[Any, Any] = {}
        written: dict[int, str] = {}
        for raw, text in table.items():
            number = _decimal(raw)
            if number is None:
                raise RecipeFileError(
                    label,
                    f"enumeration key {_shown(raw)} is not a decimal integer such as '7' or '-1'",
                    key=f"{key}.enumeration",
                )
            if number in written:
                raise RecipeFileError(
                    label,
                    f"enumeration keys {written[number]!r} and {raw!r} are both {number}",
                    key=f"{key}.enumeration",
                )
            written[number] = raw
            labels[number] = text
        out["enumeration"] = labels
    if isinstance(out.get("records"), list):
        out["records"] = [
            _read_item(label, f"{key}.records[{k}]", r) for k, r in enumerate(out["records"])
        ]
    return out


def _decimal(text: str) -> int | None:
    """The integer a decimal key such as "7", "-12" or "+3" writes; None for
    anything else (blanks, underscores, other digits, too many digits)."""
    if not _DECIMAL.fullmatch(text):
        return None
    try:
        return int(text)
    except ValueError:  # more digits than the interpreter converts
        return None


def _written_where(where: Any) -> Any:
    if isinstance(where, Mapping):
        return {k: _written_where(v) if k in ("any", "all") else v for k, v in where.items()}
    if isinstance(where, (list, tuple)):
        return [_written_where(t) if not isinstance(t, (str, int, float)) else t for t in where]
    return where


def _lists(value: Any) -> Any:
    if isinstance(value, (list, tuple)):
        return [_lists(v) for v in value]
    return value


def _text(label: str, fmt: str, data: dict[str, Any], key: str) -> str:
    try:
        if fmt == "json":
            return json.dumps(data, ensure_ascii=False, indent=2, allow_nan=False) + "\n"
        import tomli_w

        return str(tomli_w.dumps(data))
    except (TypeError, ValueError) as exc:
        raise RecipeFileError(
            label, f"cannot be written as {fmt.upper()}: {exc}", key=key
        ) from None
    except RecursionError:
        raise RecipeFileError(label, "values nested too deeply to write", key=key) from None


def _parse(fmt: str, text: str) -> Any:
    if fmt == "json":
        return json.loads(text)
    return _tomllib().loads(text)
