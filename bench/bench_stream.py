"""A CCSDS stream decoded as it arrives over loopback TCP, in one run.

Run: python -m bench.bench_stream [--packets N] [--chunk BYTES]   (from the repository's root)

A sender process replays the mixed stream of bench_bulk (three APIDs, 19, 94
and 54 bytes a packet) over a loopback TCP connection as fast as it can; the
receiver reads it with recv_into in pieces of --chunk bytes, feeds each to a
StreamDecoder (as decode_stream does, timing each feed) and decodes every
packet into tables, with the recipes by APID and with the same
fields as packet definitions (a type per APID under the header's), with and
without the CRC check of every packet (every packet ends in its valid CRC-16-CCITT;
one in a thousand is damaged, a CRC fault left out of the tables). Reported: the
throughput in Gb/s of the whole transfer, the median and 99th percentile time
of one feed, and the packet count against a one-call decode of the same
bytes (no packet may be lost).
"""

from __future__ import annotations

import argparse
import itertools
import multiprocessing
import os
import socket
import sys
import time

import numpy as np

import bitloom_bulk
from bench.bench_bulk import MIXED, packet_bytes, recipe
from bitloom_bulk import _native
from tests.support import streams


def _send(port: int, data: bytes) -> None:
    with socket.create_connection(("127.0.0.1", port)) as link:
        link.sendall(data)


def _receive(data: bytes, recipes, chunk: int, crc):
    with socket.socket() as server:
        server.bind(("127.0.0.1", 0))
        server.listen(1)
        sender = multiprocessing.Process(target=_send, args=(server.getsockname()[1], data))
        sender.start()
        link, _ = server.accept()
        with link:
            link.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
            stream = bitloom_bulk.StreamDecoder(recipes, crc=crc)
            view = memoryview(bytearray(chunk))
            feeds = []
            rows = 0
            start = time.perf_counter()
            while True:
                n = link.recv_into(view)
                if n == 0:
                    break
                t = time.perf_counter()
                result = stream.feed(view[:n])
                feeds.append(time.perf_counter() - t)
                rows += sum(len(next(iter(table.values()))) for table in result.values())
            elapsed = time.perf_counter() - start
            stream.close()
        sender.join()
    return elapsed, np.array(feeds), rows, stream


def _definitions(recipes):
    """The recipes as definitions: the header's seven fields in an abstract
    root, a type per APID with the rest, chosen by the APID."""
    first = next(iter(recipes.values()))
    header = [dict(item) for item in first[:7]]
    types = [bitloom_bulk.PacketType("header", header, abstract=True)]
    for apid, items in recipes.items():
        assert [i["name"] for i in items[:7]] == [i["name"] for i in header]
        types.append(
            bitloom_bulk.PacketType(
                f"apid_{apid}", [dict(i) for i in items[7:]], parent="header", where={"apid": apid}
            )
        )
    return bitloom_bulk.Definitions(types)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--packets", type=int, default=2_000_000)
    parser.add_argument("--chunk", type=int, default=64 * 1024)
    args = parser.parse_args()
    sizes = {apid: packet_bytes(fields) for apid, fields in MIXED.items()}
    data = bytearray(streams.mixed_stream(args.packets, sizes, seed=2))
    # Each packet's last two bytes: its CRC; one in a thousand damaged after it.
    frames = bitloom_bulk.split_ccsds(data)
    computed, _ = _native.packet_crcs(data, frames.offsets, frames.lengths)
    view = np.frombuffer(data, np.uint8)
    ends = frames.offsets + frames.lengths
    view[ends - 2] = computed >> 8
    view[ends - 1] = computed & 0xFF
    view[frames.offsets[::1000] + 6] ^= 0x55
    data = bytes(data)
    recipes = {apid: recipe(fields) for apid, fields in MIXED.items()}
    print(
        f"CPython {sys.version.split()[0]}, {args.packets} packets, {len(data) / 1e6:.0f} MB,"
        f" pieces of {args.chunk} bytes, load {os.getloadavg()[0]:.2f}"
    )
    whole = bitloom_bulk.unpack_ccsds(data, recipes)
    want = sum(len(next(iter(t.values()))) for t in whole.values())
    for (kind, decoder), crc in itertools.product(
        (("recipes", recipes), ("definitions", _definitions(recipes))), (None, "ccitt")
    ):
        elapsed, feeds, rows, stream = _receive(data, decoder, args.chunk, crc)
        lost = args.packets - stream.packets
        kept = rows if crc is None else rows + len(stream.quality.crc_faults)
        print(
            f"{kind}, crc={crc}: {len(data) * 8 / elapsed / 1e9:.2f} Gb/s over loopback TCP"
            f" ({len(data) * 8 / elapsed / 1e9:.2f}x the 1 Gb/s target);"
            f" feed median {np.median(feeds) * 1e3:.3f} ms, p99"
            f" {np.percentile(feeds, 99) * 1e3:.3f} ms over {len(feeds)} feeds;"
            f" packets decoded {stream.packets} (lost {lost}), rows {kept} of {want}"
        )
    print(f"load after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
