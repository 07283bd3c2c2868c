"""A slow, plain reference decoder for packet definitions: packet by packet,
item by item, each number read by ``bitloom.unpack_parameters``, the rest in
plain Python. The differential tests hold ``Definitions.decode`` to it.

It reads the definitions through ``Definitions.nodes()`` (the items as the
package reads them) and shares nothing else with the decoder.
"""

from __future__ import annotations

import itertools
import operator

import numpy as np

import bitloom
import bitloom_bulk as bb
from bitloom_bulk._definitions import AllOf, Compare, FromField, Rest, Terminated, When

OPS = {
    "==": operator.eq,
    "!=": operator.ne,
    "<": operator.lt,
    "<=": operator.le,
    ">": operator.gt,
    ">=": operator.ge,
}


class Fault(Exception):
    """A packet's first fault: the exception and where it happened."""

    def __init__(self, node, item, exc):
        super().__init__(str(exc))
        self.node, self.item, self.exc = node, item, exc


def frames(data, packet_bytes=None, offsets=None, lengths=None, offset=0):
    """(offset, length, apid or None) of every packet."""
    if offsets is not None:
        return [(int(o), int(n), None) for o, n in zip(offsets, lengths, strict=True)]
    if packet_bytes is not None:
        count = (len(data) - offset) // packet_bytes
        return [(offset + i * packet_bytes, packet_bytes, None) for i in range(count)]
    out, at = [], offset
    while at < len(data):
        size = int.from_bytes(data[at + 4 : at + 6], "big") + 7
        apid = int.from_bytes(data[at : at + 2], "big") & 0x7FF
        out.append((at, size, apid))
        at += size
    return out


def _holds(cond, values):
    if cond is None:
        return True
    if isinstance(cond, Compare):
        try:
            return bool(OPS[cond.op](values[cond.field], cond.value))
        except TypeError:
            return cond.op == "!="
    results = [_holds(t, values) for t in cond.terms]
    return all(results) if isinstance(cond, AllOf) else any(results)


def _one(packet, start, item, bits=None):
    plain = item.plain_item()
    if bits is not None:
        plain["bits"] = bits
    return bitloom.unpack_parameters(packet, start, [plain])[plain["name"]]


def _size_of(value, raw, packet_bits, start):
    if isinstance(value, int):
        return value
    if isinstance(value, Rest):
        return packet_bits - start - value.less
    if isinstance(value, When):
        return 1 if _holds(value.cond, raw) else 0
    assert isinstance(value, FromField)
    return value.scale * int(raw[value.name]) + value.offset


def _window(packet, start, nbytes):
    value = int.from_bytes(packet, "big")
    total = 8 * len(packet)
    return ((value >> (total - start - 8 * nbytes)) & ((1 << (8 * nbytes)) - 1)).to_bytes(
        nbytes, "big"
    )


def _derived(item, value, warn):
    derivation = item.derived
    if "boolean" in derivation:
        return int(value) != 0
    if "polynomial" in derivation:
        x = float(value)
        out = derivation["polynomial"][-1]
        for c in reversed(derivation["polynomial"][:-1]):
            out = out * x + c
        return out
    if "enumeration" in derivation:
        label = derivation["enumeration"].get(int(value))
        if label is None:
            warn(f"raw value {int(value)} has no label")
        return label
    if "spline" in derivation:
        x = float(value)
        points = derivation["spline"]
        if not points[0][0] <= x <= points[-1][0]:
            raise ValueError(f"raw value {x!r} outside the spline")
        for (x0, y0), (x1, y1) in itertools.pairwise(points):
            if x <= x1:
                return y0 + (x - x0) * (y1 - y0) / (x1 - x0)
    return value


def _time(time_code, stored):
    epoch = time_code["epoch_ns"]
    if time_code["code"] == "cuc":
        cb, fb = time_code.get("coarse_bytes", 4), time_code.get("fine_bytes", 0)
        coarse = int.from_bytes(stored[:cb], "big")
        fine = int.from_bytes(stored[cb : cb + fb], "big")
        ns = coarse * 10**9 + (fine * 10**9 >> (8 * fb)) + epoch
    else:
        db, sub = time_code.get("day_bits", 16) // 8, time_code.get("sub_ms", 0)
        day = int.from_bytes(stored[:db], "big")
        ms = int.from_bytes(stored[db : db + 4], "big")
        extra = int.from_bytes(stored[db + 4 : db + 4 + sub // 8], "big")
        if ms > 86_400_999 or (sub == 16 and extra > 999) or (sub == 32 and extra > 999_999_999):
            raise ValueError("sub-day count out of range")
        ns = day * 86_400 * 10**9 + ms * 10**6 + (extra * 1000 if sub == 16 else extra // 1000)
        ns += epoch
    if not -(2**63) < ns < 2**63:
        raise ValueError("outside datetime64[ns]")
    return np.datetime64(ns, "ns")


def _decode_node(node, packet, state, derived, warnings):
    """Decode ``node``'s own items of one packet into ``state`` (raw values,
    table values, child rows, position); raises Fault at the first fault."""
    bits = 8 * len(packet)
    for item in node.items:

        def warn(message, item=item):
            warnings.append((node.name, item.name, message))

        try:
            if item.offset is None:
                start = state["position"]
            elif item.offset >= 0:
                start = item.offset
            else:
                start = bits + item.offset
                if start < 0:
                    raise ValueError("negative start")
            if item.kind in ("plain", "perm"):
                if item.kind == "plain":
                    raw = _one(packet, start, item)
                else:
                    n = len(item.permutation)
                    if start + 8 * n > bits:
                        raise ValueError("beyond the packet")
                    window = _window(packet, start, n)
                    image = bytes(window[i] for i in item.permutation)
                    raw = _one(image, 0, item)
                state["raw"][item.name] = raw
                state["values"][item.name] = _derived(item, raw, warn) if derived else raw
                state["position"] = start + item.bits
            elif item.kind == "text" and isinstance(item.bits, Terminated):
                # To the first terminator byte from a byte boundary; the text is
                # the bytes before it.
                if start % 8:
                    raise ValueError("a terminated text off a byte boundary")
                end = bytes(packet).find(bytes([item.bits.byte]), start // 8)
                if end < 0:
                    raise ValueError("no terminator")
                raw = value = _one(packet, start, item, bits=8 * end - start)
                state["raw"][item.name] = raw
                state["values"][item.name] = value
                state["position"] = 8 * end + 8
            elif item.kind in ("binary", "text"):
                size = _size_of(item.bits, state["raw"], bits, start)
                if size < 0 or start + size > bits:
                    raise ValueError("size out of the packet")
                if item.kind == "binary":
                    if size % 8:
                        raise ValueError("not whole bytes")
                    raw = _window(packet, start, size // 8)
                    value = raw
                    if derived and "time" in item.derived:
                        value = _time(item.derived["time"], raw)
                else:
                    raw = value = _one(packet, start, item, bits=size)
                state["raw"][item.name] = raw
                state["values"][item.name] = value
                state["position"] = start + size
            elif item.kind == "array":
                count = _size_of(item.count, state["raw"], bits, start)
                if count < 0 or start + count * item.bits > bits:
                    raise ValueError("count out of the packet")
                elements = []
                for k in range(count):
                    at = start + k * item.bits
                    if item.permutation is not None:
                        n = len(item.permutation)
                        window = _window(packet, at, n)
                        raw = _one(bytes(window[i] for i in item.permutation), 0, item)
                    else:
                        raw = _one(packet, at, item)
                    elements.append(_derived(item, raw, warn) if derived else raw)
                if isinstance(item.count, int):
                    state["values"][item.name] = elements
                else:
                    state["children"].append((item.name, [{item.name: e} for e in elements]))
                state["position"] = start + count * item.bits
            else:  # records
                size = _size_of(item.bits, state["raw"], bits, start)
                if size < 0 or start + size > bits:
                    raise ValueError("size out of the packet")
                record = item.record_bits
                if item.count is None:
                    count = size // record
                    if size % record:
                        warn("left-over bits")
                else:
                    count = _size_of(item.count, state["raw"], bits, start)
                    if count < 0 or count * record > size:
                        raise ValueError("records beyond the region")
                rows = [
                    bitloom.unpack_parameters(packet, start + k * record, item.records)
                    for k in range(count)
                ]
                state["children"].append((item.name, rows))
                state["position"] = start + size
        except Fault:
            raise
        except ValueError as exc:
            raise Fault(node, item.name, exc) from None


def decode_packet(definitions, packet, derived=True):
    """(type name or None, values, children, warnings) of one packet; raises
    Fault at its first fault."""
    state = {"raw": {}, "values": {}, "children": [], "position": 0}
    warnings = []
    choices, node = definitions.roots(), None
    while True:
        chosen = next((c for c in choices if _holds(c.where, state["raw"])), None)
        if chosen is None:
            break
        node = chosen
        _decode_node(node, packet, state, derived, warnings)
        choices = node.children
    if node is None or node.abstract:
        return None, state, warnings
    return node.name, state, warnings


def decode(definitions, data, *, derived=True, **framing):
    """What the model decodes: {type: [values...]}, {child: [(row, values)]},
    unmatched {apid: count}, faults [(packet, type, item, severity)], and the
    first error (packet, exception type) or None."""
    types = {n.name: [] for n in definitions.nodes() if not n.abstract}
    children = {}
    unmatched = {}
    faults = []
    first_error = None
    for p, (at, size, apid) in enumerate(frames(data, **framing)):
        packet = bytes(data[at : at + size])
        try:
            name, state, warnings = decode_packet(definitions, packet, derived)
        except Fault as fault:
            faults.append((p, fault.node.name, fault.item, "error"))
            if first_error is None:
                first_error = (p, type(fault.exc))
            continue
        # One warning per item of a packet (an array's first unknown element).
        for t, i, _ in warnings:
            if (p, t, i, "warning") not in faults:
                faults.append((p, t, i, "warning"))
        if name is None:
            unmatched[apid] = unmatched.get(apid, 0) + 1
            continue
        row = len(types[name])
        types[name].append(state["values"])
        for item, rows in state["children"]:
            children.setdefault(f"{name}/{item}", []).extend((row, r) for r in rows)
    return types, children, unmatched, faults, first_error


def assert_same(definitions, decoded, model):
    """``decoded`` (a Decoded) against the model's result."""
    types, children, unmatched, faults, _ = model
    for name, rows in types.items():
        table = decoded[name]
        node = next(n for n in definitions.nodes() if n.name == name)
        names = [i.name for i in node.fields() if i.column]
        assert list(table) == names, (name, list(table), names)
        for column in names:
            got = table[column].tolist()
            want = [r[column] for r in rows]
            assert len(got) == len(want), (name, column, len(got), len(want))
            for g, w in zip(got, want, strict=True):
                assert _same(g, w), (name, column, g, w)
    for name in children:
        table = decoded[name]
        assert table["packet"].tolist() == [r for r, _ in children[name]], name
        for column in table:
            if column == "packet":
                continue
            got = table[column].tolist()
            want = [v[column] for _, v in children[name]]
            assert all(_same(g, w) for g, w in zip(got, want, strict=True)), (name, column)
            assert len(got) == len(want)
    extra = [k for k in decoded if "/" in k and k not in children]
    for name in extra:
        assert len(decoded[name]["packet"]) == 0, name
    assert {k: v for k, v in decoded.unmatched.items() if v} == unmatched_keyed(
        unmatched, decoded.unmatched
    )
    got = [(f.packet, f.type, f.item, f.severity) for f in decoded.faults]
    error_packets = {p for p, _, _, s in faults if s == "error"}
    want = [f for f in faults if f[3] == "error" or f[0] not in error_packets]
    assert sorted(got) == sorted(want), (got, want)


def unmatched_keyed(model_unmatched, got):
    if None in got:
        return {None: sum(model_unmatched.values())} if model_unmatched else {}
    return dict(model_unmatched)


def _same(a, b):
    if isinstance(b, float) and isinstance(a, float):
        return (a != a and b != b) or a == b
    if isinstance(b, np.datetime64):
        return np.datetime64(a, "ns") == b
    if isinstance(b, list):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b, strict=True))
    return (a == b and type(a) is type(b)) or (isinstance(a, (int, float)) and a == b)


__all__ = ["assert_same", "bb", "decode", "decode_packet", "frames"]
