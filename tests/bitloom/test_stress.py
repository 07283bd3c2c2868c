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
from tests.support.items import Index

SECONDS = float(os.environ.get("BITLOOM_STRESS_SECONDS", "1.5"))
WORKERS = 8


def variant(name, encoding, bits, value, order="big", reverse=False, offset=None):
    item = {
        "name": name,
        "encoding": encoding,
        "bits": bits,
        "byte_order": order,
        "reverse_bits": reverse,
        "value": value,
    }
    if offset is not None:
        item["offset_bits"] = offset
    return item


# Both variants of an item carry the same keys, so an update replaces them all.
VARIANTS = [
    (
        variant("a", "unsigned", 12, 0xABC),
        variant("a", "twos_complement", 20, Index(-12345), "little", True),
    ),
    (
        variant("b", "packed_bcd_signed", 16, Index(-123), offset=40),
        variant("b", "ieee754_f16", 16, 1.5, "little", offset=24),
    ),
    (variant("c", "utf16le", 32, "Hé", "little"), variant("c", "windows_1252", 24, "€uX")),
    (
        variant("d", "unpacked_bcd", 24, Index(907), offset=100),
        variant("d", "sign_magnitude", 9, Index(-200), "big", True, offset=7),
    ),
]
assert all(a.keys() == b.keys() for a, b in VARIANTS)

COMBOS = list(itertools.product(range(2), repeat=len(VARIANTS)))


def recipe_of(combo):
    return [dict(VARIANTS[i][c]) for i, c in enumerate(combo)]


def outcome(call):
    try:
        return ("ok", call())
    except BaseException as exc:
        return (type(exc).__name__, str(exc))


def fit(packet, length):
    return packet[:length] + bytes(max(0, length - len(packet)))


PACKS = {combo: bl.pack_parameters(recipe_of(combo)) for combo in COMBOS}
VALID_PACKETS = {fit(PACKS[t], len(PACKS[s])) for s in COMBOS for t in COMBOS}
PACKET = bytes(range(7, 7 + 2 * 40, 2))
VALID_UNPACKS = [
    outcome(lambda c=combo: bl.unpack_parameters(PACKET, 0, recipe_of(c))) for combo in COMBOS
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
                    got = outcome(lambda s=shared: bl.pack_parameters(s))
                    if got[0] != "ok" or got[1] not in VALID_PACKETS:
                        failures.append(("pack", got))
                else:
                    got = outcome(lambda s=shared: bl.unpack_parameters(PACKET, 0, s))
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
    for i, item in enumerate(recipe):
        assert item in (VARIANTS[i][0], VARIANTS[i][1])


def test_mutation_from_inside_a_conversion():
    """A value's __index__ rewrites the recipe while the call is reading it."""
    recipe = recipe_of((0,) * len(VARIANTS))

    class Rewriting:
        def __init__(self):
            self.flip = 0

        def __index__(self):
            self.flip ^= 1
            for i, item in enumerate(recipe):
                item.update(VARIANTS[i][self.flip])
            recipe[0]["value"] = self  # keep this object in play
            return 5

    rewriting = Rewriting()
    recipe[0]["value"] = rewriting
    for _ in range(200):
        got = outcome(lambda: bl.pack_parameters(recipe))
        assert got[0] == "ok", got
        assert len(got[1]) in {len(p) for p in PACKS.values()}
        got = outcome(lambda: bl.unpack_parameters(PACKET, 0, recipe))
        assert got[0] in ("ok", "ValueError", "PanicException"), got
