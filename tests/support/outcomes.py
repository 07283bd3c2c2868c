"""What a call gives, in a form that compares: the tests hold two ways of doing
one thing (a plan and a fresh reading, columns and packet-by-packet calls, one
thread and many) to equal outcomes."""

import re
import struct


def outcome(fn, *args, catch=Exception, notes=True, **kwargs):
    """("ok", what fn(*args, **kwargs) returns) or ("error", the exception's
    type, its args, its notes as a tuple).

    `catch` is what counts as an outcome (a narrower class lets anything else
    propagate and fail the test; KeyboardInterrupt and SystemExit always
    propagate). With `notes=False` the notes are left out (None), for checks
    whose calls may fail at different items of a recipe that changes under
    them."""
    try:
        return ("ok", fn(*args, **kwargs))
    except (KeyboardInterrupt, SystemExit):
        raise
    except catch as exc:
        return (
            "error",
            type(exc),
            exc.args,
            tuple(getattr(exc, "__notes__", ())) if notes else None,
        )


def raised(fn, *args, **kwargs):
    """The exception that fn(*args, **kwargs) raises, of any class; failing if it returns."""
    try:
        result = fn(*args, **kwargs)
    except BaseException as exc:  # the caller checks the exact type
        return exc
    raise AssertionError(f"no exception; returned {result!r}")


def same_value(a, b):
    """Equal values of one type; floats by their bits (NaN payloads, signed zeros)."""
    if isinstance(a, float) or isinstance(b, float):
        return type(a) is type(b) is float and struct.pack("<d", a) == struct.pack("<d", b)
    return type(a) is type(b) and a == b


def same_dict(a, b):
    """The same keys in the same order, each with the same value (same_value)."""
    return list(a) == list(b) and all(same_value(a[k], b[k]) for k in a)


def item_starts(recipe, offset=0):
    """The first bit of each item as unpacking places it: at its offset_bits
    (from `offset`), or just past the item before it."""
    starts, position = [], offset
    for it in recipe:
        start = offset + it["offset_bits"] if "offset_bits" in it else position
        starts.append(start)
        position = start + it["bits"]
    return starts


_PREFIX = "ValueError: "


def as_bulk(result, recipe=None, offset=0, size=0):
    """bitloom_bulk's form of what a bitloom call gave (an `outcome`): the
    text of a ValueError without its type's name put in front of it a second
    time, and a field outside the packet told in the recipe's bits (`recipe`
    unpacked from bit `offset` of a packet of `size` bytes)."""
    if result[0] != "error" or result[1] is not ValueError or not result[2]:
        return result
    text = result[2][0]
    if not isinstance(text, str) or not text.startswith(_PREFIX):
        return result
    text = text[len(_PREFIX) :]
    if recipe is not None and text.startswith(("range start index", "range end index")):
        index = int(re.search(r"recipe item (\d+)", result[3][0]).group(1))
        start, it = item_starts(recipe, offset)[index], recipe[index]
        text = (
            f"{it['name']!r} lies at bits {start} to {start + it['bits']}, past the end of"
            f" the packet ({8 * size} bits, {size} byte{'s' if size != 1 else ''})"
        )
    return (result[0], result[1], (text, *result[2][1:]), result[3])
