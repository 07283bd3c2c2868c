"""CCSDS space packet streams: framing by primary headers, decoding by APID."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, TypeAlias

import numpy as np
import numpy.typing as npt

from bitloom_bulk import _frames, _native

if TYPE_CHECKING:
    from typing_extensions import Buffer

    from bitloom_bulk._native import Layout


_Recipe: TypeAlias = "Sequence[Mapping[str, object]] | Layout"


class Frames(NamedTuple):
    """The packets of a CCSDS stream, in stream order.

    ``offsets`` (int64): each packet's first byte in the data; ``lengths``
    (int64): each packet's size in bytes (its length field + 7); ``apids``
    (uint16): the 11-bit APID; ``sequence_counts`` (uint16): the 14-bit
    sequence count; ``end`` (int): the byte offset where framing stopped (the
    end of the data, or with ``allow_partial`` the first byte of a packet the
    data cuts short). ``offsets`` and ``lengths`` are int64, the dtype that
    ``unpack_columns(offsets=, lengths=)`` and numpy indexing take as they are.
    """

    offsets: npt.NDArray[np.int64]
    lengths: npt.NDArray[np.int64]
    apids: npt.NDArray[np.uint16]
    sequence_counts: npt.NDArray[np.uint16]
    end: int


def split_ccsds(data: Buffer, *, offset: int = 0, allow_partial: bool = False) -> Frames:
    """Frame a stream of CCSDS space packets by their primary headers.

    ``data`` is any C-contiguous buffer (bytes, bytearray, memoryview, mmap, a
    numpy array), read in place and held for the call; framing runs without
    the GIL. Framing starts at byte ``offset`` and walks packet after packet
    (each is its 16-bit length field + 7 bytes). A final packet that the data
    cuts short, or a header with fewer than 6 bytes left, raises ValueError
    naming its byte offset, its declared length and the bytes left; with
    ``allow_partial=True`` it is left out and ``end`` is where it begins (where
    a live stream's next chunk starts).
    """
    return Frames(*_native.split_ccsds(data, offset=offset, allow_partial=allow_partial))


class CcsdsColumns(dict[int, dict[str, Any]]):
    """What ``unpack_ccsds`` returns: ``{apid: {name: column}}`` for the APIDs
    that have a recipe (every one of them, with empty columns where the stream
    holds none of its packets), and in
    ``skipped`` the number of packets of every other APID found, ``{apid: count}``."""

    skipped: dict[int, int]

    def __init__(self, columns: dict[int, dict[str, Any]], skipped: dict[int, int]) -> None:
        super().__init__(columns)
        self.skipped = skipped

    def __reduce__(self) -> tuple[Any, ...]:
        return (CcsdsColumns, (dict(self), self.skipped))

    def to_pandas(self) -> dict[int, Any]:
        """Every APID's table as a pandas DataFrame (pandas is an optional
        extra); dtypes are kept."""
        return _frames.tables_to_pandas(self)

    def to_xarray(self) -> dict[int, Any]:
        """Every APID's table as an xarray Dataset along the dimension
        ``packet`` (xarray is an optional extra)."""
        return _frames.tables_to_xarray(self)


def unpack_ccsds(
    data: Buffer,
    recipes: Mapping[int, _Recipe] | Mapping[np.integer[Any], _Recipe],
    *,
    offset: int = 0,
    text: Literal["object", "bytes"] = "object",
) -> CcsdsColumns:
    """Decode a mixed-APID stream of CCSDS space packets into columns per APID.

    ``recipes`` maps an APID (any integer from 0 to 2047, numpy's included) to
    a recipe or a ``Layout``. One
    framing pass counts the packets of every APID, a second one indexes the
    packets of the APIDs with a recipe, and each of those APIDs is decoded into
    its columns as ``unpack_columns`` decodes packets: element i of a column is
    what ``unpack_parameters(packet_i, 0, recipe)[name]`` returns for that
    APID's i-th packet, so offsets count from the primary header's first bit
    (a recipe names the header's fields if it wants them). Returns a
    ``CcsdsColumns``: a dict ``{apid: {name: column}}`` with ``.skipped``
    ``{apid: count}`` for the packets of APIDs without a recipe. ``text``:
    as ``unpack_columns``'s (``"bytes"``: fixed-width bytes columns, unchecked).

    Errors: a recipe fault raises first, with a note naming the APID; a stream
    cut short raises ValueError as ``split_ccsds`` does; a packet fault raises
    what ``unpack_columns`` raises for it, with notes naming the packet (its
    number among its APID's packets and its bytes in the data), the item and the
    APID. APIDs are decoded in ascending order; the first fault found is raised
    and nothing is returned.
    """
    columns, skipped = _native.unpack_ccsds(data, recipes, offset=offset, text=text)
    return CcsdsColumns(columns, skipped)
