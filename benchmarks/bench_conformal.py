"""Conformal inference for synthetic control (Chernozhukov, Wuthrich and Zhu 2021): tessarix
against scinference, its authors' Python package, in one run.

Panel: California Proposition 99 (benchmarks/data/california_prop99.csv), 39 states x 31 years,
California treated from 1989: 19 pre-periods, 12 post-periods, 38 donor states.

Tasks (both packages doing the same work):
* test: the moving-block p-value of "no effect in any post-period" (one simplex refit on all 31
  periods, the 31 cyclic shifts of its residuals).
* intervals: the 90 % pointwise interval of each post-period's effect. scinference inverts the
  test on a grid the caller gives (one refit per grid value and period); the grid here spans
  tessarix's interval +- 2 packs with step --step, so that its ends are as close as the step
  allows. tessarix searches its own grid and bisects the ends to 1e-6 of the residual scale.

Each measurement alternates tessarix and the peer (one warm-up call each first) and reports
medians; the peer's intervals run once when slower than --budget seconds. The ratio is the peer's
median over tessarix's. The script also prints the largest difference between the two packages'
p-values and interval ends. The ends agree to within a grid step except where the tested
residual nearly ties another at an end: there the two simplex solvers' small differences (the
refits have 20 periods and 38 donors, so the weights are far from unique) move the end by up to
a few hundredths more.

    python benchmarks/bench_conformal.py [--reps 5] [--budget 30] [--step 0.1]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_sc_placebo import load_panel  # noqa: E402

warnings.filterwarnings("ignore")


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


def race(ours, peer, reps, budget):
    """Medians of alternating runs after one warm-up each; the peer's warm-up is its only run
    when reps of it would exceed the budget."""
    ours()
    first, peer_out = timed(peer)
    peer_again = first * reps <= budget
    t_ours, t_peer = [], [] if peer_again else [first]
    for _ in range(reps):
        dt, ours_out = timed(ours)
        t_ours.append(dt)
        if peer_again:
            dt, peer_out = timed(peer)
            t_peer.append(dt)
    return statistics.median(t_ours), statistics.median(t_peer), ours_out, peer_out


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--budget", type=float, default=30.0)
    ap.add_argument("--step", type=float, default=0.1)
    args = ap.parse_args()
    try:
        from scinference import scinference
    except ImportError:
        raise SystemExit("scinference is not installed (pip install .[bench])")
    from tessarix import _core

    p = load_panel()
    y = np.ascontiguousarray(np.vstack([p.y[p.treated], p.y[p.donors]]))
    t0, t_count = p.t0, p.y.shape[1]
    n_post = t_count - t0
    y1, y0 = y[0], np.ascontiguousarray(y[1:].T)

    print(f"Proposition 99: {len(p.donors)} donors, {t0} pre-periods, {n_post} post-periods")
    print(f"{'task':<12}{'tessarix':>12}{'scinference':>14}{'ratio':>10}   agreement")
    t_ours, t_peer, ours, peer = race(
        lambda: _core.conformal_sc(y, [0], t0, intervals=False)["p_value"],
        lambda: scinference(y1, y0, T1=n_post, T0=t0, permutation_method="mb")["p_val"],
        args.reps, args.budget)
    print(f"{'test':<12}{t_ours * 1e3:>10.2f}ms{t_peer * 1e3:>12.2f}ms{t_peer / t_ours:>9.0f}x   "
          f"p = {ours:.6f} vs {peer:.6f}")

    ours_ci = _core.conformal_sc(y, [0], t0, level=0.9)
    lo, hi = ours_ci["ci_lower"], ours_ci["ci_upper"]
    grid = np.arange(np.min(lo) - 2.0, np.max(hi) + 2.0, args.step)

    def peer_intervals():
        ends = []
        for k in range(n_post):
            keep = list(range(t0)) + [t0 + k]
            out = scinference(y1[keep], y0[keep], T1=1, T0=t0, ci=True, ci_grid=grid, alpha=0.1)
            ends.append((float(np.ravel(out["lb"])[0]), float(np.ravel(out["ub"])[0])))
        return np.array(ends)

    t_ours, t_peer, ours_out, peer_out = race(
        lambda: _core.conformal_sc(y, [0], t0, level=0.9), peer_intervals, args.reps, args.budget)
    diff = max(np.abs(peer_out[:, 0] - ours_out["ci_lower"]).max(), np.abs(peer_out[:, 1] - ours_out["ci_upper"]).max())
    print(f"{'intervals':<12}{t_ours * 1e3:>10.2f}ms{t_peer * 1e3:>12.0f}ms{t_peer / t_ours:>9.0f}x   "
          f"ends within {diff:.3g} (grid step {args.step:g}, {len(grid)} values)")


if __name__ == "__main__":
    main()
