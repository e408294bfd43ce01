"""Tables returned in the caller's own frame library."""

from __future__ import annotations

from typing import Any, Iterable, Mapping

import narwhals.stable.v2 as nw
import numpy as np

from .columns import DICT_BACKEND, dict_table
from .guards import plain


def column_values(values: Any) -> Any:
    """Values as a frame library takes them: NumPy arrays of numbers and datetimes stay
    arrays; strings and other objects become a list of Python values."""
    if isinstance(values, np.ndarray) and values.dtype.kind in "biufmM":
        return values
    return [plain(v) for v in values]


def table(columns: Mapping[str, Any], backend: Any, floats: Iterable[str] = ()) -> Any:
    """A frame of `backend`'s library (the caller's) from equal-length columns; the columns
    named in `floats` are float64 whatever their values (None is a null)."""
    data = {name: column_values(v) for name, v in columns.items()}
    if backend == DICT_BACKEND:
        return dict_table(data, tuple(floats))
    frame = nw.from_dict(data, backend=backend)
    floats = [c for c in floats if c in data]
    if floats:
        frame = frame.with_columns(nw.col(c).cast(nw.Float64) for c in floats)
    return frame.to_native()
