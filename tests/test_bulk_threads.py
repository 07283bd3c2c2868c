"""Many threads sharing one Layout and one data buffer: every call gives the
single-threaded result (on free-threaded builds these run truly in parallel)."""

import random
import threading

import numpy as np
from bulk_helpers import random_packet

import bitloom_bulk

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
