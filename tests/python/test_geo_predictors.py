"""Geo power with the synthetic control matched on market predictors: every window against a
fresh predictor fit of its sub-panel, lifted estimates against fresh fits of the lifted
panels, the front end against the array call, and the refusals."""

import numpy as np
import pytest

import tessarix
from tessarix import _core
from test_frontends import sales_panel
from test_geo_power import expected_curve

ARGS = dict(unit="market", time="week", outcome="sales")


def market_panel(seed=3, n=12, t=30):
    rng = np.random.default_rng(seed)
    level = rng.uniform(40.0, 60.0, size=(n, 1))
    y = level + np.cumsum(rng.normal(size=(n, t)), axis=1)
    x = np.column_stack([level[:, 0] + rng.normal(size=n), rng.uniform(0.0, 1.0, size=n)])
    return y, x


def fresh_estimates(y, x, treated, test_len, lift, starts):
    """Each window's ATT from its own predictor fit of the (lifted) sub-panel."""
    out = []
    for s in starts:
        sub = y[:, :s + test_len].copy()
        sub[treated, s:] *= 1.0 + lift
        out.append(_core.fit_sc_predictors(sub, treated, s, x)["att"])
    return np.array(out)


def test_every_window_and_lift_is_a_fresh_predictor_fit():
    y, x = market_panel()
    treated, test_len, lifts = [1, 4], 3, [0.0, 0.02, 0.05]
    windows = _core.geo_windows(y, treated, test_len, method="sc", predictors=x)
    starts = [int(s) for s in windows["starts"]]
    assert starts == list(range(test_len, y.shape[1] - test_len + 1))
    null = fresh_estimates(y, x, treated, test_len, 0.0, starts)
    np.testing.assert_allclose(windows["null_att"], null, rtol=1e-12, atol=1e-12)
    res = _core.geo_power(y, treated, test_len, lifts, method="sc", predictors=x)
    est = [fresh_estimates(y, x, treated, test_len, lift, starts) for lift in lifts]
    want = expected_curve(null, est, lifts, y[treated].mean(), 0.1)
    assert res.crit == pytest.approx(want["crit"], rel=1e-12)
    assert res.power == want["power"]
    assert res.method == "SC"
    # Matching on predictors is another fit than matching on the outcome path.
    assert res.crit != _core.geo_power(y, treated, test_len, lifts, method="sc").crit


def test_front_end_passes_each_markets_mean_predictor():
    df, y = sales_panel()
    rng = np.random.default_rng(4)
    df = df.assign(income=df["sales"] * 0.3 + rng.normal(size=len(df)), staff=rng.uniform(1, 9, size=len(df)))
    res = tessarix.geo.power(df, **ARGS, treated=["m03", "m07"], test_len=6, lifts=[0, 0.05, 0.1], method="sc",
                             predictors=["income", "staff"], cost_per_unit=2.0)
    x = df.groupby("market")[["income", "staff"]].mean().sort_index().to_numpy()
    native = _core.geo_power(y, [3, 7], 6, [0, 0.05, 0.1], method="sc", predictors=x)
    # The means are summed in another order here, which the nested search of V may carry into
    # the last digits.
    assert res.native.power == native.power
    assert res.native.crit == pytest.approx(native.crit, rel=1e-6)
    # The windows and the calibration are those of the same fits.
    assert np.std(res.windows["null_att"], ddof=1) == pytest.approx(res.se_null, rel=1e-12)
    assert res.investment == res.native.mde_cumulative * 2.0 or res.native.mde_cumulative is None


BAD = [
    (dict(method="sdid"), "method must be 'sc'"),
    (dict(method="sc", min_weight=0.01), "no weight bounds"),
    (dict(method="sc", predictors=np.ones((5, 2))), "predictors must be an N x k matrix with N = 12"),
    (dict(method="sc", predictors=np.full((12, 1), np.nan)), "predictors must be finite"),
]


@pytest.mark.parametrize("kwargs, message", BAD)
def test_bad_predictor_power_calls_are_refused(kwargs, message):
    y, x = market_panel()
    kwargs = dict({"predictors": x}, **kwargs)
    with pytest.raises(ValueError, match=message):
        _core.geo_power(y, [1], 3, [0.0, 0.1], **kwargs)


def test_front_end_refuses_predictors_for_other_methods():
    df, _ = sales_panel()
    with pytest.raises(ValueError, match="use method='sc'"):
        tessarix.geo.power(df, **ARGS, treated="m03", test_len=6, lifts=[0, 0.1], method="sdid", predictors=["sales"])
