"""IEEE 754 binary16/32/64/128 codecs and the named float formats without a codec."""

import math
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

import bitloom as bl
from tests.support.numbers import f64_bits, f64_from_bits


def f128(sign, exponent, fraction):
    return (sign << 127) | (exponent << 112) | fraction


F112_ONES = (1 << 112) - 1
LOW60 = (1 << 60) - 1
QUIET_NAN = 0x7FF8_0000_0000_0000

ENCODE_CASES = [
    # function, argument, image
    ("encode_ieee754_f16", 1.0, 0x3C00),
    ("encode_ieee754_f16", -2.0, 0xC000),
    ("encode_ieee754_f16", 65504.0, 0x7BFF),
    ("encode_ieee754_f16", 65519.99, 0x7BFF),
    ("encode_ieee754_f16", 65520.0, 0x7C00),
    ("encode_ieee754_f16", -1e6, 0xFC00),
    ("encode_ieee754_f16", -0.0, 0x8000),
    ("encode_ieee754_f16", 1e-8, 0),
    ("encode_ieee754_f16", -1e-8, 0x8000),
    ("encode_ieee754_f16", 2.0**-24, 1),
    ("encode_ieee754_f16", 2.0**-25, 0),
    ("encode_ieee754_f16", 2.0**-25 + 2.0**-40, 1),
    ("encode_ieee754_f16", 3 * 2.0**-25, 2),
    ("encode_ieee754_f16", 2.0**-14, 0x0400),
    ("encode_ieee754_f16", 2.0**-14 - 2.0**-25, 0x0400),
    ("encode_ieee754_f16", 1 + 2.0**-11, 15360),
    ("encode_ieee754_f16", 1 + 3 * 2.0**-11, 15362),
    ("encode_ieee754_f16", 1 + 2.0**-11 + 2.0**-30, 15360),
    ("encode_ieee754_f16", math.nan, 0x7E00),
    ("encode_ieee754_f16", -math.nan, 0xFE00),
    ("encode_ieee754_f16", f64_from_bits(0x7FF5_5400_0000_0000), 0x7F55),
    ("encode_ieee754_f16", math.inf, 0x7C00),
    ("encode_ieee754_f16", -math.inf, 0xFC00),
    ("encode_ieee754_f16", 1e300, 0x7C00),
    ("encode_ieee754_f16", 1, 0x3C00),
    ("encode_ieee754_f32", 0.1, 0x3DCC_CCCD),
    ("encode_ieee754_f32", 1e39, 0x7F80_0000),
    ("encode_ieee754_f32", -1e39, 0xFF80_0000),
    ("encode_ieee754_f32", math.nan, 0x7FC0_0000),
    ("encode_ieee754_f32", -0.0, 0x8000_0000),
    ("encode_ieee754_f32", 1e-46, 0),
    ("encode_ieee754_f32", 3, 0x4040_0000),
    ("encode_ieee754_f64", 1.0, 4607182418800017408),
    ("encode_ieee754_f64", math.nan, 9221120237041090560),
    ("encode_ieee754_f64", -0.0, 9223372036854775808),
    ("encode_ieee754_f64", f64_from_bits(0xFFF0_0000_0000_0001), 0xFFF0_0000_0000_0001),
    ("encode_ieee754_f64", 1, 4607182418800017408),
]


@pytest.mark.parametrize(("func", "value", "image"), ENCODE_CASES)
def test_encode(func, value, image):
    assert getattr(bl, func)(value) == image


DECODE_CASES = [
    # function, image, image of the resulting double
    ("decode_ieee754_f16", 15360, f64_bits(1.0)),
    ("decode_ieee754_f16", 0x1_3C00, f64_bits(1.0)),
    ("decode_ieee754_f16", 2**64 - 1, 0xFFFF_FC00_0000_0000),  # low 16 bits: a NaN
    ("decode_ieee754_f16", 1, f64_bits(5.960464477539063e-08)),
    ("decode_ieee754_f16", 0x8000, f64_bits(-0.0)),
    ("decode_ieee754_f16", 0x7BFF, f64_bits(65504.0)),
    ("decode_ieee754_f16", 64512, f64_bits(-math.inf)),
    ("decode_ieee754_f16", 0x7E00, QUIET_NAN),
    ("decode_ieee754_f16", 0x7C01, 0x7FF8_0400_0000_0000),  # signalling: payload kept, made quiet
    ("decode_ieee754_f16", 0xFD55, 0xFFFD_5400_0000_0000),
    ("decode_ieee754_f32", 1036831949, f64_bits(0.10000000149011612)),
    ("decode_ieee754_f32", 0x1_3F80_0000, f64_bits(1.0)),
    ("decode_ieee754_f32", 0x0000_0001, f64_bits(2.0**-149)),
    ("decode_ieee754_f32", 0xFF80_0000, f64_bits(-math.inf)),
    ("decode_ieee754_f32", 0x7FC0_0000, QUIET_NAN),
    ("decode_ieee754_f32", 0x7F80_0001, 0x7FF8_0000_2000_0000),
    ("decode_ieee754_f32", 0xFFA0_0000, 0xFFFC_0000_0000_0000),
    ("decode_ieee754_f64", 4607182418800017408, f64_bits(1.0)),
    ("decode_ieee754_f64", 0xFFF8_0000_0000_0001, 0xFFF8_0000_0000_0001),
    ("decode_ieee754_f128", f128(0, 0x3FFF, 0), f64_bits(1.0)),
    ("decode_ieee754_f128", f128(1, 0x3FFF, 0), f64_bits(-1.0)),
    ("decode_ieee754_f128", f128(0, 0x3FFF, LOW60), f64_bits(1.0)),
    ("decode_ieee754_f128", f128(0, 0x3FFF, F112_ONES), f64_bits(2 - 2.0**-52)),
    ("decode_ieee754_f128", f128(0, 0x3FFF, 1 << 60), f64_bits(1 + 2.0**-52)),
    ("decode_ieee754_f128", f128(1, 0x4000, 1 << 111), f64_bits(-3.0)),
    ("decode_ieee754_f128", f128(0, 0x3C01, 0), f64_bits(2.2250738585072014e-308)),
    ("decode_ieee754_f128", f128(1, 0x3C00, 0), f64_bits(-0.0)),
    ("decode_ieee754_f128", f128(0, 0x3C00, F112_ONES), f64_bits(0.0)),
    ("decode_ieee754_f128", f128(0, 0x43FE, F112_ONES), f64_bits(1.7976931348623157e308)),
    ("decode_ieee754_f128", f128(1, 0x43FF, 0), f64_bits(-math.inf)),
    ("decode_ieee754_f128", f128(0, 0x7FFF, 0), f64_bits(math.inf)),
    ("decode_ieee754_f128", f128(1, 0x7FFF, 0), f64_bits(-math.inf)),
    ("decode_ieee754_f128", f128(1, 0x7FFF, 1), QUIET_NAN),
    ("decode_ieee754_f128", f128(0, 0x7FFF, 1 << 111), QUIET_NAN),
    ("decode_ieee754_f128", f128(1, 0, F112_ONES), f64_bits(-0.0)),
    ("decode_ieee754_f128", 1, f64_bits(0.0)),
]


@pytest.mark.parametrize(("func", "image", "result_bits"), DECODE_CASES)
def test_decode(func, image, result_bits):
    result = getattr(bl, func)(image)
    assert type(result) is float
    assert f64_bits(result) == result_bits


# ---- the named formats without a codec --------------------------------------------

UNIMPLEMENTED = [
    ("ti_f32", "TI f32"),
    ("ti_f40", "TI f40"),
    ("dec_f32", "DEC f32"),
    ("dec_f64", "DEC f64"),
    ("ibm_f32", "IBM f32"),
    ("ibm_f64", "IBM f64"),
    ("ieee754_1985_f32", "IEEE 754-1985 f32"),
    ("ieee754_1985_f64", "IEEE 754-1985 f64"),
    ("ieee754_1985_f80", "IEEE 754-1985 f80"),
    ("mil_std_1750a_f32", "MIL-STD-1750A f32"),
    ("mil_std_1750a_f48", "MIL-STD-1750A f48"),
]
UNIMPLEMENTED_ENCODERS = [
    (f"encode_{n}", f"{label} encoding not yet implemented") for n, label in UNIMPLEMENTED
]
UNIMPLEMENTED_ENCODERS.append(("encode_ieee754_f128", "IEEE 754 f128 encoding not yet implemented"))
UNIMPLEMENTED_DECODERS = [
    (f"decode_{n}", f"{label} format not yet implemented") for n, label in UNIMPLEMENTED
]


class HasFloat:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(("func", "message"), UNIMPLEMENTED_ENCODERS)
@pytest.mark.parametrize("arg", [1.0, 7, -math.inf, math.nan, 1e300, HasFloat()])
def test_unimplemented_encoder(func, message, arg):
    with pytest.raises(NotImplementedError) as info:
        getattr(bl, func)(arg)
    assert info.value.args == (message,)
    with pytest.raises(NotImplementedError):
        getattr(bl, func)(_value=arg)


@pytest.mark.parametrize(("func", "message"), UNIMPLEMENTED_DECODERS)
@pytest.mark.parametrize("arg", [0, 2**64 - 1, True])
def test_unimplemented_decoder(func, message, arg):
    with pytest.raises(NotImplementedError) as info:
        getattr(bl, func)(arg)
    assert info.value.args == (message,)
    with pytest.raises(NotImplementedError):
        getattr(bl, func)(_value=arg)


def assert_prefixed_type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert info.type is TypeError
    assert type(info.value.__cause__) is TypeError
    assert str(info.value) == "argument '_value': " + str(info.value.__cause__)


@pytest.mark.parametrize(("func", "message"), UNIMPLEMENTED_ENCODERS)
def test_unimplemented_encoder_converts_first(func, message):
    f = getattr(bl, func)
    assert_prefixed_type_error(lambda: f("x"))
    assert_prefixed_type_error(lambda: f(None))
    with pytest.raises(OverflowError) as info:
        f(10**400)
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(("func", "message"), UNIMPLEMENTED_DECODERS)
def test_unimplemented_decoder_converts_first(func, message):
    f = getattr(bl, func)
    assert_prefixed_type_error(lambda: f("x"))
    assert_prefixed_type_error(lambda: f(1.0))
    for out_of_range in (-1, 2**64):
        with pytest.raises(OverflowError) as info:
            f(out_of_range)
        assert not str(info.value).startswith("argument")


# ---- the standard library's struct module as an independent oracle --------------


def to_binary32(x):
    """x rounded to binary32, the way the encoders read a float."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def binary16_of_binary32(f):
    """Rounds an exact binary32 value once to binary16."""
    try:
        return struct.unpack("<H", struct.pack("<e", f))[0]
    except OverflowError:  # 65520 and beyond
        return 0xFC00 if f < 0 else 0x7C00


finite = st.floats(allow_nan=False)
wide = st.floats(allow_nan=False, min_value=-1e6, max_value=1e6) | finite


@given(finite)
def test_f64_matches_struct(x):
    image = bl.encode_ieee754_f64(x)
    assert image == f64_bits(x)
    assert f64_bits(bl.decode_ieee754_f64(image)) == image


@given(st.integers(0, 2**64 - 1))
def test_f64_decode_keeps_every_image(image):
    assert f64_bits(bl.decode_ieee754_f64(image)) == image


@given(wide)
def test_f32_matches_struct(x):
    f = to_binary32(x)
    image = bl.encode_ieee754_f32(x)
    assert image == struct.unpack("<I", struct.pack("<f", f))[0]
    assert f64_bits(bl.decode_ieee754_f32(image)) == f64_bits(f)


@given(st.integers(0, 2**32 - 1), st.integers(0, 2**32 - 1))
def test_f32_decode(image, high):
    result = bl.decode_ieee754_f32((high << 32) | image)
    if (image & 0x7FFF_FFFF) > 0x7F80_0000:  # NaN: sign and payload kept, quiet bit set
        sign = (image >> 31) << 63
        assert f64_bits(result) == sign | QUIET_NAN | ((image & 0x7F_FFFF) << 29)
    else:
        assert f64_bits(result) == f64_bits(struct.unpack("<f", struct.pack("<I", image))[0])


@given(wide | st.floats(min_value=-(2.0**-13), max_value=2.0**-13))
def test_f16_encode_rounds_through_binary32(x):
    assert bl.encode_ieee754_f16(x) == binary16_of_binary32(to_binary32(x))


def test_f16_decode_every_image():
    for h in range(0x10000):
        result = bl.decode_ieee754_f16(h)
        sign = (h >> 15) << 63
        if (h & 0x7C00) == 0x7C00 and (h & 0x3FF):
            assert f64_bits(result) == sign | QUIET_NAN | ((h & 0x3FF) << 42), hex(h)
        else:
            assert f64_bits(result) == f64_bits(struct.unpack("<e", struct.pack("<H", h))[0])
            assert bl.encode_ieee754_f16(result) == h


def test_f16_nan_keeps_sign_and_top_payload():
    for payload in range(0x400):
        for sign in (0, 1):
            f32_nan = (sign << 31) | 0x7F80_0000 | (payload << 13) | 0x1FFF
            x = bl.decode_ieee754_f32(f32_nan)
            assert bl.encode_ieee754_f16(x) == (sign << 15) | 0x7E00 | payload


def test_f16_double_rounding_differs_from_direct_rounding():
    x = 1 + 2.0**-11 + 2.0**-30
    direct = struct.unpack("<H", struct.pack("<e", x))[0]
    assert direct == 0x3C01
    assert bl.encode_ieee754_f16(x) == 0x3C00
