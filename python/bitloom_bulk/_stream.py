"""CCSDS space packet streams: framing by primary headers, decoding by APID."""

from __future__ import annotations

import operator
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, TypeAlias

import numpy as np
import numpy.typing as npt

from bitloom_bulk import _frames, _native, _notes, _quality
from bitloom_bulk._quality import Quality
from bitloom_bulk._table import Table, as_tables

if TYPE_CHECKING:
    from typing_extensions import Buffer

    from bitloom_bulk._native import Layout


_Recipe: TypeAlias = "Sequence[Mapping[str, object]] | Layout"


class _FrameFields(NamedTuple):
    offsets: npt.NDArray[np.int64]
    lengths: npt.NDArray[np.int64]
    apids: npt.NDArray[np.uint16]
    sequence_counts: npt.NDArray[np.uint16]
    end: int


class Frames(_FrameFields):
    """The packets of a CCSDS stream, in stream order.

    ``offsets`` (int64): each packet's first byte in the data; ``lengths``
    (int64): each packet's size in bytes (its length field + 7); ``apids``
    (uint16): the 11-bit APID; ``sequence_counts`` (uint16): the 14-bit
    sequence count; ``end`` (int): the byte offset where framing stopped (the
    end of the data, or with ``allow_partial`` the first byte of a packet the
    data cuts short). ``offsets`` and ``lengths`` are int64, the dtype that
    ``unpack_columns(offsets=, lengths=)`` and numpy indexing take as they are.

    ``quality`` (a :class:`Quality`, worked out when first asked for): the
    packets per APID, sequence-count gaps and repeats, idle packets, the CRC
    faults when ``split_ccsds`` was given ``crc=``, and ``garbage_at``.
    """

    @property
    def quality(self) -> Quality:
        found = self.__dict__.get("_quality")
        if found is None:
            found, _, _ = _quality.check_packets(None, self, crc=None)
            found.garbage_at = self.__dict__.get("_garbage_at")
            self.__dict__["_quality"] = found
        return found


def split_ccsds(
    data: Buffer,
    *,
    offset: int = 0,
    allow_partial: bool = False,
    crc: str | Mapping[int, str] | None = None,
) -> Frames:
    """Frame a stream of CCSDS space packets by their primary headers.

    ``data`` is any C-contiguous buffer (bytes, bytearray, memoryview, mmap, a
    numpy array), read in place and held for the call; framing runs without
    the GIL. Framing starts at byte ``offset`` and walks packet after packet
    (each is its 16-bit length field + 7 bytes). A final packet that the data
    cuts short, or a header with fewer than 6 bytes left, raises ValueError
    naming its byte offset, its declared length and the bytes left; with
    ``allow_partial=True`` it is left out and ``end`` is where it begins (where
    a live stream's next chunk starts).

    Every packet is framed, idle ones (APID 2047) and those failing their CRC
    included; ``frames.quality`` counts and lists them. ``crc="ccitt"`` (every
    APID but the idle one) or ``{apid: "ccitt"}`` checks the CRC-16-CCITT in
    the last two bytes of those packets; packet numbers count from the first
    packet framed, byte offsets from the start of ``data``. Framing never looks
    at the version field: where a header's differs from the first header's (0
    in CCSDS; the bytes stop looking like packets), ``quality.garbage_at`` gives
    its byte offset, and the packets from there on are what the bytes happen to
    frame as.
    """
    checked = _quality.crc_apids(crc)
    frames = Frames(*_native.split_ccsds(data, offset=offset, allow_partial=allow_partial))
    foreign, _ = _quality.first_foreign(data, frames, None)
    if foreign is not None:
        frames.__dict__["_garbage_at"] = _quality.foreign_offset(frames, foreign)
    if checked is not None:
        frames.__dict__["_quality"] = _checked_quality(data, frames, checked)
    return frames


def _checked_quality(data: Any, frames: Frames, checked: str | frozenset[int]) -> Quality:
    """The quality of ``frames`` with their CRCs checked."""
    quality, _, _ = _quality.check_packets(data, frames, crc=checked)
    quality.garbage_at = frames.__dict__.get("_garbage_at")
    return quality


class CcsdsColumns(dict[int, Table]):
    """What ``unpack_ccsds`` returns: ``{apid: {name: column}}`` for the APIDs
    that have a recipe (every one of them, with empty columns where the stream
    holds none of its packets; each table a :class:`Table`, which exports
    itself to Arrow), and in
    ``skipped`` the number of packets of every other APID found, ``{apid: count}``.
    ``quality`` is the stream's :class:`Quality` when ``unpack_ccsds`` was
    given ``crc=`` (None otherwise)."""

    skipped: dict[int, int]
    quality: Quality | None

    def __init__(
        self,
        columns: Mapping[int, dict[str, Any]],
        skipped: dict[int, int],
        quality: Quality | None = None,
    ) -> None:
        super().__init__(as_tables(columns))
        self.skipped = skipped
        self.quality = quality

    def __reduce__(self) -> tuple[Any, ...]:
        return (CcsdsColumns, (dict(self), self.skipped, self.quality))

    def to_pandas(self) -> dict[int, Any]:
        """Every APID's table as a pandas DataFrame (pandas is an optional
        extra); dtypes are kept."""
        return _frames.tables_to_pandas(self)

    def to_xarray(self) -> dict[int, Any]:
        """Every APID's table as an xarray Dataset along the dimension
        ``packet`` (xarray is an optional extra)."""
        return _frames.tables_to_xarray(self)


def unpack_ccsds(
    data: Buffer,
    recipes: Mapping[int, _Recipe] | Mapping[np.integer[Any], _Recipe],
    *,
    offset: int = 0,
    text: Literal["object", "bytes", "arrow"] = "object",
    crc: str | Mapping[int, str] | None = None,
    threads: int | None = None,
) -> CcsdsColumns:
    """Decode a mixed-APID stream of CCSDS space packets into columns per APID.

    ``recipes`` maps an APID (any integer from 0 to 2047, numpy's included) to
    a recipe or a ``Layout``. One
    framing pass counts the packets of every APID, a second one indexes the
    packets of the APIDs with a recipe, and each of those APIDs is decoded into
    its columns as ``unpack_columns`` decodes packets: element i of a column is
    what ``unpack_parameters(packet_i, 0, recipe)[name]`` returns for that
    APID's i-th packet, so offsets count from the primary header's first bit
    (a recipe names the header's fields if it wants them). Returns a
    ``CcsdsColumns``: a dict ``{apid: {name: column}}`` with ``.skipped``
    ``{apid: count}`` for the packets of APIDs without a recipe. ``text``:
    as ``unpack_columns``'s (``"bytes"``: fixed-width bytes columns, unchecked;
    ``"arrow"``: ``ArrowColumn`` columns of the texts as UTF-8, checked).

    ``crc="ccitt"`` (every APID but the idle one, 2047) or ``{apid: "ccitt"}``
    checks the CRC-16-CCITT in the last two bytes of those packets: a packet
    that fails is left out of the tables (and of ``skipped``), and
    ``.quality`` reports it with the sequence-count gaps and repeats (a packet
    left out still counts as seen), as ``split_ccsds(data, crc=crc).quality``
    does. A header whose version field differs from the first header's then
    raises ValueError naming its byte offset: the tables would hold what
    garbage frames as. Without ``crc``, ``.quality`` is None
    (``split_ccsds(data).quality`` gives it).

    Errors: a recipe fault raises first, with a note naming the APID; a stream
    cut short raises ValueError as ``split_ccsds`` does; a packet fault raises
    what ``unpack_columns`` raises for it, with notes naming the packet (its
    number among its APID's packets, only those that passed their CRC check
    counted where ``crc`` left some out, and its bytes in the data), the item
    and the APID. APIDs are decoded in ascending order; the first fault found
    is raised and nothing is returned. With ``crc``, CRCs are checked in the
    decoding pass itself (carry-less multiply where the processor has it).

    ``threads``: as ``unpack_columns``'s. The framing passes run on one
    thread. A stream of one APID's packets of one length, all wanted (from
    offset 0, their CRCs not checked), is
    decoded as ``unpack_columns`` decodes fixed-size packets, on up to
    ``threads`` threads; any other stream is decoded run by run (8,192
    packets) on the calling thread, as its runs are too small to split.
    Results and errors are those of one thread.
    """
    checked = _quality.crc_apids(crc)
    if checked is None:
        columns, skipped = _native.unpack_ccsds(
            data, recipes, offset=offset, text=text, threads=threads
        )
        return CcsdsColumns(columns, skipped)
    columns, skipped, found = _native.unpack_ccsds(
        data,
        recipes,
        offset=offset,
        text=text,
        crc=_quality.crc_flags(checked),
        threads=threads,
    )
    if columns is None:  # the bytes stop looking like packets: nothing decoded
        raise ValueError(_quality.garbage_text(*found))
    quality = _quality.native_quality(found)
    return CcsdsColumns(columns, skipped, quality)


def _apid_key(key: object, what: str) -> int:
    """An APID key of ``what`` (``tables``, ``first_counts``, ...) as an int
    from 0 to 2047."""
    try:
        apid = operator.index(key)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"APID keys of {what} must be int, not {type(key).__name__}") from None
    if not 0 <= apid <= 2047:
        raise ValueError(f"APID {apid} of {what} is outside 0 to 2047")
    return apid


def _per_apid(value: int | Mapping[Any, int] | None, what: str, top: int, default: int) -> Any:
    """A function of the APID giving ``value``'s value for it (one int for
    every APID, or a mapping from APID to int, ``default`` for the others),
    each checked to lie in 0 to ``top``."""
    if value is None:
        return lambda apid: default
    if isinstance(value, Mapping):
        found: dict[int, int] = {}
        for key, v in value.items():
            apid = _apid_key(key, what)
            found[apid] = _checked_int(v, f"{what}[{apid}]", top)
        return lambda apid: found.get(apid, default)
    single = _checked_int(value, what, top)
    return lambda apid: single


def _checked_int(value: object, what: str, top: int) -> int:
    try:
        v = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{what} must be an int, not {type(value).__name__}") from None
    if not 0 <= v <= top:
        raise ValueError(f"{what} is {v}, outside 0 to {top}")
    return v


def _order_array(order: Any) -> npt.NDArray[np.uint16]:
    """``order`` as a C-contiguous uint16 array, checked to be one-dimensional
    integers from 0 to 2047."""
    array = np.asarray(order)
    if array.ndim != 1:
        raise ValueError(f"order must be one-dimensional, not of {array.ndim} dimensions")
    if array.size == 0:
        return np.zeros(0, dtype=np.uint16)
    if array.dtype.kind not in "iu":
        raise TypeError(f"order must hold integers (APIDs), not {array.dtype}")
    bad = np.flatnonzero((array < 0) | (array > 2047))
    if bad.size:
        at = int(bad[0])
        raise ValueError(f"order[{at}] is {int(array[at])}, outside the APIDs 0 to 2047")
    return np.ascontiguousarray(array, dtype=np.uint16)


def pack_ccsds(
    tables: Mapping[int, Mapping[str, Any]] | Mapping[np.integer[Any], Mapping[str, Any]],
    recipes: Mapping[int, _Recipe] | Mapping[np.integer[Any], _Recipe],
    *,
    order: npt.ArrayLike | None = None,
    first_counts: Mapping[int, int] | None = None,
    packet_type: int | Mapping[int, int] = 0,
    secondary_header: int | Mapping[int, int] = 0,
) -> bytes:
    """Pack tables of columns per APID into one stream of CCSDS space packets,
    the reverse of ``unpack_ccsds``.

    ``tables`` maps an APID to its table ``{name: column}`` (what
    ``unpack_ccsds`` returns is one); ``recipes`` maps every APID of
    ``tables`` to a recipe or a ``Layout``, as for ``unpack_ccsds``: offsets
    count from the primary header's first bit, so the data fields start at
    bit 48 or later. Each row becomes one packet, packed as
    ``Layout.pack_columns`` packs it (the numeric columns with the GIL
    released), with its 6-byte primary header filled in: version 0,
    ``packet_type`` and ``secondary_header`` (0 or 1, one for every APID or a
    mapping from APID; default 0), the APID, sequence flags 3 (unsegmented),
    a sequence count that runs per APID from ``first_counts[apid]`` (default
    0) modulo 16384, and the length field (the packet's bytes - 7). A
    packet's size is the recipe's, 7 to 65542 bytes.

    The recipe's items that lie inside the first 48 bits are the header's
    (``ccsds.primary_header()`` gives them): their columns may be left out,
    and a column given for one must hold what the header gets in every row
    (ValueError naming the column, the APID and the row otherwise), so that
    the tables ``unpack_ccsds`` returns pack again as they are. An item that
    starts in the header and ends past it is refused.

    The packets of each APID follow one another, APID after APID in the order
    of ``tables``; ``order``, an array of one APID per packet, interleaves them
    instead: it must hold exactly as many packets of each APID as its table
    has rows (the i-th of an APID is its table's row i).

    Errors: a recipe fault raises first, with a note naming the APID; a table
    fault (a missing or unknown column, lengths or dtypes) raises what
    ``Layout.pack_columns`` raises, with the note ``in the table for APID
    n``; a value that does not pack raises what ``Layout.pack`` raises with
    notes naming the row and the APID (tables are packed in the order of
    ``tables``, the first fault raised). Nothing is returned on an error.
    """
    if not isinstance(tables, Mapping):
        raise TypeError(f"tables must be a mapping from APID to table, not {type(tables).__name__}")
    if not isinstance(recipes, Mapping):
        raise TypeError(
            f"recipes must be a mapping from APID to recipe, not {type(recipes).__name__}"
        )
    by_apid = {_apid_key(key, "recipes"): recipe for key, recipe in recipes.items()}
    counts = _per_apid(first_counts, "first_counts", 16383, 0)
    types = _per_apid(packet_type, "packet_type", 1, 0)
    secondaries = _per_apid(secondary_header, "secondary_header", 1, 0)
    entries: list[tuple[int, Layout, Any, int, int, int]] = []
    seen: set[int] = set()
    for key, table in tables.items():
        apid = _apid_key(key, "tables")
        if apid in seen:
            raise ValueError(f"tables holds APID {apid} twice")
        seen.add(apid)
        if apid not in by_apid:
            raise ValueError(f"tables holds APID {apid}, for which recipes holds no recipe")
        recipe = by_apid[apid]
        try:
            layout = recipe if isinstance(recipe, _native.Layout) else _native.compile(recipe)
        except Exception as error:
            _notes.add_note(error, f"in the recipe for APID {apid}")
            raise
        entries.append((apid, layout, table, counts(apid), types(apid), secondaries(apid)))
    return _native.pack_ccsds(entries, None if order is None else _order_array(order))
