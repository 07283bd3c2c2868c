"""The command line's data-quality checks (--check-crc) and its answers to
careless inputs: one line on stderr and the documented exit status."""

import pytest

import bitloom_bulk as bb
import bitloom_bulk.cli as cli
from bitloom_bulk import dump_recipe, field
from bitloom_bulk.cli import main
from tests.bulk.test_live import _quality_stream

RECIPE = [field("a", "unsigned", 8, offset_bits=48)]
DECODE = ["decode", "{root}/stream.bin", "--recipe", "{root}/a.json"]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("quality")
    data, wrong = _quality_stream(4)
    (root / "stream.bin").write_bytes(data)
    frames = bb.split_ccsds(data)
    cut = int(frames.offsets[7])
    (root / "garbage.bin").write_bytes(data[:cut] + b"\xff\xee" + data[cut:])
    (root / "empty.bin").write_bytes(b"")
    dump_recipe(RECIPE, root / "a.json")
    dump_recipe(RECIPE, root / "a.recipe", format="json")
    return root, data, wrong, cut


def _run(capsys, argv):
    code = main([str(a) for a in argv])
    got = capsys.readouterr()
    return code, got.out, got.err


@pytest.mark.parametrize("chunk", [None, 64])  # one call, then blocks of 64 bytes
def test_check_crc_leaves_out_bad_packets_and_sums_up(files, capsys, monkeypatch, chunk):
    root, data, wrong, _ = files
    if chunk:
        monkeypatch.setattr(cli, "_CHUNK_BYTES", chunk)
    want = bb.split_ccsds(data, crc="ccitt").quality
    assert want.crc_faults and want.gaps and want.repeats and want.idle  # all in the summary
    summary = f"bitloom: {root}/stream.bin: {want.summary()}\n"
    assert summary.startswith(
        f"bitloom: {root}/stream.bin: {len(bb.split_ccsds(data).offsets)} packets, "
        f"{len(want.gaps)} gaps ({want.missing} missing), {len(want.repeats)} repeats, "
        f"{want.idle} idle, {len(want.crc_faults)} CRC faults"
    )

    code, out, err = _run(capsys, ["split", root / "stream.bin", "--check-crc"])
    assert (code, err) == (3, summary)
    assert len(out.splitlines()) == 1 + len(bb.split_ccsds(data).offsets)  # every packet listed

    argv = ["decode", root / "stream.bin", "--recipe", root / "a.json", "--ccsds"]
    code, out, err = _run(capsys, [*argv, "--apid", "5", "--check-crc", "--format", "csv"])
    assert (code, err) == (3, summary)
    kept = bb.unpack_ccsds(data, {5: RECIPE}, crc="ccitt")[5]["a"]
    assert out.splitlines() == ["a", *map(str, kept.tolist())]
    assert len(kept) == bb.split_ccsds(data).quality.packets[5] - len(wrong)

    # Without the option nothing changes: every packet, no summary, exit 0.
    code, out, err = _run(capsys, [*argv, "--apid", "5", "--format", "csv"])
    assert (code, err) == (0, "")
    assert len(out.splitlines()) == 1 + bb.split_ccsds(data).quality.packets[5]


@pytest.mark.parametrize("chunk", [None, 64])
@pytest.mark.parametrize("command", ["split", "decode"])
def test_check_crc_names_where_bytes_stop_being_packets(files, capsys, monkeypatch, chunk, command):
    root, _, _, cut = files
    if chunk:
        monkeypatch.setattr(cli, "_CHUNK_BYTES", chunk)
    argv = [command, root / "garbage.bin", "--check-crc"]
    if command == "decode":
        argv += ["--recipe", root / "a.json", "--ccsds", "--apid", "5"]
    code, out, err = _run(capsys, argv)
    assert (code, out) == (1, "")
    assert err == (
        f"bitloom: error: the bytes at byte {cut} (packet 7) do not look like a CCSDS packet:"
        " version field 7, not the stream's 0 (garbage between packets, or packet boundaries"
        " lost);"
        " nothing from there on is decoded\n"
    )


@pytest.mark.parametrize(
    ("argv", "code", "line"),
    [
        (
            ["check", "{root}"],
            1,
            "bitloom: error: {root}: is a directory, not a recipe file",
        ),
        (
            ["check", "{root}/a.recipe"],
            1,
            "bitloom: error: {root}/a.recipe: cannot tell the recipe format from the suffix;"
            " name the file .json, .toml or .csv, or give --recipe-format json|toml|csv",
        ),
        (
            ["decode", "{root}/stream.bin", "--recipe", "{root}/a.recipe", "--ccsds"],
            1,
            "bitloom: error: {root}/a.recipe: cannot tell the recipe format from the suffix;"
            " name the file .json, .toml or .csv, or give --recipe-format json|toml|csv",
        ),
        (
            ["check", "{root}/missing.recipe"],
            1,
            "bitloom: error: {root}/missing.recipe: No such file or directory",
        ),
        (
            ["split", "{root}/empty.bin"],
            4,
            "bitloom: warning: {root}/empty.bin is empty: there are no packets to read",
        ),
        (
            ["decode", "{root}/empty.bin", "--recipe", "{root}/a.json", "--packet-bytes", "4"],
            4,
            "bitloom: warning: {root}/empty.bin is empty: there are no packets to read",
        ),
        (
            ["decode", "{root}/empty.bin", "--recipe", "{root}/a.json", "--ccsds"],
            4,
            "bitloom: warning: {root}/empty.bin is empty: there are no packets to read",
        ),
        (
            ["decode", "{root}/stream.bin", "--recipe", "{root}/a.json", "--ccsds", "--apid", "9"],
            4,
            "bitloom: warning: {root}/stream.bin: APID 9 is not in the stream"
            " (its APIDs: 5, 6, 2047)",
        ),
        (
            [*DECODE, "--check-crc", "--packet-bytes", "4"],
            2,
            "bitloom: error: --check-crc needs --ccsds (see 'bitloom decode --help')",
        ),
    ],
)
@pytest.mark.parametrize("chunk", [None, 64])
def test_careless_inputs_get_one_line_and_their_exit_status(
    files, capsys, monkeypatch, argv, code, line, chunk
):
    root = files[0]
    if chunk:
        monkeypatch.setattr(cli, "_CHUNK_BYTES", chunk)
    got = _run(capsys, [a.format(root=root) for a in argv])
    assert (got[0], got[2]) == (code, line.format(root=root) + "\n")


def test_a_recipe_format_option_reads_a_file_of_any_name(files, capsys):
    root, data = files[:2]
    argv = ["decode", root / "stream.bin", "--recipe", root / "a.recipe", "--ccsds"]
    code, out, err = _run(capsys, [*argv, "--recipe-format", "json", "--apid", "6", "--limit", "2"])
    assert (code, err) == (0, "")
    column = bb.unpack_ccsds(data, {6: RECIPE})[6]["a"]
    assert [line.split() for line in out.splitlines()] == [["a"], *([str(v)] for v in column[:2])]
    assert _run(capsys, ["check", root / "a.recipe", "--recipe-format", "json"])[:2] == (
        0,
        f"{root}/a.recipe: no findings\n",
    )


def test_exit_statuses_are_documented(capsys):
    with pytest.raises(SystemExit):
        main(["split", "--help"])
    shown = capsys.readouterr().out
    assert "3  --check-crc found packets whose CRC does not match" in shown
    assert "4  nothing to decode: the input is empty, or the APID is not in the stream" in shown
