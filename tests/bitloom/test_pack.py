import pytest

import bitloom
from tests.support.items import item, without

pack = bitloom.pack_parameters


@pytest.mark.parametrize(
    "recipe, expected",
    [
        ([], ""),
        ([item(bits=8, value=171)], "ab"),
        ([item(bits=3, value=5), item(bits=5, value=3)], "a3"),
        ([item(bits=4, value=15), item(bits=8, value=171)], "fab0"),
        ([item(bits=12, value=0xABC)], "abc0"),
        ([item(bits=12, value=0xABC, byte_order="little")], "c0a0"),
        ([item(bits=8, value=1, reverse_bits=True)], "80"),
        ([item(bits=12, value=1, reverse_bits=True)], "8000"),
        ([item(bits=0, value=0)], ""),
        ([item(bits=64, value=2**64 - 1)], "ff" * 8),
        ([item(bits=8, value=1, offset_bits=16)], "000001"),
        # A jumps to 16, B back to 0, C follows B; the size keeps A's end.
        (
            [
                item("A", bits=8, value=0xAA, offset_bits=16),
                item("B", bits=8, value=0xBB, offset_bits=0),
                item("C", bits=8, value=0xCC),
            ],
            "bbccaa00",
        ),
        # The later of two overlapping items wins, zeros included.
        ([item(bits=8, value=0xFF, offset_bits=0), item(bits=8, value=0x0F, offset_bits=0)], "0f"),
        ([item(encoding="utf8", bits=32, value="AB")], "00004142"),
        ([item(encoding="utf8", bits=8, value="AB")], "42"),
        ([item(encoding="utf8", bits=16, value="AB", byte_order="little")], "4241"),
        ([item(encoding="ieee754_f32", bits=32, value=1.0)], "3f800000"),
        ([item(encoding="ieee754_f16", bits=16, value=1.0)], "3c00"),
        ([item(encoding="ieee754_f64", bits=32, value=1.0)], "00000000"),
        ([item(encoding="ieee754_f32", bits=16, value=1.0)], "0000"),
        ([item(encoding="UNSIGNED", bits=8, value=1, byte_order="Little")], "01"),
        ([item(encoding="twos_complement", bits=4, value=-1), item(bits=4, value=0)], "f0"),
        ([item(encoding="ones_complement", bits=8, value=-1)], "fe"),
        ([item(encoding="sign_magnitude", bits=8, value=-5)], "85"),
        ([item(encoding="packed_bcd_signed", bits=16, value=-123)], "123d"),
        ([item(encoding="unpacked_bcd_signed", bits=24, value=123)], "f1f2c3"),
        ([item(encoding="latin1", bits=16, value="\xe9A")], "e941"),
        ([item(encoding="utf16be", bits=16, value="A", reverse_bits=True)], "0041"),
        # Fields wider than the value: zero bytes in front; reversed: at the top.
        ([item(bits=72, value=1)], "00" * 8 + "01"),
        ([item(bits=72, value=1, reverse_bits=True)], "80" + "00" * 8),
    ],
)
def test_packets(recipe, expected):
    assert pack(recipe).hex() == expected


def test_extra_keys_and_tuples_and_subclasses():
    class D(dict):
        def __getitem__(self, key):
            raise AssertionError("subclass hooks must not be called")

        def __missing__(self, key):
            raise AssertionError("subclass hooks must not be called")

    recipe = (D(item(bits=8, value=7, unit="V", description="x")),)
    assert pack(recipe) == b"\x07"


def rewrapped(recipe):
    with pytest.raises(ValueError) as info:
        pack(recipe)
    assert type(info.value) is ValueError
    assert info.value.__cause__ is None and info.value.__suppress_context__ is False
    return str(info.value)


@pytest.mark.parametrize(
    "recipe, message",
    [
        ([item(bits=8, value=256)], "ValueError: Value 256 is too large for 8 bits"),
        ([item(bits=0, value=1)], "ValueError: Value 1 is too large for 0 bits"),
        ([item(encoding="utf-8", value="x")], "ValueError: Unsupported encoding type: utf-8"),
        (
            [item(encoding="ieee754_f128", value=1.0)],
            "ValueError: Unsupported encoding type: ieee754_f128",
        ),
        ([item(encoding="TI_F32", value=1.0)], "ValueError: Unsupported encoding type: TI_F32"),
        (
            [item(value=1, byte_order="Big-Endian")],
            "ValueError: Invalid byte_order 'Big-Endian': must be 'big' or 'little'",
        ),
        (
            [item(value=1, byte_order=" big")],
            "ValueError: Invalid byte_order ' big': must be 'big' or 'little'",
        ),
        ([without(item(value=1), "name")], "KeyError: \"Recipe missing required field: 'name'\""),
        (
            [without(item(value=1), "encoding")],
            "KeyError: \"Recipe missing required field: 'encoding'\"",
        ),
        ([without(item(value=1), "bits")], "KeyError: \"Recipe missing required field: 'bits'\""),
        (
            [without(item(value=1), "byte_order")],
            "KeyError: \"Recipe missing required field: 'byte_order'\"",
        ),
        (
            [without(item(encoding="utf8", value="x"), "reverse_bits")],
            "KeyError: \"Recipe missing required field: 'reverse_bits'\"",
        ),
        ([item(name="temp")], "KeyError: \"Recipe item 'temp' missing required field: 'value'\""),
        ([item(value=1, reverse_bits=1)], "TypeError: 'int' object cannot be cast as 'bool'"),
        (
            [item(value=1, reverse_bits=None)],
            "TypeError: 'NoneType' object cannot be cast as 'bool'",
        ),
        (
            [item(value=1, bits=4294967296)],
            "OverflowError: out of range integral type conversion attempted",
        ),
        ([item(value=1, name=5)], "TypeError: 'int' object cannot be cast as 'str'"),
        ([item(value=5, encoding="utf8")], "TypeError: 'int' object cannot be cast as 'str'"),
        ([item(value="\ud800", encoding="utf8")], None),
        ([[1, 2]], "TypeError: 'list' object cannot be cast as 'dict'"),
        # Sizing pass first: item 3's cast error beats item 1's missing name.
        (
            [without(item(value=1), "name"), item(value=1), 7],
            "TypeError: 'int' object cannot be cast as 'dict'",
        ),
        # The missing value is reported before the unsupported encoding.
        ([item(encoding="nope")], "KeyError: \"Recipe item 'f' missing required field: 'value'\""),
        # Encoding before byte order; value before byte order.
        (
            [item(encoding="nope", value=1, byte_order="x")],
            "ValueError: Unsupported encoding type: nope",
        ),
        ([item(value=999, byte_order="x")], "ValueError: Value 999 is too large for 8 bits"),
        (
            [item(encoding="twos_complement", value=128)],
            "ValueError: Value 128 out of range for 8 bits (range: -128 to 127)",
        ),
    ],
)
def test_failures_are_rewrapped(recipe, message):
    text = rewrapped(recipe)
    if message is not None:
        assert text == message


def test_interpreter_conversion_errors_are_rewrapped():
    assert rewrapped([item(value=1, bits=-1)]).startswith("OverflowError: ")
    assert rewrapped([{**item(value=1), "offset_bits": None}]).startswith("TypeError: ")
    assert rewrapped([item(value="\ud800", encoding="utf8")]).startswith("UnicodeEncodeError: ")
    assert rewrapped([item(value=1.5)]).startswith("TypeError: ")


def test_argument_errors_are_not_rewrapped():
    with pytest.raises(
        TypeError, match=r"^argument 'recipe': 'dict' object cannot be cast as 'Sequence'$"
    ):
        pack({})
    with pytest.raises(TypeError, match=r"^argument 'recipe': Can't extract `str` to `Vec`$"):
        pack("abc")


class Interrupting:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), MemoryError()])
def test_interrupts_and_memory_errors_pass_through(exc):
    with pytest.raises(type(exc)):
        pack([item(value=Interrupting(exc))])


def test_exception_subclass_from_index_is_rewrapped_with_its_qualname():
    class Outer:
        class Boom(Exception):
            pass

    text = rewrapped([item(value=Interrupting(Outer.Boom("bad")))])
    assert (
        text
        == "test_exception_subclass_from_index_is_rewrapped_with_its_qualname.<locals>.Outer.Boom: bad"
    )


def test_unprintable_exception():
    class Bad(Exception):
        def __str__(self):
            raise RuntimeError("no")

    assert rewrapped([item(value=Interrupting(Bad()))]).endswith("Bad: <exception str() failed>")


def test_index_that_mutates_recipe_is_seen_live():
    recipe = [item(bits=8, value=None), item("g", bits=8, value=2)]

    class Mutator:
        def __index__(self):
            recipe[1]["value"] = 0x55  # read later, when item 2 comes
            recipe[1]["bits"] = 64  # the packet was sized already: clipped, never overrun
            return 1

    recipe[0]["value"] = Mutator()
    out = pack(recipe)
    assert len(out) == 2
    assert out[0] == 1


def test_huge_width_packs_without_an_image_of_its_size():
    out = pack([item(bits=4294967295, value=5)])
    assert len(out) == 536870912
    assert out[-1] == 0x0A and out[-2] == 0 and not any(out[:64])
