"""CRC-16-CCITT of packets (CCSDS packet error control): the native kernel
against the polynomial written out bit by bit (tests/support/crc.py), and its
refusals."""

from __future__ import annotations

import numpy as np
import pytest

from bitloom_bulk import _native
from tests.support.crc import crc16_ccitt


def test_the_check_value_and_a_packet_that_carries_its_crc():
    assert crc16_ccitt(b"123456789") == 0x29B1
    body = bytes.fromhex("1801c0000003abcd")
    data = body + crc16_ccitt(body).to_bytes(2, "big")
    computed, stored = _native.packet_crcs(data, [0], [len(data)])
    assert computed.dtype == stored.dtype == np.uint16
    assert computed.tolist() == stored.tolist() == [crc16_ccitt(body)]


@pytest.mark.parametrize("seed", range(6))
def test_every_packet_against_the_polynomial(seed):
    rng = np.random.default_rng(seed)
    data = rng.integers(0, 256, 20_000, dtype=np.uint8).tobytes()
    count = 300
    lengths = rng.integers(2, 200, count)
    offsets = rng.integers(0, len(data) - lengths)
    # Some packets of every length from 2 to 17 (the tables take eight bytes
    # at a time; the rest one by one).
    lengths[:16] = np.arange(2, 18)
    computed, stored = _native.packet_crcs(data, offsets, lengths)
    want = [crc16_ccitt(data[o : o + n - 2]) for o, n in zip(offsets, lengths, strict=True)]
    found = [
        int.from_bytes(data[o + n - 2 : o + n], "big")
        for o, n in zip(offsets, lengths, strict=True)
    ]
    assert computed.tolist() == want
    assert stored.tolist() == found


@pytest.mark.parametrize(
    ("offsets", "lengths", "error", "words"),
    [
        ([0, 3], [2, 1], ValueError, "packet 1 is 1 bytes long"),
        ([0], [0], ValueError, "packet 0 is 0 bytes long"),
        ([5], [6], ValueError, "packet 0 (offset 5, length 6) runs past the end"),
        ([-1], [2], ValueError, "offsets[0] is negative"),
        ([0, 1], [2], ValueError, "offsets holds 2 packets but lengths holds 1"),
        ([0.5], [2], TypeError, "offsets"),
    ],
)
def test_packets_that_cannot_carry_a_crc_are_refused(offsets, lengths, error, words):
    with pytest.raises(error, match=None) as info:
        _native.packet_crcs(b"0123456789", offsets, lengths)
    assert words in str(info.value)


def test_no_packets_give_empty_columns():
    computed, stored = _native.packet_crcs(b"", np.zeros(0, np.int64), np.zeros(0, np.int64))
    assert computed.shape == stored.shape == (0,)


def _crcs_by_columns(data: bytes, offsets: np.ndarray, lengths: np.ndarray) -> np.ndarray:
    """Every packet's CRC (of its bytes but the last two), a byte a step for
    all packets at once, by the one-byte table of the bitwise definition."""
    table = np.array([crc16_ccitt(bytes([v]), 0) for v in range(256)], dtype=np.uint32)
    whole = np.frombuffer(data, dtype=np.uint8)
    crc = np.full(len(offsets), 0xFFFF, dtype=np.uint32)
    for j in range(int(lengths.max()) - 2):
        live = lengths - 2 > j
        byte = whole[offsets[live] + j]
        c = crc[live]
        crc[live] = ((c << 8) & 0xFFFF) ^ table[(c >> 8) ^ byte]
    return crc


@pytest.mark.parametrize("shift", [0, 1, 7, 13])
def test_many_packets_of_mixed_lengths_in_one_call(shift):
    # 70,000 packets (more than one run of the native loop) of lengths 2 to
    # 300 in random order, so that packets taken side by side differ in
    # length; the buffer starts `shift` bytes into its allocation, and some
    # packets start within 16 bytes of the buffer's first byte.
    rng = np.random.default_rng(shift)
    raw = rng.integers(0, 256, 2_000_000 + shift, dtype=np.uint8).tobytes()
    data = memoryview(raw)[shift:]
    lengths = rng.integers(2, 301, 70_000)
    lengths[:40] = np.arange(2, 42)
    offsets = rng.integers(0, len(data) - lengths)
    offsets[:40] = np.arange(40) % 16
    computed, stored = _native.packet_crcs(data, offsets, lengths)
    want = _crcs_by_columns(bytes(data), offsets, lengths)
    whole = np.frombuffer(data, dtype=np.uint8).astype(np.uint32)
    ends = offsets + lengths
    np.testing.assert_array_equal(computed, want)
    np.testing.assert_array_equal(stored, (whole[ends - 2] << 8) | whole[ends - 1])
    crcmod = pytest.importorskip("crcmod.predefined")
    fn = crcmod.mkPredefinedCrcFun("crc-ccitt-false")
    for i in rng.choice(len(offsets), 200, replace=False).tolist():
        assert computed[i] == fn(bytes(data[offsets[i] : ends[i] - 2]))
