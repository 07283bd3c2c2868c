"""The data quality of a CCSDS stream: sequence-count gaps and repeats per APID,
idle packets, CRC-16-CCITT packet error control, and bytes that do not look like
packets. One set of checks serves ``split_ccsds``, ``unpack_ccsds`` and the
``StreamDecoder``, so that a stream decoded in pieces reports what one call
over its bytes reports."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from bitloom_bulk import _native

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
    idle packets (APID 2047), the CRC faults, and ``garbage_at``: the byte
    offset of the first header whose version field is not the stream's (that
    of its first header, 0 in CCSDS), where the bytes stop looking like
    packets (None when every header has the stream's version)."""

    packets: dict[int, int] = field(default_factory=dict)
    gaps: list[SequenceGap] = field(default_factory=list)
    repeats: list[SequenceRepeat] = field(default_factory=list)
    idle: int = 0
    crc_faults: list[CrcFault] = field(default_factory=list)
    garbage_at: int | None = None

    def add(self, other: Quality) -> None:
        for apid, n in other.packets.items():
            self.packets[apid] = self.packets.get(apid, 0) + n
        self.gaps += other.gaps
        self.repeats += other.repeats
        self.idle += other.idle
        self.crc_faults += other.crc_faults
        if self.garbage_at is None:
            self.garbage_at = other.garbage_at

    @property
    def missing(self) -> int:
        """Packets missing in all (the sum of the gaps)."""
        return sum(g.missing for g in self.gaps)

    def summary(self) -> str:
        """One line: packets, gaps (packets missing), repeats, idle packets,
        CRC faults, and where the bytes stop looking like packets."""
        line = (
            f"{sum(self.packets.values())} packets, {len(self.gaps)} gaps"
            f" ({self.missing} missing), {len(self.repeats)} repeats, {self.idle} idle,"
            f" {len(self.crc_faults)} CRC faults"
        )
        if self.garbage_at is not None:
            line += f"; not packets from byte {self.garbage_at}"
        return line


def crc_apids(crc: Any) -> str | frozenset[int] | None:
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


def first_foreign(data: Any, frames: Any, version: int | None) -> tuple[int | None, int | None]:
    """The index of the first packet whose header's 3-bit version field is
    not the stream's ``version`` (``len(frames.offsets)`` for a packet held
    back at ``frames.end``, whose first byte alone shows it), or None; and the
    stream's version: ``version``, or where it is None (the stream's start)
    that of the first header here (None when there is none).

    CCSDS streams carry no sync marker: a header whose version differs from
    the stream's is the one sign inside a header that the bytes are not a
    packet (garbage between packets, or a stream that lost its packet
    boundaries). The version is the stream's own rather than 0, since some
    generators write another one in every packet."""
    bytes_ = np.frombuffer(data, dtype=np.uint8)
    held = frames.end < len(bytes_)
    if version is None:
        if len(frames.offsets):
            version = int(bytes_[frames.offsets[0]]) >> 5
        elif held:
            version = int(bytes_[frames.end]) >> 5
        else:
            return None, None
    if len(frames.offsets):
        foreign = np.flatnonzero((bytes_[frames.offsets] >> 5) != version)
        if len(foreign):
            return int(foreign[0]), version
    if held and int(bytes_[frames.end]) >> 5 != version:
        return len(frames.offsets), version
    return None, version


def foreign_offset(frames: Any, index: int) -> int:
    """The byte where packet ``index`` of ``frames`` (or the one held back) begins."""
    return int(frames.offsets[index]) if index < len(frames.offsets) else int(frames.end)


def garbage_message(
    data: Any,
    frames: Any,
    index: int,
    version: int | None,
    first_packet: int = 0,
    first_offset: int = 0,
) -> str:
    """What is wrong with packet ``index`` of ``frames`` (as first_foreign
    counts them, in a stream of ``version``), its position counted from the
    stream's start (``data``'s byte 0 being the stream's packet
    ``first_packet``, byte ``first_offset``)."""
    at = foreign_offset(frames, index)
    found = int(np.frombuffer(data, dtype=np.uint8)[at]) >> 5
    return garbage_text(index + first_packet, at + first_offset, found, version)


def garbage_text(packet: int, at: int, found: int, version: int | None) -> str:
    """The words for a header at byte ``at`` (packet ``packet``) whose version
    field ``found`` is not the stream's ``version``."""
    return (
        f"the bytes at byte {at} (packet {packet}) do not look"
        f" like a CCSDS packet: version field {found}, not the stream's {version} (garbage"
        " between packets, or packet boundaries lost); nothing from there on is decoded"
    )


def crc_flags(checked: str | frozenset[int]) -> bytes:
    """The native decoder's form of the APIDs whose CRCs are checked: a flag
    per APID (the idle APID's is ignored)."""
    if isinstance(checked, str):  # "all"
        return b"\x01" * 2048
    flags = bytearray(2048)
    for apid in checked:
        flags[apid] = 1
    return bytes(flags)


def native_quality(found: tuple[Any, ...]) -> Quality:
    """A Quality from the native decoder's (packets per APID, gaps, repeats,
    idle packets, CRC faults)."""
    packets, gaps, repeats, idle, faults = found
    return Quality(
        packets=packets,
        gaps=[SequenceGap(*g) for g in gaps],
        repeats=[SequenceRepeat(*r) for r in repeats],
        idle=idle,
        crc_faults=[CrcFault(*f) for f in faults],
    )


def check_packets(
    data: Any,
    frames: Any,
    *,
    crc: str | frozenset[int] | None,
    first_packet: int = 0,
    first_offset: int = 0,
    before: Mapping[int, tuple[int, int]] | None = None,
    leave_out_idle: bool = True,
) -> tuple[Quality, npt.NDArray[np.bool_], dict[int, tuple[int, int]]]:
    """The quality of framed packets, which of them go to the tables, and the
    last (stream index, sequence count) of each APID among them.

    ``data`` is what ``frames.offsets`` index; ``first_packet`` and
    ``first_offset`` are the stream index and byte of the stream where
    ``data``'s byte 0 lies (so positions count from the stream's start);
    ``before`` is each APID's last (stream index, sequence count) before
    these packets. With ``leave_out_idle``, idle packets are counted, left
    out and never CRC-checked; packets failing their CRC are left out."""
    before = before or {}
    quality = Quality()
    apids = frames.apids.astype(np.int64)
    counts = frames.sequence_counts.astype(np.int64)
    n = len(apids)
    keep = np.ones(n, dtype=bool)
    # The packets grouped by APID, in stream order within each: every APID's
    # steps of sequence counts in one pass (a live stream's piece holds a
    # thousand packets or so, where numpy calls per APID would cost more
    # than the work).
    order = np.argsort(apids, kind="stable")
    grouped = apids[order]
    grouped_counts = counts[order]
    starts = ends = np.zeros(0, dtype=np.int64)
    if n:
        starts = np.flatnonzero(np.concatenate(([True], grouped[1:] != grouped[:-1])))
        ends = np.concatenate((starts[1:], [n])) - 1
    values = grouped[starts].tolist()
    quality.packets = dict(zip(values, (ends - starts + 1).tolist(), strict=True))
    prev_index = np.empty(n, dtype=np.int64)
    prev_count = np.empty(n, dtype=np.int64)
    prev_index[1:] = order[:-1] + first_packet
    prev_count[1:] = grouped_counts[:-1]
    step = (grouped_counts - prev_count) & (_COUNT - 1)
    last: dict[int, tuple[int, int]] = {}
    for apid, start, end in zip(values, starts.tolist(), ends.tolist(), strict=True):
        if apid == IDLE_APID:
            step[start : end + 1] = 1  # fill: its counts are not looked at
            continue
        previous = before.get(apid)
        if previous is None:
            step[start] = 1  # the stream's first packet of the APID follows nothing
        else:
            prev_index[start], prev_count[start] = previous
            step[start] = (int(grouped_counts[start]) - previous[1]) & (_COUNT - 1)
        last[apid] = (int(order[end]) + first_packet, int(grouped_counts[end]))
    found: list[tuple[int, SequenceGap]] = []  # with the packet that shows each gap
    # Only the packets that break the run of counts are looked at one by one.
    for i in np.flatnonzero(step != 1).tolist():
        apid, packet = int(grouped[i]), int(order[i])
        if step[i] == 0:
            quality.repeats.append(
                SequenceRepeat(apid, packet + first_packet, int(grouped_counts[i]))
            )
        else:
            gap = SequenceGap(apid, int(prev_index[i]), int(prev_count[i]), int(step[i]) - 1)
            found.append((packet, gap))
    # In stream order of the packets that show them, as a reader meets them.
    found.sort(key=lambda pair: pair[0])
    quality.gaps = [gap for _, gap in found]
    quality.repeats.sort(key=lambda r: r.packet)
    if leave_out_idle:
        idle = apids == IDLE_APID
        quality.idle = int(idle.sum())
        keep &= ~idle
    if crc is not None and len(apids):
        checked = keep.copy()
        if isinstance(crc, frozenset):
            checked &= np.isin(apids, sorted(crc))
        rows = np.flatnonzero(checked)
        if len(rows) == len(apids):  # every packet: no copies of the positions
            computed, stored = _native.packet_crcs(data, frames.offsets, frames.lengths)
        else:
            computed, stored = _native.packet_crcs(data, frames.offsets[rows], frames.lengths[rows])
        for r in np.flatnonzero(computed != stored).tolist():
            p = int(rows[r])
            quality.crc_faults.append(
                CrcFault(
                    p + first_packet,
                    int(frames.offsets[p]) + first_offset,
                    int(apids[p]),
                    int(computed[r]),
                    int(stored[r]),
                )
            )
            keep[p] = False
    return quality, keep, last


def kept_bytes(data: Any, frames: Any, keep: npt.NDArray[np.bool_], start: int) -> bytes:
    """The bytes of the kept packets, end to end; the packets lie end to end
    from byte ``start`` of ``data``."""
    whole = np.frombuffer(data, dtype=np.uint8)[start : frames.end]
    return whole[np.repeat(keep, frames.lengths)].tobytes()


for _public in (Quality, SequenceGap, SequenceRepeat, CrcFault):
    _public.__module__ = "bitloom_bulk"
