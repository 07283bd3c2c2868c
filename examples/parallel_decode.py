"""Decode a file of many telemetry packets in parallel.

bitloom's functions are plain built-in functions of an importable module, so they
pickle by reference (a few dozen bytes naming "bitloom.unpack_parameters") and can
be handed to worker processes as they are. With Dask installed the file is
decoded with a Dask bag; without it, with a multiprocessing pool. Both give the
same result as a serial decode.
"""

import os
import pickle
import sys
import tempfile
import time

import bitloom

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from telemetry import PACKET_BYTES, TELEMETRY, pack

try:
    import dask.bag as db
except ImportError:  # Dask is optional
    db = None

PACKETS = 200_000
CHUNK = 10_000


def decode_chunk(args):
    """Decode the packets of one chunk of the file and summarise them; runs in a
    worker, so only the small summary travels back."""
    path, first, count, unpack, recipe = args
    with open(path, "rb") as f:
        f.seek(first * PACKET_BYTES)
        data = f.read(count * PACKET_BYTES)
    frames = [unpack(data, i * PACKET_BYTES * 8, recipe) for i in range(count)]
    return {
        "packets": len(frames),
        "temperature_sum": sum(f["temperature"] for f in frames),
        "current_min": min(f["current"] for f in frames),
        "last_seconds": frames[-1]["seconds"],
        "alarms": sum(1 for f in frames if f["status"] & 0x80),
    }


def combine(summaries):
    return {
        "packets": sum(s["packets"] for s in summaries),
        "temperature_sum": sum(s["temperature_sum"] for s in summaries),
        "current_min": min(s["current_min"] for s in summaries),
        "last_seconds": max(s["last_seconds"] for s in summaries),
        "alarms": sum(s["alarms"] for s in summaries),
    }


def main():
    blob = pickle.dumps(bitloom.unpack_parameters)
    print(
        f"bitloom.unpack_parameters pickles to {len(blob)} bytes, by reference:",
        pickle.loads(blob) is bitloom.unpack_parameters,
    )

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "telemetry.bin")
        with open(path, "wb") as f:
            for n in range(PACKETS):
                f.write(
                    pack(n % 16384, 1_700_000_000 + n, n % 100 - 50, 28.0, n % 256, -(n % 1000))
                )
        recipe = [{k: v for k, v in item.items() if k != "value"} for item in TELEMETRY]
        tasks = [
            (path, first, min(CHUNK, PACKETS - first), bitloom.unpack_parameters, recipe)
            for first in range(0, PACKETS, CHUNK)
        ]

        t0 = time.perf_counter()
        serial = combine([decode_chunk(task) for task in tasks])
        t_serial = time.perf_counter() - t0

        workers = min(4, os.cpu_count() or 1)
        t0 = time.perf_counter()
        if db is not None:
            bag = db.from_sequence(tasks, npartitions=len(tasks)).map(decode_chunk)
            chunks = bag.compute(scheduler="processes", num_workers=workers)
            how = f"Dask bag, {workers} processes"
        else:
            from multiprocessing import get_context

            with get_context().Pool(workers) as pool:
                chunks = pool.map(decode_chunk, tasks)
            how = f"multiprocessing pool, {workers} processes"
        parallel = combine(chunks)
        t_parallel = time.perf_counter() - t0

    assert parallel == serial and parallel["packets"] == PACKETS
    assert parallel["last_seconds"] == 1_700_000_000 + PACKETS - 1
    print("summary:", parallel)
    print(
        f"{PACKETS} packets: serial {t_serial:.3f} s, {how} {t_parallel:.3f} s "
        f"(including worker start-up)"
    )


if __name__ == "__main__":
    main()
