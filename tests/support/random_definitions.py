"""Random packet definitions and packets for the differential tests and the
fuzz target of Definitions.decode: trees up to four deep with every kind of
where, variable sizes, offsets from the end, arrays, records, permuted byte
orders, derived values, and packets some of which are too short."""

from __future__ import annotations

import random

import numpy as np

from bitloom_bulk import Definitions, PacketType, field
from tests.support import definitions_model as model

NUMBERS = [
    ("unsigned", (1, 40)),
    ("twos_complement", (2, 33)),
    ("ones_complement", (2, 20)),
    ("sign_magnitude", (2, 20)),
    ("packed_bcd", (4, 16)),
]
PERMUTATIONS = ["21", "12", "321", "3412", "2143", "4321", "2341", "78563412"]


def number(rng, name, **keys):
    encoding, (low, high) = rng.choice(NUMBERS)
    bits = rng.randint(low, high)
    if encoding == "packed_bcd":
        bits -= bits % 4
    item = field(name, encoding, bits, **keys)
    roll = rng.random()
    if roll < 0.15 and bits % 8 == 0:
        item["byte_order"] = "little"
    elif roll < 0.25:
        item["reverse_bits"] = True
    return item


def derive(rng, item):
    if item["encoding"] == "packed_bcd" or item["bits"] > 30:
        return item
    roll = rng.random()
    if roll < 0.15:
        item["enumeration"] = {v: f"s{v}" for v in range(0, 6)}
    elif roll < 0.3:
        item["polynomial"] = [rng.uniform(-5, 5) for _ in range(rng.randint(1, 3))]
    elif roll < 0.4 and item["encoding"] == "unsigned":
        item["spline"] = [[0, 0.0], [1, 1.5], [2 ** min(item["bits"], 12), 7.0]]
    elif roll < 0.45:
        item["boolean"] = True
    return item


def _item(rng, name, counters):
    roll = rng.random()
    if roll < 0.35:
        return derive(rng, number(rng, name))
    if roll < 0.45:
        order = rng.choice(PERMUTATIONS)
        return field(name, "unsigned", 8 * len(order), byte_order=order)
    if roll < 0.55:
        bits = rng.choice([8, 16, {"field": counters, "scale": 8}, {"rest": 16}])
        return field(name, "binary", bits)
    if roll < 0.6:
        if rng.random() < 0.3:
            # To a terminator byte: 0 or one the random bytes often hold.
            return field(name, "iso_8859_1", {"terminator": rng.choice([0, 7, 0x41])})
        return field(name, "us_ascii", {"field": counters, "scale": 8})
    if roll < 0.66:
        # Included on a condition on the header's fields.
        when = rng.choice(
            [{"n": rng.randint(0, 7)}, [("kind", rng.choice(list(model.OPS)), rng.randint(0, 7))]]
        )
        if rng.random() < 0.3:
            term = when if isinstance(when, dict) else {"all": when}
            when = {"any": [term, ("m", "==", rng.randint(0, 3))]}
        return derive(rng, number(rng, name, count={"when": when}))
    if roll < 0.72:
        count = rng.choice([3, {"field": counters}, {"field": counters, "scale": 2, "offset": -1}])
        element = number(rng, name, count=count)
        if rng.random() < 0.3:
            element["byte_order"] = rng.choice(["21", "2143"])
            element["bits"] = 8 * len(element["byte_order"])
            element["encoding"] = "unsigned"
            element["reverse_bits"] = False
        return derive(rng, element)
    if roll < 0.82:
        records = [field("r0", "unsigned", rng.randint(1, 12)), number(rng, "r1")]
        keys = {} if rng.random() < 0.5 else {"count": {"field": counters}}
        bits = {"rest": 16} if not keys else {"field": counters, "scale": 40}
        return field(name, "binary", bits, records=records, **keys)
    if roll < 0.9:
        return field(name, "unsigned", 12, offset_bits=-rng.randint(12, 40))
    return field(name, "binary", 48, time={"code": "cuc", "coarse_bytes": 4, "fine_bytes": 2})


def _where(rng, fields):
    name = rng.choice(fields)
    roll = rng.random()
    if roll < 0.3:
        return {name: rng.randint(0, 3)}
    if roll < 0.6:
        # Values around those the byte-wide fields hold too.
        value = rng.choice([rng.randint(0, 8), rng.randint(-200, 300)])
        return [(name, rng.choice(list(model.OPS)), value)]
    terms = [(rng.choice(fields), rng.choice(list(model.OPS)), rng.randint(0, 8)) for _ in range(2)]
    return {rng.choice(["any", "all"]): [terms[0], {"all": [terms[1]]}]}


def random_definitions(seed):
    rng = random.Random(seed)
    header = [
        field("kind", "unsigned", 3),
        field("n", "unsigned", 3),
        field("m", "unsigned", 2),
        field("code", "unsigned", 8),
        field("word", "twos_complement", 16),
    ]
    types = [PacketType("root", header, abstract=rng.random() < 0.5)]
    scalars = {"root": ["kind", "n", "m", "code", "word"]}
    depth = {"root": 0}
    counter = 0
    for t in range(rng.randint(1, 6)):
        parent = rng.choice([x.name for x in types if depth[x.name] < 3])
        items = []
        own = []
        for _ in range(rng.randint(0, 4)):
            counter += 1
            item = _item(rng, f"x{counter}", "n")
            items.append(item)
            if item["encoding"] != "binary" and "count" not in item:
                own.append(item["name"])
        name = f"t{t}"
        types.append(
            PacketType(
                name,
                items,
                parent=parent,
                where=_where(rng, scalars[parent]) if rng.random() < 0.8 else None,
                abstract=rng.random() < 0.2,
            )
        )
        scalars[name] = scalars[parent] + [
            n for n in own if not isinstance(next(i for i in items if i["name"] == n)["bits"], dict)
        ]
        depth[name] = depth[parent] + 1
    return Definitions(types)


def random_packets(seed, count):
    rng = np.random.default_rng(seed)
    sizes = rng.integers(1, 24, size=count)
    # Mostly long enough; some short enough to fault.
    sizes = np.where(rng.random(count) < 0.85, sizes + 40, sizes)
    data = rng.integers(0, 256, size=int(sizes.sum()), dtype=np.uint8)
    # Small counters mostly, so sizes and counts fit.
    offsets = np.zeros(count, dtype=np.int64)
    np.cumsum(sizes[:-1], out=offsets[1:])
    data[offsets] &= rng.choice([0x3F, 0xFF], size=count, p=[0.8, 0.2]).astype(np.uint8)
    return bytes(data), offsets, sizes.astype(np.int64)
