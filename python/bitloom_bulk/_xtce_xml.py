"""XML for the XTCE reader: a small element tree built with expat, each element
keeping the line it starts on, and a parser that refuses document type
declarations (so no entity is ever declared, expanded or fetched).

The tree keeps what the reader needs: the local name, the namespace, the
attributes, the children in order and the text.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any
from xml.parsers import expat

from bitloom_bulk._recipe_load import RecipeFileError

# The XTCE namespaces by version; no namespace at all is read as XTCE too.
NAMESPACES = {
    "http://www.omg.org/space/xtce": "1.1",
    "http://www.omg.org/spec/XTCE/20061101": "1.1",
    "http://www.omg.org/spec/XTCE/20180204": "1.2",
    "http://www.omg.org/spec/XTCE/20250214": "1.3",
}
NAMESPACES.update({k.replace("http://", "https://"): v for k, v in list(NAMESPACES.items())})


@dataclass
class Element:
    """One XML element: local name, namespace ("" for none), attributes,
    children, text (stripped) and the line it starts on."""

    tag: str
    ns: str
    attrib: dict[str, str]
    line: int
    children: list[Element] = field(default_factory=list)
    text: str = ""

    def get(self, name: str, default: str | None = None) -> str | None:
        return self.attrib.get(name, default)

    def find(self, tag: str) -> Element | None:
        """The first child of this local name."""
        for child in self.children:
            if child.tag == tag:
                return child
        return None

    def findall(self, tag: str) -> list[Element]:
        return [child for child in self.children if child.tag == tag]


class _Builder:
    def __init__(self, label: str, parser: Any) -> None:
        self.label, self.parser = label, parser
        self.stack: list[Element] = []
        self.text: list[list[str]] = []
        self.root: Element | None = None

    def start(self, name: str, attrs: dict[str, str]) -> None:
        ns, _, local = name.rpartition(" ")
        clean = {key.rpartition(" ")[2]: value for key, value in attrs.items()}
        element = Element(local, ns, clean, self.parser.CurrentLineNumber)
        if self.stack:
            self.stack[-1].children.append(element)
        else:
            self.root = element
        self.stack.append(element)
        self.text.append([])

    def end(self, name: str) -> None:
        element = self.stack.pop()
        element.text = "".join(self.text.pop()).strip()

    def data(self, text: str) -> None:
        if self.text:
            self.text[-1].append(text)

    def refuse_doctype(self, *args: Any) -> None:
        raise RecipeFileError(
            self.label,
            "a document type declaration (DOCTYPE) is refused: entities are never expanded"
            " or fetched",
            line=self.parser.CurrentLineNumber,
        )


def parse_xml(label: str, data: bytes | str) -> Element:
    """The document's root element; a malformed document, or one declaring a
    document type or entities, raises :class:`RecipeFileError` with the line."""
    parser = expat.ParserCreate(namespace_separator=" ")
    builder = _Builder(label, parser)
    parser.StartElementHandler = builder.start
    parser.EndElementHandler = builder.end
    parser.CharacterDataHandler = builder.data
    parser.StartDoctypeDeclHandler = builder.refuse_doctype
    parser.EntityDeclHandler = builder.refuse_doctype
    parser.ExternalEntityRefHandler = builder.refuse_doctype
    parser.SetParamEntityParsing(expat.XML_PARAM_ENTITY_PARSING_NEVER)
    try:
        parser.Parse(data, True)
    except expat.ExpatError as exc:
        raise RecipeFileError(
            label, f"not well-formed XML ({expat.errors.messages[exc.code]})", line=exc.lineno
        ) from None
    assert builder.root is not None
    return builder.root
