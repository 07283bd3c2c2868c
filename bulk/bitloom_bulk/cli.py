"""The ``bitloom`` command line: check recipes, list CCSDS packets, decode captures.

Run ``bitloom --help`` or ``python -m bitloom_bulk --help``.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import mmap
import sys
from collections import Counter
from collections.abc import Sequence
from typing import IO, Any

from bitloom_bulk._files import atomic_write
from bitloom_bulk._native import unpack_columns
from bitloom_bulk._stream import split_ccsds, unpack_ccsds
from bitloom_bulk.recipes import check_recipe, load_recipe

__all__ = ["main"]

EXIT_CODES = """\
exit codes:
  0  success (check: no findings)
  1  check found something, or a file or its data could not be read or decoded
  2  wrong usage (unknown option, missing argument)
  130  interrupted (Ctrl-C); no output file is left behind
"""
_DATA_ERRORS = (
    ValueError,
    OSError,
    TypeError,
    KeyError,
    OverflowError,
    NotImplementedError,
    IndexError,
)


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:  # one line, exit code 2
        self.exit(2, f"bitloom: error: {message} (see '{self.prog} --help')\n")


class _Failure(Exception):
    """An error reported as one line with exit code 1."""


def _parser() -> argparse.ArgumentParser:
    fmt = argparse.RawDescriptionHelpFormatter
    parser = _Parser(
        prog="bitloom",
        description="Check packet recipes, list CCSDS packets and decode packet captures.",
        epilog=EXIT_CODES,
        formatter_class=fmt,
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    check = commands.add_parser(
        "check",
        help="report recipe layouts that fail or silently lose data",
        description="Load a recipe file (JSON, TOML or CSV) and print what check_recipe finds.",
        epilog="example:\n  bitloom check housekeeping.toml --direction pack\n\n" + EXIT_CODES,
        formatter_class=fmt,
    )
    check.add_argument("recipe", metavar="R", help="recipe file (.json, .toml, .csv)")
    check.add_argument(
        "--direction",
        choices=("unpack", "pack"),
        default="unpack",
        help="check for reading packets (default) or for building them",
    )

    split = commands.add_parser(
        "split",
        help="list the CCSDS packets of a stream",
        description="Frame a CCSDS stream by its primary headers and list its packets "
        "(byte offset, length, APID, sequence count), or count them per APID.",
        epilog="examples:\n  bitloom split capture.bin\n  bitloom split capture.bin --count\n\n"
        + EXIT_CODES,
        formatter_class=fmt,
    )
    split.add_argument("file", metavar="FILE", help="the stream of packets")
    split.add_argument("--count", action="store_true", help="count the packets per APID")

    decode = commands.add_parser(
        "decode",
        help="decode the packets of a file with a recipe",
        description="Decode every packet of FILE with the recipe R, one row per packet.",
        epilog="examples:\n"
        "  bitloom decode frames.bin --recipe frame.json --packet-bytes 24\n"
        "  bitloom decode capture.bin --recipe hk.toml --ccsds --apid 100 "
        "--format csv --out hk.csv\n\n" + EXIT_CODES,
        formatter_class=fmt,
    )
    decode.add_argument("file", metavar="FILE", help="the packets")
    decode.add_argument("--recipe", metavar="R", required=True, help="recipe file")
    framing = decode.add_mutually_exclusive_group(required=True)
    framing.add_argument(
        "--packet-bytes", metavar="N", type=_positive, help="fixed-size packets of N bytes"
    )
    framing.add_argument(
        "--ccsds", action="store_true", help="a CCSDS stream; the recipe counts from the header"
    )
    decode.add_argument(
        "--apid",
        metavar="A",
        type=_apid,
        help="with --ccsds: the APID to decode (needed when the stream holds several)",
    )
    decode.add_argument(
        "--format",
        choices=("table", "csv", "jsonl", "parquet"),
        default="table",
        help="output format (default: table; parquet needs pyarrow and --out)",
    )
    decode.add_argument("--out", metavar="PATH", help="write to PATH instead of stdout")
    decode.add_argument("--limit", metavar="N", type=_positive, help="decode the first N packets")
    return parser


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if number < 1:
        raise argparse.ArgumentTypeError(f"{text!r} must be at least 1")
    return number


def _apid(text: str) -> int:
    try:
        number = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an APID") from None
    if not 0 <= number <= 2047:
        raise argparse.ArgumentTypeError(f"APID {number} is not in 0..2047")
    return number


def _read(path: str) -> Any:
    with open(path, "rb") as handle:
        try:
            return mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ)
        except (ValueError, OSError):  # empty files and devices cannot be mapped
            return handle.read()


def _message(exc: BaseException) -> str:
    text = str(exc) if not isinstance(exc, KeyError) else f"missing key {exc}"
    if isinstance(exc, MemoryError):
        text = "not enough memory" + (f" ({text})" if text else "")
    if isinstance(exc, OSError) and exc.filename is not None:
        text = f"{exc.filename}: {exc.strerror or exc}"
    notes = getattr(exc, "__notes__", None) or []
    return "; ".join([text.replace("\n", " "), *(n.replace("\n", " ") for n in notes)])


def _load(path: str) -> list[dict[str, Any]]:
    try:
        return load_recipe(path)
    except RecursionError as exc:  # a recipe nested deeper than the parser goes
        raise _Failure(f"{path}: nested too deeply to read ({exc})") from None
    except MemoryError:
        raise _Failure(f"{path}: not enough memory to read it") from None


def _cmd_check(args: argparse.Namespace, out: IO[str]) -> int:
    findings = check_recipe(_load(args.recipe), direction=args.direction)
    text = io.StringIO()
    for finding in findings:
        text.write(f"{args.recipe}: {finding}\n")
    if not findings:
        text.write(f"{args.recipe}: no findings\n")
    out.write(text.getvalue())
    return 1 if findings else 0


def _cmd_split(args: argparse.Namespace, out: IO[str]) -> int:
    frames = split_ccsds(_read(args.file))
    offsets, lengths, apids, counts = frames[:4]
    text = io.StringIO()
    if args.count:
        counted = Counter(apids.tolist())
        text.write("apid\tpackets\n")
        for apid in sorted(counted):
            text.write(f"{apid}\t{counted[apid]}\n")
    else:
        text.write("offset\tlength\tapid\tsequence_count\n")
        for row in zip(
            offsets.tolist(), lengths.tolist(), apids.tolist(), counts.tolist(), strict=True
        ):
            text.write("\t".join(map(str, row)) + "\n")
    out.write(text.getvalue())
    return 0


def _decode_columns(args: argparse.Namespace) -> dict[str, Any]:
    recipe = _load(args.recipe)
    data = _read(args.file)
    if args.packet_bytes is not None:
        if args.limit is not None:
            data = memoryview(data)[: args.limit * args.packet_bytes]
        return _decode_fixed(data, recipe, args.packet_bytes)
    apid = args.apid
    if apid is None:
        apids = sorted(set(split_ccsds(data).apids.tolist()))
        if len(apids) > 1:
            raise _Failure(
                f"the stream holds APIDs {', '.join(map(str, apids))}; choose one with --apid"
            )
        apid = apids[0] if apids else 0
    columns = unpack_ccsds(data, {apid: recipe})[apid]
    if args.limit is not None:
        columns = {name: column[: args.limit] for name, column in columns.items()}
    return dict(columns)


_CHUNK_BYTES = 16 << 20  # decoded per call; the progress bar moves between calls


def _decode_fixed(data: Any, recipe: Any, packet_bytes: int) -> dict[str, Any]:
    import numpy as np

    view = memoryview(data)
    size = len(view)
    step = max(1, _CHUNK_BYTES // packet_bytes) * packet_bytes
    if size <= step or size % packet_bytes:  # one call: its error names the whole file's bytes
        return dict(unpack_columns(view, recipe, packet_bytes=packet_bytes))
    show = sys.stderr.isatty()
    parts: list[dict[str, Any]] = []
    for start in range(0, size, step):
        try:
            parts.append(
                unpack_columns(view[start : start + step], recipe, packet_bytes=packet_bytes)
            )
        except _DATA_ERRORS:
            # decode from the start in one call, so that the error counts
            # packets and bytes from the start of the file
            unpack_columns(view, recipe, packet_bytes=packet_bytes)
            raise
        if show:
            done = min(size, start + step)
            bar = "#" * (30 * done // size)
            sys.stderr.write(f"\rdecoding [{bar:<30}] {100 * done // size:3d}%")
            sys.stderr.flush()
    if show:
        sys.stderr.write("\n")
    return {name: np.concatenate([part[name] for part in parts]) for name in parts[0]}


def _rows(columns: dict[str, Any]) -> list[list[Any]]:
    lists = [column.tolist() for column in columns.values()]
    return [list(row) for row in zip(*lists, strict=True)]


def _json_value(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    return value


def _cell(value: Any) -> str:
    """A table cell: text with its unprintable characters escaped (NUL as \\x00)."""
    if not isinstance(value, str):
        return str(value)
    return "".join(
        c if c.isprintable() else f"\\x{ord(c):02x}" if ord(c) < 256 else f"\\u{ord(c):04x}"
        for c in value
    )


def _csv_line(row: list[Any]) -> str:
    """A CSV line as the csv module of Python 3.11 and later writes it, NUL
    characters as they are, where that of 3.10 refuses them."""
    cells = []
    for value in row:
        text = str(value)
        if any(c in text for c in ',"\r\n'):
            text = '"' + text.replace('"', '""') + '"'
        cells.append(text)
    return ",".join(cells) + "\n"


def _render(form: str, columns: dict[str, Any]) -> str:
    """The whole output as text, made before a byte of it is written."""
    names = list(columns)
    rows = _rows(columns)
    text = io.StringIO()
    if form == "csv":
        writer = csv.writer(text, lineterminator="\n")
        writer.writerow(names)
        for row in rows:
            if any(isinstance(value, str) and "\0" in value for value in row):
                text.write(_csv_line(row))
            else:
                writer.writerow(row)
    elif form == "jsonl":
        for row in rows:
            record = {name: _json_value(value) for name, value in zip(names, row, strict=True)}
            text.write(json.dumps(record, ensure_ascii=False) + "\n")
    else:
        cells = [names, *([_cell(value) for value in row] for row in rows)]
        widths = [max(len(row[i]) for row in cells) for i in range(len(names))]
        for row in cells:
            text.write(
                "  ".join(cell.rjust(width) for cell, width in zip(row, widths, strict=True))
            )
            text.write("\n")
    return text.getvalue()


def _cmd_decode(args: argparse.Namespace, out: IO[str]) -> int:
    if args.apid is not None and not args.ccsds:
        raise _Usage("--apid needs --ccsds")
    if args.format == "parquet":
        if args.out is None:
            raise _Usage("--format parquet needs --out PATH")
        try:
            import pyarrow as pa
            import pyarrow.parquet as pq
        except ImportError:
            raise _Failure(
                "--format parquet needs pyarrow, which is not installed (pip install pyarrow)"
            ) from None
        table = pa.table(_decode_columns(args))
        with atomic_write(args.out, "wb") as handle:
            pq.write_table(table, handle)
        return 0
    text = _render(args.format, _decode_columns(args))
    if args.out is None:
        out.write(text)
    else:
        with atomic_write(args.out, "w", encoding="utf-8", newline="") as handle:
            handle.write(text)
    return 0


class _Usage(Exception):
    """A usage error found after parsing (exit code 2)."""


_COMMANDS = {"check": _cmd_check, "split": _cmd_split, "decode": _cmd_decode}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); returns the exit code."""
    command = "bitloom"
    try:
        args = _parser().parse_args(argv)
        command = f"bitloom {args.command}"
        return _COMMANDS[args.command](args, sys.stdout)
    except KeyboardInterrupt:
        sys.stderr.write("bitloom: interrupted\n")
        return 130
    except _Usage as exc:
        sys.stderr.write(f"bitloom: error: {exc} (see '{command} --help')\n")
        return 2
    except BrokenPipeError:
        sys.stderr.close()  # the reader went away (e.g. piped into head)
        return 0
    except _Failure as exc:
        sys.stderr.write(f"bitloom: error: {exc}\n")
        return 1
    except (*_DATA_ERRORS, csv.Error, RecursionError, MemoryError) as exc:
        # Bad input found while reading or decoding it: a recipe nested
        # deeper than a parser goes, data too large for memory.
        sys.stderr.write(f"bitloom: error: {_message(exc)}\n")
        return 1
