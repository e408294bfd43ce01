"""Synthetic control and synthetic DiD with in-space placebo inference: tessarix against Python peers.

Panel: California Proposition 99 (benchmarks/data/california_prop99.csv), 39 states x 31 years
(1970-2000), California treated from 1989 (column 19 of the states x years matrix).

Both tasks do the same work in every package: one real fit plus one refit per never-treated state
(38 placebo fits), each placebo putting that state first as the pseudo-treated unit, the other 37
donors (ascending) as controls and California left out.

* SC placebo: weights are simplex-constrained least squares of the treated unit's pre-period
  outcome path on the donors' pre-period paths (no covariates, no V-matrix search); the test
  statistic is post-period RMSPE / pre-period RMSPE; p = (#placebo ratios >= real ratio + 1) / (38 + 1).
* SDID placebo: synthetic difference-in-differences with the default regularisation of
  Arkhangelsky et al. (2021); the test statistic is |ATT|; same p-value rule.

Peers that only expose a single fit are driven by the same placebo loop written here (serial, as
their users would write it); where a peer ships its own placebo routine over all donors, that
routine is timed as shipped. The p-values of every peer are recomputed from that peer's own fits
with the rule above so that the numbers line up.

Each measurement: one warm-up run, then the median of several timed runs (fewer for slow peers, so
that one measurement takes about --budget seconds at most).

    python benchmarks/bench_sc_placebo.py [--reps 5] [--budget 20] [--only sc|sdid] [--json PATH]

Missing packages are reported and skipped; `pip install .[bench]` installs the peers used here
except causaltensor, whose releases require NumPy < 2; next to NumPy 2 its SDID still works when
installed as `pip install cvxpy toolz tqdm && pip install --no-deps causaltensor`, and it then
joins the table.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import importlib.metadata
import io
import json
import os
import platform
import statistics
import sys
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Optional

import numpy as np

DATA = Path(__file__).resolve().parent / "data" / "california_prop99.csv"
TREATED_STATE = "California"
FIRST_POST_YEAR = 1989


# ----------------------------------------------------------------------------------------------
# Data


@dataclass
class Panel:
    y: np.ndarray  # states x years, float64, C-contiguous
    states: list[str]  # row labels, ascending
    years: list[int]  # column labels, ascending
    treated: int  # row of California
    t0: int  # first post-period column
    rows: list[dict] = field(repr=False)  # the long table as read (State, Year, PacksPerCapita)

    @property
    def donors(self) -> list[int]:
        return [i for i in range(len(self.states)) if i != self.treated]


def load_panel(path: Path = DATA) -> Panel:
    with open(path, newline="") as fh:
        rows = list(csv.DictReader(fh, delimiter=";"))
    states = sorted({r["State"] for r in rows})
    years = sorted({int(r["Year"]) for r in rows})
    si = {s: i for i, s in enumerate(states)}
    yi = {v: j for j, v in enumerate(years)}
    y = np.full((len(states), len(years)), np.nan)
    for r in rows:
        y[si[r["State"]], yi[int(r["Year"])]] = float(r["PacksPerCapita"])
    if np.isnan(y).any():
        raise SystemExit(f"{path}: the panel is not balanced")
    long_rows = [
        {"State": r["State"], "Year": int(r["Year"]), "PacksPerCapita": float(r["PacksPerCapita"])}
        for r in rows
    ]
    return Panel(
        y=np.ascontiguousarray(y),
        states=states,
        years=years,
        treated=si[TREATED_STATE],
        t0=yi[FIRST_POST_YEAR],
        rows=long_rows,
    )


# ----------------------------------------------------------------------------------------------
# The shared placebo protocol


@dataclass
class Outcome:
    att: float
    p_value: float


def rmspe_ratio(gap: np.ndarray, t0: int) -> float:
    pre = float(np.sqrt(np.mean(gap[:t0] ** 2)))
    post = float(np.sqrt(np.mean(gap[t0:] ** 2)))
    return post / pre if pre > 0 else float("inf")


def placebo_p(real_stat: float, placebo_stats: list[float]) -> float:
    kept = [s for s in placebo_stats if not np.isnan(s)]
    return (sum(1 for s in kept if s >= real_stat) + 1) / (len(kept) + 1)


def placebo_designs(panel: Panel):
    """(pseudo-treated row, control rows) for the real fit, then one per donor."""
    donors = panel.donors
    yield panel.treated, donors
    for d in donors:
        yield d, [c for c in donors if c != d]


def run_sc_loop(panel: Panel, fit_weights: Callable[[int, list[int]], np.ndarray]) -> Outcome:
    """Real fit plus one placebo per donor; `fit_weights` returns donor weights (controls order)."""
    y, t0 = panel.y, panel.t0
    stats, atts = [], []
    for tr, controls in placebo_designs(panel):
        w = np.asarray(fit_weights(tr, controls), dtype=float)
        gap = y[tr] - w @ y[controls]
        stats.append(rmspe_ratio(gap, t0))
        atts.append(float(gap[t0:].mean()))
    return Outcome(att=atts[0], p_value=placebo_p(stats[0], stats[1:]))


def run_sdid_loop(panel: Panel, fit_att: Callable[[int, list[int]], float]) -> Outcome:
    """Real fit plus one placebo per donor; statistic |ATT|."""
    atts = [float(fit_att(tr, controls)) for tr, controls in placebo_designs(panel)]
    stats = [abs(a) for a in atts]
    return Outcome(att=atts[0], p_value=placebo_p(stats[0], stats[1:]))


# ----------------------------------------------------------------------------------------------
# tessarix


def tessarix_runner(task: str):
    """Returns (label, run, "") or (label, None, reason why tessarix cannot run the task)."""
    try:
        import tessarix as tx
    except Exception as exc:  # noqa: BLE001 - any import failure means "not available"
        return "tessarix", None, f"not importable ({type(exc).__name__}: {exc})"
    label = f"tessarix {getattr(tx, '__version__', '?')}"
    name = "fit_sc" if task == "sc" else "fit_sdid"
    fn = getattr(tx, name, None)
    if fn is None:
        return label, None, f"this tessarix build has no {name} yet"

    def run(panel: Panel) -> Outcome:
        if task == "sc":
            r = fn(panel.y, [panel.treated], panel.t0, placebo=True)
        else:
            r = fn(panel.y, [panel.treated], panel.t0, inference="placebo")
        n = len(r.placebo_atts) if r.placebo_atts is not None else 0
        if n != len(panel.donors):
            raise RuntimeError(f"expected {len(panel.donors)} placebo fits, tessarix reported {n}")
        return Outcome(att=float(r.att), p_value=float(r.p_value))

    return label, run, ""


# ----------------------------------------------------------------------------------------------
# Peers. Each factory imports its package and returns (run, short config label, description); an
# ImportError means "not installed".


def _version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "?"


def _long_frame(panel: Panel):
    import pandas as pd

    return pd.DataFrame(panel.rows)


@contextlib.contextmanager
def _quiet():
    """Silence a peer's progress prints and warnings while it runs."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            yield


def peer_pysyncon_fixed_v(panel: Panel):
    import pandas as pd
    from pysyncon import Synth

    y, t0, names = panel.y, panel.t0, panel.states

    def fit_weights(tr, controls):
        # Predictors = the 19 pre-period outcomes. pysyncon divides each predictor row by its
        # standard deviation across units; a fixed V equal to those variances undoes that, so
        # the inner problem is plain least squares on the outcome path (no V search).
        cols = [names[tr]] + [names[c] for c in controls]
        x = pd.DataFrame(y[[tr] + controls, :t0].T, columns=cols)
        v = (x.std(axis=1) ** 2).to_numpy()
        s = Synth()
        s.fit(X0=x.iloc[:, 1:], X1=x.iloc[:, 0], Z0=x.iloc[:, 1:], Z1=x.iloc[:, 0], custom_V=v)
        return s.W

    def run(p: Panel) -> Outcome:
        with _quiet():
            return run_sc_loop(p, fit_weights)

    return run, "fixed V, loop", (
        "Synth with a fixed V equal to the predictor variances, so the weights solve plain least "
        "squares on the 19 pre-period outcomes (SLSQP); no V search; serial loop over donors"
    )


def peer_pysyncon_placebo_test(panel: Panel):
    from pysyncon import Dataprep, Synth
    from pysyncon.utils import PlaceboTest

    df = _long_frame(panel)
    pre_years = panel.years[: panel.t0]
    controls = [panel.states[d] for d in panel.donors]
    workers = os.cpu_count() or 1

    def run(p: Panel) -> Outcome:
        dp = Dataprep(
            foo=df,
            predictors=[],
            predictors_op="mean",
            dependent="PacksPerCapita",
            unit_variable="State",
            time_variable="Year",
            treatment_identifier=TREATED_STATE,
            controls_identifier=controls,
            time_predictors_prior=pre_years,
            time_optimize_ssr=pre_years,
            special_predictors=[("PacksPerCapita", [yr], "mean") for yr in pre_years],
        )
        pt = PlaceboTest()
        with _quiet():
            pt.fit(
                dataprep=dp,
                scm=Synth(),
                scm_options={"custom_V": np.ones(len(pre_years))},
                max_workers=workers,
                verbose=False,
            )
        real = pt.treated_gap.reindex(p.years).to_numpy()
        stats = [rmspe_ratio(pt.gaps[c].reindex(p.years).to_numpy(), p.t0) for c in pt.gaps.columns]
        return Outcome(
            att=float(real[p.t0 :].mean()),
            p_value=placebo_p(rmspe_ratio(real, p.t0), stats),
        )

    return run, f"PlaceboTest, {workers} procs", (
        "its own PlaceboTest over all donors (process pool) on a Dataprep with the 19 yearly "
        "outcomes as predictors and equal V; pysyncon scales each predictor by its spread across "
        "units, so the weights solve a slightly different least-squares problem"
    )


def peer_synthctrl_sc(panel: Panel):
    from synthetic_control.estimators import ClassicSyntheticControl

    df = _long_frame(panel)
    post = df["Year"] >= FIRST_POST_YEAR
    names = panel.states

    def fit_weights(tr, controls):
        keep = df["State"].isin([names[i] for i in [tr] + controls])
        d = df[keep].assign(treated=df["State"][keep] == names[tr], post=post[keep])
        m = ClassicSyntheticControl(d, "PacksPerCapita", "Year", "State", "treated", "post")
        m.fit()
        return m.weights_.reindex([names[c] for c in controls]).to_numpy()

    def run(p: Panel) -> Outcome:
        with _quiet():
            return run_sc_loop(p, fit_weights)

    return run, "SLSQP, loop", (
        "ClassicSyntheticControl: simplex weights on the pre-period outcome path (SLSQP); serial "
        "loop over donors"
    )


def peer_synthdid_py(panel: Panel):
    import synthdid

    if not hasattr(synthdid, "synthdid_estimate") or not hasattr(synthdid, "load_california_prop99"):
        raise ImportError("the installed `synthdid` module is not synthdid-py")
    y, t0 = panel.y, panel.t0

    def fit_att(tr, controls):
        Y = y[controls + [tr]]  # controls first, treated last
        return float(synthdid.synthdid_estimate(Y, len(controls), t0))

    def run(p: Panel) -> Outcome:
        with _quiet():
            return run_sdid_loop(p, fit_att)

    return run, "sparsified, loop", (
        "synthdid_estimate with the R package's defaults (Frank-Wolfe, weights sparsified and "
        "refit); serial loop over donors"
    )


def peer_azcausal(panel: Panel):
    from azcausal.core.panel import CausalPanel
    from azcausal.estimators.panel.sdid import SDID
    from azcausal.util import to_panels

    df = _long_frame(panel)
    post = df["Year"] >= FIRST_POST_YEAR
    names = panel.states

    def fit_att(tr, controls):
        keep = df["State"].isin([names[i] for i in [tr] + controls])
        d = df[keep].assign(treated=((df["State"][keep] == names[tr]) & post[keep]).astype(int))
        data = to_panels(d, "Year", "State", ["PacksPerCapita", "treated"])
        cp = CausalPanel(data).setup(
            outcome="PacksPerCapita", time="Year", unit="State", intervention="treated"
        )
        return float(SDID().fit(cp).effect.value)

    def run(p: Panel) -> Outcome:
        with _quiet():
            return run_sdid_loop(p, fit_att)

    return run, "sparsified, loop", (
        "SDID with its default solver (Frank-Wolfe as in the R package, weights sparsified and "
        "refit); serial loop over donors"
    )


def peer_synthctrl_sdid(panel: Panel):
    from synthetic_control.estimators import SyntheticDIDModel

    df = _long_frame(panel)
    post = df["Year"] >= FIRST_POST_YEAR
    names = panel.states

    def fit_att(tr, controls):
        keep = df["State"].isin([names[i] for i in [tr] + controls])
        d = df[keep].assign(treated=df["State"][keep] == names[tr], post=post[keep])
        m = SyntheticDIDModel(d, "PacksPerCapita", "Year", "State", "treated", "post")
        m.fit()
        return float(m.att_)

    def run(p: Panel) -> Outcome:
        with _quiet():
            return run_sdid_loop(p, fit_att)

    return run, "SLSQP, loop", (
        "SyntheticDIDModel: unit and time weights by SLSQP, not sparsified; ATT from a weighted "
        "regression; serial loop over donors"
    )


def peer_causaltensor(panel: Panel):
    from causaltensor.cauest.SDID import SDID

    y, t0 = panel.y, panel.t0

    def fit_att(tr, controls):
        O = y[[tr] + controls]
        Z = np.zeros_like(O)
        Z[0, t0:] = 1.0
        return float(SDID(O, Z, treat_units=[0], starting_time=t0))

    def run(p: Panel) -> Outcome:
        with _quiet():
            return run_sdid_loop(p, fit_att)

    return run, "cvxpy, loop", (
        "SDID: unit and time weights as quadratic programs (cvxpy), not sparsified; its noise "
        "level uses the population variance; serial loop over donors"
    )


# (task, distribution name, factory). Rows print in this order.
PEERS = [
    ("sc", "pysyncon", peer_pysyncon_fixed_v),
    ("sc", "pysyncon", peer_pysyncon_placebo_test),
    ("sc", "synthctrl", peer_synthctrl_sc),
    ("sdid", "synthdid-py", peer_synthdid_py),
    ("sdid", "azcausal", peer_azcausal),
    ("sdid", "synthctrl", peer_synthctrl_sdid),
    ("sdid", "causaltensor", peer_causaltensor),
]

TASK_TITLES = {
    "sc": "SC placebo",
    "sdid": "SDID placebo",
}


# ----------------------------------------------------------------------------------------------
# Timing


@dataclass
class Measurement:
    seconds: Optional[float] = None
    reps: int = 0
    outcome: Optional[Outcome] = None
    error: str = ""


def measure(run: Callable[[Panel], Outcome], panel: Panel, reps: int, budget: float) -> Measurement:
    try:
        t = time.perf_counter()
        outcome = run(panel)  # warm-up
        warm = time.perf_counter() - t
        n = max(1, min(reps, int(budget / warm) if warm > 0 else reps))
        times = []
        for _ in range(n):
            t = time.perf_counter()
            outcome = run(panel)
            times.append(time.perf_counter() - t)
        return Measurement(seconds=statistics.median(times), reps=n, outcome=outcome)
    except Exception as exc:  # noqa: BLE001 - a failing peer is reported, not fatal
        msg = f"{type(exc).__name__}: {exc}".splitlines()[0]
        return Measurement(error=f"failed: {msg[:100]}")


def fmt_s(x: Optional[float]) -> str:
    if x is None:
        return "-"
    return f"{x:.4f}" if x < 1 else f"{x:.2f}"


def main(argv: Optional[list[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--reps", type=int, default=5, help="timed runs after the warm-up (default 5)")
    ap.add_argument(
        "--budget",
        type=float,
        default=20.0,
        help="seconds one measurement may take; slow peers get fewer runs (default 20)",
    )
    ap.add_argument("--only", choices=["sc", "sdid"], help="run one task only")
    ap.add_argument("--json", type=Path, help="also write the results to this JSON file")
    args = ap.parse_args(argv)

    panel = load_panel()
    threads = os.environ.get("TESSARIX_NUM_THREADS")
    print("== SC and SDID with in-space placebo inference: tessarix vs Python peers")
    print(
        f"panel: {DATA.name}, {panel.y.shape[0]} units x {panel.y.shape[1]} periods, "
        f"{TREATED_STATE} (row {panel.treated}) treated from {FIRST_POST_YEAR} (column {panel.t0}); "
        f"each task = 1 real fit + {len(panel.donors)} placebo refits"
    )
    print(
        f"python {platform.python_version()}, numpy {np.__version__}, {os.cpu_count()} cpus"
        + (f", tessarix worker threads: TESSARIX_NUM_THREADS={threads}" if threads else "")
    )
    print(f"timing: 1 warm-up run, then the median of up to {args.reps} runs (fewer when one run "
          f"is slow, about {args.budget:g} s per measurement)")

    tasks = [args.only] if args.only else ["sc", "sdid"]
    results = []  # (task, peer label, short config, long config, Measurement, tessarix Measurement)
    for task in tasks:
        tx = tessarix_runner(task)
        tx_m = measure(tx[1], panel, args.reps, args.budget) if tx[1] else Measurement(error=tx[2])
        if tx_m.error:
            print(f"\n{TASK_TITLES[task]}: {tx[0]}: {tx_m.error}")
        for peer_task, dist, factory in PEERS:
            if peer_task != task:
                continue
            name = f"{dist} {_version(dist)}"
            try:
                with _quiet():
                    run, short, long = factory(panel)
            except ImportError as exc:
                why = f"not installed ({exc.name})" if exc.name else f"not usable ({exc})"
                results.append((task, dist, "", "", Measurement(error=why), tx_m))
                continue
            except Exception as exc:  # noqa: BLE001
                err = Measurement(error=f"failed: {type(exc).__name__}: {exc}".splitlines()[0][:100])
                results.append((task, name, "", "", err, tx_m))
                continue
            results.append((task, name, short, long, measure(run, panel, args.reps, args.budget), tx_m))

    def att_p(m: Measurement) -> tuple[str, str]:
        if m.outcome is None:
            return "-", "-"
        return f"{m.outcome.att:.4f}", f"{m.outcome.p_value:.4f}"

    header = ["task", "peer", "runs", "peer s", "tessarix s", "peer/tessarix",
              "peer ATT", "peer p", "tessarix ATT", "tessarix p"]
    table = []
    for task, name, short, _long, m, tx_m in results:
        ratio = (m.seconds / tx_m.seconds) if (tx_m.seconds and m.seconds) else None
        table.append([
            TASK_TITLES[task],
            (f"{name} ({short})" if short else name) + (f": {m.error}" if m.error else ""),
            str(m.reps) if m.reps else "-",
            fmt_s(m.seconds),
            fmt_s(tx_m.seconds),
            "-" if ratio is None else f"{ratio:.1f}",
            *att_p(m),
            *att_p(tx_m),
        ])
    widths = [max(len(r[i]) for r in table + [header]) for i in range(len(header))]

    def line(row: list[str]) -> str:
        return "  ".join(c.ljust(w) if i < 2 else c.rjust(w) for i, (c, w) in enumerate(zip(row, widths)))

    print()
    print(line(header))
    print("  ".join("-" * w for w in widths))
    for row in table:
        print(line(row))

    print()
    for task in tasks:
        timed = [(m.seconds, name, tx_m.seconds) for t, name, _s, _l, m, tx_m in results
                 if t == task and m.seconds and tx_m.seconds]
        if timed:
            peer_s, name, tx_s = min(timed)
            print(f"{TASK_TITLES[task]}: tessarix is {peer_s / tx_s:.0f}x faster than the fastest peer, "
                  f"{name} ({peer_s:.3f} s against {tx_s * 1e3:.1f} ms)")

    print("\nconfigurations:")
    for _task, name, short, long, _m, _tx in results:
        if long:
            print(f"  {name} ({short}): {long}")
    print(
        "  tessarix: fit_sc(y, [treated], t0, placebo=True) and "
        "fit_sdid(y, [treated], t0, inference=\"placebo\") with default options\n"
        "ATT differences in the third decimal come from solver tolerances and, for SDID, from "
        "sparsified (about -15.604) versus unsparsified (about -15.605) weights."
    )

    if args.json:
        payload = {
            "panel": DATA.name,
            "python": platform.python_version(),
            "numpy": np.__version__,
            "cpus": os.cpu_count(),
            "tessarix_num_threads": threads,
            "rows": [
                {
                    "task": task,
                    "peer": name,
                    "config": long,
                    "peer_seconds": m.seconds,
                    "peer_runs": m.reps,
                    "tessarix_seconds": tx_m.seconds,
                    "peer_att": m.outcome.att if m.outcome else None,
                    "peer_p": m.outcome.p_value if m.outcome else None,
                    "tessarix_att": tx_m.outcome.att if tx_m.outcome else None,
                    "tessarix_p": tx_m.outcome.p_value if tx_m.outcome else None,
                    "error": m.error or tx_m.error or None,
                }
                for task, name, _short, long, m, tx_m in results
            ],
        }
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(payload, indent=2))
        print(f"results written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
