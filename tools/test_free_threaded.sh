#!/usr/bin/env bash
# Free-threaded CPython check: build bitloom for a free-threaded interpreter
# (3.13t by default, 3.14t with FT_VERSION=3.14), check that it imports, that the
# import turns the GIL back on with a RuntimeWarning (the module declares that
# it needs the GIL), that importing bitloom_bulk alone keeps the GIL off (it
# declares that it does not need it), run the thread-stress tests of
# bitloom_bulk in a process that never imports bitloom (so the threads really
# run in parallel, and the GIL must still be off at the end), then the whole
# test suite. The package is a test build, with the test-only module
# bitloom_bulk._probe, whose tests must run (and which keeps the GIL off too).
#
# Where the interpreter comes from: neither Debian (bookworm, its backports,
# trixie, sid) nor PyPI ships a free-threaded CPython binary, and tools that
# fetch prebuilt interpreters download them from elsewhere. So this script
# builds one from the CPython source carried by Debian's pythonX.Y source
# package: `apt-get source --download-only` through a private apt configuration
# (the machine's own apt sources are not changed; apt checks the files against
# Debian's signed index), then the unmodified upstream tarball (*.orig.tar.xz)
# is configured with --disable-gil. The build (about 5 minutes on 2 cores) is
# cached in $BITLOOM_FT_PREFIX (default ~/.cache/bitloom/python<ver>t).
#
# Usage: tools/test_free_threaded.sh        (FT_VERSION=3.13|3.14)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
ver=${FT_VERSION:-3.13}
case "$ver" in
  3.13) suite=trixie ;;  # Debian 13 carries python3.13
  # python3.14 is listed only in testing and unstable; on the registry reached from
  # here their source files answered 404 Not Found (Dec 2026), so only 3.13 runs here.
  3.14) suite=sid ;;
  *) echo "FT_VERSION must be 3.13 or 3.14" >&2; exit 2 ;;
esac
prefix=${BITLOOM_FT_PREFIX:-$HOME/.cache/bitloom/python${ver}t}
py=$prefix/bin/python${ver}t
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
now() { date +%s; }

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

if [ ! -x "$py" ]; then
  t0=$(now)
  echo "== building CPython ${ver}t from Debian's python$ver source package ($suite)"
  # What CPython needs for pip (ssl, zlib), ctypes (ffi) and the test tools.
  need=()
  for p in build-essential libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev \
           libsqlite3-dev libreadline-dev; do
    dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
  done
  if [ ${#need[@]} -gt 0 ]; then
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" >/dev/null
  fi

  apt_dir=$work/apt
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$work/src"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main" \
    >"$apt_dir/sources.list"
  apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=/dev/null"
            -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
            -o "APT::Sandbox::User=root")
  $sudo apt-get "${apt_opts[@]}" update -qq
  (cd "$work/src" && $sudo apt-get "${apt_opts[@]}" source --download-only -qq "python$ver")
  tarball=$(ls "$work"/src/python"${ver}"_*.orig.tar.xz)
  tar -xJf "$tarball" -C "$work/src"
  srcdir=$(ls -d "$work"/src/Python-"$ver".*/)
  (
    cd "$srcdir"
    ./configure -q --disable-gil --prefix="$prefix" --with-ensurepip=install >"$work/configure.log"
    make -s -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -40 "$work/make.log"; exit 1; }
    make -s altinstall >"$work/install.log" 2>&1 || { tail -40 "$work/install.log"; exit 1; }
  )
  echo "   built $("$py" -VV | head -1) in $(( $(now) - t0 )) s"
fi

"$py" - <<'PY'
import sys
import sysconfig

assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "not a free-threaded build"
assert not sys._is_gil_enabled(), "the GIL is already enabled at start-up"
print("interpreter:", sys.version.replace("\n", " "), "- GIL disabled at start-up")
PY

echo "== building bitloom for $("$py" -V)t"
t0=$(now)
"$py" -m venv "$work/venv"
vpy=$work/venv/bin/python
"$vpy" -m pip install -q --upgrade pip
# Prefer wheels: a test dependency without a wheel for this ABI falls back to an
# older release that has one instead of a source build (which may need Rust).
# The probe is switched on through scikit-build-core's environment variable, so
# that no other package's build backend sees the setting.
SKBUILD_CMAKE_DEFINE=BITLOOM_TEST_PROBE=ON "$vpy" -m pip install -q --prefer-binary "$root[test]"
echo "   installed in $(( $(now) - t0 )) s"

echo "== import check"
cd "$work"
"$vpy" - <<'PY'
import sys
import warnings

assert not sys._is_gil_enabled()
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import bitloom
gil_warnings = [w for w in caught if issubclass(w.category, RuntimeWarning) and "GIL" in str(w.message)]
assert gil_warnings, f"no RuntimeWarning about the GIL on import: {[str(w.message) for w in caught]}"
assert sys._is_gil_enabled(), "the GIL is still disabled after importing bitloom"
assert len(bitloom.__all__) == 62
assert bitloom.encode_twos_complement(-1, 8) == 255
assert bitloom.decode_utf8(bitloom.encode_utf8("free-threaded")) == "free-threaded"
print("bitloom", bitloom.__file__)
print("warning:", gil_warnings[0].message)
print("sys._is_gil_enabled() after import:", sys._is_gil_enabled())
PY

echo "== bitloom_bulk import check"
"$vpy" - <<'PY'
import sys

assert not sys._is_gil_enabled()
import bitloom_bulk
import bitloom_bulk._probe

assert "bitloom" not in sys.modules, "bitloom_bulk imported bitloom"
assert not sys._is_gil_enabled(), "importing bitloom_bulk (and its test probe) turned the GIL on"
print("bitloom_bulk", bitloom_bulk.__file__)
print("sys._is_gil_enabled() after importing bitloom_bulk alone:", sys._is_gil_enabled())
PY

cp -r "$root/tests" "$work/tests"
# Some tests read the examples (a sibling of tests/).
[ -d "$root/examples" ] && cp -r "$root/examples" "$work/examples"

echo "== bitloom_bulk thread stress, GIL off ($("$vpy" -V)t)"
# Without the conftest (which imports bitloom and so would turn the GIL on).
t0=$(now)
(cd "$work/tests" && "$vpy" - <<'PY')
import sys

import pytest

rc = pytest.main(["-q", "-p", "no:cacheprovider", "--noconftest", "bulk/test_threads.py"])
assert "bitloom" not in sys.modules, "the stress tests imported bitloom"
assert not sys._is_gil_enabled(), "the GIL was turned on during the stress tests"
print("sys._is_gil_enabled() after the stress tests:", sys._is_gil_enabled())
sys.exit(rc)
PY
echo "   thread stress in $(( $(now) - t0 )) s"

echo "== test suite on $("$vpy" -V)t"
t0=$(now)
BITLOOM_REQUIRE_TEST_PROBE=1 "$vpy" -m pytest -q -p no:cacheprovider tests
echo "   test suite in $(( $(now) - t0 )) s"
