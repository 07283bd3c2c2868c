"""Random recipes through pack_parameters / unpack_parameters.

Two properties:

* chaos: recipes with random keys, types, widths, offsets, encodings, byte
  orders and values, and random packets: every call returns, or raises the
  re-wrapped ValueError of the packet functions with a non-empty message (a
  field outside the packet may instead end in the module's internal-failure
  exception with its range message). Recipes are never changed.
* round trip: a packed recipe unpacks to its values wherever the encodings
  promise it (big-endian at any width; little-endian for whole bytes or at most
  8 bits; text when the field is exactly as wide as the encoded text; floats at
  their own width), also when read at a base offset behind a prefix.

BITLOOM_FUZZ_EXAMPLES raises the number of examples (default 50 per test).
"""

import ctypes
import math
import os
import re
import struct

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import bitloom as bl
from tests.support.items import KEYS, PACK_ENCODINGS, UNPACK_ONLY
from tests.support.numbers import Index

EXAMPLES = int(os.environ.get("BITLOOM_FUZZ_EXAMPLES", "50"))
fuzz_settings = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


# The re-wrapped text: the failed exception's type name, ": ", its message
# (RuntimeError comes from the test's own objects that refuse a conversion).
WRAPPED = re.compile(
    r"^(KeyError|TypeError|ValueError|OverflowError|UnicodeEncodeError|NotImplementedError"
    r"|RuntimeError): .+",
    re.S,
)
RANGE = re.compile(r"^range (start|end) index \d+ out of range for slice of length \d+$")


class Floaty:
    def __float__(self):
        return 2.5


class Raising:
    def __index__(self):
        raise RuntimeError("index refused")

    def __float__(self):
        raise RuntimeError("float refused")


class DictItem(dict):
    """A dict subclass whose own lookups must not be used (they are counted)."""

    calls = 0

    def __getitem__(self, key):
        DictItem.calls += 1
        return dict.__getitem__(self, key)

    def __missing__(self, key):
        DictItem.calls += 1
        raise KeyError(key)


class StrName(str):
    pass


# ---- chaos ---------------------------------------------------------------------


def cased(name):
    return st.sampled_from([name, name.upper(), name.title(), name.swapcase()])


encodings = st.one_of(
    st.sampled_from(PACK_ENCODINGS + UNPACK_ONLY).flatmap(cased),
    st.sampled_from(["utf-8", "ascii", "float32", "", "UNSIGNED ", "\u212aelvin", "unsigned\0"]),
    st.text(max_size=12),
    st.builds(StrName, st.sampled_from(PACK_ENCODINGS)),
)
byte_orders = st.one_of(
    st.sampled_from(["big", "little"]).flatmap(cased),
    st.sampled_from(["Big-Endian", " big", "native", "", "l\u0130ttle"]),
    st.text(max_size=8),
)
small_widths = st.integers(0, 200)
widths = st.one_of(small_widths, st.sampled_from([63, 64, 65, 127, 128, 129, 1024]))
odd_objects = st.one_of(
    st.none(),
    st.booleans(),
    st.floats(allow_nan=True),
    st.integers(-(2**70), 2**70),
    st.sampled_from([2**32, 2**32 - 1, 2**64, 2**64 - 1, -1, -(2**63), 2**63]),
    st.builds(Index, st.integers(-5, 300)),
    st.just(Floaty()),
    st.just(Raising()),
    st.text(max_size=10),
    st.binary(max_size=6),
    st.lists(st.integers(0, 3), max_size=2),
    st.just("ab\ud800"),
)
values = st.one_of(
    st.integers(-(2**64), 2**65),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=20),
    st.text(alphabet=st.characters(max_codepoint=0x17F), max_size=20),
    odd_objects,
)


@st.composite
def chaos_item(draw, for_pack):
    """A recipe element: mostly dicts with some keys right and some wrong."""
    kind = draw(st.integers(0, 19))
    if kind == 0:
        return draw(odd_objects)
    item = {}
    for key in KEYS:
        presence = draw(st.integers(0, 9))
        if presence == 0:
            continue  # absent
        if presence == 1:
            item[key] = draw(odd_objects)
            continue
        if key == "name":
            item[key] = draw(
                st.one_of(st.text(max_size=6), st.builds(StrName, st.text(max_size=4)))
            )
        elif key == "encoding":
            item[key] = draw(encodings)
        elif key == "bits":
            item[key] = draw(widths)
        elif key == "byte_order":
            item[key] = draw(byte_orders)
        elif key == "reverse_bits":
            item[key] = draw(st.booleans())
        elif key == "offset_bits":
            limit = 4096 if for_pack else 2**32 - 1
            item[key] = draw(st.one_of(st.integers(0, 400), st.integers(0, limit)))
        else:
            item[key] = draw(values)
    if draw(st.integers(0, 9)) == 0:
        item["unit"] = "m/s"  # extra keys are ignored
    if kind == 1:
        return DictItem(item)
    return item


def check_outcome(call):
    """Run the call; it returns, or raises an ordinary exception with a message."""
    try:
        return call()
    except Exception as exc:
        assert str(exc) != ""
        return exc


def snapshot(recipe):
    """Which objects the recipe holds, by identity: a call must change none of them."""
    return [
        (id(x), [(k, id(v)) for k, v in dict.items(x)] if isinstance(x, dict) else None)
        for x in recipe
    ]


@fuzz_settings
@given(st.lists(chaos_item(for_pack=True), max_size=6))
def test_pack_chaos_returns_or_raises_cleanly(recipe):
    before = snapshot(recipe)
    calls = DictItem.calls
    result = check_outcome(lambda: bl.pack_parameters(recipe))
    assert DictItem.calls == calls
    if isinstance(result, Exception):
        assert type(result) is ValueError, repr(result)
        assert WRAPPED.match(str(result)), str(result)
    else:
        assert type(result) is bytes
    assert snapshot(recipe) == before


@fuzz_settings
@given(
    st.lists(chaos_item(for_pack=False), max_size=6),
    st.binary(max_size=40),
    st.one_of(st.integers(0, 400), st.integers(0, 2**32 - 1)),
)
def test_unpack_chaos_returns_or_raises_cleanly(recipe, packet, offset):
    before = snapshot(recipe)
    calls = DictItem.calls
    try:
        result = bl.unpack_parameters(packet, offset, recipe)
    except Exception as exc:
        assert type(exc) is ValueError, repr(exc)
        assert WRAPPED.match(str(exc)), str(exc)
    except BaseException as exc:  # a field outside the packet, as an internal failure
        assert type(exc).__name__ == "PanicException", repr(exc)
        assert RANGE.match(str(exc)), str(exc)
    else:
        assert type(result) is dict
        for key, value in result.items():
            assert type(key) is str
            assert type(value) in (int, float, str)
    assert DictItem.calls == calls
    assert snapshot(recipe) == before


@fuzz_settings
@given(st.one_of(odd_objects, st.dictionaries(st.text(max_size=3), st.integers(), max_size=2)))
def test_non_recipe_arguments_are_refused_cleanly(obj):
    for call in (lambda: bl.pack_parameters(obj), lambda: bl.unpack_parameters(b"\0", 0, obj)):
        result = check_outcome(call)
        assert isinstance(result, (bytes, dict, Exception))


# ---- round trips ---------------------------------------------------------------

C1_KEPT = "\x81\x8d\x8f\x90\x9d"  # in the WHATWG index, not in Python's cp1252


def cp1252_byte(char):
    return ord(char) if char in C1_KEPT else char.encode("cp1252")[0]


TEXT_CODECS = {
    "utf8": lambda s: s.encode("utf-8"),
    "utf16": lambda s: b"\xfe\xff" + s.encode("utf-16-be"),
    "utf16le": lambda s: s.encode("utf-16-le"),
    "utf16be": lambda s: s.encode("utf-16-be"),
    "utf32": lambda s: b"\x00\x00\xfe\xff" + s.encode("utf-32-be"),
    "utf32le": lambda s: s.encode("utf-32-le"),
    "utf32be": lambda s: s.encode("utf-32-be"),
    "us_ascii": lambda s: s.encode("ascii"),
    "iso_8859_1": lambda s: s.encode("latin-1"),
    "latin1": lambda s: s.encode("latin-1"),
    "windows_1252": lambda s: bytes(cp1252_byte(c) for c in s),
}
TEXT_ALPHABETS = {
    "us_ascii": st.characters(max_codepoint=0x7F),
    "iso_8859_1": st.characters(max_codepoint=0xFF),
    "latin1": st.characters(max_codepoint=0xFF),
    "windows_1252": st.one_of(
        st.characters(max_codepoint=0x7F),
        st.characters(min_codepoint=0xA0, max_codepoint=0xFF),
        st.sampled_from("\u20ac\u201a\u0192\u2122\u0178\u0081\u008d\u008f\u0090\u009d"),
    ),
}
WINDOWS_1252_MARKS = (b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff")


def f16_values():
    # Every finite binary16 value, through its bit pattern.
    return (
        st.integers(0, 0xFFFF)
        .filter(lambda h: (h & 0x7C00) != 0x7C00 or (h & 0x3FF) == 0)
        .map(lambda h: struct.unpack(">e", h.to_bytes(2, "big"))[0])
    )


def f32_values():
    return st.floats(width=32, allow_nan=False)


@st.composite
def round_trip_field(draw):
    """(encoding, bits, value, expected, little, reverse): a field that round-trips."""
    encoding = draw(st.sampled_from(PACK_ENCODINGS))
    reverse = draw(st.booleans())
    if encoding in TEXT_CODECS:
        alphabet = TEXT_ALPHABETS.get(encoding, st.characters(blacklist_categories=("Cs",)))
        text = draw(st.text(alphabet=alphabet, max_size=12))
        image = TEXT_CODECS[encoding](text)
        if encoding == "windows_1252":
            assume(not image.startswith(WINDOWS_1252_MARKS))
        return encoding, 8 * len(image), text, text, draw(st.booleans()), reverse
    if encoding == "ieee754_f16":
        value = draw(f16_values())
        return encoding, 16, value, value, draw(st.booleans()), reverse
    if encoding == "ieee754_f32":
        value = draw(f32_values())
        return encoding, 32, value, value, draw(st.booleans()), reverse
    if encoding == "ieee754_f64":
        value = draw(st.floats(allow_nan=False))
        return encoding, 64, value, value, draw(st.booleans()), reverse

    little = draw(st.booleans())
    if encoding == "unsigned":
        bits = draw(st.integers(0, 140))
    elif encoding == "sign_magnitude":
        bits = draw(st.integers(2, 64))
    elif encoding in ("twos_complement", "ones_complement"):
        bits = draw(st.integers(1, 64))
    elif encoding.startswith("packed_bcd"):
        bits = draw(st.integers(4, 140))
    elif encoding == "unpacked_bcd_signed":
        bits = draw(st.integers(8, 71))  # byte 8 of a wider field reads as 0x00: no zoned digit
    else:
        bits = draw(st.integers(8, 140))
    if little and bits % 8 and bits > 8:
        bits -= bits % 8  # little-endian images of partial bytes lose their top bits
        assume(bits >= {"sign_magnitude": 2, "unsigned": 0}.get(encoding, 1))
        if encoding.startswith("packed_bcd"):
            assume(bits >= 4)
        if encoding.startswith("unpacked_bcd"):
            assume(bits >= 8)

    if encoding == "unsigned":
        value = draw(st.integers(0, 2 ** min(bits, 64) - 1))
        return encoding, bits, value, value, little, reverse
    if encoding == "twos_complement":
        value = draw(st.integers(-(2 ** (bits - 1)), 2 ** (bits - 1) - 1))
    elif encoding in ("ones_complement", "sign_magnitude"):
        value = draw(st.integers(-(2 ** (bits - 1)) + 1, 2 ** (bits - 1) - 1))
    elif encoding.startswith("packed_bcd"):
        digits = min(bits // 4, 16) - (1 if encoding.endswith("signed") else 0)
        low = -(10**digits) + 1 if encoding.endswith("signed") else 0
        value = draw(st.integers(low, 10**digits - 1))
    else:
        digits = min(bits // 8, 8)
        value = draw(st.integers(-(10**digits) + 1, 10**digits - 1))
        if encoding == "unpacked_bcd":
            return encoding, bits, value, abs(value), little, reverse  # the sign is dropped
    return encoding, bits, value, value, little, reverse


@st.composite
def round_trip_recipe(draw):
    fields = draw(st.lists(round_trip_field(), max_size=8))
    # Lay the fields out without overlap, in a random order, with gaps; an item
    # that starts where the previous recipe item ended may leave out offset_bits.
    order = draw(st.permutations(range(len(fields))))
    starts = [0] * len(fields)
    position = 0
    for index in order:
        position += draw(st.sampled_from([0, 0, 0, 1, 3, 8, 13]))
        starts[index] = position
        position += fields[index][1]
    recipe, expected = [], {}
    previous_end = 0
    for i, (encoding, bits, value, want, little, reverse) in enumerate(fields):
        item = {
            "name": f"p{i}",
            "encoding": draw(cased(encoding)),
            "bits": bits,
            "byte_order": draw(cased("little" if little else "big")),
            "reverse_bits": reverse,
            "value": value,
        }
        if starts[i] != previous_end or draw(st.booleans()):
            item["offset_bits"] = starts[i]
        previous_end = starts[i] + bits
        recipe.append(item)
        expected[f"p{i}"] = want
    return recipe, expected


def same(a, b):
    if isinstance(a, float):
        return type(b) is float and struct.pack(">d", a) == struct.pack(">d", b)
    return type(a) is type(b) and a == b


@fuzz_settings
@given(round_trip_recipe(), st.integers(0, 5))
def test_packed_recipes_unpack_to_their_values(case, prefix):
    recipe, expected = case
    packet = bl.pack_parameters(recipe)
    # Read at offset 0, and behind a prefix of whole bytes at that base offset.
    for data, base in ((packet, 0), (b"\xa5" * prefix + packet, 8 * prefix)):
        got = bl.unpack_parameters(data, base, recipe)
        assert list(got) == list(expected)
        for name, want in expected.items():
            assert same(want, got[name]), (name, want, got[name], recipe)


@fuzz_settings
@given(st.floats(allow_nan=True, allow_infinity=True), st.booleans())
def test_float_patterns_survive_packets(value, little):
    order = "little" if little else "big"
    recipe = [
        {
            "name": "d",
            "encoding": "ieee754_f64",
            "bits": 64,
            "byte_order": order,
            "reverse_bits": False,
            "value": value,
        },
        {
            "name": "s",
            "encoding": "ieee754_f32",
            "bits": 32,
            "byte_order": order,
            "reverse_bits": True,
            "value": value,
        },
    ]
    got = bl.unpack_parameters(bl.pack_parameters(recipe), 0, recipe)
    assert struct.pack(">d", got["d"]) == struct.pack(">d", value)
    if math.isnan(value):
        assert math.isnan(got["s"])
    else:
        # The C cast: round to nearest, beyond the single range an infinity.
        single = ctypes.c_float(value).value
        assert same(single, got["s"])


@pytest.mark.parametrize("encoding", sorted(TEXT_CODECS))
def test_text_round_trip_needs_the_exact_width(encoding):
    text = "Ab"
    image = TEXT_CODECS[encoding](text)
    recipe = [
        {
            "name": "t",
            "encoding": encoding,
            "bits": 8 * len(image),
            "byte_order": "little",
            "reverse_bits": True,
            "value": text,
        }
    ]
    assert bl.unpack_parameters(bl.pack_parameters(recipe), 0, recipe) == {"t": text}


# ---- every function with random arguments ------------------------------------------

ARGUMENTS = st.one_of(
    odd_objects,
    st.binary(max_size=24),
    st.text(max_size=16),
    st.integers(0, 2**64 - 1),
    st.integers(-(2**63), 2**63 - 1),
    st.integers(0, 2**128 + 5),
    st.lists(chaos_item(for_pack=False), max_size=3),
)


@fuzz_settings
@given(
    st.sampled_from(bl.__all__),
    st.lists(ARGUMENTS, max_size=4),
    st.dictionaries(
        st.sampled_from(
            [
                "value",
                "bits",
                "signed",
                "text",
                "bytes",
                "_value",
                "recipe",
                "packet_bytes",
                "offset_bits",
                "mode",
                "\ud800",
            ]
        ),
        ARGUMENTS,
        max_size=3,
    ),
)
def test_every_function_with_random_arguments(name, args, kwargs):
    func = getattr(bl, name)
    try:
        result = func(*args, **kwargs)
    except (TypeError, ValueError, OverflowError, NotImplementedError, RuntimeError) as exc:
        # RuntimeError only from the test's own objects that refuse a conversion.
        assert str(exc) != ""
        assert type(exc) is not RuntimeError or str(exc) in ("index refused", "float refused")
    except BaseException as exc:
        assert type(exc).__name__ == "PanicException" and name == "unpack_parameters", repr(exc)
        assert RANGE.match(str(exc)), str(exc)
    else:
        assert type(result) in (int, float, str, bytes, dict)
