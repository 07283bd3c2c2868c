"""UTF-8, UTF-16 and UTF-32 codecs, checked against CPython's own codecs."""

import struct

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import bitloom
from tests.support.calls import call, raises_value

H = bytes.fromhex
PAD = [0, 1, 7, 8, 15, 16, 17, 31, 32, 33, 47, 61, 62, 63, 64, 65, 127]  # around block boundaries

ENCODE = [
    ("encode_utf8", "", b""),
    ("encode_utf16", "", H("FEFF")),
    ("encode_utf16be", "", b""),
    ("encode_utf16le", "", b""),
    ("encode_utf32", "", H("0000FEFF")),
    ("encode_utf32be", "", b""),
    ("encode_utf32le", "", b""),
    ("encode_utf16le", "A", H("4100")),
    ("encode_utf16be", "A", H("0041")),
    ("encode_utf32le", "A", H("41000000")),
    ("encode_utf32", "A", H("0000FEFF 00000041")),
    ("encode_utf16be", "\U0001f600", H("D83D DE00")),
    ("encode_utf16le", "\U0001f600", H("3DD8 00DE")),
    ("encode_utf16", "\U0001f600", H("FEFF D83D DE00")),
    ("encode_utf32be", "\U0010ffff", H("0010FFFF")),
    ("encode_utf8", "\x00\ufeff", H("00 EFBBBF")),
]

DECODE = [
    ("decode_utf16", H("FEFF"), ""),
    ("decode_utf16", H("FFFE"), ""),
    ("decode_utf16", H("0041"), "A"),
    ("decode_utf16", H("FFFE 4100"), "A"),
    ("decode_utf16", H("FEFF FEFF"), "\ufeff"),
    ("decode_utf16", H("FFFE FFFE 4100"), "\ufeffA"),
    ("decode_utf16be", H("FEFF 0041"), "\ufeffA"),
    ("decode_utf16le", H("FFFE"), "\ufeff"),
    ("decode_utf16be", b"", ""),
    ("decode_utf16le", b"", ""),
    ("decode_utf16be", H("D83D DE00"), "\U0001f600"),
    ("decode_utf32", H("0000FEFF"), ""),
    ("decode_utf32", H("FFFE0000 41000000"), "A"),
    ("decode_utf32", H("00000041"), "A"),
    ("decode_utf32", H("0000FEFF 0000FEFF"), "\ufeff"),
    ("decode_utf32be", b"", ""),
    ("decode_utf32le", H("FFFE0000"), "\ufeff"),
    ("decode_utf32be", H("0010FFFF 0000D7FF 0000E000"), "\U0010ffff\ud7ff\ue000"),
    ("decode_utf8", H("EFBBBF 41"), "\ufeffA"),
    ("decode_utf8", b"", ""),
    ("decode_utf8", H("00"), "\x00"),
    ("decode_utf8", H("F4 8F BF BF"), "\U0010ffff"),
]

LONE = "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"

ERRORS = [
    ("decode_utf16", b"", "UTF-16 requires an even number of bytes with at least 2 bytes"),
    ("decode_utf16", H("00"), "UTF-16 requires an even number of bytes with at least 2 bytes"),
    ("decode_utf16", H("FEFF 00"), "UTF-16 requires an even number of bytes with at least 2 bytes"),
    ("decode_utf16le", H("41"), "UTF-16 requires an even number of bytes"),
    ("decode_utf16be", H("D800 DC"), "UTF-16 requires an even number of bytes"),
    ("decode_utf16be", H("D800"), LONE),
    ("decode_utf16le", H("3DD8 4100"), LONE),
    ("decode_utf16be", H("DC00 D800"), LONE),
    ("decode_utf16be", H("0041 DFFF"), LONE),
    ("decode_utf16", H("FFFE 00D8"), LONE),
    ("decode_utf32", H("000000"), "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"),
    ("decode_utf32", b"", "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"),
    (
        "decode_utf32",
        H("0000FEFF 00"),
        "UTF-32 requires a multiple of 4 bytes with at least 4 bytes",
    ),
    ("decode_utf32le", H("410000"), "UTF-32 requires a multiple of 4 bytes"),
    ("decode_utf32be", H("00110000"), "Invalid UTF-32 codepoint: 0x00110000"),
    ("decode_utf32le", H("00D80000"), "Invalid UTF-32 codepoint: 0x0000D800"),
    ("decode_utf32be", H("00000041 FFFFFFFF 0000D800"), "Invalid UTF-32 codepoint: 0xFFFFFFFF"),
    ("decode_utf32", H("FFFE0000 FFDF0000"), "Invalid UTF-32 codepoint: 0x0000DFFF"),
    ("decode_utf32", H("80000000"), "Invalid UTF-32 codepoint: 0x80000000"),
    (
        "decode_utf8",
        H("41 FF"),
        "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 1",
    ),
    ("decode_utf8", H("E2 82"), "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index 0"),
    (
        "decode_utf8",
        H("E2 82 41"),
        "Invalid UTF-8 bytes: invalid utf-8 sequence of 2 bytes from index 0",
    ),
    (
        "decode_utf8",
        H("ED A0 80"),
        "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0",
    ),
    (
        "decode_utf8",
        H("E0 80 80"),
        "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0",
    ),
    (
        "decode_utf8",
        H("F0 9F 98 41"),
        "Invalid UTF-8 bytes: invalid utf-8 sequence of 3 bytes from index 0",
    ),
    (
        "decode_utf8",
        H("41 F4 90 80 80"),
        "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 1",
    ),
    (
        "decode_utf8",
        H("C0 80"),
        "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0",
    ),
    (
        "decode_utf8",
        H("F5 80 80 80"),
        "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0",
    ),
    (
        "decode_utf8",
        H("C3 A9 F0 9F 98"),
        "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index 2",
    ),
    ("decode_utf8", H("80"), "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0"),
]


@pytest.mark.parametrize(("name", "text", "expected"), ENCODE)
def test_encode_examples(name, text, expected):
    out = call(name, text)
    assert type(out) is bytes
    assert out == expected


@pytest.mark.parametrize(("name", "data", "expected"), DECODE)
def test_decode_examples(name, data, expected):
    out = call(name, data)
    assert type(out) is str
    assert out == expected


@pytest.mark.parametrize(("name", "data", "message"), ERRORS)
def test_decode_errors(name, data, message):
    raises_value(name, data, message)


# ---- UTF-8 error positions against CPython's decoder ---------------------------------


def cpython_utf8_message(data):
    """The message for `data`, or None when CPython decodes it."""
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.end == len(data) and e.reason == "unexpected end of data":
            return f"Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index {e.start}"
        return f"Invalid UTF-8 bytes: invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}"
    return None


def check_utf8_against_cpython(data):
    expected = cpython_utf8_message(data)
    if expected is None:
        out = bitloom.decode_utf8(data)
        assert out == data.decode("utf-8")
        assert out.isascii() == data.isascii()
    else:
        raises_value("decode_utf8", data, expected)


# Pieces that meet at every kind of sequence boundary: well-formed characters,
# truncated sequences, stray continuations, overlong and out-of-range leads.
UTF8_PIECES = [
    b"a",
    b"\x7f",
    "é".encode(),
    "€".encode(),
    "\U0001f600".encode(),
    "\U0010ffff".encode(),
    "\ud7ff".encode(),
    "\ue000".encode(),
    b"\x80",
    b"\xbf",
    b"\xc0",
    b"\xc1",
    b"\xc2",
    b"\xdf",
    b"\xe0",
    b"\xe0\xa0",
    b"\xe0\x9f",
    b"\xed",
    b"\xed\x9f",
    b"\xed\xa0",
    b"\xef\xbf",
    b"\xf0",
    b"\xf0\x90",
    b"\xf0\x8f",
    b"\xf0\x90\x80",
    b"\xf4\x8f\xbf",
    b"\xf4\x90",
    b"\xf5",
    b"\xff",
    b"0123456789abcdef",
]


@settings(max_examples=600)
@given(st.lists(st.sampled_from(UTF8_PIECES), max_size=24).map(b"".join))
def test_utf8_errors_match_cpython_adversarial(data):
    check_utf8_against_cpython(data)


@settings(max_examples=400)
@given(st.binary(max_size=80))
@example(b"\xe2\x82" + b"a" * 40)
def test_utf8_errors_match_cpython_random(data):
    check_utf8_against_cpython(data)


@settings(max_examples=400)
@given(
    st.text(min_size=20, max_size=150),
    st.integers(0, 10**6),
    st.sampled_from([0x80, 0xBF, 0xC0, 0xC2, 0xE0, 0xED, 0xF0, 0xF4, 0xF5, 0xFF, 0x90, 0xA0]),
    st.booleans(),
)
def test_utf8_one_corrupt_byte_in_long_text(text, where, byte, cut):
    # Long well-formed text with a single bad byte (and possibly cut right after
    # it): the first error may sit deep inside a block of any kind of character.
    data = bytearray(text.encode())
    at = where % len(data)
    data[at] = byte
    if cut:
        del data[at + 1 :]
    check_utf8_against_cpython(bytes(data))


BAD_UTF8 = [b"\xff", b"\xe2\x82", b"\xed\xa0\x80", b"\xf0\x9f\x98A", b"\xc3", b"\xc3A"]


@pytest.mark.parametrize("pad", PAD)
@pytest.mark.parametrize("bad", BAD_UTF8)
def test_utf8_error_index_after_long_prefix(pad, bad):
    # The fast paths skip ASCII and two-byte runs a block at a time; the index must
    # still be the exact byte where the bad sequence starts.
    for prefix in (b"x" * pad, "é".encode() * pad, "x€".encode() * pad):
        for suffix in (b"", b"tail" * 40):
            check_utf8_against_cpython(prefix + bad + suffix)


# ---- round trips against CPython's codecs ----------------------------------------------

ROUND_TRIP = [
    ("utf8", lambda s: s.encode("utf-8")),
    ("utf16", lambda s: b"\xfe\xff" + s.encode("utf-16-be")),
    ("utf16be", lambda s: s.encode("utf-16-be")),
    ("utf16le", lambda s: s.encode("utf-16-le")),
    ("utf32", lambda s: b"\x00\x00\xfe\xff" + s.encode("utf-32-be")),
    ("utf32be", lambda s: s.encode("utf-32-be")),
    ("utf32le", lambda s: s.encode("utf-32-le")),
]

# Runs of one width class, so that long stretches reach the block paths.
texts = st.one_of(
    st.text(max_size=120),
    st.lists(
        st.sampled_from(
            ["a", "ÿ", "é", "Ā", "€", "中", "\uffff", "\U0001f600", "\U0010ffff", "a" * 33]
        ),
        max_size=40,
    ).map("".join),
)


@settings(max_examples=300)
@given(texts)
def test_round_trip_matches_cpython(text):
    for codec, cpython_encode in ROUND_TRIP:
        encoded = getattr(bitloom, f"encode_{codec}")(text)
        assert encoded == cpython_encode(text), codec
        decoded = getattr(bitloom, f"decode_{codec}")(encoded)
        assert decoded == text, codec
        # The str is built at its narrowest kind, ASCII flag included.
        assert decoded.isascii() == text.isascii(), codec


@settings(max_examples=100)
@given(texts)
def test_decoders_accept_cpython_native_marks(text):
    # CPython writes the mark of the host order (little-endian here).
    assert bitloom.decode_utf16(text.encode("utf-16")) == text
    assert bitloom.decode_utf32(text.encode("utf-32")) == text


# ---- UTF-16 / UTF-32 decoding of arbitrary units against CPython ----------------------

units16 = st.one_of(
    st.integers(0, 0x7F),
    st.integers(0x80, 0xFF),
    st.integers(0x100, 0xD7FF),
    st.integers(0xD800, 0xDBFF),
    st.integers(0xDC00, 0xDFFF),
    st.integers(0xE000, 0xFFFF),
)
units32 = st.one_of(
    st.integers(0, 0xFF),
    st.integers(0x100, 0xFFFF),
    st.integers(0x10000, 0x10FFFF),
    st.integers(0xD800, 0xDFFF),
    st.integers(0x110000, 0xFFFFFFFF),
)


def lopsided(units, weight):
    # Mostly plain units with an occasional odd one, so block paths run first.
    return st.lists(st.one_of(st.just(0x41), st.just(0x41), st.just(0x41), units), max_size=weight)


@settings(max_examples=400)
@given(lopsided(units16, 60), st.booleans(), st.booleans())
def test_utf16_units_match_cpython(units, little, odd):
    data = struct.pack(("<" if little else ">") + f"{len(units)}H", *units)
    if odd:
        data += b"\x00"
    name = "decode_utf16le" if little else "decode_utf16be"
    if odd:
        raises_value(name, data, "UTF-16 requires an even number of bytes")
        return
    try:
        expected = data.decode("utf-16-le" if little else "utf-16-be")
    except UnicodeDecodeError:
        raises_value(name, data, LONE)
    else:
        out = call(name, data)
        assert out == expected
        assert out.isascii() == expected.isascii()


@settings(max_examples=400)
@given(lopsided(units32, 40), st.booleans())
def test_utf32_units_match_cpython(units, little):
    data = struct.pack(("<" if little else ">") + f"{len(units)}I", *units)
    name = "decode_utf32le" if little else "decode_utf32be"
    try:
        expected = data.decode("utf-32-le" if little else "utf-32-be")
    except UnicodeDecodeError as e:
        unit = units[e.start // 4]
        raises_value(name, data, f"Invalid UTF-32 codepoint: 0x{unit:08X}")
    else:
        out = call(name, data)
        assert out == expected
        assert out.isascii() == expected.isascii()


@pytest.mark.parametrize("pad", PAD)
def test_lone_surrogates_found_at_every_block_position(pad):
    body = "ab€" * pad
    for bad in (b"\xd8\x00", b"\xdc\x00", b"\xd8\x00\x00\x41"):
        raises_value("decode_utf16be", body.encode("utf-16-be") + bad, LONE)
        raises_value("decode_utf16le", body.encode("utf-16-le") + bad[::-1], LONE)
    # A pair split across a block boundary is still a pair.
    text = "a" * pad + "\U0001f600" + "z" * pad
    assert bitloom.decode_utf16be(text.encode("utf-16-be")) == text
    assert bitloom.decode_utf16le(text.encode("utf-16-le")) == text
    raises_value(
        "decode_utf32le",
        ("a" * pad).encode("utf-32-le") + H("0000 1100"),
        "Invalid UTF-32 codepoint: 0x00110000",
    )


def test_lone_surrogate_str_gets_interpreters_error():
    for name in ("encode_utf8", "encode_utf16", "encode_utf32le"):
        with pytest.raises(UnicodeEncodeError):
            call(name, "a\ud800")


def test_large_mixed_text_round_trip():
    text = ("plain ascii text, " * 50 + "café ñ " + "中文字符 " + "\U0001f600\U0001f680 ") * 200
    for codec, cpython_encode in ROUND_TRIP:
        data = cpython_encode(text)
        assert getattr(bitloom, f"encode_{codec}")(text) == data
        assert getattr(bitloom, f"decode_{codec}")(data) == text


class Text(str):
    """A str subclass: its characters live outside the object (not compact)."""


SINGLE_BYTE = [("us_ascii", "ascii"), ("iso_8859_1", "latin-1"), ("windows_1252", "cp1252")]


@pytest.mark.parametrize("cls", [str, Text])
@pytest.mark.parametrize("widest", ["a", "\xe9", "\u0100", "\U0001f600"])
@pytest.mark.parametrize("length", [1, 7, 16, 17, 40])
def test_encoders_on_every_storage_width(cls, widest, length):
    # Characters stored 1, 2 or 4 bytes wide, across and off the 16-byte blocks;
    # the widest character last, so that it lands in the tail.
    filler = "xy" if widest == "a" else "x\xff\x80"
    text = cls((filler * length)[: length - 1] + widest)
    for codec, cpython_encode in ROUND_TRIP:
        assert getattr(bitloom, f"encode_{codec}")(text) == cpython_encode(text), codec
    for codec, cpython_name in SINGLE_BYTE:
        try:
            expected = text.encode(cpython_name)
        except UnicodeEncodeError:
            with pytest.raises(ValueError):
                getattr(bitloom, f"encode_{codec}")(text)
        else:
            assert getattr(bitloom, f"encode_{codec}")(text) == expected, codec
