"""Draws the pictures of the documentation's gallery (docs/img) from the bundled examples:

    python scripts/gallery.py docs/img
"""

import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import tessarix  # noqa: E402
from tessarix import datasets  # noqa: E402


def pictures():
    from tessarix.__main__ import examples

    res = dict(examples())
    sc, cs, bacon, power = res["synthetic_did"], res["callaway_santanna"], res["goodman_bacon"], res["geo_power"]
    sel = tessarix.geo.select(datasets.sales(), unit="market", time="week", outcome="sales", max_treated=3,
                              test_len=8, target_lift=0.05, method="sc", n_candidates=20, seed=1)
    yield "sc_paths", lambda ax: sc.plot("paths", ax=ax)
    yield "sc_gap", lambda ax: sc.plot("gap", ax=ax)
    yield "sc_placebos", lambda ax: sc.plot("placebos", ax=ax, max_pre_mspe_ratio=5)
    yield "sc_weights", lambda ax: sc.plot("weights", ax=ax, top=10)
    yield "did_event_study", lambda ax: cs.plot(ax=ax)
    yield "did_groups", lambda ax: cs.plot("groups", ax=ax)
    yield "bacon", lambda ax: bacon.plot(ax=ax)
    yield "geo_power", lambda ax: power.plot(ax=ax)
    yield "geo_history", lambda ax: power.plot("history", ax=ax)
    yield "geo_candidates", lambda ax: sel.plot(ax=ax, top=10)


def main(out):
    os.makedirs(out, exist_ok=True)
    for name, draw in pictures():
        fig, ax = plt.subplots(figsize=(6.4, 4.0))
        draw(ax)
        fig.savefig(os.path.join(out, f"{name}.png"), dpi=80, bbox_inches="tight")
        plt.close(fig)
        print(f"wrote {out}/{name}.png")


if __name__ == "__main__":
    main(sys.argv[1])
