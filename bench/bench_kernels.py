"""unpack_columns against a hand-written C++ loop for the same layout, in one run.

Run: python -m bench.bench_kernels [--packets N] [--rounds R]   (from the repository's root)

Two layouts, each decoded from memory into fresh columns on every call:
(a) the 12-field telemetry recipe (bench_bulk.py), 19-byte packets of random
    payload (tests/support/streams.py);
(b) the JPSS attitude/ephemeris layout (primary header and 20 fields, 71-byte
    packets), the shared real JPSS file tiled to N packets (skipped without
    the real data).
Rows: bitloom_bulk.unpack_columns with a compiled layout on one thread
(threads=1, as the loop runs; the default threads=None is shown below it); the loop of
bench/columns_loop.cpp (constants for every offset and width, outputs made by
numpy.empty as bitloom makes them; built by bench/loop_helper.py); a copy of
the input's bytes into a new numpy array (memcpy into numpy's memory) and into
a bytearray. Both decoders' columns are checked identical (dtype and bytes)
before timing. Times are the best of R rounds, the contenders taking turns
within each round; the load average is printed before and after.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

import bitloom_bulk
from bench import loop_helper
from bench.bench_bulk import TELEMETRY, packet_bytes, recipe
from tests.support import streams
from tests.support.realdata import REALDATA

JPSS_FILE = REALDATA / "spp" / "jpss" / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"


def jpss_recipe():
    from tests.support.realdata_definitions import _JPSS

    fields = bitloom_bulk.ccsds.primary_header("xtce")
    fields += [bitloom_bulk.field(n, e, b) for n, e, b in _JPSS]
    return fields


def same(ours, theirs):
    assert list(ours) == list(theirs), (list(ours), list(theirs))
    for k in ours:
        a, b = ours[k], theirs[k]
        assert a.dtype == b.dtype, (k, a.dtype, b.dtype)
        assert a.tobytes() == b.tobytes(), k


def run(title, data, size, layout, loop, rounds):
    n = len(data) // size
    arr = np.frombuffer(data, dtype=np.uint8)
    # The kernel against the loop on one thread each; the default (threads
    # spread over the CPUs) is shown beside them, not compared with the loop.
    rows = {
        "bitloom_bulk.unpack_columns": lambda: bitloom_bulk.unpack_columns(
            data, layout, packet_bytes=size, threads=1
        ),
        "  the same, threads=None": lambda: bitloom_bulk.unpack_columns(
            data, layout, packet_bytes=size
        ),
    }
    if loop is not None:
        same(rows["bitloom_bulk.unpack_columns"](), loop(data))
        same(rows["  the same, threads=None"](), loop(data))
        rows["hand-written loop"] = lambda: loop(data)
    rows["memcpy into numpy (arr.copy())"] = arr.copy
    rows["bytearray(data)"] = lambda: bytearray(data)
    best = dict.fromkeys(rows, float("inf"))
    for _ in range(rounds):
        for name, fn in rows.items():
            t0 = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - t0)
    print(f"\n== {title}: {n:,} packets of {size} bytes, {len(data) / 1e6:.1f} MB")
    for name, t in best.items():
        print(
            f"  {name:34s} {t * 1e3:8.2f} ms {len(data) / t / 1e9:6.2f} GB/s"
            f" {n / t / 1e6:7.1f} M packets/s"
        )
    ours = best["bitloom_bulk.unpack_columns"]
    copy = best["memcpy into numpy (arr.copy())"]
    line = f"  summary (one thread): bitloom/copy {copy / ours:.2f}x"
    if loop is not None:
        line += f", bitloom/loop {best['hand-written loop'] / ours:.2f}x"
        line += f", loop/copy {copy / best['hand-written loop']:.2f}x"
    print(line)
    print(f"  threads=None / threads=1: {ours / best['  the same, threads=None']:.2f}x")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--packets", type=int, default=1_000_000)
    ap.add_argument("--rounds", type=int, default=15)
    args = ap.parse_args()
    print(
        f"CPython {sys.version.split()[0]}, numpy {np.__version__}, load {os.getloadavg()[0]:.2f}"
    )
    mod = loop_helper.load()
    size = packet_bytes(TELEMETRY)
    data = streams.fixed_stream(args.packets, 0x064, size, seed=1)
    layout = bitloom_bulk.compile(recipe(TELEMETRY))
    run("(a) telemetry", data, size, layout, mod and mod.telemetry, args.rounds)
    if JPSS_FILE.exists():
        raw = JPSS_FILE.read_bytes()
        copies = -(-args.packets // (len(raw) // 71))
        run(
            "(b) JPSS geolocation",
            raw * copies,
            71,
            bitloom_bulk.compile(jpss_recipe()),
            mod and mod.jpss,
            args.rounds,
        )
    else:
        print("(b) skipped: no real data")
    print(f"load after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
