"""XTCE telemetry definitions read into :class:`Definitions`.

The container tree (``SequenceContainer`` with ``BaseContainer`` and
``RestrictionCriteria``) becomes the tree of packet types: each container of
the tree is a :class:`PacketType` named after it, its entries (with
``ContainerRefEntry`` inlined) its items, its restriction criteria its
``where``. Parameter types become items (see :mod:`bitloom_bulk._xtce_types`).

What the model cannot say is refused, never skipped: with ``strict=True`` the
first refusal raises :class:`RecipeFileError` naming the element, its name and
its line; with ``strict=False`` each type that needs a refused element keeps
only its place in the tree (an abstract type with no items and no children,
so its packets count as unmatched) and ``defs.refusals`` lists each refusal.
A file that is wrong (not XML, not XTCE, a reference to nothing, a cycle)
always raises.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field, replace
from typing import Any

from bitloom_bulk._definitions import (
    DefinitionError,
    Definitions,
    Item,
    PacketType,
    canonical,
    made_definitions,
    made_packet_type,
    shaped,
)
from bitloom_bulk._recipe_load import RecipeFileError
from bitloom_bulk._xtce_types import (
    NUMBERS,
    QUIET,
    Bad,
    Kind,
    Reader,
    Refusal,
    Refused,
    Size,
    calibrated,
    children,
    instance,
    integral,
    number,
)
from bitloom_bulk._xtce_xml import NAMESPACES, Document, Element, tag, text

_OPERATORS = {"==": "==", "!=": "!=", "<": "<", "<=": "<=", ">": ">", ">=": ">="}
_ENTRY_PARTS = {"LocationInContainerInBits", "RepeatEntry", "IncludeCondition"}
_ENTRY_KINDS = {"ParameterRefEntry", "ContainerRefEntry"}


@dataclass
class _Scope:
    """What a packet has decoded so far down one line of containers: for each
    parameter the column of its latest occurrence, each column's kind, and
    the bit position reached when every size before it is fixed (else None)."""

    columns: dict[str, str] = field(default_factory=dict)
    kinds: dict[str, Kind] = field(default_factory=dict)
    position: int | None = 0

    def copy(self) -> _Scope:
        return _Scope(dict(self.columns), dict(self.kinds), self.position)


def load_xtce(source: Any, *, root: str | None = None, strict: bool = True) -> Definitions:
    """Read XTCE telemetry definitions (a path, an open file, or the XML as
    ``str`` or ``bytes``) into :class:`Definitions`: one packet type per
    container of the tree under ``root`` (by default the one container
    without a base that others inherit from).

    Elements outside what the definitions model can say are refused: with
    ``strict=True`` the first raises :class:`RecipeFileError` naming the
    element, its name and its line; with ``strict=False`` each packet type
    that needs one is kept as an abstract type without items or children (its
    packets are unmatched) and ``refusals`` on the result lists
    ``(element, name, line, why)`` for each. A file that cannot be read as
    XTCE always raises :class:`RecipeFileError` with the file, line and
    element.

    The XML is read by lxml where it is installed (it parses faster), else
    by the standard library's parser; both give the same result and errors.
    """
    label, data = _read_source(source)
    document = Document(label, data)
    top = document.root
    if tag(top) != "SpaceSystem":
        raise RecipeFileError(
            label,
            f"not an XTCE document: the root element is {tag(top)!r}, not 'SpaceSystem'",
            line=document.line(top),
        )
    if document.namespace and document.namespace not in NAMESPACES:
        raise RecipeFileError(
            label,
            f"SpaceSystem: unknown namespace {document.namespace!r} (XTCE 1.1, 1.2 and 1.3"
            " are read)",
            line=document.line(top),
        )
    try:
        return _Tree(document, Reader(document), strict).build(root)
    except Bad as exc:
        raise RecipeFileError(
            label, f"{tag(exc.element)}: {exc.problem}", line=document.line(exc.element)
        ) from None


def _read_source(source: Any) -> tuple[str, bytes | str]:
    if isinstance(source, bytes):
        return "<xtce>", source
    if isinstance(source, str) and source.lstrip().startswith("<"):
        return "<xtce>", source
    if isinstance(source, (str, os.PathLike)):
        label = os.fspath(source)
        with open(label, "rb") as handle:
            return label, handle.read()
    if hasattr(source, "read"):
        label = str(getattr(source, "name", "<stream>"))
        data = source.read()
        if not isinstance(data, (bytes, str)):
            raise TypeError(f"{label}: read() gave {type(data).__name__}, not bytes or str")
        return label, data
    raise TypeError(f"load_xtce takes a path, a file or XML text, not {type(source).__name__}")


def _refusal_error(label: str, refusal: Refusal, container: str | None) -> RecipeFileError:
    inside = f" (in container {container!r})" if container and container != refusal.name else ""
    return RecipeFileError(
        label,
        f"{refusal.element} of {refusal.name!r}{inside} is refused: {refusal.why}",
        line=refusal.line or None,
    )


class _Tree:
    """The containers of the tree under the root, read into packet types."""

    def __init__(self, document: Document, reader: Reader, strict: bool) -> None:
        self.document, self.reader, self.strict = document, reader, strict
        self.label = document.label
        self.refusals: list[Refusal] = []
        self.bases: dict[str, tuple[str, Element]] = {}
        self.inheritors: dict[str, list[str]] = {}
        # Items of one shape (by id of the item) differ only in name and
        # offset: the definitions read the first of each and copy the rest.
        # The items of a refused container are dropped from it, so that no
        # id names two items.
        self.shapes: dict[int, int | tuple[int, int]] = {}
        # Per type name, what _plain found (types once read never change).
        self.plain: dict[str, tuple[Kind, dict[str, Any] | None, Item | None]] = {}
        # Per packet type, parallel to its items: each item's reading where
        # it is made with the item (see _plain_entry), else None; the list
        # of the type being read is the last.
        self.ready: list[list[Item | None]] = []

    def build(self, root: str | None) -> Definitions:
        for refusal in self.reader.top_refusals:
            self._refuse(refusal, None)
        containers = self.reader.containers
        for name, node in containers.items():
            if tag(node) != "SequenceContainer":
                self._refuse(Refused(node, name, "not decoded"), name)
            base = node.find("{*}BaseContainer")
            if base is not None:
                ref = base.get("containerRef")
                if not ref:
                    raise Bad(base, f"the BaseContainer of {name!r} needs a 'containerRef'")
                if ref not in containers:
                    raise Bad(base, f"{name!r} is based on {ref!r}, which is not defined")
                self.bases[name] = (ref, base)
        for name in containers:
            seen = {name}
            at = self.bases.get(name)
            while at is not None:
                if at[0] in seen:
                    raise Bad(at[1], f"the bases of {name!r} form a cycle through {at[0]!r}")
                seen.add(at[0])
                at = self.bases.get(at[0])
        for name in containers:
            if name in self.bases:
                self.inheritors.setdefault(self.bases[name][0], []).append(name)
        root = self._root(root)
        types: list[PacketType] = []
        lines: dict[str, Element] = {}
        try:
            self._add(root, None, _Scope(), types, lines)
            definitions = made_definitions(types, self.shapes, self.ready)
        except DefinitionError as exc:
            found = lines.get(exc.type or "")
            line = None if found is None else self.document.line(found)
            raise RecipeFileError(self.label, f"SequenceContainer: {exc}", line=line) from None
        definitions.refusals = list(self.refusals)
        return definitions

    def _root(self, root: str | None) -> str:
        containers = self.reader.containers
        if root is not None:
            if root not in containers:
                raise RecipeFileError(self.label, f"no container is named {root!r}")
            if root in self.bases:
                base = self.bases[root]
                raise Bad(
                    base[1],
                    f"the root {root!r} has a base, {base[0]!r}: name a container without one",
                )
            return root
        roots = [n for n in containers if n not in self.bases and n in self.inheritors]
        if len(roots) != 1:
            found = ", ".join(repr(n) for n in roots) or "none"
            raise RecipeFileError(
                self.label,
                f"cannot choose the root container: containers without a base that others"
                f" inherit from: {found}; name one with root=",
            )
        return roots[0]

    def _refuse(self, refused: Refused, container: str | None) -> None:
        element = refused.element
        refusal = Refusal(tag(element), refused.name, self.document.line(element) or 0, refused.why)
        if self.strict:
            raise _refusal_error(self.label, refusal, container)
        if refusal not in self.refusals:
            self.refusals.append(refusal)

    def _add(
        self,
        name: str,
        parent: str | None,
        scope: _Scope,
        types: list[PacketType],
        lines: dict[str, Element],
    ) -> None:
        node = self.reader.containers[name]
        lines[name] = node
        abstract = node.get("abstract", "false") in ("true", "1")
        where = None
        try:
            if parent is not None:
                where = self._where(self.bases[name][1], name, scope)
        except Refused as exc:
            # The packets this container takes cannot be told apart: every
            # packet reaching it stops here, unmatched.
            self._refuse(exc, name)
            types.append(made_packet_type(name, [], parent=parent, abstract=True))
            self.ready.append([])
            return
        own = scope.copy()
        items: list[dict[str, Any]] = []
        self.ready.append([])
        try:
            self._container(node, name, own, own.position, [name], items)
        except Refused as exc:
            for item in items:
                self.shapes.pop(id(item), None)
            self.ready[-1] = []
            self._refuse(exc, name)
            types.append(made_packet_type(name, [], parent=parent, where=where, abstract=True))
            return
        types.append(made_packet_type(name, items, parent=parent, where=where, abstract=abstract))
        for child in self.inheritors.get(name, []):
            self._add(child, name, own, types, lines)

    # -- entries ---------------------------------------------------------------------

    def _container(
        self,
        node: Element,
        name: str,
        scope: _Scope,
        start: int | None,
        stack: list[str],
        items: list[dict[str, Any]],
    ) -> list[dict[str, Any]]:
        runs = self.document.runs
        for child in children(node, name, {"EntryList", "BaseContainer"}):
            if tag(child) != "EntryList":
                continue
            run = None if runs is None else runs.entries(child)
            if run is not None:
                # ParameterRefEntry elements alone, without children: each
                # element is made only where its entry is not plain.
                elements = None
                for i, parameter in enumerate(run):
                    if not self._plain_entry(parameter, scope, items):
                        if elements is None:
                            elements = list(child)
                        self._entry(
                            elements[i], "ParameterRefEntry", name, scope, start, stack, items
                        )
                continue
            last, local = "", ""
            for entry in child:
                # Entry lists hold runs of one tag: a run's name is read once.
                if entry.tag != last:
                    last, local = entry.tag, tag(entry)
                if (
                    local == "ParameterRefEntry"
                    and not len(entry)
                    and self._plain_entry(entry.get("parameterRef") or "", scope, items)
                ):
                    continue
                if local in _ENTRY_KINDS:
                    self._entry(entry, local, name, scope, start, stack, items)
                elif local not in QUIET:
                    raise Refused(entry, name, f"{local} in {tag(child)} is not decoded")
        return items

    def _plain_entry(self, parameter: str, scope: _Scope, items: list[dict[str, Any]]) -> bool:
        """Add the item of a ParameterRefEntry without children where it is
        plain: a Parameter not decoded before in the scope, of a type read
        before whose values are of fixed bits and no count; the item is the
        one _item would make. Whether it was."""
        type_name = self.reader.type_refs.get(parameter)
        if type_name is None or parameter in scope.kinds:
            return False
        plain = self.plain.get(type_name)
        if plain is None:
            plain = self._plain(type_name)
            if plain is None:
                return False
        kind, template, first = plain
        if template is None:
            item = {
                "name": parameter,
                "encoding": kind.encoding,
                "bits": kind.bits,
                "byte_order": kind.byte_order,
                "reverse_bits": False,
            }
            item.update(canonical(kind.derived))
        else:
            item = template.copy()
            item["name"] = parameter
        if first is None:
            self.shapes[id(item)] = id(kind)
            self.ready[-1].append(None)
        else:
            # The template's reading but for the name and the item.
            self.ready[-1].append(
                Item(
                    parameter,
                    first.kind,
                    item.copy(),
                    first.encoding,
                    first.bits,
                    None,
                    first.count,
                    first.records,
                    first.record_bits,
                    first.permutation,
                    first.derived,
                )
            )
        scope.columns[parameter] = parameter
        scope.kinds[parameter] = kind
        if scope.position is not None:
            scope.position += kind.bits  # type: ignore[operator]
        items.append(item)
        return True

    def _plain(self, type_name: str) -> tuple[Kind, dict[str, Any] | None, Item | None] | None:
        """The kind of a type read before whose every value is one of fixed
        bits and no count, the item it makes (but its name) where it has no
        derived value to copy, and that item's reading where Definitions
        takes it; None for any other type."""
        kind = self.reader.kinds.get(type_name)
        if kind is None or type(kind.bits) is not int or kind.count is not None:
            return None
        template = None
        if not kind.derived:
            template = {
                "name": "",
                "encoding": kind.encoding,
                "bits": kind.bits,
                "byte_order": kind.byte_order,
                "reverse_bits": False,
            }
        first = None if template is None else shaped(template)
        found = self.plain[type_name] = (kind, template, first)
        return found

    def _entry(
        self,
        entry: Element,
        entry_tag: str,
        name: str,
        scope: _Scope,
        start: int | None,
        stack: list[str],
        items: list[dict[str, Any]],
    ) -> None:
        location = repeat = include = offset = None
        if len(entry):
            for part in children(entry, name, _ENTRY_PARTS):
                if tag(part) == "IncludeCondition":
                    include = part
                elif tag(part) == "LocationInContainerInBits":
                    location = part
                else:
                    repeat = part
            offset = self._location(location, name, scope, start)
            if offset is not None:
                scope.position = offset
        if entry_tag == "ContainerRefEntry":
            ref = entry.get("containerRef")
            if not ref:
                raise Bad(entry, "a ContainerRefEntry needs a 'containerRef'")
            if ref not in self.reader.containers:
                raise Bad(entry, f"refers to the container {ref!r}, which is not defined")
            if ref in stack:
                raise Bad(entry, f"the containers include each other in a cycle through {ref!r}")
            if repeat is not None:
                raise Refused(repeat, name, "a repeated container is not decoded")
            if include is not None:
                raise Refused(include, name, "a container included on a condition is not decoded")
            before = len(items)
            self._container(
                self.reader.containers[ref], name, scope, scope.position, [*stack, ref], items
            )
            if offset is not None and len(items) > before:
                items[before]["offset_bits"] = offset
                # Its reading is made again, with the offset.
                self.ready[-1][before] = None
            return
        parameter = entry.get("parameterRef")
        if not parameter:
            raise Bad(entry, "a ParameterRefEntry needs a 'parameterRef'")
        _, kind = self.reader.parameter(parameter, entry)
        when = None
        if include is not None:
            when = self._criteria(include, name, scope)
            if kind.kind not in NUMBERS or kind.leading is not None or repeat is not None:
                what = "repeated entry" if repeat is not None else f"{kind.kind} entry"
                raise Refused(include, name, f"a {what} included on a condition is not decoded")
        made = self._item(entry, name, parameter, kind, scope, repeat)
        if offset is not None:
            made[0]["offset_bits"] = offset
        if when is not None:
            # There once where the condition holds, else not at all: a child
            # table of the packets that have it; later positions vary.
            made[-1]["count"] = {"when": canonical(when)}
            self.shapes.pop(id(made[-1]), None)
            column = made[-1]["name"]
            scope.kinds[column] = replace(scope.kinds[column], kind="conditional")
            scope.position = None
        items.extend(made)
        self.ready[-1].extend([None] * len(made))

    def _location(
        self, node: Element | None, name: str, scope: _Scope, start: int | None
    ) -> int | None:
        if node is None:
            return None
        reference = node.get("referenceLocation", "previousEntry")
        values = [c for c in node if tag(c) not in QUIET]
        if len(values) != 1 or tag(values[0]) != "FixedValue":
            raise Refused(node, name, "a location other than a FixedValue is not decoded")
        value = integral(
            values[0], number(values[0], text(values[0]), "location", name), "a location", name
        )
        if reference == "previousEntry":
            if value == 0:
                return None
            base = scope.position
        elif reference == "containerStart":
            base = start
        else:
            raise Refused(node, name, f"a location from {reference!r} is not decoded")
        if base is None:
            raise Refused(
                node, name, f"a location from {reference!r} after a field of varying size"
            )
        if base + value < 0:
            raise Bad(node, f"the location {value} from {reference!r} falls before the packet")
        return base + value

    def _reference(self, size: Size, at: Element, name: str, scope: _Scope) -> str:
        column = scope.columns.get(size.parameter)
        if column is None:
            raise Bad(
                at,
                f"a size or count reads {size.parameter!r}, which is not decoded"
                f" before it in {name!r}",
            )
        return column

    def _item(
        self,
        entry: Element,
        name: str,
        parameter: str,
        kind: Kind,
        scope: _Scope,
        repeat: Element | None,
    ) -> list[dict[str, Any]]:
        """The items of one parameter entry: its own, after the size tag of a
        text that has one (a column ``NAME.size``)."""
        column = parameter
        n = 1
        while column in scope.kinds:
            n += 1
            column = f"{parameter}#{n}"
        bits: Any = kind.bits
        if type(bits) is int and kind.count is None and repeat is None and kind.leading is None:
            # One value of fixed bits: the item every entry of the kind makes.
            plain: dict[str, Any] = {
                "name": column,
                "encoding": kind.encoding,
                "bits": bits,
                "byte_order": kind.byte_order,
                "reverse_bits": False,
            }
            if kind.derived:
                plain.update(canonical(kind.derived))
            self.shapes[id(plain)] = id(kind)
            scope.columns[parameter] = column
            scope.kinds[column] = kind
            if scope.position is not None:
                scope.position += bits
            return [plain]
        made: list[dict[str, Any]] = []
        if kind.leading is not None:
            tag = f"{column}.size"
            made.append(
                {
                    "name": tag,
                    "encoding": "unsigned",
                    "bits": kind.leading,
                    "byte_order": "big",
                    "reverse_bits": False,
                }
            )
            bits = {"field": tag, "scale": 8, "offset": 0}
        elif kind.terminator is not None:
            bits = {"terminator": kind.terminator}
        elif isinstance(bits, Size):
            bits = {
                "field": self._reference(bits, entry, name, scope),
                "scale": bits.slope,
                "offset": bits.intercept,
            }
        item: dict[str, Any] = {
            "name": column,
            "encoding": kind.encoding,
            "bits": bits,
            "byte_order": kind.byte_order,
            "reverse_bits": False,
        }
        count = kind.count
        if repeat is not None:
            if kind.kind not in NUMBERS or count is not None:
                raise Refused(repeat, name, f"a repeated {kind.kind} entry is not decoded")
            count = self._repeat(repeat, name)
        if count is not None:
            if isinstance(count, Size):
                item["count"] = {
                    "field": self._reference(count, entry, name, scope),
                    "scale": count.slope,
                    "offset": count.intercept,
                }
            else:
                item["count"] = count
        if kind.derived:
            item.update(canonical(kind.derived))
        if kind.leading is None and type(bits) is int and (count is None or type(count) is int):
            self.shapes[id(item)] = id(kind) if count is None else (id(kind), count)
        scope.columns[parameter] = column
        scope.kinds[column] = kind
        if scope.position is not None:
            width = kind.bits if isinstance(kind.bits, int) else None
            if width is not None and isinstance(count, int):
                width *= count
            elif count is not None:
                width = None
            scope.position = None if width is None else scope.position + width
        made.append(item)
        return made

    def _repeat(self, node: Element, name: str) -> int | Size:
        count = None
        for part in children(node, name, {"Count", "Offset"}):
            if tag(part) == "Offset":
                raise Refused(part, name, "a gap between repeated entries is not decoded")
            count = part
        if count is None:
            raise Bad(node, f"the RepeatEntry in {name!r} needs a Count")
        values = [c for c in count if tag(c) not in QUIET]
        if len(values) != 1:
            raise Bad(count, f"the Count in {name!r} needs one value")
        if tag(values[0]) == "FixedValue":
            return integral(
                values[0], number(values[0], text(values[0]), "count", name), "a count", name
            )
        if tag(values[0]) == "DynamicValue":
            return self.reader.dynamic(values[0], name)
        raise Refused(values[0], name, f"a count given by {tag(values[0])} is not decoded")

    # -- restriction criteria ------------------------------------------------------

    def _where(self, base: Element, name: str, scope: _Scope) -> Any:
        criteria = None
        for child in children(base, name, {"RestrictionCriteria"}):
            criteria = child
        if criteria is None:
            return None
        return self._criteria(criteria, name, scope)

    def _criteria(self, criteria: Element, name: str, scope: _Scope) -> Any:
        """A RestrictionCriteria's or an IncludeCondition's one criterion as a where."""
        found = list(
            children(criteria, name, {"Comparison", "ComparisonList", "BooleanExpression"})
        )
        if len(found) != 1:
            raise Bad(criteria, f"the {tag(criteria)} of {name!r} needs one criterion")
        top = found[0]
        if tag(top) == "Comparison":
            return [self._comparison(top, name, scope)]
        if tag(top) == "ComparisonList":
            return [self._comparison(c, name, scope) for c in children(top, name, {"Comparison"})]
        terms = [c for c in top if tag(c) not in QUIET]
        if len(terms) != 1:
            raise Bad(top, f"the BooleanExpression of {name!r} needs one term")
        term = self._boolean(terms[0], name, scope)
        return [term] if isinstance(term, tuple) else term

    def _boolean(self, node: Element, name: str, scope: _Scope) -> Any:
        if tag(node) == "Condition":
            return self._condition(node, name, scope)
        if tag(node) in ("ANDedConditions", "ORedConditions"):
            terms = [
                self._boolean(c, name, scope)
                for c in children(node, name, {"Condition", "ANDedConditions", "ORedConditions"})
            ]
            return {"all" if tag(node) == "ANDedConditions" else "any": terms}
        raise Refused(node, name, f"{tag(node)} in a BooleanExpression is not decoded")

    def _comparison(self, node: Element, name: str, scope: _Scope) -> tuple[str, str, Any]:
        parameter = node.get("parameterRef")
        value = node.get("value")
        if not parameter or value is None:
            raise Bad(node, f"a Comparison in {name!r} needs 'parameterRef' and 'value'")
        instance(node, name)
        op = node.get("comparisonOperator", "==")
        return self._term(node, name, scope, parameter, op, value, calibrated(node))

    def _condition(self, node: Element, name: str, scope: _Scope) -> tuple[str, str, Any]:
        refs = node.findall("{*}ParameterInstanceRef")
        operator = node.find("{*}ComparisonOperator")
        value = node.find("{*}Value")
        list(children(node, name, {"ParameterInstanceRef", "ComparisonOperator", "Value"}))
        if len(refs) == 2:
            raise Refused(node, name, "a Condition comparing two parameters is not decoded")
        if len(refs) != 1 or operator is None or value is None or not refs[0].get("parameterRef"):
            raise Bad(
                node,
                f"a Condition in {name!r} needs a ParameterInstanceRef, a"
                " ComparisonOperator and a Value",
            )
        instance(refs[0], name)
        return self._term(
            node,
            name,
            scope,
            refs[0].get("parameterRef", ""),
            text(operator),
            text(value),
            calibrated(refs[0]),
        )

    def _term(
        self,
        node: Element,
        name: str,
        scope: _Scope,
        parameter: str,
        op: str,
        text: str,
        use_calibrated: bool,
    ) -> tuple[str, str, Any]:
        if op not in _OPERATORS:
            raise Bad(node, f"unknown comparison operator {op!r} in {name!r}")
        column = scope.columns.get(parameter)
        if column is None:
            if parameter not in self.reader.parameters:
                raise Bad(node, f"refers to the parameter {parameter!r}, which is not defined")
            raise Bad(
                node,
                f"the restriction of {name!r} reads {parameter!r}, which is not decoded before it",
            )
        kind = scope.kinds[column]
        if kind.count is not None or kind.kind not in ("integer", "enum", "boolean"):
            raise Refused(node, name, f"a restriction on a {kind.kind} parameter ({parameter!r})")
        if kind.kind == "enum" and use_calibrated:
            labels = kind.derived["enumeration"]
            raws = [raw for raw, label in labels.items() if label == text]
            if len(raws) != 1 or op not in ("==", "!="):
                raise Refused(
                    node,
                    name,
                    f"a restriction on the label {text!r} of {parameter!r} (one label, == or !=,"
                    " are read)",
                )
            return (column, op, raws[0])
        if kind.kind == "boolean" and use_calibrated:
            word = text.strip().lower()
            if word not in ("true", "false") or op not in ("==", "!="):
                raise Refused(
                    node,
                    name,
                    f"a restriction {op} {text!r} on the boolean {parameter!r} ('true' or"
                    " 'false', == or !=, are read)",
                )
            # True is any raw value but 0.
            holds = (word == "true") == (op == "==")
            return (column, "!=" if holds else "==", 0)
        if kind.derived and kind.kind == "integer" and use_calibrated:
            raise Refused(node, name, f"a restriction on the calibrated value of {parameter!r}")
        try:
            value = int(text.strip())
        except ValueError:
            raise Bad(
                node,
                f"the restriction of {name!r} compares {parameter!r} with {text!r}, not an integer",
            ) from None
        return (column, op, value)
