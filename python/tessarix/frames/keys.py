"""Label columns (units, times, cohorts) as int64 keys whose order is the labels' order, so the
native pivot can rank them; the labels themselves stay in the column's own type."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from .guards import DataError

_INT64_MAX = np.iinfo(np.int64).max
# Float labels at or beyond this magnitude are not exact integers of int64.
_FLOAT_INT_LIMIT = 2.0**63


@dataclass(frozen=True)
class Keys:
    """A column's values (`values`, NumPy) and their order-preserving int64 keys."""

    values: np.ndarray
    keys: np.ndarray


def float_keys(v: np.ndarray) -> np.ndarray:
    """int64 keys ordered like finite floats: integral values keep their value, others take
    their bit pattern with the sign folded so that the integer order is the float order."""
    v = v + 0.0  # -0.0 becomes 0.0: the two are one label
    if np.all(np.abs(v) < _FLOAT_INT_LIMIT) and np.array_equal(v, np.trunc(v)):
        return v.astype(np.int64)
    bits = v.view(np.int64)
    return np.where(bits < 0, bits ^ _INT64_MAX, bits)


def object_keys(values: np.ndarray, what: str) -> np.ndarray:
    """Ranks of arbitrary labels (strings, dates as objects, mixed) in sorted order."""
    items = values.tolist()
    distinct = set(items)
    try:
        ordered = sorted(distinct)
    except TypeError:
        raise DataError(f"{what} mixes values that cannot be ordered "
                        f"({', '.join(sorted({type(x).__name__ for x in distinct}))}); "
                        "give it values of one type") from None
    rank = {v: k for k, v in enumerate(ordered)}
    return np.fromiter(map(rank.__getitem__, items), dtype=np.int64, count=len(items))


def label_keys(values: np.ndarray, what: str) -> Keys:
    """Keys of a column without missing values (checked by the caller)."""
    kind = values.dtype.kind
    if kind == "b":
        return Keys(values, values.astype(np.int64))
    if kind == "i" or (kind == "u" and (values.size == 0 or values.max() <= _INT64_MAX)):
        return Keys(values, values.astype(np.int64, copy=False))
    if kind == "f":
        if not np.all(np.isfinite(values)):
            raise DataError(f"{what} has values that are NaN or infinite; every row needs a finite label")
        return Keys(values, float_keys(values.astype(np.float64, copy=False)))
    if kind in "mM":
        return Keys(values, values.view(np.int64))
    return Keys(values, object_keys(values, what))


def first_null_row(series: Any) -> int:
    """Row of the first null of a narwhals Series that has one."""
    return int(np.argmax(series.is_null().to_numpy()))
