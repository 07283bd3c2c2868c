"""bitloom_bulk: whole archives and packet streams, compiled layouts, recipe files
and checks, and a command line, built on the same packet rules as ``bitloom``.

This package never imports ``bitloom``.
"""

# The native module first: in a sub-interpreter it refuses with its own
# ImportError before anything imports numpy.
from bitloom_bulk._native import ArrowColumn, Layout, compile  # isort: split

from bitloom_bulk import ccsds
from bitloom_bulk._ccsdspy import load_ccsdspy
from bitloom_bulk._definition_checks import check_definitions
from bitloom_bulk._definitions import DefinitionError, Definitions, Fault, PacketType
from bitloom_bulk._definitions_decode import Decoded
from bitloom_bulk._definitions_files import dump_definitions, load_definitions
from bitloom_bulk._live import StreamDecoder, decode_stream
from bitloom_bulk._quality import CrcFault, Quality, SequenceGap, SequenceRepeat
from bitloom_bulk._stream import CcsdsColumns, Frames, pack_ccsds, split_ccsds, unpack_ccsds
from bitloom_bulk._table import ArrowTable, Table, unpack_columns
from bitloom_bulk._types import (
    ByteOrder,
    Encoding,
    FloatPackItem,
    IntegerPackItem,
    PackItem,
    TextPackItem,
    UnpackItem,
)
from bitloom_bulk._xtce import load_xtce
from bitloom_bulk._xtce_types import Refusal
from bitloom_bulk.recipes import (
    Finding,
    RecipeFileError,
    check_recipe,
    dump_recipe,
    field,
    load_recipe,
)

__version__ = "0.2.0"

__all__ = [
    "ArrowColumn",
    "ArrowTable",
    "ByteOrder",
    "CcsdsColumns",
    "CrcFault",
    "Decoded",
    "DefinitionError",
    "Definitions",
    "Encoding",
    "Fault",
    "Finding",
    "FloatPackItem",
    "Frames",
    "IntegerPackItem",
    "Layout",
    "PackItem",
    "PacketType",
    "Quality",
    "RecipeFileError",
    "Refusal",
    "SequenceGap",
    "SequenceRepeat",
    "StreamDecoder",
    "Table",
    "TextPackItem",
    "UnpackItem",
    "__version__",
    "ccsds",
    "check_definitions",
    "check_recipe",
    "compile",
    "decode_stream",
    "dump_definitions",
    "dump_recipe",
    "field",
    "load_ccsdspy",
    "load_definitions",
    "load_recipe",
    "load_xtce",
    "pack_ccsds",
    "split_ccsds",
    "unpack_ccsds",
    "unpack_columns",
]
