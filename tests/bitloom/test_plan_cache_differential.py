"""Reused recipes against recipes read afresh: three readings of every call.

Each call of a random recipe runs three ways and the outcomes must agree:

* reused: the same list and item dicts across calls, so a cached plan applies;
* never plannable: a copy whose every item has one extra int key (0: 0), which
  keeps it off the plan path;
* fresh: a plain copy made for this call.

Outcomes are compared exactly: bytes, result dicts (key order and types, floats
by their bits), exception type, text and notes, and the log of every hook that
ran. Between calls the reused recipe is changed at random (every dict method,
items replaced, the list changed, str subclass keys, int and str subclass
values, items freed and reallocated, dict subclasses). During a call, values
whose __index__ / __float__ run code change the recipe, re-enter the packet
functions, pack more recipes than the cache holds, collect garbage, or wait
while another thread changes the recipe. Each copy carries its own hooks bound
to its own objects, so all three readings see the same events at the same point.

BITLOOM_PLAN_DIFF_SECONDS bounds the run (default 6 s); BITLOOM_PLAN_DIFF_SEED
picks the first seed; BITLOOM_PLAN_DIFF_EVICT the number of other recipes a
hook packs to push a plan out of the cache (default 70).
"""

import gc
import os
import random
import struct
import threading
import time

import pytest

import bitloom
from tests.support.items import KEYS, PACK_ENCODINGS, UNPACK_ONLY
from tests.support.outcomes import outcome

SECONDS = float(os.environ.get("BITLOOM_PLAN_DIFF_SECONDS", "6"))
FIRST_SEED = int(os.environ.get("BITLOOM_PLAN_DIFF_SEED", "0"))
EVICT = int(os.environ.get("BITLOOM_PLAN_DIFF_EVICT", "70"))
CALLS_PER_CASE = 12

ENCODINGS = PACK_ENCODINGS + UNPACK_ONLY
TEXT = {e for e in PACK_ENCODINGS if e.startswith(("utf", "us_", "iso", "latin", "windows"))}
FLOATS = {"ieee754_f16", "ieee754_f32", "ieee754_f64"}
WIDTHS = [0, 1, 3, 4, 7, 8, 9, 12, 16, 17, 24, 31, 32, 33, 48, 63, 64, 65, 72, 128, 129]


class StrSub(str):
    pass


class IntSub(int):
    pass


class DictSub(dict):
    pass


# ---- random recipes --------------------------------------------------------------


def nan_with_payload(rng):
    bits = 0x7FF0000000000000 | rng.randrange(1, 1 << 52) | (rng.randrange(2) << 63)
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def random_value(rng, encoding):
    roll = rng.random()
    if roll < 0.05:
        return rng.choice([None, b"x", [1], 2**64, -1, "text", 1.5])
    if encoding in TEXT:
        text = rng.choice(
            ["", "A", "ab", "\xe9t\xe9", "\u20ac", "\U0001f600", "abcdefgh", "\ud800"]
        )
        return StrSub(text) if rng.random() < 0.2 else text
    if encoding in FLOATS:
        return rng.choice(
            [0.0, -0.0, 1.5, -2.25, 65504.0, 1e300, float("inf"), nan_with_payload(rng), 3]
        )
    value = rng.choice([0, 1, 5, 9, 99, 255, 256, 1234, -1, -7, 2**63 - 1, -(2**63), 2**64 - 1])
    return IntSub(value) if rng.random() < 0.15 else value


def random_text(rng, choices, bad):
    value = rng.choice(choices)
    roll = rng.random()
    if roll < 0.3:
        value = value.upper() if rng.random() < 0.5 else value.title()
    if rng.random() < 0.1:
        value = StrSub(value)
    if rng.random() < 0.04:
        value = rng.choice(bad)
    return value


def random_item_spec(rng, index):
    """The keys of one random item as plain data (may lack keys or hold bad ones)."""
    encoding = random_text(rng, ENCODINGS, ["utf-8", "float32", 7, None, ""])
    plain = encoding.lower() if isinstance(encoding, str) else "unsigned"
    shape = {
        "name": random_text(rng, [f"p{index}", "p0", "x", "\xfcber"], [3, None]),
        "encoding": encoding,
        "bits": rng.choice(WIDTHS) if rng.random() > 0.05 else rng.choice([-1, 2**32, "8", None]),
        "byte_order": random_text(rng, ["big", "little"], ["middle", "Big-Endian", 1]),
        "reverse_bits": rng.random() < 0.3 if rng.random() > 0.04 else rng.choice([0, 1, None]),
        "value": random_value(rng, plain),
    }
    if isinstance(shape["bits"], int) and rng.random() < 0.05:
        shape["bits"] = IntSub(shape["bits"])
    if rng.random() < 0.3:
        shape["offset_bits"] = rng.choice([0, 1, 5, 8, 13, 40, 64, 100])
    if rng.random() < 0.06:
        shape.pop(rng.choice(KEYS), None)
    if rng.random() < 0.1:
        shape["unit"] = "V"
    keys = list(shape)
    if rng.random() < 0.2:
        rng.shuffle(keys)
    return {k: shape[k] for k in keys}


def make_item(rng, shape):
    roll = rng.random()
    if roll < 0.02:
        return rng.choice([None, 5, ["name"], "item"])
    return DictSub(shape) if roll < 0.1 else dict(shape)


# ---- hooks: values that run code in the middle of a call -------------------------


class World:
    """The objects one reading works on: its recipe list and the recipes it evicts with."""

    def __init__(self, recipe, log):
        self.recipe = recipe
        self.log = log
        self.busy = False
        self.others = [
            [
                {
                    "name": f"o{k}",
                    "encoding": "unsigned",
                    "bits": 8,
                    "byte_order": "big",
                    "reverse_bits": False,
                    "value": k % 256,
                }
            ]
            for k in range(EVICT)
        ]


def reading(call):
    """The outcome of a call (any exception but an interrupt); a dict's keys
    compared with their types, its floats by their bits."""
    got = outcome(call, catch=BaseException)
    if got[0] == "error":
        return got
    result = got[1]
    if isinstance(result, dict):
        return ("dict", [(type(k), k, describe(v)) for k, v in result.items()])
    return ("bytes", type(result), result)


def describe(value):
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    return (type(value), value)


def apply_action(world, action):
    """One change made by a hook (or its helper thread) to its own world."""
    kind = action[0]
    recipe = world.recipe
    if kind == "set":
        _, j, key, value = action
        if j < len(recipe) and isinstance(recipe[j], dict):
            recipe[j][key] = value
    elif kind == "del":
        _, j, key = action
        if j < len(recipe) and isinstance(recipe[j], dict):
            recipe[j].pop(key, None)
    elif kind == "replace":
        _, j, shape = action
        if j < len(recipe):
            recipe[j] = dict(shape)
    elif kind == "append":
        recipe.append(dict(action[1]))
    elif kind == "pop":
        if recipe:
            recipe.pop()
    elif kind == "reverse":
        recipe.reverse()
    elif kind == "evict":
        for other in world.others:
            bitloom.pack_parameters(other)
    elif kind == "fresh_evict":
        for k in range(EVICT):
            bitloom.pack_parameters(
                [
                    {
                        "name": "t",
                        "encoding": "unsigned",
                        "bits": 4,
                        "byte_order": "big",
                        "reverse_bits": False,
                        "value": k % 16,
                    }
                ]
            )
    elif kind == "gc":
        gc.collect()
    elif kind == "reenter_pack":
        world.log.append(("nested pack", reading(lambda: bitloom.pack_parameters(recipe))))
    elif kind == "reenter_unpack":
        packet = bytes(range(1, 60))
        world.log.append(
            ("nested unpack", reading(lambda: bitloom.unpack_parameters(packet, 3, recipe)))
        )
    elif kind == "thread":
        done = threading.Event()

        def other():
            for sub in action[1]:
                apply_action(world, sub)
            done.set()

        thread = threading.Thread(target=other)
        thread.start()
        done.wait()
        thread.join()


class Hook:
    """A numeric value whose conversion runs its actions on its own world."""

    def __init__(self, tag, result, actions, world=None):
        self.tag, self.result, self.actions, self.world = tag, result, actions, world

    def bound(self, world):
        return Hook(self.tag, self.result, self.actions, world)

    def _run(self, how):
        world = self.world
        world.log.append((self.tag, how))
        if world.busy:  # a nested call meets this hook again: no second round
            return self.result
        world.busy = True
        try:
            for action in self.actions:
                apply_action(world, action)
        finally:
            world.busy = False
        return self.result

    def __index__(self):
        return int(self._run("index"))

    def __float__(self):
        return float(self._run("float"))


def random_action(rng, size, index):
    roll = rng.random()
    j = rng.randrange(max(size, 1) + 1)
    if roll < 0.35:
        key = rng.choice([*KEYS, "unit"])
        new = random_item_spec(rng, j).get(key, rng.choice([1, "big", True]))
        return ("set", j, key, new)
    if roll < 0.42:
        return ("del", j, rng.choice(KEYS))
    if roll < 0.5:
        return ("replace", j, random_item_spec(rng, j))
    if roll < 0.55:
        return ("append", random_item_spec(rng, index))
    if roll < 0.58:
        return (rng.choice(["pop", "reverse"]),)
    if roll < 0.72:
        return (rng.choice(["evict", "evict", "fresh_evict"]),)
    if roll < 0.78:
        return ("gc",)
    if roll < 0.88:
        return (rng.choice(["reenter_pack", "reenter_unpack"]),)
    return ("thread", [random_action(rng, size, index) for _ in range(rng.randint(1, 2))])


def random_hook(rng, size, tag, world):
    actions = [random_action(rng, size, tag) for _ in range(rng.randint(1, 3))]
    if rng.random() < 0.5 and actions[0][0] not in ("evict", "fresh_evict"):
        actions.insert(0, ("evict",))  # push the running call's plan out first
    return Hook(tag, rng.choice([0, 1, 3, 200]), actions, world)


# ---- copies -------------------------------------------------------------------


def copy_recipe(recipe, world, extra_key):
    """The recipe as new objects (shared items stay shared), hooks bound to `world`."""
    memo = {}
    out = []
    for obj in recipe:
        if isinstance(obj, dict):
            if id(obj) not in memo:
                new = DictSub() if type(obj) is DictSub else {}
                for k, v in obj.items():
                    new[k] = v.bound(world) if isinstance(v, Hook) else v
                if extra_key:
                    new[0] = 0
                memo[id(obj)] = new
            out.append(memo[id(obj)])
        else:
            out.append(obj)
    return out


# ---- changes between calls ------------------------------------------------------


def mutate_between(rng, recipe, world, counter):
    dicts = [i for i, d in enumerate(recipe) if isinstance(d, dict)]
    roll = rng.random()
    if not dicts or roll < 0.12:
        op = rng.choice(["append", "pop", "reverse", "replace", "insert"])
        if op == "append" or not recipe:
            recipe.append(make_item(rng, random_item_spec(rng, len(recipe))))
        elif op == "pop":
            recipe.pop(rng.randrange(len(recipe)))
        elif op == "reverse":
            recipe.reverse()
        elif op == "insert":
            recipe.insert(rng.randrange(len(recipe) + 1), make_item(rng, random_item_spec(rng, 9)))
        else:
            recipe[rng.randrange(len(recipe))] = make_item(rng, random_item_spec(rng, 3))
        return
    j = rng.choice(dicts)
    d = recipe[j]
    shape = random_item_spec(rng, j)
    key = rng.choice(KEYS)
    new = shape.get(key, 8)
    op = rng.randrange(16)
    if op == 0:
        d[key] = new
    elif op == 1:
        d.update({key: new, "value": shape.get("value", 1)})
    elif op == 2:
        d.pop(key, None)
    elif op == 3 and d:
        d.popitem()
    elif op == 4:
        d.clear()
        d.update(shape)
    elif op == 5:
        d.setdefault(key, new)
    elif op == 6 and key in d:
        del d[key]
    elif op == 7:
        d |= {key: new}
    elif op == 8 and key in d:
        # A str subclass key equal to the recipe key takes the plain key's place.
        value = d.pop(key)
        d[StrSub(key)] = value
    elif op == 9:
        # The dict freed, a new one with the same contents made: it may land
        # at the same address.
        contents = list(d.items())
        recipe[j] = None
        del d
        gc.collect()
        recipe[j] = dict(contents)
    elif op == 10:
        recipe[j] = DictSub(d) if type(d) is dict else dict(d)
    elif op == 11:
        counter[0] += 1
        d["value"] = random_hook(rng, len(recipe), counter[0], world)
    elif op == 12:
        counter[0] += 1
        hook = random_hook(rng, len(recipe), counter[0], world)
        d["value" if rng.random() < 0.7 else rng.choice(["bits", "offset_bits"])] = hook
    elif op == 13 and len(dicts) > 1:
        recipe[j] = recipe[rng.choice(dicts)]  # one dict met twice
    elif op == 14:
        d["value"] = random_value(rng, str(d.get("encoding", "unsigned")).lower())
    else:
        # Same contents, new objects in place: equal ints and texts, not identical.
        for k in list(d):
            v = d[k]
            if type(v) is int:
                d[k] = int(str(v))
            elif type(v) is str:
                d[k] = "".join(list(v))


# ---- the property --------------------------------------------------------------


def run_case(seed):
    rng = random.Random(seed)
    log = []
    recipe = [make_item(rng, random_item_spec(rng, i)) for i in range(rng.randint(1, 6))]
    world = World(recipe, log)
    counter = [0]
    if rng.random() < 0.7:
        counter[0] += 1
        target = rng.choice([d for d in recipe if isinstance(d, dict)] or [None])
        if target is not None:
            target["value"] = random_hook(rng, len(recipe), counter[0], world)
    history = []
    for step in range(CALLS_PER_CASE):
        if step and rng.random() < 0.6:
            mutate_between(rng, recipe, world, counter)
            history.append(("changed", len(recipe)))
        unpacking = rng.random() < 0.35
        packet = bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 3, 8, 20, 40])))
        base = rng.choice([0, 0, 3, 8])
        # Both copies are made before any reading runs, from the recipe as it
        # is when the call starts; each reading's hooks then change only its own.
        logs = {how: [] for how in ("reused", "never", "fresh")}
        targets = {"reused": recipe}
        for how in ("never", "fresh"):
            other = World(None, logs[how])
            other.recipe = copy_recipe(recipe, other, extra_key=how == "never")
            targets[how] = other.recipe
        world.log = logs["reused"]
        order = list(targets)
        rng.shuffle(order)
        readings = {}
        for how in order:
            target = targets[how]
            if unpacking:
                got = reading(lambda t=target, p=packet, b=base: bitloom.unpack_parameters(p, b, t))
            else:
                got = reading(lambda t=target: bitloom.pack_parameters(t))
            readings[how] = (got, logs[how])
        history.append(("unpack" if unpacking else "pack", readings["never"][0]))
        ok = readings["reused"] == readings["never"] == readings["fresh"]
        if not ok:
            return step, readings, history
    return None


def test_reused_recipes_read_as_fresh_ones():
    deadline = time.monotonic() + SECONDS
    seed = FIRST_SEED
    cases = 0
    while True:
        found = run_case(seed)
        cases += 1
        if found is not None:
            pytest.fail(
                f"seed {seed} (BITLOOM_PLAN_DIFF_SEED={seed}), call {found[0]}: readings differ\n"
                + "\n".join(f"  {how}: {value!r}" for how, value in found[1].items())
            )
        seed += 1
        if time.monotonic() >= deadline:
            break
    assert cases > 0
