"""A full disk named as a full disk: SQLite's "database or disk is full" and the file
system's ENOSPC are one error, "No space left on device", with the path of the index that
could not grow and what became of it; "damaged" stays for damage."""

from __future__ import annotations

import errno
import os
import sqlite3

#: The words the system uses for ENOSPC.
NO_SPACE = os.strerror(errno.ENOSPC)


def is_full(e: BaseException) -> bool:
    """Whether ``e`` says that no space was left (on the disk or in a quota)."""
    if isinstance(e, OSError):
        return e.errno in (errno.ENOSPC, errno.EDQUOT)
    if isinstance(e, sqlite3.Error):
        code = getattr(e, "sqlite_errorcode", None)
        return code == sqlite3.SQLITE_FULL or (code is None and "disk is full" in str(e))
    return False


class NoSpaceError(OSError):
    """No space was left where an index is written; ``what`` says what became of it."""

    def __init__(self, path: str | os.PathLike, what: str = "the index is unchanged") -> None:
        super().__init__(errno.ENOSPC, NO_SPACE, os.fspath(path))
        self.what = what

    def __str__(self) -> str:
        return f"{self.filename}: {NO_SPACE}; {self.what}"
