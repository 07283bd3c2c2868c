"""Instructions per call of the packet paths, counted by valgrind's callgrind.

Counts are repeatable on a loaded machine where times are not. Cases, for the
12-field telemetry recipe and the 100 x 7-bit one:

  unpack planned   unpack_parameters(packet, 0, recipe), the same recipe list
                   every call (a cached plan applies)
  unpack direct    unpack_parameters on fresh copies of the item dicts every
                   call (no plan can apply)
  pack planned     pack_parameters(recipe), recipe prebuilt, values as they are
  pack direct      pack_parameters on fresh copies every call
  bitstruct.c      compiled unpack_dict (compile(fmt, names=...).unpack) and
                   compiled pack (compile(fmt).pack(*values)), for reference
  floor            a 12-key (100-key) dict built in C from decoded values:
                   reusing the int objects, and creating them (bench/floor.c)

How the net count per call is found: every case is a loop generated for it
(`for _ in range(n): <one statement>`), run in its own process under callgrind
with n = LOW and n = HIGH calls after the same warm-up, with
PYTHONHASHSEED fixed. (total(HIGH) - total(LOW)) / (HIGH - LOW) is the cost of
one pass of the loop: start-up, imports, recipe building and the warm-up cancel
out. A third run in between checks that the count grows linearly with n
(within 1%; else the runs are repeated, then a warning is printed). The loop's own cost (the same loop with
`pass`) is then subtracted. The direct rows build their copies inside the
loop, so their setup is measured alone (the same copies, no call) and
subtracted instead of the bare loop. What
remains is the whole cost a caller sees: the interpreter's call of the
function, the function, and freeing the result.

Run (with the interpreter whose venv has bitloom and bitstruct installed):
  python -m bench.callgrind_paths [--recipes telemetry,seven] [--json FILE]
  python -m bench.callgrind_paths --profile unpack_planned --recipe telemetry
  python -m bench.callgrind_paths --markdown callgrind-3.10.json callgrind-3.13.json
from the repository's root.

--profile prints callgrind_annotate's top functions by inclusive count for one
case, collected only inside bitloom's own entry function for that call
(--toggle-collect on the C function behind bitloom.unpack_parameters or
bitloom.pack_parameters, found at run time): so it shows where the instructions
inside bitloom go, without the interpreter's loop. Counts are divided by the
number of calls.
"""

import argparse
import ctypes
import gc
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
# The directory that holds the package bench/: the driver's children start there.
ROOT = os.path.dirname(HERE)
LOW, HIGH, WARM = 300, 1300, 200
PROFILE_CALLS = 6000

# case -> (statement in the loop, case whose per-pass count is subtracted)
CASES = {
    "loop": ("pass", None),
    "unpack planned": ("unpack(packet, 0, recipe)", "loop"),
    "unpack copies": ("[d.copy() for d in recipe]", "loop"),
    "unpack direct": ("unpack(packet, 0, [d.copy() for d in recipe])", "unpack copies"),
    "pack planned": ("pack(precipe)", "loop"),
    "pack copies": ("[d.copy() for d in precipe]", "loop"),
    "pack direct": ("pack([d.copy() for d in precipe])", "pack copies"),
    "layout unpack": ("lunpack(packet)", "loop"),
    "layout pack (values tuple)": ("lpack(values_t)", "loop"),
    "bitstruct.c compiled unpack_dict": ("bs_unpack(packet)", "loop"),
    "bitstruct.c compiled pack": ("bs_pack(*values)", "loop"),
    "floor (dict, ints reused)": ("floor(keys, ints)", "loop"),
    "floor (dict + ints created)": ("floor_new(keys, raw)", "loop"),
}
# Rows reported (the others are only subtracted).
REPORTED = [c for c in CASES if c not in ("loop", "unpack copies", "pack copies")]


def namespace(recipe_name, with_layout=False):
    """Everything the loop statements use, for one recipe; with_layout adds
    the compiled layout of bitloom_bulk (which imports numpy, slow under
    valgrind, so only the layout cases ask for it)."""
    import bitloom
    from bench.packet_recipes import RECIPES, pack_recipe, unpack_recipe

    fields = RECIPES[recipe_name]
    ns = {
        "unpack": bitloom.unpack_parameters,
        "pack": bitloom.pack_parameters,
        "recipe": unpack_recipe(fields),
        "precipe": pack_recipe(fields),
        "values": [f[4] for f in fields],
    }
    ns["packet"] = bitloom.pack_parameters(ns["precipe"])
    decoded = bitloom.unpack_parameters(ns["packet"], 0, ns["recipe"])
    try:
        import bitstruct.c as bsc
    except ImportError:
        bsc = None
    if bsc is not None:
        fmt = "".join(f"{f[3]}{f[2]}" for f in fields)
        ns["bs_unpack"] = bsc.compile(fmt, names=[f[0] for f in fields]).unpack
        ns["bs_pack"] = bsc.compile(fmt).pack
    if with_layout:
        try:
            import bitloom_bulk
        except ImportError:
            bitloom_bulk = None
        if bitloom_bulk is not None:
            layout = bitloom_bulk.compile(ns["recipe"])
            ns["lunpack"], ns["lpack"] = layout.unpack, layout.pack
            ns["values_t"] = tuple(ns["values"])
    from bench import floor_helper

    mod = floor_helper.load()
    if mod is not None:
        ns["keys"], ns["ints"], ns["raw"] = floor_helper.floor_args(decoded)
        ns["floor"] = mod.dict_from_ints
        ns["floor_new"] = mod.dict_creating_ints
    return ns


def drive(case, recipe_name, n):
    """The process callgrind runs: warm up, then n passes of the case's loop.
    The cyclic garbage collector is off, as timeit has it in the timed
    benchmarks: its passes come every so many allocations and cost what the
    heap holds, so with it on the count per call would depend on n."""
    ns = namespace(recipe_name, with_layout=case.startswith("layout"))
    gc.disable()
    stmt = CASES[case][0]
    src = f"def run(n):\n    for _ in range(n):\n        {stmt}\n"
    exec(compile(src, "<loop>", "exec"), ns)
    ns["run"](WARM)
    ns["run"](n)


def available(python, recipe_name):
    """The cases this interpreter can run (bitstruct or the C compiler may be missing)."""
    code = (
        "import bench.callgrind_paths as c; "
        f"ns = c.namespace({recipe_name!r}, with_layout=True); "
        "print(' '.join(k for k in ('bs_unpack', 'floor', 'lpack') if k in ns))"
    )
    have = subprocess.run(
        [python, "-c", code], cwd=ROOT, capture_output=True, text=True, check=True
    )
    got = have.stdout.split()
    out = []
    for case in CASES:
        if case.startswith("bitstruct") and "bs_unpack" not in got:
            continue
        if case.startswith("floor") and "floor" not in got:
            continue
        if case.startswith("layout") and "lpack" not in got:
            continue
        out.append(case)
    return out


def total_instructions(python, case, recipe_name, n, workdir):
    out = os.path.join(workdir, "cg.out")
    env = driver_env()
    cmd = [
        "valgrind",
        "--tool=callgrind",
        f"--callgrind-out-file={out}",
        python,
        *DRIVER,
        "--drive",
        case,
        recipe_name,
        str(n),
    ]
    subprocess.run(cmd, env=env, cwd=driver_root(workdir), check=True, capture_output=True)
    with open(out) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError("no totals in callgrind output")


def per_pass(python, case, recipe_name, workdir, attempts=2):
    """The count of one pass, from runs of LOW, MID and HIGH passes. The two
    slopes should agree within 1% (a run that met some one-off cost would show
    as a bend); if they do not, the runs are made again, and if they still do
    not, the count over the whole span is kept with a warning on stderr."""
    mid = (LOW + HIGH) // 2
    for attempt in range(attempts):
        t = [total_instructions(python, case, recipe_name, n, workdir) for n in (LOW, mid, HIGH)]
        first, second = (t[1] - t[0]) / (mid - LOW), (t[2] - t[1]) / (HIGH - mid)
        if abs(first - second) <= 0.01 * abs(second) + 2:
            break
        again = "measuring again" if attempt + 1 < attempts else "kept the whole span's count"
        print(
            f"callgrind: {case!r} ({recipe_name}) not linear in n: {first:.1f} then "
            f"{second:.1f} per pass; {again}",
            file=sys.stderr,
        )
    return (t[2] - t[0]) / (HIGH - LOW)


DRIVER_FILES = (
    "__init__.py",
    "callgrind_paths.py",
    "packet_recipes.py",
    "floor_helper.py",
    "floor.c",
)
# The process callgrind runs, started in driver_root(workdir).
DRIVER = ("-m", "bench.callgrind_paths")


def driver_root(workdir):
    return os.path.join(workdir, "drive")


def freeze_driver(workdir):
    """Copy the driver's files (as the package bench/ under driver_root): every
    run must execute the same code, and the interpreter compiles the modules on
    each start, so an edit to the checkout between the LOW and the HIGH run
    would otherwise count in the difference."""
    os.makedirs(os.path.join(driver_root(workdir), "bench"))
    for name in DRIVER_FILES:
        shutil.copy2(os.path.join(HERE, name), os.path.join(driver_root(workdir), "bench", name))


def driver_env():
    """Fixed string hashes, and no bytecode cache written, so that every run
    compiles the same modules and only n differs; one BLAS thread (numpy,
    which the layout cases import, starts an OpenBLAS pool whose idle threads
    spin a varying number of instructions)."""
    return dict(
        os.environ,
        PYTHONHASHSEED="0",
        PYTHONDONTWRITEBYTECODE="1",
        OPENBLAS_NUM_THREADS="1",
        OMP_NUM_THREADS="1",
    )


def measure(python, recipe_names, only=None):
    """Counts per recipe and case; `only`: the reported cases to run (with
    the cases they subtract), all when None."""
    table = {}
    with tempfile.TemporaryDirectory() as workdir:
        freeze_driver(workdir)
        for r in recipe_names:
            cases = available(python, r)
            if only is not None:
                keep = set(only) | {CASES[c][1] for c in only}
                cases = [c for c in cases if c in keep]
            raw = {c: per_pass(python, c, r, workdir) for c in cases}
            table[r] = {c: raw[c] - raw[CASES[c][1]] for c in cases if c in REPORTED}
            table[r]["_loop"] = raw["loop"]
    return table


def entry_symbol(func):
    """The (mangled) name of the C function behind a builtin function, from
    its PyMethodDef's ml_meth, dladdr and the object's symbol table."""

    class DlInfo(ctypes.Structure):
        _fields_ = [
            ("dli_fname", ctypes.c_char_p),
            ("dli_fbase", ctypes.c_void_p),
            ("dli_sname", ctypes.c_char_p),
            ("dli_saddr", ctypes.c_void_p),
        ]

    # PyCFunctionObject: the object header, then m_ml (a PyMethodDef*), whose
    # second field is ml_meth.
    header = ctypes.sizeof(ctypes.c_ssize_t) + ctypes.sizeof(ctypes.c_void_p)
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        raise SystemExit("--profile: not on a free-threaded build")
    ml = ctypes.c_void_p.from_address(id(func) + header).value
    meth = ctypes.c_void_p.from_address(ml + ctypes.sizeof(ctypes.c_void_p)).value
    libc = ctypes.CDLL(None)
    info = DlInfo()
    if not libc.dladdr(ctypes.c_void_p(meth), ctypes.byref(info)):
        raise SystemExit("--profile: dladdr knows no object for the entry function")
    # A local symbol is in the object's symbol table only (dladdr sees exported
    # ones): look its offset up there.
    offset = meth - info.dli_fbase
    nm = subprocess.run(
        ["nm", "--defined-only", info.dli_fname.decode()],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    for line in nm.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in "tT" and int(parts[0], 16) == offset:
            return parts[2]
    raise SystemExit("--profile: the entry function has no symbol (stripped build?)")


def profile(python, case, recipe_name, top, n=PROFILE_CALLS, keep=None):
    which = "unpack_parameters" if case.startswith("unpack") else "pack_parameters"
    code = f"import bitloom, bench.callgrind_paths as c; print(c.entry_symbol(bitloom.{which}))"
    mangled = subprocess.run(
        [python, "-c", code], cwd=ROOT, capture_output=True, text=True, check=True
    ).stdout.strip()
    name = subprocess.run(
        ["c++filt", mangled], capture_output=True, text=True, check=True
    ).stdout.strip()
    # callgrind's toggle pattern knows * and ? only; brackets are literal.
    with tempfile.TemporaryDirectory() as workdir:
        freeze_driver(workdir)
        out = os.path.join(workdir, "cg.out")
        cmd = [
            "valgrind",
            "--tool=callgrind",
            "--collect-atstart=no",
            f"--toggle-collect={name}",
            f"--callgrind-out-file={out}",
            python,
            *DRIVER,
            "--drive",
            case,
            recipe_name,
            str(n),
        ]
        subprocess.run(
            cmd, env=driver_env(), cwd=driver_root(workdir), check=True, capture_output=True
        )
        if keep:
            shutil.copyfile(out, keep)
        listings = {
            mode: subprocess.run(
                ["callgrind_annotate", f"--inclusive={mode}", "--threshold=100", "--auto=no", out],
                capture_output=True,
                text=True,
                check=True,
            ).stdout
            for mode in ("yes", "no")
        }
    # namespace() calls each of pack_parameters and unpack_parameters once.
    calls = WARM + n + 1
    lines = [
        f"{case}, {recipe_name}, Python {python_version(python)}: callgrind instructions per "
        f"call, collected inside bitloom's entry function ({calls} calls)"
    ]
    for mode, title in (("yes", "inclusive"), ("no", "self")):
        rows = annotate_rows(listings[mode])
        if mode == "yes":
            # The entry's callers (the interpreter down to main) carry the same
            # count: keep the entry and what it calls.
            entry = next(i for i, (_, fn) in enumerate(rows) if name in fn)
            rows = [rows[entry]] + [r for r in rows[entry + 1 :] if r[0] < rows[entry][0]]
        lines.append(f"\n{'Ir/call':>10}  function (source file), {title}, top {top}")
        for ir, fn in rows[:top]:
            lines.append(f"{ir / calls:10.1f}  {fn}")
    return "\n".join(lines)


def annotate_rows(listing):
    """(count, 'function (file)') from callgrind_annotate's function table."""
    rows = []
    for line in listing.splitlines():
        m = re.match(r"\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(\S.*)$", line)
        if m and ":" in m.group(2) and not line.lstrip().startswith("Ir"):
            rows.append((int(m.group(1).replace(",", "")), short(m.group(2))))
    return rows


def short(where):
    """'dir/file.c:function [object]' as 'function (file.c)'."""
    where = re.sub(r"\s*\[[^\]]*\]$", "", where)
    path, _, fn = where.partition(":")
    return f"{fn} ({os.path.basename(path)})"


def python_version(python):
    return subprocess.run(
        [python, "-c", "import platform; print(platform.python_version())"],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()


def print_table(python, table):
    print(f"Python {python_version(python)}: instructions per call (callgrind), net of the loop")
    print("and of the copies' cost on the direct rows")
    for r, rows in table.items():
        print(f"\n  {LABELS.get(r, r)}   (bare loop pass: {rows['_loop']:.0f})")
        for c in REPORTED:
            if c in rows:
                print(f"    {c:34s} {rows[c]:10.0f}")


def markdown(paths):
    """One markdown table from --json files: a row per recipe and case, a
    column per interpreter."""
    runs = []
    for path in paths:
        with open(path) as f:
            runs.append(json.load(f))
    runs.sort(key=lambda r: [int(x) for x in r["python"].split(".")])
    lines = ["| recipe | case | " + " | ".join(r["python"] for r in runs) + " |"]
    lines.append("|---|---|" + "---:|" * len(runs))
    for recipe in runs[0]["table"]:
        for case in REPORTED:
            cells = [r["table"].get(recipe, {}).get(case) for r in runs]
            if all(c is None for c in cells):
                continue
            text = " | ".join("-" if c is None else f"{c:.0f}" for c in cells)
            lines.append(f"| {LABELS.get(recipe, recipe)} | {case} | {text} |")
    lines += ["", "| recipe | ratio of counts | " + " | ".join(r["python"] for r in runs) + " |"]
    lines.append("|---|---|" + "---:|" * len(runs))
    for recipe in runs[0]["table"]:
        for num, den in COUNT_RATIOS:
            cells = []
            for r in runs:
                rows = r["table"].get(recipe, {})
                cells.append(rows[num] / rows[den] if num in rows and den in rows else None)
            if all(c is None for c in cells):
                continue
            text = " | ".join("-" if c is None else f"{c:.2f}" for c in cells)
            lines.append(f"| {LABELS.get(recipe, recipe)} | {num} / {den} | {text} |")
    return "\n".join(lines)


LABELS = {"telemetry": "telemetry (12 fields)", "seven": "100 x 7 bits"}
COUNT_RATIOS = [
    ("unpack planned", "bitstruct.c compiled unpack_dict"),
    ("unpack direct", "bitstruct.c compiled unpack_dict"),
    ("pack planned", "bitstruct.c compiled pack"),
    ("pack direct", "bitstruct.c compiled pack"),
    ("layout unpack", "bitstruct.c compiled unpack_dict"),
    ("layout pack (values tuple)", "bitstruct.c compiled pack"),
    ("unpack planned", "floor (dict + ints created)"),
    ("unpack direct", "unpack planned"),
    ("pack direct", "pack planned"),
]


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--drive":
        drive(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--recipes", default="telemetry,seven")
    parser.add_argument("--json", help="also write the table to this file")
    parser.add_argument("--profile", help="one case, e.g. 'unpack_planned'")
    parser.add_argument(
        "--keep", help="with --profile: keep callgrind's output here (for callgrind_annotate)"
    )
    parser.add_argument("--cases", help="only these reported cases, comma-separated")
    parser.add_argument("--recipe", default="telemetry")
    parser.add_argument("--top", type=int, default=15)
    parser.add_argument("--markdown", nargs="+", metavar="JSON", help="tabulate --json files")
    args = parser.parse_args()
    if args.markdown:
        print(markdown(args.markdown))
        return
    if args.profile:
        print(
            profile(
                args.python, args.profile.replace("_", " "), args.recipe, args.top, keep=args.keep
            )
        )
        return
    only = args.cases.split(",") if args.cases else None
    if only is not None and not set(only) <= set(REPORTED):
        parser.error(f"--cases: known cases are {', '.join(REPORTED)}")
    table = measure(args.python, args.recipes.split(","), only)
    print_table(args.python, table)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"python": python_version(args.python), "table": table}, f, indent=1)


if __name__ == "__main__":
    main()
