"""bitloom_bulk.ccsds: the primary-header items read real CCSDS packets as
framing, the header's own bit layout and the peer decoders (ccsdspy, the XTCE
files and their decoder) read them, under each of the three namings."""

from __future__ import annotations

import logging
import warnings
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import bitloom_bulk as bb
from bitloom_bulk.ccsds import PRIMARY_HEADER, primary_header
from tests.support.realdata import REALDATA, needs_realdata

NAMINGS = ["bitloom", "ccsdspy", "xtce"]
BITLOOM_NAMES = [
    "version",
    "type",
    "secondary_header",
    "apid",
    "sequence_flags",
    "sequence_count",
    "packet_length",
]

# Every CCSDS stream of the corpus, with its packets per APID as the corpus's
# README counts them.
STREAMS = {
    "spp/jpss/J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1": {11: 7200},
    "spp/ctim/ccsds_2021_155_14_39_51": {
        1: 104,
        20: 6,
        32: 104,
        33: 1,
        34: 1,
        39: 1,
        41: 1147,
        42: 72,
        47: 63,
    },
    "spp/idex/sciData_2023_052_14_45_05": {1424: 78},
    "ccsdspy/europa_clipper/apid01227.tlm": {1227: 22},
    "ccsdspy/europa_clipper/expanding_footer_packet.bin": {1223: 22},
    "ccsdspy/csa/apid00400.tlm": {400: 3444},
    "ccsdspy/byte_order/byteorder_78563412.bin": {226: 10},
    "ccsdspy/var_length/var_length_packets_double_varfield_with_footer.bin": {226: 10},
}
XTCE_FILES = [
    "spp/jpss/jpss1_geolocation_xtce_v1.xml",
    "spp/jpss/contrived_inheritance_structure.xml",
    "spp/idex/idex_combined_science_definition.xml",
    "spp/ctim/ctim_xtce_v1.xml",
]


def _reference(data: bytes, offsets) -> dict[str, list[int]]:
    """Each packet's header fields cut from its first 48 bits with shifts."""
    words = [int.from_bytes(data[o : o + 6], "big") for o in offsets.tolist()]
    shifts = {
        "version": (45, 3),
        "type": (44, 1),
        "secondary_header": (43, 1),
        "apid": (32, 11),
        "sequence_flags": (30, 2),
        "sequence_count": (16, 14),
        "packet_length": (0, 16),
    }
    return {
        name: [(w >> shift) & ((1 << bits) - 1) for w in words]
        for name, (shift, bits) in shifts.items()
    }


def _header_columns(data: bytes, names: str) -> tuple[bb.Frames, dict[str, np.ndarray]]:
    frames = bb.split_ccsds(data)
    items = primary_header(names)
    columns = bb.unpack_columns(data, items, offsets=frames.offsets, lengths=frames.lengths)
    # Under bitloom's names, in header order, whatever the naming.
    return frames, dict(zip(BITLOOM_NAMES, (columns[i["name"]] for i in items), strict=True))


@needs_realdata
@pytest.mark.parametrize("names", NAMINGS)
@pytest.mark.parametrize("path", sorted(STREAMS))
def test_real_streams_read_as_framing_and_the_bit_layout_say(path, names):
    data = (REALDATA / path).read_bytes()
    frames, columns = _header_columns(data, names)
    assert columns["apid"].tolist() == frames.apids.tolist()
    assert columns["sequence_count"].tolist() == frames.sequence_counts.tolist()
    assert (columns["packet_length"].astype(np.int64) + 7).tolist() == frames.lengths.tolist()
    assert {name: column.tolist() for name, column in columns.items()} == _reference(
        data, frames.offsets
    )
    apids, counts = np.unique(columns["apid"], return_counts=True)
    assert dict(zip(apids.tolist(), counts.tolist(), strict=True)) == STREAMS[path]


@needs_realdata
@pytest.mark.parametrize("path", sorted(STREAMS))
def test_a_type_of_the_header_alone_decodes_as_unpack_columns(path):
    data = (REALDATA / path).read_bytes()
    _, columns = _header_columns(data, "bitloom")
    decoded = bb.Definitions([bb.PacketType("packet", PRIMARY_HEADER)]).decode(data)
    assert list(decoded["packet"]) == BITLOOM_NAMES
    for name in BITLOOM_NAMES:
        assert decoded["packet"][name].tolist() == columns[name].tolist(), name
    assert decoded.unmatched == {}


@needs_realdata
@pytest.mark.parametrize("path", sorted(STREAMS))
def test_ccsdspy_names_are_ccsdspys_header_columns(path):
    ccsdspy = pytest.importorskip("ccsdspy")
    logging.getLogger("ccsdspy").setLevel(logging.ERROR)
    whole = ccsdspy.VariableLength(
        [ccsdspy.PacketArray(name="body", data_type="uint", bit_length=8, array_shape="expand")]
    )
    theirs = whole.load(str(REALDATA / path), include_primary_header=True)
    theirs.pop("body")
    data = (REALDATA / path).read_bytes()
    frames = bb.split_ccsds(data)
    ours = bb.unpack_columns(
        data, primary_header("ccsdspy"), offsets=frames.offsets, lengths=frames.lengths
    )
    assert list(ours) == list(theirs)
    for name, column in theirs.items():
        assert ours[name].tolist() == column.tolist(), name


def _xtce_header(path) -> list[tuple[str, int]]:
    """(name, bits) of the entries of the XTCE file's container without a base
    (its primary header), each width from the parameter's type's encoding."""
    root = ET.parse(path).getroot()
    ns = {"x": root.tag.split("}")[0][1:]}
    types = {}
    for kind in root.iterfind(".//x:ParameterTypeSet/*", ns):
        encoding = kind.find("x:IntegerDataEncoding", ns)
        if encoding is not None:
            types[kind.get("name")] = int(encoding.get("sizeInBits"))
    parameters = {
        p.get("name"): p.get("parameterTypeRef") for p in root.iterfind(".//x:Parameter", ns)
    }
    for container in root.iterfind(".//x:SequenceContainer", ns):
        if container.find("x:BaseContainer", ns) is None:
            entries = container.find("x:EntryList", ns)
            names = [e.get("parameterRef") for e in entries][:7]
            return [(name, types[parameters[name]]) for name in names]
    raise AssertionError(f"{path} has no root container")


@needs_realdata
@pytest.mark.parametrize("path", XTCE_FILES)
def test_xtce_names_are_the_xtce_files_header(path):
    header = _xtce_header(REALDATA / path)
    ours = [(item["name"], item["bits"]) for item in primary_header("xtce")]
    assert [bits for _, bits in header] == [bits for _, bits in ours]
    differ = {a: b for (a, _), (b, _) in zip(ours, header, strict=True) if a != b}
    # Three of the four files (two missions) use our names; CTIM's own file
    # spells two of them otherwise.
    assert differ == (
        {"SEC_HDR_FLG": "SEC_HDR_FLAG", "SRC_SEQ_CTR": "SEQ_CTR"} if "ctim" in path else {}
    )


@needs_realdata
@pytest.mark.parametrize(
    ("xtce", "stream", "limit"),
    [
        (
            "spp/idex/idex_combined_science_definition.xml",
            "spp/idex/sciData_2023_052_14_45_05",
            None,
        ),
        (
            "spp/jpss/jpss1_geolocation_xtce_v1.xml",
            "spp/jpss/J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1",
            300,
        ),
    ],
)
def test_xtce_names_read_what_the_xtce_decoder_reads(xtce, stream, limit):
    spp = pytest.importorskip("space_packet_parser")
    definition = spp.load_xtce(str(REALDATA / xtce))
    with open(REALDATA / stream, "rb") as handle, warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = []
        for packet in spp.ccsds_generator(handle):
            theirs.append(definition.parse_bytes(packet))
            if len(theirs) == limit:
                break
    data = (REALDATA / stream).read_bytes()
    frames = bb.split_ccsds(data)
    ours = bb.unpack_columns(
        data,
        primary_header("xtce"),
        offsets=frames.offsets[: len(theirs)],
        lengths=frames.lengths[: len(theirs)],
    )
    for item in primary_header("xtce"):
        name = item["name"]
        assert ours[name].tolist() == [p[name].raw_value for p in theirs], name


@pytest.mark.parametrize("names", NAMINGS)
def test_every_call_gives_fresh_items(names):
    first = primary_header(names)
    first[3]["bits"] = 12
    first[0]["offset_bits"] = 8
    first.append(bb.field("extra", "unsigned", 8))
    again = primary_header(names)
    assert len(again) == 7
    assert [(i["bits"], "offset_bits" in i) for i in again] == [
        (3, False),
        (1, False),
        (1, False),
        (11, False),
        (2, False),
        (14, False),
        (16, False),
    ]
    assert [i["name"] for i in PRIMARY_HEADER] == BITLOOM_NAMES
    assert PRIMARY_HEADER[3]["bits"] == 11


@pytest.mark.parametrize("names", NAMINGS)
def test_items_are_plain_unsigned_big_endian_fields(names):
    for item in primary_header(names):
        assert item == bb.field(item["name"], "unsigned", item["bits"])


def test_the_header_is_a_submodule_of_the_package():
    assert bb.ccsds.PRIMARY_HEADER is PRIMARY_HEADER
    assert [i["name"] for i in primary_header()] == BITLOOM_NAMES
    with pytest.raises(ValueError, match="names must be"):
        primary_header("yamcs")  # type: ignore[arg-type]
