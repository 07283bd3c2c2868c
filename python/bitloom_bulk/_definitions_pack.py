"""Packing a table of one packet type back into packets.

A type whose every item has a fixed place and size (plain items, fixed-size
text and binary fields, byte permutations, arrays of a fixed count) is one
flat recipe: the lineage's items in order. The table's columns go through
``Layout.pack_columns`` for that recipe, after three rewrites that keep the
packing in the column kernel:

- an array of N elements becomes N items, fed by the column's N columns;
- a permuted number is packed big-endian on its own, its bytes moved to where
  they are stored, and the stored bytes packed as an unsigned number;
- a binary field of N bytes becomes unsigned items of up to 8 bytes each, fed
  by the bytes themselves viewed as big-endian integers.

Before anything is packed, every row is routed as ``Definitions.decode``
routes a packet (roots and children in definition order, the first whose
``where`` holds): a row whose packet would decode as another type, or as none,
is refused, since packets that do not come back as the table they were made
from are a fault in the table, not something to write quietly.
"""

from __future__ import annotations

import itertools
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from bitloom_bulk import _native
from bitloom_bulk._definitions import (
    BINARY,
    DefinitionError,
    FromField,
    Item,
    Node,
    PacketType,
    When,
    condition_fields,
)
from bitloom_bulk._definitions_decode import _holds
from bitloom_bulk._notes import add_note

if TYPE_CHECKING:
    from bitloom_bulk._definitions import Definitions


def _node_of(definitions: Definitions, packet_type: Any) -> Node:
    if isinstance(packet_type, PacketType):
        name = packet_type.name
    elif isinstance(packet_type, str):
        name = packet_type
    else:
        raise TypeError(
            f"pack_columns() takes a type's name or the PacketType, not {type(packet_type).__name__}"
        )
    for node in definitions.nodes():
        if node.name == name:
            if isinstance(packet_type, PacketType) and definitions[name] != packet_type:
                raise DefinitionError(
                    "this PacketType is not the one of these definitions", type=name
                )
            if node.abstract:
                raise DefinitionError("an abstract type has no table to pack", type=name)
            return node
    raise KeyError(name)


def _refuse(node: Node, item: Item, why: str) -> DefinitionError:
    return DefinitionError(f"cannot be packed from columns: {why}", type=node.name, item=item.name)


def _fixed(node: Node, item: Item) -> None:
    """Refuse what has no fixed place or size in every packet."""
    if item.kind == "records":
        raise _refuse(node, item, "records make a child table")
    if isinstance(item.count, (FromField, When)):
        raise _refuse(node, item, "its count comes from the packet")
    if not isinstance(item.bits, int):
        raise _refuse(node, item, "its size comes from the packet")
    if item.offset is not None and item.offset < 0:
        raise _refuse(node, item, "its place is counted from the packet's end")


def _whole_bytes(column: Any, name: str, nbytes: int, rows: int) -> npt.NDArray[np.uint8]:
    """A binary column's values as a (rows, nbytes) array, each exactly nbytes."""
    array = np.asarray(column)
    if array.ndim != 1:
        raise ValueError(f"column {name!r} must be one-dimensional, not of {array.ndim} dimensions")
    if array.dtype.kind == "S" or array.dtype.kind == "V":
        if array.dtype.itemsize != nbytes:
            raise ValueError(
                f"column {name!r} holds values of {array.dtype.itemsize} bytes, but the field"
                f" holds {nbytes}"
            )
        flat = np.ascontiguousarray(array).view(np.uint8)
        return flat.reshape(len(array), nbytes)
    if array.dtype != object:
        raise TypeError(
            f"column {name!r} of dtype {array.dtype} cannot carry a binary field: it takes"
            " bytes objects ('O') or fixed-width bytes ('S<n>')"
        )
    parts = []
    for row, value in enumerate(array):
        if not isinstance(value, (bytes, bytearray, memoryview)):
            raise TypeError(f"row {row} of column {name!r} is a {type(value).__name__}, not bytes")
        value = bytes(value)
        if len(value) != nbytes:
            raise ValueError(
                f"row {row} of column {name!r} holds {len(value)} bytes, but the field holds {nbytes}"
            )
        parts.append(value)
    return np.frombuffer(b"".join(parts), dtype=np.uint8).reshape(rows, nbytes)


def _as_unsigned(images: npt.NDArray[np.uint8]) -> list[npt.NDArray[np.uint64]]:
    """Rows of bytes as big-endian unsigned numbers of up to 8 bytes each."""
    rows, n = images.shape
    out = []
    for start in range(0, n, 8):
        part = images[:, start : start + 8]
        wide = np.zeros((rows, 8), dtype=np.uint8)
        wide[:, 8 - part.shape[1] :] = part
        out.append(wide.view(">u8").reshape(rows).astype(np.uint64))
    return out


def _unsigned_items(name: str, bits: int, offset: int | None) -> list[dict[str, Any]]:
    items = []
    for start in range(0, bits, 64):
        item: dict[str, Any] = {
            "name": f"{name}[{start // 8}:]",
            "encoding": "unsigned",
            "bits": min(64, bits - start),
            "byte_order": "big",
            "reverse_bits": False,
        }
        if start == 0 and offset is not None:
            item["offset_bits"] = offset
        items.append(item)
    return items


def _permuted(item: Item, element: dict[str, Any], column: Any, rows: int) -> npt.NDArray[np.uint8]:
    """The stored bytes of a permuted number: its big-endian image packed, then
    each image byte put where the permutation reads it from."""
    assert item.permutation is not None
    n = len(item.permutation)
    image_layout = _native.compile([{**element, "name": item.name}])
    try:
        packed = image_layout.pack_columns({item.name: column})
    except Exception as exc:
        add_note(
            exc,
            f"while packing {item.name!r}, whose bytes are stored as {item.item['byte_order']!r}",
        )
        raise
    images = np.frombuffer(packed, dtype=np.uint8).reshape(rows, n)
    stored = np.empty_like(images)
    stored[:, list(item.permutation)] = images
    return stored


def _route_fault(
    definitions: Definitions, node: Node, columns: Mapping[str, Any], rows: int
) -> None:
    """Refuse the first row that would not decode as ``node``'s type."""
    lineage = node.lineage()
    ok = np.ones(rows, dtype=bool)
    raw = {name: np.asarray(c) for name, c in columns.items()}
    levels = [(definitions.roots(), lineage[0])]
    levels += [(parent.children, child) for parent, child in itertools.pairwise(lineage)]
    for siblings, chosen in levels:
        for sibling in siblings:
            holds = (
                np.ones(rows, dtype=bool)
                if sibling.where is None
                else _holds(sibling.where, raw, rows)
            )
            if sibling is chosen:
                ok &= holds
                break
            ok &= ~holds
    for child in node.children:
        if child.where is None:
            ok[:] = False
        else:
            ok &= ~_holds(child.where, raw, rows)
    if ok.all():
        return
    row = int(np.flatnonzero(~ok)[0])
    one = {name: column[row : row + 1] for name, column in raw.items()}
    reached = _decoded_as(definitions.roots(), None, one)
    raise ValueError(
        f"row {row} of the columns would decode {reached}, not as {node.name!r}: its values"
        " do not meet the type's where, or meet an earlier or a child type's"
    )


def _decoded_as(children: list[Node], node: Node | None, one: dict[str, Any]) -> str:
    """Where a row's packet goes, followed as far as the row's own fields tell."""
    for child in children:
        if child.where is not None and not set(condition_fields(child.where)) <= set(one):
            # A type off the row's line reads fields the row does not have.
            assert node is not None
            return f"as type {node.name!r} or a type under it"
        if child.where is None or bool(_holds(child.where, one, 1)[0]):
            return _decoded_as(child.children, child, one)
    return "as no type" if node is None or node.abstract else f"as type {node.name!r}"


def pack_columns(
    definitions: Definitions, packet_type: Any, columns: Any, packet_bytes: int | None = None
) -> bytes:
    """The packets of ``packet_type``'s table ``columns``, concatenated, each
    padded with zero bytes to ``packet_bytes`` where that is given."""
    node = _node_of(definitions, packet_type)
    if packet_bytes is not None and (
        not isinstance(packet_bytes, int) or isinstance(packet_bytes, bool) or packet_bytes < 0
    ):
        raise TypeError(f"packet_bytes must be None or an int of at least 0, not {packet_bytes!r}")
    fields = node.fields()
    for item in fields:
        _fixed(node, item)
    if not isinstance(columns, Mapping):
        raise TypeError(
            f"columns must be a mapping from field name to column, not {type(columns).__name__!r}"
        )
    names = [item.name for item in fields]
    for name in names:
        if name not in columns:
            raise ValueError(f"columns has no column for field {name!r} of type {node.name!r}")
    for name in columns:
        if name not in names:
            raise ValueError(f"columns holds {name!r}, which names no field of type {node.name!r}")
    lengths = {name: len(np.asarray(columns[name])) for name in names}
    rows = lengths[names[0]] if names else 0
    for name, length in lengths.items():
        if length != rows:
            raise ValueError(
                f"column {name!r} holds {length} rows but column {names[0]!r} holds {rows}"
            )
    _route_fault(definitions, node, columns, rows)

    recipe: list[dict[str, Any]] = []
    flat: dict[str, Any] = {}
    taken = set(names)

    def place(element: dict[str, Any], value: Any, made: bool) -> None:
        # Elements and byte chunks get names of their own, which must not be
        # a field's name or each other's.
        if element["name"] in flat or (made and element["name"] in taken):
            raise _refuse(node, item, f"the name {element['name']!r} it packs under is taken")
        recipe.append(element)
        flat[element["name"]] = value

    for item in fields:
        column = columns[item.name]
        element = item.plain_item()
        assert isinstance(item.bits, int)
        if item.count is not None:
            assert isinstance(item.count, int)
            array = np.asarray(column)
            if array.ndim != 2 or array.shape[1] != item.count:
                raise ValueError(
                    f"column {item.name!r} must be of shape (rows, {item.count}), not {array.shape}"
                )
            parts = [(f"{item.name}[{i}]", array[:, i]) for i in range(item.count)]
        else:
            parts = [(item.name, column)]
        for index, (name, value) in enumerate(parts):
            offset = item.offset if index == 0 else None
            if item.kind == "binary" or item.permutation is not None:
                if item.kind == "binary":
                    images = _whole_bytes(value, item.name, item.bits // 8, rows)
                else:
                    images = _permuted(item, element, value, rows)
                for sub, part in zip(
                    _unsigned_items(name, item.bits, offset), _as_unsigned(images), strict=True
                ):
                    place(sub, part, True)
                continue
            one = {**element, "name": name}
            if offset is not None:
                one["offset_bits"] = offset
            place(one, value, name != item.name)
    assert all(item.encoding != BINARY or item.kind == "binary" for item in fields)
    layout = _native.compile(recipe)
    size = (layout.packet_bits + 7) // 8
    if packet_bytes is not None and packet_bytes < size:
        raise ValueError(
            f"packet_bytes is {packet_bytes}, but a packet of type {node.name!r} takes {size} bytes"
        )
    try:
        packed = layout.pack_columns(flat)
    except Exception as exc:
        add_note(exc, f"while packing the table of type {node.name!r}")
        raise
    if packet_bytes is None or packet_bytes == size or rows == 0:
        return packed
    padded = np.zeros((rows, packet_bytes), dtype=np.uint8)
    padded[:, :size] = np.frombuffer(packed, dtype=np.uint8).reshape(rows, size)
    return padded.tobytes()
