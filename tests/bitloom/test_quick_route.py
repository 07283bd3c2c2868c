"""The packet paths' quick route (exact ints and floats of the commonest
encodings, one word load or store per field) against the general way.

A subclass of int or float is never on the quick route, so packing the same
value as a subclass instance is the general way's answer; unpacking is checked
against the raw field bits and the standalone decoders."""

import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import bitloom
from tests.support.items import item
from tests.support.outcomes import outcome
from tests.support.packet_model import model_raw


class Int(int):
    pass


class Float(float):
    pass


def edge_ints(bits):
    """Values at and around both ends of the signed and unsigned ranges."""
    out = set()
    for edge in (0, 2 ** (bits - 1), 2**bits, -(2 ** (bits - 1)), 2**63, 2**64, -(2**63)):
        out.update({edge - 1, edge, edge + 1})
    return sorted(out)


FLOATS = [
    0.0,
    -0.0,
    1.5,
    -2.25,
    math.inf,
    -math.inf,
    math.nan,
    -math.nan,
    5e-324,
    1e-45,
    1.4e-45,
    3.4028235e38,
    3.4028236e38,
    1e300,
    struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0],  # a signalling NaN
]

LAYOUTS = [
    # (bits before the field, packet padding after it in bits)
    (0, 0),
    (3, 0),
    (5, 11),
    (67, 0),
    (61, 3),
]


def pack_both(encoding, bits, value, wrap, before, after, little, reverse):
    recipe = [
        item("pad", bits=before, value=0),
        item(
            "v",
            encoding,
            bits=bits,
            value=value,
            byte_order="little" if little else "big",
            reverse_bits=reverse,
        ),
        item("tail", bits=after, value=0),
    ]
    quick = outcome(bitloom.pack_parameters, recipe)
    recipe[1]["value"] = wrap(value)
    general = outcome(bitloom.pack_parameters, recipe)
    return quick, general


@pytest.mark.parametrize("encoding", ["unsigned", "twos_complement"])
@pytest.mark.parametrize("bits", [1, 2, 7, 8, 13, 31, 32, 33, 57, 58, 63, 64])
@pytest.mark.parametrize("before,after", LAYOUTS)
def test_pack_ints_as_the_general_way(encoding, bits, before, after):
    for little, reverse in ((False, False), (True, False), (False, True)):
        for value in edge_ints(bits):
            quick, general = pack_both(encoding, bits, value, Int, before, after, little, reverse)
            assert quick == general, (value, little, reverse)


@pytest.mark.parametrize("encoding", ["ieee754_f32", "ieee754_f64"])
@pytest.mark.parametrize("bits", [16, 32, 40, 64])
@pytest.mark.parametrize("before,after", LAYOUTS)
def test_pack_floats_as_the_general_way(encoding, bits, before, after):
    for little, reverse in ((False, False), (True, True)):
        for value in FLOATS:
            quick, general = pack_both(encoding, bits, value, Float, before, after, little, reverse)
            assert quick == general, (value, little, reverse)


def float_bits(x):
    return struct.pack("<d", x)


@settings(max_examples=600, deadline=None)
@given(
    st.binary(min_size=1, max_size=20),
    st.sampled_from(["unsigned", "twos_complement", "ieee754_f32", "ieee754_f64"]),
    st.data(),
)
def test_unpack_as_the_raw_bits_decode(packet, encoding, data):
    total = 8 * len(packet)
    start = data.draw(st.integers(0, total - 1))
    bits = data.draw(st.integers(1, min(64, total - start)))
    little, reverse = data.draw(st.booleans()), data.draw(st.booleans())
    base = data.draw(st.integers(0, start))
    got = bitloom.unpack_parameters(
        packet,
        base,
        [
            item(
                "v",
                encoding,
                bits=bits,
                offset_bits=start - base,
                byte_order="little" if little else "big",
                reverse_bits=reverse,
            )
        ],
    )["v"]
    raw = model_raw(packet, start, bits, little, reverse)
    if encoding == "unsigned":
        assert got == raw and type(got) is int
    elif encoding == "twos_complement":
        assert got == bitloom.decode_twos_complement(raw, bits) and type(got) is int
    elif encoding == "ieee754_f32":
        assert float_bits(got) == float_bits(bitloom.decode_ieee754_f32(raw & 0xFFFFFFFF))
    else:
        assert float_bits(got) == float_bits(bitloom.decode_ieee754_f64(raw))


@pytest.mark.parametrize("length", [1, 7, 8, 9, 15])
def test_unpack_past_the_end_fails_as_before(length):
    # A field that runs one bit past the packet takes the general way's bounds error.
    packet = bytes(range(1, length + 1))
    for encoding in ("unsigned", "twos_complement", "ieee754_f64"):
        bits = min(64, 8 * length)
        recipe = [item("v", encoding, bits=bits, offset_bits=8 * length - bits + 1)]
        with pytest.raises(Exception) as quick:
            bitloom.unpack_parameters(packet, 0, recipe)
        recipe[0]["encoding"] = "ones_complement"  # never on the quick route
        with pytest.raises(Exception) as general:
            bitloom.unpack_parameters(packet, 0, recipe)
        assert (type(quick.value), str(quick.value)) == (type(general.value), str(general.value))
