"""Huge widths and offsets, packets of hundreds of MiB, and running out of
memory: each ends in a result or a clean exception, never a crash or a hang.

Positions are 64-bit inside the module, so a field is placed and read exactly
where its offset and width say, also beyond bit 2^32. The out-of-memory cases
run in a subprocess whose address space is limited (RLIMIT_AS); they are
skipped under the sanitizer build, whose shadow memory needs a huge address
space of its own.
"""

import os
import subprocess
import sys
import textwrap

import pytest

import bitloom as bl
from tests.support.items import item

MAX32 = 2**32 - 1
SANITIZED = bool(os.environ.get("BITLOOM_SANITIZED"))
MiB = 1 << 20


# ---- widths and offsets of 2^32 - 1 -----------------------------------------------


def outside_packet(call):
    """The failure of a field outside the packet: its range message, raised either as
    the module's internal failure or re-wrapped as a ValueError."""
    with pytest.raises(BaseException) as info:
        call()
    exc = info.value
    if type(exc).__name__ == "PanicException":
        assert not isinstance(exc, Exception)
        return str(exc)
    assert type(exc) is ValueError, repr(exc)
    assert str(exc).startswith("ValueError: ")
    return str(exc)[len("ValueError: ") :]


@pytest.mark.parametrize(
    ("reverse", "order", "index", "byte"),
    [
        (False, "big", -1, 0x02),  # value 1 right-aligned: bit 2^32 - 2 of 2^32 bits
        (True, "big", 0, 0x80),  # mirrored over the width: position 0
        # Bytes reversed: the value's byte first; the field drops the image's top 7 bits.
        (False, "little", 0, 0x02),
    ],
)
def test_field_of_the_largest_width(reverse, order, index, byte):
    recipe = [item(bits=MAX32, value=1, reverse_bits=reverse, byte_order=order)]
    packet = bl.pack_parameters(recipe)
    assert len(packet) == 2**29
    assert packet[index] == byte
    assert packet.count(0) == len(packet) - 1
    if order == "big":
        assert bl.unpack_parameters(packet, 0, recipe) == {"f": 1}
    del packet


def test_field_at_the_largest_offset():
    recipe = [item(bits=1, value=1, offset_bits=MAX32)]
    packet = bl.pack_parameters(recipe)
    assert len(packet) == 2**29
    assert packet[-1] == 1 and packet.count(0) == len(packet) - 1
    assert bl.unpack_parameters(packet, 0, recipe) == {"f": 1}
    # The same field read relative to the largest base offset lies outside.
    assert outside_packet(lambda p=packet: bl.unpack_parameters(p, MAX32, recipe)) == (
        "range start index 1073741823 out of range for slice of length 536870912"
    )
    del packet


@pytest.mark.parametrize(
    ("base", "offset", "bits", "message"),
    [
        (MAX32, MAX32, MAX32, "range start index 1073741823 out of range for slice of length 4"),
        (0, 0, MAX32, "range end index 536870912 out of range for slice of length 4"),
        (0, MAX32, 0, "range start index 536870911 out of range for slice of length 4"),
        (MAX32, None, 1, "range start index 536870911 out of range for slice of length 4"),
        (32, None, MAX32, "range end index 536870916 out of range for slice of length 4"),
    ],
)
def test_huge_positions_outside_a_small_packet(base, offset, bits, message):
    recipe = [item(bits=bits, offset_bits=offset)]
    assert (
        outside_packet(lambda: bl.unpack_parameters(b"\x01\x02\x03\x04", base, recipe)) == message
    )


def test_zero_width_fields_at_the_largest_offsets():
    recipe = [item(bits=0, value=0, offset_bits=MAX32)] * 3
    packet = bl.pack_parameters(recipe)
    assert len(packet) == 2**29 and packet.count(0) == len(packet)
    assert bl.unpack_parameters(packet, 7, recipe) == {"f": 0}


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda: bl.decode_twos_complement(2**64 - 5, MAX32), -5),
        (lambda: bl.decode_ones_complement(2**64 - 5, MAX32), -4),
        (lambda: bl.encode_packed_bcd(1234, MAX32), 0x1234),
        (lambda: bl.encode_packed_bcd(-1234, MAX32, True), 0x1234D),
        (lambda: bl.decode_packed_bcd(0x1234, MAX32), 1234),
        (lambda: bl.encode_unpacked_bcd(123, MAX32, True), 0xF0F0F0F0F0F1F2C3),
        (lambda: bl.decode_unpacked_bcd(0x010203, MAX32), 123),
    ],
)
def test_standalone_functions_at_the_largest_width(call, expected):
    assert call() == expected


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: bl.encode_twos_complement(0, MAX32),
            "bits must be <= 64 for two's complement encoding",
        ),
        (
            lambda: bl.encode_ones_complement(0, MAX32),
            "bits must be <= 64 for ones' complement encoding",
        ),
        (
            lambda: bl.encode_sign_magnitude(0, MAX32),
            "bits must be between 2 and 64 for sign-magnitude encoding",
        ),
        (
            lambda: bl.decode_unpacked_bcd(0xF1F2C3, MAX32, True),
            "Invalid zoned decimal byte: 0x00 (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)",
        ),
    ],
)
def test_standalone_refusals_at_the_largest_width(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message


# ---- packets of hundreds of MiB -------------------------------------------------------


def test_text_packet_of_hundreds_of_mib():
    size = 200 * MiB
    text = "x" * (size - 2) + "é"  # 200 MiB of UTF-8
    recipe = [item("t", "utf8", 8 * size, text), item("u", "unsigned", 8, 0xA5)]
    packet = bl.pack_parameters(recipe)
    assert len(packet) == size + 1
    assert packet[:3] == b"xxx" and packet[-3:] == "é".encode() + b"\xa5"
    got = bl.unpack_parameters(packet, 0, recipe)
    assert got["u"] == 0xA5 and len(got["t"]) == size - 1 and got["t"] == text
    # Little-endian: the window is a reversed copy, decoded as Latin-1.
    flipped = [item("t", "latin1", 8 * size, byte_order="little")]
    assert bl.unpack_parameters(packet, 0, flipped)["t"][:3] == "\xa9\xc3x"
    del packet, got, text


def test_numeric_field_spanning_hundreds_of_mib():
    bits = 8 * 200 * MiB + 5
    recipe = [item("f", "packed_bcd_signed", bits, -9876543210, reverse_bits=True)]
    packet = bl.pack_parameters(recipe)
    assert len(packet) == 200 * MiB + 1
    assert bl.unpack_parameters(packet, 0, recipe) == {"f": -9876543210}
    del packet


# ---- allocation failure under a memory limit -----------------------------------------

LIMITED = textwrap.dedent(
    r"""
    import resource, sys
    import bitloom as bl

    def item(encoding, bits, value=None, offset=None, order="big", name="f"):
        d = {"name": name, "encoding": encoding, "bits": bits, "byte_order": order,
             "reverse_bits": False}
        if value is not None:
            d["value"] = value
        if offset is not None:
            d["offset_bits"] = offset
        return d

    MiB = 1 << 20
    MAX32 = 2**32 - 1
    # The inputs exist before the limit; each result would need more than is left.
    text = "y" * (96 * MiB)
    text2 = text + text
    packet = bytes(192 * MiB)
    supplementary = b"\x00\x00\x01\x00" * (64 * MiB)
    many = [item("unsigned", 8)] * (4 * MiB)

    with open("/proc/self/status") as f:
        size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
    limit = size + 200 * MiB
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    cases = {
        "gib_packet": lambda: bl.pack_parameters(
            [item("unsigned", MAX32, 1, MAX32), item("unsigned", MAX32, 1)]),
        "utf32_text": lambda: bl.encode_utf32(text),
        "utf16_field": lambda: bl.pack_parameters([item("utf16le", 8, text2)]),
        "utf32_field": lambda: bl.pack_parameters([item("utf32", 8, text)]),
        "wide_text_field": lambda: bl.unpack_parameters(
            packet, 4, [item("latin1", 8 * len(packet) - 8, order="little")]),
        "decode_utf32": lambda: bl.decode_utf32be(supplementary),
        "many_items": lambda: bl.unpack_parameters(packet, 0, many),
    }
    for name, call in cases.items():
        for attempt in range(2):
            try:
                result = call()
            except MemoryError:
                outcome = "MemoryError"
            except ValueError as exc:
                outcome = "ValueError " + str(exc)[:60]
            else:
                outcome = "result " + type(result).__name__
                del result
            print(name, outcome, flush=True)
    # Nothing was left broken: ordinary calls still work.
    assert bl.pack_parameters([item("unsigned", 12, 0xABC)]) == b"\xab\xc0"
    assert bl.decode_utf8(b"ok") == "ok"
    print("done", flush=True)
    """
)


@pytest.mark.skipif(SANITIZED, reason="ASan needs an unlimited address space")
def test_allocation_failure_under_a_memory_limit():
    proc = subprocess.run(
        [sys.executable, "-c", LIMITED],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    lines = proc.stdout.splitlines()
    assert lines[-1] == "done"
    outcomes = {}
    for line in lines[:-1]:
        name, outcome = line.split(" ", 1)
        outcomes.setdefault(name, set()).add(outcome)
        assert outcome == "MemoryError" or outcome.startswith("result "), line
    # None of these results fits into what the limit leaves; a text of 256 MiB
    # and a dict of many items may or may not (freed memory is reused).
    for name in ("gib_packet", "utf32_text", "utf16_field", "utf32_field", "wide_text_field"):
        assert outcomes[name] == {"MemoryError"}, (name, outcomes[name])
