"""bitloom in one minute: pack named parameters into bits and read them back."""

import bitloom

# A recipe: one dict per field, in packet order.
recipe = [
    {
        "name": "version",
        "encoding": "unsigned",
        "bits": 3,
        "byte_order": "big",
        "reverse_bits": False,
        "value": 1,
    },
    {
        "name": "flag",
        "encoding": "unsigned",
        "bits": 1,
        "byte_order": "big",
        "reverse_bits": False,
        "value": 1,
    },
    {
        "name": "apid",
        "encoding": "unsigned",
        "bits": 12,
        "byte_order": "big",
        "reverse_bits": False,
        "value": 0x2AB,
    },
    {
        "name": "temperature",
        "encoding": "twos_complement",
        "bits": 16,
        "byte_order": "big",
        "reverse_bits": False,
        "value": -273,
    },
    {
        "name": "voltage",
        "encoding": "ieee754_f32",
        "bits": 32,
        "byte_order": "little",
        "reverse_bits": False,
        "value": 3.25,
    },
    {
        "name": "label",
        "encoding": "utf8",
        "bits": 32,
        "byte_order": "big",
        "reverse_bits": False,
        "value": "OK!",
    },
]

packet = bitloom.pack_parameters(recipe)
print("packet:", packet.hex(" "))

# The same recipe reads the packet back (the "value" keys are ignored).
values = bitloom.unpack_parameters(packet, 0, recipe)
print("values:", values)
assert values == {
    "version": 1,
    "flag": 1,
    "apid": 0x2AB,
    "temperature": -273,
    "voltage": 3.25,
    "label": "\x00OK!",
}

# Every encoding also has standalone functions.
print("two's complement of -1 in 8 bits:", bitloom.encode_twos_complement(-1, 8))
print("packed BCD of 1234:", hex(bitloom.encode_packed_bcd(1234, 16)))
print("binary16 of 1.0:", hex(bitloom.encode_ieee754_f16(1.0)))
print("UTF-16 with a byte-order mark:", bitloom.encode_utf16("hi").hex(" "))

# Bad input is a clean exception with a precise message.
try:
    bitloom.pack_parameters([{**recipe[0], "value": 8}])
except ValueError as exc:
    print("error:", exc)
