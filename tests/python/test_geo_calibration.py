"""The out-of-sample check of a geo power analysis: each later window against the threshold the
compiled power analysis sets on the history before it, and a calibrated threshold that an
effect-free exchangeable window exceeds at most alpha of the time."""

import math

import numpy as np
import pytest

import tessarix
from tessarix import _tessarix
from tessarix.results.calibration import MIN_HISTORY, calibrate, conformal_threshold, disjoint_count


def sales(n=12, t=48, seed=3):
    rng = np.random.default_rng(seed)
    y = 50 + rng.normal(size=(n, 2)) @ rng.normal(size=(2, t)).cumsum(axis=1) * 0.3 + rng.normal(size=(n, t))
    return {"market": np.repeat([f"m{i:02d}" for i in range(n)], t), "week": np.tile(np.arange(t), n),
            "sales": y.reshape(-1)}, y


@pytest.mark.parametrize("alpha", [0.05, 0.1, 0.2])
def test_conformal_threshold_holds_alpha_under_exchangeability(alpha):
    # Each of n + 1 exchangeable values in turn is the new window; it exceeds the threshold of
    # the other n at most alpha of the time, and not far below (one rank).
    for n in (5, 9, 19, 40, 99):
        values = np.random.default_rng(n).normal(size=n + 1)
        exceed = sum(abs(values[k]) > conformal_threshold(np.abs(np.delete(values, k)), alpha) for k in range(n + 1))
        assert exceed / (n + 1) <= alpha + 1e-12
        if math.isfinite(conformal_threshold(np.abs(values[1:]), alpha)):
            assert exceed / (n + 1) > alpha - 1.0 / (n + 1) - 1e-12


def test_backtest_applies_the_compiled_threshold_of_the_earlier_history():
    data, y = sales()
    treated, test_len = [1, 4], 3
    curve = tessarix.geo.power(data, unit="market", time="week", outcome="sales", treated=["m01", "m04"],
                               test_len=test_len, lifts=[0.0], method="sc", alpha=0.2)
    windows = curve.windows
    starts, null = np.asarray(windows["start"]), np.abs(np.asarray(windows["null_att"]))
    hits = tested = 0
    for k, s in enumerate(starts):
        earlier = np.count_nonzero(starts + test_len <= s)
        if s < y.shape[1] // 2 or disjoint_count(earlier, test_len) < MIN_HISTORY:
            continue
        # The power analysis on the history before window k sets the threshold it would face.
        crit = _tessarix.geo_power(y[:, :s].copy(), treated, test_len, [0.0], method="sc", alpha=0.2).crit
        tested += 1
        hits += null[k] > crit
    c = curve.calibration
    assert tested > 0 and (c.n_tested, c.false_positive_rate) == (tested, hits / tested)
    recent = null[starts >= y.shape[1] // 2]
    assert c.critical_value == conformal_threshold(recent, 0.2)
    assert "calibrated threshold for the real test" in curve.summary()


def test_few_or_overlapping_windows_are_flagged():
    starts = np.arange(30, 45)
    c = calibrate(starts, np.linspace(-1, 1, len(starts)), test_len=6, n_periods=50, alpha=0.1)
    assert c.n_disjoint == 3 and c.false_positive_rate is None
    said = " | ".join(c.warnings)
    assert "only 15 placebo windows" in said and "only 3 are disjoint" in said and "too little history" in said
    # 15 windows at 90 % still give a finite threshold (rank 15 of 15), so no fourth warning.
    assert len(c.warnings) == 3 and math.isfinite(c.critical_value)
    # Many disjoint windows whose later half is far noisier than its earlier half: out of sample
    # the earlier threshold is exceeded too often, and the warning says so.
    rng = np.random.default_rng(0)
    starts = np.arange(2, 200)
    null = np.where(starts >= 100, 5.0, 1.0) * rng.normal(size=len(starts))
    c = calibrate(starts, null, test_len=1, n_periods=201, alpha=0.1)
    assert c.false_positive_rate > 0.3 and any("optimistic" in w for w in c.warnings)
