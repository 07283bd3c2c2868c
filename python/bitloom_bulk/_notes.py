"""Notes on exceptions, the same on every supported Python."""

from __future__ import annotations

import sys


def add_note(exc: BaseException, note: str) -> None:
    """``exc.add_note(note)``; on 3.10 the ``__notes__`` list alone, which
    tracebacks there do not print but callers can read."""
    if sys.version_info >= (3, 11):
        exc.add_note(note)
    else:
        notes = getattr(exc, "__notes__", None)
        if not isinstance(notes, list):
            notes = []
        notes.append(note)
        exc.__notes__ = notes
