"""The data-frame front ends return exactly the numbers of the array call they wrap, whatever
the frame library and the row order, and their labelled tables agree with those numbers."""

import os
import pickle

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import tessarix
from tessarix import _core
from did_reference import mpdta

PROP99 = os.path.join(os.path.dirname(__file__), "..", "data", "california_prop99.csv")


def state(native):
    """The result's full state as bytes: equal bytes mean equal bits in every field."""
    if isinstance(native, list):
        return b"".join(state(x) for x in native)
    return pickle.dumps(native.__reduce__()[1])


def libraries(df):
    """The same long frame as pandas, polars and pyarrow, and as pandas with shuffled rows."""
    shuffled = df.sample(frac=1.0, random_state=7).reset_index(drop=True)
    return {"pandas": df, "polars": pl.from_pandas(df), "pyarrow": pa.Table.from_pandas(df, preserve_index=False),
            "shuffled": shuffled}


def wide(df, unit, time, outcome):
    """The panel by pandas' own pivot, units and times sorted: an oracle for the native pivot."""
    w = df.pivot(index=unit, columns=time, values=outcome).sort_index().sort_index(axis=1)
    return np.ascontiguousarray(w.to_numpy(dtype=np.float64)), list(w.index), list(w.columns)


@pytest.fixture(scope="module")
def prop99():
    df = pd.read_csv(PROP99, sep=";")
    y, states, years = wide(df, "State", "Year", "PacksPerCapita")
    return df, y, states.index("California"), years.index(1989)


@pytest.fixture(scope="module")
def mp():
    y, cohorts, lpop = mpdta()
    import moderndid

    df = moderndid.load_mpdta()
    return (df.to_pandas() if hasattr(df, "to_pandas") else df), y, cohorts, lpop


@pytest.mark.parametrize("lib", ["pandas", "polars", "pyarrow", "shuffled"])
def test_synth_matches_the_array_calls_on_prop99(prop99, lib):
    df, y, ca, t0 = prop99
    data = libraries(df)[lib]
    args = dict(unit="State", time="Year", outcome="PacksPerCapita", treated="California", start=1989)
    sc = tessarix.synth(data, **args, inference="placebo")
    assert state(sc.native) == state(tessarix.fit_sc(y, [ca], t0, placebo=True))
    sdid = tessarix.synth(data, **args, method="sdid", inference="placebo", zeta_scale=0.5)
    assert state(sdid.native) == state(tessarix.fit_sdid(y, [ca], t0, zeta_scale=0.5, inference="placebo"))
    frame = sc.weights
    assert type(frame).__module__.split(".")[0] == type(data).__module__.split(".")[0]


def test_every_synth_method_wraps_its_array_call(prop99):
    df, y, ca, t0 = prop99
    args = dict(unit="State", time="Year", outcome="PacksPerCapita", start=1989)
    two = ["California", "Utah"]
    rows = sorted([ca, list(pd.unique(df.sort_values("State")["State"])).index("Utah")])
    cases = [
        ("asc", {"aug_lambda": 2.0}, "placebo", tessarix.fit_asc, {"aug_lambda": 2.0, "placebo": True}),
        ("fp", {}, None, tessarix.fit_fp, {}),
        ("rsc", {"rank": 3}, "placebo", tessarix.fit_rsc, {"rank": 3, "placebo": True}),
        ("mcnnm", {"lambda_": 5.0}, None, tessarix.fit_mcnnm, {"lambda_": 5.0}),
        ("cpasc", {"mode": "cumulative"}, None, tessarix.fit_cpasc, {"mode": "cumulative"}),
        ("sdid", {}, "jackknife", tessarix.fit_sdid, {"inference": "jackknife"}),
    ]
    for method, options, inference, fn, kwargs in cases:
        res = tessarix.synth(df, treated=two, method=method, inference=inference, **args, **options)
        assert state(res.native) == state(fn(y, rows, t0, **kwargs)), method
        assert res.att == res.native.att


@pytest.mark.parametrize("lib", ["pandas", "polars", "pyarrow", "shuffled"])
def test_did_and_bacon_match_the_array_calls_on_mpdta(mp, lib):
    df, y, cohorts, lpop = mp
    data = libraries(df)[lib]
    args = dict(unit="countyreal", time="year", outcome="lemp", cohort="first.treat")
    for control in ("never", "notyet"):
        cs = tessarix.did(data, **args, covariates=["lpop"], control=control, est_method="reg")
        assert state(cs.native) == state(tessarix.fit_callaway_py(y, cohorts, control=control, covariates=lpop))
        dr = tessarix.did(data, **args, covariates=["lpop"], control=control)  # doubly robust by default
        assert state(dr.native) == state(_core.fit_callaway_py(y, cohorts, control=control, covariates=lpop,
                                                               est_method="dr"))
    assert state(tessarix.did(data, **args, method="sa").native) == state(tessarix.fit_sunab_py(y, cohorts))
    assert state(tessarix.did(data, **args, method="twfe").native) == state(tessarix.fit_twfe_py(y, cohorts))
    assert state(tessarix.bacon(data, **args).native) == state(tessarix.bacon_decompose_py(y, cohorts))


def test_a_treatment_column_gives_the_cohorts_of_the_cohort_column(mp):
    df, y, cohorts, _ = mp
    args = dict(unit="countyreal", time="year", outcome="lemp")
    d = df.assign(treat_on=((df["first.treat"] > 0) & (df["year"] >= df["first.treat"])).astype(int))
    by_treat = tessarix.did(d, **args, treatment="treat_on", bands=True, seed=3)
    assert state(by_treat.native) == state(tessarix.fit_callaway_py(y, cohorts, bands=True, seed=3))


def test_event_study_and_groups_carry_the_native_numbers_and_the_reference_row(mp):
    df, y, cohorts, _ = mp
    res = tessarix.did(df, unit="countyreal", time="year", outcome="lemp", cohort="first.treat",
                       bands=True, seed=1, anticipation=1)
    n = res.native
    es = res.event_study
    ref = es[es["reference"]]
    assert list(ref["event_time"]) == [-2] and list(ref["estimate"]) == [0.0] and ref["se"].isna().all()
    est = es[~es["reference"]]
    assert list(est["event_time"]) == n.event_time and list(est["estimate"]) == n.event_att
    assert list(est["band_lower"]) == n.event_lo and list(est["band_upper"]) == n.event_hi
    half = (est["ci_upper"] - est["ci_lower"]) / 2
    np.testing.assert_allclose(half, 1.959963984540054 * np.asarray(n.event_se), rtol=1e-12)
    groups = res.groups
    assert list(groups["cohort"]) == [2006, 2007]  # the 2004 cohort has no base period with anticipation 1
    assert list(groups["estimate"]) == n.group_att
    tidy = res.to_frame()
    assert tidy["term"][0] == "ATT" and tidy["estimate"][0] == n.att
    assert len(tidy) == 1 + len(n.event_time) + len(n.group_att)


def test_bacon_components_are_labelled_by_cohort_time(mp):
    df, *_ = mp
    res = tessarix.bacon(df, unit="countyreal", time="year", outcome="lemp", cohort="first.treat")
    comp = res.components
    years = sorted(df["year"].unique())
    for row, c in zip(comp.itertuples(), res.native.components):
        assert row.treated == years[c.treated_cohort] and row.weight == c.weight
        assert (c.comparison_cohort is None) == pd.isna(row.comparison)
    np.testing.assert_allclose((comp["weight"] * comp["estimate"]).sum(), res.twfe, rtol=1e-12)


def sales_panel(n_markets=24, n_weeks=52, seed=11):
    rng = np.random.default_rng(seed)
    base = rng.uniform(50, 150, size=(n_markets, 1))
    season = 1 + 0.1 * np.sin(np.arange(n_weeks) * 2 * np.pi / 13)
    y = base * season * (1 + rng.normal(0, 0.03, size=(n_markets, n_weeks)))
    markets = [f"m{k:02d}" for k in range(n_markets)]
    weeks = pd.date_range("2024-01-07", periods=n_weeks, freq="W")
    df = pd.DataFrame({"market": np.repeat(markets, n_weeks), "week": np.tile(weeks, n_markets),
                       "sales": y.reshape(-1)})
    return df, y


@pytest.mark.parametrize("lib", ["pandas", "polars", "pyarrow", "shuffled"])
def test_geo_calls_match_the_array_calls(lib):
    df, y = sales_panel()
    data = libraries(df)[lib]
    args = dict(unit="market", time="week", outcome="sales")
    lifts = [0.0, 0.05, 0.1, 0.2]
    power = tessarix.geo.power(data, **args, treated=["m03", "m07"], test_len=6, lifts=lifts, method="sc")
    assert state(power.native) == state(tessarix.geo_power(y, [3, 7], 6, lifts, method="sc"))
    ens = tessarix.geo.power_ensemble(data, **args, treated="m05", test_len=4, lifts=lifts, lookback=10)
    assert state(ens.native) == state(tessarix.geo_power_ensemble(y, [5], 4, lifts, lookback=10))
    diag = tessarix.geo.diagnose(data, **args, treated=["m03", "m07"], test_len=6)
    assert state(diag.native) == state(tessarix.geo_diagnostics(y, [3, 7], 6))
    sel = tessarix.geo.select(data, **args, eligible=[f"m{k:02d}" for k in range(8)], max_treated=3, test_len=6,
                              target_lift=0.1, method="sc", n_candidates=12, seed=5)
    native = tessarix.geo_select(y, list(range(8)), 3, 6, 0.1, method="sc", n_candidates=12, seed=5)
    assert state(sel.native) == state(native)
    assert sel.best == [f"m{k:02d}" for k in native[0].treated]


def test_power_windows_are_labelled_and_reproduce_the_null_threshold():
    df, y = sales_panel()
    res = tessarix.geo.power(df, unit="market", time="week", outcome="sales", treated=["m01"], test_len=5,
                             lifts=[0.0, 0.1], method="sdid", alpha=0.2)
    w = res.windows
    assert len(w) == res.n_windows
    weeks = sorted(df["week"].unique())
    starts = [weeks.index(s) for s in w["start"]]
    assert starts == list(range(starts[0], starts[0] + len(w))) and starts[-1] == len(weeks) - 5
    assert list(w["end"]) == [weeks[s + 4] for s in starts]
    null = np.abs(w["null_att"].to_numpy())
    assert np.quantile(null, 0.8) == pytest.approx(res.critical_value, rel=1e-12)
    assert np.std(w["null_att"].to_numpy(), ddof=1) == pytest.approx(res.se_null, rel=1e-12)


@pytest.mark.parametrize("method", ["sc", "sdid", "fp", "rsc", "asc", "mcnnm"])
def test_paths_continue_the_counterfactual_and_measure_the_pre_fit(prop99, method):
    df, y, ca, t0 = prop99
    inference = "placebo" if method not in ("mcnnm",) else None
    res = tessarix.synth(df, unit="State", time="Year", outcome="PacksPerCapita", treated="California",
                         start=1989, method=method, inference=inference)
    n, paths = res.native, res.paths
    post = paths[paths["post"]]
    assert list(post["synthetic"]) == n.counterfactual and list(post["gap"]) == n.att_path
    assert list(post["treated"]) == n.treated_post and list(post["Year"]) == list(range(1989, 2001))
    pre_gap = paths.loc[~paths["post"], "gap"].to_numpy()
    np.testing.assert_allclose(paths["treated"] - paths["synthetic"], paths["gap"], rtol=0, atol=1e-9)
    if method in ("sc", "fp", "rsc", "mcnnm"):
        assert np.sqrt(np.mean(pre_gap**2)) == pytest.approx(n.pre_rmspe, rel=1e-12)
    elif method == "sdid":
        assert np.std(pre_gap) == pytest.approx(n.pre_rmspe, rel=1e-12)
    else:  # the augmented pre-fit improves on the plain weights' imbalance that pre_rmspe measures
        assert np.sqrt(np.mean(pre_gap**2)) < n.pre_rmspe
    if inference == "placebo":
        plac = res.placebos
        means = plac[plac["Year"] >= 1989].groupby("State", sort=False)["gap"].mean()
        np.testing.assert_allclose(means.to_numpy(), n.placebo_atts, rtol=1e-12, atol=1e-12)
        assert "California" not in set(plac["State"])


def test_sdid_weights_time_weights_and_intercept_rebuild_its_att(prop99):
    df, y, ca, t0 = prop99
    res = tessarix.synth(df, unit="State", time="Year", outcome="PacksPerCapita", treated="California",
                         start=1989, method="sdid")
    states = sorted(df["State"].unique())
    w = res.weights.set_index("State")["weight"].reindex(states).fillna(0.0).to_numpy()
    lam = res.time_weights["weight"].to_numpy()
    assert list(res.time_weights["Year"]) == list(range(1970, 1989)) and lam.sum() == pytest.approx(1.0)
    control = w @ y
    assert res.intercept == pytest.approx(lam @ (y[ca, :t0] - control[:t0]), rel=1e-12)
    assert res.att == pytest.approx(np.mean(y[ca, t0:] - control[t0:]) - res.intercept, rel=1e-12)
    np.testing.assert_allclose(res.paths["synthetic"], control + res.intercept, rtol=1e-13)


def test_cpasc_paths_pool_the_treated_units_with_their_weights(prop99):
    df, y, ca, t0 = prop99
    res = tessarix.synth(df, unit="State", time="Year", outcome="PacksPerCapita", treated=["California", "Utah"],
                         start=1989, method="cpasc", inference="conformal")
    w = res.weights
    assert w["weight"].sum() == pytest.approx(1.0)
    post = res.paths[res.paths["post"]]
    assert post["gap"].mean() == pytest.approx(res.att, rel=1e-12)
    assert res.p_value == res.native.p_value and res.se is None
