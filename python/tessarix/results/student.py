"""Student's t distribution for intervals and tests with few degrees of freedom: the two-sided
central probability in closed form for integer degrees of freedom (Abramowitz and Stegun
26.7.3-4), its inverse by bisection, and the interval and p-value built on them."""

from __future__ import annotations

import math
from typing import Optional

from .base import normal_p, normal_z

# Beyond this many degrees of freedom the normal quantile is within 1e-5 of t's.
MAX_EXACT_DF = 100_000
# Bisection stops when the bracket is this narrow relative to its upper end.
_REL_TOL = 1e-15


def central_probability(t: float, df: int) -> float:
    """P(|T| <= t) for T with `df` (integer >= 1) degrees of freedom, t >= 0."""
    theta = math.atan(t / math.sqrt(df))
    c2 = math.cos(theta) ** 2
    if df % 2 == 1:
        total = term = math.cos(theta)
        for k in range(3, df - 1, 2):
            term *= c2 * (k - 1) / k
            total += term
        return 2.0 / math.pi * (theta + (math.sin(theta) * total if df > 1 else 0.0))
    total = term = 1.0
    for k in range(2, df - 1, 2):
        term *= c2 * (k - 1) / k
        total += term
    return math.sin(theta) * total


def exact_df(df: float) -> int:
    """The whole degrees of freedom the closed form uses: `df` rounded down (a conservative
    choice for fractional values), at least 1."""
    return max(1, math.floor(df))


def t_critical(level: float, df: float) -> float:
    """The two-sided critical value at confidence `level`: P(|T| <= c) = level."""
    if df > MAX_EXACT_DF:
        return normal_z(level)
    n = exact_df(df)
    lo, hi = 0.0, 1.0
    while central_probability(hi, n) < level:
        if math.isinf(hi):  # a level the doubles cannot tell from 1
            return math.inf
        lo, hi = hi, 2.0 * hi
    while hi - lo > _REL_TOL * hi:
        mid = 0.5 * (lo + hi)
        if not lo < mid < hi:  # no double left between them (a level near 0)
            break
        lo, hi = (mid, hi) if central_probability(mid, n) < level else (lo, mid)
    return hi


def t_ci(estimate: float, se: float, level: float, df: float) -> tuple[float, float]:
    """estimate -/+ c se with c the t critical value."""
    c = t_critical(level, df)
    return estimate - c * se, estimate + c * se


def t_p(estimate: float, se: float, df: float) -> Optional[float]:
    """Two-sided p-value of estimate / se against t with `df` degrees of freedom; None without a
    positive, finite standard error."""
    if not (se > 0.0 and math.isfinite(se)):
        return None
    if df > MAX_EXACT_DF:
        return normal_p(estimate, se)
    return max(0.0, 1.0 - central_probability(abs(estimate / se), exact_df(df)))
