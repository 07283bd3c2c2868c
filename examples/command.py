"""A command packet with a BCD time code and a Windows-1252 text field.

The time code is packed BCD (YYYY DDD HH MM SS as digits), the operator's note a
fixed 24-byte Windows-1252 field (the text right-aligned, padded with leading
zero bytes), and a signed zoned-decimal set point as on mainframe records.
"""

import bitloom
from bitloom_bulk import field

COMMAND = [
    field("opcode", "unsigned", 8),
    field("time_code", "packed_bcd", 56),  # 14 digits: YYYYDDDHHMMSS plus one spare
    field("set_point", "unpacked_bcd_signed", 32),  # 4 zoned digits, sign in the last byte
    field("note", "windows_1252", 24 * 8),
    field("checksum", "unsigned", 8),
]


def build(opcode, year, day, hour, minute, second, set_point, note):
    time_code = int(f"{year:04d}{day:03d}{hour:02d}{minute:02d}{second:02d}0")
    values = {
        "opcode": opcode,
        "time_code": time_code,
        "set_point": set_point,
        "note": note,
        "checksum": 0,
    }
    for item in COMMAND:
        item["value"] = values[item["name"]]
    body = bitloom.pack_parameters(COMMAND)
    COMMAND[-1]["value"] = sum(body[:-1]) % 256
    return bitloom.pack_parameters(COMMAND)


def main():
    packet = build(0x21, 2026, 341, 21, 7, 30, -125, "Heizung Stufe 2 – 5 €")
    print(f"command ({len(packet)} bytes):", packet.hex(" "))
    decoded = bitloom.unpack_parameters(packet, 0, COMMAND)
    digits = f"{decoded['time_code']:014d}"
    print("time code:", digits[:4], digits[4:7], digits[7:9], digits[9:11], digits[11:13])
    print("set point:", decoded["set_point"])
    print("note:", repr(decoded["note"].lstrip("\x00")))
    assert decoded["set_point"] == -125
    assert decoded["note"].lstrip("\x00") == "Heizung Stufe 2 – 5 €"
    assert decoded["checksum"] == sum(packet[:-1]) % 256

    # Characters outside Windows-1252 and out-of-range digits are refused precisely.
    for bad in ({"note": "温度"}, {"set_point": 12345}):
        try:
            build(0x21, 2026, 341, 21, 7, 30, bad.get("set_point", 1), bad.get("note", "ok"))
        except ValueError as exc:
            print("refused:", exc)


if __name__ == "__main__":
    main()
