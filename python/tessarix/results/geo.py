"""Labelled results of the geo-experiment design tools."""

from __future__ import annotations

from dataclasses import dataclass, field
from functools import cached_property
from typing import Any, Optional

import numpy as np

from .. import _core
from ..frames import LongPanel, table
from ..frames.guards import listing, plain
from .base import num
from .calibration import Calibration, calibrate


def treated_total(y: np.ndarray, rows: Any) -> float:
    """The sum over the treated markets of each market's mean outcome over the history: the
    level an injected lift multiplies. Each market's outcomes are summed in time order and the
    markets in the given order, as the power analysis sums them, so that the incremental
    outcome of a lift here equals the analysis's ``mde_cumulative`` at the MDE to the bit."""
    total = 0.0
    for u in rows:
        total += float(np.cumsum(y[u])[-1]) / y.shape[1]
    return total


def incremental(total: float, lift: float, test_len: int) -> float:
    """The cumulative incremental outcome of `lift` over the treated markets and the test window
    (the power analysis's ``mde_cumulative`` when `lift` is its MDE)."""
    return total * lift * test_len


@dataclass
class PowerCurve:
    """Power of a geo test on given markets, from historical placebo windows with injected lift.

    Attributes
    ----------
    native : PowerResult
        The compiled module's own result.
    treated : list
        The treated market labels.
    method : str
        The estimator ("SC", "ASC", "SDID", "FP", "RSC" or "ENSEMBLE").
    mde : float or None
        Minimum detectable effect as a fraction of the treated markets' mean level (0.05 is
        5 %), interpolated on the curve at the target power; None when no lift reaches it.
    mde_abs_per_period : float or None
        The same in outcome units per period of the treated markets' mean.
    mde_cumulative : float or None
        The same summed over the treated markets and the test window's periods.
    critical_value : float
        Detection threshold on |ATT|: the 1 - alpha quantile of the placebo windows' |ATT|
        without lift (the null distribution every power is measured against).
    se_null : float
        Standard deviation of the no-lift placebo ATTs.
    n_windows : int
        Number of placebo windows.
    calibration : Calibration
        The threshold checked out of sample (later windows against a threshold from earlier
        ones; the curve's own rate at lift 0 is alpha by construction), a threshold for the
        real test that keeps its false-positive rate at alpha, and warnings when the windows are
        few or overlap heavily.
    cost_per_unit : float or None
        The cost of one incremental unit of the outcome (for example per incremental
        conversion), when the analysis was asked in money terms.
    investment : float or None
        The spend needed to detect the MDE: ``mde_cumulative * cost_per_unit``; None without a
        cost or an MDE.
    """

    native: Any
    market: LongPanel
    treated: list[int]
    test_len: int
    window_options: dict = field(default_factory=dict)
    target_power: float = 0.8
    alpha: float = 0.1
    cost_per_unit: Optional[float] = None

    @property
    def method(self) -> str:
        """The estimator's display name."""
        return self.native.method

    @property
    def mde(self) -> Optional[float]:
        """Minimum detectable effect, a fraction of the treated level (0.05 = 5 %); None if unreached."""
        return self.native.mde_pct

    @property
    def mde_abs_per_period(self) -> Optional[float]:
        """The MDE in outcome units per period of the treated markets' mean."""
        return self.native.mde_abs_per_period

    @property
    def mde_cumulative(self) -> Optional[float]:
        """The MDE summed over the treated markets and the test window."""
        return self.native.mde_cumulative

    @property
    def investment(self) -> Optional[float]:
        """The spend needed to detect the MDE (``mde_cumulative * cost_per_unit``); None without
        a cost per unit or an MDE."""
        if self.cost_per_unit is None or self.native.mde_cumulative is None:
            return None
        return self.native.mde_cumulative * self.cost_per_unit

    def investment_at(self, lifts: Any) -> np.ndarray:
        """The spend a test must buy for each lift: its cumulative incremental outcome over the
        treated markets and the test window, times the cost per unit (NaN without a cost)."""
        lifts = np.asarray(lifts, dtype=float)
        if self.cost_per_unit is None:
            return np.full(lifts.shape, np.nan)
        total = treated_total(self.market.y, self.treated)
        return np.asarray([incremental(total, lift, self.test_len) * self.cost_per_unit for lift in lifts.ravel()],
                          dtype=float).reshape(lifts.shape)

    @property
    def critical_value(self) -> float:
        """Detection threshold on |ATT| from the no-lift windows (the null)."""
        return self.native.crit

    @property
    def se_null(self) -> float:
        """Standard deviation of the no-lift placebo ATTs."""
        return self.native.se_null

    @property
    def n_windows(self) -> int:
        """Number of placebo windows."""
        return self.native.n_windows

    @property
    def curve(self) -> Any:
        """The power curve: injected lift (fraction), power (detection rate over the windows),
        and the mean and alpha/2, 1 - alpha/2 quantiles of the estimated lift (fractions); with a
        cost per unit, also the spend each lift takes (``investment``)."""
        n = self.native
        columns = {"lift": np.asarray(n.lifts, dtype=float), "power": np.asarray(n.power, dtype=float),
                   "est_mean": np.asarray(n.est_mean, dtype=float), "est_lo": np.asarray(n.est_lo, dtype=float),
                   "est_hi": np.asarray(n.est_hi, dtype=float)}
        if self.cost_per_unit is not None:
            columns["investment"] = self.investment_at(n.lifts)
        return table(columns, self.market.backend)

    @cached_property
    def _windows(self) -> Any:
        m = self.market
        return _core.geo_windows(m.y, self.treated, self.test_len, **self.window_options)

    @property
    def windows(self) -> Any:
        """The placebo windows: the first and last time of each test window (labels), and its
        no-lift estimate (the null ATT, in outcome units), oldest first."""
        m, w = self.market, self._windows
        starts = np.asarray(w["starts"], dtype=np.int64)
        return table({"start": m.times[starts], "end": m.times[starts + self.test_len - 1],
                      "null_att": np.asarray(w["null_att"], dtype=float)}, m.backend)

    @cached_property
    def calibration(self) -> Calibration:
        """The out-of-sample check of the threshold and a calibrated threshold for the real test."""
        w = self._windows
        return calibrate(w["starts"], w["null_att"], self.test_len, len(self.market.times), self.alpha)

    def to_frame(self) -> Any:
        """The power curve, one row per lift."""
        return self.curve

    def summary(self) -> str:
        """The power analysis as text."""
        m, n = self.market, self.native
        labels = [m.units[i] for i in self.treated]
        lines = [f"Geo power analysis ({n.method}) on {m.outcome_name}", "=" * 78,
                 f"treated markets ({m.unit_name}): {listing(labels)}; test length {self.test_len} periods; "
                 f"{n.n_windows} placebo windows",
                 f"detection threshold |ATT| > {num(n.crit)}    null ATT spread {num(n.se_null)}",
                 "-" * 78, f"{'lift':>10}{'power':>10}{'est. lift':>14}{'[lo':>12}{'hi]':>12}"]
        for lift, p, mean, lo, hi in zip(n.lifts, n.power, n.est_mean, n.est_lo, n.est_hi):
            lines.append(f"{lift:>10.4g}{p:>10.3f}{num(mean):>14}{num(lo):>12}{num(hi):>12}")
        lines.append("-" * 78)
        if n.mde_pct is None:
            lines.append("no lift reaches the target power: no minimum detectable effect")
        else:
            lines.append(f"minimum detectable effect {n.mde_pct * 100:.3g} % of the treated level "
                         f"({num(n.mde_abs_per_period)} per period, {num(n.mde_cumulative)} in total)")
        if self.cost_per_unit is not None:
            spend = "- (no MDE)" if self.investment is None else num(self.investment)
            lines.append(f"investment to detect the MDE: {spend} at {num(self.cost_per_unit)} per incremental unit")
        if n.ensemble_weights is not None:
            lines.append("ensemble weights: " + ", ".join(f"{w:.3f}" for w in n.ensemble_weights))
        lines.append("lifts and effects are fractions of the treated markets' mean level (0.05 = 5 %)")
        lines.extend(self._calibration_lines())
        return "\n".join(lines)

    def _calibration_lines(self) -> list[str]:
        c = self.calibration
        lines = ["-" * 78]
        if c.false_positive_rate is not None:
            lines.append(f"out of sample: the threshold flags {c.false_positive_rate:.1%} of {c.n_tested} later "
                         f"effect-free windows (alpha {c.alpha:.0%})")
        lines.append(f"calibrated threshold for the real test |ATT| > {num(c.critical_value)}")
        lines.extend("warning: " + w for w in c.warnings)
        return lines

    def plot(self, kind: Optional[str] = None, ax: Any = None) -> Any:
        """Draw on a matplotlib Axes (a new figure's when `ax` is None) and return it: "curve"
        (the default: power against lift, the target power and the MDE marked) or "history"
        (the treated markets against their synthetic counterpart over the whole history, the
        test window at the end shaded). Needs ``pip install "tessarix[plot]"``."""
        from ..plot import choose
        from ..plot import geo as g

        def history(res: "PowerCurve", ax: Any) -> Any:
            return g.history(res.market, res.treated, res.test_len, g.history_method(res.native), ax)

        return choose(kind, {"curve": g.power_curve, "history": history}, "curve")(self, ax)

    def __repr__(self) -> str:
        return f"<PowerCurve method={self.method!r} mde={num(self.mde)} n_windows={self.n_windows}>"


@dataclass
class Selection:
    """Candidate treatment-market sets, ranked best first.

    With a ``budget``, the candidates whose required investment fits it rank first (in score
    order), then the others (in score order), marked ``within_budget = False``: a candidate
    without an MDE has no investment that shows its effect and counts as over budget.

    Attributes
    ----------
    native : list of MarketCandidate
        The compiled module's own candidates, in its rank order (by score alone).
    best : list
        The market labels of the best-ranked candidate (empty when there is none).
    cost_per_unit, budget : float or None
        The cost of one incremental unit of the outcome and the spend cap, when given.
    """

    native: list
    market: LongPanel
    target_lift: float
    test_len: int = 1
    method: str = "sdid"
    cost_per_unit: Optional[float] = None
    budget: Optional[float] = None

    @cached_property
    def investments(self) -> list[Optional[float]]:
        """Each candidate's spend to detect its MDE, in the order of ``native`` (None without a
        cost per unit or an MDE)."""
        if self.cost_per_unit is None:
            return [None] * len(self.native)
        return [None if x.mde_pct is None else
                incremental(treated_total(self.market.y, x.treated), x.mde_pct, self.test_len) * self.cost_per_unit
                for x in self.native]

    @cached_property
    def within_budget(self) -> list[bool]:
        """Whether each candidate's investment fits the budget, in the order of ``native`` (all
        True without a budget)."""
        if self.budget is None:
            return [True] * len(self.native)
        return [v is not None and v <= self.budget for v in self.investments]

    @cached_property
    def order(self) -> list[int]:
        """Positions in ``native`` in the ranking: within the budget first, each part by score."""
        within = self.within_budget
        return [i for i in range(len(within)) if within[i]] + [i for i in range(len(within)) if not within[i]]

    @property
    def ranked(self) -> list:
        """The candidates (MarketCandidate) in the ranking, best first."""
        return [self.native[i] for i in self.order]

    @property
    def best(self) -> list[Any]:
        """The market labels of the best-ranked candidate; empty when there is none."""
        return [plain(self.market.units[i]) for i in self.ranked[0].treated] if self.native else []

    @property
    def candidates(self) -> Any:
        """Every candidate, best first: rank (1 = best), the markets (a list of labels), their
        count, power at the target lift, minimum detectable effect (fraction), the design
        diagnostics (holdout_pct: the treated share of volume as a fraction, relative pre-period fit
        error, stability and confidence scores) and the ranking score; with a cost per unit,
        the cumulative incremental outcome at the MDE (``mde_cumulative``) and the spend it
        takes (``investment``); with a budget, whether that spend fits it (``within_budget``)."""
        m, order = self.market, self.order
        c = [self.native[i] for i in order]
        columns = {"rank": np.arange(1, len(c) + 1, dtype=np.int64),
                   "markets": [[m.units[i] for i in x.treated] for x in c],
                   "n_markets": np.asarray([len(x.treated) for x in c], dtype=np.int64),
                   "power_at_target": [x.power_at_target for x in c], "mde": [x.mde_pct for x in c],
                   "holdout_pct": [x.holdout_pct for x in c], "pre_fit_rel": [x.pre_fit_rel for x in c],
                   "stability_score": [x.stability_score for x in c], "confidence": [x.confidence for x in c],
                   "score": [x.score for x in c]}
        floats = ["power_at_target", "mde", "holdout_pct", "pre_fit_rel", "stability_score", "confidence", "score"]
        if self.cost_per_unit is not None:
            spend = [self.investments[i] for i in order]
            columns["mde_cumulative"] = [None if v is None else v / self.cost_per_unit for v in spend]
            columns["investment"] = spend
            floats += ["mde_cumulative", "investment"]
        if self.budget is not None:
            columns["within_budget"] = [self.within_budget[i] for i in order]
        return table(columns, m.backend, floats=tuple(floats))

    def to_frame(self) -> Any:
        """The candidates table."""
        return self.candidates

    def summary(self, top: int = 10) -> str:
        """The `top` candidates as text."""
        m = self.market
        money = self.cost_per_unit is not None
        head = f"Geo market selection on {m.outcome_name}: {len(self.native)} candidate sets, " \
               f"target lift {self.target_lift * 100:.3g} %"
        lines = [head, "=" * 78]
        if money:
            cap = "" if self.budget is None else f"; budget {num(self.budget)} " \
                  f"({sum(self.within_budget)} of {len(self.native)} sets fit it)"
            lines.append(f"investment = cumulative incremental outcome at the MDE x {num(self.cost_per_unit)}{cap}")
        lines.append(f"{'rank':>4}  {'power':>6}{'mde':>10}{'conf.':>7}{'score':>8}"
                     + (f"{'investment':>13}" if money else "") + "  markets")
        for k, i in enumerate(self.order[:top]):
            x = self.native[i]
            mde = "-" if x.mde_pct is None else f"{x.mde_pct * 100:.3g}%"
            spend = f"{num(self.investments[i]):>13}" if money else ""
            over = "" if self.within_budget[i] else "  (over budget)"
            lines.append(f"{k + 1:>4}  {x.power_at_target:>6.3f}{mde:>10}{x.confidence:>7.0f}{x.score:>8.4f}{spend}  "
                         f"{listing([m.units[u] for u in x.treated], 8)}{over}")
        return "\n".join(lines)

    def plot(self, kind: Optional[str] = None, ax: Any = None, rank: int = 1, top: int = 15) -> Any:
        """Draw on a matplotlib Axes and return it: "candidates" (the default: the `top` sets'
        power and score, best on top, sets over the budget hatched) or "history" (the candidate
        of rank `rank` against its synthetic counterpart over the history). Needs
        ``pip install "tessarix[plot]"``."""
        from ..plot import choose
        from ..plot import geo as g

        def candidates(res: "Selection", ax: Any) -> Any:
            return g.candidates(res, ax, top=top)

        def history(res: "Selection", ax: Any) -> Any:
            chosen = list(res.ranked[rank - 1].treated)
            method = res.method.lower()
            return g.history(res.market, chosen, res.test_len, "fp" if method == "dsc" else method, ax)

        return choose(kind, {"candidates": candidates, "history": history}, "candidates")(self, ax)

    def __repr__(self) -> str:
        return f"<Selection candidates={len(self.native)} best={self.best!r}>"


@dataclass
class Diagnosis:
    """Diagnostics of a proposed design (treated markets and test length).

    Attributes
    ----------
    native : GeoDiagnostics
        The compiled module's own result: holdout_pct (the treated markets' share of total volume,
        a fraction: 0.12 is 12 %),
        pre_fit_rel (relative pre-period fit error of a synthetic control), improvement_vs_naive,
        seasonality_strength, stability_score, confidence (0 to 100) and warnings.
    """

    native: Any
    market: LongPanel
    treated: list[int]
    test_len: int = 1

    def plot(self, ax: Any = None) -> Any:
        """The treated markets against their synthetic control over the history, the test window
        at the end shaded. Needs ``pip install "tessarix[plot]"``."""
        from ..plot.geo import history

        return history(self.market, self.treated, self.test_len, "sc", ax)

    def __getattr__(self, name: str) -> Any:
        if name in ("holdout_pct", "pre_fit_rel", "improvement_vs_naive", "seasonality_strength",
                    "stability_score", "confidence", "warnings"):
            return getattr(self.native, name)
        raise AttributeError(name)

    def to_frame(self) -> Any:
        """One row: the treated markets (a list of labels) and every diagnostic."""
        n = self.native
        return table({"markets": [[self.market.units[i] for i in self.treated]],
                      "holdout_pct": [n.holdout_pct], "pre_fit_rel": [n.pre_fit_rel],
                      "improvement_vs_naive": [n.improvement_vs_naive],
                      "seasonality_strength": [n.seasonality_strength], "stability_score": [n.stability_score],
                      "confidence": [n.confidence], "warnings": [list(n.warnings)]}, self.market.backend)

    def summary(self) -> str:
        """The diagnostics and warnings as text."""
        n, m = self.native, self.market
        lines = [f"Geo design diagnostics on {m.outcome_name}", "=" * 78,
                 f"treated markets: {listing([m.units[i] for i in self.treated])}",
                 f"holdout share of volume {100 * n.holdout_pct:.3g} %    pre-period fit error {n.pre_fit_rel:.3g} "
                 f"(relative)    gain over naive {n.improvement_vs_naive:.3g}",
                 f"seasonality {n.seasonality_strength:.3g}    stability {n.stability_score:.3g}    "
                 f"confidence {n.confidence:.0f} / 100"]
        lines += [f"warning: {w}" for w in n.warnings]
        return "\n".join(lines)

    def __repr__(self) -> str:
        return f"<Diagnosis confidence={self.native.confidence:.0f} warnings={len(self.native.warnings)}>"

