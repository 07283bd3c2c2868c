"""load_xtce's two XML parsers (lxml where installed, else the standard
library's) and its two ways to the items (the reader's shaped items read once
per shape, or every item checked by Definitions) give one result: the same
definitions, refusals and lines, or the same error, on the shared XTCE files,
documents written from random definitions, refused elements and XML that is
wrong or unusual."""

from __future__ import annotations

import dataclasses

import pytest

import bitloom_bulk._xtce as xtce
import bitloom_bulk._xtce_xml as xtce_xml
from bitloom_bulk import Definitions, PacketType, load_xtce
from tests.bulk.test_xtce_refusals import REFUSED, _document
from tests.support.realdata import REALDATA
from tests.support.xtce_writer import random_definitions, to_xtce

NS = f'xmlns="{xtce_xml.XTCE_1_2}"'
SHARED = [
    "spp/ctim/ctim_xtce_v1.xml",
    "spp/jpss/jpss1_geolocation_xtce_v1.xml",
    "spp/jpss/contrived_inheritance_structure.xml",
    "spp/idex/idex_combined_science_definition.xml",
]


def _small(
    parameters: str = "", entries: str = "", head: str = "", prefix: str = "", types: str = ""
) -> bytes:
    """A root container reading A (one byte) and what ``entries`` adds, and its
    child C."""
    p = f"{prefix}:" if prefix else ""
    xmlns = f'xmlns:{prefix}="{xtce_xml.XTCE_1_2}"' if prefix else NS
    return (
        f'{head}<{p}SpaceSystem name="s" {xmlns}>\n<{p}TelemetryMetaData>\n<{p}ParameterTypeSet>'
        f'<{p}IntegerParameterType name="U8"><{p}IntegerDataEncoding sizeInBits="8"/>'
        f"</{p}IntegerParameterType>{types}</{p}ParameterTypeSet>\n<{p}ParameterSet>"
        f'<{p}Parameter name="A" parameterTypeRef="U8"/>{parameters}</{p}ParameterSet>\n'
        f'<{p}ContainerSet>\n<{p}SequenceContainer\n name="R">\n<{p}EntryList>'
        f'<{p}ParameterRefEntry parameterRef="A"/>{entries}</{p}EntryList>'
        f'</{p}SequenceContainer>\n<{p}SequenceContainer name="C"><{p}EntryList/>'
        f'<{p}BaseContainer containerRef="R"/></{p}SequenceContainer>\n'
        f"</{p}ContainerSet>\n</{p}TelemetryMetaData>\n</{p}SpaceSystem>\n"
    ).encode()


def _repeat(parameter: str, count: int) -> str:
    return (
        f'<ParameterRefEntry parameterRef="{parameter}"><RepeatEntry><Count><FixedValue>{count}'
        "</FixedValue></Count></RepeatEntry></ParameterRefEntry>"
    )


# Parameters of one type, with derived values, some repeated.
SHARED_TYPES = _small(
    "".join(
        f'<Parameter name="{n}" parameterTypeRef="{t}"/>'
        for n, t in zip("BCDEFG", "EEPPUU", strict=True)
    ),
    '<ParameterRefEntry parameterRef="B"/><ParameterRefEntry parameterRef="C"/>'
    + _repeat("D", 2)
    + _repeat("E", 3)
    + _repeat("F", 2)
    + _repeat("G", 3),
    types='<EnumeratedParameterType name="E"><IntegerDataEncoding sizeInBits="8"/><EnumerationList>'
    '<Enumeration value="0" label="a"/><Enumeration value="1" label="b"/></EnumerationList>'
    '</EnumeratedParameterType><IntegerParameterType name="P"><IntegerDataEncoding sizeInBits="16">'
    '<DefaultCalibrator><PolynomialCalibrator><Term exponent="1" coefficient="2"/>'
    "</PolynomialCalibrator></DefaultCalibrator></IntegerDataEncoding></IntegerParameterType>"
    '<IntegerParameterType name="U"><IntegerDataEncoding sizeInBits="4"/></IntegerParameterType>',
)
DEEP = 300  # deeper than lxml reads without huge_tree
UNUSUAL = {
    "plain": _small(),
    "shared types": SHARED_TYPES,
    "prefixed": _small(prefix="x"),
    "declared utf-8 with a byte order mark": _small(
        head='\ufeff<?xml version="1.0" encoding="UTF-8"?>'
    ),
    "declared latin-1": _small(
        '<Parameter name="\u00e9" parameterTypeRef="U8"/>',
        head='<?xml version="1.0" encoding="ISO-8859-1"?>',
    ).replace("\u00e9".encode(), b"\xe9"),
    "utf-16": _small().decode().encode("utf-16"),
    "comment and cdata in names": _small('<Parameter name="B" parameterTypeRef="U8"/>').replace(
        b'parameterRef="A"/>', b'parameterRef="A"/><!-- c --><?pi x?>'
    ),
    "second definition": _small('<Parameter name="A"\n parameterTypeRef="U8"/>'),
    "undefined parameter": _small(entries='\n<ParameterRefEntry parameterRef="Z"/>'),
    "unknown entry": _small(entries='\n\n<Other\n a="1"/>'),
    "unknown entry in another namespace": _small(entries='<o:Other xmlns:o="urn:o"/>'),
    "entry in another namespace": _small(
        entries='<o:ParameterRefEntry xmlns:o="urn:o" parameterRef="A"/>'
    ),
    "duplicate field": _small(entries='<ParameterRefEntry parameterRef="A"/>'),
    "not well-formed": _small().replace(b"</ContainerSet>", b"</Containerset>"),
    "undefined entity": _small().replace(b'name="R"', b'name="&r;"'),
    "unbound prefix": _small(entries="<q:Entry/>"),
    "doctype": b'<?xml version="1.0"?>\n<!DOCTYPE SpaceSystem [<!ENTITY a "b">]>' + _small(),
    "deep": _small(
        entries="<LongDescription>" + "<a>" * DEEP + "</a>" * DEEP + "</LongDescription>"
    ),
    "parameter without a type": _small(
        '<Parameter name="B"/>', '<ParameterRefEntry parameterRef="B"/>'
    ),
    "parameter of another namespace": _small(
        '<o:Parameter xmlns:o="urn:o" name="B" parameterTypeRef="U8"/>',
        '<ParameterRefEntry parameterRef="B"/>',
    ),
    "parameter without a name": _small('<Parameter\n parameterTypeRef="U8"/>'),
    "empty parameter name": _small('<Parameter name=""\n parameterTypeRef="U8"/>'),
    "empty reference": _small(entries='<ParameterRefEntry\n parameterRef=""/>'),
    "entry without a reference": _small(entries="<ParameterRefEntry/>"),
    "located entry in a run": _small(
        '<Parameter name="B" parameterTypeRef="U8"/><Parameter name="C" parameterTypeRef="U8"/>',
        '<ParameterRefEntry parameterRef="B"/><ParameterRefEntry parameterRef="C">'
        "<LocationInContainerInBits><FixedValue>4</FixedValue></LocationInContainerInBits>"
        "</ParameterRefEntry>",
    ),
    "late duplicate in a run": _small(
        '<Parameter name="B" parameterTypeRef="U8"/>',
        '<ParameterRefEntry parameterRef="B"/>\n<ParameterRefEntry parameterRef="A"/>'
        '\n<ParameterRefEntry parameterRef="B"/>',
    ),
    "located container of plain entries": _small(
        '<Parameter name="B" parameterTypeRef="U8"/>',
        '<ContainerRefEntry containerRef="I"><LocationInContainerInBits'
        ' referenceLocation="containerStart"><FixedValue>16</FixedValue>'
        "</LocationInContainerInBits></ContainerRefEntry>",
    ).replace(
        b"</ContainerSet>",
        b'<SequenceContainer name="I"><EntryList><ParameterRefEntry parameterRef="B"/>'
        b"</EntryList></SequenceContainer></ContainerSet>",
    ),
    "not XTCE": b"<Other/>",
    "unknown namespace": _small().replace(xtce_xml.XTCE_1_2.encode(), b"urn:x"),
    "empty": b"",
    "text after the root": _small() + b"x",
}


def _outcome(source: bytes | str, **kwargs):
    try:
        defs = load_xtce(source, **kwargs)
    except Exception as exc:  # the error's kind, words and line must match
        return type(exc).__name__, str(exc), getattr(exc, "line", None)
    items = [dataclasses.astuple(item) for node in defs.nodes() for item in node.items]
    return defs, list(defs.refusals), items


def _corpus():
    for name in SHARED:
        path = REALDATA / name
        if path.exists():
            yield name, path.read_bytes()
    for seed in range(40):
        yield f"random {seed}", to_xtce(random_definitions(seed), seed).encode()
    for i, (value_type, parts, _) in enumerate(REFUSED):
        yield f"refused {i}", _document(value_type, parts).encode()
    yield from UNUSUAL.items()


CORPUS = list(_corpus())


def _checked_items(monkeypatch):
    """The items of every type checked by Definitions, as a user's are."""

    def packet_type(name, items, **kwargs):
        return PacketType(name, items, **kwargs)

    monkeypatch.setattr(xtce, "made_packet_type", packet_type)
    monkeypatch.setattr(xtce, "made_definitions", lambda types, shapes, ready: Definitions(types))


@pytest.mark.parametrize(("label", "data"), CORPUS, ids=[c[0] for c in CORPUS])
@pytest.mark.parametrize("strict", [True, False])
def test_parsers_and_item_paths_agree(label, data, strict, monkeypatch):
    fast = _outcome(data, strict=strict)
    if xtce_xml._lxml is not None:
        with monkeypatch.context() as m:
            m.setattr(xtce_xml, "_lxml", None)
            assert _outcome(data, strict=strict) == fast, label
    with monkeypatch.context() as m:
        _checked_items(m)
        assert _outcome(data, strict=strict) == fast, label
    if isinstance(fast[0], Definitions):
        # No two items share a list or dict: a change to one changes no other.
        seen: dict[int, object] = {}
        stack = [item for t in fast[0] for item in t.items]
        while stack:
            value = stack.pop()
            if isinstance(value, (dict, list)):
                assert id(value) not in seen, (label, value)
                seen[id(value)] = value
                stack.extend(value.values() if isinstance(value, dict) else value)


def _children_one_by_one(m):
    """lxml's tree read child by child, as the standard library's is."""
    m.setattr(xtce_xml._Runs, "entries", lambda self, element: None)
    m.setattr(xtce_xml._Runs, "parameters", lambda self, element: None)


def _every_entry_in_full(m):
    """No plain entry taken from its type's template: each read by _entry."""
    m.setattr(xtce._Tree, "_plain_entry", lambda self, parameter, scope, items: False)


@pytest.mark.parametrize(("label", "data"), CORPUS, ids=[c[0] for c in CORPUS])
@pytest.mark.parametrize("path", [_children_one_by_one, _every_entry_in_full])
def test_bulk_and_entry_paths_agree(label, data, path, monkeypatch):
    if path is _children_one_by_one and xtce_xml._lxml is None:
        pytest.skip("lxml is not installed: every tree is read child by child")
    fast = _outcome(data, strict=False)
    with monkeypatch.context() as m:
        path(m)
        assert _outcome(data, strict=False) == fast, label
