"""Batched refits of a stack of panels held as a Dask array."""

from __future__ import annotations

from typing import Any, Sequence

import numpy as np

from .. import _core, _tessarix


def _fit_block(block: np.ndarray, treated: Sequence[int], treat_time: int, options: dict) -> np.ndarray:
    y3 = np.ascontiguousarray(block, dtype=np.float64)
    if "predictors" in options:
        return _core.fit_many_predictors(y3, list(treated), treat_time, **options)
    return _tessarix.fit_many(y3, list(treated), treat_time, **options)


def fit_many(y3: Any, treated: Sequence[int], treat_time: int, **options: Any) -> Any:
    """:func:`tessarix.fit_many` over a (replications, units, periods) Dask array.

    Each chunk of replications is fitted by one task (in a worker process on a distributed
    cluster); the units and periods of a replication are never split, so the array is rechunked
    to whole panels first. Returns a lazy 1-D Dask array of ATTs whose computed values equal
    ``tessarix.fit_many(y3.compute(), ...)`` bit for bit. Options as for
    :func:`tessarix.fit_many` (``method``, ``ridge``, ``zeta_scale``, ``min_weight``,
    ``max_weight``), or ``predictors`` (an N x k matrix, one row per unit) with ``v`` and
    ``loss_periods`` for the synthetic control matched on predictors, as
    ``tessarix._core.fit_many_predictors`` fits each replication.
    """
    import dask.array as da

    if not isinstance(y3, da.Array):
        raise TypeError(f"y3 must be a dask.array.Array; got {type(y3).__name__} (use tessarix.fit_many for "
                        "NumPy arrays)")
    if y3.ndim != 3:
        raise ValueError(f"y3 must be a (replications, units, periods) stack; got {y3.ndim} dimensions")
    whole = y3.rechunk({1: -1, 2: -1})
    return whole.map_blocks(_fit_block, list(treated), int(treat_time), dict(options), drop_axis=[1, 2],
                            dtype=np.float64)
