"""pack_parameters / unpack_parameters next to peer libraries, as ratios in one run.

Run: python -m bench.bench_packets [--quick]   (from the repository's root)
Peers (optional, skipped when absent): bitstruct (C extension, compiled and not),
bitstring, construct, and the standard library's struct where it applies.
Times are the best of several rounds, in nanoseconds per call, the rounds of
all contenders interleaved.

Paths of bitloom measured for every recipe:
  planned  the same recipe list on every call, so a cached plan applies
           ("bitloom unpack", "bitloom pack (recipe unchanged)": values as they are);
  direct   fresh item dicts on every call, so no plan can apply. The copies are
           made inside the timed call ([d.copy() for d in recipe]) and the cost
           of making them alone is measured in the same run and subtracted. A
           rotation of thousands of prebuilt copies was not used: each call
           would then meet a recipe the cache has not seen but may still plan
           and evict (that is bench_plans.py's rotation case), and thousands of
           recipes do not stay in the CPU caches, so it would measure the cache's
           replacement and memory traffic rather than the reading of fresh items.
The floor: the cost of building the same result dict from values already
decoded, in C (bench/floor.c, compiled on first use for the running
interpreter; skipped with a message without a C compiler): a presized dict
filled with the decoded value objects reused, and the same with each int
created by PyLong_FromUnsignedLongLong. Ratios bitloom / floor say how far
unpacking is from what any C decoder returning a dict must pay.

--summary ends the run with one table of the ratios to bitstruct.c's compiled
functions and to the floor, for the telemetry and 100 x 7 recipes.
"""

import argparse
import struct
import sys
import timeit

import bitloom
import bitloom_bulk
from bench import floor_helper
from bench.packet_recipes import ALIGNED, SEVEN, TELEMETRY
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


__all__ = ["ALIGNED", "SEVEN", "TELEMETRY", "item"]


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

    def pack_direct():
        bitloom.pack_parameters([d.copy() for d in recipe])

    def pack_copies():
        [d.copy() for d in recipe]

    def unpack_direct():
        bitloom.unpack_parameters(packet, 0, [d.copy() for d in unpack_recipe])

    def unpack_copies():
        [d.copy() for d in unpack_recipe]

    contenders = [
        ("refresh only", refresh, 1),
        ("refresh + bitloom pack", refresh_and_pack, 1),
        ("bitloom pack (recipe unchanged)", lambda: bitloom.pack_parameters(recipe), 1),
        ("bitloom unpack", lambda: bitloom.unpack_parameters(packet, 0, unpack_recipe), 1),
        ("copies of the pack items", pack_copies, 1),
        ("copies + bitloom pack", pack_direct, 1),
        ("copies of the unpack items", unpack_copies, 1),
        ("copies + bitloom unpack", unpack_direct, 1),
    ]
    decoded = bitloom.unpack_parameters(packet, 0, unpack_recipe)
    floor = floor_helper.load()
    if floor is not None:
        keys, objects, raw = floor_helper.floor_args(decoded)
        assert floor.dict_from_ints(keys, objects) == decoded
        contenders += [
            ("floor: dict of decoded values (C)", lambda: floor.dict_from_ints(keys, objects), 1),
            ("floor: dict + ints created (C)", lambda: floor.dict_creating_ints(keys, raw), 1),
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
    rows["bitloom pack direct (fresh dicts)"] = (
        rows["copies + bitloom pack"] - rows["copies of the pack items"]
    )
    rows["bitloom unpack direct (fresh dicts)"] = (
        rows["copies + bitloom unpack"] - rows["copies of the unpack items"]
    )

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
    ratios += [(f"{name} / {den}", r) for (name, den), r in headline_ratios(rows).items()]
    for name, r in ratios:
        print(f"  ratio {name:44s} {r:6.2f}")
    return rows


# (bitloom row, what it is divided by) -> the rows' names in bench_recipe
HEADLINE = {
    ("unpack planned", "bitstruct.c compiled unpack_dict"): (
        "bitloom unpack",
        "bitstruct.c compiled unpack_dict",
    ),
    ("unpack direct", "bitstruct.c compiled unpack_dict"): (
        "bitloom unpack direct (fresh dicts)",
        "bitstruct.c compiled unpack_dict",
    ),
    ("pack planned", "bitstruct.c compiled pack"): (
        "bitloom pack (recipe unchanged)",
        "bitstruct.c compiled pack",
    ),
    ("pack direct", "bitstruct.c compiled pack"): (
        "bitloom pack direct (fresh dicts)",
        "bitstruct.c compiled pack",
    ),
    ("unpack planned", "floor (ints reused)"): (
        "bitloom unpack",
        "floor: dict of decoded values (C)",
    ),
    ("unpack planned", "floor (ints created)"): (
        "bitloom unpack",
        "floor: dict + ints created (C)",
    ),
    ("unpack direct", "floor (ints created)"): (
        "bitloom unpack direct (fresh dicts)",
        "floor: dict + ints created (C)",
    ),
}


def headline_ratios(rows):
    """The ratios the summary table shows, for the rows this run has."""
    return {
        key: rows[num] / rows[den]
        for key, (num, den) in HEADLINE.items()
        if num in rows and den in rows
    }


def print_summary(results):
    """One table: a line per ratio, a column per recipe."""
    labels = list(results)
    print(f"\n== summary, Python {sys.version.split()[0]}: bitloom / other, same run")
    print(f"  {'ratio':62s}" + "".join(f"{label:>12s}" for label in labels))
    per_recipe = {label: headline_ratios(rows) for label, rows in results.items()}
    for key in HEADLINE:
        cells = [per_recipe[label].get(key) for label in labels]
        if all(c is None for c in cells):
            continue
        text = "".join(f"{c:12.2f}" if c is not None else f"{'-':>12s}" for c in cells)
        print(f"  {key[0] + ' / ' + key[1]:62s}{text}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer rounds (smoke run)")
    parser.add_argument(
        "--summary", action="store_true", help="end with one table of the headline ratios"
    )
    parser.add_argument(
        "--only-summary-recipes",
        action="store_true",
        help="run the telemetry and 100 x 7 recipes only (with --summary)",
    )
    args = parser.parse_args()
    # Short rounds, many of them: the best of many short rounds stays near the
    # unloaded time on a busy machine, where a long round is always interrupted.
    number, repeat = (500, 5) if args.quick else (2000, 200)
    print(f"Python {sys.version.split()[0]}, bitloom vs peers")
    results = {
        "telemetry": bench_recipe(
            "telemetry (CCSDS-style header + data)", TELEMETRY, number, repeat
        ),
        "100 x 7": bench_recipe("100 fields of 7 bits", SEVEN, number // 10, repeat),
    }
    if not args.only_summary_recipes:
        bench_recipe(
            "byte-aligned",
            [f[:5] for f in ALIGNED],
            number,
            repeat,
            struct_fmt=">" + "".join(f[5] for f in ALIGNED),
        )
    if args.summary:
        print_summary(results)


if __name__ == "__main__":
    main()
