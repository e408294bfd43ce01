"""Doubly robust Callaway & Sant'Anna with covariates: tessarix against Python peers, in one run.

Panels:
* simulated: 20,000 units x 20 periods, four adoption cohorts (periods 4, 8, 12 and 16) and the
  never treated, as in bench_did.py, except that two unit covariates shift both who adopts (a
  logit in the covariates gives each unit's chance of adopting at all) and the outcome's trend
  (fixed seed);
* mpdta: log teen employment of 500 US counties, 2003-2007, with log population as the
  covariate, as shipped by moderndid.

Task: Callaway & Sant'Anna by doubly robust estimation (Sant'Anna & Zhao 2020: logit propensity
score plus outcome regression of the controls' changes) on an intercept and the covariates,
never-treated controls, universal base period: group-time effects with analytic standard errors
plus the simple (overall) and dynamic (event-study) aggregations. Peers: diff-diff
(estimation_method="dr", propensity trimming at 1e-10, that is off), csdid and moderndid (est_method="dr").

Timing follows bench_did.py (one warm-up call each, alternating timed calls, medians; slow peers
get fewer runs within --budget seconds). The script then prints how many significant digits each
peer shares with tessarix on the overall ATT and SE and on the event-study effects and SEs.

    python benchmarks/bench_did_dr.py [--reps 7] [--budget 30] [--est-method dr|ipw]

A missing package is reported and its rows are skipped.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import sys
from typing import Optional

import numpy as np

from bench_did import Panel, contest, digits, fmt_s, speedup, version

# Peers and the ratio tessarix should reach against each.
TARGETS = {"diff-diff": 20, "csdid": 100, "moderndid": 100}
MODULES = {"diff-diff": "diff_diff", "csdid": "csdid", "moderndid": "moderndid"}


class CovariatePanel(Panel):
    def __init__(self, name, y, cohorts, years, x, x_names):
        super().__init__(name, y, cohorts, years)
        self.x, self.x_names = np.ascontiguousarray(x, dtype=np.float64), x_names

    def long(self):
        if self._long is None:
            frame = super().long()
            n, t = self.y.shape
            for k, name in enumerate(self.x_names):
                frame[name] = np.repeat(self.x[:, k], t)
        return self._long


def simulated_panel(n=20_000, t=20, seed=2026) -> CovariatePanel:
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 2))
    adopts = rng.random(n) < 1.0 / (1.0 + np.exp(-(0.4 + 0.8 * x[:, 0] - 0.6 * x[:, 1])))
    cohorts = np.where(adopts, rng.choice([4, 8, 12, 16], size=n), -1)
    trend = np.linspace(0.0, 2.0, t)
    y = rng.normal(size=(n, 1)) + trend + rng.normal(0.0, 0.5, size=(n, t))
    y += (0.5 * x[:, :1] - 0.3 * x[:, 1:]) * trend  # covariate-specific trends
    exposure = np.arange(t)[None, :] - cohorts[:, None]
    treated = (cohorts[:, None] >= 0) & (exposure >= 0)
    y += np.where(treated, 0.5 + 0.05 * exposure, 0.0)
    return CovariatePanel(f"simulated {n:,} x {t}", y, cohorts, list(range(1, t + 1)), x, ["x1", "x2"])


def mpdta_panel() -> Optional[CovariatePanel]:
    try:
        import moderndid
    except ImportError:
        return None
    df = moderndid.load_mpdta()
    col = {c: np.asarray(df[c]) for c in ("countyreal", "year", "lemp", "lpop", "first.treat")}
    order = np.lexsort((col["year"], col["countyreal"]))
    years = np.unique(col["year"])
    shape = (-1, len(years))
    first = col["first.treat"][order].reshape(shape)[:, 0]
    cohorts = np.array([np.searchsorted(years, f) if f in years else -1 for f in first])
    return CovariatePanel("mpdta 500 x 5", col["lemp"][order].reshape(shape), cohorts, years.tolist(),
                          col["lpop"][order].reshape(shape)[:, :1], ["lpop"])


# ----------------------------------------------------------------------------------------------
# Contestants: each returns (overall ATT, its SE, event-study effects, their SEs), the event
# study without the reference period.


def ts_callaway(p: CovariatePanel, est_method: str):
    from tessarix import _core

    res = _core.fit_callaway_py(p.y, p.cohorts.tolist(), covariates=p.x, est_method=est_method)
    return res.att, res.se, res.event_att, res.event_se


def dd_callaway(p: CovariatePanel, est_method: str):
    from diff_diff import CallawaySantAnna

    est = CallawaySantAnna(control_group="never_treated", estimation_method=est_method, base_period="universal",
                           n_bootstrap=0, cband=False, pscore_trim=1e-10)
    res = est.fit(p.long(), outcome="y", unit="unit", time="period", first_treat="first_treat",
                  covariates=p.x_names)
    es = res.aggregate("event_study")
    keep = ~np.asarray(es.is_reference, dtype=bool)
    return res.overall_att, res.overall_se, np.asarray(es.att)[keep], np.asarray(es.se)[keep]


def csdid_callaway(p: CovariatePanel, est_method: str):
    from csdid.att_gt import ATTgt

    with contextlib.redirect_stdout(io.StringIO()):  # csdid prints every table
        fit = ATTgt(yname="y", tname="period", idname="unit", gname="first_treat", data=p.long(),
                    control_group=["nevertreated"], xformla="~" + "+".join(p.x_names))
        fit.fit(est_method=est_method, base_period="universal", bstrap=False)
        simple = fit.aggte(typec="simple", bstrap=False).atte
        dynamic = fit.aggte(typec="dynamic", bstrap=False).atte
    keep = np.asarray(dynamic["egt"]) != -1
    return (simple["overall_att"], simple["overall_se"], np.asarray(dynamic["att_egt"])[keep],
            np.asarray(dynamic["se_egt"]).ravel()[keep])


def moderndid_callaway(p: CovariatePanel, est_method: str):
    import moderndid

    gt = moderndid.att_gt(data=p.long(), yname="y", tname="period", idname="unit", gname="first_treat",
                          xformla="~" + "+".join(p.x_names), control_group="nevertreated",
                          base_period="universal", est_method=est_method, boot=False, cband=False)
    simple = moderndid.aggte(gt, type="simple", boot=False, cband=False)
    dynamic = moderndid.aggte(gt, type="dynamic", boot=False, cband=False)
    keep = np.asarray(dynamic.event_times) != -1
    return (simple.overall_att, simple.overall_se, np.asarray(dynamic.att_by_event)[keep],
            np.asarray(dynamic.se_by_event)[keep])


PEERS = {"diff-diff": dd_callaway, "csdid": csdid_callaway, "moderndid": moderndid_callaway}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--reps", type=int, default=7, help="timed runs per contestant (median)")
    ap.add_argument("--budget", type=float, default=30.0, help="seconds of timed runs per slow peer")
    ap.add_argument("--est-method", default="dr", choices=["dr", "ipw"])
    args = ap.parse_args()
    method = args.est_method

    print(f"== Callaway-Sant'Anna with covariates, est_method={method!r}: tessarix against peers")
    print("versions: " + ", ".join(f"{d} {version(d)}" for d in ("tessarix", *MODULES)))
    panels = [simulated_panel()]
    mp = mpdta_panel()
    if mp is not None:
        panels.append(mp)
    agreement = []
    for p in panels:
        results = contest(p, lambda p: ts_callaway(p, method),
                          {peer: lambda p, call=call: call(p, method) for peer, call in PEERS.items()},
                          MODULES, args.reps, args.budget)
        ts_s, ts_out = results["tessarix"]
        print(f"   {p.name:20s} {'tessarix':10s} {fmt_s(ts_s)}")
        for peer in PEERS:
            if peer not in results:
                continue
            s, out = results[peer]
            if s is None:
                print(f"   {p.name:20s} {peer:10s} {out}")
                continue
            line = f"   {p.name:20s} {peer:10s} {fmt_s(s)}"
            if ts_s:
                line += speedup(s / ts_s, TARGETS[peer])
            print(line)
            agreement.append((p.name, peer, ts_out, out))
    print("\n-- significant digits each peer shares with tessarix")
    for name, peer, ts_out, out in agreement:
        if not isinstance(ts_out, tuple):
            continue
        print(f"   {name:20s} {peer:10s} ATT {digits(out[0], ts_out[0])}   SE {digits(out[1], ts_out[1])}   "
              f"event ATTs {digits(out[2], ts_out[2])}   event SEs {digits(out[3], ts_out[3])}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
