"""Hand-written definitions of the real and peer-generated telemetry in
../shared/realdata decode their files as the peers (and their truth files) do.

ccsdspy's byte-order, variable-length, Europa Clipper and CSA sets against
ccsdspy's own decoding and truth values; the JPSS and IDEX sets against the
XTCE decoder space_packet_parser, field by field, raw and derived, and the
packet type each packet reaches. Skipped where the data or a peer is absent.
The definitions are in tests/support/realdata_definitions.py.
"""

from __future__ import annotations

import io
import logging
import runpy
import warnings
from collections import Counter
from types import SimpleNamespace

import numpy as np
import pytest

from tests.support.realdata_definitions import (
    BYTE_ORDERS,
    CCSDSPY_DATA,
    IDEX_FILE,
    JPSS_FILE,
    REALDATA,
    SPP_DATA,
    VAR_LENGTH_FILES,
    byte_order_definitions,
    csa_definitions,
    europa_definitions,
    idex_definitions,
    jpss_definitions,
    var_length_definitions,
)

pytestmark = pytest.mark.skipif(not REALDATA.is_dir(), reason="no ../shared/realdata")

VAR_SIZES = [2, 3, 5, 7, 11, 13, 17, 19, 23, 29]
DATA2_SIZES = [5, 7, 2, 8, 3, 41, 42, 1, 3, 4]
CCSDSPY_HEADER = [
    "CCSDS_VERSION_NUMBER", "CCSDS_PACKET_TYPE", "CCSDS_SECONDARY_FLAG", "CCSDS_APID",
    "CCSDS_SEQUENCE_FLAG", "CCSDS_SEQUENCE_COUNT", "CCSDS_PACKET_LENGTH",
]  # fmt: skip


# -- ccsdspy ------------------------------------------------------------------


@pytest.fixture(scope="module")
def ccsdspy_defs():
    """ccsdspy's definitions.py for this corpus, imported from the data folder."""
    pytest.importorskip("ccsdspy")
    if not CCSDSPY_DATA.is_dir():
        pytest.skip("no ccsdspy sets")
    return SimpleNamespace(**runpy.run_path(str(CCSDSPY_DATA / "definitions.py")))


def _ccsdspy_load(definition, path):
    """ccsdspy's decoding of a file (it logs every gap in sequence counts)."""
    logging.getLogger("ccsdspy").setLevel(logging.ERROR)
    cls, fields = definition
    return cls(fields).load(str(path), include_primary_header=True)


def _truth(order):
    text = (CCSDSPY_DATA / "byte_order" / f"byteorder_{order}.csv").read_text()
    return [[int(v) for v in line.split(",")] for line in text.split()]


def _byte_order_file(order):
    return CCSDSPY_DATA / "byte_order" / f"byteorder_{order}.bin"


def _per_packet(child, column, packets):
    """A child table's values grouped by the packet they came from."""
    rows = [[] for _ in range(packets)]
    for packet, value in zip(child["packet"].tolist(), child[column].tolist(), strict=True):
        rows[packet].append(value)
    return rows


def _assert_header_as_ccsdspy(table, theirs):
    for name in CCSDSPY_HEADER:
        assert table[name].tolist() == theirs[name].tolist(), name


@pytest.mark.parametrize("order", BYTE_ORDERS)
def test_byte_orders_read_as_their_truth_files_say(order):
    data = _byte_order_file(order).read_bytes()
    truth = _truth(order)
    as_array = byte_order_definitions(order, "array").decode(data)
    assert as_array["body"]["body"].tolist() == truth
    as_fields = byte_order_definitions(order, "fields").decode(data)
    assert [
        list(row)
        for row in zip(*(as_fields["body"][f"body{i}"].tolist() for i in range(80)), strict=True)
    ] == truth
    # ccsdspy's "expand": as many elements as the packet holds, as records of a
    # big- or little-endian element (a record holds no permuted numbers).
    expand = byte_order_definitions(order, "expand")
    if expand is None:
        return
    table = expand.decode(data)["body/body"]
    assert table["value"].tolist() == [v for row in truth for v in row]
    assert table["packet"].tolist() == [p for p in range(len(truth)) for _ in range(80)]


@pytest.mark.parametrize("order", BYTE_ORDERS)
def test_byte_orders_match_ccsdspy(order, ccsdspy_defs):
    path = _byte_order_file(order)
    data = path.read_bytes()
    as_array = byte_order_definitions(order, "array").decode(data)["body"]
    as_fields = byte_order_definitions(order, "fields").decode(data)["body"]
    theirs = _ccsdspy_load(ccsdspy_defs.byte_order(order, "array"), path)
    assert as_array["body"].tolist() == theirs["body"].tolist()
    _assert_header_as_ccsdspy(as_array, theirs)
    theirs = _ccsdspy_load(ccsdspy_defs.byte_order(order, "fields"), path)
    assert list(as_fields) == list(theirs)
    for name, column in as_fields.items():
        assert column.tolist() == theirs[name].tolist(), name
    # ccsdspy's (40, 2) array is the same 80 values in row-major order.
    theirs = _ccsdspy_load(ccsdspy_defs.byte_order(order, "multiarray"), path)
    assert as_array["body"].reshape(-1, 40, 2).tolist() == theirs["body"].tolist()
    # ccsdspy's "expand" is right for elements of 1, 2, 4 and 8 bytes only
    # (the README's note on 2.0.1); there the records must agree with it.
    expand = byte_order_definitions(order, "expand")
    if expand is None or len(order) not in (1, 2, 4, 8):
        return
    theirs = _ccsdspy_load(ccsdspy_defs.byte_order(order, "expand"), path)
    child = expand.decode(data)["body/body"]
    assert _per_packet(child, "value", 10) == [np.asarray(r).tolist() for r in theirs["body"]]


@pytest.mark.parametrize("footer", [False, True])
def test_variable_length_arrays_to_the_packet_end(footer):
    name = VAR_LENGTH_FILES[1] if footer else VAR_LENGTH_FILES[0]
    data = (CCSDSPY_DATA / "var_length" / name).read_bytes()
    decoded = var_length_definitions(name).decode(data)
    child = decoded["v/data"]
    expected = [n + k for n in VAR_SIZES for k in range(n)]
    assert child["value"].tolist() == expected
    assert child["packet"].tolist() == [p for p, n in enumerate(VAR_SIZES) for _ in range(n)]
    if footer:
        assert decoded["v"]["footer"].tolist() == [1] * 10
    assert decoded.faults == []


def test_two_counted_arrays_and_a_footer():
    name = VAR_LENGTH_FILES[2]
    decoded = var_length_definitions(name).decode((CCSDSPY_DATA / "var_length" / name).read_bytes())
    assert decoded["v"]["data1_len"].tolist() == VAR_SIZES
    assert decoded["v"]["data2_len"].tolist() == DATA2_SIZES
    assert decoded["v/data1"]["data1"].tolist() == [n + k for n in VAR_SIZES for k in range(n)]
    assert decoded["v/data2"]["data2"].tolist() == [k for n in DATA2_SIZES for k in range(n)]
    assert decoded["v"]["footer"].tolist() == [1] * 10
    assert list(decoded["v"]) == [*CCSDSPY_HEADER, "data1_len", "data2_len", "footer"]


@pytest.mark.parametrize("name", VAR_LENGTH_FILES)
def test_variable_length_files_match_ccsdspy(name, ccsdspy_defs):
    path = CCSDSPY_DATA / "var_length" / name
    decoded = var_length_definitions(name).decode(path.read_bytes())
    theirs = _ccsdspy_load(ccsdspy_defs.var_length(name), path)
    assert decoded.faults == [] and decoded.unmatched == {}
    table = decoded["v"]
    compared = set()
    for column in theirs:
        if column in table:
            assert table[column].tolist() == theirs[column].tolist(), column
        else:
            # An array: a child table, as records ("value") or counted elements.
            child = decoded[f"v/{column}"]
            values = "value" if "value" in child else column
            rows = _per_packet(child, values, len(table["CCSDS_APID"]))
            assert rows == [np.asarray(r).tolist() for r in theirs[column]], column
        compared.add(column)
    assert compared == set(theirs) and len(compared) > len(CCSDSPY_HEADER)


def test_europa_clipper_samples_as_an_array_match_ccsdspy(ccsdspy_defs):
    path = CCSDSPY_DATA / "europa_clipper" / "apid01227.tlm"
    theirs = _ccsdspy_load(ccsdspy_defs.europa_apid01227(), path)
    decoded = europa_definitions("array").decode(path.read_bytes())["ecm"]
    samples = decoded["samples"]
    assert samples.shape == (22, 480)
    # ccsdspy's fields, in order: channels 3, 2, 1 of sample 0, then of sample 1, ...
    for i in range(160):
        for k, c in enumerate((3, 2, 1)):
            assert samples[:, 3 * i + k].tolist() == theirs[f"FGx_CH{c}_{i}"].tolist()
    assert samples[:, 3 * 134 + 2].tolist() == [-88] * 22
    for name, column in decoded.items():
        if name != "samples":
            assert column.tolist() == theirs[name].tolist(), name
    assert decoded["Accountability ID"].tolist() == [400] * 22


@pytest.mark.parametrize("samples", ["rest", "length"])
def test_europa_clipper_expanding_footer_matches_ccsdspy(samples, ccsdspy_defs):
    path = CCSDSPY_DATA / "europa_clipper" / "expanding_footer_packet.bin"
    theirs = _ccsdspy_load(ccsdspy_defs.europa_expanding_footer(), path)
    decoded = europa_definitions(samples).decode(path.read_bytes())
    rows = [np.asarray(r).tolist() for r in theirs["FGX_CHANNELS"]]
    assert [len(r) for r in rows] == [1440] * 22
    if samples == "rest":
        assert _per_packet(decoded["ecm/FGX_CHANNELS"], "value", 22) == rows
    else:
        assert [list(b) for b in decoded["ecm"]["FGX_CHANNELS"]] == rows
    for name, column in decoded["ecm"].items():
        if name != "FGX_CHANNELS":
            assert column.tolist() == np.asarray(theirs[name]).tolist(), name
    assert decoded.faults == []


def test_csa_fields_match_ccsdspy(ccsdspy_defs):
    path = CCSDSPY_DATA / "csa" / "apid00400.tlm"
    decoded = csa_definitions().decode(path.read_bytes())["csa"]
    for which in (1, 2):
        theirs = _ccsdspy_load(ccsdspy_defs.csa(which), path)
        assert decoded[f"param{which}"].tolist() == theirs[f"param{which}"].tolist()
        _assert_header_as_ccsdspy(decoded, theirs)
    assert set(decoded["param1"].tolist()) == {32}
    assert set(decoded["param2"].tolist()) == {31}
    assert len(decoded["param1"]) == 3444


# -- the XTCE decoder ---------------------------------------------------------------


def _spp_decode(xml, data):
    """space_packet_parser's packets and the leaf container each reaches from
    the root (None for a packet it refuses as of no known type)."""
    spp = pytest.importorskip("space_packet_parser")
    from space_packet_parser.exceptions import UnrecognizedPacketTypeError

    definition = spp.load_xtce(str(xml))
    packets, types = [], []
    for raw in spp.ccsds_generator(io.BytesIO(data)):
        try:
            with warnings.catch_warnings():
                # A packet longer than its container (set up by the tests) warns.
                warnings.simplefilter("ignore", UserWarning)
                packet = definition.parse_bytes(raw)
        except UnrecognizedPacketTypeError:
            packets.append(None)
            types.append(None)
            continue
        # The leaf: followed from the root as the peer does.
        name = "CCSDSPacket"
        while True:
            chosen = [
                c
                for c in definition.containers[name].inheritors
                if all(
                    crit.evaluate(packet) for crit in definition.containers[c].restriction_criteria
                )
            ]
            if not chosen:
                break
            name = chosen[0]
        packets.append(packet)
        types.append(name)
    return packets, types


def _assert_decoded_as_xtce(raw, derived, packets, types):
    """Every field of every packet the peer decoded, in the table of the type
    it reached: raw values against ``.raw_value``, derived values against the
    parsed values (enumeration labels as str, with their type). Returns the
    packets per type."""
    lists = {
        mode: {name: {f: c.tolist() for f, c in table.items()} for name, table in decoded.items()}
        for mode, decoded in (("raw", raw), ("derived", derived))
    }
    rows = Counter()
    for index, (packet, name) in enumerate(zip(packets, types, strict=True)):
        if packet is None:
            continue
        row = rows[name]
        rows[name] += 1
        assert list(raw[name]) == list(packet), (index, name)
        for field_name, value in packet.items():
            ours = lists["raw"][name][field_name][row]
            assert ours == value.raw_value, (index, name, field_name)
            ours = lists["derived"][name][field_name][row]
            assert ours == value, (index, name, field_name)
            assert isinstance(ours, str) == isinstance(value, str), (index, name, field_name)
    for name, table in raw.items():
        assert all(len(c) == rows[name] for c in table.values()), name
    return rows


def _xtce_case(folder, xml, data_file):
    if not (SPP_DATA / folder).is_dir():
        pytest.skip(f"no {folder} set")
    data = (SPP_DATA / folder / data_file).read_bytes()
    return (data, *_spp_decode(SPP_DATA / folder / xml, data))


@pytest.fixture(scope="module")
def idex_by_peer():
    return _xtce_case("idex", "idex_combined_science_definition.xml", IDEX_FILE)


def test_idex_science_packets_decode_as_the_xtce_decoder_does(idex_by_peer):
    data, packets, types = idex_by_peer
    raw = idex_definitions().decode(data, derived=False)
    derived = idex_definitions().decode(data)
    assert raw.unmatched == {} and raw.faults == [] and derived.faults == []
    assert sorted(set(types)) == ["Sci0TypeNonZero", "Sci0TypeZero"]
    rows = _assert_decoded_as_xtce(raw, derived, packets, types)
    assert rows == {"Sci0TypeZero": 6, "Sci0TypeNonZero": 72}
    assert set(derived["Sci0TypeZero"]["IDX__TXHDRPOLSTAT"]) <= {"POS", "NEG"}
    # The waveforms are 97% of the file's bytes.
    blobs = sum(len(b) for b in raw["Sci0TypeNonZero"]["IDX__SCI0RAW"])
    assert blobs > 0.95 * len(data)


def _starts(data):
    """Where each packet of a CCSDS stream starts, from its length field."""
    start = 0
    while start < len(data):
        yield start
        start += int.from_bytes(data[start + 4 : start + 6], "big") + 7


def _apids(data):
    """Each packet's APID, read from its primary header."""
    return [int.from_bytes(data[s : s + 2], "big") & 0x7FF for s in _starts(data)]


def _idex_mixed(data):
    """The IDEX file with packets moved to the fetch APID 1425 (some of them
    with science type 0, which no fetch child takes), to an APID no type
    has, and to packet type 1 (telecommand), which the tree refuses."""
    out = bytearray(data)
    for index, start in enumerate(_starts(data)):
        word = int.from_bytes(out[start : start + 2], "big")
        apid = (1424, 1425, 1426, 1425)[index % 4]
        word = (word & ~0x7FF) | apid
        if index % 7 == 3:
            word |= 0x1000
        out[start : start + 2] = word.to_bytes(2, "big")
        if apid == 1425 and index % 8 == 1:
            out[start + 16] = 0  # IDX__SCIFETCHTYPE
    return bytes(out)


def test_idex_tree_with_both_branches_decodes_as_the_xtce_decoder_does():
    source = SPP_DATA / "idex" / IDEX_FILE
    if not source.is_file():
        pytest.skip("no IDEX set")
    data = _idex_mixed(source.read_bytes())
    packets, types = _spp_decode(SPP_DATA / "idex" / "idex_combined_science_definition.xml", data)
    raw = idex_definitions().decode(data, derived=False)
    derived = idex_definitions().decode(data)
    rows = _assert_decoded_as_xtce(raw, derived, packets, types)
    assert set(rows) == {
        "Sci0TypeZero",
        "Sci0TypeNonZero",
        "IDX_SCIFETCH",
        "SciFetchTypeZero",
        "SciFetchTypeNonZero",
    }
    # The packets the peer refuses are bitloom's unmatched ones, by APID.
    refused = Counter(apid for apid, t in zip(_apids(data), types, strict=True) if t is None)
    assert raw.unmatched == dict(refused) and set(refused) == {1424, 1425, 1426}
    assert raw.faults == [] and derived.faults == []


JPSS_XTCE = ["jpss1_geolocation_xtce_v1.xml", "contrived_inheritance_structure.xml"]


@pytest.fixture(scope="module", params=JPSS_XTCE)
def jpss_by_peer(request):
    return _xtce_case("jpss", request.param, JPSS_FILE)


def test_jpss_decodes_as_the_xtce_decoder_does(jpss_by_peer):
    data, packets, types = jpss_by_peer
    raw = jpss_definitions().decode(data, derived=False)
    derived = jpss_definitions().decode(data)
    assert set(types) == {"JPSS_ATT_EPHEM"}
    assert _assert_decoded_as_xtce(raw, derived, packets, types) == {"JPSS_ATT_EPHEM": 7200}
    assert raw.unmatched == {} and raw.faults == []


def test_jpss_valid_times_as_cds_time_codes(jpss_by_peer):
    data, packets, _ = jpss_by_peer
    times = jpss_definitions(times=True).decode(data)["JPSS_ATT_EPHEM"]
    raw = jpss_definitions(times=True).decode(data, derived=False)["JPSS_ATT_EPHEM"]
    epoch = np.datetime64("1958-01-01T00:00:00", "ns")
    for which in ("ADAET1", "ADAET2"):
        day, ms, us = (
            np.array([p[f"{which}{part}"].raw_value for p in packets], dtype=np.int64)
            for part in ("DAY", "MS", "US")
        )
        expected = epoch + (day * 86_400_000_000_000 + ms * 1_000_000 + us * 1_000).astype(
            "timedelta64[ns]"
        )
        assert times[which].dtype == np.dtype("datetime64[ns]")
        assert np.array_equal(times[which], expected), which
        assert raw[which].tolist() == [
            int(d).to_bytes(2, "big") + int(m).to_bytes(4, "big") + int(u).to_bytes(2, "big")
            for d, m, u in zip(day, ms, us, strict=True)
        ]


def test_jpss_matches_ccsdspy_csv(ccsdspy_defs):
    path = SPP_DATA / "jpss" / JPSS_FILE
    theirs = _ccsdspy_load(ccsdspy_defs.jpss_csv(), path)
    table = jpss_definitions().decode(path.read_bytes())["JPSS_ATT_EPHEM"]
    names = list(table)
    # The header under XTCE names here, ccsdspy's names there, in one order.
    assert len(theirs) == len(names)
    for ours, name in zip(names, theirs, strict=True):
        assert ours == name or name in CCSDSPY_HEADER
        assert table[ours].tolist() == theirs[name].tolist(), name
