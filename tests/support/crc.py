"""The CRC-16-CCITT of CCSDS packet error control, written out bit by bit:
polynomial x^16 + x^12 + x^5 + 1, preset to ones, most significant bit first."""

from __future__ import annotations


def crc16_ccitt(data: bytes, crc: int = 0xFFFF) -> int:
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = (((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1) & 0xFFFF
    return crc
