"""Numbers as the tests need them: an int-like object that is not an int, and
the bits of binary32 and binary64 values."""

import struct


class Index:
    """An int-like object that is not an int: converts through __index__ (and
    __float__, to the same number, for the float encodings)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __float__(self):
        return float(self.value)


def f32_bits(x):
    """The binary32 image of x (rounded to single) as an unsigned int."""
    return struct.unpack("<I", struct.pack("<f", x))[0]


def f64_bits(x):
    """The binary64 image of x as an unsigned int."""
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def f64_from_bits(b):
    """The double whose binary64 image is the unsigned int b."""
    return struct.unpack("<d", struct.pack("<Q", b))[0]
