"""Reading the command line's input (CSV with the standard library, Parquet through pyarrow or
polars) and writing its tables as CSV, whatever library they come in."""

from __future__ import annotations

import csv
import math
import os
from typing import Any, Optional

import numpy as np

# Delimiters a CSV file may use; the header line tells which.
_DELIMITERS = ",;\t|"
# Values a CSV cell may hold for "missing".
_MISSING = {"", "NA", "NaN", "nan", "null", "NULL", "None"}


def typed(text: str) -> Any:
    """A CSV cell or command-line value as int, float or text, whichever it reads as."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        return text


def _column(cells: list[str]) -> Any:
    """A CSV column as int64, float64 (missing as NaN) or text (missing as None)."""
    present = [c for c in cells if c not in _MISSING]
    values = [typed(c) for c in present]
    if present and all(isinstance(v, int) for v in values) and len(present) == len(cells):
        return np.array(values, dtype=np.int64)
    if present and all(isinstance(v, (int, float)) for v in values):
        return np.array([math.nan if c in _MISSING else float(c) for c in cells], dtype=np.float64)
    return [None if c in _MISSING else c for c in cells]


def read_csv(path: str, sep: Optional[str] = None) -> dict[str, Any]:
    """The columns of a CSV file with a header line, typed column by column."""
    with open(path, newline="", encoding="utf-8-sig") as f:
        header = f.readline()
        if sep is None:
            counts = {d: header.count(d) for d in _DELIMITERS}
            sep = max(counts, key=lambda d: counts[d]) if any(counts.values()) else ","
        f.seek(0)
        rows = list(csv.reader(f, delimiter=sep))
    if not rows:
        raise ValueError(f"{path} is empty")
    names, body = rows[0], rows[1:]
    short = next((k for k, r in enumerate(body) if len(r) != len(names)), None)
    if short is not None:
        raise ValueError(f"{path}: line {short + 2} has {len(body[short])} fields, the header {len(names)}")
    return {name: _column([r[k] for r in body]) for k, name in enumerate(names)}


def read_parquet(path: str) -> Any:
    """A Parquet file as a pyarrow table (or a polars frame); needs one of the two."""
    try:
        import pyarrow.parquet as pq

        return pq.read_table(path)
    except ImportError:
        pass
    try:
        import polars as pl

        return pl.read_parquet(path)
    except ImportError:
        raise ImportError("reading Parquet needs pyarrow or polars: pip install pyarrow") from None


def read(path: str, sep: Optional[str] = None) -> Any:
    """The data of a CSV or Parquet file (by its extension)."""
    if not os.path.exists(path):
        raise FileNotFoundError(f"no such file: {path}")
    if path.lower().endswith((".parquet", ".pq")):
        return read_parquet(path)
    return read_csv(path, sep)


def columns_of(table: Any) -> dict[str, list[Any]]:
    """A table of any supported library (or a dict of arrays) as lists of Python values."""
    if isinstance(table, dict):
        return {k: _plain_list(v) for k, v in table.items()}
    import narwhals.stable.v2 as nw

    frame = nw.from_native(table, eager_only=True)
    return {c: _plain_list(frame.get_column(c).to_numpy()) for c in frame.columns}


def _plain_list(values: Any) -> list[Any]:
    out = []
    for v in values:
        v = v.item() if isinstance(v, np.generic) else v
        if isinstance(v, (list, tuple, np.ndarray)):
            v = ";".join(str(x.item() if isinstance(x, np.generic) else x) for x in v)
        out.append(v)
    return out


def write_csv(table: Any, path: str) -> None:
    """A table as a CSV file; nulls and NaN as empty cells, list cells joined by ';'."""
    cols = columns_of(table)
    names = list(cols)
    with open(path, "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f)
        w.writerow(names)
        for row in zip(*(cols[n] for n in names)):
            w.writerow(["" if v is None or (isinstance(v, float) and math.isnan(v)) else v for v in row])
