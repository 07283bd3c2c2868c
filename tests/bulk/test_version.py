"""The version is written once (bitloom_bulk.__version__) and the installed
distribution's metadata carries the same one."""

import importlib.metadata
import re

import bitloom_bulk

DIST = "bitloom-packets"


def test_metadata_version_is_the_package_version():
    assert importlib.metadata.version(DIST) == bitloom_bulk.__version__


def test_version_is_a_release_version():
    assert re.fullmatch(r"\d+\.\d+\.\d+", bitloom_bulk.__version__)


def test_distribution_ships_both_modules():
    files = {str(f) for f in importlib.metadata.files(DIST) or ()}
    assert "bitloom_bulk/__init__.py" in files
    assert "bitloom-stubs/__init__.pyi" in files
    assert any(re.fullmatch(r"bitloom\.[^/]+\.(so|pyd)", f) for f in files)
