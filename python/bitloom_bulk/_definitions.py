"""Packet definitions: packet types in a tree, each chosen by the values decoded
before it, with the items recipes cannot say (sizes taken from other fields,
arrays, repeated records, byte permutations, derived values).

:class:`PacketType` and :class:`Definitions` hold a definition as written and
check it once, when the set is built; :mod:`bitloom_bulk._definitions_decode`
runs it over packets.
"""

from __future__ import annotations

import datetime
import itertools
import math
import operator
from collections.abc import Hashable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, NamedTuple

from bitloom_bulk._recipe_items import (
    ALL_ENCODINGS,
    FLOAT32_ENCODINGS,
    INTEGER_ENCODINGS,
    REQUIRED_KEYS,
    TEXT_ENCODINGS,
)

if TYPE_CHECKING:
    from typing_extensions import Buffer

    from bitloom_bulk._definitions_decode import Decoded

# The keys an item of a definition may have beyond a recipe item's.
DEFINITION_KEYS = ("count", "records", "enumeration", "polynomial", "spline", "time", "boolean")
DERIVED_KEYS = ("enumeration", "polynomial", "spline", "time", "boolean")
BINARY = "binary"
# Text encodings whose characters are whole bytes, none of them holding a
# terminator byte unless it is that character: the ones a terminator may end.
BYTE_TEXT_ENCODINGS = frozenset({"utf8", "us_ascii", "iso_8859_1", "windows_1252"})
OPERATORS: dict[str, Any] = {
    "==": operator.eq,
    "!=": operator.ne,
    "<": operator.lt,
    "<=": operator.le,
    ">": operator.gt,
    ">=": operator.ge,
}
# The integer encodings whose raw value a size or a count may come from.
_SIZE_ENCODINGS = INTEGER_ENCODINGS
_TIME_CODES = {"cuc", "cds"}


class DefinitionError(ValueError):
    """A packet definition that cannot be decoded: the message names the type
    and, where there is one, the item. ``type`` and ``item`` hold them."""

    def __init__(self, problem: str, *, type: str | None = None, item: str | None = None) -> None:
        self.problem, self.type, self.item = problem, type, item
        where = []
        if type is not None:
            where.append(f"type {type!r}")
        if item is not None:
            where.append(f"item {item!r}")
        super().__init__(f"{', '.join(where)}: {problem}" if where else problem)


class Fault(NamedTuple):
    """One faulty packet of a decode: its index in the input (stream order), its
    first byte in the data, the packet type and item being decoded, what was
    wrong, and ``"error"`` (the packet is left out) or ``"warning"``."""

    packet: int
    offset: int
    type: str
    item: str
    message: str
    severity: str


# Users meet these as the package's own.
DefinitionError.__module__ = "bitloom_bulk"
Fault.__module__ = "bitloom_bulk"


# -- sizes and counts ---------------------------------------------------------


@dataclass(frozen=True)
class FromField:
    """A size or count of ``scale`` x the raw value of ``name`` + ``offset``."""

    name: str
    scale: int
    offset: int


@dataclass(frozen=True)
class Rest:
    """A size reaching to the packet's end less ``less`` bits."""

    less: int


@dataclass(frozen=True)
class Terminated:
    """A text's size: to the first byte ``byte`` from its start, which it
    holds (the text is the bytes before it)."""

    byte: int


Size = int | FromField | Rest | Terminated


@dataclass(frozen=True)
class When:
    """A count of 1 where ``cond`` holds for the packet, else 0: an item
    included on a condition."""

    cond: Condition


# -- where ------------------------------------------------------------------


@dataclass(frozen=True)
class Compare:
    field: str
    op: str
    value: Any


@dataclass(frozen=True)
class AllOf:
    terms: tuple[Condition, ...]


@dataclass(frozen=True)
class AnyOf:
    terms: tuple[Condition, ...]


Condition = Compare | AllOf | AnyOf


def condition_fields(cond: Condition | None) -> Iterator[str]:
    """The fields a condition reads, in the order written."""
    if cond is None:
        return
    if isinstance(cond, Compare):
        yield cond.field
        return
    for term in cond.terms:
        yield from condition_fields(term)


def _where(type_name: str, where: Any, depth: int = 0) -> Condition | None:
    if where is None:
        return None
    if depth > 50:
        raise DefinitionError("where nests deeper than 50 levels", type=type_name)
    if isinstance(where, Mapping):
        if len(where) == 1:
            ((key, value),) = where.items()
            if key in ("any", "all") and isinstance(value, (list, tuple)):
                terms = tuple(_term(type_name, t, depth) for t in value)
                return AnyOf(terms) if key == "any" else AllOf(terms)
        equal: list[Condition] = []
        for key, value in where.items():
            if not isinstance(key, str):
                raise DefinitionError(f"where names a field by {key!r}, not a str", type=type_name)
            equal.append(Compare(key, "==", value))
        return AllOf(tuple(equal))
    if isinstance(where, (list, tuple)):
        return AllOf(tuple(_term(type_name, t, depth) for t in where))
    raise DefinitionError(
        f"where must be None, a dict or a list of (field, op, value), not {type(where).__name__}",
        type=type_name,
    )


def _term(type_name: str, term: Any, depth: int) -> Condition:
    if isinstance(term, Mapping):
        cond = _where(type_name, term, depth + 1)
        assert cond is not None
        return cond
    if isinstance(term, (list, tuple)) and len(term) == 3 and isinstance(term[1], str):
        name, op, value = term
        if op not in OPERATORS:
            raise DefinitionError(
                f"where compares with {op!r}; the operators are {' '.join(OPERATORS)}",
                type=type_name,
            )
        if not isinstance(name, str):
            raise DefinitionError(f"where names a field by {name!r}, not a str", type=type_name)
        return Compare(name, op, value)
    raise DefinitionError(
        f"a where term must be (field, op, value) or a dict, not {term!r}", type=type_name
    )


# -- items ------------------------------------------------------------------


@dataclass
class Item:
    """One item of a type, read once: what it is and where its size comes from.

    ``kind`` is "plain" (a recipe item as it stands), "perm" (a number whose
    bytes are permuted), "binary", "text" (a text field whose size varies),
    "array" or "records".
    """

    name: str
    kind: str
    item: dict[str, Any]
    encoding: str
    bits: Size
    offset: int | None
    count: int | FromField | When | None = None
    records: list[dict[str, Any]] | None = None
    record_bits: int = 0
    permutation: tuple[int, ...] | None = None
    derived: dict[str, Any] = field(default_factory=dict)

    @property
    def column(self) -> bool:
        """Whether the item has a column in its type's table (else a child table)."""
        return not (self.kind == "records" or isinstance(self.count, (FromField, When)))

    @property
    def scalar(self) -> bool:
        """Whether the item gives one value per packet (a where or a size may read it)."""
        return self.kind in ("plain", "perm", "binary", "text")

    def plain_item(self) -> dict[str, Any]:
        """The recipe item that decodes one value (one element) of it."""
        plain = {k: v for k, v in self.item.items() if k not in DEFINITION_KEYS}
        plain.pop("offset_bits", None)
        if self.permutation is not None:
            plain["byte_order"] = "big"
        return plain


def permutation_of(order: Any) -> tuple[int, ...] | None:
    """The stored byte (0-based) each byte of the value comes from, most
    significant first, for a byte order written as digits; None for others."""
    if not isinstance(order, str) or not order.isdigit():
        return None
    digits = tuple(int(c) - 1 for c in order)
    if sorted(digits) != list(range(len(digits))):
        return None
    return digits


def _int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _size(type_name: str, name: str, key: str, value: Any) -> Size:
    if _int(value):
        if key == "bits" and value < 0:
            raise DefinitionError(
                f"bits must be at least 0, not {value}", type=type_name, item=name
            )
        return int(value)
    if isinstance(value, Mapping) and set(value) == {"terminator"} and key == "bits":
        byte = value["terminator"]
        if not _int(byte) or not 0 <= byte <= 255:
            raise DefinitionError(
                f"bits {{'terminator': B}} needs a byte value B (0-255), not {byte!r}",
                type=type_name,
                item=name,
            )
        return Terminated(int(byte))
    if isinstance(value, Mapping) and set(value) == {"rest"} and key == "bits":
        less = value["rest"]
        if not _int(less) or less < 0:
            raise DefinitionError(
                f"bits {{'rest': N}} needs an int N of at least 0, not {less!r}",
                type=type_name,
                item=name,
            )
        return Rest(int(less))
    if (
        isinstance(value, Mapping)
        and "field" in value
        and set(value) <= {"field", "scale", "offset"}
    ):
        ref, scale, offset = value["field"], value.get("scale", 1), value.get("offset", 0)
        if not isinstance(ref, str) or not _int(scale) or not _int(offset):
            raise DefinitionError(
                f"{key} {{'field': NAME, 'scale': A, 'offset': B}} needs a str NAME and int A, B,"
                f" not {dict(value)!r}",
                type=type_name,
                item=name,
            )
        return FromField(ref, int(scale), int(offset))
    raise DefinitionError(
        f"{key} must be an int"
        + (", {'rest': N}, {'terminator': B}" if key == "bits" else "")
        + " or {'field': NAME, 'scale': A, 'offset': B}"
        + (" or {'when': WHERE}" if key == "count" else "")
        + f", not {value!r}",
        type=type_name,
        item=name,
    )


def read_item(type_name: str, raw: Any, index: int) -> Item:
    """Read one item of a type, refusing what cannot be decoded."""
    if not isinstance(raw, Mapping):
        raise DefinitionError(f"item {index} is a {type(raw).__name__}, not a dict", type=type_name)
    item = dict(raw)
    name = item.get("name")
    if not isinstance(name, str):
        raise DefinitionError(f"item {index} has no str 'name'", type=type_name)

    def fail(problem: str) -> DefinitionError:
        return DefinitionError(problem, type=type_name, item=name)

    missing = [k for k in REQUIRED_KEYS if k not in item]
    if missing:
        raise fail(f"missing key {missing[0]!r}")
    encoding = item["encoding"]
    if not isinstance(encoding, str):
        raise fail(f"encoding must be a str, not {encoding!r}")
    enc = encoding.lower()
    if enc != BINARY and enc not in ALL_ENCODINGS:
        raise fail(f"unknown encoding {encoding!r}")
    if not isinstance(item["reverse_bits"], bool):
        raise fail(f"reverse_bits must be True or False, not {item['reverse_bits']!r}")
    order = item["byte_order"]
    if not isinstance(order, str):
        raise fail(f"byte_order must be a str, not {order!r}")
    permutation = permutation_of(order)
    if permutation is None and order.lower() not in ("big", "little"):
        raise fail(
            f"byte_order must be 'big', 'little' or a permutation of byte numbers such as"
            f" '3412', not {order!r}"
        )
    offset = item.get("offset_bits")
    if offset is not None and not _int(offset):
        raise fail(f"offset_bits must be an int, not {offset!r}")
    if "dtype" in item:
        dtype = item["dtype"]
        if not isinstance(dtype, str) or dtype != "float32":
            raise fail(f"dtype must be 'float32' (a float32 column), not {dtype!r}")
        if enc not in FLOAT32_ENCODINGS:
            raise fail(
                f"dtype 'float32' is for an ieee754_f16 or ieee754_f32 field, not encoding"
                f" {encoding!r}"
            )
    bits = _size(type_name, name, "bits", item["bits"])
    count: int | FromField | When | None = None
    if "count" in item and isinstance(item["count"], Mapping) and set(item["count"]) == {"when"}:
        try:
            cond = _where(type_name, item["count"]["when"])
        except DefinitionError as exc:
            raise fail(f"count {{'when': ...}}: {exc.problem}") from None
        if cond is None:
            raise fail("count {'when': ...} needs a condition, not None")
        count = When(cond)
    elif "count" in item:
        count_value = _size(type_name, name, "count", item["count"])
        if isinstance(count_value, int) and count_value < 0:
            raise fail(f"count must be at least 0, not {count_value}")
        assert not isinstance(count_value, (Rest, Terminated))
        count = count_value
    derived = {k: item[k] for k in DERIVED_KEYS if k in item}
    if len(derived) > 1:
        raise fail(f"an item takes one derived value, not {' and '.join(derived)}")

    if "records" in item:
        if enc != BINARY:
            raise fail("a records item must have encoding 'binary'")
        if derived:
            raise fail(f"a records item takes no {next(iter(derived))}")
        records = item["records"]
        if not isinstance(records, (list, tuple)) or not records:
            raise fail("records must be a non-empty list of items")
        subitems = [read_item(type_name, r, i) for i, r in enumerate(records)]
        names = set()
        for sub in subitems:
            if sub.kind != "plain" or sub.derived or (sub.offset is not None and sub.offset < 0):
                raise DefinitionError(
                    "a record holds plain items (fixed bits, big or little, no count, records,"
                    " derived value or negative offset)",
                    type=type_name,
                    item=f"{name}.{sub.name}",
                )
            if sub.name in names or sub.name == "packet":
                raise DefinitionError(
                    f"the record names {sub.name!r} twice (or uses 'packet', its table's own)",
                    type=type_name,
                    item=name,
                )
            names.add(sub.name)
        record_bits = 0
        running = 0
        for sub in subitems:
            assert isinstance(sub.bits, int)
            start = sub.offset if sub.offset is not None else running
            running = start + sub.bits
            record_bits = max(record_bits, running)
        if record_bits == 0:
            raise fail("a record of 0 bits never ends")
        return Item(
            name,
            "records",
            item,
            enc,
            bits,
            offset,
            count=count,
            records=[dict(r) for r in records],
            record_bits=record_bits,
        )

    if count is not None:
        if not isinstance(bits, int):
            raise fail("an array's elements need a fixed width (int bits)")
        if enc == BINARY or enc in TEXT_ENCODINGS:
            raise fail("array elements must be numbers")
        if "time" in derived:
            raise fail("time values are read from a binary field")
        item_kind = "array"
    elif enc == BINARY:
        if derived and "time" not in derived:
            raise fail(f"a binary field takes no {next(iter(derived))}")
        item_kind = "binary"
        if isinstance(bits, Terminated):
            raise fail("a binary field has no terminator; only text fields do")
    elif not isinstance(bits, int):
        if enc not in TEXT_ENCODINGS:
            raise fail(
                "only binary and text fields take their size from another field or the packet's end"
            )
        if isinstance(bits, Terminated) and enc not in BYTE_TEXT_ENCODINGS:
            raise fail(
                f"a text ended by a terminator byte is of a one-byte encoding or utf8, not {enc!r}"
            )
        item_kind = "text"
    else:
        item_kind = "perm" if permutation is not None else "plain"
        if item_kind == "plain" and offset is not None and offset < 0:
            pass
    if permutation is not None:
        if enc == BINARY or enc in TEXT_ENCODINGS:
            raise fail("a byte permutation applies to numbers only")
        if not isinstance(bits, int) or bits != 8 * len(permutation):
            raise fail(
                f"byte_order {order!r} permutes {len(permutation)} bytes, so bits must be"
                f" {8 * len(permutation)}, not {bits}"
            )
        if item["reverse_bits"]:
            raise fail("a byte permutation does not combine with reverse_bits")
    if enc == BINARY and isinstance(bits, int) and bits % 8 != 0:
        raise fail(f"a binary field holds whole bytes: bits must be a multiple of 8, not {bits}")
    if "time" in derived and (enc != BINARY or not isinstance(bits, int)):
        raise fail("time values are read from a binary field of fixed bits")
    if derived and enc in TEXT_ENCODINGS:
        raise fail(f"a text field takes no {next(iter(derived))}")
    _check_derived(type_name, name, derived, bits, enc)
    return Item(
        name,
        item_kind,
        item,
        enc,
        bits,
        offset,
        count=count,
        permutation=permutation,
        derived=_read_derived(type_name, name, derived),
    )


def _check_derived(
    type_name: str, name: str, derived: dict[str, Any], bits: Size, encoding: str
) -> None:
    def fail(problem: str) -> DefinitionError:
        return DefinitionError(problem, type=type_name, item=name)

    if "boolean" in derived:
        if derived["boolean"] is not True:
            raise fail(
                f"boolean must be True (the raw value is true when it is not 0), not {derived['boolean']!r}"
            )
        if encoding not in _SIZE_ENCODINGS:
            raise fail("a boolean reads an integer field")
    if "enumeration" in derived:
        table = derived["enumeration"]
        if encoding not in _SIZE_ENCODINGS:
            raise fail("an enumeration reads an integer field")
        if not isinstance(table, Mapping):
            raise fail("enumeration must be a dict {raw: label}")
        for raw, label in table.items():
            if not _int(raw):
                raise fail(f"enumeration keys are raw ints, not {raw!r}")
            if not isinstance(label, str):
                raise fail(f"enumeration labels are str, not {label!r}")
    if "polynomial" in derived:
        coefficients = derived["polynomial"]
        if (
            not isinstance(coefficients, (list, tuple))
            or not coefficients
            or not all(_number(c) for c in coefficients)
        ):
            raise fail("polynomial must be a non-empty list of numbers [c0, c1, ...]")
    if "spline" in derived:
        points = derived["spline"]
        ok = isinstance(points, (list, tuple)) and len(points) >= 2
        ok = ok and all(
            isinstance(p, (list, tuple)) and len(p) == 2 and all(_number(v) for v in p)
            for p in points
        )
        if not ok:
            raise fail("spline must be a list of at least two [raw, value] points")
        raws = [float(p[0]) for p in points]
        if any(b <= a for a, b in itertools.pairwise(raws)):
            raise fail("spline points must have strictly increasing raw values")
    if "time" in derived:
        time_code = derived["time"]
        if not isinstance(time_code, Mapping) or time_code.get("code") not in _TIME_CODES:
            raise fail("time must be a dict with code 'cuc' or 'cds'")
        if time_code["code"] == "cuc":
            extra = set(time_code) - {"code", "coarse_bytes", "fine_bytes", "epoch"}
            coarse, fine = time_code.get("coarse_bytes", 4), time_code.get("fine_bytes", 0)
            if not _int(coarse) or not 1 <= coarse <= 4 or not _int(fine) or not 0 <= fine <= 3:
                raise fail("a CUC time has coarse_bytes 1-4 and fine_bytes 0-3")
            width = 8 * (coarse + fine)
        else:
            extra = set(time_code) - {"code", "day_bits", "sub_ms", "epoch"}
            day, sub = time_code.get("day_bits", 16), time_code.get("sub_ms", 0)
            if day not in (16, 24) or sub not in (0, 16, 32):
                raise fail("a CDS time has day_bits 16 or 24 and sub_ms 0, 16 or 32")
            width = day + 32 + sub
        if extra:
            raise fail(f"time has unknown key {sorted(extra)[0]!r}")
        if isinstance(bits, int) and bits != width:
            raise fail(f"this time code takes {width} bits, not {bits}")
        parse_epoch(type_name, name, time_code.get("epoch", "1958-01-01T00:00:00"))


def _number(value: Any) -> bool:
    return (
        isinstance(value, (int, float))
        and not isinstance(value, bool)
        and math.isfinite(float(value))
    )


def parse_epoch(type_name: str, name: str, epoch: Any) -> int:
    """An epoch as nanoseconds since 1970-01-01T00:00:00 on its own scale."""
    if not isinstance(epoch, str):
        raise DefinitionError(
            f"a time epoch is an ISO date-time str, not {epoch!r}", type=type_name, item=name
        )
    try:
        moment = datetime.datetime.fromisoformat(epoch)
    except ValueError:
        raise DefinitionError(
            f"a time epoch is an ISO date-time such as '1958-01-01T00:00:00', not {epoch!r}",
            type=type_name,
            item=name,
        ) from None
    if moment.tzinfo is not None:
        moment = moment.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    delta = moment - datetime.datetime(1970, 1, 1)
    return (delta.days * 86_400 + delta.seconds) * 1_000_000_000 + delta.microseconds * 1000


def _read_derived(type_name: str, name: str, derived: dict[str, Any]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    if "boolean" in derived:
        out["boolean"] = True
    if "enumeration" in derived:
        out["enumeration"] = {int(k): v for k, v in derived["enumeration"].items()}
    if "polynomial" in derived:
        out["polynomial"] = [float(c) for c in derived["polynomial"]]
    if "spline" in derived:
        out["spline"] = [(float(x), float(y)) for x, y in derived["spline"]]
    if "time" in derived:
        time_code = dict(derived["time"])
        time_code["epoch_ns"] = parse_epoch(
            type_name, name, time_code.get("epoch", "1958-01-01T00:00:00")
        )
        out["time"] = time_code
    return out


# -- types ------------------------------------------------------------------


class PacketType:
    """A packet type: its parent's items followed by its own.

    ``where`` says when a packet of the parent is of this type, on values the
    parent's fields decoded: a dict ``{field: value}`` (all equal), a list of
    ``(field, op, value)`` (op one of ``== != < <= > >=``; all hold), or
    ``{"any": [...]}`` / ``{"all": [...]}`` nesting those; None always holds.
    An ``abstract`` type has no table of its own: a packet that reaches it and
    none of its children matches nothing.
    """

    __slots__ = ("abstract", "items", "name", "parent", "where")
    name: str
    items: list[Any]
    parent: str | None
    where: Any
    abstract: bool

    def __init__(
        self,
        name: str,
        items: Sequence[Mapping[str, Any]],
        *,
        parent: str | PacketType | None = None,
        where: Any = None,
        abstract: bool = False,
    ) -> None:
        if not isinstance(name, str) or not name:
            raise DefinitionError(f"a packet type's name must be a non-empty str, not {name!r}")
        if isinstance(items, (str, bytes, Mapping)) or not isinstance(items, Sequence):
            raise DefinitionError("items must be a list of item dicts", type=name)
        if isinstance(parent, PacketType):
            parent = str(parent.name)
        if parent is not None and not isinstance(parent, str):
            raise DefinitionError(
                f"parent must be a type's name or a PacketType, not {parent!r}", type=name
            )
        if not isinstance(abstract, bool):
            raise DefinitionError(f"abstract must be True or False, not {abstract!r}", type=name)
        self.name = name
        self.items = [_canonical_item(i) if isinstance(i, Mapping) else i for i in items]
        self.parent = parent
        _where(name, where)
        self.where = _canonical_where(where)
        self.abstract = abstract

    def __repr__(self) -> str:
        parts = [repr(self.name), f"{len(self.items)} items"]
        if self.parent is not None:
            parts.append(f"parent={self.parent!r}")
        if self.where is not None:
            parts.append(f"where={self.where!r}")
        if self.abstract:
            parts.append("abstract=True")
        return f"PacketType({', '.join(parts)})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, PacketType):
            return NotImplemented
        return (self.name, self.items, self.parent, self.where, self.abstract) == (
            other.name,
            other.items,
            other.parent,
            other.where,
            other.abstract,
        )

    __hash__ = None  # type: ignore[assignment]


PacketType.__module__ = "bitloom_bulk"


_SCALARS = frozenset({str, int, float, bool, type(None)})


def _canonical_item(item: Mapping[str, Any]) -> dict[str, Any]:
    """An item as :func:`canonical` gives it, its scalar values (most of
    them) taken as they are."""
    out = dict(item)
    for key, value in out.items():
        if type(value) not in _SCALARS:
            out[key] = canonical(value)
    return out


def canonical(value: Any) -> Any:
    """An item's values with tuples as lists and dicts copied, so that items
    written in either form compare (and are stored) alike."""
    if isinstance(value, Mapping):
        return {k: canonical(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [canonical(v) for v in value]
    return value


def _canonical_where(where: Any) -> Any:
    """A where with its triples as tuples and its lists as lists."""
    if isinstance(where, Mapping):
        if len(where) == 1 and set(where) <= {"any", "all"}:
            ((key, terms),) = where.items()
            if isinstance(terms, (list, tuple)):
                return {key: [_canonical_term(t) for t in terms]}
        return dict(where)
    if isinstance(where, (list, tuple)):
        return [_canonical_term(t) for t in where]
    return where


def _canonical_term(term: Any) -> Any:
    if isinstance(term, Mapping):
        return _canonical_where(term)
    if isinstance(term, (list, tuple)) and len(term) == 3 and isinstance(term[1], str):
        return tuple(term)
    return term


@dataclass
class Node:
    """A type read and placed in its tree."""

    name: str
    abstract: bool
    where: Condition | None
    items: list[Item]
    parent: Node | None = None
    children: list[Node] = field(default_factory=list)
    index: int = 0

    def lineage(self) -> list[Node]:
        """The types from the root down to this one."""
        chain: list[Node] = []
        node: Node | None = self
        while node is not None:
            chain.append(node)
            node = node.parent
        return chain[::-1]

    def fields(self) -> list[Item]:
        """Every item a packet of this type decodes, the root's first."""
        return [item for node in self.lineage() for item in node.items]


class Definitions:
    """A set of packet types, checked when built: every parent known, no cycle,
    no two types of one name, every ``where`` and every size or count reading
    a field decoded before it. Faults raise :class:`DefinitionError`.

    Types without a parent are roots; roots and the children of a type are
    tried in the order given here.
    """

    def __init__(self, types: Sequence[PacketType]) -> None:
        if isinstance(types, PacketType) or not isinstance(types, (Sequence, Iterator)):
            raise DefinitionError("Definitions takes a list of PacketType")
        types = list(types)
        for t in types:
            if not isinstance(t, PacketType):
                raise DefinitionError(
                    f"Definitions takes PacketType objects, not {type(t).__name__}"
                )
        self._setup(tuple(types), None)

    def _setup(
        self,
        types: tuple[PacketType, ...],
        shapes: Mapping[int, Hashable] | None,
        ready: Sequence[Sequence[Item | None]] | None = None,
    ) -> None:
        self.types: tuple[PacketType, ...] = types
        self._nodes, self._roots = _build(self.types, shapes, ready)
        self.refusals: list[Any] = []
        # The decoder's plan for sets sorted by APID alone, made on first use.
        self._apid_route: Any = None
        # What decoding works out once and keeps (compiled layouts, label
        # tables), made on first use.
        self._plans: Any = None

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        state["_apid_route"] = None  # compiled layouts: made again where needed
        state["_plans"] = None
        return state

    def __getitem__(self, name: str) -> PacketType:
        for t in self.types:
            if t.name == name:
                return t
        raise KeyError(name)

    def __iter__(self) -> Iterator[PacketType]:
        return iter(self.types)

    def __len__(self) -> int:
        return len(self.types)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Definitions):
            return NotImplemented
        return self.types == other.types

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Definitions([{', '.join(t.name for t in self.types)}])"

    def decode(
        self,
        data: Buffer,
        *,
        packet_bytes: int | None = None,
        offsets: Any = None,
        lengths: Any = None,
        offset: int = 0,
        derived: bool = True,
        errors: str = "raise",
        binary: str = "bytes",
    ) -> Decoded:
        """Decode every packet of ``data`` down the tree of types into one table
        per concrete type (and child tables ``"<type>/<item>"``).

        Framing is by CCSDS primary headers unless ``packet_bytes`` (fixed-size
        packets) or ``offsets`` and ``lengths`` are given; ``offset`` bytes are
        skipped before framing. ``derived=False`` keeps every column raw.
        ``errors="raise"`` raises the first faulty packet's error (stream
        order) with notes naming the type, item, packet and byte offset;
        ``errors="skip"`` leaves faulty packets out and lists them in
        ``.faults``. ``binary="bytes"`` gives each binary field as a numpy
        object column of ``bytes``; ``binary="arrow"`` as an
        :class:`ArrowColumn` in Arrow's binary layout (``large_binary`` past
        2 GiB): the values' bytes copied once into one buffer, no object per
        value (a binary field read only as a derived time stays a time);
        ``binary="view"`` as an :class:`ArrowColumn` in Arrow's
        ``binary_view`` layout: values of 12 bytes or less inside their
        views, longer ones pointing into ``data`` itself when it is read-only
        (``bytes``, a read-only memoryview or mmap: the column holds it), else
        into a copy the column owns (writable data, values starting inside a
        byte).
        """
        from bitloom_bulk._definitions_decode import decode

        return decode(
            self,
            data,
            packet_bytes=packet_bytes,
            offsets=offsets,
            lengths=lengths,
            offset=offset,
            derived=derived,
            errors=errors,
            binary=binary,
        )

    def pack_columns(
        self,
        packet_type: str | PacketType,
        columns: Mapping[str, Any],
        /,
        *,
        packet_bytes: int | None = None,
    ) -> bytes:
        """Build the packets of one concrete type's table at once: ``columns``
        maps each of the type's fields (its parent's first) to a column of raw
        values, as ``decode(..., derived=False)`` gives them (a 2-D column for
        an array of fixed count, bytes for a binary field); the packets, each
        what ``bitloom.pack_parameters`` gives for its row's items, come back
        concatenated in one bytes object. ``packet_bytes`` pads every packet
        with zero bytes to that size: where a type's fields end before its
        packets do (spare bits at the end, say), the packets are framed at
        their full size, as a CCSDS length field says.

        Every item needs a fixed place and size; a size, count or place read
        from the packet, and records, raise :class:`DefinitionError`. A row
        whose packet would not decode as this type (its values fail the
        type's ``where``, or meet an earlier sibling's or a child's) raises a
        ValueError naming the row, before anything is packed. Values that do
        not pack raise what ``Layout.pack_columns`` raises.
        """
        from bitloom_bulk._definitions_pack import pack_columns

        return pack_columns(self, packet_type, columns, packet_bytes)

    def nodes(self) -> list[Node]:
        """The types read and placed, in definition order."""
        return self._nodes

    def roots(self) -> list[Node]:
        """The types without a parent, in definition order."""
        return self._roots


Definitions.__module__ = "bitloom_bulk"


def made_packet_type(
    name: str,
    items: list[dict[str, Any]],
    *,
    parent: str | None = None,
    where: Any = None,
    abstract: bool = False,
) -> PacketType:
    """A packet type whose items its maker built in canonical form (fresh
    dicts whose values are scalars, lists and dicts, none shared with another
    item): PacketType's checks without copying every item."""
    made = PacketType(name, [], parent=parent, where=where, abstract=abstract)
    made.items = items
    return made


def made_definitions(
    types: Sequence[PacketType],
    shapes: Mapping[int, Hashable],
    ready: Sequence[Sequence[Item | None]] | None = None,
) -> Definitions:
    """Definitions of types whose maker names the shape of items (``shapes``
    maps the id() of an item dict of ``types`` to its shape): items of one
    shape differ only in 'name' and 'offset_bits', so the first of each shape
    is read and checked and the others take its reading. ``ready`` (one list
    per type, parallel to its items) may hold an item's reading already made
    from one of :func:`shaped`, else None. The result and any error are
    those of ``Definitions(types)``."""
    made = Definitions.__new__(Definitions)
    made._setup(tuple(types), shapes, ready)
    return made


def shaped(template: dict[str, Any]) -> Item | None:
    """The reading (read_item's, every check run) that the items of a
    template's shape take but for their name, item and offset; None where
    the template is refused or holds records (such items are read one by
    one, and raise where Definitions would)."""
    try:
        first = read_item("", template, 0)
    except DefinitionError:
        return None
    return None if first.records is not None else first


def _read_items(
    type_name: str,
    items: list[Any],
    shapes: Mapping[int, Hashable] | None,
    read: dict[Hashable, Item],
    ready: Sequence[Item | None] | None = None,
) -> list[Item]:
    """The items of one type read; with shapes, each shape is read once; an
    item with a reading in ``ready`` takes it."""
    if not shapes:
        return [read_item(type_name, raw, i) for i, raw in enumerate(items)]
    if ready is not None and len(ready) == len(items):
        return [
            _read_shaped(type_name, raw, i, shapes, read) if made is None else made
            for i, (raw, made) in enumerate(zip(items, ready, strict=True))
        ]
    return [_read_shaped(type_name, raw, i, shapes, read) for i, raw in enumerate(items)]


def _read_shaped(
    type_name: str, raw: Any, i: int, shapes: Mapping[int, Hashable], read: dict[Hashable, Item]
) -> Item:
    shape = shapes.get(id(raw))
    first = None if shape is None else read.get(shape)
    if first is not None and type(raw) is dict:
        name = raw.get("name")
        offset = raw.get("offset_bits")
        if type(name) is str and (offset is None or type(offset) is int):
            # The first's reading but for the name, the item and the offset.
            return Item(
                name,
                first.kind,
                raw.copy(),
                first.encoding,
                first.bits,
                offset,
                first.count,
                first.records,
                first.record_bits,
                first.permutation,
                first.derived,
            )
    item = read_item(type_name, raw, i)
    if shape is not None and first is None and item.records is None:
        read[shape] = item
    return item


def _build(
    types: Sequence[PacketType],
    shapes: Mapping[int, Hashable] | None = None,
    ready: Sequence[Sequence[Item | None]] | None = None,
) -> tuple[list[Node], list[Node]]:
    by_name: dict[str, PacketType] = {}
    for t in types:
        if t.name in by_name:
            raise DefinitionError("two types have this name", type=t.name)
        by_name[t.name] = t
    for t in types:
        if t.parent is not None and t.parent not in by_name:
            raise DefinitionError(f"unknown parent {t.parent!r}", type=t.name)
    for t in types:
        seen = {t.name}
        parent = t.parent
        while parent is not None:
            if parent in seen:
                raise DefinitionError(f"its parents form a cycle through {parent!r}", type=t.name)
            seen.add(parent)
            parent = by_name[parent].parent
    nodes: dict[str, Node] = {}
    order: list[Node] = []
    read: dict[Hashable, Item] = {}
    for index, t in enumerate(types):
        node = Node(
            t.name,
            t.abstract,
            _where(t.name, t.where),
            _read_items(t.name, t.items, shapes, read, None if ready is None else ready[index]),
            index=index,
        )
        nodes[t.name] = node
        order.append(node)
    roots = []
    for t, node in zip(types, order, strict=True):
        if t.parent is None:
            roots.append(node)
        else:
            node.parent = nodes[t.parent]
            node.parent.children.append(node)
    _check_tree(roots)
    return order, roots


def _check_tree(roots: list[Node]) -> None:
    """Check every type's references (see :func:`_check_references`), the
    tree walked depth first with one table of the fields decoded so far, and
    raise the error of the first faulty type in definition order."""
    first: tuple[int, DefinitionError] | None = None
    before: dict[str, Item] = {}
    # Per type entered: whether it failed, and the table's size before it.
    stack: list[tuple[Node, bool, bool, int]] = [
        (root, False, False, 0) for root in reversed(roots)
    ]
    while stack:
        node, leaving, failed, size = stack.pop()
        if leaving:
            if failed:
                parent = node.parent
                before = {} if parent is None else {i.name: i for i in parent.fields()}
            elif size < len(node.items):
                # A type that passed added only names new to the table, at
                # its end: the table is its first entries again.
                before = dict(itertools.islice(before.items(), size))
            else:
                for item in node.items:
                    del before[item.name]
            continue
        size = len(before)
        try:
            _check_references(node, before)
        except DefinitionError as exc:
            failed = True
            if first is None or node.index < first[0]:
                first = (node.index, exc)
            # The children read every field of this type, checked or not.
            before = {i.name: i for i in node.fields()}
        stack.append((node, True, failed, size))
        stack.extend((child, False, False, 0) for child in reversed(node.children))
    if first is not None:
        raise first[1]


def _check_references(node: Node, before: dict[str, Item]) -> None:
    """Check one type's where, sizes and counts against ``before`` (the
    fields its parents decode, the later of one name kept), adding its own
    items to it as they are checked."""
    for name in condition_fields(node.where):
        ref = before.get(name)
        if ref is None:
            raise DefinitionError(
                f"where reads {name!r}, which is not decoded before this type"
                + (" (a root type's where can read nothing)" if node.parent is None else ""),
                type=node.name,
            )
        if not ref.scalar:
            raise DefinitionError(
                f"where reads {name!r}, which has no single value", type=node.name
            )
    for item in node.items:
        # An item of fixed bits and no count reads no other field.
        if item.count is not None or type(item.bits) is not int:
            _check_reads(node, item, before)
        name = item.name
        if name in before:
            raise DefinitionError(
                "a field of this name is decoded before it (in this type or a parent)",
                type=node.name,
                item=name,
            )
        before[name] = item


def _check_reads(node: Node, item: Item, before: dict[str, Item]) -> None:
    """Check the fields an item's count or size reads."""
    if isinstance(item.count, When):
        for name in condition_fields(item.count.cond):
            ref = before.get(name)
            if ref is None or not ref.scalar:
                raise DefinitionError(
                    f"count {{'when': ...}} reads {name!r}, which is"
                    + (" not decoded before it" if ref is None else " not one value"),
                    type=node.name,
                    item=item.name,
                )
    for key, value in (("bits", item.bits), ("count", item.count)):
        if not isinstance(value, FromField):
            continue
        ref = before.get(value.name)
        if ref is None:
            raise DefinitionError(
                f"{key} reads {value.name!r}, which is not decoded before it",
                type=node.name,
                item=item.name,
            )
        if ref.kind not in ("plain", "perm") or ref.encoding not in _SIZE_ENCODINGS:
            raise DefinitionError(
                f"{key} reads {value.name!r}, which is not an integer field",
                type=node.name,
                item=item.name,
            )
