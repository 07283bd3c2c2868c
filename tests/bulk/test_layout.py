"""Layout.unpack / pack / pack_into against unpack_parameters and
pack_parameters, errors included; pickling."""

import pickle
import random

import numpy as np
import pytest

import bitloom
import bitloom_bulk
from tests.support.outcomes import as_bulk, outcome, same_dict
from tests.support.random_recipes import packer_bits, random_packet, random_recipe


def same_outcome(a, b):
    if a[0] == "ok" and b[0] == "ok":
        return same_dict(a[1], b[1]) if isinstance(a[1], dict) else a[1] == b[1]
    return a == b


@pytest.mark.parametrize("seed", range(200))
def test_unpack_matches_unpack_parameters(seed):
    rng = random.Random(5000 + seed)
    recipe = random_recipe(rng, clean=seed % 2 == 1)
    compiled = outcome(bitloom_bulk.compile, recipe)
    if compiled[0] == "error":
        return
    layout = compiled[1]
    for _ in range(4):
        offset = rng.choice([0, 0, 5, 9])
        packet = random_packet(
            rng, max(0, (packer_bits(recipe) + offset + 7) // 8 + rng.choice([0, 0, -1]))
        )
        assert same_outcome(
            outcome(layout.unpack, packet, offset),
            as_bulk(
                outcome(bitloom.unpack_parameters, packet, offset, recipe),
                recipe,
                offset,
                len(packet),
            ),
        )
        assert same_outcome(
            outcome(layout.unpack, packet, offset_bits=offset),
            outcome(layout.unpack, packet, offset),
        )


def random_value(rng, item):
    enc, bits = item["encoding"].lower(), item["bits"]
    r = rng.random()
    if enc.startswith("ieee"):
        return rng.choice(
            [0.0, -1.5, 1e300, float("inf"), float("nan"), rng.uniform(-1e6, 1e6), 3, "x"]
        )
    if enc in ("utf8", "us_ascii", "iso_8859_1", "latin1", "windows_1252") or enc.startswith("utf"):
        n = max(0, bits // 8)
        return rng.choice(["", "a" * n, "é" * n, "ab"[:n], 5, "€" * (n // 2)])
    if r < 0.1:
        return rng.choice(["1", 1.5, None, 2**70, -(2**70)])
    top = 2 ** max(0, bits - 1) if bits < 64 else 2**63
    return rng.randrange(-top - 2, top * 2 + 2)


@pytest.mark.parametrize("seed", range(300))
def test_pack_matches_pack_parameters(seed):
    rng = random.Random(9000 + seed)
    recipe = random_recipe(rng, for_pack=rng.random() < 0.8)
    compiled = outcome(bitloom_bulk.compile, recipe)
    if compiled[0] == "error":
        return
    layout = compiled[1]
    values = [random_value(rng, it) for it in recipe]
    drop = rng.randrange(len(recipe)) if rng.random() < 0.15 else None
    carried = [
        dict(it) if i == drop else dict(it, value=v)
        for i, (it, v) in enumerate(zip(recipe, values, strict=True))
    ]
    expected = as_bulk(outcome(bitloom.pack_parameters, carried))
    if drop is None:
        # A sequence in recipe order; a mapping where names are unique.
        assert same_outcome(outcome(layout.pack, values), expected)
        assert same_outcome(outcome(layout.pack, tuple(values)), expected)
    names = [it["name"] for it in recipe]
    if len(set(names)) == len(names):
        mapping = {n: v for i, (n, v) in enumerate(zip(names, values, strict=True)) if i != drop}
        assert same_outcome(outcome(layout.pack, mapping), expected)
        if expected[0] == "ok":
            check_pack_into(rng, layout, recipe, mapping, expected[1])


def field_ranges(recipe):
    position, ranges = 0, []
    for it in recipe:
        start = it.get("offset_bits", position)
        ranges.append((start, it["bits"]))
        position = start + it["bits"]
    return ranges


def check_pack_into(rng, layout, recipe, values, packet):
    bits = layout.packet_bits
    assert bits == packer_bits(recipe)
    offset = rng.randrange(0, 20)
    size = (offset + bits + 7) // 8 + rng.randrange(0, 3)
    before = bytes(rng.randrange(256) for _ in range(size))
    buffer = bytearray(before)
    layout.pack_into(buffer, offset, values)
    # Model: the covered bits take the packet's bits, all others stay.
    as_int = lambda b: int.from_bytes(b, "big")  # noqa: E731
    total = 8 * size
    covered = 0
    for start, n in field_ranges(recipe):
        covered |= ((1 << n) - 1) << (total - offset - start - n)
    image = (as_int(packet) >> (8 * len(packet) - bits)) << (total - offset - bits) if bits else 0
    expected = (as_int(before) & ~covered) | (image & covered)
    assert as_int(buffer) == expected


def test_pack_into_refuses_a_packet_outside_the_buffer_and_writes_nothing():
    layout = bitloom_bulk.compile(
        [
            {
                "name": "a",
                "encoding": "unsigned",
                "bits": 12,
                "byte_order": "big",
                "reverse_bits": False,
            }
        ]
    )
    buffer = bytearray(b"\xaa\xbb")
    with pytest.raises(ValueError) as info:
        layout.pack_into(buffer, 5, {"a": 1})
    assert info.value.args == (
        "pack_into: a packet of 12 bits at bit offset 5 does not fit into a buffer of 2 bytes",
    )
    with pytest.raises(ValueError):
        layout.pack_into(buffer, 0, {"a": 1 << 12})
    assert buffer == b"\xaa\xbb"
    with pytest.raises(BufferError):
        layout.pack_into(b"\x00\x00", 0, {"a": 1})  # read-only
    array = np.zeros(4, np.uint8)
    layout.pack_into(array, 4, (0xFFF,))
    assert array.tolist() == [0x0F, 0xFF, 0, 0]
    view = memoryview(bytearray(2))
    layout.pack_into(view, 0, [0xABC])
    assert bytes(view) == b"\xab\xc0"


@pytest.mark.parametrize("seed", range(40))
def test_pickled_layout_behaves_the_same(seed):
    rng = random.Random(70000 + seed)
    recipe = random_recipe(rng, clean=True)
    for it in recipe:
        if rng.random() < 0.3:
            it["offset_bits"] = rng.randrange(0, 40)
    layout = bitloom_bulk.compile(recipe)
    again = pickle.loads(pickle.dumps(layout))
    assert type(again) is bitloom_bulk.Layout
    assert again.names == layout.names == tuple(it["name"] for it in recipe)
    assert again.packet_bits == layout.packet_bits
    assert again.recipe == layout.recipe == recipe
    packet = random_packet(rng, (layout.packet_bits + 7) // 8)
    assert same_outcome(outcome(again.unpack, packet), outcome(layout.unpack, packet))


def test_values_must_match_the_recipe():
    layout = bitloom_bulk.compile(
        [
            {
                "name": "a",
                "encoding": "unsigned",
                "bits": 8,
                "byte_order": "big",
                "reverse_bits": False,
            }
        ]
    )
    with pytest.raises(ValueError) as info:
        layout.pack((1, 2))
    assert info.value.args == ("expected 1 values (one per recipe item), got 2",)
    with pytest.raises(TypeError):
        layout.pack("a")
    with pytest.raises(TypeError):
        bitloom_bulk.Layout()
    with pytest.raises(AttributeError):
        layout.names = ()


def test_compile_faults_match_unpack_parameters():
    recipes = [
        5,
        [5],
        [{"name": "a"}],
        [
            {
                "name": "a",
                "encoding": "unsigned",
                "bits": -1,
                "byte_order": "big",
                "reverse_bits": False,
            }
        ],
        [
            {
                "name": "a",
                "encoding": "unsigned",
                "bits": 8,
                "byte_order": "middle",
                "reverse_bits": False,
            }
        ],
        [
            {
                "name": 3,
                "encoding": "unsigned",
                "bits": 8,
                "byte_order": "big",
                "reverse_bits": False,
            }
        ],
        [{"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": 1}],
    ]
    for recipe in recipes:
        got = outcome(bitloom_bulk.compile, recipe)
        want = as_bulk(outcome(bitloom.unpack_parameters, bytes(8), 0, recipe))
        assert got[0] == want[0] == "error"
        if recipe != 5:  # the argument prefix is the function's own
            assert got == want


U8 = {"encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False}


def changing(values, change):
    """A value that converts to 1 after applying `change` to `values`."""

    class Value:
        def __index__(self):
            change(values)
            return 1

    return Value()


@pytest.mark.parametrize(
    "change, holds",
    [
        (list.clear, 0),
        (lambda v: v.append(3), 4),
        (lambda v: v.pop(), 2),
    ],
    ids=["clear", "append", "pop"],
)
@pytest.mark.parametrize("into", [False, True], ids=["pack", "pack_into"])
def test_a_values_list_changed_by_a_conversion_is_refused(change, holds, into):
    layout = bitloom_bulk.compile([dict(U8, name=n) for n in "abc"])
    values = []
    values += [changing(values, change), 2, 3]
    buffer = bytearray(b"\xee" * 4)
    with pytest.raises(ValueError) as info:
        layout.pack_into(buffer, 8, values) if into else layout.pack(values)
    assert (
        f"the values changed while packing: expected 3 values (one per recipe item), the sequence now holds {holds}"
        in str(info.value)
    )
    assert buffer == b"\xee" * 4


def test_values_and_recipes_changed_by_conversions_never_crash():
    # Conversions that clear, grow, shrink or replace the values, the mapping
    # and the recipe they came from: every call packs or raises an ordinary
    # exception (a crash or a read past a list is the fault this is for).
    rng = random.Random(11)
    actions = [
        lambda v, r: v.clear(),
        lambda v, r: v.append(1) if isinstance(v, list) else v.update(zz=1),
        lambda v, r: (v.pop() if isinstance(v, list) else v.popitem()) if v else None,
        lambda v, r: r.clear(),
        lambda v, r: r.append(dict(U8, name="late")),
        lambda v, r: v.__setitem__(0, object()) if isinstance(v, list) and v else None,
        lambda v, r: None,
    ]
    outcomes = set()
    for _ in range(3000):
        n = rng.randrange(1, 6)
        recipe = [dict(U8, name=f"f{i}") for i in range(n)]
        layout = bitloom_bulk.compile(recipe)
        as_dict = rng.random() < 0.3
        values = {} if as_dict else []
        for i in range(n):
            action = rng.choice(actions)
            value = (
                changing(values, lambda v, a=action, r=recipe: a(v, r)) if rng.random() < 0.5 else i
            )
            if as_dict:
                values[f"f{i}"] = value
            else:
                values.append(value)
        try:
            if rng.random() < 0.5:
                packet = layout.pack(values)
                assert len(packet) == n
            else:
                layout.pack_into(bytearray(n + 1), rng.randrange(0, 9), values)
            outcomes.add("ok")
        except (ValueError, TypeError, KeyError) as exc:
            outcomes.add(type(exc).__name__)
    assert {"ok", "ValueError"} <= outcomes


LAYOUT = bitloom_bulk.compile([dict(U8, name="a")])


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: bitloom_bulk.unpack_columns(b"", [], 1),
            "unpack_columns() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda: bitloom_bulk.unpack_columns(b""),
            "unpack_columns() missing 1 required positional argument: 'recipe'",
        ),
        (
            lambda: bitloom_bulk.unpack_columns(),
            "unpack_columns() missing 2 required positional arguments: 'data' and 'recipe'",
        ),
        (
            lambda: bitloom_bulk.unpack_columns(b"", [], packet_size=1),
            "unpack_columns() got an unexpected keyword argument 'packet_size'",
        ),
        (
            lambda: bitloom_bulk.unpack_columns(b"", [], data=b""),
            "unpack_columns() got multiple values for argument 'data'",
        ),
        (
            lambda: bitloom_bulk._native.split_ccsds(b"", 0),
            "split_ccsds() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: bitloom_bulk._native.unpack_ccsds(b"", {}, 0),
            "unpack_ccsds() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda: LAYOUT.unpack(b"", 0, 1),
            "unpack() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (
            lambda: LAYOUT.pack_into(bytearray(1), 0),
            "pack_into() missing 1 required positional argument: 'values'",
        ),
        (
            lambda: LAYOUT.unpack(b"\x00", 1.5),
            "argument 'offset_bits': 'float' object cannot be interpreted as an integer",
        ),
        (
            lambda: LAYOUT.pack_into(bytearray(1), "0", [1]),
            "argument 'offset_bits': 'str' object cannot be interpreted as an integer",
        ),
        (
            lambda: bitloom_bulk._native.split_ccsds(b"", offset=1.0),
            "argument 'offset': 'float' object cannot be interpreted as an integer",
        ),
    ],
)
def test_arguments_are_matched_in_bitlooms_words(call, message):
    # The same matcher and texts as bitloom's functions (test_arguments.py).
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
