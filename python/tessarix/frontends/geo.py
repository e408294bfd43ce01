"""``tessarix.geo``: geo-experiment design from a long sales frame and market labels."""

from __future__ import annotations

import math
import warnings
from typing import Any, Optional, Sequence

import numpy as np

from .. import _core, _tessarix
from ..progress import reporter
from ..frames import DataError, LongPanel, long_panel
from ..results.geo import Diagnosis, PowerCurve, Selection
from ..frames.guards import listlike
from .synth import MIN_PRE_PERIODS

# Options the window listing shares with the power analyses.
_WINDOW_OPTIONS = ("min_pre", "lookback", "min_weight", "max_weight")


def power(data: Any, *, unit: str, time: str, outcome: str, treated: Any, test_len: int,
          lifts: Sequence[float], method: str = "sdid", cost_per_unit: Optional[float] = None,
          predictors: Optional[Sequence[Any]] = None, progress: Any = False, **options: Any) -> PowerCurve:
    """How large a lift a test on the given markets can detect.

    Slides a test window of `test_len` periods over the history, treats the `treated` markets
    as if they were treated in it, injects each lift and re-estimates: power is the share of
    windows whose estimate clears the threshold set by the no-lift estimates.

    Parameters
    ----------
    data : data frame
        Long sales data, one row per market and period (pandas, polars, pyarrow, ...).
    unit, time, outcome : str
        Column names: the market label, the time value and the numeric sales.
    treated : label or list of labels
        The markets the test would treat.
    test_len : int
        Length of the test window in periods.
    lifts : list of float
        Relative lifts to inject, as fractions: 0.05 is +5 %. Values above 1 draw a warning.
    method : str
        The estimator: "sdid" (default), "sc", "asc", "fp" (or "dsc") or "rsc".
    cost_per_unit : float, optional
        What one incremental unit of the outcome costs (for example the cost per incremental
        conversion): the result then reports the investment needed to detect the MDE
        (``mde_cumulative * cost_per_unit``) and the spend of each lift on the curve.
    predictors : list, optional
        With method "sc": match the markets on these predictors (market attributes such as
        population or income) rather than on their outcome paths, as
        ``synth(method="sc", predictors=...)`` does, V chosen anew on each window's
        pre-periods. Each is a column name (its mean per market over the whole history) or a
        (column, periods[, aggregation]) tuple as ``synth`` takes it; they stay fixed over the
        windows, so outcome lags, which would move with each window, are not among them.
    progress : bool or callable
        Show a progress bar of the placebo windows on stderr (True), or report
        ``(done, total)`` to a callable; the numbers are the same.
    **options
        ``alpha`` (test size, 0.1), ``target_power`` (0.8), ``min_pre``, ``lookback``,
        ``min_weight``, ``max_weight``, as :func:`tessarix.geo_power` takes them.

    Returns
    -------
    PowerCurve
        The power curve, the minimum detectable effect and the placebo windows, labelled.
    """
    _warn_percent("lifts", lifts)
    cost = _positive("cost_per_unit", cost_per_unit)
    market, rows = _market(data, unit, time, outcome, treated, test_len)
    window = {k: options[k] for k in _WINDOW_OPTIONS if k in options}
    if predictors is not None:
        window["predictors"] = _market_predictors(data, market, unit, time, predictors, rows, method)
        options = dict(options, predictors=window["predictors"])
    native = _run("geo_power", progress, "power windows", market.y, rows, test_len, lifts, method=method, **options)
    return PowerCurve(native=native, market=market, treated=rows, test_len=test_len,
                      window_options={"method": method, **window},
                      target_power=float(options.get("target_power", 0.8)), alpha=float(options.get("alpha", 0.1)),
                      cost_per_unit=cost)


def power_ensemble(data: Any, *, unit: str, time: str, outcome: str, treated: Any, test_len: int,
                   lifts: Sequence[float], members: Optional[Sequence[str]] = None,
                   weights: Optional[Sequence[float]] = None, cost_per_unit: Optional[float] = None,
                   progress: Any = False, **options: Any) -> PowerCurve:
    """Power of a weighted blend of estimators (default SC, ASC and SDID).

    As :func:`power`; `members` names the estimators and `weights` gives one non-negative
    weight per member, or None for inverse-variance weights from each member's no-lift spread.
    `cost_per_unit` and `progress` as for :func:`power`.
    """
    _warn_percent("lifts", lifts)
    cost = _positive("cost_per_unit", cost_per_unit)
    market, rows = _market(data, unit, time, outcome, treated, test_len)
    native = _run("geo_power_ensemble", progress, "power windows", market.y, rows, test_len, lifts,
                  members=members, weights=weights, **options)
    window = {k: options[k] for k in _WINDOW_OPTIONS if k in options}
    return PowerCurve(native=native, market=market, treated=rows, test_len=test_len,
                      window_options={"members": list(members) if members is not None else ["sc", "asc", "sdid"],
                                      "weights": list(weights) if weights is not None else None, **window},
                      target_power=float(options.get("target_power", 0.8)), alpha=float(options.get("alpha", 0.1)),
                      cost_per_unit=cost)


def select(data: Any, *, unit: str, time: str, outcome: str, max_treated: int, test_len: int,
           target_lift: float, eligible: Any = None, include: Any = None,
           cost_per_unit: Optional[float] = None, budget: Optional[float] = None, progress: Any = False,
           client: Any = None, **options: Any) -> Selection:
    """Search and rank candidate sets of treatment markets.

    Parameters
    ----------
    data, unit, time, outcome
        As for :func:`power`.
    max_treated : int
        Largest number of treated markets in a candidate.
    test_len : int
        Length of the test window in periods.
    target_lift : float
        The lift the test should detect, as a fraction (0.05 is +5 %).
    eligible : list of labels, optional
        Markets that may be treated (default: every market).
    include : list of labels, optional
        Markets forced into every candidate.
    cost_per_unit : float, optional
        What one incremental unit of the outcome costs: each candidate then reports the
        investment needed to detect its MDE (its cumulative incremental outcome at the MDE
        times this cost).
    budget : float, optional
        A cap on that investment (needs `cost_per_unit`): the candidates within it rank first,
        the others follow, marked ``within_budget = False`` (kept, not dropped).
    progress : bool or callable
        Show a progress bar of the candidates evaluated on stderr (True), or report
        ``(done, total)`` to a callable.
    client : distributed.Client, optional
        Spread the candidates' evaluation over a Dask cluster (``pip install
        "tessarix[dask]"``); the ranking and every number equal the local call's.
    **options
        ``method``, ``alpha``, ``target_power``, ``min_pre``, ``n_candidates``, ``seed``,
        ``exact_size``, ``lookback``, ``min_weight``, ``max_weight``, as
        :func:`tessarix.geo_select` takes them.

    Returns
    -------
    Selection
        Every evaluated candidate, best first, with markets as labels.
    """
    _warn_percent("target_lift", [target_lift])
    cost, cap = _positive("cost_per_unit", cost_per_unit), _positive("budget", budget)
    if cap is not None and cost is None:
        raise ValueError("budget caps the investment a test needs, which takes cost_per_unit: give both")
    market = _market_of(long_panel(data, unit=unit, time=time, outcome=outcome))
    _check_pre_periods(market, test_len)
    pool = range(len(market.units)) if eligible is None else _rows(market, eligible, "eligible")
    forced = [] if include is None else _rows(market, include, "include")
    args = (market.y, list(pool), max_treated, test_len, target_lift)
    if client is not None:
        from ..distributed.select import select_on

        native = select_on(client, args, dict(options, include=forced), reporter(progress, "candidates"))
    else:
        native = _run("geo_select", progress, "candidates", *args, include=forced, **options)
    return Selection(native=native, market=market, target_lift=target_lift, test_len=test_len,
                     method=str(options.get("method", "sdid")), cost_per_unit=cost, budget=cap)


def diagnose(data: Any, *, unit: str, time: str, outcome: str, treated: Any, test_len: int) -> Diagnosis:
    """Diagnostics of a proposed design: the treated markets' share of volume, how well a
    synthetic control fits them before the test (and its gain over a naive level-shifted
    average), volatility and seasonality, a 0-100 confidence and plain warnings."""
    market, rows = _market(data, unit, time, outcome, treated, test_len)
    return Diagnosis(native=_tessarix.geo_diagnostics(market.y, rows, test_len), market=market, treated=rows,
                     test_len=test_len)


def _run(name: str, progress: Any, label: str, *args: Any, **kwargs: Any) -> Any:
    """The array function `name`, or with progress (or predictors, which only it takes) its
    counterpart that reports it."""
    report = reporter(progress, label)
    if report is None and "predictors" not in kwargs:
        return getattr(_tessarix, name)(*args, **kwargs)
    result = getattr(_core, name)(*args, **kwargs, progress=report)
    getattr(report, "close", lambda: None)()
    return result


def _market(data: Any, unit: str, time: str, outcome: str, treated: Any,
            test_len: int) -> tuple[LongPanel, list[int]]:
    panel = _market_of(long_panel(data, unit=unit, time=time, outcome=outcome))
    _check_pre_periods(panel, test_len)
    return panel, _rows(panel, treated, "treated")


def _check_pre_periods(panel: Any, test_len: Any) -> None:
    """A test window must leave at least two earlier periods to fit on."""
    if isinstance(test_len, (int, np.integer)) and not isinstance(test_len, bool):
        left = len(panel.times) - int(test_len)
        if 0 <= left < MIN_PRE_PERIODS:
            raise DataError(f"test_len={int(test_len)} leaves {left} pre-period(s) of the {len(panel.times)} "
                            f"in {panel.time_name!r}; a design needs at least {MIN_PRE_PERIODS} before the test")


def _market_of(panel: LongPanel) -> LongPanel:
    """The panel with its sales as one contiguous float64 block, as the native calls read it."""
    panel.y = np.ascontiguousarray(panel.y, dtype=np.float64)
    return panel


def _rows(panel: Any, labels: Any, arg: str) -> list[int]:
    labels = list(labels) if listlike(labels) else [labels]
    rows = [panel.unit_index(x, arg) for x in labels]
    if len(set(rows)) != len(rows):
        raise DataError(f"{arg} names a market more than once")
    return sorted(rows)


def _market_predictors(data: Any, market: LongPanel, unit: str, time: str, predictors: Sequence[Any],
                       rows: list[int], method: str) -> np.ndarray:
    """The markets' predictor matrix (one row per market), each predictor over the whole
    history unless its periods are given."""
    from .predictors import predictor_table

    if method != "sc":
        raise ValueError(f"predictors are matched by the synthetic control: use method='sc'; got method={method!r}")
    table = predictor_table(data, market, unit, time, len(market.times), predictors, [], rows)
    return np.ascontiguousarray(table.x, dtype=np.float64)


def _positive(arg: str, value: Any) -> Optional[float]:
    """A money amount: None, or a finite number above zero."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{arg} must be a number; got {type(value).__name__}")
    v = float(value)
    if not (math.isfinite(v) and v > 0.0):
        raise ValueError(f"{arg} must be finite and > 0; got {v:g}")
    return v


def _warn_percent(arg: str, values: Sequence[float]) -> None:
    big = [v for v in values if isinstance(v, (int, float, np.number)) and v > 1]
    if big:
        warnings.warn(f"{arg} are fractions of the baseline: {big[0]:g} means +{big[0] * 100:g} %; "
                      f"for +{big[0]:g} % pass {big[0] / 100:g}", UserWarning, stacklevel=3)
