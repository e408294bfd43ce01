"""fit_imputation against a dense dummy-variable re-derivation and against diff-diff's
ImputationDiD, invariants of the imputation estimator, and tessarix.did(method="imputation")."""

import pickle
import warnings

import numpy as np
import pytest

import tessarix
from tessarix import _core
from did_reference import cohort_list, mpdta, staggered_panel
from imputation_reference import imputation_reference

# The reference solves the dummy design by SVD and forms (Z0'Z0)^+ explicitly; the estimator
# solves one Schur-complement system. They agree to ~1e-14 on these panels; diff-diff, whose
# solver is iterative, agrees with both to ~5e-11 in the estimates and ~1e-11 in the errors.
ATT_TOL = 1e-10
SE_TOL = 1e-8
PEER_ATT_TOL = 1e-9

# Cohort sizes by first treated period (None: never treated), T and anticipation.
DESIGNS = {
    "four cohorts and never treated": ({2: 6, 3: 5, 5: 8, 7: 4, None: 14}, 9, 0),
    "units treated from period 0 (no untreated cell)": ({0: 3, 3: 10, 5: 7, None: 5}, 7, 0),
    "no never-treated units (late periods not imputable)": ({3: 10, 5: 7, 6: 4}, 8, 0),
    "anticipation, a cohort swallowed by it": ({1: 3, 3: 10, 5: 7, None: 5}, 7, 1),
    "single cohort": ({4: 10, None: 12}, 7, 0),
}


def fit(y, cohorts, **kw):
    out = _core.fit_imputation(y, list(cohorts), **kw)
    return out, out["result"]


def assert_matches(out, ref, att_tol=ATT_TOL):
    res = out["result"]
    assert res.event_time == ref.event_time and res.group_cohort == ref.group_cohort
    np.testing.assert_allclose(res.event_att + res.group_att + [res.att],
                               np.r_[ref.event_att, ref.group_att, ref.att], rtol=0, atol=att_tol)
    np.testing.assert_allclose(res.event_se + res.group_se + [res.se],
                               np.r_[ref.event_se, ref.group_se, ref.se], rtol=SE_TOL)


@pytest.mark.parametrize("name", DESIGNS)
def test_matches_dense_dummy_variable_reference(name):
    counts, t_len, anticipation = DESIGNS[name]
    cohorts = cohort_list(counts, never=-1)
    y, _ = staggered_panel(sum(map(ord, name)), cohorts, t_len, anticipation=anticipation)
    out, res = fit(y, cohorts, anticipation=anticipation)
    ref = imputation_reference(y, cohorts, anticipation)
    assert_matches(out, ref)
    np.testing.assert_allclose(out["vcov"], ref.vcov, rtol=SE_TOL, atol=1e-14)
    np.testing.assert_allclose(np.sqrt(np.diag(out["vcov"])), res.event_se + [res.se], rtol=1e-14)
    np.testing.assert_array_equal(np.isnan(out["effects"]), np.isnan(ref.effects))
    np.testing.assert_allclose(out["effects"], ref.effects, rtol=0, atol=ATT_TOL)
    assert (out["n_untreated"], out["n_imputed"], out["n_excluded"]) == (ref.n_untreated, ref.n_imputed,
                                                                         ref.n_excluded)
    assert out["n_leads"] == sum(e <= -2 - anticipation for e in res.event_time)
    assert (out["n_leads"] > 0) == (None in counts)


def test_lead_count_keeps_those_nearest_the_reference():
    cohorts = cohort_list({2: 6, 5: 8, 7: 4, None: 14}, never=-1)
    y, _ = staggered_panel(5, cohorts, 9)
    for leads in (0, 2, 50):
        out, res = fit(y, cohorts, leads=leads)
        ref = imputation_reference(y, cohorts, leads=leads)
        assert_matches(out, ref)
        np.testing.assert_allclose(out["vcov"], ref.vcov, rtol=SE_TOL, atol=1e-14)
    assert fit(y, cohorts, leads=2)[1].event_time[:3] == [-3, -2, 0]
    assert fit(y, cohorts, leads=0)[1].event_time[0] == 0


def peer_frame(y, cohorts):
    import pandas as pd

    n, t_len = y.shape
    c = np.asarray(cohorts)
    first = np.where((c >= 0) & (c < t_len), c + 1, 0)  # periods 1..T, 0 never treated
    return pd.DataFrame({"u": np.repeat(np.arange(n), t_len), "t": np.tile(np.arange(1, t_len + 1), n),
                         "y": y.ravel(), "g": np.repeat(first, t_len)})


def diff_diff_fit(y, cohorts, anticipation=0):
    """diff-diff's event study with pre-trend leads, cohort effects and overall ATT, entries
    it cannot estimate (NaN) dropped; cohorts as column indices."""
    dd = pytest.importorskip("diff_diff")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        r = dd.ImputationDiD(anticipation=anticipation, pretrends=True).fit(
            peer_frame(y, cohorts), outcome="y", unit="u", time="t", first_treat="g")
        es, gr = r.aggregate("event_study"), r.aggregate("group")
    keep = ~es.is_reference & np.isfinite(es.se)
    gkeep = np.isfinite(gr.se)
    return dict(event_time=es.event_time[keep].tolist(), event=(es.att[keep], es.se[keep]),
                group_cohort=[int(g) - 1 for g in gr.label[gkeep]], group=(gr.att[gkeep], gr.se[gkeep]),
                overall=(r.overall_att, r.overall_se))


def assert_matches_peer(res, peer, tol):
    assert res.event_time == peer["event_time"] and res.group_cohort == peer["group_cohort"]
    got = np.r_[res.event_att, res.group_att, res.att]
    want = np.r_[peer["event"][0], peer["group"][0], peer["overall"][0]]
    got_se = np.r_[res.event_se, res.group_se, res.se]
    want_se = np.r_[peer["event"][1], peer["group"][1], peer["overall"][1]]
    np.testing.assert_allclose(got, want, rtol=0, atol=tol)
    np.testing.assert_allclose(got_se, want_se, rtol=0, atol=SE_TOL * np.abs(want_se).max())
    return np.abs(got - want).max(), np.abs(got_se - want_se).max()


def test_matches_diff_diff_on_the_minimum_wage_panel():
    pytest.importorskip("moderndid")
    y, cohorts, _ = mpdta()
    _, res = fit(y, cohorts)
    assert_matches_peer(res, diff_diff_fit(y, cohorts), ATT_TOL)


@pytest.mark.parametrize("anticipation", [0, 1])
def test_matches_diff_diff_on_a_simulated_staggered_panel(anticipation):
    cohorts = cohort_list({0: 4, 2: 30, 4: 25, 6: 30, 9: 20, None: 60}, never=-1)
    y, _ = staggered_panel(2024, cohorts, 11, anticipation=anticipation)
    _, res = fit(y, cohorts, anticipation=anticipation)
    assert_matches_peer(res, diff_diff_fit(y, cohorts, anticipation), PEER_ATT_TOL)


def test_design_without_never_treated_units_matches_diff_diff_after_the_horizon():
    # Every unit is treated by period 6: cells from then on have no imputed Y(0); diff-diff marks
    # those horizons NaN, tessarix omits them and reports no leads (they are not identified).
    cohorts = cohort_list({3: 10, 5: 7, 6: 4}, never=-1)
    y, _ = staggered_panel(3, cohorts, 8)
    _, res = fit(y, cohorts)
    peer = diff_diff_fit(y, cohorts)
    post = [k for k, e in enumerate(peer["event_time"]) if e >= 0]
    peer.update(event_time=[peer["event_time"][k] for k in post],
                event=(peer["event"][0][post], peer["event"][1][post]))
    assert_matches_peer(res, peer, PEER_ATT_TOL)


# --- invariants --------------------------------------------------------------------------------


def additive_panel(cohorts, t_len, seed):
    rng = np.random.default_rng(seed)
    return rng.normal(size=(len(cohorts), 1)) * 3 + np.cumsum(rng.normal(size=t_len))


def test_constant_effect_without_noise_is_recovered_exactly():
    cohorts = cohort_list({0: 2, 2: 5, 4: 6, None: 7}, never=-1)
    t_len = 7
    y = additive_panel(cohorts, t_len, 1)
    c = np.asarray(cohorts)
    y = y + 1.75 * ((c[:, None] >= 0) & (np.arange(t_len) >= c[:, None]))
    out, res = fit(y, cohorts)
    post = res.event_time.index(0)
    np.testing.assert_allclose(res.event_att[post:] + res.group_att + [res.att], 1.75, rtol=0, atol=1e-12)
    np.testing.assert_allclose(res.event_att[:post], 0.0, atol=1e-12)  # no pre-trend
    assert max(res.event_se + res.group_se + [res.se]) < 1e-12
    imputed = out["effects"][~np.isnan(out["effects"])]
    np.testing.assert_allclose(imputed, 1.75, atol=1e-12)


def test_unit_and_period_effects_and_scale_leave_the_fit_unchanged():
    cohorts = cohort_list({1: 3, 3: 8, 4: 6, None: 9}, never=-1)
    y, _ = staggered_panel(8, cohorts, 8)
    out, res = fit(y, cohorts, anticipation=1)
    shifted, shifted_res = fit(y + additive_panel(cohorts, 8, 2) * 1e3, cohorts, anticipation=1)
    np.testing.assert_allclose(shifted_res.event_att + [shifted_res.att], res.event_att + [res.att], atol=1e-9)
    np.testing.assert_allclose(shifted_res.event_se + [shifted_res.se], res.event_se + [res.se], rtol=1e-8)
    np.testing.assert_allclose(shifted["vcov"], out["vcov"], rtol=1e-8, atol=1e-15)
    # Far outside the ordinary range the fit runs at a power-of-two scale (the covariance, in
    # squared units, stays finite up to about 1e154).
    big, big_res = fit(y * 1e150, cohorts, anticipation=1)
    np.testing.assert_allclose(np.r_[big_res.event_att, big_res.att] / 1e150, res.event_att + [res.att], rtol=1e-12)
    np.testing.assert_allclose(big["vcov"] / 1e300, out["vcov"], rtol=1e-12)


def test_cells_that_cannot_be_imputed_change_nothing_else():
    # Units treated from period 0 and periods after everyone's adoption carry no information on
    # Y(0): dropping them leaves every estimate as it was. (Cut before period 6, the last cohort
    # is never treated, with the same untreated cells; it then also gives pre-trend leads.)
    cohorts = cohort_list({0: 3, 2: 6, 4: 5, 6: 5}, never=-1)
    y, _ = staggered_panel(4, cohorts, 8)
    out, res = fit(y, cohorts)
    keep = np.asarray(cohorts) != 0
    trimmed, trimmed_res = fit(y[keep, :6], np.asarray(cohorts)[keep])
    assert out["n_excluded"] == 3 * 8 + 2 * (6 + 5 + 5) and trimmed["n_excluded"] == 0
    post = trimmed["n_leads"]
    assert out["n_leads"] == 0 and post > 0 and res.event_time == trimmed_res.event_time[post:]
    np.testing.assert_allclose(res.event_att + res.group_att + [res.att],
                               trimmed_res.event_att[post:] + trimmed_res.group_att + [trimmed_res.att], atol=1e-12)
    np.testing.assert_allclose(res.event_se + res.group_se + [res.se],
                               trimmed_res.event_se[post:] + trimmed_res.group_se + [trimmed_res.se], rtol=1e-10)
    np.testing.assert_allclose(out["vcov"], trimmed["vcov"][post:, post:], rtol=1e-10, atol=1e-16)


def test_refuses_designs_without_an_imputable_cell():
    y = np.random.default_rng(0).normal(size=(6, 5))
    with pytest.raises(ValueError, match="no treated cell can be imputed"):
        _core.fit_imputation(y, [2, 2, 2, 2, 2, 2])  # one cohort, no controls
    with pytest.raises(ValueError, match="no treated cell can be imputed"):
        _core.fit_imputation(y, [2, 2, 3, -1, -1, -1], anticipation=4)
    with pytest.raises(ValueError, match="no estimable cohort"):
        _core.fit_imputation(y, [-1] * 6)
    with pytest.raises(ValueError, match="treat_start has 2 entries"):
        _core.fit_imputation(y, [2, -1])


# --- front end ---------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def mp():
    pytest.importorskip("moderndid")
    import moderndid

    df = moderndid.load_mpdta()
    y, cohorts, _ = mpdta()
    return (df.to_pandas() if hasattr(df, "to_pandas") else df), y, cohorts


def test_front_end_wraps_the_array_call_with_its_covariance(mp):
    import polars as pl

    df, y, cohorts = mp
    args = dict(unit="countyreal", time="year", outcome="lemp", cohort="first.treat", method="imputation")
    out = _core.fit_imputation(y, cohorts.tolist(), anticipation=1, leads=2)
    with pytest.warns(UserWarning, match="100 treated cells have no imputed"):
        res = tessarix.did(pl.from_pandas(df), **args, anticipation=1, leads=2, level=0.9)
    assert pickle.dumps(res.native.__reduce__()[1]) == pickle.dumps(out["result"].__reduce__()[1])
    np.testing.assert_array_equal(res.event_vcov, out["vcov"][:-1, :-1])
    es = res.event_study.to_pandas()
    assert es["event_time"].tolist() == [-4, -3, -2, -1, 0, 1]
    assert es.loc[es.reference, "event_time"].tolist() == [-2]
    assert res.groups.to_pandas()["cohort"].tolist() == [2006, 2007]
    assert "Borusyak-Jaravel-Spiess imputation" in res.summary()
    with pytest.raises(TypeError, match="unexpected option 'control'"):
        tessarix.did(df, **args, control="never")
    with pytest.raises(ValueError, match="covariates are only used by method='cs'"):
        tessarix.did(df, **args, covariates=["lpop"])
