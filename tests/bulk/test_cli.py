"""The bitloom command line, run end to end on generated captures."""

import csv
import errno
import io
import json
import os
import subprocess
import sys
from types import SimpleNamespace

import numpy as np
import pytest

import bitloom
import bitloom_bulk
import bitloom_bulk.cli as cli
from bitloom_bulk import dump_recipe, field
from bitloom_bulk.cli import main
from tests.support.archives import HEADER
from tests.support.streams import mixed_stream, stream

BODY = {
    100: [field("temp", "twos_complement", 16), field("volts", "ieee754_f32", 32)],
    200: [field("label", "utf8", 48)],
}


def packet(apid, seq, values):
    recipe = [*HEADER, *BODY[apid]]
    size = sum(item["bits"] for item in recipe) // 8
    header = {"apid": apid, "seq_flags": 3, "seq_count": seq, "data_length": size - 7}
    items = [dict(item, value={**header, **values}.get(item["name"], 0)) for item in recipe]
    return bitloom.pack_parameters(items)


@pytest.fixture(scope="module")
def capture(tmp_path_factory):
    root = tmp_path_factory.mktemp("capture")
    packets = []
    for seq in range(5):
        packets.append(packet(100, seq, {"temp": -10 * seq, "volts": 1.5 + seq}))
        if seq % 2:
            packets.append(packet(200, seq, {"label": f"ü{seq}"}))
    (root / "stream.bin").write_bytes(b"".join(packets))
    dump_recipe([*HEADER, *BODY[100]], root / "hk.toml")
    dump_recipe([*HEADER, *BODY[200]], root / "status.json")
    fixed = [field("n", "unsigned", 8), field("t", "utf8", 24)]
    dump_recipe(fixed, root / "fixed.csv")
    frames = [
        bitloom.pack_parameters([dict(fixed[0], value=i), dict(fixed[1], value="é" + str(i))])
        for i in range(4)
    ]
    (root / "fixed.bin").write_bytes(b"".join(frames))
    dump_recipe(
        [field("a", "unsigned", 12, byte_order="little"), field("a", "utf-8", 8)], root / "bad.csv"
    )
    (root / "deep.json").write_text("[" * 100_000 + "]" * 100_000)
    return root, packets, frames, fixed


def run(*args):
    return subprocess.run(
        [sys.executable, "-m", "bitloom_bulk", *map(str, args)],
        capture_output=True,
        text=True,
        encoding="utf-8",
        check=False,
    )


def test_check(capture):
    root = capture[0]
    bad = run("check", root / "bad.csv")
    assert bad.returncode == 1
    lines = bad.stdout.splitlines()
    assert [line.split(": ")[2] for line in lines] == [
        "little-endian-partial-byte",
        "duplicate-name",
        "unknown-encoding",
    ]
    assert '"utf8"' in lines[2]
    good = run("check", root / "hk.toml", "--direction", "unpack")
    assert (good.returncode, good.stderr) == (0, "")
    assert "no findings" in good.stdout


def test_split(capture):
    root, packets = capture[:2]
    listed = run("split", root / "stream.bin")
    assert listed.returncode == 0
    rows = [line.split("\t") for line in listed.stdout.splitlines()]
    assert rows[0] == ["offset", "length", "apid", "sequence_count"]
    offset, expected = 0, []
    for data in packets:
        got = bitloom.unpack_parameters(data, 0, HEADER)
        expected.append([str(offset), str(len(data)), str(got["apid"]), str(got["seq_count"])])
        offset += len(data)
    assert rows[1:] == expected
    counted = run("split", root / "stream.bin", "--count")
    assert counted.stdout.splitlines() == ["apid\tpackets", "100\t5", "200\t2"]


def test_decode_fixed_size_csv(capture):
    root, _, frames, fixed = capture
    done = run(
        "decode",
        root / "fixed.bin",
        "--recipe",
        root / "fixed.csv",
        "--packet-bytes",
        4,
        "--format",
        "csv",
    )
    assert done.returncode == 0, done.stderr
    rows = list(csv.DictReader(io.StringIO(done.stdout)))
    expected = [bitloom.unpack_parameters(frame, 0, fixed) for frame in frames]
    assert [{"n": int(r["n"]), "t": r["t"]} for r in rows] == expected


@pytest.mark.parametrize(
    "framing", [("fixed.bin", "--packet-bytes", 4), ("stream.bin", "--ccsds", "--apid", 100)]
)
def test_decode_with_an_empty_recipe(capture, tmp_path, framing):
    # A recipe of no items (an APID whose packets are all fill) decodes every
    # packet into nothing.
    root = capture[0]
    (tmp_path / "empty.json").write_text("[]")
    done = run("decode", root / framing[0], "--recipe", tmp_path / "empty.json", *framing[1:])
    assert (done.returncode, done.stderr) == (0, "")


def test_decode_ccsds_jsonl_with_limit(capture, tmp_path):
    root, packets = capture[:2]
    out = tmp_path / "hk.jsonl"
    done = run(
        "decode",
        root / "stream.bin",
        "--recipe",
        root / "hk.toml",
        "--ccsds",
        "--apid",
        100,
        "--format",
        "jsonl",
        "--out",
        out,
        "--limit",
        3,
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    recipe = [*HEADER, *BODY[100]]
    hk = [p for p in packets if bitloom.unpack_parameters(p, 0, HEADER)["apid"] == 100]
    expected = [bitloom.unpack_parameters(p, 0, recipe) for p in hk[:3]]
    assert [json.loads(line) for line in out.read_text(encoding="utf-8").splitlines()] == expected


def test_decode_table_and_errors(capture):
    root, packets = capture[:2]
    recipe = [*HEADER, *BODY[200]]
    labels = [
        bitloom.unpack_parameters(p, 0, recipe)["label"]
        for p in packets
        if bitloom.unpack_parameters(p, 0, HEADER)["apid"] == 200
    ]
    table = run(
        "decode", root / "stream.bin", "--recipe", root / "status.json", "--ccsds", "--apid", "200"
    )
    assert table.returncode == 0
    lines = table.stdout.splitlines()
    assert lines[0].split() == [item["name"] for item in [*HEADER, *BODY[200]]]
    assert [line.split()[-1] for line in lines[1:]] == [
        label.replace("\0", "\\x00") for label in labels
    ]
    assert labels[0].endswith("ü1")
    several = run("decode", root / "stream.bin", "--recipe", root / "hk.toml", "--ccsds")
    assert several.returncode == 1
    assert several.stderr.startswith("bitloom: error: ") and several.stderr.count("\n") == 1
    assert "100, 200" in several.stderr and "Traceback" not in several.stderr


@pytest.mark.parametrize(
    ("argv", "code", "says"),
    [
        (["check"], 2, "required"),
        (["decode", "{root}/fixed.bin", "--recipe", "{root}/fixed.csv"], 2, "--packet-bytes"),
        (
            ["decode", "{root}/fixed.bin", "--recipe", "{root}/fixed.csv", "--packet-bytes", "0"],
            2,
            "at least 1",
        ),
        (
            [
                "decode",
                "{root}/fixed.bin",
                "--recipe",
                "{root}/fixed.csv",
                "--packet-bytes",
                "4",
                "--apid",
                "3",
            ],
            2,
            "--ccsds",
        ),
        (
            [
                "decode",
                "{root}/fixed.bin",
                "--recipe",
                "{root}/fixed.csv",
                "--packet-bytes",
                "4",
                "--format",
                "parquet",
            ],
            2,
            "--out",
        ),
        (
            ["decode", "{root}/fixed.bin", "--recipe", "{root}/fixed.csv", "--packet-bytes", "3"],
            1,
            "partial packet",
        ),
        (
            ["decode", "{root}/missing.bin", "--recipe", "{root}/fixed.csv", "--packet-bytes", "4"],
            1,
            "missing.bin",
        ),
        (["check", "{root}/fixed.bin"], 1, "suffix"),
        (["split", "{root}/fixed.bin"], 1, "bitloom: error: "),
        (["check", "{root}/deep.json"], 1, "deep.json"),
        (
            ["decode", "{root}/fixed.bin", "--recipe", "{root}/deep.json", "--packet-bytes", "4"],
            1,
            "deep.json",
        ),
    ],
)
def test_error_lines_and_exit_codes(capture, capsys, argv, code, says):
    root = capture[0]
    argv = [arg.format(root=root) for arg in argv]
    try:
        result = main(argv)
    except SystemExit as exit_:
        result = exit_.code
    err = capsys.readouterr().err
    assert result == code
    assert err.startswith("bitloom: error: ") and err.count("\n") == 1
    assert says in err


def test_parquet_needs_pyarrow_or_writes(capture, tmp_path, capsys):
    root, _, frames, fixed = capture
    out = tmp_path / "f.parquet"
    argv = [
        "decode",
        str(root / "fixed.bin"),
        "--recipe",
        str(root / "fixed.csv"),
        "--packet-bytes",
        "4",
        "--format",
        "parquet",
        "--out",
        str(out),
    ]
    try:
        import pyarrow.parquet as pq
    except ImportError:
        assert main(argv) == 1
        assert "needs pyarrow" in capsys.readouterr().err
        return
    assert main(argv) == 0
    table = pq.read_table(out).to_pylist()
    assert table == [bitloom.unpack_parameters(frame, 0, fixed) for frame in frames]


def test_help_documents_exit_codes():
    for command in ([], ["check"], ["split"], ["decode"]):
        shown = run(*command, "--help")
        assert shown.returncode == 0
        assert "exit codes:" in shown.stdout
        assert "130  interrupted" in shown.stdout
        assert command == [] or "example" in shown.stdout


def test_version_names_the_distribution_version():
    import bitloom_bulk

    shown = run("--version")
    assert shown.returncode == 0
    assert shown.stdout.strip() == f"bitloom {bitloom_bulk.__version__}"


def test_decode_in_chunks_gives_the_same_rows(capture, capsys, monkeypatch):
    import bitloom_bulk.cli as cli

    root, _, frames, fixed = capture
    argv = ["decode", str(root / "fixed.bin"), "--recipe", str(root / "fixed.csv")]
    argv += ["--packet-bytes", "4", "--format", "jsonl"]
    monkeypatch.setattr(cli, "_CHUNK_BYTES", 8)  # two packets per call
    assert main(argv) == 0
    rows = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert rows == [bitloom.unpack_parameters(frame, 0, fixed) for frame in frames]
    (root / "odd.bin").write_bytes((root / "fixed.bin").read_bytes() + b"x")
    argv[1] = str(root / "odd.bin")
    assert main(argv) == 1
    assert "at byte 16" in capsys.readouterr().err
    # a fault in a later chunk is reported with its place in the whole file
    (root / "bcd.bin").write_bytes(bytes([1, 2, 3, 0xFA]))
    dump_recipe([field("d", "packed_bcd", 8)], root / "bcd.json")
    argv = ["decode", str(root / "bcd.bin"), "--recipe", str(root / "bcd.json")]
    argv += ["--packet-bytes", "1"]
    monkeypatch.setattr(cli, "_CHUNK_BYTES", 2)
    assert main(argv) == 1
    err = capsys.readouterr().err
    assert "Invalid BCD digit" in err and "in packet 3 (bytes 3 to 4 of the data)" in err


@pytest.mark.parametrize(
    "where, error, code, says",
    [
        ("load_recipe", MemoryError, 1, "bitloom: error: {root}/fixed.csv: not enough memory"),
        ("unpack_columns", MemoryError, 1, "bitloom: error: not enough memory"),
        ("unpack_columns", KeyboardInterrupt, 130, "bitloom: interrupted"),
    ],
)
def test_memory_and_interrupts_are_one_line(capture, capsys, monkeypatch, where, error, code, says):
    def fails(*args, **kwargs):
        raise error

    monkeypatch.setattr(cli, where, fails)
    root = capture[0]
    argv = ["decode", str(root / "fixed.bin"), "--recipe", str(root / "fixed.csv")]
    assert main([*argv, "--packet-bytes", "4"]) == code
    err = capsys.readouterr().err
    assert err.startswith(says.format(root=root)) and err.count("\n") == 1


def refusing_nul(*args, **kwargs):
    """A csv writer that refuses NUL, as that of Python 3.10 does."""
    writer = REAL_CSV_WRITER(*args, **kwargs)

    def writerow(row):
        if any("\0" in str(value) for value in row):
            raise csv.Error("need to escape, but no escapechar set")
        return writer.writerow(row)

    return SimpleNamespace(writerow=writerow, writerows=lambda rows: [*map(writerow, rows)])


REAL_CSV_WRITER = csv.writer


@pytest.mark.parametrize("writer", [REAL_CSV_WRITER, refusing_nul])
@pytest.mark.parametrize("to_file", [False, True])
def test_csv_carries_nul_characters(tmp_path, capsys, monkeypatch, writer, to_file):
    monkeypatch.setattr(csv, "writer", writer)
    monkeypatch.setattr(cli, "_PIECE_CHARS", 8)  # the text is made and written in many pieces
    recipe = [field("n", "unsigned", 8), field("t", "utf8", 24)]
    texts = ["a\0b", "\0\0\0", '",\0', "\r\n\0", "abc"]
    (tmp_path / "nul.bin").write_bytes(b"".join(b"\x07" + text.encode() for text in texts))
    dump_recipe(recipe, tmp_path / "nul.json")
    out = tmp_path / "out.csv"
    argv = ["decode", str(tmp_path / "nul.bin"), "--recipe", str(tmp_path / "nul.json")]
    argv += ["--packet-bytes", "4", "--format", "csv", *(["--out", str(out)] if to_file else [])]
    assert main(argv) == 0
    shown = capsys.readouterr()
    text = out.read_bytes().decode() if to_file else shown.out
    # NUL is written as it is; the csv readers of Python 3.10 and older refuse
    # it, so another character stands in for it while the text is parsed.
    rows = list(csv.reader(io.StringIO(text.replace("\0", "\uffff"), newline="")))
    assert (shown.err, rows[0]) == ("", ["n", "t"])
    assert [row[1].replace("\uffff", "\0") for row in rows[1:]] == texts


@pytest.mark.parametrize(
    "error, code, line",
    [
        (KeyboardInterrupt(), 130, "bitloom: interrupted\n"),
        (OSError(errno.ENOSPC, "No space left on device"), 1, "bitloom: error: "),
    ],
)
@pytest.mark.parametrize("old", [None, b"the table written before"])
def test_write_cut_short_leaves_no_partial_file(
    capture, tmp_path, capsys, monkeypatch, error, code, line, old
):
    pq = pytest.importorskip("pyarrow.parquet")

    def half_written(table, where, **kwargs):
        handle = open(where, "wb") if isinstance(where, (str, os.PathLike)) else where  # noqa: SIM115
        handle.write(b"PAR1 and a part of a table")
        handle.flush()
        raise error

    monkeypatch.setattr(pq, "write_table", half_written)
    root, out = capture[0], tmp_path / "t.parquet"
    if old is not None:
        out.write_bytes(old)
    argv = ["decode", str(root / "fixed.bin"), "--recipe", str(root / "fixed.csv")]
    assert main([*argv, "--packet-bytes", "4", "--format", "parquet", "--out", str(out)]) == code
    err = capsys.readouterr().err
    assert err.startswith(line) and err.count("\n") == 1
    assert os.listdir(tmp_path) == ([] if old is None else ["t.parquet"])
    assert old is None or out.read_bytes() == old


# The command line, with the input file cut to half (or grown by 4 KiB) as
# soon as the first of its bytes are being decoded.
CHANGE_WHILE_READING = """
import os, sys
import bitloom_bulk.cli as cli

path, change = sys.argv[1], sys.argv[2]


def changing(function):
    def call(data, *args, **kwargs):
        if len(data) and not os.environ.get("CHANGED"):
            os.environ["CHANGED"] = "1"
            if change == "shrink":
                os.truncate(path, os.path.getsize(path) // 2)
            else:
                with open(path, "ab") as f:
                    f.write(bytes(4096))
        return function(data, *args, **kwargs)
    return call


for name in ("unpack_columns", "split_ccsds", "unpack_ccsds"):
    setattr(cli, name, changing(getattr(cli, name)))
cli._CHUNK_BYTES = 4096
sys.exit(cli.main(sys.argv[3:]))
"""


@pytest.mark.parametrize(
    "command, change",
    [
        (["decode", "--packet-bytes", "12"], "shrink"),
        (["decode", "--packet-bytes", "12"], "grow"),
        (["decode", "--ccsds", "--apid", "100"], "shrink"),
        (["split"], "shrink"),
    ],
)
def test_file_that_changes_while_read_is_one_line(capture, tmp_path, command, change):
    root, packets = capture[:2]
    hk = b"".join(p for p in packets if bitloom.unpack_parameters(p, 0, HEADER)["apid"] == 100)
    path = tmp_path / "changing.bin"
    path.write_bytes(hk * (65536 // len(hk)))  # 16 blocks of packets of 12 bytes
    size = path.stat().st_size
    argv = [command[0], str(path), *command[1:]]
    argv += ["--recipe", str(root / "hk.toml")] if command[0] == "decode" else []
    done = subprocess.run(
        [sys.executable, "-c", CHANGE_WHILE_READING, str(path), change, *argv],
        capture_output=True,
        text=True,
        check=False,
    )
    assert (done.returncode, done.stdout) == (1, ""), done.stderr
    assert done.stderr == (
        f"bitloom: error: {path}: the file changed size while it was read "
        f"({size} bytes when opened, {path.stat().st_size} bytes now)\n"
    )


FIELDS = [
    field("count", "unsigned", 32),
    field("temp", "twos_complement", 12),
    field("flags", "unsigned", 4, byte_order="little"),
    field("volts", "ieee754_f32", 32),
    field("label", "iso_8859_1", 24),
    field("bcd", "packed_bcd", 8),
]
BODY_BYTES = sum(item["bits"] for item in FIELDS) // 8
PACKET = [*HEADER, *FIELDS]


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """Packets with random values (their BCD bytes valid), of one size, and of
    7 to 300 bytes in CCSDS streams, so that a block holds many or none."""
    root = tmp_path_factory.mktemp("inputs")
    rng = np.random.default_rng(5)
    fixed = rng.integers(0, 256, (900, BODY_BYTES), np.uint8)
    fixed[:, -1] = 0x42
    (root / "fixed.bin").write_bytes(fixed.tobytes())
    (root / "mixed.ccsds").write_bytes(bcd_stream(mixed_stream(300, {16: 7, 32: 37, 48: 300})))
    lengths = rng.integers(6 + BODY_BYTES, 300, 120)
    (root / "one-apid.ccsds").write_bytes(bcd_stream(stream(np.full(120, 32), lengths, rng)))
    dump_recipe(FIELDS, root / "body.json")
    dump_recipe(PACKET, root / "packet.json")
    dump_recipe([field("bcd", "packed_bcd", 8)], root / "bcd.json")
    return root


def bcd_stream(data, bad=None):
    """The stream with each packet's BCD byte valid, but for packet number `bad`."""
    data = np.frombuffer(data, np.uint8).copy()
    starts, lengths = bitloom_bulk.split_ccsds(data)[:2]
    data[starts[lengths > BODY_BYTES + 5] + BODY_BYTES + 5] = 0x42
    if bad is not None:
        data[starts[bad] + BODY_BYTES + 5] = 0xFA
    return data.tobytes()


@pytest.mark.parametrize("chunk", [5, 64, 1000])  # bytes per block: less than a packet, or more
@pytest.mark.parametrize(
    "options",
    [
        ["fixed.bin", "--recipe", "body.json", "--packet-bytes", str(BODY_BYTES)],
        ["fixed.bin", "--recipe", "body.json", "--packet-bytes", str(BODY_BYTES), "--limit", "333"],
        ["mixed.ccsds", "--recipe", "packet.json", "--ccsds", "--apid", "32"],
        ["one-apid.ccsds", "--recipe", "packet.json", "--ccsds", "--limit", "50"],
    ],
)
def test_decode_in_blocks_equals_one_call(inputs, monkeypatch, chunk, options):
    args = cli._parser().parse_args(["decode", str(inputs / options[0]), *options[1:]])
    args.recipe = str(inputs / args.recipe)
    monkeypatch.setattr(cli, "_CHUNK_BYTES", chunk)
    got = cli._decode_columns(args)
    data = (inputs / options[0]).read_bytes()
    if args.ccsds:
        expected = bitloom_bulk.unpack_ccsds(data, {32: PACKET})[32]
    else:
        expected = bitloom_bulk.unpack_columns(data, FIELDS, packet_bytes=BODY_BYTES)
    limit = args.limit or len(data)
    assert list(got) == list(expected)
    for name, column in expected.items():
        assert got[name].dtype == column.dtype, name
        if column.dtype == object:
            assert got[name].tolist() == column[:limit].tolist(), name
        else:
            assert got[name].tobytes() == column[:limit].tobytes(), name


@pytest.mark.parametrize("chunk", [5, 64, 1000])
@pytest.mark.parametrize("name", ["mixed.ccsds", "one-apid.ccsds"])
def test_split_in_blocks_equals_one_call(inputs, capsys, monkeypatch, chunk, name):
    monkeypatch.setattr(cli, "_CHUNK_BYTES", chunk)
    assert main(["split", str(inputs / name)]) == 0
    rows = [line.split("\t") for line in capsys.readouterr().out.splitlines()]
    frames = bitloom_bulk.split_ccsds((inputs / name).read_bytes())
    assert [list(map(int, row)) for row in rows[1:]] == np.array(frames[:4]).T.tolist()


@pytest.mark.parametrize(
    "name, make, options",
    [
        ("bad.bin", lambda d: b"\x12" * 900 + b"\xfa" + b"\x12" * 99, ["--packet-bytes", "1"]),
        ("cut.ccsds", lambda d: d[:-3], ["--ccsds", "--apid", "32"]),
        ("cut.ccsds", lambda d: d[:-3], None),  # split
        ("bad-and-cut.ccsds", lambda d: bcd_stream(d, 5)[:-3], ["--ccsds", "--apid", "32"]),
        ("bad.ccsds", lambda d: bcd_stream(d, 100), ["--ccsds", "--apid", "32"]),
        ("late-apid.ccsds", lambda d: d + mixed_stream(1, {48: 9}), ["--ccsds"]),
    ],
)
def test_errors_in_blocks_are_those_of_one_call(inputs, capsys, monkeypatch, name, make, options):
    path = inputs / name
    path.write_bytes(make((inputs / "one-apid.ccsds").read_bytes()))
    recipe = "bcd.json" if name.endswith(".bin") else "packet.json"
    argv = ["split", str(path)] if options is None else ["decode", str(path), *options]
    argv += [] if options is None else ["--recipe", str(inputs / recipe)]
    seen = []
    for chunk in (path.stat().st_size, 64):  # one call, then blocks
        monkeypatch.setattr(cli, "_CHUNK_BYTES", chunk)
        seen.append((main(argv), capsys.readouterr()))
    assert seen[0][0] == 1 and seen[0][1].err.startswith("bitloom: error: ")
    assert seen[1] == seen[0]


@pytest.mark.skipif(not os.path.isdir("/dev/fd"), reason="needs /dev/fd")
def test_pipe_is_decoded_in_one_call(inputs, capsys, monkeypatch):
    monkeypatch.setattr(cli, "_CHUNK_BYTES", 64)  # a pipe cannot be read again for the error
    read, write = os.pipe()
    os.write(write, b"\x12" * 900 + b"\xfa" + b"\x12" * 99)
    os.close(write)
    argv = ["decode", f"/dev/fd/{read}", "--recipe", str(inputs / "bcd.json")]
    try:
        assert main([*argv, "--packet-bytes", "1", "--limit", "5000"]) == 1
    finally:
        os.close(read)
    assert "in packet 900 (bytes 900 to 901 of the data)" in capsys.readouterr().err
