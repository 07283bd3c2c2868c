"""The bitloom command line, run end to end on generated captures."""

import csv
import errno
import io
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from archives import HEADER as PRIMARY_HEADER
from ccsds_streams import mixed_stream, stream

import bitloom
import bitloom_bulk
import bitloom_bulk.cli as cli
from bitloom_bulk import dump_recipe, field
from bitloom_bulk.cli import main

HEADER = [
    field("version", "unsigned", 3),
    field("type", "unsigned", 1),
    field("sec_hdr_flag", "unsigned", 1),
    field("apid", "unsigned", 11),
    field("seq_flags", "unsigned", 2),
    field("seq_count", "unsigned", 14),
    field("data_length", "unsigned", 16),
]
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
    "where, line",
    [
        ("load_recipe", "fixed.csv: not enough memory to read it"),
        ("unpack_columns", "not enough memory"),
    ],
)
def test_out_of_memory_is_one_line(capture, capsys, monkeypatch, where, line):
    def exhausted(*args, **kwargs):
        raise MemoryError

    monkeypatch.setattr(cli, where, exhausted)
    root = capture[0]
    argv = ["decode", str(root / "fixed.bin"), "--recipe", str(root / "fixed.csv")]
    assert main([*argv, "--packet-bytes", "4"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("bitloom: error: ") and err.endswith(f"{line}\n") and err.count("\n") == 1


class RefusesNul:
    """A csv writer that refuses NUL as that of Python 3.10 does."""

    def __init__(self, *args, **kwargs):
        self.writer = REAL_CSV_WRITER(*args, **kwargs)

    def writerow(self, row):
        if any("\0" in str(value) for value in row):
            raise csv.Error("need to escape, but no escapechar set")
        return self.writer.writerow(row)

    def writerows(self, rows):
        for row in rows:
            self.writerow(row)


REAL_CSV_WRITER = csv.writer


@pytest.mark.parametrize("writer", ["this interpreter's", "one refusing NUL"])
@pytest.mark.parametrize("to_file", [False, True])
def test_csv_carries_nul_characters(tmp_path, capsys, monkeypatch, writer, to_file):
    if writer == "one refusing NUL":
        monkeypatch.setattr(csv, "writer", RefusesNul)
    monkeypatch.setattr(cli, "_PIECE_CHARS", 8)  # the text is made and written in many pieces
    recipe = [field("n", "unsigned", 8), field("t", "utf8", 24)]
    texts = ["a\0b", "\0\0\0", '",\0', "\r\n\0", "abc"]
    frames = [
        bitloom.pack_parameters([dict(recipe[0], value=i), dict(recipe[1], value=text)])
        for i, text in enumerate(texts)
    ]
    (tmp_path / "nul.bin").write_bytes(b"".join(frames))
    dump_recipe(recipe, tmp_path / "nul.json")
    argv = ["decode", str(tmp_path / "nul.bin"), "--recipe", str(tmp_path / "nul.json")]
    argv += ["--packet-bytes", "4", "--format", "csv"]
    out = tmp_path / "out.csv"
    assert main([*argv, "--out", str(out)] if to_file else argv) == 0
    shown = capsys.readouterr()
    assert shown.err == ""
    text = out.read_bytes().decode("utf-8") if to_file else shown.out
    # NUL is written as it is; the readers of 3.10 and older refuse it, so it
    # stands in for a character no value holds while the text is parsed.
    rows = list(csv.reader(io.StringIO(text.replace("\0", "\uffff"), newline="")))
    rows = [[cell.replace("\uffff", "\0") for cell in row] for row in rows]
    assert rows[0] == ["n", "t"]
    expected = [bitloom.unpack_parameters(frame, 0, recipe) for frame in frames]
    assert [{"n": int(n), "t": t} for n, t in rows[1:]] == expected
    assert {row["t"] for row in expected} >= set(texts[:4])


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
    root = capture[0]
    out = tmp_path / "t.parquet"
    if old is not None:
        out.write_bytes(old)
    argv = ["decode", str(root / "fixed.bin"), "--recipe", str(root / "fixed.csv")]
    argv += ["--packet-bytes", "4", "--format", "parquet", "--out", str(out)]
    assert main(argv) == code
    err = capsys.readouterr().err
    assert err.startswith(line) and err.count("\n") == 1
    assert os.listdir(tmp_path) == ([] if old is None else ["t.parquet"])
    assert old is None or out.read_bytes() == old


def wait_until_reading(pid):
    """Waits until process `pid` sleeps in a read of a pipe, where /proc
    shows it, for at most a few seconds (elsewhere half a second)."""
    try:
        with open(f"/proc/{pid}/wchan") as f:
            f.read()
    except OSError:
        time.sleep(0.5)
        return
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/wchan") as f:
            if "pipe" in f.read():
                return
        time.sleep(0.01)


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_interrupt_is_one_line_and_exit_130(capture, tmp_path):
    root = capture[0]
    fifo = tmp_path / "never-written.bin"
    os.mkfifo(fifo)
    out = tmp_path / "out.csv"
    argv = ["decode", str(fifo), "--recipe", str(root / "fixed.csv"), "--packet-bytes", "4"]
    argv += ["--format", "csv", "--out", str(out)]
    child = subprocess.Popen(
        [sys.executable, "-m", "bitloom_bulk", *argv],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    # Once the child has opened the pipe it waits for data that never comes:
    # the interrupt then arrives while it reads.
    deadline = time.monotonic() + 60
    writer = None
    try:
        while writer is None:
            try:
                writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            except OSError as exc:  # ENXIO: no reader yet
                if exc.errno != errno.ENXIO or child.poll() is not None:
                    raise
            assert time.monotonic() < deadline, "the child never opened its input"
            time.sleep(0.01)
        wait_until_reading(child.pid)
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
        if writer is not None:
            os.close(writer)
    assert (child.returncode, stdout, stderr) == (130, "", "bitloom: interrupted\n")
    assert os.listdir(tmp_path) == [fifo.name]


# A run of the command line in which the input file is cut short (or grows)
# as soon as the first of its bytes are being decoded.
CHANGE_WHILE_READING = """
import os, sys
import bitloom_bulk.cli as cli

path, change = sys.argv[1], sys.argv[2]
changed = []


def changing(function):
    def call(data, *args, **kwargs):
        if len(data) and not changed:
            changed.append(True)
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
    hk = [p for p in packets if bitloom.unpack_parameters(p, 0, HEADER)["apid"] == 100]
    path = tmp_path / "changing.bin"
    path.write_bytes(b"".join(hk) * (65536 // sum(map(len, hk))))  # 64 KiB, 16 blocks
    size = path.stat().st_size
    argv = [command[0], str(path), *command[1:]]
    if command[0] == "decode":
        argv += ["--recipe", str(root / "hk.toml")]
    done = subprocess.run(
        [sys.executable, "-c", CHANGE_WHILE_READING, str(path), change, *argv],
        capture_output=True,
        text=True,
        check=False,
    )
    now = path.stat().st_size
    assert (done.returncode, done.stdout) == (1, ""), done.stderr
    assert done.stderr == (
        f"bitloom: error: {path}: the file changed size while it was read "
        f"({size} bytes when opened, {now} bytes now)\n"
    )


BODY_FIELDS = [
    field("count", "unsigned", 32),
    field("temp", "twos_complement", 12),
    field("flags", "unsigned", 4, byte_order="little"),
    field("volts", "ieee754_f32", 32),
    field("label", "iso_8859_1", 24),
]
BODY_BYTES = sum(item["bits"] for item in BODY_FIELDS) // 8
FIXED_OPTIONS = ["fixed.bin", "--recipe", "body.json", "--packet-bytes", str(BODY_BYTES)]


def same_columns(got, expected):
    assert list(got) == list(expected)
    for name, column in expected.items():
        assert got[name].dtype == column.dtype, name
        if column.dtype == object:
            assert got[name].tolist() == column.tolist(), name
        else:
            assert got[name].tobytes() == column.tobytes(), name


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    root = tmp_path_factory.mktemp("inputs")
    rng = np.random.default_rng(5)
    (root / "fixed.bin").write_bytes(rng.integers(0, 256, 900 * BODY_BYTES, np.uint8).tobytes())
    # Packets of 7 to 300 bytes, so that a block holds many of them or none.
    (root / "mixed.ccsds").write_bytes(mixed_stream(300, {0x10: 7, 0x20: 37, 0x30: 300}, seed=3))
    lengths = rng.integers(6 + BODY_BYTES, 300, 120)
    (root / "one-apid.ccsds").write_bytes(stream(np.full(120, 0x20), lengths, rng))
    dump_recipe(BODY_FIELDS, root / "body.json")
    dump_recipe([*PRIMARY_HEADER, *BODY_FIELDS], root / "packet.json")
    return root


@pytest.mark.parametrize("chunk", [5, 64, 1000])  # bytes per block: less than a packet, or more
@pytest.mark.parametrize(
    "options, one_call",
    [
        (
            FIXED_OPTIONS,
            lambda data: bitloom_bulk.unpack_columns(data, BODY_FIELDS, packet_bytes=BODY_BYTES),
        ),
        (
            [*FIXED_OPTIONS, "--limit", "333"],
            lambda data: bitloom_bulk.unpack_columns(
                data[: 333 * BODY_BYTES], BODY_FIELDS, packet_bytes=BODY_BYTES
            ),
        ),
        (
            ["mixed.ccsds", "--recipe", "packet.json", "--ccsds", "--apid", "0x20"],
            lambda data: bitloom_bulk.unpack_ccsds(data, {0x20: [*PRIMARY_HEADER, *BODY_FIELDS]})[
                0x20
            ],
        ),
        (
            ["one-apid.ccsds", "--recipe", "packet.json", "--ccsds", "--limit", "50"],
            lambda data: {
                name: column[:50]
                for name, column in bitloom_bulk.unpack_ccsds(
                    data, {0x20: [*PRIMARY_HEADER, *BODY_FIELDS]}
                )[0x20].items()
            },
        ),
    ],
)
def test_decode_in_blocks_equals_one_call(inputs, monkeypatch, chunk, options, one_call):
    args = cli._parser().parse_args(["decode", str(inputs / options[0]), *options[1:]])
    args.recipe = str(inputs / args.recipe)
    monkeypatch.setattr(cli, "_CHUNK_BYTES", chunk)
    same_columns(cli._decode_columns(args), one_call((inputs / options[0]).read_bytes()))


@pytest.mark.parametrize("chunk", [5, 64, 1000])
@pytest.mark.parametrize("name", ["mixed.ccsds", "one-apid.ccsds"])
def test_split_in_blocks_equals_one_call(inputs, capsys, monkeypatch, chunk, name):
    monkeypatch.setattr(cli, "_CHUNK_BYTES", chunk)
    assert main(["split", str(inputs / name)]) == 0
    rows = [line.split("\t") for line in capsys.readouterr().out.splitlines()]
    frames = bitloom_bulk.split_ccsds((inputs / name).read_bytes())
    assert rows[0] == ["offset", "length", "apid", "sequence_count"]
    assert [list(map(int, row)) for row in rows[1:]] == np.array(frames[:4]).T.tolist()


def bcd_stream(data, bad=None):
    """The stream with the first body byte of every packet a valid BCD byte,
    and an invalid one in packet number `bad`."""
    data = np.frombuffer(data, np.uint8).copy()
    starts = bitloom_bulk.split_ccsds(data).offsets
    data[starts + 6] = 0x12
    if bad is not None:
        data[starts[bad] + 6] = 0xFA
    return data.tobytes()


@pytest.mark.parametrize(
    "name, make, options",
    [
        ("bad.bin", lambda d: b"\x12" * 900 + b"\xfa" + b"\x12" * 99, ["--packet-bytes", "1"]),
        ("cut.ccsds", lambda d: bcd_stream(d)[:-3], ["--ccsds", "--apid", "0x20"]),
        ("cut.ccsds", lambda d: bcd_stream(d)[:-3], None),  # split
        ("bad-and-cut.ccsds", lambda d: bcd_stream(d, 5)[:-3], ["--ccsds", "--apid", "0x20"]),
        ("bad.ccsds", lambda d: bcd_stream(d, 100), ["--ccsds", "--apid", "0x20"]),
        ("late-apid.ccsds", lambda d: d + mixed_stream(1, {0x30: 9}), ["--ccsds"]),
    ],
)
def test_errors_in_blocks_are_those_of_one_call(
    inputs, tmp_path, capsys, monkeypatch, name, make, options
):
    data = make((inputs / "one-apid.ccsds").read_bytes())
    (tmp_path / name).write_bytes(data)
    if options is None:
        argv = ["split", str(tmp_path / name)]
    else:
        recipe = [field("bcd", "packed_bcd", 8)]
        dump_recipe(
            recipe if name.endswith(".bin") else [*PRIMARY_HEADER, *recipe], tmp_path / "r.json"
        )
        argv = ["decode", str(tmp_path / name), "--recipe", str(tmp_path / "r.json"), *options]
    seen = []
    for chunk in (len(data), 64):  # one call, then blocks
        monkeypatch.setattr(cli, "_CHUNK_BYTES", chunk)
        code = main(argv)
        seen.append((code, capsys.readouterr()))
    assert seen[0][0] == 1 and seen[0][1].err.startswith("bitloom: error: ")
    assert seen[1] == seen[0]
