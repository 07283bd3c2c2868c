"""load_xtce on the shared XTCE sets, decoded against space_packet_parser run
here: every field of every packet, raw and derived values.

Known difference, handled by a rule: a parameter used twice in one container
is one key in the peer's packet (holding the last value); bitloom keeps both,
the later as ``NAME#2``, so the peer's value is compared with the last
occurrence. Text: the peer's raw value is the bytes, bitloom's the text, so
the raw comparison encodes bitloom's text."""

from __future__ import annotations

import io
import warnings

import pytest

from bitloom_bulk import RecipeFileError, load_xtce
from bitloom_bulk._xtce_xml import XTCE_1_2
from tests.support.realdata import REALDATA, needs_realdata

SPP = REALDATA / "spp"
SETS = {
    "jpss": (
        "jpss/jpss1_geolocation_xtce_v1.xml",
        "jpss/J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1",
        None,
    ),
    "jpss-contrived": (
        "jpss/contrived_inheritance_structure.xml",
        "jpss/J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1",
        None,
    ),
    "idex": ("idex/idex_combined_science_definition.xml", "idex/sciData_2023_052_14_45_05", None),
    "ctim": ("ctim/ctim_xtce_v1.xml", "ctim/ccsds_2021_155_14_39_51", "CCSDSTelemetryPacket"),
}
COUNTS = {"jpss": 7200, "jpss-contrived": 7200, "idex": 78, "ctim": 1499}


def _base(value):
    return next(c for c in (bool, int, float, str, bytes) if isinstance(value, c))


def _last_columns(table):
    """{name: the column of the name's last entry} ("X", "X#2", ...)."""
    return {c.partition("#")[0]: c for c in table}


@needs_realdata
@pytest.mark.parametrize("key", list(SETS))
def test_decodes_as_space_packet_parser(key):
    spp = pytest.importorskip("space_packet_parser")
    xml, data_file, root = SETS[key]
    data = (SPP / data_file).read_bytes()
    theirs = spp.load_xtce(str(SPP / xml))
    defs = load_xtce(SPP / xml)
    assert defs.refusals == []
    raw, derived = defs.decode(data, derived=False), defs.decode(data)
    assert raw.unmatched == {} and raw.faults == [] and derived.faults == []
    lists = {
        mode: {t: {f: c.tolist() for f, c in table.items()} for t, table in out.items()}
        for mode, out in (("raw", raw), ("derived", derived))
    }
    rows: dict[str, int] = {}
    last: dict[str, dict[str, str]] = {}
    kwargs = {"root_container_name": root} if root else {}
    for index, packet_bytes in enumerate(spp.ccsds_generator(io.BytesIO(data))):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)  # definitions shorter than packets
            packet = theirs.parse_bytes(packet_bytes, **kwargs)
        name = root or "CCSDSPacket"
        while True:
            chosen = [
                c
                for c in theirs.containers[name].inheritors
                if all(r.evaluate(packet) for r in theirs.containers[c].restriction_criteria)
            ]
            if not chosen:
                break
            name = chosen[0]
        row = rows.get(name, 0)
        rows[name] = row + 1
        for field_name, value in packet.items():
            if name not in last:
                last[name] = _last_columns(lists["raw"][name])
            column = last[name][field_name]
            ours_raw = lists["raw"][name][column][row]
            if isinstance(ours_raw, str):  # text: the peer's raw value is its bytes
                ours_raw = ours_raw.encode()
            assert ours_raw == value.raw_value, (index, name, field_name)
            ours = lists["derived"][name][column][row]
            assert ours == value and type(ours) is _base(value), (index, name, field_name)
    assert sum(rows.values()) == COUNTS[key]
    for name, table in raw.items():
        assert all(len(c) == rows.get(name, 0) for c in table.values()), name


@needs_realdata
def test_ctim_keeps_both_entries_of_a_name_used_twice():
    defs = load_xtce(SPP / "ctim" / "ctim_xtce_v1.xml")
    names = [i["name"] for i in defs["APID_20_Packet"].items]
    assert "SPARE_8" in names and "SPARE_8#2" in names


HEAD = '<?xml version="1.0"?>\n'
NS = f'xmlns="{XTCE_1_2}"'


def _doc(body):
    return f'{HEAD}<SpaceSystem name="s" {NS}>\n<TelemetryMetaData>\n{body}\n</TelemetryMetaData>\n</SpaceSystem>\n'


TYPES = """<ParameterTypeSet>
<IntegerParameterType name="U8"><IntegerDataEncoding sizeInBits="8"/></IntegerParameterType>
<AggregateParameterType name="B"><MemberList/></AggregateParameterType>
</ParameterTypeSet>
<ParameterSet>
<Parameter name="A" parameterTypeRef="U8"/>
<Parameter name="K" parameterTypeRef="B"/>
<Parameter name="X" parameterTypeRef="NOPE"/>
</ParameterSet>
"""


def _containers(root_entries, child_entries, criteria='<Comparison parameterRef="A" value="1"/>'):
    return _doc(
        TYPES
        + '<ContainerSet>\n<SequenceContainer name="R" abstract="true"><EntryList>'
        + root_entries
        + '</EntryList></SequenceContainer>\n<SequenceContainer name="C"><EntryList>'
        + child_entries
        + '</EntryList><BaseContainer containerRef="R"><RestrictionCriteria>'
        + criteria
        + "</RestrictionCriteria></BaseContainer></SequenceContainer>\n</ContainerSet>"
    )


BAD = [
    (b"not xml <", "not well-formed XML"),
    (f"{HEAD}<Other/>", "not an XTCE document"),
    (f'{HEAD}<SpaceSystem xmlns="urn:x"/>', "unknown namespace"),
    (
        f'{HEAD}<!DOCTYPE x [<!ENTITY a "aaaa">]>\n<SpaceSystem {NS}>&a;</SpaceSystem>',
        "DOCTYPE",
    ),
    (_containers('<ParameterRefEntry parameterRef="Q"/>', ""), "'Q', which is not defined"),
    (_containers('<ParameterRefEntry parameterRef="X"/>', ""), "'NOPE', which is not defined"),
    (
        _containers("", '<ParameterRefEntry parameterRef="A"/>'),
        "not decoded before it",
    ),
    (
        _containers('<ContainerRefEntry containerRef="R"/>', ""),
        "cycle",
    ),
]


@pytest.mark.parametrize(("text", "message"), BAD)
def test_bad_files_raise_with_the_line(text, message):
    with pytest.raises(RecipeFileError, match=message) as info:
        load_xtce(text)
    assert info.value.line is not None and info.value.line >= 1


def test_refusal_strict_and_listed():
    text = _containers(
        '<ParameterRefEntry parameterRef="A"/>', '<ParameterRefEntry parameterRef="K"/>'
    )
    with pytest.raises(RecipeFileError, match="AggregateParameterType") as info:
        load_xtce(text)
    assert info.value.line == 6
    defs = load_xtce(text, strict=False)
    assert [(r.element, r.name, r.line) for r in defs.refusals] == [
        ("AggregateParameterType", "B", 6)
    ]
    # The refused type keeps its place, abstract: its packets are unmatched.
    assert defs["C"].abstract and defs["C"].items == []
    decoded = defs.decode(bytes([1, 0, 2]), packet_bytes=1)
    assert decoded.unmatched == {None: 3}


def test_include_condition_refused():
    entry = '<ParameterRefEntry parameterRef="A"><IncludeCondition/></ParameterRefEntry>'
    with pytest.raises(RecipeFileError, match="IncludeCondition"):
        load_xtce(_containers(entry, ""))
