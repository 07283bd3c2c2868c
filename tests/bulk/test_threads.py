"""Many threads sharing one Layout and one data buffer: every call gives the
single-threaded result (on free-threaded builds these run truly in parallel)."""

import random
import threading

import numpy as np
import pytest

import bitloom_bulk
from tests.support.outcomes import outcome
from tests.support.random_recipes import random_packet

RECIPE = [
    {"name": f"f{i}", "encoding": enc, "bits": bits, "byte_order": order, "reverse_bits": rev}
    for i, (enc, bits, order, rev) in enumerate(
        [
            ("unsigned", 11, "big", False),
            ("twos_complement", 16, "little", False),
            ("ieee754_f32", 32, "big", False),
            ("iso_8859_1", 16, "big", False),
            ("sign_magnitude", 7, "big", True),
            ("unsigned", 70, "little", False),
        ]
    )
]


def test_threads_share_layouts_and_buffers():
    rng = random.Random(7)
    layout = bitloom_bulk.compile(RECIPE)
    size = (layout.packet_bits + 7) // 8
    data = b"".join(random_packet(rng, size) for _ in range(2000))
    want = bitloom_bulk.unpack_columns(data, layout, packet_bytes=size)
    first = data[:size]
    want_one = layout.unpack(first)
    values = tuple(want_one.values())
    want_packet = layout.pack(values)
    failures = []
    barrier = threading.Barrier(8)

    def work():
        barrier.wait()
        for _ in range(30):
            got = bitloom_bulk.unpack_columns(data, RECIPE if _ % 3 else layout, packet_bytes=size)
            if list(got) != list(want) or not all(
                np.array_equal(got[k], want[k], equal_nan=want[k].dtype.kind == "f") for k in want
            ):
                failures.append("columns")
            if layout.unpack(first) != want_one or layout.pack(values) != want_packet:
                failures.append("packet")

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


# A mixed stream of three APIDs, each with a recipe that reads the primary header
# and then fields of several kinds (odd widths, both byte orders, reversal, text).
HEADER = [
    {"name": "apid", "encoding": "unsigned", "bits": 11, "offset_bits": 5},
    {"name": "seq", "encoding": "unsigned", "bits": 14, "offset_bits": 18},
    {"name": "length", "encoding": "unsigned", "bits": 16},
]
BODIES = {
    0x064: [
        ("unsigned", 13, "big", False),
        ("twos_complement", 16, "little", False),
        ("ieee754_f32", 32, "big", False),
        ("ones_complement", 9, "big", True),
    ],
    0x065: [
        ("ieee754_f64", 64, "little", False),
        ("sign_magnitude", 23, "big", False),
        ("unsigned", 70, "big", True),
        ("iso_8859_1", 24, "big", False),
    ],
    0x066: [
        ("ieee754_f16", 16, "big", False),
        ("unsigned", 5, "big", False),
        ("twos_complement", 40, "little", False),
    ],
}


def body_recipe(apid):
    return [{**item, "byte_order": "big", "reverse_bits": False} for item in HEADER] + [
        {"name": f"b{i}", "encoding": enc, "bits": bits, "byte_order": order, "reverse_bits": rev}
        for i, (enc, bits, order, rev) in enumerate(BODIES[apid])
    ]


def column_key(col):
    """A column as comparable data: its dtype and its elements (floats by their bits)."""
    if col.dtype.kind == "f":
        return (col.dtype.str, col.view(np.uint64).tolist())
    return (col.dtype.str, col.tolist())


def columns_key(cols):
    return [(name, column_key(col)) for name, col in cols.items()]


def test_every_function_from_many_threads():
    """compile, Layout.unpack/pack/pack_into, unpack_columns (fixed size and at
    offsets, and a failing call), split_ccsds and unpack_ccsds, all at once from
    many threads over shared buffers and layouts, each result equal to the
    single-threaded one."""
    from tests.support import streams

    recipes = {apid: body_recipe(apid) for apid in BODIES}
    layouts = {apid: bitloom_bulk.compile(r) for apid, r in recipes.items()}
    sizes = {apid: max(8, (lay.packet_bits + 7) // 8) for apid, lay in layouts.items()}
    stream = streams.mixed_stream(3000, sizes, seed=11)
    fixed_apid = 0x065
    fixed = streams.fixed_stream(1500, fixed_apid, sizes[fixed_apid], seed=12)
    # A stream whose packet 700 holds a malformed BCD digit (0xF): the call must fail there.
    bcd = [
        {
            "name": "d",
            "encoding": "packed_bcd",
            "bits": 8,
            "byte_order": "big",
            "reverse_bits": False,
        }
    ]
    bad = bytearray(b"\x12" * 1000)
    bad[700] = 0x1F
    bad = bytes(bad)
    first = fixed[: sizes[fixed_apid]]
    lay = layouts[fixed_apid]
    values = tuple(lay.unpack(first).values())

    def split_key():
        f = bitloom_bulk.split_ccsds(stream)
        return [a.tolist() for a in f[:4]] + [f.end]

    def at_offsets_key():
        f = bitloom_bulk.split_ccsds(stream)
        return columns_key(
            bitloom_bulk.unpack_columns(
                stream, layouts[0x066], offsets=f.offsets, lengths=f.lengths
            )
        )

    def ccsds_key(use_layouts):
        r = bitloom_bulk.unpack_ccsds(stream, layouts if use_layouts else recipes)
        return sorted((apid, columns_key(cols)) for apid, cols in r.items()), r.skipped

    def pack_into_key():
        buf = bytearray(b"\xa5" * (len(first) + 3))
        lay.pack_into(buf, 5, values)
        return bytes(buf)

    calls = {
        "compile": lambda: [bitloom_bulk.compile(r).names for r in recipes.values()],
        "unpack": lambda: lay.unpack(first),
        "pack": lambda: lay.pack(values),
        "pack_into": pack_into_key,
        "unpack_columns": lambda: columns_key(
            bitloom_bulk.unpack_columns(fixed, lay, packet_bytes=sizes[fixed_apid])
        ),
        "unpack_columns (recipe)": lambda: columns_key(
            bitloom_bulk.unpack_columns(fixed, recipes[fixed_apid], packet_bytes=sizes[fixed_apid])
        ),
        "unpack_columns (offsets)": at_offsets_key,
        "unpack_columns (fault)": lambda: bitloom_bulk.unpack_columns(bad, bcd, packet_bytes=1),
        "split_ccsds": split_key,
        "unpack_ccsds": lambda: ccsds_key(True),
        "unpack_ccsds (recipes)": lambda: ccsds_key(False),
    }
    want = {name: outcome(fn) for name, fn in calls.items()}
    assert want["unpack_columns (fault)"][0] == "error"
    assert "in packet 700 " in " ".join(want["unpack_columns (fault)"][3])
    assert {n: w[:3] for n, w in want.items() if w[0] != "ok"}.keys() == {
        "unpack_columns (fault)"
    }, want

    nthreads = 8
    barrier = threading.Barrier(nthreads)
    mismatches = []
    done = []

    def work(seed):
        order = list(calls)
        random.Random(seed).shuffle(order)
        barrier.wait()
        for _ in range(10):
            for name in order:
                got = outcome(calls[name])
                if got != want[name]:
                    mismatches.append((seed, name, got[:3]))
        done.append(seed)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(nthreads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(done) == list(range(nthreads))
    assert mismatches == []


N_RACE, SIZE_RACE = 150_000, 12
RACE_RECIPE = [
    {"name": "a", "encoding": "unsigned", "bits": 13, "byte_order": "big", "reverse_bits": False},
    {"name": "b", "encoding": "packed_bcd", "bits": 8, "byte_order": "big", "reverse_bits": False},
    {"name": "c", "encoding": "iso_8859_1", "bits": 16, "byte_order": "big", "reverse_bits": False},
    {
        "name": "d",
        "encoding": "ieee754_f32",
        "bits": 32,
        "byte_order": "little",
        "reverse_bits": True,
    },
]


RACE_DEFINITIONS = bitloom_bulk.Definitions(
    [
        bitloom_bulk.PacketType(
            "t",
            [
                bitloom_bulk.field("n", "unsigned", 4),
                bitloom_bulk.field("e", "unsigned", 4, count={"field": "n"}),
                bitloom_bulk.field("blob", "binary", {"field": "n", "scale": 8}),
                bitloom_bulk.field("tail", "unsigned", 8, offset_bits=-8),
            ],
        )
    ]
)


@pytest.mark.parametrize(
    "target",
    [
        "offsets",
        "lengths",
        "data",
        "stream-split",
        "stream-unpack",
        "stream-unpack-crc",
        "repeated-starts",
        "repeated-counts",
        "definitions-data",
    ],
)
def test_arrays_and_data_changed_by_another_thread_never_break_a_call(target):
    """A thread writes nonsense into the offsets, lengths or data of calls that
    decode with the GIL released: each call returns columns of the right size
    or raises an ordinary exception (RuntimeError for data changed under it,
    ValueError for a packet fault); it never reads outside the data, and never
    raises what ``except Exception`` misses. Under the sanitizer build a read
    outside a buffer is fatal."""
    from tests.support import streams

    rng = np.random.default_rng(1)
    n, size = N_RACE, SIZE_RACE
    # 0x11 everywhere: every field decodes (the BCD digits too) until the
    # writer puts random bytes in.
    data = np.full(n * size, 0x11, dtype=np.uint8)
    offsets = np.arange(n, dtype=np.int64) * size
    lengths = np.full(n, size, dtype=np.int64)
    stream = bytearray(streams.mixed_stream(60_000, {5: 14, 6: 9}, seed=3))
    starts = np.zeros(n, dtype=np.int64)
    counts = np.ones(n, dtype=np.int64)
    # A block flipped between good and bad values by numpy copies, which run
    # with the GIL released: the writes land while a call checks, copies and
    # decodes, as they would from a thread of a free-threaded interpreter.
    # The block lies past the first run of packets a call decodes.
    later = slice(100_000, None)
    view, bad = {
        "offsets": (offsets[later], np.full(n - 100_000, 2**40, np.int64)),
        "lengths": (lengths[later], np.full(n - 100_000, 2**62, np.int64)),
        "data": (data[later], rng.integers(0, 256, len(data[later]), dtype=np.uint8)),
        "stream-split": (np.frombuffer(stream, np.uint8)[len(stream) // 2 :], None),
        "stream-unpack": (np.frombuffer(stream, np.uint8)[len(stream) // 2 :], None),
        "stream-unpack-crc": (np.frombuffer(stream, np.uint8)[len(stream) // 2 :], None),
        "repeated-starts": (starts[later], np.full(n - 100_000, 2**40, np.int64)),
        "repeated-counts": (counts[later], np.full(n - 100_000, 2**40, np.int64)),
        "definitions-data": (data[later], rng.integers(0, 256, len(data[later]), dtype=np.uint8)),
    }[target]
    if bad is None:
        bad = rng.integers(0, 256, len(view), dtype=np.uint8)
    good = view.copy()
    call = {
        "offsets": lambda: bitloom_bulk.unpack_columns(
            data, RACE_RECIPE, offsets=offsets, lengths=lengths
        )["a"],
        "lengths": lambda: bitloom_bulk.unpack_columns(
            data, RACE_RECIPE, offsets=offsets, lengths=lengths
        )["a"],
        "data": lambda: bitloom_bulk.unpack_columns(data, RACE_RECIPE, packet_bytes=size)["a"],
        "stream-split": lambda: bitloom_bulk.split_ccsds(stream).offsets,
        "stream-unpack": lambda: bitloom_bulk.unpack_ccsds(
            stream, {5: RACE_RECIPE[::2], 6: RACE_RECIPE[:1]}
        )[5]["a"],
        # CRCs checked (the syndromes read each packet's bytes by its length),
        # APID 6 not decoded.
        "stream-unpack-crc": lambda: bitloom_bulk.unpack_ccsds(
            stream, {5: RACE_RECIPE[::2]}, crc="ccitt"
        )[5]["a"],
        "repeated-starts": lambda: bitloom_bulk._native.unpack_repeated(
            data, RACE_RECIPE[:1], offsets, lengths, starts, counts, 13
        )["a"],
        "repeated-counts": lambda: bitloom_bulk._native.unpack_repeated(
            data, RACE_RECIPE[:1], offsets, lengths, starts, counts, 13
        )["a"],
        "definitions-data": lambda: RACE_DEFINITIONS.decode(data, packet_bytes=size)["t"]["tail"],
    }[target]
    stop = threading.Event()

    def scribble():
        while not stop.is_set():
            np.copyto(view, bad)
            np.copyto(view, good)

    seen = set()
    writer = threading.Thread(target=scribble)
    writer.start()
    # At least 30 calls, and more (up to 1,000) until one of them has met the
    # writer: on a busy machine the two threads may take turns for a while.
    try:
        for calls in range(1000):
            if calls >= 30 and seen - {"ok"}:
                break
            try:
                column = call()
            except (RuntimeError, ValueError) as exc:
                seen.add(type(exc).__name__)
            else:
                assert column.ndim == 1
                seen.add("ok")
    finally:
        stop.set()
        writer.join()
    assert seen - {"ok"}, "the writes never raced a call"
