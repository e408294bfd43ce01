"""Labelled results of the staggered-adoption estimators and of the Goodman-Bacon
decomposition."""

from __future__ import annotations

from dataclasses import dataclass
from functools import cached_property
from typing import Any, Optional

import numpy as np

from ..frames import table
from ..frames.guards import fmt
from .base import Row, normal_ci, normal_p, num, render, tidy_columns

METHOD_NAMES = {
    "cs": "Callaway-Sant'Anna",
    "sa": "Sun-Abraham interaction-weighted event study",
    "twfe": "Two-way fixed effects",
    "imputation": "Borusyak-Jaravel-Spiess imputation",
}
_FLOATS = ("estimate", "se", "ci_lower", "ci_upper", "band_lower", "band_upper", "p_value")


@dataclass
class Staggered:
    """What a staggered-adoption fit saw: the time labels (cohorts are positions among them),
    column names, the number of units per cohort position, and the caller's frame library."""

    times: np.ndarray
    unit_name: str
    time_name: str
    outcome_name: str
    n_units: int
    cohort_sizes: dict[int, int]
    backend: Any


@dataclass
class DidResult:
    """A staggered-adoption DiD fit with labels.

    Attributes
    ----------
    method : str
        "cs" (Callaway-Sant'Anna), "sa" (Sun-Abraham), "twfe" or "imputation"
        (Borusyak-Jaravel-Spiess).
    native : DiDResult
        The compiled module's own result, exactly as the array call returns it.
    att : float
        Overall ATT: for cs the cohort-size-weighted average of the post-treatment group-time
        effects; for sa the cohort-share-weighted post-period interaction coefficients; for
        twfe the coefficient on the treatment indicator; for imputation the equal-weight average
        of the imputed effects of every treated cell.
    se : float
        Its standard error (cs: influence functions; sa: unit-clustered sandwich without
        small-sample factor; twfe: unit-clustered with the G/(G-1) factor; imputation: the
        conservative unit-clustered variance of Borusyak, Jaravel & Spiess's Theorem 3).
    ci : (float, float)
        Normal interval att -/+ z se at `level`.
    p_value : float or None
        Two-sided normal p-value of att / se (None when se is 0).
    level : float
        Confidence level of every interval.
    anticipation : int
        Periods of anticipation (cs, imputation); the reference period is -1 - anticipation.
    event_vcov : ndarray or None
        Covariance matrix of the event-study estimates, rows and columns in the order of
        ``native.event_time`` (the reference period is not among them); None when the method
        gives none. Sensitivity analysis of the event study reads it.
    """

    method: str
    native: Any
    design: Staggered
    level: float
    anticipation: int = 0
    event_vcov: Optional[np.ndarray] = None

    @property
    def att(self) -> float:
        """The overall ATT, in outcome units."""
        return self.native.att

    @property
    def se(self) -> float:
        """Standard error of the overall ATT."""
        return self.native.se

    @property
    def ci(self) -> tuple[float, float]:
        """Normal interval att -/+ z se at `level`."""
        return normal_ci(self.att, self.se, self.level)

    @property
    def p_value(self) -> Optional[float]:
        """Two-sided normal p-value of att / se against no effect; None when se is 0."""
        return normal_p(self.att, self.se)

    @property
    def reference_period(self) -> Optional[int]:
        """The event time every estimate is measured against (not estimated itself)."""
        return None if self.method == "twfe" else -1 - self.anticipation

    @cached_property
    def _event_rows(self) -> list[tuple[Any, ...]]:
        n = self.native
        bands = bool(n.event_lo)
        rows: list[tuple[Any, ...]] = []
        for k, e in enumerate(n.event_time):
            est, se = n.event_att[k], n.event_se[k]
            lo, hi = normal_ci(est, se, self.level)
            rows.append((e, est, se, lo, hi, n.event_lo[k] if bands else None, n.event_hi[k] if bands else None,
                         False))
        ref = self.reference_period
        if ref is not None and ref not in n.event_time:
            rows.append((ref, 0.0, None, None, None, None, None, True))
        rows.sort(key=lambda r: r[0])
        return rows

    @property
    def event_study(self) -> Any:
        """The event study: event time (periods since adoption), estimate, se, pointwise
        normal interval (ci_lower, ci_upper) at `level`, the simultaneous sup-t band
        (band_lower, band_upper; cs with ``bands=True``, else null) and `reference`, true on the
        reference period's row, whose estimate is 0 by construction and has no standard error.
        None for twfe, which estimates one coefficient."""
        if self.method == "twfe":
            return None
        names = ["event_time", "estimate", "se", "ci_lower", "ci_upper", "band_lower", "band_upper", "reference"]
        data: dict[str, Any] = {name: [r[k] for r in self._event_rows] for k, name in enumerate(names)}
        data["event_time"] = np.asarray(data["event_time"], dtype=np.int64)
        data["reference"] = np.asarray(data["reference"], dtype=bool)
        return table(data, self.design.backend, floats=_FLOATS)

    @property
    def band_crit(self) -> Optional[float]:
        """The sup-t critical value of the simultaneous band (cs with ``bands=True``)."""
        return self.native.band_crit

    @property
    def groups(self) -> Any:
        """cs and imputation: the effect of each cohort (labelled by its first treated time)
        averaged over its post-treatment periods (imputation: over its imputed cells), with se
        and normal interval; None otherwise."""
        if self.method not in ("cs", "imputation"):
            return None
        n, d = self.native, self.design
        bounds = [normal_ci(a, s, self.level) for a, s in zip(n.group_att, n.group_se)]
        lo, hi = [b[0] for b in bounds], [b[1] for b in bounds]
        return table({"cohort": d.times[np.asarray(n.group_cohort, dtype=np.int64)],
                      "estimate": np.asarray(n.group_att, dtype=float), "se": np.asarray(n.group_se, dtype=float),
                      "ci_lower": np.asarray(lo, dtype=float), "ci_upper": np.asarray(hi, dtype=float)},
                     d.backend, floats=_FLOATS)

    def _rows(self) -> list[Row]:
        rows = [Row("ATT", self.att, self.se, self.ci, self.p_value)]
        n, d = self.native, self.design
        for e, est, se, lo, hi, *_ in (self._event_rows if self.method != "twfe" else []):
            if se is not None:
                rows.append(Row(f"event_time={e}", est, se, (lo, hi), normal_p(est, se)))
        for g, a, s in zip(n.group_cohort, n.group_att, n.group_se):
            rows.append(Row(f"cohort={fmt(d.times[g])}", a, s, normal_ci(a, s, self.level), normal_p(a, s)))
        return rows

    def to_frame(self) -> Any:
        """One tidy row per estimate: the overall ATT, each estimated event time, each cohort
        (term, estimate, se, ci_lower, ci_upper, p_value; normal intervals and p-values)."""
        return table(tidy_columns(self._rows()), self.design.backend, floats=_FLOATS)

    def summary(self) -> str:
        """A readable text table of the fit."""
        d = self.design
        cohorts = ", ".join(f"{fmt(d.times[g])} ({n})" for g, n in sorted(d.cohort_sizes.items()))
        never = d.n_units - sum(d.cohort_sizes.values())
        facts = [f"outcome: {d.outcome_name}    units ({d.unit_name}): {d.n_units}, never treated {never}",
                 f"periods ({d.time_name}): {len(d.times)}, {fmt(d.times[0])} to {fmt(d.times[-1])}",
                 f"cohorts (first treated {d.time_name}, units): {cohorts or 'none'}"]
        notes = ["intervals and p-values are normal approximations from the standard errors"]
        if self.reference_period is not None:
            notes.append(f"event times count periods since adoption; reference period {self.reference_period}")
        if self.band_crit is not None:
            notes.append(f"sup-t simultaneous band critical value {num(self.band_crit)} (event_study table)")
        return render(METHOD_NAMES[self.method], facts, self._rows(), self.level, notes)

    def plot(self, kind: Optional[str] = None, ax: Any = None) -> Any:
        """Draw on a matplotlib Axes (a new figure's when `ax` is None) and return it: "event_study"
        (the default; pointwise intervals, the sup-t band when computed, the reference period
        marked) or "groups" (cs: the cohort effects). Needs ``pip install "tessarix[plot]"``."""
        from ..plot import choose
        from ..plot.did import event_study, groups

        return choose(kind, {"event_study": event_study, "groups": groups}, "event_study")(self, ax)

    def __repr__(self) -> str:
        return f"<DidResult method={self.method!r} att={num(self.att)} se={num(self.se)}>"


@dataclass
class BaconResult:
    """The Goodman-Bacon decomposition of the TWFE estimate, with cohort labels.

    Attributes
    ----------
    native : BaconResult
        The compiled module's own result.
    twfe : float
        The TWFE coefficient, equal to the weighted sum of the comparisons' estimates.
    forbidden_weight : float
        Total weight of the "later vs earlier" comparisons, which use already-treated units as
        controls and bias TWFE when effects change over time.
    """

    native: Any
    design: Staggered

    @property
    def twfe(self) -> float:
        """The TWFE coefficient: the weighted sum of the comparisons' estimates."""
        return self.native.twfe

    @property
    def forbidden_weight(self) -> float:
        """Total weight of the comparisons that use already-treated units as controls."""
        return self.native.forbidden_weight

    @property
    def components(self) -> Any:
        """Every 2x2 comparison: kind ("treated_vs_untreated", "earlier_vs_later",
        "later_vs_earlier_forbidden"), the treated cohort and the comparison cohort (labelled
        by their first treated time; null for the never-treated group), weight and estimate."""
        d = self.design
        comps = self.native.components
        treated = [d.times[c.treated_cohort] for c in comps]
        comparison = [None if c.comparison_cohort is None else d.times[c.comparison_cohort] for c in comps]
        return table({"kind": [c.kind for c in comps], "treated": treated, "comparison": comparison,
                      "weight": np.asarray([c.weight for c in comps], dtype=float),
                      "estimate": np.asarray([c.estimate for c in comps], dtype=float)}, d.backend)

    def to_frame(self) -> Any:
        """The components table."""
        return self.components

    def summary(self) -> str:
        """The decomposition as text: weight and average estimate by kind of comparison."""
        rows = []
        for kind in ("treated_vs_untreated", "earlier_vs_later", "later_vs_earlier_forbidden"):
            comps = [c for c in self.native.components if c.kind == kind]
            w = sum(c.weight for c in comps)
            if comps and w > 0:
                rows.append(f"  {kind:<28}{len(comps):>6}{num(w):>14}{num(sum(c.weight * c.estimate for c in comps) / w):>14}")
        lines = ["Goodman-Bacon decomposition of the TWFE estimate", "=" * 78,
                 f"TWFE estimate {num(self.twfe)}    weight on forbidden comparisons {num(self.forbidden_weight)}",
                 "-" * 78, f"  {'comparison':<28}{'count':>6}{'weight':>14}{'avg. estimate':>14}", *rows, "-" * 78]
        return "\n".join(lines)

    def plot(self, ax: Any = None) -> Any:
        """Each comparison's estimate against its weight by kind, the TWFE estimate as a line.
        Needs ``pip install "tessarix[plot]"``."""
        from ..plot.did import bacon

        return bacon(self, ax)

    def __repr__(self) -> str:
        return f"<BaconResult twfe={num(self.twfe)} forbidden_weight={num(self.forbidden_weight)}>"
