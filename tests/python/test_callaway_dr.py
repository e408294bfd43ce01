"""Callaway & Sant'Anna by doubly robust and inverse-probability-weighted estimation
(tessarix._core.fit_callaway_py with est_method "dr" and "ipw") against moderndid, a port of
R's did, on the minimum-wage panel, and against invariants of the estimators."""

import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

import tessarix
from did_reference import cohort_list, mpdta, staggered_panel
from tessarix import _core

# moderndid and tessarix agree to about 1e-13 on these designs (a logit fit to convergence, a
# least-squares fit, sums over 500 counties); 1e-8 still catches a missing estimation effect of
# the propensity score or of the outcome regression, which moves the standard errors by 1e-4
# and more, or a wrong weight or control set.
TOL = 1e-8
CONTROLS = {"never": "nevertreated", "notyet": "notyettreated"}


def fit(y, cohorts, **kwargs):
    return _core.fit_callaway_py(y, list(map(int, cohorts)), **kwargs)


def numbers(res):
    return np.array([res.att, res.se, res.overall_group_att, res.overall_group_se,
                     *res.event_att, *res.event_se, *res.group_att, *res.group_se])


def cell(y, cohorts, x, g, t, control, est_method):
    """ATT(g, t) and its standard error on their own: the cohort g against exactly the cell's
    controls, recoded as never treated, so that the event study of this panel at t - g is the
    cell."""
    never = cohorts < 0
    ctrl = never if control == "never" else never | ((cohorts != g) & (cohorts > max(t, g - 1)))
    keep = (cohorts == g) | ctrl
    res = fit(y[keep], np.where(cohorts[keep] == g, g, -1), covariates=x[keep], est_method=est_method)
    k = res.event_time.index(t - g)
    return res.event_att[k], res.event_se[k]


@pytest.fixture(scope="module")
def minimum_wage():
    pytest.importorskip("moderndid")
    return mpdta()


@pytest.mark.parametrize("control", ["never", "notyet"])
@pytest.mark.parametrize("est_method", ["dr", "ipw"])
def test_minimum_wage_cells_and_aggregates_match_moderndid(minimum_wage, est_method, control):
    import moderndid

    y, cohorts, lpop = minimum_wage
    data = moderndid.load_mpdta()
    gt = moderndid.att_gt(data=data, yname="lemp", tname="year", idname="countyreal", gname="first.treat",
                          xformla="~lpop", control_group=CONTROLS[control], base_period="universal",
                          est_method=est_method, boot=False, cband=False)
    years = np.unique(np.asarray(data["year"]))
    checked = 0
    for g_year, t_year, att, se in zip(gt.groups, gt.times, gt.att_gt, gt.se_gt):
        g, t = int(np.searchsorted(years, g_year)), int(np.searchsorted(years, t_year))
        if t == g - 1:  # moderndid reports the base period of each cohort as a zero
            continue
        got = cell(y, cohorts, lpop, g, t, control, est_method)
        np.testing.assert_allclose(got, (att, se), rtol=0, atol=TOL, err_msg=f"ATT({g_year}, {t_year})")
        checked += 1
    assert checked == 12

    res = fit(y, cohorts, control=control, covariates=lpop, est_method=est_method)
    simple, dynamic, group = (moderndid.aggte(gt, type=kind, boot=False, cband=False)
                              for kind in ("simple", "dynamic", "group"))
    keep = np.asarray(dynamic.event_times) != -1
    assert res.event_time == np.asarray(dynamic.event_times)[keep].tolist()
    assert res.group_cohort == [1, 3, 4]
    got = [res.att, res.se, res.overall_group_att, res.overall_group_se,
           *res.event_att, *res.event_se, *res.group_att, *res.group_se]
    want = [simple.overall_att, simple.overall_se, group.overall_att, group.overall_se,
            *np.asarray(dynamic.att_by_event)[keep], *np.asarray(dynamic.se_by_event)[keep],
            *group.att_by_event, *group.se_by_event]
    np.testing.assert_allclose(got, want, rtol=0, atol=TOL)


# (cohort sizes by first treated period, None for never treated), T, control, anticipation.
DESIGNS = {
    "never": ({2: 30, 4: 25, 6: 28, None: 40}, 8, "never", 0),
    "notyet, anticipation": ({2: 30, 3: 22, 5: 26, 7: 24, None: 35}, 9, "notyet", 1),
}


@pytest.mark.parametrize("name", DESIGNS)
def test_the_three_methods_coincide_without_covariates_and_dr_ignores_affine_maps(name):
    counts, t_len, control, anticipation = DESIGNS[name]
    cohorts = cohort_list(counts, never=t_len + 3)
    y, x = staggered_panel(len(name), cohorts, t_len, 2, anticipation)
    args = dict(control=control, anticipation=anticipation)

    # Without covariates the propensity score is the cohort's share of the comparison, the odds
    # weights are equal and the regression is a mean: every method is the difference of means.
    reg = numbers(fit(y, cohorts, **args))
    for est_method in ("dr", "ipw"):
        np.testing.assert_allclose(numbers(fit(y, cohorts, est_method=est_method, **args)), reg,
                                   rtol=1e-12, atol=1e-13)
    # Both fits are equivariant under an affine map of each covariate (and a permutation of them).
    moved = np.column_stack([-0.01 * x[:, 1] + 3.0, 1000.0 * x[:, 0] - 7.0])
    for est_method in ("dr", "ipw"):
        base = numbers(fit(y, cohorts, covariates=x, est_method=est_method, **args))
        assert np.max(np.abs(base - reg)) > 1e-3  # the covariates matter
        np.testing.assert_allclose(numbers(fit(y, cohorts, covariates=moved, est_method=est_method, **args)),
                                   base, rtol=1e-10, atol=1e-12)


def test_separation_and_collinearity_refuse_and_constant_covariates_drop(minimum_wage):
    y, cohorts, lpop = minimum_wage
    # A dummy for the 2006 cohort separates it from the never-treated: the propensity reaches 1.
    dummy = np.column_stack([lpop[:, 0], (cohorts == 3).astype(float)])
    with pytest.raises(ValueError, match=r"^Callaway-Sant'Anna \(est_method='ipw'\): the cell of cohort 3 at "
                                         r"period 0 cannot be estimated: the covariates \(quasi-\)completely separate"):
        fit(y, cohorts, covariates=dummy, est_method="ipw")
    twice = np.column_stack([lpop[:, 0], 2.0 * lpop[:, 0] + 1.0])
    with pytest.raises(ValueError, match=r"cohort 1 at period 1 cannot be estimated: the covariates are collinear"):
        fit(y, cohorts, covariates=twice, est_method="dr")
    # The front end names the time values.
    frame = {"unit": np.repeat(np.arange(500), 5), "year": np.tile(np.arange(2003, 2008), 500),
             "y": y.ravel(), "first": np.repeat(np.where(cohorts < 0, 0, cohorts + 2003), 5),
             "lpop": np.repeat(lpop[:, 0], 5), "d2006": np.repeat(dummy[:, 1], 5), "one": np.ones(2500)}
    args = dict(unit="unit", time="year", outcome="y", cohort="first")
    with pytest.raises(ValueError, match="the cell of cohort 2006 at period 2003 cannot"):
        tessarix.did(frame, **args, covariates=["lpop", "d2006"])
    # A covariate constant over every comparison is left out with a warning per cohort, and the
    # fit is the fit without it, to the last bit.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        padded = fit(y, cohorts, covariates=np.column_stack([lpop[:, 0], np.ones(500)]), est_method="dr")
    assert [str(w.message) for w in caught] == [
        f"Callaway-Sant'Anna (est_method='dr'): covariate 1 is constant over cohort {g} and its controls at "
        f"periods {periods}; it is left out of those cells' fits." for g, periods in
        ((1, "1, 2, 3, 4"), (3, "0, 1, 3, 4"), (4, "0, 1, 2, 4"))]
    assert numbers(padded).tobytes() == numbers(fit(y, cohorts, covariates=lpop, est_method="dr")).tobytes()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tessarix.did(frame, **args, covariates=["lpop", "one"])
    assert [str(w.message).split(";")[0] for w in caught] == [
        f"Callaway-Sant'Anna (est_method='dr'): covariate 'one' is constant over cohort {g} and its controls at "
        f"periods {periods}" for g, periods in
        (("2004", "2004, 2005, 2006, 2007"), ("2006", "2003, 2004, 2006, 2007"), ("2007", "2003, 2004, 2005, 2007"))]
    assert {w.filename for w in caught} == {__file__}  # attributed to the caller of tessarix.did
    with pytest.raises(ValueError, match=r"^unknown est_method 'aipw' \(expected reg/dr/ipw\)$"):
        fit(y, cohorts, covariates=lpop, est_method="aipw")


SCRIPT = """
import numpy as np
from tessarix import _core
rng = np.random.default_rng(3)
n, t = 4000, 12
x = rng.normal(size=(n, 2))
start = np.where(rng.random(n) < 1 / (1 + np.exp(-x[:, 0])), rng.choice([3, 5, 7, 9], n), -1)
y = np.cumsum(rng.normal(size=(n, t)), axis=1) + x[:, 1:] * np.arange(t) / 4
out = []
for est in ("dr", "ipw"):
    for control in ("never", "notyet"):
        r = _core.fit_callaway_py(y, start.tolist(), control=control, covariates=x, est_method=est)
        out += [r.att, r.se, *r.event_att, *r.event_se, *r.group_se]
print(" ".join(float(v).hex() for v in out))
"""


def test_results_are_bit_identical_for_any_worker_count():
    # 4000 units times some 40 cells is well above the size from which the cells run on the pool.
    runs = [subprocess.run([sys.executable, "-c", SCRIPT], env=dict(os.environ, TESSARIX_NUM_THREADS=str(k)),
                           capture_output=True, text=True, check=True).stdout for k in (1, 2, 5)]
    assert len(runs[0].split()) > 100
    assert runs[1] == runs[0] and runs[2] == runs[0]


@pytest.mark.parametrize("n_covariates", [3, 4])
def test_wide_designs_match_moderndid(n_covariates):
    # An intercept and three covariates is the widest design whose cells are computed side by
    # side; four covariates take the column-by-column path. Seven cells per cohort leave the
    # last group of cells short of a full set of lanes.
    moderndid = pytest.importorskip("moderndid")
    import pandas as pd

    t_len = 8
    cohorts = cohort_list({2: 70, 4: 60, 6: 65, None: 120}, never=t_len + 3)
    y, x = staggered_panel(17 + n_covariates, cohorts, t_len, n_covariates)
    n = len(cohorts)
    first = np.array([g + 1 if g < t_len else 0 for g in cohorts])  # first treated year, 0: never
    names = [f"x{k}" for k in range(n_covariates)]
    frame = pd.DataFrame({"unit": np.repeat(np.arange(n), t_len), "year": np.tile(np.arange(1, t_len + 1), n),
                          "y": y.ravel(), "g": np.repeat(first, t_len),
                          **{name: np.repeat(x[:, k], t_len) for k, name in enumerate(names)}})
    for est_method in ("dr", "ipw"):
        gt = moderndid.att_gt(data=frame, yname="y", tname="year", idname="unit", gname="g",
                              xformla="~" + "+".join(names), control_group="nevertreated",
                              base_period="universal", est_method=est_method, boot=False, cband=False)
        simple = moderndid.aggte(gt, type="simple", boot=False, cband=False)
        dynamic = moderndid.aggte(gt, type="dynamic", boot=False, cband=False)
        keep = np.asarray(dynamic.event_times) != -1
        res = fit(y, cohorts, covariates=x, est_method=est_method)
        assert res.event_time == np.asarray(dynamic.event_times)[keep].tolist()
        np.testing.assert_allclose(
            [res.att, res.se, *res.event_att, *res.event_se],
            [simple.overall_att, simple.overall_se, *np.asarray(dynamic.att_by_event)[keep],
             *np.asarray(dynamic.se_by_event)[keep]], rtol=0, atol=TOL)
