"""Decoding a CCSDS stream that arrives in pieces (a socket, a growing file, a
serial link): the complete packets of every piece are decoded at once, the
partial packet at its end is kept for the next."""

from __future__ import annotations

import socket
from collections.abc import Iterable, Iterator, Mapping
from typing import Any

import numpy as np

from bitloom_bulk import _native
from bitloom_bulk._definitions import Definitions
from bitloom_bulk._definitions_decode import Decoded, apid_route, keyed_result
from bitloom_bulk._native import compile
from bitloom_bulk._notes import add_note
from bitloom_bulk._quality import (
    _COUNT,
    IDLE_APID,
    CrcFault,
    Quality,
    check_packets,
    crc_apids,
    crc_flags,
    first_foreign,
    foreign_offset,
    garbage_message,
    kept_bytes,
    native_quality,
)
from bitloom_bulk._stream import CcsdsColumns, split_ccsds, unpack_ccsds
from bitloom_bulk._table import Table

__all__ = ["StreamDecoder", "decode_stream"]

_APIDS = 2048
_NO_COUNT = 0xFFFF  # the native state's mark of an APID with no packet yet


class StreamDecoder:
    """Decodes a stream of CCSDS space packets fed in pieces of any size.

    ``decoder`` is a :class:`Definitions` (each :meth:`feed` returns a
    :class:`Decoded`, as ``Definitions.decode`` gives) or a mapping from APID
    to recipe (each returns :class:`CcsdsColumns`, as ``unpack_ccsds`` gives).
    ``derived``, ``errors`` and ``binary`` are passed to ``Definitions.decode``.

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
        binary: str = "bytes",
    ) -> None:
        self._crc_apids = crc_apids(crc)
        if isinstance(decoder, Definitions):
            if errors not in ("raise", "skip"):
                raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
            if not isinstance(binary, str) or binary not in ("bytes", "arrow", "view"):
                raise ValueError(f"binary must be 'bytes', 'arrow' or 'view', not {binary!r}")
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
        self._binary = binary
        self._skip_idle = bool(skip_idle)
        self._pending = bytearray()
        self._garbage: str | None = None  # the message once the bytes stop looking like packets
        self._version: int | None = None  # the version field of the stream's headers
        self._rows: dict[str, int] = {}
        self._last_count: dict[int, tuple[int, int]] = {}  # apid: (stream index, count)
        # Recipes, or definitions that sort packets by APID alone, with idle
        # packets left out (and no recipe for them): a feed is one native call
        # that frames, checks and decodes the piece with `_layouts` and
        # carries the sequence counts in `_state` (the stream index of the
        # piece's first packet, each APID's next count, each APID's last
        # packet). Anything that call does not cover as the checks above do
        # (a version change, an error to word, a row the definitions would
        # fault or send elsewhere) goes the general way.
        self._state: np.ndarray[Any, np.dtype[np.int64]] | None = None
        self._route = None if self._definitions is None else apid_route(self._definitions)
        self._layouts: Mapping[int, Any] | None = self._recipes
        if self._definitions is not None:
            self._layouts = None if self._route is None else self._route.keyed
        if self._layouts is not None and self._skip_idle and IDLE_APID not in self._layouts:
            self._state = np.zeros(1 + 2 * _APIDS, dtype=np.int64)
            self._state[1 : 1 + _APIDS] = _NO_COUNT
            self._flags = bytes(_APIDS) if self._crc_apids is None else crc_flags(self._crc_apids)
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
        packets it completes.

        A header whose version field is not the stream's (that of its first
        header, 0 in CCSDS) is where the bytes stop looking like packets (CCSDS
        streams have no sync marker to find the next packet by): the packets
        before it are decoded and returned, ``quality.garbage_at``
        gives its byte offset, and every later :meth:`feed` and :meth:`close`
        raise ValueError naming it; the decoder does not resynchronise."""
        if self._garbage is not None:
            raise ValueError(self._garbage)
        piece = memoryview(chunk).cast("B")
        start = len(self._pending)
        self._pending += piece
        if self._state is not None:
            fast = self._fast_feed()
            if fast is not None:
                return fast
            self._counts_from_state()
        try:
            frames = split_ccsds(self._pending, allow_partial=True)
            foreign, version = first_foreign(self._pending, frames, self._version)
            garbage = None
            if foreign is not None:
                garbage = garbage_message(
                    self._pending, frames, foreign, version, self.packets, self.offset
                )
                frames = frames._replace(
                    offsets=frames.offsets[:foreign],
                    lengths=frames.lengths[:foreign],
                    apids=frames.apids[:foreign],
                    sequence_counts=frames.sequence_counts[:foreign],
                    end=foreign_offset(frames, foreign),
                )
            end = frames.end
            whole = bytes(self._pending[:end])
            quality, keep, last = check_packets(
                whole,
                frames,
                crc=self._crc_apids,
                first_packet=self.packets,
                first_offset=self.offset,
                before=self._last_count,
                leave_out_idle=self._skip_idle,
            )
            result = self._decode(whole, frames, keep)
        except BaseException as exc:
            del self._pending[start:]
            if isinstance(exc, Exception):
                add_note(
                    exc,
                    f"in the piece of the stream from packet {self.packets}, byte {self.offset}",
                )
            raise
        if garbage is not None:
            quality.garbage_at = self.offset + end
            self._garbage = garbage
        del self._pending[:end]
        self._version = version
        self._last_count.update(last)
        if self._state is not None:
            self._state_from_counts(last)
        self.quality.add(quality)
        result.quality = quality  # type: ignore[union-attr]
        self.packets += len(frames.offsets)
        self.offset += end
        return result

    def _fast_feed(self) -> Decoded | CcsdsColumns | None:
        """The feed of the pending bytes in one native call, or None (nothing
        changed) where the general way must take it: no bytes, a first header
        of another version than the stream's, a version change inside, any
        error (the general way raises it in its words), or tables that the
        definitions would not take as they are."""
        pending = self._pending
        state = self._state
        assert state is not None and self._layouts is not None
        if not pending:
            return None
        version = pending[0] >> 5
        if self._version is not None and version != self._version:
            return None
        before = state.copy() if self._route is not None else None
        state[0] = self.packets
        try:
            found = _native.unpack_ccsds(pending, self._layouts, crc=self._flags, stream=state)
        except Exception:
            return None
        if found[0] is None:  # a header of another version: the general way words it
            return None
        columns, skipped, native, end = found
        skipped.pop(IDLE_APID, None)  # left out, as the general way leaves them out of its data
        decoded = None
        if self._route is not None:
            assert self._definitions is not None and before is not None
            try:
                decoded = keyed_result(
                    self._definitions, self._route, columns, skipped, self._derived
                )
            except Exception:
                decoded = None
            if decoded is None:
                state[:] = before  # the general way starts from the counts before the piece
                return None
        quality = native_quality(native)
        if quality.crc_faults and self.offset:
            quality.crc_faults = [
                CrcFault(f.packet, f.offset + self.offset, f.apid, f.computed, f.found)
                for f in quality.crc_faults
            ]
        result: Decoded | CcsdsColumns
        if decoded is None:
            result = CcsdsColumns(columns, skipped, quality)
        else:
            result = self._numbered(decoded, [])
            result.quality = quality  # type: ignore[attr-defined]
        del pending[:end]
        self._version = version
        self.quality.add(quality)
        self.packets = int(state[0])
        self.offset += end
        return result

    def _counts_from_state(self) -> None:
        """Each APID's last (stream index, sequence count), for the general
        way, from the native state."""
        state = self._state
        assert state is not None
        nexts = state[1 : 1 + _APIDS]
        lasts = state[1 + _APIDS :]
        for apid in np.flatnonzero(nexts != _NO_COUNT).tolist():
            if apid != IDLE_APID:
                count = (int(nexts[apid]) - 1) & (_COUNT - 1)
                self._last_count[apid] = (int(lasts[apid]), count)

    def _state_from_counts(self, last: Mapping[int, tuple[int, int]]) -> None:
        """The native state after a feed the general way took."""
        state = self._state
        assert state is not None
        for apid, (index, count) in last.items():
            state[1 + apid] = (count + 1) & (_COUNT - 1)
            state[1 + _APIDS + apid] = index

    def close(self) -> None:
        """End the stream: ValueError if it ends inside a packet, or where its
        bytes stopped looking like packets."""
        if self._garbage is not None:
            raise ValueError(self._garbage)
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
            data = kept_bytes(data, frames, keep, 0)
        if self._definitions is None:
            return unpack_ccsds(data, self._recipes)
        decoded = self._definitions.decode(
            data, derived=self._derived, errors=self._errors, binary=self._binary
        )
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
        return self._numbered(decoded, faults)

    def _numbered(self, decoded: Decoded, faults: list[Any]) -> Decoded:
        """A piece's tables with ``faults`` and their rows counted from the
        start of the stream (child tables' ``packet`` column, ``first_rows``),
        and the rows of every type counted on."""
        tables = dict(decoded)
        first_rows = {name: self._rows.get(name, 0) for name in decoded if "/" not in name}
        for name, table in tables.items():
            if "/" in name:
                before = self._rows.get(name.split("/", 1)[0], 0)
                if before:
                    table = Table(table)
                    table["packet"] = table["packet"] + np.int64(before)
                    tables[name] = table
        for name, table in decoded.items():
            if "/" not in name:
                rows = len(next(iter(table.values()))) if table else 0
                self._rows[name] = self._rows.get(name, 0) + rows
        return Decoded(tables, decoded.unmatched, faults, decoded.times, first_rows=first_rows)


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
    binary: str = "bytes",
) -> Iterator[Decoded | CcsdsColumns]:
    """Decode a stream of CCSDS space packets as it is read: yields the
    result of every piece read (up to ``chunk_bytes`` from a socket or a
    file object, or each item of an iterable of bytes), as
    :meth:`StreamDecoder.feed` gives it (the keywords are its), and raises ValueError at the end if
    the stream stops inside a packet."""
    if not isinstance(chunk_bytes, int) or chunk_bytes < 1:
        raise ValueError(f"chunk_bytes must be a positive int, not {chunk_bytes!r}")
    stream = StreamDecoder(
        decoder, derived=derived, errors=errors, crc=crc, skip_idle=skip_idle, binary=binary
    )
    for piece in _pieces(source, chunk_bytes):
        yield stream.feed(piece)
    stream.close()


StreamDecoder.__module__ = "bitloom_bulk"
decode_stream.__module__ = "bitloom_bulk"
