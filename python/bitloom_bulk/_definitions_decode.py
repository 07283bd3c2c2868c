"""Decoding packets by their definitions, column by column.

The packets are framed once; then each type of the tree decodes its own items
for every packet that reached it, as columns, and hands each packet on to the
first child whose ``where`` holds. Every number is decoded by the column
kernel (``unpack_columns``) at a per-packet start: runs of items with fixed
widths go in one call, arrays and records as many small "packets", one per
element or record. Byte gathers (binary fields, permutations, time codes) are
numpy indexing. Faults are found per packet, and a faulty packet goes no
further: with ``errors="skip"`` it is left out of every table.
"""

from __future__ import annotations

import operator
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from functools import partial
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from bitloom_bulk import _frames, _native
from bitloom_bulk._definitions import (
    OPERATORS,
    AllOf,
    AnyOf,
    Compare,
    Condition,
    Fault,
    FromField,
    Item,
    Node,
    Rest,
    Terminated,
    When,
    condition_fields,
)
from bitloom_bulk._recipe_items import TEXT_ENCODINGS
from bitloom_bulk._table import Table, as_tables

if TYPE_CHECKING:
    from bitloom_bulk._definitions import Definitions
    from bitloom_bulk._native import Layout

I64 = npt.NDArray[np.int64]
# Packet numbers, offsets and lengths: int32 where the data allow (they are
# internal and there are several of each per packet), else int64.
Index = npt.NDArray[np.signedinteger[Any]]
# Below this many bytes of data, packet numbers, offsets and ends fit int32.
_NARROW = 1 << 31
# Bytes gathered by one numpy indexing of the data (its index array is 8
# bytes per byte).
_GATHER = 1 << 20
# Rows of packets decoded by one kernel call when a call has to be repeated to
# find the packets whose values fail to decode.
_CHUNK = 4096
# A size, a count or a time beyond this is certainly a fault; below it int64
# arithmetic cannot overflow.
_SAFE = 1 << 40
# The encodings whose every raw value decodes.
_INFALLIBLE = frozenset(
    {
        "unsigned",
        "twos_complement",
        "ones_complement",
        "sign_magnitude",
        "ieee754_f32",
        "ieee754_f64",
    }
)


class Decoded(dict[str, Table]):
    """What ``Definitions.decode`` returns: ``{type name: {field: column}}`` for
    every concrete type (empty columns where no packet is of it) and
    ``{"<type>/<item>": {...}}`` for child tables (each table a
    :class:`Table`, which exports itself to Arrow), with ``unmatched`` (packets
    of no concrete type: ``{apid: count}`` under CCSDS framing, ``{None:
    count}`` otherwise), ``faults`` (a list of :class:`Fault`), ``times``
    (``{type: (field, ...)}``: the datetime64 columns of each type's table,
    those of its items with ``time``) and ``first_rows`` (``{type: row}``:
    the number of the type's first row, which a child table's ``packet``
    counts from; not 0 only in the batches of a :class:`StreamDecoder`,
    whose rows count from its start)."""

    unmatched: dict[int | None, int]
    faults: list[Fault]
    times: dict[str, tuple[str, ...]]
    first_rows: dict[str, int]

    def __init__(
        self,
        tables: Mapping[str, dict[str, Any]],
        unmatched: dict[int | None, int],
        faults: list[Fault],
        times: dict[str, tuple[str, ...]] | None = None,
        *,
        first_rows: dict[str, int] | None = None,
    ) -> None:
        super().__init__(as_tables(tables))
        self.unmatched = unmatched
        self.faults = faults
        self.times = {} if times is None else times
        self.first_rows = {} if first_rows is None else first_rows

    def __reduce__(self) -> tuple[Any, ...]:
        # The other attributes (first_rows, a stream batch's quality) as state.
        args = (dict(self), self.unmatched, self.faults, self.times)
        state = {
            k: v for k, v in self.__dict__.items() if k not in ("unmatched", "faults", "times")
        }
        return (Decoded, args, state)

    def to_pandas(self) -> dict[str, Any]:
        """Every table as a pandas DataFrame, by the same keys (pandas is an
        optional extra). A 2-D column (an array of fixed count) becomes the
        columns ``NAME[0]``, ``NAME[1]``, ...; dtypes are kept."""
        return _frames.tables_to_pandas(self)

    def to_xarray(self) -> dict[str, Any]:
        """Every table as an xarray Dataset, by the same keys (xarray is an
        optional extra): a type's along the dimension ``packet``, a child
        table's along ``row`` (its ``packet`` variable is the row of the
        packet in the type's table); a 2-D column gets the dimension
        ``NAME_index``. The time fields (``times``) are coordinates, and a
        child table's rows get their packet's time fields as coordinates."""
        return _frames.tables_to_xarray(self, self.times, self.first_rows)


Decoded.__module__ = "bitloom_bulk"


@dataclass
class _Child:
    """A child table in the making: the packets (indices in the input) that
    have rows in it, how many rows each, and its columns (each packet's rows
    together, in packet order); ``owner``, where the kernel gave it, is each
    row's index in ``packets``."""

    item: str
    packets: Index
    counts: I64
    columns: dict[str, Any]
    owner: I64 | None = None


@dataclass
class _Deferred:
    """A run of plain items that cannot fail to decode, already checked to lie
    inside every packet: decoded once the packets' types are known, for the
    packets of each table only. ``start`` is the run's first bit in every
    packet (an int when it is the same in all)."""

    items: list[Item]
    start: int | I64


def _filter(value: Any, mask: npt.NDArray[np.bool_]) -> Any:
    return value[mask] if isinstance(value, np.ndarray) else value


@dataclass
class _Slices:
    """A binary column still to be gathered (``binary="arrow"`` or ``"view"``): value i the
    ``sizes[i]`` bytes from bit ``starts[i]`` of the data. Rows dropped later
    drop here (indexing by a mask, as an array column), so that the
    ArrowColumn is built once, for the kept rows only, by :func:`_table`."""

    starts: I64
    sizes: I64

    def __getitem__(self, mask: Any) -> _Slices:
        return _Slices(self.starts[mask], self.sizes[mask])

    def __len__(self) -> int:
        return len(self.starts)

    def build(self, run: _Run) -> Any:
        return _native.binary_column(run.data, self.starts, self.sizes, view=run.views)


@dataclass
class _State:
    """The packets at a type: their indices, the bit where the next item
    starts in each (an int when it is the same in all), the raw values the
    wheres and sizes below read, the table's columns so far (arrays, or runs
    decoded later) and the child tables."""

    rows: Index
    position: int | I64
    raw: dict[str, Any] = field(default_factory=dict)
    columns: dict[str, Any] = field(default_factory=dict)
    children: list[_Child] = field(default_factory=list)
    # Per-row values of the item being decoded (its starts, sizes, counts,
    # values), kept in step with the rows when a packet faults.
    local: dict[str, Any] = field(default_factory=dict)
    least: int | None = None

    def shortest(self, run: _Run) -> int:
        """The bits of the shortest packet of the state (found once: a state
        only loses rows)."""
        if self.least is None:
            if not len(self.rows):
                self.least = 0
            elif len(self.rows) == len(run.lengths):
                self.least = 8 * int(run.lengths.min())
            else:
                self.least = 8 * int(run.lengths[self.rows].min())
        return self.least

    def _columns(self, mask: npt.NDArray[np.bool_]) -> dict[str, Any]:
        done: dict[int, _Deferred] = {}
        out: dict[str, Any] = {}
        for name, value in self.columns.items():
            if isinstance(value, _Deferred):
                if id(value) not in done:
                    done[id(value)] = _Deferred(value.items, _filter(value.start, mask))
                out[name] = done[id(value)]
            else:
                out[name] = value[mask]
        return out

    def keep(self, mask: npt.NDArray[np.bool_]) -> None:
        """Keep the rows where ``mask`` holds (the others have faulted)."""
        if mask.all():
            return
        self.rows = self.rows[mask]
        self.position = _filter(self.position, mask)
        self.raw = {k: v[mask] for k, v in self.raw.items()}
        self.columns = self._columns(mask)
        self.local = {k: _filter(v, mask) for k, v in self.local.items()}

    def subset(self, mask: npt.NDArray[np.bool_], needed: frozenset[str]) -> _State:
        """The state of the rows where ``mask`` holds, with the raw values of
        ``needed`` only. Arrays are shared, never changed in place."""
        raw = {k: v for k, v in self.raw.items() if k in needed}
        if mask.all():
            return _State(self.rows, self.position, raw, dict(self.columns), list(self.children))
        return _State(
            self.rows[mask],
            _filter(self.position, mask),
            {k: v[mask] for k, v in raw.items()},
            self._columns(mask),
            list(self.children),
        )


# Compiled layouts a set keeps between decodes; past this many (a text field
# of many sizes adds one per size) they are let go and made again.
_KEPT_LAYOUTS = 4096


class _Plans:
    """What decoding by one set of definitions works out once and keeps for
    every later decode (the set is not changed once built): compiled layouts
    by key, whether a layout decodes only numbers, the raw fields each type
    reads, the label tables of enumerations by range and whether an item's
    derivation gives a value for every raw value. Kept on the
    Definitions, never pickled; threads share it (a race compiles twice)."""

    def __init__(self) -> None:
        self.layouts: dict[Any, Layout] = {}
        self.numeric: dict[int, tuple[Layout, bool]] = {}
        self.needed: dict[str, frozenset[str]] = {}
        self.labels: dict[tuple[int, int, int], tuple[Any, ...]] = {}
        self.settled: dict[int, tuple[Item, bool]] = {}
        self.empty: dict[int, tuple[Layout, dict[str, np.dtype[Any]]]] = {}


def _plans(definitions: Definitions) -> _Plans:
    # getattr: a set unpickled from an older state has no such attribute.
    plans = getattr(definitions, "_plans", None)
    if plans is None:
        plans = definitions._plans = _Plans()
    return plans


class _Run:
    """One decode call: the packets, their framing and what was found wrong."""

    def __init__(
        self,
        data: Any,
        offsets: Index,
        lengths: Index,
        apids: Any,
        derived: bool,
        binary: str = "bytes",
        plans: _Plans | None = None,
    ) -> None:
        self.data = data
        # Binary columns as ArrowColumns (binary="arrow", in the binary_view
        # layout for "view"), else numpy object columns of bytes.
        self.arrow = binary in ("arrow", "view")
        self.views = binary == "view"
        self.view = memoryview(data).cast("B") if not isinstance(data, bytes) else data
        self.bytes = np.frombuffer(self.view, dtype=np.uint8)
        self.offsets = offsets
        self.lengths = lengths
        self.apids = apids
        self.derived = derived
        # Enumerations as codes of their categories rather than labels.
        self.codes = False
        self.faults: list[Fault] = []
        self.errors: dict[int, BaseException] = {}
        self.plans = _Plans() if plans is None else plans
        self.layouts = self.plans.layouts
        self._needed = self.plans.needed
        self._numeric = self.plans.numeric
        self._terminators: dict[int, I64] = {}
        # The offsets and lengths of the rows last asked for (the same rows
        # array is asked for by every item of a type and by its table).
        self._at: tuple[Index, Index, Index] | None = None
        self._stride: int | None = None
        # Framing found the packets one after another (not the caller's
        # offsets, which may lie anywhere).
        self.back_to_back = False

    def stride(self) -> int:
        """The packets' one length where they are all that long and lie back
        to back in the data (found once a call), else 0."""
        found = self._stride
        if found is None:
            found = 0
            count = len(self.lengths)
            if count:
                length = int(self.lengths[0])
                if (
                    length
                    and int(self.lengths.min()) == int(self.lengths.max()) == length
                    and (self.back_to_back or bool((np.diff(self.offsets) == length).all()))
                ):
                    found = length
            self._stride = found
        return found

    def window(self, begin: int, end: int) -> Any:
        """Bytes [begin, end) of the data, without a copy."""
        return memoryview(self.view)[begin:end]

    def terminators(self, byte: int) -> I64:
        """Where ``byte`` stands in the data, in order (found once a call)."""
        found = self._terminators.get(byte)
        if found is None:
            found = self._terminators[byte] = np.flatnonzero(self.bytes == byte)
        return found

    def layout(
        self, key: Any, items: list[dict[str, Any]] | Callable[[], list[dict[str, Any]]]
    ) -> Layout:
        """The layout of ``key``, compiled from ``items`` (or what calling it
        gives) the first time."""
        found = self.layouts.get(key)
        if found is None:
            found = _native.compile(items() if callable(items) else items)
            if len(self.layouts) >= _KEPT_LAYOUTS:
                self.layouts.clear()
            self.layouts[key] = found
        return found

    def numeric(self, layout: Layout) -> bool:
        """Whether every item of ``layout`` decodes to a number."""
        found = self._numeric.get(id(layout))
        if found is None or found[0] is not layout:
            found = (
                layout,
                all(str(item["encoding"]).lower() not in TEXT_ENCODINGS for item in layout.recipe),
            )
            if len(self._numeric) >= _KEPT_LAYOUTS:
                self._numeric.clear()
            self._numeric[id(layout)] = found
        return found[1]

    def lazy(self, item: Item) -> bool:
        """Whether the values of plain ``item`` can wait for the tables: its
        encoding decodes every raw value and no derivation it has (none is
        applied without ``derived``) refuses one."""
        if item.encoding not in _INFALLIBLE:
            return False
        if not item.derived or not self.derived:
            return True
        found = self.plans.settled.get(id(item))
        if found is None or found[0] is not item:
            found = (item, _never_refused(item))
            if len(self.plans.settled) >= _KEPT_LAYOUTS:
                self.plans.settled.clear()
            self.plans.settled[id(item)] = found
        return found[1]

    def needed(self, node: Node) -> frozenset[str]:
        """The fields whose raw values ``node`` or a type below it reads (in a
        where, a size or a count)."""
        found = self._needed.get(node.name)
        if found is None:
            names: set[str] = set()
            for item in node.items:
                for value in (item.bits, item.count):
                    if isinstance(value, FromField):
                        names.add(value.name)
                if isinstance(item.count, When):
                    names.update(condition_fields(item.count.cond))
            for child in node.children:
                names.update(condition_fields(child.where))
                names.update(self.needed(child))
            found = frozenset(names)
            self._needed[node.name] = found
        return found

    def at(self, rows: Index) -> tuple[Index, Index]:
        """The offsets and lengths of packets ``rows`` (increasing and
        distinct: all of them when as many; rows arrays are never changed in
        place, so the last ones asked for are kept by identity)."""
        if len(rows) == len(self.offsets):
            return self.offsets, self.lengths
        kept = self._at
        if kept is None or kept[0] is not rows:
            kept = self._at = (rows, self.offsets[rows], self.lengths[rows])
        return kept[1], kept[2]

    def bits_of(self, rows: Index) -> I64:
        """The sizes in bits of packets ``rows`` (int64: the lengths may be
        int32)."""
        return np.multiply(self.at(rows)[1], 8, dtype=np.int64)

    def packet(self, p: int) -> Any:
        start = int(self.offsets[p])
        return self.view[start : start + int(self.lengths[p])]

    def fault(
        self, packet: int, node: Node, item: str, error: BaseException, severity: str = "error"
    ) -> None:
        """Record a fault of ``packet`` (its first error is the one raised)."""
        self.faults.append(
            Fault(packet, int(self.offsets[packet]), node.name, item, str(error), severity)
        )
        if severity == "error" and packet not in self.errors:
            self.errors[packet] = error


def decode(
    definitions: Definitions,
    data: Any,
    *,
    packet_bytes: int | None,
    offsets: Any,
    lengths: Any,
    offset: int,
    derived: bool,
    errors: str,
    binary: str = "bytes",
    codes: bool = False,
) -> Decoded:
    """``Definitions.decode``; ``codes=True`` gives each enumerated column as
    the codes of its labels among :func:`enumeration_categories` (-1 for a
    raw value without a label) rather than the labels: what a categorical
    column is built from without an object per value."""
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    if not isinstance(binary, str) or binary not in ("bytes", "arrow", "view"):
        raise ValueError(f"binary must be 'bytes', 'arrow' or 'view', not {binary!r}")
    offset = operator.index(offset)
    if packet_bytes is None and offsets is None and lengths is None:
        route = apid_route(definitions)
        if route is not None:
            try:
                columns, skipped = _native.unpack_ccsds(data, route.keyed, offset=offset)
            except ValueError:
                pass  # the general way finds every fault, in stream order
            else:
                found = keyed_result(definitions, route, columns, skipped, derived, codes)
                if found is not None:
                    return found
    packet_offsets, packet_lengths, apids = _frame(data, packet_bytes, offsets, lengths, offset)
    run = _Run(
        data, packet_offsets, packet_lengths, apids, bool(derived), binary, _plans(definitions)
    )
    run.back_to_back = offsets is None
    run.codes = codes
    count = len(packet_offsets)
    state = _State(np.arange(count, dtype=packet_offsets.dtype), 0)
    tables: dict[str, dict[str, Any]] = {}
    outputs: dict[str, tuple[Index, _State]] = {}
    unmatched_rows: list[Index] = []
    _route(run, None, definitions.roots(), state, outputs, unmatched_rows)
    # The types' own states hold what the tables need; the root's rows go.
    del state
    if errors == "raise" and run.errors:
        first = min(run.errors)
        fault = next(f for f in run.faults if f.packet == first and f.severity == "error")
        exc = run.errors[first]
        exc.__notes__ = [
            f"while decoding item {fault.item!r} of packet type {fault.type!r}",
            f"in packet {first} (bytes {fault.offset} to"
            f" {fault.offset + int(packet_lengths[first])} of the data)",
        ]
        raise exc
    bad = np.zeros(count, dtype=bool)
    for packet in run.errors:
        bad[packet] = True
    unmatched: dict[int | None, int] = {}
    if unmatched_rows:
        rows = np.concatenate(unmatched_rows)
        rows = rows[~bad[rows]]
        if len(rows):
            if apids is None:
                unmatched[None] = len(rows)
            else:
                values, counts = np.unique(apids[rows], return_counts=True)
                unmatched = {int(a): int(c) for a, c in zip(values, counts, strict=True)}
    # Only the tables are left to make: what they do not read goes first.
    del unmatched_rows, apids
    run.apids = None
    for node in definitions.nodes():
        if node.abstract:
            continue
        # Each type's state is let go once its table is made.
        rows, final = outputs.pop(node.name)
        if run.errors:
            final.keep(~bad[rows])
        kept_rows = final.rows
        tables[node.name] = _table(run, final)
        if final.children:
            # Each packet's row in the type's table (-1: not in it).
            row_of = np.full(count, -1, dtype=np.int64)
            row_of[kept_rows] = np.arange(len(kept_rows), dtype=np.int64)
            for child in final.children:
                tables[f"{node.name}/{child.item}"] = _child_table(child, row_of[child.packets])
            del row_of
        del rows, final, kept_rows
    # A packet left out is listed once, by its error (its warnings, met
    # before the error in some items and not in others, go with it).
    faults = [f for f in run.faults if f.severity == "error" or f.packet not in run.errors]
    faults.sort(key=lambda f: f.packet)
    return Decoded(tables, unmatched, faults, time_fields(definitions, derived))


def _child_table(child: _Child, rows_at: I64) -> dict[str, Any]:
    """A child table's columns: ``packet`` (the row of each element's packet
    in its type's table, from ``rows_at``: that row for each of
    ``child.packets``, -1 for a packet left out) and the child's own."""
    inside = rows_at >= 0
    owner = child.owner
    if inside.all():
        # Every packet kept: each at its own row (the rows only lose packets,
        # in order), so the kernel's owners are the rows.
        if owner is not None and np.array_equal(rows_at, np.arange(len(rows_at))):
            packet = owner
        else:
            packet = np.repeat(rows_at, child.counts)
        return {"packet": packet, **child.columns}
    elements = inside[owner] if owner is not None else np.repeat(inside, child.counts)
    child_table = {"packet": np.repeat(rows_at[inside], child.counts[inside])}
    for name, column in child.columns.items():
        child_table[name] = column[elements]
    return child_table


def time_fields(definitions: Definitions, derived: bool) -> dict[str, tuple[str, ...]]:
    """The datetime64 columns of every type's table: its items with ``time``
    derived (a binary field of fixed bits, so always a column of the type's
    own table). Empty without ``derived``: those columns hold the raw bytes."""
    if not derived:
        return {}
    times: dict[str, tuple[str, ...]] = {}
    for node in definitions.nodes():
        names = tuple(i.name for i in node.fields() if "time" in i.derived)
        if names and not node.abstract:
            times[node.name] = names
    return times


@dataclass(repr=False)
class _ApidRoute:
    """How ``unpack_ccsds`` decodes a set sorted by APID alone: a layout per
    APID for the type ``children`` lists in the same order, the root, and
    the conditions every packet must meet on the way (abstract types without
    items between the root and those types, such as a version check)."""

    keyed: dict[int, Layout]
    children: list[Node]
    root: Node
    conditions: list[Condition]


_NO_ROUTE: Any = object()


def apid_route(definitions: Definitions) -> _ApidRoute | None:
    """The route of ``definitions`` by APID alone (found once a set), or None
    where the set needs the general way."""
    route = definitions._apid_route
    if route is None:
        route = definitions._apid_route = _by_apid(definitions) or _NO_ROUTE
    return None if route is _NO_ROUTE else route


def keyed_result(
    definitions: Definitions,
    route: _ApidRoute,
    columns: dict[int, Any],
    skipped: dict[Any, Any],
    derived: bool,
    codes: bool = False,
) -> Decoded | None:
    """What ``unpack_ccsds`` gave with ``route.keyed`` as the decoded tables,
    or None where the general way must decode the packets: a row failing a
    condition on the way, or a derived value that would be a fault."""
    by_type = {
        node.name: columns[apid] for apid, node in zip(route.keyed, route.children, strict=True)
    }
    if not _every_row_holds(route.conditions, by_type):
        return None
    if derived and not _derive_tables(route, by_type, _plans(definitions).labels, codes):
        return None
    return Decoded(
        by_type,
        {int(a): int(c) for a, c in skipped.items()},
        [],
        time_fields(definitions, derived),
    )


def _every_row_holds(conditions: list[Condition], tables: dict[str, dict[str, Any]]) -> bool:
    for table in tables.values():
        count = len(next(iter(table.values()))) if table else 0
        for cond in conditions:
            if count and not _holds(cond, table, count).all():
                return False
    return True


def _by_apid(definitions: Definitions) -> _ApidRoute | None:
    """The route of a set that only sorts packets by their APID (an abstract
    root of fixed fields holding the primary header's APID; maybe abstract
    types without items below it, one under the other, whose conditions read
    the root's fields; then concrete types of fixed fields, each chosen by
    one APID), which ``unpack_ccsds`` decodes as it stands (their raw
    values); None for any other set."""
    roots = definitions.roots()
    if len(roots) != 1 or not roots[0].abstract or not roots[0].children:
        return None
    root = roots[0]
    parent, conditions = root, []
    while (
        len(parent.children) == 1
        and parent.children[0].abstract
        and not parent.children[0].items
        and parent.children[0].children
    ):
        parent = parent.children[0]
        if parent.where is not None:
            conditions.append(parent.where)

    def fixed(node: Node) -> bool:
        return all(
            item.kind == "plain" and (item.offset is None or item.offset >= 0)
            for item in node.items
        )

    if not fixed(root) or any(item.offset is not None for item in root.items):
        return None
    apid_field = None
    at = 0
    for item in root.items:
        if (
            at == 5
            and item.bits == 11
            and item.encoding == "unsigned"
            and not item.item["reverse_bits"]
            and str(item.item["byte_order"]).lower() == "big"
        ):
            apid_field = item.name
        at += _width(item)
    keyed: dict[int, Layout] = {}
    for child in parent.children:
        if child.abstract or child.children or not fixed(child):
            return None
        cond = child.where
        if isinstance(cond, AllOf) and len(cond.terms) == 1:
            cond = cond.terms[0]
        if not (
            isinstance(cond, Compare)
            and cond.field == apid_field
            and cond.op == "=="
            and type(cond.value) is int
            and 0 <= cond.value < 2048
            and cond.value not in keyed
        ):
            return None
        recipe = [item.plain_item() for item in root.items]
        for item in child.items:
            plain = item.plain_item()
            if item.offset is not None:
                plain["offset_bits"] = item.offset
            recipe.append(plain)
        keyed[cond.value] = _native.compile(recipe)
    return _ApidRoute(keyed, list(parent.children), root, conditions)


# Wider fields take several gathers, slower than a kernel call.
_GATHER_TYPES = {("unsigned", 8): np.uint8, ("twos_complement", 8): np.int8}


def _gatherable(item: dict[str, Any], start: int) -> bool:
    """Whether a plain item at bit ``start + offset_bits`` of every packet is
    a byte-wide integer on a byte boundary, or an unsigned one within one
    byte."""
    if not (str(item["byte_order"]).lower() == "big" and item["reverse_bits"] is False):
        return False
    bit = start + item["offset_bits"]
    encoding = str(item["encoding"]).lower()
    if bit % 8 == 0 and (encoding, item["bits"]) in _GATHER_TYPES:
        return True
    return encoding == "unsigned" and item["bits"] >= 1 and bit % 8 + item["bits"] <= 8


def _gather(
    run: _Run, rows: Index, bit: int, item: dict[str, Any], got: dict[int, Any] | None = None
) -> Any:
    """The values of a _gatherable item at ``bit`` of packets ``rows``, in
    the dtype unpack_columns gives it; ``got`` keeps the bytes gathered
    for the same rows by their place in the packet."""
    byte = bit // 8
    found = None if got is None else got.get(byte)
    if found is None:
        offsets = run.at(rows)[0]
        found = run.bytes[np.add(offsets, byte, dtype=np.int64)]
        if got is not None:
            got[byte] = found
    bits = item["bits"]
    if bits < 8:
        # Bits within the byte: shifted down to bit 0, the bits above masked.
        return (found >> (8 - bit % 8 - bits)) & ((1 << bits) - 1)
    return found.view(_GATHER_TYPES[(str(item["encoding"]).lower(), bits)])


def _is_header(item: dict[str, Any]) -> bool:
    """Whether a plain item at bit 5 of a packet reads its 11-bit APID, or
    one at bit 32 its 16-bit length field, as ``unpack_parameters`` would
    (unsigned, big-endian, not reversed)."""
    return (
        item["bits"] == (11 if item["offset_bits"] == 5 else 16)
        and str(item["encoding"]).lower() == "unsigned"
        and str(item["byte_order"]).lower() == "big"
        and item["reverse_bits"] is False
    )


def _recipe(group: list[_Deferred]) -> list[dict[str, Any]]:
    """The items of deferred runs, each at its own offset (from each run's
    start where that is the same in every packet, else from 0)."""
    items: list[dict[str, Any]] = []
    for part in group:
        at = part.start if isinstance(part.start, int) else 0
        for item in part.items:
            items.append(dict(item.plain_item(), offset_bits=at))
            at += _width(item)
    return items


def _never_refused(item: Item) -> bool:
    """Whether ``item``'s derivation gives a value for every raw value: a
    boolean, a polynomial, or an enumeration with a label for every value
    of its bits (unsigned or two's complement, at most 16 of them)."""
    derivation = item.derived
    if "boolean" in derivation or "polynomial" in derivation:
        return True
    if "enumeration" not in derivation or not isinstance(item.bits, int):
        return False
    bits = item.bits
    if not 1 <= bits <= 16:
        return False
    if item.encoding == "unsigned":
        low, high = 0, (1 << bits) - 1
    elif item.encoding == "twos_complement":
        low, high = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    else:
        return False
    table = derivation["enumeration"]
    # A label for every value, as _enumerated finds them.
    return all(table.get(v) is not None for v in range(low, high + 1))


def _derive_settled(run: _Run, item: Item, values: Any) -> Any:
    """The derived column of a lazy item's raw values (its derivation never
    refuses one: _never_refused)."""
    derivation = item.derived
    if "boolean" in derivation:
        return values != 0
    if "polynomial" in derivation:
        return _polynomial(derivation["polynomial"], values)
    if run.codes:
        column, unknown = _category_codes(derivation["enumeration"], values)
    else:
        column, unknown = _enumerated(derivation["enumeration"], values, run.plans.labels)
    assert unknown is None
    return column


def _table(run: _Run, state: _State) -> dict[str, Any]:
    """A type's table from its final state: the deferred runs decoded for its
    packets (all those at the same bit of every packet in one call, wherever
    they stand among the columns) and derived where asked, in the columns'
    order."""
    decoded: dict[str, Any] = {}
    fixed: dict[int, _Deferred] = {}
    for value in state.columns.values():
        if isinstance(value, _Deferred) and isinstance(value.start, int):
            fixed.setdefault(id(value), value)
    if fixed:
        group = list(fixed.values())
        key = ("table", tuple((id(p.items[0]), len(p.items), p.start) for p in group))
        layout = run.layout(key, lambda: _recipe(group))
        decoded.update(_columns_at(run, layout, state.rows, 0))
    for name, value in state.columns.items():
        if name in decoded:
            continue
        if isinstance(value, _Slices):
            decoded[name] = value.build(run)
        elif isinstance(value, _Deferred):
            # Each packet's own start: a call of its own.
            layout = run.layout(
                ("table", id(value.items[0]), len(value.items)), partial(_recipe, [value])
            )
            decoded.update(_columns_at(run, layout, state.rows, value.start))
        else:
            decoded[name] = value
    if run.derived:
        derived = {id(v): v for v in state.columns.values() if isinstance(v, _Deferred)}
        for value in derived.values():
            for item in value.items:
                if item.derived:
                    decoded[item.name] = _derive_settled(run, item, decoded[item.name])
    return {name: decoded[name] for name in state.columns}


def _frame(
    data: Any, packet_bytes: int | None, offsets: Any, lengths: Any, offset: int
) -> tuple[Index, Index, Any]:
    size = memoryview(data).nbytes
    if offsets is not None or lengths is not None:
        if offsets is None or lengths is None:
            raise TypeError("offsets and lengths go together")
        if packet_bytes is not None:
            raise TypeError("packet_bytes does not combine with offsets and lengths")
        if offset != 0:
            raise ValueError("offset skips bytes before framing; with offsets it must be 0")
        starts = np.array(offsets, dtype=np.int64, copy=True).reshape(-1)
        sizes = np.array(lengths, dtype=np.int64, copy=True).reshape(-1)
        if starts.shape != sizes.shape:
            raise ValueError(f"offsets and lengths differ in size ({len(starts)} and {len(sizes)})")
        bad = (starts < 0) | (sizes < 0) | (starts > size - sizes)
        if bad.any():
            i = int(np.argmax(bad))
            raise ValueError(
                f"packet {i} (offset {int(starts[i])}, length {int(sizes[i])}) does not lie"
                f" inside the data of {size} bytes"
            )
        return _narrow(starts, size), _narrow(sizes, size), None
    if not 0 <= offset <= size:
        raise ValueError(f"offset {offset} lies outside the data of {size} bytes")
    if packet_bytes is not None:
        packet_bytes = operator.index(packet_bytes)
        if packet_bytes <= 0:
            raise ValueError(f"packet_bytes must be at least 1, not {packet_bytes}")
        whole, left = divmod(size - offset, packet_bytes)
        if left:
            raise ValueError(
                f"the data ends with a partial packet of {left} bytes at byte"
                f" {offset + whole * packet_bytes} (packet_bytes is {packet_bytes}, the data"
                f" holds {size} bytes)"
            )
        places = _narrow(np.arange(whole, dtype=np.int64) * packet_bytes + offset, size)
        return places, np.full(whole, packet_bytes, dtype=places.dtype), None
    framed = _native.split_ccsds(data, offset=offset, narrow=True)
    return _narrow(framed[0], size), _narrow(framed[1], size), framed[2]


def _narrow(values: Any, size: int) -> Index:
    """Offsets or lengths of packets inside ``size`` bytes of data, as int32
    where every offset and end fits it (half the memory of int64)."""
    return np.asarray(values, dtype=np.int32 if size < _NARROW else np.int64)


# -- the tree -----------------------------------------------------------------


def _route(
    run: _Run,
    node: Node | None,
    children: list[Node],
    state: _State,
    outputs: dict[str, tuple[Index, _State]],
    unmatched: list[Index],
) -> None:
    """Hand the packets of ``state`` (decoded down to ``node``) to the first of
    ``children`` whose where holds, each child decoding its own items."""
    taken = np.zeros(len(state.rows), dtype=bool)
    for child in children:
        mask = ~taken
        if child.where is not None:
            mask &= _holds(child.where, state.raw, len(state.rows))
        taken |= mask
        sub = state.subset(mask, run.needed(child))
        _decode_items(run, child, sub)
        _route(run, child, child.children, sub, outputs, unmatched)
    if node is None or node.abstract:
        unmatched.append(state.rows[~taken])
    else:
        rest = state.subset(~taken, frozenset())
        outputs[node.name] = (rest.rows, rest)


def _holds(cond: Condition, raw: dict[str, Any], count: int) -> npt.NDArray[np.bool_]:
    if isinstance(cond, Compare):
        column = raw[cond.field]
        if column.dtype == np.float32:
            # Compared as float64, as the value is written: numpy would round
            # the value to float32 instead. (A signalling NaN widens quietly.)
            with np.errstate(invalid="ignore"):
                column = column.astype(np.float64)
        op = OPERATORS[cond.op]
        if column.dtype == object:
            return np.fromiter(
                (_compare(op, v, cond.value) for v in column), dtype=bool, count=count
            )
        try:
            result = op(column, cond.value)
        except TypeError:
            return np.zeros(count, dtype=bool) if cond.op != "!=" else np.ones(count, dtype=bool)
        return np.asarray(result, dtype=bool).reshape(count)
    terms = [_holds(t, raw, count) for t in cond.terms]
    if isinstance(cond, AllOf):
        out = np.ones(count, dtype=bool)
        for t in terms:
            out &= t
    else:
        assert isinstance(cond, AnyOf)
        out = np.zeros(count, dtype=bool)
        for t in terms:
            out |= t
    return out


def _compare(op: Any, value: Any, wanted: Any) -> bool:
    try:
        return bool(op(value, wanted))
    except TypeError:
        return op is operator.ne


# -- one type's items -----------------------------------------------------------


def _decode_items(run: _Run, node: Node, state: _State) -> None:
    items = node.items
    i = 0
    while i < len(items):
        item = items[i]
        state.local = {}
        if item.kind == "plain":
            # A run of plain items: the first may have an offset, the others
            # follow it. A spline ends a run: its refusal is a packet's fault
            # before any later item's.
            j = i + 1
            while (
                j < len(items)
                and items[j].kind == "plain"
                and items[j].offset is None
                and "spline" not in items[j - 1].derived
            ):
                j += 1
            _plain_run(run, node, state, items[i:j])
            i = j
            continue
        _start(run, node, state, item)
        state.local["start"] = _arr(state.local["start"], len(state.rows))
        if item.kind == "perm":
            _permuted(run, node, state, item)
        elif item.kind in ("binary", "text"):
            _sized(run, node, state, item)
        elif item.kind == "array":
            _array(run, node, state, item)
        else:
            _records(run, node, state, item)
        i += 1
    state.local = {}


def _drop(
    run: _Run,
    node: Node,
    state: _State,
    bad: npt.NDArray[np.bool_],
    item: str,
    reason: Callable[[int, int], BaseException],
) -> None:
    """Fault the packets at the rows where ``bad`` holds (``reason(packet,
    row)`` says why) and keep the others."""
    if not bad.any():
        return
    for r in np.flatnonzero(bad).tolist():
        p = int(state.rows[r])
        run.fault(p, node, item, reason(p, r))
    state.keep(~bad)


def _start(run: _Run, node: Node, state: _State, item: Item) -> None:
    """Each packet's first bit of ``item`` into ``local["start"]`` (an int
    where it is the same in all); packets where it is negative fault."""
    if item.offset is None:
        state.local["start"] = state.position
        return
    if item.offset >= 0:
        state.local["start"] = item.offset
        return
    start = run.bits_of(state.rows) + item.offset
    state.local["start"] = start
    _drop(
        run,
        node,
        state,
        start < 0,
        item.name,
        lambda p, r: ValueError(
            f"offset_bits {item.offset} counts back past the start of the packet of"
            f" {int(run.lengths[p])} bytes"
        ),
    )


def _arr(value: int | I64, count: int) -> I64:
    """A per-row value as an array of ``count`` rows."""
    if isinstance(value, np.ndarray):
        return value
    return np.full(count, value, dtype=np.int64)


def _size(run: _Run, node: Node, state: _State, item: Item, value: Any, key: str) -> None:
    """Each packet's size (``key`` "size") or count (``key`` "count") of
    ``item`` into ``local[key]``: a constant, the rest of the packet, or from
    an earlier field; packets where it is negative fault."""
    if isinstance(value, int):
        size = np.full(len(state.rows), value, dtype=np.int64)
    elif isinstance(value, Rest):
        size = run.bits_of(state.rows) - state.local["start"] - value.less
    elif isinstance(value, When):
        size = _holds(value.cond, state.raw, len(state.rows)).astype(np.int64)
    elif isinstance(value, Terminated):
        _terminated(run, node, state, item, value.byte)
        return
    else:
        assert isinstance(value, FromField)
        raw = state.raw[value.name]
        huge = raw > _SAFE
        if raw.dtype.kind == "i":
            huge |= raw < -_SAFE
        small = np.where(huge, 0, raw).astype(np.int64)
        if abs(value.scale) < _SAFE and abs(value.offset) < _SAFE:
            size = small * value.scale + value.offset
        else:
            size = np.array(
                [
                    min(max(v * value.scale + value.offset, -4 * _SAFE), 4 * _SAFE)
                    for v in small.tolist()
                ],
                dtype=np.int64,
            )
        # A raw value this large gives a size no packet holds (or a negative one).
        size[huge] = 4 * _SAFE if value.scale >= 0 else -4 * _SAFE
    state.local[key] = size
    what = "size" if key == "size" else "count"
    _drop(
        run,
        node,
        state,
        size < 0,
        item.name,
        lambda p, r: ValueError(
            f"the {what} of {item.name!r} is negative: {int(state.local[key][r])}"
        ),
    )


def _terminated(run: _Run, node: Node, state: _State, item: Item, byte: int) -> None:
    """Each packet's size of a text that runs to the first ``byte`` from its
    start (which must be a byte boundary), the terminator included, into
    ``local["size"]``; packets without one before their end fault."""
    start = _arr(state.local["start"], len(state.rows))
    state.local["start"] = start
    _drop(
        run,
        node,
        state,
        (start & 7) != 0,
        item.name,
        lambda p, r: ValueError(
            f"{item.name!r} ends at a terminator byte, so it starts on a byte boundary, not at"
            f" bit {int(state.local['start'][r])}"
        ),
    )
    start = state.local["start"]
    first = run.offsets[state.rows] + (start >> 3)
    end = run.offsets[state.rows] + run.lengths[state.rows]
    hits = run.terminators(byte)
    at = np.searchsorted(hits, first)
    found = hits[np.minimum(at, max(len(hits) - 1, 0))] if len(hits) else end
    missing = (at >= len(hits)) | (found >= end) | (first > end)
    state.local["size"] = np.where(missing, 0, (found - first + 1) * 8)
    _drop(
        run,
        node,
        state,
        missing,
        item.name,
        lambda p, r: ValueError(f"{item.name!r} has no terminator byte {byte:#04x} in its packet"),
    )


def _fits(run: _Run, node: Node, state: _State, item: Item, bits: I64) -> None:
    """Fault the packets where ``bits`` from ``local["start"]`` do not fit."""
    start = state.local["start"]
    over = bits > run.bits_of(state.rows) - start
    _drop(
        run,
        node,
        state,
        over,
        item.name,
        lambda p, r: ValueError(
            f"{item.name!r} needs {int(bits[r])} bits from bit {int(start[r])}, beyond the"
            f" packet of {int(run.lengths[p])} bytes"
        ),
    )


def _scalar_error(run: _Run, item: Item, p: int, start: int) -> BaseException | None:
    """What the one-packet path raises for ``item`` alone at bit ``start`` of
    packet p, or None where it decodes."""
    layout = run.layout(("one", id(item)), lambda: [item.plain_item()])
    return _error_of(layout, run.packet(p), start)


def _error_of(layout: Layout, packet: Any, start: int) -> BaseException | None:
    try:
        layout.unpack(packet, start)
    except ValueError as exc:
        exc.__notes__ = []
        return exc
    return None


def _instances(
    run: _Run,
    node: Node,
    state: _State,
    decode: Callable[[Any], dict[str, Any]],
    owner: I64 | None,
    count: int,
    error: Callable[[int], tuple[str, BaseException] | None],
) -> dict[str, Any]:
    """Decode ``count`` instances (``decode(selection)`` decodes the selected
    ones) owned by state rows ``owner`` (the identity when None). Where the
    decoding fails, the instances are checked one by one (``error(i)`` gives
    the failing item's name and error): the first failing instance of a row
    faults its packet and the row is dropped.
    Returns the columns of the kept rows' instances."""
    try:
        return decode(slice(None))
    except ValueError:
        pass
    bad_rows = np.zeros(len(state.rows), dtype=bool)
    for begin in range(0, count, _CHUNK):
        end = min(begin + _CHUNK, count)
        try:
            decode(slice(begin, end))
            continue
        except ValueError:
            pass
        for i in range(begin, end):
            r = i if owner is None else int(owner[i])
            if bad_rows[r]:
                continue
            found = error(i)
            if found is not None:
                run.fault(int(state.rows[r]), node, found[0], found[1])
                bad_rows[r] = True
    keep = ~bad_rows
    if owner is None:
        # ``decode`` reads the state's rows, now the kept ones.
        state.keep(keep)
        return decode(slice(None))
    # ``decode`` reads the instances as they were.
    selection = np.flatnonzero(keep[owner])
    state.keep(keep)
    return decode(selection)


def _columns_at(run: _Run, layout: Layout, rows: Index, start: int | I64) -> dict[str, Any]:
    """The columns of ``layout`` decoded at bit ``start`` of packets ``rows``."""
    if not len(rows):
        return _no_rows(run, layout)
    if len(rows) == len(run.offsets):
        # Every packet (rows are increasing and distinct): no gather.
        stride = run.stride()
        if stride and isinstance(start, int):
            # Packets of one length back to back: the kernel's fixed-size
            # framing, which reads no position per packet.
            first = int(run.offsets[0])
            return _native.unpack_columns(
                run.window(first, first + stride * len(rows)),
                layout,
                packet_bytes=stride,
                offset_bits=start,
            )
        return _columns_in(run, layout, run.offsets, run.lengths, start)
    return _columns_in(run, layout, *run.at(rows), start)


def _no_rows(run: _Run, layout: Layout) -> dict[str, Any]:
    """The empty columns of ``layout``: new arrays of the dtypes the kernel
    gives them (learnt from it once a layout)."""
    found = run.plans.empty.get(id(layout))
    if found is None or found[0] is not layout:
        none = np.zeros(0, dtype=np.int64)
        columns = _native.unpack_columns(b"", layout, offsets=none, lengths=none)
        found = (layout, {name: column.dtype for name, column in columns.items()})
        if len(run.plans.empty) >= _KEPT_LAYOUTS:
            run.plans.empty.clear()
        run.plans.empty[id(layout)] = found
    return {name: np.empty(0, dtype=dtype) for name, dtype in found[1].items()}


def _columns_in(
    run: _Run, layout: Layout, offsets: Index, lengths: Index, start: int | I64
) -> dict[str, Any]:
    """The columns of ``layout`` decoded at bit ``start[i]`` of the packet of
    ``lengths[i]`` bytes at ``offsets[i]``; a call per distinct bit within a
    byte."""
    if isinstance(start, int):
        whole = start >> 3
        return _native.unpack_columns(
            run.data,
            layout,
            # In int64: offsets may be int32, and ``whole`` beyond it.
            offsets=np.add(offsets, whole, dtype=np.int64) if whole else offsets,
            lengths=np.subtract(lengths, whole, dtype=np.int64) if whole else lengths,
            offset_bits=start & 7,
        )
    skip = start >> 3
    shift = start & 7
    uniform = not len(shift) or bool((shift == shift[0]).all())
    if not uniform and run.numeric(layout):
        # Numbers at starts of every bit within a byte: one instance in each
        # packet, in one call.
        return _native.unpack_repeated(
            run.data, layout, offsets, lengths, start, np.ones(len(start), dtype=np.int64), 0
        )
    at = offsets + skip
    left = lengths - skip
    if uniform:
        shifts = shift[:1] if len(shift) else np.zeros(1, dtype=np.int64)
    else:
        shifts = np.unique(shift)
    if len(shifts) == 1:
        return _native.unpack_columns(
            run.data, layout, offsets=at, lengths=left, offset_bits=int(shifts[0])
        )
    out: dict[str, Any] = {}
    for s in shifts.tolist():
        which = np.flatnonzero(shift == s)
        part = _native.unpack_columns(
            run.data, layout, offsets=at[which], lengths=left[which], offset_bits=s
        )
        for name, column in part.items():
            if name not in out:
                out[name] = np.empty(len(start), dtype=column.dtype)
            out[name][which] = column
    return out


def _plain_run(run: _Run, node: Node, state: _State, items: list[Item]) -> None:
    _start(run, node, state, items[0])
    widths = [_width(item) for item in items]
    total = sum(widths)

    def first_error(p: int, at: int) -> tuple[str, BaseException] | None:
        # The first item of the run that fails in packet p, as the one-packet
        # path meets them (a value that fails to decode before one that does
        # not fit).
        for item, width in zip(items, widths, strict=True):
            exc = _scalar_error(run, item, p, at)
            if exc is not None:
                return item.name, exc
            at += width
        return None

    start = state.local["start"]
    if isinstance(start, int) and start + total <= state.shortest(run):
        short = np.zeros(len(state.rows), dtype=bool)
    else:
        short = run.bits_of(state.rows) - start < total
    for r in np.flatnonzero(short).tolist():
        at = start if isinstance(start, int) else int(start[r])
        found = first_error(int(state.rows[r]), at)
        assert found is not None
        run.fault(int(state.rows[r]), node, found[0], found[1])
    state.keep(~short)
    if all(run.lazy(item) for item in items):
        # Values that cannot fail, every one inside its packet: decoded (and
        # derived) for the tables later; now only the raw values of those
        # that wheres and sizes read.
        needed = run.needed(node)
        wanted = [
            dict(item.plain_item(), offset_bits=at)
            for item, at in zip(items, np.cumsum([0, *widths[:-1]]).tolist(), strict=True)
            if item.name in needed
        ]
        if (
            wanted
            and run.apids is not None
            and isinstance(state.local["start"], int)
            and state.local["start"] == 0
        ):
            # The primary header's APID and length are known from framing
            # (which found each packet PKT_LEN + 7 bytes long).
            for w in [w for w in wanted if w["offset_bits"] in (5, 32) and _is_header(w)]:
                if w["offset_bits"] == 5:
                    every = len(state.rows) == len(run.apids)
                    state.raw[w["name"]] = run.apids if every else run.apids[state.rows]
                else:
                    state.raw[w["name"]] = (run.at(state.rows)[1] - 7).astype(np.uint16)
                wanted.remove(w)
        start = state.local["start"]
        if isinstance(start, int):
            # Whole bytes on a byte boundary, or bits within one byte:
            # gathered from the data (each byte once).
            got: dict[int, Any] = {}
            for w in [w for w in wanted if _gatherable(w, start)]:
                state.raw[w["name"]] = _gather(run, state.rows, start + w["offset_bits"], w, got)
                wanted.remove(w)
        if wanted:
            # Keyed by the fields read: which are gathered or known from
            # framing instead varies from call to call.
            key = ("raw", id(items[0]), len(items), tuple(w["name"] for w in wanted))
            layout = run.layout(key, wanted)
            state.raw.update(_columns_at(run, layout, state.rows, state.local["start"]))
        deferred = _Deferred(items, state.local["start"])
        for item in items:
            state.columns[item.name] = deferred
        state.position = state.local["start"] + total
        return
    # Items that cannot fail and are not derived wait for the tables as above
    # (the run lies inside every packet kept); the others, and those that
    # wheres and sizes read, are decoded now, each at its own offset.
    lazy = [run.lazy(item) for item in items]
    needed = run.needed(node)
    places = np.cumsum([0, *widths[:-1]]).tolist()
    now = [i for i, item in enumerate(items) if not lazy[i] or item.name in needed]
    if len(now) == len(items):
        layout = run.layout(
            ("run", id(items[0]), len(items)), lambda: [item.plain_item() for item in items]
        )
    else:
        layout = run.layout(
            ("now", id(items[0]), len(items)),
            lambda: [dict(items[i].plain_item(), offset_bits=places[i]) for i in now],
        )

    def decode(selection: Any) -> dict[str, Any]:
        return _columns_at(
            run, layout, state.rows[selection], _filter(state.local["start"], selection)
        )

    def error(i: int) -> tuple[str, BaseException] | None:
        start = state.local["start"]
        return first_error(int(state.rows[i]), start if isinstance(start, int) else int(start[i]))

    columns = _instances(run, node, state, decode, None, len(state.rows), error)
    for i in now:
        state.local["v:" + items[i].name] = columns[items[i].name]
    for i in now:
        state.raw[items[i].name] = state.local["v:" + items[i].name]
    i = 0
    while i < len(items):
        if not lazy[i]:
            state.columns[items[i].name] = _derive(run, node, state, items[i], "v:" + items[i].name)
            i += 1
            continue
        j = i + 1
        while j < len(items) and lazy[j]:
            j += 1
        # The start as it stands now: a derivation above may have dropped rows.
        deferred = _Deferred(items[i:j], state.local["start"] + places[i])
        for item in items[i:j]:
            state.columns[item.name] = deferred
        i = j
    state.position = state.local["start"] + total


# -- bytes ------------------------------------------------------------------------


def _windows(run: _Run, rows: Index, start: I64, nbytes: int) -> npt.NDArray[np.uint8]:
    """The ``nbytes`` bytes from bit ``start[i]`` of packet ``rows[i]`` (every
    window inside its packet), one row each. Gathered in chunks, so that the
    index arrays stay small beside the windows."""
    out = np.empty((len(rows), nbytes), dtype=np.uint8)
    step = max(1, _GATHER // max(nbytes, 1))
    for begin in range(0, len(rows), step):
        end = min(begin + step, len(rows))
        out[begin:end] = _window_chunk(run, rows[begin:end], start[begin:end], nbytes)
    return out


def _window_chunk(run: _Run, rows: Index, start: I64, nbytes: int) -> npt.NDArray[np.uint8]:
    first = run.offsets[rows] + (start >> 3)
    shift = (start & 7).astype(np.uint16)
    if not shift.any():
        index = first[:, None] + np.arange(nbytes, dtype=np.int64)
        return run.bytes[index]
    # Each byte is made of the two it straddles. A window starting inside a
    # byte ends inside the byte after its last whole one, which lies in the
    # packet; a window starting on a byte boundary reads its last byte twice.
    index = first[:, None] + np.arange(nbytes + 1, dtype=np.int64)
    index[:, -1] -= np.where(shift != 0, 0, 1)
    wide = run.bytes[index].astype(np.uint16)
    s = shift[:, None]
    return (((wide[:, :-1] << s) | (wide[:, 1:] >> (8 - s))) & 0xFF).astype(np.uint8)


def _as_bytes(window: npt.NDArray[np.uint8]) -> npt.NDArray[Any]:
    """One ``bytes`` object per row of ``window``, as an object column."""
    out = np.empty(window.shape[0], dtype=object)
    n = window.shape[1]
    if window.shape[0] == 0:
        return out
    if n == 0:
        out[:] = [b""] * window.shape[0]
        return out
    flat = np.ascontiguousarray(window).view(f"V{n}").reshape(-1)
    out[:] = flat.tolist()
    return out


def _sized(run: _Run, node: Node, state: _State, item: Item) -> None:
    """A binary field, or a text field whose size varies."""
    _size(run, node, state, item, item.bits, "size")
    _fits(run, node, state, item, state.local["size"])
    if item.kind == "binary":
        _drop(
            run,
            node,
            state,
            state.local["size"] % 8 != 0,
            item.name,
            lambda p, r: ValueError(
                f"{item.name!r} is {int(state.local['size'][r])} bits, not a whole number of bytes"
            ),
        )
        if run.derived and "time" in item.derived and item.name not in run.needed(node):
            # Only the times are wanted: no bytes objects.
            state.columns[item.name] = _time(run, node, state, item)
            state.position = state.local["start"] + state.local["size"]
            return
        start, size = state.local["start"], state.local["size"]
        if run.arrow and not (run.derived and "time" in item.derived):
            # Gathered into an ArrowColumn once the table's rows are final;
            # bytes objects only where a where reads the field.
            # Bit places in int64: the offsets may be int32, and eight times
            # an offset need not fit it.
            bits = np.multiply(run.at(state.rows)[0], 8, dtype=np.int64) + start
            state.columns[item.name] = _Slices(bits, size >> 3)
            if item.name in run.needed(node):
                state.raw[item.name] = _Slices(bits, size >> 3).build(run).to_numpy()
            state.position = state.local["start"] + state.local["size"]
            return
        if not (start & 7).any():
            # Whole bytes: each value is a slice of the data.
            column = _native.byte_slices(
                run.data, run.offsets[state.rows] + (start >> 3), size >> 3
            )
        else:
            column = np.empty(len(state.rows), dtype=object)
            for n in np.unique(size // 8).tolist():
                which = np.flatnonzero(size == 8 * n)
                # A chunk at a time: the gathered bytes stay small beside the column.
                step = max(1, _GATHER // max(n, 1))
                for begin in range(0, len(which), step):
                    part = which[begin : begin + step]
                    column[part] = _as_bytes(_window_chunk(run, state.rows[part], start[part], n))
        state.local["v"] = column
        state.raw[item.name] = column
        if run.derived and "time" in item.derived:
            state.columns[item.name] = _time(run, node, state, item)
        else:
            state.columns[item.name] = column
        state.position = state.local["start"] + state.local["size"]
        return
    # Text of varying size: a layout per size (of the text, without a
    # terminator byte where one ends it).
    start, size = state.local["start"], state.local["size"]
    if isinstance(item.bits, Terminated):
        size = size - 8
    sizes = np.unique(size).tolist()
    layouts = {
        n: run.layout(("text", id(item), n), [dict(item.plain_item(), bits=n)]) for n in sizes
    }
    rows = state.rows

    def decode(selection: Any) -> dict[str, Any]:
        chosen = np.arange(len(rows))[selection]
        column = np.empty(len(chosen), dtype=object)
        for n in sizes:
            which = np.flatnonzero(size[chosen] == n)
            if len(which):
                at = chosen[which]
                column[which] = _columns_in(
                    run, layouts[n], run.offsets[rows[at]], run.lengths[rows[at]], start[at]
                )[item.name]
        return {item.name: column}

    def error(i: int) -> tuple[str, BaseException] | None:
        exc = _error_of(layouts[int(size[i])], run.packet(int(rows[i])), int(start[i]))
        return None if exc is None else (item.name, exc)

    identity = np.arange(len(rows), dtype=np.int64)
    column = _instances(run, node, state, decode, identity, len(rows), error)[item.name]
    state.raw[item.name] = column
    state.columns[item.name] = column
    state.position = state.local["start"] + state.local["size"]


def _permuted(run: _Run, node: Node, state: _State, item: Item) -> None:
    assert item.permutation is not None and isinstance(item.bits, int)
    _fits(run, node, state, item, np.full(len(state.rows), item.bits, dtype=np.int64))
    window = _windows(run, state.rows, state.local["start"], len(item.permutation))
    images = window[:, list(item.permutation)]
    state.local["v"] = _images(run, node, state, item, images, None)
    state.raw[item.name] = state.local["v"]
    state.columns[item.name] = _derive(run, node, state, item, "v")
    state.position = state.local["start"] + item.bits


def _images(
    run: _Run,
    node: Node,
    state: _State,
    item: Item,
    images: npt.NDArray[np.uint8],
    owner: I64 | None,
) -> Any:
    """Decode whole-byte big-endian images of ``item``'s encoding (one per
    row of ``images``, owned by state rows ``owner``, the identity when None);
    rows whose image fails to decode fault. The values of the kept rows."""
    layout = run.layout(("image", id(item)), lambda: [item.plain_item()])
    n = images.shape[1]
    buffer = np.ascontiguousarray(images).tobytes()

    def decode(selection: Any) -> dict[str, Any]:
        chosen = np.ascontiguousarray(images[selection]).tobytes()
        return _native.unpack_columns(chosen, layout, packet_bytes=n)

    def error(i: int) -> tuple[str, BaseException] | None:
        exc = _error_of(layout, buffer[i * n : (i + 1) * n], 0)
        return None if exc is None else (item.name, exc)

    owners = np.arange(images.shape[0], dtype=np.int64) if owner is None else owner
    return _instances(run, node, state, decode, owners, images.shape[0], error)[item.name]


# -- arrays and records -----------------------------------------------------------


def _spread(count: I64) -> tuple[I64, I64]:
    """For rows of ``count`` instances each: every instance's row and its
    index within the row."""
    owner = np.repeat(np.arange(len(count), dtype=np.int64), count)
    first = np.cumsum(count) - count
    k = np.arange(len(owner), dtype=np.int64) - np.repeat(first, count)
    return owner, k


def _repeated(
    run: _Run, node: Node, state: _State, name: str, layout: Layout, stride: int
) -> tuple[dict[str, Any], I64 | None]:
    """The instances of ``layout`` in every packet of ``state`` (``local``:
    their first bit and count; ``stride`` bits apart), one row each in
    packet order, and where the kernel decoded them all, each row's state
    row (else None). Packets whose values fail to decode fault (as item
    ``name``) and leave the state."""
    start, count = state.local["start"], state.local["count"]
    if run.numeric(layout):
        try:
            return _native.unpack_repeated(
                run.data,
                layout,
                run.offsets[state.rows],
                run.lengths[state.rows],
                start,
                count,
                stride,
                owners=True,
            )
        except ValueError:
            pass  # found instance by instance below
    owner, k = _spread(count)
    at = start[owner] + k * stride
    rows = state.rows[owner]
    offsets, lengths = run.offsets[rows], run.lengths[rows]

    def decode(selection: Any) -> dict[str, Any]:
        return _columns_in(run, layout, offsets[selection], lengths[selection], at[selection])

    def error(i: int) -> tuple[str, BaseException] | None:
        exc = _error_of(layout, run.packet(int(rows[i])), int(at[i]))
        return None if exc is None else (name, exc)

    return _instances(run, node, state, decode, owner, len(owner), error), None


def _array(run: _Run, node: Node, state: _State, item: Item) -> None:
    assert isinstance(item.bits, int) and item.count is not None
    width = item.bits
    _size(run, node, state, item, item.count, "count")
    _fits(run, node, state, item, state.local["count"] * width)
    # Each element's state row, where the kernel gave it (and no row is dropped after).
    rows_of: I64 | None = None
    if item.permutation is not None:
        owner, k = _spread(state.local["count"])
        at = state.local["start"][owner] + k * width
        window = _windows(run, state.rows[owner], at, len(item.permutation))
        values = _images(run, node, state, item, window[:, list(item.permutation)], owner)
    else:
        layout = run.layout(("one", id(item)), lambda: [item.plain_item()])
        columns, rows_of = _repeated(run, node, state, item.name, layout, width)
        values = columns[item.name]
    if run.derived and item.derived:
        owner, _ = _spread(state.local["count"])
        values, owner = _derive_elements(run, node, state, item, values, owner)
        rows_of = None
    state.position = state.local["start"] + state.local["count"] * width
    if isinstance(item.count, int):
        state.columns[item.name] = values.reshape(len(state.rows), item.count)
    else:
        state.children.append(
            _Child(item.name, state.rows, state.local["count"], {item.name: values}, rows_of)
        )


def _records(run: _Run, node: Node, state: _State, item: Item) -> None:
    assert item.records is not None
    record = item.record_bits
    _size(run, node, state, item, item.bits, "size")
    _fits(run, node, state, item, state.local["size"])
    if item.count is None:
        size = state.local["size"]
        state.local["count"] = size // record
        left = size % record
        for r in np.flatnonzero(left).tolist():
            run.fault(
                int(state.rows[r]),
                node,
                item.name,
                ValueError(
                    f"{int(left[r])} bits of {item.name!r} are left after"
                    f" {int(size[r] // record)} records of {record} bits"
                ),
                "warning",
            )
    else:
        _size(run, node, state, item, item.count, "count")
        count, size = state.local["count"], state.local["size"]
        _drop(
            run,
            node,
            state,
            count * record > size,
            item.name,
            lambda p, r: ValueError(
                f"{int(count[r])} records of {record} bits do not fit the"
                f" {int(size[r])} bits of {item.name!r}"
            ),
        )
    layout = run.layout(("records", id(item)), [dict(r) for r in item.records])
    columns, owner = _repeated(run, node, state, item.name, layout, record)
    state.position = state.local["start"] + state.local["size"]
    state.children.append(_Child(item.name, state.rows, state.local["count"], columns, owner))


# -- derived values -----------------------------------------------------------------


def _derive(run: _Run, node: Node, state: _State, item: Item, key: str) -> Any:
    """The table's column of ``item`` from its raw values ``local[key]`` (one
    per row): derived where asked; packets whose value is refused fault."""
    if not run.derived or not item.derived:
        return state.local[key]
    owner = np.arange(len(state.rows), dtype=np.int64)
    values, _ = _derive_elements(run, node, state, item, state.local[key], owner)
    return values


def _derive_elements(
    run: _Run, node: Node, state: _State, item: Item, values: Any, owner: I64
) -> tuple[Any, I64]:
    """The derived values of elements ``values`` owned by state rows
    ``owner`` (in row order); rows with a refused value fault and are dropped.
    Returns the kept elements' values and owners."""
    if not run.derived or not item.derived:
        return values, owner
    derivation = item.derived
    if "boolean" in derivation:
        return values != 0, owner
    if "polynomial" in derivation:
        return _polynomial(derivation["polynomial"], values), owner
    if "enumeration" in derivation:
        if run.codes:
            column, unknown = _category_codes(derivation["enumeration"], values)
        else:
            column, unknown = _enumerated(derivation["enumeration"], values, run.plans.labels)
        if unknown is not None:
            seen = np.zeros(len(state.rows), dtype=bool)
            for i in np.flatnonzero(unknown).tolist():
                r = int(owner[i])
                if seen[r]:
                    continue
                seen[r] = True
                run.fault(
                    int(state.rows[r]),
                    node,
                    item.name,
                    ValueError(f"raw value {int(values.reshape(-1)[i])} has no label"),
                    "warning",
                )
        return column, owner
    assert "spline" in derivation
    xs, ys = _spline_points(derivation["spline"])
    x = values.astype(np.float64)
    outside = ~((x >= xs[0]) & (x <= xs[-1]))
    if outside.any():
        bad = np.zeros(len(state.rows), dtype=bool)
        first: dict[int, float] = {}
        for i in np.flatnonzero(outside).tolist():
            r = int(owner[i])
            if not bad[r]:
                bad[r] = True
                first[r] = float(x[i])
        keep_elements = ~bad[owner]
        _drop(
            run,
            node,
            state,
            bad,
            item.name,
            lambda p, r: ValueError(
                f"raw value {first[r]!r} of {item.name!r} lies outside the spline's points"
                f" ({xs[0]!r} to {xs[-1]!r})"
            ),
        )
        x = x[keep_elements]
        remap = np.cumsum(~bad) - 1
        owner = remap[owner[keep_elements]]
    return _interpolate(xs, ys, x), owner


def _native_numbers(values: Any, kinds: str) -> bool:
    """Whether the native derivations read ``values`` as they are: integers
    (or floats of 4 or 8 bytes) of ``kinds``, in native byte order."""
    dtype = values.dtype
    return (
        dtype.kind in kinds
        and dtype.isnative
        and dtype.itemsize in ((4, 8) if dtype.kind == "f" else (1, 2, 4, 8))
    )


def _polynomial(coefficients: list[float], values: Any) -> Any:
    """The polynomial of every raw value, by Horner's rule in float64: in one
    native pass where the raw values are plain numbers, else as
    _polynomial_numpy (the same steps, each rounded the same)."""
    if _native_numbers(values, "iuf"):
        flat = np.ascontiguousarray(values)
        out = _native._polynomial_column(flat, tuple(float(c) for c in coefficients))
        return out.reshape(values.shape)
    return _polynomial_numpy(coefficients, values)


def _polynomial_numpy(coefficients: list[float], values: Any) -> Any:
    """The polynomial of every raw value, by Horner's rule in float64 (in
    place: c[n] * x + c[n-1], times x, plus c[n-2], ...)."""
    x = values.astype(np.float64)
    if len(coefficients) == 1:
        return np.full(x.shape, coefficients[0], dtype=np.float64)
    out = np.multiply(x, float(coefficients[-1]))
    out += coefficients[-2]
    for c in reversed(coefficients[:-2]):
        out *= x
        out += c
    return out


def _enumerated(
    table: dict[int, Any],
    values: Any,
    kept: dict[tuple[int, int, int], tuple[Any, ...]] | None = None,
) -> tuple[Any, Any]:
    """The enumeration's label of every raw value (an object array shaped as
    ``values``, None where a value has no label), and None when every value
    has one, else whether each raw value has none (flat). Integer raw values
    go through one native pass over a table of labels by raw value; others
    through _labels."""
    if not _native_numbers(values, "iu"):
        labels, inverse, unknown = _labels(table, values)
        return labels[inverse].reshape(values.shape), unknown if unknown.any() else None
    flat = np.ascontiguousarray(values).reshape(-1)
    if values.dtype.itemsize == 1:
        # Every raw value of the dtype has its place: no search for the range.
        low = -128 if values.dtype.kind == "i" else 0
        high = low + 255
    else:
        low = int(flat.min()) if len(flat) else 0
        high = int(flat.max()) if len(flat) else 0
    if high - low < 1 << 16 and low > -(1 << 62) and high < 1 << 62:
        # The labels of the range, kept in ``kept`` (a set's tables live as
        # long as the set, so their ids stay theirs).
        found = None if kept is None else kept.get((id(table), low, high))
        if found is None:
            found = tuple(table.get(v) for v in range(low, high + 1))
            if kept is not None:
                if len(kept) >= _KEPT_LAYOUTS:
                    kept.clear()
                kept[(id(table), low, high)] = found
        column, unknown = _native._label_column(flat, low, found)
    else:
        unique, inverse = np.unique(flat, return_inverse=True)
        labels = tuple(table.get(int(u)) for u in unique.tolist())
        column, unknown = _native._label_column(inverse.reshape(-1), 0, labels)
    return column.reshape(values.shape), unknown


def enumeration_categories(table: dict[int, Any]) -> tuple[list[str], dict[int, int]]:
    """An enumeration's categories, its distinct labels in the order of
    their lowest raw values, and each raw value's code (its label's place
    among them)."""
    categories: list[str] = []
    place: dict[str, int] = {}
    codes: dict[int, int] = {}
    for raw in sorted(table):
        label = table[raw]
        if label not in place:
            place[label] = len(categories)
            categories.append(label)
        codes[raw] = place[label]
    return categories, codes


def code_dtype(categories: int) -> np.dtype[Any]:
    """The integer dtype of the codes of that many categories (-1 included):
    the one pandas keeps them in, so that it does not convert them."""
    for dtype in (np.int8, np.int16, np.int32):
        if categories < np.iinfo(dtype).max:
            return np.dtype(dtype)
    return np.dtype(np.int64)


def _category_codes(table: dict[int, Any], values: Any) -> tuple[Any, Any]:
    """As _enumerated, each raw value's code among the enumeration's
    categories (-1 without a label) in place of its label: one lookup in a
    table of codes by raw value where the raw values are integers of a
    narrow range, else through the distinct raw values."""
    categories, codes = enumeration_categories(table)
    dtype = code_dtype(len(categories))
    flat = np.ascontiguousarray(values).reshape(-1)
    if _native_numbers(values, "iu") and values.dtype.itemsize == 1:
        # Every raw value of the dtype has its place, by its bits as uint8.
        low, high = (-128, 127) if values.dtype.kind == "i" else (0, 255)
        lookup = np.full(256, -1, dtype=dtype)
        for raw, code in codes.items():
            if low <= raw <= high:
                lookup[raw & 0xFF] = code
        found = lookup[flat.view(np.uint8)]
    else:
        narrow = _native_numbers(values, "iu") and len(flat) > 0
        low = int(flat.min()) if narrow else 0
        high = int(flat.max()) if narrow else 0
        if narrow and high - low < 1 << 16 and low > -(1 << 62) and high < 1 << 62:
            lookup = np.full(high - low + 1, -1, dtype=dtype)
            for raw, code in codes.items():
                if low <= raw <= high:
                    lookup[raw - low] = code
            # In int64 before the subtraction: int8 - (-100) overflows int8.
            found = lookup[flat.astype(np.int64) - low]
        else:
            unique, inverse = np.unique(flat, return_inverse=True)
            lookup = np.array([codes.get(int(u), -1) for u in unique.tolist()], dtype=dtype)
            found = lookup[inverse.reshape(-1)]
    unknown = found < 0
    return found.reshape(values.shape), unknown if unknown.any() else None


def _labels(table: dict[int, Any], values: Any) -> tuple[Any, Any, Any]:
    """The enumeration's labels (an object array), each raw value's index
    into them (flat) and whether each raw value has no label (flat)."""
    flat = values.reshape(-1)
    low = int(flat.min()) if len(flat) else 0
    high = int(flat.max()) if len(flat) else 0
    if low >= 0 and high < 1 << 16:
        # A label per raw value from 0 to the highest met, indexed by the
        # raw values as they are.
        labels = np.empty(high + 1, dtype=object)
        labels[:] = [table.get(v) for v in range(high + 1)]
        inverse = flat
    elif high - low < 1 << 16 and low > -(1 << 62) and high < 1 << 62:
        # A label per raw value from the lowest to the highest met.
        labels = np.empty(high - low + 1, dtype=object)
        labels[:] = [table.get(v) for v in range(low, high + 1)]
        # In intp before the subtraction: int8 - (-100) overflows int8.
        inverse = flat.astype(np.intp) - low
    else:
        unique, inverse = np.unique(flat, return_inverse=True)
        labels = np.empty(len(unique), dtype=object)
        labels[:] = [table.get(int(u)) for u in unique.tolist()]
        inverse = inverse.reshape(-1)
    missing = np.array([label is None for label in labels], dtype=bool)
    return labels, inverse, missing[inverse]


def _spline_points(points: list[list[float]]) -> tuple[Any, Any]:
    xs = np.array([p[0] for p in points], dtype=np.float64)
    ys = np.array([p[1] for p in points], dtype=np.float64)
    return xs, ys


def _interpolate(xs: Any, ys: Any, x: Any) -> Any:
    """Linear between the points around each x (every x within them)."""
    i = np.clip(np.searchsorted(xs, x, side="left") - 1, 0, len(xs) - 2)
    x0, x1, y0, y1 = xs[i], xs[i + 1], ys[i], ys[i + 1]
    return y0 + (x - x0) * (y1 - y0) / (x1 - x0)


def _derive_tables(
    route: _ApidRoute,
    tables: dict[str, dict[str, Any]],
    labels: dict[tuple[int, int, int], tuple[Any, ...]],
    codes: bool = False,
) -> bool:
    """Derive, in place, the values of the plain items of tables decoded raw
    by APID. False (the tables partly changed) where a value would be a
    fault: a raw value without a label or outside a spline's points, which
    the general way lists with its packet."""
    root = route.root
    for child in route.children:
        table = tables[child.name]
        for item in root.items + child.items:
            derivation = item.derived
            if not derivation:
                continue
            values = table[item.name]
            if "time" in derivation or values.dtype == object:
                return False
            if "boolean" in derivation:
                table[item.name] = values != 0
            elif "polynomial" in derivation:
                table[item.name] = _polynomial(derivation["polynomial"], values)
            elif "enumeration" in derivation:
                if codes:
                    column, unknown = _category_codes(derivation["enumeration"], values)
                else:
                    column, unknown = _enumerated(derivation["enumeration"], values, labels)
                if unknown is not None:
                    return False
                table[item.name] = column
            else:
                xs, ys = _spline_points(derivation["spline"])
                x = values.astype(np.float64)
                if not np.all((x >= xs[0]) & (x <= xs[-1])):
                    return False
                table[item.name] = _interpolate(xs, ys, x)
    return True


def _time(run: _Run, node: Node, state: _State, item: Item) -> Any:
    """The times of a binary field's packets (``local``: its start and
    size); packets whose time code is refused fault."""
    time_code = item.derived["time"]
    if time_code["code"] == "cuc":
        widths = [8 * time_code.get("coarse_bytes", 4), 8 * time_code.get("fine_bytes", 0)]
    else:
        widths = [time_code.get("day_bits", 16), 32, time_code.get("sub_ms", 0)]
    names = ["a", "b", "c"][: len(widths)]
    parts_recipe = [
        {"name": n, "encoding": "unsigned", "bits": w, "byte_order": "big", "reverse_bits": False}
        for n, w in zip(names, widths, strict=True)
    ]
    layout = run.layout(("time", id(item)), parts_recipe)
    columns = _columns_at(run, layout, state.rows, state.local["start"])
    parts = [columns[n].astype(np.int64) for n in names]
    ns, wrong = _time_ns(time_code, parts)
    state.local["ns"] = ns
    _drop(run, node, state, wrong != None, item.name, lambda p, r: ValueError(wrong[r]))  # noqa: E711
    return state.local["ns"].view("datetime64[ns]")


def _time_ns(time_code: dict[str, Any], parts: list[I64]) -> tuple[I64, npt.NDArray[Any]]:
    """Nanoseconds since 1970 (on the epoch's own scale) of each row's time
    code (its parts: coarse and fine counts, or day, millisecond and
    sub-millisecond counts), and for each row None or why it is refused."""
    count = len(parts[0])
    epoch = time_code["epoch_ns"]
    if time_code["code"] == "cuc":
        fine_n = time_code.get("fine_bytes", 0)
        # Below 2**32 seconds and 2**24 fine counts, with an epoch within
        # 4e18 ns of 1970, no step of the sum leaves int64.
        if abs(epoch) <= 4 * 10**18:
            coarse, fine = parts
            total = coarse * 1_000_000_000 + ((fine * 1_000_000_000) >> (8 * fine_n)) + epoch
            return total, np.full(count, None, dtype=object)
    else:
        sub = time_code.get("sub_ms", 0)
        day, ms, extra = parts
        limit = 999 if sub == 16 else 999_999_999
        wrong_rows = (ms > 86_400_999) | ((extra > limit) if sub else False)
        approx = day * 86_400e9 + epoch
        if (
            not np.any(wrong_rows)
            and (count == 0 or int(day.max()) < 100_000)
            and np.all(np.abs(approx) < 9.0e18)
        ):
            sub_ns = extra * 1000 if sub == 16 else extra // 1000
            total = day * 86_400_000_000_000 + ms * 1_000_000 + sub_ns + epoch
            return total, np.full(count, None, dtype=object)
    return _time_ns_exact(time_code, [[int(x) for x in p.tolist()] for p in parts])


def _time_ns_exact(
    time_code: dict[str, Any], parts: list[list[int]]
) -> tuple[I64, npt.NDArray[Any]]:
    """_time_ns in Python integers, row by row, for codes whose sum may leave
    int64 or that hold refused counts."""
    count = len(parts[0])
    wrong = np.full(count, None, dtype=object)
    epoch = time_code["epoch_ns"]
    total: list[int] = []
    if time_code["code"] == "cuc":
        fine_n = time_code.get("fine_bytes", 0)
        for c, f in zip(parts[0], parts[1], strict=True):
            total.append(c * 1_000_000_000 + ((f * 1_000_000_000) >> (8 * fine_n)) + epoch)
    else:
        sub = time_code.get("sub_ms", 0)
        for i, (d, m, e) in enumerate(zip(*parts, strict=True)):
            if m > 86_400_999:
                wrong[i] = f"the millisecond of day {m} is beyond 86400999"
            elif sub == 16 and e > 999:
                wrong[i] = f"the microsecond count {e} is beyond 999"
            elif sub == 32 and e > 999_999_999:
                wrong[i] = f"the picosecond count {e} is beyond 999999999"
            sub_ns = e * 1000 if sub == 16 else e // 1000
            total.append(d * 86_400_000_000_000 + m * 1_000_000 + sub_ns + epoch)
    low, high = -(2**63) + 1, 2**63 - 1
    for i, t in enumerate(total):
        if not low <= t <= high:
            if wrong[i] is None:
                wrong[i] = f"the time, {t} ns from 1970-01-01, lies outside datetime64[ns]"
            total[i] = 0
    return np.array(total, dtype=np.int64), wrong


def _width(item: Item) -> int:
    """The bits of an item of fixed width."""
    assert isinstance(item.bits, int)
    return item.bits
