"""A CCSDS-style telemetry packet: a 6-byte primary header, then housekeeping data.

Packs one packet, reads it back, and reads a stream of such packets one after
another by moving the bit offset.
"""

import bitloom
from bitloom_bulk import field

# Primary header (48 bits) and a data field; built once, values refreshed per packet.
TELEMETRY = [
    field("version", "unsigned", 3),
    field("type", "unsigned", 1),
    field("sec_hdr_flag", "unsigned", 1),
    field("apid", "unsigned", 11),
    field("seq_flags", "unsigned", 2),
    field("seq_count", "unsigned", 14),
    field("data_length", "unsigned", 16),
    field("seconds", "unsigned", 32),
    field("temperature", "twos_complement", 16),
    field("bus_voltage", "ieee754_f32", 32),
    field("status", "unsigned", 8),
    field("current", "twos_complement", 16),
]
PACKET_BYTES = sum(f["bits"] for f in TELEMETRY) // 8


def pack(seq_count, seconds, temperature, voltage, status, current):
    values = {
        "version": 0,
        "type": 0,
        "sec_hdr_flag": 1,
        "apid": 0x1AB,
        "seq_flags": 3,
        "seq_count": seq_count,
        "data_length": PACKET_BYTES - 7,
        "seconds": seconds,
        "temperature": temperature,
        "bus_voltage": voltage,
        "status": status,
        "current": current,
    }
    for item in TELEMETRY:
        item["value"] = values[item["name"]]
    return bitloom.pack_parameters(TELEMETRY)


def main():
    packet = pack(42, 1_700_000_000, -12, 28.5, 0x81, -350)
    print(f"one packet ({len(packet)} bytes):", packet.hex(" "))
    decoded = bitloom.unpack_parameters(packet, 0, TELEMETRY)
    print("decoded:", decoded)
    assert (
        decoded["apid"] == 0x1AB
        and decoded["temperature"] == -12
        and decoded["bus_voltage"] == 28.5
    )

    # A stream of packets back to back: the offset argument moves through it.
    stream = b"".join(
        pack(n, 1_700_000_000 + n, n - 50, 28.0 + n / 4, n % 256, -n) for n in range(5)
    )
    for n in range(5):
        frame = bitloom.unpack_parameters(stream, n * PACKET_BYTES * 8, TELEMETRY)
        assert frame["seq_count"] == n and frame["current"] == -n
        print(
            f"packet {n}: seq {frame['seq_count']}, t={frame['seconds']}, "
            f"T={frame['temperature']} degC, U={frame['bus_voltage']} V"
        )

    # A truncated packet is ordinary bad input.
    try:
        bitloom.unpack_parameters(packet[:10], 0, TELEMETRY)
    except ValueError as exc:
        print("truncated:", exc, exc.__notes__)


if __name__ == "__main__":
    main()
