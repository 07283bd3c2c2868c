"""Definitions.decode against the reference model (tests/support/definitions_model.py)
over random definitions and random packets, faulty ones included, in both
error modes, with and without derived values, under every framing."""

from __future__ import annotations

import random

import numpy as np
import pytest

from bitloom_bulk import Definitions, PacketType, field
from tests.support import definitions_model as model
from tests.support.random_definitions import derive, number, random_definitions, random_packets


@pytest.mark.parametrize("seed", range(120))
def test_decode_agrees_with_the_model(seed):
    defs = random_definitions(seed)
    data, offsets, lengths = random_packets(seed, 60)
    for derived in (True, False):
        want = model.decode(defs, data, derived=derived, offsets=offsets, lengths=lengths)
        got = defs.decode(data, offsets=offsets, lengths=lengths, derived=derived, errors="skip")
        model.assert_same(defs, got, want)
        first_error = want[4]
        if first_error is None:
            again = defs.decode(data, offsets=offsets, lengths=lengths, derived=derived)
            model.assert_same(defs, again, want)
            continue
        with pytest.raises(Exception) as info:
            defs.decode(data, offsets=offsets, lengths=lengths, derived=derived)
        assert isinstance(info.value, first_error[1]), (info.value, first_error)
        assert f"in packet {first_error[0]} " in info.value.__notes__[1]


@pytest.mark.parametrize("seed", range(20))
def test_fixed_size_and_ccsds_framing_agree_with_the_model(seed):
    from tests.support import streams

    defs = random_definitions(1000 + seed)
    rng = np.random.default_rng(seed)
    fixed = rng.integers(0, 256, size=40 * 30, dtype=np.uint8)
    fixed[::40] &= 0x3F
    fixed = bytes(fixed)
    want = model.decode(defs, fixed, packet_bytes=40)
    model.assert_same(defs, defs.decode(fixed, packet_bytes=40, errors="skip"), want)
    # The same packets where the caller says, with bytes between them: one
    # length, but not back to back.
    gap = 1 + seed % 5
    spread = b"".join(fixed[i : i + 40] + bytes([0xA5]) * gap for i in range(0, len(fixed), 40))
    places = np.arange(30) * (40 + gap)
    got = defs.decode(spread, offsets=places, lengths=np.full(30, 40), errors="skip")
    model.assert_same(defs, got, want)
    # CCSDS packets whose bodies start with the counters.
    stream = bytearray(streams.stream(rng.integers(0, 4, 30), rng.integers(20, 40, 30), rng))
    at = 0
    while at < len(stream):
        stream[at] &= 0x3F
        at += int.from_bytes(stream[at + 4 : at + 6], "big") + 7
    want = model.decode(defs, bytes(stream))
    model.assert_same(defs, defs.decode(bytes(stream), errors="skip"), want)


@pytest.mark.parametrize("seed", range(30))
def test_apid_keyed_sets_agree_with_the_model(seed):
    """Sets that only sort packets by APID decode as unpack_ccsds does; the
    model holds them (and the faulty packets that send them the general way)."""
    from bitloom_bulk.ccsds import primary_header
    from tests.support import streams

    rng = random.Random(seed)
    root = PacketType("root", primary_header(), abstract=True)
    types = [root]
    parent = "root"
    if seed % 3:
        # Abstract types without items between the root and the APIDs' types,
        # such as a version check; odd seeds below break it for some packets.
        types.append(PacketType("tm", [], parent="root", where={"version": 0}, abstract=True))
        types.append(PacketType("tm2", [], parent="tm", where=[("type", "<=", 0)], abstract=True))
        parent = "tm2"
    for apid in range(3):
        # Derived values too: the set keeps the APID route and derives after.
        items = [derive(rng, number(rng, f"a{apid}_{i}")) for i in range(rng.randint(0, 5))]
        if seed % 2 == 0:
            # Even seeds decode whole: no BCD digits to refuse.
            items = [i for i in items if i["encoding"] != "packed_bcd"]
        if rng.random() < 0.3:
            # Latin-1 reads every byte; ASCII refuses half of them.
            items.append(field(f"t{apid}", "us_ascii" if seed % 2 else "iso_8859_1", 16))
        types.append(PacketType(f"apid{apid}", items, parent=parent, where={"apid": apid}))
    defs = Definitions(types)
    nrng = np.random.default_rng(seed)
    count = 80
    # Long enough for every field, but for a few short packets in odd seeds.
    sizes = nrng.integers(34, 44, count)
    if seed % 2:
        sizes[nrng.integers(0, count, 3)] = 9
    stream = streams.stream(nrng.integers(0, 4, count), sizes, nrng)
    if seed % 3 == 1:
        stream = bytearray(stream)
        at = 0
        for _ in range(count):
            if nrng.random() < 0.1:
                # Type 1 (telecommand); framing itself refuses other versions.
                stream[at] |= 0x10
            at += int.from_bytes(stream[at + 4 : at + 6], "big") + 7
        stream = bytes(stream)
    for derived in (True, False):
        want = model.decode(defs, stream, derived=derived)
        model.assert_same(defs, defs.decode(stream, derived=derived, errors="skip"), want)
        if want[4] is None:
            model.assert_same(defs, defs.decode(stream, derived=derived), want)
        else:
            with pytest.raises(Exception) as info:
                defs.decode(stream, derived=derived)
            assert isinstance(info.value, want[4][1])
            assert f"in packet {want[4][0]} " in info.value.__notes__[1]
