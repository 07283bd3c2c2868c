"""The bitloom module's standalone functions called by name."""

import pytest

import bitloom


def call(name, arg):
    return getattr(bitloom, name)(arg)


def raises_value(name, arg, message):
    """bitloom.<name>(arg) raises exactly ValueError(message)."""
    with pytest.raises(ValueError) as info:
        call(name, arg)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
