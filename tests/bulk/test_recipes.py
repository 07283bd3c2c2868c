"""check_recipe and field: each finding code on a recipe that has the fault and
one that does not, and the findings' claims checked against bitloom itself."""

import importlib

import pytest

import bitloom
from bitloom_bulk import Definitions, Finding, PacketType, check_recipe, field
from bitloom_bulk import recipes as recipes_module


def u(name, bits, **keys):
    return field(name, "unsigned", bits, **keys)


# code, direction, a recipe with the fault, the same recipe without it
CASES = [
    (
        "little-endian-partial-byte",
        "unpack",
        [u("a", 12, byte_order="little")],
        [u("a", 16, byte_order="little")],
    ),
    (
        "text-truncated",
        "pack",
        [field("t", "us_ascii", 16, value="HELLO")],
        [field("t", "us_ascii", 40, value="HELLO")],
    ),
    ("text-partial-byte", "unpack", [field("t", "utf8", 12)], [field("t", "utf8", 16)]),
    ("float-width", "unpack", [field("x", "ieee754_f32", 24)], [field("x", "ieee754_f32", 32)]),
    ("wide-integer", "unpack", [u("w", 72)], [u("w", 64)]),
    ("duplicate-name", "unpack", [u("a", 8), u("a", 8)], [u("a", 8), u("b", 8)]),
    ("f128-zero", "unpack", [field("q", "ieee754_f128", 64)], [field("q", "ieee754_f128", 128)]),
    ("unknown-key", "unpack", [u("a", 8, offset=8)], [u("a", 8, offset_bits=8)]),
    ("unknown-encoding", "unpack", [field("t", "utf-8", 8)], [field("t", "UTF8", 8)]),
    (
        "pack-unsupported",
        "pack",
        [field("q", "ieee754_f128", 128, value=1.0)],
        [field("q", "ieee754_f64", 64, value=1.0)],
    ),
    ("bad-byte-order", "unpack", [u("a", 8, byte_order="msb")], [u("a", 8, byte_order="BIG")]),
    (
        "bad-dtype",
        "unpack",
        [u("a", 8, dtype="float32")],
        [field("a", "ieee754_f16", 16, dtype="float32")],
    ),
    (
        "missing-key",
        "unpack",
        [{"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big"}],
        [u("a", 8)],
    ),
    ("bad-type", "unpack", [u("a", 8, reverse_bits=1)], [u("a", 8, reverse_bits=True)]),
    ("missing-value", "pack", [u("a", 8)], [u("a", 8, value=1)]),
    (
        "overlap",
        "pack",
        [u("a", 8, value=1), u("b", 4, value=2, offset_bits=4)],
        [u("a", 8, value=1), u("b", 4, value=2, offset_bits=8)],
    ),
    # Packet definitions: the faulty type is the last one.
    (
        "unreachable-type",
        "unpack",
        Definitions(
            [
                PacketType("root", [u("k", 8)], abstract=True),
                PacketType("a", [], parent="root"),
                PacketType("b", [], parent="root", where={"k": 1}),
            ]
        ),
        Definitions(
            [
                PacketType("root", [u("k", 8)], abstract=True),
                PacketType("b", [], parent="root", where={"k": 1}),
                PacketType("a", [], parent="root"),
            ]
        ),
    ),
    (
        "size-too-large",
        "unpack",
        Definitions([PacketType("a", [u("n", 24), field("b", "binary", {"field": "n"})])]),
        Definitions([PacketType("a", [u("n", 16), field("b", "binary", {"field": "n"})])]),
    ),
    (
        "records-do-not-fit",
        "unpack",
        Definitions([PacketType("a", [field("r", "binary", 8, records=[u("x", 12)])])]),
        Definitions([PacketType("a", [field("r", "binary", 24, records=[u("x", 12)])])]),
    ),
]


def test_every_documented_code_has_a_case():
    documented = {
        line.strip().strip("`")
        for line in recipes_module.__doc__.splitlines()
        if line.startswith("``") and line.strip().endswith("``")
    }
    assert documented == {case[0] for case in CASES}


@pytest.mark.parametrize(("code", "direction", "bad", "good"), CASES, ids=[c[0] for c in CASES])
def test_code_triggered_and_not(code, direction, bad, good):
    found = check_recipe(bad, direction=direction)
    assert code in [f.code for f in found]
    hit = next(f for f in found if f.code == code)
    assert isinstance(hit, Finding)
    last = code in ("duplicate-name", "overlap") or isinstance(bad, Definitions)
    assert hit.index == len(bad) - 1 if last else hit.index == 0
    assert hit.message.endswith((".", "?")) and len(hit.message) > 30
    assert check_recipe(good, direction=direction) == []


def test_findings_are_frozen():
    finding = check_recipe([u("a", 72)])[0]
    with pytest.raises(AttributeError):
        finding.code = "other"  # type: ignore[misc]
    assert "wide-integer" in str(finding)


@pytest.mark.parametrize(
    ("written", "meant"),
    [("utf-8", "utf8"), ("float32", "ieee754_f32"), ("ascii", "us_ascii"), ("latin-1", "latin1")],
)
def test_encoding_did_you_mean(written, meant):
    (finding,) = check_recipe([field("x", written, 32)])
    assert finding.code == "unknown-encoding"
    assert f'"{meant}"' in finding.message
    # the suggestion is accepted by bitloom, the original is refused
    packet = bytes(4)
    bitloom.unpack_parameters(packet, 0, [field("x", meant, 32)])
    with pytest.raises(ValueError, match="Unsupported encoding"):
        bitloom.unpack_parameters(packet, 0, [field("x", written, 32)])


def test_key_did_you_mean():
    (finding,) = check_recipe([u("a", 8, offset=8)])
    assert '"offset_bits"' in finding.message


def test_misspelt_encoding_by_similarity():
    (finding,) = check_recipe([field("x", "twos_complment", 8)])
    assert '"twos_complement"' in finding.message


def test_unknown_key_claim_field_read_from_running_position():
    packet = bytes([0x11, 0x22])
    got = bitloom.unpack_parameters(packet, 0, [u("a", 8, offset=8)])
    assert got["a"] == 0x11  # the ignored key leaves the field at bit 0


def test_little_endian_partial_byte_claim():
    recipe = [u("a", 12, byte_order="little", value=0xABC)]
    packet = bitloom.pack_parameters(recipe)
    assert int.from_bytes(packet, "big") >> 4 == 0xC0A
    assert bitloom.unpack_parameters(packet, 0, recipe)["a"] == 0xA0C
    assert check_recipe(recipe, direction="pack")[0].code == "little-endian-partial-byte"


def test_text_truncated_claim():
    recipe = [field("t", "us_ascii", 16, value="HELLO")]
    (finding,) = check_recipe(recipe, direction="pack")
    assert finding.code == "text-truncated"
    packet = bitloom.pack_parameters(recipe)
    assert bitloom.unpack_parameters(packet, 0, recipe)["t"] == "LO"
    # unpacking never reads a value, so the same recipe is sound there
    assert check_recipe(recipe) == []


@pytest.mark.parametrize("encoding", sorted(recipes_module.TEXT_ENCODINGS))
def test_text_truncated_sizes_match_bitloom(encoding):
    text = "Gruss" if encoding == "us_ascii" else "Grüße"
    encoder = getattr(bitloom, "encode_" + ("iso_8859_1" if encoding == "latin1" else encoding))
    size = len(encoder(text))
    exact = [field("t", encoding, 8 * size, value=text)]
    short = [field("t", encoding, 8 * (size - 1), value=text)]
    assert check_recipe(exact, direction="pack") == []
    assert [f.code for f in check_recipe(short, direction="pack")] == ["text-truncated"]
    packet = bitloom.pack_parameters(short)
    assert len(packet) == size - 1


def test_f128_zero_claim():
    recipe = [field("q", "ieee754_f128", 64)]
    assert bitloom.unpack_parameters(b"\x3f\xf0" + bytes(6), 0, recipe)["q"] == 0.0


def test_float_width_claim():
    recipe = [field("x", "ieee754_f32", 24, value=1.5)]
    packet = bitloom.pack_parameters(recipe)
    assert bitloom.unpack_parameters(packet, 0, recipe)["x"] != 1.5
    assert "ieee754_f32" in check_recipe(recipe)[0].message


def test_duplicate_name_claim():
    recipe = [u("a", 8), u("a", 8)]
    assert bitloom.unpack_parameters(bytes([1, 2]), 0, recipe) == {"a": 2}


def test_overlap_claim_and_unpack_is_fine():
    recipe = [u("a", 8, value=0xFF), u("b", 4, value=0, offset_bits=2)]
    assert bitloom.pack_parameters(recipe) == bytes([0xC3])
    (finding,) = check_recipe(recipe, direction="pack")
    assert (finding.code, finding.index, finding.name) == ("overlap", 1, "b")
    assert "bits 2 to 5" in finding.message
    assert check_recipe(recipe) == []


def test_overlap_with_backwards_offsets():
    recipe = [
        u("a", 8, value=1, offset_bits=16),
        u("b", 8, value=2, offset_bits=0),
        u("c", 8, value=3),
    ]
    assert check_recipe(recipe, direction="pack") == []
    recipe.append(u("d", 8, value=4, offset_bits=12))
    (finding,) = check_recipe(recipe, direction="pack")
    assert (finding.code, finding.index) == ("overlap", 3)


@pytest.mark.parametrize(
    "item",
    [
        "not a dict",
        u("a", -1),
        u("a", 2**32),
        u("a", "8"),
        u("a", 8, offset_bits=1.5),
        u(3, 8),
        field("a", None, 8),
        u("a", 8, byte_order=b"big"),
    ],
)
def test_bad_type_fails_in_bitloom(item):
    assert "bad-type" in [f.code for f in check_recipe([item])]
    with pytest.raises((TypeError, OverflowError, ValueError)):
        bitloom.unpack_parameters(bytes(8), 0, [item])


def test_missing_key_names_each_key():
    found = check_recipe([{"name": "a"}])
    assert [f.code for f in found] == ["missing-key"] * 4
    for key in ("encoding", "bits", "byte_order", "reverse_bits"):
        assert any(repr(key) in f.message for f in found)


def test_field_defaults_and_overrides():
    assert field("a", "unsigned", 8) == {
        "name": "a",
        "encoding": "unsigned",
        "bits": 8,
        "byte_order": "big",
        "reverse_bits": False,
    }
    item = field("a", "unsigned", 8, byte_order="little", value=3, offset_bits=4)
    assert (item["byte_order"], item["value"], item["offset_bits"]) == ("little", 3, 4)
    assert check_recipe([item], direction="pack") == []


def test_direction_is_checked():
    with pytest.raises(ValueError, match="direction"):
        check_recipe([], direction="both")  # type: ignore[arg-type]


def _example(name):
    return importlib.import_module(f"examples.{name}")


@pytest.mark.parametrize(
    ("module", "names"),
    [
        ("telemetry", ["TELEMETRY"]),
        ("command", ["COMMAND"]),
        ("mixed_apid", ["HEADER", "HOUSEKEEPING", "STATUS"]),
        ("quickstart", ["recipe"]),
    ],
)
def test_example_recipes_are_sound(module, names, capsys):
    mod = _example(module)
    for name in names:
        recipe = getattr(mod, name)
        assert check_recipe(recipe) == [], name
        packable = [dict(item, value=item.get("value", 0)) for item in recipe]
        if all(item["encoding"] not in recipes_module.TEXT_ENCODINGS for item in recipe):
            assert check_recipe(packable, direction="pack") == [], name


def test_wide_integer_claim():
    recipe = [u("w", 72)]
    assert bitloom.unpack_parameters(b"\xff" * 9, 0, recipe)["w"] == 2**64 - 1
    assert [f.code for f in check_recipe(recipe)] == ["wide-integer"]
