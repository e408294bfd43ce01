"""A plain mapping of column name to values as a data frame: what the front ends read when no
frame library is installed (the command line reads CSV into one). Tables come back as dicts of
NumPy arrays. It offers only the few operations the front ends use."""

from __future__ import annotations

from typing import Any, Mapping

import numpy as np

DICT_BACKEND = "dict"


class _Dtype:
    def __init__(self, values: np.ndarray):
        self._dtype = values.dtype
        self._kind = values.dtype.kind
        if self._kind == "O":  # numbers mixed with None stay numbers
            present = [v for v in values.tolist() if v is not None]
            if present and all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in present):
                self._kind = "f"

    def is_numeric(self) -> bool:
        return self._kind in "iuf"

    def __str__(self) -> str:
        return {"i": "Int64", "u": "UInt64", "f": "Float64", "b": "Boolean", "M": "Datetime",
                "U": "String"}.get(self._kind, str(self._dtype))


def _nulls(values: np.ndarray) -> np.ndarray:
    if values.dtype.kind == "f":
        return np.isnan(values)
    if values.dtype.kind == "M":
        return np.isnat(values)
    if values.dtype.kind == "O":
        return np.array([v is None or (isinstance(v, float) and v != v) for v in values.tolist()], dtype=bool)
    return np.zeros(len(values), dtype=bool)


class ColumnSeries:
    """One column of a ColumnFrame."""

    def __init__(self, name: str, values: Any):
        self.name = name
        self._values = values if isinstance(values, np.ndarray) else np.asarray(values)
        if self._values.ndim != 1:
            raise ValueError(f"column {name!r} must be one-dimensional")
        self.dtype = _Dtype(self._values)

    def __len__(self) -> int:
        return len(self._values)

    def to_numpy(self) -> np.ndarray:
        """The values as a NumPy array (not a copy)."""
        return self._values

    def null_count(self) -> int:
        """How many values are missing (None, NaN or NaT)."""
        return int(_nulls(self._values).sum())

    def is_null(self) -> "ColumnSeries":
        """A boolean column, true where a value is missing."""
        return ColumnSeries(self.name, _nulls(self._values))

    def cast(self, _dtype: Any) -> "ColumnSeries":
        """As float64 (the only cast the front ends ask for), nulls as NaN."""
        v = self._values
        floats = np.array([np.nan if x is None else x for x in v.tolist()], dtype=np.float64) if v.dtype.kind == "O" \
            else v.astype(np.float64)
        return ColumnSeries(self.name, floats)

    def fill_null(self, value: float) -> "ColumnSeries":
        """A copy with every missing value replaced by `value`."""
        v = self._values.copy()
        v[_nulls(v)] = value
        return ColumnSeries(self.name, v)


class ColumnFrame:
    """Equal-length columns by name."""

    implementation = DICT_BACKEND

    def __init__(self, data: Mapping[str, Any]):
        self._columns = {str(k): ColumnSeries(str(k), v) for k, v in data.items()}
        lengths = {len(c) for c in self._columns.values()}
        if len(lengths) > 1:
            raise ValueError(f"the columns of data have different lengths: {sorted(lengths)}")

    @property
    def columns(self) -> list[str]:
        """The column names, in the mapping's order."""
        return list(self._columns)

    def get_column(self, name: str) -> ColumnSeries:
        """The column `name` (a KeyError when there is none)."""
        return self._columns[name]


def dict_table(columns: Mapping[str, Any], floats: tuple = ()) -> dict[str, np.ndarray]:
    """A table as a dict of NumPy arrays; the columns in `floats` as float64 (None as NaN)."""
    out = {}
    for name, values in columns.items():
        if name in floats:
            out[name] = np.array([np.nan if v is None else v for v in values], dtype=np.float64)
        elif isinstance(values, np.ndarray):
            out[name] = values
        else:
            arr = np.empty(len(values), dtype=object)
            for i, v in enumerate(values):
                arr[i] = v
            out[name] = arr
    return out
