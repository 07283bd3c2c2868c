from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Literal, SupportsIndex, TypeAlias, final, overload

import numpy as np
import numpy.typing as npt
from typing_extensions import Buffer

_Recipe: TypeAlias = Sequence[Mapping[str, object]] | Layout
_Values: TypeAlias = Mapping[str, object] | Sequence[object]

@final
class Layout:
    """A recipe read once: compile(recipe) makes one."""

    @property
    def names(self) -> tuple[str, ...]:
        """The items' names, in recipe order."""
    @property
    def packet_bits(self) -> int:
        """The size of a packed packet in bits."""
    @property
    def recipe(self) -> list[dict[str, Any]]:
        """The recipe as plain data (no values)."""
    def unpack(self, packet: Buffer, offset_bits: int = 0) -> dict[str, Any]:
        """Decode one packet into a dict, as unpack_parameters does."""
    def pack(self, values: _Values, /) -> bytes:
        """Build the packet of the recipe carrying these values (a mapping from name to value, or a sequence in recipe order), as pack_parameters does."""
    def pack_into(self, buffer: Buffer, offset_bits: int, values: _Values) -> None:
        """Write the fields into a writable buffer at a bit offset, leaving every other bit as it was."""
    def pack_columns(self, columns: Mapping[str, Buffer], /) -> bytes:
        """Build the packets of many rows at once: columns maps each item's name to a one-dimensional array (integers or floats for numbers, objects or 'U<n>' strings for text), all of one length; the packets, each what pack() gives for its row, come back concatenated in one bytes object."""
    def __reduce__(self) -> tuple[Any, ...]: ...

@final
class ArrowColumn:
    """A column of str in Arrow's string layout (utf8; large_utf8 past 2 GiB): int32 offsets and UTF-8 bytes that it owns and exports through the Arrow PyCapsule interface without a copy. Definitions.decode(..., binary='arrow') gives columns of bytes in Arrow's binary layout (binary; large_binary past 2 GiB)."""

    def __new__(cls, values: Iterable[str] = (), /) -> ArrowColumn: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex, /) -> Any:
        """Value i: a str, or bytes in a binary column."""
    def to_pylist(self) -> list[Any]:
        """The values as a list of str (of bytes for a binary column)."""
    def to_numpy(self) -> npt.NDArray[np.object_]:
        """The values as a numpy object array of str or bytes (a copy)."""
    def __array__(self, dtype: Any = None, copy: bool | None = None) -> npt.NDArray[Any]:
        """The values as a numpy object array."""
    def __arrow_c_schema__(self) -> object:
        """A PyCapsule 'arrow_schema': utf8, large_utf8, binary or large_binary."""
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        """PyCapsules 'arrow_schema' and 'arrow_array' over the column's own buffers (requested_schema is not applied)."""
    @staticmethod
    def _from_buffers(
        offsets: Buffer,
        data: Buffer,
        large: bool,
        binary: bool = False,
        views: bool = False,
        /,
    ) -> ArrowColumn:
        """A column over copies of little-endian offsets and UTF-8 data (any bytes when binary; in a binary_view column with views), checked (what pickling gives back)."""
    def __reduce__(self) -> tuple[Any, ...]: ...

def compile(recipe: _Recipe, /) -> Layout:
    """Read a recipe once into a Layout."""

@overload
def unpack_columns(
    data: Buffer,
    recipe: _Recipe,
    *,
    packet_bytes: int | None = None,
    offsets: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex] | None = None,
    lengths: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex] | None = None,
    offset_bits: int = 0,
    text: Literal["object", "bytes"] = "object",
    threads: int | None = None,
) -> dict[str, npt.NDArray[Any]]:
    """Decode many packets into one numpy column per recipe item."""

@overload
def unpack_columns(
    data: Buffer,
    recipe: _Recipe,
    *,
    packet_bytes: int | None = None,
    offsets: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex] | None = None,
    lengths: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex] | None = None,
    offset_bits: int = 0,
    text: Literal["arrow"],
) -> dict[str, npt.NDArray[Any] | ArrowColumn]:
    """Decode many packets into one numpy column per recipe item."""

@overload
def unpack_repeated(
    data: Buffer,
    recipe: _Recipe,
    offsets: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex],
    lengths: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex],
    starts: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex],
    counts: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex],
    stride: int,
    *,
    owners: Literal[False] = False,
    threads: int | None = None,
) -> dict[str, npt.NDArray[Any]]:
    """Decode a recipe's numeric items counts[i] times in packet i, instance k at bit starts[i] + k * stride, into one column per item (a row per instance)."""

@overload
def unpack_repeated(
    data: Buffer,
    recipe: _Recipe,
    offsets: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex],
    lengths: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex],
    starts: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex],
    counts: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex],
    stride: int,
    *,
    owners: Literal[True],
    threads: int | None = None,
) -> tuple[dict[str, npt.NDArray[Any]], npt.NDArray[np.int64]]:
    """The same, with each row's packet index i (int64): (columns, owners)."""

def packet_crcs(
    data: Buffer,
    offsets: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex],
    lengths: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex],
) -> tuple[npt.NDArray[np.uint16], npt.NDArray[np.uint16]]:
    """The CRC-16-CCITT of each packet but its last two bytes, and those two bytes (big-endian), as two uint16 columns."""

def _label_column(
    values: npt.NDArray[Any], low: int, labels: tuple[Any, ...]
) -> tuple[npt.NDArray[np.object_], npt.NDArray[np.bool_] | None]:
    """An enumeration's labels of integer raw values (read flat), and the elements without one."""

def _polynomial_column(
    values: npt.NDArray[Any], coefficients: tuple[float, ...]
) -> npt.NDArray[np.float64]:
    """A polynomial of numeric raw values (read flat) by Horner's rule in float64."""

def byte_slices(
    data: Buffer,
    offsets: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex],
    lengths: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex],
) -> npt.NDArray[np.object_]:
    """A numpy object column of the bytes data[offsets[i]:offsets[i] + lengths[i]]."""

def binary_column(
    data: Buffer,
    starts: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex],
    sizes: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex],
    view: bool = False,
) -> ArrowColumn:
    """An ArrowColumn of bytes (binary): value i the sizes[i] bytes from bit starts[i] of the data, copied into one buffer without the GIL. With view, in Arrow's binary_view layout: over the data itself where it is read-only (the column holds it), else over a copy of the values."""

@overload
def split_ccsds(
    data: Buffer, *, offset: int = 0, allow_partial: bool = False, narrow: Literal[False] = False
) -> tuple[
    npt.NDArray[np.int64],
    npt.NDArray[np.int64],
    npt.NDArray[np.uint16],
    npt.NDArray[np.uint16],
    int,
]: ...
@overload
def split_ccsds(
    data: Buffer, *, offset: int = 0, allow_partial: bool = False, narrow: bool
) -> tuple[
    npt.NDArray[np.int64 | np.int32],
    npt.NDArray[np.int64 | np.int32],
    npt.NDArray[np.uint16],
    npt.NDArray[np.uint16],
    int,
]:
    """Frame a CCSDS space packet stream by its primary headers."""

def unpack_ccsds(
    data: Buffer,
    recipes: Mapping[int, _Recipe] | Mapping[np.integer[Any], _Recipe],
    *,
    offset: int = 0,
    text: Literal["object", "bytes", "arrow"] = "object",
    crc: Buffer | None = None,
    threads: int | None = None,
    stream: Buffer | npt.NDArray[np.int64] | None = None,
) -> tuple[Any, ...]:
    """Decode a mixed-APID CCSDS stream into columns per APID."""

def pack_ccsds(
    entries: list[tuple[int, Layout, Any, int, int, int]],
    order: npt.NDArray[np.uint16] | None,
) -> bytes:
    """Pack tables of columns per APID into one CCSDS space packet stream."""

def _arrow_schema(table: Mapping[str, Any], /) -> object:
    """A PyCapsule 'arrow_schema': the schema of a dict of numpy columns."""

def _arrow_array(table: Mapping[str, Any], /) -> tuple[object, object]:
    """PyCapsules 'arrow_schema' and 'arrow_array': a dict of numpy columns as one Arrow struct array."""

def _arrow_stream(table: Mapping[str, Any], /) -> object:
    """A PyCapsule 'arrow_array_stream': a dict of numpy columns as an Arrow stream of one struct record batch."""
