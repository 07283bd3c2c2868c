"""Decoding a CCSDS stream that arrives in pieces (a socket, a growing file, a
serial link): the complete packets of every piece are decoded at once, the
partial packet at its end is kept for the next."""

from __future__ import annotations

import socket
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np

from bitloom_bulk import _native
from bitloom_bulk._definitions import Definitions
from bitloom_bulk._definitions_decode import Decoded
from bitloom_bulk._native import compile
from bitloom_bulk._notes import add_note
from bitloom_bulk._stream import CcsdsColumns, split_ccsds, unpack_ccsds

__all__ = ["CrcFault", "Quality", "SequenceGap", "SequenceRepeat", "StreamDecoder", "decode_stream"]

IDLE_APID = 2047
_COUNT = 1 << 14  # sequence counts run modulo 2**14


class SequenceGap(NamedTuple):
    """Packets of an APID missing from the stream: after the packet with
    stream index ``after`` (sequence count ``sequence_count``), ``missing``
    counts were skipped."""

    apid: int
    after: int
    sequence_count: int
    missing: int


class SequenceRepeat(NamedTuple):
    """A packet whose sequence count equals the one before it of its APID
    (kept in the tables)."""

    apid: int
    packet: int
    sequence_count: int


class CrcFault(NamedTuple):
    """A packet whose packet error control (the CRC-16-CCITT in its last two
    bytes) does not match its bytes: left out of the tables."""

    packet: int
    offset: int
    apid: int
    computed: int
    found: int


@dataclass
class Quality:
    """What a stream's framing found wrong or worth counting: per APID the
    packets seen (idle packets and packets failing their CRC included), the
    gaps and repeats of sequence counts (modulo 2**14, across pieces), the
    idle packets (APID 2047, left out of the tables) and the CRC faults."""

    packets: dict[int, int] = field(default_factory=dict)
    gaps: list[SequenceGap] = field(default_factory=list)
    repeats: list[SequenceRepeat] = field(default_factory=list)
    idle: int = 0
    crc_faults: list[CrcFault] = field(default_factory=list)

    def add(self, other: Quality) -> None:
        for apid, n in other.packets.items():
            self.packets[apid] = self.packets.get(apid, 0) + n
        self.gaps += other.gaps
        self.repeats += other.repeats
        self.idle += other.idle
        self.crc_faults += other.crc_faults

    @property
    def missing(self) -> int:
        """Packets missing in all (the sum of the gaps)."""
        return sum(g.missing for g in self.gaps)


class StreamDecoder:
    """Decodes a stream of CCSDS space packets fed in pieces of any size.

    ``decoder`` is a :class:`Definitions` (each :meth:`feed` returns a
    :class:`Decoded`, as ``Definitions.decode`` gives) or a mapping from APID
    to recipe (each returns :class:`CcsdsColumns`, as ``unpack_ccsds`` gives).
    ``derived`` and ``errors`` are passed to ``Definitions.decode``.

    Whatever the boundaries of the pieces, the results of the feeds, put end
    to end, are what one call on the whole stream gives: faults count their
    packet and byte offset from the start of the stream, and the ``packet``
    column of a child table counts the rows of its type from the start of the
    stream too. A packet that a piece cuts short is kept and completed by the
    next pieces; :meth:`close` raises where the stream ends inside a packet
    (it is never dropped silently). A fault in a feed under ``errors="raise"``
    raises with a note giving the stream position of that feed's first packet;
    the decoder's state is then what it was before the feed.
    """

    def __init__(
        self,
        decoder: Definitions | Mapping[int, Any],
        *,
        derived: bool = True,
        errors: str = "raise",
        crc: str | Mapping[int, str] | None = None,
        skip_idle: bool = True,
    ) -> None:
        self._crc_apids = _crc_apids(crc)
        if isinstance(decoder, Definitions):
            if errors not in ("raise", "skip"):
                raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
            for node in decoder.nodes():
                fields = node.fields()
                if not node.abstract and not any(i.column for i in fields) and fields:
                    # Its child tables' rows could not be numbered across pieces.
                    raise ValueError(
                        f"packet type {node.name!r} has child tables but no column:"
                        " a StreamDecoder numbers child rows by their type's rows"
                    )
            self._definitions: Definitions | None = decoder
            self._recipes: dict[int, Any] = {}
        elif isinstance(decoder, Mapping):
            self._definitions = None
            self._recipes = {apid: compile(recipe) for apid, recipe in decoder.items()}
            # Refused now (a bad APID key), not at the first feed.
            unpack_ccsds(b"", self._recipes)
        else:
            raise TypeError(
                "StreamDecoder takes Definitions or a mapping from APID to recipe, not"
                f" {type(decoder).__name__}"
            )
        self._derived = bool(derived)
        self._errors = errors
        self._skip_idle = bool(skip_idle)
        self._pending = bytearray()
        self._rows: dict[str, int] = {}
        self._last_count: dict[int, tuple[int, int]] = {}  # apid: (stream index, count)
        self.quality = Quality()
        """What the stream's framing found so far (every feed's, added up)."""
        self.packets = 0
        """Packets decoded so far (the stream index of the next one)."""
        self.offset = 0
        """Bytes of the stream decoded so far (where the pending bytes begin)."""

    @property
    def pending(self) -> int:
        """Bytes held of a packet not yet complete."""
        return len(self._pending)

    def feed(self, chunk: Any) -> Decoded | CcsdsColumns:
        """Add ``chunk`` (any bytes-like object) to the stream and decode the
        packets it completes."""
        piece = memoryview(chunk).cast("B")
        start = len(self._pending)
        self._pending += piece
        try:
            frames = split_ccsds(self._pending, allow_partial=True)
            end = frames.end
            whole = bytes(self._pending[:end])
            quality, keep, last = self._check(whole, frames)
            result = self._decode(whole, frames, keep)
        except BaseException as exc:
            del self._pending[start:]
            if isinstance(exc, Exception):
                add_note(
                    exc,
                    f"in the piece of the stream from packet {self.packets}, byte {self.offset}",
                )
            raise
        del self._pending[:end]
        self._last_count.update(last)
        self.quality.add(quality)
        result.quality = quality  # type: ignore[union-attr]
        self.packets += len(frames.offsets)
        self.offset += end
        return result

    def _check(self, data: bytes, frames: Any) -> tuple[Quality, Any, dict[int, tuple[int, int]]]:
        """The quality of a piece's packets, which of them go to the tables,
        and the last (stream index, sequence count) of each APID in it."""
        quality = Quality()
        apids = frames.apids.astype(np.int64)
        counts = frames.sequence_counts.astype(np.int64)
        keep = np.ones(len(apids), dtype=bool)
        values, seen = np.unique(apids, return_counts=True)
        quality.packets = {int(a): int(n) for a, n in zip(values, seen, strict=True)}
        last: dict[int, tuple[int, int]] = {}
        found: list[tuple[int, SequenceGap]] = []  # with the packet that shows each gap
        for apid in values.tolist():
            if apid == IDLE_APID:
                continue
            where = np.flatnonzero(apids == apid)
            before = self._last_count.get(apid)
            prev_index = np.empty(len(where), dtype=np.int64)
            prev_count = np.empty(len(where), dtype=np.int64)
            prev_index[1:] = where[:-1] + self.packets
            prev_count[1:] = counts[where[:-1]]
            if before is not None:
                prev_index[0], prev_count[0] = before
            step = (counts[where] - prev_count) % _COUNT
            if before is None:
                step[0] = 1  # the stream's first packet of the APID follows nothing
            # Only the packets that break the run of counts are looked at one by one.
            for i in np.flatnonzero(step != 1).tolist():
                if step[i] == 0:
                    quality.repeats.append(
                        SequenceRepeat(apid, int(where[i]) + self.packets, int(counts[where[i]]))
                    )
                else:
                    found.append(
                        (
                            int(where[i]),
                            SequenceGap(
                                apid, int(prev_index[i]), int(prev_count[i]), int(step[i]) - 1
                            ),
                        )
                    )
            last[apid] = (int(where[-1]) + self.packets, int(counts[where[-1]]))
        # In stream order of the packets that show them, as a reader meets them.
        found.sort(key=lambda pair: pair[0])
        quality.gaps = [gap for _, gap in found]
        quality.repeats.sort(key=lambda r: r.packet)
        if self._skip_idle:
            idle = apids == IDLE_APID
            quality.idle = int(idle.sum())
            keep &= ~idle
        wanted = self._crc_apids
        if wanted is not None and len(apids):
            checked = keep.copy()
            if isinstance(wanted, frozenset):
                checked &= np.isin(apids, sorted(wanted))
            rows = np.flatnonzero(checked)
            computed, stored = _native.packet_crcs(data, frames.offsets[rows], frames.lengths[rows])
            for r in np.flatnonzero(computed != stored).tolist():
                p = int(rows[r])
                quality.crc_faults.append(
                    CrcFault(
                        p + self.packets,
                        int(frames.offsets[p]) + self.offset,
                        int(apids[p]),
                        int(computed[r]),
                        int(stored[r]),
                    )
                )
                keep[p] = False
        return quality, keep, last

    def close(self) -> None:
        """End the stream: ValueError if it ends inside a packet."""
        if self._pending:
            held = bytes(self._pending[:6])
            detail = (
                f"its header declares {int.from_bytes(held[4:6], 'big') + 7} bytes"
                if len(held) == 6
                else "not even its 6-byte header arrived"
            )
            raise ValueError(
                f"the stream ends inside a packet: {len(self._pending)} bytes at byte"
                f" {self.offset} (packet {self.packets}); {detail}"
            )

    def _decode(self, data: bytes, frames: Any, keep: Any) -> Decoded | CcsdsColumns:
        index = None
        if not keep.all():
            # The packets left out (idle, failing their CRC) leave the data;
            # the kept ones' stream positions are remembered for the faults.
            index = np.flatnonzero(keep)
            # The piece's packets lie end to end from its first byte.
            kept_bytes = np.repeat(keep, frames.lengths)
            data = np.frombuffer(data, dtype=np.uint8)[kept_bytes].tobytes()
        if self._definitions is None:
            return unpack_ccsds(data, self._recipes)
        decoded = self._definitions.decode(data, derived=self._derived, errors=self._errors)
        if index is None:
            faults = [
                f._replace(packet=f.packet + self.packets, offset=f.offset + self.offset)
                for f in decoded.faults
            ]
        else:
            faults = [
                f._replace(
                    packet=int(index[f.packet]) + self.packets,
                    offset=int(frames.offsets[index[f.packet]]) + self.offset,
                )
                for f in decoded.faults
            ]
        tables = dict(decoded)
        for name, table in tables.items():
            if "/" in name:
                before = self._rows.get(name.split("/", 1)[0], 0)
                if before:
                    table = dict(table)
                    table["packet"] = table["packet"] + np.int64(before)
                    tables[name] = table
        for name, table in decoded.items():
            if "/" not in name:
                rows = len(next(iter(table.values()))) if table else 0
                self._rows[name] = self._rows.get(name, 0) + rows
        return Decoded(tables, decoded.unmatched, faults)


def _crc_apids(crc: Any) -> str | frozenset[int] | None:
    """None (no check), "all", or the APIDs whose packets carry a CRC."""
    if crc is None:
        return None
    if isinstance(crc, str):
        if crc.lower() != "ccitt":
            raise ValueError(
                f"crc must be 'ccitt', a mapping from APID to 'ccitt', or None, not {crc!r}"
            )
        return "all"
    if isinstance(crc, Mapping):
        apids = set()
        for apid, kind in crc.items():
            if not isinstance(apid, (int, np.integer)) or not 0 <= int(apid) <= 2047:
                raise ValueError(f"crc keys are APIDs from 0 to 2047, not {apid!r}")
            if not isinstance(kind, str) or kind.lower() != "ccitt":
                raise ValueError(f"the CRC of APID {int(apid)} must be 'ccitt', not {kind!r}")
            apids.add(int(apid))
        return frozenset(apids)
    raise TypeError(
        f"crc must be 'ccitt', a mapping from APID to 'ccitt', or None, not {type(crc).__name__}"
    )


def _pieces(source: Any, chunk_bytes: int) -> Iterator[Any]:
    """The pieces of ``source``: a socket (recv_into), a file object
    (readinto or read), or an iterable of bytes-like objects."""
    if isinstance(source, socket.socket):
        buffer = bytearray(chunk_bytes)
        view = memoryview(buffer)
        while True:
            n = source.recv_into(view)
            if n == 0:
                return
            yield view[:n]
    elif hasattr(source, "readinto"):
        buffer = bytearray(chunk_bytes)
        view = memoryview(buffer)
        while True:
            n = source.readinto(view)
            if not n:
                return
            yield view[:n]
    elif hasattr(source, "read"):
        while True:
            piece = source.read(chunk_bytes)
            if not piece:
                return
            yield piece
    elif isinstance(source, Iterable) and not isinstance(source, (bytes, bytearray, str)):
        yield from source
    else:
        raise TypeError(
            "decode_stream reads a socket, a file object or an iterable of bytes, not"
            f" {type(source).__name__}"
        )


def decode_stream(
    source: Any,
    decoder: Definitions | Mapping[int, Any],
    *,
    chunk_bytes: int = 1 << 20,
    derived: bool = True,
    errors: str = "raise",
    crc: str | Mapping[int, str] | None = None,
    skip_idle: bool = True,
) -> Iterator[Decoded | CcsdsColumns]:
    """Decode a stream of CCSDS space packets as it is read: yields the
    result of every piece read (up to ``chunk_bytes`` from a socket or a
    file object, or each item of an iterable of bytes), as
    :meth:`StreamDecoder.feed` gives it, and raises ValueError at the end if
    the stream stops inside a packet."""
    if not isinstance(chunk_bytes, int) or chunk_bytes < 1:
        raise ValueError(f"chunk_bytes must be a positive int, not {chunk_bytes!r}")
    stream = StreamDecoder(decoder, derived=derived, errors=errors, crc=crc, skip_idle=skip_idle)
    for piece in _pieces(source, chunk_bytes):
        yield stream.feed(piece)
    stream.close()


for _public in (StreamDecoder, Quality, SequenceGap, SequenceRepeat, CrcFault):
    _public.__module__ = "bitloom_bulk"
decode_stream.__module__ = "bitloom_bulk"
