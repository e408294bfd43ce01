"""The bias of a block bootstrap's variance of a mean, and the interval that corrects it.

A block bootstrap keeps the dependence inside its blocks only: of the long-run variance
sum_k R(k) it sees the autocovariances weighted by the chance that two values k apart fall in
one block (1 - k/b for circular blocks of length b, (1 - 1/b)^k for the stationary bootstrap
with mean block length b), and it centres its replicates on the sample mean, which removes
another b/n of the variance of the mean. At the block lengths that minimise the error of the
variance (of order n^(1/3)) these biases are of the same order as its noise, and percentile
intervals of a strongly autocorrelated series come out a few points short of their level.

The correction estimates both biases from the series itself, with the flat-top window the
block-length rule already uses, and rescales the bootstrap's standard error by the ratio of
the long-run variance to the variance the bootstrap can see. The interval is the mean plus or
minus a Student t quantile times that standard error, its degrees of freedom those of the
bootstrap variance: 2 / relative variance, with the relative variance D b / n of Politis and
White (D = 4/3 for circular blocks, 2 for the stationary bootstrap).
"""

from __future__ import annotations

import numpy as np

# The variance ratio is kept within these bounds: beyond them the flat-top estimate, not the
# bootstrap, is the less trustworthy of the two.
MIN_RATIO, MAX_RATIO = 0.25, 4.0
# The relative variance constants of the block bootstrap's variance estimate.
RELATIVE_D = {"block": 4.0 / 3.0, "stationary": 2.0}
# The fewest degrees of freedom the interval takes: fewer arise only from series too short for
# any trustworthy interval, where t quantiles beyond t_2's would be pure guesswork.
MIN_DF = 2.0


def block_weights(kind: str, block_len: int, lags: np.ndarray) -> np.ndarray:
    """The chance that two values `lags` apart land in one resampled block."""
    if kind == "block":
        return np.clip(1.0 - lags / block_len, 0.0, None)
    return (1.0 - 1.0 / block_len) ** lags


def variance_ratio(e: np.ndarray, bandwidth: int, kind: str, block_len: int,
                   window: np.ndarray) -> float:
    """Long-run variance over the variance the bootstrap expects to see, both from the flat-top
    autocovariances of the demeaned series `e`; `window` holds the flat-top weights of lags
    0 .. bandwidth."""
    n = e.size
    lags = np.arange(bandwidth + 1)
    acov = np.array([float(e[k:] @ e[: n - k]) / n for k in lags])
    # Demeaning lowers every sample autocovariance by about the variance of the mean, the
    # long-run variance over n; add it back (the window's sum of weights says how often).
    weight_sum = window[0] + 2.0 * window[1:].sum()
    long_run = _two_sided(window * acov) / (1.0 - weight_sum / n)
    acov = acov + long_run / n
    full = _two_sided(window * acov)
    seen = _two_sided(window * block_weights(kind, block_len, lags) * acov) - full * block_len / n
    if not (full > 0.0 and seen > 0.0):
        return 1.0
    return min(max(full / seen, MIN_RATIO), MAX_RATIO)


def _two_sided(one_sided: np.ndarray) -> float:
    """Sum over lags -M .. M of a symmetric sequence given at lags 0 .. M."""
    return float(one_sided[0] + 2.0 * one_sided[1:].sum())


def degrees_of_freedom(kind: str, block_len: int, n: int) -> float:
    """2 over the relative variance D b / n of the bootstrap variance, at least MIN_DF."""
    return max(2.0 * n / (RELATIVE_D[kind] * block_len), MIN_DF)
