"""Decode packets as they arrive over a socket, with data-quality checks.

A sender thread writes housekeeping packets (each ending in its CRC-16-CCITT
packet error control) into one end of a socket pair in small, uneven pieces;
three packets are never sent, one is sent twice and one has a damaged byte.
bitloom_bulk.decode_stream reads the other end, decodes every piece's complete
packets and keeps the rest for the next piece; its quality reports the gap,
the repeat and the CRC fault, and the tables hold every good packet once.
"""

import socket
import threading

import bitloom
import bitloom_bulk
from bitloom_bulk import field
from bitloom_bulk.ccsds import PRIMARY_HEADER

APID = 0x064
BODY = [field("seconds", "unsigned", 32), field("temperature", "twos_complement", 16)]


def crc16_ccitt(data: bytes) -> int:
    crc = 0xFFFF
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = (((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1) & 0xFFFF
    return crc


def packet(count: int, seconds: int, temperature: int) -> bytes:
    values = {
        "version": 0,
        "type": 0,
        "secondary_header": 0,
        "apid": APID,
        "sequence_flags": 3,
        "sequence_count": count,
        "packet_length": 6 + 2 - 1,  # body and CRC, less one
        "seconds": seconds,
        "temperature": temperature,
    }
    items = [dict(item, value=values[item["name"]]) for item in [*PRIMARY_HEADER, *BODY]]
    data = bitloom.pack_parameters(items)
    return data + crc16_ccitt(data).to_bytes(2, "big")


def main() -> None:
    packets = [packet(n, 1000 + n, n - 20) for n in range(40)]
    sent = [p for n, p in enumerate(packets) if n not in (10, 11, 12)]  # a gap of three
    sent.insert(20, sent[20])  # a repeat
    damaged = bytearray(sent[30])
    damaged[7] ^= 0x01
    sent[30] = bytes(damaged)  # a CRC fault
    stream = b"".join(sent)

    reader, writer = socket.socketpair()

    def send() -> None:
        with writer:
            at, step = 0, 1
            while at < len(stream):
                writer.sendall(stream[at : at + step])
                at += step
                step = step % 23 + 5  # pieces that cut packets anywhere

    sender = threading.Thread(target=send)
    sender.start()
    decoder = bitloom_bulk.StreamDecoder({APID: [*PRIMARY_HEADER, *BODY]}, crc="ccitt")
    seconds = []
    with reader:
        while piece := reader.recv(64):
            seconds.extend(decoder.feed(piece)[APID]["seconds"].tolist())
    decoder.close()
    sender.join()

    quality = decoder.quality
    print(f"{decoder.packets} packets, {len(seconds)} decoded; quality: {quality}")
    assert [g.missing for g in quality.gaps] == [3]
    assert len(quality.repeats) == 1
    assert [f.packet for f in quality.crc_faults] == [30]
    # Every good packet's values, once per time it was sent.
    good = [p for n, p in enumerate(sent) if n != 30]
    assert seconds == [
        bitloom.unpack_parameters(p, 0, [*PRIMARY_HEADER, *BODY])["seconds"] for p in good
    ]


if __name__ == "__main__":
    main()
