"""bitloom_bulk's messages: a field outside its packet told in the recipe's
bits, and no exception type's name written twice."""

import pytest

import bitloom_bulk as bb
from bitloom_bulk import field
from bitloom_bulk.cli import main

FAR = [field("x", "unsigned", 8, offset_bits=500_000_000)]
TAIL = [field("a", "unsigned", 8), field("b", "unsigned", 20)]
BAD_ENCODING = [dict(field("a", "unsigned", 8), encoding="nope")]
NO_BITS = [{"name": "a", "encoding": "unsigned", "byte_order": "big", "reverse_bits": False}]


@pytest.mark.parametrize(
    ("call", "message", "notes"),
    [
        (
            lambda: bb.unpack_columns(bytes(39), FAR, packet_bytes=39),
            "'x' lies at bits 500000000 to 500000008, past the end of the packet"
            " (312 bits, 39 bytes)",
            ["while unpacking recipe item 0 ('x')", "in packet 0 (bytes 0 to 39 of the data)"],
        ),
        (
            lambda: bb.compile(TAIL).unpack(bytes(3), 5),
            "'b' lies at bits 13 to 33, past the end of the packet (24 bits, 3 bytes)",
            ["while unpacking recipe item 1 ('b')"],
        ),
        (
            lambda: bb.unpack_columns(bytes(4), TAIL, offsets=[0, 1], lengths=[4, 3]),
            "'b' lies at bits 8 to 28, past the end of the packet (24 bits, 3 bytes)",
            ["while unpacking recipe item 1 ('b')", "in packet 1 (bytes 1 to 4 of the data)"],
        ),
        (
            lambda: bb.compile(TAIL).unpack(bytes(1), 0),
            "'b' lies at bits 8 to 28, past the end of the packet (8 bits, 1 byte)",
            ["while unpacking recipe item 1 ('b')"],
        ),
        (
            lambda: bb.compile(BAD_ENCODING),
            "Unsupported encoding type: nope",
            ["while unpacking recipe item 0 ('a')"],
        ),
        (
            lambda: bb.compile([field("v", "unsigned", 8)]).pack([300]),
            "Value 300 is too large for 8 bits",
            ["while packing recipe item 0 ('v')"],
        ),
        (  # another type than ValueError keeps its name in front
            lambda: bb.compile(NO_BITS),
            "KeyError: \"Recipe missing required field: 'bits'\"",
            ["while unpacking recipe item 0 ('a')"],
        ),
    ],
)
def test_messages_name_their_type_once_and_count_bits(call, message, notes):
    with pytest.raises(ValueError) as info:
        call()
    assert info.value.args == (message,)
    assert info.value.__notes__ == notes


def test_the_command_line_tells_a_field_outside_the_packet_in_bits(tmp_path, capsys):
    bb.dump_recipe(FAR, tmp_path / "far.json")
    (tmp_path / "frames.bin").write_bytes(bytes(78))
    argv = ["decode", tmp_path / "frames.bin", "--recipe", tmp_path / "far.json"]
    assert main([str(a) for a in [*argv, "--packet-bytes", "39"]]) == 1
    assert capsys.readouterr().err == (
        "bitloom: error: 'x' lies at bits 500000000 to 500000008, past the end of the packet"
        " (312 bits, 39 bytes); while unpacking recipe item 0 ('x');"
        " in packet 0 (bytes 0 to 39 of the data)\n"
    )
