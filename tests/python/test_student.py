"""Student's t intervals against scipy: the closed-form probability, its inverse, and the
jackknife interval and p-value of the synthetic-DiD front end that rest on them."""

import numpy as np
import pytest
from scipy import stats

import tessarix
from tessarix.results.student import MAX_EXACT_DF, central_probability, t_critical, t_p

DF = [1, 2, 3, 4, 5, 9, 10, 29, 30, 61, 500, 4001, MAX_EXACT_DF]


@pytest.mark.parametrize("df", DF)
def test_closed_form_matches_scipy(df):
    for level in (0.5, 0.8, 0.9, 0.95, 0.99, 0.999):
        # Rounding accumulates over the df / 2 terms of the closed form.
        assert t_critical(level, df) == pytest.approx(stats.t.ppf(0.5 + level / 2, df), rel=1e-10)
    for t in (0.0, 0.1, 1.0, 2.5, 7.0, 40.0):
        # 1 - P(|T| <= t) loses digits to cancellation in the far tail: absolute accuracy.
        assert t_p(t, 1.0, df) == pytest.approx(2 * stats.t.sf(t, df), rel=1e-9, abs=1e-13)
    assert central_probability(0.0, df) == 0.0
    # Fractional degrees of freedom round down: the wider, conservative interval.
    if df < MAX_EXACT_DF:
        assert t_critical(0.95, df + 0.7) == t_critical(0.95, df)


def test_extreme_levels_end_the_search():
    # Levels at the ends of the doubles: the bisection stops where no double lies between its
    # bounds, and a level the closed form cannot reach gives an infinite critical value.
    tiny = np.nextafter(0.0, 1.0)
    assert 0.0 < t_critical(tiny, 2) <= 1e-300
    assert t_critical(np.nextafter(1.0, 0.0), 1) > 1e15


def test_jackknife_interval_and_p_value_use_t_with_treated_minus_one():
    rng = np.random.default_rng(2)
    y = rng.normal(size=(20, 2)) @ rng.normal(size=(2, 12)) + rng.normal(size=(20, 12))
    y[:4, 9:] += 1.0
    data = {"u": np.repeat(np.arange(20), 12), "t": np.tile(np.arange(12), 20), "y": y.ravel()}
    res = tessarix.synth(data, unit="u", time="t", outcome="y", treated=[0, 1, 2, 3], start=9, method="sdid",
                         inference="jackknife", level=0.9)
    se = res.native.se
    c = stats.t.ppf(0.95, 3)
    assert res.se == se and res.jackknife_df == 3
    assert res.ci == pytest.approx((res.att - c * se, res.att + c * se), rel=1e-12)
    assert res.p_value == pytest.approx(2 * stats.t.sf(abs(res.att / se), 3), rel=1e-9)
    # The compiled module's own normal interval (Acklam's quantile, within 1e-9) stays on the
    # native result.
    assert res.native.ci_lower == pytest.approx(res.att - stats.norm.ppf(0.95) * se, rel=1e-8)
