"""text="bytes": text items as fixed-width bytes columns of the bytes each
text is decoded from, against a reference extraction written out here, and
against text="object" for every other column, over random recipes."""

from __future__ import annotations

import random

import numpy as np
import pytest

import bitloom_bulk
from tests.support.random_recipes import TEXT, random_packet, random_recipe
from tests.support.streams import stream

TEXTS = {t.lower() for t in TEXT}


def _starts(recipe):
    """Each column's item (the last of its name) and its first bit."""
    found, running = {}, 0
    for item in recipe:
        start = item.get("offset_bits", running)
        found[item["name"]] = (item, start)
        running = start + item["bits"]
    return found


def _window(packet, start, bits, little):
    """The bytes a text of ``bits`` at bit ``start`` is decoded from: its bits
    right-aligned in whole bytes, their order reversed for little-endian."""
    n = (bits + 7) // 8
    total = 8 * len(packet)
    value = (int.from_bytes(packet, "big") >> (total - start - bits)) & ((1 << bits) - 1)
    raw = value.to_bytes(n, "big")
    return raw[::-1] if little else raw


def _outcome(call):
    try:
        return call(), None
    except Exception as exc:  # the fault is compared below
        return None, exc


@pytest.mark.parametrize("seed", range(300))
def test_bytes_columns_against_reference_and_object_columns(seed):
    rng = random.Random(seed)
    recipe = random_recipe(rng)
    size = max(1, -(-max(i.get("offset_bits", 0) + i["bits"] for i in recipe) // 8))
    size += rng.choice([0, 0, 1, 3]) if rng.random() < 0.9 else -1
    size = max(size, 1)
    packets = [random_packet(rng, size) for _ in range(rng.randint(0, 12))]
    data = b"".join(packets)
    objects, object_fault = _outcome(
        lambda: bitloom_bulk.unpack_columns(data, recipe, packet_bytes=size)
    )
    texts, bytes_fault = _outcome(
        lambda: bitloom_bulk.unpack_columns(data, recipe, packet_bytes=size, text="bytes")
    )
    if bytes_fault is not None:
        # Bytes are never checked against the encoding: a fault here is a
        # bounds or number fault, which the object columns meet too.
        assert object_fault is not None, bytes_fault
        return
    for name, (item, start) in _starts(recipe).items():
        column = texts[name]
        if item["encoding"].lower() in TEXTS:
            width = max((item["bits"] + 7) // 8, 1)
            assert column.dtype == np.dtype(f"S{width}"), (name, column.dtype)
            little = item["byte_order"].lower() == "little"
            want = [_window(p, start, item["bits"], little).rstrip(b"\0") for p in packets]
            assert column.tolist() == want, name
        elif objects is not None:
            other = objects[name]
            assert column.dtype == other.dtype
            assert np.array_equal(column, other, equal_nan=column.dtype.kind == "f"), name


def test_bytes_columns_of_a_ccsds_stream_as_of_its_packets():
    rng = np.random.default_rng(5)
    data = stream(rng.integers(0, 3, 50), rng.integers(11, 20, 50), rng)
    recipe = [
        {"name": "t", "encoding": "iso_8859_1", "bits": 24, "byte_order": "big",
         "reverse_bits": False, "offset_bits": 52},
        {"name": "n", "encoding": "unsigned", "bits": 8, "byte_order": "big",
         "reverse_bits": False},
    ]  # fmt: skip
    got = bitloom_bulk.unpack_ccsds(data, {0: recipe, 2: recipe}, text="bytes")
    frames = bitloom_bulk.split_ccsds(data)
    for apid in (0, 2):
        which = frames.apids == apid
        want = bitloom_bulk.unpack_columns(
            data, recipe, offsets=frames.offsets[which], lengths=frames.lengths[which], text="bytes"
        )
        assert got[apid]["t"].dtype == np.dtype("S3")
        assert got[apid]["t"].tolist() == want["t"].tolist()
        assert got[apid]["n"].tolist() == want["n"].tolist()


@pytest.mark.parametrize(
    ("text", "error", "message"),
    [
        ("str", ValueError, "argument 'text' must be 'object', 'bytes' or 'arrow', not 'str'"),
        ("BYTES", ValueError, "not 'BYTES'"),
        (b"bytes", TypeError, "not bytes"),
        (1, TypeError, "not int"),
    ],
)
def test_text_argument_refused(text, error, message):
    recipe = [
        {"name": "t", "encoding": "utf8", "bits": 8, "byte_order": "big", "reverse_bits": False}
    ]
    with pytest.raises(error, match=message):
        bitloom_bulk.unpack_columns(b"a", recipe, packet_bytes=1, text=text)
    with pytest.raises(error, match=message.replace("unpack_columns", "unpack_ccsds")):
        bitloom_bulk.unpack_ccsds(b"", {1: recipe}, text=text)


def test_bytes_columns_over_several_runs_of_packets():
    # More packets than one run of the decoder (65,536): each run's texts go
    # after the previous run's.
    count = 70_000
    packets = np.zeros((count, 3), dtype=np.uint8)
    packets[:, 1] = np.arange(count) % 251
    packets[:, 2] = np.arange(count) // 251
    data = packets.tobytes()
    recipe = [{"name": "t", "encoding": "iso_8859_1", "bits": 16, "byte_order": "big",
               "reverse_bits": False, "offset_bits": 8}]  # fmt: skip
    offsets = np.arange(count) * 3
    got = bitloom_bulk.unpack_columns(
        data, recipe, offsets=offsets, lengths=np.full(count, 3), text="bytes"
    )["t"]
    assert got.tolist() == [bytes(p[1:]).rstrip(b"\0") for p in packets]
