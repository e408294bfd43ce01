"""Calling an entry point over and over on a tiny panel, inference included, leaves the
process's memory flat: what a call allocates, natively or as Python objects, it releases.

Each entry point is called 10,000 times (the front ends, a hundred times slower, 2,000 times):
a warm-up fills the allocator's arenas, the worker pool and the interpreter's caches, then
the resident set size and the count of live Python memory blocks are read after 2,000 calls
(400 for the front ends) and again at the end."""

import gc
import os
import sys

import numpy as np
import pytest

import tessarix
from tessarix import _core

if not os.path.exists("/proc/self/statm"):
    pytest.skip("reads the resident set size from /proc/self/statm", allow_module_level=True)

# Under AddressSanitizer freed blocks wait in a quarantine and every block carries redzones, so
# the resident set grows with the calls by design; leaks there are LeakSanitizer's to find.
pytestmark = pytest.mark.skipif(bool(os.environ.get("TESSARIX_SANITIZED_SITE")),
                                reason="resident memory is not flat under AddressSanitizer's quarantine")

PAGE = os.sysconf("SC_PAGE_SIZE")
# Allowed growth of the resident set over the measured calls. A leak of 128 bytes a call
# grows it by 1 MiB over the 8,000 measured native calls; with every call's memory released
# it moves by at most a page, or once by about half a MiB where the allocator raises its
# threshold for serving large blocks from the heap instead of fresh mappings (measured). The
# front ends' 1,600 measured calls are held chiefly by the block count below.
RSS_TOLERANCE = 1 << 20
# Allowed growth of the live Python memory blocks: interpreter caches move by a few dozen
# (measured: at most 61 right after warm-up, single digits after); one object leaked per
# call adds 8,000 (1,600 for the front ends).
BLOCK_TOLERANCE = 200

RNG = np.random.default_rng(31)
Y = np.cumsum(RNG.normal(size=(5, 8)), axis=1) + 10.0
T0 = 5
COHORTS = [3, 5, -1, -1, -1]
SERIES = list(RNG.normal(size=12))
CANDIDATES = tessarix.geo_select(Y, [0, 1, 2], 1, 2, 0.1, n_candidates=3, method="sc")
UNITS = np.repeat(np.arange(5), 8).astype(np.int64)
TIMES = np.tile(np.arange(8), 5).astype(np.int64)
# A long frame as a dict of columns (the lightest frame the front ends read).
FRAME = {"unit": UNITS, "time": TIMES + 2000, "y": Y.reshape(-1), "first": np.repeat([2003, 2005, 0, 0, 0], 8)}
LONG = dict(unit="unit", time="time", outcome="y")


def quiet(done, total):
    return None


NATIVE = {
    "fit_sc": lambda: tessarix.fit_sc(Y, [0], T0, placebo=True, max_weight=0.5),
    "fit_asc": lambda: tessarix.fit_asc(Y, [0], T0, placebo=True),
    "fit_sdid_placebo": lambda: tessarix.fit_sdid(Y, [0], T0, inference="placebo"),
    "fit_sdid_jackknife": lambda: tessarix.fit_sdid(Y, [0, 1], T0, inference="jackknife"),
    "fit_fp": lambda: tessarix.fit_fp(Y, [0], T0, placebo=True),
    "fit_rsc": lambda: tessarix.fit_rsc(Y, [0], T0, placebo=True),
    "fit_mcnnm": lambda: tessarix.fit_mcnnm(Y[:4, :6], [0], 4, max_iter=5),  # penalty by hold-out
    "fit_mcnnm_sketch": lambda: tessarix.fit_mcnnm(Y, [0], T0, lambda_=0.5, max_rank=2, max_iter=5),
    "fit_cpasc": lambda: tessarix.fit_cpasc(Y, [0, 1], T0, mode="stratified"),
    "fit_many": lambda: tessarix.fit_many(np.stack([Y, Y[::-1]]), [0], T0, method="asc"),
    "bootstrap_mean": lambda: tessarix.bootstrap_mean(SERIES, kind="stationary", n_reps=50),
    "fit_twfe_py": lambda: tessarix.fit_twfe_py(Y, COHORTS),
    "fit_callaway_py": lambda: tessarix.fit_callaway_py(Y, COHORTS, bands=True, n_reps=50),
    "fit_sunab_py": lambda: tessarix.fit_sunab_py(Y, COHORTS),
    "bacon_decompose_py": lambda: tessarix.bacon_decompose_py(Y, COHORTS),
    "geo_power": lambda: tessarix.geo_power(Y, [0], 2, [0.0, 0.1]),
    "geo_power_ensemble": lambda: tessarix.geo_power_ensemble(Y, [0], 2, [0.0, 0.1]),
    "geo_diagnostics": lambda: tessarix.geo_diagnostics(Y, [0], 2),
    "geo_select": lambda: tessarix.geo_select(Y, [0, 1], 1, 2, 0.1, n_candidates=2, method="sc"),
    "version": lambda: tessarix.version(),
    # The second module: what the front ends call, and the progress-reporting variants.
    "pivot_long": lambda: _core.pivot_long(UNITS, TIMES, [Y.reshape(-1)], []),
    "paths_sc": lambda: _core.paths_sc(Y, [0], T0, placebo=True),
    "paths_sdid": lambda: _core.paths_sdid(Y, [0], T0, placebo=True),
    "paths_mcnnm": lambda: _core.paths_mcnnm(Y, [0], T0, lambda_=0.5, max_iter=5),
    "geo_windows": lambda: _core.geo_windows(Y, [0], 2, members=["sc", "fp"]),
    "geo_candidates": lambda: _core.geo_candidates(Y, [0, 1, 2], 1, 2, 0.1, n_candidates=3),
    "geo_evaluate": lambda: _core.geo_evaluate(Y, [0, 1, 2], 1, 2, 0.1, method="sc", candidates=[[0], [1]]),
    "geo_rank": lambda: _core.geo_rank(CANDIDATES),
    "fit_sc_progress": lambda: _core.fit_sc(Y, [0], T0, placebo=True, progress=quiet),
    "fit_callaway_progress": lambda: _core.fit_callaway_py(Y, COHORTS, bands=True, n_reps=50, progress=quiet),
    "geo_power_progress": lambda: _core.geo_power(Y, [0], 2, [0.1], method="fp", progress=quiet),
}
FRONT_ENDS = {
    "synth": lambda: tessarix.synth(FRAME, **LONG, treated=0, start=2000 + T0, inference="placebo").placebos,
    "did": lambda: tessarix.did(FRAME, **LONG, cohort="first", bands=True, n_reps=20).event_study,
    "bacon": lambda: tessarix.bacon(FRAME, **LONG, cohort="first").components,
    "geo.power": lambda: tessarix.geo.power(FRAME, **LONG, treated=0, test_len=2, lifts=[0.1], method="sc").windows,
    "geo.select": lambda: tessarix.geo.select(FRAME, **LONG, max_treated=1, test_len=2, target_lift=0.1,
                                              eligible=[0, 1], n_candidates=2, method="sc").candidates,
    "geo.diagnose": lambda: tessarix.geo.diagnose(FRAME, **LONG, treated=0, test_len=2),
}


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def footprint():
    """(resident bytes, live Python memory blocks), garbage collected first."""
    gc.collect()
    return resident(), sys.getallocatedblocks()


def assert_flat(fn, warm_up, first, total):
    # A wide batch first, so that every worker of the pool has allocated (and its allocator
    # arena exists) before anything is measured, however many workers this machine has.
    tessarix.fit_many(np.stack([Y] * 512), [0], T0, method="sdid")
    for _ in range(warm_up):
        fn()
    for _ in range(first):
        fn()
    rss0, blocks0 = footprint()
    for _ in range(total - first):
        fn()
    rss1, blocks1 = footprint()
    assert rss1 - rss0 <= RSS_TOLERANCE, f"resident set grew by {(rss1 - rss0) >> 10} KiB"
    assert blocks1 - blocks0 <= BLOCK_TOLERANCE, f"{blocks1 - blocks0} more live Python blocks"


@pytest.mark.parametrize("name", sorted(NATIVE))
def test_native_entry_points_release_what_they_allocate(name):
    assert_flat(NATIVE[name], warm_up=500, first=2000, total=10_000)


@pytest.mark.filterwarnings("ignore:cohort='first' is 0")
@pytest.mark.parametrize("name", sorted(FRONT_ENDS))
def test_front_ends_release_what_they_allocate(name):
    assert_flat(FRONT_ENDS[name], warm_up=100, first=400, total=2000)
