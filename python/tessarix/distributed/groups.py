"""One model per group: a front end run on each group of a frame, the tidy results stacked."""

from __future__ import annotations

from typing import Any, Callable, Sequence, Union

import narwhals.stable.v2 as nw

# The columns of every result's to_frame(), after the group keys.
_TIDY = ("term", "estimate", "se", "ci_lower", "ci_upper", "p_value")


def by_group(data: Any, by: Union[str, Sequence[str]], fn: Callable[..., Any], **kwargs: Any) -> Any:
    """Runs ``fn(group, **kwargs)`` (a front end such as :func:`tessarix.synth` or
    :func:`tessarix.did`) on every group of `data` by the column(s) `by`, and stacks the results'
    ``to_frame()`` rows, each led by its group's key columns.

    `data` may be a Dask DataFrame, whose groups are fitted in parallel by its workers (each
    group whole in one task); the result is then a lazy Dask DataFrame (call ``.compute()``).
    Any other frame (pandas, polars, pyarrow) gives a frame of its own library, groups in
    ascending key order. A group's numbers equal the front end's on that group alone.
    """
    keys = [by] if isinstance(by, str) else list(by)
    if _is_dask(data):
        return _dask_groups(data, keys, fn, kwargs)
    frame = nw.from_native(data, eager_only=True)
    missing = [k for k in keys if k not in frame.columns]
    if missing:
        raise ValueError(f"by={missing[0]!r} is not a column of the data")
    parts = []
    for key, group in sorted(frame.group_by(*keys), key=lambda kv: tuple(kv[0])):
        tidy = nw.from_native(fn(group.to_native(), **kwargs).to_frame(), eager_only=True)
        lead = [nw.lit(value).alias(name) for name, value in zip(keys, key)]
        parts.append(tidy.with_columns(*lead).select(*keys, *_TIDY))
    if not parts:
        raise ValueError("data has no rows to group")
    return nw.concat(parts).to_native()


def _is_dask(data: Any) -> bool:
    return type(data).__module__.split(".")[0] in ("dask", "dask_expr")


def _dask_groups(ddf: Any, keys: list[str], fn: Callable[..., Any], kwargs: dict) -> Any:
    import pandas as pd

    missing = [k for k in keys if k not in ddf.columns]
    if missing:
        raise ValueError(f"by={missing[0]!r} is not a column of the data")
    meta = pd.DataFrame({**{k: pd.Series(dtype=ddf[k].dtype) for k in keys}, "term": pd.Series(dtype=object),
                         **{c: pd.Series(dtype="float64") for c in _TIDY[1:]}})
    return ddf.groupby(keys).apply(_fit_group, keys, fn, kwargs, meta=meta).reset_index(drop=True)


def _fit_group(group: Any, keys: list[str], fn: Callable[..., Any], kwargs: dict) -> Any:
    tidy = fn(group, **kwargs).to_frame()
    key = group.name if isinstance(group.name, tuple) else (group.name,)  # the key columns may be left out
    for name, value in reversed(list(zip(keys, key))):
        tidy.insert(0, name, value)
    tidy["term"] = tidy["term"].astype(object)
    return tidy
