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
    """Findings for every type of ``definitions``, in definition order: the
    recipe checks of each item (the keys definitions add are known; ``index``
    is the type's place in the set, ``name`` "type.item"), then
    ``unreachable-type``, ``size-too-large`` and ``records-do-not-fit``."""
    from bitloom_bulk._recipe_checks import Finding, check_recipe

    findings: list[Finding] = []
    for index, node in enumerate(definitions.nodes()):
        plain = [_recipe_part(item) for item in node.items]
        for found in check_recipe(plain):
            item = node.items[found.index]
            findings.append(Finding(index, f"{node.name}.{item.name}", found.code, found.message))
        for code, name, message in _unreachable(node) + _sizes(node):
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


def _unreachable(node: Node) -> list[tuple[str, str, str]]:
    """unreachable-type: an earlier sibling (or root) takes every packet this
    type's where holds for: its where is None, the same as this one's, or
    equalities that this one's equalities include."""
    siblings = node.parent.children if node.parent is not None else None
    if siblings is None:
        return []
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
            out.update(part)
        return out
    return None


def _covers(earlier: Condition | None, later: Condition | None) -> bool:
    if earlier is None:
        return True
    if earlier == later:
        return True
    a, b = _equalities(earlier), _equalities(later)
    return a is not None and b is not None and all(k in b and b[k] == v for k, v in a.items())


def _sizes(node: Node) -> list[tuple[str, str, str]]:
    out = []
    widths = {item.name: item.bits for item in node.fields() if isinstance(item.bits, int)}
    for item in node.items:
        name = f"{node.name}.{item.name}"
        for key, value, unit in (("bits", item.bits, 1), ("count", item.count, _unit(item))):
            if not isinstance(value, FromField):
                continue
            width = widths.get(value.name)
            if not isinstance(width, int):
                continue
            largest = max(value.scale * ((1 << width) - 1) + value.offset, value.offset)
            if largest * unit > LARGEST_PACKET_BITS:
                out.append(
                    (
                        "size-too-large",
                        name,
                        f"{key} from {value.name!r} ({width} bits) can reach {largest * unit}"
                        f" bits, more than the largest CCSDS packet ({LARGEST_PACKET_BITS}"
                        " bits): such a packet faults; check the scale and the field.",
                    )
                )
        if item.kind == "records" and isinstance(item.bits, int):
            count = item.count if isinstance(item.count, int) else None
            need = item.record_bits * (count if count is not None else 1)
            if need > item.bits:
                out.append(
                    (
                        "records-do-not-fit",
                        name,
                        f"{count if count is not None else 'one'} record(s) of"
                        f" {item.record_bits} bits need {need} bits, but the region holds"
                        f" {item.bits}: every packet faults (or has no records).",
                    )
                )
    return out


def _unit(item: Item) -> int:
    """The bits one counted element takes."""
    if item.kind == "records":
        return item.record_bits
    return item.bits if isinstance(item.bits, int) else 1
