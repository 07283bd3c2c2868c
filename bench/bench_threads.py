"""Threads inside one decode call: threads=1 against threads=2 (and the default).

Run: python -m bench.bench_threads [--packets N] [--rounds R]   (from the repository's root)

(a) N fixed-size packets of the 12-field telemetry recipe (bench_bulk.py's,
    19 bytes each): unpack_columns with packet_bytes, unpack_columns with the
    offsets and lengths split_ccsds gives, unpack_ccsds on the one-APID stream;
(b) a mixed stream of three APIDs (bench_bulk.py's) through unpack_ccsds;
(c) the JPSS geolocation packets of the shared real data (71 bytes, the
    primary header and the fields of its ccsdspy CSV file), tiled to N
    packets, through unpack_columns with packet_bytes (skipped without the data);
(d) how the time of threads=1 and threads=2 scale with the packet count (the
    measurement behind the default of threads=None).
Times are the best of R rounds, the settings taken in turn round by round so
that a change of load meets all of them. The machine's cores are shared: the
1-minute load average is printed before and after.
"""

from __future__ import annotations

import argparse
import csv
import os
import sys
import time
from pathlib import Path

import bitloom_bulk
from bench.bench_bulk import MIXED, TELEMETRY, packet_bytes, recipe
from tests.support import streams

# The shared real data, as the tests find it (without importing pytest).
JPSS = Path(os.environ.get("BITLOOM_REALDATA", "/work/shared/realdata")) / "spp" / "jpss"


def best_of(calls, rounds):
    """{name: best seconds} for calls {name: fn}, taken in turn each round."""
    times = dict.fromkeys(calls, float("inf"))
    for _ in range(rounds):
        for name, fn in calls.items():
            t0 = time.perf_counter()
            fn()
            times[name] = min(times[name], time.perf_counter() - t0)
    return times


def same(a, b):
    """Every column of two tables alike: names, dtypes and bytes."""
    return list(a) == list(b) and all(
        a[k].dtype == b[k].dtype and a[k].tobytes() == b[k].tobytes() for k in a
    )


def compare(title, nbytes, n, make):
    """Time make(threads) for threads 1, 2 and None; print GB/s and speed-ups."""
    tables = {t: make(t) for t in (1, 2, None)}
    flat = [v for t in tables.values() for v in (t.values() if isinstance(t, dict) else [t])]
    assert flat and same(tables[1], tables[2]) and same(tables[1], tables[None]), title
    times = best_of({t: (lambda t=t: make(t)) for t in (1, 2, None)}, ARGS.rounds)
    print(f"\n== {title}: {n:,} packets, {nbytes / 1e6:.1f} MB")
    for t, s in times.items():
        print(
            f"  threads={t!s:5s} {s * 1e3:8.1f} ms {nbytes / s / 1e9:6.2f} GB/s "
            f"{s / n * 1e9:6.2f} ns/packet  x{times[1] / s:.2f}"
        )
    return times


def ccsds_tables(found):
    """unpack_ccsds's tables as one dict of columns (for comparison)."""
    return {f"{apid}/{k}": v for apid, table in found.items() for k, v in table.items()}


def scaling(size, rec):
    print("\n== scaling: telemetry packets, packet_bytes; ms for threads=1 / threads=2")
    for n in (8_192, 16_384, 32_768, 65_536, 131_072, 262_144):
        data = streams.fixed_stream(n, 0x064, size, seed=3)
        calls = {
            t: (
                lambda t=t, d=data: bitloom_bulk.unpack_columns(
                    d, rec, packet_bytes=size, threads=t
                )
            )
            for t in (1, 2)
        }
        times = best_of(calls, max(ARGS.rounds, 20))
        print(
            f"  {n:9,} packets {times[1] * 1e3:8.3f} / {times[2] * 1e3:8.3f} ms"
            f"  x{times[1] / times[2]:.2f}"
        )


def jpss_recipe():
    kind = {"uint": "unsigned", "int": "twos_complement", "float": "ieee754_f32"}
    with open(JPSS / "ccsdspy_jpss1_geolocation.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    fields = [
        bitloom_bulk.field(r["name"], kind[r["data_type"]], int(r["bit_length"])) for r in rows
    ]
    return [*bitloom_bulk.ccsds.primary_header(), *fields]


def main():
    print(
        f"CPython {sys.version.split()[0]}, {len(os.sched_getaffinity(0))} CPUs, "
        f"load {os.getloadavg()[0]:.2f}"
    )
    n = ARGS.packets
    size = packet_bytes(TELEMETRY)
    rec = bitloom_bulk.compile(recipe(TELEMETRY))
    data = streams.fixed_stream(n, 0x064, size, seed=1)
    compare(
        f"(a) telemetry, unpack_columns(packet_bytes={size})",
        len(data),
        n,
        lambda t: bitloom_bulk.unpack_columns(data, rec, packet_bytes=size, threads=t),
    )
    frames = bitloom_bulk.split_ccsds(data)
    compare(
        "(a) telemetry, unpack_columns(offsets=, lengths=)",
        len(data),
        n,
        lambda t: bitloom_bulk.unpack_columns(
            data, rec, offsets=frames.offsets, lengths=frames.lengths, threads=t
        ),
    )
    compare(
        "(a) telemetry, unpack_ccsds (one APID)",
        len(data),
        n,
        lambda t: ccsds_tables(bitloom_bulk.unpack_ccsds(data, {0x064: rec}, threads=t)),
    )
    sizes = {apid: packet_bytes(fields) for apid, fields in MIXED.items()}
    mixed = streams.mixed_stream(n, sizes, seed=2)
    recipes = {apid: bitloom_bulk.compile(recipe(fields)) for apid, fields in MIXED.items()}
    compare(
        "(b) mixed stream of three APIDs, unpack_ccsds",
        len(mixed),
        n,
        lambda t: ccsds_tables(bitloom_bulk.unpack_ccsds(mixed, recipes, threads=t)),
    )
    raw = JPSS / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
    if raw.exists():
        jpss = bitloom_bulk.compile(jpss_recipe())
        one = raw.read_bytes()
        size = (jpss.packet_bits + 7) // 8
        assert len(one) % size == 0, (len(one), size)
        tiled = one * max(1, round(n / (len(one) // size)))
        compare(
            f"(c) JPSS geolocation, unpack_columns(packet_bytes={size})",
            len(tiled),
            len(tiled) // size,
            lambda t: bitloom_bulk.unpack_columns(tiled, jpss, packet_bytes=size, threads=t),
        )
    else:
        print("\n(c) skipped: no JPSS data under", JPSS)
    scaling(packet_bytes(TELEMETRY), rec)
    print(f"\nload after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--packets", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=7)
    ARGS = parser.parse_args()
    main()
