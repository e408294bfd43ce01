"""Market search speed: tessarix.geo_select against a baseline build of tessarix, in one run,
with every reported number compared.

Panels: seeded weekly sales (lognormal market sizes, a yearly season, 5% multiplicative noise).
Searches, with the entry point's defaults otherwise (alpha 0.1, target power 0.8, all placebo
windows), max_treated 5, test_len 8, target_lift 0.05, 200 candidates, seed 7:
* national: 210 markets x 156 weeks, SDID;
* regional: 50 markets x 104 weeks, SDID and SC.

The baseline is another Python environment with the build to compare against installed
(--baseline /path/to/python). Each search runs in a fresh process of each build, the two builds
alternating, --reps times; the times are the medians. Every field of every candidate (the
treated set and rank, mde_pct, power_at_target, holdout_pct, pre_fit_rel, stability_score,
confidence, score) is compared: the counts of bit-identical fields and the largest relative
difference are printed beside the speed-up.

    python benchmarks/bench_market_search.py --baseline /work/venv-base/bin/python [--reps 1]
        [--only national|regional-sdid|regional-sc]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import statistics
import subprocess
import sys
import time

import numpy as np

SEED = 2112
# name: (markets, weeks, method)
CASES = {
    "national": (210, 156, "sdid"),
    "regional-sdid": (50, 104, "sdid"),
    "regional-sc": (50, 104, "sc"),
}
SEARCH = dict(max_treated=5, test_len=8, target_lift=0.05, n_candidates=200, seed=7)
FIELDS = ("mde_pct", "power_at_target", "holdout_pct", "pre_fit_rel", "stability_score", "confidence", "score")
TARGET = 5.0  # speed-up each search should reach against the baseline


def sales_panel(n_markets: int, n_weeks: int, seed: int = SEED) -> np.ndarray:
    """Markets x weeks: a lognormal size per market times a yearly season, with 5% noise."""
    rng = np.random.default_rng(seed)
    size = rng.lognormal(mean=7.0, sigma=1.0, size=(n_markets, 1))
    weeks = np.arange(n_weeks)
    season = 1.0 + 0.2 * np.sin(2 * np.pi * weeks / 52.0) + 0.1 * np.cos(2 * np.pi * weeks / 26.0)
    noise = rng.normal(scale=0.05, size=(n_markets, n_weeks))
    return size * season * (1.0 + noise)


def worker(case: str) -> None:
    """Runs one search in this process and prints its time and results as JSON."""
    import tessarix

    n, weeks, method = CASES[case]
    y = sales_panel(n, weeks)
    start = time.perf_counter()
    ranked = tessarix.geo_select(y, list(range(n)), SEARCH["max_treated"], SEARCH["test_len"],
                                 SEARCH["target_lift"], method=method, n_candidates=SEARCH["n_candidates"],
                                 seed=SEARCH["seed"])
    seconds = time.perf_counter() - start
    rows = [{"treated": list(c.treated), **{f: getattr(c, f) for f in FIELDS}} for c in ranked]
    for row in rows:  # floats as exact hexadecimal text, None kept
        for f in FIELDS:
            row[f] = None if row[f] is None else float(row[f]).hex()
    print(json.dumps({"seconds": seconds, "rows": rows, "module": tessarix._tessarix.__file__}))


def run(python: str, case: str, baseline: bool) -> dict:
    # The baseline's environment finds its own build: a PYTHONPATH pointing at this checkout
    # (as when running from a source tree) must not reach it.
    env = {k: v for k, v in os.environ.items() if not (baseline and k == "PYTHONPATH")}
    out = subprocess.run([python, __file__, "--worker", case], check=True, capture_output=True, text=True, env=env)
    return json.loads(out.stdout.strip().splitlines()[-1])


def compare(base: list[dict], new: list[dict]) -> tuple[int, int, float, bool]:
    """(bit-identical fields, fields, max relative difference, same treated sets in the same order)."""
    same_order = [r["treated"] for r in base] == [r["treated"] for r in new]
    identical = total = 0
    worst = 0.0
    for rb, rn in zip(base, new):
        for f in FIELDS:
            total += 1
            a, b = rb[f], rn[f]
            if a == b:
                identical += 1
                continue
            if a is None or b is None:
                worst = math.inf
                continue
            x, z = float.fromhex(a), float.fromhex(b)
            if math.isnan(x) and math.isnan(z):
                identical += 1
                continue
            worst = max(worst, abs(x - z) / max(abs(x), abs(z)))
    return identical, total, worst, same_order and len(base) == len(new)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--baseline", help="python of the environment with the baseline build")
    parser.add_argument("--reps", type=int, default=1)
    parser.add_argument("--only", choices=sorted(CASES))
    parser.add_argument("--worker", choices=sorted(CASES), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker)
        return
    if not args.baseline:
        parser.error("--baseline is required")
    print("== Market search: geo_select, 200 candidates, max_treated 5, test_len 8, target_lift 0.05")
    print(f"   baseline {args.baseline}, new {sys.executable}; {args.reps} run(s) each, alternating")
    for case in [args.only] if args.only else list(CASES):
        n, weeks, method = CASES[case]
        times = {"base": [], "new": []}
        results, modules = {}, {}
        for _ in range(args.reps):
            for label, python in (("base", args.baseline), ("new", sys.executable)):
                r = run(python, case, label == "base")
                times[label].append(r["seconds"])
                modules[label] = r["module"]
                results[label] = r["rows"]
        if modules["base"] == modules["new"]:
            raise SystemExit(f"both builds load {modules['new']}: nothing to compare")
        t_base, t_new = statistics.median(times["base"]), statistics.median(times["new"])
        identical, total, worst, same = compare(results["base"], results["new"])
        ratio = t_base / t_new
        print(f"   {case:14s} {n:3d} x {weeks:3d} {method:4s}  baseline {t_base:7.2f} s  new {t_new:7.2f} s  "
              f"{ratio:5.2f}x (target {TARGET:.0f}x: {'met' if ratio >= TARGET else 'MISSED'})")
        print(f"   {'':14s} numbers: {identical}/{total} fields bit-identical, max relative difference {worst:.3g}, "
              f"treated sets and ranking {'identical' if same else 'DIFFER'}")


if __name__ == "__main__":
    main()
