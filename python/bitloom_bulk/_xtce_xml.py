"""XML for the XTCE reader, read safely into an element tree: lxml's where it
is installed and the document is bytes in UTF-8 or ASCII, else the standard
library's. Tags keep their namespaces (:func:`tag` gives the name without
one) and each element's line is found when a message needs it.

Safety: the prolog is read first by expat with a handler that refuses a
document type declaration, so no entity can be declared, expanded or fetched;
the tree is then built by lxml (entities never resolved, no network, no DTD
loaded, the size limits kept) or ElementTree's C parser (a reference to an
undeclared entity is an XML error there). Both give one tree: a document
lxml refuses or warns about is read by ElementTree, whose message is the one
raised. Lines: ElementTree keeps none, so a second expat pass over the text
gives the line of every element in document order, once, and only when a
message names one.
"""

from __future__ import annotations

import importlib
import re
import xml.etree.ElementTree as ET
from typing import Any
from xml.parsers import expat

from bitloom_bulk._recipe_load import RecipeFileError

try:
    _lxml: Any = importlib.import_module("lxml.etree")
except ImportError:  # the standard library's parser reads every document
    _lxml = None


Element = ET.Element

# The declared encoding, if any, of a document that starts with its XML
# declaration (after a UTF-8 byte order mark, if there is one).
_DECLARATION = re.compile(rb"(?:\xef\xbb\xbf)?<\?xml[^>]*?encoding\s*=\s*[\"']([^\"']*)[\"']")
_LXML_ENCODINGS = {b"utf-8", b"utf8", b"us-ascii", b"ascii"}

# The XTCE namespaces by version; no namespace at all is read as XTCE too.
# The OMG names each release's namespace by the address of its published
# document and its date; the names are fixed by the format, one place here.
_OMG_XTCE = "http://www.omg.org/spec/XTCE/"
XTCE_1_2 = _OMG_XTCE + "20180204"  # the namespace the tests write
NAMESPACES = {
    "http://www.omg.org/space/xtce": "1.1",
    _OMG_XTCE + "20061101": "1.1",
    XTCE_1_2: "1.2",
    _OMG_XTCE + "20250214": "1.3",
}
NAMESPACES.update({k.replace("http://", "https://"): v for k, v in list(NAMESPACES.items())})


_PROLOG_STEP = 1 << 12


class _Stop(Exception):
    pass


class Document:
    """A parsed document: its root element (tags with their namespaces, see
    :func:`tag`), the root's namespace ("" for none), and the line of any
    element."""

    def __init__(self, label: str, data: bytes | str) -> None:
        self.label, self._data = label, data
        _refuse_doctype(label, data)
        root = _lxml_root(data)
        if root is None:
            parser = ET.XMLParser()
            try:
                parser.feed(data)
                root = parser.close()
            except ET.ParseError as exc:
                line = exc.position[0]
                raise RecipeFileError(
                    label, f"not well-formed XML ({_reason(exc)})", line=line
                ) from None
        tag = root.tag
        self.namespace = tag[1 : tag.index("}")] if tag[0] == "{" else ""
        self.root: Any = root
        self.runs = None if _lxml is None or not hasattr(root, "xpath") else _Runs(self.namespace)
        self._lines: dict[int, int] | None = None
        # lxml makes an element's Python object when it is reached and may
        # make another later: lines are kept by element for its tree.
        self._keep: list[Any] = []

    def line(self, element: Element) -> int | None:
        """The line the element starts on."""
        if self._lines is None:
            starts: list[int] = []
            parser = expat.ParserCreate()
            parser.StartElementHandler = lambda *_: starts.append(parser.CurrentLineNumber)
            parser.Parse(self._data, True)
            elements = list(self.root.iter())
            self._keep = elements
            self._lines = {id(e): line for e, line in zip(elements, starts, strict=False)}
        return self._lines.get(id(element))


class _Runs:
    """Runs of children of an lxml tree read in one call each: a call per
    child (its Python object, its tag, each attribute) costs more than the
    rest of reading it. A run is the children of one element, every one of
    them one element of the document's namespace and each with the
    attributes read; anything else is None, and the caller reads the
    children one by one."""

    def __init__(self, namespace: str) -> None:
        x = "x:" if namespace else ""

        def path(text: str) -> Any:
            return _lxml.XPath(
                text, namespaces={"x": namespace} if namespace else None, smart_strings=False
            )

        self._children = path("count(*)")
        self._grandchildren = path("count(*/*)")
        self._parameters = path(f"count({x}Parameter)")
        self._entries = path(f"count({x}ParameterRefEntry)")
        self._names = path("*/@name")
        self._type_refs = path("*/@parameterTypeRef")
        self._refs = path("*/@parameterRef")

    def parameters(self, element: Any) -> tuple[list[str], list[str]] | None:
        """The names and parameterTypeRefs of the children of an element
        whose children are Parameters, each with both."""
        count = self._children(element)
        if not count or self._parameters(element) != count:
            return None
        names: list[str] = self._names(element)
        refs: list[str] = self._type_refs(element)
        if len(names) != count or len(refs) != count:
            return None
        return names, refs

    def entries(self, element: Any) -> list[str] | None:
        """The parameterRefs of the children of an element whose children are
        ParameterRefEntry elements without children, each with one."""
        count = self._children(element)
        if not count or self._entries(element) != count or self._grandchildren(element):
            return None
        refs: list[str] = self._refs(element)
        return refs if len(refs) == count else None


def _lxml_root(data: bytes | str) -> Any:
    """The document's root read by lxml, or None where lxml is missing, the
    document is not bytes in UTF-8 or ASCII, or lxml refuses or warns (the
    standard library's parser then reads it, and words any error)."""
    if _lxml is None or not isinstance(data, bytes):
        return None
    declared = _DECLARATION.match(data)
    if declared is not None and declared.group(1).lower() not in _LXML_ENCODINGS:
        return None
    if not data.startswith((b"<", b"\xef\xbb\xbf<")):
        return None
    parser = _lxml.XMLParser(
        resolve_entities=False,
        no_network=True,
        load_dtd=False,
        huge_tree=False,
        remove_comments=True,
        remove_pis=True,
        # Blank text is read as no text (every text read is stripped); XML
        # ids are never looked up.
        remove_blank_text=True,
        collect_ids=False,
    )
    try:
        root = _lxml.fromstring(data, parser)
    except (_lxml.XMLSyntaxError, ValueError):
        return None
    if len(parser.error_log) or not isinstance(root.tag, str):
        return None
    return root


def tag(element: Any) -> str:
    """The element's name without its namespace."""
    name: str = element.tag
    return name[name.find("}") + 1 :]


def _reason(exc: ET.ParseError) -> str:
    message = str(exc)
    return message.rsplit(":", 1)[0] if ": line" in message else message


def _refuse_doctype(label: str, data: bytes | str) -> None:
    """Read the prolog alone: a document type declaration is refused, the
    first element ends the reading."""
    parser = expat.ParserCreate()

    def doctype(*_: Any) -> None:
        raise RecipeFileError(
            label,
            "a document type declaration (DOCTYPE) is refused: entities are never expanded"
            " or fetched",
            line=parser.CurrentLineNumber,
        )

    def stop(*_: Any) -> None:
        raise _Stop

    parser.StartDoctypeDeclHandler = doctype
    parser.EntityDeclHandler = doctype
    parser.StartElementHandler = stop
    parser.SetParamEntityParsing(expat.XML_PARAM_ENTITY_PARSING_NEVER)
    try:
        # In pieces: expat keeps a copy of what follows where a handler
        # stops it, and the prolog is at the start.
        for start in range(0, len(data), _PROLOG_STEP):
            parser.Parse(data[start : start + _PROLOG_STEP], False)
        parser.Parse(data[:0], True)
    except _Stop:
        return
    except expat.ExpatError as exc:
        raise RecipeFileError(
            label, f"not well-formed XML ({expat.errors.messages[exc.code]})", line=exc.lineno
        ) from None


def text(element: Element) -> str:
    """The element's own text, without surrounding blanks."""
    return (element.text or "").strip()
