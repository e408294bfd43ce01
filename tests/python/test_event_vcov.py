"""The covariance of the event-study estimates, which sensitivity analysis of the event study
reads: Callaway-Sant'Anna's from the influence functions (against the NumPy re-derivation and
against moderndid's influence functions, R did's recipe for HonestDiD), Sun-Abraham's from the
cluster sandwich of the saturated regression."""

import numpy as np
import pytest

import tessarix
from tessarix import _core
from did_reference import callaway_reference, cohort_list, mpdta, staggered_panel, sunab_reference

COHORTS = cohort_list({2: 30, 4: 25, 6: 20, None: 40}, never=-1)
T_LEN = 9


def pair_weights(ref, events):
    """Cohort-share weights of each event time over the reference's interaction coefficients."""
    size = {g: sum(1 for c in COHORTS if c == g) for g, _ in ref.pairs}
    w = np.array([[size[g] if e == k else 0.0 for g, e in ref.pairs] for k in events])
    return w / w.sum(axis=1, keepdims=True)


@pytest.mark.parametrize("control", ["never", "notyet"])
def test_callaway_covariance_is_the_influence_functions_crossproduct(control):
    y, x = staggered_panel(11, COHORTS, T_LEN, n_covariates=2)
    res, vcov = _core.fit_callaway_py(y, COHORTS, control=control, covariates=x, event_vcov=True)
    ref = callaway_reference(y, COHORTS, control=control, covariates=x)
    assert res.event_time == ref.event_time
    psi = ref.event_psi
    np.testing.assert_allclose(vcov, psi.T @ psi / len(COHORTS) ** 2, rtol=1e-9, atol=1e-14)
    # The same fit as without the covariance, and its diagonal is the squared standard errors.
    plain = tessarix.fit_callaway_py(y, COHORTS, control=control, covariates=x)
    assert (res.event_att, res.event_se, res.att) == (plain.event_att, plain.event_se, plain.att)
    np.testing.assert_allclose(np.sqrt(np.diag(vcov)), res.event_se, rtol=1e-14)


def test_sunab_covariance_is_the_weighted_sandwich():
    y, _ = staggered_panel(12, COHORTS, T_LEN)
    res, vcov = _core.fit_sunab_py(y, COHORTS)
    ref = sunab_reference(y, COHORTS)
    w = pair_weights(ref, res.event_time)
    np.testing.assert_allclose(vcov, w @ ref.vcov @ w.T, rtol=1e-8, atol=1e-14)
    plain = tessarix.fit_sunab_py(y, COHORTS)
    assert (res.event_att, res.event_se, res.att, res.se) == (plain.event_att, plain.event_se, plain.att, plain.se)
    assert np.array_equal(vcov, vcov.T)


def test_covariances_scale_exactly_with_the_outcomes():
    # The fits run at a power-of-two scale of the data, so the covariance of 2^400 y is that of
    # y times 2^800 bit for bit, far past where squared influence values would overflow.
    y, x = staggered_panel(14, COHORTS, T_LEN, n_covariates=1)
    big = np.ldexp(y, 400)
    for fit in (lambda v: _core.fit_callaway_py(v, COHORTS, covariates=x, event_vcov=True)[1],
                lambda v: _core.fit_sunab_py(v, COHORTS)[1]):
        assert np.array_equal(fit(big), np.ldexp(fit(y), 800))


@pytest.mark.parametrize("control", ["never", "notyet"])
def test_minimum_wage_covariance_matches_moderndid(control):
    moderndid = pytest.importorskip("moderndid")
    gt = moderndid.att_gt(data=moderndid.load_mpdta(), yname="lemp", tname="year", idname="countyreal",
                          gname="first.treat", xformla="~lpop", est_method="reg", base_period="universal",
                          control_group="nevertreated" if control == "never" else "notyettreated")
    agg = moderndid.aggte(gt, type="dynamic", boot=False, cband=False)
    keep = np.asarray(agg.event_times) != -1  # the base period, reported as a zero
    psi = np.asarray(agg.influence_func)[:, keep]
    y, cohorts, lpop = mpdta()
    res, vcov = _core.fit_callaway_py(y, cohorts.tolist(), control=control, covariates=lpop, event_vcov=True)
    assert res.event_time == np.asarray(agg.event_times)[keep].tolist()
    np.testing.assert_allclose(vcov, psi.T @ psi / len(y) ** 2, rtol=1e-8, atol=1e-15)


def test_front_end_carries_the_covariance_of_its_event_study():
    y, _ = staggered_panel(13, COHORTS, T_LEN)
    n = len(COHORTS)
    frame = {"unit": np.repeat(np.arange(n), T_LEN), "time": np.tile(np.arange(1, T_LEN + 1), n),
             "y": y.reshape(-1), "g": np.repeat([c + 1 if c >= 0 else 0 for c in COHORTS], T_LEN)}
    pd = pytest.importorskip("pandas")
    df = pd.DataFrame(frame)
    for method, call in (("cs", lambda: _core.fit_callaway_py(y, COHORTS, event_vcov=True)),
                         ("sa", lambda: _core.fit_sunab_py(y, COHORTS))):
        res = tessarix.did(df, unit="unit", time="time", outcome="y", cohort="g", method=method)
        native, vcov = call()
        assert res.native.event_time == native.event_time
        assert np.array_equal(res.event_vcov, vcov)
    assert tessarix.did(df, unit="unit", time="time", outcome="y", cohort="g", method="twfe").event_vcov is None
