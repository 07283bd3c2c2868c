"""The IDEX science packets' XTCE tree (../shared/realdata/spp/idex), written
by hand as packet definitions: the fields and widths of its containers
IDX_SCI0, Sci0TypeZero and Sci0TypeNonZero, all unsigned big-endian."""

from __future__ import annotations

from bitloom_bulk import Definitions, PacketType, field
from bitloom_bulk.ccsds import primary_header

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
    ("IDX__SYNCSCI0PKT", 16),
    ("IDX__CRCSCI0PKT", 16),
]


# The XTCE's EnumeratedParameterTypes among these fields.
_STATES = {
    "IDX__SCI0PACK": {0: "DS", 1: "EN"},
    "IDX__SCI0FRAG": {0: "DS", 1: "EN"},
    "IDX__SCI0COMP": {0: "DS", 1: "EN"},
    "IDX__TXHDRPOLSTAT": {0: "POS", 1: "NEG"},
    "IDX__TXHDRPOLCTRL": {0: "POS", 1: "NEG"},
    "IDX__TXHDRCOINENA": {0: "DIS", 1: "ENA"},
    "IDX__TXHDRLSTRIGMODE": {0: "DIS", 1: "ENA"},
}


def _items(pairs):
    return [
        field(name, "unsigned", bits, **({"enumeration": _STATES[name]} if name in _STATES else {}))
        for name, bits in pairs
    ]


def idex_definitions() -> Definitions:
    """CCSDSPacket (abstract) -> CCSDSTelemetryPacket (version and type 0) ->
    IDX_SCI0 (APID 1424, with the secondary header) -> Sci0TypeZero
    (IDX__SCI0TYPE == 1) or Sci0TypeNonZero (> 1: a waveform of
    8 * PKT_LEN - 328 bits, then the sync and checksum words)."""
    return Definitions(
        [
            PacketType("CCSDSPacket", primary_header("xtce"), abstract=True),
            PacketType(
                "CCSDSTelemetryPacket",
                [],
                parent="CCSDSPacket",
                where=[("VERSION", "==", 0), ("TYPE", "==", 0)],
                abstract=True,
            ),
            PacketType(
                "IDX_SCI0",
                _items([("SHCOARSE", 32), ("SHFINE", 16), *SCI0]),
                parent="CCSDSTelemetryPacket",
                where={"PKT_APID": 1424},
                abstract=True,
            ),
            PacketType(
                "Sci0TypeZero",
                _items(TYPE_ZERO),
                parent="IDX_SCI0",
                where=[("IDX__SCI0TYPE", "==", 1)],
            ),
            PacketType(
                "Sci0TypeNonZero",
                [
                    field(
                        "IDX__SCI0RAW", "binary", {"field": "PKT_LEN", "scale": 8, "offset": -328}
                    ),
                    *_items([("IDX__SYNCSCI0PKT", 16), ("IDX__CRCSCI0PKT", 16)]),
                ],
                parent="IDX_SCI0",
                where=[("IDX__SCI0TYPE", ">", 1)],
            ),
        ]
    )
