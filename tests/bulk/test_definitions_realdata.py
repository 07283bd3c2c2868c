"""Hand-written definitions of the real and peer-generated telemetry in
../shared/realdata decode their files as the peers (and their truth files) do.

ccsdspy's byte-order, variable-length and Europa Clipper sets against ccsdspy's
own decoding and truth values. Skipped where the data or ccsdspy is absent.
"""

from __future__ import annotations

import importlib.util
import logging

import numpy as np
import pytest

from bitloom_bulk import Definitions, PacketType, field
from bitloom_bulk.ccsds import primary_header
from tests.support.realdata import REALDATA

CCSDSPY_DATA = REALDATA / "ccsdspy"

pytestmark = pytest.mark.skipif(not CCSDSPY_DATA.is_dir(), reason="no ../shared/realdata")

BYTE_ORDERS = [
    "1", "12", "21", "123", "321", "1234", "2143", "3412", "4321",
    "123456", "1234567", "12345678", "78563412", "87654321",
]  # fmt: skip


def _header():
    return PacketType("packet", primary_header("ccsdspy"), abstract=True)


def _ccsdspy_definitions():
    """ccsdspy's definitions.py for this corpus, imported from the data folder."""
    pytest.importorskip("ccsdspy")
    logging.getLogger("ccsdspy").setLevel(logging.ERROR)
    spec = importlib.util.spec_from_file_location(
        "realdata_ccsdspy", CCSDSPY_DATA / "definitions.py"
    )
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def _truth(order):
    text = (CCSDSPY_DATA / "byte_order" / f"byteorder_{order}.csv").read_text()
    return [[int(v) for v in line.split(",")] for line in text.split()]


def _body(order, count=None, name="body"):
    keys = {"byte_order": order} if len(order) > 1 else {}
    if count is not None:
        keys["count"] = count
    return field(name, "unsigned", 8 * len(order), **keys)


@pytest.mark.parametrize("order", BYTE_ORDERS)
def test_byte_orders_read_as_their_truth_files_say(order):
    data = (CCSDSPY_DATA / "byte_order" / f"byteorder_{order}.bin").read_bytes()
    truth = _truth(order)
    as_array = Definitions(
        [_header(), PacketType("body", [_body(order, count=80)], parent="packet")]
    ).decode(data)
    assert as_array["body"]["body"].tolist() == truth
    as_fields = Definitions(
        [
            _header(),
            PacketType("body", [_body(order, name=f"b{i}") for i in range(80)], parent="packet"),
        ]
    ).decode(data)
    assert [
        list(row)
        for row in zip(*(as_fields["body"][f"b{i}"].tolist() for i in range(80)), strict=True)
    ] == truth
    # ccsdspy's "expand": as many elements as the packet holds, as records of a
    # big- or little-endian element (a record holds no permuted numbers).
    plain = {"".join(sorted(order)): "big", "".join(sorted(order))[::-1]: "little"}.get(order)
    if plain is None:
        return
    element = field("value", "unsigned", 8 * len(order), byte_order=plain)
    expand = Definitions(
        [
            _header(),
            PacketType(
                "body",
                [field("body", "binary", {"rest": 0}, records=[element])],
                parent="packet",
            ),
        ]
    ).decode(data)
    table = expand["body/body"]
    assert table["value"].tolist() == [v for row in truth for v in row]
    assert table["packet"].tolist() == [p for p in range(len(truth)) for _ in range(80)]


VAR_SIZES = [2, 3, 5, 7, 11, 13, 17, 19, 23, 29]
DATA2_SIZES = [5, 7, 2, 8, 3, 41, 42, 1, 3, 4]


def _expanding(footer):
    rest = 16 if footer else 0
    items = [field("data", "binary", {"rest": rest}, records=[field("value", "unsigned", 16)])]
    if footer:
        items.append(field("footer", "unsigned", 16, offset_bits=-16))
    return Definitions([_header(), PacketType("v", items, parent="packet")])


@pytest.mark.parametrize("footer", [False, True])
def test_variable_length_arrays_to_the_packet_end(footer):
    name = "var_length_packets_with_footer.bin" if footer else "var_length_packets.bin"
    data = (CCSDSPY_DATA / "var_length" / name).read_bytes()
    decoded = _expanding(footer).decode(data)
    child = decoded["v/data"]
    expected = [n + k for n in VAR_SIZES for k in range(n)]
    assert child["value"].tolist() == expected
    assert child["packet"].tolist() == [p for p, n in enumerate(VAR_SIZES) for _ in range(n)]
    if footer:
        assert decoded["v"]["footer"].tolist() == [1] * 10
    assert decoded.faults == []


def test_two_counted_arrays_and_a_footer():
    data = (
        CCSDSPY_DATA / "var_length" / "var_length_packets_double_varfield_with_footer.bin"
    ).read_bytes()
    defs = Definitions(
        [
            _header(),
            PacketType(
                "v",
                [
                    field("data1_len", "unsigned", 8),
                    field("data1", "unsigned", 16, count={"field": "data1_len"}),
                    field("data2_len", "unsigned", 8),
                    field("data2", "unsigned", 16, count={"field": "data2_len"}),
                    field("footer", "unsigned", 16),
                ],
                parent="packet",
            ),
        ]
    )
    decoded = defs.decode(data)
    assert decoded["v"]["data1_len"].tolist() == VAR_SIZES
    assert decoded["v"]["data2_len"].tolist() == DATA2_SIZES
    assert decoded["v/data1"]["data1"].tolist() == [n + k for n in VAR_SIZES for k in range(n)]
    assert decoded["v/data2"]["data2"].tolist() == [k for n in DATA2_SIZES for k in range(n)]
    assert decoded["v"]["footer"].tolist() == [1] * 10
    assert list(decoded["v"]) == ["CCSDS_VERSION_NUMBER", "CCSDS_PACKET_TYPE",
                                  "CCSDS_SECONDARY_FLAG", "CCSDS_APID", "CCSDS_SEQUENCE_FLAG",
                                  "CCSDS_SEQUENCE_COUNT", "CCSDS_PACKET_LENGTH", "data1_len",
                                  "data2_len", "footer"]  # fmt: skip


ECM_HK = [
    "FGx_-4.7VHK", "FGx_+4.7VHK", "FGx_2VREF", "FGx_1VREF", "FGx_DRV_SNS", "FGx_OP_PRTA",
    "FGx_FBX", "FGx_FBY", "FGx_FBZ", "FGx_BPFX", "FGx_BPFY", "FGx_BPFZ", "FGx_+4.7_I",
    "FGx_-4.7_I", "FGx_HK_CH14", "FGx_HK_CH15",
]  # fmt: skip


def _ecm(samples, *, tail_from_end):
    head = [
        field("Instrument SCLK Time second", "unsigned", 32),
        field("Instrument SCLK Time subsec", "unsigned", 16),
        field("Accountability ID", "unsigned", 32),
    ]
    tail = [field(n, "twos_complement", 24) for n in ECM_HK] + [
        field("Register 80", "unsigned", 16),
        field("PEC (CRC-16-CCITT)", "unsigned", 16),
    ]
    if tail_from_end:
        tail[0]["offset_bits"] = -(16 * 24 + 32)
    return Definitions([_header(), PacketType("ecm", [*head, samples, *tail], parent="packet")])


def test_europa_clipper_samples_as_an_array_match_ccsdspy():
    peer = _ccsdspy_definitions()
    path = CCSDSPY_DATA / "europa_clipper" / "apid01227.tlm"
    cls, fields = peer.europa_apid01227()
    theirs = cls(fields).load(str(path), include_primary_header=True)
    decoded = _ecm(field("samples", "twos_complement", 24, count=480), tail_from_end=False).decode(
        path.read_bytes()
    )["ecm"]
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


def test_europa_clipper_expanding_footer_matches_ccsdspy():
    peer = _ccsdspy_definitions()
    path = CCSDSPY_DATA / "europa_clipper" / "expanding_footer_packet.bin"
    cls, fields = peer.europa_expanding_footer()
    theirs = cls(fields).load(str(path), include_primary_header=True)
    samples = field(
        "FGX_CHANNELS", "binary", {"rest": 16 * 24 + 32}, records=[field("value", "unsigned", 8)]
    )
    decoded = _ecm(samples, tail_from_end=True).decode(path.read_bytes())
    child = decoded["ecm/FGX_CHANNELS"]
    rows = [np.asarray(r).tolist() for r in theirs["FGX_CHANNELS"]]
    assert [len(r) for r in rows] == [1440] * 22
    assert child["value"].tolist() == [v for r in rows for v in r]
    for name, column in decoded["ecm"].items():
        assert column.tolist() == np.asarray(theirs[name]).tolist(), name


SPP_DATA = REALDATA / "spp"


@pytest.fixture(scope="module")
def idex_by_peer():
    spp = pytest.importorskip("space_packet_parser")
    folder = SPP_DATA / "idex"
    if not folder.is_dir():
        pytest.skip("no IDEX set")
    definition = spp.load_xtce(str(folder / "idex_combined_science_definition.xml"))
    with open(folder / "sciData_2023_052_14_45_05", "rb") as f:
        packets = [definition.parse_bytes(p) for p in spp.ccsds_generator(f)]
    # The leaf container of each packet: followed from the root as the peer does.
    types = []
    for packet in packets:
        name = "CCSDSPacket"
        while True:
            inheritors = definition.containers[name].inheritors
            chosen = [
                c
                for c in inheritors
                if all(
                    crit.evaluate(packet) for crit in definition.containers[c].restriction_criteria
                )
            ]
            if not chosen:
                break
            name = chosen[0]
        types.append(name)
    return packets, types


def test_idex_science_packets_decode_as_the_xtce_decoder_does(idex_by_peer):
    from tests.support.idex_definitions import idex_definitions

    packets, types = idex_by_peer
    data = (SPP_DATA / "idex" / "sciData_2023_052_14_45_05").read_bytes()
    raw = idex_definitions().decode(data, derived=False)
    derived = idex_definitions().decode(data)
    assert raw.unmatched == {} and raw.faults == [] and derived.faults == []
    rows = {"Sci0TypeZero": 0, "Sci0TypeNonZero": 0}
    assert sorted(set(types)) == sorted(rows)
    for packet, name in zip(packets, types, strict=True):
        row = rows[name]
        rows[name] += 1
        assert list(raw[name]) == list(packet), name
        for field_name, value in packet.items():
            assert raw[name][field_name][row] == value.raw_value, (name, row, field_name)
            # The derived value: an enumeration's label, else the number itself.
            assert derived[name][field_name][row] == value, (name, row, field_name)
    assert rows == {"Sci0TypeZero": 6, "Sci0TypeNonZero": 72}
    assert set(derived["Sci0TypeZero"]["IDX__TXHDRPOLSTAT"]) <= {"POS", "NEG"}
    # The waveforms are 97% of the file's bytes.
    blobs = sum(len(b) for b in raw["Sci0TypeNonZero"]["IDX__SCI0RAW"])
    assert blobs > 0.95 * len(data)
