"""Generated CCSDS space packet streams for tests and benchmarks.

Packets have correct primary headers (version 0, telemetry, secondary header
flag set, unsegmented, per-APID sequence counts) and bodies of random bytes,
so any recipe that reads numeric fields inside the packet decodes them.
Everything is vectorised with numpy: a million packets take well under a second.
"""

from __future__ import annotations

import numpy as np

HEADER_BYTES = 6


def header(apid: int, sequence_count: int, packet_bytes: int) -> bytes:
    """The 6-byte primary header of a packet of `packet_bytes` bytes."""
    field = packet_bytes - 7
    return bytes(
        [
            0x08 | (apid >> 8),
            apid & 0xFF,
            0xC0 | (sequence_count >> 8),
            sequence_count & 0xFF,
            field >> 8,
            field & 0xFF,
        ]
    )


def stream(apids, lengths, rng: np.random.Generator) -> bytes:
    """Packets with these APIDs and sizes in bytes (each 7..65542), in order."""
    apids = np.asarray(apids, dtype=np.int64)
    lengths = np.asarray(lengths, dtype=np.int64)
    offsets = np.zeros(len(lengths), dtype=np.int64)
    np.cumsum(lengths[:-1], out=offsets[1:])
    total = int(lengths.sum())
    buf = rng.integers(0, 256, size=total, dtype=np.uint8)
    # Sequence count: the packet's index among the packets of its APID, mod 2^14.
    seq = np.zeros(len(apids), dtype=np.int64)
    order = np.argsort(apids, kind="stable")
    sorted_apids = apids[order]
    starts = np.searchsorted(sorted_apids, sorted_apids, side="left")
    seq[order] = (np.arange(len(apids)) - starts) % 16384
    field = lengths - 7
    buf[offsets] = 0x08 | (apids >> 8)
    buf[offsets + 1] = apids & 0xFF
    buf[offsets + 2] = 0xC0 | (seq >> 8)
    buf[offsets + 3] = seq & 0xFF
    buf[offsets + 4] = field >> 8
    buf[offsets + 5] = field & 0xFF
    return buf.tobytes()


def fixed_stream(n: int, apid: int, packet_bytes: int, seed: int = 0) -> bytes:
    """n packets of one APID and one size."""
    rng = np.random.default_rng(seed)
    return stream(np.full(n, apid), np.full(n, packet_bytes), rng)


def mixed_stream(n: int, kinds: dict[int, int], seed: int = 0) -> bytes:
    """n packets whose APIDs are drawn evenly from `kinds` (APID -> packet size)."""
    rng = np.random.default_rng(seed)
    keys = np.array(sorted(kinds))
    sizes = np.array([kinds[k] for k in keys])
    pick = rng.integers(0, len(keys), size=n)
    return stream(keys[pick], sizes[pick], rng)
