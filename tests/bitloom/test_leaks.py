"""Repeated calls, on success and failure paths, keep no references and no memory."""

import gc
import sys
import tracemalloc

import pytest

import bitloom as bl
from tests.support.numbers import Index

ROUNDS = 2000


class FreshTypeError:
    """__index__ raises a new exact TypeError each time (prefixed by the module)."""

    def __index__(self):
        raise TypeError("not today")


BIG = 10**30  # not a cached small int: its reference count is meaningful
U128 = (0x3FFF << 112) + 12345
TEXT = "héllo wörld " * 8
SURROGATE = "ab\ud800"
PACKET = b"\x01\x02\x03" * 7
NOT_A_BOOL = object()
NOT_A_SEQUENCE = {"a": 1}
EMPTY = []

# (id, function, positional args, keyword args, expected exception or None)
CASES = [
    ("encode_ok", bl.encode_twos_complement, (-30000, 16), {}, None),
    ("encode_kw_ok", bl.encode_ones_complement, (), {"value": -30000, "bits": 16}, None),
    ("encode_index_ok", bl.encode_sign_magnitude, (Index(-30000), Index(16)), {}, None),
    ("encode_value_error", bl.encode_twos_complement, (40000, 16), {}, ValueError),
    ("encode_width_error", bl.encode_sign_magnitude, (40000, 1), {}, ValueError),
    ("decode_ok", bl.decode_twos_complement, (BIG % 2**64, 64), {}, None),
    ("decode_index_ok", bl.decode_ones_complement, (Index(BIG % 2**64), 64), {}, None),
    ("u64_overflow", bl.decode_twos_complement, (BIG, 8), {}, OverflowError),
    ("u32_overflow", bl.decode_sign_magnitude, (1, 2**40), {}, OverflowError),
    ("prefixed_float", bl.decode_twos_complement, (1.5, 8), {}, TypeError),
    ("prefixed_own_typeerror", bl.encode_twos_complement, (FreshTypeError(), 8), {}, TypeError),
    ("cast_error_bool", bl.encode_packed_bcd, (12, 8, NOT_A_BOOL), {}, TypeError),
    ("cast_error_sequence", bl.pack_parameters, (NOT_A_SEQUENCE,), {}, TypeError),
    ("empty_recipe", bl.pack_parameters, (EMPTY,), {}, None),
    ("missing_arguments", bl.unpack_parameters, (PACKET,), {}, TypeError),
    ("missing_keyword", bl.encode_packed_bcd, (), {"signed": True}, TypeError),
    ("unexpected_keyword", bl.encode_utf8, (TEXT,), {"mode": 1}, TypeError),
    ("too_many", bl.encode_utf8, (TEXT, TEXT), {}, TypeError),
    ("encode_utf8_ok", bl.encode_utf8, (TEXT,), {}, None),
    ("encode_utf8_surrogate", bl.encode_utf8, (SURROGATE,), {}, UnicodeEncodeError),
    ("u128_ok", bl.decode_ieee754_f128, (U128,), {}, None),
    ("u128_index_ok", bl.decode_ieee754_f128, (Index(U128),), {}, None),
    ("u128_too_large", bl.decode_ieee754_f128, (1 << 128,), {}, OverflowError),
    ("u128_negative", bl.decode_ieee754_f128, (-BIG,), {}, ValueError),
]


def run(func, args, kwargs, expected, rounds):
    for _ in range(rounds):
        if expected is None:
            func(*args, **kwargs)
        else:
            try:
                func(*args, **kwargs)
            except expected:
                pass
            else:
                raise AssertionError("no exception")


def watched(args, kwargs):
    objs = list(args) + list(kwargs.values())
    # Also the ints that the __index__ objects hand out.
    objs += [o.value for o in objs if isinstance(o, Index)]
    return objs


@pytest.mark.parametrize(
    ("name", "func", "args", "kwargs", "expected"), CASES, ids=[c[0] for c in CASES]
)
def test_references_of_arguments_are_released(name, func, args, kwargs, expected):
    run(func, args, kwargs, expected, 50)
    objs = watched(args, kwargs)
    before = [sys.getrefcount(o) for o in objs]
    run(func, args, kwargs, expected, ROUNDS)
    after = [sys.getrefcount(o) for o in objs]
    assert after == before


@pytest.mark.parametrize(
    ("name", "func", "args", "kwargs", "expected"), CASES, ids=[c[0] for c in CASES]
)
def test_no_memory_growth(name, func, args, kwargs, expected):
    """Python objects a call leaks (tracemalloc traces the interpreter's allocators
    only: C++ allocations are test_leaks_calls.py's resident-size check)."""
    run(func, args, kwargs, expected, 50)
    gc.collect()
    tracemalloc.start()
    try:
        run(func, args, kwargs, expected, 50)
        gc.collect()
        start = tracemalloc.take_snapshot()
        run(func, args, kwargs, expected, ROUNDS)
        gc.collect()
        end = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    # The blocks allocated on this file's lines alone (a call's leak is traced to
    # the line that made the call): a test runner's own threads, such as
    # pytest-xdist's, allocate elsewhere meanwhile.
    ours = [tracemalloc.Filter(True, __file__)]
    growth = sum(
        stat.size_diff
        for stat in end.filter_traces(ours).compare_to(start.filter_traces(ours), "filename")
    )
    # One leaked object per call would be tens of kilobytes.
    assert growth < 8 * 1024
