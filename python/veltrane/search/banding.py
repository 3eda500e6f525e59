"""How the LSH search cuts signatures into bands: the bands and rows chosen from the threshold
so that a true pair is almost never missed, or checked where given."""

from __future__ import annotations

import numpy as np

from .. import _args
from ..defaults import DEFAULT_NUM_PERM, DEFAULT_THRESHOLD

# The automatic choice of bands keeps the mean chance of missing a true pair, over
# similarities spread evenly from the threshold to 1, at most one in a thousand: with exact
# verification, recall is what the bands decide, and a false candidate only costs a check.
_MISS_BUDGET = 1e-3


# Points of the numerical integrals of the candidate curve (Simpson's rule; the curve is
# smooth, so 512 intervals are exact to far below the budget).
_INTEGRAL_POINTS = 513


def _simpson(values: np.ndarray, width: float) -> float:
    h = width / (len(values) - 1)
    return float(
        h / 3 * (values[0] + values[-1] + 4 * values[1:-1:2].sum() + 2 * values[2:-1:2].sum())
    )


def _candidate_probability(s: np.ndarray, bands: int, rows: int) -> np.ndarray:
    return 1.0 - (1.0 - s**rows) ** bands


def lsh_parameters(
    threshold: float = DEFAULT_THRESHOLD, num_perm: int = DEFAULT_NUM_PERM
) -> tuple[int, int]:
    """The ``(bands, rows)`` :func:`near_duplicate_pairs_jaccard` uses when given neither.

    For each ``rows`` from 1 to ``num_perm`` with ``bands = num_perm // rows``, a pair of
    similarity ``s`` becomes a candidate with probability ``P(s) = 1 - (1 - s**rows)**bands``.
    Among the choices whose mean miss probability ``1 - P(s)`` over ``s`` from the threshold
    to 1 is at most 0.001, the one with the fewest false candidates (smallest integral of
    ``P`` from 0 to the threshold); when none qualifies, the one that misses least. For
    ``num_perm = 128``: threshold 0.5 gives 42 bands of 3 rows, 0.8 gives 21 of 6, 0.9
    gives 12 of 10.
    """
    threshold = _args.threshold(threshold)
    num_perm = _args.positive(num_perm, "num_perm")
    below = np.linspace(0.0, threshold, _INTEGRAL_POINTS)
    above = np.linspace(threshold, 1.0, _INTEGRAL_POINTS)
    best: tuple[float, float, int, int] | None = None  # (miss over budget, false, bands, rows)
    for rows in range(1, num_perm + 1):
        bands = num_perm // rows
        miss = (
            _simpson(1.0 - _candidate_probability(above, bands, rows), 1.0 - threshold)
            / (1.0 - threshold)
            if threshold < 1.0
            else 0.0
        )
        false = _simpson(_candidate_probability(below, bands, rows), threshold)
        key = (max(miss - _MISS_BUDGET, 0.0), false, bands, rows)
        if best is None or key[:2] < best[:2]:
            best = key
    assert best is not None
    return best[2], best[3]


def bands_and_rows(
    threshold: float, num_perm: int, bands: int | None = None, rows: int | None = None
) -> tuple[int, int]:
    """The ``(bands, rows)`` a search with these arguments uses: :func:`lsh_parameters` when
    neither is given, ``num_perm // given`` for the one not given. ValueError when
    ``num_perm`` values cannot be cut into them."""
    threshold = _args.threshold(threshold)
    width = _args.positive(num_perm, "num_perm")
    if bands is None and rows is None:
        return lsh_parameters(threshold, width)
    if bands is not None and rows is not None:
        asked = f"{_args.positive(bands, 'bands')} bands of {_args.positive(rows, 'rows')} rows"
    elif bands is not None:
        bands = _args.positive(bands, "bands")
        rows, asked = width // bands, f"{bands} bands"
    else:
        rows = _args.positive(rows, "rows")
        bands, asked = width // rows, f"bands of {rows} rows"
    if bands < 1 or rows < 1 or bands * rows > width:
        raise ValueError(f"num_perm = {width} cannot be divided into {asked}")
    return bands, rows
