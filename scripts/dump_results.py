"""Every result of every entry point, exactly: each float as its hexadecimal text, one line per
call, on the test panels (Proposition 99, mpdta, castle doctrine, seeded random walks and
staggered panels) and on panels scaled to the edges of the double range. A change that must
leave the numbers alone shows it by diffing the dumps of two builds:

    python scripts/dump_results.py before.txt     # with the old build installed
    python scripts/dump_results.py after.txt      # with the new one
    diff before.txt after.txt

mpdta and castle come from the test extras (moderndid, causaldata); without them those panels
are skipped and the dump says so on its first line.
"""

from __future__ import annotations

import inspect
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

from tessarix import _core, _tessarix as tx  # noqa: E402


def ser(v) -> str:
    if v is None or isinstance(v, (bool, int, str)):
        return repr(v)
    if isinstance(v, float):
        return v.hex()
    if isinstance(v, np.ndarray):
        return "arr[" + ",".join(ser(x) for x in v.tolist()) + "]"
    if isinstance(v, (list, tuple)):
        return "[" + ",".join(ser(x) for x in v) + "]"
    if isinstance(v, dict):
        return "{" + ";".join(f"{k}={ser(v[k])}" for k in sorted(v)) + "}"
    if type(v).__module__.startswith("tessarix"):
        attrs = [a for a, d in vars(type(v)).items() if inspect.isgetsetdescriptor(d)]
        return "{" + ";".join(f"{a}={ser(getattr(v, a))}" for a in attrs) + "}"
    raise TypeError(type(v))


def walks(seed, n, t, scale=1.0):
    rng = np.random.default_rng(seed)
    y = 10.0 + rng.normal(size=(n, 1)) * 3 + np.cumsum(rng.normal(size=(n, t)) * 0.5, axis=1)
    return y * scale


def sc_panels():
    """(name, y, treated, t0) for the synthetic-control and geo entry points."""
    from prop99_fits import load_prop99

    states, years, y = load_prop99()
    yield "prop99", y, [states.index("California")], years.index(1989)
    yield "rw1", walks(1, 12, 20), [0], 14
    yield "rw2", walks(2, 15, 24), [1, 4, 7], 17
    yield "rw3_tiny", walks(3, 9, 16, 2.0**-700), [2, 3], 11
    yield "rw4_huge", walks(4, 10, 18, 1e200), [5], 12


def did_panels(skipped):
    """(name, y, cohorts, covariates) for the DiD entry points."""
    from did_reference import castle, mpdta

    try:
        y, cohorts, lpop = mpdta()
        yield "mpdta", y, list(cohorts), lpop
    except ImportError:
        skipped.append("mpdta")
    try:
        y, cohorts = castle()
        yield "castle", y, list(cohorts), None
    except ImportError:
        skipped.append("castle")
    rng = np.random.default_rng(7)
    for k, (n, t) in enumerate([(60, 10), (300, 14)]):
        cohorts = rng.choice([2, 4, 7, -1], size=n).tolist()
        y = rng.normal(size=(n, 1)) + np.linspace(0, 1, t) + rng.normal(0, 0.3, size=(n, t))
        y += np.where(np.arange(t)[None, :] >= np.asarray(cohorts)[:, None], 0.5, 0.0) * (np.asarray(cohorts) >= 0)[:, None]
        yield f"staggered{k}", y, cohorts, rng.normal(size=(n, 2))


def sc_calls(name, y, tr, t0, emit):
    for pl in (False, True):
        emit(f"{name} sc pl={pl}", tx.fit_sc(y, tr, t0, placebo=pl))
        emit(f"{name} sc_pen pl={pl}", tx.fit_sc(y, tr, t0, ridge=0.1, penalty=0.05, max_weight=0.6, placebo=pl))
        emit(f"{name} asc pl={pl}", tx.fit_asc(y, tr, t0, placebo=pl))
        emit(f"{name} asc_l pl={pl}", tx.fit_asc(y, tr, t0, aug_lambda=1e-9, placebo=pl))
        emit(f"{name} fp pl={pl}", tx.fit_fp(y, tr, t0, placebo=pl))
        emit(f"{name} rsc pl={pl}", tx.fit_rsc(y, tr, t0, placebo=pl))
        emit(f"{name} rsc_r pl={pl}", tx.fit_rsc(y, tr, t0, rank=2, ridge=0.5, placebo=pl))
    for inf in ("none", "placebo") + (("jackknife",) if len(tr) >= 2 else ()):
        emit(f"{name} sdid {inf}", tx.fit_sdid(y, tr, t0, inference=inf))
    emit(f"{name} sdid_b", tx.fit_sdid(y, tr, t0, zeta_scale=0.5, max_weight=0.5, inference="placebo"))
    emit(f"{name} mcnnm", tx.fit_mcnnm(y, tr, t0))
    emit(f"{name} mcnnm_l", tx.fit_mcnnm(y, tr, t0, lambda_=0.3 * float(np.abs(y).max()), max_rank=3, seed=4))
    emit(f"{name} cpasc", tx.fit_cpasc(y, tr, t0))
    emit(f"{name} cpasc_s", tx.fit_cpasc(y, tr, t0, mode="stratified", block_len=3))
    y3 = np.stack([y, y[::-1].copy(), y * 1.01])
    for m in ("sc", "asc", "sdid", "fp", "rsc"):
        emit(f"{name} many {m}", tx.fit_many(y3, tr, t0, method=m))
    for m in ("sc", "asc", "fp", "rsc", "sdid"):
        emit(f"{name} paths {m}", getattr(_core, f"paths_{m}")(y, tr, t0, placebo=True))
    emit(f"{name} paths mcnnm", _core.paths_mcnnm(y, tr, t0, lambda_=0.3 * float(np.abs(y).max())))


def geo_calls(name, y, tr, emit):
    tl = 3
    for m in ("sc", "asc", "sdid", "fp", "rsc"):
        emit(f"{name} power {m}", tx.geo_power(y, tr, tl, [0.0, 0.05, 0.1, 0.2], method=m))
    emit(f"{name} power lb", tx.geo_power(y, tr, tl, [0.02, 0.0, 0.1], min_pre=5, lookback=6, max_weight=0.7))
    emit(f"{name} ens", tx.geo_power_ensemble(y, tr, tl, [0.0, 0.05, 0.1]))
    emit(f"{name} ens w", tx.geo_power_ensemble(y, tr, tl, [0.05], members=["fp", "rsc", "sc"], weights=[1, 2, 0.5],
                                                lookback=5))
    emit(f"{name} windows", _core.geo_windows(y, tr, tl, method="sc", lookback=6))
    emit(f"{name} diag", tx.geo_diagnostics(y, tr, tl))
    emit(f"{name} select", tx.geo_select(y, list(range(min(8, y.shape[0]))), 2, tl, 0.1, n_candidates=12, seed=3))


def did_calls(name, y, cohorts, x, emit):
    emit(f"{name} twfe", tx.fit_twfe_py(y, cohorts))
    emit(f"{name} sunab", tx.fit_sunab_py(y, cohorts))
    emit(f"{name} bacon", tx.bacon_decompose_py(y, cohorts))
    for control in ("never", "notyet"):
        emit(f"{name} cs {control}", tx.fit_callaway_py(y, cohorts, control=control, bands=True, seed=5))
        emit(f"{name} cs {control} ant1", tx.fit_callaway_py(y, cohorts, control=control, anticipation=1))
        if x is not None:
            emit(f"{name} cs {control} x", tx.fit_callaway_py(y, cohorts, control=control, covariates=x, bands=True))


def main(out: str) -> None:
    lines: list[str] = []
    skipped: list[str] = []

    def emit(key, v):
        lines.append(f"{key} {ser(v)}")

    for name, y, tr, t0 in sc_panels():
        sc_calls(name, y, tr, t0, emit)
        geo_calls(name, y, tr, emit)
    for name, y, cohorts, x in did_panels(skipped):
        did_calls(name, y, cohorts, x, emit)
    series = walks(9, 1, 200)[0].tolist()
    for kind in ("block", "stationary"):
        emit(f"bootstrap {kind}", tx.bootstrap_mean(series, kind=kind, block_len=6, n_reps=500, seed=2))
    header = "skipped: " + (", ".join(skipped) or "none")
    with open(out, "w", encoding="utf-8") as f:
        f.write(header + "\n" + "\n".join(lines) + "\n")
    print(f"{len(lines)} results; {header}")


if __name__ == "__main__":
    main(sys.argv[1])
