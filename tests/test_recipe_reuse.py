"""A recipe reused across calls is read as if afresh every time, whatever changes."""

import gc
import sys
import threading

import pytest
from recipes import item

import bitloom

pack = bitloom.pack_parameters
unpack = bitloom.unpack_parameters


def fresh(recipe):
    """The same recipe as new objects: no state from earlier calls can apply."""
    return [dict(d) for d in recipe]


def both(recipe, packet=None):
    packed = pack(recipe) if packet is None else None
    data = packed if packet is None else packet
    return packed, unpack(data, 0, recipe)


def assert_same_as_fresh(recipe, packet=None):
    for _ in range(3):  # first use, then reuse
        assert both(recipe, packet) == both(fresh(recipe), packet)


MUTATIONS = [
    ("value", lambda r: r[1].__setitem__("value", 9)),
    ("bits", lambda r: r[1].__setitem__("bits", 5)),
    ("name", lambda r: r[0].__setitem__("name", "renamed")),
    ("duplicate name", lambda r: r[2].__setitem__("name", "a")),
    ("encoding", lambda r: r[1].__setitem__("encoding", "twos_complement")),
    ("encoding case", lambda r: r[1].__setitem__("encoding", "UNSIGNED")),
    ("byte order", lambda r: r[2].__setitem__("byte_order", "little")),
    ("reverse", lambda r: r[0].__setitem__("reverse_bits", True)),
    ("offset added", lambda r: r[2].__setitem__("offset_bits", 3)),
    ("offset removed", lambda r: r[1].pop("offset_bits")),
    ("extra key", lambda r: r[1].__setitem__("unit", "V")),
    ("item replaced", lambda r: r.__setitem__(1, item("z", bits=4, value=3))),
    ("list grown", lambda r: r.append(item("w", bits=6, value=7))),
    ("list shrunk", lambda r: r.pop()),
    ("items reordered", lambda r: r.reverse()),
    (
        "dict cleared and refilled",
        lambda r: (lambda d: (d.clear(), d.update(item("q", bits=2, value=1))))(r[0]),
    ),
    ("dict updated", lambda r: r[2].update({"bits": 9, "value": 300})),
]


def base_recipe():
    return [
        item("a", bits=3, value=5),
        item("b", bits=7, value=30, offset_bits=8),
        item("c", bits=12, value=0xABC),
    ]


@pytest.mark.parametrize("label, mutate", MUTATIONS, ids=[m[0] for m in MUTATIONS])
def test_changes_between_calls_are_seen(label, mutate):
    recipe = base_recipe()
    assert_same_as_fresh(recipe)
    mutate(recipe)
    assert_same_as_fresh(recipe)


@pytest.mark.parametrize(
    "bad, message",
    [
        (lambda r: r[1].pop("bits"), "KeyError: \"Recipe missing required field: 'bits'\""),
        (
            lambda r: r[1].__setitem__("encoding", "nope"),
            "ValueError: Unsupported encoding type: nope",
        ),
        (
            lambda r: r[1].__setitem__("byte_order", "middle"),
            "ValueError: Invalid byte_order 'middle': must be 'big' or 'little'",
        ),
        (
            lambda r: r[1].pop("value"),
            "KeyError: \"Recipe item 'b' missing required field: 'value'\"",
        ),
        (
            lambda r: r[1].__setitem__("value", 1000),
            "ValueError: Value 1000 is too large for 7 bits",
        ),
        (
            lambda r: r[1].__setitem__("reverse_bits", 1),
            "TypeError: 'int' object cannot be cast as 'bool'",
        ),
    ],
)
def test_recipes_broken_after_reuse_fail_as_on_first_use(bad, message):
    recipe = base_recipe()
    pack(recipe)
    pack(recipe)
    bad(recipe)
    with pytest.raises(ValueError) as info:
        pack(recipe)
    assert str(info.value) == message


def test_deleted_dicts_and_reused_memory():
    results = []
    for round_ in range(50):
        recipe = [item("a", bits=8, value=round_ % 256), item("b", bits=round_ % 9 + 1, value=1)]
        packet = pack(recipe)
        results.append((packet, unpack(packet, 0, recipe)))
        del recipe
        gc.collect()
    for round_, (packet, got) in enumerate(results):
        recipe = [item("a", bits=8, value=round_ % 256), item("b", bits=round_ % 9 + 1, value=1)]
        assert (pack(recipe), unpack(packet, 0, recipe)) == (packet, got)


def test_index_that_changes_later_items_during_pack():
    recipe = base_recipe()
    pack(recipe)

    class Sneaky:
        def __index__(self):
            recipe[2]["bits"] = 4
            recipe[2]["value"] = 0xF
            recipe[2]["name"] = "changed"
            return 5

    recipe[0]["value"] = Sneaky()
    # Sized before the change (c: 12 bits from bit 15, 4 bytes); c is then
    # placed as changed: 4 bits of 0xF from bit 15.
    assert pack(recipe) == bytes.fromhex("a03de000")


def test_index_that_breaks_a_later_item_during_pack():
    recipe = base_recipe()
    pack(recipe)

    class Breaker:
        def __index__(self):
            del recipe[2]["encoding"]
            return 1

    recipe[0]["value"] = Breaker()
    with pytest.raises(ValueError, match="missing required field: 'encoding'"):
        pack(recipe)


def test_unpack_sees_changes_between_calls_with_same_packet():
    packet = bytes(range(1, 9))
    recipe = [{k: v for k, v in d.items() if k != "value"} for d in base_recipe()]
    assert_same_as_fresh(recipe, packet)
    recipe[0]["bits"] = 16
    recipe[1]["encoding"] = "utf8"
    recipe[1]["bits"] = 8
    assert_same_as_fresh(recipe, packet)


class Attrs:
    """Recipe items kept as an object's attributes; its __dict__ is the item."""

    def __init__(self, **fields):
        self.__dict__.update(fields)


@pytest.mark.parametrize("attr, new", [("bits", 16), ("byte_order", "little"), ("name", "g")])
def test_attribute_dicts_are_seen_changing(attr, new):
    # An instance __dict__ may keep its values apart from its keys; attribute
    # stores then bypass the dict's own update path.
    obj = Attrs(**item("f", bits=12, value=0xABC))
    recipe = [vars(obj)]
    assert_same_as_fresh(recipe)
    setattr(obj, attr, new)
    assert_same_as_fresh(recipe)
    assert_same_as_fresh(recipe, b"\x12\x34")


def test_dict_subclass_items_are_seen_changing():
    class D(dict):
        pass

    recipe = [D(item("a", bits=8, value=1))]
    assert pack(recipe) == b"\x01"
    recipe[0]["bits"] = 4
    assert pack(recipe) == b"\x10"


def test_values_with_index_are_called_on_every_call():
    calls = []

    class Counting:
        def __index__(self):
            calls.append(1)
            return 3

    recipe = [item("a", bits=8, value=Counting())]
    for _ in range(3):
        assert pack(recipe) == b"\x03"
    assert len(calls) == 3


def test_threads_mutating_shared_recipes():
    recipe = [item(f"f{i}", bits=8, value=i) for i in range(16)]
    stop = threading.Event()
    errors = []

    def mutator():
        n = 0
        while not stop.is_set():
            d = recipe[n % 16]
            d["bits"] = 8 if d["bits"] == 4 else 4
            d["value"] = n % 16
            n += 1

    def worker():
        try:
            for _ in range(2000):
                packet = pack(recipe)
                got = unpack(packet + bytes(16), 0, recipe)
                # Every result is consistent with some widths: 4..8 bits per field.
                assert 8 <= len(packet) <= 16
                assert set(got) == {f"f{i}" for i in range(16)}
                assert all(0 <= v < 256 for v in got.values())
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker) for _ in range(4)]
        m = threading.Thread(target=mutator)
        m.start()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        stop.set()
        m.join()
    finally:
        sys.setswitchinterval(old)
    assert not errors, errors[0]
