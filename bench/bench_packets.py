"""pack_parameters / unpack_parameters next to peer libraries, as ratios in one run.

Run: python bench/bench_packets.py [--quick]
Peers (optional, skipped when absent): bitstruct (C extension, compiled and not),
bitstring, construct, and the standard library's struct where it applies.
Times are the best of several rounds, in nanoseconds per call.
"""

import argparse
import struct
import sys
import timeit

import bitloom
import bitloom_bulk
from bitloom_bulk import field

try:
    import bitstruct.c as bitstruct_c
except ImportError:  # pragma: no cover
    bitstruct_c = None
try:
    import bitstring
except ImportError:  # pragma: no cover
    bitstring = None
try:
    import construct
except ImportError:  # pragma: no cover
    construct = None


def item(name, encoding, bits, value, byte_order="big"):
    return field(name, encoding, bits, byte_order=byte_order, value=value)


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


def run_interleaved(contenders, number, repeat):
    """Best time per call of each contender, rounds interleaved so that load on
    the machine falls on all of them alike."""
    best_ns = {name: float("inf") for name, _, _ in contenders}
    for _ in range(repeat):
        for name, fn, scale in contenders:
            n = max(1, number // scale)
            t = timeit.timeit(fn, number=n) / n * 1e9
            best_ns[name] = min(best_ns[name], t)
    return best_ns


def bench_recipe(label, fields, number, repeat, struct_fmt=None):
    recipe = [item(f[0], f[1], f[2], f[4]) for f in fields]
    unpack_recipe = [{k: v for k, v in d.items() if k != "value"} for d in recipe]
    values = [f[4] for f in fields]
    names = [f[0] for f in fields]
    packet = bitloom.pack_parameters(recipe)
    fmt = "".join(f"{f[3]}{f[2]}" for f in fields)
    pairs = list(zip(recipe, values, strict=True))

    def refresh():
        for d, v in pairs:
            d["value"] = v

    def refresh_and_pack():
        for d, v in pairs:
            d["value"] = v
        bitloom.pack_parameters(recipe)

    contenders = [
        ("refresh only", refresh, 1),
        ("refresh + bitloom pack", refresh_and_pack, 1),
        ("bitloom pack (recipe unchanged)", lambda: bitloom.pack_parameters(recipe), 1),
        ("bitloom unpack", lambda: bitloom.unpack_parameters(packet, 0, unpack_recipe), 1),
    ]
    layout = bitloom_bulk.compile(unpack_recipe)
    values_tuple = tuple(values)
    assert layout.pack(values_tuple) == packet and layout.unpack(
        packet
    ) == bitloom.unpack_parameters(packet, 0, unpack_recipe)
    contenders += [
        ("layout.pack(values tuple)", lambda: layout.pack(values_tuple), 1),
        ("layout.unpack", lambda: layout.unpack(packet), 1),
        ("bitloom_bulk.compile", lambda: bitloom_bulk.compile(unpack_recipe), 1),
    ]
    if bitstruct_c is not None:
        compiled = bitstruct_c.compile(fmt, names=names)
        compiled_plain = bitstruct_c.compile(fmt)
        assert compiled_plain.pack(*values) == packet, "bitstruct disagrees on the packet"
        contenders += [
            ("bitstruct.c compiled pack", lambda: compiled_plain.pack(*values), 1),
            ("bitstruct.c compile(names)", lambda: bitstruct_c.compile(fmt, names=names), 1),
            ("bitstruct.c pack(fmt)", lambda: bitstruct_c.pack(fmt, *values), 1),
            ("bitstruct.c compiled unpack_dict", lambda: compiled.unpack(packet), 1),
            ("bitstruct.c unpack(fmt)", lambda: bitstruct_c.unpack(fmt, packet), 1),
        ]
    if bitstring is not None:
        kinds = ["uint" if f[3] == "u" else "int" if f[3] == "s" else "float" for f in fields]
        bs_fmt = ", ".join(f"{k}{f[2]}={f[0]}" for k, f in zip(kinds, fields, strict=True))
        kw = dict(zip(names, values, strict=True))
        un_fmt = [f"{k}{f[2]}" for k, f in zip(kinds, fields, strict=True)]
        contenders += [
            ("bitstring pack", lambda: bitstring.pack(bs_fmt, **kw), 20),
            ("bitstring unpack", lambda: bitstring.BitArray(packet).unpack(un_fmt), 20),
        ]
    if construct is not None and all(f[3] != "f" for f in fields):
        pad = -sum(f[2] for f in fields) % 8
        cons = construct.BitStruct(
            *[f[0] / construct.BitsInteger(f[2], signed=f[3] == "s") for f in fields],
            *([construct.Padding(pad)] if pad else []),
        )
        kw = dict(zip(names, values, strict=True))
        contenders += [
            ("construct build", lambda: cons.build(kw), 20),
            ("construct parse", lambda: cons.parse(packet), 20),
        ]
    if struct_fmt is not None:
        st = struct.Struct(struct_fmt)
        assert st.pack(*values) == packet
        contenders += [
            ("struct pack", lambda: st.pack(*values), 1),
            ("struct unpack (tuple)", lambda: st.unpack(packet), 1),
            ("struct unpack + dict", lambda: dict(zip(names, st.unpack(packet), strict=True)), 1),
        ]
    rows = run_interleaved(contenders, number, repeat)
    rows["bitloom pack (values refreshed)"] = rows["refresh + bitloom pack"] - rows["refresh only"]

    print(f"\n== {label}: {len(fields)} fields, {len(packet)} bytes (ns per call)")
    for name, ns in rows.items():
        print(f"  {name:36s} {ns:10.0f}")
    ratios = []
    if bitstruct_c is not None:
        ratios.append(
            (
                "layout.pack / bitstruct.c compiled pack",
                rows["layout.pack(values tuple)"] / rows["bitstruct.c compiled pack"],
            )
        )
        ratios.append(
            (
                "layout.unpack / bitstruct.c compiled unpack_dict",
                rows["layout.unpack"] / rows["bitstruct.c compiled unpack_dict"],
            )
        )
        ratios.append(
            (
                "compile / bitstruct.c compile(names)",
                rows["bitloom_bulk.compile"] / rows["bitstruct.c compile(names)"],
            )
        )
        ratios.append(
            (
                "unpack / bitstruct.c compiled unpack_dict",
                rows["bitloom unpack"] / rows["bitstruct.c compiled unpack_dict"],
            )
        )
        ratios.append(
            (
                "pack (refreshed) / bitstruct.c pack(fmt)",
                rows["bitloom pack (values refreshed)"] / rows["bitstruct.c pack(fmt)"],
            )
        )
        ratios.append(
            (
                "pack (refreshed) / bitstruct.c compiled pack",
                rows["bitloom pack (values refreshed)"] / rows["bitstruct.c compiled pack"],
            )
        )
    if "bitstring pack" in rows:
        ratios.append(
            (
                "pack / bitstring pack",
                rows["bitloom pack (values refreshed)"] / rows["bitstring pack"],
            )
        )
        ratios.append(
            ("unpack / bitstring unpack", rows["bitloom unpack"] / rows["bitstring unpack"])
        )
    if "construct build" in rows:
        ratios.append(
            (
                "pack / construct build",
                rows["bitloom pack (values refreshed)"] / rows["construct build"],
            )
        )
        ratios.append(
            ("unpack / construct parse", rows["bitloom unpack"] / rows["construct parse"])
        )
    if "struct pack" in rows:
        ratios.append(
            ("pack / struct pack", rows["bitloom pack (values refreshed)"] / rows["struct pack"])
        )
        ratios.append(
            ("unpack / struct unpack + dict", rows["bitloom unpack"] / rows["struct unpack + dict"])
        )
    for name, r in ratios:
        print(f"  ratio {name:44s} {r:6.2f}")
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer rounds (smoke run)")
    args = parser.parse_args()
    number, repeat = (2000, 3) if args.quick else (20000, 7)
    print(f"Python {sys.version.split()[0]}, bitloom vs peers")
    bench_recipe("telemetry (CCSDS-style header + data)", TELEMETRY, number, repeat)
    bench_recipe("100 fields of 7 bits", SEVEN, number // 10, repeat)
    bench_recipe(
        "byte-aligned",
        [f[:5] for f in ALIGNED],
        number,
        repeat,
        struct_fmt=">" + "".join(f[5] for f in ALIGNED),
    )


if __name__ == "__main__":
    main()
