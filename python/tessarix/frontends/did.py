"""``tessarix.did`` and ``tessarix.bacon``: staggered-adoption DiD from a long data frame."""

from __future__ import annotations

import re
import warnings
from typing import Any, Optional, Sequence

import numpy as np

from .. import _core, _tessarix
from ..progress import reporter
from ..frames import DataError, long_panel
from ..frames.guards import fmt
from ..frames.panel import as_frame, column, numeric_values
from ..results.did import BaconResult, DidResult, Staggered
from .cohorts import from_cohort_column, from_treatment, unit_column

_METHODS = ("cs", "sa", "twfe", "imputation")
# Options of fit_callaway_py that the front end passes through.
_CS_OPTIONS = ("control", "anticipation", "bands", "n_reps", "seed", "level", "est_method")
_DEFAULT_LEVEL = 0.95
# Options of the imputation estimator (level only labels the intervals).
_IMPUTATION_OPTIONS = ("anticipation", "leads", "level")


def did(data: Any, *, unit: str, time: str, outcome: str, cohort: Optional[str] = None,
        treatment: Optional[str] = None, method: str = "cs", covariates: Optional[Sequence[str]] = None,
        progress: Any = False, **options: Any) -> DidResult:
    """Staggered-adoption difference-in-differences from a long data frame.

    Parameters
    ----------
    data : data frame
        One row per unit and period (pandas, polars, pyarrow, or any frame narwhals reads),
        balanced: every unit in every period, once.
    unit, time, outcome : str
        Column names: unit label, time value (integers, dates or datetimes; the periods are the
        distinct values in order) and the numeric outcome.
    cohort : str, optional
        A column holding each unit's first treated time, as a time value (for example the year
        2004), the same on every row of the unit. 0, NaN, null or a value after the last period
        mean never treated, as in R's did and diff-diff. Give `cohort` or `treatment`.
    treatment : str, optional
        A 0/1 column, 1 from the unit's first treated period on; the cohorts follow from it. A
        treatment that switches back off is an error.
    method : str
        "cs" (Callaway-Sant'Anna, default), "sa" (Sun-Abraham), "twfe" or "imputation"
        (Borusyak-Jaravel-Spiess).
    covariates : list of str, optional
        cs only: unit-level covariate columns (constant within each unit), which the cells adjust
        for as ``est_method`` says.
    progress : bool or callable
        cs: show a progress bar of the cells and the band bootstrap on stderr (True), or report
        ``(done, total)`` to a callable; the numbers are the same.
    **options
        cs: ``control`` ("never" or "notyet"), ``anticipation``, ``bands`` (sup-t bands),
        ``n_reps``, ``seed``, ``level``, ``est_method``; imputation: ``anticipation``, ``leads``
        (how many pre-trend coefficients, nearest the reference period; default all) and
        ``level``; sa and twfe: ``level`` (of the normal intervals).

        ``est_method`` (cs) is how each ATT(g, t) uses the covariates: "dr" (doubly robust,
        Sant'Anna & Zhao 2020; the default with covariates, as in R's did), "ipw" (normalised
        inverse probability weighting, Abadie 2005) or "reg" (outcome regression; the default
        without covariates, where all three coincide). "dr" and "ipw" fit a logit propensity
        score of each cohort against each cell's controls on an intercept and the covariates;
        a covariate constant over a cohort and its controls is left out of those cells with a
        UserWarning, and covariates that separate a cohort from its controls (a propensity of 0
        or 1) or are collinear raise ValueError naming the cohort and period.

    Returns
    -------
    DidResult
        Overall ATT with se, interval and p-value, the event study with its reference period,
        the cohort effects (cs); ``native`` is the array call's own result.
    """
    if method not in _METHODS:
        raise ValueError(f"method={method!r} is not one of {', '.join(_METHODS)}")
    allowed = _CS_OPTIONS if method == "cs" else _IMPUTATION_OPTIONS if method == "imputation" else ("level",)
    for name in options:
        if name not in allowed:
            raise TypeError(f"did(method={method!r}) got an unexpected option {name!r}; its options are "
                            f"{', '.join(allowed)}")
    if covariates is not None and method != "cs":
        raise ValueError(f"covariates are only used by method='cs'; method={method!r} takes none")
    covariates = [covariates] if isinstance(covariates, str) else list(covariates or [])
    panel, cohorts, design = _staggered(data, unit, time, outcome, cohort, treatment, covariates)
    y = panel.y
    level = float(options.get("level", _DEFAULT_LEVEL))
    if method == "cs":
        x = (np.column_stack([panel.per_unit[c] for c in covariates]).astype(np.float64)
             if covariates else None)
        report = reporter(progress, "Callaway-Sant'Anna")
        est_method = options.pop("est_method", "dr" if covariates else "reg")
        native, vcov = _callaway_core(y, cohorts, x, est_method, report, options, panel.times, covariates)
        getattr(report, "close", lambda: None)()
    elif method == "imputation":
        return _imputation(y, cohorts, design, level, options)
    elif method == "sa":
        native, vcov = _core.fit_sunab_py(y, cohorts)
    else:
        native, vcov = _tessarix.fit_twfe_py(y, cohorts), None
    anticipation = int(options.get("anticipation", 0))
    return DidResult(method=method, native=native, design=design, level=level, anticipation=anticipation,
                     event_vcov=vcov)


# The positions in the array call's messages about one cell.
_CELL = re.compile(r"cohort (\d+) at period (\d+)")


def _callaway_core(y, cohorts, x, est_method, report, options, times, names):
    """tessarix._core.fit_callaway_py with the event-study covariance, its errors and warnings
    naming the cohort's and period's time values and the covariate's column instead of their
    positions."""
    def cell(m):
        return f"cohort {fmt(times[int(m[1])])} at period {fmt(times[int(m[2])])}"

    def dropped(covariate, cohort, periods):
        listed = ", ".join(fmt(times[int(t)]) for t in periods)
        warnings.warn(f"Callaway-Sant'Anna (est_method={est_method!r}): covariate {names[covariate]!r} is "
                      f"constant over cohort {fmt(times[cohort])} and its controls at periods {listed}; it is "
                      "left out of those cells' fits.", UserWarning, stacklevel=4)

    try:
        return _core.fit_callaway_py(y, cohorts, covariates=x, est_method=est_method, progress=report,
                                     event_vcov=True, on_dropped=dropped, **options)
    except ValueError as err:
        raise ValueError(_CELL.sub(cell, str(err))) from None


def _imputation(y: np.ndarray, cohorts: np.ndarray, design: Staggered, level: float,
                options: dict[str, Any]) -> DidResult:
    """The imputation fit, its event-study covariance kept, a warning for treated cells that
    could not be imputed."""
    anticipation = int(options.get("anticipation", 0))
    fit = _core.fit_imputation(y, cohorts, anticipation=anticipation, leads=options.get("leads"))
    if fit["n_excluded"]:
        warnings.warn(f"{fit['n_excluded']} treated cells have no imputed untreated outcome (their unit is treated "
                      "from the first period on, or every unit is treated by their period) and are left out of "
                      "every estimate", stacklevel=3)
    vcov = fit["vcov"]
    return DidResult(method="imputation", native=fit["result"], design=design, level=level,
                     anticipation=anticipation, event_vcov=vcov[:-1, :-1])


def bacon(data: Any, *, unit: str, time: str, outcome: str, cohort: Optional[str] = None,
          treatment: Optional[str] = None) -> BaconResult:
    """Goodman-Bacon decomposition of the TWFE estimate from a long data frame.

    The data arguments are those of :func:`tessarix.did`. Returns a BaconResult whose
    ``components`` table labels each 2x2 comparison's cohorts by their first treated time.
    """
    panel, cohorts, design = _staggered(data, unit, time, outcome, cohort, treatment, [])
    return BaconResult(native=_tessarix.bacon_decompose_py(panel.y, cohorts), design=design)


def _staggered(data, unit, time, outcome, cohort, treatment, covariates):
    """The panel, each unit's cohort position and the labelled design."""
    if (cohort is None) == (treatment is None):
        raise ValueError("give exactly one of cohort= (each unit's first treated time) and treatment= "
                         "(a 0/1 column)")
    frame = as_frame(data)
    unit_cols = []
    decode = None
    if cohort is not None:
        values, decode = unit_column(column(frame, cohort, "cohort"), "cohort")
        unit_cols.append(("cohort", cohort, values))
    for c in covariates:
        unit_cols.append(("covariates", c, _covariate(frame, c)))
    cells = [("treatment", treatment)] if treatment is not None else []
    panel = long_panel(frame, unit=unit, time=time, outcome=outcome, cell_columns=cells, unit_columns=unit_cols)
    if cohort is not None:
        cohorts = from_cohort_column(panel, decode(panel.per_unit[cohort]), "cohort", cohort)
    else:
        cohorts = from_treatment(panel, panel.cells[treatment], treatment)
    sizes = np.bincount(cohorts + 1, minlength=len(panel.times) + 1)[1:]
    design = Staggered(times=panel.times, unit_name=unit, time_name=time, outcome_name=outcome,
                       n_units=len(panel.units),
                       cohort_sizes={int(g): int(sizes[g]) for g in np.flatnonzero(sizes)},
                       backend=panel.backend)
    return panel, cohorts, design


def _covariate(frame: Any, name: str) -> np.ndarray:
    values = numeric_values(column(frame, name, "covariates"), "covariates")
    if not np.all(np.isfinite(values)):
        raise DataError(f"covariates column {name!r} has missing or non-finite values; drop or impute them first")
    return values
