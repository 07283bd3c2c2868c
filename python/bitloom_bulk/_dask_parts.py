"""The partitions of CCSDS files for ``bitloom_bulk.dask``, and the data quality
of a decode spread over them.

A CCSDS stream has no sync marker: where a packet begins is known only by
framing from the stream's start. A large file is cut into stripes of about
``blocksize`` bytes whose ends are moved to the next packet boundary by a chain
of small framing tasks: each reads its own stripe (on a worker, never on the
client), frames it from the boundary the task before found, and gives the next
boundary and the number of packets before it. Decoding a stripe waits only on
the two boundaries around it, so the stripes decode side by side while the
chain runs ahead; a packet that spans a stripe's nominal end belongs to the
stripe where it begins, and is decoded once.

The quality of each partition (sequence-count gaps and repeats, idle packets,
CRC faults, bytes that stop looking like packets) is worked out in the
partition's task with packet numbers and byte offsets counted from the
partition's start, with what the joining needs: each APID's first and last
packet, and the packet that shows each gap. Joined in file order they give what
one pass over the files' bytes end to end gives.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from bitloom_bulk import _quality
from bitloom_bulk._native import split_ccsds as split_ccsds_native
from bitloom_bulk._quality import Quality, SequenceGap, SequenceRepeat
from bitloom_bulk._stream import split_ccsds

HEADER_BYTES = 6  # of a primary header
_PIECE = 4 << 20  # bytes read and framed at a time when finding a boundary
_MAX_PACKET = (1 << 16) + 6  # the longest CCSDS packet: a piece's carry-over
_COUNT = 1 << 14


def stripe_ends(size: int, blocksize: int) -> list[int]:
    """The nominal ends of a file's stripes: every ``blocksize`` bytes, the
    last one the file's end."""
    return [*range(blocksize, size, blocksize), size]


def next_boundary(
    read_into: Callable[[memoryview], int], start: int, first_packet: int, end: int, limit: int
) -> tuple[int, int]:
    """Where the first packet at or past byte ``end`` begins, and its number in
    the file, framing from ``start`` (a packet boundary, that of packet
    ``first_packet``) the file's bytes up to ``limit`` (``end + 6`` or the
    file's end), which ``read_into`` fills in order into the views it is given
    (and gives their count, fewer only where the file ends early).

    The bytes are read and framed a piece at a time through one buffer, with
    nothing kept of the packets framed but their count: a stripe of tens of
    MiB costs a copy out of the page cache and a header walk.

    A packet that begins before ``end`` and runs past the bytes read is
    stepped over by its header's length field. Bytes that end inside a header
    give the place where that header begins: the stripe that holds it then
    fails to decode, with its own message, as a file cut short does."""
    buffer = bytearray(_PIECE + _MAX_PACKET)
    view = memoryview(buffer)
    held, counted, kept = start, first_packet, 0  # kept: bytes from `held` in the buffer
    position = start  # of the next byte to read
    while position < limit:
        want = min(_PIECE, limit - position)
        got = read_into(view[kept : kept + want])
        position += got
        # Framing stops at the first packet the bytes cut short; it starts
        # the next piece, moved to the buffer's front.
        framed = split_ccsds_native(view[: kept + got], allow_partial=True)
        done = int(framed[4])
        counted += len(framed[0])
        held += done
        kept += got - done
        buffer[:kept] = bytes(view[done : done + kept])  # a copy: the two may overlap
        if got < want:
            break
    # No packet that begins at or past `end` fits whole in the 6 bytes read
    # beyond it: framing stops at the first one, or at one that spans `end`.
    if held >= end or kept < HEADER_BYTES:
        return held, counted
    length = int.from_bytes(bytes(buffer[4:6]), "big") + 7
    return held + length, counted + 1


@dataclass
class PartQuality:
    """The quality of one partition, positions counted from its start."""

    quality: Quality
    packets: int  # framed in the partition
    size: int  # its bytes
    version: int | None  # of its first header
    first: dict[int, tuple[int, int]] = field(default_factory=dict)  # apid: (packet, count)
    last: dict[int, tuple[int, int]] = field(default_factory=dict)
    showing: list[int] = field(default_factory=list)  # the packet that shows each gap


def part_quality(
    data: Any, crc: str | frozenset[int] | None
) -> tuple[PartQuality, Any, npt.NDArray[np.bool_] | None]:
    """The quality of a partition's bytes (whole packets), its frames, and
    which packets go to the tables (None: all of them); packets failing their
    CRC are left out, idle ones stay (they are packets of the stream)."""
    frames = split_ccsds(data)
    foreign, version = _quality.first_foreign(data, frames, None)
    quality, keep, last = _quality.check_packets(data, frames, crc=crc)
    if foreign is not None:
        quality.garbage_at = _quality.foreign_offset(frames, foreign)
    apids = frames.apids
    part = PartQuality(quality, len(apids), int(frames.end), version, last=last)
    values, first_rows = np.unique(apids, return_index=True)
    for apid, row in zip(values.tolist(), first_rows.tolist(), strict=True):
        if apid != _quality.IDLE_APID:
            part.first[apid] = (row, int(frames.sequence_counts[row]))
    for gap in quality.gaps:
        where = np.flatnonzero(apids == gap.apid)
        part.showing.append(int(where[np.searchsorted(where, gap.after, side="right")]))
    kept = keep | (apids == _quality.IDLE_APID)
    return part, frames, (None if kept.all() else kept)


def join_quality(parts: list[PartQuality]) -> Quality:
    """The quality of the partitions' bytes end to end, in order: packet
    numbers and byte offsets from the first partition's start, the gaps and
    repeats between one partition's last packet of an APID and the next one's
    first, and where the bytes stop looking like packets (a partition whose
    first header's version is not the stream's starts there)."""
    joined = Quality()
    stream_version: int | None = None
    last: dict[int, tuple[int, int]] = {}
    packet = offset = 0
    for part in parts:
        q = part.quality
        if stream_version is None:
            stream_version = part.version
        for apid, n in q.packets.items():
            joined.packets[apid] = joined.packets.get(apid, 0) + n
        # Gaps in the order of the packets that show them, the joins' among them.
        gaps = [
            (packet + s, g._replace(after=g.after + packet))
            for s, g in zip(part.showing, q.gaps, strict=True)
        ]
        repeats = [r._replace(packet=r.packet + packet) for r in q.repeats]
        for apid, (row, count) in sorted(part.first.items()):
            if apid not in last:
                continue
            before_packet, before_count = last[apid]
            step = (count - before_count) % _COUNT
            if step == 0:
                repeats.append(SequenceRepeat(apid, packet + row, count))
            elif step != 1:
                gaps.append(
                    (packet + row, SequenceGap(apid, before_packet, before_count, step - 1))
                )
        gaps.sort(key=lambda pair: pair[0])
        joined.gaps += [g for _, g in gaps]
        joined.repeats += sorted(repeats, key=lambda r: r.packet)
        joined.idle += q.idle
        joined.crc_faults += [
            f._replace(packet=f.packet + packet, offset=f.offset + offset) for f in q.crc_faults
        ]
        if joined.garbage_at is None:
            if part.packets and part.version != stream_version:
                joined.garbage_at = offset
            elif q.garbage_at is not None:
                joined.garbage_at = q.garbage_at + offset
        for apid, (row, count) in part.last.items():
            last[apid] = (row + packet, count)
        packet += part.packets
        offset += part.size
    return joined
