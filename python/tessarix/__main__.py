"""``python -m tessarix``: each family of estimators on the bundled examples, as summaries;
``--plots DIR`` also writes their pictures (with matplotlib)."""

from __future__ import annotations

import argparse
import os
from typing import Any, Optional, Sequence

import tessarix
from tessarix import datasets


def examples() -> list[tuple[str, Any]]:
    """(picture name, result) for each family, on the bundled panels."""
    prop99, stag, sales = datasets.prop99(), datasets.staggered(), datasets.sales()
    # 38 donors give 38 placebos: enough to bound a 90 % placebo interval, not a 95 % one.
    sc = tessarix.synth(prop99, unit="State", time="Year", outcome="PacksPerCapita", treated="California",
                        start=1989, method="sc", inference="placebo", level=0.9)
    sdid = tessarix.synth(prop99, unit="State", time="Year", outcome="PacksPerCapita", treated="California",
                          start=1989, method="sdid", inference="placebo", level=0.9)
    cs = tessarix.did(stag, unit="unit", time="year", outcome="y", cohort="first_treated", bands=True, seed=1)
    bacon = tessarix.bacon(stag, unit="unit", time="year", outcome="y", cohort="first_treated")
    market = dict(unit="market", time="week", outcome="sales")
    power = tessarix.geo.power(sales, **market, treated=["m03", "m11"], test_len=8,
                               lifts=[0.0, 0.02, 0.04, 0.06, 0.08, 0.1], method="sc")
    diagnosis = tessarix.geo.diagnose(sales, **market, treated=["m03", "m11"], test_len=8)
    return [("synthetic_control", sc), ("synthetic_did", sdid), ("callaway_santanna", cs),
            ("goodman_bacon", bacon), ("geo_power", power), ("geo_diagnostics", diagnosis)]


def main(argv: Optional[Sequence[str]] = None) -> None:
    """Prints each example's summary; with ``--plots DIR`` writes their pictures there."""
    parser = argparse.ArgumentParser(prog="python -m tessarix", description=__doc__)
    parser.add_argument("--plots", metavar="DIR", help="write each example's picture into DIR (needs matplotlib)")
    args = parser.parse_args(argv)
    print(f"tessarix {tessarix.version()}\n")
    results = examples()
    for _, res in results:
        print(res.summary(), end="\n\n")
    if args.plots:
        import matplotlib

        matplotlib.use("Agg")
        os.makedirs(args.plots, exist_ok=True)
        for name, res in results:
            ax = res.plot()
            path = os.path.join(args.plots, f"{name}.png")
            ax.figure.savefig(path, dpi=120, bbox_inches="tight")
            print(f"wrote {path}")


if __name__ == "__main__":
    main()
