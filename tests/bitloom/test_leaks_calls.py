"""Every function called many times on its success and failure paths, and the
packet functions with an error at every item position: the reference counts of
the inputs stay as they were and memory stays flat (tracemalloc for Python
allocations, the resident set size for everything else).

Traced growth leaves out two things the interpreter keeps for itself, whatever
the number of calls. Its type attribute cache keeps a reference to the name
object of each lookup it holds, in a slot chosen by the object's address, and a
C function that looks an attribute up by a C string (PyObject_CallMethod,
PyObject_GetAttrString) makes a new name object per call: with pymalloc the
freed name's block comes straight back and the cache holds a copy or two; with
mimalloc (free-threaded builds) the page's other free blocks come first and it
holds a few hundred, about 30 KB for 2000 calls as for 200000. The cache is
emptied before each reading, which drops only its own references. And on
free-threaded builds a collection allocates 2 KiB blocks for its own use and
keeps up to four of them (8 KiB) afterwards: blocks allocated by gc.collect
itself are not counted. An object the calls leak stays traced either way.

BITLOOM_LEAK_CALLS sets the number of calls per case (default 10**4) and
BITLOOM_LEAK_POSITION_CALLS that of the error-at-every-position cases (default a
tenth of it); the full check sets both to 100000. The first BITLOOM_LEAK_TRACED
calls of a case run under tracemalloc (default 2000: tracing slows every
allocation down). The resident-size check is skipped under the sanitizer build
(BITLOOM_SANITIZED), whose allocator quarantines freed memory.
"""

import gc
import os
import sys
import tracemalloc

import pytest

import bitloom as bl
from tests.support.items import item

CALLS = int(os.environ.get("BITLOOM_LEAK_CALLS", "10000"))
TRACED = int(os.environ.get("BITLOOM_LEAK_TRACED", "2000"))
# Calls per case of the error-at-every-position tests (184 cases).
POSITION_CALLS = int(os.environ.get("BITLOOM_LEAK_POSITION_CALLS", str(CALLS // 10)))
REPORT = os.environ.get("BITLOOM_LEAK_REPORT")  # a file that receives one line per case
SANITIZED = bool(os.environ.get("BITLOOM_SANITIZED"))
PAGE = os.sysconf("SC_PAGE_SIZE")
# sys._clear_type_cache is deprecated from 3.13 on in favour of this one.
clear_type_cache = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def collect():
    # Nothing else runs on this line: the blocks traced to it are the collector's own.
    gc.collect(0)


COLLECTOR_LINE = max(line for *_, line in collect.__code__.co_lines() if line)
NOT_OURS = [
    # The blocks allocated on this file's lines alone (a call's leak is traced to
    # the line that made the call): a test runner's own threads, such as
    # pytest-xdist's, allocate elsewhere while the calls are traced.
    tracemalloc.Filter(True, __file__),
    tracemalloc.Filter(False, tracemalloc.__file__),  # the snapshots themselves
    tracemalloc.Filter(False, __file__, COLLECTOR_LINE),
]


def traced_snapshot():
    """The traced blocks, without the type attribute cache's copies of names."""
    clear_type_cache()
    return tracemalloc.take_snapshot()


def panic_type():
    try:
        bl.unpack_parameters(
            b"",
            0,
            [
                {
                    "name": "x",
                    "encoding": "unsigned",
                    "bits": 8,
                    "byte_order": "big",
                    "reverse_bits": False,
                }
            ],
        )
    except BaseException as exc:
        return type(exc)
    raise AssertionError("a field outside the packet did not fail")


PANIC = panic_type()

# Objects whose reference counts mean something (no small ints, no interned names).
BIG = 10**18 + 12345
BIG_U128 = (0x3FFF << 112) + 10**20
TEXT = "Grüße, € and ☃ " * 5
ASCII_TEXT = "plain ascii text " * 5
SURROGATE = "x\ud800y"
UTF8 = TEXT.encode("utf-8")
BAD_UTF8 = b"abc\xe2\x82"
BAD_BCD = 0x12A4
FLOAT = 1234.5678e10
NOT_A_NUMBER = "not a number"


def f(name):
    return getattr(bl, name)


UNIMPLEMENTED = [
    "ieee754_1985_f32",
    "ieee754_1985_f64",
    "ieee754_1985_f80",
    "mil_std_1750a_f32",
    "mil_std_1750a_f48",
    "dec_f32",
    "dec_f64",
    "ibm_f32",
    "ibm_f64",
    "ti_f32",
    "ti_f40",
]
TEXT_CODECS = ["utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be"]


BASE_RECIPE = [
    # Names that no type uses for a method: the type attribute cache would share
    # them (a method named "count" moved that text's count by the calls of other code).
    item("tally", "unsigned", 12, BIG % 4096),
    item("delta", "twos_complement", 20, -(10**5)),
    item("money", "packed_bcd_signed", 32, -1234567),
    item("ratio", "ieee754_f32", 32, FLOAT, byte_order="little"),
    item("label", "utf16le", 16 * 4, "Grü€"),
    item("code", "windows_1252", 40, "€uro!"),
    item("zoned", "unpacked_bcd", 24, 987, reverse_bits=True),
    item("wide", "unsigned", 72, BIG, offset_bits=300),
]
BASE_PACKET = bl.pack_parameters(BASE_RECIPE)
TAIL = len(BASE_PACKET)
PACKET = BASE_PACKET + b"\xff" * 4  # bytes after the fields that no digit decoder accepts

# (function name, args, expected exception or None); each function has at
# least one success case (except the unimplemented formats) and one failure.
CASES = [
    ("unpack_parameters", (PACKET, 0, BASE_RECIPE), None),
    ("unpack_parameters", (PACKET, 8 * len(PACKET), BASE_RECIPE), PANIC),
    ("pack_parameters", (BASE_RECIPE,), None),
    ("pack_parameters", ([item("n", "unsigned", 8, BIG)],), ValueError),
]
for name in ("ones_complement", "twos_complement", "sign_magnitude"):
    CASES += [
        (f"decode_{name}", (2**64 - BIG, 64), None),
        (f"decode_{name}", (2**64 + BIG, 64), OverflowError),
        (f"decode_{name}", (NOT_A_NUMBER, 64), TypeError),
        (f"encode_{name}", (-BIG, 64), None),
        (f"encode_{name}", (BIG, 16), ValueError),
        (f"encode_{name}", (BIG, 2**40), OverflowError),
    ]
for name in ("packed_bcd", "unpacked_bcd"):
    CASES += [
        (f"decode_{name}", (0x1234 if name == "packed_bcd" else 0x010203, 24, False), None),
        (f"decode_{name}", (BAD_BCD if name == "packed_bcd" else 0x313A, 16, True), ValueError),
        (f"decode_{name}", (0x1234, 24, 1), TypeError),
        (f"encode_{name}", (-987654, 64, True), None),
        (f"encode_{name}", (BIG, 16, True), ValueError),
    ]
for width in ("f16", "f32", "f64"):
    CASES += [
        (f"decode_ieee754_{width}", (BIG,), None),
        (f"decode_ieee754_{width}", (-BIG,), OverflowError),
        (f"encode_ieee754_{width}", (FLOAT,), None),
        (f"encode_ieee754_{width}", (NOT_A_NUMBER,), TypeError),
    ]
CASES += [
    ("decode_ieee754_f128", (BIG_U128,), None),
    ("decode_ieee754_f128", (BIG_U128 << 20,), OverflowError),
    ("decode_ieee754_f128", (-BIG_U128,), ValueError),
    ("encode_ieee754_f128", (FLOAT,), NotImplementedError),
    ("encode_ieee754_f128", (NOT_A_NUMBER,), TypeError),
]
for name in UNIMPLEMENTED:
    CASES += [
        (f"decode_{name}", (BIG,), NotImplementedError),
        (f"decode_{name}", (NOT_A_NUMBER,), TypeError),
        (f"encode_{name}", (FLOAT,), NotImplementedError),
        (f"encode_{name}", (NOT_A_NUMBER,), TypeError),
    ]
for name in TEXT_CODECS:
    good = getattr(bl, f"encode_{name}")(TEXT)
    CASES += [
        (f"encode_{name}", (TEXT,), None),
        (f"encode_{name}", (SURROGATE,), UnicodeEncodeError),
        (f"encode_{name}", (UTF8,), TypeError),
        (f"decode_{name}", (good,), None),
        (f"decode_{name}", (BAD_UTF8 if name == "utf8" else good + b"\xff",), ValueError),
        (f"decode_{name}", (TEXT,), TypeError),
    ]
CASES += [
    ("encode_us_ascii", (ASCII_TEXT,), None),
    ("encode_us_ascii", (TEXT,), ValueError),
    ("encode_iso_8859_1", ("Grüße " * 10,), None),
    ("encode_iso_8859_1", (TEXT,), ValueError),
    ("encode_windows_1252", ("Grüße € " * 10,), None),
    ("encode_windows_1252", (TEXT,), ValueError),
    ("decode_us_ascii", (ASCII_TEXT.encode(),), None),
    ("decode_us_ascii", (UTF8,), ValueError),
    ("decode_iso_8859_1", (UTF8,), None),
    ("decode_iso_8859_1", (bytearray(UTF8),), TypeError),
    ("decode_windows_1252", (UTF8,), None),
    ("decode_windows_1252", (b"\xef\xbb\xbf" + BAD_UTF8,), ValueError),
]


def keyword_form(func, args):
    """The same call with every argument passed by keyword."""
    params = func.__text_signature__.strip("()").split(", ")
    names = [p.split("=")[0] for p in params]
    return dict(zip(names, args, strict=False))


def call_loop(func, args, kwargs, expected, n):
    if expected is None:
        for _ in range(n):
            func(*args, **kwargs)
        return
    for _ in range(n):
        try:
            func(*args, **kwargs)
        except expected:
            pass
        else:
            raise AssertionError(f"{func.__name__} did not raise {expected.__name__}")


def shared(obj):
    """Objects that the whole interpreter shares (small ints, True, None): before
    3.12 their counts move with everything else that runs, and from 3.12 on they
    are immortal, so they say nothing about these calls."""
    return obj is None or type(obj) is bool or (type(obj) is int and -5 <= obj <= 256)


def watched(args, kwargs):
    objs = list(args) + list(kwargs.values())
    for obj in list(objs):
        if isinstance(obj, list):
            objs += obj
            for entry in obj:
                if isinstance(entry, dict):
                    objs += list(entry.values())
    return [o for o in objs if not shared(o)]


def assert_flat(func, args, kwargs, expected, n):
    # An automatic collection of an older generation during the calls would free
    # other tests' garbage and move the counts of objects it shared (texts such as
    # item names); the calls make no cycles, so nothing piles up meanwhile.
    enabled = gc.isenabled()
    gc.disable()
    try:
        return measure_flat(func, args, kwargs, expected, n)
    finally:
        if enabled:
            gc.enable()


def measure_flat(func, args, kwargs, expected, n):
    call_loop(func, args, kwargs, expected, 300)
    objs = watched(args, kwargs)
    # The calls make no reference cycles: the young generation is all there is to
    # collect (a full collection per test would cost more than the calls).
    collect()
    # The snapshots below empty the type attribute cache, which may hold some of
    # these objects (texts that are also attribute names): empty it here as well.
    clear_type_cache()
    refs = [sys.getrefcount(o) for o in objs]
    resident = resident_bytes()
    traced_calls = min(n, TRACED)
    tracemalloc.start()
    try:
        call_loop(func, args, kwargs, expected, 100)
        collect()
        before = traced_snapshot()
        call_loop(func, args, kwargs, expected, traced_calls)
        collect()
        after = traced_snapshot()
    finally:
        tracemalloc.stop()
    # Filtered once tracing has stopped, so that filtering allocates nothing traced.
    before, after = before.filter_traces(NOT_OURS), after.filter_traces(NOT_OURS)
    traced_growth = sum(stat.size_diff for stat in after.compare_to(before, "filename"))
    call_loop(func, args, kwargs, expected, n - traced_calls)
    collect()
    resident_growth = resident_bytes() - resident
    # A reference leaked per call moves a count by at least n; objects that the
    # interpreter shares elsewhere (interned texts) may drift by one or two.
    drift = [sys.getrefcount(o) - r for o, r in zip(objs, refs, strict=True)]
    assert all(abs(d) <= 2 for d in drift), drift
    # A leaked object per call would be traced_calls * 16 bytes at the very least
    # (the smallest block): half of that leaves room for what other threads of
    # the process (a test runner's own) allocate while the calls are traced.
    assert traced_growth < max(4096, 8 * traced_calls), (
        f"traced memory grew by {traced_growth} bytes"
    )
    if REPORT:
        with open(REPORT, "a") as out:
            name = os.environ.get("PYTEST_CURRENT_TEST", "?").split("::")[-1].split(" ")[0]
            out.write(f"{name}\t{n}\t{traced_calls}\t{traced_growth}\t{resident_growth}\n")
    if not SANITIZED:
        # Untraced (C++) memory: a 16-byte leak per call shows as n * 32 bytes.
        assert resident_growth < max(1 << 20, 8 * n), resident_growth
    return traced_growth, resident_growth


def case_id(case):
    name, _, expected = case
    return f"{name}-{expected.__name__ if expected else 'ok'}"


@pytest.mark.parametrize("case", CASES, ids=[case_id(c) for c in CASES])
def test_calls_keep_no_references_and_no_memory(case):
    name, args, expected = case
    assert_flat(f(name), args, {}, expected, CALLS)


@pytest.mark.parametrize(
    "case", [c for c in CASES if c[2] is None], ids=[case_id(c) for c in CASES if c[2] is None]
)
def test_keyword_calls_keep_no_references_and_no_memory(case):
    name, args, _ = case
    assert_flat(f(name), (), keyword_form(f(name), args), None, CALLS // 4)


def test_every_function_is_covered():
    names = {c[0] for c in CASES}
    assert names == set(bl.__all__)
    for name in bl.__all__:
        if name.startswith(tuple(f"{d}_{u}" for d in ("encode", "decode") for u in UNIMPLEMENTED)):
            continue
        if name == "encode_ieee754_f128":
            continue
        assert any(c[0] == name and c[2] is None for c in CASES), name
        assert any(c[0] == name and c[2] is not None for c in CASES), name


@pytest.mark.parametrize("kind", ["object", "attribute_name"])
def test_the_check_catches_one_leaked_object_per_call(kind):
    if TRACED < 300:
        pytest.skip("too few traced calls for a leak of one object per call to show")
    kept = []
    exc = ValueError("x")

    def leaky(text):
        if kind == "object":
            kept.append(object())
        else:
            # A new name object per call, which the type attribute cache holds as
            # well: emptying the cache must not hide the leaked reference.
            name = "".join(("with_", "traceback"))
            getattr(exc, name)
            kept.append(name)
        return bl.encode_utf8(text)

    with pytest.raises(AssertionError, match="traced memory grew by"):
        assert_flat(leaky, (TEXT,), {}, None, TRACED + 1000)
    assert len(kept) == TRACED + 1400


# ---- an error at every item position ------------------------------------------------


def broken(item, kind):
    """A copy of the item with one fault of the given kind."""
    item = dict(item)
    text = item["encoding"] in ("utf16le", "windows_1252")
    if kind == "not_a_dict":
        return list(item.items())
    if kind == "missing_name":
        del item["name"]
    elif kind == "missing_reverse_bits":
        del item["reverse_bits"]
    elif kind == "bits_type":
        item["bits"] = "8"
    elif kind == "bits_overflow":
        item["bits"] = BIG
    elif kind == "offset_none":
        item["offset_bits"] = None
    elif kind == "unsupported_encoding":
        item["encoding"] = "utf-8"
    elif kind == "byte_order":
        item["byte_order"] = "Big-Endian"
    elif kind == "reverse_type":
        item["reverse_bits"] = 1
    elif kind == "missing_value":
        del item["value"]
    elif kind == "value_type":
        item["value"] = 1.5 if text else "x"
    elif kind == "value_range":
        item["value"] = SURROGATE if text else 10**400  # beyond int64 and double
    elif kind == "outside_packet":
        item["offset_bits"] = 8 * len(PACKET)
    elif kind == "undecodable":
        item.update(encoding="unpacked_bcd", bits=16, offset_bits=8 * TAIL)
    return item


ITEM_KINDS = [
    "not_a_dict",
    "missing_name",
    "missing_reverse_bits",
    "bits_type",
    "bits_overflow",
    "offset_none",
    "unsupported_encoding",
    "byte_order",
    "reverse_type",
]
PACK_KINDS = [*ITEM_KINDS, "missing_value", "value_type", "value_range"]
UNPACK_KINDS = [*ITEM_KINDS, "outside_packet", "undecodable"]


def faulty(position, kind):
    recipe = list(BASE_RECIPE)
    recipe[position] = broken(recipe[position], kind)
    return recipe


@pytest.mark.parametrize("position", range(len(BASE_RECIPE)))
@pytest.mark.parametrize("kind", PACK_KINDS)
def test_pack_error_at_every_position_leaks_nothing(kind, position):
    recipe = faulty(position, kind)
    assert_flat(bl.pack_parameters, (recipe,), {}, ValueError, POSITION_CALLS)


@pytest.mark.parametrize("position", range(len(BASE_RECIPE)))
@pytest.mark.parametrize("kind", UNPACK_KINDS)
def test_unpack_error_at_every_position_leaks_nothing(kind, position):
    recipe = faulty(position, kind)
    expected = PANIC if kind == "outside_packet" else ValueError
    assert_flat(bl.unpack_parameters, (PACKET, 0, recipe), {}, expected, POSITION_CALLS)
