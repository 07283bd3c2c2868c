"""Decode a mixed-APID CCSDS stream into numpy columns, one table per APID.

Builds a small capture of three packet types (housekeeping, a status report of
variable length, and an event APID we do not decode) with pack_parameters,
writes it to a file, and decodes the whole file with bitloom_bulk.unpack_ccsds.
Every value is checked against unpack_parameters on the packet it came from.
"""

import random
import tempfile
from pathlib import Path

import bitloom
import bitloom_bulk
from bitloom_bulk import field

HEADER = [
    field("version", "unsigned", 3),
    field("type", "unsigned", 1),
    field("sec_hdr_flag", "unsigned", 1),
    field("apid", "unsigned", 11),
    field("seq_flags", "unsigned", 2),
    field("seq_count", "unsigned", 14),
    field("data_length", "unsigned", 16),
]
HOUSEKEEPING = [
    *HEADER,
    field("seconds", "unsigned", 32),
    field("temperature", "twos_complement", 16),
    field("voltage", "ieee754_f32", 32),
    field("mode", "unsigned", 4),
    field("heater_on", "unsigned", 1),
    field("spare", "unsigned", 3),
]
# Status reports carry a label; their lengths vary, the fields read are fixed.
STATUS = [*HEADER, field("seconds", "unsigned", 32), field("label", "us_ascii", 64)]

APID_HK, APID_STATUS, APID_EVENT = 0x064, 0x0C8, 0x3E8


def packet(apid, seq, body_recipe, values):
    items = [dict(f, value=values.get(f["name"], 0)) for f in body_recipe[len(HEADER) :]]
    body = bitloom.pack_parameters(items)
    header = [
        dict(f, value=v)
        for f, v in zip(HEADER, [0, 0, 1, apid, 3, seq, len(body) - 1], strict=True)
    ]
    return bitloom.pack_parameters(header) + body


def capture(n):
    rng = random.Random(2024)
    seq = {APID_HK: 0, APID_STATUS: 0, APID_EVENT: 0}
    out = []
    for i in range(n):
        apid = rng.choice(list(seq))
        s = seq[apid] = (seq[apid] + 1) % 16384
        if apid == APID_HK:
            values = {
                "seconds": 1_700_000_000 + i,
                "temperature": rng.randint(-400, 400),
                "voltage": rng.choice([3.25, 3.3, 5.0]),
                "mode": rng.randrange(16),
                "heater_on": rng.randrange(2),
            }
            out.append(packet(apid, s, HOUSEKEEPING, values))
        elif apid == APID_STATUS:
            label = rng.choice(["NOMINAL ", "SAFE    ", "STANDBY "])
            pkt = packet(apid, s, STATUS, {"seconds": 1_700_000_000 + i, "label": label})
            # Variable length: some reports carry extra bytes after the label.
            extra = bytes(rng.randrange(0, 9))
            length = len(pkt) + len(extra) - 7
            out.append(pkt[:4] + length.to_bytes(2, "big") + pkt[6:] + extra)
        else:
            out.append(packet(apid, s, [*HEADER, field("code", "unsigned", 16)], {"code": i}))
    return b"".join(out)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "capture.bin"
        path.write_bytes(capture(3000))
        data = path.read_bytes()

    tables = bitloom_bulk.unpack_ccsds(data, {APID_HK: HOUSEKEEPING, APID_STATUS: STATUS})
    hk, status = tables[APID_HK], tables[APID_STATUS]
    print(
        f"{len(data)} bytes: {len(hk['seconds'])} housekeeping packets, "
        f"{len(status['seconds'])} status reports, skipped {tables.skipped}"
    )
    print(
        f"temperature: min {hk['temperature'].min()}, max {hk['temperature'].max()} "
        f"({hk['temperature'].dtype}); modes seen: {sorted(set(hk['mode'].tolist()))}"
    )
    print(f"labels: {sorted(set(status['label']))}")

    # The same values, packet by packet, from the framer and unpack_parameters.
    frames = bitloom_bulk.split_ccsds(data)
    counters = {APID_HK: 0, APID_STATUS: 0}
    for start, length, apid in zip(frames.offsets, frames.lengths, frames.apids, strict=True):
        apid = int(apid)
        if apid not in counters:
            continue
        recipe = HOUSEKEEPING if apid == APID_HK else STATUS
        want = bitloom.unpack_parameters(data[start : start + length], 0, recipe)
        i = counters[apid]
        counters[apid] += 1
        for name, value in want.items():
            got = tables[apid][name][i]
            assert (got.item() if hasattr(got, "item") else got) == value, (apid, i, name)
    assert tables.skipped == {APID_EVENT: int((frames.apids == APID_EVENT).sum())}
    print("every value matches unpack_parameters")


if __name__ == "__main__":
    main()
