"""The synthetic-control entry points against independent computations."""

import gc

import numpy as np
import pytest
from scipy.optimize import minimize

import tessarix


def walks(seed, n=12, t=20):
    rng = np.random.default_rng(seed)
    return np.cumsum(rng.normal(size=(n, t)), axis=1) + rng.uniform(5, 15, size=(n, 1))


def simplex_lstsq(x0, x1):
    """Independent simplex-constrained least squares: min ||x1 - x0 w||^2, w >= 0, sum w = 1."""
    j = x0.shape[1]
    scale = np.linalg.norm(x1) ** 2

    def f(w):
        r = x1 - x0 @ w
        return r @ r / scale, -2.0 * (x0.T @ r) / scale

    res = minimize(f, np.full(j, 1.0 / j), jac=True, method="SLSQP", bounds=[(0.0, 1.0)] * j,
                   constraints=[{"type": "eq", "fun": lambda w: w.sum() - 1.0, "jac": lambda w: np.ones(j)}],
                   options={"ftol": 1e-16, "maxiter": 2000})
    assert res.success, res.message
    return res.x


@pytest.mark.parametrize("seed", range(5))
def test_fit_sc_weights_match_constrained_least_squares(seed):
    rng = np.random.default_rng(100 + seed)
    t0, t, j = 30, 36, 10
    donors = rng.normal(size=(j, t))
    # A treated path partly inside, partly outside the donors' hull.
    w_true = rng.dirichlet(np.ones(j) * 0.5)
    treated = w_true @ donors + rng.normal(0, 0.3, size=t)
    y = np.vstack([treated, donors])
    res = tessarix.fit_sc(y, [0], t0)
    ref = simplex_lstsq(donors[:, :t0].T, treated[:t0])
    assert res.donor_ids == list(range(1, j + 1))
    np.testing.assert_allclose(res.weights, ref, atol=1e-6)
    assert sum(res.weights) == pytest.approx(1.0, abs=1e-12)
    assert min(res.weights) >= 0.0
    # The counterfactual and the fit statistics follow from the weights.
    w = np.array(res.weights)
    np.testing.assert_allclose(res.counterfactual, w @ donors[:, t0:], rtol=1e-12)
    np.testing.assert_allclose(res.att_path, treated[t0:] - w @ donors[:, t0:], atol=1e-12)
    assert res.att == pytest.approx(np.mean(res.att_path), abs=1e-12)
    resid = treated[:t0] - w @ donors[:, :t0]
    assert res.pre_rmspe == pytest.approx(np.sqrt(np.mean(resid**2)), rel=1e-12)
    assert res.post_rmspe == pytest.approx(np.sqrt(np.mean(np.square(res.att_path))), rel=1e-12)


def placebo_by_hand(fit, y, treated, t0, ratio, **kwargs):
    """Refit each never-treated unit as pseudo-treated (it first, the other donors after)."""
    donors = [u for u in range(y.shape[0]) if u not in treated]
    stats, atts = [], []
    for d in donors:
        order = [d] + [u for u in donors if u != d]
        r = fit(y[order], [0], t0, **kwargs)
        stats.append(r.post_rmspe / r.pre_rmspe if ratio else abs(r.att))
        atts.append(r.att)
    return stats, atts


@pytest.mark.parametrize("fit, ratio", [(tessarix.fit_sc, True), (tessarix.fit_fp, False),
                                        (tessarix.fit_asc, True), (tessarix.fit_rsc, True),
                                        (tessarix.fit_sdid, False)])
def test_placebo_inference_equals_per_donor_refits(fit, ratio):
    y = walks(1)
    y[3, 15:] += 4.0
    treated, t0, level = [3], 15, 0.9
    opt = {"inference": "placebo"} if fit is tessarix.fit_sdid else {"placebo": True}
    res = fit(y, treated, t0, level=level, **opt)
    base = fit(y, treated, t0)
    stats, atts = placebo_by_hand(fit, y, treated, t0, ratio)
    real = base.post_rmspe / base.pre_rmspe if ratio else abs(base.att)
    assert res.att == base.att and res.weights == base.weights
    assert res.inference_distribution == stats
    assert res.placebo_atts == atts
    assert res.p_value == (sum(s >= real for s in stats) + 1) / (len(stats) + 1)
    assert res.se == pytest.approx(np.std(atts, ddof=1), rel=1e-12)
    lo, hi = np.quantile(atts, [(1 - level) / 2, 1 - (1 - level) / 2])
    assert res.ci_lower == pytest.approx(res.att + lo, rel=1e-12)
    assert res.ci_upper == pytest.approx(res.att + hi, rel=1e-12)
    assert res.ci_lower <= res.att + np.median(atts) <= res.ci_upper
    assert f", p={res.p_value:.4f}, " in repr(res)


def test_without_inference_every_inference_field_is_none():
    y = walks(2)
    for res in (tessarix.fit_sc(y, [0], 12), tessarix.fit_sdid(y, [0, 1], 12), tessarix.fit_rsc(y, [0], 12)):
        assert (res.p_value, res.se, res.ci_lower, res.ci_upper, res.inference_distribution,
                res.placebo_atts) == (None,) * 6
        assert ", p=" not in repr(res)
        assert repr(res).startswith(f"SCResult(att={res.att:.6f}, pre_rmspe=")


def test_single_post_period_and_lone_donor():
    y = walks(3, n=5, t=8)
    res = tessarix.fit_sc(y, [0, 2], 7)
    assert len(res.att_path) == 1 and res.att == res.att_path[0]
    assert res.treated_post == [(y[0, 7] + y[2, 7]) / 2]
    # A single donor leaves no placebo to run: identical to placebo=False.
    lone = tessarix.fit_sc(y[:3], [0, 1], 5, placebo=True)
    plain = tessarix.fit_sc(y[:3], [0, 1], 5)
    assert lone.weights == [1.0] and lone.p_value is None and lone.placebo_atts is None
    assert repr(lone) == repr(plain)


def test_sdid_jackknife_interval():
    y = walks(4, n=10, t=16)
    y[:3, 11:] += 2.0
    res = tessarix.fit_sdid(y, [0, 1, 2], 11, inference="jackknife", level=0.9)
    assert res.p_value is None and res.inference_distribution is None and res.placebo_atts is None
    assert res.se > 0.0
    z = 1.6448536269514722
    assert res.ci_lower == pytest.approx(res.att - z * res.se, rel=1e-8)
    assert res.ci_upper == pytest.approx(res.att + z * res.se, rel=1e-8)
    assert res.ci_lower < res.att < res.ci_upper
    # The jackknife SE from leave-one-unit-out refits with the full-sample weights held fixed:
    # with one treated unit left out, the effect is the mean over the other two treated paths.
    assert res.att == tessarix.fit_sdid(y, [0, 1, 2], 11).att


def test_fit_many_matches_single_fits_and_owns_its_buffer():
    base = walks(5, n=9, t=14)
    rng = np.random.default_rng(6)
    stack = np.stack([base + rng.normal(0, 0.2, size=base.shape) for _ in range(5)])
    for method, single in [("sc", lambda p: tessarix.fit_sc(p, [0], 10, ridge=0.1)),
                           ("asc", lambda p: tessarix.fit_asc(p, [0], 10, sc_ridge=0.1)),
                           ("sdid", lambda p: tessarix.fit_sdid(p, [0], 10, zeta_scale=0.5)),
                           ("fp", lambda p: tessarix.fit_fp(p, [0], 10, ridge=0.1)),
                           ("rsc", lambda p: tessarix.fit_rsc(p, [0], 10))]:
        atts = tessarix.fit_many(stack, [0], 10, method=method, ridge=0.1, zeta_scale=0.5)
        assert isinstance(atts, np.ndarray) and atts.dtype == np.float64 and atts.shape == (5,)
        assert atts.tolist() == [single(stack[r]).att for r in range(5)], method
    # The array keeps its buffer alive on its own and is not tied to the input.
    atts = tessarix.fit_many(np.asfortranarray(stack)[:, :, :], [0], 10)
    expected = atts.copy()
    del stack
    gc.collect()
    assert atts.base is not None and np.array_equal(atts, expected)
    atts[0] = 1.0  # writable, like any fresh array
