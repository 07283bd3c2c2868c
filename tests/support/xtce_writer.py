"""A small XTCE writer for the round-trip tests of load_xtce: random packet
definitions of what XTCE can say, and each written out as an XTCE document
the way a mission's tools write one (parameter types, parameters, a tree of
sequence containers with restriction criteria).

The writer works from the definitions alone and from the XTCE standard's
meaning of each element, never from the reader: a document that decodes
differently from the definitions it came from is a fault of the reader (or
of this writer, which the test then shows).
"""

from __future__ import annotations

import random
from typing import Any
from xml.sax.saxutils import quoteattr

import numpy as np

from bitloom_bulk import Definitions, PacketType, field
from bitloom_bulk._xtce_xml import XTCE_1_2

NAMESPACE = XTCE_1_2
_INTEGER = {
    "unsigned": "unsigned",
    "twos_complement": "twosComplement",
    "ones_complement": "onesComplement",
    "sign_magnitude": "signMagnitude",
    "packed_bcd": "packedBCD",
}
_TEXT = {"iso_8859_1": "ISO-8859-1", "us_ascii": "US-ASCII", "windows_1252": "Windows-1252"}
_TEXT_CHOICES = ["iso_8859_1", "iso_8859_1", "windows_1252", "us_ascii"]
_OPS = ["==", "!=", "<", "<=", ">", ">="]
# Header fields of every packet: small counters first, so sizes and counts fit.
HEADER = [
    ("kind", "unsigned", 3),
    ("n", "unsigned", 3),
    ("m", "unsigned", 2),
    ("code", "unsigned", 8),
    ("word", "twos_complement", 16),
]


# -- random definitions of what XTCE can say ---------------------------------------


class _Line:
    """What one line of containers has decoded: the scalar integer columns a
    restriction may read (with an enumeration's labels) and the fixed bit
    position reached (None after a field of varying size)."""

    def __init__(self) -> None:
        self.scalars: dict[str, dict[int, str] | None] = {}
        self.position: int | None = 0

    def copy(self) -> _Line:
        line = _Line()
        line.scalars = dict(self.scalars)
        line.position = self.position
        return line


def _size(rng: random.Random, scale: int) -> dict[str, Any]:
    return {"field": rng.choice(["n", "m"]), "scale": scale, "offset": rng.randint(0, 2) * scale}


def _integer(rng: random.Random, name: str) -> dict[str, Any]:
    # Packed BCD seldom: random bytes are mostly not BCD, and such packets fault.
    encoding = rng.choices(list(_INTEGER), weights=[4, 4, 2, 2, 1])[0]
    bits = rng.randint(2, 24)
    if encoding == "packed_bcd":
        bits = 4 * rng.randint(1, 2)
    item = field(name, encoding, bits)
    if bits % 8 == 0 and rng.random() < 0.3:
        item["byte_order"] = "little"
    return item


def _number(rng: random.Random, name: str) -> dict[str, Any]:
    roll = rng.random()
    if roll < 0.45:
        return _integer(rng, name)
    if roll < 0.6:
        encoding, bits = rng.choice(["unsigned", "twos_complement"]), rng.randint(2, 4)
        item = field(name, encoding, bits)
        low = -(2 ** (bits - 1)) if encoding == "twos_complement" else 0
        values = list(range(low, low + 2**bits))
        if rng.random() < 0.3:
            values.remove(rng.choice(values))  # a raw value without a label faults
        item["enumeration"] = {v: f"L{v}" for v in values}
        return item
    if roll < 0.75:
        item = _integer(rng, name)
        item["polynomial"] = [round(rng.uniform(-4, 4), 3) for _ in range(rng.randint(2, 4))]
        return item
    if roll < 0.8:
        item = _integer(rng, name)
        item["boolean"] = True
        return item
    if roll < 0.88:
        item = field(name, "unsigned", rng.choice([8, 10, 16]))
        top = 2 ** item["bits"] - 1
        middle = rng.randint(1, top - 1)
        item["spline"] = [[0, -1.5], [middle, 2.25], [top, rng.uniform(-8, 8)]]
        return item
    bits = rng.choice([32, 64])
    item = field(name, f"ieee754_f{bits}", bits)
    if rng.random() < 0.4:
        item["byte_order"] = "little"
    return item


_EPOCH_CHOICES = ["1958-01-01T00:00:00", "1970-01-01T00:00:00", "2010-05-04T03:02:01.500000"]
# The epochs XTCE names (the writer writes the name where one fits).
_NAMED_EPOCHS = {"TAI": "1958-01-01T00:00:00", "UNIX": "1970-01-01T00:00:00"}


def _items(rng: random.Random, name: str, line: _Line) -> list[dict[str, Any]]:
    """One parameter's items: a text with a leading size tag is two (the tag,
    ``NAME.size``, then the text it sizes); everything else one."""
    roll = rng.random()
    if roll < 0.06:
        tag = field(f"{name}.size", "unsigned", rng.choice([3, 4, 8]))
        text = field(name, "iso_8859_1", {"field": tag["name"], "scale": 8, "offset": 0})
        _place(rng, tag, line)
        line.position = None
        return [tag, text]
    if roll < 0.12:
        coarse, fine = rng.randint(1, 4), rng.randint(0, 3)
        time = {"code": "cuc", "coarse_bytes": coarse, "fine_bytes": fine}
        time["epoch"] = rng.choice(_EPOCH_CHOICES)
        item = field(name, "binary", 8 * (coarse + fine), time=time)
        _place(rng, item, line)
        return [item]
    if roll < 0.24 and roll >= 0.2:
        item = field(name, "iso_8859_1", {"terminator": rng.choice([0, 7, 0x41])})
        _place(rng, item, line)
        return [item]
    if roll < 0.2:
        # A number included on a condition on what the line decoded before it.
        item = _number(rng, name)
        item["count"] = {"when": _where(rng, line)}
        _place(rng, item, line)
        return [item]
    item = _item(rng, name)
    _place(rng, item, line)
    plain = item["encoding"] in _INTEGER and "count" not in item
    if plain and "boolean" in item:
        line.scalars[name] = {0: "false"}  # compared with 0 as "false"
    elif plain and not ({"polynomial", "spline"} & set(item)):
        line.scalars[name] = item.get("enumeration")
    return [item]


def _place(rng: random.Random, item: dict[str, Any], line: _Line) -> None:
    """Maybe a gap or a step back before the item, where the position is
    known; the position after it."""
    if line.position is not None and rng.random() < 0.15:
        item["offset_bits"] = max(0, line.position + rng.randint(-12, 12))
    position = item.get("offset_bits", line.position)
    bits = item["bits"]
    count = item.get("count", 1)
    if position is None or not isinstance(bits, int) or not isinstance(count, int):
        line.position = None
    else:
        line.position = position + bits * count


def _item(rng: random.Random, name: str) -> dict[str, Any]:
    roll = rng.random()
    if roll < 0.4:
        item = _number(rng, name)
    elif roll < 0.5:
        order = rng.choice(["21", "321", "3412", "2143", "2341", "4321", "1243"])
        item = field(name, "unsigned", 8 * len(order), byte_order=order)
    elif roll < 0.6:
        bits = rng.choice([8, 24, _size(rng, 8)])
        item = field(name, "binary", bits)
    elif roll < 0.7:
        bits = rng.choice([16, 8 * rng.randint(1, 4), _size(rng, 8)])
        item = field(name, rng.choice(_TEXT_CHOICES), bits)
    else:
        element = _number(rng, name)
        element["count"] = rng.choice([rng.randint(0, 4), _size(rng, 1)])
        item = element
    return item


def _term(rng: random.Random, line: _Line) -> tuple[str, str, int]:
    enumerated = sorted(n for n, labels in line.scalars.items() if labels)
    name = rng.choice(enumerated if enumerated and rng.random() < 0.6 else sorted(line.scalars))
    labels = line.scalars[name]
    if labels is not None and rng.random() < 0.7:
        return (name, rng.choice(["==", "!="]), rng.choice(sorted(labels)))
    return (name, rng.choice(_OPS), rng.randint(-2, 9))


def _where(rng: random.Random, line: _Line) -> Any:
    roll = rng.random()
    if roll < 0.4:
        return [_term(rng, line)]
    if roll < 0.6:
        return [_term(rng, line) for _ in range(rng.randint(2, 3))]
    inner = {rng.choice(["any", "all"]): [_term(rng, line), _term(rng, line)]}
    return {rng.choice(["any", "all"]): [_term(rng, line), inner]}


def random_packets(seed: int, count: int) -> tuple[bytes, Any, Any]:
    """``count`` random packets of 30-140 bytes whose first byte keeps the
    header's counters small (mostly), so sizes and counts mostly fit."""
    gen = np.random.default_rng(seed)
    sizes = gen.integers(30, 140, size=count)
    data = gen.integers(0, 256, size=int(sizes.sum()), dtype=np.uint8)
    offsets = np.zeros(count, dtype=np.int64)
    np.cumsum(sizes[:-1], out=offsets[1:])
    data[offsets] &= gen.choice([0x3F, 0xFF], size=count, p=[0.9, 0.1]).astype(np.uint8)
    return bytes(data), offsets, sizes.astype(np.int64)


def random_definitions(seed: int) -> Definitions:
    """Random definitions of what XTCE can say, with the header of HEADER."""
    rng = random.Random(seed)
    root = _Line()
    header = []
    for name, encoding, bits in HEADER:
        header.append(field(name, encoding, bits))
        root.scalars[name] = None
    root.position = sum(bits for _, _, bits in HEADER)
    counter = 0
    for _ in range(rng.randint(0, 3)):
        counter += 1
        header.extend(_items(rng, f"p{counter}", root))
    types = [PacketType("root", header, abstract=rng.random() < 0.5)]
    lines = {"root": root}
    depth = {"root": 0}
    for t in range(rng.randint(1, 6)):
        parent = rng.choice([x.name for x in types if depth[x.name] < 3])
        line = lines[parent].copy()
        where = _where(rng, line) if rng.random() < 0.85 else None
        items = []
        for _ in range(rng.randint(0, 5)):
            counter += 1
            items.extend(_items(rng, f"p{counter}", line))
        name = f"t{t}"
        types.append(
            PacketType(name, items, parent=parent, where=where, abstract=rng.random() < 0.2)
        )
        lines[name] = line
        depth[name] = depth[parent] + 1
    return Definitions(types)


# -- the writer --------------------------------------------------------------------


def _attrs(**values: Any) -> str:
    return "".join(f" {k}={quoteattr(str(v))}" for k, v in values.items() if v is not None)


def _dynamic(size: dict[str, Any], intercept_shift: int = 0) -> str:
    """A DynamicValue: the raw value of a parameter x slope + intercept, the
    attributes left out where they are XTCE's defaults (1 and 0)."""
    slope, intercept = size.get("scale", 1), size.get("offset", 0) + intercept_shift
    adjust = _attrs(slope=None if slope == 1 else slope, intercept=intercept or None)
    return (
        f"<DynamicValue><ParameterInstanceRef{_attrs(parameterRef=size['field'])}/>"
        f"{f'<LinearAdjustment{adjust}/>' if adjust else ''}</DynamicValue>"
    )


def _byte_order(item: dict[str, Any]) -> tuple[str | None, str]:
    """The byteOrder attribute and the ByteOrderList for an item's byte order:
    the list names each byte in the order stored with its significance (0 the
    least significant)."""
    order = item.get("byte_order", "big")
    if order == "big":
        return None, ""
    if order == "little":
        return "leastSignificantByteFirst", ""
    n = len(order)
    # Digit i is the stored byte (from 1) that holds the value's byte i from the top.
    significance = [n - 1 - order.index(str(stored + 1)) for stored in range(n)]
    listed = "".join(f"<Byte{_attrs(byteSignificance=s)}/>" for s in significance)
    return None, f"<ByteOrderList>{listed}</ByteOrderList>"


def _calibrator(item: dict[str, Any]) -> str:
    if "polynomial" in item:
        terms = "".join(
            f"<Term{_attrs(coefficient=repr(c), exponent=e)}/>"
            for e, c in enumerate(item["polynomial"])
        )
        return f"<DefaultCalibrator><PolynomialCalibrator>{terms}</PolynomialCalibrator></DefaultCalibrator>"
    if "spline" in item:
        points = "".join(
            f"<SplinePoint{_attrs(raw=repr(float(r)), calibrated=repr(float(c)))}/>"
            for r, c in item["spline"]
        )
        return f"<DefaultCalibrator><SplineCalibrator{_attrs(order=1)}>{points}</SplineCalibrator></DefaultCalibrator>"
    return ""


def _value_type(item: dict[str, Any], type_name: str) -> str:
    """The parameter type of one value of ``item`` (an array's element)."""
    encoding, bits = item["encoding"], item["bits"]
    order, listed = _byte_order(item)
    if encoding in _INTEGER:
        inner = listed + _calibrator(item)
        data = f"<IntegerDataEncoding{_attrs(sizeInBits=bits, encoding=_INTEGER[encoding], byteOrder=order)}>{inner}</IntegerDataEncoding>"
        if "enumeration" in item:
            labels = "".join(
                f"<Enumeration{_attrs(value=v, label=label)}/>"
                for v, label in item["enumeration"].items()
            )
            return (
                f"<EnumeratedParameterType{_attrs(name=type_name)}>{data}"
                f"<EnumerationList>{labels}</EnumerationList></EnumeratedParameterType>"
            )
        if "boolean" in item:
            return f"<BooleanParameterType{_attrs(name=type_name)}>{data}</BooleanParameterType>"
        if "polynomial" in item or "spline" in item:
            return f"<FloatParameterType{_attrs(name=type_name)}>{data}</FloatParameterType>"
        signed = "false" if encoding in ("unsigned", "packed_bcd") else "true"
        return f"<IntegerParameterType{_attrs(name=type_name, signed=signed)}>{data}</IntegerParameterType>"
    if encoding.startswith("ieee754_f"):
        data = f"<FloatDataEncoding{_attrs(sizeInBits=bits, encoding='IEEE754_1985', byteOrder=order)}/>"
        return f"<FloatParameterType{_attrs(name=type_name, sizeInBits=bits)}>{data}</FloatParameterType>"
    if "time" in item:
        time = item["time"]
        scale = 2.0 ** (-8 * time["fine_bytes"])
        named = {v: k for k, v in _NAMED_EPOCHS.items()}
        epoch = named.get(time["epoch"], time["epoch"])
        return (
            f"<AbsoluteTimeParameterType{_attrs(name=type_name)}>"
            f"<Encoding{_attrs(scale=repr(scale) if scale != 1 else None, units='seconds')}>"
            f"<IntegerDataEncoding{_attrs(sizeInBits=bits)}/></Encoding>"
            f"<ReferenceTime><Epoch>{epoch}</Epoch></ReferenceTime></AbsoluteTimeParameterType>"
        )
    if encoding == "binary":
        size = f"<FixedValue>{bits}</FixedValue>" if isinstance(bits, int) else _dynamic(bits)
        return (
            f"<BinaryParameterType{_attrs(name=type_name)}><BinaryDataEncoding>"
            f"<SizeInBits>{size}</SizeInBits></BinaryDataEncoding></BinaryParameterType>"
        )
    if isinstance(bits, int):
        size = f"<SizeInBits><Fixed><FixedValue>{bits}</FixedValue></Fixed></SizeInBits>"
    elif "terminator" in bits:
        end = f"<TerminationChar>{bits['terminator']:02X}</TerminationChar>"
        size = f"<Variable{_attrs(maxSizeInBits=8 * 255)}>{end}</Variable>"
    elif "leading" in item:
        tag = _attrs(sizeInBitsOfSizeTag=item["leading"])
        size = f"<Variable{_attrs(maxSizeInBits=8 * 255)}><LeadingSize{tag}/></Variable>"
    else:
        size = f"<Variable{_attrs(maxSizeInBits=8 * 64)}>{_dynamic(bits)}</Variable>"
    return (
        f"<StringParameterType{_attrs(name=type_name)}>"
        f"<StringDataEncoding{_attrs(encoding=_TEXT[encoding])}>{size}</StringDataEncoding>"
        "</StringParameterType>"
    )


def _condition(
    term: tuple[str, str, int], labels: dict[str, dict[int, str]], rng: random.Random, form: str
) -> str:
    name, op, value = term
    text: Any = value
    calibrated = None
    if name in labels and value in labels[name] and op in ("==", "!=") and rng.random() < 0.7:
        text = labels[name][value]  # compared by label, as users write it
    elif name in labels or rng.random() < 0.3:
        calibrated = "false"
    if form == "Comparison":
        return f"<Comparison{_attrs(parameterRef=name, value=text, comparisonOperator=op, useCalibratedValue=calibrated)}/>"
    ref = f"<ParameterInstanceRef{_attrs(parameterRef=name, useCalibratedValue=calibrated)}/>"
    return (
        f"<Condition>{ref}<ComparisonOperator>{op.replace('<', '&lt;').replace('>', '&gt;')}"
        f"</ComparisonOperator><Value>{text}</Value></Condition>"
    )


def _is_term(value: Any) -> bool:
    """A (field, op, value) term, as a tuple or (in a stored item) a list."""
    return isinstance(value, (list, tuple)) and len(value) == 3 and value[1] in _OPS


def _boolean(where: Any, labels: dict[str, dict[int, str]], rng: random.Random) -> str:
    if _is_term(where):
        return _condition(where, labels, rng, "Condition")
    if isinstance(where, list):
        where = {"all": where}
    ((key, terms),) = where.items()
    tag = "ANDedConditions" if key == "all" else "ORedConditions"
    inner = "".join(_boolean(term, labels, rng) for term in terms)
    return f"<{tag}>{inner}</{tag}>"


def _criteria(
    where: Any,
    labels: dict[str, dict[int, str]],
    rng: random.Random,
    tag: str = "RestrictionCriteria",
) -> str:
    if where is None:
        return ""
    if isinstance(where, list) and len(where) == 1 and rng.random() < 0.7:
        inner = _condition(where[0], labels, rng, "Comparison")
    elif isinstance(where, list) and rng.random() < 0.6:
        inner = (
            "<ComparisonList>"
            + "".join(_condition(term, labels, rng, "Comparison") for term in where)
            + "</ComparisonList>"
        )
    else:
        inner = f"<BooleanExpression>{_boolean(where, labels, rng)}</BooleanExpression>"
    return f"<{tag}>{inner}</{tag}>"


def to_xtce(definitions: Definitions, seed: int = 0) -> str:
    """``definitions`` written as an XTCE document (one SequenceContainer per
    type, in their order; the rng picks among the equivalent ways of saying a
    thing: arrays as array types or repeated entries, restrictions as a
    Comparison, a list or a boolean expression, runs of entries in a
    container of their own, gaps as locations from the previous entry or
    from the container's start)."""
    rng = random.Random(seed)
    types: list[str] = []
    parameters: list[str] = []
    containers: list[str] = []
    labels: dict[str, dict[int, str]] = {}
    blocks = 0
    # The fixed bit position where each type's items end (None: it varies).
    ends: dict[str, int | None] = {}
    for packet_type in definitions.types:
        entries: list[str] = []
        position = 0 if packet_type.parent is None else ends[packet_type.parent]
        carried: dict[str, Any] = {}
        items = packet_type.items
        for at, item in enumerate(items):
            item = {**item, **carried}
            carried = {}
            name = item["name"]
            following = items[at + 1] if at + 1 < len(items) else None
            sizes_next = following is not None and following["bits"] == {
                "field": name,
                "scale": 8,
                "offset": 0,
            }
            if sizes_next and name == f"{following['name']}.size":
                # A size tag: said by the text it sizes, as a LeadingSize.
                carried = {"leading": item["bits"]}
                if "offset_bits" in item:
                    carried["offset_bits"] = item["offset_bits"]
                continue
            value_type = f"{name}_T"
            entry_parts = ""
            if isinstance(item.get("count"), dict) and "when" in item["count"]:
                types.append(_value_type(item, value_type))
                entry_parts += _criteria(item["count"]["when"], labels, rng, "IncludeCondition")
            elif "count" in item:
                count = item["count"]
                element = {k: v for k, v in item.items() if k != "count"}
                types.append(_value_type(element, f"{name}_E"))
                if rng.random() < 0.5:
                    end = (
                        f"<FixedValue>{count - 1}</FixedValue>"
                        if isinstance(count, int)
                        else _dynamic(count, -1)
                    )
                    types.append(
                        f"<ArrayParameterType{_attrs(name=value_type, arrayTypeRef=f'{name}_E')}>"
                        "<DimensionList><Dimension><StartingIndex><FixedValue>0</FixedValue>"
                        f"</StartingIndex><EndingIndex>{end}</EndingIndex></Dimension>"
                        "</DimensionList></ArrayParameterType>"
                    )
                else:
                    value_type = f"{name}_E"
                    value = (
                        f"<FixedValue>{count}</FixedValue>"
                        if isinstance(count, int)
                        else _dynamic(count)
                    )
                    entry_parts += f"<RepeatEntry><Count>{value}</Count></RepeatEntry>"
            else:
                types.append(_value_type(item, value_type))
            if "enumeration" in item and "count" not in item:
                labels[name] = item["enumeration"]
            elif "boolean" in item and "count" not in item:
                labels[name] = {0: rng.choice(["false", "FALSE", "False"])}
            parameters.append(f"<Parameter{_attrs(name=name, parameterTypeRef=value_type)}/>")
            if "offset_bits" in item:
                # From the packet's start in the root container; from the
                # previous entry elsewhere (where a derived container starts
                # is read differently by different tools).
                assert position is not None, "an offset after a field of varying size"
                if packet_type.parent is None and rng.random() < 0.5:
                    step, reference = item["offset_bits"], "containerStart"
                else:
                    step, reference = item["offset_bits"] - position, "previousEntry"
                location = (
                    f"<LocationInContainerInBits{_attrs(referenceLocation=reference)}>"
                    f"<FixedValue>{step}</FixedValue></LocationInContainerInBits>"
                )
                entry_parts = location + entry_parts
                position = item["offset_bits"]
            bits, count = item["bits"], item.get("count", 1)
            fixed = isinstance(bits, int) and isinstance(count, int)
            position = position + bits * count if position is not None and fixed else None
            entries.append(
                f"<ParameterRefEntry{_attrs(parameterRef=name)}>{entry_parts}</ParameterRefEntry>"
            )
        # A run of plain entries may sit in a container of its own, included by reference.
        if len(entries) >= 2 and rng.random() < 0.3:
            start = rng.randrange(len(entries) - 1)
            stop = rng.randint(start + 1, len(entries))
            run = entries[start:stop]
            if not any("Location" in e for e in run):
                blocks += 1
                block = f"block{blocks}"
                containers.append(
                    f"<SequenceContainer{_attrs(name=block)}><EntryList>{''.join(run)}"
                    "</EntryList></SequenceContainer>"
                )
                entries[start:stop] = [f"<ContainerRefEntry{_attrs(containerRef=block)}/>"]
        base = ""
        if packet_type.parent is not None:
            criteria = _criteria(packet_type.where, labels, rng)
            base = f"<BaseContainer{_attrs(containerRef=packet_type.parent)}>{criteria}</BaseContainer>"
        ends[packet_type.name] = position
        abstract = "true" if packet_type.abstract else None
        containers.append(
            f"<SequenceContainer{_attrs(name=packet_type.name, abstract=abstract)}>"
            f"<EntryList>{''.join(entries)}</EntryList>{base}</SequenceContainer>"
        )
    return (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        f'<SpaceSystem xmlns="{NAMESPACE}" name="random">\n'
        "<TelemetryMetaData>\n"
        f"<ParameterTypeSet>{''.join(types)}</ParameterTypeSet>\n"
        f"<ParameterSet>{''.join(parameters)}</ParameterSet>\n"
        f"<ContainerSet>{''.join(containers)}</ContainerSet>\n"
        "</TelemetryMetaData>\n</SpaceSystem>\n"
    )
