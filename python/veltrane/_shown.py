"""Names as messages and reports show them on a terminal."""

from __future__ import annotations

import os

# C0 and C1 control characters and DEL as escapes: a name must not move the cursor or start
# a terminal escape sequence where it is shown.
CONTROLS = {c: f"\\x{c:02x}" for c in [*range(0x20), *range(0x7F, 0xA0)]}


def shown(path: str | bytes) -> str:
    """A path as the file system spells it: bytes that are not UTF-8 and control characters
    appear as escapes."""
    raw = path if isinstance(path, bytes) else os.fsencode(path)
    return raw.decode("utf-8", "backslashreplace").translate(CONTROLS)
