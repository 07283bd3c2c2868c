"""Two's complement, ones' complement and sign-magnitude fields, in both directions."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import bitloom as bl

I64_MIN = -(2**63)
U64_MAX = 2**64 - 1

TWOS_WIDTH = "bits must be <= 64 for two's complement encoding"
ONES_WIDTH = "bits must be <= 64 for ones' complement encoding"
SM_WIDTH = "bits must be between 2 and 64 for sign-magnitude encoding"


def twos_range(v, n):
    lo, hi = -(2 ** (n - 1)) if n else 0, 2 ** (n - 1) - 1 if n else 0
    return f"Value {v} out of range for {n} bits (range: {lo} to {hi})"


def ones_large(v, n):
    return f"Value {v} is too large for {n} bits"


def ones_magnitude(v, n):
    return f"Value {v} is too large (magnitude) for {n} bits"


def sm_magnitude(v, n):
    return f"Magnitude of {v} is too large for {n} bits"


ENC = {
    "twos": bl.encode_twos_complement,
    "ones": bl.encode_ones_complement,
    "sm": bl.encode_sign_magnitude,
}
DEC = {
    "twos": bl.decode_twos_complement,
    "ones": bl.decode_ones_complement,
    "sm": bl.decode_sign_magnitude,
}


def value_error(f, *args):
    """The args of the ValueError (exactly that type) that f(*args) raises."""
    try:
        f(*args)
    except ValueError as caught:
        exc = caught
    else:
        raise AssertionError("no ValueError")
    assert type(exc) is ValueError
    assert exc.__cause__ is None
    return exc.args


@pytest.mark.parametrize(
    ("kind", "value", "bits", "expected"),
    [
        ("twos", -1, 8, 255),
        ("twos", -128, 8, 128),
        ("twos", 127, 8, 127),
        ("twos", 128, 8, "Value 128 out of range for 8 bits (range: -128 to 127)"),
        ("twos", -129, 8, "Value -129 out of range for 8 bits (range: -128 to 127)"),
        ("twos", -1, 64, U64_MAX),
        ("twos", I64_MIN, 64, 2**63),
        ("twos", 0, 65, TWOS_WIDTH),
        ("twos", 2**62, 65, TWOS_WIDTH),
        ("twos", 0, 2**32 - 1, TWOS_WIDTH),
        ("ones", -1, 8, 254),
        ("ones", -127, 8, 128),
        ("ones", -128, 8, "Value -128 is too large (magnitude) for 8 bits"),
        ("ones", 128, 8, "Value 128 is too large for 8 bits"),
        ("ones", -5, 64, 2**64 - 6),
        ("ones", 2**63 - 1, 64, 2**63 - 1),
        ("ones", I64_MIN, 64, "Value -9223372036854775808 is too large (magnitude) for 64 bits"),
        ("ones", 0, 65, ONES_WIDTH),
        ("ones", 2**62, 65, ONES_WIDTH),
        ("ones", 0, 2**32 - 1, ONES_WIDTH),
        ("sm", -5, 8, 133),
        ("sm", -127, 8, 255),
        ("sm", -128, 8, "Magnitude of -128 is too large for 8 bits"),
        ("sm", 128, 8, "Magnitude of 128 is too large for 8 bits"),
        ("sm", -1, 2, 3),
        ("sm", 0, 8, 0),
        ("sm", 0, 1, SM_WIDTH),
        ("sm", 0, 0, SM_WIDTH),
        ("sm", 2**62, 1, SM_WIDTH),
        ("sm", 0, 65, SM_WIDTH),
        ("sm", 0, 2**32 - 1, SM_WIDTH),
        ("sm", I64_MIN, 64, "Magnitude of -9223372036854775808 is too large for 64 bits"),
        ("sm", -(2**63 - 1), 64, U64_MAX),
        # zero-width fields hold only 0
        ("twos", 0, 0, 0),
        ("twos", 1, 0, "Value 1 out of range for 0 bits (range: 0 to 0)"),
        ("twos", -1, 0, "Value -1 out of range for 0 bits (range: 0 to 0)"),
        ("twos", I64_MIN, 0, "Value -9223372036854775808 out of range for 0 bits (range: 0 to 0)"),
        ("ones", 0, 0, 0),
        ("ones", 1, 0, "Value 1 is too large for 0 bits"),
        ("ones", 2**63 - 1, 0, "Value 9223372036854775807 is too large for 0 bits"),
        ("ones", -1, 0, "Value -1 is too large (magnitude) for 0 bits"),
    ],
)
def test_encode(kind, value, bits, expected):
    if isinstance(expected, str):
        assert value_error(ENC[kind], value, bits) == (expected,)
    else:
        result = ENC[kind](value, bits)
        assert type(result) is int
        assert result == expected


@pytest.mark.parametrize(
    ("kind", "image", "bits", "expected"),
    [
        ("twos", 255, 8, -1),
        ("twos", 128, 8, -128),
        ("twos", 127, 8, 127),
        ("twos", U64_MAX, 64, -1),
        ("twos", 2**63, 64, I64_MIN),
        ("twos", 383, 8, 383),  # bits above the field kept while the sign bit is clear
        ("twos", 511, 8, -1),
        ("twos", 1, 1, -1),
        ("ones", 255, 8, 0),
        ("ones", 254, 8, -1),
        ("ones", 128, 8, -127),
        ("ones", 383, 8, 383),
        ("ones", 511, 8, 256),  # image - (2^bits - 1)
        ("ones", U64_MAX, 64, 0),
        ("ones", U64_MAX - 1, 64, -1),
        ("ones", 2**63, 64, -(2**63 - 1)),
        ("ones", 1, 1, 0),
        ("sm", 128, 8, 0),
        ("sm", 133, 8, -5),
        ("sm", 255, 8, -127),
        ("sm", 383, 8, 127),  # bits above the sign bit ignored
        ("sm", 0xFF85, 8, -5),
        ("sm", U64_MAX, 64, -(2**63 - 1)),
        ("sm", 2**63, 64, 0),
        ("sm", 1, 1, 0),
    ],
)
def test_decode(kind, image, bits, expected):
    result = DEC[kind](image, bits)
    assert type(result) is int
    assert result == expected


@pytest.mark.parametrize("kind", ["twos", "ones", "sm"])
@pytest.mark.parametrize("image", [0, 1, 0x80, 2**63, U64_MAX])
def test_decode_width_zero_is_zero(kind, image):
    assert DEC[kind](image, 0) == 0


@pytest.mark.parametrize("kind", ["twos", "ones", "sm"])
@pytest.mark.parametrize("bits", [65, 72, 128, 2**32 - 1])
@pytest.mark.parametrize("image", [0, 5, 0xFF, 2**63, 2**63 + 5, U64_MAX, U64_MAX - 1])
def test_decode_wide_reads_as_64(kind, bits, image):
    assert DEC[kind](image, bits) == DEC[kind](image, 64)


WIDTHS = range(1, 65)


@pytest.mark.parametrize("n", WIDTHS)
def test_twos_boundaries(n):
    lo, hi = -(2 ** (n - 1)), 2 ** (n - 1) - 1
    enc, dec = bl.encode_twos_complement, bl.decode_twos_complement
    assert enc(lo, n) == 2 ** (n - 1)
    assert enc(hi, n) == hi
    assert enc(-1, n) == 2**n - 1
    assert dec(2 ** (n - 1), n) == lo
    assert dec(hi, n) == hi
    assert dec(2**n - 1, n) == -1
    if n < 64:
        assert value_error(enc, lo - 1, n) == (twos_range(lo - 1, n),)
        assert value_error(enc, hi + 1, n) == (twos_range(hi + 1, n),)


@pytest.mark.parametrize("n", WIDTHS)
def test_ones_boundaries(n):
    hi = 2 ** (n - 1) - 1
    enc, dec = bl.encode_ones_complement, bl.decode_ones_complement
    assert enc(hi, n) == hi
    assert enc(-hi, n) == (2**n - 1 - hi if hi else 0)  # 1 bit: only 0 fits
    assert dec(hi, n) == hi
    assert dec(2**n - 1 - hi, n) == -hi
    assert dec(2**n - 1, n) == 0  # negative zero
    assert value_error(enc, -hi - 1, n) == (ones_magnitude(-hi - 1, n),)
    if n < 64:
        assert value_error(enc, hi + 1, n) == (ones_large(hi + 1, n),)


@pytest.mark.parametrize("n", WIDTHS)
def test_sign_magnitude_boundaries(n):
    enc, dec = bl.encode_sign_magnitude, bl.decode_sign_magnitude
    if n == 1:
        for v in (-1, 0, 1):
            assert value_error(enc, v, n) == (SM_WIDTH,)
        return
    hi = 2 ** (n - 1) - 1
    sign = 2 ** (n - 1)
    assert enc(hi, n) == hi
    assert enc(-hi, n) == sign | hi
    assert enc(-1, n) == sign | 1
    assert dec(sign | hi, n) == -hi
    assert dec(hi, n) == hi
    assert dec(sign, n) == 0  # negative zero
    assert value_error(enc, -hi - 1, n) == (sm_magnitude(-hi - 1, n),)
    if n < 64:
        assert value_error(enc, hi + 1, n) == (sm_magnitude(hi + 1, n),)


@pytest.mark.parametrize("kind", ["twos", "ones", "sm"])
def test_value_beyond_64_bits_fails_in_conversion(kind):
    for value in (2**63, I64_MIN - 1):
        with pytest.raises(OverflowError):
            ENC[kind](value, 64)


def signed_in(n, symmetric):
    lo = -(2 ** (n - 1)) + (1 if symmetric else 0)
    return st.integers(lo, 2 ** (n - 1) - 1)


@st.composite
def width_and_value(draw, kind):
    n = draw(st.integers(2 if kind == "sm" else 1, 64))
    return n, draw(signed_in(n, symmetric=kind != "twos"))


@pytest.mark.parametrize("kind", ["twos", "ones", "sm"])
def test_round_trip(kind):
    @given(width_and_value(kind))
    def check(nv):
        n, v = nv
        image = ENC[kind](v, n)
        assert 0 <= image < 2**n
        assert DEC[kind](image, n) == v

    check()


@given(st.integers(1, 64), st.data())
def test_twos_complement_image_is_value_mod_2n(n, data):
    v = data.draw(signed_in(n, symmetric=False))
    assert bl.encode_twos_complement(v, n) == v % 2**n


@given(st.integers(2, 64), st.data())
def test_sign_magnitude_sign_bit(n, data):
    v = data.draw(signed_in(n, symmetric=True))
    image = bl.encode_sign_magnitude(v, n)
    assert image == (abs(v) | (2 ** (n - 1) if v < 0 else 0))
