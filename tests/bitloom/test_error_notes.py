"""Failures inside a recipe say where: a note naming the item's index and name."""

import pytest

import bitloom
from tests.support.items import item, without
from tests.support.outcomes import raised

RECIPE = [item("a", bits=8, value=1), item("seconds", bits=8, value=300)]


@pytest.mark.parametrize(
    "call, note, text",
    [
        (
            lambda: bitloom.pack_parameters(RECIPE),
            "while packing recipe item 1 ('seconds')",
            "ValueError: Value 300 is too large for 8 bits",
        ),
        (
            lambda: bitloom.unpack_parameters(b"\x01", 0, RECIPE),
            "while unpacking recipe item 1 ('seconds')",
            "ValueError: range end index 2 out of range for slice of length 1",
        ),
        # The sizing pass reads no names.
        (
            lambda: bitloom.pack_parameters([item(), without(item(), "bits")]),
            "while packing recipe item 1",
            "KeyError: \"Recipe missing required field: 'bits'\"",
        ),
        (
            lambda: bitloom.unpack_parameters(b"", 0, [7]),
            "while unpacking recipe item 0",
            "TypeError: 'int' object cannot be cast as 'dict'",
        ),
        (
            lambda: bitloom.unpack_parameters(b"\x00", 0, [item("x", encoding="nope")]),
            "while unpacking recipe item 0 ('x')",
            "ValueError: Unsupported encoding type: nope",
        ),
    ],
)
def test_note_names_the_item(call, note, text):
    for _ in range(2):  # the first call and a reuse of the same recipe
        exc = raised(call)
        assert type(exc) is ValueError
        assert str(exc) == text and exc.args == (text,)
        assert exc.__notes__ == [note]


def test_interrupts_keep_their_type_and_get_the_note():
    class Stop:
        def __index__(self):
            raise KeyboardInterrupt

    exc = raised(bitloom.pack_parameters, [item("a", value=1), item("b", value=Stop())])
    assert type(exc) is KeyboardInterrupt
    assert exc.__notes__ == ["while packing recipe item 1 ('b')"]


def test_argument_errors_carry_no_note():
    exc = raised(bitloom.pack_parameters, {})
    assert not hasattr(exc, "__notes__")
