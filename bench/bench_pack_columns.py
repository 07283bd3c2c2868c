"""Packing whole tables: Layout.pack_columns against packet-by-packet loops and
ccsdspy's packet writer, as ratios in one run.

Run: python -m bench.bench_pack_columns [--rows N]   (from the repository's root)

The 12-field telemetry recipe (bench/packet_recipes.py, 19-byte packets) with
N rows (default 1 M) of random values, in the columns unpack_columns gives
(each item in the dtype it decodes to):
  pack_columns     Layout.pack_columns over numpy columns (GIL released)
  Layout.pack      a Python loop over Layout.pack, timed on 20 000 rows and scaled
  bitstruct        a Python loop over bitstruct.pack, timed on 20 000 rows and scaled
  ccsdspy          FixedLength.to_file into a temporary file (its public packet writer:
                   primary header from its arguments, the 5 body fields from
                   columns), timed on 16 000 rows and scaled
Times are the best of several rounds.
"""

from __future__ import annotations

import argparse
import os
import platform
import subprocess
import tempfile
import time

import numpy as np

import bitloom_bulk
from bench.packet_recipes import TELEMETRY, unpack_recipe

try:
    import bitstruct
except ImportError:  # pragma: no cover
    bitstruct = None
try:
    import ccsdspy
except ImportError:  # pragma: no cover
    ccsdspy = None

SAMPLE = 20_000


def best(fn, rounds):
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def columns(layout, rows, rng):
    """The columns unpack_columns gives for random packets (each item in the
    dtype it decodes to), with float fields made finite."""
    packet = (layout.packet_bits + 7) // 8
    data = rng.integers(0, 256, rows * packet, dtype=np.uint8).tobytes()
    out = bitloom_bulk.unpack_columns(data, layout, packet_bytes=packet)
    out["voltage"] = rng.standard_normal(rows).astype(np.float32)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    layout = bitloom_bulk.compile(unpack_recipe(TELEMETRY))
    packet = (layout.packet_bits + 7) // 8
    cols = columns(layout, args.rows, rng)
    sample = {k: v[:SAMPLE] for k, v in cols.items()}
    rows = [
        dict(zip(sample, r, strict=True))
        for r in zip(*(v.tolist() for v in sample.values()), strict=True)
    ]

    t_cols = best(lambda: layout.pack_columns(cols), 7)
    t_loop = best(lambda: b"".join(map(layout.pack, rows)), 3) * args.rows / SAMPLE
    assert layout.pack_columns(sample) == b"".join(map(layout.pack, rows))
    results = {"pack_columns": t_cols, "Layout.pack loop": t_loop}
    if bitstruct is not None:
        fmt = bitstruct.compile("".join(f"{code}{bits}" for _, _, bits, code, _ in TELEMETRY))
        tuples = [tuple(r.values()) for r in rows]
        t_bs = best(lambda: b"".join(fmt.pack(*t) for t in tuples), 3) * args.rows / SAMPLE
        assert b"".join(fmt.pack(*t) for t in tuples[:100]) == layout.pack_columns(
            {k: v[:100] for k, v in sample.items()}
        )
        results["bitstruct loop"] = t_bs
    if ccsdspy is not None:
        body = TELEMETRY[7:]
        kinds = {"unsigned": "uint", "twos_complement": "int", "ieee754_f32": "float"}
        pkt = ccsdspy.FixedLength(
            [
                ccsdspy.PacketField(name=n, data_type=kinds[e], bit_length=b)
                for n, e, b, _, _ in body
            ]
        )
        # Its sequence counts run from 0 without wrapping at 2**14: 16 000 rows.
        few = 16_000
        data = {n: sample[n][:few] for n, *_ in body}

        target = os.path.join(tempfile.mkdtemp(), "packets.bin")

        def write():
            pkt.to_file(target, 0, 0x1AB, 0, 3, data)

        results["ccsdspy to_file"] = best(write, 3) * args.rows / few
    mb = args.rows * packet / 1e6
    load = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    print(f"{args.rows} rows of {packet}-byte packets; CPython {platform.python_version()}")
    print(f"load: {load}")
    for name, t in results.items():
        print(
            f"{name:18s} {t * 1e3:10.1f} ms  {mb / t / 1e3:7.3f} GB/s"
            f"  {t * 1e9 / args.rows:8.1f} ns/packet  x{t / t_cols:8.1f}"
        )
    print(
        f"summary: pack_columns {mb / t_cols / 1e3:.2f} GB/s (target 1), "
        f"{t_loop / t_cols:.0f}x the Layout.pack loop (target 20)"
    )


if __name__ == "__main__":
    main()
