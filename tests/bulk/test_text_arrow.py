"""text="arrow": text items as ArrowColumns (Arrow utf8) holding the same
texts as text="object" gives as str, and raising what it raises, over random
recipes of every text encoding, the three framings and CCSDS streams; read
through pyarrow."""

from __future__ import annotations

import contextlib
import pickle
import random

import numpy as np
import pytest

import bitloom_bulk
from bitloom_bulk._recipe_checks import _TEXT_CODECS
from tests.support.crc import crc16_ccitt
from tests.support.random_recipes import (
    TEXT,
    packer_bits,
    random_item,
    random_packet,
    random_recipe,
)
from tests.support.streams import stream

pa = pytest.importorskip("pyarrow")

TEXTS = {t.lower() for t in TEXT}
# Characters of every width, and the byte-order marks windows_1252 sniffs
# (as its own characters: "ÿþ" is FF FE, "ï»¿" EF BB BF).
ALPHABET = "aZ09 \0é€ÿþï»¿ĀΩ中😀"
PREFIXES = ["", "", "", "ÿþ", "þÿ", "ï»¿"]


def _outcome(call):
    try:
        return call(), None
    except Exception as exc:  # compared by the caller
        return None, exc


def _same_fault(fault, other):
    assert type(other) is type(fault), (fault, other)
    assert str(other) == str(fault)
    assert getattr(other, "__notes__", None) == getattr(fault, "__notes__", None)


def _plant_texts(rng, recipe, packet):
    """The packet with its text fields overwritten by encoded random texts
    (the longest start of each that encodes and fits), so that they decode."""
    buffer = bytearray(packet)
    running = 0
    for item in recipe:
        start = item.get("offset_bits", running)
        running = start + item["bits"]
        encoding = item["encoding"].lower()
        if encoding not in TEXTS:
            continue
        value = rng.choice(PREFIXES) + "".join(
            rng.choice(ALPHABET) for _ in range(rng.randrange(0, 1 + item["bits"] // 8))
        )
        while value:
            try:
                if len(value.encode(_TEXT_CODECS[encoding])) <= item["bits"] // 8:
                    break
            except UnicodeEncodeError:
                pass
            value = value[:-1]
        one = {k: v for k, v in item.items() if k != "offset_bits"}
        with contextlib.suppress(ValueError):  # no room for a byte-order mark
            bitloom_bulk.compile([one]).pack_into(buffer, start, {one["name"]: value})
    return bytes(buffer)


def _text_bits(rng, encoding):
    """A text field's size: whole units of its encoding, mostly."""
    if rng.random() < 0.1:
        return rng.choice([0, 13, 24, 36])
    unit = 32 if "32" in encoding else 16 if "16" in encoding else 8
    return unit * rng.randrange(0 if unit == 8 else 1, 9 if unit == 8 else 5)


def _text_names(recipe):
    """The columns that are text: a name's last item decides."""
    kinds = {item["name"]: item["encoding"].lower() in TEXTS for item in recipe}
    return {name for name, text in kinds.items() if text}


def _compare(recipe, call):
    """call(text) under "object" and "arrow": the same fault, or the same
    columns (texts through pyarrow, the others equal). Returns the count of
    text columns compared."""
    objects, object_fault = _outcome(lambda: call("object"))
    arrows, arrow_fault = _outcome(lambda: call("arrow"))
    if object_fault is not None:
        assert arrow_fault is not None, object_fault
        _same_fault(object_fault, arrow_fault)
        return 0
    assert arrow_fault is None, arrow_fault
    assert list(arrows) == list(objects)
    texts = _text_names(recipe)
    for name, column in arrows.items():
        other = objects[name]
        if name in texts:
            assert isinstance(column, bitloom_bulk.ArrowColumn)
            assert other.dtype == object
            got = pa.array(column)
            assert got.type == pa.string()
            assert got.to_pylist() == list(other), name
            assert column.to_pylist() == list(other)
            assert len(column) == len(other)
        else:
            assert column.dtype == other.dtype
            assert np.array_equal(column, other, equal_nan=column.dtype.kind == "f"), name
    return len(texts)


@pytest.mark.parametrize("seed", range(300))
def test_arrow_columns_against_object_columns(seed):
    rng = random.Random(seed)
    # Every third recipe as random as they come; the others of items that
    # decode from any bytes, with texts of any encoding added.
    recipe = random_recipe(rng, clean=seed % 3 != 0)
    if seed % 3 != 0:
        for k in range(rng.randrange(1, 4)):
            item = random_item(rng, f"t{k}")
            item["encoding"] = rng.choice(TEXT)
            item["bits"] = _text_bits(rng, item["encoding"])
            recipe.insert(rng.randrange(len(recipe) + 1), item)
    size = max(1, -(-packer_bits(recipe) // 8))
    size += rng.choice([0, 0, 1, 3]) if rng.random() < 0.9 else -1
    size = max(size, 1)
    packets = [
        _plant_texts(rng, recipe, random_packet(rng, size)) if rng.random() < 0.97 else
        random_packet(rng, size)
        for _ in range(rng.randint(0, 12))
    ]  # fmt: skip
    data = b"".join(packets)
    framing = seed // 3 % 3
    if framing == 0:
        _compare(recipe, lambda text: bitloom_bulk.unpack_columns(
            data, recipe, packet_bytes=size, text=text))  # fmt: skip
    elif framing == 1:
        # Packets in a shuffled order with gaps between them.
        order = list(range(len(packets)))
        rng.shuffle(order)
        gap = rng.randrange(0, 3)
        spaced = b"".join(b"\xff" * gap + p for p in packets)
        offsets = [i * (size + gap) + gap for i in order]
        _compare(recipe, lambda text: bitloom_bulk.unpack_columns(
            spaced, recipe, offsets=offsets, lengths=[size] * len(order), text=text))  # fmt: skip
    else:
        shift = rng.randrange(1, 12)
        shifted = (int.from_bytes(data + b"\0" * 2, "big") >> shift).to_bytes(len(data) + 2, "big")
        _compare(recipe, lambda text: bitloom_bulk.unpack_columns(
            shifted, recipe, offsets=[i * size for i in range(len(packets))],
            lengths=[size + 2] * len(packets), offset_bits=shift, text=text))  # fmt: skip


# A text field that decodes in packets but one, and the bytes that fail there.
BAD = {
    "us_ascii": b"ab\x80d",
    "utf8": b"a\xc3(d",
    "utf16": b"\x00a\xd8\x00",
    "utf16le": b"\x00\xdca\x00",
    "utf32be": b"\x00\x11\x00\x00",
    "windows_1252": b"\xef\xbb\xbf\xff",
}


@pytest.mark.parametrize("encoding", sorted(BAD))
@pytest.mark.parametrize("numeric_first", [False, True])
def test_faulty_text_raises_as_object_columns(encoding, numeric_first):
    # Texts fail at packets 5 and 7; a BCD digit fails at packet 3 (before) or 9.
    recipe = [
        {"name": "n", "encoding": "packed_bcd", "bits": 8, "byte_order": "big", "reverse_bits": False},
        {"name": "t", "encoding": encoding, "bits": 32, "byte_order": "big",
         "reverse_bits": False},
    ]  # fmt: skip
    good = bitloom_bulk.compile(recipe[1:]).pack({"t": "ab" if "32" not in encoding else "a"})
    packets = [b"\x12" + good for _ in range(12)]
    packets[5] = packets[7] = b"\x12" + BAD[encoding]
    packets[3 if numeric_first else 9] = b"\x1f" + good
    data = b"".join(packets)
    with pytest.raises(ValueError) as raised:
        bitloom_bulk.unpack_columns(data, recipe, packet_bytes=5)
    assert f"in packet {3 if numeric_first else 5} " in raised.value.__notes__[-1]
    _compare(recipe, lambda text: bitloom_bulk.unpack_columns(data, recipe, packet_bytes=5,
                                                              text=text))  # fmt: skip
    # The same packets as a CCSDS stream of APID 4 (header fields not in the recipe).
    apid = [{**item, "offset_bits": 48 + 8 * i} for i, item in enumerate(recipe)]
    ccsds = b"".join(bytes([0x08, 4, 0xC0, k, 0, len(p) - 1]) + p for k, p in enumerate(packets))
    _compare(apid, lambda text: bitloom_bulk.unpack_ccsds(ccsds, {4: apid}, text=text)[4])


@pytest.mark.parametrize("seed", range(6))
def test_ccsds_arrow_columns_against_object_columns(seed):
    rng = np.random.default_rng(seed)
    pick = random.Random(seed)
    lengths = rng.integers(40, 70, 80)
    data = bytearray(stream(rng.integers(0, 3, 80), lengths, rng))
    recipes = {}
    for apid in (0, 2):
        recipe = [{"name": "n", "encoding": "unsigned", "bits": 16, "byte_order": "big",
                   "reverse_bits": False, "offset_bits": 16}]  # fmt: skip
        for k in range(3):
            encoding = pick.choice(TEXT)
            recipe.append({"name": f"t{k}", "encoding": encoding,
                           "bits": _text_bits(pick, encoding),
                           "byte_order": pick.choice(["big", "little"]),
                           "reverse_bits": pick.random() < 0.2,
                           "offset_bits": 48 + 64 * k + pick.randrange(8)})  # fmt: skip
        recipes[apid] = recipe
    at = 0
    unplanted = 5 if seed % 2 else -1  # a packet left with random texts, or none
    for index, length in enumerate(lengths):
        end = at + int(length)
        apid = ((data[at] & 7) << 8) | data[at + 1]
        if apid in recipes and index != unplanted:
            data[at:end] = _plant_texts(pick, recipes[apid], bytes(data[at:end]))
        if pick.random() < 0.7:  # a right CRC; the others' packets are left out under crc
            data[end - 2 : end] = crc16_ccitt(bytes(data[at : end - 2])).to_bytes(2, "big")
        at = end
    data = bytes(data)
    assert _compare(
        recipes[0], lambda text: bitloom_bulk.unpack_ccsds(data, recipes, text=text)[0]
    ) in (0, 3)
    _compare(recipes[2], lambda text: bitloom_bulk.unpack_ccsds(
        data, recipes, text=text, crc="ccitt")[2])  # fmt: skip
    for apid in (0, 2):
        _compare(recipes[apid], lambda text, apid=apid: bitloom_bulk.unpack_ccsds(
            data, {apid: recipes[apid]}, text=text)[apid])  # fmt: skip


def test_arrow_columns_over_several_runs_of_packets():
    # More packets than one run of the decoder (65,536), the texts of each
    # run after the previous run's; every text a different one.
    count = 70_000
    packets = np.zeros((count, 4), dtype=np.uint8)
    packets[:, 1] = 0x61 + np.arange(count) % 26
    packets[:, 2] = 0xC3
    packets[:, 3] = 0x80 + (np.arange(count) // 26) % 64
    data = packets.tobytes()
    recipe = [{"name": "t", "encoding": "utf8", "bits": 24, "byte_order": "big",
               "reverse_bits": False, "offset_bits": 8}]  # fmt: skip
    call = lambda text: bitloom_bulk.unpack_columns(  # noqa: E731
        data, recipe, offsets=np.arange(count) * 4, lengths=np.full(count, 4), text=text
    )
    assert _compare(recipe, call) == 1


@pytest.mark.parametrize(
    ("encoding", "bits", "count", "want"),
    [
        ("us_ascii", 0, 3, ["", "", ""]),
        ("utf8", 0, 0, []),
        ("utf16", 32, 0, []),
        ("iso_8859_1", 16, 2, ["\0\0", "\0\0"]),  # NULs kept, as str keeps them
    ],
)
def test_empty_columns_and_empty_texts(encoding, bits, count, want):
    recipe = [{"name": "t", "encoding": encoding, "bits": bits, "byte_order": "big",
               "reverse_bits": False}]  # fmt: skip
    size = max(bits // 8, 1)
    column = bitloom_bulk.unpack_columns(bytes(size * count), recipe, packet_bytes=size,
                                         text="arrow")["t"]  # fmt: skip
    assert pa.array(column).to_pylist() == want
    assert column.to_numpy().tolist() == want
    assert np.asarray(column).dtype == object
    assert pickle.loads(pickle.dumps(column)).to_pylist() == want


def test_table_export_holds_the_columns_own_buffers():
    recipe = [
        {"name": "t", "encoding": "windows_1252", "bits": 40, "byte_order": "big",
         "reverse_bits": False},
        {"name": "n", "encoding": "unsigned", "bits": 8, "byte_order": "big",
         "reverse_bits": False},
    ]  # fmt: skip
    data = b"".join(bytes([0x80, 0x41 + i, 0x9F, 0, 0xE9, i]) for i in range(20))
    arrows = bitloom_bulk.unpack_columns(data, recipe, packet_bytes=6, text="arrow")
    objects = bitloom_bulk.unpack_columns(data, recipe, packet_bytes=6)
    table = pa.table(arrows.as_arrow())
    assert table.equals(pa.table(objects.as_arrow()))
    assert pa.table(arrows).equals(table)  # pa.table(dict) reads each column by pa.array
    # The column's buffers, not a copy: every export reads the same memory.
    column = arrows["t"]
    own = pa.array(column).buffers()
    for exported in (table.column("t").chunk(0), pa.record_batch(arrows.as_arrow()).column(0)):
        assert [b.address for b in exported.buffers()[1:]] == [b.address for b in own[1:]]
    del column, arrows
    assert table.column("t").to_pylist() == list(objects["t"])  # kept alive by the export
    back = pickle.loads(
        pickle.dumps(bitloom_bulk.Table(objects, t=bitloom_bulk.ArrowColumn(["x", "€"])))
    )
    assert isinstance(back["t"], bitloom_bulk.ArrowColumn)
    assert back["t"].to_pylist() == ["x", "€"]
    assert back["n"].tolist() == list(range(20))


def test_large_offsets_and_buffers_checked():
    values = ["", "a", "é€", "😀x", ""]
    small = bitloom_bulk.ArrowColumn(values)
    maker, (offsets, data, large) = small.__reduce__()
    assert large is False and data == "".join(values).encode()
    wide = np.frombuffer(offsets, "<i4").astype("<i8").tobytes()
    column = maker(wide, data, True)
    assert pa.array(column).type == pa.large_string()
    assert pa.array(column).to_pylist() == values
    assert pa.table({"t": column}).column("t").to_pylist() == values
    assert "large_utf8 of 5 values" in repr(column)
    assert pickle.loads(pickle.dumps(column)).to_pylist() == values
    for broken in (
        np.array([0, 1, 1, 5, 9, 9], "<i4"),  # one off at the end
        np.array([1, 1, 1, 6, 9, 9], "<i4"),  # not from 0
        np.array([0, 0, 2, 6, 9, 9], "<i4"),  # inside a character
        np.array([0, 0, 1, 6, 5, 9], "<i4"),  # down
    ):
        with pytest.raises(ValueError, match="not a string column"):
            maker(broken.tobytes(), data, False)
    with pytest.raises(ValueError, match="whole number"):
        maker(b"\0\0\0", b"", False)
    with pytest.raises(TypeError, match="value 1 is a bytes, not a str"):
        bitloom_bulk.ArrowColumn(["a", b"b"])
