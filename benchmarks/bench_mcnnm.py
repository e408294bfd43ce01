"""Matrix completion with a nuclear-norm penalty: tessarix.fit_mcnnm against causaltensor.

Two tasks, timed in one run (median of --reps runs after one warm-up):

* Proposition 99 (39 states x 31 years, California treated from 1989) with the penalty chosen
  by each package's own validation: tessarix's hold-out grid (default arguments) against
  causaltensor's `MCNNMPanelSolver.solve_with_cross_validation` (its defaults).
* A simulated 500 x 200 panel (unit and period effects plus a rank-3 part plus noise; the last
  50 periods of the first 50 units held out as treated, true effect 0) at given penalties:
  tessarix's full-SVD path and its `max_rank` path against causaltensor's
  `solve_with_regularizer` at the same penalty (its default convergence threshold).

Prints each package's time and effect and the ratio (causaltensor time / tessarix time).
causaltensor's releases pin NumPy < 2; install it with
`pip install cvxpy toolz tqdm && pip install --no-deps causaltensor`.

    python benchmarks/bench_mcnnm.py [--reps 3]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import statistics
import time
from pathlib import Path

import numpy as np

import tessarix

DATA = Path(__file__).resolve().parent / "data" / "california_prop99.csv"
# Below (20) and above (40) the noise edge of the simulated panel (about sqrt(500) + sqrt(200)).
SIM_LAMBDAS = (20.0, 40.0)


def load_prop99():
    rows = [line.rstrip("\n").split(";") for line in open(DATA, encoding="utf-8")][1:]
    states = sorted({r[0] for r in rows})
    years = sorted({int(r[1]) for r in rows})
    y = np.empty((len(states), len(years)))
    for state, year, packs, _ in rows:
        y[states.index(state), years.index(int(year))] = float(packs)
    return y, states.index("California"), years.index(1989)


def simulated(n=500, t=200, rank=3, seed=0):
    rng = np.random.default_rng(seed)
    low = rng.normal(size=(n, rank)) @ rng.normal(size=(rank, t))
    fe = rng.normal(0, 2, size=(n, 1)) + rng.normal(0, 1, size=(1, t))
    return fe + low + rng.normal(0, 1.0, size=(n, t)), list(range(50)), t - 50


def timed(fn, reps):
    fn()
    times, out = [], None
    for _ in range(reps):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), out


def causaltensor_fit(y, treated, t0, lam=None):
    from causaltensor.cauest.MCNNM import MCNNMPanelSolver

    z = np.zeros_like(y)
    z[treated, t0:] = 1.0
    solver = MCNNMPanelSolver(Z=z)
    with contextlib.redirect_stdout(io.StringIO()):
        if lam is None:
            return solver.solve_with_cross_validation(O=y, list_l=[]).tau
        return solver.solve_with_regularizer(O=y, l=lam).tau


def row(label, peer, ours):
    (pt, pe), (ot, oe) = peer, ours
    print(f"{label:<44} causaltensor {pt:8.4f} s (effect {pe:+.5f})   tessarix {ot:8.4f} s "
          f"(effect {oe:+.5f})   ratio {pt / ot:7.1f}x")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()
    try:
        import causaltensor  # noqa: F401
    except ImportError:
        print("causaltensor is not installed; nothing to compare against")
        return

    y, ca, t0 = load_prop99()
    peer = timed(lambda: causaltensor_fit(y, [ca], t0), args.reps)
    ours = timed(lambda: tessarix.fit_mcnnm(y, [ca], t0).att, args.reps)
    row("Prop 99, penalty chosen by validation", peer, ours)

    y, treated, t0 = simulated()
    for lam in SIM_LAMBDAS:
        peer = timed(lambda: causaltensor_fit(y, treated, t0, lam), args.reps)
        full = timed(lambda: tessarix.fit_mcnnm(y, treated, t0, lambda_=lam).att, args.reps)
        capped = timed(lambda: tessarix.fit_mcnnm(y, treated, t0, lambda_=lam, max_rank=10).att,
                       args.reps)
        row(f"500 x 200 rank 3, lambda {lam:g}, full SVD", peer, full)
        row(f"500 x 200 rank 3, lambda {lam:g}, max_rank 10", peer, capped)


if __name__ == "__main__":
    main()
