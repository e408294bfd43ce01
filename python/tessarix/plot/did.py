"""Difference-in-differences pictures: the event study, the cohort effects and the
Goodman-Bacon scatter."""

from __future__ import annotations

from typing import Any, Optional

import numpy as np

from ..frames.guards import plain
from ..results.base import normal_z
from . import axes

_KIND_STYLE = {
    "treated_vs_untreated": ("C0", "o", "treated vs never treated"),
    "earlier_vs_later": ("C2", "s", "earlier vs later treated"),
    "later_vs_earlier_forbidden": ("C3", "^", "later vs earlier treated (forbidden)"),
}


def event_study(res: Any, ax: Optional[Any] = None) -> Any:
    """Estimates by event time with pointwise intervals (bars) and, when computed, the sup-t
    band (shaded); the reference period sits at 0 as an open marker."""
    if res.method == "twfe":
        raise ValueError("twfe estimates one coefficient; there is no event study to draw")
    ax = axes(ax)
    rows = [r for r in res._event_rows if not r[7]]
    e = np.array([r[0] for r in rows], dtype=float)
    est = np.array([r[1] for r in rows], dtype=float)
    lo = np.array([r[3] for r in rows], dtype=float)
    hi = np.array([r[4] for r in rows], dtype=float)
    if res.native.event_lo:
        ax.fill_between(e, res.native.event_lo, res.native.event_hi, color="C0", alpha=0.15, step=None,
                        label=f"sup-t band ({res.level:.0%})")
    ax.errorbar(e, est, yerr=[est - lo, hi - est], fmt="o", color="C0", capsize=3,
                label=f"estimate, {res.level:.0%} pointwise")
    ref = res.reference_period
    ax.plot([ref], [0.0], marker="o", markerfacecolor="white", color="C0", linestyle="none",
            label=f"reference period ({ref})")
    ax.axhline(0.0, color="0.2", linewidth=0.8)
    ax.axvline(ref + 0.5, color="0.4", linestyle="--", linewidth=1)
    ax.set_xlabel("periods since adoption")
    ax.set_ylabel(f"effect on {res.design.outcome_name}")
    ax.legend()
    return ax


def groups(res: Any, ax: Optional[Any] = None) -> Any:
    """Each cohort's average post-treatment effect with its interval, cohorts by first
    treated time."""
    if res.method not in ("cs", "imputation"):
        raise ValueError("cohort effects are estimated by method='cs' and method='imputation' only")
    ax = axes(ax)
    n, d = res.native, res.design
    labels = [str(plain(d.times[g])) for g in n.group_cohort]
    est = np.asarray(n.group_att, dtype=float)
    half = np.asarray(n.group_se, dtype=float) * normal_z(res.level)
    ax.errorbar(labels, est, yerr=half, fmt="o", color="C0", capsize=3)
    ax.axhline(0.0, color="0.2", linewidth=0.8)
    ax.set_xlabel(f"cohort (first treated {d.time_name})")
    ax.set_ylabel(f"effect on {d.outcome_name}")
    return ax


def bacon(res: Any, ax: Optional[Any] = None) -> Any:
    """Each 2x2 comparison's estimate against its weight, by kind, with the TWFE estimate (their
    weighted sum) as a horizontal line."""
    ax = axes(ax)
    comps = res.native.components
    for kind, (color, marker, label) in _KIND_STYLE.items():
        sel = [c for c in comps if c.kind == kind]
        if sel:
            ax.scatter([c.weight for c in sel], [c.estimate for c in sel], color=color, marker=marker, label=label)
    ax.axhline(res.twfe, color="0.2", linestyle="--", linewidth=1, label=f"TWFE {res.twfe:.4g}")
    ax.set_xlabel("weight")
    ax.set_ylabel("2x2 estimate")
    ax.legend()
    return ax
