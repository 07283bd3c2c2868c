"""Random recipes and packets for the bulk tests."""

import typing

from bitloom_bulk import _types

INTEGER = list(typing.get_args(_types.IntegerEncoding))
FLOAT = list(typing.get_args(_types.FloatEncoding))
TEXT = list(typing.get_args(_types.TextEncoding))
UNPACK_ONLY = list(typing.get_args(_types.UnpackOnlyEncoding))


CLEAN_INTEGER = ["unsigned", "twos_complement", "ones_complement", "sign_magnitude"]


def random_item(rng, name, for_pack=False, clean=False):
    """An item; `clean` ones decode from any bytes (no BCD, no strict text)."""
    kind = rng.random()
    if clean and kind >= 0.7:
        encoding = rng.choice(["iso_8859_1", "latin1", "us_ascii"])
        bits = rng.choice([0, 8, 16, 24, 13])
    elif kind < 0.45:
        encoding = rng.choice(CLEAN_INTEGER if clean else INTEGER)
        bits = rng.choice([0, 1, 3, 7, 8, 9, 12, 15, 16, 17, 24, 31, 32, 33, 48, 63, 64, 65, 70])
    elif kind < 0.7:
        encoding = rng.choice(FLOAT)
        natural = {"ieee754_f16": 16, "ieee754_f32": 32, "ieee754_f64": 64}[encoding]
        bits = natural if rng.random() < 0.8 else rng.randrange(0, 70)
    elif kind < 0.92 or for_pack:
        encoding = rng.choice(TEXT)
        bits = rng.choice([0, 8, 16, 24, 32, 64]) if rng.random() < 0.85 else rng.randrange(1, 40)
    else:
        encoding = rng.choice(UNPACK_ONLY)
        bits = rng.choice([16, 32, 40, 48, 64, 80, 128])
    if rng.random() < 0.1:
        encoding = encoding.upper()
    item = {
        "name": name,
        "encoding": encoding,
        "bits": bits,
        "byte_order": rng.choice(["big", "little", "Big", "LITTLE"]),
        "reverse_bits": rng.random() < 0.25,
    }
    return item


def random_recipe(rng, for_pack=False, clean=False):
    n = rng.randrange(1, 9)
    names = [f"f{i}" for i in range(n)]
    if rng.random() < 0.2:  # duplicate names: the later wins, in the first one's place
        names[-1] = names[0]
    recipe = [random_item(rng, name, for_pack, clean) for name in names]
    total = sum(it["bits"] for it in recipe)
    for it in recipe:
        if rng.random() < 0.2:  # offsets, overlaps included
            it["offset_bits"] = rng.randrange(0, total + 8)
    return recipe


def packer_bits(recipe):
    largest = 0
    for it in recipe:
        start = it.get("offset_bits", largest)
        largest = max(largest, start + it["bits"])
    return largest


def random_packet(rng, size):
    if rng.random() < 0.5:
        return bytes(rng.randrange(0x20, 0x7F) for _ in range(size))
    return bytes(rng.randrange(256) for _ in range(size))
