"""The ``bitloom`` command line: check recipes, list CCSDS packets, decode captures.

Run ``bitloom --help`` or ``python -m bitloom_bulk --help``.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import errno
import io
import json
import math
import os
import stat
import sys
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import IO, Any

import numpy as np

from bitloom_bulk._files import atomic_write
from bitloom_bulk._native import unpack_columns
from bitloom_bulk._quality import (
    IDLE_APID,
    Quality,
    check_packets,
    first_foreign,
    garbage_message,
    kept_bytes,
)
from bitloom_bulk._recipe_load import _FORMATS as _RECIPE_SUFFIXES
from bitloom_bulk._stream import split_ccsds, unpack_ccsds
from bitloom_bulk.recipes import check_recipe, load_recipe

__all__ = ["main"]

EXIT_CODES = """\
exit codes:
  0  success (check: no findings)
  1  check found something, or a file or its data could not be read or decoded
  2  wrong usage (unknown option, missing argument)
  3  --check-crc found packets whose CRC does not match (left out of the output)
  4  nothing to decode: the input is empty, or the APID is not in the stream
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


_CHECK_CRC_HELP = (
    "check the CRC-16-CCITT in the last two bytes of every packet but the idle ones"
    " and print a summary line of the data quality on stderr"
)
_RECIPE_FORMAT: dict[str, Any] = {
    "choices": ("json", "toml", "csv"),
    "help": "the recipe file's format, where its suffix does not say it",
}
EXIT_CRC_FAULTS = 3
EXIT_NOTHING = 4


class _Checker:
    """The data quality of a CCSDS input read in blocks (--check-crc): the
    CRC of every packet but the idle ones, and sequence counts followed
    across blocks, as ``split_ccsds(..., crc="ccitt")`` over the whole input
    reports them. A header whose version field differs from the first
    header's is an error."""

    def __init__(self) -> None:
        self.quality = Quality()
        self._last: dict[int, tuple[int, int]] = {}
        self._packets = 0
        self._version: int | None = None  # the version field of the input's headers

    def check(self, block: Any, frames: Any, start: int) -> Any:
        """Which packets of ``frames`` (framed from ``block``, the input's
        bytes from ``start``) pass their CRC check (idle ones included)."""
        foreign, version = first_foreign(block, frames, self._version)
        if foreign is not None:
            message = garbage_message(block, frames, foreign, version, self._packets, start)
            raise ValueError(message)
        self._version = version
        quality, keep, last = check_packets(
            block,
            frames,
            crc="all",
            first_packet=self._packets,
            first_offset=start,
            before=self._last,
        )
        self._last.update(last)
        self._packets += len(frames.offsets)
        self.quality.add(quality)
        return keep | (frames.apids == IDLE_APID)


def _parser() -> argparse.ArgumentParser:
    fmt = argparse.RawDescriptionHelpFormatter
    parser = _Parser(
        prog="bitloom",
        description="Check packet recipes, describe packet definitions, list CCSDS packets "
        "and decode packet captures.",
        epilog=EXIT_CODES,
        formatter_class=fmt,
    )
    from bitloom_bulk import __version__

    parser.add_argument("--version", action="version", version=f"bitloom {__version__}")
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
    check.add_argument("--recipe-format", **_RECIPE_FORMAT)

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
    split.add_argument(
        "--out-dir",
        metavar="DIR",
        help="write the packets of each APID to DIR/apidNNNNN.tlm (as ccsdspy's split does)",
    )
    split.add_argument("--check-crc", action="store_true", help=_CHECK_CRC_HELP)

    decode = commands.add_parser(
        "decode",
        help="decode the packets of a file with a recipe or packet definitions",
        description="Decode every packet of FILE with the recipe R, one row per packet;\n"
        "or with packet definitions (--definitions, --xtce) into one file per packet\n"
        "type and per child table in --out-dir.",
        epilog="examples:\n"
        "  bitloom decode frames.bin --recipe frame.json --packet-bytes 24\n"
        "  bitloom decode capture.bin --recipe hk.toml --ccsds --apid 100 "
        "--format csv --out hk.csv\n"
        "  bitloom decode capture.bin --xtce mission.xml --out-dir tables --format jsonl\n\n"
        + EXIT_CODES,
        formatter_class=fmt,
    )
    decode.add_argument("file", metavar="FILE", help="the packets")
    layouts = decode.add_mutually_exclusive_group(required=True)
    layouts.add_argument("--recipe", metavar="R", help="recipe file")
    layouts.add_argument(
        "--definitions",
        metavar="DEF",
        help="packet definitions (.json, .toml, or a ccsdspy .csv); needs --out-dir",
    )
    layouts.add_argument("--xtce", metavar="DEF", help="XTCE definitions; needs --out-dir")
    decode.add_argument("--recipe-format", **_RECIPE_FORMAT)
    framing = decode.add_mutually_exclusive_group()
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
        help="output format (default: table, or csv with --out-dir; "
        "parquet needs pyarrow and --out or --out-dir)",
    )
    decode.add_argument("--out", metavar="PATH", help="write to PATH instead of stdout")
    decode.add_argument("--limit", metavar="N", type=_positive, help="decode the first N packets")
    decode.add_argument(
        "--out-dir",
        metavar="DIR",
        help="with --definitions or --xtce: one file per packet type and per child table",
    )
    decode.add_argument(
        "--errors",
        choices=("raise", "skip"),
        default="raise",
        help="with --definitions or --xtce: stop at a faulty packet (default) or leave it "
        "out and list it on stderr",
    )
    decode.add_argument("--root", metavar="NAME", help="with --xtce: the root container")
    decode.add_argument(
        "--lenient",
        action="store_true",
        help="with --xtce: leave out the types that need elements bitloom refuses "
        "(their packets match no type) instead of stopping",
    )

    describe = commands.add_parser(
        "describe",
        help="list the packet types of definitions",
        description="Load packet definitions and list their types: the test that chooses "
        "each, its fields and their sizes, its child tables; and what was refused and why.",
        epilog="examples:\n  bitloom describe science.toml\n  bitloom describe mission.xml\n\n"
        + EXIT_CODES,
        formatter_class=fmt,
    )
    describe.add_argument(
        "definitions", metavar="DEF", help="definitions (.json, .toml, .xml XTCE, .csv ccsdspy)"
    )
    describe.add_argument(
        "--format",
        choices=("json", "toml", "xtce", "ccsdspy"),
        help="the file's format (default: from its suffix)",
    )
    describe.add_argument("--root", metavar="NAME", help="XTCE: the root container")
    decode.add_argument(
        "--check-crc",
        action="store_true",
        help=_CHECK_CRC_HELP + "; packets that fail are left out (needs --ccsds)",
    )
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


def _message(exc: BaseException) -> str:
    text = str(exc) if not isinstance(exc, KeyError) else f"missing key {exc}"
    if isinstance(exc, MemoryError):
        text = "not enough memory" + (f" ({text})" if text else "")
    if isinstance(exc, OSError) and exc.filename is not None:
        text = f"{exc.filename}: {exc.strerror or exc}"
    notes = getattr(exc, "__notes__", None) or []
    return "; ".join([text.replace("\n", " "), *(n.replace("\n", " ") for n in notes)])


def _load(path: str, fmt: str | None) -> list[dict[str, Any]]:
    if os.path.isdir(path):
        raise _Failure(f"{path}: is a directory, not a recipe file")
    if fmt is None and os.path.splitext(path)[1].lower() not in _RECIPE_SUFFIXES:
        if not os.path.exists(path):  # said first: naming its format would not help
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path)
        raise _Failure(
            f"{path}: cannot tell the recipe format from the suffix; name the file .json,"
            " .toml or .csv, or give --recipe-format json|toml|csv"
        )
    try:
        return load_recipe(path, format=fmt)
    except RecursionError as exc:  # a recipe nested deeper than the parser goes
        raise _Failure(f"{path}: nested too deeply to read ({exc})") from None
    except MemoryError:
        raise _Failure(f"{path}: not enough memory to read it") from None


_PIECE_CHARS = 1 << 20


class _Pieces:
    """Output text made whole before any of it is written, so that a failure
    never leaves half of it behind; kept in pieces of about a mebibyte, which
    are written (and encoded) one at a time."""

    def __init__(self) -> None:
        self.pieces: list[str] = []
        self._lines: list[str] = []
        self._size = 0

    def write(self, text: str) -> None:
        self._lines.append(text)
        self._size += len(text)
        if self._size >= _PIECE_CHARS:
            self.pieces.append("".join(self._lines))
            self._lines.clear()
            self._size = 0

    def write_to(self, out: IO[str]) -> None:
        for piece in [*self.pieces, "".join(self._lines)]:
            out.write(piece)


def _cmd_check(args: argparse.Namespace, out: IO[str]) -> int:
    findings = check_recipe(_load(args.recipe, args.recipe_format), direction=args.direction)
    text = _Pieces()
    for finding in findings:
        text.write(f"{args.recipe}: {finding}\n")
    if not findings:
        text.write(f"{args.recipe}: no findings\n")
    text.write_to(out)
    return 1 if findings else 0


# Bytes read (and decoded) per step. Inputs are read into memory with
# readinto, never mapped: a file another program cuts short while bitloom
# reads it is then an error, where a mapping would kill the process (SIGBUS).
_CHUNK_BYTES = 16 << 20


class _Input:
    """An open input file read in steps. ``size`` is a regular file's size
    when it was opened (None for a pipe or a device, which is read to its
    end); ``end`` is how many bytes to read (the size, or fewer with a limit)."""

    def __init__(self, handle: io.BufferedReader, path: str, limit: int | None) -> None:
        self.handle = handle
        self.path = path
        info = os.fstat(handle.fileno())
        self.size = info.st_size if stat.S_ISREG(info.st_mode) else None
        ends = [n for n in (self.size, limit) if n is not None]
        self.end = min(ends) if ends else None
        self.done = 0  # bytes read so far

    def readinto(self, view: memoryview) -> int:
        """Fills ``view`` (less only where the bytes to read end); a regular
        file that is shorter or longer than when it was opened is an error."""
        want = len(view) if self.end is None else min(len(view), self.end - self.done)
        got = 0
        while got < want:
            n = self.handle.readinto(view[got:want])
            if not n:
                break
            got += n
        self.done += got
        if self.size is not None and (
            got < want or (self.done == self.size and self.handle.read(1))
        ):
            now = os.fstat(self.handle.fileno()).st_size
            raise _Failure(
                f"{self.path}: the file changed size while it was read "
                f"({self.size} bytes when opened, {now} bytes now)"
            )
        return got

    def read_all(self) -> bytes | bytearray:
        """The rest of the bytes to read, in one buffer."""
        end = self.end
        if self.size is None or end is None:  # a pipe or a device: to its end or the limit
            rest = self.handle.read(None if end is None else end - self.done)
            self.done += len(rest)
            return rest
        data = bytearray(end - self.done)
        with memoryview(data) as view:
            self.readinto(view)
        return data

    def rewind(self) -> None:
        self.handle.seek(0)
        self.done = 0


@contextlib.contextmanager
def _opened(path: str, limit: int | None = None) -> Iterator[_Input]:
    with open(path, "rb") as handle:
        yield _Input(handle, path, limit)


def _each_block(source: _Input, use: Callable[[memoryview, int, bool], int]) -> None:
    """Feeds the input to ``use(block, start, last)`` in blocks of about
    _CHUNK_BYTES, ``start`` being the block's first byte in the file. A block
    begins with the bytes the previous call left unused (a packet the block's
    end cut), and ``use`` returns how many bytes of the block it used."""
    step = _CHUNK_BYTES
    buffer = bytearray(step)
    kept = 0
    show = sys.stderr.isatty() and bool(source.end)
    shown = -1  # the bytes read when the progress bar was last drawn
    try:
        while True:
            if kept == len(buffer):  # one packet is longer than a block
                buffer.extend(bytes(step))
            with memoryview(buffer) as whole:
                with whole[kept:] as free:
                    filled = kept + source.readinto(free)
                last = filled < len(buffer)
                with whole[:filled] as block:
                    used = use(block, source.done - filled, last)
            if show and source.end and source.done != shown:
                shown = source.done
                bar = "#" * (30 * source.done // source.end)
                sys.stderr.write(f"\rreading [{bar:<30}] {100 * source.done // source.end:3d}%")
                sys.stderr.flush()
            if last:
                return
            buffer[: filled - used] = buffer[used:filled]
            kept = filled - used
    finally:
        if show:
            sys.stderr.write("\n")


def _in_blocks(
    source: _Input,
    use: Callable[[memoryview, int, bool], int],
    parts: list[Any],
    one_call: Callable[[bytes | bytearray], object],
) -> None:
    """Runs ``use`` over the input block by block, collecting into ``parts``.
    A fault is reported as ``one_call`` over all the bytes reports it, its
    packets and bytes counted from the start of the file: the decoded parts
    are dropped and the file is read again whole (its size in memory, on this
    path only) for that call."""
    try:
        _each_block(source, use)
    except _DATA_ERRORS:
        parts.clear()
        source.rewind()
        one_call(source.read_all())
        raise _Failure(f"{source.path}: the file changed while it was read") from None


def _whole(source: _Input) -> bool:
    """Whether the input is read and decoded in one call: a pipe or device
    (which cannot be read a second time to report a fault), or a file of at
    most one block."""
    return source.size is None or source.end is None or source.end <= _CHUNK_BYTES


def _concatenate(parts: list[dict[str, Any]], empty: dict[str, Any]) -> dict[str, Any]:
    """The parts' columns joined, each part's column released once copied."""
    if not parts:
        return dict(empty)
    if len(parts) == 1:
        return dict(parts[0])
    return {name: np.concatenate([part.pop(name) for part in parts]) for name in list(parts[0])}


def _split_whole(data: Any, checker: _Checker | None) -> tuple[Any, Any]:
    """``split_ccsds`` over all of ``data``, and with a checker which packets
    pass their CRC check (None without one). Bytes that are not packets are
    named before a stream cut short: their length field is garbage too."""
    if checker is None:
        return split_ccsds(data), None
    frames = split_ccsds(data, allow_partial=True)
    keep = checker.check(data, frames, 0)
    if frames.end < len(data):
        split_ccsds(data, offset=frames.end)  # raises what a stream cut short raises
    return frames, keep


def _frames(source: _Input, checker: _Checker | None) -> list[Any]:
    """``split_ccsds`` over the input: offsets, lengths, APIDs, sequence counts."""
    if _whole(source):
        return list(_split_whole(source.read_all(), checker)[0][:4])
    parts: list[Any] = []

    def use(block: memoryview, start: int, last: bool) -> int:
        frames = split_ccsds(block, allow_partial=not last)
        if checker is not None:
            checker.check(block, frames, start)
        parts.append((frames.offsets + start, *frames[1:4]))
        return frames.end

    def one_call(data: bytes | bytearray) -> object:
        return _split_whole(data, None if checker is None else _Checker())

    _in_blocks(source, use, parts, one_call)
    return [np.concatenate(column) for column in zip(*parts, strict=True)]


# What decoding leaves to report once the output is written: the input's
# path, whether it was empty, why its APID found nothing, the CRC checker.
_Report = tuple[str, bool, "str | None", "_Checker | None"]


def _warn(text: str) -> None:
    sys.stderr.write(f"bitloom: warning: {text}\n")


def _outcome(path: str, empty: bool, absent: str | None, checker: _Checker | None) -> int:
    """The exit code once the output is written, with the summary line of
    --check-crc and the warnings on stderr."""
    if checker is not None:
        sys.stderr.write(f"bitloom: {path}: {checker.quality.summary()}\n")
    if empty:
        _warn(f"{path} is empty: there are no packets to read")
        return EXIT_NOTHING
    if absent is not None:
        _warn(f"{path}: {absent}")
        return EXIT_NOTHING
    if checker is not None and checker.quality.crc_faults:
        return EXIT_CRC_FAULTS
    return 0


def _cmd_split(args: argparse.Namespace, out: IO[str]) -> int:
    if args.out_dir is not None:
        if args.count:
            raise _Usage("--count lists the packets; --out-dir writes them: give one")
        if args.check_crc:
            raise _Usage("--check-crc checks a stream; --out-dir splits it into files: give one")
        from bitloom_bulk._cli_defs import split_to_files

        return split_to_files(args)
    checker = _Checker() if args.check_crc else None
    with _opened(args.file) as source:
        offsets, lengths, apids, counts = _frames(source, checker)
        empty = source.done == 0
    text = _Pieces()
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
    text.write_to(out)
    return _outcome(args.file, empty, None, checker)


def _decode_columns(args: argparse.Namespace, checker: _Checker | None = None) -> dict[str, Any]:
    return _decode(args, checker)[0]


def _decode(args: argparse.Namespace, checker: _Checker | None) -> tuple[dict[str, Any], _Report]:
    """The columns, and what to report once they are written."""
    recipe = _load(args.recipe, args.recipe_format)
    if args.packet_bytes is not None:
        limit = None if args.limit is None else args.limit * args.packet_bytes
        with _opened(args.file, limit) as source:
            columns = _decode_fixed(source, recipe, args.packet_bytes)
            empty = source.done == 0
        return columns, (args.file, empty, None, None)
    with _opened(args.file) as source:
        columns, seen = _decode_ccsds(source, recipe, args.apid, checker)
        empty = source.done == 0
    if args.limit is not None:
        columns = {name: column[: args.limit] for name, column in columns.items()}
    absent = None
    if args.apid is not None and args.apid not in seen:
        holds = ", ".join(map(str, sorted(seen))) or "none"
        absent = f"APID {args.apid} is not in the stream (its APIDs: {holds})"
    return columns, (args.file, empty, absent, checker)


def _decode_fixed(source: _Input, recipe: Any, packet_bytes: int) -> dict[str, Any]:
    # A recipe fault raises here, before any data is read.
    empty = unpack_columns(b"", recipe, packet_bytes=packet_bytes)
    if _whole(source) or (source.end or 0) % packet_bytes:
        # One call; for a file that ends with a partial packet, so that the
        # error names the whole file's size.
        return dict(unpack_columns(source.read_all(), recipe, packet_bytes=packet_bytes))
    parts: list[dict[str, Any]] = []

    def use(block: memoryview, start: int, last: bool) -> int:
        whole = len(block) if last else len(block) - len(block) % packet_bytes
        if whole:
            parts.append(unpack_columns(block[:whole], recipe, packet_bytes=packet_bytes))
        return whole

    _in_blocks(
        source, use, parts, lambda data: unpack_columns(data, recipe, packet_bytes=packet_bytes)
    )
    return _concatenate(parts, empty)


def _ccsds_one_call(
    data: bytes | bytearray, recipe: Any, apid: int | None, checker: _Checker | None
) -> tuple[dict[str, Any], set[int]]:
    """The columns of one APID of all of ``data``, and the APIDs it holds."""
    frames, keep = _split_whole(data, checker)
    seen = set(np.unique(frames.apids).tolist())
    if apid is None:
        apid = _only_apid(seen)
    if keep is None or keep.all():
        return dict(unpack_ccsds(data, {apid: recipe})[apid]), seen
    # Its faults count the packets as the whole stream's do, with a note on
    # the packets left out.
    return dict(unpack_ccsds(data, {apid: recipe}, crc="ccitt")[apid]), seen


def _only_apid(apids: Iterable[int]) -> int:
    found = sorted(set(apids))
    if len(found) > 1:
        raise _Failure(
            f"the stream holds APIDs {', '.join(map(str, found))}; choose one with --apid"
        )
    return found[0] if found else 0


def _decode_ccsds(
    source: _Input, recipe: Any, apid: int | None, checker: _Checker | None
) -> tuple[dict[str, Any], set[int]]:
    """The columns of one APID of the input, and the APIDs the input holds."""
    if apid is not None:  # a recipe fault raises here, before any data is read
        unpack_ccsds(b"", {apid: recipe})
    if _whole(source):
        return _ccsds_one_call(source.read_all(), recipe, apid, checker)
    seen: set[int] = set()
    parts: list[dict[str, Any]] = []

    def use(block: memoryview, start: int, last: bool) -> int:
        frames = split_ccsds(block, allow_partial=not last)
        keep = None if checker is None else checker.check(block, frames, start)
        seen.update(np.unique(frames.apids).tolist())
        chosen = apid
        if chosen is None:
            if len(seen) != 1:  # none yet, or several: framing goes on to list them all
                return frames.end
            chosen = next(iter(seen))
        if len(frames.apids):
            data: Any = block[: frames.end]
            if keep is not None and not keep.all():
                data = kept_bytes(block, frames, keep, 0)
            parts.append(unpack_ccsds(data, {chosen: recipe})[chosen])
        return frames.end

    def one_call(data: bytes | bytearray) -> object:
        return _ccsds_one_call(data, recipe, apid, None if checker is None else _Checker())

    _in_blocks(source, use, parts, one_call)
    chosen = _only_apid(seen) if apid is None else apid
    return _concatenate(parts, unpack_ccsds(b"", {chosen: recipe})[chosen]), seen


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


def _csv_line(row: Sequence[Any]) -> str:
    """A CSV line as the csv module of Python 3.11 and later writes it, NUL
    characters as they are, where that of 3.10 refuses them."""
    cells = []
    for value in row:
        text = str(value)
        if any(c in text for c in ',"\r\n'):
            text = '"' + text.replace('"', '""') + '"'
        cells.append(text)
    return ",".join(cells) + "\n"


def _render(form: str, columns: dict[str, Any]) -> _Pieces:
    """The whole output as text, made before any of it is written."""
    names = list(columns)
    rows = zip(*(column.tolist() for column in columns.values()), strict=True)
    text = _Pieces()
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
        for line in cells:
            padded = (cell.rjust(width) for cell, width in zip(line, widths, strict=True))
            text.write("  ".join(padded) + "\n")
    return text


def _cmd_decode(args: argparse.Namespace, out: IO[str]) -> int:
    if args.recipe is None:
        from bitloom_bulk._cli_defs import cmd_decode_definitions

        return cmd_decode_definitions(args)
    for option in ("out_dir", "root"):
        if getattr(args, option) is not None:
            raise _Usage(f"--{option.replace('_', '-')} works with --definitions or --xtce")
    if args.lenient or args.errors != "raise":
        raise _Usage("--errors and --lenient work with --definitions or --xtce")
    if args.packet_bytes is None and not args.ccsds:
        raise _Usage("--recipe needs --packet-bytes N or --ccsds")
    args.format = args.format or "table"
    if args.apid is not None and not args.ccsds:
        raise _Usage("--apid needs --ccsds")
    if args.check_crc and not args.ccsds:
        raise _Usage("--check-crc needs --ccsds")
    checker = _Checker() if args.check_crc else None
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
        columns, report = _decode(args, checker)
        table = pa.table(columns)
        with atomic_write(args.out, "wb") as handle:
            pq.write_table(table, handle)
        return _outcome(*report)
    columns, report = _decode(args, checker)
    text = _render(args.format, columns)
    if args.out is None:
        text.write_to(out)
    else:
        with atomic_write(args.out, "w", encoding="utf-8", newline="") as handle:
            text.write_to(handle)
    return _outcome(*report)


class _Usage(Exception):
    """A usage error found after parsing (exit code 2)."""


def _cmd_describe(args: argparse.Namespace, out: IO[str]) -> int:
    from bitloom_bulk._cli_defs import cmd_describe

    return cmd_describe(args, out)


_COMMANDS = {
    "check": _cmd_check,
    "split": _cmd_split,
    "decode": _cmd_decode,
    "describe": _cmd_describe,
}


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
