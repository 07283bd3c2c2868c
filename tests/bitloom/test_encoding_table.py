"""The encoding table seen from both packet paths.

The table's own rules (lower-case unique names, a row for every codec and text
codec, each row's value rule and packer flag fitting its codec) are checked
while the extension compiles. What only running can show is the lookup: every
name is found, by the directions it belongs to, and no string one edit away
from a name is taken for it (the lookup hashes a few characters of the name,
so a near miss lands in a name's slot and must be refused by the comparison).
"""

import pytest

import bitloom
from tests.support.items import PACK_ENCODINGS, UNPACK_ONLY, item

NAMES = PACK_ENCODINGS + UNPACK_ONLY
TEXT_NAMES = {n for n in PACK_ENCODINGS if n.startswith(("utf", "us_", "iso", "latin", "win"))}
PACKET = bytes(32)


def refused(name):
    """What both paths raise for a name without a row."""
    return ValueError, f"ValueError: Unsupported encoding type: {name}"


def error_of(call):
    try:
        call()
    except Exception as exc:  # any failure is compared by the caller
        return type(exc), str(exc)
    return None


def unpack_error(name):
    return error_of(lambda: bitloom.unpack_parameters(PACKET, 0, [item(encoding=name, bits=32)]))


def pack_error(name, value=1):
    return error_of(lambda: bitloom.pack_parameters([item(encoding=name, bits=32, value=value)]))


def near_misses(name):
    """Strings one deletion, insertion or substitution away from `name`."""
    out = {"", name + name, name.upper()}
    for i in range(len(name) + 1):
        for c in "_a0z9":
            out.add(name[:i] + c + name[i:])
    for i in range(len(name)):
        out.add(name[:i] + name[i + 1 :])
        for c in "_a0z9e":
            out.add(name[:i] + c + name[i + 1 :])
    # Upper case is lowered before the lookup: it names the same row.
    return sorted(m for m in out if m.lower() not in NAMES)


@pytest.mark.parametrize("name", NAMES)
def test_unpack_finds_every_name(name):
    assert unpack_error(name) != refused(name)


@pytest.mark.parametrize("name", PACK_ENCODINGS)
def test_pack_finds_every_packable_name(name):
    value = "x" if name in TEXT_NAMES else 1
    assert pack_error(name, value) is None


@pytest.mark.parametrize("name", UNPACK_ONLY)
def test_pack_refuses_the_unpack_only_names(name):
    assert pack_error(name, 1.0) == refused(name)


@pytest.mark.parametrize("name", NAMES)
def test_near_misses_are_refused(name):
    misses = near_misses(name)
    assert len(misses) > 4 * len(name)
    for miss in misses:
        assert unpack_error(miss) == refused(miss), miss
        assert pack_error(miss) == refused(miss), miss
