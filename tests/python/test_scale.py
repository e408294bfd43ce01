"""Finite panels of any magnitude: every entry point gives a finite result (never a NaN,
never an InternalError), and a panel multiplied by a power of two gives effects multiplied by
the same power of two, exactly (weights and p-values unchanged)."""

import math
from fractions import Fraction

import numpy as np
import pytest

import tessarix

# Outcomes in [1, 1.9): the panel's canonical scale, so that every multiple 2^s of it is fitted
# on exactly these values and every result comes back times 2^s.
RNG = np.random.default_rng(7)
BASE = 1.0 + 0.9 * RNG.random((9, 16))
T0 = 11
SHIFTS = [-1000, -600, -200, 200, 600, 1000]

# Each fit takes the panel and its power-of-two shift s: a penalty in squared outcome units
# goes with the data as 2^(2s) (shifts for which that is not a double are skipped).
FITS = {
    "sc": lambda y, s: tessarix.fit_sc(y, [0, 1], T0, placebo=True),
    "sc_bounded": lambda y, s: tessarix.fit_sc(y, [0, 1], T0, placebo=True, max_weight=0.4),
    "sc_ridge": lambda y, s: tessarix.fit_sc(y, [0, 1], T0, ridge=math.ldexp(0.3, 2 * s)),
    "asc": lambda y, s: tessarix.fit_asc(y, [0, 1], T0, placebo=True),
    "asc_lambda": lambda y, s: tessarix.fit_asc(y, [0, 1], T0, aug_lambda=math.ldexp(1e-3, 2 * s)),
    "fp": lambda y, s: tessarix.fit_fp(y, [0, 1], T0, placebo=True),
    "rsc": lambda y, s: tessarix.fit_rsc(y, [0, 1], T0, placebo=True, ridge=math.ldexp(0.1, 2 * s)),
    "sdid_placebo": lambda y, s: tessarix.fit_sdid(y, [0, 1], T0, inference="placebo"),
    "sdid_jackknife": lambda y, s: tessarix.fit_sdid(y, [0, 1], T0, inference="jackknife"),
}
SQUARED_UNITS = {"sc_ridge", "asc_lambda", "rsc"}
# Attributes in outcome units; the others (weights, p-values, RMSPE ratios) are scale-free.
# The placebo statistic of SDID and demeaned SC is |ATT|, in outcome units too.
SCALED = ["att", "att_path", "counterfactual", "treated_post", "pre_rmspe", "post_rmspe", "se",
          "ci_lower", "ci_upper", "placebo_atts"]
FREE = ["weights", "donor_ids", "p_value"]


def times(value, shift):
    if value is None:
        return None
    if isinstance(value, list):
        return [math.ldexp(v, shift) for v in value]
    return math.ldexp(value, shift)


@pytest.mark.parametrize("name", sorted(FITS))
def test_power_of_two_multiples_give_exactly_scaled_results(name):
    fit = FITS[name]
    ref = fit(BASE, 0)
    for shift in SHIFTS:
        if name in SQUARED_UNITS and abs(shift) > 500:
            continue
        res = fit(np.ldexp(BASE, shift), shift)
        for attr in SCALED:
            assert getattr(res, attr) == times(getattr(ref, attr), shift), (shift, attr)
        for attr in FREE:
            assert getattr(res, attr) == getattr(ref, attr), (shift, attr)
        stats = "inference_distribution"
        expected = getattr(ref, stats)
        if name in ("fp", "sdid_placebo"):
            expected = times(expected, shift)
        assert getattr(res, stats) == expected, (shift, stats)


def test_batches_and_twfe_scale_exactly():
    stack = np.stack([BASE, BASE[::-1].copy(), BASE ** 2 / 2])
    cohorts = [5, 5, 8, -1, -1, -1, 11, -1, -1]
    for method in ["sc", "asc", "sdid", "fp", "rsc"]:
        ref = tessarix.fit_many(stack, [0], T0, method=method)
        for shift in SHIFTS:
            got = tessarix.fit_many(np.ldexp(stack, shift), [0], T0, method=method)
            np.testing.assert_array_equal(got, np.ldexp(ref, shift), err_msg=f"{method} 2^{shift}")
    ref = tessarix.fit_twfe_py(BASE, cohorts)
    for shift in SHIFTS:
        got = tessarix.fit_twfe_py(np.ldexp(BASE, shift), cohorts)
        assert (got.att, got.se) == (math.ldexp(ref.att, shift), math.ldexp(ref.se, shift))


def did_outcomes(res):
    """Every field in outcome units of a DiD or decomposition result."""
    if isinstance(res, tessarix.BaconResult):
        return [res.twfe] + [c.estimate for c in res.components]
    return ([res.att, res.se, res.overall_group_att, res.overall_group_se]
            + res.event_att + res.event_se + res.group_att + res.group_se)


def test_staggered_estimators_scale_exactly():
    cohorts = [5, 5, 8, -1, -1, -1, 11, -1, -1]
    x = np.linspace(-1.0, 1.0, 9)[:, None]
    fits = [lambda v: tessarix.fit_callaway_py(v, cohorts),
            lambda v: tessarix.fit_callaway_py(v, cohorts, control="notyet", covariates=x),
            lambda v: tessarix.fit_sunab_py(v, cohorts),
            lambda v: tessarix.bacon_decompose_py(v, cohorts)]
    for fit in fits:
        ref = did_outcomes(fit(BASE))
        for shift in SHIFTS:
            got = did_outcomes(fit(np.ldexp(BASE, shift)))
            assert got == [None if v is None else math.ldexp(v, shift) for v in ref], shift


@pytest.mark.parametrize("magnitude", [1e155, 1e200, 1e300, 1e-200, 1e-300])
def test_random_walks_at_extreme_magnitudes_fit_like_ordinary_ones(magnitude):
    # Not a power of two: the results agree with the ordinary-scale fit to rounding.
    y = np.cumsum(RNG.normal(size=(7, 24)), axis=1) + 20.0
    for fit in [lambda v: tessarix.fit_sc(v, [0, 1], 16, placebo=True),
                lambda v: tessarix.fit_asc(v, [0, 1], 16, placebo=True),
                lambda v: tessarix.fit_fp(v, [0, 1], 16, placebo=True),
                lambda v: tessarix.fit_rsc(v, [0, 1], 16, placebo=True),
                lambda v: tessarix.fit_sdid(v, [0, 1], 16, inference="jackknife")]:
        ref, res = fit(y), fit(y * magnitude)
        for attr in ["att", "se", "ci_lower", "ci_upper", "pre_rmspe"]:
            assert math.isfinite(getattr(res, attr)), attr
            # Fitted at the canonical scale, where the solvers' absolute tolerances bind at
            # another point: agreement to solver precision.
            assert getattr(res, attr) / magnitude == pytest.approx(getattr(ref, attr), rel=1e-5, abs=1e-9)
        np.testing.assert_allclose(res.weights, ref.weights, atol=1e-5)


def exact_solve(a, b):
    """Gauss-Jordan elimination in exact rational arithmetic."""
    n = len(b)
    m = [row[:] + [b[i]] for i, row in enumerate(a)]
    for c in range(n):
        p = next(r for r in range(c, n) if m[r][c] != 0)
        m[c], m[p] = m[p], m[c]
        for r in range(n):
            if r != c and m[r][c] != 0:
                f = m[r][c] / m[c][c]
                m[r] = [x - f * y for x, y in zip(m[r], m[c])]
    return [m[i][n] / m[i][i] for i in range(n)]


def test_augmentation_with_a_small_ridge_on_revenue_scale_data():
    # The centred Gram matrix has rank at most J - 1 = 4 in 20 dimensions; a ridge tiny against
    # outcomes in the millions used to break its Cholesky factorisation. Oracle: the correction
    # in exact rational arithmetic from the returned weights, c = (xc^T xc + lam I)^-1 xc^T r,
    # where the exact centring leaves no rounding along the null direction for 1/lam to blow up.
    rng = np.random.default_rng(11)
    walk = np.cumsum(rng.normal(size=(6, 30)), axis=1)
    # The last case: donors within a millionth of their level of each other, at the default
    # strength, where centring cancels most digits of the data.
    for y, lam in [(walk * 1e6, 1e-3), (walk * 1e3, 1e-8), (walk + 1e7, None)]:
        res = tessarix.fit_asc(y, [0], 20, aug_lambda=lam)
        q = [[Fraction(v) for v in row] for row in y]
        w = [Fraction(v) for v in res.weights]
        x0 = [[q[1 + j][t] for j in range(5)] for t in range(20)]
        r = [q[0][t] - sum(a * b for a, b in zip(x0[t], w)) for t in range(20)]
        xc = [[v - sum(row) / 5 for v in row] for row in x0]
        ridge = Fraction(lam) if lam is not None else sum(v * v for row in xc for v in row) / 200
        gram = [[sum(xc[t][i] * xc[t][j] for t in range(20)) + (ridge if i == j else 0)
                 for j in range(5)] for i in range(5)]
        c = exact_solve(gram, [sum(xc[t][i] * r[t] for t in range(20)) for i in range(5)])
        expected = [float(sum(q[1 + j][20 + k] * (w[j] + c[j]) for j in range(5))) for k in range(10)]
        np.testing.assert_allclose(res.counterfactual, expected, rtol=1e-9)
        placebo = tessarix.fit_asc(y, [0], 20, aug_lambda=lam, placebo=True)
        assert placebo.att == res.att and math.isfinite(placebo.se)
        many = tessarix.fit_many(np.stack([y, y]), [0], 20, method="asc")
        assert np.isfinite(many).all()


def test_robust_sc_fits_the_treated_units_and_the_donors_each_at_their_own_scale():
    # With unconstrained weights the fit is linear in the treated outcomes and blind to the
    # donors' scale: treated rows times 2^a and donors times 2^b give every path times 2^a and
    # the weights times 2^(a - b) (infinite beyond the doubles). At one common scale a treated
    # unit near the top of the double range pushed donors of ordinary size into the subnormals
    # (NaN effects), and donors near the top flushed a tiny treated unit to zero.
    y = np.cumsum(RNG.normal(size=(7, 24)), axis=1) + 20.0
    ref = tessarix.fit_rsc(y, [0, 1], 16)
    for a, b in [(1000, -40), (-500, 1000), (-600, 400)]:
        far = np.vstack([np.ldexp(y[:2], a), np.ldexp(y[2:], b)])
        res = tessarix.fit_rsc(far, [0, 1], 16)
        for attr in ["att", "att_path", "counterfactual", "treated_post", "pre_rmspe", "post_rmspe"]:
            assert getattr(res, attr) == times(getattr(ref, attr), a), (a, b, attr)
        with np.errstate(over="ignore"):
            assert res.weights == list(np.ldexp(ref.weights, a - b)), (a, b)
        placebo = tessarix.fit_rsc(far, [0, 1], 16, placebo=True)
        assert placebo.att == res.att and math.isfinite(placebo.se) and 0.0 < placebo.p_value <= 1.0
    # Donors 2^1040 apart and a treated unit between them: every placebo refit used to end in
    # InternalError (a NaN placebo statistic).
    mixed = np.ldexp(y[:4, :8], np.array([[-40], [1000], [-500], [-40]]))
    for treated in ([2], [0], [3]):
        res = tessarix.fit_rsc(mixed, treated, 5, placebo=True)
        assert math.isfinite(res.att) and math.isfinite(res.se) and 0.0 < res.p_value <= 1.0, treated


def test_penalties_too_large_for_the_data_leave_uniform_weights():
    y = np.cumsum(RNG.normal(size=(6, 20)), axis=1)
    for res in [tessarix.fit_sdid(y, [0], 14, zeta_scale=1e300),
                tessarix.fit_sc(y, [0], 14, ridge=1e308),
                tessarix.fit_sc(y * 1e-300, [0], 14, ridge=1.0),
                tessarix.fit_fp(y * 1e-300, [0], 14, ridge=1e-3, max_weight=0.5)]:
        np.testing.assert_allclose(res.weights, [0.2] * 5, rtol=1e-12)
        assert math.isfinite(res.att)



# Geo design numbers in outcome units: the detection threshold, the null spread, the minimum
# detectable effect per period and summed, the windows' estimates. Every other one (shares,
# relative fit, scores, confidence, powers, relative estimates, weights, ranking) is scale-free.
GEO_SCALED = {"crit", "se_null", "mde_abs_per_period", "mde_cumulative", "null_att"}


def geo_results(y):
    """Attribute name -> value of every geo result on y, keyed by call."""
    from tessarix import _core

    def fields(res):
        if isinstance(res, dict):
            return {k: v.tolist() for k, v in res.items()}
        return {a: getattr(res, a) for a in dir(res) if not a.startswith("_")}
    tr = [0, 3]
    calls = {m: tessarix.geo_power(y, tr, 3, [0.0, 0.05, 0.2], method=m) for m in ["sc", "asc", "sdid", "fp", "rsc"]}
    calls["ens"] = tessarix.geo_power_ensemble(y, tr, 3, [0.0, 0.1])
    calls["windows"] = _core.geo_windows(y, tr, 3, members=["sc", "fp"])
    calls["diag"] = tessarix.geo_diagnostics(y, tr, 4)
    ranked = tessarix.geo_select(y, [0, 1, 2, 3, 4], 2, 3, 0.1, n_candidates=6, seed=1)
    calls.update({f"select{k}": c for k, c in enumerate(ranked)})
    return {call: fields(res) for call, res in calls.items()}


def test_geo_design_power_of_two_multiples():
    # BASE is at its canonical scale: each multiple is analysed on exactly its values.
    ref = geo_results(BASE)
    for shift in SHIFTS:
        got = geo_results(np.ldexp(BASE, shift))
        for call, fields in ref.items():
            for attr, value in fields.items():
                want = times(value, shift) if attr in GEO_SCALED else value
                assert got[call][attr] == want, (shift, call, attr)


@pytest.mark.parametrize("magnitude", [1e200, 1e-200])
def test_geo_design_at_extreme_magnitudes_like_ordinary_ones(magnitude):
    # Not a power of two, and analysed at another scale than the walks themselves: agreement
    # to solver precision, the same detections, candidates and warnings.
    y = np.cumsum(np.random.default_rng(4).normal(size=(9, 24)), axis=1) + 20.0
    ref, res = geo_results(y), geo_results(y * magnitude)
    for call, fields in ref.items():
        for attr, value in fields.items():
            factor = magnitude if attr in GEO_SCALED else 1.0
            got = res[call][attr]
            numbers = isinstance(value, float) or (isinstance(value, list) and all(isinstance(v, float) for v in value))
            if not numbers or not value:
                assert got == value, (call, attr)
            else:
                np.testing.assert_allclose(np.asarray(got) / factor, value, rtol=1e-4, atol=1e-5,
                                           err_msg=f"{call} {attr}")
