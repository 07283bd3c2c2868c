"""The command line on packet definitions: ``describe``, ``decode`` with
``--definitions`` or ``--xtce`` into one file per table, and ``split`` into
one file of packets per APID.

Kept apart from :mod:`bitloom_bulk.cli`, which parses the arguments and
reports errors; the helpers for reading input and rendering tables are its.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import warnings
from collections import Counter
from collections.abc import Iterator
from typing import IO, Any

import numpy as np

from bitloom_bulk._definitions import (
    AllOf,
    AnyOf,
    Compare,
    Condition,
    Definitions,
    Fault,
    FromField,
    Item,
    Node,
    Rest,
    Terminated,
    When,
)
from bitloom_bulk._definitions_decode import Decoded
from bitloom_bulk._files import atomic_write
from bitloom_bulk._stream import split_ccsds
from bitloom_bulk.cli import (
    _each_block,
    _Failure,
    _in_blocks,
    _Input,
    _opened,
    _Pieces,
    _render,
    _Usage,
    _whole,
)

# -- loading --------------------------------------------------------------------

_FORMATS = {".json": "json", ".toml": "toml", ".xml": "xtce", ".csv": "ccsdspy"}


def definitions_format(path: str, given: str | None) -> str:
    """The format of a definitions file: ``given``, or from its suffix."""
    if given is not None:
        return given
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in _FORMATS:
        raise _Failure(
            f"{path}: cannot tell the definitions' format from the suffix {suffix!r} "
            "(.json, .toml, .xml for XTCE, .csv for ccsdspy); name it with --format"
        )
    return _FORMATS[suffix]


def load(path: str, form: str, *, root: str | None = None, strict: bool = True) -> Definitions:
    """Definitions read from ``path`` in ``form``; warnings the loaders give
    (a ccsdspy column that is ignored) become one line each on stderr."""
    import sys

    from bitloom_bulk import load_ccsdspy, load_definitions, load_xtce

    if root is not None and form != "xtce":
        raise _Usage("--root names an XTCE container; it needs XTCE definitions")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            if form == "xtce":
                defs = load_xtce(path, root=root, strict=strict)
            elif form == "ccsdspy":
                defs = load_ccsdspy(path)
            else:
                defs = load_definitions(path, format=form)
        except RecursionError:
            raise _Failure(f"{path}: nested too deeply to read") from None
    for warning in caught:
        sys.stderr.write(f"bitloom: warning: {str(warning.message).replace(chr(10), ' ')}\n")
    return defs


# -- describe -------------------------------------------------------------------


def _condition(cond: Condition) -> str:
    if isinstance(cond, Compare):
        return f"{cond.field} {cond.op} {cond.value!r}"
    joiner = " and " if isinstance(cond, AllOf) else " or "
    text = joiner.join(_condition(term) for term in cond.terms)
    return f"({text})" if isinstance(cond, AnyOf) and len(cond.terms) > 1 else text


def _from_field(value: FromField) -> str:
    text = value.name if value.scale == 1 else f"{value.scale} x {value.name}"
    if value.offset:
        text += f" {'+' if value.offset > 0 else '-'} {abs(value.offset)}"
    return text


def _size(bits: Any) -> str:
    if isinstance(bits, FromField):
        return f"{_from_field(bits)} bits"
    if isinstance(bits, Rest):
        return "to the packet's end" + (f" less {bits.less} bits" if bits.less else "")
    if isinstance(bits, Terminated):
        return f"to the byte {bits.byte:#04x}"
    return f"{bits} bits"


def _item_line(type_name: str, item: Item) -> str:
    parts = [item.name, item.encoding, _size(item.bits)]
    if item.offset is not None:
        parts.append(
            f"at bit {item.offset}" if item.offset >= 0 else f"{-item.offset} bits before the end"
        )
    if item.permutation is not None:
        parts.append(f"bytes in order {item.item.get('byte_order')}")
    elif item.item.get("byte_order") == "little":
        parts.append("little-endian")
    if isinstance(item.count, int):
        parts.append(f"x {item.count}")
    elif isinstance(item.count, FromField):
        parts.append(f"x ({_from_field(item.count)})")
    elif isinstance(item.count, When):
        parts.append(f"when {_condition(item.count.cond)}")
    if item.records is not None:
        names = ", ".join(str(record["name"]) for record in item.records)
        parts.append(f"records of {item.record_bits} bits ({names})")
    derived = item.derived
    if "enumeration" in derived:
        parts.append(f"enumeration of {len(derived['enumeration'])} labels")
    if "polynomial" in derived:
        parts.append(f"polynomial {list(derived['polynomial'])}")
    if "spline" in derived:
        parts.append(f"spline of {len(derived['spline'])} points")
    if "time" in derived:
        parts.append(f"time {derived['time'].get('code')}")
    if derived.get("boolean"):
        parts.append("boolean")
    if not item.column:
        parts.append(f"-> table {type_name}/{item.name}")
    return "    " + "  ".join(parts)


def describe(defs: Definitions, label: str) -> _Pieces:
    """The types of ``defs`` as text: for each its parent, test, fields and
    child tables; then what the loader refused and why."""
    nodes: list[Node] = defs.nodes()
    text = _Pieces()
    concrete = sum(not node.abstract for node in nodes)
    text.write(f"{label}: {len(nodes)} types ({concrete} with tables)\n")
    for node in nodes:
        text.write(f"\ntype {node.name}" + (" (abstract)" if node.abstract else "") + "\n")
        if node.parent is not None:
            inherited = len(node.parent.fields())
            text.write(f"  parent: {node.parent.name} (its {inherited} fields come first)\n")
        if node.where is not None:
            text.write(f"  where: {_condition(node.where)}\n")
        text.write(f"  fields: {len(node.items)}\n")
        for item in node.items:
            text.write(_item_line(node.name, item) + "\n")
        if not node.abstract:
            children = [f"{node.name}/{i.name}" for i in node.fields() if not i.column]
            if children:
                text.write(f"  child tables: {', '.join(children)}\n")
    refusals = list(getattr(defs, "refusals", ()))
    if refusals:
        text.write(f"\nrefused: {len(refusals)} (their types decode no packets)\n")
        for refusal in refusals:
            where = f"line {refusal.line}: " if refusal.line else ""
            text.write(f"  {where}{refusal.element} of {refusal.name!r}: {refusal.why}\n")
    return text


def cmd_describe(args: argparse.Namespace, out: IO[str]) -> int:
    form = definitions_format(args.definitions, args.format)
    # XTCE is read leniently so that every refusal is listed, not the first.
    defs = load(args.definitions, form, root=args.root, strict=False)
    describe(defs, args.definitions).write_to(out)
    return 0


# -- output files ---------------------------------------------------------------

_PLAIN = re.compile(r"[A-Za-z0-9_.-]")


def file_stem(table: str) -> str:
    """A file name (without suffix) for a table that stays inside its folder:
    the '/' of a child table becomes '.', characters other than ASCII letters,
    digits, '_', '-' and '.' are written as %XX of their UTF-8 bytes, and a
    leading '.' as %2E (no hidden files, no '..')."""
    out = []
    for part in table.split("/"):
        out.append(
            "".join(
                c if _PLAIN.fullmatch(c) else "".join(f"%{b:02X}" for b in c.encode("utf-8"))
                for c in part
            )
        )
    stem = ".".join(out)
    if not stem or stem.startswith("."):
        stem = "%2E" + stem[1:] if stem else "%00"
    return stem


def _unique_names(tables: list[str], suffix: str) -> dict[str, str]:
    """Each table's file name; two that would share a name (also on a file
    system that ignores case) are an error."""
    names: dict[str, str] = {}
    seen: dict[str, str] = {}
    for table in tables:
        name = file_stem(table) + suffix
        other = seen.get(name.lower())
        if other is not None:
            raise _Failure(f"tables {other!r} and {table!r} would both be written as {name!r}")
        seen[name.lower()] = table
        names[table] = name
    return names


@contextlib.contextmanager
def _all_or_nothing(folder: str) -> Iterator[None]:
    """Removes, on an error or an interrupt, the files written in ``folder``
    inside the block that were not there before (and the folder, if it is
    made here and left empty); each file itself is written atomically."""
    made = not os.path.isdir(folder)
    if made:
        os.makedirs(folder)
    before = set(os.listdir(folder))
    try:
        yield
    except BaseException:
        for name in set(os.listdir(folder)) - before:
            with contextlib.suppress(OSError):
                os.unlink(os.path.join(folder, name))
        if made:
            with contextlib.suppress(OSError):
                os.rmdir(folder)
        raise


def write_files(folder: str, contents: dict[str, Any], binary: bool) -> None:
    """Writes ``{file name: content}`` into ``folder``: every file to a
    temporary one first, and renamed over its target only once all are
    written; a failure or an interrupt leaves none of them (and older files
    of those names as they were, unless it comes during the renames)."""
    mode = "wb" if binary else "w"
    open_args: dict[str, Any] = {} if binary else {"encoding": "utf-8", "newline": ""}
    with _all_or_nothing(folder), contextlib.ExitStack() as stack:
        for name, content in contents.items():
            handle = stack.enter_context(
                atomic_write(os.path.join(folder, name), mode, **open_args)
            )
            if isinstance(content, _Pieces):
                content.write_to(handle)
            elif callable(content):
                content(handle)
            else:
                handle.write(content)


# -- decode with definitions ----------------------------------------------------


def _read_whole(source: _Input) -> bytes | bytearray:
    """All of the input, read in steps so that a terminal shows progress."""
    if source.size is None:
        return source.read_all()
    data = bytearray()

    def keep(block: memoryview, start: int, last: bool) -> int:
        data.extend(block)
        return len(block)

    _each_block(source, keep)
    return data


def decode_file(
    source: _Input, defs: Definitions, packet_bytes: int | None, errors: str
) -> Decoded:
    """``defs.decode`` over the input, decoded block by block as it is read
    (and the progress bar drawn on a terminal): the blocks' tables joined,
    their child tables' ``packet`` rows, faults' packets and bytes counted
    from the start of the file. A fault that raises is raised again by one
    call over the whole file, so that it names its place in the file."""

    def one_call(data: bytes | bytearray) -> Decoded:
        return defs.decode(data, packet_bytes=packet_bytes, errors=errors)

    tables = [node.name for node in defs.nodes() if not node.abstract]
    if (
        _whole(source)
        or (packet_bytes is not None and (source.end or 0) % packet_bytes)
        or any(not node.fields() for node in defs.nodes() if not node.abstract)
    ):
        # One call: a small file or a pipe; a file ending in a partial packet,
        # so that the error names the whole file's size; a type without
        # fields, whose rows a block's table cannot count.
        return one_call(_read_whole(source))
    parts: list[tuple[Decoded, int, int]] = []  # a block's tables, first byte, packets
    counted = 0

    def use(block: memoryview, start: int, last: bool) -> int:
        nonlocal counted
        if packet_bytes is not None:
            end = len(block) if last else len(block) - len(block) % packet_bytes
            packets = end // packet_bytes
        else:
            frames = split_ccsds(block, allow_partial=not last)
            end, packets = frames.end, len(frames.offsets)
        if end:
            parts.append((one_call(bytes(block[:end])), start, counted))
            counted += packets
        return end

    _in_blocks(source, use, parts, one_call)
    if not parts:
        return one_call(b"")
    return _joined(parts, tables)


def _joined(parts: list[tuple[Decoded, int, int]], tables: list[str]) -> Decoded:
    """The blocks' results as one: columns joined, a child table's ``packet``
    moved on by the rows its type's table had in the blocks before."""
    first = parts[0][0]
    owner = {}
    for key in first:
        if key not in tables:
            owner[key] = max((t for t in tables if key.startswith(t + "/")), key=len)
    rows_before = dict.fromkeys(tables, 0)
    joined: dict[str, dict[str, list[Any]]] = {key: {} for key in first}
    unmatched: Counter[int | None] = Counter()
    faults: list[Fault] = []
    for decoded, start, packets in parts:
        for key, columns in decoded.items():
            for at, (name, column) in enumerate(columns.items()):
                if key in owner and at == 0:  # the "packet" column
                    column = column + rows_before[owner[key]]
                joined[key].setdefault(name, []).append(column)
        for table in tables:
            rows_before[table] += len(next(iter(decoded[table].values())))
        unmatched.update(decoded.unmatched)
        faults.extend(
            f._replace(packet=f.packet + packets, offset=f.offset + start) for f in decoded.faults
        )
    tables_out = {
        key: {name: np.concatenate(pieces) for name, pieces in columns.items()}
        for key, columns in joined.items()
    }
    return Decoded(tables_out, dict(unmatched), faults)


def _table_columns(columns: dict[str, Any], form: str) -> dict[str, Any]:
    """Columns as the text and Parquet writers take them: times as ISO 8601
    text (Parquet keeps them as times), bytes as hexadecimal text (Parquet
    keeps them as bytes), the rows of a 2-D column as lists."""
    out: dict[str, Any] = {}
    for name, column in columns.items():
        if column.dtype.kind == "M" and form != "parquet":
            column = np.datetime_as_string(column).astype(object)
        elif column.dtype == object and form != "parquet":
            column = np.array(
                [v.hex() if isinstance(v, (bytes, bytearray)) else v for v in column.tolist()]
                + [None],
                dtype=object,
            )[:-1]
        if column.ndim > 1:
            rows = np.empty(len(column), dtype=object)
            rows[:] = [list(row) for row in column.tolist()]
            column = rows
        out[name] = column
    return out


def _counted(n: int, what: str) -> str:
    return f"{n} {what}" + ("" if n == 1 else "s")


def _summary(decoded: Any, path: str) -> None:
    """The packets of no type and the faults, one line each on stderr."""
    import sys

    unmatched = {k: v for k, v in decoded.unmatched.items() if v}
    if unmatched:
        total = sum(unmatched.values())
        apids = sorted(apid for apid in unmatched if apid is not None)
        where = ", ".join(f"{unmatched[apid]} of APID {apid}" for apid in apids)
        sys.stderr.write(
            f"bitloom: {path}: {_counted(total, 'packet')} of no packet type"
            + (f" ({where})" if where else "")
            + "\n"
        )
    faults = decoded.faults
    if faults:
        kinds = Counter(fault.severity for fault in faults)
        counts = ", ".join(_counted(n, severity) for severity, n in sorted(kinds.items()))
        first = faults[0]
        sys.stderr.write(
            f"bitloom: {path}: {counts}; the first: packet {first.packet} at byte "
            f"{first.offset}, {first.type}.{first.item}: {first.message}\n"
        )


def cmd_decode_definitions(args: argparse.Namespace) -> int:
    if args.out_dir is None:
        raise _Usage("--definitions and --xtce write one file per table: give --out-dir DIR")
    for option, value in (("--apid", args.apid), ("--limit", args.limit), ("--out", args.out)):
        if value is not None:
            raise _Usage(f"{option} works with --recipe; definitions choose types themselves")
    form = args.format or "csv"
    if form == "table":
        raise _Usage("--out-dir writes csv, jsonl or parquet, not table")
    if args.xtce is not None:
        defs = load(args.xtce, "xtce", root=args.root, strict=not args.lenient)
    else:
        if args.lenient:
            raise _Usage("--lenient is for --xtce")
        path = args.definitions
        defs = load(path, definitions_format(path, None), root=args.root)
    if form == "parquet":
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError:
            raise _Failure(
                "--format parquet needs pyarrow, which is not installed (pip install pyarrow)"
            ) from None
    with _opened(args.file) as source:
        decoded = decode_file(source, defs, args.packet_bytes, args.errors)
    names = _unique_names(list(decoded), "." + form)
    contents: dict[str, Any] = {}
    for table, found in decoded.items():
        columns = _table_columns(found, form)
        if form == "parquet":
            arrow = pa.table(
                {k: pa.array(list(v) if v.ndim > 1 else v) for k, v in columns.items()}
            )

            def writer(handle: IO[bytes], arrow: Any = arrow) -> None:
                pq.write_table(arrow, handle)

            contents[names[table]] = writer
        else:
            contents[names[table]] = _render(form, columns)
    write_files(args.out_dir, contents, binary=form == "parquet")
    _summary(decoded, args.file)
    return 0


# -- split into files -----------------------------------------------------------


def split_to_files(args: argparse.Namespace) -> int:
    """One file of packets per APID in ``--out-dir``, named as ccsdspy's
    split names them (``apid00042.tlm``), the packets in stream order."""
    with _opened(args.file) as source:
        data = _read_whole(source)
    frames = split_ccsds(data)
    view = memoryview(data)
    contents: dict[str, Any] = {}
    apids = frames.apids
    for apid in np.unique(apids).tolist():
        rows = np.flatnonzero(apids == apid)
        offsets = frames.offsets[rows].tolist()
        lengths = frames.lengths[rows].tolist()
        contents[f"apid{apid:05d}.tlm"] = b"".join(
            view[o : o + n] for o, n in zip(offsets, lengths, strict=True)
        )
    write_files(args.out_dir, contents, binary=True)
    return 0
