"""Honest sensitivity analysis of an event study: tessarix against the honestdid package and
moderndid's port, on the same event study, in one run.

Event study: the Callaway-Sant'Anna event study of mpdta (log teen employment of 500 US
counties, 2003-2007; universal base period; 3 pre-periods, 4 post-periods), its covariance from
moderndid's influence functions. Target: the first post-period effect.

Tasks (each package doing the same work):
* relative magnitudes, the C-LF hybrid, 10 values of Mbar from 0 to 2, 1000 theta grid points
  over the same grid (l'betahat -/+ 20 sd, passed explicitly to every package);
* smoothness, the FLCI, the default 10 values of M.

tessarix's times include drawing the hybrid's simulations with NumPy (as tessarix.sensitivity
does). Each measurement alternates tessarix and the peer (one warm-up call each first) and
reports medians; a peer that takes longer than --budget seconds per call runs once. The ratio is
the peer's median over tessarix's. The script also prints the largest difference between the
bounds (tessarix's C-LF with the legacy RandomState draws that honestdid uses, the generator
draws that moderndid uses).

honestdid is not in the bench extra: it needs torch and, in version 0.1.1, a NumPy before 2.3
(later versions refuse its conversion of 1 x 1 arrays to floats). Run this script from an
environment of its own, for example:

    python -m venv /tmp/honest && /tmp/honest/bin/pip install "numpy<2.3" "torch==2.13.0" \
        "honestdid==0.1.1" moderndid . && /tmp/honest/bin/python benchmarks/bench_sensitivity.py

(torch==2.13.0 is a CPU build only where one is at hand locally; elsewhere install torch's CPU
build from its own index first.)

    python benchmarks/bench_sensitivity.py [--reps 5] [--budget 20] [--only rm|sd]

A missing package is reported and its rows are skipped.
"""

from __future__ import annotations

import argparse
import statistics
import time
import warnings
from typing import Callable, Optional

import numpy as np

warnings.filterwarnings("ignore")

MBAR = np.linspace(0.0, 2.0, 10)
GRID_POINTS = 1000


def event_study():
    import moderndid as md

    df = md.load_mpdta()
    gt = md.att_gt(data=df, yname="lemp", tname="year", gname="first.treat", idname="countyreal",
                   est_method="dr", boot=False, base_period="universal")
    es = md.aggte(gt, type="dynamic")
    keep = np.asarray(es.event_times) != -1
    inf = np.asarray(es.influence_func)[:, keep]
    return np.asarray(es.att_by_event)[keep], inf.T @ inf / inf.shape[0] ** 2, 3, 4


def timed(fn: Callable[[], object]) -> tuple[float, object]:
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out


def compare(name: str, ours: Callable[[], object], peer: Optional[Callable[[], object]], reps: int,
            budget: float) -> tuple[object, object]:
    ours()
    if peer is None:
        return ours(), None
    t_peer, peer_out = timed(peer)  # warm-up, and the only run of a slow peer
    runs = reps if t_peer < budget else 1
    t_ours, t_peers = [], [] if runs > 1 else [t_peer]
    for _ in range(runs):
        t, ours_out = timed(ours)
        t_ours.append(t)
        if runs > 1:
            t, peer_out = timed(peer)
            t_peers.append(t)
    mo, mp = statistics.median(t_ours), statistics.median(t_peers)
    print(f"  {name:<34} tessarix {mo * 1e3:9.1f} ms   peer {mp * 1e3:11.1f} ms   ratio {mp / mo:9.1f}x"
          f"   ({runs} run{'s' if runs > 1 else ''})")
    return ours_out, peer_out


def load(name: str):
    try:
        return __import__(name)
    except Exception as e:  # a missing or broken peer: its rows are skipped
        print(f"  {name}: not available ({type(e).__name__}: {e})")
        return None


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--budget", type=float, default=20.0)
    ap.add_argument("--only", choices=["rm", "sd"])
    args = ap.parse_args()

    from tessarix import _core

    b, s, num_pre, num_post = event_study()
    l = np.eye(num_post)[0]
    sd = float(np.sqrt(l @ s[num_pre:, num_pre:] @ l))
    lb, ub = float(l @ b[num_pre:] - 20 * sd), float(l @ b[num_pre:] + 20 * sd)
    honestdid, md = load("honestdid"), load("moderndid")
    print(f"event study: mpdta, {num_pre} pre-periods, {num_post} post-periods, target first post period")

    def ours_rm(legacy: bool):
        def run():
            covs = _core.honest_rm_draw_covariances(s, num_pre, num_post, MBAR)
            gen = (lambda: np.random.RandomState(0)) if legacy else (lambda: np.random.default_rng(0))
            draws = np.stack([gen().multivariate_normal(np.zeros(len(c)), c, size=1000) for c in covs])
            return _core.honest_relative_magnitude(b, s, num_pre, num_post, MBAR, l_vec=l, grid_points=GRID_POINTS,
                                                   grid_lb=lb, grid_ub=ub, draws=draws)
        return run

    def ours_sd():
        return _core.honest_smoothness(b, s, num_pre, num_post, l_vec=l)

    if args.only in (None, "rm"):
        print("relative magnitudes, C-LF, 10 Mbar, 1000 grid points")
        if honestdid is not None:
            try:
                o, p = compare("vs honestdid", ours_rm(True), lambda: honestdid.createSensitivityResults_relativeMagnitudes(
                    b, s, num_pre, num_post, method="C-LF", Mbarvec=MBAR, l_vec=l, gridPoints=GRID_POINTS,
                    grid_lb=lb, grid_ub=ub), args.reps, args.budget)
                diff = max(np.abs(o["lower"] - p["lb"].to_numpy()).max(), np.abs(o["upper"] - p["ub"].to_numpy()).max())
                print(f"    largest bound difference {diff:.3g}")
            except Exception as e:
                print(f"  honestdid failed: {type(e).__name__}: {e}")
        if md is not None:
            o, p = compare("vs moderndid", ours_rm(False), lambda: md.create_sensitivity_results_rm(
                b, s, num_pre, num_post, method="C-LF", m_bar_vec=MBAR, l_vec=l, grid_points=GRID_POINTS,
                grid_lb=lb, grid_ub=ub), args.reps, args.budget)
            diff = max(np.abs(o["lower"] - p["lb"].to_numpy()).max(), np.abs(o["upper"] - p["ub"].to_numpy()).max())
            print(f"    largest bound difference {diff:.3g} (moderndid takes the largest pre-period difference "
                  "one period late; equal at Mbar = 0)")

    if args.only in (None, "sd"):
        print("smoothness, FLCI, default 10 M")
        m = ours_sd()["m"]
        if honestdid is not None:
            try:
                o, p = compare("vs honestdid", ours_sd, lambda: honestdid.createSensitivityResults(
                    b, s, num_pre, num_post, Mvec=m, l_vec=l), args.reps, args.budget)
                diff = max(np.abs(o["lower"] - p["lb"].to_numpy()).max(), np.abs(o["upper"] - p["ub"].to_numpy()).max())
                print(f"    largest bound difference {diff:.3g} (honestdid searches 100 standard deviations; "
                      "tessarix minimises exactly)")
            except Exception as e:
                print(f"  honestdid failed: {type(e).__name__}: {e}")
        if md is not None:
            o, p = compare("vs moderndid", ours_sd, lambda: md.create_sensitivity_results_sm(
                b, s, num_pre, num_post, m_vec=m, l_vec=l), args.reps, args.budget)
            diff = max(np.abs(o["lower"] - p["lb"].to_numpy()).max(), np.abs(o["upper"] - p["ub"].to_numpy()).max())
            print(f"    largest bound difference {diff:.3g}")


if __name__ == "__main__":
    main()
