"""The checks of integer arguments, for every Python module of the package and its command line.

One place, so that one kind of mistake reads the same wherever it is made. Integers are
accepted from any integer type (NumPy's included) but ``bool``, which is more likely a slip
than a count.
"""

from __future__ import annotations

import numbers
import operator
import os
from collections.abc import Iterable, Sequence

import numpy as np

from . import _native


def integer(value: object, name: str) -> int:
    """``value`` as an ``int``; TypeError naming ``name`` when it is not an integer."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None


def out_of_range(value: int, low: int, high: int | None = None) -> str | None:
    """What is wrong with ``value`` outside ``low..high`` (no upper bound when ``high`` is
    None), as "must be ..., got ..."; None when it is inside."""
    if value < low or (high is not None and value > high):
        bound = f"from {low} to {high}" if high is not None else f"at least {low}"
        return f"must be {bound}, got {value}"
    return None


def in_range(value: object, name: str, low: int, high: int | None = None) -> int:
    """An integer from ``low`` to ``high``; ValueError naming ``name`` outside the range."""
    number = integer(value, name)
    complaint = out_of_range(number, low, high)
    if complaint is not None:
        raise ValueError(f"{name} {complaint}")
    return number


def size(value: object, name: str, maximum: int | None = None) -> int:
    """A size in bytes of the streaming functions: at least 1 and at most ``maximum``."""
    number = integer(value, name)
    if number < 1:
        raise ValueError(f"{name} must be at least 1")
    if maximum is not None and number > maximum:
        raise ValueError(f"{name} must be at most {maximum}, got {number}")
    return number


def count(value: object, name: str) -> int:
    """A number of items: an integer of at least 0. Every mistake here is a ValueError, so
    that a count of the wrong type reads as the wrong count it is."""
    try:
        number = integer(value, name)
    except TypeError:
        number = -1
    if number < 0:
        raise ValueError(f"{name} must be a non-negative int, got {value!r}")
    return number


def threads(value: int | None) -> int:
    """A thread count: at least 1, or None for every core this process may use."""
    if value is None:
        return len(os.sched_getaffinity(0))
    return in_range(value, "threads", 1)


def texts(value: Iterable[str | bytes | bytearray]) -> Iterable[str | bytes | bytearray]:
    """An iterable of texts. A lone text is iterable too, and would be taken for one text per
    character or byte: TypeError."""
    if isinstance(value, (str, bytes, bytearray)):
        raise TypeError("texts must be an iterable of texts, not a single " + type(value).__name__)
    return value


def take(texts: Sequence, indices: np.ndarray) -> list:
    """``[texts[k] for k in indices]``, or ``texts.take(indices)`` where texts has that method
    (texts read again from files when asked for, many at once)."""
    taking = getattr(texts, "take", None)
    if taking is not None:
        return taking(indices)
    return [texts[k] for k in np.asarray(indices).tolist()]


def held(texts: Iterable) -> Sequence:
    """``texts`` as a sequence: a list or tuple as it is, a sequence that reads its texts when
    asked for (with ``take``) as it is, anything else listed."""
    if isinstance(texts, (list, tuple)) or hasattr(texts, "take"):
        return texts  # type: ignore[return-value]
    return list(texts)


def max_distance(value: object) -> int:
    """A Hamming distance the near-duplicate search supports: 0 to ``MAX_DISTANCE``."""
    return in_range(value, "max_distance", 0, _native.MAX_DISTANCE)


def positive(value: object, name: str) -> int:
    """A count that must be at least 1 (permutations, words per shingle, bands, rows)."""
    return in_range(value, name, 1)


def threshold(value: object) -> float:
    """A Jaccard similarity threshold: a real number in (0, 1]."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"threshold must be a number, not {type(value).__name__}")
    number = float(value)
    if not 0.0 < number <= 1.0:
        raise ValueError(f"threshold must be in (0, 1], got {number}")
    return number
