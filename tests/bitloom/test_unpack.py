import math

import pytest

import bitloom
from tests.support.items import item, without

unpack = bitloom.unpack_parameters


@pytest.mark.parametrize(
    "packet, offset, recipe, expected",
    [
        (b"", 0, [], {}),
        (b"\x01", 99, [], {}),
        (b"\x12\x34", 0, [item(bits=16)], {"f": 0x1234}),
        (b"\x12\x34", 0, [item(bits=16, byte_order="little")], {"f": 0x3412}),
        (b"\x12\x34", 0, [item(bits=16, reverse_bits=True)], {"f": 0x2C48}),
        (b"\x12\x34", 0, [item(bits=16, byte_order="little", reverse_bits=True)], {"f": 0x482C}),
        (b"\xab\xcd", 0, [item(bits=12, offset_bits=4)], {"f": 0xBCD}),
        (b"\xab\xcd", 0, [item(bits=8, offset_bits=4)], {"f": 0xBC}),
        (b"\xab", 0, [item("a", bits=3), item("b", bits=5)], {"a": 5, "b": 0x0B}),
        (b"\xab", 0, [item("a", bits=4), item("b", bits=4)], {"a": 0xA, "b": 0xB}),
        (b"\x01\x02\x03", 0, [item(bits=24, byte_order="little")], {"f": 0x030201}),
        (b"\x80", 0, [item(bits=8, byte_order="little")], {"f": 0x80}),
        (
            b"\xff" * 8,
            0,
            [item("u", bits=64), item("s", "twos_complement", 64, offset_bits=0)],
            {"u": 2**64 - 1, "s": -1},
        ),
        # Duplicate names: the later value, at the first position.
        (b"\x01\x02\x03", 0, [item("a"), item("b"), item("a")], {"a": 3, "b": 2}),
        # An item without offset follows the previous item, not the furthest one.
        (
            b"\x01\x02\x03\x04",
            0,
            [item("a", offset_bits=16), item("b", offset_bits=0), item("c")],
            {"a": 3, "b": 1, "c": 2},
        ),
        # Own offsets count from the offset argument.
        (b"\x00\x07", 8, [item(offset_bits=0)], {"f": 7}),
        (b"\x00\x07", 8, [item()], {"f": 7}),
        # Zero-width fields read nothing, anywhere up to the end of the packet.
        (b"\x00", 0, [item(bits=0, offset_bits=15)], {"f": 0}),
        (b"", 0, [item(bits=0)], {"f": 0}),
        (b"\x00" * 8, 0, [item(encoding="ieee754_f128", bits=64)], {"f": 0.0}),
        (b"\x3c\x00", 0, [item(encoding="ieee754_f16", bits=16)], {"f": 1.0}),
        (b"\x3f\x80\x00\x00", 0, [item(encoding="IEEE754_F32", bits=32)], {"f": 1.0}),
        (b"\x85", 0, [item(encoding="sign_magnitude")], {"f": -5}),
        (b"\xfe", 0, [item(encoding="ones_complement")], {"f": -1}),
        (b"\x12\x3d", 0, [item(encoding="packed_bcd_signed", bits=16)], {"f": -123}),
        (b"AB", 0, [item(encoding="UTF8", bits=16)], {"f": "AB"}),
        (b"AB", 0, [item(encoding="utf8", bits=16, byte_order="little")], {"f": "BA"}),
        (b"\x20\xa1", 0, [item(encoding="utf8", bits=8, offset_bits=4)], {"f": "\x0a"}),
        (b"\xe9\xff", 0, [item(encoding="latin1", bits=16, reverse_bits=True)], {"f": "\xe9\xff"}),
        (b"\xe9", 0, [item(encoding="iso_8859_1")], {"f": "\xe9"}),
    ],
)
def test_fields(packet, offset, recipe, expected):
    got = unpack(packet, offset, recipe)
    assert got == expected
    assert list(got) == list(expected)


def test_wide_fields_read_the_low_bits_of_the_window():
    # 72 bits at a byte boundary: the raw value is the low 64 bits of the 9-byte window.
    packet = bytes(range(1, 10))
    assert unpack(packet, 0, [item(bits=72)]) == {"f": int.from_bytes(packet[1:], "big")}


def rewrapped(packet, offset, recipe):
    with pytest.raises(ValueError) as info:
        unpack(packet, offset, recipe)
    assert type(info.value) is ValueError and info.value.__cause__ is None
    return str(info.value)


@pytest.mark.parametrize(
    "packet, offset, recipe, message",
    [
        (
            b"\x00" * 4,
            0,
            [item(bits=16, offset_bits=24)],
            "ValueError: range end index 5 out of range for slice of length 4",
        ),
        (
            b"\x00" * 4,
            0,
            [item(bits=8, offset_bits=48)],
            "ValueError: range start index 6 out of range for slice of length 4",
        ),
        (
            b"\x00",
            0,
            [item(bits=8, offset_bits=4)],
            "ValueError: range end index 2 out of range for slice of length 1",
        ),
        (
            b"\x00",
            0,
            [item(bits=0, offset_bits=16)],
            "ValueError: range start index 2 out of range for slice of length 1",
        ),
        (
            b"",
            2**32 - 1,
            [item(offset_bits=2**32 - 1)],
            "ValueError: range start index 1073741823 out of range for slice of length 0",
        ),
        # Bounds before byte order, byte order before encoding.
        (
            b"",
            0,
            [item(byte_order="x", encoding="nope")],
            "ValueError: range end index 1 out of range for slice of length 0",
        ),
        (
            b"\x00",
            0,
            [item(byte_order="native", encoding="nope")],
            "ValueError: Invalid byte_order 'native': must be 'big' or 'little'",
        ),
        (b"\x00", 0, [item(encoding="utf-8")], "ValueError: Unsupported encoding type: utf-8"),
        (
            b"\x00" * 4,
            0,
            [item(encoding="ti_f32", bits=32)],
            "NotImplementedError: TI f32 format not yet implemented",
        ),
        (
            b"\x00" * 4,
            0,
            [item(encoding="MIL_STD_1750A_F48", bits=32)],
            "NotImplementedError: MIL-STD-1750A f48 format not yet implemented",
        ),
        (
            b"\x00" * 16,
            0,
            [item(encoding="ieee754_f128", bits=128)],
            "ValueError: IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)",
        ),
        (
            b"\x00",
            0,
            [without(item(encoding="utf8"), "byte_order")],
            "KeyError: \"Recipe missing required field: 'byte_order'\"",
        ),
        (
            b"\x00",
            0,
            [without(item(), "bits")],
            "KeyError: \"Recipe missing required field: 'bits'\"",
        ),
        (b"\x00", 0, [item(reverse_bits=0)], "TypeError: 'int' object cannot be cast as 'bool'"),
        (
            b"\x00",
            0,
            [item(bits=2**32)],
            "OverflowError: out of range integral type conversion attempted",
        ),
        (b"\x00", 0, ["x"], "TypeError: 'str' object cannot be cast as 'dict'"),
        (
            b"\x12\x39",
            0,
            [item(encoding="packed_bcd_signed", bits=16)],
            "ValueError: Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD",
        ),
        # Keys are all read before the packet is touched.
        (b"", 0, [item(name=None)], "TypeError: 'NoneType' object cannot be cast as 'str'"),
    ],
)
def test_failures_are_rewrapped(packet, offset, recipe, message):
    assert rewrapped(packet, offset, recipe) == message


def test_failure_discards_earlier_results():
    with pytest.raises(ValueError):
        unpack(b"\x01", 0, [item("a"), item("b")])


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (
            (bytearray(b"x"), 0, []),
            TypeError,
            "argument 'packet_bytes': 'bytearray' object cannot be cast as 'bytes'",
        ),
        ((b"x", -1, []), OverflowError, None),
        ((b"x", 2**32, []), OverflowError, "out of range integral type conversion attempted"),
        ((b"x", 0, "abc"), TypeError, "argument 'recipe': Can't extract `str` to `Vec`"),
        ((b"x", 0, {}), TypeError, "argument 'recipe': 'dict' object cannot be cast as 'Sequence'"),
        (
            (b"x", 0, (i for i in [])),
            TypeError,
            "argument 'recipe': 'generator' object cannot be cast as 'Sequence'",
        ),
    ],
)
def test_argument_errors_are_not_rewrapped(args, exc, message):
    with pytest.raises(exc) as info:
        unpack(*args)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_dict_subclass_hooks_are_not_called():
    class D(dict):
        def __getitem__(self, key):
            raise AssertionError

        def __missing__(self, key):
            raise AssertionError

    assert unpack(b"\x05", 0, (D(item()),)) == {"f": 5}


def test_name_subclass_becomes_plain_str_key():
    class S(str):
        pass

    (key,) = unpack(b"\x05", 0, [item(name=S("v"))])
    assert type(key) is str and key == "v"


def test_interrupt_passes_through():
    class Stop:
        def __index__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        unpack(b"\x00", 0, [item(bits=Stop())])


def test_special_float_values():
    got = unpack(
        b"\x7f\xc0\x00\x00\xff\xf0\x00\x00\x00\x00\x00\x00",
        0,
        [item("nan", "ieee754_f32", 32), item("inf", "ieee754_f64", 64)],
    )
    assert math.isnan(got["nan"]) and got["inf"] == -math.inf
