"""Synthetic control matched on predictors with placebo inference: tessarix against pysyncon.

Panel: California Proposition 99 (tessarix.datasets.prop99), 39 states x 31 years, California
treated from 1989. Predictors: the pre-period mean of cigarette sales and its 1975, 1980 and
1988 values, standardised across states; V chosen by the nested search minimising the
pre-period (1970-1988) outcome MSPE.

The task is the same in both packages: the real nested fit plus one nested fit per
never-treated state with that state as the treated unit and California left out (38 placebo
fits). tessarix runs it as one call (``synth(..., inference="placebo")``); pysyncon's users
write the loop over ``Synth().fit`` themselves, as here (serial, its default Nelder-Mead outer
search). Each contestant's p-value (post/pre RMSPE ratio rank) and pre-period MSPE are
printed beside its time.

pysyncon's loop takes many minutes, so it runs once (its first fit includes its imports);
tessarix is timed as bench_did.race does (a warm-up, then the median of --reps runs).

    python benchmarks/bench_sc_predictors.py [--reps 5] [--placebos 38]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import sys
import warnings

import numpy as np

from bench_did import fmt_s, race, speedup, timed, version

TARGET = 100
LAGS = [1975, 1980, 1988]
PANEL = dict(unit="State", time="Year", outcome="PacksPerCapita", start=1989)
PRE = list(range(1970, 1989))


def frame():
    import pandas as pd
    import tessarix.datasets

    return pd.DataFrame(tessarix.datasets.prop99())


def ratio(gap: np.ndarray, t0: int) -> float:
    pre, post = np.sqrt(np.mean(gap[:t0] ** 2)), np.sqrt(np.mean(gap[t0:] ** 2))
    return float(post / pre) if pre > 0 else float("inf")


def tessarix_task(d, n_placebos: int):
    import tessarix

    res = tessarix.synth(d, **PANEL, treated="California", predictors=["PacksPerCapita"], lags=LAGS,
                         inference="placebo")
    return res.p_value, res.pre_loss, len(res.placebo_test["placebo_atts"])


def pysyncon_fit(d, treated: str):
    from pysyncon import Dataprep, Synth

    controls = sorted(set(d["State"]) - {treated, "California"})
    dp = Dataprep(foo=d, predictors=["PacksPerCapita"], predictors_op="mean", time_predictors_prior=PRE,
                  special_predictors=[("PacksPerCapita", [t], "mean") for t in LAGS], dependent="PacksPerCapita",
                  unit_variable="State", time_variable="Year", treatment_identifier=treated,
                  controls_identifier=controls, time_optimize_ssr=PRE)
    s = Synth()
    with contextlib.redirect_stdout(io.StringIO()), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        s.fit(dataprep=dp)
    y = d.pivot(index="State", columns="Year", values="PacksPerCapita")
    w = np.asarray(s.W)
    gap = y.loc[treated].to_numpy() - w @ y.loc[controls].to_numpy()
    return gap, float(np.mean(gap[: len(PRE)] ** 2))


def pysyncon_task(d, n_placebos: int):
    gap, loss = pysyncon_fit(d, "California")
    donors = sorted(set(d["State"]) - {"California"})[:n_placebos]
    stats = [ratio(pysyncon_fit(d, unit)[0], len(PRE)) for unit in donors]
    real = ratio(gap, len(PRE))
    return (1 + sum(s >= real for s in stats)) / (1 + len(stats)), loss, len(stats)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--reps", type=int, default=5, help="timed tessarix runs (median)")
    ap.add_argument("--placebos", type=int, default=38, help="placebo refits in pysyncon's loop (38: all)")
    args = ap.parse_args()
    print("== Synthetic control on predictors, nested V, placebo inference: tessarix against pysyncon")
    print("versions: " + ", ".join(f"{p} {version(p)}" for p in ("tessarix", "pysyncon")))
    d = frame()
    ts = race({"tessarix": lambda: tessarix_task(d, 38)}, args.reps, budget=60.0)["tessarix"]
    print(f"   tessarix   {fmt_s(ts[0])}   p={ts[1][0]:.4f}  pre-MSPE={ts[1][1]:.6g}  placebos={ts[1][2]}")
    try:
        import pysyncon  # noqa: F401
    except ImportError:
        print("   pysyncon   not installed")
        return 0
    ps = timed(lambda: pysyncon_task(d, args.placebos))
    print(f"   pysyncon   {fmt_s(ps[0])}   p={ps[1][0]:.4f}  pre-MSPE={ps[1][1]:.6g}  placebos={ps[1][2]}")
    # With fewer placebos in pysyncon's loop, its time is scaled to the full 39 fits.
    peer_s = ps[0] * 39 / (1 + ps[1][2])
    print(speedup(peer_s / ts[0], TARGET) + ("" if ps[1][2] == 38 else f"   (pysyncon scaled from {1 + ps[1][2]} fits)"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
