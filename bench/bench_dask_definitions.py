"""Packet definitions on a Dask cluster: an archive of CCSDS files decoded by
read_packets(paths, definitions) with 1 and 2 worker processes, against one
process running Definitions.decode over the same files, in one run; and the
workers a 12 TB archive needs for one hour, from the measured costs.

The archive (mixed APIDs: housekeeping with an enumeration and a counted
array, a science packet, a short status packet; 4 files of 128 MiB by
default) is generated under /tmp and deleted afterwards. Files stay in the
page cache, so reading is a copy out of memory here.

Every table partition is reduced by the same function in both runs (its row
count and the bit sums of its numeric columns), and the totals must be equal:
the serial and cluster runs do the same work but for Dask's.

Dask starts its workers with MALLOC_TRIM_THRESHOLD_=65536 in their
environment. Setting any of glibc's malloc thresholds turns off its sliding
mmap threshold, so every array over 128 KiB a decode makes is fresh memory
from the kernel, faulted in page by page. The CPU time of one file's decode
is measured in a fresh process with and without that setting, and the cluster
runs are made both ways.

    python -m bench.bench_dask_definitions [--files 4] [--file-mib 128] [--repeat 3]
        [--stripe-mib 64]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import dask
import numpy as np
import pandas as pd
from distributed import Client, LocalCluster

from bitloom_bulk import Definitions, PacketType, field
from bitloom_bulk.ccsds import PRIMARY_HEADER
from bitloom_bulk.dask import DEFAULT_BLOCKSIZE, read_packets
from tests.support import streams

MiB = 2**20
SIZES = {100: 48, 101: 200, 102: 24}


def definitions():
    root = PacketType("root", list(PRIMARY_HEADER), abstract=True)
    return Definitions(
        [
            root,
            PacketType(
                "hk",
                [
                    field("mode", "unsigned", 8, enumeration={v: f"mode{v}" for v in range(256)}),
                    field("temps", "twos_complement", 16, count=8),
                    field("volts", "ieee754_f32", 32),
                    field("n", "unsigned", 4),
                    field("flags", "unsigned", 4),
                    field("xs", "unsigned", 8, count={"field": "n"}),
                ],
                parent=root,
                where={"apid": 100},
            ),
            PacketType(
                "science",
                [field("t", "unsigned", 32), field("counts", "unsigned", 16, count=90)],
                parent=root,
                where={"apid": 101},
            ),
            PacketType(
                "status",
                [field("a", "unsigned", 16), field("b", "unsigned", 32), field("c", "unsigned", 8)],
                parent=root,
                where={"apid": 102},
            ),
        ]
    )


def make_archive(root, files, file_mib):
    mean = sum(SIZES.values()) / len(SIZES)
    paths = []
    for i in range(files):
        data = streams.mixed_stream(int(file_mib * MiB / mean), SIZES, seed=10 + i)
        path = os.path.join(root, f"stream-{i:03d}.bin")
        with open(path, "wb") as f:
            f.write(data)
        paths.append(path)
    return paths


def _bits_sum(values):
    """The sum mod 2**64 of a column's elements as unsigned integers (floats
    by their bits): exact, and the same in any order of partitions, NaN and
    huge values included."""
    if values.dtype.kind == "f":
        values = values.view(f"u{values.itemsize}")
    return int(values.astype(np.uint64).sum(dtype=np.uint64))


def digest(frame):
    """A table partition's row count and the bit sums of its numeric columns
    (but a child table's ``packet``, which counts rows within a partition),
    column by column in numpy: pandas' own reductions over a frame of many
    columns cost more than the decode."""
    sums = {
        c: [_bits_sum(frame[c].to_numpy())]
        for c, t in frame.dtypes.items()
        if c != "packet" and isinstance(t, np.dtype) and t.kind in "iuf"
    }
    return pd.DataFrame({"rows": [len(frame)], **sums}, dtype=object)


def _total(digests):
    """One table's row count and column sums from its partitions' digests."""
    return (
        int(sum(digests["rows"])),
        tuple(sum(int(v) for v in digests[c]) % 2**64 for c in digests.columns[1:]),
    )


def serial(defs, paths):
    found = {}
    for path in paths:
        with open(path, "rb") as f:
            decoded = defs.decode(f.read())
        for name, frame in decoded.to_pandas().items():
            found.setdefault(name, []).append(digest(frame))
    return {name: _total(pd.concat(parts)) for name, parts in found.items()}


_CPU_PROBE = """
import resource, sys
from bench.bench_dask_definitions import definitions
defs = definitions()
data = open(sys.argv[1], "rb").read()
defs.decode(data).to_pandas()
best = None
for _ in range(5):
    r0 = resource.getrusage(resource.RUSAGE_SELF)
    defs.decode(data).to_pandas()
    r1 = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (r1.ru_utime - r0.ru_utime, r1.ru_stime - r0.ru_stime, r1.ru_minflt - r0.ru_minflt)
    best = cpu if best is None or sum(cpu[:2]) < sum(best[:2]) else best
print(*best)
"""


def cpu_of_decode(path, environ):
    """CPU seconds (user, system) and page faults of one file's decode in a
    fresh process with ``environ`` added: CPU time, unlike the wall clock,
    hardly moves with the machine's load."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("MALLOC_")}
    env.update({k: str(v) for k, v in environ.items()})
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run(
        [sys.executable, "-c", _CPU_PROBE, path],
        env=env,
        cwd=root,
        check=True,
        capture_output=True,
        text=True,
    ).stdout.split()
    return float(out[0]), float(out[1]), int(out[2])


def best(repeat, function):
    times, result = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - t0)
    return min(times), result


def on_cluster(defs, paths, blocksize):
    frames = read_packets(paths, defs, blocksize=blocksize)
    names = list(frames)
    digests = [frames[n].map_partitions(digest, meta=digest(frames[n]._meta)) for n in names]
    got = dask.compute(*digests)
    return {n: _total(d) for n, d in zip(names, got, strict=True)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=4)
    parser.add_argument("--file-mib", type=int, default=128)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument(
        "--stripe-mib", type=int, default=DEFAULT_BLOCKSIZE // MiB, help="read_packets' blocksize"
    )
    args = parser.parse_args()
    defs = definitions()
    tmp = tempfile.mkdtemp(prefix="bitloom-bench-", dir="/tmp")
    try:
        paths = make_archive(tmp, args.files, args.file_mib)
        total = sum(os.path.getsize(p) for p in paths)
        print(
            f"archive: {len(paths)} CCSDS files, {total / MiB:.0f} MiB; {os.cpu_count()} cores,"
            f" load {os.getloadavg()[0]:.2f}, CPython {sys.version.split()[0]}"
        )
        serial(defs, paths[:1])  # warm the page cache and the imports
        t_serial, want = best(args.repeat, lambda: serial(defs, paths))
        rate = total / t_serial
        print(
            f"one process, Definitions.decode file by file: {t_serial:.2f} s, {rate / 1e9:.3f} GB/s"
        )
        stripe = args.stripe_mib * MiB
        labels = {"file": "one partition per file", stripe: f"{args.stripe_mib} MiB stripes"}
        # The workers' environment: Dask's own, and Dask's without its malloc
        # trim threshold.
        settings = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
        environs = {
            "without MALLOC_TRIM_THRESHOLD_": {
                k: v for k, v in settings.items() if k != "MALLOC_TRIM_THRESHOLD_"
            },
            "Dask's worker environment": settings,
        }
        for environ_name, environ in environs.items():
            user, system, faults = cpu_of_decode(paths[0], environ)
            print(
                f"one file's decode in a process, {environ_name}: {user:.3f} s user,"
                f" {system:.3f} s system, {faults} page faults"
            )
        results = {}
        for environ_name, environ in environs.items():
            print(f"{environ_name}:")
            for workers in (1, 2):
                # A nanny leaves the variables it sets in this process's
                # environment, where later workers would inherit them.
                for name in settings:
                    if name not in environ:
                        os.environ.pop(name, None)
                with (
                    dask.config.set({"distributed.nanny.pre-spawn-environ": environ}),
                    LocalCluster(
                        n_workers=workers,
                        processes=True,
                        threads_per_worker=1,
                        host="127.0.0.1",
                        dashboard_address=None,
                    ) as cluster,
                    Client(cluster),
                ):
                    on_cluster(defs, paths[:1], "file")  # the workers import everything once
                    for blocksize in ("file", stripe):
                        t, got = best(args.repeat, lambda b=blocksize: on_cluster(defs, paths, b))
                        assert got.keys() == want.keys()
                        for name in want:
                            assert got[name] == want[name], name
                        results[environ_name, workers, blocksize] = t
                        print(
                            f"  {workers} worker{'s' if workers > 1 else ''},"
                            f" {labels[blocksize]}: {t:.2f} s, {t / t_serial:.2f}x the serial time"
                            " (target for one worker: at most 1.10x)"
                        )
        for environ_name in environs:
            ratio = min(results[environ_name, 1, b] for b in labels) / t_serial
            print(
                f"summary, one worker {environ_name}: {ratio:.2f}x the serial time at best"
                f" (target at most 1.10x: {'met' if ratio <= 1.10 else 'not met'})"
            )
        t1 = min(results[e, 1, b] for e in environs for b in labels)
        t2 = min(results[e, 2, b] for e in environs for b in labels)
        print(f"scaling from 1 to 2 workers on {os.cpu_count()} cores: {t1 / t2:.2f}x")
        # The model: a worker decodes at the one-worker rate measured here
        # (decoding bound: storage and network keep up, files are large enough
        # to stripe, task overhead as measured above).
        per_worker = total / t1
        archive = 12e12
        needed = archive / 3600 / per_worker
        print(
            f"model: 12 TB in one hour needs {archive / 3600 / 1e9:.2f} GB/s; at"
            f" {per_worker / 1e9:.3f} GB/s per worker core that is {needed:.0f} worker cores"
            f" ({needed / 0.9:.0f} at 90% parallel efficiency)"
        )
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
