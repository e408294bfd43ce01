"""Geo design in money terms: the investment to detect the MDE against the power analysis's own
cumulative MDE and against the power entry point run on each candidate, the budget ranking,
and the refusal of amounts that are not positive."""

import math

import numpy as np
import pandas as pd
import polars as pl
import pytest

import tessarix
from test_frontends import sales_panel

ARGS = dict(unit="market", time="week", outcome="sales")
COST = 2.5


@pytest.fixture(scope="module")
def sales():
    return sales_panel()


@pytest.mark.parametrize("scale", [1.0, 2.0 ** 600, 3e-200])
def test_investment_is_the_cumulative_mde_times_the_cost_to_the_bit(sales, scale):
    df, y = sales
    df = df.assign(sales=df["sales"] * scale)
    res = tessarix.geo.power(df, **ARGS, treated=["m03", "m07", "m11"], test_len=6, lifts=[0, 0.05, 0.1, 0.2],
                             method="sc", cost_per_unit=COST)
    assert res.native.mde_pct is not None
    assert res.investment == res.native.mde_cumulative * COST
    # The spend of a lift, as the curve reports it, at the MDE is the analysis's own figure:
    # the treated level is summed in the analysis's order.
    assert res.investment_at([res.native.mde_pct])[0] == res.investment
    # Against the mean level written another way: linear in the lift and the test length.
    level = (y[[3, 7, 11]] * scale).mean(axis=1).sum()
    curve = res.to_frame()
    np.testing.assert_allclose(curve["investment"], level * curve["lift"] * 6 * COST, rtol=1e-13)


def test_without_a_cost_nothing_changes_and_no_mde_has_no_investment(sales):
    df, y = sales
    plain = tessarix.geo.power(df, **ARGS, treated="m03", test_len=6, lifts=[0, 0.1], method="sc")
    assert plain.investment is None and "investment" not in plain.to_frame().columns
    assert "investment" not in plain.summary()
    # Lifts too small to reach the target power: no MDE, so no spend shows an effect.
    tiny = tessarix.geo.power(df, **ARGS, treated="m03", test_len=6, lifts=[0, 1e-6], method="sc",
                              cost_per_unit=COST)
    assert tiny.native.mde_pct is None and tiny.investment is None
    assert "investment to detect the MDE: - (no MDE)" in tiny.summary()


def test_selection_investments_equal_the_power_analysis_of_each_candidate(sales):
    df, _ = sales
    target = 0.1
    sel = tessarix.geo.select(df, **ARGS, max_treated=3, test_len=6, target_lift=target, method="sc",
                              n_candidates=8, seed=3, cost_per_unit=COST)
    lifts = [0.0, 0.5 * target, target, 1.5 * target, 2.0 * target]
    table = sel.candidates
    for row, cand in zip(table.itertuples(), sel.ranked):
        power = tessarix.geo.power(df, **ARGS, treated=list(row.markets), test_len=6, lifts=lifts, method="sc",
                                   cost_per_unit=COST)
        assert power.native.mde_pct == cand.mde_pct
        if power.investment is None:
            assert math.isnan(row.investment)
        else:
            assert row.investment == power.investment
            assert row.mde_cumulative == pytest.approx(power.native.mde_cumulative, rel=1e-15)


def test_a_budget_reorders_without_dropping_and_marks_what_it_cannot_buy(sales):
    df, _ = sales
    args = dict(**ARGS, max_treated=3, test_len=6, target_lift=0.1, method="sc", n_candidates=12, seed=5)
    free = tessarix.geo.select(df, **args, cost_per_unit=COST)
    spend = [v for v in free.investments if v is not None]
    budget = float(np.median(spend))
    capped = tessarix.geo.select(df, **args, cost_per_unit=COST, budget=budget)
    assert [c.treated for c in capped.native] == [c.treated for c in free.native]  # same search
    table = capped.to_frame()
    within = table["within_budget"].tolist()
    assert sorted(map(tuple, table["markets"])) == sorted(map(tuple, free.to_frame()["markets"]))
    assert within == sorted(within, reverse=True) and 0 < sum(within) < len(within)
    for part in (True, False):  # each part keeps the score order
        scores = table.loc[table["within_budget"] == part, "score"].tolist()
        assert scores == sorted(scores, reverse=True)
    inv = table["investment"]
    assert (inv[table["within_budget"]] <= budget).all()
    assert ((inv[~table["within_budget"]] > budget) | inv[~table["within_budget"]].isna()).all()
    assert capped.best == list(table["markets"].iloc[0])
    assert "over budget" in capped.summary(top=len(within))
    assert table["rank"].tolist() == list(range(1, len(within) + 1))


def test_polars_callers_get_the_money_columns_in_polars(sales):
    df, _ = sales
    sel = tessarix.geo.select(pl.from_pandas(df), **ARGS, max_treated=2, test_len=6, target_lift=0.1, method="sc",
                              n_candidates=4, cost_per_unit=COST, budget=1e12)
    out = sel.to_frame()
    assert isinstance(out, pl.DataFrame)
    assert out.schema["investment"] == pl.Float64
    # A budget beyond every spend leaves out only the sets without an MDE.
    assert out["within_budget"].to_list() == out["investment"].is_not_null().to_list()


BAD = [
    (dict(cost_per_unit=0.0), ValueError, "cost_per_unit must be finite and > 0; got 0"),
    (dict(cost_per_unit=-1.0), ValueError, "cost_per_unit must be finite and > 0; got -1"),
    (dict(cost_per_unit=float("nan")), ValueError, "cost_per_unit must be finite and > 0; got nan"),
    (dict(cost_per_unit=float("inf")), ValueError, "cost_per_unit must be finite and > 0; got inf"),
    (dict(cost_per_unit="2"), TypeError, "cost_per_unit must be a number; got str"),
    (dict(cost_per_unit=True), TypeError, "cost_per_unit must be a number; got bool"),
    (dict(cost_per_unit=1.0, budget=0), ValueError, "budget must be finite and > 0; got 0"),
    (dict(budget=100.0), ValueError, "budget caps the investment a test needs, which takes cost_per_unit"),
]


@pytest.mark.parametrize("kwargs, error, message", BAD)
def test_amounts_that_are_not_positive_are_refused(sales, kwargs, error, message):
    df, _ = sales
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        tessarix.geo.select(df, **ARGS, max_treated=2, test_len=6, target_lift=0.1, method="sc",
                            n_candidates=2, **kwargs)
    if "budget" not in kwargs:
        with pytest.raises(error, match=message):
            tessarix.geo.power(df, **ARGS, treated="m03", test_len=6, lifts=[0, 0.1], method="sc", **kwargs)


def test_the_power_plot_reads_the_lift_axis_in_money(sales):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    df, _ = sales
    res = tessarix.geo.power(df, **ARGS, treated=["m03", "m07"], test_len=6, lifts=[0, 0.05, 0.1, 0.2], method="sc",
                             cost_per_unit=COST)
    ax = res.plot()
    top = [a for a in ax.child_axes if "investment" in a.get_xlabel()]
    assert len(top) == 1
    # The top axis maps a lift in % to its spend: the MDE lands on the reported investment.
    forward = top[0]._functions[0]
    assert forward(100.0 * res.mde) == pytest.approx(res.investment, rel=1e-12)
    assert any(f"investment {res.investment:.4g}" in t.get_text() for t in ax.get_legend().get_texts())


def test_the_command_line_takes_the_cost_and_the_budget(sales, tmp_path):
    from test_cli import run

    df, _ = sales
    path = tmp_path / "sales.csv"
    df.to_csv(path, index=False)
    done = run(["select", path, "--unit", "market", "--time", "week", "--outcome", "sales", "--max-treated", 2,
                "--test-len", 6, "--target-lift", 0.1, "--option", "method=sc", "--option", "n_candidates=6",
                "--cost-per-unit", COST, "--budget", 5000, "--out", tmp_path / "select"])
    assert done.returncode == 0, done.stderr
    sel = tessarix.geo.select(df, **ARGS, max_treated=2, test_len=6, target_lift=0.1, method="sc", n_candidates=6,
                              cost_per_unit=COST, budget=5000)
    written = pd.read_csv(tmp_path / "select" / "candidates.csv")
    expected = sel.to_frame()
    assert written["within_budget"].tolist() == expected["within_budget"].tolist()
    np.testing.assert_allclose(written["investment"], expected["investment"], rtol=1e-15)
