"""Conformal inference of the synthetic-control family (Chernozhukov, Wuthrich and Zhu 2021)
against a NumPy/SciPy re-derivation of the permutation test: the null fit on every period
solved exactly by enumerating the weights' supports, the statistic, the cyclic shifts and the random
permutations (the generator written out from its definition). Then the test's size on
exchangeable panels, the intervals' inversion and shift, the front end and bad input."""

import math
import zlib

import numpy as np
import pytest

import tessarix
from tessarix import _core


MASK = (1 << 64) - 1
GAMMA = 0x9E3779B97F4A7C15


# --- the generator: xoshiro256++ seeded by SplitMix64, substreams by index -------------------

def _mix(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def _rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & MASK


class Xoshiro:
    def __init__(self, seed):
        self.s = [_mix((seed + (k + 1) * GAMMA) & MASK) for k in range(4)]

    @classmethod
    def substream(cls, seed, stream):
        return cls(_mix(((seed ^ ((stream * 0xD1B54A32D192ED03) & MASK)) + GAMMA) & MASK))

    def next_u64(self):
        s = self.s
        result = (_rotl((s[0] + s[3]) & MASK, 23) + s[0]) & MASK
        t = (s[1] << 17) & MASK
        s[2] ^= s[0]
        s[3] ^= s[1]
        s[1] ^= s[2]
        s[0] ^= s[3]
        s[2] ^= t
        s[3] = _rotl(s[3], 45)
        return result

    def gen_range(self, n):
        """Uniform in [0, n): Lemire's multiply-shift with rejection."""
        product = self.next_u64() * n
        if (product & MASK) < n:
            threshold = (-n % (1 << 64)) % n
            while (product & MASK) < threshold:
                product = self.next_u64() * n
        return product >> 64


# --- the test, re-derived -------------------------------------------------------------------

def simplex_qp(x, y, ridge=0.0):
    """argmin over the simplex of ||y - x w||^2 + ridge ||w||^2, by brute force: for every
    support, the minimiser on its affine hull (one linear solve); the best of those that are
    feasible is the optimum, since the optimum is that of its own support."""
    j = x.shape[1]
    g, c = x.T @ x + ridge * np.eye(j), x.T @ y
    best, best_w = np.inf, None
    for mask in range(1, 1 << j):
        s = [i for i in range(j) if mask >> i & 1]
        k = len(s)
        kkt = np.zeros((k + 1, k + 1))
        kkt[:k, :k], kkt[:k, k], kkt[k, :k] = g[np.ix_(s, s)], 1.0, 1.0
        sol = np.linalg.solve(kkt, np.r_[c[s], 1.0])
        if (sol[:k] < 0).any():
            continue
        w = np.zeros(j)
        w[s] = sol[:k]
        obj = 0.5 * w @ g @ w - c @ w
        if obj < best:
            best, best_w = obj, w
    return best_w


def null_residuals(method, y, treated, t0, theta):
    """The residuals over every period of the fit on all periods with theta taken out of the
    treated mean path from t0 on."""
    ybar = y[treated].mean(axis=0)
    ybar[t0:] -= theta
    x = np.delete(y, treated, axis=0).T  # periods x donors
    if method == "sc":
        return ybar - x @ simplex_qp(x, ybar)
    # fp and sdid fit a free intercept: the simplex fit of the centred paths, residual about it
    xc, yc = x - x.mean(axis=0), ybar - ybar.mean()
    ridge = 0.0
    if method == "sdid":  # the noise-scaled ridge of n_post post-periods, on all T periods
        t_count, n_post = y.shape[1], y.shape[1] - t0
        zeta = np.diff(x, axis=0).ravel().std(ddof=1) * (len(treated) * n_post) ** 0.25
        ridge = zeta**2 * t_count
    return yc - xc @ simplex_qp(xc, yc, ridge)


def statistic(u, positions, q):
    s = 0.0
    for t in sorted(positions):
        s += abs(u[t]) ** q
    return (s / math.sqrt(len(positions))) ** (1.0 / q)


def block_p(u, n, q):
    t_count = len(u)
    observed = statistic(u, range(t_count - n, t_count), q)
    shifts = [[(t + j) % t_count for t in range(t_count - n, t_count)] for j in range(t_count)]
    return sum(statistic(u, s, q) >= observed for s in shifts) / t_count


def iid_p(u, n, q, permutations, seed):
    t_count = len(u)
    observed = statistic(u, range(t_count - n, t_count), q)
    at_least = 1  # the identity
    for b in range(permutations):
        rng, index = Xoshiro.substream(seed, b), list(range(t_count))
        for i in range(t_count - 1, t_count - n - 1, -1):
            j = rng.gen_range(i + 1)
            index[i], index[j] = index[j], index[i]
        at_least += statistic(u, index[t_count - n:], q) >= observed
    return at_least / (permutations + 1)


def factor_panel(rng, n, t, noise=0.5):
    """Two common factors with unit loadings, i.i.d. noise: units and periods exchangeable."""
    return rng.normal(size=(n, 2)) @ rng.normal(size=(2, t)) + noise * rng.normal(size=(n, t)) + 5.0


# --- agreement with the re-derivation ---------------------------------------------------------

@pytest.mark.parametrize("method", ["sc", "fp", "sdid"])
@pytest.mark.parametrize("scheme,q", [("block", 1.0), ("block", 2.0), ("iid", 1.0), ("iid", 2.0)])
def test_p_value_equals_the_re_derived_test(method, scheme, q):
    # A seed fixed per case (str hashes change from one interpreter to the next).
    rng = np.random.default_rng(zlib.crc32(f"{method}/{scheme}/{q}".encode()))
    for draw in range(4):
        treated = [0] if draw % 2 == 0 else [0, 3]
        y, t0 = factor_panel(rng, 9, 18), 14
        theta = rng.normal(scale=0.7, size=4) * (draw > 0)
        seed = 11 + draw
        out = getattr(_core, f"conformal_{method}")(y, treated, t0, null=theta, scheme=scheme, permutations=300,
                                                  seed=seed, q=q, intervals=False)
        u = null_residuals(method, y, treated, t0, theta)
        np.testing.assert_allclose(out["residuals"], u, atol=1e-6)
        expected = block_p(u, 4, q) if scheme == "block" else iid_p(u, 4, q, 300, seed)
        assert out["p_value"] == expected
        assert out["statistic"] == pytest.approx(statistic(u, range(14, 18), q), rel=1e-6)


# --- size -----------------------------------------------------------------------------------

@pytest.mark.parametrize("method", ["sc", "sdid"])
def test_size_on_exchangeable_panels(method):
    """No effect, exchangeable periods: with 20 periods the shifts' p-value is at most 0.1 with
    probability 2/20 exactly. 500 panels; within 3.5 Monte-Carlo standard errors."""
    rng = np.random.default_rng(2021)
    draws = 500
    rejected = 0
    for _ in range(draws):
        y = factor_panel(rng, 11, 20, noise=1.0)
        out = getattr(_core, f"conformal_{method}")(y, [0], 17, intervals=False)
        rejected += out["p_value"] <= 0.1 + 1e-12
    rate, se = rejected / draws, math.sqrt(0.1 * 0.9 / draws)
    assert abs(rate - 0.1) <= 3.5 * se, (rate, se)


# --- intervals ------------------------------------------------------------------------------

@pytest.mark.parametrize("method", ["sc", "asc", "sdid", "fp", "rsc"])
def test_a_shifted_post_path_shifts_the_intervals(method):
    rng = np.random.default_rng(5)
    y, treated, t0 = factor_panel(rng, 10, 24), [1, 4], 20
    base = getattr(_core, f"conformal_{method}")(y, treated, t0, level=0.9)
    shifted_y = y.copy()
    shifted_y[treated, t0:] += 3.25
    moved = getattr(_core, f"conformal_{method}")(shifted_y, treated, t0, level=0.9, null=[3.25] * 4)
    assert np.isfinite(base["ci_lower"]).any()
    for end in ("ci_lower", "ci_upper"):
        np.testing.assert_allclose(moved[end], base[end] + 3.25, rtol=0, atol=1e-9)
    assert moved["p_value"] == base["p_value"]


@pytest.mark.parametrize("scheme", ["block", "iid"])
def test_interval_ends_are_where_the_period_test_turns(scheme):
    rng = np.random.default_rng(8)
    y, t0, level = factor_panel(rng, 9, 25), 21, 0.85
    opts = dict(scheme=scheme, permutations=199, seed=4)
    out = _core.conformal_sc(y, [2], t0, level=level, **opts)
    for k in range(4):
        # The pre-periods and period k alone: the panel the period's test sees.
        yk = np.ascontiguousarray(y[:, list(range(t0)) + [t0 + k]])
        p = lambda v: _core.conformal_sc(yk, [2], t0, null=[v], intervals=False, **opts)["p_value"]  # noqa: E731
        lo, hi = out["ci_lower"][k], out["ci_upper"][k]
        width = hi - lo
        assert np.isfinite(width) and width > 0
        assert p(lo) > 1 - level and p(hi) > 1 - level
        assert p(lo - 1e-4 * width) <= 1 - level and p(hi + 1e-4 * width) <= 1 - level
        # Inside: accepted on a grid; outside by a margin: rejected.
        assert all(p(v) > 1 - level for v in np.linspace(lo, hi, 9))


def test_too_few_permutations_leave_the_intervals_open():
    # 9 pre-periods and one post-period: the smallest p-value, 1/10, is above 0.05.
    y = factor_panel(np.random.default_rng(1), 8, 12)
    out = _core.conformal_sdid(y, [0], 9, level=0.95)
    assert np.all(out["ci_lower"] == -np.inf) and np.all(out["ci_upper"] == np.inf)


# --- front end --------------------------------------------------------------------------------

def long(y):
    n, t = y.shape
    return {"unit": np.repeat(np.arange(n), t), "time": np.tile(np.arange(2000, 2000 + t), n), "y": y.reshape(-1)}


@pytest.mark.parametrize("method", ["sc", "asc", "sdid", "fp", "rsc"])
def test_synth_conformal_reports_the_array_test(method):
    y = factor_panel(np.random.default_rng(3), 10, 24)
    res = tessarix.synth(long(y), unit="unit", time="time", outcome="y", treated=[2, 5], start=2020, method=method,
                         inference="conformal", null=0.5, scheme="iid", permutations=99, seed=3, level=0.9)
    direct = getattr(_core, f"conformal_{method}")(y, [2, 5], 20, null=[0.5] * 4, scheme="iid", permutations=99,
                                                  seed=3, level=0.9)
    assert res.p_value == direct["p_value"]
    assert res.att == pytest.approx(direct["att"], abs=1e-12)
    paths = res.paths
    assert np.isnan(np.asarray(paths["ci_lower"])[:20]).all()
    np.testing.assert_array_equal(np.asarray(paths["ci_upper"])[20:], direct["ci_upper"])
    frame = res.to_frame()
    assert list(frame["term"]) == ["ATT"] + [f"time={t}" for t in range(2020, 2024)]
    np.testing.assert_array_equal(np.asarray(frame["ci_lower"])[1:], direct["ci_lower"])
    assert "conformal p-value" in res.summary()


def test_synth_conformal_options_need_conformal_inference():
    y = factor_panel(np.random.default_rng(3), 6, 10)
    with pytest.raises(ValueError, match="belong to inference='conformal'"):
        tessarix.synth(long(y), unit="unit", time="time", outcome="y", treated=0, start=2007, null=1.0)
    with pytest.raises(ValueError, match="not available"):
        tessarix.synth(long(y), unit="unit", time="time", outcome="y", treated=0, start=2007, method="mcnnm",
                       inference="conformal")


# --- bad input --------------------------------------------------------------------------------

@pytest.mark.parametrize("kwargs,error,message", [
    ({"null": [0.0, 1.0]}, ValueError, r"null must give one effect per post-period \(3\); got 2"),
    ({"null": [0.0, float("nan"), 0.0]}, ValueError, "null must be finite; got NaN at 1"),
    ({"scheme": "blocks"}, ValueError, "unknown permutation scheme 'blocks'"),
    ({"permutations": 0}, ValueError, "permutations"),
    ({"level": 1.5}, ValueError, r"level must be in \(0, 1\)"),
    ({"q": 0.0}, ValueError, "q must be finite and > 0"),
    ({"scheme": 1}, TypeError, "scheme"),
])
def test_bad_input_is_named(kwargs, error, message):
    y = factor_panel(np.random.default_rng(0), 6, 10)
    with pytest.raises(error, match=message):
        _core.conformal_sc(y, [0], 7, **kwargs)


# --- the authors' own implementation --------------------------------------------------------

def test_synthetic_control_test_and_intervals_match_scinference():
    """scinference (Chernozhukov, Wuthrich and Zhu's package): the same moving-block p-values,
    and its grid-inverted intervals within one grid step of ours."""
    scinference = pytest.importorskip("scinference").scinference
    rng = np.random.default_rng(12345)
    for _ in range(6):
        y0 = rng.normal(size=(20, 8)).cumsum(axis=0) * 0.3 + rng.normal(size=(20, 8))
        y1 = y0[:, :3].mean(axis=1) + rng.normal(size=20)
        y1[17:] += 1.0
        theta = float(rng.normal())
        peer = scinference(y1, y0, T1=3, T0=17, theta0=theta, permutation_method="mb")["p_val"]
        ours = _core.conformal_sc(np.vstack([y1, y0.T]), [0], 17, null=[theta] * 3, intervals=False)["p_value"]
        assert ours == pytest.approx(peer, abs=1e-12)
    y0 = rng.normal(size=(27, 8))
    y1 = y0[:, :3].mean(axis=1) + rng.normal(size=27)
    y1[25:] += 2.0
    ours = _core.conformal_sc(np.vstack([y1, y0.T]), [0], 25, level=0.9)
    step = 0.02
    for k in range(2):
        grid = np.arange(ours["ci_lower"][k] - 0.3, ours["ci_upper"][k] + 0.3, step)
        # One post-period at a time: the peer's intervals invert the test of that period alone.
        keep = list(range(25)) + [25 + k]
        peer = scinference(y1[keep], y0[keep], T1=1, T0=25, ci=True, ci_grid=grid, alpha=0.1)
        assert abs(float(np.ravel(peer["lb"])[0]) - ours["ci_lower"][k]) <= step
        assert abs(float(np.ravel(peer["ub"])[0]) - ours["ci_upper"][k]) <= step
