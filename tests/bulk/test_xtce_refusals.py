"""What load_xtce refuses, one element at a time: strict loading names the
element and its line, lenient loading lists it and leaves the container's
packets unmatched; and what it reads of absolute times and sized strings."""

from __future__ import annotations

import numpy as np
import pytest

from bitloom_bulk import RecipeFileError, load_xtce
from bitloom_bulk._xtce_xml import XTCE_1_2

NS = f'xmlns="{XTCE_1_2}"'


def _document(value_type, entry_parts=""):
    """A root container of one byte A, and a child C taking A == 1 that reads
    the parameter V of ``value_type``."""
    return (
        f'<?xml version="1.0"?>\n<SpaceSystem name="s" {NS}>\n<TelemetryMetaData>\n'
        '<ParameterTypeSet>\n<IntegerParameterType name="U8"><IntegerDataEncoding'
        ' sizeInBits="8"/></IntegerParameterType>\n'
        f"{value_type}\n</ParameterTypeSet>\n"
        '<ParameterSet><Parameter name="A" parameterTypeRef="U8"/>'
        '<Parameter name="V" parameterTypeRef="T"/></ParameterSet>\n<ContainerSet>\n'
        '<SequenceContainer name="R" abstract="true"><EntryList><ParameterRefEntry'
        ' parameterRef="A"/></EntryList></SequenceContainer>\n'
        f'<SequenceContainer name="C"><EntryList><ParameterRefEntry parameterRef="V">{entry_parts}'
        '</ParameterRefEntry></EntryList><BaseContainer containerRef="R"><RestrictionCriteria>'
        '<Comparison parameterRef="A" value="1"/></RestrictionCriteria></BaseContainer>'
        "</SequenceContainer>\n</ContainerSet>\n</TelemetryMetaData>\n</SpaceSystem>\n"
    )


def _time(encoding, epoch="<Epoch>TAI</Epoch>"):
    return (
        f'<AbsoluteTimeParameterType name="T">{encoding}<ReferenceTime>{epoch}'
        "</ReferenceTime></AbsoluteTimeParameterType>"
    )


CUC = '<Encoding scale="0.0000152587890625"><IntegerDataEncoding sizeInBits="48"/></Encoding>'
U16 = '<IntegerDataEncoding sizeInBits="16"/>'

REFUSED = [
    (
        '<BooleanParameterType name="T"><StringDataEncoding><SizeInBits><Fixed><FixedValue>8'
        "</FixedValue></Fixed></SizeInBits></StringDataEncoding></BooleanParameterType>",
        "",
        "StringDataEncoding",
    ),
    ('<AggregateParameterType name="T"/>', "", "AggregateParameterType"),
    ('<RelativeTimeParameterType name="T"/>', "", "RelativeTimeParameterType"),
    (_time(CUC, '<OffsetFrom parameterRef="A"/>'), "", "OffsetFrom"),
    (_time('<Encoding><FloatDataEncoding sizeInBits="64"/></Encoding>'), "", "FloatDataEncoding"),
    (_time('<Encoding scale="0.000001">' + U16 + "</Encoding>"), "", "Encoding"),
    (_time('<Encoding offset="3">' + U16 + "</Encoding>"), "", "Encoding"),
    (_time('<Encoding units="days">' + U16 + "</Encoding>"), "", "Encoding"),
    (_time('<Encoding><IntegerDataEncoding sizeInBits="12"/></Encoding>'), "", "Encoding"),
    (
        _time(
            '<Encoding><IntegerDataEncoding sizeInBits="16" encoding="twosComplement"/></Encoding>'
        ),
        "",
        "Encoding",
    ),
    (
        '<StringParameterType name="T"><StringDataEncoding encoding="UTF-16BE"><Variable'
        ' maxSizeInBits="64"><TerminationChar>0000</TerminationChar></Variable>'
        "</StringDataEncoding></StringParameterType>",
        "",
        "TerminationChar",
    ),
    (
        '<StringParameterType name="T"><StringDataEncoding><SizeInBits><Fixed><FixedValue>64'
        "</FixedValue></Fixed><TerminationChar>00</TerminationChar></SizeInBits>"
        "</StringDataEncoding></StringParameterType>",
        "",
        "TerminationChar",
    ),
    (
        '<StringParameterType name="T"><StringDataEncoding><Variable maxSizeInBits="64">'
        '<LeadingSize sizeInBitsOfSizeTag="40"/></Variable></StringDataEncoding>'
        "</StringParameterType>",
        "",
        "LeadingSize",
    ),
    (
        '<IntegerParameterType name="T"><IntegerDataEncoding sizeInBits="8"><DefaultCalibrator>'
        "<MathOperationCalibrator/></DefaultCalibrator></IntegerDataEncoding></IntegerParameterType>",
        "",
        "MathOperationCalibrator",
    ),
    (
        '<IntegerParameterType name="T"><IntegerDataEncoding sizeInBits="8">'
        "<ContextCalibratorList/></IntegerDataEncoding></IntegerParameterType>",
        "",
        "ContextCalibratorList",
    ),
    (
        '<FloatParameterType name="T"><FloatDataEncoding sizeInBits="80"/></FloatParameterType>',
        "",
        "FloatDataEncoding",
    ),
    (
        '<StringParameterType name="T"><StringDataEncoding><SizeInBits><Fixed><FixedValue>8'
        "</FixedValue></Fixed></SizeInBits></StringDataEncoding></StringParameterType>",
        '<IncludeCondition><Comparison parameterRef="A" value="1"/></IncludeCondition>',
        "IncludeCondition",
    ),
    (
        '<IntegerParameterType name="T">' + U16 + "</IntegerParameterType>",
        "<RepeatEntry><Count><FixedValue>2</FixedValue></Count><Offset><FixedValue>3"
        "</FixedValue></Offset></RepeatEntry>",
        "Offset",
    ),
    (
        '<IntegerParameterType name="T">' + U16 + "</IntegerParameterType>",
        '<LocationInContainerInBits referenceLocation="containerEnd"><FixedValue>0</FixedValue>'
        "</LocationInContainerInBits>",
        "LocationInContainerInBits",
    ),
]


@pytest.mark.parametrize(("value_type", "entry_parts", "element"), REFUSED)
def test_refused_element_named_strictly_and_listed_leniently(value_type, entry_parts, element):
    text = _document(value_type, entry_parts)
    with pytest.raises(RecipeFileError, match=element) as info:
        load_xtce(text)
    line = info.value.line
    assert line is not None and element in text.splitlines()[line - 1]
    defs = load_xtce(text, strict=False)
    assert [r.element for r in defs.refusals] == [element]
    assert defs.refusals[0].line == line
    decoded = defs.decode(bytes([1, 7, 7, 7, 7, 7, 7, 7, 7]), packet_bytes=9)
    assert decoded.unmatched == {None: 1}


EPOCHS = [
    ("TAI", "1958-01-01T00:00:00"),
    ("UNIX", "1970-01-01T00:00:00"),
    ("POSIX", "1970-01-01T00:00:00"),
    ("GPS", "1980-01-06T00:00:00"),
    ("J2000", "2000-01-01T11:58:55.816"),
    ("2010-05-04T03:02:01Z", "2010-05-04T03:02:01"),
    ("2010-05-04T05:02:01+02:00", "2010-05-04T03:02:01"),
    ("2010-05-04", "2010-05-04T00:00:00"),
]


@pytest.mark.parametrize(("epoch", "start"), EPOCHS)
def test_absolute_time_from_a_cuc_count(epoch, start):
    defs = load_xtce(_document(_time(CUC, f"<Epoch>{epoch}</Epoch>")))
    # 0x00010000 seconds and 0x8000 / 65536 of one from the epoch.
    packet = bytes([1, 0, 1, 0, 0, 0x80, 0])
    column = defs.decode(packet, packet_bytes=7)["C"]["V"]
    want = np.datetime64(start, "ns") + np.timedelta64(65536, "s") + np.timedelta64(500, "ms")
    assert column[0] == want
    assert column.dtype == np.dtype("datetime64[ns]")


def test_bad_epoch_is_a_bad_file():
    with pytest.raises(RecipeFileError, match="epoch 'yesterday'"):
        load_xtce(_document(_time(CUC, "<Epoch>yesterday</Epoch>")))


@pytest.mark.parametrize("form", ["Variable", "SizeInBits"])
def test_leading_size_text(form):
    size = f'<{form} maxSizeInBits="64"><LeadingSize sizeInBitsOfSizeTag="8"/></{form}>'
    if form == "SizeInBits":
        size = '<SizeInBits><LeadingSize sizeInBitsOfSizeTag="8"/></SizeInBits>'
    text_type = (
        '<StringParameterType name="T"><StringDataEncoding encoding="US-ASCII">'
        f"{size}</StringDataEncoding></StringParameterType>"
    )
    defs = load_xtce(_document(text_type))
    data = bytes([1, 3]) + b"abcX" + bytes([1, 0]) + b"X"
    table = defs.decode(data, offsets=[0, 6], lengths=[6, 3])["C"]
    assert table["V.size"].tolist() == [3, 0]
    assert table["V"].tolist() == ["abc", ""]


def _included(after=""):
    """R: A (8 bits), V (8 bits) only where A == 1, W (8 bits) ``after`` it."""
    return (
        f'<?xml version="1.0"?>\n<SpaceSystem name="s" {NS}>\n<TelemetryMetaData>\n'
        '<ParameterTypeSet><IntegerParameterType name="U8"><IntegerDataEncoding'
        ' sizeInBits="8"/></IntegerParameterType></ParameterTypeSet>\n<ParameterSet>'
        '<Parameter name="A" parameterTypeRef="U8"/><Parameter name="V" parameterTypeRef="U8"/>'
        '<Parameter name="W" parameterTypeRef="U8"/></ParameterSet>\n<ContainerSet>\n'
        '<SequenceContainer name="R"><EntryList><ParameterRefEntry parameterRef="A"/>'
        '<ParameterRefEntry parameterRef="V"><IncludeCondition><Comparison parameterRef="A"'
        ' value="1"/></IncludeCondition></ParameterRefEntry>\n'
        f'<ParameterRefEntry parameterRef="W">{after}</ParameterRefEntry></EntryList>'
        "</SequenceContainer>\n</ContainerSet>\n</TelemetryMetaData>\n</SpaceSystem>\n"
    )


def test_included_entry_is_a_child_table_and_moves_what_follows():
    defs = load_xtce(_included(), root="R")
    decoded = defs.decode(bytes([1, 7, 9, 0, 5, 6]), packet_bytes=3)
    assert decoded["R"]["A"].tolist() == [1, 0]
    assert decoded["R"]["W"].tolist() == [9, 5]  # right after A where V is left out
    assert decoded["R/V"]["packet"].tolist() == [0]
    assert decoded["R/V"]["V"].tolist() == [7]


def test_location_after_an_included_entry_is_refused():
    after = (
        '<LocationInContainerInBits referenceLocation="previousEntry"><FixedValue>8'
        "</FixedValue></LocationInContainerInBits>"
    )
    with pytest.raises(RecipeFileError, match="after a field of varying size"):
        load_xtce(_included(after), root="R")


@pytest.mark.parametrize("form", ["Variable", "SizeInBits"])
def test_terminated_text(form):
    size = f'<{form} maxSizeInBits="64"><TerminationChar>3B</TerminationChar></{form}>'
    if form == "SizeInBits":
        size = "<SizeInBits><TerminationChar>3B</TerminationChar></SizeInBits>"
    text_type = (
        '<StringParameterType name="T"><StringDataEncoding encoding="US-ASCII">'
        f"{size}</StringDataEncoding></StringParameterType>"
    )
    defs = load_xtce(_document(text_type))
    data = bytes([1]) + b"abc;" + bytes([1]) + b";"
    table = defs.decode(data, offsets=[0, 5], lengths=[5, 2])["C"]
    assert table["V"].tolist() == ["abc", ""]


def test_terminator_not_hex_is_a_bad_file():
    text_type = (
        '<StringParameterType name="T"><StringDataEncoding><Variable maxSizeInBits="64">'
        "<TerminationChar>zz</TerminationChar></Variable></StringDataEncoding></StringParameterType>"
    )
    with pytest.raises(RecipeFileError, match="'zz' of 'T' is not hex"):
        load_xtce(_document(text_type))
