"""bacon_decompose_py against 2x2 regressions fitted one sub-panel at a time, and against the
two-way fixed-effects coefficient it decomposes, on the castle-doctrine panel and simulated ones."""

import numpy as np
import pytest

import tessarix
from did_reference import bacon_reference, bacon_totals, castle, cohort_list, staggered_panel

# Each estimate is a double difference of means over at most a few hundred cells and each weight a
# closed form in group shares; the reference fits them by least squares on dummies, agrees with
# diff-diff's decomposition of the castle panel to 2e-15, and its weighted sum reproduces the
# full-panel regression to 2e-15. 1e-10 leaves ample room for summation order.
TOL = 1e-10


def check(y, cohorts):
    res = tessarix.bacon_decompose_py(y, cohorts)
    ref = bacon_reference(y, cohorts)
    comps = res.components
    assert [(c.kind, c.treated_cohort, c.comparison_cohort) for c in comps] == \
        [(c["kind"], c["treated"], c["comparison"]) for c in ref.components]
    np.testing.assert_allclose([c.weight for c in comps], [c["weight"] for c in ref.components], rtol=0, atol=TOL)
    np.testing.assert_allclose([c.estimate for c in comps], [c["estimate"] for c in ref.components], rtol=0, atol=TOL)
    assert sum(c.weight for c in comps) == pytest.approx(1.0, abs=1e-14)
    assert res.forbidden_weight == pytest.approx(ref.forbidden_weight, abs=TOL)
    # The decomposition is exact: the weighted estimates add up to the TWFE coefficient.
    assert res.twfe == pytest.approx(ref.twfe, rel=TOL)
    assert res.twfe == pytest.approx(tessarix.fit_twfe_py(y, list(cohorts)).att, rel=TOL)
    return res, ref


def test_castle_doctrine_panel():
    pytest.importorskip("causaldata")
    y, cohorts = castle()
    res, ref = check(y, cohorts.tolist())
    got, want = bacon_totals(res.components), bacon_totals(ref.components)
    assert got.keys() == want.keys() == {"treated_vs_untreated", "earlier_vs_later", "later_vs_earlier_forbidden"}
    for kind in want:
        np.testing.assert_allclose(got[kind], want[kind], rtol=0, atol=TOL, err_msg=kind)
    # 5 adoption years and never-treated states: 5 comparisons with them and 5 * 4 timing ones.
    assert len(res.components) == 25


# Cohort sizes by first treated period (None: never treated), and T.
DESIGNS = {
    "four cohorts and never treated": ({2: 5, 3: 7, 6: 4, 8: 6, None: 9}, 10),
    "two cohorts, nobody never treated": ({3: 6, 7: 8}, 9),
    "one cohort and never treated": ({4: 5, None: 8}, 8),
    "a cohort adopting in the last period": ({2: 3, 5: 4, 7: 5, None: 3}, 8),
}


@pytest.mark.parametrize("name", DESIGNS)
def test_simulated_designs(name):
    counts, t_len = DESIGNS[name]
    cohorts = cohort_list(counts, never=t_len)
    y, _ = staggered_panel(sum(map(ord, name)), cohorts, t_len)
    res, _ = check(y, cohorts)
    timing = len([g for g in counts if g is not None])
    assert len(res.components) == timing * (timing - 1) + (timing if None in counts else 0)
