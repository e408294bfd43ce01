"""Geo-design pictures: the power curve, a design's fit over the history, and the ranked
candidates."""

from __future__ import annotations

from typing import Any, Optional

import numpy as np

from .. import _core
from ..frames.guards import plain
from . import axes

# The estimator drawn over the history for each power method (an ensemble: its heaviest member).
_PATHS = {"SC": "sc", "ASC": "asc", "SDID": "sdid", "FP": "fp", "RSC": "rsc"}


def power_curve(res: Any, ax: Optional[Any] = None) -> Any:
    """Power against the injected lift (in %), the target power as a horizontal line and the
    minimum detectable effect as a vertical line through the curve; with a cost per unit, a
    second lift axis on top reads the investment each lift takes."""
    ax = axes(ax)
    n = res.native
    lifts = 100.0 * np.asarray(n.lifts, dtype=float)
    ax.plot(lifts, n.power, marker="o", color="C0", label=f"power ({n.method})")
    ax.axhline(res.target_power, color="0.4", linestyle="--", linewidth=1, label=f"target {res.target_power:.0%}")
    if n.mde_pct is not None:
        mde = 100.0 * n.mde_pct
        spend = "" if res.investment is None else f", investment {res.investment:.4g}"
        ax.axvline(mde, color="C3", linestyle=":", linewidth=1)
        ax.plot([mde], [res.target_power], marker="D", color="C3", linestyle="none", label=f"MDE {mde:.3g} %{spend}")
    if res.cost_per_unit is not None:
        _investment_axis(ax, res)
    ax.set_xlabel("injected lift (%)")
    ax.set_ylabel("power")
    ax.set_ylim(-0.02, 1.02)
    ax.legend()
    return ax


def _investment_axis(ax: Any, res: Any) -> None:
    """A top axis reading the lift axis (in %) as the spend it takes, which is linear in it."""
    per_percent = float(res.investment_at([0.01])[0])
    if not (np.isfinite(per_percent) and per_percent > 0.0):
        return
    top = ax.secondary_xaxis("top", functions=(lambda p: p * per_percent, lambda v: v / per_percent))
    top.set_xlabel(f"investment to detect (at {res.cost_per_unit:.4g} per incremental {res.market.outcome_name})")


def history(market: Any, treated: list[int], test_len: int, method: str, ax: Optional[Any] = None) -> Any:
    """The treated markets' mean and its synthetic counterpart over the whole history, as if the
    test ran over the last `test_len` periods (shaded)."""
    ax = axes(ax)
    t0 = len(market.times) - test_len
    p = getattr(_core, f"paths_{method}")(market.y, treated, t0)
    ax.plot(market.times, p["treated"], color="C0", label="treated markets (mean)")
    ax.plot(market.times, p["synthetic"], color="C1", linestyle="--", label=f"synthetic ({method})")
    ax.axvspan(market.times[t0], market.times[-1], color="0.9", label="test window")
    ax.set_xlabel(market.time_name)
    ax.set_ylabel(market.outcome_name)
    ax.legend()
    return ax


def history_method(native: Any) -> str:
    """The estimator a power result's history is drawn with."""
    if native.method in _PATHS:
        return _PATHS[native.method]
    return "sdid"


def candidates(res: Any, ax: Optional[Any] = None, top: int = 15) -> Any:
    """The best `top` candidate sets: power at the target lift as bars, the ranking score as
    markers, best on top; with a budget, the sets over it hatched, and with a cost per unit
    each set's investment beside its markets."""
    ax = axes(ax)
    order = res.order[:top]
    c = [res.native[i] for i in order]
    spend = [res.investments[i] for i in order]
    labels = [", ".join(str(plain(res.market.units[i])) for i in x.treated)
              + ("" if res.cost_per_unit is None else f" ({'-' if v is None else f'{v:.4g}'})")
              for x, v in zip(c, spend)][::-1]
    y = np.arange(len(c))
    bars = ax.barh(y, [x.power_at_target for x in c][::-1], color="C0", alpha=0.7, label="power at target lift")
    if res.budget is not None:
        for bar, within in zip(bars, [res.within_budget[i] for i in order][::-1]):
            if not within:
                bar.set_hatch("//")
                bar.set_alpha(0.35)
    ax.plot([x.score for x in c][::-1], y, "D", color="C3", label="score")
    ax.set_yticks(y, labels)
    ax.set_xlabel("power / score")
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.15), ncol=2)
    return ax
