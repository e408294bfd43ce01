"""``tessarix.synth``: the synthetic-control family from a long data frame."""

from __future__ import annotations

import functools
import inspect
from typing import Any, Optional

import numpy as np

from .. import _core, _tessarix
from ..progress import reporter
from ..frames import DataError, long_panel
from ..frames.guards import fmt, listlike
from ..results.sc import Design, SynthResult

# Each method: its array entry point and the inference choices it accepts.
_METHODS: dict[str, tuple[str, tuple[Optional[str], ...]]] = {
    "sc": ("fit_sc", (None, "placebo")),
    "asc": ("fit_asc", (None, "placebo")),
    "sdid": ("fit_sdid", (None, "placebo", "jackknife")),
    "fp": ("fit_fp", (None, "placebo")),
    "rsc": ("fit_rsc", (None, "placebo")),
    "mcnnm": ("fit_mcnnm", (None,)),
    "cpasc": ("fit_cpasc", (None, "conformal")),
}
# Arguments of the array calls that the front end sets itself.
_OWN = {"y", "treated", "treat_time", "placebo", "inference", "progress"}
# Pre-periods a fit needs to be judged at all.
MIN_PRE_PERIODS = 2
_DEFAULT_LEVEL = 0.95


def synth(data: Any, *, unit: str, time: str, outcome: str, treated: Any, start: Any,
          method: str = "sc", inference: Optional[str] = None, progress: Any = False,
          **options: Any) -> SynthResult:
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
        (sdid, at least two treated units), "conformal" (cpasc, whose p-value is always
        conformal), or None.
    progress : bool or callable
        With placebo or jackknife inference, show a progress bar of the refits on stderr
        (True), or report ``(done, total)`` to a callable; the numbers are the same.
    **options
        The method's own options, as its array function takes them (for example ``ridge``,
        ``penalty``, ``min_weight``, ``max_weight`` and ``level`` for "sc"; ``zeta_scale`` for
        "sdid"; ``lambda_``, ``max_iter``, ``tol``, ``seed``, ``max_rank`` for "mcnnm").

    Returns
    -------
    SynthResult
        The estimate with labelled weights, paths and placebo paths; ``native`` is the array
        call's own result, number for number.
    """
    if method not in _METHODS:
        raise ValueError(f"method={method!r} is not one of {', '.join(_METHODS)}")
    fn_name, kinds = _METHODS[method]
    fn = getattr(_tessarix, fn_name)
    if inference == "none":
        inference = None
    if inference not in kinds:
        allowed = ", ".join(repr(k) for k in kinds)
        raise ValueError(f"inference={inference!r} is not available for method={method!r}; use one of {allowed}")
    _check_options(method, fn, options)

    panel = long_panel(data, unit=unit, time=time, outcome=outcome)
    rows = _treated_rows(panel, treated)
    t0 = panel.time_index(start, "start")
    if t0 < MIN_PRE_PERIODS:
        raise DataError(f"start={fmt(start)} leaves {t0} pre-period(s) before it; a synthetic control "
                        f"needs at least {MIN_PRE_PERIODS} (the first time is {fmt(panel.times[0])})")
    if len(rows) == len(panel.units):
        raise DataError("every unit is treated; synthetic control needs never-treated units as donors")

    kwargs = dict(options)
    if inference == "placebo" and method != "sdid":
        kwargs["placebo"] = True
    elif method == "sdid":
        kwargs["inference"] = inference or "none"
    y = np.ascontiguousarray(panel.y, dtype=np.float64)
    report = reporter(progress, f"{method} {inference or ''} refits") if inference in ("placebo", "jackknife") else None
    if report is not None:  # the same fit, its refits counted as they finish
        native = getattr(_core, fn_name)(y, rows, t0, **kwargs, progress=report)
        getattr(report, "close", lambda: None)()
    else:
        native = fn(y, rows, t0, **kwargs)
    level = float(options.get("level", _DEFAULT_LEVEL))
    path_options = {k: v for k, v in options.items() if k != "level"}
    design = Design(y=np.array(y), units=panel.units, times=panel.times, treated=rows, t0=t0,
                    unit_name=unit, time_name=time, outcome_name=outcome, backend=panel.backend)
    return SynthResult(method=method, native=native, design=design, inference=inference, level=level,
                       path_options=path_options)


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


def _treated_rows(panel: Any, treated: Any) -> list[int]:
    labels = list(treated) if listlike(treated) else [treated]
    if not labels:
        raise DataError("treated lists no unit; name at least one treated unit")
    rows = [panel.unit_index(label, "treated") for label in labels]
    if len(set(rows)) != len(rows):
        raise DataError(f"treated names a unit more than once: {', '.join(fmt(x) for x in labels)}")
    return sorted(rows)
