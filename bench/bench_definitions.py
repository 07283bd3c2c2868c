"""Packet definitions (Definitions.decode) against the flat decoders, as ratios in one run.

Run: python -m bench.bench_definitions [--packets N] [--quick]   (from the repository's root)

(a) plain types keyed by APID (an abstract root with the primary header, three
    children where={"apid": N}) against unpack_ccsds with the same recipes.
(b) four types under one APID chosen by a decoded type code (== 1, == 2, == 3, > 3)
    against a flat decode with the types known in advance: split_ccsds, the code
    read with numpy, then unpack_columns per type at its packets' offsets. Framing
    is in both.
(c) variable-size payloads with fields behind them (a 16-bit size, a binary
    payload of that many bytes, two fixed fields, a checksum 16 bits before the
    end): GB/s of input, with the payloads as bytes objects, as an Arrow binary
    column (binary="arrow"), as Arrow binary views into the input
    (binary="view": no copy of a payload) and left undecoded.
(d) repeated records (IMAP-Lo-like: a 16-bit count, then that many events of
    12 + 8 + 10 bits): GB/s of record bits into columns, and the ratio against a
    Python loop doing the same with int.from_bytes and shifts (on a subset,
    scaled per record).
(e) derived values (an enumeration, two polynomials and a CUC time) against the
    same definitions with derived=False; and APID-keyed without the time code
    (the route unpack_ccsds decodes, derived afterwards).
(f) peak memory of (a) and (b) in a subprocess (tracemalloc), against input +
    outputs + 16 MiB.
Times are the best of several rounds; the closing "summary:" lines give the
ratios against the targets.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

import bitloom_bulk as bb
from bitloom_bulk import Definitions, PacketType, field
from bitloom_bulk.ccsds import primary_header
from tests.support import streams

HEADER = primary_header()


def best(fn, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def _fixed_stream(n, apids, body_bytes, seed):
    rng = np.random.default_rng(seed)
    return streams.stream(apids, np.full(n, 6 + body_bytes), rng)


def case_a(n):
    rng = np.random.default_rng(1)
    apids = rng.integers(10, 13, n)
    data = _fixed_stream(n, apids, 20, 1)
    body = [field(f"f{i}", "unsigned", 16) for i in range(6)] + [
        field("g", "twos_complement", 32),
        field("h", "ieee754_f32", 32),
    ]
    root = PacketType("root", HEADER, abstract=True)
    defs = Definitions(
        [root] + [PacketType(f"t{a}", body, parent=root, where={"apid": a}) for a in (10, 11, 12)]
    )
    recipes = dict.fromkeys((10, 11, 12), HEADER + body)
    return data, defs, lambda: bb.unpack_ccsds(data, recipes), lambda: defs.decode(data)


def case_b(n):
    rng = np.random.default_rng(2)
    data = bytearray(_fixed_stream(n, np.full(n, 1424), 25, 2))
    view = np.frombuffer(data, np.uint8).reshape(n, 31)
    view[:, 6] = rng.integers(1, 6, n)
    data = bytes(data)
    bodies = {
        k: [field(f"{k}{i}", "unsigned", 16) for i in range(6)]
        + [field(f"{k}f", "ieee754_f32", 32), field(f"{k}g", "twos_complement", 32)]
        for k in "abcd"
    }
    root = PacketType("root", HEADER, abstract=True)
    sci = PacketType(
        "sci", [field("code", "unsigned", 8)], parent=root, where={"apid": 1424}, abstract=True
    )
    tests = [("==", 1), ("==", 2), ("==", 3), (">", 3)]
    defs = Definitions(
        [root, sci]
        + [
            PacketType(k, bodies[k], parent=sci, where=[("code", *t)])
            for k, t in zip("abcd", tests, strict=True)
        ]
    )
    layouts = {k: bb.compile(HEADER + [field("code", "unsigned", 8)] + bodies[k]) for k in "abcd"}

    def flat():
        frames = bb.split_ccsds(data)
        code = np.frombuffer(data, np.uint8)[frames.offsets + 6]
        masks = [code == 1, code == 2, code == 3, code > 3]
        return {
            k: bb.unpack_columns(
                data, layouts[k], offsets=frames.offsets[m], lengths=frames.lengths[m]
            )
            for k, m in zip("abcd", masks, strict=True)
        }

    return data, defs, flat, lambda: defs.decode(data)


def case_c(n):
    rng = np.random.default_rng(3)
    sizes = rng.integers(40, 160, n)
    lengths = 6 + 2 + sizes + 8 + 2
    data = bytearray(streams.stream(np.full(n, 7), lengths, rng))
    offsets = np.zeros(n, np.int64)
    np.cumsum(lengths[:-1], out=offsets[1:])
    view = np.frombuffer(data, np.uint8)
    view[offsets + 6] = sizes >> 8
    view[offsets + 7] = sizes & 0xFF
    data = bytes(data)

    def defs(payload):
        return Definitions(
            [
                PacketType("root", HEADER, abstract=True),
                PacketType(
                    "v",
                    [
                        field("n", "unsigned", 16),
                        payload,
                        field("a", "unsigned", 32),
                        field("b", "twos_complement", 32),
                        field("crc", "unsigned", 16, offset_bits=-16),
                    ],
                    parent="root",
                    where={"apid": 7},
                ),
            ]
        )

    with_bytes = defs(field("payload", "binary", {"field": "n", "scale": 8}))
    # The same sizes, the payload read as records of one byte each.
    as_records = defs(
        field(
            "payload",
            "binary",
            {"field": "n", "scale": 8},
            count=0,
            records=[field("x", "unsigned", 8)],
        )
    )
    return data, with_bytes, as_records


def case_d(target_bytes):
    rng = np.random.default_rng(4)
    # About 850 bytes a packet: 225 events of 30 bits on average.
    counts = rng.integers(50, 400, max(1, target_bytes // 850))
    body = 2 + (counts * 30 + 7) // 8
    data = bytearray(streams.stream(np.full(len(counts), 9), 6 + body, rng))
    offsets = np.zeros(len(counts), np.int64)
    np.cumsum((6 + body)[:-1], out=offsets[1:])
    view = np.frombuffer(data, np.uint8)
    view[offsets + 6] = counts >> 8
    view[offsets + 7] = counts & 0xFF
    data = bytes(data)
    defs = Definitions(
        [
            PacketType("root", HEADER, abstract=True),
            PacketType(
                "events",
                [
                    field("count", "unsigned", 16),
                    field(
                        "events",
                        "binary",
                        {"rest": 0},
                        count={"field": "count"},
                        records=[
                            field("energy", "unsigned", 12),
                            field("tof", "unsigned", 8),
                            field("position", "unsigned", 10),
                        ],
                    ),
                ],
                parent="root",
                where={"apid": 9},
            ),
        ]
    )

    def python_loop(limit):
        energy, tof, position = [], [], []
        at = 0
        for _ in range(limit):
            size = int.from_bytes(data[at + 4 : at + 6], "big") + 7
            count = int.from_bytes(data[at + 6 : at + 8], "big")
            value = int.from_bytes(data[at + 8 : at + size], "big")
            bits = 8 * (size - 8)
            for k in range(count):
                record = (value >> (bits - 30 * (k + 1))) & 0x3FFFFFFF
                energy.append(record >> 18)
                tof.append((record >> 10) & 0xFF)
                position.append(record & 0x3FF)
            at += size
        return energy, tof, position

    return data, defs, int(counts.sum()), python_loop


def case_e(n):
    np.random.default_rng(5)
    data = bytearray(_fixed_stream(n, np.full(n, 7), 24, 5))
    view = np.frombuffer(data, np.uint8).reshape(n, 30)
    view[:, 6] &= 3
    data = bytes(data)
    body = [
        field("mode", "unsigned", 8, enumeration={0: "off", 1: "on", 2: "safe", 3: "boot"}),
        field("time", "binary", 48, time={"code": "cuc", "coarse_bytes": 4, "fine_bytes": 2}),
        field("temperature", "unsigned", 12, polynomial=[-40.0, 0.05, 1e-6]),
        field("voltage", "unsigned", 12, polynomial=[0.0, 0.001]),
    ] + [field(f"x{i}", "unsigned", 16) for i in range(6)]
    defs = Definitions(
        [
            PacketType("root", HEADER, abstract=True),
            PacketType("hk", body, parent="root", where={"apid": 7}),
        ]
    )
    return data, defs


def case_e_keyed(n):
    """APID-keyed: an enumeration and two polynomials, no time code."""
    data = bytearray(_fixed_stream(n, np.full(n, 7), 24, 6))
    view = np.frombuffer(data, np.uint8).reshape(n, 30)
    view[:, 6] &= 3
    body = [
        field("mode", "unsigned", 8, enumeration={0: "off", 1: "on", 2: "safe", 3: "boot"}),
        field("temperature", "unsigned", 12, polynomial=[-40.0, 0.05, 1e-6]),
        field("voltage", "unsigned", 12, polynomial=[0.0, 0.001]),
    ] + [field(f"x{i}", "unsigned", 16) for i in range(8)]
    defs = Definitions(
        [
            PacketType("root", HEADER, abstract=True),
            PacketType("hk", body, parent="root", where={"apid": 7}),
        ]
    )
    return bytes(data), defs


def _nbytes(result):
    total = 0
    for table in result.values():
        for column in table.values():
            total += column.nbytes
            if column.dtype == object:
                total += sum(len(v) + 33 for v in column if isinstance(v, bytes))
    return total


def memory_child(case, n):
    import tracemalloc

    data, defs, _, _ = {"a": case_a, "b": case_b}[case](n)
    tracemalloc.start()
    result = defs.decode(data)
    peak = tracemalloc.get_traced_memory()[1]
    outputs = _nbytes(result)
    print(json.dumps({"peak": peak, "outputs": outputs, "input": len(data)}))


def measure_memory(case, n):
    out = subprocess.run(
        [
            sys.executable,
            "-m",
            "bench.bench_definitions",
            "--memory-child",
            case,
            "--packets",
            str(n),
        ],
        capture_output=True,
        text=True,
        check=True,
        cwd=os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
    )
    got = json.loads(out.stdout.strip().splitlines()[-1])
    over = got["peak"] - got["outputs"]
    return got, over


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--packets", type=int, default=1_000_000)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--memory-child")
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child, args.packets)
        return
    n = 100_000 if args.quick else args.packets
    rounds = 3 if args.quick else 5
    record_bytes = (8 if args.quick else 64) * 2**20
    print(f"CPython {sys.version.split()[0]}, {n} packets, load {os.getloadavg()[0]:.2f}")
    summary = []

    data, defs, flat, ours = case_a(n)
    t_flat, t_ours = best(flat, rounds), best(ours, rounds)
    ratio_a = t_flat / t_ours
    print(f"(a) APID-keyed: unpack_ccsds {t_flat * 1e3:.1f} ms, definitions {t_ours * 1e3:.1f} ms")
    summary.append(f"a APID-keyed / unpack_ccsds: {ratio_a:.2f}x (target >= 0.9)")

    data, defs, flat, ours = case_b(n)
    t_flat, t_ours = best(flat, rounds), best(ours, rounds)
    ratio_b = t_flat / t_ours
    print(
        f"(b) four types by a code: flat {t_flat * 1e3:.1f} ms, definitions {t_ours * 1e3:.1f} ms"
    )
    summary.append(f"b types by a decoded field / flat: {ratio_b:.2f}x (target >= 0.8)")

    data, with_bytes, as_records = case_c(n)
    t_bytes = best(lambda: with_bytes.decode(data), rounds)
    t_arrow = best(lambda: with_bytes.decode(data, binary="arrow"), rounds)
    t_view = best(lambda: with_bytes.decode(data, binary="view"), rounds)
    t_records = best(lambda: as_records.decode(data), rounds)
    gbs = len(data) / t_bytes / 1e9
    arrow_gbs = len(data) / t_arrow / 1e9
    view_gbs = len(data) / t_view / 1e9
    print(
        f"(c) variable payloads: {t_bytes * 1e3:.1f} ms with bytes objects ({gbs:.2f} GB/s),"
        f" {t_arrow * 1e3:.1f} ms as an Arrow binary column ({arrow_gbs:.2f} GB/s),"
        f" {t_view * 1e3:.1f} ms as Arrow binary views ({view_gbs:.2f} GB/s),"
        f" {t_records * 1e3:.1f} ms with the payload left undecoded"
        f" ({len(data) / t_records / 1e9:.2f} GB/s)"
    )
    summary.append(f"c variable payloads: {gbs:.2f} GB/s (target >= 0.5)")
    summary.append(
        f'c variable payloads, binary="arrow": {arrow_gbs:.2f} GB/s (target >= 0.5;'
        f" {arrow_gbs / 0.5:.2f}x the target)"
    )
    summary.append(
        f'c variable payloads, binary="view": {view_gbs:.2f} GB/s (target >= 0.5;'
        f" {view_gbs / 0.5:.2f}x the target)"
    )

    data, defs, records, python_loop = case_d(record_bytes)
    t_ours = best(lambda: defs.decode(data), rounds)
    subset = 50 if args.quick else 200
    sub_records = sum(len(c) for c in [python_loop(subset)[0]])
    t_loop = best(lambda: python_loop(subset), 1) / sub_records * records
    record_gbs = records * 30 / 8 / t_ours / 1e9
    print(
        f"(d) records: {records} events in {len(data) / 2**20:.0f} MiB, {t_ours * 1e3:.1f} ms"
        f" ({record_gbs:.2f} GB/s of record bits); Python loop {t_loop:.1f} s (scaled)"
    )
    summary.append(
        f"d records: {record_gbs:.2f} GB/s of record bits ({record_gbs:.2f}x the target of"
        f" >= 1 GB/s), {t_loop / t_ours:.0f}x the Python loop ({t_loop / t_ours / 100:.2f}x the"
        " target of >= 100x)"
    )

    data, defs = case_e(n)
    t_raw = best(lambda: defs.decode(data, derived=False), rounds)
    t_derived = best(lambda: defs.decode(data), rounds)
    slower = (t_derived / t_raw - 1) * 100
    print(f"(e) derived {t_derived * 1e3:.1f} ms, raw {t_raw * 1e3:.1f} ms")
    summary.append(f"e derived values: {slower:+.0f}% against raw (target <= +10%)")
    data, defs = case_e_keyed(n)
    t_raw = best(lambda: defs.decode(data, derived=False), rounds)
    t_derived = best(lambda: defs.decode(data), rounds)
    slower = (t_derived / t_raw - 1) * 100
    print(f"(e) APID-keyed, no time: derived {t_derived * 1e3:.1f} ms, raw {t_raw * 1e3:.1f} ms")
    summary.append(f"e derived values, APID-keyed: {slower:+.0f}% against raw (target <= +10%)")

    for case in ("a", "b"):
        got, over = measure_memory(case, n)
        print(
            f"(f) peak memory ({case}): {got['peak'] / 2**20:.1f} MiB for {got['input'] / 2**20:.1f}"
            f" MiB of input and {got['outputs'] / 2**20:.1f} MiB of outputs"
        )
        summary.append(
            f"f peak over outputs ({case}): {over / 2**20:.1f} MiB (target <= 16 MiB; the"
            " input is read in place)"
        )
    print(f"load after: {os.getloadavg()[0]:.2f}")
    for line in summary:
        print(f"summary: {line}")


if __name__ == "__main__":
    main()
