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

from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Literal, NamedTuple

import bitloom_bulk
from bitloom_bulk._notes import add_note

# The distribution that ships this package; the one place its name is written.
DISTRIBUTION = "bitloom-packets"

try:
    import dask.dataframe as dd
    import numpy as np
    import pandas as pd
    from fsspec.core import url_to_fs
except ImportError as exc:  # the extra is not installed
    raise ImportError(
        f"bitloom_bulk.dask needs Dask, distributed, pandas, pyarrow and fsspec "
        f"({exc.name or exc} is missing): "
        f'pip install "{DISTRIBUTION}[dask]"',
        name=exc.name,
    ) from exc

__all__ = ["DEFAULT_BLOCKSIZE", "DISTRIBUTION", "DecodedFrames", "Report", "read_packets"]

#: Bytes of fixed-length packets per partition when ``blocksize`` is not given.
#: A partition costs a task (a few milliseconds of scheduling) and its decoded
#: columns must fit a worker's memory a few times over; 64 MiB keeps the task
#: overhead well under a percent of the decoding time while a worker holding a
#: few partitions stays within a few hundred MiB.
DEFAULT_BLOCKSIZE = 64 * 2**20


# One partition: (path, first byte, byte count, number in its file of its first
# packet, the file's size when the graph was built).
_Part = tuple[str, int, int, int, int]


class _Reader:
    """Reads and decodes one partition; runs on the worker. Holds only the
    file system (by its arguments), the compiled layout and a few numbers."""

    def __init__(self, fs: Any, layout: Any, packet_bytes: int | None, apid: int | None):
        self.fs = fs
        self.layout = layout
        self.packet_bytes = packet_bytes
        self.apid = apid

    def _read(self, path: str, start: int, count: int, size: int) -> bytes:
        # The partition that ends its file reads one byte more, so that a file
        # that has grown is noticed as surely as one that has shrunk.
        ends_file = start + count == size
        with self.fs.open(path, "rb") as f:
            if start:
                f.seek(start)
            data: bytes = f.read(count + 1 if ends_file else count)
        if len(data) != count:
            found = str(start + len(data))
            if len(data) > count:
                try:
                    found = str(self.fs.size(path))
                except Exception:  # the size only goes into the message
                    found = f"more than {size}"
            raise OSError(
                f"{path} changed after the dataframe was built: it had {size} bytes, "
                f"now {found}, so its bytes {start} to {start + count} cannot be read as planned"
            )
        return data

    def _decode(self, data: bytes) -> tuple[dict[str, np.ndarray], np.ndarray | None]:
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
        if self.packet_bytes is not None and start:
            where += f" from byte {start} (packet {first_packet} of the file)"
        add_note(exc, where)

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
            index = pd.Index(numbers, name="packet")
        return pd.DataFrame(columns, index=index, copy=False)


class DecodedFrames(dict[str, Any]):
    """What ``read_packets`` gives for packet definitions: a lazy dataframe per
    concrete type and per child table (``"<type>/<item>"``), by name, and in
    ``report`` a ``dask.delayed`` that computes a :class:`Report` of every
    partition's faults and unmatched packets."""

    report: Any

    def __init__(self, frames: dict[str, Any], report: Any) -> None:
        super().__init__(frames)
        self.report = report


class Report(NamedTuple):
    """The faults of a decode over files: ``faults`` lists ``(path, offset,
    type, item, message, severity)`` with ``offset`` the packet's first byte
    in its file, in file and packet order; ``unmatched`` counts the packets of
    no concrete type, ``{apid: count}`` (``{None: count}`` for fixed-size
    packets)."""

    faults: list[tuple[str, int, str, str, str, str]]
    unmatched: dict[int | None, int]


_REPORT = "\0report"  # a partition's report, beside its tables


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
    ) -> None:
        super().__init__(fs, None, packet_bytes, None)
        self.definitions = definitions
        self.derived = derived
        self.errors = errors
        self.binary = _binary_columns(definitions, derived)

    def __call__(self, part: _Part) -> dict[str, Any]:
        path, start, count, _, size = part
        try:
            decoded = self.definitions.decode(
                self._read(path, start, count, size),
                packet_bytes=self.packet_bytes,
                derived=self.derived,
                errors=self.errors,
            )
        except Exception as exc:
            self._note(exc, part)
            raise
        out: dict[str, Any] = _with_binary(decoded.to_pandas(), self.binary)
        faults = [
            (path, start + f.offset, f.type, f.item, f.message, f.severity) for f in decoded.faults
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


def _read_definitions(
    fs: Any,
    parts: list[_Part],
    definitions: Any,
    packet_bytes: int | None,
    derived: bool,
    errors: str,
) -> DecodedFrames:
    from dask import delayed

    # Every table's columns and dtypes from a decode of no packets: no file is read.
    reader = _DefinitionsReader(fs, definitions, packet_bytes, derived, errors)
    empty = definitions.decode(b"", packet_bytes=packet_bytes, derived=derived).to_pandas()
    empty = _with_binary(empty, reader.binary)
    # One task decodes a partition; each table takes its part of it, so that
    # computing several tables together decodes each partition once.
    tasks = [delayed(reader)(part) for part in parts]
    frames = {
        name: dd.from_delayed(
            [delayed(_table, pure=True)(task, name) for task in tasks],
            meta=meta,
            verify_meta=False,
        )
        for name, meta in empty.items()
    }
    report = delayed(_report, pure=True)(*[delayed(_table, pure=True)(t, _REPORT) for t in tasks])
    return DecodedFrames(frames, report)


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
    space packets, one partition per file, and ``apid`` picks the APID whose
    packets the recipe decodes (all packets if None). File sizes are looked up
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
    columns, text as Dask makes it), whose columns and dtypes come from the
    definitions alone. Computed together (``dask.compute(*frames.values())``)
    they decode each partition once. With ``errors="skip"``,
    ``frames.report`` computes a :class:`Report`: every fault with its file and
    the packet's byte offset in it, and the unmatched packets counted.
    """
    definitions = recipe if isinstance(recipe, bitloom_bulk.Definitions) else None
    if definitions is not None and apid is not None:
        raise TypeError("apid selects a recipe's packets; packet definitions choose their own")
    if definitions is None and (derived is not True or errors != "raise"):
        raise TypeError("derived and errors go with packet definitions, not with a recipe")
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

    if packet_bytes is None:
        parts = [(path, 0, size, 0, size) for path, size in zip(resolved, sizes, strict=True)]
    else:
        parts = _blocks(resolved, sizes, packet_bytes, blocksize)

    if definitions is not None:
        return _read_definitions(fs, parts, definitions, packet_bytes, bool(derived), errors)
    return dd.from_map(
        _Reader(fs, layout, packet_bytes, apid),
        parts,
        meta=_meta(layout, packet_bytes),
        label="read-packets",
        enforce_metadata=False,
    )
