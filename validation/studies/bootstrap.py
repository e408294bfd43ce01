"""The block and stationary bootstrap of a mean with a data-chosen block length.

The design (fixed before any run): 400 observations of a stationary AR(1) series with
coefficient 0.5, standard normal innovations and mean 1, started from its stationary law; the
mean's 95% interval from 999 resamples (``tessarix.bootstrap``'s interval, corrected for the
block bootstrap's bias), the block length chosen from the data (``block_len=None``), for both
kinds on the same series. Beside the coverage it reports the chosen block length and the
reported standard error against the exact standard deviation of the mean.
"""

from __future__ import annotations

import numpy as np

from harness import COVERAGE_95, Context, Row, mean_se, proportion

LENGTH = 400
AR = 0.5
MEAN = 1.0
RESAMPLES = 999
KINDS = ("block", "stationary")


def mean_sd() -> float:
    """The exact standard deviation of the mean of LENGTH consecutive values of the series."""
    k = np.arange(1, LENGTH)
    gamma0 = 1.0 / (1.0 - AR * AR)
    return float(np.sqrt(gamma0 / LENGTH * (1.0 + 2.0 * np.sum((1.0 - k / LENGTH) * AR**k))))


def available() -> str | None:
    """Why the study cannot run with the installed tessarix, or None."""
    import tessarix

    if not callable(getattr(tessarix, "bootstrap", None)):
        return "this tessarix has no tessarix.bootstrap"
    return None


def ar1_series(rng: np.random.Generator) -> np.ndarray:
    e = rng.standard_normal(LENGTH)
    x = np.empty(LENGTH)
    x[0] = e[0] / np.sqrt(1.0 - AR * AR)
    for t in range(1, LENGTH):
        x[t] = AR * x[t - 1] + e[t]
    return MEAN + x


def bootstrap_replication(rng: np.random.Generator) -> list[tuple[bool, float, float]]:
    import tessarix

    series = ar1_series(rng)
    seed = int(rng.integers(2**31))
    out = []
    for kind in KINDS:
        res = tessarix.bootstrap(series, kind=kind, block_len=None, n_reps=RESAMPLES, seed=seed)
        lo, hi = res.ci
        out.append((bool(lo <= MEAN <= hi), float(res.block_len), float(res.se)))
    return out


COVERAGE = "95% coverage of the mean (AR(1) 0.5, n=400)"
BLOCK_LENGTH = "mean chosen block length"
SE_RATIO = "mean bootstrap s.e. / true s.d. of the mean"


def _path(kind: str) -> str:
    return f"bootstrap mean, {kind}, block length chosen"


# The rows reported as not run when this tessarix has no tessarix.bootstrap.
PLACEHOLDER = [row for kind in KINDS
               for row in ((_path(kind), COVERAGE, 0.95, COVERAGE_95), (_path(kind), BLOCK_LENGTH, None, None),
                           (_path(kind), SE_RATIO, 1.0, None))]


def block_bootstrap(ctx: Context) -> list[Row]:
    recs = ctx.replicate(bootstrap_replication)
    n = len(recs)
    rows = []
    for k, kind in enumerate(KINDS):
        cover, cover_se = proportion([r[k][0] for r in recs])
        length, length_se = mean_se([r[k][1] for r in recs])
        ratio, ratio_se = mean_se([r[k][2] / mean_sd() for r in recs])
        rows += [Row(_path(kind), COVERAGE, 0.95, cover, cover_se, COVERAGE_95, n),
                 Row(_path(kind), BLOCK_LENGTH, None, length, length_se, None, n),
                 Row(_path(kind), SE_RATIO, 1.0, ratio, ratio_se, None, n)]
    return rows
