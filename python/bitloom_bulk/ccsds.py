"""The CCSDS space packet primary header as recipe items.

``PRIMARY_HEADER`` holds its seven fields (version, type, secondary-header
flag, APID, sequence flags, sequence count and packet length, 48 bits in all),
the items every definition of CCSDS telemetry starts with;
``primary_header(names=...)`` gives fresh copies under bitloom's names, or
under the names ccsdspy or the XTCE files of LASP's missions use.
"""

from __future__ import annotations

from typing import Any, Literal

from bitloom_bulk._recipe_items import field

# (bits, bitloom's name, ccsdspy's, the XTCE files')
_FIELDS = (
    (3, "version", "CCSDS_VERSION_NUMBER", "VERSION"),
    (1, "type", "CCSDS_PACKET_TYPE", "TYPE"),
    (1, "secondary_header", "CCSDS_SECONDARY_FLAG", "SEC_HDR_FLG"),
    (11, "apid", "CCSDS_APID", "PKT_APID"),
    (2, "sequence_flags", "CCSDS_SEQUENCE_FLAG", "SEQ_FLGS"),
    (14, "sequence_count", "CCSDS_SEQUENCE_COUNT", "SRC_SEQ_CTR"),
    (16, "packet_length", "CCSDS_PACKET_LENGTH", "PKT_LEN"),
)
_COLUMN = {"bitloom": 1, "ccsdspy": 2, "xtce": 3}

Names = Literal["bitloom", "ccsdspy", "xtce"]


def primary_header(names: Names = "bitloom") -> list[dict[str, Any]]:
    """The seven primary-header fields as unsigned big-endian items, named as
    bitloom names them (``version``, ``type``, ``secondary_header``, ``apid``,
    ``sequence_flags``, ``sequence_count``, ``packet_length``), as ccsdspy
    does (``CCSDS_VERSION_NUMBER``, ...) or as the XTCE files do (``VERSION``,
    ``TYPE``, ``SEC_HDR_FLG``, ``PKT_APID``, ``SEQ_FLGS``, ``SRC_SEQ_CTR``,
    ``PKT_LEN``). Each call returns new dicts."""
    if names not in _COLUMN:
        raise ValueError(f"names must be 'bitloom', 'ccsdspy' or 'xtce', not {names!r}")
    column = _COLUMN[names]
    return [dict(field(str(row[column]), "unsigned", int(row[0]))) for row in _FIELDS]


PRIMARY_HEADER: tuple[dict[str, Any], ...] = tuple(primary_header())
"""The primary header's items under bitloom's names (copy them before changing
them: ``primary_header()`` gives a fresh list)."""

__all__ = ["PRIMARY_HEADER", "primary_header"]
