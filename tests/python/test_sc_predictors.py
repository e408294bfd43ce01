"""The synthetic control matched on predictors against pysyncon, an exhaustive NumPy solve of
the weighted simplex problem, and its invariances; placebo refits against refits by hand."""

import itertools
import warnings

import numpy as np
import pytest

import tessarix
import tessarix.datasets
from tessarix import _core
from tessarix.frames import DataError

pd = pytest.importorskip("pandas")

PROP99 = dict(unit="State", time="Year", outcome="PacksPerCapita", treated="California", start=1989)
TEXAS = dict(unit="state", time="year", outcome="bmprison", treated="Texas", start=1993)
# The textbook prison-expansion predictor set: income, unemployment and poverty averaged over
# the pre-period, then single-year values of black male prisoners, alcohol, AIDS mortality,
# black population share and the share aged 15-19.
TEXAS_SINGLE_YEARS = [("bmprison", 1988), ("bmprison", 1990), ("bmprison", 1991), ("bmprison", 1992),
                      ("alcohol", 1990), ("aidscapita", 1990), ("aidscapita", 1991), ("black", 1990),
                      ("black", 1991), ("black", 1992), ("perc1519", 1990)]
TEXAS_PREDICTORS = ["income", "ur", "poverty"] + [(c, [t]) for c, t in TEXAS_SINGLE_YEARS]


def prop99():
    return pd.DataFrame(tessarix.datasets.prop99())


def texas():
    causaldata = pytest.importorskip("causaldata")
    return causaldata.texas.load_pandas().data


def mspe(frame, design, weights, periods):
    """Mean squared gap of the treated outcome and the weighted donors over `periods`."""
    y = frame.pivot(index=design["unit"], columns=design["time"], values=design["outcome"])
    z1 = y.loc[design["treated"], periods].to_numpy()
    z0 = y.drop(index=design["treated"])[periods].to_numpy()
    return float(np.mean((z1 - weights @ z0) ** 2))


def pysyncon_dataprep(frame, design, predictors, prior, special):
    pysyncon = pytest.importorskip("pysyncon")
    controls = sorted(set(frame[design["unit"]]) - {design["treated"]})
    return pysyncon.Dataprep(
        foo=frame, predictors=predictors, predictors_op="mean", time_predictors_prior=prior,
        special_predictors=special, dependent=design["outcome"], unit_variable=design["unit"],
        time_variable=design["time"], treatment_identifier=design["treated"], controls_identifier=controls,
        time_optimize_ssr=prior)


def texas_dataprep(frame):
    return pysyncon_dataprep(frame, TEXAS, ["income", "ur", "poverty"], range(1985, 1993),
                             [(c, [t], "mean") for c, t in TEXAS_SINGLE_YEARS])


# --- peers -----------------------------------------------------------------------------------

def weighted_simplex_slsqp(x0, x1, v):
    """min (x1 - x0 w)' diag(v) (x1 - x0 w) over the simplex by SLSQP with a tight tolerance."""
    minimize = pytest.importorskip("scipy.optimize").minimize
    j = x0.shape[1]

    def f(w):
        r = x1 - x0 @ w
        return r @ (v * r), -2.0 * x0.T @ (v * r)

    res = minimize(f, np.full(j, 1.0 / j), jac=True, method="SLSQP", bounds=[(0.0, 1.0)] * j,
                   constraints=[{"type": "eq", "fun": lambda w: w.sum() - 1.0, "jac": lambda w: np.ones(j)}],
                   options={"ftol": 1e-16, "maxiter": 5000})
    return res.x


def test_texas_given_v_matches_pysyncon_and_a_tight_solve():
    """With the same V the inner problem has one minimiser here (Texas lies outside the donors'
    hull in predictor space). pysyncon stops short of it (its weights differ from ours by about
    5e-4, at a slightly larger weighted predictor gap); a tight SLSQP solve reaches ours."""
    pysyncon = pytest.importorskip("pysyncon")
    frame = texas()
    v = np.linspace(1.0, 3.0, len(TEXAS_PREDICTORS))
    v /= v.sum()
    prep = texas_dataprep(frame)
    peer = pysyncon.Synth()
    peer.fit(dataprep=prep, custom_V=v)
    ours = tessarix.synth(frame, **TEXAS, predictors=TEXAS_PREDICTORS, v=list(v))
    x0, x1 = prep.make_covariate_mats()
    sd = pd.concat([x0, x1], axis=1).std(axis=1)
    x0, x1 = (x0.T / sd).T.to_numpy(), (x1 / sd).to_numpy()
    gap = lambda w: (x1 - x0 @ w) @ (v * (x1 - x0 @ w))
    w_ours, w_peer = np.asarray(ours.fit.weights), np.asarray(peer.W)
    assert np.abs(w_ours - weighted_simplex_slsqp(x0, x1, v)).max() < 1e-6
    assert gap(w_ours) <= gap(w_peer) * (1 + 1e-12)
    assert np.abs(w_ours - w_peer).max() < 2e-3


# pysyncon 1.x's own nested fit of the textbook Texas predictor set (texas_dataprep, its default
# Nelder-Mead search), recorded because it takes minutes: its pre-period (1985-1992) outcome
# MSPE, its V in the order of TEXAS_PREDICTORS, and its non-zero donor weights.
PYSYNCON_TEXAS_LOSS = 2179242.0204941584
PYSYNCON_TEXAS_V = [0.06649326554485123, 0.019167285476941878, 3.856230044041277e-08, 0.08497745760522746,
                    0.10057001802056195, 0.1171609173095536, 0.21223675905617884, 0.11359403977575855,
                    0.0568160505816472, 0.08827715448769213, 0.024738915099540022, 0.009780398954931819,
                    0.10618768770300031, 1.1821814499139579e-08]
PYSYNCON_TEXAS_W = {"California": 0.43699061096885466, "Florida": 0.036626256242331824,
                    "Louisiana": 0.2627280748623477, "Ohio": 0.2636550579264667}


def test_texas_nested_loss_no_larger_than_pysyncons_and_its_v_gives_its_weights():
    """The textbook predictor set: V chosen by tessarix fits the pre-period prison counts at
    least as well as pysyncon's chosen V; given pysyncon's V, the weights are pysyncon's up to
    where its inner solver stops (about 1e-3 here, at a larger weighted predictor gap)."""
    frame = texas()
    ours = tessarix.synth(frame, **TEXAS, predictors=TEXAS_PREDICTORS)
    pre = list(range(1985, 1993))
    assert ours.pre_loss == pytest.approx(mspe(frame, TEXAS, np.asarray(ours.fit.weights), pre), rel=1e-12)
    assert ours.pre_loss <= PYSYNCON_TEXAS_LOSS
    given = tessarix.synth(frame, **TEXAS, predictors=TEXAS_PREDICTORS, v=PYSYNCON_TEXAS_V)
    donors = sorted(set(frame["state"]) - {"Texas"})
    peer = np.array([PYSYNCON_TEXAS_W.get(d, 0.0) for d in donors])
    w = given.weights.set_index("state").loc[donors, "weight"].to_numpy()
    assert np.abs(w - peer).max() < 2e-3
    assert given.pre_loss <= PYSYNCON_TEXAS_LOSS * (1 + 1e-3)


def test_prop99_nested_loss_no_larger_than_pysyncons():
    """Lags of the outcome and its pre-period mean as predictors: V chosen by tessarix fits the
    pre-period outcomes at least as well as V chosen by pysyncon's own nested search."""
    pysyncon = pytest.importorskip("pysyncon")
    frame = prop99()
    lags = [1975, 1980, 1988]
    peer = pysyncon.Synth()
    peer.fit(dataprep=pysyncon_dataprep(frame, PROP99, ["PacksPerCapita"], range(1970, 1989),
                                        [("PacksPerCapita", [t], "mean") for t in lags]))
    pre = list(range(1970, 1989))
    peer_loss = mspe(frame, PROP99, np.asarray(peer.W), pre)
    ours = tessarix.synth(frame, **PROP99, predictors=["PacksPerCapita"], lags=lags)
    assert ours.pre_loss == pytest.approx(mspe(frame, PROP99, np.asarray(ours.fit.weights), pre), rel=1e-12)
    assert ours.pre_loss <= peer_loss * (1 + 1e-10)


# --- an exhaustive solve of the weighted simplex problem --------------------------------------

def simplex_qp_exhaustive(g, b):
    """min 1/2 w'Gw - b'w over the simplex: the KKT point of every support, the feasible best."""
    j = len(b)
    best, best_f = None, np.inf
    for size in range(1, j + 1):
        for s in itertools.combinations(range(j), size):
            s = list(s)
            kkt = np.zeros((size + 1, size + 1))
            kkt[:size, :size] = g[np.ix_(s, s)]
            kkt[:size, size] = kkt[size, :size] = 1.0
            try:
                sol = np.linalg.solve(kkt, np.append(b[s], 1.0))
            except np.linalg.LinAlgError:
                continue
            if (sol[:size] < -1e-12).any():
                continue
            w = np.zeros(j)
            w[s] = sol[:size]
            f = 0.5 * w @ g @ w - b @ w
            if f < best_f - 1e-14:
                best, best_f = w, f
    return best


def small_frame(seed, n=7, t=10):
    rng = np.random.default_rng(seed)
    y = np.cumsum(rng.normal(size=(n, t)), axis=1) + rng.uniform(5, 10, size=(n, 1))
    a = rng.normal(size=(n, t)) * 3 + rng.uniform(0, 50, size=(n, 1))
    c = rng.uniform(0, 1, size=(n, 1)) * np.ones((1, t))
    return pd.DataFrame({"u": np.repeat([f"u{i}" for i in range(n)], t), "t": np.tile(np.arange(2000, 2000 + t), n),
                         "y": y.ravel(), "a": a.ravel(), "c": c.ravel()})


SMALL = dict(unit="u", time="t", outcome="y", treated="u0", start=2007)
SMALL_PREDICTORS = [("a", (2001, 2004)), "c", ("a", [2006], "last")]


@pytest.mark.parametrize("seed", range(4))
def test_given_v_weights_equal_an_exhaustive_solve(seed):
    frame = small_frame(seed)
    v = np.array([0.2, 0.5, 0.1, 0.2])
    res = tessarix.synth(frame, **SMALL, predictors=SMALL_PREDICTORS, lags=[2003], v=list(v))
    wide = {c: frame.pivot(index="u", columns="t", values=c) for c in ("y", "a", "c")}
    x = np.column_stack([wide["a"].loc[:, 2001:2004].mean(axis=1), wide["c"].loc[:, 2000:2006].mean(axis=1),
                         wide["a"][2006], wide["y"][2003]])
    xs = x / x.std(axis=0, ddof=1)
    x1, x0 = xs[0], xs[1:]
    g = x0 @ np.diag(v) @ x0.T
    want = simplex_qp_exhaustive(g, x0 @ (v * x1))
    gap = lambda w: (x1 - w @ x0) @ (v * (x1 - w @ x0))
    got = np.asarray(res.fit.weights)
    if gap(want) > 1e-10:  # unique minimiser: the same weights
        assert np.abs(got - want).max() < 1e-8
    else:  # a face of exact matches: ours is one of them, fitting the outcomes no worse
        assert gap(got) < 1e-8
        assert res.pre_loss <= mspe(frame, SMALL, want, list(range(2000, 2007))) * (1 + 1e-8)
    assert list(res.v["predictor"]) == ["a(2001-2004)", "c", "a(2006, last)", "y(2003)"]
    assert np.allclose(res.v["importance"], v / v.sum(), rtol=0, atol=1e-15)


# --- invariances ------------------------------------------------------------------------------

def test_predictor_units_importance_scale_and_row_order_do_not_matter():
    frame = small_frame(11)
    base = tessarix.synth(frame, **SMALL, predictors=SMALL_PREDICTORS, lags=[2003])
    rescaled = frame.assign(a=frame["a"] * 1000.0, c=frame["c"] / 3.0)
    shuffled = frame.sample(frac=1.0, random_state=3)
    for other in (tessarix.synth(rescaled, **SMALL, predictors=SMALL_PREDICTORS, lags=[2003]),
                  tessarix.synth(shuffled, **SMALL, predictors=SMALL_PREDICTORS, lags=[2003])):
        assert np.abs(np.asarray(other.fit.weights) - np.asarray(base.fit.weights)).max() < 1e-6
        assert other.pre_loss == pytest.approx(base.pre_loss, rel=1e-6)
    v = [0.3, 0.1, 0.4, 0.2]
    a = tessarix.synth(frame, **SMALL, predictors=SMALL_PREDICTORS, lags=[2003], v=v)
    b = tessarix.synth(frame, **SMALL, predictors=SMALL_PREDICTORS, lags=[2003], v=[10 * x for x in v])
    assert np.abs(np.asarray(a.fit.weights) - np.asarray(b.fit.weights)).max() < 1e-12
    # The nested V fits the outcomes no worse than any given V.
    assert base.pre_loss <= a.pre_loss * (1 + 1e-10)


def test_loss_periods_and_paths():
    frame = small_frame(5)
    res = tessarix.synth(frame, **SMALL, predictors=["a", "c"], lags=[2004], loss_periods=(2002, 2005))
    assert res.pre_loss == pytest.approx(mspe(frame, SMALL, np.asarray(res.fit.weights), [2002, 2003, 2004, 2005]),
                                         rel=1e-12)
    paths = res.paths
    y = frame.pivot(index="u", columns="t", values="y").to_numpy()
    w = np.asarray(res.fit.weights)
    np.testing.assert_allclose(paths["synthetic"], w @ y[1:], rtol=1e-12)
    assert res.att == pytest.approx(np.mean(y[0, 7:] - w @ y[1:, 7:]), rel=1e-12)
    assert "predictor importances V" in res.summary()


# --- placebo inference ------------------------------------------------------------------------

def test_placebo_refits_use_each_donors_own_predictors():
    frame = small_frame(21, n=6)
    kw = dict(predictors=SMALL_PREDICTORS, lags=[2003])
    res = tessarix.synth(frame, **SMALL, **kw, inference="placebo")
    test = res.placebo_test
    assert len(test["placebo_atts"]) == 5
    donors_only = frame[frame["u"] != "u0"]
    for k, unit in enumerate(["u1", "u2", "u3", "u4", "u5"]):
        by_hand = tessarix.synth(donors_only, **dict(SMALL, treated=unit), **kw)
        assert test["placebo_units"][k][0] == k + 1
        assert test["placebo_atts"][k] == pytest.approx(by_hand.att, rel=1e-9, abs=1e-9)
        ratio = by_hand.post_rmspe / by_hand.pre_rmspe
        assert test["placebo_stats"][k] == pytest.approx(ratio, rel=1e-9)
    stat = res.post_rmspe / res.pre_rmspe
    assert res.p_value == pytest.approx((1 + np.sum(test["placebo_stats"] >= stat)) / 6)


# --- bad input --------------------------------------------------------------------------------

def test_bad_predictors_are_named():
    frame = small_frame(1)
    gappy = frame.copy()
    gappy.loc[(gappy["u"] == "u3") & (gappy["t"] == 2002), "a"] = np.nan
    with pytest.raises(DataError, match=r"predictor 'a' is missing .* unit 'u3' at t=2002"):
        tessarix.synth(gappy, **SMALL, predictors=["a"])
    # NaN outside the chosen periods is fine.
    tessarix.synth(gappy, **SMALL, predictors=[("a", [2004, 2005])], v=[1.0])
    with pytest.raises(DataError, match=r"predictor 'a': period 2008 is not a pre-period"):
        tessarix.synth(frame, **SMALL, predictors=[("a", (2003, 2008))])
    with pytest.raises(DataError, match="lags: t=2007 is not a pre-period"):
        tessarix.synth(frame, **SMALL, lags=[2007])
    with pytest.raises(ValueError, match="one importance per predictor and lag: 2 values, got 3"):
        tessarix.synth(frame, **SMALL, predictors=["a"], lags=[2003], v=[1, 1, 1])
    with pytest.raises(ValueError, match="non-negative"):
        tessarix.synth(frame, **SMALL, predictors=["a"], lags=[2003], v=[1, -1])
    with pytest.raises(ValueError, match="all zero"):
        tessarix.synth(frame, **SMALL, predictors=["a"], lags=[2003], v=[0, 0])
    with pytest.raises(ValueError, match="method='sc'"):
        tessarix.synth(frame, **SMALL, method="sdid", predictors=["a"])
    y = frame.pivot(index="u", columns="t", values="y").to_numpy()
    with pytest.raises(ValueError, match="predictors must be finite; row 2, column 0"):
        _core.fit_sc_predictors(y, [0], 7, np.where(np.arange(7)[:, None] == 2, np.nan, 1.0) + np.arange(7)[:, None])
    with pytest.raises(ValueError, match="loss_periods must lie before treat_time 7"):
        _core.fit_sc_predictors(y, [0], 7, y[:, :2].copy(), loss_periods=[3, 7])


def test_constant_predictor_is_dropped_with_a_warning():
    frame = small_frame(2).assign(k=4.0)
    with pytest.warns(UserWarning, match="predictor 'k' takes one value"):
        res = tessarix.synth(frame, **SMALL, predictors=["a", "k", "c"], v=[1.0, 5.0, 2.0])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ref = tessarix.synth(frame, **SMALL, predictors=["a", "c"], v=[1.0, 2.0])
    assert list(res.v["predictor"]) == ["a", "c"]
    assert np.asarray(res.fit.weights).tolist() == np.asarray(ref.fit.weights).tolist()


def test_polars_frames_come_back_as_polars():
    pl = pytest.importorskip("polars")
    frame = pl.from_pandas(small_frame(3))
    res = tessarix.synth(frame, **SMALL, predictors=["a"], lags=[2002])
    assert isinstance(res.v, pl.DataFrame) and isinstance(res.weights, pl.DataFrame)


def test_batches_refit_each_replication_as_the_single_fit_does():
    rng = np.random.default_rng(8)
    y3 = 20.0 + np.cumsum(rng.normal(size=(6, 9, 16)), axis=2)
    x = rng.normal(size=(9, 3))
    for kwargs in ({}, {"v": [1.0, 0.0, 2.0], "loss_periods": [4, 6, 9]}):
        atts = _core.fit_many_predictors(y3, [0, 2], 12, x, **kwargs)
        single = [_core.fit_sc_predictors(y3[r], [0, 2], 12, x, **kwargs)["att"] for r in range(6)]
        assert atts.tolist() == single
    pytest.importorskip("dask")
    import dask.array as da

    from tessarix.distributed.batch import fit_many

    lazy = fit_many(da.from_array(y3, chunks=(2, 9, 16)), [0, 2], 12, predictors=x)
    assert lazy.compute().tolist() == _core.fit_many_predictors(y3, [0, 2], 12, x).tolist()
    with pytest.raises(ValueError, match="predictors must be an N x k matrix"):
        _core.fit_many_predictors(y3, [0], 12, x[:5])


def test_conformal_inference_of_the_predictor_fit():
    """A known effect taken out leaves the effect-free panel's test; a shift of the treated
    post-periods shifts every interval by as much; the p-value ranks the returned residuals."""
    from test_conformal import block_p

    rng = np.random.default_rng(12)
    y = 30.0 + np.cumsum(rng.normal(size=(10, 16)), axis=1)
    x = np.column_stack([y[:, :12].mean(axis=1), rng.normal(size=10)])
    effect = np.array([2.0, -1.0, 0.5, 3.0])
    lifted = y.copy()
    lifted[0, 12:] += effect
    clean = _core.conformal_sc_predictors(y, [0], 12, x)
    known = _core.conformal_sc_predictors(lifted, [0], 12, x, null=effect)
    np.testing.assert_allclose(known["residuals"], clean["residuals"], atol=1e-9)
    assert known["p_value"] == clean["p_value"] == block_p(clean["residuals"], 4, 1.0)
    shifted = y.copy()
    shifted[0, 12:] += 5.0
    moved = _core.conformal_sc_predictors(shifted, [0], 12, x)
    np.testing.assert_allclose(moved["ci_lower"], clean["ci_lower"] + 5.0, atol=1e-6)
    np.testing.assert_allclose(moved["ci_upper"], clean["ci_upper"] + 5.0, atol=1e-6)
    res = tessarix.synth(prop99(), **PROP99, predictors=["PacksPerCapita"], lags=[1975, 1988],
                         inference="conformal")
    assert res.p_value == res.conformal_test["p_value"]
    assert len(res.to_frame()) == 1 + 12
