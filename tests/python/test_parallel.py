"""Parallel execution: results (fits, placebo tests, batches, bootstraps) independent of the
worker count, the interpreter lock released during long computations, and a pool that survives
fork()."""

import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import tessarix

SCRIPT = r"""
import numpy as np, tessarix
rng = np.random.default_rng(7)
y = np.cumsum(rng.normal(size=(25, 20)), axis=1) + rng.uniform(5, 15, size=(25, 1))
y[:3, 14:] += 2.0
out = []
for r in (tessarix.fit_sc(y, [0], 14, placebo=True), tessarix.fit_asc(y, [0], 14, placebo=True),
          tessarix.fit_sdid(y, [0], 14, inference="placebo"), tessarix.fit_rsc(y, [1], 14, placebo=True),
          tessarix.fit_fp(y, [2], 14, placebo=True, min_weight=0.01, max_weight=0.5),
          tessarix.fit_sdid(y, [0, 1, 2], 14, inference="jackknife")):
    out += [r.att, r.se, r.ci_lower, r.ci_upper] + r.weights + (r.placebo_atts or []) + (r.inference_distribution or [])
stack = np.stack([y + rng.normal(0, 0.1, size=y.shape) for _ in range(12)])
for m in ("sc", "asc", "sdid", "fp", "rsc"):
    out += tessarix.fit_many(stack, [0, 1], 14, method=m).tolist()
for kind in ("block", "stationary"):
    for block_len, reps in ((1, 999), (7, 5000), (40, 20)):
        out += tessarix.bootstrap_mean(y[0], kind=kind, block_len=block_len, n_reps=reps, seed=11, level=0.9)
cohorts = [5] * 6 + [9] * 5 + [14] * 4 + [-1] * 10
for control in ("never", "notyet"):
    cs = tessarix.fit_callaway_py(y, cohorts, control=control, bands=True, n_reps=777, seed=5)
    out += cs.event_lo + cs.event_hi + [cs.band_crit]
for p in (tessarix.geo_power(y, [0, 1], 3, [0.0, 0.1, 0.3]),
          tessarix.geo_power_ensemble(y, [2], 3, [0.2], members=["sc", "fp", "rsc"])):
    out += p.power + p.est_mean + p.est_lo + [p.crit, p.se_null] + (p.ensemble_weights or [])
for kwargs in ({}, {"lambda_": 2.0, "max_rank": 3, "seed": 4}):
    out += tessarix.fit_mcnnm(y, [0, 1, 2], 14, **kwargs).att_path
print(" ".join(float(v).hex() for v in out))
"""


def run_with_threads(n):
    env = dict(os.environ, TESSARIX_NUM_THREADS=str(n))
    return subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, check=True).stdout


def test_results_are_bit_identical_for_any_worker_count():
    one = run_with_threads(1)
    assert len(one.split()) > 200
    assert run_with_threads(2) == one
    assert run_with_threads(5) == one


def test_lock_is_released_while_fitting():
    rng = np.random.default_rng(8)
    stack = np.cumsum(rng.normal(size=(1200, 40, 30)), axis=2) + 10.0
    window = {}

    def work():
        window["start"] = time.perf_counter()
        tessarix.fit_many(stack, [0], 22, method="sc")
        window["end"] = time.perf_counter()

    worker = threading.Thread(target=work)
    ticks = []
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
        time.sleep(0.001)
    worker.join()
    start, end = window["start"], window["end"]
    assert end - start > 0.05, "the batch finished too quickly to observe"
    # This thread kept running while the batch was in native code.
    inside = [t for t in ticks if start + 0.01 < t < end - 0.01]
    assert len(inside) >= 5


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_forked_child_computes_correctly():
    rng = np.random.default_rng(9)
    y = np.cumsum(rng.normal(size=(15, 16)), axis=1) + 10.0
    parent = tessarix.fit_sc(y, [0], 12, placebo=True)  # the pool is running now
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # child: a fresh pool must be built, the inherited one left alone
        try:
            child = tessarix.fit_sc(y, [0], 12, placebo=True)
            ok = child.placebo_atts == parent.placebo_atts and child.p_value == parent.p_value
            os.write(write, b"ok" if ok else b"mismatch")
        finally:
            os._exit(0)
    os.close(write)
    answer = os.read(read, 16)
    os.waitpid(pid, 0)
    assert answer == b"ok"
