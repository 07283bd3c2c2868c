"""Recipe items: the one builder the tests use besides bitloom_bulk.field, and
the encoding names and item keys the tests draw from."""

from bitloom_bulk import field

# Encoding names the packer accepts, those only the unpacker accepts, and the
# keys of a recipe item.
PACK_ENCODINGS = [
    "unsigned",
    "twos_complement",
    "ones_complement",
    "sign_magnitude",
    "packed_bcd",
    "packed_bcd_signed",
    "unpacked_bcd",
    "unpacked_bcd_signed",
    "ieee754_f16",
    "ieee754_f32",
    "ieee754_f64",
    "utf8",
    "utf16",
    "utf16le",
    "utf16be",
    "utf32",
    "utf32le",
    "utf32be",
    "us_ascii",
    "iso_8859_1",
    "latin1",
    "windows_1252",
]
UNPACK_ONLY = [
    "ieee754_f128",
    "ti_f32",
    "ti_f40",
    "dec_f32",
    "dec_f64",
    "ibm_f32",
    "ibm_f64",
    "ieee754_1985_f32",
    "ieee754_1985_f64",
    "ieee754_1985_f80",
    "mil_std_1750a_f32",
    "mil_std_1750a_f48",
]
KEYS = ["name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits", "value"]


def item(
    name="f",
    encoding="unsigned",
    bits=8,
    value=None,
    byte_order="big",
    reverse_bits=False,
    offset_bits=None,
    **extra,
):
    """A recipe item: bitloom_bulk.field's keys, then `value` and `offset_bits` when
    given, then any `extra` keys (also keys a recipe item does not know)."""
    d = field(name, encoding, bits, byte_order=byte_order, reverse_bits=reverse_bits)
    if value is not None:
        d["value"] = value
    if offset_bits is not None:
        d["offset_bits"] = offset_bits
    d.update(extra)
    return d


def without(d, *keys):
    return {k: v for k, v in d.items() if k not in keys}
