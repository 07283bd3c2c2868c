"""unpack_columns against unpack_parameters on every packet: values (floats by
their bits), key order, dtypes and errors."""

import random
import sys

import numpy as np
import pytest

import bitloom
import bitloom_bulk
from tests.support.outcomes import as_bulk, outcome, same_value
from tests.support.random_recipes import packer_bits, random_packet, random_recipe

SIGNED = {"twos_complement", "ones_complement", "sign_magnitude"}


def width_dtype(bits, signed):
    for width in (8, 16, 32, 64):
        if bits <= width:
            return np.dtype(f"{'i' if signed else 'u'}{width // 8}")
    return np.dtype("i8" if signed else "u8")


def expected_dtype(item):
    encoding, bits = item["encoding"].lower(), item["bits"]
    if encoding == "unsigned":
        return width_dtype(bits, False)
    if encoding in SIGNED:
        return width_dtype(min(bits, 64), True)
    if encoding in ("packed_bcd", "unpacked_bcd"):
        return width_dtype(bits, False) if bits <= 32 else np.dtype("i8")
    if encoding in ("packed_bcd_signed", "unpacked_bcd_signed"):
        return width_dtype(min(bits + 1, 64), True)
    if encoding.startswith(("utf", "us_", "iso", "latin", "windows")):
        return np.dtype(object)
    return np.dtype("f8")


def scalar_outcomes(packets, offset, recipe):
    return [
        as_bulk(outcome(bitloom.unpack_parameters, p, offset, recipe), recipe, offset, len(p))
        for p in packets
    ]


def check(result, packets, offset, recipe, starts):
    expected = scalar_outcomes(packets, offset, recipe)
    failures = [(i, o) for i, o in enumerate(expected) if o[0] == "error"]
    if failures:
        i, (_, etype, eargs, enotes) = failures[0]
        assert result[0] == "error", (i, expected[i])
        assert result[1] is etype and result[2] == eargs
        note = f"in packet {i} (bytes {starts[i]} to {starts[i] + len(packets[i])} of the data)"
        assert result[3] == (*enotes, note)
        return
    assert result[0] == "ok", result
    columns = result[1]
    keys = list(dict.fromkeys(it["name"] for it in recipe))
    assert list(columns) == keys
    last = {it["name"]: it for it in recipe}
    for name, column in columns.items():
        assert isinstance(column, np.ndarray) and column.shape == (len(packets),)
        assert column.dtype == expected_dtype(last[name]), (name, last[name])
        for i, (_, values) in enumerate(expected):
            got = column[i]
            got = got if column.dtype == object else got.item()
            assert same_value(got, values[name]), (i, name, got, values[name])


@pytest.mark.parametrize("seed", range(400))
def test_fixed_length_matches_unpack_parameters(seed):
    rng = random.Random(seed)
    recipe = random_recipe(rng, clean=seed % 2 == 1)
    offset = rng.choice([0, 0, 0, 3, 8])
    size = (packer_bits(recipe) + offset + 7) // 8 + rng.choice([0, 0, 0, 1, -1])
    size = max(size, 1)
    packets = [random_packet(rng, size) for _ in range(rng.randrange(0, 6))]
    data = b"".join(packets)
    kind = rng.choice([bytes, bytearray, memoryview, np.frombuffer])
    buffer = kind(data) if kind is not np.frombuffer else np.frombuffer(data, dtype=np.uint8)
    recipe_arg = bitloom_bulk.compile(recipe) if rng.random() < 0.5 else recipe
    compiled = outcome(bitloom_bulk.compile, recipe)
    result = (
        outcome(
            bitloom_bulk.unpack_columns, buffer, recipe_arg, packet_bytes=size, offset_bits=offset
        )
        if compiled[0] == "ok"
        else compiled
    )
    if compiled[0] == "error":
        # A recipe fault: the text and note the first item's fault gives in
        # unpack_parameters on a packet long enough for every field.
        big = bytes(packer_bits(recipe) // 8 + 64)
        expected = as_bulk(outcome(bitloom.unpack_parameters, big, 0, recipe))
        if expected[0] == "error" and "range" not in str(expected[2]):
            assert compiled[1:] == expected[1:]
        return
    check(result, packets, offset, recipe, [i * size for i in range(len(packets))])


@pytest.mark.parametrize("seed", range(150))
def test_offsets_and_lengths_match_unpack_parameters(seed):
    rng = random.Random(1000 + seed)
    recipe = random_recipe(rng, clean=seed % 2 == 1)
    if outcome(bitloom_bulk.compile, recipe)[0] == "error":
        return
    need = (packer_bits(recipe) + 7) // 8
    packets, starts, data = [], [], bytearray()
    for _ in range(rng.randrange(0, 6)):
        data += random_packet(rng, rng.randrange(0, 4))  # a gap
        size = max(0, need + rng.choice([0, 0, 0, 2, -1]))
        starts.append(len(data))
        packets.append(random_packet(rng, size))
        data += packets[-1]
    offsets = np.array(starts, dtype=rng.choice([np.int64, np.uint64]))
    lengths = np.array([len(p) for p in packets], dtype=np.int64)
    result = outcome(
        bitloom_bulk.unpack_columns, bytes(data), recipe, offsets=offsets, lengths=lengths
    )
    check(result, packets, 0, recipe, starts)


def test_recipe_fault_comes_before_any_packet_fault():
    recipe = [
        {
            "name": "a",
            "encoding": "unsigned",
            "bits": 64,
            "byte_order": "big",
            "reverse_bits": False,
        },
        {"name": "b", "encoding": "nope", "bits": 8, "byte_order": "big", "reverse_bits": False},
    ]
    with pytest.raises(ValueError) as info:
        bitloom_bulk.unpack_columns(b"\x00", recipe, packet_bytes=1)
    assert info.value.args == ("Unsupported encoding type: nope",)
    assert info.value.__notes__ == ["while unpacking recipe item 1 ('b')"]


ITEM = {"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False}


@pytest.mark.parametrize(
    "data, kwargs, etype, message",
    [
        (b"abc", {"packet_bytes": 0}, ValueError, "packet_bytes must be at least 1"),
        (
            b"abc",
            {"packet_bytes": 5},
            ValueError,
            "the data ends with a partial packet of 3 bytes at byte 0 (packet_bytes is 5, the data holds 3 bytes)",
        ),
        (
            b"abcde",
            {"packet_bytes": 2},
            ValueError,
            "the data ends with a partial packet of 1 bytes at byte 4 (packet_bytes is 2, the data holds 5 bytes)",
        ),
        (b"abc", {"packet_bytes": -1}, None, None),
        (b"abc", {}, TypeError, "unpack_columns() needs packet_bytes, or both offsets and lengths"),
        (
            b"abc",
            {"offsets": np.zeros(1, np.int64)},
            TypeError,
            "unpack_columns() needs packet_bytes, or both offsets and lengths",
        ),
        (
            b"abc",
            {"packet_bytes": 1, "offsets": np.zeros(1, np.int64), "lengths": np.ones(1, np.int64)},
            TypeError,
            "unpack_columns() takes packet_bytes, or offsets and lengths, not both",
        ),
        (
            b"abc",
            {"offsets": np.zeros(1, np.float64), "lengths": np.ones(1, np.int64)},
            TypeError,
            "offsets must be a one-dimensional array or sequence of integers, not an array of 1 dimension(s) with format 'd'",
        ),
        (
            b"abc",
            {"offsets": np.zeros((1, 1), np.int64), "lengths": np.ones(1, np.int64)},
            TypeError,
            "offsets must be a one-dimensional array or sequence of integers, not an array of 2 dimension(s) with format 'l'",
        ),
        (
            b"abc",
            {"offsets": [0], "lengths": [1.0]},
            TypeError,
            "lengths[0] must be an integer, not 'float'",
        ),
        (
            b"abc",
            {"offsets": "0", "lengths": [1]},
            TypeError,
            "offsets must be a one-dimensional array or sequence of integers, not 'str'",
        ),
        (
            b"abc",
            {"offsets": 0, "lengths": [1]},
            TypeError,
            "offsets must be a one-dimensional array or sequence of integers, not 'int'",
        ),
        (
            b"abc",
            {"offsets": [0, -1], "lengths": [1, 1]},
            ValueError,
            "offsets[1] is negative (-1)",
        ),
        (
            b"abc",
            {"offsets": [0], "lengths": [2**64]},
            ValueError,
            "lengths[0] is too large (18446744073709551616)",
        ),
        (
            b"abc",
            {"offsets": np.array([0, -2], np.int8), "lengths": [1, 1]},
            ValueError,
            "offsets[1] is negative (-2)",
        ),
        (
            b"abc",
            {"packet_bytes": 1.5},
            TypeError,
            "argument 'packet_bytes': 'float' object cannot be interpreted as an integer",
        ),
        (
            b"abc",
            {"packet_bytes": 1, "offset_bits": "0"},
            TypeError,
            "argument 'offset_bits': 'str' object cannot be interpreted as an integer",
        ),
        (
            b"abc",
            {"offsets": np.array([0, -1]), "lengths": np.ones(2, np.int64)},
            ValueError,
            "offsets[1] is negative (-1)",
        ),
        (
            b"abc",
            {"offsets": np.zeros(2, np.int64), "lengths": np.array([1, -5])},
            ValueError,
            "lengths[1] is negative (-5)",
        ),
        (
            b"abc",
            {"offsets": np.zeros(2, np.int64), "lengths": np.ones(1, np.int64)},
            ValueError,
            "offsets holds 2 packets but lengths holds 1",
        ),
        (
            b"abc",
            {"offsets": np.array([0, 2]), "lengths": np.array([1, 2])},
            ValueError,
            "packet 1 (offset 2, length 2) runs past the end of the data (3 bytes)",
        ),
        (
            b"abc",
            {"offsets": np.array([2**64 - 1], np.uint64), "lengths": np.array([2], np.uint64)},
            ValueError,
            "packet 0 (offset 18446744073709551615, length 2) runs past the end of the data (3 bytes)",
        ),
    ],
)
def test_bad_arguments(data, kwargs, etype, message):
    with pytest.raises(Exception) as info:
        bitloom_bulk.unpack_columns(data, [ITEM], **kwargs)
    if etype is not None:
        assert type(info.value) is etype and info.value.args == (message,)


# Offsets and lengths come in any integer dtype, either byte order, any stride.
POSITION_DTYPES = ["int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64"]


@pytest.mark.parametrize("dtype", [*POSITION_DTYPES, ">i4", "<u2", ">u8"])
@pytest.mark.parametrize("step", [1, 2])
def test_positions_of_every_integer_dtype_decode_as_a_list(dtype, step):
    data = bytes(range(7, 107))
    offsets = list(range(0, 99, 3))
    lengths = [1 + i % 2 for i in range(len(offsets))]
    want = bitloom_bulk.unpack_columns(data, [ITEM], offsets=offsets, lengths=lengths)["a"]

    def spread(values):
        # Every other element of a twice-as-long array where step is 2.
        out = np.zeros(len(values) * step, dtype=dtype)
        out[::step] = values
        return out[::step]

    got = bitloom_bulk.unpack_columns(
        data, [ITEM], offsets=spread(offsets), lengths=spread(lengths)
    )["a"]
    assert got.tolist() == want.tolist() == [data[o] for o in offsets]


@pytest.mark.parametrize("dtype", ["int8", "int16", "int32", "int64", ">i4"])
@pytest.mark.parametrize("which", ["offsets", "lengths"])
# The last place lies in the second run of 65536 packets that are checked together.
@pytest.mark.parametrize("at", [0, 5, 70_000])
def test_a_negative_position_is_named_in_every_dtype(dtype, which, at):
    positions = {"offsets": np.zeros(70_001, dtype), "lengths": np.ones(70_001, dtype)}
    positions[which][at] = -3
    with pytest.raises(ValueError) as info:
        bitloom_bulk.unpack_columns(b"abc", [ITEM], **positions)
    assert info.value.args == (f"{which}[{at}] is negative (-3)",)


def test_non_contiguous_data_is_refused():
    data = np.arange(20, dtype=np.uint8)[::2]
    with pytest.raises((BufferError, ValueError)):
        bitloom_bulk.unpack_columns(data, [ITEM], packet_bytes=1)


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview, "mmap", "numpy"])
def test_every_buffer_kind_is_read_in_place(kind, tmp_path):
    raw = bytes(range(16))
    if kind == "mmap":
        import mmap

        path = tmp_path / "d"
        path.write_bytes(raw)
        with open(path, "rb") as f:
            data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    elif kind == "numpy":
        data = np.frombuffer(raw, np.uint8)
    else:
        data = kind(raw)
    columns = bitloom_bulk.unpack_columns(data, [ITEM], packet_bytes=2)
    assert columns["a"].tolist() == list(range(0, 16, 2))


def test_zero_packets_give_empty_columns_of_the_right_dtype():
    recipe = [
        {
            "name": "u",
            "encoding": "unsigned",
            "bits": 12,
            "byte_order": "big",
            "reverse_bits": False,
        },
        {"name": "s", "encoding": "utf8", "bits": 8, "byte_order": "big", "reverse_bits": False},
        {
            "name": "x",
            "encoding": "ieee754_f16",
            "bits": 16,
            "byte_order": "big",
            "reverse_bits": False,
        },
    ]
    for kwargs in (
        {"packet_bytes": 5},
        {"offsets": np.zeros(0, np.int64), "lengths": np.zeros(0, np.int64)},
    ):
        columns = bitloom_bulk.unpack_columns(b"", recipe, **kwargs)
        assert {k: (v.dtype, v.shape) for k, v in columns.items()} == {
            "u": (np.dtype("u2"), (0,)),
            "s": (np.dtype(object), (0,)),
            "x": (np.dtype("f8"), (0,)),
        }


def test_data_cannot_be_resized_while_decoded():
    import threading

    data = bytearray(8 * 400_000)
    recipe = [dict(ITEM, bits=7, name=f"f{i}") for i in range(9)]
    errors, stop = [], threading.Event()

    def resize():
        while not stop.is_set():
            try:
                data.extend(b"\x00" * 8)
                del data[-8:]
            except BufferError as exc:
                errors.append(exc)

    t = threading.Thread(target=resize)
    t.start()
    try:
        for _ in range(20):
            columns = bitloom_bulk.unpack_columns(data, recipe, packet_bytes=8)
            assert len(columns["f0"]) == len(data) // 8
    finally:
        stop.set()
        t.join()
    # Resizes that raced the decoding were refused with BufferError, never a crash.
    assert all(isinstance(e, BufferError) for e in errors)


def test_an_empty_recipe_decodes_every_packet_into_nothing():
    # As unpack_parameters(packet, 0, []) gives {}: a whole capture of such
    # packets gives no columns, whatever the framing.
    assert bitloom_bulk.unpack_columns(b"ab", [], packet_bytes=1) == {}
    assert bitloom_bulk.unpack_columns(b"ab", bitloom_bulk.compile([]), packet_bytes=2) == {}
    assert bitloom_bulk.unpack_columns(b"abc", [], offsets=[0, 1], lengths=[1, 2]) == {}


POSITIONS = np.array([6, 0, 2, 4, 6, 1])


@pytest.mark.parametrize(
    "convert",
    [
        list,
        tuple,
        lambda a: [np.uint16(v) for v in a],
        lambda a: a.astype(np.int32),
        lambda a: a.astype(">u2"),
        lambda a: a.astype(np.uint8),
        lambda a: np.repeat(a, 2)[::2],  # strided
        lambda a: memoryview(a.astype(np.int16)),
    ],
    ids=["list", "tuple", "numpy-scalars", "int32", "big-u16", "u8", "strided", "memoryview"],
)
def test_offsets_and_lengths_of_any_integer_form_read_alike(convert):
    data = bytes(range(10, 18))
    lengths = np.full(len(POSITIONS), 2)
    recipe = [dict(ITEM, bits=16)]
    want = bitloom_bulk.unpack_columns(data, recipe, offsets=POSITIONS, lengths=lengths)
    got = bitloom_bulk.unpack_columns(
        data, recipe, offsets=convert(POSITIONS), lengths=convert(lengths)
    )
    assert (
        got["a"].tolist()
        == want["a"].tolist()
        == [int.from_bytes(data[o : o + 2], "big") for o in POSITIONS]
    )


def test_many_packets_by_offsets_decode_as_fixed_ones_and_faults_name_their_row():
    # More packets than one run of positions: each run is copied and decoded
    # on its own, and rows and notes still count from the call's first packet.
    rng = np.random.default_rng(3)
    n, size = 150_000, 3
    data = rng.integers(0, 256, n * size, dtype=np.uint8).tobytes()
    recipe = [dict(ITEM, bits=7), dict(ITEM, name="b", bits=13, byte_order="little")]
    fixed = bitloom_bulk.unpack_columns(data, recipe, packet_bytes=size)
    order = rng.permutation(n)
    got = bitloom_bulk.unpack_columns(data, recipe, offsets=order * size, lengths=np.full(n, size))
    for name in fixed:
        assert np.array_equal(got[name], fixed[name][order])
    lengths = np.full(n, size)
    lengths[140_001] = 1  # too short for "b"
    with pytest.raises(ValueError) as info:
        bitloom_bulk.unpack_columns(data, recipe, offsets=order * size, lengths=lengths)
    start = int(order[140_001]) * size
    assert info.value.__notes__[-1] == (
        f"in packet 140001 (bytes {start} to {start + 1} of the data)"
    )


@pytest.mark.parametrize(
    "make",
    [
        lambda data: bitloom_bulk._native.byte_slices(data, [0, 3, 5], [3, 2, 4]),
        lambda data: bitloom_bulk.unpack_columns(
            data,
            [bitloom_bulk.field("t", "us_ascii", 24)],
            packet_bytes=3,
        )["t"],
    ],
    ids=["byte_slices", "text"],
)
def test_object_columns_hold_one_reference_to_each_value(make):
    data = b"abcdefghi"
    none_before = sys.getrefcount(None)
    for _ in range(200):
        column = make(data)
    assert column.dtype == object and column.flags.c_contiguous
    # Each value is held by the column alone (and the call's own argument).
    assert [sys.getrefcount(column[i]) for i in range(len(column))] == [2] * len(column)
    del column
    # The None that numpy.empty fills an object array with is released once
    # per element it gave way to (immortal from 3.12, counted before).
    assert abs(sys.getrefcount(None) - none_before) < 50


# Every width from 1 to 64 bits at every bit of a byte, so that each loop the
# kernel specialises a field into is taken: loads of 1, 2, 4 and 8 bytes and
# of nine (fields past a word), the field filling its load or shifted out of
# it, either byte order, mirrored or not, every element type; each field
# either near the packet's start or ending at its last byte, where the last
# packets' loads would pass the end of the data and take the general reading.
WIDE_PACKET = 12


def every_place_recipe(encoding, byte_order, reverse):
    items = []
    for bits in range(1, 65):
        for skip in range(8):
            span = (skip + bits + 7) // 8
            at_end = (bits + skip) % 2 == 1
            byte = WIDE_PACKET - span if at_end else (bits + skip) % 3
            items.append(
                {
                    "name": f"w{bits}s{skip}",
                    "encoding": encoding,
                    "bits": bits,
                    "byte_order": byte_order,
                    "reverse_bits": reverse,
                    "offset_bits": 8 * byte + skip,
                }
            )
    return items


@pytest.mark.parametrize("framing", ["fixed", "offsets"])
@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("byte_order", ["big", "little"])
@pytest.mark.parametrize("encoding", ["unsigned", "twos_complement", "ieee754_f32", "ieee754_f64"])
def test_fields_of_every_width_and_place_match_unpack_parameters(
    encoding, byte_order, reverse, framing
):
    rng = random.Random(f"{encoding}{byte_order}{reverse}")
    recipe = every_place_recipe(encoding, byte_order, reverse)
    # Eleven packets: four-packet turns and a remainder. Random bytes, all
    # ones, and a pattern holding signalling and quiet NaN images.
    packets = [random_packet(rng, WIDE_PACKET) for _ in range(9)]
    packets += [b"\xff" * WIDE_PACKET, (b"\x7f\x80\x00\x01\xff\xc0\x00\x02" * 2)[:WIDE_PACKET]]
    rng.shuffle(packets)
    if framing == "fixed":
        starts = [i * WIDE_PACKET for i in range(len(packets))]
        data = b"".join(packets)
        result = outcome(bitloom_bulk.unpack_columns, data, recipe, packet_bytes=WIDE_PACKET)
    else:
        data, starts = bytearray(), []
        for p in packets:
            data += bytes(rng.randrange(0, 3))  # gaps
            starts.append(len(data))
            data += p
        result = outcome(
            bitloom_bulk.unpack_columns,
            bytes(data),
            recipe,
            offsets=starts,
            lengths=[WIDE_PACKET] * len(packets),
        )
    check(result, packets, 0, recipe, starts)
