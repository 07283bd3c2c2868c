#!/usr/bin/env bash
# The release-wheel configuration ([tool.cibuildwheel] in pyproject.toml) as the
# pinned cibuildwheel reads it: the builds it would make for Linux, macOS and
# Windows (no containers or other machines needed), compared with the intended
# set: CPython 3.10-3.14 and 3.14t on manylinux x86_64/aarch64, musllinux x86_64,
# macOS x86_64/arm64 and Windows AMD64. Then that no release build switches on
# the test-only module bitloom_bulk._probe: no build's config-settings or
# environment names its CMake option BITLOOM_TEST_PROBE, so each build is the
# plain `pip wheel` build, and such a wheel (WHEEL, else one built here with
# PYTHON) holds no file of the probe (tools/check_release_wheel.py).
#
# Usage: tools/check_wheel_config.sh [PYTHON [WHEEL]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=${1:-python3}
wheel=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$py" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q -r "$root/.ci/requirements-wheels.txt"
cd "$root"
echo "cibuildwheel $("$work/venv/bin/python" -c "import cibuildwheel; print(cibuildwheel.__version__)")"

status=0
pythons="cp310 cp311 cp312 cp313 cp314 cp314t"
check() {
  local platform=$1; shift
  local want=() got
  for plat in "$@"; do for p in $pythons; do want+=("$p-$plat"); done; done
  got=$("$work/venv/bin/cibuildwheel" --print-build-identifiers --platform "$platform" | sort)
  if [ "$got" = "$(printf '%s\n' "${want[@]}" | sort)" ]; then
    echo "$platform: the ${#want[@]} intended builds"
  else
    echo "$platform: builds differ from the intended set:"
    diff <(printf '%s\n' "${want[@]}" | sort) <(echo "$got") || true
    status=1
  fi
}
check linux manylinux_x86_64 manylinux_aarch64 musllinux_x86_64
check macos macosx_x86_64 macosx_arm64
check windows win_amd64

if "$work/venv/bin/python" - <<'PY'; then echo "no build sets BITLOOM_TEST_PROBE"; else status=1; fi
import os
import sys

from cibuildwheel.options import CommandLineArguments, compute_options
from cibuildwheel.platforms import ALL_PLATFORM_MODULES, get_build_identifiers

named = []
for platform in ("linux", "macos", "windows"):
    args = CommandLineArguments.defaults()
    args.platform = platform
    options = compute_options(platform=platform, command_line_arguments=args, env=os.environ)
    for identifier in get_build_identifiers(
        platform_module=ALL_PLATFORM_MODULES[platform],
        build_selector=options.globals.build_selector,
        architectures=options.globals.architectures,
    ):
        build = options.build_options(identifier)
        settings = [f"config-settings {build.config_settings}"]
        settings += [f"environment {a.name}={a.value}" for a in build.environment.assignments]
        named += [f"{identifier}: {s}" for s in settings if "BITLOOM_TEST_PROBE" in s]
for line in named:
    print(f"a release build names the test-only option: {line}")
sys.exit(1 if named else 0)
PY

if [ -z "$wheel" ]; then
  "$py" -m pip wheel -q --no-deps -w "$work/wheel" "$root"
  wheel=$(ls "$work"/wheel/bitloom_packets-*.whl)
fi
"$py" "$root/tools/check_release_wheel.py" "$wheel" || status=1
exit $status
