"""``tessarix.synth``: the synthetic-control family from a long data frame."""

from __future__ import annotations

import functools
import inspect
from typing import Any, Optional, Sequence

import numpy as np

from .. import _core, _tessarix
from ..progress import reporter
from ..frames import DataError, long_panel
from ..frames.guards import fmt, listlike
from ..results.sc import Design, SynthResult, predictor_fit
from .predictors import importances, period_positions, predictor_table

# Each method: its array entry point and the inference choices it accepts.
_METHODS: dict[str, tuple[str, tuple[Optional[str], ...]]] = {
    "sc": ("fit_sc", (None, "placebo", "conformal")),
    "asc": ("fit_asc", (None, "placebo", "conformal")),
    "sdid": ("fit_sdid", (None, "placebo", "jackknife", "conformal")),
    "fp": ("fit_fp", (None, "placebo", "conformal")),
    "rsc": ("fit_rsc", (None, "placebo", "conformal")),
    "mcnnm": ("fit_mcnnm", (None,)),
    "cpasc": ("fit_cpasc", (None, "conformal")),
}
# Arguments of the array calls that the front end sets itself.
_OWN = {"y", "treated", "treat_time", "placebo", "inference", "progress", "seed"}
# Pre-periods a fit needs to be judged at all.
MIN_PRE_PERIODS = 2
_DEFAULT_LEVEL = 0.95
# Placebo sets at most: enough for the rank interval's bounds at 95 % to rest on 25 placebo
# ATTs beyond each, and a Monte-Carlo p-value within about 0.01 of the exhaustive one.
DEFAULT_DRAWS = 1000
# Random permutations of the conformal test's i.i.d. scheme: with the identity, a thousand, so
# that p-values fall on a grid of 0.001.
DEFAULT_PERMUTATIONS = 999


def synth(data: Any, *, unit: str, time: str, outcome: str, treated: Any, start: Any,
          method: str = "sc", inference: Optional[str] = None, draws: int = DEFAULT_DRAWS,
          seed: int = 0, progress: Any = False, null: Any = None, scheme: str = "block",
          permutations: int = DEFAULT_PERMUTATIONS, predictors: Optional[Sequence[Any]] = None,
          lags: Optional[Sequence[Any]] = None, v: Optional[Sequence[float]] = None,
          loss_periods: Any = None, **options: Any) -> SynthResult:
    """Fit a synthetic-control-family estimator to a long data frame.

    Parameters
    ----------
    data : data frame
        One row per unit and period (pandas, polars, pyarrow, or any frame narwhals reads).
        The panel must be balanced: every unit observed in every period, once.
    unit, time, outcome : str
        Column names: the unit label, the time value (integers, dates or datetimes; the
        periods are the distinct values in order) and the numeric outcome.
    treated : label or list of labels
        The treated unit(s), as values of the unit column. Several treated units are fitted as
        their average path (CP-ASC fits each and pools them).
    start : time value
        The first treated period, a value of the time column (not a position). At least two
        periods must precede it.
    method : str
        "sc" (classic), "asc" (augmented, ridge), "sdid" (synthetic DiD), "fp" (demeaned),
        "rsc" (robust), "mcnnm" (matrix completion) or "cpasc".
    inference : str or None
        "placebo" (in-space placebo refits, every method but mcnnm and cpasc), "jackknife"
        (sdid, at least two treated units), "conformal" (every method but mcnnm; for cpasc
        its own p-value), or None. Conformal inference (Chernozhukov, Wuthrich and Zhu)
        refits the method on every period with the hypothesised effects `null` taken out of
        the treated path and ranks the post-periods' residuals against permutations of the
        time index; its p-value tests `null`, and each post-period's effect gets the interval
        of the values that period's own test does not reject at `level` (in ``paths`` and
        ``to_frame()``). Each placebo treats as many donors at once as there are treated
        units (the treated units left out), so that its estimate has the null spread of the
        real one: every such set of donors when there are at most `draws` (with one treated
        unit: each donor in turn), otherwise `draws` sets drawn at random. The p-value ranks
        the real fit's statistic among the placebos'; the interval inverts the ranks of the
        placebo ATTs, so that it covers at least `level` when units are exchangeable, and is
        open-ended (infinite) when there are too few placebos for that (fewer than 39 at 95 %).
    draws : int
        The most placebo sets: with more possible sets than this, this many are drawn.
    seed : int
        Seed of the drawn placebo sets (and of matrix completion's randomized SVD); results
        are the same for a seed whatever the number of threads.
    null : float or sequence of float
        Conformal inference: the effect path under test, one value per post-period or one for
        all (default 0: no effect).
    scheme : str
        Conformal inference: "block" (the cyclic shifts of time, exact; the default) or "iid"
        (random permutations of time, `permutations` of them under `seed`).
    permutations : int
        Conformal inference with ``scheme="iid"``: random permutations drawn.
    progress : bool or callable
        With placebo, jackknife or conformal inference, show a progress bar of the refits on stderr
        (True), or report ``(done, total)`` to a callable; the numbers are the same.
    predictors, lags, v, loss_periods
        "sc" only: match the treated unit on predictors rather than on its pre-period path
        (Abadie, Diamond & Hainmueller 2010). Each of `predictors` is a column of `data` (its
        mean over the pre-periods) or a tuple ``(column, periods)`` or ``(column, periods,
        aggregation)``: periods a list of pre-period time values or a ``(first, last)`` tuple
        of the range between them, aggregation "mean" (default), "sum" or "last". Each of
        `lags` is a pre-period time value whose outcome becomes a predictor. Predictors are
        divided by their standard deviation across units; one without spread is dropped with
        a warning. `v` gives the importance of each predictor and lag (in that order; only
        ratios matter); without it V is chosen to minimise the mean squared outcome gap over
        `loss_periods` (pre-period time values or a ``(first, last)`` tuple; default every
        pre-period). Placebo refits match each pseudo-treated donor on its own predictors.
    **options
        The method's own options, as its array function takes them (for example ``ridge``,
        ``penalty``, ``min_weight``, ``max_weight`` and ``level`` for "sc"; ``zeta_scale`` for
        "sdid"; ``lambda_``, ``max_iter``, ``tol``, ``max_rank`` for "mcnnm").

    Returns
    -------
    SynthResult
        The estimate with labelled weights, paths and placebo paths; ``native`` is the array
        call's own result, number for number (with placebo inference, the compiled module's
        own placebo test, computed on first access: one donor per placebo and a percentile
        interval).
    """
    if method not in _METHODS:
        raise ValueError(f"method={method!r} is not one of {', '.join(_METHODS)}")
    conformal_options = null is not None or scheme != "block" or permutations != DEFAULT_PERMUTATIONS
    if predictors is not None or lags is not None or v is not None or loss_periods is not None:
        if inference != "conformal" and conformal_options:
            raise ValueError("null, scheme and permutations belong to inference='conformal'")
        return _synth_predictors(data, unit=unit, time=time, outcome=outcome, treated=treated, start=start,
                                 method=method, inference=inference, draws=draws, seed=seed, progress=progress,
                                 predictors=predictors or [], lags=lags or [], v=v, loss_periods=loss_periods,
                                 conformal=dict(null=null, scheme=scheme, permutations=permutations),
                                 options=options)
    fn_name, kinds = _METHODS[method]
    fn = getattr(_tessarix, fn_name)
    if inference == "none":
        inference = None
    if inference not in kinds:
        allowed = ", ".join(repr(k) for k in kinds)
        raise ValueError(f"inference={inference!r} is not available for method={method!r}; use one of {allowed}")
    _check_options(method, fn, options)
    if (inference != "conformal" or method == "cpasc") and conformal_options:
        raise ValueError("null, scheme and permutations belong to inference='conformal' (every method but "
                         "mcnnm and cpasc)")

    panel, rows, t0 = _design(data, unit, time, outcome, treated, start)

    level = float(options.get("level", _DEFAULT_LEVEL))
    fit_options = {k: v for k, v in options.items() if k != "level"}
    if method == "mcnnm":
        fit_options["seed"] = seed
    y = np.ascontiguousarray(panel.y, dtype=np.float64)
    design = Design(y=np.array(y), units=panel.units, times=panel.times, treated=rows, t0=t0,
                    unit_name=unit, time_name=time, outcome_name=outcome, backend=panel.backend)
    placebo_test, native_call, conformal_test = None, None, None
    if inference == "conformal" and method != "cpasc":
        null_path = _null_path(null, len(panel.times) - t0)
        report = reporter(progress, f"{method} conformal inference")
        conformal_test = getattr(_core, f"conformal_{method}")(
            y, rows, t0, **fit_options, null=null_path, scheme=scheme, permutations=permutations, seed=seed,
            level=level, progress=report)
        getattr(report, "close", lambda: None)()
        fit = fn(y, rows, t0, **dict(options, **({"inference": "none"} if method == "sdid" else {})))
    elif inference == "placebo":
        args = dict(options, **({"inference": "placebo"} if method == "sdid" else {"placebo": True}))
        native_call = functools.partial(fn, y, rows, t0, **args)
        report = reporter(progress, f"{method} placebo refits")
        placebo_test = getattr(_core, f"placebo_{method}")(y, rows, t0, **fit_options, draws=draws, seed=seed,
                                                          level=level, progress=report)
        getattr(report, "close", lambda: None)()
        fit = fn(y, rows, t0, **dict(options, **({"inference": "none"} if method == "sdid" else {})))
    elif inference == "jackknife":
        report = reporter(progress, f"{method} jackknife refits")
        fit = _core.fit_sdid(y, rows, t0, **options, inference="jackknife", progress=report)
        getattr(report, "close", lambda: None)()
    else:
        kwargs = dict(options, seed=seed) if method == "mcnnm" else dict(options)
        if method == "sdid":
            kwargs["inference"] = "none"
        fit = fn(y, rows, t0, **kwargs)
    return SynthResult(method=method, fit=fit, design=design, inference=inference, level=level,
                       path_options=fit_options, placebo_test=placebo_test, native_call=native_call,
                       conformal_test=conformal_test)


def _synth_predictors(data: Any, *, unit: str, time: str, outcome: str, treated: Any, start: Any, method: str,
                      inference: Optional[str], draws: int, seed: int, progress: Any, predictors: Sequence[Any],
                      lags: Sequence[Any], v: Optional[Sequence[float]], loss_periods: Any, conformal: dict,
                      options: dict) -> SynthResult:
    """The synthetic control matched on predictors (see `synth`)."""
    if method != "sc":
        raise ValueError(f"predictors, lags, v and loss_periods belong to method='sc'; got method={method!r}")
    if inference == "none":
        inference = None
    if inference not in (None, "placebo", "conformal"):
        raise ValueError(f"inference={inference!r} is not available for a predictor fit; use None, 'placebo' "
                         "or 'conformal'")
    unknown = [k for k in options if k != "level"]
    if unknown:
        raise TypeError(f"synth(method='sc') with predictors got an unexpected option {unknown[0]!r}; "
                        "its only option is level")
    panel, rows, t0 = _design(data, unit, time, outcome, treated, start)
    table = predictor_table(data, panel, unit, time, t0, predictors, lags, rows)
    level = float(options.get("level", _DEFAULT_LEVEL))
    y = np.ascontiguousarray(panel.y, dtype=np.float64)
    report = reporter(progress, "sc placebo refits") if inference == "placebo" else None
    out = _core.fit_sc_predictors(y, rows, t0, table.x, v=importances(v, table),
                                  loss_periods=period_positions(panel, t0, loss_periods),
                                  placebo=inference == "placebo", draws=draws, seed=seed, level=level,
                                  progress=report)
    getattr(report, "close", lambda: None)()
    conformal_test = None
    if inference == "conformal":
        null_path = _null_path(conformal["null"], len(panel.times) - t0)
        report = reporter(progress, "sc conformal inference")
        conformal_test = _core.conformal_sc_predictors(
            y, rows, t0, table.x, v=importances(v, table), loss_periods=period_positions(panel, t0, loss_periods),
            null=null_path, scheme=conformal["scheme"], permutations=conformal["permutations"], seed=seed,
            level=level, progress=report)
        getattr(report, "close", lambda: None)()
    design = Design(y=np.array(y), units=panel.units, times=panel.times, treated=rows, t0=t0,
                    unit_name=unit, time_name=time, outcome_name=outcome, backend=panel.backend)
    return SynthResult(method="sc", fit=predictor_fit(out), design=design, inference=inference, level=level,
                       placebo_test=out.get("placebo_test"), predictor_names=table.names,
                       conformal_test=conformal_test)


@functools.lru_cache(maxsize=None)
def _options_of(fn: Any) -> tuple[str, ...]:
    """The options an array function takes beyond those the front end sets."""
    return tuple(p for p in inspect.signature(fn).parameters if p not in _OWN)


def _check_options(method: str, fn: Any, options: dict) -> None:
    accepted = _options_of(fn)
    for name in options:
        if name not in accepted:
            raise TypeError(f"synth(method={method!r}) got an unexpected option {name!r}; "
                            f"its options are {', '.join(accepted)}")


def _null_path(null: Any, n_post: int) -> Any:
    """The hypothesised effect of every post-period: a scalar (None: 0) repeated, or the path given."""
    return [0.0 if null is None else float(null)] * n_post if np.ndim(null) == 0 else null


def _design(data: Any, unit: str, time: str, outcome: str, treated: Any, start: Any) -> tuple[Any, list[int], int]:
    """The panel, the treated rows and the treatment time's position, with the checks every
    synthetic control needs: at least MIN_PRE_PERIODS before it and at least one donor."""
    panel = long_panel(data, unit=unit, time=time, outcome=outcome)
    rows = _treated_rows(panel, treated)
    t0 = panel.time_index(start, "start")
    if t0 < MIN_PRE_PERIODS:
        raise DataError(f"start={fmt(start)} leaves {t0} pre-period(s) before it; a synthetic control "
                        f"needs at least {MIN_PRE_PERIODS} (the first time is {fmt(panel.times[0])})")
    if len(rows) == len(panel.units):
        raise DataError("every unit is treated; synthetic control needs never-treated units as donors")
    return panel, rows, t0


def _treated_rows(panel: Any, treated: Any) -> list[int]:
    labels = list(treated) if listlike(treated) else [treated]
    if not labels:
        raise DataError("treated lists no unit; name at least one treated unit")
    rows = [panel.unit_index(label, "treated") for label in labels]
    if len(set(rows)) != len(rows):
        raise DataError(f"treated names a unit more than once: {', '.join(fmt(x) for x in labels)}")
    return sorted(rows)
