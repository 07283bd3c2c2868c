"""CRC-16-CCITT of packets (CCSDS packet error control), as ratios in one run.

Run: python -m bench.bench_crc [--packets N]   (from the repository's root)

(a) The kernel alone: GB/s of _native.packet_crcs over one 64 MiB packet,
    against crcmod's C routine (crc-ccitt-false: the same CRC) over the same
    bytes in one call.
(b) Every packet of the mixed stream of bench_bulk (three APIDs, 19, 94 and 54
    bytes): packet_crcs after split_ccsds, against unpack_ccsds of the same
    stream (the cost of checking every packet, as a share of decoding it).
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--packets", type=int, default=1_000_000)
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
    t_crc = best(lambda: _native.packet_crcs(data, frames.offsets, frames.lengths), 5)
    t_unpack = best(lambda: bitloom_bulk.unpack_ccsds(data, recipes), 5)
    print(
        f"(b) mixed stream, {args.packets} packets: packet_crcs {t_crc * 1e3:.1f} ms,"
        f" unpack_ccsds {t_unpack * 1e3:.1f} ms: {t_crc / t_unpack * 100:.0f}% of decoding"
    )
    print(f"load after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
