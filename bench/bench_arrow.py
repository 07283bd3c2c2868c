"""A table of unpack_columns into pyarrow: through the Arrow PyCapsule
interface (Table.__arrow_c_stream__, no copy of the numeric columns) against
pa.table(dict) (pyarrow converting each numpy column itself, which for
numeric numpy columns is zero-copy as well).

Run: python -m bench.bench_arrow [--packets N]   (from the repository's root)

The 12-field telemetry recipe of bench/packet_recipes.py, a million packets
by default. Both tables are checked equal, and the capsule's data buffers
are shown to be the numpy columns' memory, before timing.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np
import pyarrow as pa

import bitloom_bulk
from bench.bench_bulk import best
from bench.packet_recipes import TELEMETRY, unpack_recipe


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--packets", type=int, default=1_000_000)
    args = parser.parse_args()
    n = args.packets
    recipe = unpack_recipe(TELEMETRY)
    size = sum(f[2] for f in TELEMETRY) // 8
    data = np.random.default_rng(1).integers(0, 256, n * size, dtype=np.uint8).tobytes()
    table = bitloom_bulk.unpack_columns(data, recipe, packet_bytes=size)
    print(
        f"CPython {sys.version.split()[0]}, pyarrow {pa.__version__}, "
        f"load {os.getloadavg()[0]:.2f}, {n} packets, {len(table)} columns"
    )

    def capsule():
        return pa.RecordBatchReader.from_stream(table).read_all()

    def converted():
        return pa.table(dict(table))

    via_capsule, via_dict = capsule(), converted()
    assert via_capsule.schema == via_dict.schema
    for name in table:  # random bytes hold NaNs: compared as numpy, NaN equal to NaN
        a, b = (t.column(name).to_numpy() for t in (via_capsule, via_dict))
        assert np.array_equal(a, b, equal_nan=a.dtype.kind == "f"), name
    for label, got in (("capsule", via_capsule), ("pa.table(dict)", via_dict)):
        same = [
            got.column(name).chunks[0].buffers()[1].address == column.__array_interface__["data"][0]
            for name, column in table.items()
        ]
        print(f"{label} buffers at the numpy columns' addresses: {sum(same)} of {len(same)}")
    for name in ("seconds", "voltage"):
        print(
            f"  {name}: numpy {table[name].__array_interface__['data'][0]:#x}, "
            f"arrow {via_capsule.column(name).chunks[0].buffers()[1].address:#x}"
        )
    rounds = 20
    t_capsule = best(capsule, rounds)
    t_dict = best(converted, rounds)
    t_decode = best(lambda: bitloom_bulk.unpack_columns(data, recipe, packet_bytes=size), 5)
    print(f"unpack_columns (for scale):          {t_decode * 1e3:8.3f} ms")
    print(f"pa.RecordBatchReader.from_stream(t): {t_capsule * 1e6:8.1f} us")
    print(f"pa.table(dict(t)):                   {t_dict * 1e6:8.1f} us")
    print(f"ratio dict / capsule:                {t_dict / t_capsule:8.2f}")


if __name__ == "__main__":
    main()
