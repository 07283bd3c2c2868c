"""Text codecs of bitloom against CPython's own codecs on the same data.

Two corpora of 1 MiB each: mixed text (mostly ASCII with some Latin-1, CJK and
emoji) and pure ASCII. Single-byte sets run on text they can represent: ASCII
for US-ASCII, ASCII with Latin-1 for ISO-8859-1, ASCII with Latin-1 and the
typographic characters of 80-9F for Windows-1252.

Each cell is the best of N repeats (timeit, one process, bitloom and CPython
alternating); the ratio is bitloom / CPython, so below 1 means bitloom is faster.

Encoding reads the str's UTF-8 form, which the interpreter caches in the str on
first use; the "cold" rows time both sides on a fresh str every run. Where the
encoding is a copy, widening or byte swap of the str's own storage (UTF-32,
UTF-16 of text below U+10000, ISO-8859-1 of Latin-1 text, US-ASCII of ASCII
text), the bytes come from that storage instead.

    python -m bench.bench_text [--repeat N] [--size BYTES]   (from the repository's root)
"""

import argparse
import random
import timeit

import bitloom

# name, CPython codec, bytes prepended by bitloom's encoder (a big-endian mark)
UTF = [
    ("utf8", "utf-8", b""),
    ("utf16", "utf-16-be", b"\xfe\xff"),
    ("utf16le", "utf-16-le", b""),
    ("utf16be", "utf-16-be", b""),
    ("utf32", "utf-32-be", b"\x00\x00\xfe\xff"),
    ("utf32le", "utf-32-le", b""),
    ("utf32be", "utf-32-be", b""),
]
SINGLE = [  # the CPython codec name is also the name of the corpus it can represent
    ("us_ascii", "ascii"),
    ("iso_8859_1", "latin-1"),
    ("windows_1252", "cp1252"),
]

WORDS = [
    "the",
    "quick",
    "brown",
    "fox",
    "jumps",
    "over",
    "lazy",
    "dog",
    "data",
    "packet",
    "field",
    "value",
    "text",
]


def make_text(size, extra, rate, seed=1):
    """About `size` UTF-8 bytes of words, with a character from `extra` in about
    `rate` of the words."""
    rng = random.Random(seed)
    parts = []
    length = 0
    while length < size:
        word = rng.choice(WORDS)
        if extra and rng.random() < rate:
            word += rng.choice(extra)
        parts.append(word)
        length += len(word.encode()) + 1
    return " ".join(parts)


def best_pair(ours, theirs, env, repeat, setup="pass"):
    """Best time per call of each statement. Runs are short (a few ms) and the
    two statements alternate, so that both meet the same machine load and the
    minimum finds runs that were not interrupted."""
    timers = [timeit.Timer(stmt, setup=setup, globals=env) for stmt in (ours, theirs)]
    number = 1
    if setup == "pass":
        per_call = min(t.timeit(1) for t in timers)
        number = max(1, int(0.002 / max(per_call, 1e-9)))
    times = [[], []]
    for _ in range(repeat):
        for k, timer in enumerate(timers):
            times[k].append(timer.timeit(number) / number)
    return min(times[0]), min(times[1])


def row(label, ours, theirs):
    print(f"  {label:<34} {ours * 1e6:10.1f} {theirs * 1e6:10.1f} {ours / theirs:8.2f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=60)
    ap.add_argument("--size", type=int, default=1 << 20)
    args = ap.parse_args()
    n = args.size

    latin1 = "éèàçñöüßÿ©°"
    cjk = "中文字符数据包解码"
    emoji = "\U0001f600\U0001f680\U0001f4e6"
    corpora = {
        "mixed": make_text(n, latin1 * 3 + cjk + emoji, 0.25),
        "ascii": make_text(n, "", 0),
        "latin-1": make_text(n, latin1, 0.25),
        "cp1252": make_text(n, latin1 + "€‘’“”…–—™Œœ", 0.25),
    }
    for name, text in corpora.items():
        kind = "UCS4" if max(text) > "\uffff" else "UCS2" if max(text) > "\xff" else "UCS1"
        print(f"# corpus {name}: {len(text.encode())} UTF-8 bytes, {len(text)} characters, {kind}")

    print(f"\n{'':2} {'case':<34} {'bitloom us':>10} {'CPython us':>10} {'ratio':>8}")
    ratios = {}

    def measure(label, ours_stmt, theirs_stmt, env, setup="pass"):
        ours, theirs = best_pair(ours_stmt, theirs_stmt, env, args.repeat, setup)
        ratios[label] = ours / theirs
        row(label, ours, theirs)

    def both_ways(name, codec, corpus, text, data):
        dec, enc = getattr(bitloom, f"decode_{name}"), getattr(bitloom, f"encode_{name}")
        assert dec(data) == text
        assert enc(text) == data
        env = {"dec": dec, "enc": enc, "data": data, "text": text, "codec": codec}
        measure(f"decode_{name} {corpus}", "dec(data)", "data.decode(codec)", env)
        measure(f"encode_{name} {corpus}", "enc(text)", "text.encode(codec)", env)

    for corpus in ("mixed", "ascii"):
        text = corpora[corpus]
        print(f"\n{corpus} text")
        for name, codec, mark in UTF:
            both_ways(name, codec, corpus, text, mark + text.encode(codec))

    print("\nsingle-byte sets")
    for name, codec in SINGLE:
        corpora_of = ["ascii"] if name == "us_ascii" else ["ascii", codec]
        for corpus in corpora_of:
            text = corpora[corpus]
            both_ways(name, codec, corpus, text, text.encode(codec))

    print("\ncold encode (fresh str each run, no cached UTF-8)")
    parts = corpora["mixed"].split(" ")
    for name, codec, _ in UTF[:2]:
        env = {"enc": getattr(bitloom, f"encode_{name}"), "parts": parts, "codec": codec}
        measure(
            f"encode_{name} mixed cold",
            "enc(text)",
            "text.encode(codec)",
            env,
            setup="text = ' '.join(parts)",
        )

    print("\ntargets: utf8 within 1.5x, UTF-16/32 and single-byte within 2x")
    worst = max(ratios.items(), key=lambda kv: kv[1] / (1.5 if "utf8" in kv[0] else 2.0))
    print(f"worst against its target: {worst[0]} {worst[1]:.2f}")


if __name__ == "__main__":
    main()
