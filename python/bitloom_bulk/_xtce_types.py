"""The XTCE reader's first half: the document's sets, and each parameter type
read as what one value of it is in the definitions model (encoding, size,
byte order, array count, enumeration, calibrator).

An element outside what the model can say raises :class:`Refused` (the caller
decides whether that stops the load); a file that is wrong raises
:class:`Bad`.
"""

from __future__ import annotations

import datetime
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any, NamedTuple

from bitloom_bulk._xtce_xml import Document, Element, tag, text


class Refusal(NamedTuple):
    """An XTCE element the loader does not decode: the element, the name of
    the parameter type, parameter or container that holds it, its line and
    why."""

    element: str
    name: str
    line: int
    why: str


Refusal.__module__ = "bitloom_bulk"


class Refused(Exception):
    """Raised inside the reader where an element is outside what it decodes."""

    def __init__(self, element: Element, name: str, why: str) -> None:
        super().__init__(why)
        self.element, self.name, self.why = element, name, why


class Bad(Exception):
    """Raised inside the reader where the file itself is wrong."""

    def __init__(self, element: Element, problem: str) -> None:
        super().__init__(problem)
        self.element, self.problem = element, problem


# Elements that change no decoded value: read past quietly wherever they appear.
QUIET = frozenset(
    {
        "LongDescription",
        "ShortDescription",
        "AliasSet",
        "AncillaryDataSet",
        "UnitSet",
        "Header",
        "DefaultAlarm",
        "ContextAlarmList",
        "ValidRange",
        "ValidRangeSet",
        "ToString",
        "ParameterProperties",
        "DefaultRateInStream",
        "RateInStream",
        "RateInStreamSet",
        "CommandMetaData",
        "ServiceSet",
    }
)

_INTEGER_ENCODINGS = {
    "unsigned": "unsigned",
    "twosComplement": "twos_complement",
    "twosCompliment": "twos_complement",  # the XTCE 1.1 schema's spelling
    "signMagnitude": "sign_magnitude",
    "onesComplement": "ones_complement",
    "BCD": "unpacked_bcd",
    "packedBCD": "packed_bcd",
}
_FLOAT_ENCODINGS = {
    ("IEEE754_1985", 16): "ieee754_f16",
    ("IEEE754_1985", 32): "ieee754_f32",
    ("IEEE754_1985", 64): "ieee754_f64",
    ("IEEE754_1985", 128): "ieee754_f128",
    ("MILSTD_1750A", 32): "mil_std_1750a_f32",
    ("MILSTD_1750A", 48): "mil_std_1750a_f48",
    ("IBM", 32): "ibm_f32",
    ("IBM", 64): "ibm_f64",
    ("DEC", 32): "dec_f32",
    ("DEC", 64): "dec_f64",
    ("TI", 32): "ti_f32",
    ("TI", 40): "ti_f40",
}
_TEXT_ENCODINGS = {
    "UTF-8": "utf8",
    "UTF-16": "utf16",
    "UTF-16LE": "utf16le",
    "UTF-16BE": "utf16be",
    "UTF-32": "utf32",
    "UTF-32LE": "utf32le",
    "UTF-32BE": "utf32be",
    "US-ASCII": "us_ascii",
    "ISO-8859-1": "iso_8859_1",
    "Windows-1252": "windows_1252",
}
_BYTE_TEXT = {"utf8", "us_ascii", "iso_8859_1", "windows_1252"}
_OPERATORS = {
    "==": "==",
    "!=": "!=",
    "<": "<",
    "<=": "<=",
    ">": ">",
    ">=": ">=",
    "&lt;": "<",
    "&lt;=": "<=",
    "&gt;": ">",
    "&gt;=": ">=",
}
# The widest enumeration range (value to maxValue) written out label by label.
_ENUM_RANGE_LIMIT = 4096


# -- what a parameter type reads as -----------------------------------------------


@dataclass
class Size:
    """A size or count from another parameter: slope x its raw value + intercept."""

    parameter: str
    slope: int
    intercept: int


@dataclass
class Kind:
    """A parameter type read: the recipe keys of one value and what it is.

    ``kind`` is "integer", "float", "enum", "boolean", "time", "text", "binary"
    or "array";
    ``bits`` an int or a :class:`Size`; ``derived`` the derived-value keys;
    ``labels`` an enumeration's table; ``calibrated`` whether the raw value
    differs from the engineering value.
    """

    kind: str
    encoding: str
    bits: int | Size
    byte_order: str = "big"
    derived: dict[str, Any] = field(default_factory=dict)
    count: int | Size | None = None
    element: Kind | None = None
    # A text whose size in bytes a leading tag of this many bits gives.
    leading: int | None = None
    # A text that runs to this terminator byte.
    terminator: int | None = None


def int_attr(node: Element, name: str, owner: str, default: int | None = None) -> int:
    value = node.get(name)
    if value is None:
        if default is None:
            raise Bad(node, f"{tag(node)} of {owner!r} needs the attribute {name!r}")
        return default
    try:
        return int(value)
    except ValueError:
        raise Bad(node, f"{tag(node)} of {owner!r}: {name}={value!r} is not an integer") from None


def number(node: Element, text: str | None, what: str, owner: str) -> float:
    try:
        return float(text if text is not None else "")
    except ValueError:
        raise Bad(node, f"{tag(node)} of {owner!r}: {what} {text!r} is not a number") from None


def integral(node: Element, value: float, what: str, owner: str) -> int:
    if value != int(value):
        raise Refused(node, owner, f"{what} {value} is not an integer; sizes take whole bits")
    return int(value)


def children(node: Element, owner: str, known: set[str]) -> Iterator[Element]:
    """The children of ``node`` the caller reads, refusing any other element
    that is not one of the quiet ones."""
    for child in node:
        if tag(child) in known:
            yield child
        elif tag(child) not in QUIET:
            raise Refused(child, owner, f"{tag(child)} in {tag(node)} is not decoded")


class Reader:
    """The parameter types, parameters and containers of one XTCE document."""

    def __init__(self, document: Document) -> None:
        self.document = document
        self.types: dict[str, Element] = {}
        self.parameters: dict[str, Element] = {}
        self.containers: dict[str, Element] = {}
        self.kinds: dict[str, Kind] = {}
        self.top_refusals: list[Refused] = []
        # The last tag (with its namespace) found to be a Parameter's.
        self.parameter_tag = ""
        # Each parameter whose element is a Parameter: its parameterTypeRef
        # as written ("" where it has none).
        self.type_refs: dict[str, str] = {}
        self._read_system(document.root)

    # -- the document's sets ------------------------------------------------------

    def _read_system(self, system: Element) -> None:
        for child in system:
            if tag(child) == "TelemetryMetaData":
                self._read_telemetry(child)
            elif tag(child) == "SpaceSystem":
                self.top_refusals.append(
                    Refused(
                        child,
                        child.get("name") or "",
                        "a nested SpaceSystem (references by path) is not decoded",
                    )
                )
            elif tag(child) not in QUIET:
                self.top_refusals.append(Refused(child, system.get("name") or "", "not decoded"))

    def _read_telemetry(self, telemetry: Element) -> None:
        sets = {
            "ParameterTypeSet": self.types,
            "ParameterSet": self.parameters,
            "ContainerSet": self.containers,
        }
        for child in telemetry:
            table = sets.get(tag(child))
            if table is None:
                if tag(child) not in QUIET:
                    self.top_refusals.append(
                        Refused(
                            child,
                            "",
                            "not decoded (the telemetry sets read are parameter types,"
                            " parameters and containers)",
                        )
                    )
                continue
            if table is self.parameters and self._parameter_run(child):
                continue
            last, quiet, parameter = "", False, False
            refs = self.type_refs
            for entry in child:
                # The sets hold runs of one tag: a run's name is read once.
                if entry.tag != last:
                    last, quiet = entry.tag, tag(entry) in QUIET
                    parameter = table is self.parameters and tag(entry) == "Parameter"
                if quiet:
                    continue
                name = entry.get("name")
                if not name:
                    raise Bad(entry, "needs a 'name' attribute")
                if name in table:
                    raise Bad(
                        entry,
                        f"a second definition of {name!r} (the first is on line"
                        f" {self.document.line(table[name])})",
                    )
                table[name] = entry
                if parameter:
                    refs[name] = entry.get("parameterTypeRef") or ""

    def _parameter_run(self, parameter_set: Element) -> bool:
        """Read a parameter set of Parameters alone, each with a name new to
        the parameters and a parameterTypeRef, in one run: whether it was."""
        runs = self.document.runs
        run = None if runs is None else runs.parameters(parameter_set)
        if run is None:
            return False
        names, refs = run
        elements = list(parameter_set)
        if (
            len(elements) != len(names)
            or len(refs) != len(names)
            or "" in names
            or len(set(names)) != len(names)
            or not self.parameters.keys().isdisjoint(names)
        ):
            return False
        self.parameters.update(zip(names, elements, strict=True))
        self.type_refs.update(zip(names, refs, strict=True))
        return True

    # -- parameter types ------------------------------------------------------------

    def parameter(self, name: str, at: Element) -> tuple[Element, Kind]:
        """A parameter's element and what its type reads as."""
        node = self.parameters.get(name)
        if node is None:
            raise Bad(at, f"refers to the parameter {name!r}, which is not defined")
        if node.tag != self.parameter_tag:
            if tag(node) != "Parameter":
                raise Refused(node, name, f"{tag(node)} is not decoded")
            self.parameter_tag = node.tag
        type_name = node.get("parameterTypeRef")
        if not type_name:
            raise Bad(node, f"the parameter {name!r} needs a 'parameterTypeRef'")
        kind = self.kinds.get(type_name)
        return node, self.kind(type_name, node) if kind is None else kind

    def kind(self, type_name: str, at: Element, depth: int = 0) -> Kind:
        if type_name in self.kinds:
            return self.kinds[type_name]
        node = self.types.get(type_name)
        if node is None:
            raise Bad(at, f"refers to the parameter type {type_name!r}, which is not defined")
        if depth > 20:
            raise Bad(node, f"the array types from {type_name!r} nest too deep or form a cycle")
        kind = self._read_type(node, type_name, depth)
        self.kinds[type_name] = kind
        return kind

    def _read_type(self, node: Element, name: str, depth: int) -> Kind:
        kind_tag = tag(node)
        if kind_tag == "ArrayParameterType":
            return self._array(node, name, depth)
        if kind_tag == "AbsoluteTimeParameterType":
            return self._time(node, name)
        readers = {
            "IntegerParameterType": ("IntegerDataEncoding",),
            "FloatParameterType": ("IntegerDataEncoding", "FloatDataEncoding"),
            "EnumeratedParameterType": ("IntegerDataEncoding",),
            "BooleanParameterType": ("IntegerDataEncoding",),
            "StringParameterType": ("StringDataEncoding",),
            "BinaryParameterType": ("BinaryDataEncoding",),
        }
        if kind_tag not in readers:
            raise Refused(node, name, f"{kind_tag} is not decoded")
        known = set(readers[kind_tag])
        if kind_tag == "EnumeratedParameterType":
            known.add("EnumerationList")
        encodings = []
        labels: dict[int, str] | None = None
        for child in children(node, name, known | _ANY_ENCODING):
            if tag(child) == "EnumerationList":
                labels = self._labels(child, name)
            elif tag(child) in known:
                encodings.append(child)
            else:
                raise Refused(child, name, f"{tag(child)} in {kind_tag} is not decoded")
        if len(encodings) != 1:
            raise Bad(node, f"the parameter type {name!r} needs one data encoding")
        encoding = encodings[0]
        if tag(encoding) == "IntegerDataEncoding":
            kind = self._integer(encoding, name)
        elif tag(encoding) == "FloatDataEncoding":
            kind = self._float(encoding, name)
        elif tag(encoding) == "StringDataEncoding":
            kind = self._string(encoding, name)
        else:
            kind = self._binary(encoding, name)
        if kind_tag == "BooleanParameterType":
            if kind.derived:
                raise Refused(encoding, name, "a calibrator on a boolean type is not decoded")
            # True where the raw value is not 0 (zeroStringValue and
            # oneStringValue name the two in text; the column holds bools).
            kind.kind = "boolean"
            kind.derived = {"boolean": True}
        if kind_tag == "EnumeratedParameterType":
            if labels is None:
                raise Bad(node, f"the enumerated type {name!r} needs an EnumerationList")
            if kind.derived:
                raise Refused(encoding, name, "a calibrator on an enumerated type is not decoded")
            kind.kind = "enum"
            kind.derived = {"enumeration": labels}
        return kind

    def _time(self, node: Element, name: str) -> Kind:
        """An absolute time whose encoding is a CCSDS unsegmented time code:
        an unsigned big-endian count of 1 to 4 bytes of seconds and 0 to 3 of
        binary fractions (scale 2**-8 per fraction byte, no offset) from an
        epoch. Other encodings are refused."""
        encoding = reference = None
        for child in children(node, name, {"Encoding", "ReferenceTime"}):
            if tag(child) == "Encoding":
                encoding = child
            else:
                reference = child
        if encoding is None or reference is None:
            raise Bad(node, f"the time type {name!r} needs an Encoding and a ReferenceTime")
        epoch = None
        for child in children(reference, name, {"Epoch", "OffsetFrom"}):
            if tag(child) == "OffsetFrom":
                raise Refused(child, name, "a time offset from another parameter is not decoded")
            epoch = _epoch(child, text(child), name)
        if epoch is None:
            raise Bad(reference, f"the ReferenceTime of {name!r} needs an Epoch")
        units = encoding.get("units", "seconds")
        if units != "seconds":
            raise Refused(encoding, name, f"a time in {units!r} is not decoded (seconds are)")
        scale = number(encoding, encoding.get("scale", "1"), "scale", name)
        offset = number(encoding, encoding.get("offset", "0"), "offset", name)
        found = list(children(encoding, name, {"IntegerDataEncoding", "FloatDataEncoding"}))
        if len(found) != 1:
            raise Bad(encoding, f"the time encoding of {name!r} needs one data encoding")
        data = found[0]
        if tag(data) != "IntegerDataEncoding":
            raise Refused(data, name, "a time from a float is not decoded")
        count = self._integer(data, name)
        whole, spare = divmod(count.bits if isinstance(count.bits, int) else 0, 8)
        fraction = next((f for f in range(4) if scale == 2.0 ** (-8 * f)), None)
        if (
            count.encoding != "unsigned"
            or count.byte_order != "big"
            or count.derived
            or spare
            or fraction is None
            or offset != 0
            or not 1 <= whole - fraction <= 4
        ):
            raise Refused(
                encoding,
                name,
                "a time other than an unsigned big-endian count of 1-4 bytes of seconds and"
                " 0-3 of binary fractions (scale 2**-8 per fraction byte, no offset) is not"
                " decoded",
            )
        time_code = {"code": "cuc", "coarse_bytes": whole - fraction, "fine_bytes": fraction}
        time_code["epoch"] = epoch
        return Kind("time", "binary", 8 * whole, derived={"time": time_code})

    def _labels(self, node: Element, name: str) -> dict[int, str]:
        labels: dict[int, str] = {}
        for entry in children(node, name, {"Enumeration"}):
            value = int_attr(entry, "value", name)
            last = int_attr(entry, "maxValue", name, value)
            label = entry.get("label")
            if label is None:
                raise Bad(entry, f"an enumeration of {name!r} needs a 'label'")
            if last < value or last - value > _ENUM_RANGE_LIMIT:
                raise Refused(
                    entry,
                    name,
                    f"an enumeration range {value}..{last} is not decoded (ranges up to"
                    f" {_ENUM_RANGE_LIMIT} values are)",
                )
            for raw in range(value, last + 1):
                if raw in labels:
                    raise Bad(entry, f"the enumeration of {name!r} lists the value {raw} twice")
                labels[raw] = label
        return labels

    def _byte_order(self, node: Element, name: str, bits: int) -> str:
        order = node.get("byteOrder", "mostSignificantByteFirst")
        result = "big"
        if order == "leastSignificantByteFirst":
            result = "little"
        elif order != "mostSignificantByteFirst":
            raise Bad(node, f"byteOrder {order!r} of {name!r} is not an XTCE byte order")
        listed = node.find("{*}ByteOrderList")
        if listed is not None:
            significance = [
                int_attr(b, "byteSignificance", name) for b in children(listed, name, {"Byte"})
            ]
            n = len(significance)
            if sorted(significance) != list(range(n)) or n > 9:
                raise Refused(listed, name, "a ByteOrderList must list bytes 0..n-1, n <= 9")
            # Digit i names the stored byte that holds the value's byte i from the
            # most significant (significance n-1-i).
            digits = "".join(str(significance.index(n - 1 - i) + 1) for i in range(n))
            result = {
                "".join(str(i + 1) for i in range(n)): "big",
                "".join(str(n - i) for i in range(n)): "little",
            }.get(digits, digits)
        if result != "big" and bits % 8:
            raise Refused(
                node, name, f"a byte order other than big-endian needs whole bytes, not {bits} bits"
            )
        if listed is not None and len(listed) * 8 != bits:
            raise Bad(
                listed, f"the ByteOrderList of {name!r} lists bytes for other than {bits} bits"
            )
        return result

    def _calibrator(self, encoding: Element, name: str) -> dict[str, Any]:
        derived: dict[str, Any] = {}
        for child in children(encoding, name, {"DefaultCalibrator", "ByteOrderList"}):
            if tag(child) != "DefaultCalibrator":
                continue
            found = [c for c in child if tag(c) not in QUIET]
            if len(found) != 1:
                raise Bad(child, f"the DefaultCalibrator of {name!r} needs one calibrator")
            calibrator = found[0]
            if tag(calibrator) == "PolynomialCalibrator":
                terms: dict[int, float] = {}
                for term in children(calibrator, name, {"Term"}):
                    exponent = int_attr(term, "exponent", name)
                    coefficient = number(term, term.get("coefficient"), "coefficient", name)
                    if exponent < 0 or exponent > 32 or exponent in terms:
                        raise Bad(term, f"the polynomial of {name!r} has a bad exponent {exponent}")
                    terms[exponent] = coefficient
                if not terms:
                    raise Bad(calibrator, f"the polynomial of {name!r} has no terms")
                derived["polynomial"] = [terms.get(e, 0.0) for e in range(max(terms) + 1)]
            elif tag(calibrator) == "SplineCalibrator":
                order = int_attr(calibrator, "order", name, 1)
                extrapolate = calibrator.get("extrapolate", "false")
                if order != 1:
                    raise Refused(calibrator, name, f"a spline of order {order} is not decoded")
                if extrapolate not in ("false", "0"):
                    raise Refused(calibrator, name, "an extrapolating spline is not decoded")
                points = [
                    [
                        number(p, p.get("raw"), "raw", name),
                        number(p, p.get("calibrated"), "calibrated", name),
                    ]
                    for p in children(calibrator, name, {"SplinePoint"})
                ]
                derived["spline"] = points
            else:
                raise Refused(calibrator, name, f"{tag(calibrator)} is not decoded")
        return derived

    def _integer(self, node: Element, name: str) -> Kind:
        bits = int_attr(node, "sizeInBits", name, 8)
        encoding = node.get("encoding", "unsigned")
        if encoding not in _INTEGER_ENCODINGS:
            raise Refused(node, name, f"integer encoding {encoding!r} is not decoded")
        derived = self._calibrator(node, name)
        kind = Kind("integer", _INTEGER_ENCODINGS[encoding], bits, derived=derived)
        kind.byte_order = self._byte_order(node, name, bits)
        return kind

    def _float(self, node: Element, name: str) -> Kind:
        bits = int_attr(node, "sizeInBits", name, 32)
        encoding = node.get("encoding", "IEEE754_1985")
        key = ("IEEE754_1985" if encoding == "IEEE754" else encoding, bits)
        if key not in _FLOAT_ENCODINGS:
            raise Refused(node, name, f"float encoding {encoding!r} of {bits} bits is not decoded")
        derived = self._calibrator(node, name)
        kind = Kind("float", _FLOAT_ENCODINGS[key], bits, derived=derived)
        kind.byte_order = self._byte_order(node, name, bits)
        return kind

    def _size(self, node: Element, name: str) -> int | Size:
        """A SizeInBits element: a fixed value or a dynamic one."""
        found = [c for c in node if tag(c) not in QUIET]
        if len(found) != 1:
            raise Bad(node, f"the size of {name!r} needs one value")
        value = found[0]
        if tag(value) == "Fixed":
            inner = value.find("{*}FixedValue")
            if inner is None:
                raise Bad(value, f"the size of {name!r} needs a FixedValue")
            value = inner
        if tag(value) == "FixedValue":
            return integral(value, number(value, text(value), "size", name), "the size", name)
        if tag(value) == "DynamicValue":
            return self.dynamic(value, name)
        raise Refused(value, name, f"a size given by {tag(value)} is not decoded")

    def dynamic(self, node: Element, name: str) -> Size:
        """A DynamicValue: a parameter's raw value, linearly adjusted."""
        ref = None
        slope, intercept = 1, 0
        for child in children(node, name, {"ParameterInstanceRef", "LinearAdjustment"}):
            if tag(child) == "ParameterInstanceRef":
                ref = child
            else:
                slope = integral(
                    child, number(child, child.get("slope", "1"), "slope", name), "a slope", name
                )
                intercept = integral(
                    child,
                    number(child, child.get("intercept", "0"), "intercept", name),
                    "an intercept",
                    name,
                )
        if ref is None or not ref.get("parameterRef"):
            raise Bad(node, f"the DynamicValue of {name!r} needs a ParameterInstanceRef")
        instance(ref, name)
        parameter = ref.get("parameterRef", "")
        _, kind = self.parameter(parameter, ref)
        if kind.kind not in ("integer", "enum") or kind.count is not None:
            raise Bad(ref, f"a size or count reads {parameter!r}, which is not an integer")
        if kind.derived and kind.kind == "integer" and calibrated(ref):
            raise Refused(ref, name, f"a size from the calibrated value of {parameter!r}")
        return Size(parameter, slope, intercept)

    def _string(self, node: Element, name: str) -> Kind:
        encoding = node.get("encoding", "UTF-8")
        if encoding not in _TEXT_ENCODINGS:
            raise Refused(node, name, f"string encoding {encoding!r} is not decoded")
        sizes = list(children(node, name, {"SizeInBits", "Variable"}))
        if len(sizes) != 1:
            raise Bad(node, f"the string type {name!r} needs one SizeInBits or Variable")
        size = sizes[0]
        found = [c for c in size if tag(c) not in QUIET]
        leading = [c for c in found if tag(c) == "LeadingSize"]
        if leading and len(found) == 1:
            # A size tag in front of the text, counting its bytes.
            tag_bits = int_attr(leading[0], "sizeInBitsOfSizeTag", name, 16)
            if not 1 <= tag_bits <= 32:
                raise Refused(leading[0], name, f"a size tag of {tag_bits} bits (1-32 are read)")
            kind = Kind("text", _TEXT_ENCODINGS[encoding], Size("", 8, 0))
            kind.leading = tag_bits
            return kind
        ends = [c for c in found if tag(c) == "TerminationChar"]
        if ends and len(found) == 1:
            # To the terminator, which the field holds; the text is what precedes it.
            written = text(ends[0]) or "00"
            try:
                terminator = bytes.fromhex(written)
            except ValueError:
                raise Bad(
                    ends[0], f"the TerminationChar {written!r} of {name!r} is not hex"
                ) from None
            if len(terminator) != 1 or _TEXT_ENCODINGS[encoding] not in _BYTE_TEXT:
                raise Refused(
                    ends[0],
                    name,
                    f"a terminator of {len(terminator)} bytes in {encoding} (one byte in UTF-8,"
                    " US-ASCII, ISO-8859-1 or Windows-1252 is read)",
                )
            kind = Kind("text", _TEXT_ENCODINGS[encoding], Size("", 8, 0))
            kind.terminator = terminator[0]
            return kind
        if tag(size) == "Variable":
            if len(found) != 1 or tag(found[0]) != "DynamicValue":
                what = tag(found[0]) if found else "Variable"
                raise Refused(found[0] if found else size, name, f"a string sized by {what}")
            bits: int | Size = self.dynamic(found[0], name)
        else:
            for child in found:
                if tag(child) in ("TerminationChar", "LeadingSize"):
                    raise Refused(child, name, f"a string with {tag(child)} is not decoded")
            bits = self._size(size, name)
        return Kind("text", _TEXT_ENCODINGS[encoding], bits)

    def _binary(self, node: Element, name: str) -> Kind:
        sizes = list(children(node, name, {"SizeInBits"}))
        if len(sizes) != 1:
            raise Bad(node, f"the binary type {name!r} needs one SizeInBits")
        bits = self._size(sizes[0], name)
        if isinstance(bits, int) and bits % 8:
            raise Refused(sizes[0], name, f"a binary field of {bits} bits (not whole bytes)")
        return Kind("binary", "binary", bits)

    def _array(self, node: Element, name: str, depth: int) -> Kind:
        element_name = node.get("arrayTypeRef")
        if not element_name:
            raise Bad(node, f"the array type {name!r} needs an 'arrayTypeRef'")
        dimensions = None
        for child in children(node, name, {"DimensionList"}):
            dimensions = list(children(child, name, {"Dimension"}))
        if not dimensions:
            raise Bad(node, f"the array type {name!r} needs a DimensionList")
        if len(dimensions) != 1:
            raise Refused(dimensions[1], name, "arrays of more than one dimension")
        element = self.kind(element_name, node, depth + 1)
        if element.kind not in NUMBERS or not isinstance(element.bits, int):
            raise Refused(node, name, f"an array of {element.kind} elements")
        if element.count is not None:
            raise Refused(node, name, "an array of arrays")
        start = end = None
        for child in children(dimensions[0], name, {"StartingIndex", "EndingIndex"}):
            values = [c for c in child if tag(c) not in QUIET]
            if len(values) != 1:
                raise Bad(child, f"{tag(child)} of {name!r} needs one value")
            if tag(values[0]) == "FixedValue":
                index: int | Size = integral(
                    values[0], number(values[0], text(values[0]), "index", name), "index", name
                )
            elif tag(values[0]) == "DynamicValue":
                index = self.dynamic(values[0], name)
            else:
                raise Refused(values[0], name, f"an index given by {tag(values[0])}")
            if tag(child) == "StartingIndex":
                start = index
            else:
                end = index
        if not isinstance(start, int) or end is None:
            raise Bad(
                dimensions[0], f"the array {name!r} needs a fixed StartingIndex and an EndingIndex"
            )
        if isinstance(end, int):
            if end - start + 1 < 0:
                raise Bad(dimensions[0], f"the array {name!r} ends before it starts")
            count: int | Size = end - start + 1
        else:
            count = Size(end.parameter, end.slope, end.intercept - start + 1)
        return Kind(
            "array",
            element.encoding,
            element.bits,
            element.byte_order,
            dict(element.derived),
            count=count,
            element=element,
        )


# XTCE's named epochs, each on its own time scale, as the standard gives them
# (J2000 is 2000-01-01T12:00:00 TT, given there in UTC).
_EPOCHS = {
    "TAI": "1958-01-01T00:00:00",
    "J2000": "2000-01-01T11:58:55.816",
    "UNIX": "1970-01-01T00:00:00",
    "POSIX": "1970-01-01T00:00:00",
    "GPS": "1980-01-06T00:00:00",
}


def _epoch(node: Element, value: str | None, name: str) -> str:
    value = (value or "").strip()
    if value in _EPOCHS:
        return _EPOCHS[value]
    try:
        moment = datetime.datetime.fromisoformat(value.replace("Z", "+00:00"))
    except ValueError:
        raise Bad(
            node,
            f"the epoch {value!r} of {name!r} is neither TAI, J2000, UNIX, POSIX, GPS nor a"
            " date-time",
        ) from None
    return moment.isoformat()


# The kinds of value that arrays and repeated entries hold.
NUMBERS = ("integer", "float", "enum", "boolean")

_ANY_ENCODING = {
    "IntegerDataEncoding",
    "FloatDataEncoding",
    "StringDataEncoding",
    "BinaryDataEncoding",
}


def calibrated(ref: Element) -> bool:
    return ref.get("useCalibratedValue", "true") in ("true", "1")


def instance(ref: Element, name: str) -> None:
    instance = ref.get("instance", "0")
    if instance != "0":
        raise Refused(ref, name, f"a reference to instance {instance} of a parameter")
