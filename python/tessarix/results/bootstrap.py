"""The labelled result of a bootstrap of a series mean."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Optional

from ..frames import table
from .base import Row, num, render, tidy_columns

KIND_NAMES = {
    "block": "Circular block bootstrap of the mean",
    "stationary": "Stationary bootstrap of the mean",
}


@dataclass(frozen=True)
class BootstrapResult:
    """A block or stationary bootstrap of the mean of one series.

    Attributes
    ----------
    estimate : float
        The series mean, summed left to right in index order and divided by n, exactly as the
        compiled bootstrap computes the mean its replicates are compared with.
    se : float
        Standard error of the mean: the spread of the replicate means rescaled by the square
        root of `variance_ratio`, which corrects the block bootstrap's bias; NaN with one
        replicate.
    ci : (float, float)
        Interval at `level`: estimate -/+ the Student t quantile with `df` degrees of freedom
        (rounded down) times `se`.
    level : float
        Confidence level of `ci`.
    kind : str
        "block" (circular block bootstrap) or "stationary".
    block_len : int
        The (mean) block length the bootstrap used; a circular block never exceeds the series.
    block_len_optimal : float or None
        The data-chosen real-valued optimum when the block length was left to the data (the
        bootstrap used its ceiling, at least 1); None when it was given.
    n_reps, seed : int
        Replicates and seed, as given.
    n_obs : int
        Length of the series.
    se_bootstrap : float
        The bootstrap's own standard error: the standard deviation of the replicate means
        (n_reps - 1 divisor), as ``tessarix.bootstrap_mean`` returns it.
    ci_percentile : (float, float)
        The bootstrap's own percentile interval of the replicate means, as
        ``tessarix.bootstrap_mean`` returns it.
    variance_ratio : float
        The series' long-run variance over the variance the bootstrap can see (dependence
        beyond its blocks and the centring on the sample mean), both from flat-top
        autocovariances; 1 for a series too short or flat to estimate it.
    df : float
        Degrees of freedom of the interval's t quantile: 2 n / (D b), D = 4/3 for circular
        blocks and 2 for the stationary bootstrap.
    """

    estimate: float
    se: float
    ci: tuple[float, float]
    level: float
    kind: str
    block_len: int
    block_len_optimal: Optional[float]
    n_reps: int
    seed: int
    n_obs: int
    se_bootstrap: float
    ci_percentile: tuple[float, float]
    variance_ratio: float
    df: float
    backend: Any = field(default=None, compare=False)  # the frame library to_frame answers in

    def _row(self) -> Row:
        return Row("mean", self.estimate, self.se, self.ci, None)

    def to_frame(self) -> Any:
        """One tidy row: term ("mean"), estimate, se, ci_lower, ci_upper, p_value (None: the
        bootstrap gives no test), in the series' own frame library (a dict of NumPy arrays for a
        plain sequence or array)."""
        return table(tidy_columns([self._row()]), self.backend,
                     floats=("estimate", "se", "ci_lower", "ci_upper", "p_value"))

    def summary(self) -> str:
        """A readable text table of the bootstrap."""
        unit = "mean block length" if self.kind == "stationary" else "block length"
        chosen = (f"chosen from the data ({num(self.block_len_optimal)}, rounded up)"
                  if self.block_len_optimal is not None else "given")
        facts = [f"observations: {self.n_obs}    replicates: {self.n_reps}    seed: {self.seed}",
                 f"{unit}: {self.block_len}, {chosen}"]
        notes = [f"standard error corrected for the block bootstrap's bias (variance ratio {self.variance_ratio:.3f}),",
                 f"t interval with {self.df:.1f} degrees of freedom; no p-value. The bootstrap's own:",
                 f"se {num(self.se_bootstrap)}, percentile interval [{num(self.ci_percentile[0])}, "
                 f"{num(self.ci_percentile[1])}]"]
        return render(KIND_NAMES[self.kind], facts, [self._row()], self.level, notes)

    def __repr__(self) -> str:
        return (f"<BootstrapResult kind={self.kind!r} estimate={num(self.estimate)} se={num(self.se)} "
                f"block_len={self.block_len}>")
