"""Helpers shared by the tests: recipe items and calls by function name."""

import pytest

import bitloom


def item(
    name="f",
    encoding="unsigned",
    bits=8,
    value=None,
    byte_order="big",
    reverse_bits=False,
    offset_bits=None,
    **extra,
):
    d = {
        "name": name,
        "encoding": encoding,
        "bits": bits,
        "byte_order": byte_order,
        "reverse_bits": reverse_bits,
    }
    if value is not None:
        d["value"] = value
    if offset_bits is not None:
        d["offset_bits"] = offset_bits
    d.update(extra)
    return d


def without(d, *keys):
    return {k: v for k, v in d.items() if k not in keys}


def call(name, arg):
    return getattr(bitloom, name)(arg)


def raises_value(name, arg, message):
    with pytest.raises(ValueError) as info:
        call(name, arg)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
