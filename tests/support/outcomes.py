"""What a call gives, in a form that compares: the tests hold two ways of doing
one thing (a plan and a fresh reading, columns and packet-by-packet calls, one
thread and many) to equal outcomes."""

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
