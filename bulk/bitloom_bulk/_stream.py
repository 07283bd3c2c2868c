"""CCSDS space packet streams: framing by primary headers."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from bitloom_bulk import _ccsds


class Frames(NamedTuple):
    """The packets of a CCSDS stream, in stream order.

    ``offsets`` (int64): each packet's first byte in the data; ``lengths``
    (int64): each packet's size in bytes (its length field + 7); ``apids``
    (uint16): the 11-bit APID; ``sequence_counts`` (uint16): the 14-bit
    sequence count; ``end`` (int): the byte offset where framing stopped (the
    end of the data, or with ``allow_partial`` the first byte of a packet the
    data cuts short). ``offsets`` and ``lengths`` are int64 so that they can be
    used for indexing and slicing without conversion.
    """

    offsets: npt.NDArray[np.int64]
    lengths: npt.NDArray[np.int64]
    apids: npt.NDArray[np.uint16]
    sequence_counts: npt.NDArray[np.uint16]
    end: int


def split_ccsds(data: object, *, offset: int = 0, allow_partial: bool = False) -> Frames:
    """Frame a stream of CCSDS space packets by their primary headers.

    ``data`` is any C-contiguous buffer (bytes, bytearray, memoryview, mmap, a
    numpy array), read in place and held for the call; framing runs without
    the GIL. Framing starts at byte ``offset`` and walks packet after packet.
    A final packet that the data cuts short, or a header with fewer than 6
    bytes left, raises ValueError naming its byte offset, its declared length
    and the bytes left; with ``allow_partial=True`` it is left out and ``end``
    is where it begins (where a live stream's next chunk starts).
    """
    offsets, lengths, apids, counts, end = _ccsds.split_ccsds(
        data, offset=offset, allow_partial=allow_partial
    )
    return Frames(
        np.frombuffer(offsets, dtype=np.int64),
        np.frombuffer(lengths, dtype=np.int64),
        np.frombuffer(apids, dtype=np.uint16),
        np.frombuffer(counts, dtype=np.uint16),
        end,
    )
