"""The full paths and power windows of tessarix._core against the specified module: from the
treatment time on they are the fit's own fields bit for bit, the placebo rows belong one for
one to the placebo ATTs, the pre-periods match a NumPy rebuild from the fit's weights, and the
windows give geo_power's threshold and null spread; arguments are checked with the same
messages in the same order."""

import math

import numpy as np
import pytest

import tessarix
from tessarix import _core
from prop99_fits import load_prop99


def prop99():
    states, years, y = load_prop99()
    return y, [states.index("California")], years.index(1989)


def seeded():
    rng = np.random.default_rng(11)
    y = 20.0 + rng.normal(scale=4.0, size=(14, 1)) + np.cumsum(rng.normal(size=(14, 22)), axis=1)
    return y, [1, 6, 9], 16


PANELS = {"prop99": prop99(), "seeded": seeded()}

# name -> (specified fit, its placebo keyword, paths function, shared keyword arguments)
METHODS = {
    "sc": (tessarix.fit_sc, {"placebo": True}, _core.paths_sc, {"ridge": 0.01, "max_weight": 0.6}),
    "asc": (tessarix.fit_asc, {"placebo": True}, _core.paths_asc, {}),
    "fp": (tessarix.fit_fp, {"placebo": True}, _core.paths_fp, {}),
    "rsc": (tessarix.fit_rsc, {"placebo": True}, _core.paths_rsc, {"rank": 3}),
    "sdid": (tessarix.fit_sdid, {"inference": "placebo"}, _core.paths_sdid, {"zeta_scale": 0.8}),
}


def bits(x):
    return np.asarray(x, dtype=np.float64).view(np.int64)


def same_bits(a, b):
    return np.array_equal(bits(a), bits(b))


def donors(y, treated):
    return [u for u in range(y.shape[0]) if u not in treated]


@pytest.mark.parametrize("panel", PANELS)
@pytest.mark.parametrize("method", METHODS)
def test_paths_extend_the_specified_fit(method, panel):
    y, treated, t0 = PANELS[panel]
    fit, placebo_kw, paths, kwargs = METHODS[method]
    f = fit(y, treated, t0, **placebo_kw, **kwargs)
    p = paths(y, treated, t0, placebo=True, **kwargs)
    assert same_bits(p["synthetic"][t0:], f.counterfactual)
    assert same_bits(p["gap"][t0:], f.att_path)
    assert same_bits(p["treated"][t0:], f.treated_post)
    np.testing.assert_allclose(p["treated"][:t0], y[treated, :t0].mean(axis=0), rtol=1e-13)
    assert same_bits(p["synthetic"][:t0], p["treated"][:t0] - p["gap"][:t0])

    # One placebo row per placebo ATT, in donor order; each row's post part averages to it.
    assert p["placebo_units"].dtype == np.int64
    assert p["placebo_units"].tolist() == donors(y, treated)
    assert len(f.placebo_atts) == len(donors(y, treated))
    assert p["placebo_gaps"].shape == (len(f.placebo_atts), y.shape[1])
    np.testing.assert_allclose(p["placebo_gaps"][:, t0:].mean(axis=1), f.placebo_atts, rtol=0, atol=1e-12)

    # Without placebo: the same paths, no placebo keys.
    q = paths(y, treated, t0, **kwargs)
    assert not {"placebo_units", "placebo_gaps"} & set(q)
    assert all(same_bits(q[k], p[k]) for k in ("treated", "synthetic", "gap"))


@pytest.mark.parametrize("panel", PANELS)
def test_pre_period_gaps_rebuilt_from_the_weights(panel):
    """Each estimator's own gap is pinned in the C++ suite; here the assembly of the periods."""
    y, treated, t0 = PANELS[panel]
    x0, x1 = y[donors(y, treated), :t0].T, y[donors(y, treated), t0:].T
    w = np.array(tessarix.fit_sc(y, treated, t0).weights)
    p = _core.paths_sc(y, treated, t0)
    np.testing.assert_allclose(p["synthetic"][:t0], x0 @ w, rtol=1e-12)

    # SDID: the weighted donors plus the intercept, before and after t0.
    f = tessarix.fit_sdid(y, treated, t0)
    p = _core.paths_sdid(y, treated, t0)
    omega = np.array(f.weights)
    assert p["time_weights"].shape == (t0,)
    assert abs(p["time_weights"].sum() - 1.0) < 1e-9 and p["time_weights"].min() >= 0.0
    np.testing.assert_allclose(p["synthetic"], np.r_[x0 @ omega, x1 @ omega] + p["intercept"], rtol=1e-12)
    assert math.isclose(f.att, (p["treated"][t0:] - x1 @ omega).mean() - p["intercept"], rel_tol=1e-11)


def test_matrix_completion_paths():
    for y, treated, t0 in PANELS.values():
        kwargs = {"lambda_": 2.0, "max_rank": 4, "seed": 3}
        f = tessarix.fit_mcnnm(y, treated, t0, **kwargs)
        p = _core.paths_mcnnm(y, treated, t0, **kwargs)
        assert sorted(p) == ["gap", "synthetic", "treated"]
        assert same_bits(p["synthetic"][t0:], f.counterfactual)
        assert same_bits(p["gap"][t0:], f.att_path)
        assert same_bits(p["treated"][t0:], f.treated_post)
    # One treated unit: the pre-period gap is its residual, whose RMS is pre_rmspe.
    y, treated, t0 = PANELS["prop99"]
    f = tessarix.fit_mcnnm(y, treated, t0)
    gap = _core.paths_mcnnm(y, treated, t0)["gap"][:t0]
    assert math.isclose(np.sqrt(np.mean(gap ** 2)), f.pre_rmspe, rel_tol=1e-12)


def type7_abs_quantile(x, q):
    a = np.sort(np.abs(x))
    h = q * (len(a) - 1)
    f = h - math.floor(h)
    return (1.0 - f) * a[math.floor(h)] + f * a[math.ceil(h)]


def sample_sd(x):
    """Left-to-right sums, as the library forms them."""
    m = 0.0
    for v in x:
        m += v
    m /= len(x)
    ss = 0.0
    for v in x:
        ss += (v - m) * (v - m)
    return math.sqrt(ss / (len(x) - 1))


WINDOW_CASES = [
    {"method": "sdid"},
    {"method": "asc", "min_pre": 6, "lookback": 9, "max_weight": 0.5},
    {"members": ["sc", "fp", "rsc"]},
    {"members": ["sdid", "asc"], "weights": [3.0, 1.0], "lookback": 7},
]


@pytest.mark.parametrize("panel", PANELS)
@pytest.mark.parametrize("kwargs", WINDOW_CASES, ids=str)
def test_windows_give_the_power_threshold_and_null_spread(panel, kwargs):
    y, treated, _ = PANELS[panel]
    test_len, alpha = 3, 0.2
    w = _core.geo_windows(y, treated, test_len, **kwargs)
    if "members" in kwargs:
        r = tessarix.geo_power_ensemble(y, treated, test_len, [0.0], alpha=alpha, **kwargs)
        assert same_bits(w["weights"], r.ensemble_weights)
    else:
        r = tessarix.geo_power(y, treated, test_len, [0.0], alpha=alpha, **kwargs)
        assert "weights" not in w
    pre = kwargs.get("min_pre") or max(test_len, 2)
    starts = list(range(pre, y.shape[1] - test_len + 1))[-kwargs.get("lookback", y.shape[1]):]
    assert w["starts"].dtype == np.int64 and w["starts"].tolist() == starts
    assert len(w["null_att"]) == r.n_windows
    assert type7_abs_quantile(w["null_att"], 1.0 - alpha) == r.crit
    assert sample_sd(w["null_att"]) == r.se_null
    assert np.mean(np.abs(w["null_att"]) > r.crit) == r.power[0]


def value_error(fn, *args, **kwargs):
    with pytest.raises(ValueError) as err:
        fn(*args, **kwargs)
    return str(err.value)


BAD_SC_ARGS = [
    ((np.ones((0, 5)), [0], 2), {}),
    ((None, [], 0), {}),
    ((None, [0], 10), {"ridge": -1.0}),  # the treatment time is checked first
    ((None, [0], 5), {"ridge": -1.0, "max_weight": 0.1}),  # then the options, then the bounds
    ((None, [0], 5), {"max_weight": 0.1}),
]


@pytest.mark.parametrize("method", ["sc", "asc", "fp", "sdid"])
def test_paths_check_arguments_like_the_specified_fits(method):
    y = PANELS["seeded"][0][:6, :10]
    fit, _, paths, _ = METHODS[method]
    option = {"sc": "ridge", "asc": "sc_ridge", "fp": "ridge", "sdid": "zeta_scale"}[method]
    for args, kwargs in BAD_SC_ARGS:
        args = tuple(y if a is None else a for a in args)
        kwargs = {(option if k == "ridge" else k): v for k, v in kwargs.items()}
        assert value_error(paths, *args, **kwargs) == value_error(fit, *args, **kwargs)
    if method == "asc":
        assert value_error(paths, y, [0], 5, aug_lambda=0.0) == value_error(fit, y, [0], 5, aug_lambda=0.0)


def test_rsc_mcnnm_and_windows_check_arguments_like_the_specified_functions():
    y = PANELS["seeded"][0][:6, :10]
    for kwargs in ({"ridge": -1.0, "energy": 2.0}, {"energy": 2.0, "rank": 0}, {"rank": 0}):
        assert value_error(_core.paths_rsc, y, [0], 5, **kwargs) == value_error(tessarix.fit_rsc, y, [0], 5, **kwargs)
    for kwargs in ({"lambda_": -1.0, "tol": 0.0}, {"max_iter": 0}, {"max_rank": 0}):
        assert value_error(_core.paths_mcnnm, y, [0], 5, **kwargs) == value_error(tessarix.fit_mcnnm, y, [0], 5, **kwargs)
    for kwargs in ({"method": "magic", "test_len": 99}, {"test_len": 9}, {"test_len": 3, "min_weight": 0.5}):
        kwargs = {"test_len": 3, **kwargs}
        assert value_error(_core.geo_windows, y, [0], **kwargs) == value_error(tessarix.geo_power, y, [0], lifts=[0.1], **kwargs)
    for kwargs in ({"members": []}, {"members": ["sc", "ensemble"]}, {"members": ["sc"], "weights": [1.0, 2.0]},
                   {"members": ["sc", "fp"], "weights": [0.0, 0.0], "test_len": 99}):
        kwargs = {"test_len": 3, **kwargs}
        assert (value_error(_core.geo_windows, y, [0], **kwargs)
                == value_error(tessarix.geo_power_ensemble, y, [0], lifts=[0.1], **kwargs))
    assert value_error(_core.geo_windows, y, [0], 3, weights=[1.0]) == "weights apply to an ensemble: pass members as well"
