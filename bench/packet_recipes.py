"""The recipes the packet benchmarks share, importable without numpy (the
callgrind driver runs under valgrind, where importing numpy costs seconds)."""

# name, bitloom encoding, bits, bitstruct code, value
TELEMETRY = [
    ("version", "unsigned", 3, "u", 0),
    ("type", "unsigned", 1, "u", 0),
    ("sec_hdr", "unsigned", 1, "u", 1),
    ("apid", "unsigned", 11, "u", 0x1AB),
    ("seq_flags", "unsigned", 2, "u", 3),
    ("seq_count", "unsigned", 14, "u", 1234),
    ("length", "unsigned", 16, "u", 13),
    ("seconds", "unsigned", 32, "u", 1_700_000_000),
    ("temperature", "twos_complement", 16, "s", -273),
    ("voltage", "ieee754_f32", 32, "f", 3.25),
    ("status", "unsigned", 8, "u", 0x5A),
    ("current", "twos_complement", 16, "s", -12),
]
SEVEN = [(f"p{i}", "unsigned", 7, "u", i % 128) for i in range(100)]
ALIGNED = [
    ("sync", "unsigned", 32, "u", 0x1ACFFC1D, "I"),
    ("id", "unsigned", 16, "u", 513, "H"),
    ("count", "unsigned", 16, "u", 7, "H"),
    ("gain", "twos_complement", 16, "s", -3, "h"),
    ("flags", "unsigned", 8, "u", 1, "B"),
    ("mode", "unsigned", 8, "u", 2, "B"),
    ("x", "ieee754_f32", 32, "f", 1.5, "f"),
    ("y", "ieee754_f64", 64, "f", -2.25, "d"),
]
RECIPES = {"telemetry": TELEMETRY, "seven": SEVEN}


def plain_item(name, encoding, bits, value=None):
    """The item bitloom_bulk.field builds (same keys, same order), without
    importing bitloom_bulk; `value` None leaves the key out (an unpack item)."""
    d = {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big"}
    d["reverse_bits"] = False
    if value is not None:
        d["value"] = value
    return d


def pack_recipe(fields):
    return [plain_item(f[0], f[1], f[2], f[4]) for f in fields]


def unpack_recipe(fields):
    return [plain_item(f[0], f[1], f[2]) for f in fields]
