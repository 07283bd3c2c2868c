"""Packed BCD and unpacked (zoned) BCD: encode, decode, messages, round trips."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import bitloom as bl

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1

ZONED_SIGNED = (
    "Invalid zoned decimal signed byte: 0x{:02X} "
    "(expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)"
)
ZONED = "Invalid zoned decimal byte: 0x{:02X} (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"
BAD_SIGN = "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD"


def too_many(value, digits):
    return f"Value {value} has too many digits for {digits} BCD digits"


ENCODE_CASES = [
    # function, value, bits, signed, image or error message
    ("encode_packed_bcd", 1234, 16, False, 0x1234),
    ("encode_packed_bcd", 123, 16, True, 0x123C),
    ("encode_packed_bcd", -123, 16, True, 0x123D),
    ("encode_packed_bcd", 1234, 16, True, too_many(1234, 3)),
    ("encode_packed_bcd", -1, 16, False, "Cannot encode negative value in unsigned BCD"),
    ("encode_packed_bcd", 0, 4, True, 0xC),
    ("encode_packed_bcd", 5, 4, True, too_many(5, 0)),
    ("encode_packed_bcd", 7, 3, False, "bits must be >= 4 for packed BCD"),
    ("encode_packed_bcd", 0, 16, False, 0),
    ("encode_packed_bcd", 42, 15, False, 0x042),  # 3 nibbles
    ("encode_packed_bcd", 1000, 15, False, too_many(1000, 3)),
    # check order: width, then sign, then digit count
    ("encode_packed_bcd", -1, 3, False, "bits must be >= 4 for packed BCD"),
    ("encode_packed_bcd", -12345, 8, False, "Cannot encode negative value in unsigned BCD"),
    # widths at and above the 64-bit image: 16 digits, or 15 beside the sign
    ("encode_packed_bcd", 9999999999999999, 64, False, 0x9999999999999999),
    ("encode_packed_bcd", 9999999999999999, 200, False, 0x9999999999999999),
    ("encode_packed_bcd", 10**16, 200, False, too_many(10**16, 16)),
    ("encode_packed_bcd", -999999999999999, 64, True, 0x999999999999999D),
    ("encode_packed_bcd", 999999999999999, 4294967295, True, 0x999999999999999C),
    ("encode_packed_bcd", 10**15, 68, True, too_many(10**15, 15)),
    ("encode_packed_bcd", 12, 2**32 - 1, True, 0x12C),
    ("encode_packed_bcd", INT64_MIN, 64, True, too_many(INT64_MIN, 15)),
    ("encode_packed_bcd", INT64_MAX, 64, False, too_many(INT64_MAX, 16)),
    ("encode_unpacked_bcd", 123, 24, True, 0xF1F2C3),
    ("encode_unpacked_bcd", -123, 24, True, 0xF1F2D3),
    ("encode_unpacked_bcd", 123, 24, False, 0x010203),
    ("encode_unpacked_bcd", -123, 24, False, 0x010203),
    ("encode_unpacked_bcd", 1000, 24, False, too_many(1000, 3)),
    ("encode_unpacked_bcd", -1000, 24, True, too_many(-1000, 3)),
    ("encode_unpacked_bcd", 5, 7, False, "bits must be >= 8 for unpacked BCD"),
    ("encode_unpacked_bcd", 0, 8, True, 0xC0),
    ("encode_unpacked_bcd", -9, 15, True, 0xD9),  # one byte
    ("encode_unpacked_bcd", 7, 32, True, 0xF0F0F0C7),
    ("encode_unpacked_bcd", 7, 32, False, 0x07),
    ("encode_unpacked_bcd", -12345678, 64, True, 0xF1F2F3F4F5F6F7D8),
    ("encode_unpacked_bcd", 99999999, 72, False, 0x0909090909090909),
    ("encode_unpacked_bcd", 12345678, 4294967288, True, 0xF1F2F3F4F5F6F7C8),
    ("encode_unpacked_bcd", 10**8, 72, False, too_many(10**8, 8)),
    ("encode_unpacked_bcd", INT64_MIN, 64, True, too_many(INT64_MIN, 8)),
    ("encode_unpacked_bcd", INT64_MIN, 64, False, too_many(INT64_MIN, 8)),
]


@pytest.mark.parametrize(("func", "value", "bits", "signed", "expected"), ENCODE_CASES)
def test_encode(func, value, bits, signed, expected):
    encode = getattr(bl, func)
    if isinstance(expected, str):
        with pytest.raises(ValueError) as info:
            encode(value, bits, signed)
        assert info.type is ValueError
        assert info.value.args == (expected,)
    else:
        assert encode(value, bits, signed) == expected


DECODE_CASES = [
    ("decode_packed_bcd", 0x1234, 16, False, 1234),
    ("decode_packed_bcd", 0x123D, 16, True, -123),
    ("decode_packed_bcd", 0x123B, 16, True, -123),
    ("decode_packed_bcd", 0x123F, 16, True, 123),
    ("decode_packed_bcd", 0x123A, 16, True, 123),
    ("decode_packed_bcd", 0x123E, 16, True, 123),
    ("decode_packed_bcd", 0x1239, 16, True, BAD_SIGN),
    ("decode_packed_bcd", 0x12A4, 16, False, "Invalid BCD digit: 10 (must be 0-9)"),
    ("decode_packed_bcd", 0x0D, 8, True, 0),
    ("decode_packed_bcd", 0xD, 4, True, 0),
    ("decode_packed_bcd", 0xFFFF, 3, False, 0),
    ("decode_packed_bcd", 0xFFFF, 3, True, 0),
    ("decode_packed_bcd", 0xFFFF, 0, True, 0),
    ("decode_packed_bcd", 0xF123, 15, False, 123),  # nibble 3 is outside the field
    # the lowest invalid position is reported, the sign before any digit
    ("decode_packed_bcd", 0x1AB, 12, False, "Invalid BCD digit: 11 (must be 0-9)"),
    ("decode_packed_bcd", 0xF5, 8, True, BAD_SIGN),
    ("decode_packed_bcd", 0xFC, 8, True, "Invalid BCD digit: 15 (must be 0-9)"),
    # nibbles beyond the image read as 0
    ("decode_packed_bcd", 0x9999999999999999, 64, False, 9999999999999999),
    ("decode_packed_bcd", 0x9999999999999999, 2**32 - 1, False, 9999999999999999),
    ("decode_packed_bcd", 0x999999999999999B, 200, True, -999999999999999),
    ("decode_unpacked_bcd", 0xF1F2C3, 24, True, 123),
    ("decode_unpacked_bcd", 0xF1F2D3, 24, True, -123),
    ("decode_unpacked_bcd", 0x313233, 24, True, 123),
    ("decode_unpacked_bcd", 0x31F2F3, 24, True, 123),
    ("decode_unpacked_bcd", 0xF13235, 24, True, 125),
    ("decode_unpacked_bcd", 0x010203, 24, False, 123),
    ("decode_unpacked_bcd", 0x313233, 24, False, "Invalid BCD digit: 51 (must be 0-9)"),
    ("decode_unpacked_bcd", 0xFF0102, 16, False, 12),  # byte 2 is outside the field
    ("decode_unpacked_bcd", 0x31323A, 24, True, ZONED_SIGNED.format(0x3A)),
    ("decode_unpacked_bcd", 0x3A3233, 24, True, ZONED.format(0x3A)),
    ("decode_unpacked_bcd", 0x3A32E3, 24, True, ZONED_SIGNED.format(0xE3)),
    ("decode_unpacked_bcd", 0x0AC1, 16, True, ZONED.format(0x0A)),
    ("decode_unpacked_bcd", 0xCA, 8, True, ZONED_SIGNED.format(0xCA)),
    ("decode_unpacked_bcd", 0x0A0B, 16, False, "Invalid BCD digit: 11 (must be 0-9)"),
    ("decode_unpacked_bcd", 0xFF, 8, False, "Invalid BCD digit: 255 (must be 0-9)"),
    ("decode_unpacked_bcd", 0xD0, 8, True, 0),
    ("decode_unpacked_bcd", 0xD9, 8, True, -9),
    ("decode_unpacked_bcd", 0xF9, 8, True, 9),
    ("decode_unpacked_bcd", 0x39, 8, True, 9),
    ("decode_unpacked_bcd", 0xFF, 7, True, 0),
    ("decode_unpacked_bcd", 0xFF, 7, False, 0),
    ("decode_unpacked_bcd", 0xF1F2F3F4F5F6F7C8, 64, True, 12345678),
    ("decode_unpacked_bcd", 0xF1F2F3F4F5F6F7C8, 72, True, ZONED.format(0)),
    ("decode_unpacked_bcd", 0xF1F2F3F4F5F6F7C8, 2**32 - 1, True, ZONED.format(0)),
    ("decode_unpacked_bcd", 0xF1F2F3F4F5F6F7CA, 72, True, ZONED_SIGNED.format(0xCA)),
    ("decode_unpacked_bcd", 0x0909090909090909, 72, False, 99999999),
]


@pytest.mark.parametrize(("func", "image", "bits", "signed", "expected"), DECODE_CASES)
def test_decode(func, image, bits, signed, expected):
    decode = getattr(bl, func)
    if isinstance(expected, str):
        with pytest.raises(ValueError) as info:
            decode(image, bits, signed)
        assert info.type is ValueError
        assert info.value.args == (expected,)
    else:
        assert decode(image, bits, signed) == expected


@pytest.mark.parametrize(
    ("func", "value", "unsigned_result"),
    [
        ("encode_packed_bcd", 12, 0x12),
        ("encode_unpacked_bcd", 5, 0x05),
        ("decode_packed_bcd", 0x12, 12),
        ("decode_unpacked_bcd", 0x05, 5),
    ],
)
def test_signed_defaults_to_false(func, value, unsigned_result):
    f = getattr(bl, func)
    assert f(value, 8) == f(value=value, bits=8) == unsigned_result


# ---- round trips against images built from the decimal digits -----------------


def packed_capacity(bits, signed):
    return min(bits // 4, 16) - signed


def unpacked_capacity(bits):
    return min(bits // 8, 8)


def packed_image(value, digits, signed):
    text = str(abs(value)).rjust(digits, "0") if digits else ""
    if signed:
        text += "D" if value < 0 else "C"
    return int(text or "0", 16)


def unpacked_image(value, digits, signed):
    text = str(abs(value)).rjust(digits, "0")
    zones = [0xF0 if signed else 0] * digits
    if signed:
        zones[-1] = 0xD0 if value < 0 else 0xC0
    return int.from_bytes(bytes(z | int(d) for z, d in zip(zones, text, strict=True)), "big")


@st.composite
def packed_case(draw):
    signed = draw(st.booleans())
    bits = draw(st.one_of(st.integers(4, 80), st.integers(81, 2**32 - 1)))
    limit = 10 ** packed_capacity(bits, signed) - 1
    value = draw(st.integers(-limit if signed else 0, limit))
    return value, bits, signed


@st.composite
def unpacked_case(draw):
    bits = draw(st.one_of(st.integers(8, 80), st.integers(81, 2**32 - 1)))
    limit = 10 ** unpacked_capacity(bits) - 1
    return draw(st.integers(-limit, limit)), bits, draw(st.booleans())


@given(packed_case())
def test_packed_round_trip(case):
    value, bits, signed = case
    image = bl.encode_packed_bcd(value, bits, signed)
    assert image == packed_image(value, packed_capacity(bits, signed), signed)
    assert bl.decode_packed_bcd(image, bits, signed) == value


@given(unpacked_case())
def test_unpacked_round_trip(case):
    value, bits, signed = case
    image = bl.encode_unpacked_bcd(value, bits, signed)
    assert image == unpacked_image(value, unpacked_capacity(bits), signed)
    if signed and bits >= 72:
        # the field's byte 8 lies beyond the image and reads as 0x00
        with pytest.raises(ValueError, match=r"^Invalid zoned decimal byte: 0x00 "):
            bl.decode_unpacked_bcd(image, bits, signed)
    else:
        assert bl.decode_unpacked_bcd(image, bits, signed) == (value if signed else abs(value))


@given(st.data())
def test_too_many_digits(data):
    packed = data.draw(st.booleans())
    signed = data.draw(st.booleans())
    bits = data.draw(st.integers(8, 2**32 - 1))
    digits = packed_capacity(bits, signed) if packed else unpacked_capacity(bits)
    negative = data.draw(st.booleans()) and (signed or not packed)
    magnitude = data.draw(st.integers(10**digits, 2**63 if negative else 2**63 - 1))
    value = -magnitude if negative else magnitude
    encode = bl.encode_packed_bcd if packed else bl.encode_unpacked_bcd
    with pytest.raises(ValueError) as info:
        encode(value, bits, signed)
    assert info.value.args == (too_many(value, digits),)


@given(st.data())
def test_alternative_signs_and_zones(data):
    """Every accepted sign nibble and zone decodes; the encoder writes only one of each."""
    digits = data.draw(st.lists(st.integers(0, 9), min_size=1, max_size=8))
    magnitude = int("".join(map(str, digits)))
    sign = data.draw(st.sampled_from([0xA, 0xB, 0xC, 0xD, 0xE, 0xF]))
    negative = sign in (0xB, 0xD)
    packed = int("".join(map(str, digits)) + f"{sign:X}", 16)
    assert bl.decode_packed_bcd(packed, 4 * len(digits) + 4, True) == (
        -magnitude if negative else magnitude
    )
    zone0 = data.draw(st.sampled_from([0xC0, 0xD0, 0xF0, 0x30]))
    zones = [data.draw(st.sampled_from([0x30, 0xF0])) for _ in digits[:-1]] + [zone0]
    zoned = int.from_bytes(bytes(z | d for z, d in zip(zones, digits, strict=True)), "big")
    expected = -magnitude if zone0 == 0xD0 else magnitude
    assert bl.decode_unpacked_bcd(zoned, 8 * len(digits), True) == expected
