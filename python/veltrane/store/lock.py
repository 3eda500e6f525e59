"""Locks of a store: one writer at a time (``lock``, exclusive), and readers (``readers``,
shared) that prune waits for before it deletes a pack. flock locks go with the process: a
killed writer holds nothing."""

from __future__ import annotations

import fcntl
import os
import time

from .layout import LOCK, READERS, StoreError

#: How long a second writer waits for the first before it gives up.
DEFAULT_WAIT_SECONDS = 10.0
_POLL_SECONDS = 0.05


class Lock:
    """An flock on one of the store's lock files, taken on entering and released on exit."""

    def __init__(self, repo: str, name: str, exclusive: bool, wait: float, what: str) -> None:
        self._path = os.path.join(repo, name)
        self._exclusive = exclusive
        self._wait = wait
        self._what = what
        self._fd: int | None = None

    def __enter__(self) -> Lock:
        try:
            # Read-only is enough for flock, and lets readers use a read-only store.
            fd = os.open(self._path, os.O_RDONLY)
        except OSError as e:
            raise StoreError(f"{self._path}: cannot open the lock: {e.strerror}") from e
        op = fcntl.LOCK_EX if self._exclusive else fcntl.LOCK_SH
        deadline = time.monotonic() + self._wait
        while True:
            try:
                fcntl.flock(fd, op | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    os.close(fd)
                    raise StoreError(
                        f"{os.path.dirname(self._path)}: {self._what} (waited {self._wait:g} s)"
                    ) from None
                time.sleep(_POLL_SECONDS)
        self._fd = fd
        return self

    def __exit__(self, *exc: object) -> None:
        if self._fd is not None:
            os.close(self._fd)  # closing releases the flock
            self._fd = None


def writer(repo: str, wait: float = DEFAULT_WAIT_SECONDS) -> Lock:
    """The writers' lock: add, forget and prune hold it for their whole run."""
    return Lock(repo, LOCK, True, wait, "another writer holds the store's lock")


def reader(repo: str, wait: float = DEFAULT_WAIT_SECONDS) -> Lock:
    """A reader's share: prune deletes no pack while one is held."""
    return Lock(repo, READERS, False, wait, "prune is deleting packs")


def deleting(repo: str, wait: float = DEFAULT_WAIT_SECONDS) -> Lock:
    """Prune's exclusive hold on the readers' lock while it deletes packs."""
    return Lock(repo, READERS, True, wait, "readers hold the store")
