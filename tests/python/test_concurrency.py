"""Eight Python threads calling a mix of entry points at once, inference included (placebo
refits, jackknife, sup-t bands, bootstraps, power curves, market search) and the data-frame
front ends too, get the serial results bit for bit. The native calls release the interpreter
lock and share one worker pool, so the calls really overlap in native code."""

import pickle
import random
import threading

import numpy as np
import pandas as pd
import pytest

import tessarix
from tessarix import _core

N_THREADS = 8
ROUNDS = 4  # each thread runs every call this many times, in its own shuffled order

RNG = np.random.default_rng(23)
Y = np.cumsum(RNG.normal(size=(14, 20)), axis=1) + RNG.uniform(20, 40, size=(14, 1))
T0 = 14
COHORTS = [5, 5, 5, 9, 9, 13, 13, -1, -1, -1, -1, -1, -1, -1]
X = RNG.normal(size=(14, 2))
SERIES = list(RNG.normal(size=60).cumsum())


def long_frame():
    units = [f"m{i:02d}" for i in range(len(Y))]
    return pd.DataFrame({"unit": np.repeat(units, Y.shape[1]), "time": np.tile(np.arange(2000, 2000 + Y.shape[1]), len(Y)),
                         "y": Y.reshape(-1), "first": np.repeat([0 if c < 0 else 2000 + c for c in COHORTS], Y.shape[1])})


FRAME = long_frame()
SALES = dict(data=FRAME, unit="unit", time="time", outcome="y")

CALLS = {
    "sc_placebo": lambda: tessarix.fit_sc(Y, [0], T0, placebo=True),
    "sc_bounded": lambda: tessarix.fit_sc(Y, [0, 3], T0, placebo=True, max_weight=0.3, ridge=0.1),
    "asc_placebo": lambda: tessarix.fit_asc(Y, [1], T0, placebo=True),
    "sdid_placebo": lambda: tessarix.fit_sdid(Y, [2], T0, inference="placebo"),
    "sdid_jackknife": lambda: tessarix.fit_sdid(Y, [0, 1, 2], T0, inference="jackknife"),
    "fp_placebo": lambda: tessarix.fit_fp(Y, [0], T0, placebo=True),
    "rsc_placebo": lambda: tessarix.fit_rsc(Y, [4], T0, placebo=True),
    "mcnnm": lambda: tessarix.fit_mcnnm(Y, [0, 1], T0),
    "mcnnm_sketch": lambda: tessarix.fit_mcnnm(Y, [0, 1], T0, lambda_=2.0, max_rank=3, seed=9),
    "cpasc": lambda: tessarix.fit_cpasc(Y, [0, 1, 2], T0, mode="stratified", n_strata=2),
    "many": lambda: tessarix.fit_many(np.stack([Y, Y[::-1], Y[:, ::-1]]), [0], T0, method="sdid"),
    "bootstrap_block": lambda: tessarix.bootstrap_mean(SERIES, kind="block", block_len=5, n_reps=3000, seed=4),
    "bootstrap_stationary": lambda: tessarix.bootstrap_mean(SERIES, kind="stationary", n_reps=3000, seed=5),
    "twfe": lambda: tessarix.fit_twfe_py(Y, COHORTS),
    "callaway_bands": lambda: tessarix.fit_callaway_py(Y, COHORTS, bands=True, n_reps=999, seed=3),
    "callaway_notyet": lambda: tessarix.fit_callaway_py(Y, COHORTS, control="notyet", covariates=X, bands=True,
                                                        n_reps=499, seed=8),
    "sunab": lambda: tessarix.fit_sunab_py(Y, COHORTS),
    "bacon": lambda: tessarix.bacon_decompose_py(Y, COHORTS),
    "geo_power": lambda: tessarix.geo_power(Y, [0, 5], 3, [0.0, 0.02, 0.05, 0.1]),
    "geo_ensemble": lambda: tessarix.geo_power_ensemble(Y, [3], 2, [0.0, 0.05]),
    "geo_diagnostics": lambda: tessarix.geo_diagnostics(Y, [0, 5], 3),
    "geo_select": lambda: tessarix.geo_select(Y, list(range(8)), 2, 3, 0.05, method="sc", n_candidates=12, seed=6),
    # The progress-reporting variants run the same work with a callback into Python, which the
    # longer ones (over the 20 ms between reports) call from each thread as they wait.
    "sc_progress": lambda: _core.fit_sc(Y, [0], T0, placebo=True, progress=lambda done, total: None),
    "geo_power_progress": lambda: _core.geo_power(Y, [1], 3, [0.05], method="fp", progress=lambda d, t: None),
    "callaway_progress": lambda: _core.fit_callaway_py(Y, COHORTS, bands=True, n_reps=100_000, seed=1,
                                                       progress=lambda d, t: None),
    "geo_select_progress": lambda: _core.geo_select(Y, list(range(10)), 3, 3, 0.05, n_candidates=60, seed=2,
                                                    progress=lambda d, t: None),
    "synth": lambda: tessarix.synth(FRAME, unit="unit", time="time", outcome="y", treated="m00", start=2000 + T0,
                                    method="sdid", inference="placebo"),
    "did": lambda: tessarix.did(FRAME, unit="unit", time="time", outcome="y", cohort="first", bands=True,
                                n_reps=299, seed=2),
    "bacon_frame": lambda: tessarix.bacon(FRAME, unit="unit", time="time", outcome="y", cohort="first"),
    "geo.power": lambda: tessarix.geo.power(**SALES, treated=["m01", "m02"], test_len=3, lifts=[0.0, 0.05],
                                            method="sc"),
    "geo.select": lambda: tessarix.geo.select(**SALES, max_treated=2, test_len=3, target_lift=0.05, method="fp",
                                              eligible=["m00", "m01", "m02", "m03", "m04"], n_candidates=8, seed=1),
    "geo.diagnose": lambda: tessarix.geo.diagnose(**SALES, treated="m04", test_len=3),
}


# Labelled tables of the front-end results, some computed on demand by further native calls
# (full paths, placebo paths, power windows); CSV text keeps every float's shortest round trip.
FRONT_END_TABLES = ["weights", "paths", "placebos", "time_weights", "event_study", "groups", "components",
                    "curve", "windows", "candidates"]


def fingerprint(result):
    """The result's full state as bytes: equal bytes, equal bits in every numeric field."""
    if isinstance(result, list):
        return b"".join(fingerprint(r) for r in result)
    if isinstance(result, np.ndarray):
        return result.tobytes()
    if isinstance(result, tuple):
        return " ".join(float(v).hex() for v in result).encode()
    native = getattr(result, "native", None)
    if native is not None:  # a front end: its native result and its labelled tables
        tables = [getattr(result, name, None) for name in FRONT_END_TABLES]
        return fingerprint(native) + b"".join(t.to_csv().encode() for t in [result.to_frame()] + tables
                                              if t is not None)
    return pickle.dumps(result.__reduce__()[1])


def test_threads_calling_every_entry_point_at_once_get_the_serial_results():
    serial = {name: fingerprint(fn()) for name, fn in CALLS.items()}
    start = threading.Barrier(N_THREADS)
    mismatches, errors = [], []

    def worker(seed):
        order = [name for _ in range(ROUNDS) for name in CALLS]
        random.Random(seed).shuffle(order)
        start.wait()
        for name in order:
            try:
                got = fingerprint(CALLS[name]())
            except BaseException as e:  # noqa: BLE001 - a native fault must reach the assertion
                errors.append((name, repr(e)))
                continue
            if got != serial[name]:
                mismatches.append(name)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(N_THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors
    assert not mismatches, sorted(set(mismatches))
