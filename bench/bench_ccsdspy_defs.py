"""ccsdspy's definitions loaded by load_ccsdspy against ccsdspy itself, on the same bytes.

Run: python -m bench.bench_ccsdspy_defs [--copies N]   (from the repository's root)

(a) The JPSS geolocation CSV (27 fields, FixedLength) on the JPSS file tiled
    --copies times: Definitions.decode against FixedLength.load; and the same
    definitions with float64 columns for the 32-bit floats (the items without
    their "dtype": "float32"), as they decoded before float32 columns.
(b) Europa Clipper's expanding-footer file (an expanding uint8 array between
    fixed fields, VariableLength) tiled to the same number of copies:
    Definitions.decode against VariableLength.load, which walks every packet in
    Python (timed on a slice of the copies and scaled per packet).
Both results are checked equal before timing. Needs the shared real data.
"""

from __future__ import annotations

import argparse
import os
import resource
import sys
import tempfile
from pathlib import Path

import ccsdspy
import numpy as np

import bitloom_bulk
from bench.bench_bulk import best
from tests.support.realdata import REALDATA


def faults(fn):
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    fn()
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--copies", type=int, default=100)
    args = parser.parse_args()
    print(f"CPython {sys.version.split()[0]}, load {os.getloadavg()[0]:.2f}")
    with tempfile.TemporaryDirectory() as tmp:
        csv = REALDATA / "spp" / "jpss" / "ccsdspy_jpss1_geolocation.csv"
        raw = (REALDATA / "spp" / "jpss" / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1").read_bytes()
        data = raw * args.copies
        path = Path(tmp) / "jpss.bin"
        path.write_bytes(data)
        defs = bitloom_bulk.load_ccsdspy(csv)
        packet = ccsdspy.FixedLength.from_file(str(csv))
        wide = bitloom_bulk.Definitions(
            [
                bitloom_bulk.PacketType(t.name, [{k: v for k, v in i.items() if k != "dtype"}
                                                 for i in t.items])
                for t in defs
            ]
        )  # fmt: skip
        ours = defs.decode(data)[csv.stem]
        theirs = packet.load(str(path), include_primary_header=True)
        assert all(np.array_equal(ours[k], theirs[k]) for k in theirs)
        assert all(ours[k].dtype == theirs[k].dtype.newbyteorder("=") for k in theirs)
        t_theirs = best(lambda: packet.load(str(path), include_primary_header=True), 3)
        # Interleaved, so that both forms meet the same load.
        t_ours = t_wide = float("inf")
        for _ in range(3):
            t_ours = min(t_ours, best(lambda: defs.decode(data), 3))
            t_wide = min(t_wide, best(lambda: wide.decode(data), 3))
        print(
            f"(a) JPSS CSV, {len(data) / 1e6:.0f} MB: ours {t_ours * 1e3:.1f} ms,"
            f" FixedLength.load {t_theirs * 1e3:.1f} ms: {t_theirs / t_ours:.1f}x"
        )
        print(
            f"    with float64 columns for the floats: {t_wide * 1e3:.1f} ms:"
            f" {t_theirs / t_wide:.1f}x"
        )
        # The output's size and the page faults of one decode (fresh columns'
        # pages, mostly), which unlike times the machine's load does not move.
        # (numpy asks for huge pages for arrays of 4 MB and more: a float64
        # column of many packets gets them where its float32 form does not.)
        mb = [sum(c.nbytes for c in d.decode(data)[csv.stem].values()) / 1e6 for d in (defs, wide)]
        print(
            f"    one decode: {mb[0]:.1f} MB of columns, {faults(lambda: defs.decode(data))}"
            f" page faults; with float64 columns {mb[1]:.1f} MB,"
            f" {faults(lambda: wide.decode(data))} page faults"
        )

        sys.path.insert(0, str(REALDATA / "ccsdspy"))
        import definitions

        cls, fields = definitions.europa_expanding_footer()
        raw = (REALDATA / "ccsdspy" / "europa_clipper" / "expanding_footer_packet.bin").read_bytes()
        data = raw * args.copies
        part = raw * max(1, args.copies // 20)
        path = Path(tmp) / "europa.bin"
        path.write_bytes(part)
        defs = bitloom_bulk.load_ccsdspy(fields, name="t")
        t_ours = best(lambda: defs.decode(data), 5)
        t_part = best(lambda: cls(fields).load(str(path), include_primary_header=True), 1)
        t_theirs = t_part * len(data) / len(part)
        print(
            f"(b) Europa expanding footer, {len(data) / 1e6:.1f} MB: ours {t_ours * 1e3:.1f} ms,"
            f" VariableLength.load {t_theirs * 1e3:.0f} ms (scaled from {len(part) / 1e6:.2f} MB):"
            f" {t_theirs / t_ours:.0f}x"
        )
    print(f"load after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
