"""Staggered-adoption DiD: tessarix against Python peers on two panels, in one run.

Panels:
* simulated: 20,000 units x 20 periods, four adoption cohorts (periods 4, 8, 12 and 16, 15 % of
  the units each) and 40 % never treated; unit effects, a common trend, noise and effects that
  grow with exposure (fixed seed);
* mpdta: log teen employment of 500 US counties, 2003-2007, with minimum-wage rises in 2004,
  2006 and 2007 (Callaway and Sant'Anna 2021), as shipped by moderndid.

Tasks (each peer doing the same work as tessarix):
* Callaway & Sant'Anna, never-treated controls, universal base period, no covariates: group-time
  effects with analytic standard errors plus the simple (overall) and dynamic (event-study)
  aggregations. Peers: diff-diff (compiled backend), csdid, moderndid.
* The same with a 999-draw multiplier bootstrap and uniform (sup-t) event-study bands: diff-diff
  with Mammen weights and cband=True.
* Sun & Abraham: the saturated cohort x relative-period event study with unit and period fixed
  effects and unit-clustered errors, aggregated by relative period: pyfixest's "saturated"
  event study.
* Goodman-Bacon decomposition: tessarix alone.

Each measurement alternates tessarix and the peer (one warm-up call each first) and reports
medians; slow peers get fewer runs, so that one of them takes about --budget seconds. The ratio is
the peer's median over tessarix's. For mpdta the script also prints how many significant digits
each peer shares with tessarix on the overall ATT and its standard error.

    python benchmarks/bench_did.py [--reps 7] [--budget 30] [--only cs|sunab|bacon]

A missing package or tessarix entry point is reported and its rows are skipped.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.metadata
import io
import math
import statistics
import sys
import time
import warnings
from typing import Callable, Optional

import numpy as np

warnings.filterwarnings("ignore")


# ----------------------------------------------------------------------------------------------
# Panels


class Panel:
    def __init__(self, name, y, cohorts, years):
        self.name, self.y, self.cohorts, self.years = name, np.ascontiguousarray(y), cohorts, years
        self._long = None

    def long(self):
        """Long frame for the peers: unit, period (calendar), y, first_treat (0 = never)."""
        if self._long is None:
            import pandas as pd

            n, t = self.y.shape
            years = np.asarray(self.years)
            first = np.where(self.cohorts >= 0, years[np.clip(self.cohorts, 0, t - 1)], 0)
            self._long = pd.DataFrame({
                "unit": np.repeat(np.arange(1, n + 1), t),
                "period": np.tile(years, n),
                "y": self.y.reshape(-1),
                "first_treat": np.repeat(first, t),
            })
        return self._long


def simulated_panel(n=20_000, t=20, seed=2026) -> Panel:
    rng = np.random.default_rng(seed)
    cohorts = rng.choice([4, 8, 12, 16, -1], size=n, p=[0.15, 0.15, 0.15, 0.15, 0.4])
    y = rng.normal(size=(n, 1)) + np.linspace(0.0, 2.0, t) + rng.normal(0.0, 0.5, size=(n, t))
    exposure = np.arange(t)[None, :] - cohorts[:, None]
    treated = (cohorts[:, None] >= 0) & (exposure >= 0)
    y += np.where(treated, 0.5 + 0.05 * exposure, 0.0)
    return Panel(f"simulated {n:,} x {t}", y, cohorts, list(range(1, t + 1)))


def mpdta_panel() -> Optional[Panel]:
    try:
        import moderndid
    except ImportError:
        return None
    df = moderndid.load_mpdta()
    col = {c: np.asarray(df[c]) for c in ("countyreal", "year", "lemp", "first.treat")}
    order = np.lexsort((col["year"], col["countyreal"]))
    years = np.unique(col["year"])
    first = col["first.treat"][order].reshape(-1, len(years))[:, 0]
    cohorts = np.array([np.searchsorted(years, f) if f in years else -1 for f in first])
    return Panel("mpdta 500 x 5", col["lemp"][order].reshape(-1, len(years)), cohorts, years.tolist())


# ----------------------------------------------------------------------------------------------
# Contestants: each returns (overall ATT, its SE), or None when it has no such pair.


def tessarix_fn(name: str) -> Optional[Callable]:
    try:
        import tessarix
    except ImportError:
        return None
    return getattr(tessarix, name, None)


def ts_callaway(p: Panel, bands=False):
    res = tessarix_fn("fit_callaway_py")(p.y, p.cohorts, bands=bands, n_reps=999, seed=1)
    return res.att, res.se


def ts_sunab(p: Panel):
    res = tessarix_fn("fit_sunab_py")(p.y, p.cohorts)
    return res.att, res.se, res.event_att, res.event_se


def ts_bacon(p: Panel):
    res = tessarix_fn("bacon_decompose_py")(p.y, p.cohorts)
    return res.twfe, None


def dd_callaway(p: Panel, bands=False):
    from diff_diff import CallawaySantAnna

    est = CallawaySantAnna(control_group="never_treated", estimation_method="reg",
                           base_period="universal", n_bootstrap=999 if bands else 0,
                           bootstrap_weights="mammen", cband=bands, seed=1)
    res = est.fit(p.long(), outcome="y", unit="unit", time="period", first_treat="first_treat")
    res.aggregate("event_study")
    return res.overall_att, res.overall_se


def csdid_callaway(p: Panel):
    from csdid.att_gt import ATTgt

    with contextlib.redirect_stdout(io.StringIO()):  # csdid prints every table
        fit = ATTgt(yname="y", tname="period", idname="unit", gname="first_treat", data=p.long(),
                    control_group=["nevertreated"])
        fit.fit(est_method="reg", base_period="universal", bstrap=False)
        simple = fit.aggte(typec="simple", bstrap=False).atte
        out = simple["overall_att"], simple["overall_se"]
        fit.aggte(typec="dynamic", bstrap=False)
    return out


def moderndid_callaway(p: Panel):
    import moderndid

    gt = moderndid.att_gt(data=p.long(), yname="y", tname="period", idname="unit", gname="first_treat",
                          control_group="nevertreated", base_period="universal", est_method="reg",
                          boot=False, cband=False)
    simple = moderndid.aggte(gt, type="simple", boot=False, cband=False)
    moderndid.aggte(gt, type="dynamic", boot=False, cband=False)
    return simple.overall_att, simple.overall_se


def pyfixest_sunab(p: Panel):
    import pyfixest as pf

    fit = pf.event_study(p.long(), yname="y", idname="unit", tname="period", gname="first_treat",
                         estimator="saturated")
    agg = fit.aggregate()
    rel = np.asarray(agg.index, dtype=float)
    keep = rel != -1
    return None, None, np.asarray(agg["Estimate"], float)[keep], np.asarray(agg["Std. Error"], float)[keep]


# ----------------------------------------------------------------------------------------------
# Timing


SETTLE_S = 0.2
FAST_CALL_S = 0.05
FAST_RUNS_FACTOR = 5


def timed(fn: Callable) -> tuple[float, object]:
    start = time.perf_counter()
    out = fn()
    return time.perf_counter() - start, out


def race(contestants: dict[str, Callable], reps: int, budget: float):
    """{name: (median seconds, last output or the error text)}: one warm-up call each, then
    alternating timed calls, fewer for contestants whose warm-up exceeds budget / reps and more
    for those of a few milliseconds."""
    times, outs, left = {}, {}, {}
    for name, fn in contestants.items():
        try:
            t, outs[name] = timed(fn)
        except Exception as exc:  # a peer that fails on this panel is reported, not fatal
            outs[name] = f"failed: {type(exc).__name__}: {str(exc)[:120]}"
            continue
        times[name] = []
        # Calls of a few milliseconds are the most exposed to a shared machine's hiccups;
        # they get more runs, which cost next to nothing.
        runs = reps * FAST_RUNS_FACTOR if t < FAST_CALL_S else reps
        left[name] = max(1, min(runs, int(budget / max(t, 1e-9))))
    while any(left.values()):
        for name in list(left):
            if left[name]:
                # Worker threads of the previous contestant's libraries (BLAS, thread pools)
                # keep spinning for a while after it returns; let them go idle first, so that
                # no contestant is timed against the last one's busy cores.
                time.sleep(SETTLE_S)
                t, outs[name] = timed(contestants[name])
                times[name].append(t)
                left[name] -= 1
    return {name: (statistics.median(times[name]) if name in times else None, outs[name])
            for name in contestants}


def digits(a, b) -> str:
    if a is None or b is None:
        return "  n/a"
    a, b = np.atleast_1d(np.asarray(a, float)), np.atleast_1d(np.asarray(b, float))
    if a.shape != b.shape:
        return "shape"
    err = np.max(np.abs(a - b) / np.maximum(np.abs(b), 1e-300))
    return "  all" if err == 0 else f"{min(16.0, -math.log10(err)):5.1f}"


def fmt_s(s: Optional[float]) -> str:
    if s is None:
        return "       -"
    return f"{s * 1e3:8.1f} ms" if s < 10 else f"{s:8.2f} s "


# ----------------------------------------------------------------------------------------------


def version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def task_rows(only: Optional[str]):
    """(group, task, tessarix call, {peer: (call, target ratio)}) for every comparison."""
    rows = [
        ("cs", "Callaway-Sant'Anna, analytic SEs", lambda p: ts_callaway(p),
         {"diff-diff": (dd_callaway, 20), "csdid": (csdid_callaway, 100),
          "moderndid": (moderndid_callaway, 100)}),
        ("cs", "Callaway-Sant'Anna, 999-draw sup-t bands", lambda p: ts_callaway(p, bands=True),
         {"diff-diff": (lambda p: dd_callaway(p, bands=True), 4)}),
        ("sunab", "Sun-Abraham saturated event study", ts_sunab,
         {"pyfixest": (pyfixest_sunab, None)}),
        ("bacon", "Goodman-Bacon decomposition", ts_bacon, {}),
    ]
    return [r for r in rows if only in (None, r[0])]


ENTRY = {"cs": "fit_callaway_py", "sunab": "fit_sunab_py", "bacon": "bacon_decompose_py"}
MODULES = {"diff-diff": "diff_diff", "csdid": "csdid", "moderndid": "moderndid", "pyfixest": "pyfixest"}


def contest(p, ts_call: Callable, peers: dict[str, Callable], modules: dict[str, str], reps: int,
            budget: float):
    """race() of tessarix's call and each installed peer's on panel p; a peer whose module is
    missing is reported and left out."""
    contestants = {"tessarix": lambda: ts_call(p)}
    for peer, call in peers.items():
        if available(modules[peer]):
            contestants[peer] = lambda call=call: call(p)
        else:
            print(f"   {p.name:20s} {peer:10s} not installed")
    return race(contestants, reps, budget)


def speedup(ratio: float, target: float) -> str:
    """The ratio against a peer and whether it reaches its target."""
    return f"   tessarix {ratio:7.1f}x faster   target >= {target}x: " + ("met" if ratio >= target else "MISSED")


def available(module: str) -> bool:
    try:
        __import__(module)
        return True
    except Exception:
        return False


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--reps", type=int, default=7, help="timed runs per contestant (median)")
    ap.add_argument("--budget", type=float, default=30.0, help="seconds of timed runs per slow peer")
    ap.add_argument("--only", choices=["cs", "sunab", "bacon"])
    args = ap.parse_args()

    print("== Staggered-adoption DiD: tessarix against peers")
    print("versions: " + ", ".join(f"{d} {version(d)}" for d in ("tessarix", *MODULES)))
    panels = [simulated_panel()]
    mp = mpdta_panel()
    if mp is None:
        print("mpdta: moderndid is not installed; only the simulated panel is timed")
    else:
        panels.append(mp)
    agreement = []
    for group, task, ts_call, peers in task_rows(args.only):
        have_ts = tessarix_fn(ENTRY[group]) is not None
        print(f"\n-- {task}" + ("" if have_ts else f"   (tessarix.{ENTRY[group]}: not available)"))
        for p in panels:
            contestants = {}
            if have_ts:
                contestants["tessarix"] = lambda p=p: ts_call(p)
            for peer, (call, _) in peers.items():
                if available(MODULES[peer]):
                    contestants[peer] = lambda p=p, call=call: call(p)
                else:
                    print(f"   {p.name:20s} {peer:10s} not installed")
            if not contestants:
                continue
            results = race(contestants, args.reps, args.budget)
            ts_s, ts_out = results.get("tessarix", (None, None))
            if "tessarix" in results:
                note = ""
                if group == "bacon" and p.name.startswith("simulated"):
                    note = "   target < 1 s: " + ("met" if ts_s is not None and ts_s < 1 else "MISSED")
                print(f"   {p.name:20s} {'tessarix':10s} {fmt_s(ts_s)}{note}")
            for peer, (_, target) in peers.items():
                if peer not in results:
                    continue
                s, out = results[peer]
                if s is None:
                    print(f"   {p.name:20s} {peer:10s} {out}")
                    continue
                line = f"   {p.name:20s} {peer:10s} {fmt_s(s)}"
                if group == "sunab":
                    target = 20 if p.name.startswith("mpdta") else 4
                if ts_s:
                    line += speedup(s / ts_s, target)
                print(line)
                if p.name.startswith("mpdta") and isinstance(out, tuple):
                    agreement.append((task, peer, ts_out, out))
    if agreement:
        print("\n-- mpdta: significant digits each peer shares with tessarix")
        for task, peer, ts_out, out in agreement:
            if not isinstance(ts_out, tuple):
                print(f"   {task:42s} {peer:10s} tessarix not available")
            elif "bands" in task:  # the peer then reports a bootstrap SE, tessarix the analytic one
                print(f"   {task:42s} {peer:10s} ATT {digits(out[0], ts_out[0])}   SE (peer's is bootstrapped)")
            elif len(out) == 2:
                print(f"   {task:42s} {peer:10s} ATT {digits(out[0], ts_out[0])}   SE {digits(out[1], ts_out[1])}")
            else:  # pyfixest: event-study coefficients and SEs (its SEs carry small-sample factors)
                print(f"   {task:42s} {peer:10s} event ATT {digits(out[2], ts_out[2])}   "
                      f"event SE {digits(out[3], ts_out[3])} (pyfixest applies small-sample factors)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
