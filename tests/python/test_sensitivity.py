"""Honest sensitivity analysis (tessarix.sensitivity and its _core entry points) against moderndid's
port of the method, the honestdid package's numbers, closed forms and invariants."""

from __future__ import annotations

import dataclasses
import warnings

import numpy as np
import pytest

import tessarix
from tessarix import _core


def synthetic(seed: int, num_pre: int, num_post: int, scale: float = 0.1) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    n = num_pre + num_post
    a = rng.standard_normal((n, n))
    return rng.standard_normal(n) * scale, (a @ a.T + n * np.eye(n)) * 0.01


def first_and_average(num_post: int) -> list[np.ndarray]:
    return [np.eye(num_post)[0], np.full(num_post, 1.0 / num_post)]


@pytest.fixture(scope="module")
def mpdta_study():
    """The Callaway-Sant'Anna event study of mpdta (universal base period, as tessarix.did fits it)
    with the covariance of moderndid's influence functions, and tessarix's own fit."""
    md = pytest.importorskip("moderndid")
    df = md.load_mpdta()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        gt = md.att_gt(data=df, yname="lemp", tname="year", gname="first.treat", idname="countyreal",
                       est_method="dr", boot=False, base_period="universal")
        es = md.aggte(gt, type="dynamic")
    times = np.asarray(es.event_times)
    keep = times != -1
    inf = np.asarray(es.influence_func)[:, keep]
    vcov = inf.T @ inf / inf.shape[0] ** 2
    fit = tessarix.did(df.to_pandas(), unit="countyreal", time="year", outcome="lemp", cohort="first.treat",
                       method="cs")
    return fit, np.asarray(es.att_by_event)[keep], vcov


# --- smoothness: the fixed-length interval ---------------------------------------------------

def min_variance_interval(b, s, num_pre, num_post, l, alpha):
    """The M = 0 interval: the least-variance estimator blind to linear trends, v'b -/+ z sd, by
    the equality-constrained least squares of its pre-period weights (KKT system)."""
    from statistics import NormalDist

    pre_t = np.arange(-num_pre, 0.0)
    spp, spq = s[:num_pre, :num_pre], s[:num_pre, num_pre:]
    kkt = np.block([[2 * spp, pre_t[:, None]], [pre_t[None, :], np.zeros((1, 1))]])
    rhs = np.r_[-2 * spq @ l, -np.arange(1.0, num_post + 1) @ l]
    v = np.r_[np.linalg.solve(kkt, rhs)[:num_pre], l]
    half = NormalDist().inv_cdf(1 - alpha / 2) * np.sqrt(v @ s @ v)
    return v @ b - half, v @ b + half


def sd_identified_set(b, num_pre, num_post, l, m):
    """min and max of l'(b_post - delta_post) over |second differences of (delta_pre, 0,
    delta_post)| <= M with delta_pre = b_pre, by scipy's linear programming."""
    from scipy.optimize import linprog

    full = num_pre + num_post + 1
    d2 = np.zeros((full - 2, full))
    for r in range(full - 2):
        d2[r, r:r + 3] = [1.0, -2.0, 1.0]
    # Variables: delta_post; the fixed part moves to the right-hand side.
    fixed = np.r_[b[:num_pre], 0.0, np.zeros(num_post)]
    a = d2[:, num_pre + 1:]
    a_ub = np.vstack([a, -a])
    b_ub = np.r_[m - d2 @ fixed, m + d2 @ fixed]
    bounds = [(None, None)] * num_post
    lo = linprog(-l, A_ub=a_ub, b_ub=b_ub, bounds=bounds)  # max l'delta_post
    hi = linprog(l, A_ub=a_ub, b_ub=b_ub, bounds=bounds)   # min l'delta_post
    if lo.status != 0 or hi.status != 0:
        return None  # the pre-periods themselves break the bound: the set is empty
    est = l @ b[num_pre:]
    return est + lo.fun, est - hi.fun


@pytest.mark.parametrize("study", ["synthetic", "mpdta"])
def test_smoothness_matches_moderndid(study, mpdta_study):
    md = pytest.importorskip("moderndid")
    if study == "synthetic":
        b, s = synthetic(3, 4, 3)
        num_pre, num_post = 4, 3
    else:
        _, b, s = mpdta_study
        num_pre, num_post = 3, 4
    worst = 0.0
    for l in first_and_average(num_post):
        ours = _core.honest_smoothness(b, s, num_pre, num_post, l_vec=l)
        grid = ours["m"][1:]  # M = 0 is checked against its closed form below
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ref = md.create_sensitivity_results_sm(b, s, num_pre, num_post, m_vec=grid, l_vec=l)
        worst = max(worst, np.abs(ours["lower"][1:] - ref["lb"].to_numpy()).max(),
                    np.abs(ours["upper"][1:] - ref["ub"].to_numpy()).max())
        # The half-length (the optimum's value) agrees to the reference's solver accuracy; the
        # centre moves with the minimising standard deviation, which a flat optimum leaves to
        # the reference's conic solver within about 1e-5 (ours is the exact minimiser).
        ref_half = 0.5 * (ref["ub"].to_numpy() - ref["lb"].to_numpy())
        np.testing.assert_allclose(ours["half_length"][1:], ref_half, rtol=1e-6)
        lo0, hi0 = min_variance_interval(b, s, num_pre, num_post, l, 0.05)
        assert ours["lower"][0] == pytest.approx(lo0, abs=1e-12)
        assert ours["upper"][0] == pytest.approx(hi0, abs=1e-12)
        # The default M grid ends at the largest one-sided 95% bound on a second difference of
        # (b_pre, 0), the reference period included (as the original method; moderndid leaves
        # out the difference that reaches the reference period).
        d2 = np.zeros((num_pre - 1, num_pre + 1))
        for r in range(num_pre - 1):
            d2[r, r:r + 3] = [1.0, -2.0, 1.0]
        d2 = d2[:, :num_pre]
        se = np.sqrt(np.einsum("ri,ij,rj->r", d2, s[:num_pre, :num_pre], d2))
        top = np.max(np.abs(d2 @ b[:num_pre]) + 1.6448536269514722 * se)
        np.testing.assert_allclose(ours["m"], np.linspace(0.0, top, 10), rtol=1e-12, atol=1e-15)
    assert worst < 2e-5


def test_smoothness_at_zero_is_the_least_variance_interval():
    # Many shapes and covariances: M = 0 sits where the variance's minimum makes the path's last
    # segment flat, which once gave NaN.
    for seed in range(40):
        num_pre, num_post = 2 + seed % 5, 1 + seed % 4
        b, s = synthetic(100 + seed, num_pre, num_post)
        s = s + np.outer(b, b) * (seed % 3)  # some strongly correlated ones
        for l in first_and_average(num_post):
            r = _core.honest_smoothness(b, s, num_pre, num_post, [0.0, 0.05], l_vec=l)
            assert np.isfinite(r["lower"]).all() and np.isfinite(r["upper"]).all()
            lo0, hi0 = min_variance_interval(b, s, num_pre, num_post, l, 0.05)
            assert r["lower"][0] == pytest.approx(lo0, abs=1e-10) and r["upper"][0] == pytest.approx(hi0, abs=1e-10)


def test_smoothness_invariants():
    b, s = synthetic(5, 5, 3)
    grid = np.linspace(0.0, 1.2, 7)
    for l in first_and_average(3):
        r = _core.honest_smoothness(b, s, 5, 3, grid, l_vec=l, alpha=0.1)
        # The half-length grows with M; the interval holds the identified set, and its
        # worst-case bias is within the half-length.
        assert np.all(np.diff(r["half_length"]) >= -1e-12)
        assert np.all(r["worst_bias"] <= r["half_length"] + 1e-12)
        nonempty = 0
        for mm, lo, hi in zip(grid, r["lower"], r["upper"]):
            ident = sd_identified_set(b, 5, 3, l, mm)
            if ident is not None:
                nonempty += 1
                assert lo <= ident[0] + 1e-9 and ident[1] <= hi + 1e-9
        assert nonempty >= 2
        # The weights are blind to linear trends and carry l on the post periods.
        t = np.r_[np.arange(-5, 0), np.arange(1, 4)]
        np.testing.assert_allclose(r["weights"] @ t, 0.0, atol=1e-10)
        np.testing.assert_allclose(r["weights"][:, 5:], np.tile(l, (len(grid), 1)))
        np.testing.assert_allclose(r["sd"] ** 2, np.einsum("ki,ij,kj->k", r["weights"], s, r["weights"]),
                                   rtol=1e-10)


# --- relative magnitudes ---------------------------------------------------------------------

# honestdid 0.1.1 (the direct port of the original R package) on synthetic(1, 3, 2) with
# gridPoints=100 and its default grid (-/+ 20 sd around zero, passed here explicitly): (Mbar,
# lb, ub) per method and target; C-LF with its legacy RandomState(0) draws.
HONESTDID = {
    ("Conditional", "first"): [(0.0, -0.44991291, 0.44991291), (0.5, -0.54989356, 0.54989356),
                               (1.0, -0.94981615, 0.8498355)],
    ("Conditional", "average"): [(0.0, -0.40948429, 0.40948429), (0.5, -0.59147731, 0.77347032),
                                 (1.0, -1.13745636, 1.31944937)],
    ("C-LF", "first"): [(0.0, -0.44991291, 0.44991291), (0.5, -0.64987421, 0.54989356),
                        (1.0, -0.8498355, 0.8498355)],
    ("C-LF", "average"): [(0.0, -0.31848778, 0.40948429), (0.5, -0.59147731, 0.77347032),
                          (1.0, -1.13745636, 1.31944937)],
}


# The same on synthetic(7, 4, 1, scale=0.15) with gridPoints=300: one post-period, the test
# without nuisance parameters.
HONESTDID_ONE_POST = {
    "Conditional": [(0.0, -0.57543301, 0.61805768), (0.5, -0.74593168, 0.78855635),
                    (1.0, -1.12955369, 1.17217836), (2.0, -1.98204705, 2.02467171)],
    "C-LF": [(0.0, -0.61805768, 0.61805768), (0.5, -0.78855635, 0.83118102),
             (1.0, -1.12955369, 1.17217836), (2.0, -2.02467171, 2.06729638)],
}


def rm_draws(s, num_pre, num_post, mbar, legacy=True):
    covs = _core.honest_rm_draw_covariances(s, num_pre, num_post, mbar)
    gen = (lambda: np.random.RandomState(0)) if legacy else (lambda: np.random.default_rng(0))
    return np.stack([gen().multivariate_normal(np.zeros(len(c)), c, size=1000) for c in covs])


@pytest.mark.parametrize("method", ["Conditional", "C-LF"])
def test_relative_magnitude_matches_honestdid(method):
    b, s = synthetic(1, 3, 2)
    mbar = [0.0, 0.5, 1.0]
    draws = rm_draws(s, 3, 2, mbar) if method == "C-LF" else None
    for name, l in zip(["first", "average"], first_and_average(2)):
        sd = np.sqrt(l @ s[3:, 3:] @ l)
        r = _core.honest_relative_magnitude(b, s, 3, 2, mbar, l_vec=l, method=method, grid_points=100, draws=draws,
                                            grid_lb=-20 * sd, grid_ub=20 * sd)
        want = np.array(HONESTDID[(method, name)])
        np.testing.assert_allclose(np.c_[r["mbar"], r["lower"], r["upper"]], want, atol=1e-7)
    b, s = synthetic(7, 4, 1, scale=0.15)
    mbar = [0.0, 0.5, 1.0, 2.0]
    draws = rm_draws(s, 4, 1, mbar) if method == "C-LF" else None
    sd = np.sqrt(s[4, 4])
    r = _core.honest_relative_magnitude(b, s, 4, 1, mbar, method=method, grid_points=300, draws=draws,
                                        grid_lb=-20 * sd, grid_ub=20 * sd)
    np.testing.assert_allclose(np.c_[r["mbar"], r["lower"], r["upper"]], HONESTDID_ONE_POST[method], atol=1e-7)


def test_relative_magnitude_at_zero_matches_moderndid():
    """At Mbar = 0 every piece of Delta^RM is post-period parallel trends, so moderndid's port
    (whose pieces otherwise differ from the original's) must agree on the same theta grid."""
    md = pytest.importorskip("moderndid")
    from moderndid.didhonest import compute_conditional_cs_rm

    num_post = 3
    b, s = synthetic(11, 4, num_post)
    for l in first_and_average(num_post):
        sd = np.sqrt(l @ s[4:, 4:] @ l)
        grid = dict(grid_lb=float(l @ b[4:] - 8 * sd), grid_ub=float(l @ b[4:] + 8 * sd))
        for method, flag in [("Conditional", "ARP"), ("C-LF", "LF")]:
            draws = rm_draws(s, 4, num_post, [0.0], legacy=False) if method == "C-LF" else None
            ours = _core.honest_relative_magnitude(b, s, 4, num_post, [0.0], l_vec=l, method=method,
                                                   grid_points=120, draws=draws, **grid)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                ref = compute_conditional_cs_rm(b, s, 4, num_post, l_vec=l, m_bar=0.0, hybrid_flag=flag,
                                                grid_points=120, seed=0, **grid)
            accepted = np.asarray(ref["grid"])[np.asarray(ref["accept"]) > 0]
            assert ours["lower"][0] == pytest.approx(accepted.min(), abs=1e-12)
            assert ours["upper"][0] == pytest.approx(accepted.max(), abs=1e-12)


def rm_identified_set(b, num_pre, num_post, l, mbar):
    """The identified set under Delta^RM(Mbar) by linear programming over each piece (the
    largest pre-period difference and its sign), independently of the closed form."""
    from scipy.optimize import linprog

    pre = np.r_[b[:num_pre], 0.0]
    diffs = np.diff(pre)
    bound = mbar * np.abs(diffs).max()
    # |delta_t - delta_{t-1}| <= bound for the post periods, delta_0 = 0.
    a = np.eye(num_post) - np.eye(num_post, k=-1)
    a_ub, b_ub = np.vstack([a, -a]), np.full(2 * num_post, bound)
    lo = linprog(-l, A_ub=a_ub, b_ub=b_ub, bounds=[(None, None)] * num_post)
    hi = linprog(l, A_ub=a_ub, b_ub=b_ub, bounds=[(None, None)] * num_post)
    est = l @ b[num_pre:]
    return est + lo.fun, est - hi.fun


def test_relative_magnitude_invariants():
    b, s = synthetic(4, 4, 3)
    mbar = [0.0, 0.5, 1.0, 1.5, 2.0]
    draws = rm_draws(s, 4, 3, mbar)
    for l in first_and_average(3):
        sd = np.sqrt(l @ s[4:, 4:] @ l)
        for method in ["Conditional", "C-LF"]:
            r = _core.honest_relative_magnitude(b, s, 4, 3, mbar, l_vec=l, method=method, grid_points=500,
                                                draws=draws if method == "C-LF" else None)
            # Each Mbar's grid spans its identified set and 20 sd (of the estimate plus Mbar times
            # the bound's) either side: the grid step bounds how far a grid end may miss.
            pre_sd = np.sqrt(max(s[i, i] + (s[i + 1, i + 1] - 2 * s[i, i + 1] if i < 3 else 0) for i in range(4)))
            reach = np.abs(np.cumsum(l[::-1])).sum()
            id_widths = np.array([hi - lo for lo, hi in (rm_identified_set(b, 4, 3, l, mb) for mb in mbar)])
            steps = (40 * (sd + np.asarray(mbar) * reach * pre_sd) + id_widths) / 499
            width = r["upper"] - r["lower"]
            assert np.all(np.diff(width) >= -2 * steps[1:])
            assert not r["open"].any()
            for mb, lo, hi, step in zip(mbar, r["lower"], r["upper"], steps):
                id_lo, id_hi = rm_identified_set(b, 4, 3, l, mb)
                assert lo <= id_lo + step and id_hi - step <= hi
        # The hybrid is never wider than the conditional test by more than its first stage allows
        # at Mbar = 0, and both contain the original interval's centre.
        orig = r["original"]
        assert orig[0] < l @ b[4:] < orig[1]


def test_entry_points_check_their_arguments():
    b, s = synthetic(2, 3, 2)
    calls = {
        "at least two pre-periods": lambda: _core.honest_smoothness(b[1:], s[1:, 1:], 1, 2),
        "betahat must have": lambda: _core.honest_smoothness(b[:4], s, 3, 2),
        "sigma must be 5 x 5": lambda: _core.honest_smoothness(b, s[:4, :4], 3, 2),
        "sigma must be symmetric": lambda: _core.honest_smoothness(b, s + np.triu(np.full((5, 5), 0.1), 1), 3, 2),
        "positive semi-definite": lambda: _core.honest_smoothness(b, s - 0.2 * np.eye(5) + 0.19 * np.ones((5, 5)), 3, 2),
        "sigma must be finite": lambda: _core.honest_smoothness(b, np.where(np.eye(5) > 0, np.inf, s), 3, 2),
        "m must be finite and non-negative": lambda: _core.honest_smoothness(b, s, 3, 2, [-0.1]),
        "l_vec must have": lambda: _core.honest_smoothness(b, s, 3, 2, l_vec=[1.0]),
        "method must be": lambda: _core.honest_relative_magnitude(b, s, 3, 2, [0.0], method="FLCI"),
        "needs draws": lambda: _core.honest_relative_magnitude(b, s, 3, 2, [0.0]),
        "draws must be 6 x sims x 4": lambda: _core.honest_relative_magnitude(b, s, 3, 2, [0.0], draws=np.zeros((6, 10, 3))),
        "mbar must not be empty": lambda: _core.honest_relative_magnitude(b, s, 3, 2, [], method="Conditional"),
        "alpha must lie in": lambda: _core.honest_relative_magnitude(b, s, 3, 2, [0.0], alpha=1.0, method="Conditional"),
    }
    for message, call in calls.items():
        with pytest.raises(ValueError, match=message):
            call()


# --- the front end ---------------------------------------------------------------------------

def test_front_end_on_an_event_study(mpdta_study):
    fit, b, vcov = mpdta_study
    # tessarix's estimates are moderndid's; the covariance (the fit's own, if any, is replaced)
    # is that of moderndid's influence functions.
    np.testing.assert_allclose(np.asarray(fit.native.event_att), b, atol=1e-12)
    res = dataclasses.replace(fit, event_vcov=vcov)
    sm = tessarix.sensitivity(res, "smoothness", target=["first", "average"], m=[0.0, 0.01, 0.02])
    frame = sm.to_frame()
    assert type(frame).__module__.startswith("pandas")
    assert list(frame.columns) == ["target", "m", "lower", "upper", "open", "method"]
    for k, l in enumerate(first_and_average(4)):
        direct = _core.honest_smoothness(b, vcov, 3, 4, [0.0, 0.01, 0.02], l_vec=l)
        rows = frame[frame["target"] == ["first", "average"][k]]
        # (the fit's estimates and moderndid's agree to rounding)
        np.testing.assert_allclose(rows["lower"], direct["lower"], rtol=0, atol=1e-12)
        np.testing.assert_allclose(rows["upper"], direct["upper"], rtol=0, atol=1e-12)
    # The breakdown value: the intervals just below it exclude zero, just above contain it.
    bd = sm.breakdown["average"]
    assert bd is not None and 0.0 < bd < 0.01
    l = first_and_average(4)[1]
    below = _core.honest_smoothness(b, vcov, 3, 4, [bd * (1 - 1e-5)], l_vec=l)
    above = _core.honest_smoothness(b, vcov, 3, 4, [bd * (1 + 1e-5)], l_vec=l)
    assert below["upper"][0] < 0.0 <= above["upper"][0]
    assert "breakdown value" in sm.summary()
    if fit.event_vcov is not None:  # the fit's own covariance gives the same intervals
        own = tessarix.sensitivity(fit, "smoothness", target=["first", "average"], m=[0.0, 0.01, 0.02])
        np.testing.assert_allclose(own.to_frame()["lower"], frame["lower"], atol=1e-10)
        np.testing.assert_allclose(own.to_frame()["upper"], frame["upper"], atol=1e-10)

    # "each" is one target per post-period event time, the same as its unit weights.
    each = tessarix.sensitivity(res, "smoothness", target="each", m=[0.0, 0.01])
    assert [t.name for t in each.targets] == ["event 0", "event 1", "event 2", "event 3"]
    third = tessarix.sensitivity(res, "smoothness", target=[0.0, 0.0, 1.0, 0.0], m=[0.0, 0.01])
    assert (each.targets[2].lower, each.targets[2].upper) == (third.targets[0].lower, third.targets[0].upper)

    rm = tessarix.sensitivity(res, mbar=[0.0, 1.0], target="average", grid_points=200)
    direct = _core.honest_relative_magnitude(b, vcov, 3, 4, [0.0, 1.0], l_vec=l, grid_points=200,
                                             draws=rm_draws(vcov, 3, 4, [0.0, 1.0]))
    np.testing.assert_allclose(rm.targets[0].lower, direct["lower"], atol=1e-12)
    np.testing.assert_allclose(rm.targets[0].upper, direct["upper"], atol=1e-12)
    assert rm.original["average"] == pytest.approx(direct["original"])
    assert rm.breakdown["average"] == 1.0  # the average effect is significant at Mbar = 0 only


def test_front_end_refusals(mpdta_study):
    fit, _, vcov = mpdta_study
    with pytest.raises(ValueError, match="gives no covariance"):
        tessarix.sensitivity(dataclasses.replace(fit, event_vcov=None))
    res = dataclasses.replace(fit, event_vcov=vcov)
    with pytest.raises(ValueError, match="at least two pre-periods"):
        tessarix.sensitivity(dataclasses.replace(res, anticipation=2))
    with pytest.raises(ValueError, match="consecutive"):
        tessarix.sensitivity(dataclasses.replace(res, anticipation=1))
    with pytest.raises(ValueError, match="method for smoothness"):
        tessarix.sensitivity(res, "smoothness", method="C-LF")
    with pytest.raises(ValueError, match="target weights"):
        tessarix.sensitivity(res, "smoothness", target=[1.0, 0.0])
    with pytest.raises(TypeError, match="DidResult"):
        tessarix.sensitivity(object())
