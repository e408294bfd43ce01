"""Each unit's first treated period, from a cohort column of time values or from a 0/1
treatment column, as the period positions the array functions take (-1: never treated)."""

from __future__ import annotations

import warnings
from typing import Any, Callable

import numpy as np

from ..frames import DataError, LongPanel
from ..frames.guards import fmt
from ..frames.keys import object_keys
from ..frames.panel import numeric_values

NEVER = -1


def unit_column(series: Any, arg: str) -> tuple[np.ndarray, Callable[[np.ndarray], np.ndarray]]:
    """A unit-level column as int64 or float64 values the pivot can hold to one value per unit,
    and the function turning the per-unit values back into values comparable with the time
    labels (NaN, NaT or None for a null)."""
    if series.dtype.is_numeric():
        values = series.to_numpy()
        if values.dtype.kind in "iu" and values.dtype.itemsize <= 8 and (values.dtype.kind == "i" or values.max() < 2**63):
            return values.astype(np.int64, copy=False), lambda v: v
        return numeric_values(series, arg), lambda v: v
    raw = series.to_numpy()
    if raw.dtype.kind == "M":
        return raw.view(np.int64), lambda v: v.view(raw.dtype)
    nulls = series.is_null().to_numpy()
    present = raw[~nulls]
    ordered = sorted(set(present.tolist())) if present.size else []
    codes = np.full(raw.shape, -1, dtype=np.int64)
    if present.size:
        codes[~nulls] = object_keys(present, f"{arg} column {series.name!r}")
    return codes, lambda v: np.array([None if x < 0 else ordered[x] for x in v], dtype=object)


def from_cohort_column(panel: LongPanel, values: np.ndarray, arg: str, name: str) -> np.ndarray:
    """Positions of each unit's first treated time. Never treated: null, NaN, 0 (as R's did and
    diff-diff code it) or a time after the last period; any other value must be one of the
    times."""
    times = panel.times
    never = _never(values, times)
    try:
        k = np.minimum(np.searchsorted(times, values), len(times) - 1)
        hit = times[k] == values
    except (TypeError, ValueError):
        k, hit = np.zeros(len(values), dtype=np.int64), np.zeros(len(values), dtype=bool)
    bad = ~(never | hit)
    if bad.any():
        u = int(np.argmax(bad))
        raise DataError(f"{arg}={name!r} holds {fmt(values[u])} for unit {fmt(panel.units[u])}, which is not one "
                        f"of the time values of {panel.time_name!r} ({fmt(times[0])} to {fmt(times[-1])}); "
                        "give each unit its first treated time, or 0, NaN or null when it is never treated")
    if values.dtype.kind in "iuf" and times.dtype.kind in "iuf" and times[0] <= 0 <= times[-1] and np.any(times == 0):
        zeros = int(np.count_nonzero(values == 0))
        if zeros:
            warnings.warn(f"{arg}={name!r} is 0 for {zeros} units and 0 is also a time value of "
                          f"{panel.time_name!r}; 0 is read as never treated (as R's did reads it)",
                          UserWarning, stacklevel=3)
    return np.where(never, NEVER, k).astype(np.int64)


def _never(values: np.ndarray, times: np.ndarray) -> np.ndarray:
    """Units coded as never treated: null, NaN, NaT, numeric 0, or after the last time."""
    kind = values.dtype.kind
    if kind == "f":
        missing = np.isnan(values) | (values == 0)
    elif kind in "iu":
        missing = values == 0
    elif kind == "M":
        missing = np.isnat(values)
    else:
        missing = np.array([v is None for v in values], dtype=bool)
    try:
        with np.errstate(invalid="ignore"):
            later = np.zeros(len(values), dtype=bool) if kind not in "iufM" else values > times[-1]
        if kind not in "iufM":
            later[~missing] = values[~missing] > times[-1]
    except TypeError:
        later = np.zeros(len(values), dtype=bool)  # not comparable with the times: reported as such
    return missing | later


def from_treatment(panel: LongPanel, d: np.ndarray, name: str) -> np.ndarray:
    """Positions of the first treated period from a units x periods 0/1 matrix; a treatment that
    switches off is refused (the estimators assume staggered adoption)."""
    if not np.all((d == 0) | (d == 1)):
        u, t = np.argwhere((d != 0) & (d != 1))[0]
        raise DataError(f"treatment={name!r} must be 0 or 1; it is {fmt(d[u, t])} for unit {fmt(panel.units[u])} "
                        f"at {panel.time_name}={fmt(panel.times[t])}")
    on = d == 1
    first = np.where(on.any(axis=1), on.argmax(axis=1), NEVER)
    after = np.arange(d.shape[1])[None, :] >= first[:, None]
    off = (first[:, None] >= 0) & after & ~on
    if off.any():
        u, t = np.argwhere(off)[0]
        raise DataError(f"treatment={name!r} switches off for unit {fmt(panel.units[u])}: it is 1 from "
                        f"{panel.time_name}={fmt(panel.times[first[u]])} but 0 at {fmt(panel.times[t])}; the "
                        "DiD estimators assume a unit stays treated once treated (staggered adoption)")
    return first.astype(np.int64)
