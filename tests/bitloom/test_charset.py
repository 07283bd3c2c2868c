"""US-ASCII, ISO-8859-1 and Windows-1252, checked against CPython's codecs."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import bitloom
from tests.support.calls import call, raises_value

H = bytes.fromhex
C1_DEFINED = {0x81: "\x81", 0x8D: "\x8d", 0x8F: "\x8f", 0x90: "\x90", 0x9D: "\x9d"}
DECODE_FAILED = "Failed to decode Windows-1252 bytes"
ENCODE_FAILED = "Failed to encode to Windows-1252"
NAMES = ["us_ascii", "iso_8859_1", "windows_1252"]


def windows_1252_char(byte):
    """The index entry from CPython's cp1252, with the five bytes it leaves undefined."""
    return C1_DEFINED.get(byte) or bytes([byte]).decode("cp1252")


@pytest.mark.parametrize("name", NAMES)
def test_empty(name):
    assert getattr(bitloom, f"encode_{name}")("") == b""
    assert getattr(bitloom, f"decode_{name}")(b"") == ""


EXAMPLES = [
    ("encode_iso_8859_1", "café", H("636166E9")),
    ("encode_windows_1252", "€", H("80")),
    ("encode_windows_1252", "\x81", H("81")),
    ("encode_windows_1252", "Aé€ŸÿŽ", H("41E9809FFF8E")),
    ("encode_us_ascii", "\x00\x7f", H("007F")),
    ("decode_us_ascii", H("7F"), "\x7f"),
    ("decode_iso_8859_1", H("80FF"), "\x80\xff"),
    ("decode_windows_1252", H("80"), "€"),
    ("decode_windows_1252", H("81"), "\x81"),
    ("decode_windows_1252", H("E9"), "é"),
    ("decode_windows_1252", H("EFBBBF41"), "A"),
    ("decode_windows_1252", H("EFBBBF"), ""),
    ("decode_windows_1252", H("EFBBBF EFBBBF"), "\ufeff"),
    ("decode_windows_1252", H("EFBBBF E282AC"), "€"),
    ("decode_windows_1252", H("FFFE4100"), "A"),
    ("decode_windows_1252", H("FFFE"), ""),
    ("decode_windows_1252", H("FEFF0041"), "A"),
    ("decode_windows_1252", H("FEFF D83DDE00"), "\U0001f600"),
    ("decode_windows_1252", H("EFBB"), "\xef\xbb"),
    ("decode_windows_1252", H("EF"), "\xef"),
    ("decode_windows_1252", H("FF"), "\xff"),
    ("decode_windows_1252", H("FEFE"), "\xfe\xfe"),
    ("decode_windows_1252", H("FFBBBF"), "\xff\xbb\xbf"),
]


@pytest.mark.parametrize(("name", "arg", "expected"), EXAMPLES)
def test_examples(name, arg, expected):
    out = call(name, arg)
    assert type(out) is type(expected)
    assert out == expected


ERRORS = [
    ("encode_us_ascii", "café", "Character 'é' (U+00E9) is not valid US-ASCII"),
    ("encode_us_ascii", "a€b", "Character '€' (U+20AC) is not valid US-ASCII"),
    ("encode_us_ascii", "\U0001f600", "Character '\U0001f600' (U+1F600) is not valid US-ASCII"),
    ("encode_us_ascii", "x\U0010ffffé", "Character '\U0010ffff' (U+10FFFF) is not valid US-ASCII"),
    ("encode_us_ascii", "\x80", "Character '\x80' (U+0080) is not valid US-ASCII"),
    ("encode_iso_8859_1", "€", "Character '€' (U+20AC) is not valid ISO-8859-1"),
    ("encode_iso_8859_1", "ÿĀ", "Character 'Ā' (U+0100) is not valid ISO-8859-1"),
    (
        "encode_iso_8859_1",
        "é\U0001f600€",
        "Character '\U0001f600' (U+1F600) is not valid ISO-8859-1",
    ),
    ("encode_windows_1252", "\x80", ENCODE_FAILED),
    ("encode_windows_1252", "\u0100", ENCODE_FAILED),
    ("encode_windows_1252", "abc\U0001f600", ENCODE_FAILED),
    ("decode_us_ascii", H("4180"), "Invalid US-ASCII byte: 0x80 (must be <= 0x7F)"),
    ("decode_us_ascii", H("FF80"), "Invalid US-ASCII byte: 0xFF (must be <= 0x7F)"),
    ("decode_windows_1252", H("EFBBBFFF"), DECODE_FAILED),
    ("decode_windows_1252", H("EFBBBF E282"), DECODE_FAILED),
    ("decode_windows_1252", H("FFFE41"), DECODE_FAILED),
    ("decode_windows_1252", H("FFFE 00D8"), DECODE_FAILED),
    ("decode_windows_1252", H("FEFF DC00 0041"), DECODE_FAILED),
    ("decode_windows_1252", H("FEFF00"), DECODE_FAILED),
]


@pytest.mark.parametrize(("name", "arg", "message"), ERRORS)
def test_errors(name, arg, message):
    raises_value(name, arg, message)


@pytest.mark.parametrize("pad", [0, 7, 8, 15, 16, 31, 32, 33, 64])
def test_first_offender_after_long_prefix(pad):
    head = "a" * pad
    raises_value("encode_us_ascii", head + "é€", "Character 'é' (U+00E9) is not valid US-ASCII")
    raises_value(
        "encode_iso_8859_1",
        head + "éñ" * pad + "€Ā",
        "Character '€' (U+20AC) is not valid ISO-8859-1",
    )
    raises_value("encode_windows_1252", head + "é€" * pad + "\u0100", ENCODE_FAILED)
    raises_value(
        "decode_us_ascii", b"a" * pad + H("C3FF"), "Invalid US-ASCII byte: 0xC3 (must be <= 0x7F)"
    )


# ---- the windows-1252 index, all 256 bytes ------------------------------------------


@pytest.mark.parametrize("byte", range(256))
def test_windows_1252_every_byte_both_ways(byte):
    char = windows_1252_char(byte)
    assert bitloom.decode_windows_1252(bytes([byte])) == char
    assert bitloom.encode_windows_1252(char) == bytes([byte])


def test_windows_1252_whole_index_in_one_text():
    chars = "".join(windows_1252_char(b) for b in range(256))
    data = bytes(range(256))
    assert bitloom.decode_windows_1252(data) == chars
    assert bitloom.encode_windows_1252(chars) == data
    # Without marks in front the same holds for every rotation.
    for shift in (1, 17, 100, 0x9F):
        rotated = data[shift:] + data[:shift]
        assert bitloom.decode_windows_1252(rotated) == chars[shift:] + chars[:shift]


@pytest.mark.parametrize(
    "cp", [c for c in range(0x80, 0xA0) if c not in C1_DEFINED] + [0x100, 0x2028, 0xFFFD]
)
def test_windows_1252_characters_outside_the_index(cp):
    raises_value("encode_windows_1252", chr(cp), ENCODE_FAILED)


# ---- properties against CPython ---------------------------------------------------------

W1252_CHARS = "".join(windows_1252_char(b) for b in range(256))


def runs(alphabet):
    # Text with long ASCII stretches as well as dense runs of the other characters.
    return st.one_of(
        st.text(alphabet=alphabet, max_size=100),
        st.lists(
            st.one_of(st.just("a" * 20), st.text(alphabet=alphabet, max_size=3)), max_size=20
        ).map("".join),
    )


@settings(max_examples=200)
@given(runs(st.characters(max_codepoint=0x7F)))
def test_us_ascii_round_trip(text):
    data = text.encode("ascii")
    assert bitloom.encode_us_ascii(text) == data
    out = bitloom.decode_us_ascii(data)
    assert out == text
    assert out.isascii()


@settings(max_examples=200)
@given(runs(st.characters(max_codepoint=0xFF)))
def test_iso_8859_1_round_trip(text):
    data = text.encode("latin-1")
    assert bitloom.encode_iso_8859_1(text) == data
    out = bitloom.decode_iso_8859_1(data)
    assert out == text
    assert out.isascii() == text.isascii()


@settings(max_examples=200)
@given(runs(st.sampled_from(W1252_CHARS)))
def test_windows_1252_encode_matches_index(text):
    expected = bytes(W1252_CHARS.index(c) for c in text)
    assert bitloom.encode_windows_1252(text) == expected


def windows_1252_reference(data):
    """WHATWG decode: mark sniffing, then UTF-8 / UTF-16 strictly, else the index."""
    for mark, codec in (
        (b"\xef\xbb\xbf", "utf-8"),
        (b"\xff\xfe", "utf-16-le"),
        (b"\xfe\xff", "utf-16-be"),
    ):
        if data.startswith(mark):
            try:
                return data[len(mark) :].decode(codec)
            except UnicodeDecodeError:
                return None
    return "".join(windows_1252_char(b) for b in data)


@settings(max_examples=400)
@given(
    st.one_of(
        st.binary(max_size=80),
        st.tuples(
            st.sampled_from([b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff", b"\xef\xbb"]),
            st.binary(max_size=40),
        ).map(b"".join),
    )
)
def test_windows_1252_decode_matches_reference(data):
    expected = windows_1252_reference(data)
    if expected is None:
        raises_value("decode_windows_1252", data, DECODE_FAILED)
    else:
        out = bitloom.decode_windows_1252(data)
        assert out == expected
        assert out.isascii() == expected.isascii()


@settings(max_examples=200)
@given(st.binary(max_size=80))
def test_single_byte_decoders_match_cpython(data):
    assert bitloom.decode_iso_8859_1(data) == data.decode("latin-1")
    try:
        expected = data.decode("ascii")
    except UnicodeDecodeError as e:
        raises_value(
            "decode_us_ascii",
            data,
            f"Invalid US-ASCII byte: 0x{data[e.start]:02X} (must be <= 0x7F)",
        )
    else:
        assert bitloom.decode_us_ascii(data) == expected


@settings(max_examples=200)
@given(st.text(max_size=40))
def test_single_byte_encoders_agree_with_cpython_on_failure(text):
    for name, codec, label in (
        ("us_ascii", "ascii", "US-ASCII"),
        ("iso_8859_1", "latin-1", "ISO-8859-1"),
    ):
        try:
            expected = text.encode(codec)
        except UnicodeEncodeError as e:
            ch = text[e.start]
            raises_value(
                f"encode_{name}", text, f"Character '{ch}' (U+{ord(ch):04X}) is not valid {label}"
            )
        else:
            assert getattr(bitloom, f"encode_{name}")(text) == expected
