"""load_ccsdspy against ccsdspy itself on the shared real data: every ccsdspy set
(its definitions as ccsdspy/definitions.py builds them, the JPSS CSV on the JPSS
file) decodes to what ccsdspy's load(include_primary_header=True) gives, field
by field and packet by packet; the byte-order sets also to their truth CSVs.

Stated rules where the two differ by design: fill fields are not columns of
ours (ccsdspy returns the bytes holding them); a fixed array is one 2-D column
(ccsdspy's shape flattened in C order); a ragged array is a child table."""

from __future__ import annotations

import importlib.util
import sys

import numpy as np
import pytest

import bitloom_bulk as bb
from tests.support.realdata import REALDATA, needs_realdata

pytestmark = needs_realdata

ccsdspy = pytest.importorskip("ccsdspy")


def _definitions_module():
    path = REALDATA / "ccsdspy" / "definitions.py"
    location = importlib.util.spec_from_file_location("ccsdspy_realdata_definitions", path)
    module = importlib.util.module_from_spec(location)
    sys.modules[location.name] = module
    location.loader.exec_module(module)
    return module


SETS = _definitions_module().all_sets() if REALDATA.is_dir() else []


def _ragged(child, name, rows):
    """Each packet's elements of a child table, as lists."""
    out = [[] for _ in range(rows)]
    for packet, value in zip(child["packet"].tolist(), child[name].tolist(), strict=True):
        out[packet].append(value)
    return out


def _compare(fields, ours, theirs, type_name):
    table = ours[type_name]
    rows = len(table["CCSDS_APID"])
    shapes = {f._name: getattr(f, "_array_shape", None) for f in fields}
    kinds = {f._name: f._data_type for f in fields}
    compared = 0
    for name, want in theirs.items():
        if kinds.get(name) == "fill":
            continue
        shape = shapes.get(name)
        if isinstance(shape, str):
            got = _ragged(ours[f"{type_name}/{name}"], name, rows)
            assert got == [list(map(int, w)) for w in want], name
        elif shape is not None:
            np.testing.assert_array_equal(table[name], np.asarray(want).reshape(rows, -1), name)
        else:
            np.testing.assert_array_equal(table[name], want, name)
        compared += 1
    assert compared == len([k for k in theirs if kinds.get(k) != "fill"])
    return compared


# Expanding arrays of permuted elements are refused, saying so (records take
# big and little byte orders only).
REFUSED = {f"byte_order {order} expand" for order in ("2143", "3412", "78563412")}


@pytest.mark.parametrize(("label", "cls", "fields", "path"), SETS, ids=[s[0] for s in SETS])
def test_every_ccsdspy_set_decodes_as_ccsdspy_does(label, cls, fields, path):
    if label in REFUSED:
        with pytest.raises(bb.RecipeFileError, match="cannot describe yet"):
            bb.load_ccsdspy(fields)
        return
    defs = bb.load_ccsdspy(fields, name="t")
    ours = defs.decode(path.read_bytes())
    assert not ours.faults and not ours.unmatched
    theirs = cls(fields).load(str(path), include_primary_header=True)
    assert _compare(fields, ours, theirs, "t") >= 8  # the 7 header fields and more


@pytest.mark.parametrize("order", _definitions_module().BYTE_ORDERS if REALDATA.is_dir() else [])
@pytest.mark.parametrize("method", ["array", "multiarray", "fields", "expand"])
def test_byte_orders_decode_to_their_truth(order, method):
    module = _definitions_module()
    _, fields = module.byte_order(order, method)
    if method == "expand" and f"byte_order {order} expand" in REFUSED:
        return
    path = REALDATA / "ccsdspy" / "byte_order" / f"byteorder_{order}.bin"
    ours = bb.load_ccsdspy(fields, name="t").decode(path.read_bytes())
    truth = module.byte_order_truth(order)
    if method == "fields":
        got = np.stack([ours["t"][f"body{i}"] for i in range(80)], axis=1).tolist()
    elif method == "expand":
        # ccsdspy 2.0.1 gets 3-, 6- and 7-byte elements wrong here; we follow the truth.
        got = _ragged(ours["t/body"], "body", len(truth))
    else:
        got = ours["t"]["body"].tolist()
    assert got == truth


@pytest.mark.parametrize(("which", "param", "value"), [(1, "param1", 32), (2, "param2", 31)])
def test_csa_values_known_from_ccsdspy(which, param, value):
    _, fields = _definitions_module().csa(which)
    data = (REALDATA / "ccsdspy" / "csa" / "apid00400.tlm").read_bytes()
    column = bb.load_ccsdspy(fields, name="t").decode(data)["t"][param]
    assert len(column) == 3444 and set(column.tolist()) == {value}


def test_the_jpss_csv_file_decodes_as_ccsdspy_reads_it():
    csv = REALDATA / "spp" / "jpss" / "ccsdspy_jpss1_geolocation.csv"
    data = REALDATA / "spp" / "jpss" / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
    defs = bb.load_ccsdspy(csv)
    assert [t.name for t in defs] == ["ccsdspy_jpss1_geolocation"]
    ours = defs.decode(data.read_bytes())
    packet = ccsdspy.FixedLength.from_file(str(csv))
    theirs = packet.load(str(data), include_primary_header=True)
    assert _compare(packet._fields, ours, theirs, "ccsdspy_jpss1_geolocation") == len(theirs)
