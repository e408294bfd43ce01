"""Geo-experiment design: market search and power analysis, tessarix against a Python loop
over the fastest Python SDID peer, in one run.

Panel: 50 markets x 104 weekly periods (market levels, a shared yearly season, trend and
noise; fixed seed). Tasks, with the entry points' defaults (SDID, alpha 0.1, target power 0.8,
all placebo windows):
* geo_power for one candidate (three markets), test_len 8, five lifts: 89 windows;
* geo_select over all 50 markets, max_treated 5, test_len 8, target_lift 0.05, 200 candidates
  (the 50 single markets and 150 random sets, each with a five-lift power analysis and the
  design diagnostics).

The peers do the same power analysis the plain way, one SDID fit per window and lift
(synthdid-py's synthdid_estimate and causaltensor's SDID). Each is timed on a sample of windows;
the fastest is extrapolated to the full analysis and to the 200-candidate search, and the
ratios compare those extrapolations with tessarix's measured times.

    python benchmarks/bench_geo.py [--reps 5] [--sample 12]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import statistics
import time
import warnings

import numpy as np

warnings.filterwarnings("ignore")

N_MARKETS, N_PERIODS, TEST_LEN = 50, 104, 8
LIFTS = [0.0, 0.025, 0.05, 0.075, 0.1]
CANDIDATES = 200


def weekly_panel(seed=2026):
    rng = np.random.default_rng(seed)
    level = rng.lognormal(mean=6.0, sigma=0.6, size=(N_MARKETS, 1))
    weeks = np.arange(N_PERIODS)
    season = 1.0 + 0.15 * np.sin(2 * np.pi * weeks / 52.0) + 0.002 * weeks
    noise = rng.normal(scale=0.04, size=(N_MARKETS, N_PERIODS))
    return level * season * (1.0 + noise)


def median_time(fn, reps):
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def synthdid_py_fit():
    """One SDID fit by synthdid-py (controls first, treated markets last)."""
    import synthdid

    if not hasattr(synthdid, "synthdid_estimate"):
        raise ImportError("the installed `synthdid` module is not synthdid-py")

    def fit(y, treated, start, lift):
        sub = y[:, :start + TEST_LEN].copy()
        sub[treated, start:] *= 1.0 + lift
        controls = [u for u in range(y.shape[0]) if u not in treated]
        with contextlib.redirect_stdout(io.StringIO()):
            return float(synthdid.synthdid_estimate(sub[controls + treated], len(controls), start))

    return fit


def causaltensor_fit():
    """One SDID fit by causaltensor (treated markets first, a treatment-indicator matrix)."""
    from causaltensor.cauest.SDID import SDID

    def fit(y, treated, start, lift):
        sub = y[:, :start + TEST_LEN].copy()
        sub[treated, start:] *= 1.0 + lift
        order = list(treated) + [u for u in range(y.shape[0]) if u not in treated]
        z = np.zeros((y.shape[0], start + TEST_LEN))
        z[:len(treated), start:] = 1.0
        with contextlib.redirect_stdout(io.StringIO()):
            return float(SDID(sub[order], z, treat_units=list(range(len(treated))), starting_time=start))

    return fit


PEERS = {"synthdid-py": synthdid_py_fit, "causaltensor": causaltensor_fit}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--sample", type=int, default=12, help="peer windows timed")
    args = parser.parse_args()
    import tessarix

    y = weekly_panel()
    treated = [3, 17, 29]
    windows = N_PERIODS - TEST_LEN - TEST_LEN + 1  # starts TEST_LEN .. T - TEST_LEN
    print("== Geo-experiment design: tessarix against a Python loop over SDID fits")
    print(f"panel {N_MARKETS} markets x {N_PERIODS} periods, test_len {TEST_LEN}, {windows} windows, "
          f"{len(LIFTS)} lifts")

    power = tessarix.geo_power(y, treated, TEST_LEN, LIFTS)
    t_power = median_time(lambda: tessarix.geo_power(y, treated, TEST_LEN, LIFTS), args.reps * 4)
    print(f"   geo_power, one candidate          tessarix {t_power * 1e3:9.1f} ms   target < 100 ms: "
          f"{'met' if t_power < 0.1 else 'MISSED'}   ({power.n_windows} windows, MDE {power.mde_pct})")

    select = lambda: tessarix.geo_select(y, list(range(N_MARKETS)), 5, TEST_LEN, 0.05,
                                         n_candidates=CANDIDATES, seed=7)
    ranked = select()
    t_select = median_time(select, args.reps)
    print(f"   geo_select, {len(ranked)} candidates        tessarix {t_select:9.2f} s    target < 10 s: "
          f"{'met' if t_select < 10 else 'MISSED'}   (best {ranked[0].treated}, "
          f"power {ranked[0].power_at_target:.2f})")

    rng = np.random.default_rng(1)
    starts = rng.choice(np.arange(TEST_LEN, N_PERIODS - TEST_LEN + 1), size=args.sample, replace=False)
    per_fit = {}
    for name, factory in PEERS.items():
        try:
            fit = factory()
        except Exception as exc:  # noqa: BLE001 - a missing peer is reported, not fatal
            print(f"   {name} not available ({type(exc).__name__})")
            continue
        fit(y, treated, int(starts[0]), 0.0)  # warm-up
        start = time.perf_counter()
        for s in starts:
            fit(y, treated, int(s), 0.05)
        per_fit[name] = (time.perf_counter() - start) / len(starts)
        print(f"   {name}: {per_fit[name] * 1e3:.1f} ms per window fit ({args.sample} sampled windows)")
    if not per_fit:
        return
    fastest = min(per_fit, key=per_fit.get)
    per_fit = per_fit[fastest]
    print(f"   fastest peer: {fastest}")
    peer_power = per_fit * windows * len(LIFTS)
    peer_select = peer_power * CANDIDATES
    print(f"   geo_power, one candidate          peer (extrapolated) {peer_power:8.2f} s   "
          f"tessarix {peer_power / t_power:8.0f}x faster")
    print(f"   geo_select, {CANDIDATES} candidates        peer (extrapolated) {peer_select / 60:8.1f} min "
          f"tessarix {peer_select / t_select:8.0f}x faster")


if __name__ == "__main__":
    main()
