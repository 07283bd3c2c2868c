"""The checks ``check_recipe`` runs over packet definitions: each item's
recipe part, as the recipe checks see it, and what only a tree of types can
get wrong (a type no packet reaches, a size or count that no packet can hold,
records that do not fit their region).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from bitloom_bulk._definitions import (
    DEFINITION_KEYS,
    AllOf,
    Compare,
    Condition,
    FromField,
    Item,
    Node,
)

if TYPE_CHECKING:
    from bitloom_bulk._definitions import Definitions
    from bitloom_bulk._recipe_checks import Finding

# The largest CCSDS space packet: a 16-bit length field + 7 bytes.
LARGEST_PACKET_BITS = 8 * (65535 + 7)


def check_definitions(definitions: Definitions) -> list[Finding]:
    """Check packet ``definitions`` for types no packet reaches, sizes no
    packet holds and records that do not fit, and each item's recipe part as
    :func:`check_recipe` checks a recipe.

    Returns findings in definition order, an empty list for sound definitions:
    for each type, the recipe checks of its items (the keys definitions add
    are known; ``index`` is the type's place in the set, ``name``
    "type.item"), then ``unreachable-type``, ``size-too-large`` and
    ``records-do-not-fit`` (see :mod:`bitloom_bulk.recipes` for the codes).
    ``check_recipe(definitions)`` gives the same.
    """
    from bitloom_bulk._definitions import Definitions
    from bitloom_bulk._recipe_checks import Finding, check_recipe

    if not isinstance(definitions, Definitions):
        raise TypeError(f"check_definitions checks Definitions, not {type(definitions).__name__}")
    findings: list[Finding] = []
    roots = definitions.roots()
    for index, node in enumerate(definitions.nodes()):
        plain = [_recipe_part(item) for item in node.items]
        for found in check_recipe(plain):
            item = node.items[found.index]
            findings.append(Finding(index, f"{node.name}.{item.name}", found.code, found.message))
        siblings = node.parent.children if node.parent is not None else roots
        for code, name, message in _unreachable(node, siblings) + _sizes(node):
            findings.append(Finding(index, name, code, message))
    return findings


def _recipe_part(item: Item) -> dict[str, Any]:
    """The item as the recipe checks see it: without the keys definitions
    add, a permuted number as big-endian, a binary field or a varying size
    as a whole-byte field of bytes."""
    out = {k: v for k, v in item.item.items() if k not in DEFINITION_KEYS}
    if item.permutation is not None:
        out["byte_order"] = "big"
    if item.encoding == "binary" or not isinstance(item.bits, int):
        out["encoding"] = "iso_8859_1" if item.encoding == "binary" else out["encoding"]
        out["bits"] = 8
    if item.offset is not None and item.offset < 0:
        out.pop("offset_bits")
    return out


def _unreachable(node: Node, siblings: list[Node]) -> list[tuple[str, str, str]]:
    """unreachable-type: an earlier sibling (or an earlier root, for a root)
    takes every packet this type's where holds for: its where is None, the
    same as this one's, or equalities that this one's equalities include."""
    out = []
    for earlier in siblings:
        if earlier is node:
            break
        if _covers(earlier.where, node.where):
            why = (
                "no where" if earlier.where is None else "a where that holds whenever this one does"
            )
            out.append(
                (
                    "unreachable-type",
                    node.name,
                    f"the earlier type {earlier.name!r} has {why}, so it takes every packet"
                    " this type would: no packet is of this type; put it first or narrow"
                    f" {earlier.name!r}'s where.",
                )
            )
            break
    return out


def _equalities(cond: Condition | None) -> dict[str, Any] | None:
    """A where made only of equalities, as {field: value}; None otherwise."""
    if isinstance(cond, Compare):
        return {cond.field: cond.value} if cond.op == "==" else None
    if isinstance(cond, AllOf):
        out: dict[str, Any] = {}
        for term in cond.terms:
            part = _equalities(term)
            if part is None:
                return None
            for name, value in part.items():
                # Two values for one field: the where never holds, and it
                # takes no packet from a later type.
                if name in out and out[name] != value:
                    return None
                out[name] = value
        return out
    return None


def _covers(earlier: Condition | None, later: Condition | None) -> bool:
    if earlier is None:
        return True
    if earlier == later:
        return True
    a, b = _equalities(earlier), _equalities(later)
    return a is not None and b is not None and all(k in b and b[k] == v for k, v in a.items())


def raw_range(encoding: str, bits: int) -> tuple[int, int]:
    """The smallest and largest raw value an integer field of ``bits`` bits
    in ``encoding`` decodes to (values are 64-bit: wider fields read their
    low 64 bits)."""
    width = min(bits, 64)
    if encoding == "unsigned":
        return 0, (1 << width) - 1
    if encoding == "twos_complement":
        return (-(1 << (width - 1)), (1 << (width - 1)) - 1) if width else (0, 0)
    if encoding in ("ones_complement", "sign_magnitude"):
        top = (1 << (width - 1)) - 1 if width else 0
        return -top, top
    # BCD: a digit per nibble (packed) or per byte (unpacked); the signed
    # packed form gives its last nibble to the sign, the signed unpacked form
    # keeps the sign in the last byte's zone.
    digits = {
        "packed_bcd": bits // 4,
        "packed_bcd_signed": bits // 4 - 1,
        "unpacked_bcd": bits // 8,
        "unpacked_bcd_signed": bits // 8,
    }[encoding]
    top = 10 ** max(digits, 0) - 1
    return (-top if encoding.endswith("_signed") else 0), top


def _largest(value: FromField, field: Item) -> int:
    """The largest size or count ``value`` gives, over every raw value of
    ``field``."""
    assert isinstance(field.bits, int)
    low, high = raw_range(field.encoding, field.bits)
    return max(value.scale * low + value.offset, value.scale * high + value.offset)


def _sizes(node: Node) -> list[tuple[str, str, str]]:
    out = []
    fields = {item.name: item for item in node.fields() if isinstance(item.bits, int)}
    for item in node.items:
        name = f"{node.name}.{item.name}"
        for key, value, unit in (("bits", item.bits, 1), ("count", item.count, _unit(item))):
            if not isinstance(value, FromField) or value.name not in fields:
                continue
            source = fields[value.name]
            largest = _largest(value, source)
            if largest * unit > LARGEST_PACKET_BITS:
                out.append(
                    (
                        "size-too-large",
                        name,
                        f"{key} from {value.name!r} ({source.bits}-bit {source.encoding}) can"
                        f" reach {largest * unit} bits, more than the largest CCSDS packet"
                        f" ({LARGEST_PACKET_BITS} bits): such a packet faults; check the"
                        " scale and the field.",
                    )
                )
        if item.kind == "records":
            out += _records_fit(node, item, fields)
    return out


def _records_fit(node: Node, item: Item, fields: dict[str, Item]) -> list[tuple[str, str, str]]:
    """records-do-not-fit: a region (fixed, or from a field at its largest)
    too small for one record, or for the fixed count of them."""
    if isinstance(item.bits, int):
        region, said = item.bits, f"the region holds {item.bits}"
    elif isinstance(item.bits, FromField) and item.bits.name in fields:
        region = _largest(item.bits, fields[item.bits.name])
        said = f"the region from {item.bits.name!r} holds at most {region}"
    else:
        return []
    count = item.count if isinstance(item.count, int) else None
    need = item.record_bits * (count if count is not None else 1)
    if need <= region:
        return []
    return [
        (
            "records-do-not-fit",
            f"{node.name}.{item.name}",
            f"{count if count is not None else 'one'} record(s) of {item.record_bits} bits"
            f" need {need} bits, but {said}: every packet faults (or has no records).",
        )
    ]


def _unit(item: Item) -> int:
    """The bits one counted element takes."""
    if item.kind == "records":
        return item.record_bits
    return item.bits if isinstance(item.bits, int) else 1
