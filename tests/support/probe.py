"""The test-only module ``bitloom_bulk._probe``: private views of the binding
layer that only a build with the CMake option BITLOOM_TEST_PROBE=ON has, never
a release wheel.

Its tests take the ``probe`` fixture of tests/conftest.py, which loads it here.
Where the build has no probe they skip, unless the environment variable
BITLOOM_REQUIRE_TEST_PROBE is set (to anything but "" or "0"): the test builds
of noxfile.py, tools/sanitize.sh and tools/test_free_threaded.sh build the
probe and set it, so a build that lost the probe fails there instead of
skipping quietly.
"""

import importlib
import os

import pytest

MODULE = "bitloom_bulk._probe"
REQUIRE = "BITLOOM_REQUIRE_TEST_PROBE"
BUILD = "pip install . -Ccmake.define.BITLOOM_TEST_PROBE=ON"


def required():
    return os.environ.get(REQUIRE, "") not in ("", "0")


def load():
    """The probe module; else a skip, or a failure where the run requires it."""
    try:
        return importlib.import_module(MODULE)
    except ModuleNotFoundError as exc:
        if exc.name != MODULE:  # bitloom_bulk itself is missing: no reason to skip
            raise
    reason = f"{MODULE} is not in this build (a test build has it: {BUILD})"
    if required():
        pytest.fail(f"{REQUIRE} is set, but {reason}", pytrace=False)
    pytest.skip(reason)
