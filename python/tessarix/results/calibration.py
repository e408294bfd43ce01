"""How a geo power analysis's null threshold fares out of sample.

The power curve sets its detection threshold from the no-lift estimates of every placebo window
and measures power against it, so at lift 0 it detects alpha of the windows by construction: an
in-sample number. A real test is one new window after all of them. This module checks the
threshold the way it will be used, on windows it has not seen (each later window against a
threshold from the windows wholly before it), and gives a threshold for the real test that keeps
its false-positive rate at alpha when the recent windows are exchangeable with it.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

# A window is checked only once this many disjoint windows precede it: a 1 - alpha quantile of
# fewer says nothing about a tail at alpha = 0.1.
MIN_HISTORY = 10
# Fewer windows than this, or fewer disjoint ones than MIN_DISJOINT, draw a warning: the null
# spread then rests on a handful of estimates.
MIN_WINDOWS = 20
MIN_DISJOINT = 10
# An out-of-sample rate this many binomial standard errors above alpha draws a warning.
EXCESS_SE = 2.0
# Slack for the conformal rank (n + 1)(1 - alpha), an integer for the usual alpha and counts.
_RANK_SLACK = 1e-9


@dataclass(frozen=True)
class Calibration:
    """The out-of-sample check of a power analysis's threshold.

    Attributes
    ----------
    alpha : float
        The test size the threshold is meant to have.
    false_positive_rate : float or None
        Share of the later windows (those starting in the second half of the history) whose
        no-lift |ATT| exceeds the threshold the power curve's rule sets from the windows wholly
        before them (the curve's in-sample rate is alpha by construction); None when no window
        has enough history before it.
    n_tested : int
        How many windows that rate is over. Neighbouring windows overlap, so it is less precise
        than that many independent tests.
    critical_value : float
        Threshold on |ATT| for the real test: the rank ceil((n + 1)(1 - alpha)) order
        statistic of the |no-lift ATT| of the n windows starting in the later half of the
        history, whose fits rest on at least half the pre-period the real test will have. When
        those windows are exchangeable with the real test's, an effect-free test exceeds it with
        probability at most alpha. Infinite when n is too small for that (n + 1 < 1 / alpha).
    n_disjoint : int
        How many of all the windows are disjoint (at most one per test length).
    warnings : list of str
        Plain-language warnings: few windows, heavily overlapping windows, an out-of-sample
        rate above alpha.
    """

    alpha: float
    false_positive_rate: float | None
    n_tested: int
    critical_value: float
    n_disjoint: int
    warnings: list[str] = field(default_factory=list)


def curve_threshold(null_abs: np.ndarray, alpha: float) -> float:
    """The power curve's own threshold: the type-7 quantile at 1 - alpha of |null ATT|."""
    return float(np.quantile(null_abs, min(max(1.0 - alpha, 0.0), 1.0)))


def conformal_threshold(null_abs: np.ndarray, alpha: float) -> float:
    """The order statistic of rank ceil((n + 1)(1 - alpha)) of |null ATT|; inf past n."""
    ordered = np.sort(null_abs)
    rank = math.ceil((len(ordered) + 1) * (1.0 - alpha) - _RANK_SLACK)
    return float(ordered[rank - 1]) if 1 <= rank <= len(ordered) else math.inf


def backtest(starts: np.ndarray, null_abs: np.ndarray, test_len: int, first: int,
             alpha: float) -> tuple[int, int]:
    """(false positives, windows tested): each window starting at or after `first` against the
    curve's threshold from the windows that end before it starts, once MIN_HISTORY disjoint
    windows do."""
    hits = tested = 0
    for k in np.flatnonzero(starts >= first):
        past = starts + test_len <= starts[k]
        if disjoint_count(int(np.count_nonzero(past)), test_len) < MIN_HISTORY:
            continue
        tested += 1
        hits += bool(null_abs[k] > curve_threshold(null_abs[past], alpha))
    return hits, tested


def disjoint_count(n_windows: int, test_len: int) -> int:
    """Disjoint windows among n consecutive ones (starts one period apart)."""
    return -(-n_windows // max(test_len, 1))


def calibrate(starts: np.ndarray, null_att: np.ndarray, test_len: int, n_periods: int,
              alpha: float) -> Calibration:
    """The out-of-sample check of a power analysis whose windows start at `starts` (ascending)
    with no-lift estimates `null_att`, on a history of `n_periods`."""
    starts = np.asarray(starts, dtype=np.int64)
    null_abs = np.abs(np.asarray(null_att, dtype=float))
    later = n_periods // 2
    hits, tested = backtest(starts, null_abs, test_len, later, alpha)
    rate = hits / tested if tested else None
    recent = null_abs[starts >= later]
    crit = conformal_threshold(recent if len(recent) else null_abs, alpha)
    n_disjoint = disjoint_count(len(starts), test_len)
    return Calibration(alpha=alpha, false_positive_rate=rate, n_tested=tested, critical_value=crit,
                       n_disjoint=n_disjoint, warnings=_warnings(len(starts), n_disjoint, test_len, rate, tested,
                                                                 alpha, crit))


def _warnings(n_windows: int, n_disjoint: int, test_len: int, rate: float | None, tested: int, alpha: float,
              crit: float) -> list[str]:
    out = []
    if n_windows < MIN_WINDOWS:
        out.append(f"only {n_windows} placebo windows: the threshold and the powers rest on few null estimates")
    if n_disjoint < MIN_DISJOINT:
        out.append(f"the {n_windows} windows overlap heavily (test length {test_len}): only {n_disjoint} are "
                   "disjoint, so the null spread rests on about that many independent estimates")
    if rate is None:
        out.append("too little history to check the threshold out of sample")
    elif rate > alpha + EXCESS_SE * math.sqrt(alpha * (1.0 - alpha) / tested):
        out.append(f"out of sample the threshold flags {rate:.1%} of later effect-free windows against alpha "
                   f"{alpha:.0%}: the powers are optimistic; test against the calibrated threshold")
    if math.isinf(crit):
        out.append(f"too few recent windows for a threshold with false-positive rate {alpha:.0%}")
    return out
