"""Decode an archive of packet files on a Dask cluster and keep it as Parquet.

A small archive is generated in a temporary directory: a few days of fixed-length
housekeeping files and a few mixed-APID CCSDS streams. A LocalCluster with two
worker processes on the loopback interface decodes them with
``bitloom_bulk.dask.read_packets``; each worker opens and reads its own files,
so only the recipe (a compiled Layout, which pickles to a few hundred bytes) and
the file names travel to it. The dataframes are written with ``to_parquet``,
read back with pandas and checked against a serial decode of the same files.

On a real cluster, point read_packets at the archive's URL instead
(``"s3://bucket/hk/*.bin"``, with ``storage_options`` for the credentials) and
connect a Client to the cluster's scheduler.

Needs the dask extra: pip install "bitloom-packets[dask]".
"""

from __future__ import annotations

import os
import pickle
import sys
import tempfile
import time

try:
    import numpy as np
    import pandas as pd
    from distributed import Client, LocalCluster, progress, wait

    from bitloom_bulk import compile, split_ccsds, unpack_columns
    from bitloom_bulk.dask import read_packets
except ImportError as exc:
    print(f"skipped: {exc}")
    sys.exit(0)

# Run as a script, this file's directory is on sys.path: the sibling imports by name.
from telemetry import PACKET_BYTES, TELEMETRY, field

# Housekeeping packets (APID 0x1AB) as a numpy record: the same bytes as TELEMETRY.
TM_RECORD = np.dtype(
    [("w0", ">u2"), ("w1", ">u2"), ("length", ">u2"), ("seconds", ">u4"),
     ("temperature", ">i2"), ("bus_voltage", ">f4"), ("status", "u1"), ("current", ">i2")]
)  # fmt: skip
# Event packets (APID 0x2C) of another layout and length.
EVENTS = [*TELEMETRY[:7], field("ticks", "unsigned", 32), field("label", "us_ascii", 64)]
EV_RECORD = np.dtype(
    [("w0", ">u2"), ("w1", ">u2"), ("length", ">u2"), ("ticks", ">u4"), ("label", "S8")]
)  # fmt: skip


def packets(record, apid, count, rng, first_second):
    p = np.zeros(count, dtype=record)
    p["w0"] = 0x0800 | apid
    p["w1"] = 0xC000 | (np.arange(count) % 16384)
    p["length"] = record.itemsize - 7
    if "seconds" in record.names:
        p["seconds"] = first_second + np.arange(count)
        p["temperature"] = rng.integers(-400, 900, count)
        p["bus_voltage"] = 28 + rng.normal(0, 0.2, count)
        p["status"] = rng.integers(0, 256, count)
        p["current"] = rng.integers(-2000, 2000, count)
    else:
        p["ticks"] = rng.integers(0, 2**32, count)
        p["label"] = rng.choice([b"SAFE", b"NOMINAL", b"HEATER", b"DUMP"], count)
    return p


def make_archive(root, days=6, per_day=20_000, streams=3, per_stream=10_000):
    """One housekeeping file per day, and a few streams mixing both APIDs."""
    rng = np.random.default_rng(1)
    os.makedirs(os.path.join(root, "hk"))
    os.makedirs(os.path.join(root, "streams"))
    hk, mixed = [], []
    for day in range(days):
        path = os.path.join(root, "hk", f"day-{day:03d}.bin")
        packets(TM_RECORD, 0x1AB, per_day, rng, 1_700_000_000 + 86_400 * day).tofile(path)
        hk.append(path)
    for n in range(streams):
        tm = packets(TM_RECORD, 0x1AB, per_stream, rng, 1_800_000_000).tobytes()
        ev = packets(EV_RECORD, 0x2C, per_stream // 4, rng, 0).tobytes()
        chunks = [tm[i : i + PACKET_BYTES] for i in range(0, len(tm), PACKET_BYTES)]
        for k in range(0, len(ev), EV_RECORD.itemsize):
            chunks.insert(int(rng.integers(0, len(chunks))), ev[k : k + EV_RECORD.itemsize])
        path = os.path.join(root, "streams", f"stream-{n:03d}.ccsds")
        with open(path, "wb") as f:
            f.write(b"".join(chunks))
        mixed.append(path)
    return hk, mixed


def persist_with_progress(df, what):
    """Starts the computation on the cluster and shows distributed's progress
    bar until it is done."""
    print(f"decoding {what}:")
    df = df.persist()
    progress(df)
    wait(df)
    print()
    return df


def read(path):
    with open(path, "rb") as f:
        return f.read()


def main():
    layout = compile(TELEMETRY)
    blob = pickle.dumps(layout)
    print(f"compiled layout: {len(layout.names)} fields, pickles to {len(blob)} bytes")

    with tempfile.TemporaryDirectory() as tmp:
        hk, streams = make_archive(tmp)
        size = sum(os.path.getsize(p) for p in hk + streams)
        print(f"archive: {len(hk)} housekeeping files, {len(streams)} streams, {size / 1e6:.1f} MB")

        with (
            LocalCluster(
                n_workers=2,
                processes=True,
                threads_per_worker=1,
                host="127.0.0.1",
                dashboard_address=None,
            ) as cluster,
            Client(cluster),
        ):
            # A glob; 64 KiB blocks so even these small files spread over both workers.
            telemetry = read_packets(
                os.path.join(tmp, "hk", "*.bin"), layout, packet_bytes=PACKET_BYTES, blocksize=65536
            )
            events = read_packets(streams, EVENTS, apid=0x2C)
            print(
                f"telemetry: {telemetry.npartitions} partitions of columns {list(telemetry.columns)}"
            )
            print(f"events: {events.npartitions} partitions (one per stream)")

            t0 = time.perf_counter()
            telemetry = persist_with_progress(telemetry, "housekeeping")
            events = persist_with_progress(events, "events")
            print(f"decoded on the cluster in {time.perf_counter() - t0:.2f} s")
            hottest = telemetry["temperature"].max().compute()
            print(f"hottest reading {hottest}, events by label:")
            print(events["label"].compute().value_counts().to_string())

            # Zero-padded part names keep the files' order for readers that sort
            # by name (pandas, pyarrow); the index restarts with each file.
            out = os.path.join(tmp, "parquet")
            for name, df in (("telemetry", telemetry), ("events", events)):
                df.to_parquet(
                    os.path.join(out, name), name_function=lambda i: f"part-{i:05d}.parquet"
                )

        # Read back with plain pandas and compare with a serial decode, row for row.
        back = pd.read_parquet(os.path.join(out, "telemetry"))
        serial = [unpack_columns(read(p), layout, packet_bytes=PACKET_BYTES) for p in hk]
        for name in layout.names:
            expected = np.concatenate([part[name] for part in serial])
            assert back[name].to_numpy().tobytes() == expected.tobytes(), name
        back_events = pd.read_parquet(os.path.join(out, "events"))
        serial_events = []
        for path in streams:
            data = read(path)
            frames = split_ccsds(data)
            chosen = frames.apids == 0x2C
            serial_events.append(
                unpack_columns(
                    data, EVENTS, offsets=frames.offsets[chosen], lengths=frames.lengths[chosen]
                )
            )
        for name in ("ticks", "label"):
            expected = np.concatenate([part[name] for part in serial_events])
            assert back_events[name].tolist() == expected.tolist(), name
        print(
            f"Parquet read back: {len(back)} telemetry rows, {len(back_events)} event rows, equal"
        )


if __name__ == "__main__":
    main()
