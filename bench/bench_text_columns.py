"""Text columns: text="bytes" and text="arrow" against text="object", and a housekeeping layout
(11 numeric fields and one 8-byte text, the shape of ccsdspy's housekeeping
sets) against ccsdspy's FixedLength.load on the same bytes.

Run: python -m bench.bench_text_columns [--packets N]   (from the repository's root)

(a) the text field alone, a million packets: unpack_columns with
    text="object" (a str per value) against text="bytes" (one S8 column) and
    text="arrow" (one ArrowColumn: UTF-8 values, checked as "object" is).
(c) non-ASCII 8-byte texts alone (ISO-8859-1, UTF-16BE, UTF-8), which
    text="arrow" decodes through the text="object" decoders: object / arrow.
(b) the whole layout, CCSDS packets in a file: unpack_ccsds with
    text="bytes", text="arrow" and text="object" against FixedLength.load
    (whose str field is a numpy bytes column too).
Results are checked equal before timing. Every bitloom call runs on one
thread (threads=1), as ccsdspy and the str-making of text="object" do.
"""

from __future__ import annotations

import argparse
import functools
import os
import sys
import tempfile
from pathlib import Path

import ccsdspy
import numpy as np

import bitloom_bulk
from bench.bench_bulk import best
from tests.support.streams import fixed_stream

NUMERIC = [("u8a", 8), ("u8b", 8), ("u16a", 16), ("u16b", 16), ("u16c", 16), ("u32a", 32)]
NUMERIC += [("u32b", 32), ("u16d", 16), ("u16e", 16), ("u8c", 8), ("u8d", 8)]


def _item(name, encoding, bits, offset):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big",
            "reverse_bits": False, "offset_bits": offset}  # fmt: skip


# One thread for every call: the ratios compare decoders, not core counts.
unpack_columns = functools.partial(bitloom_bulk.unpack_columns, threads=1)
unpack_ccsds = functools.partial(bitloom_bulk.unpack_ccsds, threads=1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--packets", type=int, default=1_000_000)
    args = parser.parse_args()
    n = args.packets
    print(f"CPython {sys.version.split()[0]}, load {os.getloadavg()[0]:.2f}, {n} packets")
    body = sum(bits for _, bits in NUMERIC) // 8 + 8
    data = bytearray(fixed_stream(n, 100, 6 + body, seed=3))
    view = np.frombuffer(data, np.uint8).reshape(n, 6 + body)
    view[:, -8:] = np.frombuffer(b"HK-READY", np.uint8)  # printable text
    view[::7, -3:] = 0  # NUL padding in some
    data = bytes(data)

    recipe, at = [], 48
    for name, bits in NUMERIC:
        recipe.append(_item(name, "unsigned", bits, at))
        at += bits
    text_item = _item("label", "iso_8859_1", 64, at)
    recipe.append(text_item)

    as_objects = unpack_columns(data, [text_item], packet_bytes=6 + body)["label"]
    as_bytes = unpack_columns(data, [text_item], packet_bytes=6 + body, text="bytes")["label"]
    assert [s.encode("latin-1").rstrip(b"\0") for s in as_objects[:1000]] == as_bytes[
        :1000
    ].tolist()
    t_obj = best(lambda: unpack_columns(data, [text_item], packet_bytes=6 + body), 3)
    t_bytes = best(
        lambda: unpack_columns(data, [text_item], packet_bytes=6 + body, text="bytes"),
        5,
    )
    as_arrow = unpack_columns(data, [text_item], packet_bytes=6 + body, text="arrow")["label"]
    assert as_arrow.to_pylist() == as_objects.tolist()
    t_arrow = best(
        lambda: unpack_columns(data, [text_item], packet_bytes=6 + body, text="arrow"),
        5,
    )
    print(
        f'(a) one 8-byte text field: text="object" {t_obj * 1e3:.1f} ms, text="bytes"'
        f' {t_bytes * 1e3:.1f} ms: {t_obj / t_bytes:.1f}x, text="arrow"'
        f" {t_arrow * 1e3:.1f} ms: {t_obj / t_arrow:.1f}x"
    )

    ratios = []
    for encoding, raw in (
        ("iso_8859_1", "Grüße-ok".encode("latin-1")),
        ("utf16be", "HK-R".encode("utf-16-be")),
        ("utf8", "Grüße!".encode()),
    ):
        item = _item("t", encoding, 64, 0)
        texts = raw * n
        objects = unpack_columns(texts, [item], packet_bytes=8)["t"]
        arrows = unpack_columns(texts, [item], packet_bytes=8, text="arrow")["t"]
        assert arrows.to_pylist() == objects.tolist()
        t_o = best(lambda i=item, t=texts: unpack_columns(t, [i], packet_bytes=8), 3)
        t_a = best(
            lambda i=item, t=texts: unpack_columns(t, [i], packet_bytes=8, text="arrow"),
            5,
        )
        ratios.append(f"{encoding} {t_o * 1e3:.1f} / {t_a * 1e3:.1f} ms: {t_o / t_a:.1f}x")
    print("(c) non-ASCII text, object / arrow: " + ", ".join(ratios))

    fields = [
        ccsdspy.PacketField(name=name, data_type="uint", bit_length=bits) for name, bits in NUMERIC
    ]
    fields.append(ccsdspy.PacketField(name="label", data_type="str", bit_length=64))
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "hk.bin"
        path.write_bytes(data)
        packet = ccsdspy.FixedLength(fields)
        theirs = packet.load(str(path))
        ours = unpack_ccsds(data, {100: recipe}, text="bytes")[100]
        assert all(np.array_equal(ours[k], theirs[k]) for k in theirs), "ccsdspy differs"
        t_theirs = best(lambda: packet.load(str(path)), 3)
        t_ours = best(lambda: unpack_ccsds(data, {100: recipe}, text="bytes"), 5)
        arrows = unpack_ccsds(data, {100: recipe}, text="arrow")[100]
        assert arrows["label"].to_pylist() == [v.decode("latin-1") for v in theirs["label"]] or all(
            a.rstrip("\0") == b.decode("latin-1")
            for a, b in zip(arrows["label"].to_pylist(), theirs["label"], strict=True)
        ), "ccsdspy's labels differ"
        t_ours_obj = best(lambda: unpack_ccsds(data, {100: recipe}), 3)
        t_ours_arrow = best(lambda: unpack_ccsds(data, {100: recipe}, text="arrow"), 5)
    print(
        f'(b) housekeeping layout, {len(data) / 1e6:.0f} MB: text="bytes" {t_ours * 1e3:.1f} ms,'
        f' text="arrow" {t_ours_arrow * 1e3:.1f} ms,'
        f' text="object" {t_ours_obj * 1e3:.1f} ms, ccsdspy FixedLength.load'
        f" {t_theirs * 1e3:.1f} ms: {t_theirs / t_ours:.1f}x (arrow:"
        f" {t_theirs / t_ours_arrow:.1f}x, object: {t_theirs / t_ours_obj:.1f}x)"
    )
    print(f"load after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
