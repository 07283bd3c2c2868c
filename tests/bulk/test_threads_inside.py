"""threads=N inside one call of unpack_columns / unpack_ccsds: every result,
and every error, is what one thread gives."""

import os
import random
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import bitloom_bulk
from bitloom_bulk import field
from tests.support import streams
from tests.support.outcomes import outcome
from tests.support.random_recipes import random_recipe

CPUS = len(os.sched_getaffinity(0))
MOST = sorted({2, CPUS})  # 2 threads even on one CPU: the ranges still go two ways
# Fewest packets a thread takes (kPacketsPerThread): 3 ranges and a bit.
SHARE = 16384
COUNT = 3 * SHARE + 123


def same_columns(a, b):
    assert list(a) == list(b)
    for name in a:
        if isinstance(a[name], bitloom_bulk.ArrowColumn):
            assert a[name].to_pylist() == b[name].to_pylist(), name
            continue
        assert a[name].dtype == b[name].dtype, name
        if a[name].dtype == object:
            assert a[name].tolist() == b[name].tolist(), name
        else:
            assert a[name].tobytes() == b[name].tobytes(), name


def plain(column):
    """A column as a numpy array (an Arrow text column as an object array)."""
    return np.asarray(column)


def same_outcome(call, threads):
    """call(threads=1) and call(threads=t) for every t: equal columns, or equal errors."""
    want = outcome(call, threads=1)
    for t in threads:
        got = outcome(call, threads=t)
        assert got[0] == want[0], (t, got, want)
        if want[0] == "ok":
            if isinstance(want[1], bitloom_bulk.CcsdsColumns):
                assert list(got[1]) == list(want[1]) and got[1].skipped == want[1].skipped
                for apid in want[1]:
                    same_columns(got[1][apid], want[1][apid])
            else:
                same_columns(got[1], want[1])
        else:
            assert got == want, t
    return want


def allowed(limit):
    return [t for t in (2, CPUS, None) if t is None or t <= limit]


@pytest.mark.parametrize("text", ["object", "bytes", "arrow"])
@pytest.mark.parametrize("seed", range(6))
def test_random_layouts_decode_alike_on_any_number_of_threads(seed, text):
    rng = random.Random(seed)
    nprng = np.random.default_rng(seed)
    threads = allowed(CPUS) if CPUS >= 2 else [None]
    for _ in range(3):
        recipe = random_recipe(rng, clean=rng.random() < 0.7)
        layout = outcome(bitloom_bulk.compile, recipe)
        if layout[0] != "ok":
            continue
        layout = layout[1]
        size = (layout.packet_bits + 7) // 8 + rng.randrange(0, 3)
        if size == 0:
            continue
        data = nprng.integers(0, 256, size * COUNT, dtype=np.uint8).tobytes()
        fixed = same_outcome(
            lambda threads, d=data, s=size, lay=layout: bitloom_bulk.unpack_columns(
                d, lay, packet_bytes=s, text=text, threads=threads
            ),
            threads,
        )
        # The same packets by offsets and lengths, in another order, some of
        # them cut short (a bounds fault, unless the items fit).
        order = nprng.permutation(COUNT)
        offsets = order * size
        lengths = np.full(COUNT, size)
        if rng.random() < 0.5:
            lengths[nprng.integers(0, COUNT, 3)] = max(size - 1 - rng.randrange(size), 0)
        same_outcome(
            lambda threads, d=data, lay=layout, o=offsets, n=lengths: bitloom_bulk.unpack_columns(
                d, lay, offsets=o, lengths=n, text=text, threads=threads
            ),
            threads,
        )
        if fixed[0] == "ok" and (lengths == size).all():
            # In order, by offsets: what packet_bytes gives (rows permuted back).
            by_offsets = bitloom_bulk.unpack_columns(
                data, layout, offsets=offsets, lengths=lengths, text=text, threads=threads[0]
            )
            back = np.argsort(order)
            same_columns(
                {k: plain(c)[back] for k, c in by_offsets.items()},
                {k: plain(c) for k, c in fixed[1].items()},
            )


@pytest.mark.parametrize("text", ["object", "bytes", "arrow"])
@pytest.mark.parametrize("seed", range(4))
def test_ccsds_streams_decode_alike_on_any_number_of_threads(seed, text):
    rng = random.Random(100 + seed)
    nprng = np.random.default_rng(seed)
    threads = allowed(CPUS) if CPUS >= 2 else [None]
    recipes = {}
    for apid in (5, 9, 700):
        recipe = random_recipe(rng, clean=True)
        for item in recipe:
            item["offset_bits"] = item.get("offset_bits", 0) + 48  # after the header
        recipes[apid] = recipe
    # Mixed: APIDs in random order, lengths varying within APID 9.
    n = 6 * SHARE
    apids = nprng.choice([5, 9, 700, 1000], n, p=[0.5, 0.3, 0.15, 0.05])
    lengths = np.where(apids == 9, nprng.integers(40, 60, n), 48)
    mixed = streams.stream(apids, lengths, nprng)
    same_outcome(
        lambda threads: bitloom_bulk.unpack_ccsds(mixed, recipes, text=text, threads=threads),
        threads,
    )
    # One APID of one length: decoded as fixed-size packets.
    one = streams.fixed_stream(COUNT, 5, 48, seed=seed)
    same_outcome(
        lambda threads: bitloom_bulk.unpack_ccsds(one, {5: recipes[5]}, text=text, threads=threads),
        threads,
    )


# A packed BCD item refuses a nibble above 9; a US-ASCII one a byte above 0x7F.
FAULTY = [
    field("n", "unsigned", 8),
    field("bcd", "packed_bcd", 8),
    field("name", "us_ascii", 8),
    field("x", "twos_complement", 16),
]
GOOD = bytes([1, 0x42, 0x41, 0, 7])
BAD_BCD = bytes([1, 0xAA, 0x41, 0, 7])
BAD_TEXT = bytes([1, 0x42, 0xC1, 0, 7])
SIZE = len(GOOD)
LAST = COUNT - 1


@pytest.mark.parametrize(
    "faults",
    [
        # (packet, bytes) planted; the first in packet order is raised.
        [(SHARE + 5, BAD_BCD)],  # in the second range only
        [(2 * SHARE + 1, BAD_BCD), (17, BAD_BCD)],  # in the first and the third
        [(SHARE - 1, BAD_BCD), (SHARE, BAD_BCD)],  # the two sides of a range's end
        [(SHARE, BAD_BCD), (2 * SHARE - 1, BAD_BCD)],
        [(LAST, BAD_BCD)],  # the very last packet
        [(0, BAD_BCD), (LAST, BAD_BCD)],
        [(SHARE + 3, BAD_TEXT), (2 * SHARE, BAD_BCD)],  # a text fault before a number's
        [(SHARE + 3, BAD_BCD), (SHARE + 2, BAD_TEXT)],
        [(3 * SHARE + 50, BAD_TEXT)],
    ],
)
@pytest.mark.parametrize("text", ["object", "bytes", "arrow"])
def test_the_first_faulty_packet_is_raised_whatever_thread_meets_it(faults, text):
    data = bytearray(GOOD * COUNT)
    for packet, raw in faults:
        data[packet * SIZE : (packet + 1) * SIZE] = raw
    data = bytes(data)
    offsets = np.arange(COUNT) * SIZE
    lengths = np.full(COUNT, SIZE)
    firsts = sorted(p for p, raw in faults if raw is BAD_BCD or text != "bytes")
    for call in (
        lambda threads: bitloom_bulk.unpack_columns(
            data, FAULTY, packet_bytes=SIZE, text=text, threads=threads
        ),
        lambda threads: bitloom_bulk.unpack_columns(
            data, FAULTY, offsets=offsets, lengths=lengths, text=text, threads=threads
        ),
    ):
        want = same_outcome(call, allowed(CPUS) if CPUS >= 2 else [None])
        if not firsts:
            assert want[0] == "ok"
            continue
        first = firsts[0]
        assert want[:2] == ("error", ValueError), want
        assert any(f"in packet {first} (bytes {first * SIZE} to " in n for n in want[3]), want


def test_a_packet_cut_short_in_a_later_range_raises_its_bounds_fault():
    data = GOOD * COUNT
    lengths = np.full(COUNT, SIZE)
    lengths[[2 * SHARE + 7, 3 * SHARE]] = SIZE - 2  # "x" ends outside them
    offsets = np.arange(COUNT) * SIZE
    want = same_outcome(
        lambda threads: bitloom_bulk.unpack_columns(
            data, FAULTY, offsets=offsets, lengths=lengths, threads=threads
        ),
        allowed(CPUS) if CPUS >= 2 else [None],
    )
    assert want[0] == "error" and any(f"in packet {2 * SHARE + 7} " in n for n in want[3]), want


@pytest.mark.parametrize("function", ["unpack_columns", "unpack_ccsds"])
@pytest.mark.parametrize(
    "threads, etype, message",
    [
        (
            0,
            ValueError,
            f"argument 'threads' must be between 1 and {CPUS} (the CPUs available), not 0",
        ),
        (-1, ValueError, "must be between 1 and"),
        (CPUS + 1, ValueError, f"not {CPUS + 1}"),
        (2**70, ValueError, f"not {2**70}"),
        (True, TypeError, "argument 'threads' must be an int or None, not bool"),
        (1.0, TypeError, "must be an int or None, not float"),
        ("2", TypeError, "must be an int or None, not str"),
        (np.float64(2), TypeError, "not numpy.float64"),
    ],
)
def test_bad_thread_counts_are_refused_naming_the_call(function, threads, etype, message):
    if function == "unpack_columns":
        call = lambda: bitloom_bulk.unpack_columns(GOOD, FAULTY, packet_bytes=SIZE, threads=threads)  # noqa: E731
    else:
        data = streams.fixed_stream(3, 5, 12)
        call = lambda: bitloom_bulk.unpack_ccsds(data, {5: FAULTY}, threads=threads)  # noqa: E731
    with pytest.raises(etype) as info:
        call()
    assert str(info.value).startswith(f"{function}() argument 'threads'")
    assert message in str(info.value)


def test_numpy_integers_and_the_cpu_count_are_taken():
    got = bitloom_bulk.unpack_columns(
        GOOD * COUNT, FAULTY, packet_bytes=SIZE, threads=np.int64(CPUS)
    )
    same_columns(
        got, bitloom_bulk.unpack_columns(GOOD * COUNT, FAULTY, packet_bytes=SIZE, threads=1)
    )


LIMITED = """
import resource, sys
import numpy as np
import bitloom_bulk
from bitloom_bulk import field
recipe = [field("a", "unsigned", 12), field("b", "ieee754_f32", 32), field("t", "us_ascii", 16)]
data = (np.arange(200_000 * 8, dtype=np.uint32) % 100).astype(np.uint8).tobytes()
want = bitloom_bulk.unpack_columns(data, recipe, packet_bytes=8, text="bytes", threads=1)
with open("/proc/self/statm") as f:
    pages = int(f.read().split()[0])
# Address space for the call's columns and little else: a thread's stack
# (8 MiB) does not fit, so starting the second thread fails.
room = pages * 4096 + 6 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (room, room))
got = bitloom_bulk.unpack_columns(data, recipe, packet_bytes=8, text="bytes", threads=2)
assert list(got) == list(want)
assert all(got[k].tobytes() == want[k].tobytes() for k in want)
import threading
try:
    threading.Thread(target=print).start()
    print("a thread started")
except RuntimeError:
    print("no thread")
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="RLIMIT_AS as Linux has it")
@pytest.mark.skipif(
    bool(os.environ.get("BITLOOM_SANITIZED")),
    reason="AddressSanitizer maps terabytes of shadow memory, which RLIMIT_AS refuses",
)
def test_a_thread_that_cannot_start_leaves_its_ranges_to_the_others():
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(LIMITED)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    if "a thread started" in done.stdout:
        pytest.skip("the address-space limit did not stop a thread from starting")
    assert "no thread" in done.stdout


def test_a_thread_writing_into_the_data_meanwhile_gets_clean_outcomes_only():
    # The data and the offsets change under the decoding threads: every call
    # returns whole columns or raises; nothing reads outside the buffers.
    data = bytearray(GOOD * COUNT)
    offsets = np.arange(COUNT, dtype=np.int64) * SIZE
    lengths = np.full(COUNT, SIZE, dtype=np.int64)
    stop = threading.Event()

    def write():
        rng = np.random.default_rng(1)
        while not stop.is_set():
            at = int(rng.integers(0, COUNT))
            data[at * SIZE + 1] = int(rng.integers(0, 256))
            offsets[at] = int(rng.integers(0, COUNT)) * SIZE + int(rng.integers(0, 9))

    writer = threading.Thread(target=write)
    writer.start()
    try:
        for text in ("object", "bytes") * 10:
            got = outcome(
                bitloom_bulk.unpack_columns,
                data,
                FAULTY,
                offsets=offsets,
                lengths=lengths,
                text=text,
                threads=allowed(CPUS)[0],
                catch=(ValueError, RuntimeError),
            )
            if got[0] == "ok":
                assert {len(c) for c in got[1].values()} == {COUNT}
    finally:
        stop.set()
        writer.join()
