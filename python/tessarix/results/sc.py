"""The labelled result of a synthetic-control-family fit."""

from __future__ import annotations

from dataclasses import dataclass, field
from functools import cached_property
from types import SimpleNamespace
from typing import Any, Callable, Optional

import numpy as np

from .. import _core
from ..frames import table
from ..frames.guards import fmt, listing
from .base import Row, num, render, tidy_columns
from .student import t_ci, t_p

# Display names of the methods.
METHOD_NAMES = {
    "sc": "Synthetic control",
    "asc": "Augmented synthetic control (ridge)",
    "sdid": "Synthetic difference-in-differences",
    "fp": "Demeaned synthetic control (Ferman-Pinto)",
    "rsc": "Robust synthetic control",
    "mcnnm": "Matrix completion (nuclear norm)",
    "cpasc": "CP-ASC (conformal, pooled augmented SC)",
}

# Methods whose placebo test ranks |ATT| rather than the post/pre RMSPE ratio.
_ABS_ATT_STATISTIC = {"sdid", "fp"}

# How many of the largest weights a summary lists.
_TOP_WEIGHTS = 5


@dataclass
class Design:
    """The panel a fit saw, with its labels: `y` is units x periods, `treated` the treated rows,
    `t0` the first post-period column."""

    y: np.ndarray
    units: np.ndarray
    times: np.ndarray
    treated: list[int]
    t0: int
    unit_name: str
    time_name: str
    outcome_name: str
    backend: Any

    @property
    def treated_labels(self) -> list[Any]:
        """The treated units' labels, in row order."""
        return [self.units[i] for i in self.treated]


@dataclass
class SynthResult:
    """A synthetic-control-family fit with labels.

    Attributes
    ----------
    method : str
        The estimator: "sc", "asc", "sdid", "fp", "rsc", "mcnnm" or "cpasc".
    native : SCResult or CPASCResult
        The compiled module's own result, exactly as the array call returns it. With placebo
        inference that is its own placebo test (each donor alone as pseudo-treated, a
        percentile interval), computed on first access; the headline numbers here come from
        the set placebo test instead (see ``tessarix.synth``).
    att : float
        Average treatment effect on the treated over the post-periods, in outcome units (for
        several treated units: the effect on their average path; CP-ASC pools per-unit effects).
    se : float or None
        Standard error: the spread of the placebo ATTs (placebo inference; None with fewer
        than two placebos) or the jackknife standard error (SDID with
        ``inference="jackknife"``); None without inference.
    ci : (float, float) or None
        Interval at `level`: with placebo inference the rank interval of the placebo ATTs
        (covering at least `level` when units are exchangeable; an end is infinite when there
        are too few placebos to bound it); with the jackknife ATT -/+ t se, t with (treated
        units - 1) degrees of freedom.
    p_value : float or None
        Jackknife: the two-sided t p-value of att / se. Placebo p-value (rank of the real statistic among the placebos': the post/pre RMSPE
        ratio for sc, asc and rsc, |ATT| for sdid and fp) or CP-ASC's conformal
        block-permutation p-value. For sc, asc and rsc the p-value and the interval come from
        different statistics (ratio ranks vs. placebo ATTs), so they can disagree.
    level : float
        Confidence level of `ci`.
    inference : str or None
        "placebo", "jackknife", "conformal" or None.
    placebo_test : dict or None
        With placebo inference, the set placebo test as ``tessarix._core.placebo_<method>``
        returns it (placebo units, statistics, ATTs and gap paths).
    conformal_test : dict or None
        With conformal inference (every method but mcnnm and cpasc), the test as
        ``tessarix._core.conformal_<method>`` returns it (p-value of the null path, residuals
        under it, and each post-period's interval).
    predictor_names : list of str or None
        A fit matched on predictors: their labels, in the order of ``v``; None otherwise.
    """

    method: str
    fit: Any
    design: Design
    inference: Optional[str]
    level: float
    path_options: dict = field(default_factory=dict)
    placebo_test: Optional[dict] = None
    native_call: Optional[Callable[[], Any]] = None
    conformal_test: Optional[dict] = None
    predictor_names: Optional[list] = None

    @cached_property
    def native(self) -> Any:
        """The compiled module's own result of the array call."""
        return self.native_call() if self.native_call is not None else self.fit

    # -- headline numbers ----------------------------------------------------------------

    @property
    def att(self) -> float:
        """Average treatment effect on the treated over the post-periods, in outcome units."""
        return self.fit.att

    @property
    def se(self) -> Optional[float]:
        """Placebo ATTs' standard deviation (placebo; None below two placebos) or the jackknife
        standard error; else None."""
        if self.placebo_test is not None:
            return float(self.placebo_test["se"]) if self.n_placebos >= 2 else None
        return getattr(self.fit, "se", None)

    @property
    def ci(self) -> Optional[tuple[float, float]]:
        """Interval at `level`: the rank interval of the placebo ATTs around the ATT (placebo;
        infinite ends where too few placebos bound it), or the jackknife's ATT -/+ a t quantile
        with (treated units - 1) degrees of freedom times its standard error; None without
        inference."""
        if self.placebo_test is not None:
            return float(self.placebo_test["ci_lower"]), float(self.placebo_test["ci_upper"])
        if self.inference == "jackknife":
            return t_ci(self.att, self.fit.se, self.level, self.jackknife_df)
        lo, hi = getattr(self.fit, "ci_lower", None), getattr(self.fit, "ci_upper", None)
        return None if lo is None or hi is None else (float(lo), float(hi))

    @property
    def p_value(self) -> Optional[float]:
        """Placebo p-value: the real statistic's rank among the placebos' (post/pre RMSPE ratio
        for sc, asc, rsc; |ATT| for sdid, fp); CP-ASC's conformal p-value; else None."""
        if self.placebo_test is not None:
            return float(self.placebo_test["p_value"])
        if self.conformal_test is not None:
            return float(self.conformal_test["p_value"])
        if self.inference == "jackknife":
            return t_p(self.att, self.fit.se, self.jackknife_df)
        return self.fit.p_value

    @property
    def jackknife_df(self) -> int:
        """Degrees of freedom of the jackknife's t reference: the treated units less one. Its
        variance is dominated by leaving out each treated unit in turn, so with few treated
        units it is as noisy as a variance from that many values, and the normal reference
        undercovers (0.90 at 95 % with ten treated units in the validation suite)."""
        return len(self.design.treated) - 1

    @property
    def n_placebos(self) -> int:
        """How many placebos the placebo test kept (0 without placebo inference)."""
        return 0 if self.placebo_test is None else len(self.placebo_test["placebo_atts"])

    @property
    def v(self) -> Any:
        """A fit matched on predictors: each predictor's importance in V (summing to 1), a
        frame of predictor and importance; None otherwise."""
        if self.predictor_names is None:
            return None
        return table({"predictor": np.asarray(self.predictor_names, dtype=object), "importance": np.asarray(self.fit.v)},
                     self.design.backend)

    @property
    def pre_loss(self) -> Optional[float]:
        """A fit matched on predictors: the mean squared outcome gap over the loss periods (the
        quantity V is chosen to minimise); None otherwise."""
        return float(self.fit.loss) if self.predictor_names is not None else None

    @property
    def pre_rmspe(self) -> Optional[float]:
        """Root mean squared pre-period gap of the fit (SDID and matrix completion: its spread
        around the mean); None for CP-ASC."""
        return getattr(self.fit, "pre_rmspe", None)

    @property
    def post_rmspe(self) -> Optional[float]:
        """Root mean square of the post-period gaps (SDID and matrix completion: their spread
        around the ATT); None for CP-ASC."""
        return getattr(self.fit, "post_rmspe", None)

    # -- labelled tables -------------------------------------------------------------------

    @cached_property
    def _paths(self) -> Any:
        d = self.design
        if self.method == "cpasc":
            return _cpasc_paths(self.fit, d)
        if self.predictor_names is not None:
            return {"treated": self.fit.treated, "synthetic": self.fit.synthetic, "gap": self.fit.gap}
        return getattr(_core, f"paths_{self.method}")(d.y, d.treated, d.t0, **self.path_options)

    def _placebo(self) -> dict:
        if self.placebo_test is None:
            raise ValueError("placebo results need a fit with inference='placebo'")
        return self.placebo_test

    @cached_property
    def _placebo_paths(self) -> Any:
        t = self._placebo()
        return {"gap": self._paths["gap"], "placebo_units": t["placebo_units"], "placebo_gaps": t["placebo_gaps"]}

    @property
    def weights(self) -> Any:
        """Donor weights: a frame with the unit label and its weight (robust SC's weights are
        unconstrained, the others lie on a simplex). CP-ASC: each treated unit's pooling weight
        with its own effect and pre-period fit error. Matrix completion has no unit weights
        (None)."""
        d = self.design
        if self.method == "mcnnm":
            return None
        if self.method == "cpasc":
            n = self.fit
            return table({d.unit_name: d.units[np.asarray(n.unit_ids, dtype=np.int64)],
                          "weight": np.asarray(n.unit_weight), "att": np.asarray(n.unit_att),
                          "mspe": np.asarray(n.unit_mspe)}, d.backend)
        donors = np.asarray(self.fit.donor_ids, dtype=np.int64)
        return table({d.unit_name: d.units[donors], "weight": np.asarray(self.fit.weights)}, d.backend)

    @property
    def time_weights(self) -> Any:
        """SDID only: the time weights of the pre-periods (time label, weight); None otherwise."""
        if self.method != "sdid":
            return None
        d = self.design
        return table({d.time_name: d.times[: d.t0], "weight": self._paths["time_weights"]}, d.backend)

    @property
    def intercept(self) -> Optional[float]:
        """SDID only: the level shift between the treated path and the weighted donors, the
        time-weighted pre-period difference. Its counterfactual is the unit-weighted donor path
        plus this intercept, and ``att`` = mean over the post-periods of (treated - weighted
        donors) - intercept."""
        return float(self._paths["intercept"]) if self.method == "sdid" else None

    @property
    def paths(self) -> Any:
        """Every period: time label, the treated path (the mean of the treated units), the
        synthetic path and their gap, and whether the period is post-treatment. After the start
        the synthetic path is the method's counterfactual (SDID's with its intercept, the
        augmented one with its ridge correction); before it, the same construction applied to
        the pre-periods, whose gaps measure the fit. CP-ASC: the pooling-weighted treated path,
        its pooled residual as the gap."""
        d, p = self.design, self._paths
        post = np.arange(len(d.times)) >= d.t0
        columns = {d.time_name: d.times, "treated": p["treated"], "synthetic": p["synthetic"], "gap": p["gap"],
                   "post": post}
        if self.conformal_test is not None:
            for end in ("ci_lower", "ci_upper"):
                columns[end] = np.concatenate([np.full(d.t0, np.nan), self._period_bounds[end]])
        return table(columns, d.backend)

    @property
    def _period_bounds(self) -> dict:
        """Each post-period's conformal interval ends (NaN where none was computed)."""
        t, n_post = self.conformal_test or {}, len(self.design.times) - self.design.t0
        return {end: np.asarray(t[end]) if len(t.get(end, ())) == n_post else np.full(n_post, np.nan)
                for end in ("ci_lower", "ci_upper")}

    @property
    def placebos(self) -> Any:
        """With placebo inference: the gap path of every placebo refit, long. With one treated
        unit each placebo treats one donor: unit label, time label, gap. With several, each
        treats a set of donors: placebo number, time label, gap (``placebo_sets`` names the
        sets). None otherwise."""
        if self.inference != "placebo":
            return None
        d, p = self.design, self._placebo_paths
        gaps = p["placebo_gaps"]
        n_times = len(d.times)
        if len(d.treated) == 1:
            key = {d.unit_name: np.repeat(d.units[p["placebo_units"][:, 0]], n_times)}
        else:
            key = {"placebo": np.repeat(np.arange(len(gaps), dtype=np.int64), n_times)}
        return table({**key, d.time_name: np.tile(d.times, len(gaps)), "gap": gaps.reshape(-1)}, d.backend)

    @property
    def placebo_sets(self) -> Any:
        """With placebo inference: which donors each placebo treats, long (placebo number, unit
        label), with its ATT and statistic. None otherwise."""
        if self.inference != "placebo":
            return None
        d, t = self.design, self._placebo()
        units = np.asarray(t["placebo_units"])
        m, k = units.shape
        return table({"placebo": np.repeat(np.arange(m, dtype=np.int64), k), d.unit_name: d.units[units.reshape(-1)],
                      "att": np.repeat(t["placebo_atts"], k), "statistic": np.repeat(t["placebo_stats"], k)},
                     d.backend)

    # -- text and tidy output ----------------------------------------------------------------

    def _row(self) -> Row:
        return Row("ATT", self.att, self.se, self.ci, self.p_value)

    def _rows(self) -> list[Row]:
        """The ATT and, with conformal inference, each post-period's effect with its interval."""
        rows = [self._row()]
        if self.conformal_test is not None:
            d, b = self.design, self._period_bounds
            for k, effect in enumerate(self.conformal_test["att_path"]):
                rows.append(Row(f"{d.time_name}={fmt(d.times[d.t0 + k])}", effect, None,
                                (b["ci_lower"][k], b["ci_upper"][k])))
        return rows

    def to_frame(self) -> Any:
        """One tidy row per estimate: the ATT and, with conformal inference, each post-period's
        effect with its pointwise interval (term, estimate, se, ci_lower, ci_upper, p_value)."""
        return table(tidy_columns(self._rows()), self.design.backend,
                     floats=("estimate", "se", "ci_lower", "ci_upper", "p_value"))

    def summary(self) -> str:
        """A readable text table of the fit."""
        d = self.design
        n_units, n_times = len(d.units), len(d.times)
        facts = [
            f"outcome: {d.outcome_name}    units ({d.unit_name}): {n_units}, treated {listing(d.treated_labels)}",
            f"periods ({d.time_name}): {n_times}, {fmt(d.times[0])} to {fmt(d.times[-1])}; "
            f"treatment from {fmt(d.times[d.t0])}: {d.t0} pre, {n_times - d.t0} post",
        ]
        if self.pre_rmspe is not None:
            facts.append(f"pre-period RMSPE {num(self.pre_rmspe)}    post-period RMSPE {num(self.post_rmspe)}")
        title = f"{METHOD_NAMES[self.method]} ({self.method})"
        if self.predictor_names is not None:
            title = f"{METHOD_NAMES[self.method]} on predictors ({self.method})"
            facts.append(f"pre-period outcome MSPE (loss periods) {num(self.pre_loss)}")
            facts.append("predictor importances V: " + ", ".join(
                f"{name} {w:.3f}" for name, w in zip(self.predictor_names, self.fit.v)))
        return render(title, facts, self._rows(), self.level,
                      self._notes())

    def _notes(self) -> list[str]:
        notes = []
        if self.inference == "placebo" and self.n_placebos > 0:
            notes.extend(self._placebo_notes())
        elif self.inference == "placebo":
            notes.append("placebo inference found no usable placebo (it needs a donor outside each placebo set)")
        elif self.inference == "jackknife":
            notes.append(f"leave-one-out jackknife standard error; interval and p-value from t with "
                         f"{self.jackknife_df} degrees of freedom (treated units - 1)")
        elif self.inference == "conformal" and self.conformal_test is not None:
            notes.append("conformal p-value of the null effect path (refit on every period, residuals ranked "
                         "over permutations of time); per-period intervals invert each period's test")
        elif self.inference == "conformal":
            notes.append("conformal block-permutation p-value; no standard error or interval")
        weights = self._top_weights()
        if weights:
            notes.append("largest weights: " + weights)
        return notes

    def _placebo_notes(self) -> list[str]:
        t, k = self._placebo(), len(self.design.treated)
        stat = "|ATT|" if self.method in _ABS_ATT_STATISTIC else "post/pre RMSPE ratio"
        kind = ("every donor in turn" if k == 1 else f"every set of {k} donors") if t["exhaustive"] else \
            f"{self.n_placebos} random sets of {k} donors"
        notes = [f"in-space placebo test over {kind} ({self.n_placebos} placebos): the p-value ranks the {stat};",
                 "the interval inverts the ranks of the placebo ATTs"]
        lo, hi = self.ci or (0.0, 0.0)
        if np.isinf(lo) or np.isinf(hi):
            notes.append(f"too few placebos to bound the interval at {self.level:g}: an end is open")
        return notes

    def _top_weights(self) -> str:
        if self.method in ("mcnnm", "cpasc"):
            return ""
        d = self.design
        w = np.asarray(self.fit.weights)
        order = np.argsort(-np.abs(w), kind="stable")[:_TOP_WEIGHTS]
        ids = self.fit.donor_ids
        return ", ".join(f"{fmt(d.units[ids[k]])} {w[k]:.3f}" for k in order)

    def plot(self, kind: Optional[str] = None, ax: Any = None, **options: Any) -> Any:
        """Draw the fit on a matplotlib Axes (a new figure's when `ax` is None) and return it.

        `kind`: "paths" (treated and synthetic, start marked; the default), "gap", "placebos"
        (every placebo's gap under the treated one; ``max_pre_mspe_ratio=5`` leaves out
        placebos fitting worse than five times the treated unit before the start) or
        "weights" (sorted bars). Needs matplotlib (``pip install "tessarix[plot]"``).
        """
        from ..plot import choose
        from ..plot.sc import KINDS

        return choose(kind, KINDS, "paths")(self, ax, **options)

    def __repr__(self) -> str:
        return (f"<SynthResult method={self.method!r} att={num(self.att)} se={num(self.se)} "
                f"p_value={num(self.p_value)}>")


def predictor_fit(out: dict) -> Any:
    """The fit record of ``tessarix._core.fit_sc_predictors``'s dict, with the attributes the
    other fits have (no inference of its own: ``p_value`` None)."""
    fields = {k: v for k, v in out.items() if k != "placebo_test"}
    return SimpleNamespace(**fields, p_value=None, se=None)


def _cpasc_paths(native: Any, d: Design) -> dict:
    """CP-ASC's paths: the pooling-weighted treated path and its pooled residual."""
    ids = np.asarray(native.unit_ids, dtype=np.int64)
    w = np.asarray(native.unit_weight)
    treated = w @ d.y[ids]
    gap = np.asarray(native.pooled_residual)
    return {"treated": treated, "synthetic": treated - gap, "gap": gap}
