"""Matrix completion (fit_mcnnm) against independent NumPy computations: the optimality of the
fit as a fixed point of the SoftImpute update, recovery of a planted low-rank panel, exact
effects on additive data, the truncated path, determinism, and validation order."""

import math

import numpy as np
import pytest

import tessarix


def two_way_fit_complete(f):
    """The additive (unit + period) least-squares fit of a complete matrix."""
    return f.mean(axis=1, keepdims=True) + f.mean(axis=0, keepdims=True) - f.mean()


def soft_impute_update(y, observed, fitted):
    """One SoftImpute update from the definition, in its filled-matrix form: fill the missing
    cells with the current fit, split off the unpenalised two-way effects, and soft-threshold
    the singular values of what is left."""
    filled = np.where(observed, y, fitted)
    effects = two_way_fit_complete(filled)
    u, s, vt = np.linalg.svd(filled - effects, full_matrices=False)
    return effects, (u * np.maximum(s - LAMBDA, 0.0)) @ vt


def low_rank_panel(n, t, rank, noise, seed):
    rng = np.random.default_rng(seed)
    low = rng.normal(size=(n, rank)) @ rng.normal(size=(rank, t)) * 2.0
    fe = rng.normal(0, 3, size=(n, 1)) + np.linspace(0, 5, t)[None, :]
    return fe + low, fe + low + rng.normal(0, noise, size=(n, t))


LAMBDA = 2.0


def test_converged_fit_is_a_fixed_point_of_the_update():
    _, y = low_rank_panel(14, 18, 2, 0.3, seed=1)
    t0, unit = 12, 3
    fit = tessarix.fit_mcnnm(y, [unit], t0, lambda_=LAMBDA, max_iter=20000, tol=1e-12)
    observed = np.ones_like(y, dtype=bool)
    observed[unit, t0:] = False
    # One treated unit: the counterfactual is the fitted value of every missing cell.
    fitted = y.copy()
    fitted[unit, t0:] = fit.counterfactual
    effects, low = soft_impute_update(y, observed, fitted)
    updated = effects + low
    np.testing.assert_allclose(updated[unit, t0:], fit.counterfactual, atol=1e-7)
    # The treated unit's pre-period fit is the updated fit too.
    pre = math.sqrt(np.mean((y[unit, :t0] - updated[unit, :t0]) ** 2))
    assert fit.pre_rmspe == pytest.approx(pre, abs=1e-7)
    assert fit.att == pytest.approx(np.mean(y[unit, t0:] - updated[unit, t0:]), abs=1e-7)
    # The penalty is binding: a non-trivial low-rank part survives it.
    assert np.linalg.matrix_rank(low, tol=1e-8) >= 1


def test_recovers_a_planted_low_rank_panel_better_than_fixed_effects():
    truth, y = low_rank_panel(40, 30, 2, 0.1, seed=2)
    treated, t0 = list(range(5)), 20
    fit = tessarix.fit_mcnnm(y, treated, t0)
    target = truth[treated, t0:].mean(axis=0)
    # Plain two-way fixed effects on the observed cells, by least squares with dummies.
    rows, cols = np.nonzero(np.ones_like(y, dtype=bool))
    keep = ~((rows < 5) & (cols >= t0))
    design = np.zeros((rows.size, 40 + 30))
    design[np.arange(rows.size), rows] = 1.0
    design[np.arange(rows.size), 40 + cols] = 1.0
    coef = np.linalg.lstsq(design[keep], y[rows[keep], cols[keep]], rcond=None)[0]
    fe_cf = (coef[:40, None] + coef[None, 40:])[treated, t0:].mean(axis=0)
    mc_err = np.sqrt(np.mean((np.asarray(fit.counterfactual) - target) ** 2))
    fe_err = np.sqrt(np.mean((fe_cf - target) ** 2))
    assert mc_err < 0.25 * fe_err, (mc_err, fe_err)
    assert fit.weights == [] and fit.donor_ids == []


@pytest.mark.parametrize("kwargs", [{}, {"lambda_": 1.0}, {"lambda_": 0.3, "max_rank": 3}])
def test_additive_data_give_the_exact_effect(kwargs):
    # Half the units treated over most of the periods: alternating means converge slowly, so
    # the effects must be iterated to convergence to separate the effect from the levels.
    n, t, t0, effect = 20, 25, 6, -4.25
    units = np.arange(n)[:, None]
    periods = np.arange(t)[None, :]
    y = 50.0 + 7.0 * np.cos(units) + 0.02 * periods ** 2 + np.zeros((n, t))
    y[:10, t0:] += effect
    fit = tessarix.fit_mcnnm(y, list(range(10)), t0, **kwargs)
    assert fit.att == pytest.approx(effect, abs=1e-9)
    np.testing.assert_allclose(fit.att_path, effect, atol=1e-9)
    assert fit.pre_rmspe < 1e-9 and fit.post_rmspe < 1e-9


def test_truncated_path_stays_close_to_the_full_decomposition():
    _, y = low_rank_panel(60, 40, 3, 0.2, seed=3)
    full = tessarix.fit_mcnnm(y, [0, 1, 2], 30, lambda_=3.0)
    capped = tessarix.fit_mcnnm(y, [0, 1, 2], 30, lambda_=3.0, max_rank=8)
    np.testing.assert_allclose(capped.counterfactual, full.counterfactual, atol=1e-3)
    assert capped.att == pytest.approx(full.att, abs=1e-3)


def test_same_seed_same_bits_and_no_inference():
    _, y = low_rank_panel(15, 12, 2, 0.5, seed=4)
    for kwargs in ({"seed": 9}, {"seed": 9, "max_rank": 4}):
        a = tessarix.fit_mcnnm(y, [0, 1], 8, **kwargs)
        b = tessarix.fit_mcnnm(y, [0, 1], 8, **kwargs)
        assert a.att_path == b.att_path and a.counterfactual == b.counterfactual
        for name in ("p_value", "se", "ci_lower", "ci_upper", "placebo_atts", "inference_distribution"):
            assert getattr(a, name) is None


def test_matches_causaltensor_at_the_same_penalty():
    mcnnm = pytest.importorskip("causaltensor.cauest.MCNNM")
    _, y = low_rank_panel(30, 20, 2, 0.3, seed=5)
    z = np.zeros_like(y)
    z[:4, 14:] = 1.0
    # Both solve the same convex problem. causaltensor removes the fixed effects by
    # alternating means stopped at a squared relative change of 1e-7, which leaves about 1e-4
    # of structure in the effect; tightened, and both run to convergence, they agree closely.
    solver = mcnnm.MCNNMPanelSolver(Z=z)
    demean = solver.FE_beta_solver.demean
    solver.FE_beta_solver.demean = lambda o, **_: demean(o, eps=1e-26, max_iter=200000)
    ref = solver.solve_with_regularizer(O=y, l=LAMBDA, eps=1e-20, max_iter=20000)
    fit = tessarix.fit_mcnnm(y, [0, 1, 2, 3], 14, lambda_=LAMBDA, max_iter=20000, tol=1e-10)
    assert fit.att == pytest.approx(ref.tau, abs=1e-6)


def bad(y, treated=(0,), t0=5, **kwargs):
    with pytest.raises(ValueError) as err:
        tessarix.fit_mcnnm(y, list(treated), t0, **kwargs)
    return str(err.value)


# Each case breaks its own check and every later one, so the first failure must win.
NAN_LAMBDA = float("nan")
CASES = [
    ({"lambda_": 0.0, "max_iter": 0, "tol": 0.0, "max_rank": 0}, "lambda_ must be finite and > 0; got 0"),
    ({"lambda_": -1.5, "max_iter": 0}, "lambda_ must be finite and > 0; got -1.5"),
    ({"lambda_": NAN_LAMBDA}, "lambda_ must be finite and > 0; got NaN"),
    ({"lambda_": math.inf}, "lambda_ must be finite and > 0; got inf"),
    ({"max_iter": 0, "tol": 0.0, "max_rank": 0}, "max_iter must be >= 1; got 0"),
    ({"tol": 0.0, "max_rank": 0}, "tol must be finite and > 0; got 0"),
    ({"tol": -1e-7}, "tol must be finite and > 0; got -0.0000001"),
    ({"tol": math.inf}, "tol must be finite and > 0; got inf"),
    ({"max_rank": 0}, "max_rank must be >= 1; got 0"),
]


@pytest.mark.parametrize("kwargs, message", CASES)
def test_validation_messages_in_order(kwargs, message):
    y = np.arange(40.0).reshape(4, 10)
    assert bad(y, **kwargs) == message


def test_panel_checks_come_first():
    y = np.arange(40.0).reshape(4, 10)
    worst = {"lambda_": 0.0, "max_iter": 0, "tol": 0.0, "max_rank": 0}
    with_nan = y.copy()
    with_nan[1, 2] = np.nan
    assert bad(with_nan, treated=(), t0=0, **worst).startswith("y contains NaN or inf")
    assert bad(y, treated=(), t0=0, **worst) == "`treated` must list at least one treated unit index"
    assert bad(y, treated=(0, 1, 2, 3), t0=0, **worst).startswith("every unit is treated")
    assert bad(y, t0=10, **worst).startswith("treat_time 10 must be in [1, 10)")
    # Accepted extremes: a tiny positive penalty and tolerance, max_iter and max_rank of 1.
    fit = tessarix.fit_mcnnm(y, [0], 5, lambda_=1e-300, max_iter=1, tol=1e-300, max_rank=1)
    assert len(fit.att_path) == 5
