"""Tables of numpy columns that export themselves to Arrow (PyCapsule interface)."""

from __future__ import annotations

import inspect
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

from bitloom_bulk import _native

if TYPE_CHECKING:
    from typing_extensions import Buffer

    from bitloom_bulk._native import Layout

_Recipe: TypeAlias = "Sequence[Mapping[str, object]] | Layout"


class Table(dict[str, Any]):
    """A table of numpy columns, ``{name: column}``: a plain dict, that also
    exports itself to Arrow through the Arrow PyCapsule interface.

    ``__arrow_c_stream__()`` gives a stream of one struct record batch (one
    field per column, in the dict's order), ``__arrow_c_array__()`` the table
    as one struct array, ``__arrow_c_schema__()`` its schema. Numeric columns
    (integers, floats, ``float16`` as halffloat), fixed-width bytes (``S<n>``:
    fixed_size_binary) and ``datetime64`` / ``timedelta64`` (timestamp and
    duration; NaT a null) go over without a copy: Arrow's buffers are the
    columns' memory, kept alive until Arrow lets go of them. A 2-D column is a
    fixed-size list over the same memory, and an :class:`ArrowColumn` (what
    ``text="arrow"`` gives) is utf8 over its own buffers. Converted: ``bool``
    (packed into bits), object columns of ``str`` (utf8, large_utf8 past 2 GiB of text) or
    ``bytes`` (binary, large_binary), ``None`` a null; an object column
    without either (empty, or only ``None``) is utf8. Any other dtype raises
    ``TypeError`` naming the column and its dtype; columns of different
    lengths raise ``ValueError``.

    ``requested_schema`` is not applied: the table's own schema is exported
    (the interface lets a producer do so; the consumer casts if it wants).

    pyarrow's ``pa.table()`` and ``pa.record_batch()`` and polars'
    ``pl.DataFrame()`` read any dict as a dict of columns before they look for
    the interface: :meth:`as_arrow` gives an object that is not a dict, which
    they read through it (``pa.table(t.as_arrow())``).
    """

    __slots__ = ()

    def __arrow_c_schema__(self) -> object:
        """A PyCapsule ``"arrow_schema"``: the table's schema, a struct."""
        return _native._arrow_schema(self)

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        """PyCapsules ``"arrow_schema"`` and ``"arrow_array"``: the table as
        one struct array (``requested_schema`` is not applied)."""
        return _native._arrow_array(self)

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """A PyCapsule ``"arrow_array_stream"``: a stream of one struct record
        batch, the table (``requested_schema`` is not applied)."""
        return _native._arrow_stream(self)

    def as_arrow(self) -> ArrowTable:
        """The table as an object that only exports to Arrow (not a dict),
        for readers that take a dict as a dict of columns first:
        ``pa.table(t.as_arrow())``, ``pl.DataFrame(t.as_arrow())``."""
        return ArrowTable(self)


Table.__module__ = "bitloom_bulk"


class ArrowTable:
    """A :class:`Table` seen only through the Arrow PyCapsule interface (what
    :meth:`Table.as_arrow` gives); each export reads the table as it is then."""

    __slots__ = ("table",)

    def __init__(self, table: Table) -> None:
        self.table = table

    def __arrow_c_schema__(self) -> object:
        """As :meth:`Table.__arrow_c_schema__`."""
        return _native._arrow_schema(self.table)

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        """As :meth:`Table.__arrow_c_array__`."""
        return _native._arrow_array(self.table)

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """As :meth:`Table.__arrow_c_stream__`."""
        return _native._arrow_stream(self.table)

    def __repr__(self) -> str:
        return f"<bitloom_bulk.ArrowTable of {len(self.table)} columns>"


ArrowTable.__module__ = "bitloom_bulk"


def as_tables(found: Mapping[Any, dict[str, Any]]) -> dict[Any, Table]:
    """Every table of ``found`` as a :class:`Table` (those that are one kept)."""
    return {key: t if type(t) is Table else Table(t) for key, t in found.items()}


if TYPE_CHECKING:

    def unpack_columns(
        data: Buffer,
        recipe: _Recipe,
        *,
        packet_bytes: int | None = None,
        offsets: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex] | None = None,
        lengths: npt.NDArray[np.integer[Any]] | Sequence[SupportsIndex] | None = None,
        offset_bits: int = 0,
        text: Literal["object", "bytes", "arrow"] = "object",
        threads: int | None = None,
    ) -> Table:
        """Decode many packets into one numpy column per recipe item."""

else:

    def unpack_columns(*args, **kwargs):
        # The arguments go to the native function as they are, which reads
        # and refuses them with its own messages.
        return Table(_native.unpack_columns(*args, **kwargs))

    unpack_columns.__doc__ = _native.unpack_columns.__doc__
    unpack_columns.__signature__ = inspect.signature(_native.unpack_columns)
