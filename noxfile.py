"""Every check of this repository, one nox session each.

    nox -l                   the sessions
    nox                      what CI runs (.ci/run runs the same sessions one by one)
    nox -s tests-3.12        one session; arguments after -- go to the session

The interpreters are the CPython 3.10+ that pyenv has (the newest of each minor
version), else the python3 on PATH. The newest of them runs the sessions that
need only one interpreter. Sessions that build the package install one wheel
built per interpreter, source state and kind (kept in .nox/_wheels), so the C++
is compiled once per interpreter and kind, not once per session. The kinds: the
test build of the tests sessions, with the test-only module bitloom_bulk._probe
(CMake option BITLOOM_TEST_PROBE=ON), and the release build everything else
installs and wheel-config checks.
"""

from __future__ import annotations

import hashlib
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import nox
from nox.command import CommandFailed

ROOT = Path(__file__).resolve().parent

# Plain venvs of the interpreters found here; nox never downloads one.
nox.options.default_venv_backend = "venv"
nox.options.download_python = "never"


def _pyenv_interpreters() -> dict[str, str]:
    """{"3.12": "/path/to/python", ...} for pyenv's CPython 3.10+, oldest first."""
    try:
        pyenv_root = subprocess.run(
            ["pyenv", "root"], capture_output=True, text=True, check=True
        ).stdout.strip()
        versions = subprocess.run(
            ["pyenv", "versions", "--bare"], capture_output=True, text=True, check=True
        ).stdout.split()
    except (OSError, subprocess.CalledProcessError):
        return {}
    newest: dict[tuple[int, int], tuple[int, str]] = {}
    for version in versions:
        match = re.fullmatch(r"3\.(\d+)\.(\d+)", version)
        python = Path(pyenv_root, "versions", version, "bin", "python")
        if match and int(match[1]) >= 10 and os.access(python, os.X_OK):
            minor, patch = int(match[1]), int(match[2])
            if (3, minor) not in newest or patch > newest[(3, minor)][0]:
                newest[(3, minor)] = (patch, str(python))
    return {f"{m}.{n}": newest[(m, n)][1] for m, n in sorted(newest)}


def _interpreters() -> dict[str, str]:
    found = _pyenv_interpreters()
    if not found:
        python3 = shutil.which("python3") or sys.executable
        version = subprocess.run(
            [python3, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
        found = {version: python3}
    # nox finds "3.12" as python3.12 on PATH: these directories first.
    dirs = [str(Path(p).parent) for p in found.values()]
    os.environ["PATH"] = os.pathsep.join([*dirs, os.environ.get("PATH", "")])
    return found


INTERPRETERS = _interpreters()
VERSIONS = list(INTERPRETERS)
NEWEST = VERSIONS[-1]
NEWEST_PYTHON = INTERPRETERS[NEWEST]

# What `nox` alone runs: CI's checks, in CI's order.
nox.options.sessions = [
    *(f"tests-{v}" for v in VERSIONS),
    "examples",
    "typing",
    "docs",
    "wheel-config",
    "compilers",
    "lint",
    "cpp-tests",
    "fuzz",
    "fuzz-definitions",
    "sanitize",
]


# --- helpers -----------------------------------------------------------------


def _source_digest() -> str:
    """A digest of everything the wheel is built from."""
    digest = hashlib.sha256()
    for top in ("CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE", "src", "python"):
        path = ROOT / top
        files = [path] if path.is_file() else sorted(path.rglob("*"))
        for file in files:
            if file.is_file() and "__pycache__" not in file.parts:
                digest.update(str(file.relative_to(ROOT)).encode() + b"\0")
                digest.update(file.read_bytes() + b"\0")
    return digest.hexdigest()[:16]


# What a run that must have the test-only probe sets (tests/support/probe.py):
# without it the probe's tests skip where the build lacks the probe.
REQUIRE_PROBE = {"BITLOOM_REQUIRE_TEST_PROBE": "1"}
# The long form: the pip of a fresh 3.10 venv (23.0) has no -C.
TEST_BUILD = "--config-settings=cmake.define.BITLOOM_TEST_PROBE=ON"


def built_wheel(session: nox.Session, python: str, *, probe: bool) -> Path:
    """The wheel of this source state for `python` ("python": the session's own):
    the test build with the probe (probe=True), or the release build, the plain
    `pip wheel` a release build is (probe=False).

    Each is built once per interpreter, source state and kind, kept in
    .nox/_wheels/<source digest>/<kind>/<version>; wheels of older source
    states go.
    """
    external = python != "python"
    show_version = "import sys; print(sys.version.split()[0])"
    version = session.run(python, "-c", show_version, silent=True, external=external)
    version = (version or "unknown").strip()
    wheels = ROOT / ".nox" / "_wheels"
    digest = _source_digest()
    here = wheels / digest / ("test" if probe else "release") / version
    built = sorted(here.glob("*.whl"))
    if not built:
        if wheels.is_dir():
            for old in wheels.iterdir():
                if old.name != digest:
                    shutil.rmtree(old, ignore_errors=True)
        session.run(
            python, "-m", "pip", "wheel", "-q", "--no-deps", *([TEST_BUILD] if probe else []),
            "-w", str(here), str(ROOT), external=external,
        )  # fmt: skip
        built = sorted(here.glob("*.whl"))
    return built[-1]


def install_package(session: nox.Session, extras: str = "", *, probe: bool) -> None:
    """Install the package, as `pip install .[extras]` would, into the session:
    its test build with the probe (probe=True) or its release build."""
    wheel = built_wheel(session, "python", probe=probe)
    session.install(f"{wheel}[{extras}]" if extras else str(wheel))


def run_each(
    session: nox.Session,
    *commands: list[str],
    env: dict[str, str] | None = None,
    silent: bool = False,
    external: bool = False,
) -> None:
    """Run every command even if one fails; the session fails if any did."""
    failed = []
    for command in commands:
        try:
            session.run(*command, env=env, silent=silent, external=external)
        except CommandFailed:
            failed.append(" ".join(command))
    if failed:
        session.error("failed: " + "; ".join(failed))


# --- sessions ----------------------------------------------------------------


@nox.session(python=VERSIONS)
def tests(session: nox.Session) -> None:
    """The test suite (python -m pytest -q -n auto) on the test build; Dask on the newest."""
    # The dask extra (Dask, distributed, pandas, pyarrow) for the newest interpreter
    # only: its cluster tests run there. The other interpreters skip those tests.
    install_package(session, "test,dask" if session.python == NEWEST else "test", probe=True)
    session.run("python", "-m", "pytest", "-q", "-n", "auto", *session.posargs, env=REQUIRE_PROBE)


@nox.session(python=NEWEST)
def examples(session: nox.Session) -> None:
    """Every script of examples/ runs without an error."""
    install_package(session, "test,dask", probe=False)
    scripts = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "examples").glob("*.py"))
    run_each(session, *(["python", s] for s in scripts), silent=True)


@nox.session(python=NEWEST)
def typing(session: nox.Session) -> None:
    """The type stubs against the built modules; mypy --strict over bitloom_bulk."""
    install_package(session, "typing", probe=False)
    sources = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "python/bitloom_bulk").glob("*.py"))
    run_each(
        session,
        ["bash", "tools/stubtest.sh"],
        ["python", "-m", "mypy", "--strict", "--no-incremental", *sources],
        env={"BITLOOM_VENV": session.virtualenv.location},
        external=True,
    )


@nox.session(python=NEWEST)
def docs(session: nox.Session) -> None:
    """The documentation (Sphinx, warnings as errors) into .nox/docs/tmp/html,
    with the dask extra: autodoc imports bitloom_bulk.dask for its reference."""
    install_package(session, "dask", probe=False)
    out = os.path.join(session.create_tmp(), "html")
    session.run("bash", "tools/build_docs.sh", session.virtualenv.location, out, external=True)


@nox.session(name="wheel-config", python=False)
def wheel_config(session: nox.Session) -> None:
    """The release wheels [tool.cibuildwheel] builds, as the pinned cibuildwheel reads it.

    Then that no release build switches the test-only probe on, and that the
    release build of the newest interpreter holds none of it.
    """
    wheel = built_wheel(session, NEWEST_PYTHON, probe=False)
    session.run("bash", "tools/check_wheel_config.sh", NEWEST_PYTHON, str(wheel))


@nox.session(python=False)
def wheels(session: nox.Session) -> None:
    """Wheels for every interpreter, repaired and tested in fresh venvs; the sdist."""
    session.run("bash", "tools/check_wheels.sh", *(session.posargs or INTERPRETERS.values()))


@nox.session(name="wheel-smoke", python=False)
def wheel_smoke(session: nox.Session) -> None:
    """The newest interpreter's release wheel as a user gets it: repaired to a
    manylinux tag, installed into a fresh venv and run with no compiler on the
    PATH (quick start, both packages, the command line); the sdist built,
    installed into another venv and run the same way."""
    wheel = built_wheel(session, NEWEST_PYTHON, probe=False)
    session.run("bash", "tools/wheel_smoke.sh", NEWEST_PYTHON, str(wheel))


@nox.session(python=False)
def compilers(session: nox.Session) -> None:
    """The extension built with g++ and with clang++, warnings as errors."""
    session.run("bash", "tools/build_compilers.sh", NEWEST_PYTHON)


@nox.session(python=False)
def lint(session: nox.Session) -> None:
    """ruff, clang-format and clang-tidy (-- --fix applies the fixes)."""
    session.run(
        "bash", "tools/lint.sh", *session.posargs, env={"BITLOOM_LINT_PYTHON": NEWEST_PYTHON}
    )


@nox.session(name="cpp-tests", python=False)
def cpp_tests(session: nox.Session) -> None:
    """The C++ tests of the core (CMake BITLOOM_BUILD_TESTS, ctest), in build/cpp-tests."""
    build = str(ROOT / "build" / "cpp-tests")
    session.run(
        "cmake", "-S", str(ROOT), "-B", build, "-DCMAKE_BUILD_TYPE=Release",
        "-DBITLOOM_BUILD_MODULES=OFF", "-DBITLOOM_BUILD_TESTS=ON", silent=True,
    )  # fmt: skip
    session.run("cmake", "--build", build, "--parallel", str(os.cpu_count() or 1),
                "--target", "cpp_tests")  # fmt: skip
    session.run("ctest", "--test-dir", build, "--output-on-failure", *session.posargs)


@nox.session(python=False)
def fuzz(session: nox.Session) -> None:
    """The libFuzzer targets, 5 s each (-- SECONDS for longer runs)."""
    session.run("bash", "fuzz/run.sh", *(session.posargs or ["5"]))


@nox.session(name="fuzz-definitions", python=NEWEST)
def fuzz_definitions(session: nox.Session) -> None:
    """Definitions.decode against the reference model under atheris, 30 s
    (-- LIBFUZZER-OPTIONS for other runs)."""
    install_package(session, "test", probe=False)
    session.install("atheris")
    corpus = ROOT / "fuzz" / "corpus" / "definitions"
    corpus.mkdir(parents=True, exist_ok=True)
    crashes = ROOT / "fuzz" / "build" / "crashes" / "definitions"
    crashes.mkdir(parents=True, exist_ok=True)
    options = session.posargs or ["-max_total_time=30"]
    session.run(
        "python", "fuzz/fuzz_definitions.py", "-max_len=4096", f"-artifact_prefix={crashes}/",
        *options, str(corpus), str(ROOT / "fuzz" / "seeds" / "definitions"),
    )  # fmt: skip


@nox.session(python=False)
def sanitize(session: nox.Session) -> None:
    """The test suite against an ASan + UBSan build (pytest arguments after --)."""
    session.run("bash", "tools/sanitize.sh", *(session.posargs or ["-q"]))


def _free_threaded() -> tuple[str, str] | None:
    """(version, prefix) of a free-threaded CPython 3.13t/3.14t on this machine."""
    for version in ("3.13", "3.14"):
        prefixes = [
            os.environ.get("BITLOOM_FT_PREFIX", ""),
            os.path.expanduser(f"~/.cache/bitloom/python{version}t"),
        ]
        on_path = shutil.which(f"python{version}t")
        if on_path:
            prefixes.append(str(Path(on_path).resolve().parent.parent))
        for prefix in filter(None, prefixes):
            if os.access(Path(prefix, "bin", f"python{version}t"), os.X_OK):
                return version, prefix
    return None


@nox.session(name="free-threaded", python=False)
def free_threaded(session: nox.Session) -> None:
    """The package on a free-threaded CPython (-- build: build 3.13t first if missing)."""
    found = _free_threaded()
    if found is None and "build" not in session.posargs:
        session.skip(
            "no free-threaded CPython 3.13t or 3.14t here (BITLOOM_FT_PREFIX, "
            "~/.cache/bitloom/python3.13t, PATH); `nox -s free-threaded -- build` "
            "builds 3.13t from Debian's source package (about 5 minutes)"
        )
    version, prefix = found or ("3.13", "")
    env = {"FT_VERSION": version}
    if prefix:
        env["BITLOOM_FT_PREFIX"] = prefix
    session.run("bash", "tools/test_free_threaded.sh", env=env)


@nox.session(python=False)
def benchmarks(session: nox.Session) -> None:
    """The packet, bulk and definitions benchmarks on every pyenv CPython (not run by CI).

    Arguments after -- go to both bench/run_all.sh and bench/run_bulk_all.sh
    (--quick, --install-only, --versions "X.Y.Z ...").
    """
    session.run("bash", "bench/run_all.sh", str(ROOT), *session.posargs)
    session.run("bash", "bench/run_bulk_all.sh", str(ROOT), *session.posargs)
    session.run(
        "bash",
        "bench/run_bulk_all.sh",
        str(ROOT),
        "--module",
        "bench_definitions",
        *session.posargs,
    )
