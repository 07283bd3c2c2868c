"""Build and load bench/columns_loop.cpp for the running interpreter.

As bench/floor_helper.py does for floor.c: compiled on first use with the
interpreter's headers into a cache directory keyed by the source and the
interpreter, with the optimisation of bitloom's own Release build (-O3, no
-march), and loaded with importlib. load() returns None, after a message on
stderr, when no C++ compiler is found or the build fails.
"""

import hashlib
import importlib.machinery
import importlib.util
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "columns_loop.cpp")
NAME = "bitloom_columns_loop"
_module = None


def _cache_dir():
    with open(SOURCE, "rb") as f:
        digest = hashlib.sha256(f.read() + sys.executable.encode() + sys.version.encode())
    return os.path.join(tempfile.gettempdir(), f"bitloom-loop-{digest.hexdigest()[:16]}")


def _build(target):
    cxx = shlex.split(os.environ.get("CXX") or sysconfig.get_config_var("CXX") or "c++")
    if shutil.which(cxx[0]) is None:
        cxx = ["c++"]
        if shutil.which("c++") is None:
            return "no C++ compiler found"
    include = sysconfig.get_paths()["include"]
    tmp = target + f".{os.getpid()}.tmp"
    cmd = [*cxx, "-std=c++20", "-O3", "-DNDEBUG", "-fPIC", "-shared", f"-I{include}", SOURCE]
    done = subprocess.run([*cmd, "-o", tmp], capture_output=True, text=True)
    if done.returncode != 0:
        return f"compiling {SOURCE} failed:\n{done.stderr}"
    os.replace(tmp, target)
    return None


def load():
    """The compiled loop module, or None (with a message) if it cannot be built."""
    global _module
    if _module is not None:
        return _module
    folder = _cache_dir()
    os.makedirs(folder, exist_ok=True)
    target = os.path.join(folder, NAME + importlib.machinery.EXTENSION_SUFFIXES[0])
    if not os.path.exists(target):
        problem = _build(target)
        if problem is not None:
            print(f"loop rows skipped: {problem}", file=sys.stderr)
            return None
    found = importlib.util.spec_from_file_location(NAME, target)
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    _module = mod
    return mod
