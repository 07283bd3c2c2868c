"""Recipes reused while a call is running, and what reused recipes keep alive."""

import gc
import sys
import threading
import tracemalloc
import weakref

import pytest

import bitloom
from tests.support.items import item
from tests.support.outcomes import outcome

pack = bitloom.pack_parameters
unpack = bitloom.unpack_parameters

# More recipes than any cache of plans could keep.
EVICTING = 300


def others():
    return [[item(f"o{i}", value=1)] for i in range(EVICTING)]


def fresh(recipe):
    return [dict(d) for d in recipe]


CHANGES = [
    ("reverse", lambda b: b.__setitem__("reverse_bits", True)),
    ("encoding", lambda b: b.__setitem__("encoding", "twos_complement")),
    ("offset", lambda b: b.__setitem__("offset_bits", 20)),
    ("bits", lambda b: b.__setitem__("bits", 4)),
    ("byte order", lambda b: b.__setitem__("byte_order", "bad")),
]


@pytest.mark.parametrize("evict", ["packs others", "unpacks others", "fresh recipes"])
@pytest.mark.parametrize("label,change", CHANGES, ids=[c[0] for c in CHANGES])
def test_a_plan_pushed_out_mid_call_is_not_used(evict, label, change):
    """A value's conversion pushes the recipe's plan out of the cache, then changes
    a later item: the rest of the call reads the item as it now is."""
    crowd = others()

    def make(run_hook):
        a, b = item("a", value=1), item("b", value=1)
        recipe = [a, b]

        class Hook:
            def __index__(self):
                if run_hook:
                    for o in crowd:
                        if evict == "packs others":
                            pack(o)
                        elif evict == "unpacks others":
                            unpack(b"\x00", 0, o)
                        else:
                            pack(fresh(o))
                    change(b)
                return 1

        return recipe, Hook

    recipe, hook = make(True)
    pack(recipe)
    pack(recipe)  # planned by now
    recipe[0]["value"] = hook()
    got = outcome(pack, recipe, catch=ValueError)

    expected_recipe, expected_hook = make(True)
    expected_recipe[0]["value"] = expected_hook()
    expected_recipe[0][0] = 0  # a key that is not a str: never planned
    assert got == outcome(pack, expected_recipe, catch=ValueError)


def test_a_plan_pushed_out_by_another_thread_is_not_used():
    crowd = others()
    a, b = item("a", value=1), item("b", value=1)
    recipe = [a, b]
    entered, done = threading.Event(), threading.Event()

    class Slow:
        def __float__(self):
            entered.set()
            assert done.wait(10)
            return 1.0

    def other():
        assert entered.wait(10)
        for o in crowd:
            pack(o)
        b["reverse_bits"] = True
        done.set()

    a["encoding"] = "ieee754_f32"
    a["bits"] = 32
    pack(recipe)
    pack(recipe)
    a["value"] = Slow()
    t = threading.Thread(target=other)
    t.start()
    got = pack(recipe)
    t.join()
    a["value"] = 1.0
    assert got == pack(fresh(recipe))
    assert got[-1:] == b"\x80"


@pytest.mark.skipif(
    sys.implementation.name != "cpython", reason="reference cycles through C-held objects"
)
def test_plans_keep_no_cycle_alive():
    """An item whose name (a str subclass) refers back to its dict is collected
    once the recipe is dropped, even right after being packed and unpacked."""

    class Name(str):
        pass

    class Marker:
        pass

    def build():
        name = Name("n")
        d = item(name, value=1)
        name.back = d  # cycle: dict -> name -> dict
        marker = Marker()
        d["marker"] = marker
        recipe = [d]
        for _ in range(3):
            pack(recipe)
            unpack(b"\x00", 0, recipe)
        return weakref.ref(marker)

    ref = build()
    gc.collect()
    assert ref() is None


def test_a_dead_recipe_is_not_kept():
    """A recipe item with one large ignored key is freed with the recipe."""
    big = 8 * 1024 * 1024

    def use():
        key = "k" * big
        recipe = [item("a", value=1, **{key: 0})]
        for _ in range(3):
            pack(recipe)
            unpack(b"\x00", 0, recipe)

    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        use()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < big // 4


class BadRepr(str):
    def __repr__(self):
        raise RuntimeError("no repr")


class OddRepr(str):
    def __repr__(self):
        return 42


@pytest.mark.parametrize("name_type", [BadRepr, OddRepr])
@pytest.mark.parametrize(
    "verb,call",
    [
        ("packing", lambda r: pack(r)),
        ("unpacking", lambda r: unpack(b"\x00", 0, r)),
    ],
)
def test_the_note_names_the_index_when_the_name_has_no_repr(name_type, verb, call):
    recipe = [item(name_type("x"), bits=8, value=1, encoding="nope")]
    with pytest.raises(ValueError) as info:
        call(recipe)
    assert str(info.value) == "ValueError: Unsupported encoding type: nope"
    assert info.value.__notes__ == [f"while {verb} recipe item 0"]


class Interrupting(Exception):
    def __init__(self, raised):
        super().__init__()
        self.raised = raised

    def __str__(self):
        raise self.raised


class Bad:
    def __init__(self, raised):
        self.raised = raised

    def __index__(self):
        raise Interrupting(self.raised)


@pytest.mark.parametrize("raised", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
@pytest.mark.parametrize(
    "call",
    [
        lambda r: pack(r),
        lambda r: unpack(b"\x00", 0, [{**r[0], "bits": Bad(r[0]["value"].raised)}]),
    ],
)
def test_an_interrupt_while_describing_a_failure_propagates(raised, call):
    recipe = [item("x", value=Bad(raised))]
    with pytest.raises(type(raised)) as info:
        call(recipe)
    assert info.value is raised


def test_an_ordinary_failure_to_describe_keeps_its_placeholder():
    recipe = [item("x", value=Bad(RuntimeError("no str")))]
    with pytest.raises(ValueError) as info:
        pack(recipe)
    assert str(info.value) == "Interrupting: <exception str() failed>"
