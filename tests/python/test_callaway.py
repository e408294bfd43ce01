"""fit_callaway_py against a NumPy re-derivation of Callaway & Sant'Anna and against moderndid
(a port of R's did) on the minimum-wage panel."""

import numpy as np
import pytest

import tessarix
from did_reference import callaway_reference, cohort_list, mpdta, staggered_panel

# Every effect is a difference of mean changes (or of regression residuals) over at most a few
# hundred units; the reference agrees with moderndid, csdid, differences and diff-diff to 1e-16
# on the minimum-wage panel. Regression adjustment adds a least-squares fit on K + 1 columns and a
# Cholesky solve with a 1e-12 ridge in the influence function, which moves the standard errors of
# these designs by up to 1.1e-12 relative. 1e-10 on effects (outcomes of order 1 to 10) and 1e-8
# relative on standard errors leave orders of magnitude for summation order and that ridge, and
# still catch a wrong unit, period, base period, control set or weight.
ATT_TOL = 1e-10
SE_RTOL = 1e-8


def assert_matches(res, ref):
    assert res.event_time == ref.event_time
    assert res.group_cohort == ref.group_cohort
    for got, want in [(res.event_att, ref.event_att), (res.group_att, ref.group_att),
                      ([res.att, res.overall_group_att], [ref.att, ref.overall_group_att])]:
        np.testing.assert_allclose(got, want, rtol=0, atol=ATT_TOL)
    for got, want in [(res.event_se, ref.event_se), (res.group_se, ref.group_se),
                      ([res.se, res.overall_group_se], [ref.se, ref.overall_group_se])]:
        np.testing.assert_allclose(got, want, rtol=SE_RTOL)


@pytest.fixture(scope="module")
def minimum_wage():
    pytest.importorskip("moderndid")
    return mpdta()


@pytest.mark.parametrize("control", ["never", "notyet"])
@pytest.mark.parametrize("adjusted", [False, True], ids=["unadjusted", "lpop"])
def test_minimum_wage_panel_matches_reference_and_moderndid(minimum_wage, control, adjusted):
    import moderndid

    y, cohorts, lpop = minimum_wage
    x = lpop if adjusted else None
    res = tessarix.fit_callaway_py(y, cohorts.tolist(), control=control, covariates=x)
    assert_matches(res, callaway_reference(y, cohorts, control, x))

    # moderndid reports the base-period cell of each cohort (event time -1) as a zero; it has no
    # counterpart here and is dropped.
    gt = moderndid.att_gt(data=moderndid.load_mpdta(), yname="lemp", tname="year",
                          idname="countyreal", gname="first.treat", xformla="~lpop" if adjusted else None,
                          control_group={"never": "nevertreated", "notyet": "notyettreated"}[control],
                          base_period="universal", est_method="reg", boot=False, cband=False)
    simple, dynamic, group = (moderndid.aggte(gt, type=kind, boot=False, cband=False)
                              for kind in ("simple", "dynamic", "group"))
    keep = np.asarray(dynamic.event_times) != -1
    peer = {
        "att": simple.overall_att, "se": simple.overall_se,
        "event_time": np.asarray(dynamic.event_times)[keep],
        "event_att": np.asarray(dynamic.att_by_event)[keep],
        "event_se": np.asarray(dynamic.se_by_event)[keep],
        "group_att": group.att_by_event, "group_se": group.se_by_event,
        "overall_group_att": group.overall_att, "overall_group_se": group.overall_se,
    }
    for name, want in peer.items():
        tol = dict(rtol=SE_RTOL) if name.endswith("se") else dict(rtol=0, atol=ATT_TOL)
        np.testing.assert_allclose(getattr(res, name), want, err_msg=name, **tol)


# (cohort sizes by first treated period, None for never treated), T, control, covariates, anticipation.
# Cohort 0 has no pre-period and must stay out of every cell; with anticipation 1 so must cohort 1.
# A first period of T or more means never treated. Without never-treated units the latest periods
# have no not-yet-treated control and no cell; with two covariates the three units of the last
# cohort are too few controls for the regression in the cells where they are the only ones.
DESIGNS = {
    "never": ({0: 3, 1: 5, 2: 8, 4: 7, 6: 9, 8: 4, None: 14}, 8, "never", 0, 0),
    "notyet": ({0: 3, 1: 5, 2: 8, 4: 7, 6: 9, 8: 4, None: 14}, 8, "notyet", 0, 0),
    "never, two covariates": ({2: 12, 4: 10, 6: 9, None: 20}, 8, "never", 2, 0),
    "notyet, two covariates": ({1: 6, 2: 12, 4: 10, 6: 9, None: 20}, 8, "notyet", 2, 0),
    "never, anticipation": ({0: 3, 1: 5, 2: 8, 4: 7, 6: 9, None: 14}, 8, "never", 0, 1),
    "notyet, anticipation": ({1: 5, 2: 8, 4: 7, 5: 4, 6: 9, None: 14}, 8, "notyet", 0, 1),
    "notyet, anticipation, covariates": ({2: 12, 3: 9, 5: 10, 7: 8, None: 16}, 9, "notyet", 2, 1),
    "notyet, nobody never treated": ({1: 6, 3: 9, 5: 7, 7: 5}, 8, "notyet", 0, 0),
    "notyet, too few controls to adjust": ({2: 8, 4: 10, 6: 9, 7: 3}, 8, "notyet", 2, 0),
}


@pytest.mark.parametrize("name", DESIGNS)
def test_simulated_designs_match_reference(name):
    counts, t_len, control, k, anticipation = DESIGNS[name]
    cohorts = cohort_list(counts, never=t_len + 3)
    y, x = staggered_panel(len(name), cohorts, t_len, k, anticipation)
    x = x if k else None
    res = tessarix.fit_callaway_py(y, cohorts, control=control, covariates=x, anticipation=anticipation)
    ref = callaway_reference(y, cohorts, control, x, anticipation)
    assert ref.event_time and ref.group_cohort  # the design has cells and post-treatment cells
    assert_matches(res, ref)


def test_single_cohort_event_study_is_its_cells(minimum_wage):
    # With never-treated controls a cohort's cells involve only that cohort and the never-treated
    # units, so a panel of just those units has the same cells, and its event study, cohort and
    # overall aggregates are those cells, their post-treatment mean and that mean again.
    y, cohorts, _ = minimum_wage
    full = callaway_reference(y, cohorts, "never")
    never = cohorts < 0
    for g in np.unique(cohorts[~never]):
        keep = never | (cohorts == g)
        res = tessarix.fit_callaway_py(y[keep], cohorts[keep].tolist())
        cells = [(t - g, att, se) for h, t, att, se in full.cells if h == g]
        assert res.event_time == [e for e, _, _ in cells]
        np.testing.assert_allclose(res.event_att, [a for _, a, _ in cells], rtol=0, atol=ATT_TOL)
        np.testing.assert_allclose(res.event_se, [s for _, _, s in cells], rtol=SE_RTOL)
        post = np.mean([a for e, a, _ in cells if e >= 0])
        assert res.group_cohort == [g]
        np.testing.assert_allclose([res.att, res.group_att[0], res.overall_group_att], post,
                                   rtol=0, atol=ATT_TOL)


def test_sup_t_band_matches_its_gaussian_limit(minimum_wage):
    # The multiplier bootstrap of max_e |Σ_u ψ_eu ξ_u / N| / se_e converges to the quantile of
    # max_e |Z_e| for Z Gaussian with the correlation of the event-time influence functions. With
    # 999 replicates the simulated 95% quantile carries a Monte Carlo error of about 0.05.
    y, cohorts, _ = minimum_wage
    res = tessarix.fit_callaway_py(y, cohorts.tolist(), bands=True, n_reps=999, seed=7)
    att, se, crit = np.array(res.event_att), np.array(res.event_se), res.band_crit
    np.testing.assert_allclose(res.event_lo, att - crit * se, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(res.event_hi, att + crit * se, rtol=1e-12, atol=1e-15)
    psi = callaway_reference(y, cohorts).event_psi
    cov = psi.T @ psi
    corr = cov / np.sqrt(np.outer(np.diag(cov), np.diag(cov)))
    z = np.random.default_rng(0).multivariate_normal(np.zeros(len(att)), corr, size=200_000)
    assert crit == pytest.approx(np.quantile(np.abs(z).max(axis=1), 0.95), abs=0.2)
    # Simultaneous bands contain the pointwise 95% intervals.
    assert np.all(np.array(res.event_lo) <= att - 1.959963984540054 * se)
    assert np.all(np.array(res.event_hi) >= att + 1.959963984540054 * se)
    # A constant outcome has no spread: every effect, SE and band collapses to 0.
    flat = tessarix.fit_callaway_py(np.ones_like(y), cohorts.tolist(), bands=True, n_reps=99, seed=7)
    assert flat.event_lo == flat.event_hi == [0.0] * len(flat.event_time)
    assert flat.se == 0.0 and flat.band_crit == 0.0
    again = tessarix.fit_callaway_py(y, cohorts.tolist(), bands=True, n_reps=999, seed=7)
    assert again.band_crit == crit and again.event_lo == res.event_lo
