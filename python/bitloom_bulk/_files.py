"""Files written for a user: all of it or none of it.

A file is written to a temporary file in the target's own folder and renamed
over the target only once everything is written and flushed, so an error (or an
interrupt) half-way through leaves the old file as it was and no partial new one.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Iterator
from typing import IO, Any


@contextlib.contextmanager
def atomic_write(
    path: str | os.PathLike[str], mode: str = "w", **open_args: Any
) -> Iterator[IO[Any]]:
    """Open a temporary file beside ``path`` for writing; on a clean exit of the
    ``with`` block it replaces ``path``, on an exception it is removed and
    ``path`` is left untouched.

    ``mode`` is ``"w"`` or ``"wb"``; ``open_args`` go to :func:`open` (encoding,
    newline). The new file gets the permissions a plainly created file would get
    (or the old file's, where it replaces one).
    """
    if mode not in ("w", "wb"):
        raise ValueError(f"atomic_write writes new files only, not mode {mode!r}")
    target = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(target))
    fd, temporary = tempfile.mkstemp(
        prefix="." + os.path.basename(target) + ".", suffix=".tmp", dir=folder
    )
    try:
        _copy_permissions(fd, target)
        with open(fd, mode, **open_args) as handle:
            yield handle
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def _copy_permissions(fd: int, target: str) -> None:
    # mkstemp creates the file 0600; a recipe or a table is an ordinary file,
    # so give it what open() would have given it: the old file's mode, or
    # 0666 less the umask.
    try:
        mode = os.stat(target).st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    with contextlib.suppress(OSError, AttributeError, NotImplementedError):
        os.fchmod(fd, mode)
