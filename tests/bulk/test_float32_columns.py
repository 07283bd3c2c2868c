"""Float32 columns ("dtype": "float32" on ieee754_f16 and ieee754_f32 items)
against float64 columns of the same fields, widened and cast down (exactly
equal, bit for bit, NaN payloads included), and against each field's raw
image read packet by packet by unpack_parameters: every byte order, mirrored
or not, every bit of a byte, both framings and every entry point."""

import pickle
import random

import numpy as np
import pytest

import bitloom
import bitloom_bulk
from bitloom_bulk import _native
from tests.support.numbers import f64_bits

# Images that matter: signalling and quiet NaNs with payloads, infinities,
# both zeros, the smallest subnormal, the largest finite value, ones.
SPECIAL32 = [0x7F80_0001, 0xFFC1_2345, 0x7FBF_FFFF, 0x7F80_0000, 0xFF80_0000, 0x8000_0000, 0,
             0x0000_0001, 0x7F7F_FFFF, 0x3DCC_CCCD, 0xFFFF_FFFF]  # fmt: skip
SPECIAL16 = [0x7C01, 0xFE37, 0x7DFF, 0x7C00, 0xFC00, 0x8000, 0, 0x0001, 0x7BFF, 0xFFFF]
SPACING = 72  # bits from one field's place to the next


def recipe(encoding, bits, byte_order, reverse):
    """A field at every bit of a byte, the first at the packet's start and
    the last in its last byte (the last packets' loads pass the data's end
    there)."""
    return [
        {"name": f"s{skip}", "encoding": encoding, "bits": bits, "byte_order": byte_order,
         "reverse_bits": reverse, "offset_bits": SPACING * skip + skip, "dtype": "float32"}
        for skip in range(8)
    ]  # fmt: skip


def packet_bytes(items):
    return (max(i["offset_bits"] + i["bits"] for i in items) + 7) // 8


def wide(items):
    return [{k: v for k, v in i.items() if k != "dtype"} for i in items]


def as_unsigned(items):
    return [dict(i, encoding="unsigned") for i in wide(items)]


def place_specials(rng, data, items, size, count):
    """Write every special image into every field of the first packets of
    `size` bytes in `data` (random ones into the later packets' fields), the
    bits between them left as they are."""
    layout = bitloom_bulk.compile(as_unsigned(items))
    for p in range(count):
        values = {}
        for j, i in enumerate(items):
            special = SPECIAL32 if i["encoding"] == "ieee754_f32" else SPECIAL16
            if p < len(special):
                raw = special[(p + j) % len(special)]
            else:
                raw = rng.getrandbits(i["bits"])
            values[i["name"]] = raw & ((1 << i["bits"]) - 1)
        layout.pack_into(data, 8 * p * size, values)


def packets(rng, items, count):
    """Packets whose fields hold the special images, then random ones."""
    size = packet_bytes(items)
    data = bytearray(rng.randbytes(size * count))
    place_specials(rng, data, items, size, count)
    return [bytes(data[p * size : (p + 1) * size]) for p in range(count)]


def assert_float32_of(narrow, wide_column):
    """The float32 column widened is the float64 column, and the float64
    column cast down is the float32 column (a signalling NaN's quiet bit aside:
    the float64 column has it set)."""
    assert narrow.dtype == np.float32 and wide_column.dtype == np.float64
    assert narrow.shape == wide_column.shape
    with np.errstate(invalid="ignore"):  # signalling NaNs, cast
        widened = narrow.astype(np.float64)
        cast = wide_column.astype(np.float32)
    np.testing.assert_array_equal(widened.view(np.uint64), wide_column.view(np.uint64))
    bits = narrow.view(np.uint32)
    quiet = np.where(np.isnan(narrow), bits | 0x0040_0000, bits)
    np.testing.assert_array_equal(cast.view(np.uint32), quiet)


def assert_model(narrow, data, starts, size, items):
    """Each element against the field read by unpack_parameters: a binary32
    field's image bit for bit (a signalling NaN stays signalling), a binary16
    field's value widened."""
    for p, at in enumerate(starts):
        packet = data[at : at + size]
        raw = bitloom.unpack_parameters(packet, 0, as_unsigned(items))
        value = bitloom.unpack_parameters(packet, 0, wide(items))
        for j, item in enumerate(items):
            got = narrow[item["name"]][p]
            if item["encoding"] == "ieee754_f32":
                assert int(got.view(np.uint32)) == raw[item["name"]] & 0xFFFF_FFFF, (p, j)
            else:
                assert f64_bits(float(got)) == f64_bits(value[item["name"]]), (p, j)


FIELDS = [
    ("ieee754_f32", 32),
    ("ieee754_f32", 20),
    ("ieee754_f32", 57),
    ("ieee754_f32", 64),
    ("ieee754_f16", 16),
    ("ieee754_f16", 11),
    ("ieee754_f16", 40),
]


@pytest.mark.parametrize("framing", ["fixed", "offsets"])
@pytest.mark.parametrize(("byte_order", "reverse"), [("big", False), ("little", False),
                                                     ("big", True), ("little", True)])  # fmt: skip
@pytest.mark.parametrize(("encoding", "bits"), FIELDS)
def test_float32_columns_are_the_float64_ones_exactly(encoding, bits, byte_order, reverse, framing):
    rng = random.Random(f"{encoding}{bits}{byte_order}{reverse}{framing}")
    items = recipe(encoding, bits, byte_order, reverse)
    size = packet_bytes(items)
    found = packets(rng, items, 19)
    if framing == "fixed":
        data = b"".join(found)
        starts = [i * size for i in range(len(found))]
        framing_args = {"packet_bytes": size}
    else:
        buffer, starts = bytearray(), []
        for p in found:
            buffer += rng.randbytes(rng.randrange(3))
            starts.append(len(buffer))
            buffer += p
        data = bytes(buffer)
        framing_args = {"offsets": starts, "lengths": [size] * len(found)}
    narrow = bitloom_bulk.unpack_columns(data, items, **framing_args)
    full = bitloom_bulk.unpack_columns(data, wide(items), **framing_args)
    for item in items:
        assert_float32_of(narrow[item["name"]], full[item["name"]])
    assert_model(narrow, data, starts, size, items)


def _repeated(data, items, size, count):
    """Three instances a packet, 45 bits apart, from bit 3."""
    return _native.unpack_repeated(
        data, items, [i * size for i in range(count)], [size] * count, [3] * count,
        [3] * count, 45,
    )  # fmt: skip


def _ccsds(data, items, size, count):
    """Each packet behind a primary header of APID 5."""
    header = b"\x08\x05\xc0\x00" + (size + 6 - 7).to_bytes(2, "big")
    stream = b"".join(header + data[p * size : (p + 1) * size] for p in range(count))
    moved = [dict(i, offset_bits=i["offset_bits"] + 48) for i in items]
    return bitloom_bulk.unpack_ccsds(stream, {5: moved})[5]


# Each way a column is decoded: whole packets (in threads too), instances in
# packets (the windowed loop where every field lies in the 57 bits from an
# instance's start, else a loop per field), per APID, and through a pickle.
ENTRY_POINTS = [
    ("packets", lambda data, items, size, count: bitloom_bulk.unpack_columns(
        data, items, packet_bytes=size)),
    ("threads", lambda data, items, size, count: bitloom_bulk.unpack_columns(
        data, items, packet_bytes=size, threads=2)),
    ("repeated", _repeated),
    ("ccsds", _ccsds),
    ("pickled layout", lambda data, items, size, count: bitloom_bulk.unpack_columns(
        data, pickle.loads(pickle.dumps(bitloom_bulk.compile(items))), packet_bytes=size)),
]  # fmt: skip

# Fields of every kind: near (windowed) and far from an instance's start,
# either byte order, mirrored, and a float64 field beside them.
ENTRY_RECIPES = {
    "near": [("a", "ieee754_f32", 32, "big", False, 1), ("b", "ieee754_f16", 16, "big", False, 36)],
    "far": [("a", "ieee754_f32", 32, "little", False, 5), ("b", "ieee754_f16", 16, "little", True,
            40), ("c", "ieee754_f64", 64, "big", False, 60)],
}  # fmt: skip


@pytest.mark.parametrize("shape", list(ENTRY_RECIPES))
@pytest.mark.parametrize(("entry", "call"), ENTRY_POINTS, ids=[e[0] for e in ENTRY_POINTS])
def test_every_entry_point_gives_the_float32_columns(entry, call, shape):
    items = [
        {"name": n, "encoding": e, "bits": b, "byte_order": o, "reverse_bits": r,
         "offset_bits": at} | ({"dtype": "float32"} if b != 64 else {})
        for n, e, b, o, r, at in ENTRY_RECIPES[shape]
    ]  # fmt: skip
    size, count = 40, 40_000 if entry == "threads" else 300
    rng = random.Random(entry + shape)
    data = bytearray(rng.randbytes(size * count))
    place_specials(rng, data, [i for i in items if i["bits"] != 64], size, 20)
    data = bytes(data)
    narrow = call(data, items, size, count)
    full = call(data, wide(items), size, count)
    for item in items:
        if item["bits"] == 64:
            assert narrow[item["name"]].dtype == np.float64
            np.testing.assert_array_equal(narrow[item["name"]], full[item["name"]])
        else:
            assert_float32_of(narrow[item["name"]], full[item["name"]])


def item(**keys):
    return {"name": "x", "encoding": "ieee754_f32", "bits": 32, "byte_order": "big",
            "reverse_bits": False, "dtype": "float32"} | keys  # fmt: skip


@pytest.mark.parametrize(
    ("bad", "etype", "message"),
    [
        (item(dtype="float64"), ValueError, "dtype must be 'float32' .* not 'float64'"),
        (item(dtype="FLOAT32"), ValueError, "dtype must be 'float32' .* not 'FLOAT32'"),
        (item(dtype=None), ValueError, "dtype must be 'float32' .* not None"),
        (item(dtype=np.float32), ValueError, "dtype must be 'float32' .* not <class"),
        (item(encoding="unsigned"), ValueError, "not encoding 'unsigned'"),
        (item(encoding="IEEE754_F64", bits=64), ValueError, "not encoding 'IEEE754_F64'"),
        (item(encoding="utf8"), ValueError, "not encoding 'utf8'"),
        # The faults found before it, as before.
        (item(encoding="float32"), ValueError, "Unsupported encoding type: float32"),
        (item(byte_order="middle", dtype=1), ValueError, "Invalid byte_order 'middle'"),
    ],
)
def test_a_dtype_the_column_cannot_take_is_refused(bad, etype, message):
    recipe = [item(name="ok"), bad]
    for call in (
        lambda: bitloom_bulk.compile(recipe),
        lambda: bitloom_bulk.unpack_columns(b"\0" * 8, recipe, packet_bytes=8),
    ):
        with pytest.raises(etype, match=message) as caught:
            call()
        assert caught.value.__notes__ == ["while unpacking recipe item 1 ('x')"]


@pytest.mark.parametrize(
    "extra", [{}, {"dtype": "float32"}, {"dtype": "float32", "offset_bits": 3}]
)
def test_the_layout_keeps_the_dtype_and_decodes_one_packet_alike(extra):
    plain = wide([item(name="a"), item(name="b", encoding="ieee754_f16", bits=16)])
    items = [i | extra for i in plain]
    layout = bitloom_bulk.compile(items)
    assert layout.recipe == items
    assert pickle.loads(pickle.dumps(layout)).recipe == items
    packet = bytes.fromhex("7f800001 fc01 3dcccccd")
    got = layout.unpack(packet)
    want = bitloom.unpack_parameters(packet, 0, wide(items))
    assert {k: f64_bits(v) for k, v in got.items()} == {k: f64_bits(v) for k, v in want.items()}
