"""XML for the XTCE reader: the standard library's element tree, read safely,
with the namespaces taken off the tags and each element's line found when a
message needs it.

Safety: the prolog is read first by expat with a handler that refuses a
document type declaration, so no entity can be declared, expanded or fetched;
the tree is then built by ElementTree's C parser (a reference to an undeclared
entity is an XML error there). Lines: ElementTree keeps none, so a second
expat pass over the text gives the line of every element in document order,
once, and only when a message names one.
"""

from __future__ import annotations

import xml.etree.ElementTree as ET
from typing import Any
from xml.parsers import expat

from bitloom_bulk._recipe_load import RecipeFileError

Element = ET.Element

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


class _Stop(Exception):
    pass


class Document:
    """A parsed document: its root element (tags without namespaces), the
    root's namespace ("" for none), and the line of any element."""

    def __init__(self, label: str, data: bytes | str) -> None:
        self.label, self._data = label, data
        _refuse_doctype(label, data)
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
        for element in root.iter():
            tag = element.tag
            if not isinstance(tag, str):  # comments and processing instructions
                continue
            if tag[0] == "{":
                element.tag = tag[tag.index("}") + 1 :]
        self.root = root
        self._lines: dict[int, int] | None = None

    def line(self, element: Element) -> int | None:
        """The line the element starts on."""
        if self._lines is None:
            starts: list[int] = []
            parser = expat.ParserCreate()
            parser.StartElementHandler = lambda *_: starts.append(parser.CurrentLineNumber)
            parser.Parse(self._data, True)
            self._lines = {id(e): line for e, line in zip(self.root.iter(), starts, strict=False)}
        return self._lines.get(id(element))


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
        parser.Parse(data, True)
    except _Stop:
        return
    except expat.ExpatError as exc:
        raise RecipeFileError(
            label, f"not well-formed XML ({expat.errors.messages[exc.code]})", line=exc.lineno
        ) from None


def text(element: Element) -> str:
    """The element's own text, without surrounding blanks."""
    return (element.text or "").strip()
