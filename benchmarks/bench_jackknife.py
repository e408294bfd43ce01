"""The SDID leave-one-out jackknife on the shared pool: one worker against two.

`fit_sdid(y, treated, treat_time, inference="jackknife")` fits the panel once and then computes
one leave-one-out effect per treated unit and per donor with the full fit's unit and time
weights; the cases share every donor's contrast, so each costs one mean path or one weighted sum,
and they run in parallel. This script times the call, and the fit alone, in two fresh
processes, one with TESSARIX_NUM_THREADS=1 and one with TESSARIX_NUM_THREADS=2, on the same
simulated panel (1,516 units x 100 periods, 16 treated from period 20, a three-factor model with
noise, fixed seed), checks that both return bit-identical results, and prints what the
jackknife adds to the fit and the speed-up of the call.

    python benchmarks/bench_jackknife.py [--reps 15]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

CHILD = r"""
import json, statistics, sys, time
import numpy as np
import tessarix

reps = int(sys.argv[1])
rng = np.random.default_rng(2026)
n, t, t0, n_treated = 1516, 100, 20, 16
factors = rng.normal(size=(3, t)).cumsum(axis=1)
y = rng.normal(size=(n, 3)) @ factors + rng.normal(scale=0.5, size=(n, t)) + rng.uniform(5, 15, size=(n, 1))
y[:n_treated, t0:] += 1.0
treated = list(range(n_treated))

# The fit alone and the call with the jackknife alternate, so that drifts of a shared machine
# touch both alike; the first pair warms up.
times = {"none": [], "jackknife": []}
for _ in range(reps + 1):
    for kind in times:
        start = time.perf_counter()
        res = tessarix.fit_sdid(y, treated, t0, inference=kind)
        times[kind].append(time.perf_counter() - start)
fit_s = statistics.median(times["none"][1:])
jack_s = statistics.median(times["jackknife"][1:])
print(json.dumps({"fit_s": fit_s, "jackknife_s": jack_s,
                  "result": [res.att.hex(), res.se.hex(), res.ci_lower.hex(), res.ci_upper.hex()]}))
"""


def run(workers: int, reps: int) -> dict:
    env = dict(os.environ, TESSARIX_NUM_THREADS=str(workers))
    out = subprocess.run([sys.executable, "-c", CHILD, str(reps)], env=env, check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--reps", type=int, default=15, help="timed runs per measurement (median)")
    args = ap.parse_args()
    one, two = run(1, args.reps), run(2, args.reps)
    print("== SDID jackknife on the pool: 1 worker vs 2 (1,516 x 100 panel, 16 treated units)")
    print(f"fit alone (inference='none'):  1 worker {one['fit_s'] * 1e3:8.1f} ms   2 workers {two['fit_s'] * 1e3:8.1f} ms")
    print(f"fit + jackknife:               1 worker {one['jackknife_s'] * 1e3:8.1f} ms   2 workers {two['jackknife_s'] * 1e3:8.1f} ms")
    extra1 = one["jackknife_s"] - one["fit_s"]
    extra2 = two["jackknife_s"] - two["fit_s"]
    print(f"jackknife beyond the fit:      1 worker {extra1 * 1e3:8.1f} ms   2 workers {extra2 * 1e3:8.1f} ms")
    print(f"speed-up of the jackknife call on 2 workers: {one['jackknife_s'] / two['jackknife_s']:.2f}x "
          f"(the single-threaded fit is {one['fit_s'] / one['jackknife_s']:.0%} of the call on 1 worker)")
    same = one["result"] == two["result"]
    print(f"att, se and interval bit-identical at 1 and 2 workers: {same}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
