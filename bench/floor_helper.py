"""Build and load bench/floor.c for the running interpreter.

The module is compiled on first use with the interpreter's own headers and
flags (sysconfig) into a cache directory keyed by the interpreter, and loaded
with importlib. load() returns None, after a message on stderr, when no C
compiler is found or the build fails: the floor rows are then skipped.
"""

import hashlib
import importlib.machinery
import importlib.util
import os
import shlex
import shutil
import struct
import subprocess
import sys
import sysconfig
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "floor.c")
_module = None


def _cache_dir():
    with open(SOURCE, "rb") as f:
        digest = hashlib.sha256(f.read() + sys.executable.encode() + sys.version.encode())
    return os.path.join(tempfile.gettempdir(), f"bitloom-floor-{digest.hexdigest()[:16]}")


def _build(target):
    cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
    if shutil.which(cc[0]) is None:
        cc = ["cc"]
        if shutil.which("cc") is None:
            return "no C compiler found"
    include = sysconfig.get_paths()["include"]
    cflags = shlex.split(sysconfig.get_config_var("CFLAGS") or "")
    # The interpreter's flags, but always optimised and without its warnings' noise.
    cflags = [f for f in cflags if not f.startswith(("-W", "-g"))]
    cmd = [*cc, *cflags, "-O2", "-fPIC", "-shared", f"-I{include}", SOURCE, "-o", target]
    tmp = target + f".{os.getpid()}.tmp"
    cmd[-1] = tmp
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        return f"compiling {SOURCE} failed:\n{done.stderr}"
    os.replace(tmp, target)
    return None


def load():
    """The compiled floor module, or None (with a message) if it cannot be built."""
    global _module
    if _module is not None:
        return _module
    folder = _cache_dir()
    os.makedirs(folder, exist_ok=True)
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    target = os.path.join(folder, "bitloom_floor" + suffix)
    if not os.path.exists(target):
        problem = _build(target)
        if problem is not None:
            print(f"floor rows skipped: {problem}", file=sys.stderr)
            return None
    found = importlib.util.spec_from_file_location("bitloom_floor", target)
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    _module = mod
    return mod


def floor_args(decoded):
    """The floor functions' arguments for a decoded result dict: its keys, its
    values (reused as they are), and the values as non-negative ints for the
    variant that creates them (a float by the high half of its IEEE 754 bits, a
    negative int by its magnitude: each stays an int of the same kind, small
    and cached or allocated, as the decoder's value)."""
    keys = tuple(decoded)
    values = tuple(decoded.values())
    raw = []
    for v in values:
        if isinstance(v, float):
            v = struct.unpack("<Q", struct.pack("<d", v))[0] >> 32
        elif v < 0:
            v = -v
        raw.append(v)
    return keys, values, tuple(raw)
