"""The command line on packet definitions: describe, decode into one file per
table (--definitions, --xtce) and split into one file per APID."""

import csv
import io
import json
import os
import sys

import numpy as np
import pytest

import bitloom
import bitloom_bulk._cli_defs as cli_defs
import bitloom_bulk.cli as cli
from bitloom_bulk import Definitions, PacketType, dump_definitions, field, load_ccsdspy, load_xtce
from bitloom_bulk._xtce_xml import XTCE_1_2
from bitloom_bulk.cli import main
from tests.support.realdata import REALDATA, needs_realdata

EVIL = "../evil/x"  # a type whose name would leave the output folder as a path
PACKET_BYTES = 10


def definitions():
    frame = PacketType(
        "frame", [field("kind", "unsigned", 8), field("count", "unsigned", 8)], abstract=True
    )
    hk = PacketType(
        "hk",
        [
            field("temp", "unsigned", 16, polynomial=[-40.0, 0.5]),
            field("mode", "unsigned", 8, enumeration={0: "off", 1: "on"}),
            field("samples", "unsigned", 8, count={"field": "count"}),
        ],
        parent=frame,
        where={"kind": 1},
    )
    evil = PacketType(
        EVIL,
        [
            field("stamp", "binary", 32, time={"code": "cuc", "coarse_bytes": 4}),
            field("blob", "binary", 16),
            field("pair", "unsigned", 8, count=2),
        ],
        parent=frame,
        where=[("kind", "==", 2)],
    )
    return Definitions([frame, hk, evil])


def frames():
    """Packets of PACKET_BYTES: hk, the hostile type, and one of no type."""
    out = []
    for i in range(4):
        temp, mode, samples = 100 + i, i % 3, bytes(range(10 * i, 10 * i + i))
        body = bytes([1, len(samples)]) + temp.to_bytes(2, "big") + bytes([mode]) + samples
        out.append(body.ljust(PACKET_BYTES, b"\0"))
        stamp = (86400 * i).to_bytes(4, "big")
        out.append(bytes([2, 0]) + stamp + bytes([0xAB, i, 7, 8 + i]))
    out.append(bytes([3]).ljust(PACKET_BYTES, b"\0"))
    return b"".join(out)


@pytest.fixture
def case(tmp_path):
    defs = definitions()
    dump_definitions(defs, tmp_path / "defs.json")
    (tmp_path / "data.bin").write_bytes(frames())
    return tmp_path, defs


def run(argv, capsys):
    try:
        code = main([str(a) for a in argv])
    except SystemExit as exit_:
        code = exit_.code
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def decode_argv(root, *more):
    return [
        "decode",
        root / "data.bin",
        "--definitions",
        root / "defs.json",
        "--packet-bytes",
        PACKET_BYTES,
        "--out-dir",
        root / "out",
        *more,
    ]


def as_text_rows(columns):
    """The rows the text outputs should hold: times as ISO text, bytes as
    hex, each row of a 2-D column as a list."""
    values = []
    for column in columns.values():
        if column.dtype.kind == "M":
            values.append(np.datetime_as_string(column).tolist())
        else:
            values.append(
                [v.hex() if isinstance(v, bytes) else v for v in column.tolist()]
                if column.ndim == 1
                else column.tolist()
            )
    return [dict(zip(columns, row, strict=True)) for row in zip(*values, strict=True)]


FILES = {"hk": "hk", "hk/samples": "hk.samples", EVIL: "%2E..evil.x"}


@pytest.mark.parametrize("form", ["csv", "jsonl", "parquet"])
def test_decode_writes_one_file_per_table(case, capsys, form):
    if form == "parquet":
        pytest.importorskip("pyarrow.parquet")
    root, defs = case
    expected = defs.decode(frames(), packet_bytes=PACKET_BYTES)
    code, out, err = run(decode_argv(root, "--format", form), capsys)
    assert code == 0, err
    assert err.splitlines() == [
        f"bitloom: {root / 'data.bin'}: 1 packet of no packet type",
        f"bitloom: {root / 'data.bin'}: 1 warning; the first: packet 4 at byte 40, hk.mode: "
        "raw value 2 has no label",
    ]
    assert out == ""
    assert sorted(os.listdir(root / "out")) == sorted(f"{n}.{form}" for n in FILES.values())
    assert sorted(os.listdir(root)) == ["data.bin", "defs.json", "out"]  # nothing escaped
    for table, stem in FILES.items():
        path = root / "out" / f"{stem}.{form}"
        columns = expected[table]
        if form == "parquet":
            pq = pytest.importorskip("pyarrow.parquet")
            arrow = pq.read_table(path)
            if table == EVIL:  # times and bytes keep their types
                assert str(arrow.schema.field("stamp").type) == "timestamp[ns]"
                assert str(arrow.schema.field("blob").type) == "binary"
            read = arrow.to_pydict()
            assert list(read) == list(columns)
            for name, column in columns.items():
                want = column.tolist() if column.dtype.kind != "M" else list(column)
                got = read[name]
                if column.dtype.kind == "M":
                    got = [np.datetime64(v, "ns") for v in got]
                assert got == want, (table, name)
            continue
        rows = as_text_rows(columns)
        text = path.read_text(encoding="utf-8")
        if form == "jsonl":
            assert [json.loads(line) for line in text.splitlines()] == rows
        else:
            read_rows = list(csv.reader(io.StringIO(text)))
            assert read_rows[0] == list(columns)
            want = [["" if v is None else str(v) for v in row.values()] for row in rows]
            assert read_rows[1:] == want
    hk = expected["hk"]
    assert hk["mode"].tolist() == ["off", "on", None, "off"]
    assert expected[EVIL]["stamp"][1] == np.datetime64("1958-01-02T00:00:00")


@pytest.mark.parametrize(
    "table, stem",
    [
        ("hk", "hk"),
        ("hk/samples", "hk.samples"),
        ("../x", "%2E..x"),
        ("..", "%2E."),
        (".hidden", "%2Ehidden"),
        ("a b\\c:d", "a%20b%5Cc%3Ad"),
        ("tëmp", "t%C3%ABmp"),
        ("/", "%2E"),
    ],
)
def test_file_names_stay_in_the_folder(table, stem):
    got = cli_defs.file_stem(table)
    assert got == stem
    assert os.sep not in got and "/" not in got and not got.startswith(".")


def test_two_tables_of_one_file_name_are_an_error(tmp_path, capsys):
    top = PacketType(
        "a", [field("n", "unsigned", 8), field("v", "unsigned", 8, count={"field": "n"})]
    )
    other = PacketType("A.V", [field("m", "unsigned", 8)])
    dump_definitions(Definitions([top, other]), tmp_path / "defs.json")
    (tmp_path / "data.bin").write_bytes(bytes([1, 5]))
    code, _, err = run(
        [*decode_argv(tmp_path)[:4], "--packet-bytes", 2, "--out-dir", tmp_path / "out"], capsys
    )
    assert code == 1
    assert err == "bitloom: error: tables 'a/v' and 'A.V' would both be written as 'A.V.csv'\n"
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "error, code, says",
    [
        (KeyboardInterrupt(), 130, "bitloom: interrupted\n"),
        (OSError(28, "No space left on device"), 1, "bitloom: error: "),
    ],
)
@pytest.mark.parametrize("folder_exists", [False, True])
def test_a_failed_write_leaves_no_output(
    case, capsys, monkeypatch, error, code, says, folder_exists
):
    root, _ = case
    out = root / "out"
    if folder_exists:
        out.mkdir()
        (out / "hk.csv").write_text("older table\n")
    real = cli_defs._Pieces.write_to
    calls = []

    def failing(self, handle):
        calls.append(handle)
        real(self, handle)
        if len(calls) == 2:  # the second file is half written
            raise error

    monkeypatch.setattr(cli_defs._Pieces, "write_to", failing)
    got, _, err = run(decode_argv(root), capsys)
    assert (got, err[: len(says)]) == (code, says) and err.count("\n") == 1
    if folder_exists:
        assert os.listdir(out) == ["hk.csv"]
        assert (out / "hk.csv").read_text() == "older table\n"
    else:
        assert not out.exists()


def test_errors_skip_or_raise(case, capsys):
    root, _ = case
    data = frames()
    # the third packet (an hk) claims 200 samples: more than its bytes
    data = data[: 2 * PACKET_BYTES + 1] + bytes([200]) + data[2 * PACKET_BYTES + 2 :]
    (root / "data.bin").write_bytes(data)
    code, _, err = run(decode_argv(root), capsys)
    assert code == 1 and err.startswith("bitloom: error: ") and err.count("\n") == 1
    assert "packet 2" in err
    assert not (root / "out").exists()
    code, _, err = run(decode_argv(root, "--errors", "skip", "--format", "jsonl"), capsys)
    assert code == 0
    lines = err.splitlines()
    assert lines[1].startswith(
        f"bitloom: {root / 'data.bin'}: 1 error, 1 warning; the first: packet 2 at byte 20, "
        "hk.samples: 'samples' needs 1600 bits from bit 40, beyond the packet of 10 bytes"
    )
    rows = (root / "out" / "hk.jsonl").read_text().splitlines()
    assert [json.loads(r)["temp"] for r in rows] == [-40 + 0.5 * t for t in (100, 102, 103)]


def test_describe_lists_types_fields_and_tables(case, capsys):
    root, defs = case
    dump_definitions(defs, root / "defs.toml")
    code, out, err = run(["describe", root / "defs.toml"], capsys)
    assert (code, err) == (0, "")
    assert out.startswith(
        f"{root / 'defs.toml'}: 3 types (2 with tables)\n\ntype frame (abstract)\n"
    )
    for line in [
        "type hk\n  parent: frame (its 2 fields come first)\n  where: kind == 1\n  fields: 3\n",
        "    temp  unsigned  16 bits  polynomial [-40.0, 0.5]\n",
        "    mode  unsigned  8 bits  enumeration of 2 labels\n",
        "    samples  unsigned  8 bits  x (count)  -> table hk/samples\n",
        "  child tables: hk/samples\n",
        f"type {EVIL}\n  parent: frame (its 2 fields come first)\n  where: kind == 2\n",
        "    stamp  binary  32 bits  time cuc\n",
        "    pair  unsigned  8 bits  x 2\n",
    ]:
        assert line in out
    assert "refused" not in out


XTCE = f"""<?xml version="1.0"?>
<SpaceSystem name="s" xmlns="{XTCE_1_2}">
<TelemetryMetaData>
<ParameterTypeSet>
<IntegerParameterType name="U8"><IntegerDataEncoding sizeInBits="8"/></IntegerParameterType>
<IntegerParameterType name="U16"><IntegerDataEncoding sizeInBits="16"/></IntegerParameterType>
<StringParameterType name="Z"><StringDataEncoding encoding="UTF-16BE"><Variable maxSizeInBits="16">
<TerminationChar>0000</TerminationChar></Variable></StringDataEncoding></StringParameterType>
</ParameterTypeSet>
<ParameterSet><Parameter name="A" parameterTypeRef="U8"/>
<Parameter name="V" parameterTypeRef="U16"/><Parameter name="S" parameterTypeRef="Z"/>
</ParameterSet>
<ContainerSet>
<SequenceContainer name="R" abstract="true"><EntryList>
<ParameterRefEntry parameterRef="A"/></EntryList></SequenceContainer>
<SequenceContainer name="C"><EntryList><ParameterRefEntry parameterRef="V"/></EntryList>
<BaseContainer containerRef="R"><RestrictionCriteria><Comparison parameterRef="A" value="1"/>
</RestrictionCriteria></BaseContainer></SequenceContainer>
<SequenceContainer name="D"><EntryList><ParameterRefEntry parameterRef="S"/></EntryList>
<BaseContainer containerRef="R"><RestrictionCriteria><Comparison parameterRef="A" value="2"/>
</RestrictionCriteria></BaseContainer></SequenceContainer>
</ContainerSet>
</TelemetryMetaData>
</SpaceSystem>
"""


@pytest.fixture
def xtce(tmp_path):
    (tmp_path / "tm.xml").write_text(XTCE)
    (tmp_path / "data.bin").write_bytes(bytes([1, 0, 7, 2, 65, 0, 1, 1, 2]))
    return tmp_path


def test_describe_lists_what_xtce_refused(xtce, capsys):
    code, out, err = run(["describe", xtce / "tm.xml"], capsys)
    assert (code, err) == (0, "")
    assert "type C\n  parent: R (its 1 fields come first)\n  where: A == 1\n" in out
    assert "    V  unsigned  16 bits\n" in out
    assert "type D (abstract)\n" in out
    refusals = load_xtce(xtce / "tm.xml", strict=False).refusals
    assert len(refusals) == 1
    assert out.endswith(
        "\nrefused: 1 (their types decode no packets)\n"
        f"  line {refusals[0].line}: TerminationChar of {refusals[0].name!r}: {refusals[0].why}\n"
    )


@pytest.mark.parametrize("lenient", [False, True])
def test_decode_xtce(xtce, capsys, lenient):
    argv = ["decode", xtce / "data.bin", "--xtce", xtce / "tm.xml", "--packet-bytes", 3]
    argv += ["--out-dir", xtce / "out", "--format", "jsonl"]
    code, _, err = run(argv + ["--lenient"] * lenient, capsys)
    if not lenient:
        assert code == 1 and err.count("\n") == 1
        assert "TerminationChar" in err and "line 8" in err
        assert not (xtce / "out").exists()
        return
    assert code == 0
    assert err == f"bitloom: {xtce / 'data.bin'}: 1 packet of no packet type\n"
    assert os.listdir(xtce / "out") == ["C.jsonl"]
    rows = [json.loads(line) for line in (xtce / "out" / "C.jsonl").read_text().splitlines()]
    assert rows == [{"A": 1, "V": 7}, {"A": 1, "V": 258}]


@pytest.mark.parametrize(
    "more, says",
    [
        (["--out-dir", None], "give --out-dir DIR"),
        (["--apid", "3"], "--apid works with --recipe"),
        (["--limit", "3"], "--limit works with --recipe"),
        (["--format", "table"], "not table"),
        (["--lenient"], "--lenient is for --xtce"),
        (["--root", "R"], "--root names an XTCE container"),
    ],
)
def test_usage_errors(case, capsys, more, says):
    root, _ = case
    argv = decode_argv(root)
    if more[-1] is None:
        argv = argv[:-2]
    else:
        argv += more
    code, _, err = run(argv, capsys)
    assert code == 2 and err.startswith("bitloom: error: ") and err.count("\n") == 1
    assert says in err


@pytest.mark.parametrize(
    "argv, says",
    [
        (["decode", "d.bin", "--recipe", "r.json", "--ccsds", "--out-dir", "o"], "--out-dir works"),
        (["decode", "d.bin", "--recipe", "r.json", "--ccsds", "--errors", "skip"], "--errors"),
        (["decode", "d.bin", "--recipe", "r.json"], "--packet-bytes"),
        (["decode", "d.bin", "--recipe", "r.json", "--xtce", "x.xml"], "not allowed with"),
        (["split", "d.bin", "--count", "--out-dir", "o"], "give one"),
    ],
)
def test_options_of_other_commands(capsys, argv, says):
    code, _, err = run(argv, capsys)
    assert code == 2 and says in err and err.count("\n") == 1


def test_progress_bar_on_a_terminal(case, capsys, monkeypatch):
    root, _ = case
    monkeypatch.setattr(cli, "_CHUNK_BYTES", 16)
    monkeypatch.setattr(cli.sys.stderr, "isatty", lambda: True, raising=False)
    code, _, err = run(decode_argv(root), capsys)
    assert code == 0
    assert "\rreading [" in err and "] 100%\n" in err


@needs_realdata
def test_split_files_are_those_of_ccsdspy(tmp_path, capsys, monkeypatch):
    ccsdspy_main = pytest.importorskip("ccsdspy.__main__")
    source = REALDATA / "spp" / "ctim" / "ccsds_2021_155_14_39_51"
    ccsdspy_main.module_main(["ccsdspy", "split", str(source)], cwd=str(tmp_path))
    theirs = {name: (tmp_path / name).read_bytes() for name in os.listdir(tmp_path)}
    assert len(theirs) == 9
    capsys.readouterr()  # ccsdspy's log
    monkeypatch.setattr(cli, "_CHUNK_BYTES", 1 << 16)  # read in steps
    code, out, err = run(["split", source, "--out-dir", tmp_path / "ours"], capsys)
    assert (code, out, err) == (0, "", "")
    ours = {name: (tmp_path / "ours" / name).read_bytes() for name in os.listdir(tmp_path / "ours")}
    assert ours == theirs


@needs_realdata
def test_decode_xtce_realdata_equals_the_library(tmp_path, capsys):
    idex = REALDATA / "spp" / "idex"
    definition, data = (
        idex / "idex_combined_science_definition.xml",
        idex / "sciData_2023_052_14_45_05",
    )
    code, _, err = run(
        ["decode", data, "--xtce", definition, "--out-dir", tmp_path, "--format", "jsonl"], capsys
    )
    assert (code, err) == (0, "")
    expected = load_xtce(definition).decode(data.read_bytes())
    for table, columns in expected.items():
        text = (tmp_path / f"{cli_defs.file_stem(table)}.jsonl").read_text()
        assert [json.loads(line) for line in text.splitlines()] == as_text_rows(columns), table
    assert len(expected["Sci0TypeNonZero"]["IDX__SCI0RAW"]) == 72


def test_split_keeps_listing_without_out_dir(tmp_path, capsys):
    header = bitloom.pack_parameters(
        [field("w", "unsigned", 16, value=0x0805), field("s", "unsigned", 16, value=0xC000)]
    )
    (tmp_path / "one.bin").write_bytes(header + (0).to_bytes(2, "big") + b"\x09")
    code, out, _ = run(["split", tmp_path / "one.bin"], capsys)
    assert code == 0 and out == "offset\tlength\tapid\tsequence_count\n0\t7\t5\t0\n"


def test_split_of_a_cut_stream_writes_nothing(tmp_path, capsys):
    header = bitloom.pack_parameters(
        [field("w", "unsigned", 16, value=0x0805), field("s", "unsigned", 16, value=0xC000)]
    )
    packet = header + (1).to_bytes(2, "big") + b"\x09\x0a"
    (tmp_path / "cut.bin").write_bytes(packet + packet[:-1])
    code, _, err = run(["split", tmp_path / "cut.bin", "--out-dir", tmp_path / "out"], capsys)
    assert code == 1 and "truncated" in err and err.count("\n") == 1
    assert not (tmp_path / "out").exists()
    (tmp_path / "whole.bin").write_bytes(packet * 2)
    code, _, err = run(["split", tmp_path / "whole.bin", "--out-dir", tmp_path / "out"], capsys)
    assert (code, err) == (0, "")
    assert os.listdir(tmp_path / "out") == ["apid00005.tlm"]
    assert (tmp_path / "out" / "apid00005.tlm").read_bytes() == packet * 2


def _outputs(folder):
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


@pytest.mark.parametrize("chunk", [7, 25, 64])  # bytes per block: less than a packet, or more
@pytest.mark.parametrize("errors", ["raise", "skip"])
def test_decode_in_blocks_equals_one_call(case, capsys, monkeypatch, chunk, errors):
    root, _ = case
    data = bytearray(frames())
    data[2 * PACKET_BYTES + 1] = 200  # a packet with too many samples: skipped or raised
    (root / "data.bin").write_bytes(bytes(data))
    argv = [*decode_argv(root, "--errors", errors, "--format", "jsonl")]
    whole = run(argv, capsys)
    one_call = _outputs(root / "out") if whole[0] == 0 else None
    monkeypatch.setattr(cli, "_CHUNK_BYTES", chunk)
    argv[argv.index(root / "out")] = root / "blocks"
    blocks = run(argv, capsys)
    assert blocks == whole  # exit code, stdout, the stderr lines
    if one_call is not None:
        assert _outputs(root / "blocks") == one_call
        assert b'"packet": 2' in one_call["hk.samples.jsonl"]  # a later block's rows


@needs_realdata
@pytest.mark.parametrize("chunk", [5000, 50_000])
def test_realdata_in_blocks_equals_one_call(tmp_path, capsys, monkeypatch, chunk):
    idex = REALDATA / "spp" / "idex"
    argv = ["decode", idex / "sciData_2023_052_14_45_05", "--xtce"]
    argv += [idex / "idex_combined_science_definition.xml", "--format", "jsonl"]
    assert run([*argv, "--out-dir", tmp_path / "whole"], capsys)[0] == 0
    monkeypatch.setattr(cli, "_CHUNK_BYTES", chunk)
    assert run([*argv, "--out-dir", tmp_path / "blocks"], capsys)[0] == 0
    assert _outputs(tmp_path / "blocks") == _outputs(tmp_path / "whole")


def test_parquet_without_pyarrow_is_one_line(case, capsys, monkeypatch):
    root, _ = case
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    code, _, err = run(decode_argv(root, "--format", "parquet"), capsys)
    assert code == 1
    assert err == (
        "bitloom: error: --format parquet needs pyarrow, which is not installed "
        "(pip install pyarrow)\n"
    )
    assert not (root / "out").exists()


@needs_realdata
def test_decode_ccsdspy_csv_equals_the_library(tmp_path, capsys):
    jpss = REALDATA / "spp" / "jpss"
    definition = jpss / "ccsdspy_jpss1_geolocation.csv"
    data = jpss / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
    argv = ["decode", data, "--definitions", definition, "--out-dir", tmp_path]
    code, _, err = run(argv, capsys)
    assert (code, err) == (0, "")
    expected = load_ccsdspy(definition).decode(data.read_bytes())
    (table,) = expected
    read_rows = list(csv.reader(io.StringIO((tmp_path / f"{table}.csv").read_text())))
    rows = as_text_rows(expected[table])
    assert len(rows) == 7200
    assert read_rows == [list(expected[table]), *([str(v) for v in r.values()] for r in rows)]


@pytest.mark.parametrize(
    "text, out_has, err",
    [
        (
            "name,data_type,bit_length,calibration\nA,uint,8,x\n",
            "    A  unsigned  8 bits\n",
            "bitloom: warning: {path}, line 1, column 'calibration': ignored, as ccsdspy ignores it\n",
        ),
        ("name,data_type,bit_length\nA,uint,8\nB,uint(A),8\n", "-> table t/B\n", ""),
    ],
)
def test_describe_ccsdspy_csv(tmp_path, capsys, text, out_has, err):
    path = tmp_path / "t.csv"
    path.write_text(text)
    code, out, got = run(["describe", path], capsys)
    assert (code, got) == (0, err.format(path=path))
    assert out_has in out
