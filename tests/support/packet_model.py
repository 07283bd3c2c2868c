"""A bit-by-bit model of a packet, written from the packet layout rules: what
packing puts where, and the raw bits of a field."""


def mirror(v, width):
    return int(format(v & ((1 << width) - 1), f"0{width}b")[::-1], 2) if width else 0


def integer_image(value, bits, reverse):
    n = (bits + 7) // 8
    v = mirror(value & ((1 << min(bits, 64)) - 1), bits) if reverse else value
    return (v & ((1 << (8 * n)) - 1)).to_bytes(n, "big")


def model_pack(fields):
    """fields: (bits, value, little, reverse, offset or None)"""
    largest = 0
    for bits, _, _, _, offset in fields:
        start = largest if offset is None else offset
        largest = max(largest, start + bits)
    total = (largest + 7) // 8 * 8
    packet = [0] * total
    position = 0
    for bits, value, little, reverse, offset in fields:
        if offset is not None:
            position = offset
        image = integer_image(value, bits, reverse)
        if little:
            image = image[::-1]
        number = int.from_bytes(image, "big")
        for j in range(bits):
            if position + j < total:
                packet[position + j] = (number >> (bits - 1 - j)) & 1
        position += bits
    return bytes(int("".join(map(str, packet[i : i + 8])), 2) for i in range(0, total, 8))


def model_raw(packet, start, bits, little, reverse):
    number = int.from_bytes(packet, "big")
    total = 8 * len(packet)
    field = (number >> (total - start - bits)) & ((1 << bits) - 1)
    n = (bits + 7) // 8
    window = field.to_bytes(n, "big")
    if little:
        window = window[::-1]
    value = int.from_bytes(window, "big") & ((1 << bits) - 1)
    if reverse:
        value = mirror(value, bits)
    return value & (2**64 - 1)
