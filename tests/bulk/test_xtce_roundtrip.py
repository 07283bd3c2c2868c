"""load_xtce on XTCE documents written from random definitions (tests/support/
xtce_writer.py): each must decode random packets exactly as the definitions
it was written from, value for value, with the same faults and unmatched
packets, raw and derived."""

from __future__ import annotations

import numpy as np
import pytest

from bitloom_bulk import load_xtce
from tests.support.xtce_writer import random_definitions, random_packets, to_xtce


def assert_same_decoded(got, want):
    assert sorted(got) == sorted(want)
    for name, table in want.items():
        assert list(got[name]) == list(table), name
        for column, values in table.items():
            other = got[name][column]
            assert other.dtype == values.dtype, (name, column, other.dtype, values.dtype)
            assert other.shape == values.shape, (name, column, other.shape, values.shape)
            if values.dtype.kind == "f":
                assert np.array_equal(other, values, equal_nan=True), (name, column)
            else:
                assert other.tolist() == values.tolist(), (name, column)
    assert got.unmatched == want.unmatched
    assert [f[:4] for f in got.faults] == [f[:4] for f in want.faults]


@pytest.mark.parametrize("seed", range(200))
def test_written_document_decodes_as_its_definitions(seed):
    definitions = random_definitions(seed)
    loaded = load_xtce(to_xtce(definitions, seed))
    assert loaded.refusals == []
    data, offsets, lengths = random_packets(seed, 60)
    for derived in (True, False):
        want = definitions.decode(
            data, offsets=offsets, lengths=lengths, derived=derived, errors="skip"
        )
        got = loaded.decode(data, offsets=offsets, lengths=lengths, derived=derived, errors="skip")
        assert_same_decoded(got, want)
