"""What every labelled result shares: the native result it wraps, normal-theory intervals and
p-values from an estimate and its standard error, and the plain-text summary layout."""

from __future__ import annotations

import math
from dataclasses import dataclass
from statistics import NormalDist
from typing import Any, Optional, Sequence

# Width of a summary's rules and of its label column.
_WIDTH = 78
_LABEL = 18


def normal_z(level: float) -> float:
    """The two-sided standard-normal critical value at confidence `level`."""
    return NormalDist().inv_cdf(1.0 - (1.0 - level) / 2.0)


def normal_ci(estimate: float, se: float, level: float) -> tuple[float, float]:
    """estimate -/+ z se."""
    z = normal_z(level)
    return estimate - z * se, estimate + z * se


def normal_p(estimate: float, se: float) -> Optional[float]:
    """Two-sided p-value of estimate / se against the standard normal; None without a
    positive, finite standard error."""
    if not (se > 0.0 and math.isfinite(se)):
        return None
    return 2.0 * NormalDist().cdf(-abs(estimate / se))


def num(x: Optional[float]) -> str:
    """A number as summaries print it: six significant digits, or '-' when absent."""
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return "-"
    return f"{x:.6g}"


@dataclass
class Row:
    """One estimate of a summary table."""

    term: str
    estimate: float
    se: Optional[float] = None
    ci: Optional[tuple[float, float]] = None
    p_value: Optional[float] = None


def render(title: str, facts: Sequence[str], rows: Sequence[Row], level: float,
           notes: Sequence[str] = ()) -> str:
    """The summary text: a title, facts about the design, the estimates' table and notes."""
    rule = "-" * _WIDTH
    lines = [title, "=" * _WIDTH, *facts, rule]
    pct = f"{level * 100:g}%"
    lines.append(f"{'':<{_LABEL}}{'estimate':>12}{'std. err.':>12}{'[' + pct:>12}{'interval]':>12}"
                 f"{'p-value':>12}")
    for r in rows:
        lo, hi = r.ci if r.ci is not None else (None, None)
        lines.append(f"{r.term:<{_LABEL}}{num(r.estimate):>12}{num(r.se):>12}{num(lo):>12}{num(hi):>12}"
                     f"{num(r.p_value):>12}")
    lines.append(rule)
    lines.extend(notes)
    return "\n".join(lines)


def tidy_columns(rows: Sequence[Row]) -> dict[str, list[Any]]:
    """The estimates as tidy columns: term, estimate, se, ci_lower, ci_upper, p_value."""
    return {
        "term": [r.term for r in rows],
        "estimate": [float(r.estimate) for r in rows],
        "se": [None if r.se is None else float(r.se) for r in rows],
        "ci_lower": [None if r.ci is None else float(r.ci[0]) for r in rows],
        "ci_upper": [None if r.ci is None else float(r.ci[1]) for r in rows],
        "p_value": [None if r.p_value is None else float(r.p_value) for r in rows],
    }
