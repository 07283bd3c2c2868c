"""CRC-16-CCITT of packets (CCSDS packet error control), as ratios in one run.

Run: python -m bench.bench_crc [--packets N]   (from the repository's root)

(a) The kernel alone: GB/s of _native.packet_crcs over one 64 MiB packet,
    against crcmod's C routine (crc-ccitt-false: the same CRC) over the same
    bytes in one call.
(b) The mixed stream of bench_bulk (three APIDs, 19, 94 and 54 bytes), every
    packet ending in its CRC: unpack_ccsds(crc="ccitt") against unpack_ccsds
    of the same stream (the cost of checking every packet, as a share of
    decoding it; the summary line holds it against the 15% target), and
    packet_crcs alone after split_ccsds.
Times are the best of several rounds; load is printed before and after.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np

import bitloom_bulk
from bench.bench_bulk import MIXED, best, packet_bytes, recipe
from bitloom_bulk import _native
from tests.support import streams

try:
    import crcmod.predefined
except ImportError:  # optional: the ratio is left out
    crcmod = None


# The most the CRC check may add to unpack_ccsds's time on the mixed stream.
TARGET = 0.15


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--packets", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    print(f"CPython {sys.version.split()[0]}, load {os.getloadavg()[0]:.2f}")
    big = np.random.default_rng(1).integers(0, 256, 64 * 2**20 + 2, dtype=np.uint8).tobytes()
    t_ours = best(lambda: _native.packet_crcs(big, [0], [len(big)]), 5)
    print(f"(a) packet_crcs over 64 MiB: {t_ours * 1e3:.1f} ms, {len(big) / t_ours / 1e9:.2f} GB/s")
    if crcmod is not None:
        fn = crcmod.predefined.mkPredefinedCrcFun("crc-ccitt-false")
        assert fn(big[:-2]) == int(_native.packet_crcs(big, [0], [len(big)])[0][0])
        t_crcmod = best(lambda: fn(big[:-2]), 5)
        print(
            f"    crcmod (C) over the same bytes: {t_crcmod * 1e3:.1f} ms,"
            f" {len(big) / t_crcmod / 1e9:.2f} GB/s; ours / crcmod: {t_crcmod / t_ours:.1f}x"
        )
    sizes = {apid: packet_bytes(fields) for apid, fields in MIXED.items()}
    data = streams.mixed_stream(args.packets, sizes, seed=2)
    recipes = {apid: recipe(fields) for apid, fields in MIXED.items()}
    frames = bitloom_bulk.split_ccsds(data)
    crcs, _ = _native.packet_crcs(data, frames.offsets, frames.lengths)
    buf = np.frombuffer(data, dtype=np.uint8).copy()
    ends = frames.offsets + frames.lengths
    buf[ends - 2], buf[ends - 1] = crcs >> 8, crcs & 0xFF
    data = buf.tobytes()
    checked = bitloom_bulk.unpack_ccsds(data, recipes, crc="ccitt")
    assert not checked.quality.crc_faults and len(checked) == len(MIXED)
    t_crc = best(lambda: _native.packet_crcs(data, frames.offsets, frames.lengths), 5)
    # The two decodes in turns, so that the machine's other load falls on both.
    plain, checked = [], []
    for _ in range(args.rounds):
        plain.append(best(lambda: bitloom_bulk.unpack_ccsds(data, recipes), 1))
        checked.append(best(lambda: bitloom_bulk.unpack_ccsds(data, recipes, crc="ccitt"), 1))
    t_unpack, t_checked = min(plain), min(checked)
    ratios = np.array(checked) / np.array(plain) - 1
    share, median = t_checked / t_unpack - 1, float(np.median(ratios))
    print(
        f"(b) mixed stream, {args.packets} packets: unpack_ccsds {t_unpack * 1e3:.1f} ms,"
        f" with crc='ccitt' {t_checked * 1e3:.1f} ms (best of {args.rounds} in turns);"
        f" packet_crcs alone {t_crc * 1e3:.1f} ms, {t_crc / args.packets * 1e9:.1f} ns a packet"
    )
    print(
        f"summary: CRC cost / decode time = {share * 100:.1f}% (best times),"
        f" median of the rounds {median * 100:.1f}%"
        f" (rounds {ratios.min() * 100:.1f}% to {ratios.max() * 100:.1f}%);"
        f" target at most {TARGET * 100:.0f}%: {'met' if median <= TARGET else 'NOT met'}"
    )
    print(f"load after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
