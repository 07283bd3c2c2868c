"""Recipe mistakes that a type checker must report in annotated items.

Every line that ends in "# error" must draw an error (from mypy --strict and
from pyright), and no other line may. Each case stands on one line so that both
checkers report it there; this file is left out of formatting for that reason.
"""

import bitloom
from bitloom_bulk import IntegerPackItem, PackItem, UnpackItem

good: UnpackItem = {"name": "a", "encoding": "utf8", "bits": 8, "byte_order": "big", "reverse_bits": False}

# A misspelt encoding.
e1: UnpackItem = {"name": "a", "encoding": "utf-8", "bits": 8, "byte_order": "big", "reverse_bits": False}  # error
# A misspelt key.
e2: UnpackItem = {"name": "a", "encodng": "utf8", "bits": 8, "byte_order": "big", "reverse_bits": False}  # error
# An unknown byte order.
e3: UnpackItem = {"name": "a", "encoding": "utf8", "bits": 8, "byte_order": "network", "reverse_bits": False}  # error
# `bits` as a str.
e4: UnpackItem = {"name": "a", "encoding": "utf8", "bits": "8", "byte_order": "big", "reverse_bits": False}  # error
# A str value for an integer field, as the one family and in a recipe of PackItems.
e5: IntegerPackItem = {"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False, "value": "1"}  # error
e6: list[PackItem] = [{"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False, "value": "1"}]  # error
# A missing key.
e7: UnpackItem = {"name": "a", "encoding": "utf8", "bits": 8, "byte_order": "big"}  # error
# A float value for a text field.
e8: PackItem = {"name": "a", "encoding": "utf8", "bits": 8, "byte_order": "big", "reverse_bits": False, "value": 1.5}  # error

# The stubs take the typed items and plain dicts alike, but not other things.
bitloom.unpack_parameters(b"\0", 0, [good])
bitloom.unpack_parameters(b"\0", 0, good)  # error
bitloom.pack_parameters([good, "a"])  # error
