"""Long data (one row per unit and period) to the units x periods matrix the estimators take,
through one dataframe-agnostic layer: pandas, polars and pyarrow tables (and anything else
narwhals reads) come in, their labels are kept, and every way the rows can fail to form a
balanced panel is reported with the cells at fault."""

from __future__ import annotations

import datetime
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping, Sequence

import narwhals.stable.v2 as nw
import numpy as np

from .. import _core
from .columns import ColumnFrame
from .guards import MAX_LISTED, DataError, fmt, listing, suggestion
from .keys import first_null_row, label_keys


def as_frame(data: Any) -> Any:
    """`data` as an eager narwhals DataFrame (a lazy frame is collected), or a ColumnFrame for a
    plain mapping of column name to values."""
    if isinstance(data, (nw.DataFrame, ColumnFrame)):
        return data
    if isinstance(data, Mapping):
        return ColumnFrame(data)
    try:
        frame = nw.from_native(data)
    except TypeError:
        raise TypeError("data must be a data frame (pandas, polars, pyarrow or another library "
                        f"narwhals supports) or a dict of columns; got {type(data).__name__}") from None
    if isinstance(frame, nw.LazyFrame):
        frame = frame.collect()
    if not isinstance(frame, nw.DataFrame):
        raise TypeError(f"data must be a data frame; got {type(data).__name__}")
    return frame


def column(frame: Any, name: Any, arg: str) -> Any:
    """The column `name`, named by argument `arg`; a clear error when there is none."""
    if not isinstance(name, str):
        raise TypeError(f"{arg} must be a column name (str); got {type(name).__name__}")
    if name not in frame.columns:
        raise DataError(f"{arg}={name!r} is not a column of the data{suggestion(name, frame.columns)}; "
                        f"its columns are {listing(frame.columns, 12)}")
    return frame.get_column(name)


def numeric_values(series: Any, arg: str) -> np.ndarray:
    """A numeric column as float64, nulls as NaN (the pivot then names the cells)."""
    if not series.dtype.is_numeric():
        raise DataError(f"{arg}={series.name!r} must be a numeric column; it holds {series.dtype}")
    values = series.to_numpy()
    if values.dtype.kind not in "iuf":  # nullable integers come back as objects
        values = series.cast(nw.Float64).fill_null(float("nan")).to_numpy()
    return np.asarray(values, dtype=np.float64)


def label_column(series: Any, arg: str):
    """Keys of a unit or time column, which may hold no nulls. NumPy integers cannot be null
    and NaN or NaT are caught with the keys, so only other columns are scanned for nulls."""
    values = series.to_numpy()
    if values.dtype.kind not in "iub" and (series.null_count() > 0 or
                                           (values.dtype.kind in "mM" and np.isnat(values).any())):
        n_null = max(series.null_count(), int(np.isnat(values).sum()) if values.dtype.kind in "mM" else 0)
        row = first_null_row(series)
        raise DataError(f"{arg} column {series.name!r} has {n_null} missing values "
                        f"(the first at row {row}); every row needs a {arg}")
    return label_keys(values, f"{arg} column {series.name!r}")


@dataclass
class LongPanel:
    """A balanced panel read from long rows.

    `y` is units x periods (float64); `units` and `times` are the labels in ascending order;
    `cells` holds each extra cell column as a units x periods matrix and `per_unit` each
    unit-level column's value per unit, both by column name; `backend` is the frame library the
    rows came in (narwhals' implementation, or "dict"), which results are returned in.
    """

    y: np.ndarray
    units: np.ndarray
    times: np.ndarray
    unit_name: str
    time_name: str
    outcome_name: str
    backend: Any
    cells: dict[str, np.ndarray] = field(default_factory=dict)
    per_unit: dict[str, np.ndarray] = field(default_factory=dict)

    def unit_index(self, label: Any, arg: str) -> int:
        """Position of a unit label; an error naming the closest labels when there is none."""
        return _position(self.units, label, lambda: f"{arg}={fmt(label)} is not a unit of column "
                         f"{self.unit_name!r}{suggestion(label, self.units)}")

    def time_index(self, value: Any, arg: str) -> int:
        """Position of a time value; an error listing the times when it is not one of them."""
        return _position(self.times, value, lambda: f"{arg}={fmt(value)} is not one of the time values of "
                         f"{self.time_name!r} ({fmt(self.times[0])} to {fmt(self.times[-1])}, "
                         f"{len(self.times)} periods)")


def _position(labels: np.ndarray, value: Any, message: Callable[[], str]) -> int:
    value = _as_stored(labels, value)
    try:
        k = int(np.searchsorted(labels, value))
        found = k < len(labels) and bool(labels[k] == value)
    except (TypeError, ValueError):
        found = False
    if not found:
        raise DataError(message())
    return k


def _as_stored(labels: np.ndarray, value: Any) -> Any:
    """A time-zone-aware datetime as the naive UTC instant a datetime column holds its values
    in (time-zone-aware columns arrive as UTC instants without their zone)."""
    if labels.dtype.kind == "M" and getattr(value, "tzinfo", None) is not None:
        return value.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    return value


def long_panel(data: Any, *, unit: str, time: str, outcome: str,
               cell_columns: Sequence[tuple[str, str]] = (),
               unit_columns: Sequence[tuple[str, str, np.ndarray]] = ()) -> LongPanel:
    """Pivots `data` to a panel, raising DataError for anything that keeps it from being one.

    `cell_columns` are (argument, column) pairs of further numeric cell values;
    `unit_columns` are (argument, column, values) triples of unit-level columns already
    converted to int64 or float64, each of which must hold one value per unit.
    """
    frame = as_frame(data)
    unit_keys = label_column(column(frame, unit, "unit"), "unit")
    time_keys = label_column(column(frame, time, "time"), "time")
    y_col = numeric_values(column(frame, outcome, "outcome"), "outcome")
    extra = [numeric_values(column(frame, name, arg), arg) for arg, name in cell_columns]
    if len(y_col) == 0:
        raise DataError("data has no rows")
    p = _core.pivot_long(unit_keys.keys, time_keys.keys, [y_col] + extra, [v for _, _, v in unit_columns])
    units = unit_keys.values[p["unit_first"]]
    times = time_keys.values[p["time_first"]]
    panel = LongPanel(y=np.empty((0, 0)), units=units, times=times, unit_name=unit, time_name=time,
                      outcome_name=outcome, backend=frame.implementation)
    _check_layout(p, panel, unit_keys.values, time_keys.values)
    columns = [y_col] + extra
    matrices: list[np.ndarray] = [col.reshape(len(units), len(times)) if m is None else m
                                  for col, m in zip(columns, p["cells"])]
    _check_finite(p, panel, [("outcome", outcome)] + list(cell_columns), matrices)
    for (arg, name, _), values, row in zip(unit_columns, p["units"], p["varying"]):
        if row is not None:
            k = int(np.searchsorted(units, unit_keys.values[row]))
            raise DataError(f"{arg}={name!r} must hold one value per unit, but it varies within unit "
                            f"{fmt(units[k])} (row {row}); give it the unit's value on every row")
        panel.per_unit[name] = values
    panel.y = matrices[0]
    panel.cells = {name: m for (_, name), m in zip(cell_columns, matrices[1:])}
    return panel


def _check_layout(p: Mapping[str, Any], panel: LongPanel, unit_values: np.ndarray, time_values: np.ndarray) -> None:
    """Duplicated cells, then missing cells, each named by its cell."""
    if p["duplicate"] is not None:
        a, b = p["duplicate"]
        raise DataError(f"data has more than one row for unit {fmt(unit_values[b])} at "
                        f"{panel.time_name}={fmt(time_values[b])} (rows {a} and {b}); each "
                        "(unit, time) pair must appear once: aggregate or drop the duplicates first")
    if p["n_missing"]:
        u, t = p["first_missing"]
        raise DataError(f"the panel is unbalanced: {p['n_missing']} of {len(panel.units) * len(panel.times)} "
                        f"(unit, time) cells have no row, the first unit {fmt(panel.units[u])} at "
                        f"{panel.time_name}={fmt(panel.times[t])}; tessarix needs one row per unit and "
                        "period: fill the missing cells or drop the units that lack some")


def _check_finite(p: Mapping[str, Any], panel: LongPanel, columns: list[tuple[str, str]], matrices: list[np.ndarray]) -> None:
    """Missing or non-finite values, the first few named by their (unit, time) cells."""
    for (arg, name), (count, _), m in zip(columns, p["nonfinite"], matrices):
        if not count:
            continue
        bad = np.argwhere(~np.isfinite(m))
        cells = ", ".join(f"({fmt(panel.units[u])}, {fmt(panel.times[t])})" for u, t in bad[:MAX_LISTED])
        more = ", ..." if len(bad) > MAX_LISTED else ""
        raise DataError(f"{arg}={name!r} is missing or not finite in {count} of {m.size} cells: "
                        f"{cells}{more}; drop or impute them first")
