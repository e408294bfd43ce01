"""Geo power out of sample: does a test designed on the history keep its false-positive rate on
the window that follows it?

The design (fixed before any run):

* 40 markets, 104 weeks of history and a 4-week test after them. Sales are
  y_it = 100 + 3 m_i' f_t + 5 sin(2 pi t / 52) + e_it with two AR(1) factors (coefficient
  0.7, unit innovations), loadings m_i ~ N(0, I), and AR(1) errors e_it (coefficient 0.5,
  innovations of s.d. 2).
* Three treated markets drawn at random; no effect anywhere.
* `tessarix.geo.power` (SDID, its default windows, alpha 0.10) on the history gives the
  calibrated threshold (`calibration.critical_value`) and the power curve's own in-sample
  threshold; the test window is then estimated with `tessarix.synth` (SDID) on history and test
  together, and a false positive is |ATT| above the threshold.

The size row is the calibrated threshold's; the in-sample threshold's rate and the mean of the
out-of-sample check the summary reports are listed beside it.
"""

from __future__ import annotations

import numpy as np

from harness import SIZE_10, Context, Row, mean_se, proportion
from studies.did import ar1

N_MARKETS, N_TREATED = 40, 3
HISTORY, TEST_LEN = 104, 4
ALPHA = 0.10


def sales_panel(rng: np.random.Generator) -> np.ndarray:
    t = HISTORY + TEST_LEN
    factors = ar1(rng, 2, t, 0.7) / np.sqrt(1.0 - 0.49)  # unit innovations
    errors = 2.0 * ar1(rng, N_MARKETS, t, 0.5) / np.sqrt(1.0 - 0.25)
    season = 5.0 * np.sin(2.0 * np.pi * np.arange(t) / 52.0)
    return 100.0 + 3.0 * rng.normal(size=(N_MARKETS, 2)) @ factors + season + errors


def _frame(y: np.ndarray) -> dict:
    n, t = y.shape
    return {"market": np.repeat(np.arange(n), t), "week": np.tile(np.arange(t), n), "sales": y.ravel()}


def geo_replication(rng: np.random.Generator) -> list[float]:
    import tessarix

    y = sales_panel(rng)
    treated = sorted(rng.choice(N_MARKETS, N_TREATED, replace=False).tolist())
    cols = dict(unit="market", time="week", outcome="sales")
    curve = tessarix.geo.power(_frame(y[:, :HISTORY]), **cols, treated=treated, test_len=TEST_LEN, lifts=[0.0],
                               alpha=ALPHA)
    att = abs(tessarix.synth(_frame(y), **cols, treated=treated, start=HISTORY, method="sdid").att)
    check = curve.calibration
    rate = check.false_positive_rate
    return [float(att > check.critical_value), float(att > curve.critical_value),
            float("nan") if rate is None else rate]


def geo_out_of_sample(ctx: Context) -> list[Row]:
    recs = np.array(ctx.replicate(geo_replication))
    n = len(recs)
    path = f"geo power sdid, {N_TREATED} of {N_MARKETS} markets"
    checked = recs[:, 2][~np.isnan(recs[:, 2])]
    return [Row(path, "size at 0.10, calibrated threshold, next window", ALPHA, *proportion(recs[:, 0]), SIZE_10, n),
            Row(path, "size at 0.10, power curve's threshold, next window", None, *proportion(recs[:, 1]), None, n),
            Row(path, "out-of-sample check's reported rate (mean)", None, *mean_se(checked), None, len(checked))]
