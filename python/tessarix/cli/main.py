"""The ``tessarix`` command: the front ends on a CSV or Parquet file.

    tessarix synth prop99.csv --unit State --time Year --outcome PacksPerCapita \\
        --treated California --start 1989 --method sdid --inference placebo --out results/

Each command prints the result's summary; with ``--out DIR`` it writes the tidy table and the
labelled tables as CSV files, and the pictures as PNG files when matplotlib is installed. A bad
file, column, panel or option ends the command with exit status 2 and one line naming it.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Callable, Optional, Sequence

import numpy as np

from . import io

# Tables each kind of result writes with --out, by file name.
_TABLES = ("weights", "time_weights", "paths", "placebos", "placebo_sets", "event_study", "groups", "components", "curve",
           "windows", "candidates")
# Pictures each kind of result draws with --out (when matplotlib is there), by kind.
_PICTURES = {
    "SynthResult": ("paths", "gap", "placebos", "weights"),
    "DidResult": ("event_study", "groups"),
    "BaconResult": (None,),
    "PowerCurve": ("curve", "history"),
    "Selection": ("candidates", "history"),
    "Diagnosis": (None,),
}


class UsageError(Exception):
    """A problem with the command's input, reported in one line with exit status 2."""


def _options(pairs: Sequence[str]) -> dict[str, Any]:
    """KEY=VALUE pairs as keyword options, values typed (int, float, true/false, none, text)."""
    out: dict[str, Any] = {}
    for pair in pairs:
        if "=" not in pair:
            raise UsageError(f"--option takes KEY=VALUE; got {pair!r}")
        key, text = pair.split("=", 1)
        low = text.lower()
        out[key] = True if low == "true" else False if low == "false" else None if low == "none" else io.typed(text)
    return out


def _label(text: str, data: Any, column: str) -> Any:
    """A value given on the command line in the type of `column` (int, float, date or text)."""
    if isinstance(data, dict):
        values = data.get(column)
    else:
        import narwhals.stable.v2 as nw

        frame = nw.from_native(data, eager_only=True)
        values = frame.get_column(column).to_numpy() if column in frame.columns else None
    kind = values.dtype.kind if isinstance(values, np.ndarray) else "O"
    if kind in "iu":
        return int(text) if isinstance(io.typed(text), int) else io.typed(text)
    if kind == "f":
        return float(text) if isinstance(io.typed(text), (int, float)) else text
    if kind == "M":
        return np.datetime64(text)
    return text


def _labels(texts: Optional[Sequence[str]], data: Any, column: str) -> Any:
    return None if texts is None else [_label(t, data, column) for t in texts]


def _common(p: argparse.ArgumentParser) -> None:
    p.add_argument("file", help="CSV (any of , ; tab | as delimiter, header line first) or Parquet file, "
                                "one row per unit and period")
    p.add_argument("--unit", required=True, help="column of the unit (market) labels")
    p.add_argument("--time", required=True, help="column of the time values (integers or dates)")
    p.add_argument("--outcome", required=True, help="column of the numeric outcome")
    p.add_argument("--sep", help="CSV delimiter (default: read from the header line)")
    p.add_argument("--out", metavar="DIR", help="write the tidy table, the labelled tables (CSV) and the "
                                                "pictures (PNG, when matplotlib is installed) into DIR")
    p.add_argument("--option", action="append", default=[], metavar="KEY=VALUE",
                   help="an option of the method (repeatable), for example ridge=0.1 or control=notyet")
    p.add_argument("--no-progress", action="store_true",
                   help="no progress bar on stderr for placebo refits, power windows and candidates")


def _cohort_args(p: argparse.ArgumentParser) -> None:
    g = p.add_mutually_exclusive_group(required=True)
    g.add_argument("--cohort", help="column of each unit's first treated time (0, empty or after the last "
                                    "period: never treated)")
    g.add_argument("--treatment", help="0/1 column, 1 from the unit's first treated period on")


def _parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="tessarix", description="Causal-inference estimates from a long panel "
                                  "file (one row per unit and period).")
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("synth", help="synthetic control and its variants", description="Synthetic-control family "
                       "estimate of the effect on the treated unit(s) from --start on.")
    _common(p)
    p.add_argument("--treated", action="append", required=True, help="a treated unit's label (repeatable)")
    p.add_argument("--start", required=True, help="the first treated time value")
    p.add_argument("--method", default="sc", choices=["sc", "asc", "sdid", "fp", "rsc", "mcnnm", "cpasc"],
                   help="the estimator (default sc)")
    p.add_argument("--inference", choices=["none", "placebo", "jackknife", "conformal"], default="none",
                   help="placebo (in-space refits), jackknife (sdid, two or more treated), conformal (cpasc)")

    p = sub.add_parser("did", help="staggered-adoption difference-in-differences",
                       description="Callaway-Sant'Anna, Sun-Abraham, TWFE or the imputation estimator from "
                       "each unit's first treated time.")
    _common(p)
    _cohort_args(p)
    p.add_argument("--method", default="cs", choices=["cs", "sa", "twfe", "imputation"],
                   help="Callaway-Sant'Anna (default), Sun-Abraham, two-way fixed effects or "
                        "Borusyak-Jaravel-Spiess imputation")
    p.add_argument("--covariates", action="append", help="a unit-level covariate column for cs (repeatable)")

    p = sub.add_parser("bacon", help="Goodman-Bacon decomposition of the TWFE estimate",
                       description="The TWFE estimate split into its 2x2 comparisons.")
    _common(p)
    _cohort_args(p)

    p = sub.add_parser("power", help="geo test power from historical placebo windows",
                       description="Power of a geo test on the --treated markets; with --members, of an ensemble.")
    _common(p)
    p.add_argument("--treated", action="append", required=True, help="a treated market's label (repeatable)")
    p.add_argument("--test-len", type=int, required=True, help="test length in periods")
    p.add_argument("--lifts", required=True, help="comma-separated lifts as fractions, e.g. 0,0.02,0.05,0.1")
    p.add_argument("--method", default="sdid", help="sc, asc, sdid, fp (dsc) or rsc (default sdid)")
    p.add_argument("--members", help="comma-separated estimators of an ensemble, e.g. sc,asc,sdid")
    p.add_argument("--cost-per-unit", type=float, help="cost of one incremental unit of the outcome: report the "
                   "investment needed to detect the MDE")

    p = sub.add_parser("select", help="rank candidate sets of treatment markets",
                       description="Search and rank candidate treatment-market sets.")
    _common(p)
    p.add_argument("--max-treated", type=int, required=True, help="largest number of treated markets")
    p.add_argument("--test-len", type=int, required=True, help="test length in periods")
    p.add_argument("--target-lift", type=float, required=True, help="lift to detect, as a fraction (0.05 = 5 %%)")
    p.add_argument("--eligible", action="append", help="a market that may be treated (repeatable; default all)")
    p.add_argument("--include", action="append", help="a market forced into every candidate (repeatable)")
    p.add_argument("--cost-per-unit", type=float, help="cost of one incremental unit of the outcome: report each "
                   "candidate's investment to detect its MDE")
    p.add_argument("--budget", type=float, help="cap on that investment: sets within it rank first, the others "
                   "are marked")

    p = sub.add_parser("diagnose", help="diagnostics of a proposed geo design",
                       description="Volume share, pre-period fit, volatility, seasonality and a confidence score.")
    _common(p)
    p.add_argument("--treated", action="append", required=True, help="a treated market's label (repeatable)")
    p.add_argument("--test-len", type=int, required=True, help="test length in periods")
    return top


def _run(args: argparse.Namespace, data: Any) -> Any:
    import tessarix

    cols = dict(unit=args.unit, time=args.time, outcome=args.outcome)
    opts = _options(args.option)
    if args.command == "synth":
        return tessarix.synth(data, **cols, treated=_labels(args.treated, data, args.unit),
                              start=_label(args.start, data, args.time), method=args.method,
                              inference=None if args.inference == "none" else args.inference,
                              progress=not args.no_progress, **opts)
    if args.command in ("did", "bacon"):
        staggered = dict(cohort=args.cohort, treatment=args.treatment)
        if args.command == "bacon":
            return tessarix.bacon(data, **cols, **staggered)
        return tessarix.did(data, **cols, **staggered, method=args.method, covariates=args.covariates,
                            progress=not args.no_progress and args.method == "cs", **opts)
    if args.command == "power":
        try:
            lifts = [float(x) for x in args.lifts.split(",")]
        except ValueError:
            raise UsageError(f"--lifts takes comma-separated numbers; got {args.lifts!r}") from None
        treated = _labels(args.treated, data, args.unit)
        if args.members:
            return tessarix.geo.power_ensemble(data, **cols, treated=treated, test_len=args.test_len, lifts=lifts,
                                               members=args.members.split(","), cost_per_unit=args.cost_per_unit,
                                               progress=not args.no_progress, **opts)
        return tessarix.geo.power(data, **cols, treated=treated, test_len=args.test_len, lifts=lifts,
                                  method=args.method, cost_per_unit=args.cost_per_unit,
                                  progress=not args.no_progress, **opts)
    if args.command == "select":
        return tessarix.geo.select(data, **cols, max_treated=args.max_treated, test_len=args.test_len,
                                   target_lift=args.target_lift, eligible=_labels(args.eligible, data, args.unit),
                                   include=_labels(args.include, data, args.unit),
                                   cost_per_unit=args.cost_per_unit, budget=args.budget,
                                   progress=not args.no_progress, **opts)
    return tessarix.geo.diagnose(data, **cols, treated=_labels(args.treated, data, args.unit),
                                 test_len=args.test_len)


def _write(result: Any, out: str) -> list[str]:
    """The result's tables (CSV) and pictures (PNG, with matplotlib) in `out`; the files written."""
    os.makedirs(out, exist_ok=True)
    written = []
    tables: dict[str, Any] = {"estimates": result.to_frame()}
    for name in _TABLES:
        table = getattr(result, name, None)
        if table is not None and not callable(table):
            tables[name] = table
    for name, table in tables.items():
        path = os.path.join(out, f"{name}.csv")
        io.write_csv(table, path)
        written.append(path)
    written += _pictures(result, out)
    return written


def _pictures(result: Any, out: str) -> list[str]:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return []
    written = []
    for kind in _PICTURES.get(type(result).__name__, ()):
        try:
            ax = result.plot() if kind is None else result.plot(kind)
        except ValueError:
            continue  # this result has no such picture (no placebos, no cohorts, ...)
        path = os.path.join(out, f"{kind or 'plot'}.png")
        ax.figure.savefig(path, dpi=120, bbox_inches="tight")
        plt.close(ax.figure)
        written.append(path)
    return written


def main(argv: Optional[Sequence[str]] = None, out: Callable[[str], Any] = print) -> int:
    """Runs one command; 0 on success, 2 (with one line on stderr) when the input is at fault."""
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        data = io.read(args.file, args.sep)
        result = _run(args, data)
    except (UsageError, ValueError, TypeError, KeyError, FileNotFoundError, ImportError) as e:
        message = str(e).splitlines()[0] if str(e) else type(e).__name__
        print(f"tessarix {args.command}: error: {message}", file=sys.stderr)
        return 2
    out(result.summary())
    if args.out:
        for path in _write(result, args.out):
            out(f"wrote {path}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
