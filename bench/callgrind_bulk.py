"""Instructions per packet of unpack_columns and unpack_ccsds, from callgrind.

Run: python -m bench.callgrind_bulk [--packets N]   (from the repository's root)
Needs valgrind (the JPSS cases the shared real data; the loop cases a C++
compiler, bench/loop_helper.py). Each case runs in a child under `valgrind --tool=callgrind`
twice, once calling the function once and once calling it three times after
the same set-up; half the difference of the two totals is the cost of one
call (on one thread, threads=1, as the loop runs), so no symbols are needed (a stripped wheel measures as well as a debug
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
if case in ("unpack_columns", "loop_telemetry"):
    size = b.packet_bytes(b.TELEMETRY)
    data = streams.fixed_stream(n, 0x064, size, seed=1)
    layout = bitloom_bulk.compile(b.recipe(b.TELEMETRY))
    call = lambda: bitloom_bulk.unpack_columns(data, layout, packet_bytes=size, threads=1)
    if case == "loop_telemetry":
        from bench import loop_helper
        call = lambda: loop_helper.load().telemetry(data)
elif case in ("unpack_columns_jpss", "loop_jpss"):
    from bench.bench_kernels import JPSS_FILE, jpss_recipe
    raw = JPSS_FILE.read_bytes()
    data = (raw * (n // 7200 + 1))[: n * 71]
    layout = bitloom_bulk.compile(jpss_recipe())
    call = lambda: bitloom_bulk.unpack_columns(data, layout, packet_bytes=71, threads=1)
    if case == "loop_jpss":
        from bench import loop_helper
        call = lambda: loop_helper.load().jpss(data)
elif case in ("definitions_raw", "definitions_derived"):
    from bench.bench_definitions import case_e_keyed
    data, defs = case_e_keyed(n)
    derived = case == "definitions_derived"
    call = lambda: defs.decode(data, derived=derived)
elif case in ("dask_labels", "dask_codes"):
    import pandas as pd
    from bench.bench_dask_definitions import SIZES, definitions
    from bitloom_bulk.dask import _DefinitionsReader
    defs = definitions()
    data = streams.mixed_stream(n, SIZES, seed=3)
    if case == "dask_codes":
        reader = _DefinitionsReader(None, defs, None, True, "raise")
        call = lambda: reader.tables(reader.decode(data))
    else:
        # The labels' object columns and Dask's conversion of them to strings.
        def call():
            return {
                name: frame.astype(
                    {c: pd.StringDtype("pyarrow") for c, t in frame.dtypes.items() if t == "O"}
                )
                for name, frame in defs.decode(data).to_pandas().items()
            }
elif case == "object_column":
    import numpy as np
    call = lambda: np.empty(n, dtype=object)
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
    ap.add_argument("--cases", nargs="*", help="some of the cases only")
    args = ap.parse_args()
    n = args.packets
    print(f"Python {sys.version.split()[0]}, {n:,} packets per call")
    cases = {
        "unpack_columns": "12-field telemetry, 19-byte packets",
        "unpack_ccsds": "three APIDs (12, 107, 27 fields)",
        # bench/columns_loop.cpp for the same data; the real JPSS file tiled.
        "loop_telemetry": "the same, hand-written loop",
        "unpack_columns_jpss": "JPSS geolocation, 27 fields, 71 bytes",
        "loop_jpss": "the same, hand-written loop",
        # Definitions.decode by APID: an enumeration, two polynomials, raw and
        # derived; and the floor of an enumeration's column, numpy's object
        # array of None (made and freed).
        "definitions_raw": "APID-keyed definitions, derived=False",
        "definitions_derived": "the same, derived=True",
        "object_column": "numpy.empty(n, dtype=object)",
        # A partition of bitloom_bulk.dask's definitions bench: the tables as
        # pandas with the enumeration's labels converted to Arrow strings (as
        # Dask did), and as the Dask reader makes them (categoricals from codes).
        "dask_labels": "Dask bench stream, labels to strings",
        "dask_codes": "the same, categoricals from codes",
    }
    for case, what in cases.items():
        if args.cases and case not in args.cases:
            continue
        one = instructions(n, case, 1)
        three = instructions(n, case, 3)
        per_call = (three - one) / 2
        print(
            f"  {case:19s} {what:38s} {per_call:14,.0f} instructions per call, "
            f"{per_call / n:8.1f} per packet"
        )


if __name__ == "__main__":
    main()
