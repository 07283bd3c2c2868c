"""Recipes in rotation: what reusing recipe plans costs when a program cycles
through more recipes than the plan cache keeps (a ground system decoding a
mixed stream, one recipe per APID, round robin).

Run: python -m bench.bench_plans [--quick]   (from the repository's root)
Rows: ns per unpack_parameters call of the 12-field telemetry recipe, with
1, 8, 9, 20, 64 and 200 recipes in rotation, beside the same recipe read from
fresh dicts on every call (the direct path: no plan can apply) and one recipe
reused. Ratios are against the direct path, in one run.
"""

import argparse
import sys
import timeit

import bitloom
from bench.bench_packets import TELEMETRY, item

unpack = bitloom.unpack_parameters


def recipe():
    return [item(n, e, b, v) for n, e, b, _code, v in TELEMETRY]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    number, repeat = (2_000, 3) if args.quick else (20_000, 7)
    packet = bitloom.pack_parameters(recipe())
    template = recipe()

    def direct():
        unpack(packet, 0, [dict(d) for d in template])

    # The copies themselves cost time; take them out of the direct row.
    def copies():
        [dict(d) for d in template]

    cases = {"direct (fresh dicts)": direct}
    for n in (1, 8, 9, 20, 64, 200):
        recipes = [recipe() for _ in range(n)]
        state = {"i": 0}

        def rotate(recipes=recipes, state=state, n=n):
            i = state["i"]
            state["i"] = (i + 1) % n
            unpack(packet, 0, recipes[i])

        cases[f"{n} in rotation"] = rotate
    # The rotation's own bookkeeping, measured with a call that does nothing.
    state = {"i": 0}

    def bookkeeping(state=state):
        i = state["i"]
        state["i"] = (i + 1) % 7
        len(template)

    best = {}
    for _ in range(repeat):
        for label, fn in [*cases.items(), ("copies", copies), ("bookkeeping", bookkeeping)]:
            t = timeit.timeit(fn, number=number) / number * 1e9
            best[label] = min(best.get(label, t), t)
    base = best["direct (fresh dicts)"] - best["copies"]
    print(f"Python {sys.version.split()[0]}, 12-field telemetry unpack, ns per call")
    print(f"{'case':24} {'ns':>8} {'/ direct':>9}")
    print(f"{'direct (fresh dicts)':24} {base:8.0f} {1.0:9.2f}")
    for label in cases:
        if label.startswith("direct"):
            continue
        ns = best[label] - best["bookkeeping"]
        print(f"{label:24} {ns:8.0f} {ns / base:9.2f}")


if __name__ == "__main__":
    main()
