"""Check that wheels are release wheels: each holds the extension modules that
users import (bitloom, bitloom_bulk._native) and nothing of the test-only
module bitloom_bulk._probe, which only a build with the CMake option
BITLOOM_TEST_PROBE=ON has: no file of it, and no extension (vendored libraries
included) with its name or its init function inside.

Usage: python tools/check_release_wheel.py WHEEL...
Exit status 1 if any wheel fails, with one line per finding.
"""

from __future__ import annotations

import sys
import zipfile
from pathlib import PurePosixPath

PROBE = "bitloom_bulk._probe"
# What every build of the probe holds: the module's name (its PyModuleDef) and
# its init function's name.
PROBE_MARKERS = (PROBE.encode(), b"PyInit__probe")
MODULES = ("bitloom", "bitloom_bulk._native")
BINARY_SUFFIXES = (".so", ".pyd", ".dylib", ".dll")


def module_of(name: str) -> str | None:
    """The dotted module name of an extension file's path in a wheel
    (bitloom_bulk/_native.cpython-312-x86_64-linux-gnu.so: bitloom_bulk._native)."""
    path = PurePosixPath(name)
    if path.parts[0].endswith(".data") or not path.name.endswith((".so", ".pyd")):
        return None
    return ".".join([*path.parent.parts, path.name.split(".", 1)[0]])


def findings(wheel_path: str) -> list[str]:
    found = []
    with zipfile.ZipFile(wheel_path) as wheel:
        names = wheel.namelist()
        modules = {module_of(name) for name in names} - {None}
        found += [f"no extension module {m}" for m in MODULES if m not in modules]
        for name in names:
            if PurePosixPath(name).name.split(".", 1)[0] == "_probe":
                found.append(f"{name}: a file of the test-only module {PROBE}")
            elif name.endswith(BINARY_SUFFIXES) or ".so." in name:
                data = wheel.read(name)
                found += [
                    f"{name}: holds {marker.decode()} (built with BITLOOM_TEST_PROBE=ON)"
                    for marker in PROBE_MARKERS
                    if marker in data
                ]
    return found


def main(wheels: list[str]) -> int:
    if not wheels:
        print(__doc__, file=sys.stderr)
        return 2
    status = 0
    for wheel in wheels:
        found = findings(wheel)
        if found:
            status = 1
            print(f"{wheel}: not a release wheel")
            for finding in found:
                print(f"  {finding}")
        else:
            print(f"{wheel}: release wheel ({', '.join(MODULES)}; no {PROBE})")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
