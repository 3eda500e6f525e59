"""Duplicate files replaced in place: each later file of a group of identical files becomes a
hardlink to the group's first file, or shares its extents (a reflink, through the kernel's
``FIDEDUPERANGE``, which compares the bytes itself and shares nothing that differs).

Metadata: a hardlink is the first file's inode, so the copy takes the first file's mode,
owner and times; a reflinked copy keeps its own inode, mode, owner and times. Every copy is
compared byte for byte with the first file first, and its size, times and inode checked again
just before it is replaced: a file that changed in between is left alone and reported."""

from __future__ import annotations

import errno
import fcntl
import os
import secrets
import stat
import struct
from dataclasses import dataclass, field

from .layout import TMP_PREFIX, StoreError

#: The kernel's dedupe ioctl: _IOWR(0x94, 54, struct file_dedupe_range), a 24-byte header.
FIDEDUPERANGE = 0xC0189436
_RANGE = struct.Struct("<QQHHI")
_INFO = struct.Struct("<qQQiI")
_SAME, _DIFFERS = 0, 1
# The kernel may share less than asked per call; ask for this much at a time.
_STEP = 16 << 20
_COMPARE = 1 << 20
_NO_REFLINKS = (errno.EOPNOTSUPP, errno.ENOTTY, errno.EINVAL, errno.EXDEV, errno.ENOSYS)


@dataclass
class LinkReport:
    """What ``replace_duplicates`` did (or, with ``dry_run``, would do)."""

    #: (kept, replaced) pairs linked (or to be linked).
    linked: list[tuple[str, str]] = field(default_factory=list)
    #: Bytes freed (or to be freed): the copies' sizes, a hardlinked copy counted only when
    #: no other link kept its data.
    freed: int = 0
    #: (path, why) of files left alone.
    left: list[tuple[str, str]] = field(default_factory=list)


def _ident(st: os.stat_result) -> tuple:
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


def _same_bytes(a: str, b: str) -> bool:
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(_COMPARE), fb.read(_COMPARE)
            if x != y:
                return False
            if not x:
                return True


def replace_duplicates(groups, how: str, dry_run: bool = False) -> LinkReport:
    """Replaces every later file of each group (paths of identical files, first kept) by a
    link to the first (``how``: ``hardlink`` or ``reflink``). StoreError, with nothing more
    changed, when the file system cannot reflink."""
    if how not in ("hardlink", "reflink"):
        raise ValueError(f"how must be hardlink or reflink, not {how!r}")
    report = LinkReport()
    for group in groups:
        first = group[0]
        try:
            st0 = os.lstat(first)
        except OSError as e:
            report.left.append((first, e.strerror or str(e)))
            continue
        for copy in group[1:]:
            why = _replace(first, st0, copy, how, dry_run, report)
            if why is not None:
                report.left.append((copy, why))
            elif how == "hardlink" and not dry_run:
                # Our own link changed the first file's link count and ctime.
                st0 = os.lstat(first)
    return report


def _replace(first: str, st0, copy: str, how: str, dry_run: bool, report: LinkReport):
    try:
        st = os.lstat(copy)
    except OSError as e:
        return e.strerror or str(e)
    if not stat.S_ISREG(st.st_mode) or not stat.S_ISREG(st0.st_mode):
        return "not a regular file"
    if (st.st_dev, st.st_ino) == (st0.st_dev, st0.st_ino):
        return None  # already one file
    if st.st_dev != st0.st_dev:
        return "on another file system than " + first
    try:
        if not _same_bytes(first, copy):
            return "its bytes differ from " + first
    except OSError as e:
        return e.strerror or str(e)
    freed = st.st_size if how == "reflink" or st.st_nlink == 1 else 0
    if dry_run:
        report.linked.append((first, copy))
        report.freed += freed
        return None
    try:
        if _ident(os.lstat(copy)) != _ident(st) or _ident(os.lstat(first)) != _ident(st0):
            return "changed after it was compared"
        if how == "hardlink":
            tmp = os.path.join(os.path.dirname(copy), TMP_PREFIX + secrets.token_hex(8))
            os.link(first, tmp)
            try:
                os.rename(tmp, copy)
            except BaseException:
                os.unlink(tmp)
                raise
        else:
            why = _dedupe_range(first, copy, st.st_size)
            if why is not None:
                return why
    except OSError as e:
        return e.strerror or str(e)
    report.linked.append((first, copy))
    report.freed += freed
    return None


def _dedupe_range(first: str, copy: str, size: int):
    src = os.open(first, os.O_RDONLY)
    try:
        try:
            dst = os.open(copy, os.O_RDWR)
        except PermissionError:
            dst = os.open(copy, os.O_RDONLY)
        try:
            at = 0
            while at < size:
                n = min(_STEP, size - at)
                buf = bytearray(_RANGE.pack(at, n, 1, 0, 0) + _INFO.pack(dst, at, 0, 0, 0))
                try:
                    fcntl.ioctl(src, FIDEDUPERANGE, buf, True)
                except OSError as e:
                    if e.errno in _NO_REFLINKS:
                        raise StoreError(
                            f"{copy}: this file system cannot share extents (FIDEDUPERANGE: "
                            f"{e.strerror}); use --link hardlink"
                        ) from None
                    raise
                _, _, done, status, _ = _INFO.unpack_from(buf, _RANGE.size)
                if status == _DIFFERS:
                    return "changed after it was compared (the kernel found its bytes differ)"
                if status < 0:
                    if -status in _NO_REFLINKS:
                        raise StoreError(
                            f"{copy}: this file system cannot share extents (FIDEDUPERANGE: "
                            f"{os.strerror(-status)}); use --link hardlink"
                        )
                    raise OSError(-status, os.strerror(-status), copy)
                if done == 0:
                    return "the kernel shared none of its bytes"
                at += done
        finally:
            os.close(dst)
    finally:
        os.close(src)
    return None
