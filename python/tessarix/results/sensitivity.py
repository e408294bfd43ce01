"""The labelled result of a sensitivity analysis of an event study to violations of parallel
trends (Rambachan & Roth's honest confidence sets)."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Optional

from ..frames import table
from .base import num

KIND_NAMES = {
    "relative_magnitude": "relative magnitudes, Delta^RM(Mbar)",
    "smoothness": "smoothness, Delta^SD(M)",
}
GRID_NAMES = {"relative_magnitude": "mbar", "smoothness": "m"}
_FLOATS = ("lower", "upper")


@dataclass(frozen=True)
class TargetSensitivity:
    """The robust intervals of one target over the grid.

    Attributes
    ----------
    name : str
        "first" (the first post period), "average" (of the post periods), "event k" (post-period
        event time k alone) or "custom".
    weights : tuple of float
        The target's weights l over the post periods.
    grid : tuple of float
        The restriction's bound (Mbar or M) at each interval.
    lower, upper : tuple of float
        The robust interval at each grid value (NaN where the set is empty).
    open : tuple of bool
        True where the set reaches an end of the theta grid (relative magnitudes) and may extend
        beyond it; always False for the fixed-length intervals.
    original : (float, float)
        The interval under exact parallel trends, l'betahat_post -/+ z sd.
    breakdown : float or None
        The smallest bound whose robust interval contains zero (see ``SensitivityResult``).
    """

    name: str
    weights: tuple[float, ...]
    grid: tuple[float, ...]
    lower: tuple[float, ...]
    upper: tuple[float, ...]
    open: tuple[bool, ...]
    original: tuple[float, float]
    breakdown: Optional[float]


@dataclass(frozen=True)
class SensitivityResult:
    """Robust confidence intervals for event-study targets under a family of restrictions on
    how far the post-period trends may depart from the pre-period ones.

    Attributes
    ----------
    kind : str
        "relative_magnitude" (post-period first differences of the trend at most Mbar times the
        largest pre-period one) or "smoothness" (second differences at most M).
    method : str
        "C-LF" or "Conditional" (relative magnitudes), "FLCI" (smoothness).
    level : float
        Confidence level of every interval.
    targets : tuple of TargetSensitivity
        One entry per target, in the order asked for.
    breakdown_rule : str
        How each target's breakdown value was found: "grid" (the smallest grid value whose
        interval contains zero) or "refined" (that crossing located between grid values to
        1e-6 relative by bisection, for the smoothness intervals, which are continuous in M).
        The breakdown value is the bound beyond which the data no longer exclude a zero effect;
        None when every interval on the grid excludes zero (the breakdown lies beyond the grid),
        the first grid value when the interval there already contains zero.
    backend : object
        The frame library the tables come back in.
    """

    kind: str
    method: str
    level: float
    targets: tuple[TargetSensitivity, ...]
    breakdown_rule: str
    backend: Any

    @property
    def grid_name(self) -> str:
        """The name of the restriction's bound: "mbar" or "m"."""
        return GRID_NAMES[self.kind]

    @property
    def breakdown(self) -> dict[str, Optional[float]]:
        """The breakdown value of each target, by target name."""
        return {t.name: t.breakdown for t in self.targets}

    @property
    def original(self) -> dict[str, tuple[float, float]]:
        """The interval under exact parallel trends of each target, by target name."""
        return {t.name: t.original for t in self.targets}

    def to_frame(self) -> Any:
        """One tidy row per target and grid value: target, the bound (mbar or m), lower, upper,
        open (the set reaches an end of the theta grid) and method."""
        cols: dict[str, list[Any]] = {"target": [], self.grid_name: [], "lower": [], "upper": [], "open": [],
                                      "method": []}
        for t in self.targets:
            for g, lo, hi, op in zip(t.grid, t.lower, t.upper, t.open):
                cols["target"].append(t.name)
                cols[self.grid_name].append(float(g))
                cols["lower"].append(None if math.isnan(lo) else float(lo))
                cols["upper"].append(None if math.isnan(hi) else float(hi))
                cols["open"].append(bool(op))
                cols["method"].append(self.method)
        return table(cols, self.backend, floats=(self.grid_name, *_FLOATS))

    def summary(self) -> str:
        """The robust intervals as text, with each target's original interval and breakdown value."""
        pct = f"{self.level * 100:g}%"
        lines = [f"Sensitivity to violations of parallel trends: {KIND_NAMES[self.kind]}", "=" * 78,
                 f"method {self.method}    level {pct}"]
        for t in self.targets:
            weights = ", ".join(num(w) for w in t.weights)
            bd = "beyond the grid" if t.breakdown is None else num(t.breakdown)
            lines += ["-" * 78, f"target {t.name} (weights {weights})",
                      f"  original interval [{num(t.original[0])}, {num(t.original[1])}]",
                      f"  {self.grid_name:>10}{'lower':>14}{'upper':>14}"]
            for g, lo, hi, op in zip(t.grid, t.lower, t.upper, t.open):
                lines.append(f"  {num(g):>10}{num(lo):>14}{num(hi):>14}{'  (open)' if op else ''}")
            lines.append(f"  breakdown value ({self.breakdown_rule}): {bd}")
        lines += ["-" * 78, "breakdown value: the smallest bound whose robust interval contains zero",
                  "(open) marks a set that reaches the end of the theta grid and may extend beyond it"]
        return "\n".join(lines)

    def __repr__(self) -> str:
        return (f"<SensitivityResult kind={self.kind!r} method={self.method!r} "
                f"targets={[t.name for t in self.targets]!r}>")
