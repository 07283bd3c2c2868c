"""Misuses of bitloom that a type checker must report.

Every line that ends in "# error" must draw an error, and no other line may.
"""

from typing import Any

import bitloom

bitloom.encode_utf8(b"bytes are not text")  # error
bitloom.decode_utf8("text is not bytes")  # error
bitloom.decode_utf8(bytearray(b"x"))  # error
bitloom.encode_twos_complement(1.5, 8)  # error
bitloom.decode_twos_complement("1", 8)  # error
bitloom.encode_packed_bcd(12, 8, signed="yes")  # error
bitloom.encode_ieee754_f32("1.0")  # error
bitloom.pack_parameters("not a recipe")  # error
bitloom.pack_parameters({"name": "a"})  # error
bitloom.pack_parameters([["name", "a"]])  # error
bitloom.unpack_parameters(b"", 0)  # error
bitloom.encode_utf8(txt="misspelt keyword")  # error
bitloom.encode_utf8("a", "b")  # error

count: int = bitloom.encode_utf8("a")  # error
text: str = bitloom.decode_ieee754_f16(0)  # error
fields: dict[str, Any] = bitloom.unpack_parameters(b"", 0, [])
packet: bytes = bitloom.pack_parameters(())


# Calls that never return end the checked code, so this one stands alone.
def wrong_keyword() -> None:
    bitloom.decode_ti_f32(value=1)  # error
