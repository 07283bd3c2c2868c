"""Instructions per packet of unpack_columns and unpack_ccsds, from callgrind.

Run: python -m bench.callgrind_bulk [--packets N]   (from the repository's root)
Needs valgrind. Each case runs in a child under `valgrind --tool=callgrind`
twice, once calling the function once and once calling it three times after
the same set-up; half the difference of the two totals is the cost of one
call, so no symbols are needed (a stripped wheel measures as well as a debug
build) and import and set-up costs cancel out. Counts are repeatable on a
noisy machine, unlike times.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

# The children start here, where bench/ and tests/ import as packages.
ROOT = Path(__file__).resolve().parent.parent
# One BLAS thread (an idle OpenBLAS pool spins, and its instructions vary from
# run to run) and a fixed hash seed, so that the two runs differ by the calls alone.
ENV = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "PYTHONHASHSEED": "0"}

CHILD = r"""
import sys
import bench.bench_bulk as b
from tests.support import streams
import bitloom_bulk

n, case, calls = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
if case == "unpack_columns":
    size = b.packet_bytes(b.TELEMETRY)
    data = streams.fixed_stream(n, 0x064, size, seed=1)
    layout = bitloom_bulk.compile(b.recipe(b.TELEMETRY))
    call = lambda: bitloom_bulk.unpack_columns(data, layout, packet_bytes=size)
else:
    sizes = {a: b.packet_bytes(f) for a, f in b.MIXED.items()}
    data = streams.mixed_stream(n, sizes, seed=2)
    layouts = {a: bitloom_bulk.compile(b.recipe(f)) for a, f in b.MIXED.items()}
    call = lambda: bitloom_bulk.unpack_ccsds(data, layouts)
for _ in range(calls):
    call()
"""


def instructions(n, case, calls):
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        res = subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={out}",
                sys.executable,
                "-c",
                CHILD,
                str(n),
                case,
                str(calls),
            ],
            capture_output=True,
            text=True,
            check=True,
            env=ENV,
            cwd=ROOT,
        )
    m = re.search(r"refs:\s+([\d,]+)", res.stderr)
    if m is None:
        raise RuntimeError(res.stderr)
    return int(m.group(1).replace(",", ""))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--packets", type=int, default=20_000)
    args = ap.parse_args()
    n = args.packets
    print(f"Python {sys.version.split()[0]}, {n:,} packets per call")
    cases = {
        "unpack_columns": "12-field telemetry, 19-byte packets",
        "unpack_ccsds": "three APIDs (12, 107, 27 fields)",
    }
    for case, what in cases.items():
        one = instructions(n, case, 1)
        three = instructions(n, case, 3)
        per_call = (three - one) / 2
        print(
            f"  {case:15s} {what:36s} {per_call:14,.0f} instructions per call, "
            f"{per_call / n:8.1f} per packet"
        )


if __name__ == "__main__":
    main()
