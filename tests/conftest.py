"""The suite's layout and what it runs against.

    tests/bitloom/   the bitloom module: codecs, packing and unpacking, plans,
                     references and memory, the public surface (test_surface.py)
    tests/bulk/      bitloom_bulk: layouts, columns, CCSDS streams, recipe checks
                     and files, the command line, Dask, threads
    tests/support/   helpers shared by tests and benchmarks, each kept once
    tests/typing/    files for the type checkers (not collected)
    tests/cpp/       the C++ tests of the core (not collected)

Every folder is a package, so a test imports a helper as ``tests.support.<module>``
whatever the directory pytest starts from. Nothing here imports ``bitloom``: a run
of the bulk tests alone keeps it unloaded (a free-threaded interpreter keeps its
GIL off).
"""

import importlib.util

import pytest

from tests.support import probe as probe_module


def pytest_report_header():
    """Which builds of the two modules the run tests: a checkout's editable build
    and an installed wheel give different paths. A test build has the probe too."""
    lines = []
    for name in ("bitloom", "bitloom_bulk._native", probe_module.MODULE):
        try:
            found = importlib.util.find_spec(name)
        except ImportError:
            found = None
        lines.append(f"{name}: {found.origin if found is not None else 'not found'}")
    return lines


@pytest.fixture(scope="session")
def probe():
    """The test-only module bitloom_bulk._probe (tests/support/probe.py): its
    tests skip where the build has none, or fail where the run requires it."""
    return probe_module.load()
