"""An archive on a Dask cluster: decode >= 1 GiB of fixed-length telemetry files
to a dataframe and reduce it (a sum per column), with 1 and 2 worker processes,
against a single process running unpack_columns over the same files, in one run.

Also shows where the time goes: reading the files alone (a graph whose tasks only
read their bytes), decoding alone (unpack_columns from memory), the cost of a task
(a graph of empty tasks, one per partition), and throughput per blocksize.

The archive (32 files of 32 MiB by default) is generated in a temporary
directory under /tmp and deleted afterwards. The files stay in the page cache
between runs, so "reading" is a copy out of memory here; on object storage it is
the network.

    python -m bench.bench_dask [--files 32] [--file-mib 32] [--repeat 3]   (from the repository's root)
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import sys
import tempfile
import time

import numpy as np
from distributed import Client, LocalCluster

import bitloom_bulk
from bitloom_bulk.dask import DEFAULT_BLOCKSIZE, read_packets
from examples.telemetry import PACKET_BYTES, TELEMETRY

RECIPE = [{k: v for k, v in item.items() if k != "value"} for item in TELEMETRY]
MiB = 2**20


def make_archive(root, files, file_mib):
    rng = np.random.default_rng(7)
    packets = file_mib * MiB // PACKET_BYTES
    paths = []
    for i in range(files):
        raw = rng.integers(0, 256, size=(packets, PACKET_BYTES), dtype=np.uint8)
        raw[:, 0], raw[:, 1] = 0x09, 0xAB  # APID 0x1AB
        raw[:, 4], raw[:, 5] = 0, PACKET_BYTES - 7
        # bus_voltage (bytes 12-15): finite floats, so the sums compare
        volts = 28 + rng.standard_normal(packets, dtype=np.float32)
        raw[:, 12:16] = volts.astype(">f4").view(np.uint8).reshape(packets, 4)
        path = os.path.join(root, f"hk-{i:03d}.bin")
        raw.tofile(path)
        paths.append(path)
    return paths


def best(repeat, function):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - t0)
    return min(times), result


def serial_sums(paths):
    sums = None
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        columns = bitloom_bulk.unpack_columns(data, RECIPE, packet_bytes=PACKET_BYTES)
        part = np.array([c.sum(dtype=np.float64) for c in columns.values()])
        sums = part if sums is None else sums + part
    return sums


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def decode_only(datas):
    for data in datas:
        bitloom_bulk.unpack_columns(data, RECIPE, packet_bytes=PACKET_BYTES)


def read_bytes(part):
    path, start, count = part
    with open(path, "rb") as f:
        f.seek(start)
        return len(f.read(count))


def nothing(part):
    return 0


def peak_rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=32)
    parser.add_argument("--file-mib", type=int, default=32)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    import dask.bag as db

    tmp = tempfile.mkdtemp(prefix="bitloom-bench-", dir="/tmp")
    try:
        t0 = time.perf_counter()
        paths = make_archive(tmp, args.files, args.file_mib)
        total = sum(os.path.getsize(p) for p in paths)
        print(
            f"archive: {len(paths)} files, {total / 2**30:.2f} GiB, {total // PACKET_BYTES:,} "
            f"packets of {PACKET_BYTES} bytes ({time.perf_counter() - t0:.1f} s to write)"
        )
        print(
            f"machine: {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}, {sys.version.split()[0]}"
        )
        gbps = lambda seconds: total / seconds / 1e9  # noqa: E731

        serial_sums(paths)  # warm the page cache
        t_serial, expected = best(args.repeat, lambda: serial_sums(paths))
        print(
            f"single process, read + unpack_columns + sum: {t_serial:.3f} s, {gbps(t_serial):.2f} GB/s"
        )
        datas = [read_file(p) for p in paths[:8]]
        part_bytes = sum(len(d) for d in datas)
        t_decode, _ = best(args.repeat, lambda: decode_only(datas))
        datas.clear()
        print(f"  decoding alone (from memory): {part_bytes / t_decode / 1e9:.2f} GB/s")

        for workers in (1, 2):
            with (
                LocalCluster(
                    n_workers=workers,
                    processes=True,
                    threads_per_worker=1,
                    host="127.0.0.1",
                    dashboard_address=None,
                ) as cluster,
                Client(cluster) as client,
            ):
                print(f"\n{workers} worker process{'es' if workers > 1 else ''}:")
                warm = read_packets(paths[:2], RECIPE, packet_bytes=PACKET_BYTES)
                warm.sum().compute()  # the workers import everything once
                for blocksize in (8 * MiB, DEFAULT_BLOCKSIZE, "file"):
                    df = read_packets(paths, RECIPE, packet_bytes=PACKET_BYTES, blocksize=blocksize)
                    rotation = iter(range(args.repeat))

                    def run(blocksize=blocksize, rotation=rotation):
                        # The files in another order each time: other task keys,
                        # so no result of an earlier run is reused.
                        k = next(rotation)
                        order = paths[k:] + paths[:k]
                        return (
                            read_packets(
                                order, RECIPE, packet_bytes=PACKET_BYTES, blocksize=blocksize
                            )
                            .sum()
                            .compute()
                        )

                    t, sums = best(args.repeat, run)
                    assert np.allclose(sums.to_numpy(dtype=np.float64), expected, rtol=1e-9)
                    label = "file" if blocksize == "file" else f"{blocksize // MiB} MiB"
                    default = " (default)" if blocksize == DEFAULT_BLOCKSIZE else ""
                    print(
                        f"  blocksize {label}{default}: {df.npartitions} partitions, "
                        f"{t:.3f} s, {gbps(t):.2f} GB/s"
                    )
                per_block = DEFAULT_BLOCKSIZE // PACKET_BYTES * PACKET_BYTES
                parts = [
                    (p, s, per_block)
                    for p in paths
                    for s in range(0, os.path.getsize(p), per_block)
                ]
                reading = db.from_sequence(parts, npartitions=len(parts)).map(read_bytes).sum()
                t_read, n = best(1, reading.compute)
                assert n == total
                print(
                    f"  reading alone ({len(parts)} tasks): {t_read:.3f} s, {gbps(t_read):.2f} GB/s"
                )
                empty = db.from_sequence(range(1000), npartitions=1000).map(nothing).sum()
                t_empty, _ = best(1, empty.compute)
                print(f"  an empty task: {t_empty:.3f} ms each (1000 tasks)")
                rss = client.run(peak_rss_mib)
                print(
                    "  peak worker memory: "
                    + ", ".join(f"{v:.0f} MiB" for v in rss.values())
                    + f" (default partition: {DEFAULT_BLOCKSIZE // MiB} MiB of packets, "
                    f"{DEFAULT_BLOCKSIZE // PACKET_BYTES * sum(c.dtype.itemsize for c in bitloom_bulk.unpack_columns(b'', RECIPE, packet_bytes=PACKET_BYTES).values()) / MiB:.0f} MiB of columns)"
                )
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
