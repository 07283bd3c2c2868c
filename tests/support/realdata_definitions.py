"""Hand-written packet definitions of the telemetry in ../shared/realdata, each
written from the definition its owners ship (an XTCE file or ccsdspy's field
lists in ccsdspy/definitions.py), with the peers' field names so that a test
can compare column by column."""

from __future__ import annotations

from typing import Any

from bitloom_bulk import Definitions, PacketType, field
from bitloom_bulk.ccsds import primary_header
from tests.support.realdata import REALDATA

CCSDSPY_DATA = REALDATA / "ccsdspy"
SPP_DATA = REALDATA / "spp"

# -- ccsdspy's sets -------------------------------------------------------------

BYTE_ORDERS = [
    "1", "12", "21", "123", "321", "1234", "2143", "3412", "4321",
    "123456", "1234567", "12345678", "78563412", "87654321",
]  # fmt: skip
VAR_LENGTH_FILES = [
    "var_length_packets.bin",
    "var_length_packets_with_footer.bin",
    "var_length_packets_double_varfield_with_footer.bin",
]


def ccsdspy_header() -> PacketType:
    """The abstract root every ccsdspy set hangs under: the primary header
    under ccsdspy's names, as ``include_primary_header=True`` gives them."""
    return PacketType("packet", primary_header("ccsdspy"), abstract=True)


def _under_header(name: str, items: list[dict[str, Any]]) -> Definitions:
    return Definitions([ccsdspy_header(), PacketType(name, items, parent="packet")])


def byte_order_definitions(order: str, method: str) -> Definitions | None:
    """The body of a byteorder_<ORDER>.bin packet, type "body", as ccsdspy's
    ``byte_order(order, method)`` reads it: "array" (one item "body" of 80
    elements), "fields" (80 items "body0".."body79") or "expand" (records of
    one element "value" to the packet's end). A record holds only big- and
    little-endian numbers, so "expand" is None for the other orders."""
    bits = 8 * len(order)
    if method == "array":
        items = [field("body", "unsigned", bits, byte_order=order, count=80)]
    elif method == "fields":
        items = [field(f"body{i}", "unsigned", bits, byte_order=order) for i in range(80)]
    elif method == "expand":
        plain = {"".join(sorted(order)): "big", "".join(sorted(order, reverse=True)): "little"}
        if order not in plain:
            return None
        element = field("value", "unsigned", bits, byte_order=plain[order])
        items = [field("body", "binary", {"rest": 0}, records=[element])]
    else:
        raise ValueError(method)
    return _under_header("body", items)


def var_length_definitions(file_name: str) -> Definitions:
    """A var_length file's packets, type "v", as ccsdspy's ``var_length``
    reads them: "data" as records of one uint16 "value" reaching to the
    footer (the last 16 bits) or the packet's end; or two arrays counted by
    the byte before each, then the footer."""
    value = [field("value", "unsigned", 16)]
    if file_name == "var_length_packets.bin":
        items = [field("data", "binary", {"rest": 0}, records=value)]
    elif file_name == "var_length_packets_with_footer.bin":
        items = [
            field("data", "binary", {"rest": 16}, records=value),
            field("footer", "unsigned", 16, offset_bits=-16),
        ]
    elif file_name == "var_length_packets_double_varfield_with_footer.bin":
        items = [
            field("data1_len", "unsigned", 8),
            field("data1", "unsigned", 16, count={"field": "data1_len"}),
            field("data2_len", "unsigned", 8),
            field("data2", "unsigned", 16, count={"field": "data2_len"}),
            field("footer", "unsigned", 16),
        ]
    else:
        raise KeyError(file_name)
    return _under_header("v", items)


ECM_HK = [
    "FGx_-4.7VHK", "FGx_+4.7VHK", "FGx_2VREF", "FGx_1VREF", "FGx_DRV_SNS", "FGx_OP_PRTA",
    "FGx_FBX", "FGx_FBY", "FGx_FBZ", "FGx_BPFX", "FGx_BPFY", "FGx_BPFZ", "FGx_+4.7_I",
    "FGx_-4.7_I", "FGx_HK_CH14", "FGx_HK_CH15",
]  # fmt: skip
# Behind the samples: 16 housekeeping words of 24 bits, Register 80 and the CRC.
ECM_TAIL_BITS = 16 * 24 + 16 + 16
# Before them: the SCLK seconds and subseconds and the accountability ID.
ECM_HEAD_BITS = 32 + 16 + 32


def europa_definitions(samples: str) -> Definitions:
    """Europa Clipper magnetometer packets, type "ecm", as ccsdspy reads them.

    ``samples``: "array" (apid01227: "samples", 480 int24 in the order
    channels 3, 2, 1 of sample 0, then of sample 1, ...); "rest" (the
    expanding footer file: "FGX_CHANNELS" as uint8 records up to the fixed
    tail, which is placed from the packet's end); "length" (the same samples
    as one binary field sized from the packet length field, the tail
    following it).
    """
    head = [
        field("Instrument SCLK Time second", "unsigned", 32),
        field("Instrument SCLK Time subsec", "unsigned", 16),
        field("Accountability ID", "unsigned", 32),
    ]
    tail = [field(n, "twos_complement", 24) for n in ECM_HK] + [
        field("Register 80", "unsigned", 16),
        field("PEC (CRC-16-CCITT)", "unsigned", 16),
    ]
    if samples == "array":
        body = field("samples", "twos_complement", 24, count=480)
    elif samples == "rest":
        body = field(
            "FGX_CHANNELS",
            "binary",
            {"rest": ECM_TAIL_BITS},
            records=[field("value", "unsigned", 8)],
        )
        tail[0]["offset_bits"] = -ECM_TAIL_BITS
    elif samples == "length":
        # The data field is packet_length + 1 bytes; the head and tail take the rest.
        size = {
            "field": "CCSDS_PACKET_LENGTH",
            "scale": 8,
            "offset": 8 - ECM_HEAD_BITS - ECM_TAIL_BITS,
        }
        body = field("FGX_CHANNELS", "binary", size)
    else:
        raise ValueError(samples)
    return _under_header("ecm", [*head, body, *tail])


def csa_definitions() -> Definitions:
    """The CSA packets, type "csa", with the two 7-bit fields ccsdspy's
    ``csa(1)`` and ``csa(2)`` read. ccsdspy's fill fields there (954 + 7 +
    159 bits) cover the data field, so its offsets count from the end of the
    primary header: the fields start at bits 48 + 954 and 48 + 970."""
    return _under_header(
        "csa",
        [
            field("param1", "unsigned", 7, offset_bits=48 + 954),
            field("param2", "unsigned", 7, offset_bits=48 + 970),
        ],
    )


# -- JPSS attitude and ephemeris ------------------------------------------------

JPSS_FILE = "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
_JPSS = [
    ("DOY", "unsigned", 16),
    ("MSEC", "unsigned", 32),
    ("USEC", "unsigned", 16),
    ("ADAESCID", "unsigned", 8),
    ("ADAET1DAY", "unsigned", 16),
    ("ADAET1MS", "unsigned", 32),
    ("ADAET1US", "unsigned", 16),
    ("ADGPSPOSX", "ieee754_f32", 32),
    ("ADGPSPOSY", "ieee754_f32", 32),
    ("ADGPSPOSZ", "ieee754_f32", 32),
    ("ADGPSVELX", "ieee754_f32", 32),
    ("ADGPSVELY", "ieee754_f32", 32),
    ("ADGPSVELZ", "ieee754_f32", 32),
    ("ADAET2DAY", "unsigned", 16),
    ("ADAET2MS", "unsigned", 32),
    ("ADAET2US", "unsigned", 16),
    ("ADCFAQ1", "ieee754_f32", 32),
    ("ADCFAQ2", "ieee754_f32", 32),
    ("ADCFAQ3", "ieee754_f32", 32),
    ("ADCFAQ4", "ieee754_f32", 32),
]
# The CCSDS day segmented code of the two valid times: days since 1958, then
# milliseconds of the day, then microseconds of the millisecond.
JPSS_CDS = {"code": "cds", "day_bits": 16, "sub_ms": 16}


def jpss_definitions(*, times: bool = False) -> Definitions:
    """JPSS_ATT_EPHEM (APID 11) under an abstract root holding the primary
    header (XTCE names). With ``times`` the ephemeris and attitude valid
    times are one CDS time field each, "ADAET1" and "ADAET2", in place of
    their day, millisecond and microsecond fields."""
    items: list[dict[str, Any]] = []
    for name, encoding, bits in _JPSS:
        if times and name[:6] in ("ADAET1", "ADAET2"):
            if name.endswith("DAY"):
                items.append(field(name[:6], "binary", 64, time=JPSS_CDS))
            continue
        items.append(field(name, encoding, bits))
    return Definitions(
        [
            PacketType("CCSDSPacket", primary_header("xtce"), abstract=True),
            PacketType("JPSS_ATT_EPHEM", items, parent="CCSDSPacket", where={"PKT_APID": 11}),
        ]
    )


# -- IDEX science packets ---------------------------------------------------------

IDEX_FILE = "sciData_2023_052_14_45_05"
# The IDX_SCI0 container's own fields after the secondary header; the fetch
# container IDX_SCIFETCH has the same ones with SCIFETCH for SCI0.
SCI0 = [
    ("IDX__SCI0AID", 32),
    ("IDX__SCI0TYPE", 8),
    ("IDX__SCI0CONT", 8),
    ("IDX__SCI0SPARE1", 13),
    ("IDX__SCI0PACK", 1),
    ("IDX__SCI0FRAG", 1),
    ("IDX__SCI0COMP", 1),
    ("IDX__SCI0EVTNUM", 16),
    ("IDX__SCI0CAT", 8),
    ("IDX__SCI0QUAL", 8),
    ("IDX__SCI0FRAGOFF", 16),
    ("IDX__SCI0VER", 16),
    ("IDX__SCI0TIME32", 32),
    ("IDX__SCI0SPARE2", 32),
    ("IDX__SCI0SPARE3", 32),
    ("IDX__SCI0SPARE4", 32),
]
# Sci0TypeZero's event header; SciFetchTypeZero's has FETHDR for TXHDR (and
# SYNCSCIFETCHPKT, CRCSCIFETCHPKT for the last two).
TYPE_ZERO = [
    ("IDX__TXHDRSCIEVTLEN", 32),
    ("IDX__TXHDRSP00", 16),
    ("IDX__TXHDRTIMESEC1", 16),
    ("IDX__TXHDRTIMESEC2", 16),
    ("IDX__TXHDRTIMESUBS", 16),
    ("IDX__TXHDRSP01", 1),
    ("IDX__TXHDRTRIGOFFSET", 3),
    ("IDX__TXHDRSP02", 2),
    ("IDX__TXHDRTRIGID", 10),
    ("IDX__TXHDREVTNUM", 16),
    ("IDX__TXHDRBLOCKS", 32),
    ("IDX__TXHDRHGTRIGCTRL1", 32),
    ("IDX__TXHDRHGTRIGCTRL2", 32),
    ("IDX__TXHDRLGTRIGCTRL1", 32),
    ("IDX__TXHDRLGTRIGCTRL2", 32),
    ("IDX__TXHDRMGTRIGCTRL1", 32),
    ("IDX__TXHDRMGTRIGCTRL2", 32),
    ("IDX__TXHDRSP03", 8),
    ("IDX__TXHDRLSADC", 24),
    ("IDX__TXHDRPOLSTAT", 1),
    ("IDX__TXHDRSP04", 22),
    ("IDX__TXHDRPOLCTRL", 1),
    ("IDX__TXHDRCOINENA", 1),
    ("IDX__TXHDRLSTRIGMODE", 1),
    ("IDX__TXHDRMGTRIGMODE", 2),
    ("IDX__TXHDRLGTRIGMODE", 2),
    ("IDX__TXHDRHGTRIGMODE", 2),
    ("IDX__TXHDRSP05", 32),
    ("IDX__TXHDRSP06", 32),
    ("IDX__TXHDRSP07", 32),
    ("IDX__TXHDRSP08", 32),
    ("IDX__TXHDRTOFMAX", 32),
    ("IDX__TXHDRTOFMIN", 32),
    ("IDX__TXHDRLS0MAXMIN", 32),
    ("IDX__TXHDRLS1MAXMIN", 32),
    ("IDX__TXHDRLS2MAXMIN", 32),
    ("IDX__TXHDRFIFODELAY", 32),
    ("IDX__TXHDRSAMPDELAY", 32),
    ("IDX__TXHDRTRANSCNT", 32),
    ("IDX__TXHDRPROCHKCH01", 32),
    ("IDX__TXHDRPROCHKCH23", 32),
    ("IDX__TXHDRPROCHKCH45", 32),
    ("IDX__TXHDRPROCHKCH67", 32),
    ("IDX__TXHDRHVPSHKCH01", 32),
    ("IDX__TXHDRHVPSHKCH23", 32),
    ("IDX__TXHDRHVPSHKCH45", 32),
    ("IDX__TXHDRHVPSHKCH67", 32),
    ("IDX__TXHDRLVHK0CH01", 32),
    ("IDX__TXHDRLVHK0CH23", 32),
    ("IDX__TXHDRLVHK0CH45", 32),
    ("IDX__TXHDRLVHK0CH67", 32),
    ("IDX__TXHDRLVHK1CH01", 32),
    ("IDX__TXHDRLVHK1CH23", 32),
    ("IDX__TXHDRLVHK1CH45", 32),
    ("IDX__TXHDRLVHK1CH67", 32),
    ("IDX__TXHDRLVHK2CH01", 32),
    ("IDX__TXHDRLVHK2CH23", 32),
    ("IDX__TXHDRLVHK2CH45", 32),
    ("IDX__TXHDRLVHK2CH67", 32),
    ("IDX__TXHDRSP09", 32),
    ("IDX__TXHDRSP10", 32),
    ("IDX__TXHDRFSWAIDCOPY", 32),
    ("IDX__TXHDRFSWBINCOPY", 32),
    ("IDX__TXHDRFSWMAJOR", 8),
    ("IDX__TXHDRFSWMINOR", 8),
    ("IDX__TXHDRFSWPATCH", 16),
    ("IDX__TXHDRFSWHVSTAT", 32),
    ("IDX__TXHDRFSWMEM0", 32),
    ("IDX__TXHDRFSWMEM1", 32),
    ("IDX__TXHDRFSWPT0", 32),
    ("IDX__TXHDRFSWPT1", 32),
    ("IDX__TXHDRFSWPT2", 32),
    ("IDX__TXHDRFSWPT3", 32),
    ("IDX__TXHDRFSWPT4", 32),
    ("IDX__TXHDRFSWPT5", 32),
    ("IDX__TXHDRFSWPT6", 32),
    ("IDX__TXHDRFSWPT7", 32),
    ("IDX__TXHDRFSWPT8", 32),
    ("IDX__TXHDRFSWPT9", 32),
    ("IDX__TXHDRFPGAVER", 32),
]
# The XTCE's EnumeratedParameterTypes among these fields (the fetch branch's
# under their fetch names).
_STATES = {
    "IDX__SCI0PACK": {0: "DS", 1: "EN"},
    "IDX__SCI0FRAG": {0: "DS", 1: "EN"},
    "IDX__SCI0COMP": {0: "DS", 1: "EN"},
    "IDX__TXHDRPOLSTAT": {0: "POS", 1: "NEG"},
    "IDX__TXHDRPOLCTRL": {0: "POS", 1: "NEG"},
    "IDX__TXHDRCOINENA": {0: "DIS", 1: "ENA"},
    "IDX__TXHDRLSTRIGMODE": {0: "DIS", 1: "ENA"},
}
# The waveform: 8 * PKT_LEN - 328 bits (the XTCE's LinearAdjustment slope 8,
# intercept -328), i.e. the data field less the secondary header, the science
# header and the sync and checksum words behind it.
WAVEFORM_BITS = {"field": "PKT_LEN", "scale": 8, "offset": -328}


def _idex_items(pairs: list[tuple[str, int]], branch: str) -> list[dict[str, Any]]:
    items = []
    for name, bits in pairs:
        keys = {"enumeration": _STATES[name]} if name in _STATES else {}
        items.append(field(_idex_name(name, branch), "unsigned", bits, **keys))
    return items


def _idex_name(name: str, branch: str) -> str:
    if branch == "SCI0":
        return name
    return name.replace("SCI0", "SCIFETCH").replace("TXHDR", "FETHDR")


def idex_definitions() -> Definitions:
    """The XTCE's container tree: CCSDSPacket (abstract) -> CCSDSTelemetryPacket
    (abstract, version and type 0) -> IDX_SCI0 (abstract, APID 1424) or
    IDX_SCIFETCH (concrete, APID 1425), each with the secondary header (the
    XTCE's SecondaryHeaderContainer) and its science header -> its TypeZero
    (IDX__SCI0TYPE / IDX__SCIFETCHTYPE == 1: the event header) or TypeNonZero
    (> 1: the waveform, then the sync and checksum words)."""
    types = [
        PacketType("CCSDSPacket", primary_header("xtce"), abstract=True),
        PacketType(
            "CCSDSTelemetryPacket",
            [],
            parent="CCSDSPacket",
            where=[("VERSION", "==", 0), ("TYPE", "==", 0)],
            abstract=True,
        ),
    ]
    for branch, apid, prefix in (("SCI0", 1424, "Sci0"), ("SCIFETCH", 1425, "SciFetch")):
        container = f"IDX_{branch}"
        header = [field("SHCOARSE", "unsigned", 32), field("SHFINE", "unsigned", 16)]
        selector = f"IDX__{branch}TYPE"
        ending = _idex_items([("IDX__SYNCSCI0PKT", 16), ("IDX__CRCSCI0PKT", 16)], branch)
        types += [
            PacketType(
                container,
                header + _idex_items(SCI0, branch),
                parent="CCSDSTelemetryPacket",
                where={"PKT_APID": apid},
                abstract=branch == "SCI0",
            ),
            PacketType(
                f"{prefix}TypeZero",
                _idex_items(TYPE_ZERO, branch) + ending,
                parent=container,
                where=[(selector, "==", 1)],
            ),
            PacketType(
                f"{prefix}TypeNonZero",
                [field(f"IDX__{branch}RAW", "binary", WAVEFORM_BITS), *ending],
                parent=container,
                where=[(selector, ">", 1)],
            ),
        ]
    return Definitions(types)
