"""Generated packet archives for the Dask reader's tests, example and benchmark:
fixed-length telemetry files and mixed-APID CCSDS streams, written with numpy
(random field values, valid headers), so any size is quick to make."""

from __future__ import annotations

import os

import numpy as np

from bitloom_bulk import field

HEADER = [
    field("version", "unsigned", 3),
    field("type", "unsigned", 1),
    field("sec_hdr_flag", "unsigned", 1),
    field("apid", "unsigned", 11),
    field("seq_flags", "unsigned", 2),
    field("seq_count", "unsigned", 14),
    field("data_length", "unsigned", 16),
]

# 32 bytes: the primary header, then housekeeping values of several kinds.
TELEMETRY = [
    *HEADER,
    field("seconds", "unsigned", 32),
    field("temperature", "twos_complement", 16),
    field("bus_voltage", "ieee754_f32", 32),
    field("status", "unsigned", 8),
    field("current", "twos_complement", 12),
    field("flags", "unsigned", 4, byte_order="little"),
    field("gain", "ieee754_f64", 64),
    field("mode", "us_ascii", 32),
]
TELEMETRY_BYTES = sum(item["bits"] for item in TELEMETRY) // 8
TEXT_BYTES = {"mode": (TELEMETRY_BYTES - 4, 4)}  # text fields: (first byte, bytes)

# A second layout of another length for the mixed streams.
EVENTS = [
    *HEADER,
    field("ticks", "unsigned", 40),
    field("code", "twos_complement", 8),
    field("label", "utf8", 48),
]
EVENTS_BYTES = sum(item["bits"] for item in EVENTS) // 8
EVENTS_TEXT = {"label": (EVENTS_BYTES - 6, 6)}

APIDS = {0x1AB: (TELEMETRY, TELEMETRY_BYTES, TEXT_BYTES), 0x2C: (EVENTS, EVENTS_BYTES, EVENTS_TEXT)}
OTHER_APID = 0x7FE  # packets no recipe decodes
OTHER_BYTES = 23


def _packets(rng, count, size, apid, texts, first_seq=0):
    raw = rng.integers(0, 256, size=(count, size), dtype=np.uint8)
    for start, width in texts.values():
        raw[:, start : start + width] = rng.integers(0x20, 0x7F, size=(count, width))
    seq = (np.arange(first_seq, first_seq + count) % 16384).astype(np.uint16)
    word0 = np.uint16(0x0800 | apid)  # version 0, telemetry, secondary header
    raw[:, 0] = word0 >> 8
    raw[:, 1] = word0 & 0xFF
    raw[:, 2] = 0xC0 | (seq >> 8)
    raw[:, 3] = seq & 0xFF
    raw[:, 4] = (size - 7) >> 8
    raw[:, 5] = (size - 7) & 0xFF
    return raw


def fixed_file(path, packets, seed):
    """A file of ``packets`` telemetry packets of TELEMETRY_BYTES each."""
    rng = np.random.default_rng(seed)
    with open(path, "wb") as f:
        for first in range(0, packets, 1 << 20):
            n = min(1 << 20, packets - first)
            f.write(_packets(rng, n, TELEMETRY_BYTES, 0x1AB, TEXT_BYTES, first).tobytes())
    return path


def ccsds_file(path, packets, seed):
    """A stream of ``packets`` CCSDS packets of three APIDs in random order: the
    two recipes' and one more of another length that no recipe decodes."""
    rng = np.random.default_rng(seed)
    kinds = rng.integers(0, 3, size=packets)
    built = {}
    for k, (apid, size, texts) in enumerate(
        [
            (0x1AB, TELEMETRY_BYTES, TEXT_BYTES),
            (0x2C, EVENTS_BYTES, EVENTS_TEXT),
            (OTHER_APID, OTHER_BYTES, {}),
        ]
    ):
        built[k] = iter(_packets(rng, int((kinds == k).sum()), size, apid, texts))
    with open(path, "wb") as f:
        f.write(b"".join(next(built[k]).tobytes() for k in kinds))
    return path


def fixed_archive(directory, files, packets, seed=0):
    """``files`` fixed-length files of about ``packets`` packets each (sizes vary)."""
    os.makedirs(directory, exist_ok=True)
    return [
        fixed_file(os.path.join(directory, f"tm-{i:03d}.bin"), packets + 7 * i, seed + i)
        for i in range(files)
    ]


def ccsds_archive(directory, files, packets, seed=100):
    os.makedirs(directory, exist_ok=True)
    return [
        ccsds_file(os.path.join(directory, f"stream-{i:03d}.ccsds"), packets + 5 * i, seed + i)
        for i in range(files)
    ]
