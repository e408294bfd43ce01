"""Synthetic-control pictures: treated against synthetic, the gap, the placebo gaps and the
weights."""

from __future__ import annotations

from typing import Any, Optional

import numpy as np

from ..frames.guards import plain
from . import axes

# Placebo gaps are drawn thin and pale under the treated gap.
_PLACEBO_STYLE = {"color": "0.7", "linewidth": 0.8, "alpha": 0.8}


def _start_line(ax: Any, res: Any) -> None:
    d = res.design
    ax.axvline(d.times[d.t0], color="0.4", linestyle="--", linewidth=1, label=f"start ({plain(d.times[d.t0])})")


def paths(res: Any, ax: Optional[Any] = None) -> Any:
    """The treated path and its synthetic counterpart over every period, the start marked."""
    ax = axes(ax)
    d, p = res.design, res._paths
    ax.plot(d.times, p["treated"], color="C0", label="treated")
    ax.plot(d.times, p["synthetic"], color="C1", linestyle="--", label="synthetic")
    _start_line(ax, res)
    ax.set_xlabel(d.time_name)
    ax.set_ylabel(d.outcome_name)
    ax.legend()
    return ax


def gap(res: Any, ax: Optional[Any] = None) -> Any:
    """Treated minus synthetic over every period, around zero, the start marked."""
    ax = axes(ax)
    d, p = res.design, res._paths
    ax.plot(d.times, p["gap"], color="C0", label="gap")
    ax.axhline(0.0, color="0.2", linewidth=0.8)
    _start_line(ax, res)
    ax.set_xlabel(d.time_name)
    ax.set_ylabel(f"{d.outcome_name}: treated - synthetic")
    return ax


def placebos(res: Any, ax: Optional[Any] = None, max_pre_mspe_ratio: Optional[float] = None) -> Any:
    """Every placebo's gap path in grey with the treated gap on top. With
    `max_pre_mspe_ratio` (5 is customary), placebos whose pre-period mean squared gap exceeds
    that multiple of the treated unit's are left out, as their post-period gaps say little."""
    if res.inference != "placebo":
        raise ValueError("placebo gaps need a fit with inference='placebo'")
    ax = axes(ax)
    d, p = res.design, res._placebo_paths
    gaps = np.asarray(p["placebo_gaps"])
    if max_pre_mspe_ratio is not None:
        own = np.mean(np.square(p["gap"][: d.t0]))
        keep = np.mean(np.square(gaps[:, : d.t0]), axis=1) <= max_pre_mspe_ratio * own
        gaps = gaps[keep]
    for k, row in enumerate(gaps):
        ax.plot(d.times, row, **_PLACEBO_STYLE, label="placebos" if k == 0 else None)
    ax.plot(d.times, p["gap"], color="C0", linewidth=2, label="treated")
    ax.axhline(0.0, color="0.2", linewidth=0.8)
    _start_line(ax, res)
    ax.set_xlabel(d.time_name)
    ax.set_ylabel(f"{d.outcome_name}: gap")
    ax.legend()
    return ax


def weights(res: Any, ax: Optional[Any] = None, top: Optional[int] = 20) -> Any:
    """The donor weights as horizontal bars, largest on top (the `top` largest by size)."""
    if res.method == "mcnnm":
        raise ValueError("matrix completion has no unit weights to draw")
    ax = axes(ax)
    d, n = res.design, res.fit
    if res.method == "cpasc":
        w, ids = np.asarray(n.unit_weight), np.asarray(n.unit_ids)
    else:
        w, ids = np.asarray(n.weights), np.asarray(n.donor_ids)
    order = np.argsort(-np.abs(w), kind="stable")[:top]
    labels = [str(plain(d.units[i])) for i in ids[order]]
    ax.barh(labels[::-1], w[order][::-1], color="C0")
    ax.set_xlabel("weight")
    ax.set_ylabel(d.unit_name)
    return ax


KINDS = {"paths": paths, "gap": gap, "placebos": placebos, "weights": weights}
