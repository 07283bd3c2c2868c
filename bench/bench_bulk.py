"""Whole streams of CCSDS packets into columns, against peers, as ratios in one run.

Run: python -m bench.bench_bulk [--packets N] [--quick]   (from the repository's root)
Needs numpy; ccsdspy (optional, skipped when absent) is the peer. Data are
generated in memory (tests/support/streams.py) and decoded from memory: ccsdspy
reads them from a BytesIO over the same bytes.

(a) fixed-length 12-field telemetry packets (the telemetry recipe of
    bench_packets.py): bitloom_bulk.unpack_columns where available, ccsdspy's
    FixedLength.load, a Python loop over bitloom.unpack_parameters with
    np.fromiter, split_ccsds (framing only) and a plain copy of the bytes (the
    physical ceiling).
(b) a mixed stream of three APIDs with different layouts and sizes:
    bitloom_bulk.unpack_ccsds where available, split_ccsds (framing and
    splitting by APID), ccsdspy's split_by_apid + FixedLength.load per APID,
    and ccsdspy's VariableLength route (on a subset, scaled per packet).
(c) peak memory of split_ccsds, unpack_ccsds (mixed stream) and unpack_columns
    (telemetry file) in a subprocess, against input + outputs + 16 MiB; and the
    same three on 4 M of the smallest packets (7 bytes, and 7 and 8 bytes in
    turn), where unpack_columns takes packet_bytes or the offsets and lengths
    (counted as input) that split_ccsds gives.
Times are the best of several rounds. The closing "summary:" lines give the
ratios against the targets (bench/run_bulk_all.sh collects them per interpreter).
"""

from __future__ import annotations

import argparse
import io
import json
import logging
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import bitloom
import bitloom_bulk
from tests.support import streams

try:
    import ccsdspy
    from ccsdspy import utils as ccsdspy_utils

    # Its "sequence count out of order" warnings (counts wrap at 2**14) are noise here.
    logging.getLogger("ccsdspy").setLevel(logging.ERROR)
except ImportError:  # pragma: no cover
    ccsdspy = None

HEADER = [
    ("version", "unsigned", 3),
    ("type", "unsigned", 1),
    ("sec_hdr", "unsigned", 1),
    ("apid", "unsigned", 11),
    ("seq_flags", "unsigned", 2),
    ("seq_count", "unsigned", 14),
    ("length", "unsigned", 16),
]
TELEMETRY = [
    *HEADER,
    ("seconds", "unsigned", 32),
    ("temperature", "twos_complement", 16),
    ("voltage", "ieee754_f32", 32),
    ("status", "unsigned", 8),
    ("current", "twos_complement", 16),
]
SEVEN = [*HEADER, *((f"p{i}", "unsigned", 7) for i in range(100))]
SCIENCE = [
    *HEADER,
    *((f"ch{i}", "unsigned", 16) for i in range(16)),
    *((f"x{i}", "ieee754_f32", 32) for i in range(4)),
]
# APID -> (recipe fields, packet bytes)
MIXED = {0x064: TELEMETRY, 0x065: SEVEN, 0x066: SCIENCE}


def packet_bytes(fields):
    return (sum(f[2] for f in fields) + 7) // 8


def recipe(fields):
    return [
        {"name": n, "encoding": e, "bits": b, "byte_order": "big", "reverse_bits": False}
        for n, e, b in fields
    ]


def ccsdspy_fields(fields):
    kind = {"unsigned": "uint", "twos_complement": "int", "ieee754_f32": "float"}
    return [ccsdspy.PacketField(name=n, data_type=kind[e], bit_length=b) for n, e, b in fields[7:]]


def best(fn, rounds):
    t = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        t = min(t, time.perf_counter() - t0)
    return t


def python_loop(data, fields, n):
    rec = recipe(fields)
    size = packet_bytes(fields)
    rows = [bitloom.unpack_parameters(data[i * size : (i + 1) * size], 0, rec) for i in range(n)]
    return {
        name: np.fromiter(
            (r[name] for r in rows), dtype=np.float64 if e.startswith("ieee") else np.int64, count=n
        )
        for name, e, _ in fields
    }


def report(title, n, nbytes, rows, reference):
    print(f"\n== {title}: {n:,} packets, {nbytes / 1e6:.1f} MB")
    ref_t = rows[reference]
    for name, t in rows.items():
        print(
            f"  {name:48s} {t * 1e3:10.1f} ms {nbytes / t / 1e9:7.2f} GB/s "
            f"{t / n * 1e9:8.1f} ns/packet   {t / ref_t:8.2f}x {reference}"
        )


def fixed(n, rounds):
    size = packet_bytes(TELEMETRY)
    data = streams.fixed_stream(n, 0x064, size, seed=1)
    rows = {}
    rows["bytes copy (bytearray(data))"] = best(lambda: bytearray(data), rounds)
    arr = np.frombuffer(data, dtype=np.uint8)
    rows["numpy copy"] = best(arr.copy, rounds)
    frames = bitloom_bulk.split_ccsds(data)
    assert len(frames.offsets) == n
    rows["bitloom_bulk.split_ccsds (framing only)"] = best(
        lambda: bitloom_bulk.split_ccsds(data), rounds
    )
    if hasattr(bitloom_bulk, "unpack_columns"):
        rec = recipe(TELEMETRY)
        rows["bitloom_bulk.unpack_columns"] = best(
            lambda: bitloom_bulk.unpack_columns(data, rec, packet_bytes=size), rounds
        )
    sub = min(n, 100_000)
    loop = python_loop(data, TELEMETRY, sub)
    rows["python loop over bitloom.unpack_parameters"] = (
        best(lambda: python_loop(data, TELEMETRY, sub), 1) * n / sub
    )
    if ccsdspy is not None:
        pkt = ccsdspy.FixedLength(ccsdspy_fields(TELEMETRY))
        cols = pkt.load(io.BytesIO(data))
        for name, _, _ in TELEMETRY[7:]:
            a, b = np.asarray(cols[name][:sub]), loop[name]
            with np.errstate(invalid="ignore"):
                a = a.astype(np.float64) if b.dtype.kind == "f" else a.astype(np.int64)
            assert np.array_equal(a, b, equal_nan=b.dtype.kind == "f"), (
                f"ccsdspy disagrees on {name}"
            )
        rows["ccsdspy FixedLength.load (BytesIO)"] = best(
            lambda: pkt.load(io.BytesIO(data)), rounds
        )
    reference = (
        "bitloom_bulk.unpack_columns"
        if "bitloom_bulk.unpack_columns" in rows
        else "bitloom_bulk.split_ccsds (framing only)"
    )
    report(f"fixed-length telemetry, {size} bytes each", n, len(data), rows, reference)
    return rows, len(data)


def split_by_apid(data):
    """What split_ccsds gives, grouped by APID: offsets per APID."""
    f = bitloom_bulk.split_ccsds(data)
    order = np.argsort(f.apids, kind="stable")
    apids, starts = np.unique(f.apids[order], return_index=True)
    groups = np.split(f.offsets[order], starts[1:])
    return dict(zip(apids.tolist(), groups, strict=True))


def mixed(n, rounds):
    sizes = {apid: packet_bytes(fields) for apid, fields in MIXED.items()}
    data = streams.mixed_stream(n, sizes, seed=2)
    rows = {}
    rows["bitloom_bulk.split_ccsds (framing only)"] = best(
        lambda: bitloom_bulk.split_ccsds(data), rounds
    )
    groups = split_by_apid(data)
    rows["split_ccsds + grouping by APID (numpy)"] = best(lambda: split_by_apid(data), rounds)
    if hasattr(bitloom_bulk, "unpack_ccsds"):
        recipes = {apid: recipe(fields) for apid, fields in MIXED.items()}
        rows["bitloom_bulk.unpack_ccsds"] = best(
            lambda: bitloom_bulk.unpack_ccsds(data, recipes), rounds
        )
    if ccsdspy is not None:
        packets = {apid: ccsdspy.FixedLength(ccsdspy_fields(f)) for apid, f in MIXED.items()}
        parts = ccsdspy_utils.split_by_apid(io.BytesIO(data))
        for apid, stream in parts.items():
            assert len(stream.getbuffer()) == len(groups[apid]) * sizes[apid]

        def ccsdspy_fixed():
            for apid, stream in ccsdspy_utils.split_by_apid(io.BytesIO(data)).items():
                packets[apid].load(stream)

        rows["ccsdspy split_by_apid only"] = best(
            lambda: ccsdspy_utils.split_by_apid(io.BytesIO(data)), rounds
        )
        rows["ccsdspy split_by_apid + FixedLength.load"] = best(ccsdspy_fixed, rounds)
        # VariableLength reads one APID's packets in a Python loop: a subset, scaled.
        sub = min(n, 2_000)
        sub_bytes = data[
            : int(sum(sizes[a] for a in bitloom_bulk.split_ccsds(data).apids[:sub].tolist()))
        ]
        var = {apid: ccsdspy.VariableLength(ccsdspy_fields(f)) for apid, f in MIXED.items()}

        def ccsdspy_variable():
            for apid, stream in ccsdspy_utils.split_by_apid(io.BytesIO(sub_bytes)).items():
                var[apid].load(stream)

        rows["ccsdspy split_by_apid + VariableLength.load"] = best(ccsdspy_variable, 1) * n / sub
    reference = (
        "bitloom_bulk.unpack_ccsds"
        if "bitloom_bulk.unpack_ccsds" in rows
        else "split_ccsds + grouping by APID (numpy)"
    )
    report("mixed stream of three APIDs (19, 94, 54 bytes)", n, len(data), rows, reference)
    return rows, len(data)


MEMORY_CHILD = r"""
import json, sys
import bitloom_bulk
# VmHWM (peak resident set) of this process image: unlike ru_maxrss, it does
# not carry the parent's peak over from before exec.
def hwm():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmHWM:"))
sizes = {0x64: 19, 0x65: 94, 0x66: 54}
interp = hwm()
with open(sys.argv[1], "rb") as f:
    data = f.read()
base = hwm()
if sys.argv[2] == "split":
    f = bitloom_bulk.split_ccsds(data)
    out = sum(a.nbytes for a in f[:4])
elif sys.argv[2] == "unpack_columns":
    r = bitloom_bulk.unpack_columns(data, json.loads(sys.argv[3]), packet_bytes=int(sys.argv[4]))
    out = sum(c.nbytes for c in r.values())
elif sys.argv[2] == "unpack_columns_at":
    # The offsets and lengths are the caller's input, framed before the count starts.
    f = bitloom_bulk.split_ccsds(data)
    offsets, lengths = f.offsets.copy(), f.lengths.copy()
    del f
    # Forget the framing's peak (Linux: 5 to clear_refs resets VmHWM to the
    # resident set now): only the decoding is measured.
    with open("/proc/self/clear_refs", "w") as c:
        c.write("5")
    base = hwm()
    data_bytes = len(data)
    r = bitloom_bulk.unpack_columns(data, json.loads(sys.argv[3]), offsets=offsets, lengths=lengths)
    out = sum(c.nbytes for c in r.values())
    data = bytes(data_bytes + offsets.nbytes + lengths.nbytes)  # the input's size, for the bound
else:
    recipes = json.loads(sys.argv[3])
    r = bitloom_bulk.unpack_ccsds(data, {int(k): v for k, v in recipes.items()})
    out = sum(c.nbytes for cols in r.values() for c in cols.values())
peak = hwm()
print(json.dumps({"input": len(data), "out": out, "interp": interp, "base": base, "peak": peak}))
"""


def memory(n):
    """Peak resident memory of a fresh process that reads a file and decodes it."""
    sizes = {apid: packet_bytes(fields) for apid, fields in MIXED.items()}
    recipes = json.dumps({apid: recipe(fields) for apid, fields in MIXED.items()})
    size = packet_bytes(TELEMETRY)
    mib = 1 << 20
    verdicts = {}
    with tempfile.TemporaryDirectory() as tmp:
        mixed_path = Path(tmp) / "mixed.bin"
        mixed_path.write_bytes(streams.mixed_stream(n, sizes, seed=2))
        fixed_path = Path(tmp) / "fixed.bin"
        fixed_path.write_bytes(streams.fixed_stream(n, 0x064, size, seed=1))
        runs = [
            ("split_ccsds", [str(mixed_path), "split", recipes]),
            ("unpack_ccsds", [str(mixed_path), "unpack_ccsds", recipes]),
            (
                "unpack_columns",
                [str(fixed_path), "unpack_columns", json.dumps(recipe(TELEMETRY)), str(size)],
            ),
        ]
        # The smallest packets there are (7 bytes: a header and one byte), where
        # positions would weigh most: 4 M of them, of one size and of two
        # alternating sizes, one uint8 column out.
        tiny_n = 4_000_000
        tiny_recipe = json.dumps(
            [
                {
                    "name": "b",
                    "encoding": "unsigned",
                    "bits": 8,
                    "byte_order": "big",
                    "reverse_bits": False,
                    "offset_bits": 48,
                }
            ]
        )
        tiny_recipes = json.dumps({5: json.loads(tiny_recipe)})
        rng = np.random.default_rng(4)
        for kind, sizes in (
            ("fixed", np.full(tiny_n, 7)),
            ("alternating", 7 + np.arange(tiny_n) % 2),
        ):
            path = Path(tmp) / f"tiny_{kind}.bin"
            path.write_bytes(streams.stream(np.full(tiny_n, 5), sizes, rng))
            runs += [
                (f"split_ccsds, tiny {kind}", [str(path), "split", tiny_recipes]),
                (f"unpack_ccsds, tiny {kind}", [str(path), "unpack_ccsds", tiny_recipes]),
                (
                    f"unpack_columns, tiny {kind}",
                    [str(path), "unpack_columns", tiny_recipe, "7"]
                    if kind == "fixed"
                    else [str(path), "unpack_columns_at", tiny_recipe],
                ),
            ]
        for name, argv in runs:
            res = subprocess.run(
                [sys.executable, "-c", MEMORY_CHILD, *argv],
                capture_output=True,
                text=True,
                check=True,
            )
            r = json.loads(res.stdout)
            bound = r["input"] + r["out"] + 16 * mib
            used = r["peak"] - r["interp"]  # the interpreter's own footprint is not counted
            if "tiny" in name:
                count = f"{tiny_n:,} tiny"
            else:
                count = f"{n:,} " + ("telemetry" if name == "unpack_columns" else "mixed")
            print(f"\n== peak memory of {name}, {count} packets (subprocess, VmHWM)")
            print(
                f"  input {r['input'] / mib:.1f} MiB, outputs {r['out'] / mib:.1f} MiB; "
                f"interpreter {r['interp'] / mib:.1f} MiB, peak {r['peak'] / mib:.1f} MiB"
            )
            verdict = "within" if used <= bound else "OVER"
            print(
                f"  peak less the interpreter {used / mib:.1f} MiB, bound input + outputs + "
                f"16 MiB = {bound / mib:.1f} MiB: {verdict}"
            )
            verdicts[name] = (used / mib, bound / mib, verdict)
    return verdicts


def summary(fixed_rows, fixed_bytes, mixed_rows, verdicts):
    """The target ratios, one "summary:" line each."""

    def ratio(rows, slow, fast):
        if slow not in rows or fast not in rows:
            return "   n/a"
        return f"{rows[slow] / rows[fast]:6.2f}x"

    cols = "bitloom_bulk.unpack_columns"
    if cols in fixed_rows:
        t = fixed_rows[cols]
        print(
            f"summary: unpack_columns {ratio(fixed_rows, 'ccsdspy FixedLength.load (BytesIO)', cols)}"
            f" ccsdspy FixedLength.load (>= 5x), "
            f"{ratio(fixed_rows, 'python loop over bitloom.unpack_parameters', cols)} Python loop"
            f" (>= 20x), {fixed_bytes / t / 1e9:5.2f} GB/s, "
            f"{t / fixed_rows['bytes copy (bytearray(data))']:5.2f}x the time of a copy"
        )
    ccsds = "bitloom_bulk.unpack_ccsds"
    if ccsds in mixed_rows:
        print(
            f"summary: unpack_ccsds   "
            f"{ratio(mixed_rows, 'ccsdspy split_by_apid + FixedLength.load', ccsds)}"
            f" ccsdspy split_by_apid + FixedLength.load (>= 10x), "
            f"{ratio(mixed_rows, 'ccsdspy split_by_apid + VariableLength.load', ccsds)}"
            " ccsdspy VariableLength"
        )
    print(
        "summary: peak memory    "
        + ", ".join(f"{k} {u:.1f}/{b:.1f} MiB {v}" for k, (u, b, v) in verdicts.items())
    )


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--packets", type=int, default=1_000_000)
    ap.add_argument("--quick", action="store_true", help="100,000 packets, 2 rounds")
    args = ap.parse_args()
    n = 100_000 if args.quick else args.packets
    rounds = 2 if args.quick else 5
    print(
        f"Python {sys.version.split()[0]}, numpy {np.__version__}, "
        f"ccsdspy {getattr(ccsdspy, '__version__', 'absent')}, load {os.getloadavg()[0]:.2f}"
    )
    fixed_rows, fixed_bytes = fixed(n, rounds)
    mixed_rows, _ = mixed(n, rounds)
    verdicts = memory(n)
    print(f"\nload {os.getloadavg()[0]:.2f}")
    summary(fixed_rows, fixed_bytes, mixed_rows, verdicts)


if __name__ == "__main__":
    main()
