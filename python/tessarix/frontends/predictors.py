"""The predictor table of a synthetic control matched on predictors: one row per unit, one
column per predictor, built from the long frame's covariate columns (each aggregated over
chosen pre-periods) and from chosen lags of the outcome."""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Any, Optional, Sequence

import numpy as np

from ..frames import DataError
from ..frames.guards import fmt, listlike
from ..frames.panel import as_frame, column, label_column, numeric_values

# How a predictor's values over its periods become one number per unit.
AGGREGATIONS = {
    "mean": lambda m: m.mean(axis=1),
    "sum": lambda m: m.sum(axis=1),
    "last": lambda m: m[:, -1],
}


@dataclass
class PredictorTable:
    """`x` is units x k (float64); `names` labels its columns (the column name, with its
    periods and aggregation when they are not the default); `kept` holds their positions among
    the `n_listed` predictors and lags the caller listed (constant ones are dropped)."""

    x: np.ndarray
    names: list[str]
    kept: list[int]
    n_listed: int


def predictor_table(data: Any, panel: Any, unit: str, time: str, t0: int, predictors: Sequence[Any],
                    lags: Sequence[Any], treated: Sequence[int]) -> PredictorTable:
    """The predictor table of `panel` (the long frame `data` pivoted): each entry of
    `predictors` is a column name (its mean over every pre-period) or a tuple (column, periods)
    or (column, periods, aggregation), periods a list of time values or a (first, last) tuple
    of the range between them; each of `lags` a pre-period time value whose outcome becomes a
    predictor. A predictor without spread across the donors and the treated average carries no
    information and is dropped with a warning."""
    if not listlike(predictors) or not listlike(lags):
        raise TypeError("predictors and lags must be lists")
    columns, names = [], []
    if predictors:
        rows = _row_positions(data, panel, unit, time)
        for entry in predictors:
            name, periods, how = _parse(entry, panel, t0)
            cells = _cells(data, rows, panel, name)
            block = cells[:, periods]
            if not np.isfinite(block).all():
                u, t = np.argwhere(~np.isfinite(block))[0]
                raise DataError(f"predictor {name!r} is missing or not finite for unit {fmt(panel.units[u])} at "
                                f"{time}={fmt(panel.times[periods[t]])}; choose periods where it is observed")
            columns.append(AGGREGATIONS[how](block))
            names.append(_label(name, entry, panel, periods, how))
    for lag in lags:
        k = panel.time_index(lag, "lags")
        if k >= t0:
            raise DataError(f"lags: {time}={fmt(lag)} is not a pre-period (treatment starts at {fmt(panel.times[t0])})")
        columns.append(panel.y[:, k].astype(np.float64))
        names.append(f"{panel.outcome_name}({fmt(lag)})")
    if not columns:
        raise ValueError("a predictor fit needs at least one predictor or lag")
    x = np.column_stack(columns)
    return _drop_constant(x, names, treated)


def _parse(entry: Any, panel: Any, t0: int) -> tuple[str, np.ndarray, str]:
    """(column, period positions, aggregation) of one predictor."""
    if isinstance(entry, str):
        return entry, np.arange(t0), "mean"
    if not isinstance(entry, tuple) or len(entry) not in (2, 3) or not isinstance(entry[0], str):
        raise TypeError("each predictor must be a column name or a tuple (column, periods[, aggregation]); "
                        f"got {entry!r}")
    name, periods = entry[0], entry[1]
    how = entry[2] if len(entry) == 3 else "mean"
    if how not in AGGREGATIONS:
        raise ValueError(f"predictor {name!r}: aggregation {how!r} is not one of {', '.join(AGGREGATIONS)}")
    if isinstance(periods, tuple):
        if len(periods) != 2:
            raise TypeError(f"predictor {name!r}: a period range is a (first, last) tuple; got {periods!r}")
        first, last = (_pre_period(panel, t0, name, p) for p in periods)
        if last < first:
            raise ValueError(f"predictor {name!r}: the range {fmt(periods[0])} to {fmt(periods[1])} is empty")
        positions = np.arange(first, last + 1)
    elif listlike(periods) and len(periods) > 0:
        positions = np.array([_pre_period(panel, t0, name, p) for p in periods], dtype=np.int64)
    else:
        positions = np.array([_pre_period(panel, t0, name, periods)], dtype=np.int64)
    return name, positions, how


def _pre_period(panel: Any, t0: int, name: str, value: Any) -> int:
    k = panel.time_index(value, f"predictor {name!r} period")
    if k >= t0:
        raise DataError(f"predictor {name!r}: period {fmt(value)} is not a pre-period (treatment starts at "
                        f"{fmt(panel.times[t0])})")
    return k


def _label(name: str, entry: Any, panel: Any, periods: np.ndarray, how: str) -> str:
    if isinstance(entry, str):
        return name
    times = panel.times[periods]
    span = fmt(times[0]) if len(times) == 1 else f"{fmt(times[0])}-{fmt(times[-1])}"
    return f"{name}({span})" if how == "mean" else f"{name}({span}, {how})"


def _row_positions(data: Any, panel: Any, unit: str, time: str) -> tuple[Any, np.ndarray, np.ndarray]:
    """The frame and each row's (unit, period) position in the panel (balanced and without
    duplicates, as the panel's pivot has checked)."""
    frame = as_frame(data)
    units = label_column(column(frame, unit, "unit"), "unit").values
    times = label_column(column(frame, time, "time"), "time").values
    return frame, np.searchsorted(panel.units, units), np.searchsorted(panel.times, times)


def _cells(data: Any, rows: tuple[Any, np.ndarray, np.ndarray], panel: Any, name: str) -> np.ndarray:
    """Column `name` as a units x periods matrix, missing values as NaN."""
    frame, u, t = rows
    values = numeric_values(column(frame, name, "predictors"), "predictors")
    m = np.full((len(panel.units), len(panel.times)), np.nan)
    m[u, t] = values
    return m


def _drop_constant(x: np.ndarray, names: list[str], treated: Sequence[int]) -> PredictorTable:
    """The table without predictors that take one value across the donors and the treated
    average (they match every donor equally well), each dropped with a UserWarning."""
    donors = np.setdiff1d(np.arange(x.shape[0]), np.asarray(treated, dtype=np.int64))
    rows = np.vstack([x[donors], x[list(treated)].mean(axis=0)])
    keep = [p for p in range(rows.shape[1]) if np.ptp(rows[:, p]) > 0.0]
    for p in range(rows.shape[1]):
        if p not in keep:
            warnings.warn(f"predictor {names[p]!r} takes one value across the donors and the treated units "
                          "and carries no information; it is dropped", UserWarning, stacklevel=4)
    if not keep:
        raise DataError("every predictor takes one value across the units; the fit has nothing to match on")
    return PredictorTable(x=np.ascontiguousarray(x[:, keep]), names=[names[p] for p in keep], kept=keep,
                          n_listed=x.shape[1])


def importances(v: Optional[Sequence[float]], table: PredictorTable) -> Optional[list[float]]:
    """A given V (one value per predictor as the caller listed them, lags last) reduced to the
    kept predictors; None stays None."""
    if v is None:
        return None
    if not listlike(v):
        raise TypeError(f"v must be a list of importances; got {type(v).__name__}")
    values = [float(x) for x in v]
    if len(values) != table.n_listed:
        raise ValueError(f"v must give one importance per predictor and lag: {table.n_listed} values, "
                         f"got {len(values)}")
    if any(not np.isfinite(x) or x < 0 for x in values):
        raise ValueError("v must hold finite non-negative importances")
    out = [values[p] for p in table.kept]
    if not any(x > 0 for x in out):
        raise ValueError("v must not be all zero (over the predictors that are kept)")
    return out


def period_positions(panel: Any, t0: int, periods: Any) -> list[int]:
    """The positions of the loss periods (a list of pre-period time values or a (first, last)
    tuple), ascending; every pre-period for None."""
    if periods is None:
        return []
    if isinstance(periods, tuple) and len(periods) == 2:
        first, last = (_loss_period(panel, t0, p) for p in periods)
        return list(range(first, last + 1))
    if not listlike(periods) or len(periods) == 0:
        raise TypeError("loss_periods must be a non-empty list of time values or a (first, last) tuple")
    return sorted({_loss_period(panel, t0, p) for p in periods})


def _loss_period(panel: Any, t0: int, value: Any) -> int:
    k = panel.time_index(value, "loss_periods")
    if k >= t0:
        raise DataError(f"loss_periods: {fmt(value)} is not a pre-period (treatment starts at {fmt(panel.times[t0])})")
    return k
