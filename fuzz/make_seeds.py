"""Writes fuzz/seeds/<target>/: a few hand-made starting inputs per fuzz target.

Each seed is laid out the way its target reads its input (fixed-size
little-endian fields from the front, see each fuzz_<target>.cpp), so that the
first runs already reach the interesting branches: field edges, wide widths,
byte-order marks, truncated sequences, partial packets. Run it again after a
target changes its input layout; the files are committed.

Usage: python fuzz/make_seeds.py
"""

import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def u8(v):
    return struct.pack("<B", v & 0xFF)


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def u64(v):
    return struct.pack("<Q", v & 0xFFFFFFFFFFFFFFFF)


def i64(v):
    return struct.pack("<q", v)


def bits_seeds():
    # mode, packet size, content seed, density (0 zero, 1 ones, 2 mixed), then
    # the check's own parameters.
    def head(mode, size, density):
        return u8(mode) + u16(size) + u64(0x0123456789ABCDEF) + u8(density)

    return {
        # read/write: limit, count, start, value
        "read_write_word": head(0, 16, 2) + u8(0) + u8(64) + u32(3) + u64(0xDEADBEEFCAFEF00D),
        "read_write_tail": head(0, 3, 1) + u8(1) + u8(13) + u32(17) + u64(0x1FFF),
        # placement: value, width (raw % 73), reverse, little, start
        "place_12_big": head(1, 8, 0) + u64(0xABC) + u32(12) + u8(0) + u8(0) + u32(5),
        "place_64_reversed_little": head(1, 12, 2)
        + u64(2**63 + 1)
        + u32(64)
        + u8(1)
        + u8(1)
        + u32(3),
        "place_wide": head(1, 120, 1)
        + u64(0x5A5A)
        + u32(0x80000000 + 129)
        + u8(1)
        + u8(0)
        + u32(9),
        # place_bytes: width, little, start, image size, image bytes
        "place_bytes_short_image": head(2, 10, 0)
        + u32(40)
        + u8(0)
        + u32(4)
        + u8(3)
        + b"\x01\x02\x03",
        "place_bytes_little": head(2, 10, 2) + u32(24) + u8(1) + u32(0) + u8(3) + b"abc",
        # extraction: width, little, reverse, start
        "extract_17_little_reversed": head(3, 6, 2) + u32(17) + u8(1) + u8(1) + u32(7),
        "extract_past_end": head(3, 2, 1) + u32(9) + u8(0) + u8(0) + u32(12),
    }


def integer_seeds():
    # value, width (raw % 71, high bit: raw as is), edge pick
    return {
        "twos_8_edge": i64(3) + u32(8) + u8(1),
        "minus_one_1": i64(-1) + u32(1) + u8(0),
        "int64_min_64": i64(-(2**63)) + u32(64) + u8(0),
        "zero_width": i64(5) + u32(0) + u8(0),
        "too_wide": i64(7) + u32(0x80000000 + 65) + u8(0),
        "fits_32_edge": i64(1) + u32(32) + u8(1),
    }


def bcd_seeds():
    # image, width (raw % 140), signed, value, shorten value
    return {
        "packed_1234": u64(0x1234) + u32(16) + u8(0) + i64(1234) + u8(0),
        "packed_signed_negative": u64(0x123D) + u32(16) + u8(1) + i64(-123) + u8(0),
        "bad_digit": u64(0x1A) + u32(8) + u8(0) + i64(99) + u8(0),
        "narrow_3_bits": u64(0x5) + u32(3) + u8(0) + i64(5) + u8(0),
        "unpacked_wide": u64(0x0102030405060708) + u32(64) + u8(0) + i64(12345678) + u8(0),
        "overflow_20_digits": u64(2**64 - 1) + u32(80) + u8(1) + i64(-(2**63)) + u8(0),
    }


def float_seeds():
    # f32 bits, f64 bits, f128 high and low, exponent steer
    return {
        "ones": u32(0x3F800000)
        + u64(0x3FF0000000000000)
        + u64(0x3FFF000000000000)
        + u64(0)
        + u8(0),
        "subnormal_half": u32(0x33800000)
        + u64(0x0000000000000001)
        + u64(0x0001000000000000)
        + u64(1)
        + u8(0),
        "nan_payload": u32(0x7FC00001)
        + u64(0x7FF8000000000001)
        + u64(0x7FFF800000000000)
        + u64(5)
        + u8(0),
        "half_overflow": u32(0x477FF000)
        + u64(0xC0EFFFE000000000)
        + u64(0x400E000000000000)
        + u64(0)
        + u8(1),
        "negative_zero": u32(0x80000000) + u64(2**63) + u64(2**63) + u64(0) + u8(0),
    }


def unicode_seeds():
    # mode (low two bits: 0 UTF-8, 1 UTF-16, 2 UTF-32, 3 valid text), then the bytes
    return {
        "utf8_mixed": u8(0) + "aé€😀".encode(),
        "utf8_truncated": u8(0) + b"ab\xe2\x82",
        "utf8_surrogate": u8(0) + b"\xed\xa0\x80",
        "utf8_overlong": u8(0) + b"\xc0\xaf",
        "utf16_bom_le": u8(1) + b"\xff\xfe" + "hi😀".encode("utf-16-le"),
        "utf16_lone_high": u8(1) + b"\x00\xd8\x41\x00",
        "utf16_odd_length": u8(1) + b"\x00\x41\x00",
        "utf32_bom_be": u8(2) + b"\x00\x00\xfe\xff" + "x😀".encode("utf-32-be"),
        "utf32_out_of_range": u8(2) + b"\x00\x00\x11\x00",
        "text_wide": u8(3) + b"\x00\x00\x41\x00\x20\xac\x01\xf6\x00\x10\xff\xff",
        "text_narrow": u8(0x33) + b"\x00\x00\x41\x00\x00\xe9\x00\x00\xff",
    }


def charset_seeds():
    # first byte: bit 0 decoders, else encoders (bit 1: bytes mapped onto characters)
    return {
        "decode_all_bytes": u8(1) + bytes(range(256)),
        "decode_1252_holes": u8(1) + b"\x80\x81\x8d\x8f\x90\x9d\x9f",
        "encode_latin": u8(0) + "café ÿ".encode(),
        "encode_beyond": u8(0) + "€ Ā 😀".encode(),
        "encode_mapped_edges": u8(2) + b"\x80\x00\x80\x1f\x40\x00\x00\x41\x00\xff",
    }


def ccsds_seeds():
    def packet(apid, seq, data):
        return u16be(apid) + u16be(0xC000 | seq) + u16be(len(data) - 1) + data

    def u16be(v):
        return struct.pack(">H", v & 0xFFFF)

    two = packet(0x0801, 0, b"\x01\x02\x03") + packet(0x0802, 1, b"\x04")
    return {
        # mode (bit 0: packets built from descriptions, bit 1: partial allowed), start, bytes
        "two_packets": u8(0) + u16(0) + two,
        "truncated_second": u8(0) + u16(0) + two[:-1],
        "truncated_partial": u8(2) + u16(0) + two[:-1],
        "start_past_end": u8(0) + u16(0x8001) + two,
        "header_only": u8(2) + u16(0) + two[:4],
        # built: count, (apid, data length - 1) per packet, cut
        "built_three_cut": u8(1)
        + u16(0)
        + u8(3)
        + u16(0x07FF)
        + u8(0)
        + u16(1)
        + u8(255)
        + u16(2)
        + u8(9)
        + u16(0x8000 + 5),
    }


def repeated_seeds():
    # Encodings by their place among the decodable rows (fuzz_repeated.cpp);
    # windowed recipes give (encoding, flags[, offset], bits), the others
    # (encoding, flags, bits[, offset]), each byte as the target reads it.
    unsigned, twos, ones, packed_bcd, unpacked_bcd, f16, f32 = 0, 1, 2, 4, 6, 8, 9
    always_fails = 0xF5  # 245 % 23 rows: one of the unimplemented float formats

    def recipe(*fields):
        return u8(len(fields) - 1) + b"".join(
            u8(enc) + u8(flags) + b"".join(u8(v) for v in rest) for enc, flags, *rest in fields
        )

    def packets(*rows, many=False):
        # (start in bits, count, slack byte) per packet; many: counts of 100 and more
        count = (lambda c: u16(c - 100)) if many else u8
        return u8(len(rows)) + b"".join(u8(s) + count(c) + u8(slack) for s, c, slack in rows)

    def at_end(n):
        # at_offsets placement: every packet after the last, no tail
        return b"".join(u8(0x80) for _ in range(n)) + u8(0)

    data = bytes(range(0x11, 0xFF, 0x0D))
    # mode bits: 1 offsets, 2 windowed, 4 widths up to bit 58, 8 huge stride,
    # 16 many rows, 32 sparse data (zeros and (u16 position, u8 value) pairs)
    return {
        # three big-endian fields in 21 bits, packed, two packets ending at the data's end
        "windowed_packed": u8(3)
        + recipe((unsigned, 0, 4), (twos, 0, 9), (f16, 0, 5))
        + u8(0)
        + packets((3, 5, 0), (0, 7, 0))
        + at_end(2)
        + data,
        # more than two blocks of 512 instances, byte-aligned stride, fixed-size packets
        "windowed_many": u8(2 | 16)
        + recipe((unsigned, 0, 11), (ones, 0, 13))
        + u8(0x80 | 3)
        + packets((0, 399, 0), (5, 399, 0), (7, 300, 0), many=True)
        + data,
        # a BCD digit refused in the second block of 512 instances (row 600):
        # zeros but for the first byte of instance 201 (bit 201 * 32) of the
        # second packet (1595 bytes each)
        "windowed_second_block_fault": u8(2 | 16 | 32)
        + recipe((packed_bcd, 0, 11), (unsigned, 0, 7))
        + u8(0x80 | 3)
        + packets((0, 399, 0), (0, 399, 0), many=True)
        + u16(1595 + 201 * 4)
        + u8(0xAA),
        # two fields ending at bit 57 exactly (the last windowed bit), both at
        # explicit offsets (the second one's own start would lie past bit 56)
        "windowed_edge_offset": u8(3)
        + recipe((unsigned, 0x0C, 55, 1), (twos, 0, 30, 26))
        + u8(0x40 | 5)
        + packets((1, 9, 0), (0, 4, 0x83))
        + at_end(2)
        + data,
        # BCD that fails on some instance, ending at bit 58 (the general path)
        "bcd_general": u8(1 | 4 | 2)
        + recipe((packed_bcd, 0, 20), (unpacked_bcd, 0, 36))
        + u8(0)
        + packets((2, 11, 0), (6, 3, 0))
        + at_end(2)
        + bytes(60)
        + b"\xff"
        + bytes(42),
        # little-endian, reversed and wide fields with an offset: the general path
        "general_mixed": u8(1)
        + recipe((twos, 1, 0x40 | 16), (f32, 2, 0x80 | 3), (unsigned, 0x0F, 0xC0 | 17, 40))
        + u8(0xC0 | 9)
        + packets((9, 6, 0), (0, 0, 0x85), (4, 5, 0))
        + u8(0x80)
        + u8(0)
        + u16(3)
        + u8(0x80)
        + u8(0)
        + data,
        # one instance per packet at a huge stride, one field always failing
        "huge_stride_fault": u8(1 | 8)
        + recipe((unsigned, 0, 0x40 | 7), (always_fails, 0, 0x80 | 3))
        + u8(0)
        + u64(2**63 + 5)
        + packets((0, 1, 0), (3, 1, 0))
        + at_end(2)
        + data,
    }


def definitions_seeds():
    # fuzz_definitions.py draws a definition set, a packet count and each
    # packet's length from the input, then the packets' bytes: long random
    # inputs give many packets of every length at once.
    import random

    out = {}
    for n in range(6):
        rng = random.Random(n)
        out[f"random_{n}"] = bytes(rng.randrange(256) for _ in range(600 + 300 * n))
    return out


def pack_columns_seeds():
    # fuzz_pack_columns.cpp reads: mode (bit 0: scattered packets), rows,
    # fields - 1, then per field (encoding, flags, width[, offset]) with flags
    # bit 0 little-endian, bit 1 reversed, bits 2-3 both set: an explicit
    # offset; then per column a pick byte (element type, stride, byte swap,
    # bit 7: large values) and its elements. The tails are random, so the
    # columns hold every kind of value.
    import random

    def fields(*layouts):
        return b"".join(b"".join(u8(v) for v in field) for field in layouts)

    out = {}
    shapes = {
        # twelve fields one after another, widths 1-64, both byte orders
        "twelve_mixed": (0, 39, [(i, (i % 4) & 3, 0x40 | (5 * i)) for i in range(12)]),
        # whole-byte fields sharing 8-byte words, packets scattered
        "whole_bytes_scattered": (1, 33, [(0, 0, 0x80 | i) for i in range(8)]),
        # explicit offsets overlapping earlier fields, reversed bits
        "overlaps": (0, 17, [(1, 0x0E, 0x40 | 12, 3), (2, 0x0C, 0x40 | 30, 0), (0, 0x02, 7)]),
        # widths past the 8-byte window, little-endian
        "wide_little": (1, 25, [(3, 1, 0xC0 | 14), (0, 1, 0xC0 | 31), (5, 0, 0x40 | 63)]),
    }
    for n, (name, (mode, rows, layouts)) in enumerate(shapes.items()):
        rng = random.Random(n)
        tail = bytes(rng.randrange(256) for _ in range(4000))
        out[name] = u8(mode) + u8(rows) + u8(len(layouts) - 1) + fields(*layouts) + tail
    return out


def crc16_seeds():
    # count, one length for all (2 + value), (offset, length - 2) per packet, bytes
    import random

    rng = random.Random(16)
    data = bytes(rng.randrange(256) for _ in range(1200))

    def packets(fixed, places):
        return u8(len(places)) + u16(fixed) + b"".join(u16(o) + u16(n) for o, n in places) + data

    return {
        # the mixed stream's lengths (19, 94, 54) and longer, side by side
        "mixed_lengths": packets(52, [(0, 17), (19, 92), (113, 52), (167, 17), (186, 298)]),
        # packets starting within 16 bytes of the buffer's first byte
        "near_start": packets(15, [(i, 2 * i) for i in range(16)]),
        # lengths 16k + 1 (the preset split across the first two blocks)
        "preset_split": packets(31, [(7, 15), (40, 31), (90, 47), (300, 63)]),
    }


SEEDS = {
    "bits": bits_seeds,
    "integer": integer_seeds,
    "bcd": bcd_seeds,
    "float": float_seeds,
    "unicode": unicode_seeds,
    "charset": charset_seeds,
    "ccsds": ccsds_seeds,
    "crc16": crc16_seeds,
    "repeated": repeated_seeds,
    "definitions": definitions_seeds,
    "pack_columns": pack_columns_seeds,
}


def main():
    for target, make in SEEDS.items():
        folder = HERE / "seeds" / target
        folder.mkdir(parents=True, exist_ok=True)
        for old in folder.iterdir():
            old.unlink()
        for name, data in make().items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
