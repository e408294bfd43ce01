"""fit_twfe_py against an independent dummy-variable regression, and its validation."""

import numpy as np
import pytest

import tessarix
from conftest import layouts


def staggered_panel(seed, n=30, t=10, effect=1.0, cohorts=None):
    rng = np.random.default_rng(seed)
    if cohorts is None:
        cohorts = rng.choice([3, 6, -1], size=n).tolist()
    y = rng.normal(size=(n, 1)) + np.linspace(0, 2, t)[None, :] + rng.normal(0, 0.3, size=(n, t))
    for u, c in enumerate(cohorts):
        if 0 <= c < t:
            y[u, c:] += effect * (1 + 0.1 * np.arange(t - c))  # a growing effect
    return y, cohorts


def dummy_regression(y, cohorts):
    """OLS of y on the treatment indicator plus unit and period dummies, with the
    unit-clustered sandwich scaled by G / (G - 1) only."""
    n, t = y.shape
    unit = np.repeat(np.arange(n), t)
    period = np.tile(np.arange(t), n)
    c = np.asarray(cohorts)
    treated = ((c[unit] >= 0) & (c[unit] < t) & (period >= c[unit])).astype(float)
    x = np.column_stack([treated, np.eye(n)[unit], np.eye(t)[period][:, 1:]])
    yy = y.reshape(-1)
    beta, *_ = np.linalg.lstsq(x, yy, rcond=None)
    resid = yy - x @ beta
    bread = np.linalg.pinv(x.T @ x)
    meat = np.zeros_like(bread)
    for g in range(n):
        s = x[unit == g].T @ resid[unit == g]
        meat += np.outer(s, s)
    v = bread @ meat @ bread * n / (n - 1)
    return beta[0], np.sqrt(v[0, 0])


@pytest.mark.parametrize("seed", range(6))
def test_matches_dummy_variable_regression(seed):
    y, cohorts = staggered_panel(seed)
    att, se = dummy_regression(y, cohorts)
    res = tessarix.fit_twfe_py(y, cohorts)
    assert res.att == pytest.approx(att, rel=1e-10, abs=1e-12)
    assert res.se == pytest.approx(se, rel=1e-9)


def test_no_control_units_with_two_cohorts_is_fitted():
    y, cohorts = staggered_panel(7, n=12, cohorts=[3] * 6 + [7] * 6)
    att, se = dummy_regression(y, cohorts)
    res = tessarix.fit_twfe_py(y, cohorts)
    assert res.att == pytest.approx(att, rel=1e-10)
    assert res.se == pytest.approx(se, rel=1e-9)


def test_out_of_range_cohorts_mean_never_treated():
    y, _ = staggered_panel(8, n=6, t=8)
    base = tessarix.fit_twfe_py(y, [2, 5, -1, -1, -1, -1])
    for never in (-1, 8, 13, -(2**40)):
        res = tessarix.fit_twfe_py(y, [2, 5, never, -1, 8, 8])
        assert (res.att, res.se) == (base.att, base.se)
    # A cohort of 0 is a unit treated from the first period, not a never-treated one.
    assert tessarix.fit_twfe_py(y, [2, 5, 0, -1, -1, -1]).att != base.att


def test_any_memory_layout_gives_identical_bits():
    y, cohorts = staggered_panel(9, n=11, t=7)
    ref = tessarix.fit_twfe_py(y, cohorts)
    for name, view in layouts(y).items():
        res = tessarix.fit_twfe_py(view, cohorts)
        assert (res.att, res.se) == (ref.att, ref.se), name
    # The caller's array is never written.
    before = y.copy()
    tessarix.fit_twfe_py(y, cohorts)
    assert np.array_equal(y, before)


def message(y, cohorts):
    with pytest.raises(ValueError) as err:
        tessarix.fit_twfe_py(y, cohorts)
    return str(err.value)


def test_validation_messages_in_order():
    y = np.ones((4, 6))
    assert message(np.ones((0, 5)), []) == "y must be a non-empty N×T panel; got shape (0, 5)"
    assert message(np.ones((5, 0)), [1] * 5) == "y must be a non-empty N×T panel; got shape (5, 0)"
    bad = y.copy()
    bad[2, 3] = np.nan
    # Finiteness is checked before the cohort count.
    assert message(bad, [1]) == "y contains NaN or inf; tessarix requires a complete, finite panel"
    assert message(y, [1, 2, -1]) == "treat_start has 3 entries but the panel has 4 units"
    no_cohort = ("TWFE: no estimable cohort. Every unit is either never treated or treated "
                 "from period 0 (no pre-period), so no treatment effect is identified.")
    assert message(y, [-1, -1, 6, 99]) == no_cohort
    assert message(y, [0, 0, 0, 0]) == no_cohort
    assert message(y, [0, -1, 0, -1]) == no_cohort
    assert message(y, [3, 3, 3, 3]) == (
        "TWFE: every unit adopts at the same period and there are no control units, so the "
        "unit and time fixed effects absorb the treatment indicator entirely.")


def test_conversion_errors_come_before_validation():
    bad_values = np.full((4, 6), np.nan)
    ints = np.zeros((4, 6), dtype=np.int64)
    for y in (bad_values.astype(np.float32), ints, bad_values.tolist(), bad_values[0]):
        with pytest.raises(TypeError, match="^argument 'y': "):
            tessarix.fit_twfe_py(y, [1])
    with pytest.raises(TypeError, match="^argument 'cohorts': "):
        tessarix.fit_twfe_py(bad_values, [1.5])
    with pytest.raises(TypeError, match="^argument 'cohorts': a str cannot be taken as a list"):
        tessarix.fit_twfe_py(bad_values, "1")
