"""Coverage-guided fuzzing (atheris, on libFuzzer) of the dispatching decoder,
Definitions.decode, against the per-packet reference model, which reads each
packet's plain items with bitloom.unpack_parameters and follows the type tree,
sizes, arrays, records and derived values in plain Python.

Each input picks a random definition set (a tree up to four deep with every
kind of where, variable sizes, offsets from the end, arrays, records, permuted
byte orders, derived values) and the packets' sizes and bytes. Both error
modes and both settings of derived must agree with the model: the same
tables, child tables, unmatched counts and faults, and under errors="raise"
the model's first fault, as the exception of the same type naming its packet.

    python fuzz/fuzz_definitions.py -max_total_time=60 -max_len=4096 \
        -artifact_prefix=fuzz/build/crashes/definitions/ \
        fuzz/corpus/definitions fuzz/seeds/definitions

(from the repository's root, with bitloom_bulk and atheris installed; any
libFuzzer option works). A disagreement is an AssertionError, which atheris
reports as a crash with the input that caused it.
"""

from __future__ import annotations

import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

with atheris.instrument_imports():
    import bitloom_bulk  # noqa: F401  (instrumented: the decoder's Python half)

import numpy as np

from tests.support import definitions_model as model
from tests.support.random_definitions import random_definitions

_DEFINITIONS: dict[int, object] = {}


def _definitions(seed: int):
    # Building a set is checked Python work of its own; a few hundred sets
    # are reused so that the fuzzer spends its time on packets.
    if seed not in _DEFINITIONS:
        _DEFINITIONS[seed] = random_definitions(seed)
    return _DEFINITIONS[seed]


def one_input(raw: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(raw)
    defs = _definitions(fdp.ConsumeIntInRange(0, 499))
    count = fdp.ConsumeIntInRange(0, 24)
    lengths = np.array([fdp.ConsumeIntInRange(0, 72) for _ in range(count)], dtype=np.int64)
    body = fdp.ConsumeBytes(int(lengths.sum()))
    data = body + bytes(int(lengths.sum()) - len(body))
    offsets = np.zeros(count, dtype=np.int64)
    if count:
        np.cumsum(lengths[:-1], out=offsets[1:])
    for derived in (True, False):
        want = model.decode(defs, data, derived=derived, offsets=offsets, lengths=lengths)
        got = defs.decode(data, offsets=offsets, lengths=lengths, derived=derived, errors="skip")
        model.assert_same(defs, got, want)
        first_error = want[4]
        try:
            defs.decode(data, offsets=offsets, lengths=lengths, derived=derived)
        except Exception as exc:  # the model says which, and where
            assert first_error is not None, exc
            assert isinstance(exc, first_error[1]), (exc, first_error)
            assert f"in packet {first_error[0]} " in exc.__notes__[1], exc.__notes__
        else:
            assert first_error is None, first_error


def main() -> None:
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
