"""load_ccsdspy on ccsdspy's CSV forms: its own packet_def files against ccsdspy
on generated packets, and the files and fields it refuses, with where."""

from __future__ import annotations

import io

import numpy as np
import pytest

import bitloom_bulk as bb
from tests.bulk.test_ccsdspy_realdata import _compare
from tests.support import streams
from tests.support.realdata import REALDATA, needs_realdata

ccsdspy = pytest.importorskip("ccsdspy")


def _packets(rng, lengths, apid=100):
    return streams.stream(np.full(len(lengths), apid), np.asarray(lengths), rng)


@needs_realdata
@pytest.mark.parametrize(
    ("name", "kind"),
    [
        ("basic_csv_3col.csv", "fixed"),
        ("basic_csv_3col_with_array.csv", "fixed"),
        ("extended_csv_4col.csv", "fixed"),
        ("extended_csv_4col_with_array.csv", "fixed"),
        ("basic_csv_3col_with_expand.csv", "expand"),
        ("basic_csv_3col_with_reference.csv", "reference"),
    ],
)
def test_ccsdspys_own_csv_files_decode_as_ccsdspy_does(name, kind, tmp_path):
    path = REALDATA / "ccsdspy" / "packet_def" / name
    cls = ccsdspy.FixedLength if kind == "fixed" else ccsdspy.VariableLength
    packet = cls.from_file(str(path))
    rng = np.random.default_rng(len(name))
    if kind == "fixed":
        bits = max(
            (f._bit_offset or 0)
            + f._bit_length * int(np.prod(getattr(f, "_array_shape", None) or 1))
            for f in packet._fields
        )
        bits = max(bits, 48 + sum(
            f._bit_length * int(np.prod(getattr(f, "_array_shape", None) or 1))
            for f in packet._fields
        )) if all(f._bit_offset is None for f in packet._fields) else bits  # fmt: skip
        data = _packets(rng, [bits // 8] * 20)
    elif kind == "expand":
        data = _packets(rng, rng.integers(14, 40, 20))
    else:
        # OPMODE (3 bits after 52) counts the one-byte VOLTAGE elements.
        opmode = rng.integers(0, 8, 20)
        data = bytearray(_packets(rng, 6 + 7 + opmode))
        at = 0
        for n in opmode.tolist():
            data[at + 12] = (data[at + 12] & 0xF1) | (n << 1)
            at += 6 + 7 + n
        data = bytes(data)
    file = tmp_path / "packets.bin"
    file.write_bytes(data)
    theirs = packet.load(str(file), include_primary_header=True)
    ours = bb.load_ccsdspy(path).decode(data)
    assert not ours.faults
    assert _compare(packet._fields, ours, theirs, path.stem) >= 8


@pytest.mark.parametrize(
    ("text", "line", "words"),
    [
        ("name,data_type\nA,uint\n", 1, "no 'bit_length' column"),
        ("name,data_type,bit_length\nA,blob,8\n", 2, "data_type 'blob'"),
        ('name,data_type,bit_length\nA,uint,8\nB,"uint(2,,3)",8\n', 3, "array shape"),
        (
            "name,data_type,bit_length,bit_offset\nN,uint,8,\nA,uint(N),8,64\n",
            3,
            "bit_offset in a definition with a variable-size array",
        ),
        ("name,data_type,bit_length\nA,uint(B),8\nB,uint,8\n", 2, "not a field before it"),
        (
            "name,data_type,bit_length\nA,uint(expand),8\nB,uint(expand),8\n",
            3,
            "a second expanding array",
        ),
        ("name,data_type,bit_length\nA,float,12\n", 2, "a float of 12 bits"),
        ("name,data_type,bit_length\nA,uint,0\n", 2, "a field of 0 bits"),
        ("name,data_type,bit_length\nA,fill(3),8\n", 2, "a fill field cannot be an array"),
    ],
)
def test_bad_csv_definitions_are_refused_with_their_line(text, line, words):
    with pytest.raises(bb.RecipeFileError) as info:
        bb.load_ccsdspy(io.StringIO(text))
    assert info.value.line == line
    assert words in str(info.value)


def test_unknown_columns_warn_and_load():
    text = "name,data_type,bit_length,calibration\nA,uint,16,x*2\n"
    with pytest.warns(UserWarning, match="column 'calibration': ignored"):
        defs = bb.load_ccsdspy(io.StringIO(text))
    data = streams.stream([1], [8], np.random.default_rng(0))
    assert defs.decode(data)["packet"]["A"].tolist() == [int.from_bytes(data[6:8], "big")]


def test_objects_that_are_not_ccsdspy_fields_are_refused():
    with pytest.raises(bb.RecipeFileError, match="item 1 is a dict"):
        bb.load_ccsdspy([ccsdspy.PacketField(name="a", data_type="uint", bit_length=8), {}])


def test_fields_behind_a_fill_behind_a_counted_array_keep_their_place(tmp_path):
    text = "name,data_type,bit_length\nN,uint,8\nA,uint(N),8\nF,fill,8\nZ,uint,16\n"
    rng = np.random.default_rng(5)
    counts = rng.integers(0, 6, 12)
    data = bytearray(_packets(rng, 6 + 1 + counts + 1 + 2))
    at = 0
    for n in counts.tolist():
        data[at + 6] = n
        at += 6 + 1 + n + 3
    file = tmp_path / "p.bin"
    file.write_bytes(bytes(data))
    (tmp_path / "p.csv").write_text(text)
    packet = ccsdspy.VariableLength.from_file(str(tmp_path / "p.csv"))
    theirs = packet.load(str(file), include_primary_header=True)
    ours = bb.load_ccsdspy(io.StringIO(text)).decode(bytes(data))
    assert _compare(packet._fields, ours, theirs, "packet") == 10


@needs_realdata
def test_the_csv_that_sizes_an_array_by_an_expanding_one_is_refused():
    # ccsdspy cannot decode it either: the count would be a whole array.
    path = REALDATA / "ccsdspy" / "packet_def" / "basic_csv_3col_with_all.csv"
    with pytest.raises(bb.RecipeFileError) as info:
        bb.load_ccsdspy(path)
    assert (info.value.line, info.value.column) == (3, "data_type")


def test_array_of_12_bit_elements_sized_by_a_field():
    """Elements that are not whole bytes are read by their bits, and the field
    after the array lands where they end (ccsdspy 2.0.1 reads them as bytes)."""
    from ccsdspy import PacketArray, PacketField

    fields = [
        PacketField(name="N", data_type="uint", bit_length=8),
        PacketArray(name="S", data_type="uint", bit_length=12, array_shape="N"),
        PacketField(name="T", data_type="uint", bit_length=8),
    ]

    def packet(seq, samples, tail):
        bits = f"{len(samples):08b}" + "".join(f"{s:012b}" for s in samples) + f"{tail:08b}"
        bits += "0" * (-len(bits) % 8)
        body = int(bits, 2).to_bytes(len(bits) // 8, "big")
        head = [
            0x08,
            0x10,
            0xC0 | seq >> 8,
            seq & 0xFF,
            (len(body) - 1) >> 8,
            (len(body) - 1) & 0xFF,
        ]
        return bytes(head) + body

    data = packet(0, [0xC1D, 0x123, 0xABC], 0x55) + packet(1, [0x111, 0x222], 0x66)
    decoded = bb.load_ccsdspy(fields, name="t").decode(data)
    assert decoded["t"]["T"].tolist() == [0x55, 0x66]
    assert decoded["t/S"]["S"].tolist() == [0xC1D, 0x123, 0xABC, 0x111, 0x222]
    assert decoded["t/S"]["packet"].tolist() == [0, 0, 0, 1, 1]
