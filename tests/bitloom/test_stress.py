"""Eight threads pack and unpack shared recipes while another thread keeps
changing them.

Every item flips between two variants (different widths, offsets, encodings,
byte orders, bit reversal and values). A call reads each item when its turn
comes, so every result must be that of some combination of the variants: for
unpacking exactly the result of one combination; for packing the packet of one
combination, cut or zero-extended to the length that the sizing pass found for
a possibly different combination. Values with an __index__ method run Python
code inside the calls, so with a tiny switch interval the mutator really does
run in the middle of them (and compiled recipe plans really are invalidated).

BITLOOM_STRESS_SECONDS sets how long the threads run (default 1.5).
"""

import itertools
import os
import random
import sys
import threading
import time

import bitloom as bl
from tests.support.items import item
from tests.support.numbers import Index
from tests.support.outcomes import outcome

SECONDS = float(os.environ.get("BITLOOM_STRESS_SECONDS", "1.5"))
WORKERS = 8


# Both variants of an item carry the same keys, so an update replaces them all.
VARIANTS = [
    (
        item("a", "unsigned", 12, 0xABC),
        item("a", "twos_complement", 20, Index(-12345), "little", True),
    ),
    (
        item("b", "packed_bcd_signed", 16, Index(-123), offset_bits=40),
        item("b", "ieee754_f16", 16, 1.5, "little", offset_bits=24),
    ),
    (item("c", "utf16le", 32, "Hé", "little"), item("c", "windows_1252", 24, "€uX")),
    (
        item("d", "unpacked_bcd", 24, Index(907), offset_bits=100),
        item("d", "sign_magnitude", 9, Index(-200), "big", True, offset_bits=7),
    ),
]
assert all(a.keys() == b.keys() for a, b in VARIANTS)

COMBOS = list(itertools.product(range(2), repeat=len(VARIANTS)))


def recipe_of(combo):
    return [dict(VARIANTS[i][c]) for i, c in enumerate(combo)]


def fit(packet, length):
    return packet[:length] + bytes(max(0, length - len(packet)))


PACKS = {combo: bl.pack_parameters(recipe_of(combo)) for combo in COMBOS}
VALID_PACKETS = {fit(PACKS[t], len(PACKS[s])) for s in COMBOS for t in COMBOS}
PACKET = bytes(range(7, 7 + 2 * 40, 2))
VALID_UNPACKS = [
    outcome(bl.unpack_parameters, PACKET, 0, recipe_of(combo), catch=BaseException, notes=False)
    for combo in COMBOS
]


def test_shared_recipes_under_mutation():
    recipe = recipe_of((0,) * len(VARIANTS))
    tuple_recipe = tuple(recipe)  # the same dicts, as another sequence type
    stop = threading.Event()
    failures = []
    counts = [0] * WORKERS

    def worker(k):
        rng = random.Random(k)
        try:
            while not stop.is_set():
                shared = recipe if rng.random() < 0.5 else tuple_recipe
                if rng.random() < 0.5:
                    got = outcome(bl.pack_parameters, shared, catch=BaseException, notes=False)
                    if got[0] != "ok" or got[1] not in VALID_PACKETS:
                        failures.append(("pack", got))
                else:
                    got = outcome(
                        bl.unpack_parameters, PACKET, 0, shared, catch=BaseException, notes=False
                    )
                    if got not in VALID_UNPACKS:
                        failures.append(("unpack", got))
                counts[k] += 1
        except BaseException as exc:
            failures.append(("worker", repr(exc)))

    def mutator():
        rng = random.Random(99)
        flips = 0
        while not stop.is_set():
            i = rng.randrange(len(VARIANTS))
            recipe[i].update(VARIANTS[i][rng.randrange(2)])
            flips += 1
            if flips % 64 == 0:
                time.sleep(0)
        return flips

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    threads = [threading.Thread(target=worker, args=(k,)) for k in range(WORKERS)]
    threads.append(threading.Thread(target=mutator))
    try:
        for t in threads:
            t.start()
        time.sleep(SECONDS)
    finally:
        stop.set()
        for t in threads:
            t.join(30)
        sys.setswitchinterval(old_interval)
    assert not any(t.is_alive() for t in threads)
    assert failures == []
    assert all(c > 0 for c in counts), counts
    # The dicts still hold one of their variants, key for key.
    for i, entry in enumerate(recipe):
        assert entry in (VARIANTS[i][0], VARIANTS[i][1])


def test_mutation_from_inside_a_conversion():
    """A value's __index__ rewrites the recipe while the call is reading it."""
    recipe = recipe_of((0,) * len(VARIANTS))

    class Rewriting:
        def __init__(self):
            self.flip = 0

        def __index__(self):
            self.flip ^= 1
            for i, entry in enumerate(recipe):
                entry.update(VARIANTS[i][self.flip])
            recipe[0]["value"] = self  # keep this object in play
            return 5

    rewriting = Rewriting()
    recipe[0]["value"] = rewriting
    for _ in range(200):
        got = outcome(bl.pack_parameters, recipe, catch=BaseException, notes=False)
        assert got[0] == "ok", got
        assert len(got[1]) in {len(p) for p in PACKS.values()}
        got = outcome(bl.unpack_parameters, PACKET, 0, recipe, catch=BaseException, notes=False)
        assert got[0] == "ok" or got[1].__name__ in ("ValueError", "PanicException"), got
