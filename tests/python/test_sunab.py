"""fit_sunab_py against a dummy-variable regression with a unit-clustered sandwich, and against
Callaway & Sant'Anna, which it reproduces on a balanced panel without covariates."""

import numpy as np
import pytest

import tessarix
from did_reference import callaway_reference, cohort_list, mpdta, staggered_panel, sunab_reference

# The coefficients are least-squares solutions on designs with a few dozen columns; the reference
# solves the dummy-variable form by SVD, the estimator the within-transformed form by QR. On the
# minimum-wage panel pyfixest agrees with the reference to 7e-16 in the coefficients and 2e-14
# relative in the clustered standard errors (with its small-sample factors switched off). The estimator's bread carries a 1e-10 ridge on X'X (whose diagonal is of the
# order of the cohort sizes): a NumPy sandwich with that ridge moves the standard errors of these
# panels by up to 2.3e-10 relative, hence 1e-8.
ATT_TOL = 1e-10
SE_RTOL = 1e-8


def assert_matches(res, ref):
    assert res.event_time == ref.event_time
    np.testing.assert_allclose(res.event_att + [res.att], ref.event_att + [ref.att], rtol=0, atol=ATT_TOL)
    np.testing.assert_allclose(res.event_se + [res.se], ref.event_se + [ref.se], rtol=SE_RTOL)


# Cohort sizes by first treated period (None: never treated) and T. Units treated from period 0
# must be left out; cohorts adopting at different periods are observed at different relative
# periods, so each event-time average runs over its own subset of cohorts.
DESIGNS = {
    "four cohorts, never and period-0 units": ({0: 3, 2: 6, 3: 5, 5: 8, 7: 4, None: 14}, 9),
    "two cohorts, one adopting in the last period": ({1: 4, 6: 9, None: 7}, 7),
    "single cohort": ({4: 10, None: 12}, 7),
}


@pytest.mark.parametrize("name", DESIGNS)
def test_matches_dummy_variable_regression(name):
    counts, t_len = DESIGNS[name]
    cohorts = cohort_list(counts, never=-1)
    y, _ = staggered_panel(sum(map(ord, name)), cohorts, t_len)
    res = tessarix.fit_sunab_py(y, cohorts)
    ref = sunab_reference(y, cohorts)
    assert_matches(res, ref)
    assert res.group_cohort == [] and res.overall_group_att is None
    if len(counts) == 2:
        # One cohort: every event-time entry is that cohort's interaction coefficient.
        assert res.event_time == [e for _, e in ref.pairs]
        np.testing.assert_allclose(res.event_att, ref.coef, rtol=0, atol=ATT_TOL)
        np.testing.assert_allclose(res.event_se, np.sqrt(np.diag(ref.vcov)), rtol=SE_RTOL)


def test_minimum_wage_panel_reproduces_callaway_santanna():
    pytest.importorskip("moderndid")
    y, cohorts, _ = mpdta()
    res = tessarix.fit_sunab_py(y, cohorts.tolist())
    assert_matches(res, sunab_reference(y, cohorts))
    # With never-treated units as the reference group and g-1 as the reference period, each
    # interaction coefficient of the saturated regression is the group-time effect of Callaway &
    # Sant'Anna with never-treated controls and a universal base period, and both estimators
    # weight them by cohort size: the point estimates coincide (the standard errors do not).
    cs = callaway_reference(y, cohorts, "never")
    assert res.event_time == cs.event_time
    np.testing.assert_allclose(res.event_att + [res.att], cs.event_att + [cs.att], rtol=0, atol=ATT_TOL)
