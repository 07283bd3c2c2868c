"""Archives of packet files as lazy Dask dataframes.

``read_packets`` turns a list of files (local paths, globs or any URL fsspec
understands) into a ``dask.dataframe.DataFrame`` with one column per recipe item.
Nothing is read when the dataframe is built: its columns and dtypes come from the
recipe alone, and for fixed-length packets the file sizes come from the file
system's metadata. Each task opens and reads its own bytes on the worker (no file
contents travel through the scheduler) and decodes them with ``unpack_columns``,
which runs with the GIL released, so threaded workers scale as well as processes.

Needs the optional dependencies: ``pip install "bitloom-packets[dask]"``.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, Literal, NamedTuple

import bitloom_bulk
from bitloom_bulk import _dask_parts, _definitions_decode, _frames, _quality
from bitloom_bulk._notes import add_note

# The distribution that ships this package; the one place its name is written.
DISTRIBUTION = "bitloom-packets"

try:
    import dask.dataframe as dd
    import numpy as np
    import pandas as pd
    from dask.dataframe.utils import pyarrow_strings_enabled
    from fsspec.core import url_to_fs
except ImportError as exc:  # the extra is not installed
    raise ImportError(
        f"bitloom_bulk.dask needs Dask, distributed, pandas, pyarrow and fsspec "
        f"({exc.name or exc} is missing): "
        f'pip install "{DISTRIBUTION}[dask]"',
        name=exc.name,
    ) from exc

__all__ = [
    "DEFAULT_BLOCKSIZE",
    "DISTRIBUTION",
    "DecodedFrames",
    "Report",
    "read_packets",
    "write_parquet",
]

#: Bytes of fixed-length packets per partition when ``blocksize`` is not given.
#: A partition costs a task (a few milliseconds of scheduling) and its decoded
#: columns must fit a worker's memory a few times over; 64 MiB keeps the task
#: overhead well under a percent of the decoding time while a worker holding a
#: few partitions stays within a few hundred MiB.
DEFAULT_BLOCKSIZE = 64 * 2**20

# A partition of up to this many bytes is read into a buffer that the reading
# thread keeps for its next one. A new bytes object per partition is fresh
# memory that the kernel hands over a page at a time (32,768 page faults for
# 128 MiB, which cost more than copying the bytes out of the page cache);
# the kept buffer has its pages already. Larger partitions get memory of
# their own, so that no thread holds more than this between tasks.
_KEEP_BUFFER = 256 * 2**20


class _Buffers(threading.local):
    kept: bytearray | None = None


_buffers = _Buffers()


def _buffer(size: int) -> bytearray | None:
    """This thread's read buffer, of ``size`` bytes at least, or None where
    ``size`` is more than a thread keeps."""
    if size > _KEEP_BUFFER:
        return None
    kept = _buffers.kept
    if kept is None or len(kept) < size:
        # A new buffer rather than a resized one: a view of the old one may
        # still be alive in a result that failed.
        kept = _buffers.kept = bytearray(size)
    return kept


# One partition: (path, first byte, byte count, number in its file of its first
# packet, the file's size when the graph was built).
_Part = tuple[str, int, int, int, int]


class _Reader:
    """Reads and decodes one partition; runs on the worker. Holds only the
    file system (by its arguments), the compiled layout and a few numbers."""

    # What Dask names its tasks after (else the reader's repr).
    __name__ = "read_packets"

    def __init__(self, fs: Any, layout: Any, packet_bytes: int | None, apid: int | None):
        self.fs = fs
        self.layout = layout
        self.packet_bytes = packet_bytes
        self.apid = apid

    def _read(self, path: str, start: int, count: int, size: int) -> Any:
        """The partition's bytes: a view of this thread's read buffer (see
        _buffer), valid until the thread reads its next partition; every
        decode copies what it keeps out of it."""
        # The partition that ends its file reads one byte more, so that a file
        # that has grown is noticed as surely as one that has shrunk.
        want = count + 1 if start + count == size else count
        buffer = _buffer(want)
        with self.fs.open(path, "rb") as f:
            if start:
                f.seek(start)
            if buffer is None:
                data: Any = f.read(want)
                got = len(data)
            else:
                view = memoryview(buffer)[:want]
                got = _read_into(f, view)
                data = view[:count]
        if got != count:
            self._changed(path, start, count, size, start + got)
        return data

    def _changed(self, path: str, start: int, count: int, size: int, reached: int) -> None:
        """Raise for a file whose bytes ``start`` to ``start + count`` cannot be
        read as planned: it has ``reached`` bytes, or more than ``size``."""
        found = str(reached)
        if reached > size:
            try:
                found = str(self.fs.size(path))
            except Exception:  # the size only goes into the message
                found = f"more than {size}"
        raise OSError(
            f"{path} changed after the dataframe was built: it had {size} bytes, "
            f"now {found}, so its bytes {start} to {start + count} cannot be read as planned"
        )

    def _decode(self, data: Any) -> tuple[dict[str, np.ndarray], np.ndarray | None]:
        if self.packet_bytes is not None:
            return bitloom_bulk.unpack_columns(
                data, self.layout, packet_bytes=self.packet_bytes
            ), None
        split = bitloom_bulk.split_ccsds(data)
        if self.apid is None:
            chosen = np.arange(len(split.offsets))
            offsets, lengths = split.offsets, split.lengths
        else:
            chosen = np.flatnonzero(split.apids == self.apid)
            offsets, lengths = split.offsets[chosen], split.lengths[chosen]
        columns = bitloom_bulk.unpack_columns(data, self.layout, offsets=offsets, lengths=lengths)
        return columns, chosen

    def _note(self, exc: BaseException, part: _Part) -> None:
        """Name the file (and the partition's first packet) on a failure."""
        path, start, _, first_packet, _ = part
        where = f"while reading {path}"
        if start:
            where += f" from byte {start} (packet {first_packet} of the file)"
        add_note(exc, where)

    def boundary(self, path: str, bound: tuple[int, int], end: int, size: int) -> tuple[int, int]:
        """A CCSDS file's next stripe boundary: where the first packet at or
        past byte ``end`` begins and its number in the file, framed from
        ``bound`` (the boundary before, and its packet's number)."""
        start, first_packet = bound
        if end <= start:  # a packet longer than the stripe reached past it
            return bound
        limit = min(end + _dask_parts.HEADER_BYTES, size)
        try:
            with self.fs.open(path, "rb") as f:
                if start:
                    f.seek(start)
                reached = start

                def read_into(view: memoryview) -> int:
                    nonlocal reached
                    got = _read_into(f, view)
                    reached += got
                    if got != len(view):
                        self._changed(path, start, limit - start, size, reached)
                    return got

                found, number = _dask_parts.next_boundary(
                    read_into, start, first_packet, end, limit
                )
                # Framing that reads to the file's end looks one byte further,
                # so that a file that has grown is noticed.
                if limit == size and _read_into(f, memoryview(bytearray(1))):
                    self._changed(path, start, limit - start, size, size + 1)
        except Exception as exc:
            add_note(exc, f"while framing {path} from byte {start}")
            raise
        # A length field past the file's end: the stripe takes the rest of the
        # file and fails to decode there, naming the packet cut short.
        return min(found, size), number

    def __call__(self, part: _Part) -> pd.DataFrame:
        path, start, count, first_packet, size = part
        try:
            columns, numbers = self._decode(self._read(path, start, count, size))
        except Exception as exc:
            self._note(exc, part)
            raise
        if numbers is None:
            n = len(next(iter(columns.values()))) if columns else 0
            index = pd.RangeIndex(first_packet, first_packet + n, name="packet")
        else:
            index = pd.Index(numbers + first_packet, name="packet")
        return pd.DataFrame(columns, index=index, copy=False)


def _read_into(f: Any, view: memoryview) -> int:
    """Fill ``view`` from file ``f`` (fewer bytes only at its end)."""
    done = 0
    readinto = getattr(f, "readinto", None)
    while done < len(view):
        if readinto is not None:
            got = readinto(view[done:]) or 0
        else:
            piece = f.read(len(view) - done)
            got = len(piece)
            view[done : done + got] = piece
        if got == 0:
            break
        done += got
    return done


def _span(path: str, bound: tuple[int, int], after: tuple[int, int], size: int) -> _Part:
    """The partition between two stripe boundaries."""
    return (path, bound[0], after[0] - bound[0], bound[1], size)


class _Stripe(NamedTuple):
    """A stripe of a CCSDS file whose boundaries framing tasks find: each
    a ``dask.delayed`` of (first byte, number of its packet), or a pair."""

    path: str
    bound: Any
    after: Any
    size: int


def _read_stripe(
    reader: _Reader, path: str, bound: tuple[int, int], after: tuple[int, int], size: int
) -> Any:
    return reader(_span(path, bound, after, size))


def _decode_task(reader: _Reader, part: _Part | _Stripe, pure: bool = False) -> Any:
    """The delayed decode of a partition: a stripe's task takes its
    boundaries from the framing tasks directly (no task between)."""
    from dask import delayed

    if isinstance(part, _Stripe):
        return delayed(_read_stripe, pure=pure)(reader, *part)
    return delayed(reader, pure=pure)(part)


def _ccsds_parts(
    reader: _Reader, path: str, size: int, blocksize: int | Literal["file"]
) -> list[Any]:
    """A CCSDS file's partitions: the whole file, or stripes of about
    ``blocksize`` bytes ended at packet boundaries by a chain of framing
    tasks (delayed partitions)."""
    if blocksize == "file" or size <= blocksize:
        return [(path, 0, size, 0, size)]
    from dask import delayed

    parts: list[Any] = []
    bound: Any = (0, 0)
    for end in _dask_parts.stripe_ends(size, blocksize)[:-1]:
        after = delayed(reader.boundary, pure=True)(path, bound, end, size)
        parts.append(_Stripe(path, bound, after, size))
        bound = after
    parts.append(_Stripe(path, bound, (size, 0), size))
    return parts


class DecodedFrames(dict[str, Any]):
    """What ``read_packets`` gives for packet definitions: a lazy dataframe per
    concrete type and per child table (``"<type>/<item>"``), by name, and in
    ``report`` a ``dask.delayed`` that computes a :class:`Report` of every
    partition's faults and unmatched packets; with ``quality=True`` or ``crc``,
    ``quality`` a ``dask.delayed`` that computes the stream's
    :class:`~bitloom_bulk.Quality` (None otherwise)."""

    report: Any
    quality: Any

    def __init__(self, frames: dict[str, Any], report: Any, quality: Any = None) -> None:
        super().__init__(frames)
        self.report = report
        self.quality = quality


class Report(NamedTuple):
    """The faults of a decode over files: ``faults`` lists ``(path, offset,
    type, item, message, severity)`` with ``offset`` the packet's first byte
    in its file, in file and packet order; ``unmatched`` counts the packets of
    no concrete type, ``{apid: count}`` (``{None: count}`` for fixed-size
    packets)."""

    faults: list[tuple[str, int, str, str, str, str]]
    unmatched: dict[int | None, int]


_REPORT = "\0report"  # a partition's report, beside its tables
_QUALITY = "\0quality"  # a partition's data quality, beside its tables


class _DefinitionsReader(_Reader):
    """Reads and decodes one partition with packet definitions; runs on the
    worker. Gives every table as a DataFrame and the partition's report."""

    def __init__(
        self,
        fs: Any,
        definitions: Any,
        packet_bytes: int | None,
        derived: bool,
        errors: str,
        quality: bool = False,
        crc: str | frozenset[int] | None = None,
    ) -> None:
        super().__init__(fs, None, packet_bytes, None)
        self.definitions = definitions
        self.derived = derived
        self.errors = errors
        self.quality = quality
        self.crc = crc
        self.binary = _binary_columns(definitions, derived)
        self.categorical = _categorical_columns(definitions, derived)
        # The text columns of each table that go to Arrow strings, as Dask
        # itself would convert them (set once the tables' dtypes are known).
        self.text: dict[str, list[str]] = {}

    def decode(self, data: Any) -> Any:
        """``Definitions.decode`` of a partition's bytes, its enumerations
        as codes of their categories."""
        return _definitions_decode.decode(
            self.definitions,
            data,
            packet_bytes=self.packet_bytes,
            offsets=None,
            lengths=None,
            offset=0,
            derived=self.derived,
            errors=self.errors,
            codes=bool(self.categorical),
        )

    def tables(self, decoded: Any) -> dict[str, Any]:
        """A decode's tables as DataFrames: enumerations categorical, bytes
        as Arrow binary."""
        tables = _frames.tables_to_pandas(decoded, self.categorical)
        for name, columns in self.text.items():
            frame = tables.get(name)
            if frame is not None and columns:
                tables[name] = frame.astype(dict.fromkeys(columns, pd.StringDtype("pyarrow")))
        return _with_binary(tables, self.binary)

    def __call__(self, part: _Part) -> dict[str, Any]:
        path, start, count, _, size = part
        out: dict[str, Any] = {}
        try:
            data = self._read(path, start, count, size)
            kept = None
            if self.quality:
                found, frames, kept = _dask_parts.part_quality(data, self.crc)
                out[_QUALITY] = found
                if kept is not None:  # packets failing their CRC leave the data
                    rows = np.flatnonzero(kept)
                    data = _quality.kept_bytes(data, frames, kept, 0)
            decoded = self.decode(data)
        except Exception as exc:
            self._note(exc, part)
            raise
        out.update(self.tables(decoded))
        if kept is None:
            faults = [
                (path, start + f.offset, f.type, f.item, f.message, f.severity)
                for f in decoded.faults
            ]
        else:  # positions in the file of the packets decoded
            faults = [
                (
                    path,
                    start + int(frames.offsets[rows[f.packet]]),
                    f.type,
                    f.item,
                    f.message,
                    f.severity,
                )
                for f in decoded.faults
            ]
        out[_REPORT] = Report(faults, dict(decoded.unmatched))
        return out


def _binary_columns(definitions: Any, derived: bool) -> dict[str, list[str]]:
    """The columns of bytes objects of each type's table: binary fields (but
    time codes, when derived)."""
    found: dict[str, list[str]] = {}
    for node in definitions.nodes():
        if node.abstract:
            continue
        found[node.name] = [
            item.name
            for item in node.fields()
            if item.encoding == "binary"
            and item.column
            and item.kind == "binary"
            and not (derived and "time" in item.derived)
        ]
    return found


def _categorical_columns(definitions: Any, derived: bool) -> dict[str, dict[str, Any]]:
    """The enumerated items of each table (a type's, or a child table's for
    an array counted per packet) with their categorical dtypes: the
    enumeration's distinct labels, in the order of their lowest raw values."""
    found: dict[str, dict[str, Any]] = {}
    if not derived:
        return found
    for node in definitions.nodes():
        if node.abstract:
            continue
        for item in node.fields():
            labels = item.derived.get("enumeration")
            if labels is None:
                continue
            categories, _ = _definitions_decode.enumeration_categories(labels)
            table = node.name if item.column else f"{node.name}/{item.name}"
            found.setdefault(table, {})[item.name] = pd.CategoricalDtype(categories)
    return found


def _with_binary(tables: dict[str, Any], binary: dict[str, list[str]]) -> dict[str, Any]:
    """Columns of bytes as Arrow binary columns: Dask would read an object
    column as text and fail on bytes."""
    import pyarrow

    for name, columns in binary.items():
        frame = tables.get(name)
        for column in columns:
            if frame is not None and column in frame.columns:
                frame[column] = frame[column].astype(pd.ArrowDtype(pyarrow.binary()))
    return tables


def _table(tables: dict[str, Any], name: str) -> Any:
    return tables[name]


def _report(*reports: Report) -> Report:
    faults: list[tuple[str, int, str, str, str, str]] = []
    unmatched: dict[int | None, int] = {}
    for report in reports:
        faults += report.faults
        for key, count in report.unmatched.items():
            unmatched[key] = unmatched.get(key, 0) + count
    return Report(faults, unmatched)


def _join_quality(*parts: _dask_parts.PartQuality) -> Any:
    return _dask_parts.join_quality(list(parts))


def _is_object(dtype: Any) -> bool:
    return isinstance(dtype, np.dtype) and dtype.kind == "O"


def _frame_of(tasks: list[Any], name: str, meta: pd.DataFrame) -> Any:
    """The dataframe of one table: a partition per decode task, each one
    task taking its table from the task's result. Built from the graph
    itself, as ``from_delayed`` would add two more tasks per partition."""
    from dask import delayed

    pieces = [delayed(_table, pure=True)(task, name) for task in tasks]
    graph: dict[Any, Any] = {}
    for piece in pieces:
        graph.update(piece.__dask_graph__())
    return dd.from_graph(
        graph,
        meta,
        (None,) * (len(pieces) + 1),
        [piece.key for piece in pieces],
        "read-packets-table",
    )


def _read_definitions(
    reader: _DefinitionsReader,
    parts: list[Any],
    definitions: Any,
    packet_bytes: int | None,
    derived: bool,
) -> DecodedFrames:
    from dask import delayed

    # Every table's columns and dtypes from a decode of no packets: no file is read.
    empty = reader.tables(reader.decode(b""))
    if pyarrow_strings_enabled():
        # Text (object columns but binary) as the Arrow strings Dask makes of
        # it, made in the decode's task rather than by a task of Dask's.
        reader.text = {
            name: [c for c, dtype in frame.dtypes.items() if _is_object(dtype)]
            for name, frame in empty.items()
        }
        empty = reader.tables(reader.decode(b""))
    # One task decodes a partition; each table takes its part of it, so that
    # computing several tables together decodes each partition once.
    tasks = [_decode_task(reader, part) for part in parts]
    frames = {name: _frame_of(tasks, name, meta) for name, meta in empty.items()}
    report = delayed(_report, pure=True)(*[delayed(_table, pure=True)(t, _REPORT) for t in tasks])
    quality = None
    if reader.quality:
        quality = delayed(_join_quality, pure=True)(
            *[delayed(_table, pure=True)(t, _QUALITY) for t in tasks]
        )
    return DecodedFrames(frames, report, quality)


def _meta(layout: Any, packet_bytes: int | None) -> pd.DataFrame:
    if packet_bytes is not None:
        columns = bitloom_bulk.unpack_columns(b"", layout, packet_bytes=packet_bytes)
    else:
        none = np.zeros(0, dtype=np.int64)
        columns = bitloom_bulk.unpack_columns(b"", layout, offsets=none, lengths=none)
    index = pd.RangeIndex(0, 0, name="packet")
    return pd.DataFrame(columns, index=index, copy=False)


def _size(fs: Any, path: str) -> int:
    try:
        return int(fs.info(path)["size"])
    except Exception as exc:
        add_note(exc, f"while looking up the size of {path}")
        raise


def _blocks(
    paths: Sequence[str],
    sizes: Sequence[int],
    packet_bytes: int,
    blocksize: int | Literal["file"],
) -> list[_Part]:
    parts: list[_Part] = []
    for path, size in zip(paths, sizes, strict=True):
        if blocksize == "file":
            parts.append((path, 0, size, 0, size))
            continue
        per_block = max(1, blocksize // packet_bytes) * packet_bytes
        start = 0
        # Every block but the last holds whole packets; the last one holds the
        # rest of the file, so a trailing partial packet reaches the decoder and
        # fails there with its own message.
        while size - start > per_block + (size % packet_bytes):
            parts.append((path, start, per_block, start // packet_bytes, size))
            start += per_block
        parts.append((path, start, size - start, start // packet_bytes, size))
    return parts


def _resolve(fs: Any, paths: str | Iterable[str]) -> list[str]:
    """The files to read: a list names its files literally; a single string
    is a glob where fsspec's own readers take it as one (it holds ``*``),
    unless it names an existing file."""
    if not isinstance(paths, str):
        return [fs._strip_protocol(url) for url in paths]
    path = fs._strip_protocol(paths)
    if "*" not in path or fs.isfile(path):
        return [path]
    matches = sorted(fs.glob(path))
    if not matches:
        raise FileNotFoundError(f"no files match {paths!r}")
    return matches


def read_packets(
    paths: str | Iterable[str],
    recipe: Any,
    *,
    packet_bytes: int | None = None,
    apid: int | None = None,
    blocksize: int | Literal["file"] | None = None,
    storage_options: Mapping[str, Any] | None = None,
    derived: bool = True,
    errors: Literal["raise", "skip"] = "raise",
    quality: bool = False,
    crc: str | Mapping[int, str] | None = None,
) -> Any:
    """A lazy dataframe of the packets in ``paths``, one column per recipe item;
    or, for packet definitions, a :class:`DecodedFrames` of one lazy dataframe
    per type and child table.

    ``paths``: a path or URL, or a list of them, each naming one file as it is
    written (``[`` and ``?`` included); or a single string with ``*`` in it, a
    glob (``s3://bucket/day-*.bin``, where ``?`` and ``[...]`` then match as in
    a glob), as fsspec's own readers take one, unless a file has that very
    name. Files are taken in the order given (a glob's matches sorted by name),
    and rows within a file in packet order. ``recipe``: a recipe or a
    ``Layout``; it is compiled here, so a recipe fault raises now with
    ``compile``'s message.

    With ``packet_bytes`` every file is a run of fixed-length packets, and each
    partition holds ``blocksize`` bytes of them (rounded down to whole packets,
    :data:`DEFAULT_BLOCKSIZE` if not given), or one whole file with
    ``blocksize="file"``. Without ``packet_bytes`` every file is a stream of CCSDS
    space packets, and ``apid`` picks the APID whose packets the recipe decodes
    (all packets if None); a file larger than ``blocksize`` is cut into stripes
    of about that size, each ended at the next packet boundary by a small
    framing task on a worker that reads that stripe (CCSDS streams have no sync
    marker: a chain of these tasks frames the file from its start, and each
    stripe decodes as soon as its two boundaries are known), so one large file
    keeps every worker busy; a packet that spans a stripe's nominal end is
    decoded once, with the stripe where it begins. File sizes are looked up
    here (``fs.info``, no contents read), so a missing file raises now.

    The index, named ``packet``, is each packet's number in its file (for CCSDS,
    counting the packets of every APID, as ``split_ccsds`` lists them); it
    restarts with each file, so divisions are unknown.

    Decoding errors, unreadable or missing files surface when the dataframe is
    computed, as the exception ``unpack_columns``/``split_ccsds`` (or the file
    system) raises, with a note naming the file (and the first packet of the
    partition). A file whose size has changed since the dataframe was built
    raises OSError naming the file and both sizes, from the partition whose
    bytes are no longer all there or, where the file has grown, from the one
    that ends the file: never a result of fewer (or other) rows than planned.

    ``recipe`` may be packet definitions (a ``Definitions``, from
    ``load_xtce``, ``load_ccsdspy``, ``load_definitions`` or built in Python):
    each partition is decoded by ``Definitions.decode`` (with ``derived`` and
    ``errors``) on a worker, and the result maps every concrete type and child
    table to a lazy dataframe of its table (as ``Decoded.to_pandas`` gives it;
    the index restarts with each partition, and a child table's ``packet``
    is the row of its type's table in the same partition: the tables'
    partitions align, one per block or file; binary fields as Arrow binary
    columns, text as Dask makes it; with ``derived``, enumerations as
    categorical columns whose categories are the enumeration's distinct labels
    in the order of their lowest raw values, a raw value without a label
    missing), whose columns and dtypes come from the definitions alone. Computed together (``dask.compute(*frames.values())``)
    they decode each partition once. With ``errors="skip"``,
    ``frames.report`` computes a :class:`Report`: every fault with its file and
    the packet's byte offset in it, and the unmatched packets counted.

    ``quality=True`` (CCSDS streams with definitions) gives ``frames.quality``,
    a ``dask.delayed`` of the :class:`~bitloom_bulk.Quality` of the files' bytes
    end to end, in the order given: what ``split_ccsds(data, crc=crc).quality``
    reports for their concatenation (packet numbers and byte offsets counted
    from the first file's start, gaps and repeats across partitions and files
    included), each partition's share worked out in its own task. ``crc``
    (``"ccitt"`` or ``{apid: "ccitt"}``, as ``unpack_ccsds`` takes it) implies
    ``quality``; packets failing their CRC are left out of the tables.
    """
    definitions = recipe if isinstance(recipe, bitloom_bulk.Definitions) else None
    if definitions is not None and apid is not None:
        raise TypeError("apid selects a recipe's packets; packet definitions choose their own")
    if definitions is None and (derived is not True or errors != "raise"):
        raise TypeError("derived and errors go with packet definitions, not with a recipe")
    checked = _quality.crc_apids(crc)
    quality = bool(quality) or checked is not None
    if quality and (definitions is None or packet_bytes is not None):
        raise TypeError(
            "quality and crc go with packet definitions over CCSDS streams"
            " (no packet_bytes), not with a recipe or fixed-size packets"
        )
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    if packet_bytes is not None and apid is not None:
        raise TypeError("apid selects packets of CCSDS streams; it does not go with packet_bytes")
    if packet_bytes is not None and (
        isinstance(packet_bytes, bool) or not isinstance(packet_bytes, int) or packet_bytes <= 0
    ):
        raise ValueError(f"packet_bytes must be a positive integer, not {packet_bytes!r}")
    if blocksize is None:
        blocksize = DEFAULT_BLOCKSIZE
    if blocksize != "file" and (
        isinstance(blocksize, bool) or not isinstance(blocksize, int) or blocksize <= 0
    ):
        raise ValueError(
            f'blocksize must be a positive number of bytes or "file", not {blocksize!r}'
        )

    layout = None
    if definitions is None:
        layout = recipe if isinstance(recipe, bitloom_bulk.Layout) else bitloom_bulk.compile(recipe)

    if not isinstance(paths, str):
        paths = list(paths)
    if not paths:
        raise ValueError("no paths given")
    first = paths if isinstance(paths, str) else paths[0]
    fs, _ = url_to_fs(first, **dict(storage_options or {}))
    resolved = _resolve(fs, paths)
    sizes = [_size(fs, path) for path in resolved]

    reader: _Reader
    if definitions is not None:
        reader = _DefinitionsReader(
            fs, definitions, packet_bytes, bool(derived), errors, quality, checked
        )
    else:
        reader = _Reader(fs, layout, packet_bytes, apid)
    parts: list[Any]
    if packet_bytes is None:
        parts = [
            part
            for path, size in zip(resolved, sizes, strict=True)
            for part in _ccsds_parts(reader, path, size, blocksize)
        ]
    else:
        parts = list(_blocks(resolved, sizes, packet_bytes, blocksize))

    if isinstance(reader, _DefinitionsReader):
        return _read_definitions(reader, parts, definitions, packet_bytes, bool(derived))
    if not any(isinstance(part, _Stripe) for part in parts):
        return dd.from_map(
            reader,
            parts,
            meta=_meta(layout, packet_bytes),
            label="read-packets",
            enforce_metadata=False,
        )
    return dd.from_delayed(
        [_decode_task(reader, part, pure=True) for part in parts],
        meta=_meta(layout, packet_bytes),
        verify_meta=False,
    )


# Parquet datasets of decoded tables ------------------------------------------

#: The column a callable of ``write_parquet``'s ``partition_on`` fills, and so
#: the key of its hive directories (``partition=2026-01-05/``).
_PARTITION = "partition"
# The name hive readers give a missing partition value: written as a value it
# would read back as missing.
_HIVE_NULL = "__HIVE_DEFAULT_PARTITION__"
# Part files: part-<run>-<token>-<partition>.parquet. The run number (one more
# than the highest in the dataset) sorts a later write's files after an earlier
# one's, for readers that take files in name order; the random token keeps two
# writes that picked the same number (appending at the same time) from ever
# writing the same name.
_PART_FILE = r"part-(\d{6,})-([0-9a-f]{8})-(\d{6,})\.parquet"


def _part_name(run: int, token: str, number: int) -> str:
    return f"part-{run:06d}-{token}-{number:06d}.parquet"


def _table_directories(names: Iterable[object]) -> dict[str, str]:
    """The directory of each table's dataset, under the one written to: a
    type's name, or ``<type>.<item>`` for its child table ``<type>/<item>``,
    so that a child's files are never among its type's."""
    found: dict[str, str] = {}
    taken: dict[str, str] = {}
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"table names must be str, not {name!r}")
        parts = name.split("/")
        if len(parts) > 2 or any(
            not part or part.startswith(".") or "\\" in part or "\0" in part for part in parts
        ):
            raise ValueError(
                f"cannot write table {name!r}: its dataset goes to a directory named after it, "
                "so the name must be a type's or '<type>/<item>', each part non-empty, "
                "not starting with '.' and without '\\'"
            )
        directory = ".".join(parts)
        # Compared ignoring case: on many file systems "HK" and "hk" are one directory.
        other = taken.setdefault(directory.casefold(), name)
        if other != name:
            raise ValueError(
                f"tables {other!r} and {name!r} would both be written to the directory "
                f"{directory!r} (names are compared ignoring case, as many file systems do)"
            )
        found[name] = directory
    return found


_Key = str | Callable[[Any], Any]


def _partition_keys(
    frames: Mapping[str, Any], partition_on: str | Mapping[str, _Key] | None
) -> dict[str, _Key]:
    """Each partitioned table's key: the column, or the callable, that
    ``partition_on`` gives it; checked against the tables' columns."""
    if partition_on is None:
        return {}
    if isinstance(partition_on, str):
        keys: dict[str, _Key] = {
            name: partition_on for name, frame in frames.items() if partition_on in frame.columns
        }
        if not keys:
            raise ValueError(f"partition_on={partition_on!r}: no table has that column")
    elif isinstance(partition_on, Mapping):
        unknown = [name for name in partition_on if name not in frames]
        if unknown:
            raise ValueError(f"partition_on names tables that are not being written: {unknown}")
        keys = dict(partition_on)
    else:
        raise TypeError(
            "partition_on must be None, a column name or a mapping of table names to "
            f"column names or callables, not {type(partition_on).__name__}"
        )
    for name, key in keys.items():
        columns = list(frames[name].columns)
        if isinstance(key, str):
            if key not in columns:
                raise ValueError(f"partition_on: table {name!r} has no column {key!r}")
            if any(c in key for c in "=/\\%"):
                raise ValueError(
                    f"partition_on: table {name!r}: the column {key!r} cannot key hive "
                    "directories (a key holds no '=', '/', '\\' or '%')"
                )
            if columns == [key]:
                raise ValueError(
                    f"partition_on: table {name!r} has no column but {key!r}, which "
                    "the directories would hold: its files would have no data"
                )
        elif callable(key):
            if _PARTITION in columns:
                raise ValueError(
                    f"partition_on: table {name!r} has a column {_PARTITION!r} already; "
                    "a callable's values go into a column of that name"
                )
        else:
            raise TypeError(
                f"partition_on: table {name!r}: a column name or a callable, not {key!r}"
            )
    return keys


class _Partitioner:
    """Checks a partition's hive partition values, computing them first from
    a callable; runs on the worker."""

    def __init__(self, table: str, key: _Key) -> None:
        self.table = table
        self.key = key

    def __call__(self, frame: pd.DataFrame) -> pd.DataFrame:
        if isinstance(self.key, str):
            column, what = self.key, f"the column {self.key!r}"
            values = frame[column]
        else:
            column, what = _PARTITION, "partition_on's callable"
            got = self.key(frame)
            array = np.asarray(got, dtype=object)
            if array.shape != (len(frame),):
                raise ValueError(
                    f"table {self.table!r}: {what} gave values of shape {array.shape} for "
                    f"{len(frame)} rows"
                )
            values = pd.Series(array, index=frame.index)
        missing = values.isna()
        if missing.any():
            raise ValueError(
                f"table {self.table!r}: {what} has no value in {int(missing.sum())} of "
                f"{len(frame)} rows; each row needs one to name its partition directory"
            )
        for value in values.unique():
            text = f"{value}"
            # A separator would nest (or lead out of) the directory; hive readers
            # undo '%' escapes, so '%' would not read back as written.
            if not text or text == _HIVE_NULL or any(c in text for c in "/\\%"):
                raise ValueError(
                    f"table {self.table!r}: {what} gave the value {text!r}, which cannot "
                    "name a partition directory (it is empty, holds '/', '\\' or '%', "
                    f"or is {_HIVE_NULL})"
                )
        if column == _PARTITION:
            frame = frame.assign(**{_PARTITION: values.astype(str)})
        return frame


class _Existing(NamedTuple):
    run: int  # the number of this write's part files
    sample: str | None  # one part file of the dataset there, if any


def _existing(fs: Any, target: str, table: str, columns: list[str], append: bool) -> _Existing:
    """What a table's directory holds already. Raises where writing there
    would replace data or mix it: any file at all without ``append``; with
    it, files not written by ``write_parquet`` or partitioned otherwise."""
    import re

    if not fs.exists(target):
        return _Existing(0, None)
    if not fs.isdir(target):
        raise FileExistsError(f"cannot write table {table!r}: {target} is a file")
    files = sorted(fs.find(target))
    if files and not append:
        raise FileExistsError(
            f"cannot write table {table!r}: {target} holds a dataset already "
            f"({len(files)} files); append=True adds to it"
        )
    runs: list[int] = []
    sample = None
    for path in files:
        *directories, name = path[len(target) :].strip("/").split("/")
        if name.startswith("."):  # hidden: readers pass over it
            continue
        found = re.fullmatch(_PART_FILE, name)
        if found is None:
            raise ValueError(
                f"cannot append to table {table!r}: {path} is not a part file of "
                "write_parquet, so the rows' order (or, for a _metadata file, which "
                "files readers see) could not be kept"
            )
        keys = [d.partition("=")[0] if "=" in d else None for d in directories]
        if keys != columns:
            raise ValueError(
                f"cannot append to table {table!r}: its dataset in {target} is "
                f"partitioned on {keys or 'no column'}, this write on {columns or 'no column'}"
            )
        runs.append(int(found[1]))
        sample = path
    return _Existing(max(runs, default=-1) + 1, sample)


def _same_schema(fs: Any, table: str, existing: str, staged: str) -> None:
    """Refuses to append files whose columns differ from the dataset's."""
    import pyarrow.parquet as pq

    with fs.open(existing, "rb") as f:
        before = pq.read_schema(f).remove_metadata()
    with fs.open(staged, "rb") as f:
        after = pq.read_schema(f).remove_metadata()
    if before.equals(after):
        return
    old = {field.name: str(field.type) for field in before}
    new = {field.name: str(field.type) for field in after}
    changes = [
        f"{name}: {old.get(name, 'absent')} -> {new.get(name, 'absent')}"
        for name in dict.fromkeys([*old, *new])
        if old.get(name) != new.get(name)
    ]
    raise ValueError(
        f"cannot append to table {table!r}: its columns differ from the dataset's in "
        f"{existing.rsplit('/', 1)[0]} ({'; '.join(changes) or 'in their order'})"
    )


def _publish(fs: Any, staged: str, target: str, table: str, append: bool) -> None:
    """Moves a table's staged files into its dataset directory, never over a file."""
    import posixpath

    from fsspec.implementations.local import LocalFileSystem

    if not append and fs.exists(target) and fs.find(target):
        raise FileExistsError(
            f"cannot write table {table!r}: {target} was given files while this write ran"
        )
    if not fs.exists(target) and isinstance(fs, LocalFileSystem):
        # One rename: the dataset appears whole, or not at all.
        os.rename(staged, target)
        return
    for path in sorted(fs.find(staged)):
        destination = target + path[len(staged) :]
        if fs.exists(destination):  # names carry this write's token: never expected
            raise FileExistsError(f"cannot write table {table!r}: {destination} exists")
        fs.makedirs(posixpath.dirname(destination), exist_ok=True)
        fs.mv(path, destination)


def write_parquet(
    frames: Mapping[str, Any],
    directory: str | os.PathLike[str],
    *,
    partition_on: str | Mapping[str, str | Callable[[Any], Any]] | None = None,
    append: bool = False,
    storage_options: Mapping[str, Any] | None = None,
) -> dict[str, str]:
    """Write each table of ``frames`` (a :class:`DecodedFrames`, or any mapping
    of names to Dask dataframes) as a Parquet dataset under ``directory`` (a
    path or a URL fsspec understands), and return the directory of each table
    written, by name.

    A type's table goes to ``<directory>/<type>/``, a child table
    ``"<type>/<item>"`` to ``<directory>/<type>.<item>/``. A name that would
    leave ``directory`` or land among another table's files (``..``, a leading
    ``/`` or ``.``, ``\\``, more than one ``/``, two names that differ only in
    case or map to one directory) raises ValueError before anything is
    written. The tables are computed together, so each partition is decoded
    once. Every column is written, the index (each partition's row numbers)
    is not: read back, a table's rows come in partition order, and a child
    table's ``packet`` still counts its type's rows within a partition.
    Datetime and binary columns keep their types.

    ``partition_on`` makes hive-partitioned datasets (``<key>=<value>/``
    directories): a column name partitions every table that has that column
    (a table without it is written whole; no table having it raises
    ValueError); a mapping partitions the tables it names, each by a column
    name or by a callable that takes one partition (a pandas DataFrame) and
    returns its rows' values, such as ``lambda df:
    df["time"].dt.strftime("%Y-%m-%d")``, which fill a column named
    ``partition`` (``partition=2026-01-05/``). The key column moves into the
    directory names: readers give it back as a categorical column, integer
    values as integers and any other as text, after the other columns, rows
    grouped by directory. Every row needs a value whose text is not empty and
    holds no ``/``, ``\\`` or ``%``, else the write raises ValueError. A
    partitioned table without rows writes no files (and is left out of the
    result); one not partitioned writes files of no rows, which read back as
    an empty table of its columns and dtypes.

    Without ``append``, a table's directory holding any file raises
    FileExistsError before anything is computed: nothing is replaced, removed
    or mixed in. With ``append=True`` each table's new files join those there,
    named to sort after them (part files are named
    ``part-<run>-<token>-<n>.parquet``, zero-padded), so the dataset reads back
    as the earlier rows followed by the new ones. Appending refuses (ValueError)
    a directory with other files than those of ``write_parquet`` (hidden files
    aside), partitioned on another key, or whose columns differ from the new
    ones.

    The files are written into a hidden staging directory beside the datasets
    (``<directory>/.write-<token>/``, which readers pass over) and moved into
    place once every table is written: on a local disk a new table's
    directory appears by one rename. When a partition fails to decode (a
    file cut short since ``read_packets`` sized it, a malformed packet), the
    exception propagates with its note naming the file, the staging directory
    is removed and no dataset is touched; a task of the write still running
    when the error arrived may leave some of that hidden directory behind, to
    be deleted. Where one rename cannot place a table (appends, object stores,
    a directory that exists), its files are moved one by one, and the tables
    one after another: an error while moving (the file system's) leaves the
    files moved before it in place, each whole.
    """
    import contextlib
    import functools
    import uuid

    import dask

    if not isinstance(frames, Mapping):
        raise TypeError(f"frames must be a mapping of names to dataframes, not {type(frames)}")
    for name, frame in frames.items():
        if not isinstance(frame, dd.DataFrame):
            raise TypeError(f"table {name!r} is a {type(frame).__name__}, not a Dask DataFrame")
    if not isinstance(append, bool):
        raise TypeError(f"append must be True or False, not {append!r}")
    directories = _table_directories(frames)
    keys = _partition_keys(frames, partition_on)
    url = os.fspath(directory)
    fs, root = url_to_fs(url, **dict(storage_options or {}))
    root = root.rstrip("/") or "/"
    if fs.isfile(root):
        raise NotADirectoryError(f"cannot write Parquet datasets into {url}: it is a file")
    targets = {name: f"{root}/{d}" for name, d in directories.items()}
    columns = {name: [_PARTITION if callable(key) else key] for name, key in keys.items()}
    existing = {
        name: _existing(fs, targets[name], name, columns.get(name, []), append) for name in frames
    }

    token = uuid.uuid4().hex[:8]
    staging = f"{root}/.write-{token}"
    written: dict[str, str] = {}
    try:
        writes = []
        for name, frame in frames.items():
            if name in keys:
                meta = frame._meta
                if callable(keys[name]):
                    meta = meta.assign(**{_PARTITION: pd.Series([], dtype=object).astype(str)})
                frame = frame.map_partitions(_Partitioner(name, keys[name]), meta=meta)
            writes.append(
                frame.to_parquet(
                    f"{staging}/{directories[name]}",
                    filesystem=fs,
                    write_index=False,
                    partition_on=columns.get(name),
                    write_metadata_file=False,
                    name_function=functools.partial(_part_name, existing[name].run, token),
                    compute=False,
                )
            )
        dask.compute(*writes)
        staged = {name: sorted(fs.find(f"{staging}/{directories[name]}")) for name in frames}
        for name, files in staged.items():
            sample = existing[name].sample
            if files and sample is not None:
                _same_schema(fs, name, sample, files[0])
        for name, files in staged.items():
            if files:
                _publish(fs, f"{staging}/{directories[name]}", targets[name], name, append)
                written[name] = f"{url.rstrip('/')}/{directories[name]}"
    finally:
        with contextlib.suppress(OSError):
            fs.rm(staging, recursive=True)
    return written
