"""Every hand-written list of encoding names against the one table the extension
compiles, read through bitloom_bulk._native._encoding_table(): the typed recipe
items, the recipe checker's aliases, the type stubs, the documentation's table
of encodings and the test suite's own lists.

A list that names a kind of encoding must name exactly the table's rows of that
kind (no name missing, none extra, none twice); a list of some names (aliases, a
subset the tests draw from) must name rows of the right kind.
"""

import ast
import re
import typing
from pathlib import Path

import pytest

from bitloom_bulk import _native, _types
from bitloom_bulk import recipes as recipes_module
from tests.support import items, random_recipes

ROOT = Path(__file__).resolve().parents[2]
KINDS = ("integer", "float", "text", "unpack-only")
TABLE = _native._encoding_table()
NAMES = [name for name, _, _ in TABLE]
OF_KIND = {kind: [name for name, k, _ in TABLE if k == kind] for kind in KINDS}
PACKING = [name for name, _, packs in TABLE if packs]


def test_the_table_is_plain_rows():
    assert type(TABLE) is list and len(TABLE) == len(set(NAMES)) > 30
    for row in TABLE:
        assert type(row) is tuple and len(row) == 3, row
        name, kind, packs = row
        assert type(name) is str and name == name.lower(), row
        assert kind in KINDS and type(packs) is bool, row
        assert packs == (kind != "unpack-only"), row


def literal(alias):
    return list(typing.get_args(alias))


def repository_file(pattern):
    """A file of the source tree beside these tests, or a skip (a copy of the
    tests run against an installed wheel has no source tree)."""
    found = sorted(ROOT.glob(pattern))
    if not found:
        pytest.skip(f"no {pattern} beside this copy of the tests")
    return found[0]


def stub_functions():
    """The stubs' standalone codec functions: {(direction, name): returns NoReturn}."""
    tree = ast.parse(repository_file("*/bitloom-stubs/__init__.pyi").read_text())
    out = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and node.name.startswith(("encode_", "decode_")):
            direction, _, name = node.name.partition("_")
            out[direction, name] = ast.unparse(node.returns) == "NoReturn"
    assert out, "no codec functions found in the stubs"
    return out


def documented():
    """The documentation's table of encodings: {name: (packs, unpacks to)}."""
    text = repository_file("docs/guide/encodings.md").read_text()
    rows = {}
    for line in text.splitlines():
        if not line.startswith("| `"):
            continue
        names, _, packs, unpacks = (cell.strip() for cell in line.strip("|").split(" | "))
        assert packs in ("yes", "no"), line
        for name in re.findall(r"`([a-z0-9_]+)`", names):
            assert name not in rows, f"{name} documented twice"
            rows[name] = (packs == "yes", unpacks.split()[0])
    return rows


# What the documentation says a name of each kind unpacks to.
UNPACKS_TO = {
    "integer": {"int"},
    "float": {"float"},
    "text": {"str"},
    "unpack-only": {"float", "named"},
}

# (where, the list as written, the table's names it must equal)
WHOLE_LISTS = [
    ("_types.IntegerEncoding", lambda: literal(_types.IntegerEncoding), OF_KIND["integer"]),
    ("_types.FloatEncoding", lambda: literal(_types.FloatEncoding), OF_KIND["float"]),
    ("_types.TextEncoding", lambda: literal(_types.TextEncoding), OF_KIND["text"]),
    (
        "_types.UnpackOnlyEncoding",
        lambda: literal(_types.UnpackOnlyEncoding),
        OF_KIND["unpack-only"],
    ),
    ("_types.PackEncoding", lambda: literal(_types.PackEncoding), PACKING),
    ("_types.Encoding", lambda: literal(_types.Encoding), NAMES),
    (
        "stubs: encoders that never return",
        lambda: [n for (d, n), never in stub_functions().items() if d == "encode" and never],
        OF_KIND["unpack-only"],
    ),
    ("docs: the names", lambda: list(documented()), NAMES),
    ("docs: the names that pack", lambda: [n for n, (p, _) in documented().items() if p], PACKING),
    ("tests.support.items.PACK_ENCODINGS", lambda: items.PACK_ENCODINGS, PACKING),
    ("tests.support.items.UNPACK_ONLY", lambda: items.UNPACK_ONLY, OF_KIND["unpack-only"]),
]


@pytest.mark.parametrize("where, written, table", WHOLE_LISTS, ids=[w for w, _, _ in WHOLE_LISTS])
def test_a_list_names_every_row_of_its_kind_once(where, written, table):
    got = written()
    assert sorted(got) == sorted(table), (where, set(got) ^ set(table))


# (where, the names as written, the kinds they may name)
SOME_NAMES = [
    ("recipes.ENCODING_ALIASES", lambda: list(recipes_module.ENCODING_ALIASES.values()), KINDS),
    ("recipes._CCSDSPY_TYPES", lambda: list(recipes_module._CCSDSPY_TYPES.values()), KINDS),
    ("stubs: codec functions", lambda: [n for _, n in stub_functions()], KINDS),
    (
        "tests.support.random_recipes.CLEAN_INTEGER",
        lambda: random_recipes.CLEAN_INTEGER,
        ("integer",),
    ),
]


@pytest.mark.parametrize("where, written, kinds", SOME_NAMES, ids=[w for w, _, _ in SOME_NAMES])
def test_names_written_elsewhere_are_rows_of_their_kind(where, written, kinds):
    allowed = {name for kind in kinds for name in OF_KIND[kind]}
    got = written()
    assert got, where
    assert set(got) <= allowed, (where, set(got) - allowed)


def test_the_documentation_says_what_each_kind_unpacks_to():
    rows = documented()
    for name, kind, _ in TABLE:
        assert rows[name][1] in UNPACKS_TO[kind], (name, kind, rows[name])
