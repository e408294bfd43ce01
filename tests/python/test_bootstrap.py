"""bootstrap_mean: validation order, the invariants of block and stationary resampling, the
sampling formula in the i.i.d. case, the answers where no spread can be estimated or plain
sums would overflow, independence of the worker count, and Ctrl-C."""

import math
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import tessarix

KINDS = ("block", "stationary")


def test_validation_messages_in_order():
    nan, inf = float("nan"), float("inf")
    cases = [
        (([],), {}, "series must be non-empty and finite"),
        (([1.0, nan],), {"block_len": 0}, "series must be non-empty and finite"),
        (([1.0, -inf],), {}, "series must be non-empty and finite"),
        (([1.0, 2.0],), {"block_len": 0, "n_reps": 0}, "block_len must be >= 1; got 0"),
        (([1.0, 2.0],), {"n_reps": 0, "level": 2.0}, "n_reps must be >= 1; got 0"),
        (([1.0, 2.0],), {"level": 1.0, "kind": "Block"}, "level must be in (0, 1); got 1"),
        (([1.0, 2.0],), {"level": nan}, "level must be in (0, 1); got NaN"),
        (([1.0, 2.0],), {"kind": "Block"}, "unknown bootstrap kind 'Block' (expected block/stationary)"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(ValueError) as err:
            tessarix.bootstrap_mean(*args, **kwargs)
        assert str(err.value) == message, (args, kwargs)
    with pytest.raises(TypeError, match="^argument 'series': "):
        tessarix.bootstrap_mean("1.0")
    with pytest.raises(TypeError, match="^argument 'level': "):
        tessarix.bootstrap_mean([1.0], level=None)
    with pytest.raises(OverflowError):
        tessarix.bootstrap_mean([1.0], n_reps=-1)


@pytest.mark.parametrize("kind", KINDS)
def test_degenerate_resamples_and_reproducibility(kind):
    assert tessarix.bootstrap_mean([3.0] * 10, kind=kind) == (0.0, 3.0, 3.0)
    x = np.random.default_rng(1).normal(size=40).tolist()
    res = tessarix.bootstrap_mean(x, kind=kind, block_len=3, n_reps=500, seed=4)
    assert type(res) is tuple and all(type(v) is float for v in res)
    assert tessarix.bootstrap_mean(np.array(x), kind=kind, block_len=3, n_reps=500, seed=4) == res
    assert tessarix.bootstrap_mean(x, kind=kind, block_len=3, n_reps=500, seed=5) != res
    se, lower, upper = res
    assert se > 0 and lower < np.mean(x) < upper


def test_whole_series_blocks_are_rotations():
    x = np.random.default_rng(2).normal(size=30)
    for block_len in (30, 1000):
        se, lower, upper = tessarix.bootstrap_mean(x.tolist(), block_len=block_len, n_reps=200)
        assert se < 1e-15
        assert lower == pytest.approx(x.mean(), abs=1e-15) and upper == pytest.approx(x.mean(), abs=1e-15)


def test_iid_resampling_matches_the_sampling_formula_and_blocks_see_dependence():
    rng = np.random.default_rng(3)
    x = rng.normal(size=4000)
    plug_in = x.std() / math.sqrt(x.size)  # the i.i.d. bootstrap's own target
    for kind in KINDS:
        se, _, _ = tessarix.bootstrap_mean(x.tolist(), kind=kind, block_len=1, n_reps=4000, seed=1)
        assert se == pytest.approx(plug_in, rel=0.05), kind
    # AR(1) with phi = 0.8: the long-run standard error is 3 times the i.i.d. one; long blocks
    # recover most of it, single values none.
    ar = np.zeros(4000)
    for t in range(1, ar.size):
        ar[t] = 0.8 * ar[t - 1] + rng.normal()
    iid = tessarix.bootstrap_mean(ar.tolist(), block_len=1, n_reps=2000)[0]
    for kind in KINDS:
        assert tessarix.bootstrap_mean(ar.tolist(), kind=kind, block_len=50, n_reps=2000)[0] > 2.0 * iid, kind


@pytest.mark.parametrize("kind", KINDS)
def test_one_replicate_has_no_spread(kind):
    se, lower, upper = tessarix.bootstrap_mean([1.0, 2.0, 4.0], kind=kind, n_reps=1)
    assert math.isnan(se) and math.isnan(lower) and math.isnan(upper)


@pytest.mark.parametrize("kind", KINDS)
def test_values_near_the_top_of_the_double_range(kind):
    # Their plain sums overflow; the figures are exactly the scaled ones of the same series
    # taken 2^100 times smaller.
    x = [1.5e308, 1.7e308, 1.6e308, 1.75e308, 1.55e308]
    res = tessarix.bootstrap_mean(x, kind=kind, block_len=2, n_reps=300)
    assert all(math.isfinite(v) for v in res)
    small = tessarix.bootstrap_mean([v / 2.0**100 for v in x], kind=kind, block_len=2, n_reps=300)
    assert res == tuple(v * 2.0**100 for v in small)
    assert 0 < res[0] < 1e307 and 1.49e308 < res[1] < res[2] < 1.76e308


SCRIPT = r"""
import numpy as np, tessarix
x = (np.cumsum(np.random.default_rng(5).normal(size=300)) * 0.1).tolist()
out = []
for kind in ("block", "stationary"):
    for block_len, reps in ((1, 999), (7, 5000), (400, 20)):
        out += tessarix.bootstrap_mean(x, kind=kind, block_len=block_len, n_reps=reps, seed=11, level=0.9)
print(" ".join(float(v).hex() for v in out))
"""


def test_results_are_bit_identical_for_any_worker_count():
    runs = {n: subprocess.run([sys.executable, "-c", SCRIPT], env=dict(os.environ, TESSARIX_NUM_THREADS=str(n)),
                              capture_output=True, text=True, check=True).stdout for n in (1, 2, 5)}
    assert len(runs[1].split()) == 18
    assert runs[2] == runs[1] and runs[5] == runs[1]


CHILD = r"""
import signal, time
import numpy as np, tessarix

signal.signal(signal.SIGINT, signal.default_int_handler)
x = np.random.default_rng(6).normal(size=100).tolist()
before = tessarix.bootstrap_mean(x, n_reps=3000)
print("start", flush=True)
outcome = "returned"
try:
    tessarix.bootstrap_mean(x, kind="stationary", n_reps=10**7)  # seconds of replicates
except KeyboardInterrupt:
    outcome = "interrupted"
caught = time.monotonic()
print(outcome, caught, tessarix.bootstrap_mean(x, n_reps=3000) == before, flush=True)
"""


@pytest.mark.skipif(not hasattr(signal, "SIGINT") or os.name != "posix", reason="needs POSIX signals")
def test_ctrl_c_cancels_a_long_bootstrap_and_the_process_computes_on():
    env = dict(os.environ, TESSARIX_NUM_THREADS="2")
    child = subprocess.Popen([sys.executable, "-c", CHILD], env=env, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert child.stdout.readline().strip() == "start", child.communicate(timeout=60)[1]
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err
    outcome, caught, same = out.split()
    assert outcome == "interrupted"
    assert float(caught) - sent < 1.0, "KeyboardInterrupt came too late"
    assert same == "True"
