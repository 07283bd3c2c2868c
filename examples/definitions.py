"""Decode an instrument's science stream with packet definitions.

One APID carries two packet types chosen by a field of the packet: summaries
(kind 1: a mode with named states, a calibrated temperature and a CUC time)
and event packets (kind 2: a 12-bit count, then that many 30-bit events, then a
checksum in the packet's last 16 bits). The definitions are written once,
kept in a JSON file, and decode the whole capture into one table per type and
a child table of events. Every event is checked against a plain decoding of
its packet.
"""

import random
import tempfile
from pathlib import Path

import bitloom_bulk
from bitloom_bulk import Definitions, PacketType, field
from bitloom_bulk.ccsds import PRIMARY_HEADER

APID = 0x590


def header(length: int, count: int) -> bytes:
    """A primary header for a telemetry packet of `length` bytes."""
    return bytes([0x08 | APID >> 8, APID & 0xFF, 0xC0 | count >> 8 & 0x3F, count & 0xFF]) + (
        length - 7
    ).to_bytes(2, "big")


def summary(rng: random.Random, count: int) -> bytes:
    body = bytes([1, rng.choice([0, 1, 2])])
    body += rng.getrandbits(32).to_bytes(4, "big") + rng.getrandbits(16).to_bytes(2, "big")
    body += rng.getrandbits(12).to_bytes(2, "big")
    return header(6 + len(body), count) + body


def events(rng: random.Random, count: int, n: int) -> tuple[bytes, list[tuple[int, int, int]]]:
    records = [(rng.getrandbits(12), rng.getrandbits(8), rng.getrandbits(10)) for _ in range(n)]
    bits = 0
    for energy, tof, position in records:
        bits = bits << 30 | energy << 18 | tof << 10 | position
    nbytes = (30 * n + 7) // 8
    bits <<= 8 * nbytes - 30 * n
    body = bytes([2]) + n.to_bytes(2, "big") + bits.to_bytes(nbytes, "big") + b"\xbe\xef"
    return header(6 + len(body), count) + body, records


def main() -> None:
    packet = PacketType("packet", PRIMARY_HEADER, abstract=True)
    science = PacketType(
        "science",
        [field("kind", "unsigned", 8)],
        parent=packet,
        where={"apid": APID},
        abstract=True,
    )
    summaries = PacketType(
        "summary",
        [
            field("mode", "unsigned", 8, enumeration={0: "idle", 1: "survey", 2: "burst"}),
            field("time", "binary", 48, time={"code": "cuc", "coarse_bytes": 4, "fine_bytes": 2}),
            field("temperature", "unsigned", 16, offset_bits=112, polynomial=[-50.0, 0.05]),
        ],
        parent=science,
        where={"kind": 1},
    )
    event_packets = PacketType(
        "events",
        [
            field("spare", "unsigned", 4),
            field("n", "unsigned", 12),
            field(
                "events",
                "binary",
                {"rest": 16},
                count={"field": "n"},
                records=[
                    field("energy", "unsigned", 12),
                    field("tof", "unsigned", 8),
                    field("position", "unsigned", 10),
                ],
            ),
            field("checksum", "unsigned", 16, offset_bits=-16),
        ],
        parent=science,
        where={"kind": 2},
    )
    definitions = Definitions([packet, science, summaries, event_packets])
    assert bitloom_bulk.check_recipe(definitions) == []

    rng = random.Random(7)
    capture, expected = b"", []
    for count in range(200):
        if count % 3:
            data, records = events(rng, count, rng.randint(0, 40))
            capture += data
            expected += records
        else:
            capture += summary(rng, count)

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "science.json"
        bitloom_bulk.dump_definitions(definitions, path)
        definitions = bitloom_bulk.load_definitions(path)

    decoded = definitions.decode(capture)
    table = decoded["summary"]
    print(f"{len(table['mode'])} summaries, modes {sorted(set(table['mode']))}")
    print(f"first time {table['time'][0]}, temperatures {table['temperature'][:3]}")
    events_table = decoded["events/events"]
    got = list(
        zip(
            events_table["energy"].tolist(),
            events_table["tof"].tolist(),
            events_table["position"].tolist(),
            strict=True,
        )
    )
    assert got == expected, "events differ from the packets they came from"
    assert set(decoded["events"]["checksum"].tolist()) == {0xBEEF}
    print(f"{len(decoded['events']['n'])} event packets, {len(got)} events, all as packed")
    print(f"unmatched: {decoded.unmatched}, faults: {decoded.faults}")


if __name__ == "__main__":
    main()
