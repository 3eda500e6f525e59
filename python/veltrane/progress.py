"""A progress bar on standard error for the library's progress hook: what the command shows
while it runs, for any caller (``deduplicate_corpus(..., progress=ProgressBar(True, None,
"reading"))``). tqdm is imported only when a bar is on."""

from __future__ import annotations

import sys
import time

# A run shorter than this never draws a progress bar, so quick runs leave the terminal clean.
#: A run shorter than this (seconds) draws no bar.
PROGRESS_DELAY_SECONDS = 1.0


#: Steps whose counts are bytes; the others count texts, pairs or search steps.
BYTE_STEPS = frozenset({"reading", "chunking", "fingerprints", "writing"})


class ProgressBar:
    """A tqdm bar on standard error, or nothing when it is off.

    Called as the library's progress hook, ``progress(step, done, total)``. Each step gets a
    bar of its own: counted from 0, with its own unit and rate, so that a step never shows
    the rate of the one before it.
    """

    def __init__(self, enabled: bool, total: int | None, step: str) -> None:
        self._bar = None
        self._step = step
        if enabled:
            from tqdm import tqdm

            self._bar = tqdm(
                total=total,
                desc=step,
                delay=PROGRESS_DELAY_SECONDS,
                leave=False,
                file=sys.stderr,
                dynamic_ncols=True,
            )
            self._units(step)
            self._start = time.monotonic()

    def _units(self, step: str) -> None:
        bar = self._bar
        assert bar is not None
        if step.split(" ", 1)[0] in BYTE_STEPS:  # "reading (pass 2 of 3)" counts bytes too
            bar.unit, bar.unit_scale, bar.unit_divisor = "B", True, 1024
        else:
            bar.unit, bar.unit_scale, bar.unit_divisor = "", True, 1000

    def update(self, n: int) -> None:
        """Counts ``n`` more of the current step (bytes read)."""
        if self._bar is not None:
            self._bar.update(n)

    def __call__(self, step: str, done: int, total: int | None) -> None:
        bar = self._bar
        if bar is None:
            return
        if step != self._step:
            self._step = step
            bar.reset(total=total)  # a new count, and a new rate: tqdm restarts its clock
            self._units(step)
            bar.set_description_str(step, refresh=False)
            self._draw()
        elif total is not None and bar.total != total:
            bar.total = total
        if done > bar.n:
            bar.update(done - bar.n)
            if done == total:  # the last step is drawn, however soon after the one before
                self._draw()

    def _draw(self) -> None:
        # Never before the delay: a quick run leaves the terminal clean.
        if self._bar is not None and time.monotonic() - self._start >= PROGRESS_DELAY_SECONDS:
            self._bar.refresh()

    def close(self) -> None:
        """Takes the bar off the terminal."""
        if self._bar is not None:
            self._bar.close()

    def __enter__(self) -> ProgressBar:
        return self

    def __exit__(self, *exc) -> None:
        self.close()
