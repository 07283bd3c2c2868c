"""Every code block of README.md and docs/ runs as written.

Each page's ```python blocks run in order in one namespace, in a temporary
directory that holds the files the pages read: a small generated CCSDS capture
(`capture.bin`), a file of fixed-length frames (`frames.bin`, `frame.json`), and
every ```toml or ```xml block whose first line names its file
(`# housekeeping.toml`, `<!-- housekeeping.xml -->`).
Blocks of `>>>` lines run as doctests, their output compared. ```console lines
`$ bitloom ...` run the command line and must exit 0, or with the status a
comment on the line gives as "(exits N".

A block that cannot run here (one that connects to a real cluster) starts with
the line `# not run: REASON`, which readers see too; the runner leaves it out.
"""

from __future__ import annotations

import doctest
import json
import re
import shlex
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

from bitloom_bulk import compile as compile_recipe
from bitloom_bulk import field

ROOT = Path(__file__).resolve().parent.parent
if not (ROOT / "docs").is_dir() or not (ROOT / "examples").is_dir():
    # A wheel's tests run from a copy of tests/ alone.
    pytest.skip("README.md, docs/ and examples/ are not beside the tests", allow_module_level=True)

from examples import mixed_apid  # noqa: E402 - only where the source tree is there

PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
NOT_RUN = "# not run:"
# Imports a page may need that are extras, not dependencies: without them the
# page is skipped, saying which.
OPTIONAL = {
    "dask",
    "distributed",
    "pandas",
    "pyarrow",
    "polars",
    "fsspec",
    "ccsdspy",
    "space_packet_parser",
}

FENCE = re.compile(
    r"^(?P<fence>```+)(?P<lang>[^\s`]*)[^\n]*\n(?P<body>.*?)^(?P=fence)[ \t]*$", re.M | re.S
)


@dataclass(frozen=True)
class Block:
    lang: str
    body: str
    line: int  # of the block's first line of code in its page


def blocks(page: Path) -> list[Block]:
    text = page.read_text(encoding="utf-8")
    return [
        Block(m["lang"], m["body"], text.count("\n", 0, m.start("body")) + 1)
        for m in FENCE.finditer(text)
    ]


def runnable(page: Path) -> bool:
    return any(b.lang in ("python", "console") for b in blocks(page))


def science_packet(seq: int) -> bytes:
    """A packet of the "science" type of the definitions guide (APID 1424)."""
    body = [
        field("kind", "unsigned", 8),
        field("count", "unsigned", 8),
        *(field(f"sample{i}", "twos_complement", 12) for i in range(2)),
        *(
            item
            for i in range(2)
            for item in (
                field(f"energy{i}", "unsigned", 12),
                field(f"tof{i}", "unsigned", 8),
                field(f"position{i}", "unsigned", 10),
            )
        ),
        field("pad", "unsigned", 4),
        field("checksum", "unsigned", 16),
    ]
    values = {"kind": 1 + seq % 2, "count": 2, "sample0": -5, "sample1": 7, "energy0": 300}
    return mixed_apid.packet(1424, seq, [*mixed_apid.HEADER, *body], values)


def waveform_packet(seq: int) -> bytes:
    """A packet of the "science" type of the README (APID 1425): a waveform of 5 bytes."""
    body = [
        field("kind", "unsigned", 8),
        field("length", "unsigned", 16),
        field("waveform", "unsigned", 40),
        field("checksum", "unsigned", 16),
    ]
    values = {"kind": 2, "length": 5, "waveform": 0x0102030405, "checksum": seq}
    return mixed_apid.packet(1425, seq, [*mixed_apid.HEADER, *body], values)


FRAME = [
    field("sync", "unsigned", 32),
    field("counter", "unsigned", 16),
    field("temperature", "twos_complement", 16),
    field("voltage", "ieee754_f64", 64),
    field("label", "us_ascii", 64),
]


def prepare(directory: Path) -> None:
    """The files the pages read."""
    capture = mixed_apid.capture(200) + b"".join(
        science_packet(s) + waveform_packet(s) for s in range(3)
    )
    (directory / "capture.bin").write_bytes(capture)
    layout = compile_recipe(FRAME)
    frames = [layout.pack([0x1ACFFC1D, i, i - 20, i / 4, "FRAME   "]) for i in range(40)]
    (directory / "frames.bin").write_bytes(b"".join(frames))
    (directory / "frame.json").write_text(json.dumps(FRAME), encoding="utf-8")


def run_python(block: Block, page: Path, namespace: dict[str, object], skipped: bool) -> str | None:
    """Run one block; the reason it could not run, where an optional import is missing."""
    where = f"{page.relative_to(ROOT)}:{block.line}"
    if block.body.lstrip().startswith(">>>"):
        test = doctest.DocTestParser().get_doctest(
            block.body, namespace, where, str(page), block.line - 1
        )
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
        out: list[str] = []
        result = runner.run(test, out=out.append, clear_globs=False)
        if result.failed:
            pytest.fail(f"doctest block at {where} failed:\n{''.join(out)}", pytrace=False)
        return None
    try:
        exec(compile(block.body, where, "exec"), namespace)
    except ImportError as e:
        # bitloom_bulk.dask raises its own ImportError from the missing module.
        missing = next(
            (
                c.name
                for c in (e, e.__cause__, e.__context__)
                if isinstance(c, ImportError) and c.name
            ),
            "",
        )
        if missing.split(".")[0] not in OPTIONAL:
            raise
        return f"{where} needs {missing}, not installed"
    except NameError:
        if not skipped:
            raise
        # A name a block passed over would have defined.
        return f"{where} needs a block passed over before it"
    return None


def run_console(block: Block, page: Path, directory: Path) -> None:
    for offset, line in enumerate(block.body.splitlines()):
        if not line.startswith("$ bitloom"):
            continue
        where = f"{page.relative_to(ROOT)}:{block.line + offset}"
        args = shlex.split(line[len("$ bitloom") :], comments=True)
        done = subprocess.run(
            [sys.executable, "-m", "bitloom_bulk", *args],
            cwd=directory,
            capture_output=True,
            text=True,
            timeout=120,
            check=False,
        )
        # A comment may say the exit status the command ends with: "(exits 3 ...".
        said = re.search(r"\(exits (\d+)", line)
        expected = int(said.group(1)) if said else 0
        if done.returncode != expected:
            pytest.fail(
                f"{where}: exit {done.returncode}, not {expected}\n{done.stderr}", pytrace=False
            )


def written_file(block: Block) -> str | None:
    """The file a ```toml or ```xml block stands for, named on its first line."""
    first = block.body.splitlines()[0] if block.body else ""
    m = re.fullmatch(r"#\s*([\w.-]+\.toml)\s*|<!--\s*([\w.-]+\.xml)\s*-->\s*", first)
    return (m[1] or m[2]) if m else None


@pytest.mark.parametrize(
    "page", [p for p in PAGES if runnable(p)], ids=lambda p: str(p.relative_to(ROOT))
)
def test_page_blocks_run(page: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    prepare(tmp_path)
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, object] = {"__name__": "__main__"}
    # A block needing an optional package that is absent is passed over; the
    # page's other blocks still run, and the test reports it skipped.
    missing: list[str] = []
    for block in blocks(page):
        if block.body.startswith(NOT_RUN):
            reason = block.body.splitlines()[0][len(NOT_RUN) :].strip()
            assert reason, f"{page.relative_to(ROOT)}:{block.line}: '{NOT_RUN}' without a reason"
            continue
        if block.lang in ("toml", "xml") and (name := written_file(block)):
            (tmp_path / name).write_text(block.body, encoding="utf-8")
        elif block.lang == "python":
            if reason := run_python(block, page, namespace, bool(missing)):
                missing.append(reason)
        elif block.lang == "console":
            run_console(block, page, tmp_path)
    if missing:
        pytest.skip("; ".join(missing))


def test_blocks_found() -> None:
    """The fence pattern sees the blocks (a broken pattern would pass every page)."""
    readme = blocks(ROOT / "README.md")
    assert sum(b.lang == "python" for b in readme) >= 4
    assert any(b.lang == "console" for b in readme)
    assert all(b.body.strip() for b in readme)


DIRECTIVE = re.compile(
    r"^\s*\.\. (?:auto(?:function|class|exception|data|module)|py:(?:function|class|data))::\s+([\w.]+)",
    re.M,
)


def test_api_reference_documents_every_public_name() -> None:
    """docs/api.md has an entry for each name of bitloom_bulk.__all__ and the Dask reader."""
    import bitloom_bulk

    documented = set(DIRECTIVE.findall((ROOT / "docs" / "api.md").read_text(encoding="utf-8")))
    wanted = {f"bitloom_bulk.{name}" for name in bitloom_bulk.__all__}
    wanted.add("bitloom_bulk.dask.read_packets")
    assert sorted(wanted - documented) == []
