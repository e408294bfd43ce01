"""geo_select: argument validation (messages and their order) and the invariants of the
market search (candidate sets, reproducibility, ranking, the early end of sampling), with the
scores cross-checked against the power and diagnostics entry points."""

import inspect
import os
import subprocess
import sys

import numpy as np
import pytest

import tessarix
from tessarix import _tessarix

N, T = 8, 20


@pytest.fixture(scope="module")
def y():
    rng = np.random.default_rng(7)
    levels = rng.uniform(50.0, 150.0, size=(N, 1))
    season = np.sin(np.arange(T) * 2 * np.pi / 7.0)
    return levels * (1.0 + 0.05 * season) + rng.normal(0.0, 2.0, size=(N, T))


def select(y, **kw):
    args = dict(eligible=list(range(N)), max_treated=3, test_len=4, target_lift=0.1, n_candidates=20)
    args.update(kw)
    return tessarix.geo_select(y, **args)


def test_signature_and_docstring():
    assert str(inspect.signature(_tessarix.geo_select)) == (
        "(y, eligible, max_treated, test_len, target_lift, method='sdid', alpha=0.1, "
        "target_power=0.8, min_pre=0, n_candidates=200, seed=0, exact_size=None, lookback=None, "
        "include=None, min_weight=0.0, max_weight=1.0)"
    )
    assert _tessarix.geo_select.__doc__ == "Search and rank candidate treatment-market sets."


# Each case: the arguments that differ from the valid call, and the message. Cases with two
# problems pin the order of the checks: the one reported is the one checked first.
EMPTY = np.zeros((0, 5))
NAN_Y = "nan"
BAD = [
    ({"method": "ensemble"}, "unknown method 'ensemble' (expected sc/asc/sdid/fp/rsc)"),
    ({"method": "synth", "y": EMPTY}, "unknown method 'synth' (expected sc/asc/sdid/fp/rsc)"),
    ({"y": EMPTY, "test_len": 0}, "y must be a non-empty N×T panel; got shape (0, 5)"),
    ({"y": NAN_Y, "test_len": 0}, "y contains NaN or inf; tessarix requires a complete, finite panel"),
    ({"test_len": 20, "alpha": 2.0}, "test_len must be in [1, 20) (panel has 20 periods); got 20"),
    ({"test_len": 12},
     "test_len=12 with a 12-period pre-window needs at least 24 periods, but the panel has 20. "
     "Reduce test_len (max usable here: 10) or pass a smaller min_pre."),
    ({"alpha": 1.0, "target_power": 0.0}, "alpha must be in (0, 1); got 1"),
    ({"target_power": 0.0, "target_lift": 0.0}, "target_power must be in (0, 1); got 0"),
    ({"target_lift": float("nan"), "max_treated": 0}, "target_lift must be finite and > 0; got NaN"),
    ({"target_lift": -0.0}, "target_lift must be finite and > 0; got -0"),
    ({"max_treated": 0, "n_candidates": 0}, "max_treated must be >= 1; got 0"),
    ({"max_treated": N},
     "max_treated=8 would allow treating all 8 markets; at least one market must remain as a control"),
    ({"n_candidates": 0, "eligible": [9]}, "n_candidates must be >= 1; got 0"),
    ({"eligible": [1, 8], "include": [9]}, "eligible index 8 out of range [0, 8)"),
    ({"include": [9], "exact_size": 0}, "include index 9 out of range [0, 8)"),
    ({"exact_size": 0, "include": list(range(N))}, "exact_size must be >= 1; got 0"),
    ({"exact_size": N, "include": [3, 3, 1]},
     "exact_size=8 would treat all 8 markets; at least one market must remain as a control"),
    ({"exact_size": 1, "include": [3, 3, 1]},
     "include forces 2 markets but exact_size=1; raise exact_size or include fewer markets"),
    ({"include": list(range(N)), "max_weight": 0.0},
     "include treats every market; need at least one market left as a control"),
    ({"max_weight": 0.0, "min_weight": 2.0}, "max_weight must be in (0, 1]; got 0"),
    # The largest treated set (exact_size, else max_treated) leaves the fewest donors.
    ({"exact_size": 3, "max_weight": 0.1},
     "max_weight=0.1 is infeasible with 5 donors: capping every donor there allows total weight "
     "0.5000 < 1. Use max_weight >= 0.2000 (= 1/5)."),
    ({"max_treated": 4, "max_weight": 0.2},
     "max_weight=0.2 is infeasible with 4 donors: capping every donor there allows total weight "
     "0.8000 < 1. Use max_weight >= 0.2500 (= 1/4)."),
    # A single treated market leaves the most donors, which bounds min_weight.
    ({"min_weight": 0.2},
     "min_weight=0.2 is infeasible with 7 donors: every donor at that floor would need total weight "
     "1.4000 > 1. Use min_weight <= 0.1429 (= 1/7)."),
    ({"min_weight": -0.1}, "min_weight must be in [0, 1]; got -0.1"),
    ({"min_weight": 0.6, "max_weight": 0.4}, "min_weight (0.6) must not exceed max_weight (0.4)"),
]


@pytest.mark.parametrize("changes,message", BAD)
def test_validation_messages_in_order(y, changes, message):
    changes = dict(changes)
    panel = changes.pop("y", y)
    if isinstance(panel, str):
        panel = y.copy()
        panel[5, 11] = np.nan
    with pytest.raises(ValueError) as err:
        select(panel, **changes)
    assert str(err.value) == message


@pytest.mark.parametrize(
    "changes",
    [{"method": 1}, {"include": "13"}, {"eligible": "0123"}, {"alpha": None}, {"exact_size": -1.5}],
)
def test_conversion_failures_come_before_validation(changes):
    with pytest.raises(TypeError):
        select(np.zeros((0, 5)), **changes)


def test_method_names_are_case_insensitive(y):
    for name in ("SDID", "Sc", "dsc"):
        assert isinstance(select(y, method=name, n_candidates=1, max_treated=1, eligible=[0, 1]), list)


# --- the search (these run the power analysis and the diagnostics) ---------------------------


def treated_sets(result):
    return [tuple(c.treated) for c in result]


def test_candidates_are_the_include_set_extended_by_eligible_markets(y):
    res = select(y, eligible=[6, 0, 2, 2, 5, 3], include=[4, 2], max_treated=4, n_candidates=15, seed=3)
    assert type(res) is list and all(type(c) is tessarix.MarketCandidate for c in res)
    sets = treated_sets(res)
    # The include set, its four extensions, and every pair of pool markets: sampling ends
    # there, short of the 15 requested.
    pool = [0, 3, 5, 6]
    expected = [(2, 4)] + [tuple(sorted((2, 4, p))) for p in pool]
    expected += [tuple(sorted((2, 4, p, q))) for i, p in enumerate(pool) for q in pool[i + 1:]]
    assert sorted(sets) == sorted(expected)


def test_scores_are_ranked_and_follow_from_the_candidate_fields(y):
    res = select(y, n_candidates=25, seed=1)
    scores = [c.score for c in res]
    finite = [s for s in scores if not np.isnan(s)]
    assert scores[: len(finite)] == finite and finite == sorted(finite, reverse=True)
    for c in res:
        bonus = 0.05 / (c.mde_pct + 1.0) if c.mde_pct is not None else 0.0
        assert c.score == c.power_at_target * (0.5 + c.confidence * 0.5 / 100) + bonus


def test_ranking_given_candidates_takes_candidates_only(y):
    from tessarix import _core

    res = select(y, n_candidates=8, seed=3)
    assert [c.treated for c in _core.geo_rank(res[::-1])] == [c.treated for c in _core.geo_rank(res)]
    for items, got in [([1, 2], "int"), (res + [None], "NoneType"), ([np.zeros(2)], "1-D float64 ndarray")]:
        with pytest.raises(TypeError, match=rf"^argument 'candidates': expected a list of MarketCandidate, "
                                            rf"got an item of type {got}$"):
            _core.geo_rank(items)


@pytest.mark.skipif(
    not (hasattr(tessarix, "geo_power") and hasattr(tessarix, "geo_diagnostics")),
    reason="needs geo_power and geo_diagnostics",
)
def test_candidates_agree_with_power_and_diagnostics_entry_points(y):
    res = select(y, n_candidates=6, seed=2, method="sc", lookback=6)
    for c in res[:3]:
        lifts = [0.0, 0.5 * 0.1, 0.1, 1.5 * 0.1, 2.0 * 0.1]
        power = tessarix.geo_power(y, c.treated, 4, lifts, method="sc", lookback=6)
        diag = tessarix.geo_diagnostics(y, c.treated, 4)
        assert c.power_at_target == power.power[2]
        assert c.mde_pct == power.mde_pct
        assert (c.holdout_pct, c.pre_fit_rel, c.stability_score, c.confidence) == (
            diag.holdout_pct, diag.pre_fit_rel, diag.stability_score, diag.confidence)


def test_enumerated_sizes(y):
    # exact_size = |include|: the include set alone.
    assert treated_sets(select(y, include=[5, 1, 5], exact_size=2)) == [(1, 5)]
    # exact_size = |include| + 1: one candidate per pool market, whatever the seed.
    pool = [0, 2, 3, 6, 7]
    by_seed = [select(y, eligible=pool + [1], include=[1], exact_size=2, n_candidates=1, seed=s)
               for s in (0, 99)]
    assert sorted(treated_sets(by_seed[0])) == [tuple(sorted((1, p))) for p in pool]
    assert treated_sets(by_seed[0]) == treated_sets(by_seed[1])
    # max_treated = |include| + 1: the include set and its extensions only.
    res = select(y, eligible=pool, include=[4], max_treated=2, n_candidates=200)
    assert sorted(treated_sets(res)) == sorted([(4,)] + [tuple(sorted((4, p))) for p in pool])
    # No eligible market, or fewer than a fixed size needs: an empty list.
    assert select(y, eligible=[]) == []
    assert select(y, eligible=[0, 1], exact_size=3, n_candidates=10**12) == []


def test_the_seed_fixes_the_result(y):
    a, b = (select(y, exact_size=3, n_candidates=12, seed=5) for _ in range(2))
    assert treated_sets(a) == treated_sets(b) and [c.score for c in a] == [c.score for c in b]
    c = select(y, exact_size=3, n_candidates=12, seed=6)
    assert set(treated_sets(a)) != set(treated_sets(c))


def test_sampling_ends_when_every_set_is_found(y):
    # A budget of 40 * 10**12 attempts: this returns only because no new pair can exist.
    res = select(y, eligible=[0, 1, 2, 3, 4], exact_size=2, n_candidates=10**12, method="sc")
    assert sorted(treated_sets(res)) == [(i, j) for i in range(5) for j in range(i + 1, 5)]


def test_result_does_not_depend_on_the_worker_count(tmp_path, y):
    np.save(tmp_path / "y.npy", y)
    code = (
        "import sys, numpy as np, tessarix\n"
        f"y = np.load(r'{tmp_path / 'y.npy'}')\n"
        f"r = tessarix.geo_select(y, list(range({N})), 3, 4, 0.1, n_candidates=12, seed=4, method='sc')\n"
        "print([(c.treated, c.score.hex()) for c in r])\n"
    )
    outs = []
    for workers in ("1", "3"):
        env = dict(os.environ, TESSARIX_NUM_THREADS=workers)
        run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
        outs.append(run.stdout)
    assert outs[0] == outs[1]


@pytest.mark.parametrize("method", ["sdid", "sc"])
def test_a_search_gives_each_candidate_the_numbers_it_gets_alone(method):
    # The search forms each window's donor Gram once over all markets and shares it between
    # the candidates; a candidate evaluated on its own forms its own. A panel that grows over
    # time gives its early windows a canonical scale of their own.
    from tessarix import _core

    rng = np.random.default_rng(11)
    n, t = 12, 40
    growth = np.linspace(0.2, 1.0, t)
    panel = rng.lognormal(4.0, 0.8, size=(n, 1)) * growth * (1.0 + 0.05 * rng.normal(size=(n, t)))
    kw = dict(method=method, lookback=20, n_candidates=30, seed=3)
    ranked = tessarix.geo_select(panel, list(range(n)), 3, 4, 0.1, **kw)
    assert len(ranked) == 30
    fields = ("treated", "mde_pct", "power_at_target", "holdout_pct", "pre_fit_rel", "stability_score",
              "confidence", "score")
    for c in ranked:
        (alone,) = _core.geo_evaluate(panel, list(range(n)), 3, 4, 0.1, candidates=[c.treated], **kw)
        assert [getattr(c, f) for f in fields] == [getattr(alone, f) for f in fields]
