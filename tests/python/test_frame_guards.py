"""Mistakes that would give a wrong number without a word from the array functions raise a
clear error (or a warning) from the front ends, naming the argument and the fix."""

import re
import subprocess
import sys

import numpy as np
import pandas as pd
import polars as pl
import pytest

import tessarix
from tessarix.frames import DataError


def panel(n_units=6, n_times=8, seed=0):
    """A small long panel: units u0..u5, years 2000..2007, cohort column (0 = never)."""
    rng = np.random.default_rng(seed)
    units = [f"u{k}" for k in range(n_units)]
    years = list(range(2000, 2000 + n_times))
    cohort = {u: (2004 if k < 2 else 2006 if k < 3 else 0) for k, u in enumerate(units)}
    rows = [(u, t, float(rng.normal() + k), cohort[u]) for k, u in enumerate(units) for t in years]
    return pd.DataFrame(rows, columns=["unit", "year", "y", "first"])


SYNTH = dict(unit="unit", time="year", outcome="y", treated="u0", start=2004)
DID = dict(unit="unit", time="year", outcome="y", cohort="first")


def dropped(df, k):
    return df.drop(index=k).reset_index(drop=True)


def with_value(df, col, k, v):
    out = df.copy()
    out[col] = out[col].astype(object) if isinstance(v, str) else out[col]
    out.loc[k, col] = v
    return out


CASES = [
    ("unbalanced", lambda d: tessarix.synth(dropped(d, 13), **SYNTH),
     r"unbalanced: 1 of 48 \(unit, time\) cells have no row, the first unit 'u1' at year=2005"),
    ("duplicate row", lambda d: tessarix.synth(pd.concat([d, d.iloc[[9]]]), **SYNTH),
     r"more than one row for unit 'u1' at year=2001 \(rows 9 and 48\)"),
    ("text outcome", lambda d: tessarix.synth(d.assign(y=d["y"].astype(str)), **SYNTH),
     r"outcome='y' must be a numeric column"),
    ("missing outcomes", lambda d: tessarix.synth(with_value(with_value(d, "y", 3, np.nan), "y", 20, np.nan), **SYNTH),
     r"outcome='y' is missing or not finite in 2 of 48 cells: \('u0', 2003\), \('u2', 2004\)"),
    ("unknown treated", lambda d: tessarix.synth(d, **{**SYNTH, "treated": "U0"}),
     r"treated='U0' is not a unit of column 'unit' \(did you mean 'u0'"),
    ("start not a time", lambda d: tessarix.synth(d, **{**SYNTH, "start": 2003.5}),
     r"start=2003.5 is not one of the time values of 'year' \(2000 to 2007, 8 periods\)"),
    ("one pre-period", lambda d: tessarix.synth(d, **{**SYNTH, "start": 2001}),
     r"start=2001 leaves 1 pre-period\(s\) before it; a synthetic control needs at least 2"),
    ("misspelt column", lambda d: tessarix.synth(d, **{**SYNTH, "outcome": "Y"}),
     r"outcome='Y' is not a column of the data \(did you mean 'y'\?\)"),
    ("cohort not a time", lambda d: tessarix.did(with_value(d, "first", slice(0, 7), 1999), **DID),
     r"cohort='first' holds 1999 for unit 'u0', which is not one of the time values of 'year'"),
    ("cohort varies in a unit", lambda d: tessarix.did(with_value(d, "first", 2, 2006), **DID),
     r"cohort='first' must hold one value per unit, but it varies within unit 'u0' \(row 2\)"),
    ("treatment switches off", lambda d: tessarix.did(
        d.assign(on=((d["first"] > 0) & (d["year"] >= d["first"]) & (d["year"] != 2005)).astype(int)),
        unit="unit", time="year", outcome="y", treatment="on"),
     r"treatment='on' switches off for unit 'u0': it is 1 from year=2004 but 0 at 2005"),
    ("test window too long", lambda d: tessarix.geo.diagnose(d, unit="unit", time="year", outcome="y",
                                                             treated="u1", test_len=7),
     r"test_len=7 leaves 1 pre-period\(s\) of the 8 in 'year'; a design needs at least 2 before the test"),
    ("both cohort and treatment", lambda d: tessarix.did(d, **DID, treatment="first"),
     r"give exactly one of cohort="),
]


@pytest.mark.parametrize("name, call, message", CASES, ids=[c[0] for c in CASES])
def test_each_guard_names_the_problem(name, call, message):
    with pytest.raises(ValueError, match=message):
        call(panel())


def test_guards_hold_for_polars_frames_too():
    d = pl.from_pandas(panel())
    with pytest.raises(DataError, match="unbalanced: 1 of 48"):
        tessarix.synth(d.filter((pl.col("unit") != "u3") | (pl.col("year") != 2002)), **SYNTH)
    with pytest.raises(DataError, match=r"is missing or not finite in 1 of 48 cells"):
        tessarix.did(d.with_columns(y=pl.when((pl.col("unit") == "u5") & (pl.col("year") == 2007))
                                    .then(None).otherwise(pl.col("y"))), **DID)


def test_cohorts_are_time_values_so_positions_cannot_be_misread():
    # The same design with cohorts coded as years, as 0/NaN/null/after-the-end for never treated,
    # gives exactly the array call with 0-based positions; position-coded cohorts (2, 3, 4) are
    # refused rather than read as years.
    d = panel()
    y = d.pivot(index="unit", columns="year", values="y").to_numpy()
    expected = tessarix.fit_callaway_py(np.ascontiguousarray(y), [4, 4, 6, -1, -1, -1])
    for never in (0, np.nan, None, 2031):
        coded = d.assign(first=d["first"].astype(object).where(d["first"] != 0, never))
        coded["first"] = pd.to_numeric(coded["first"])
        assert tessarix.did(coded, **DID).native.att == expected.att
    with pytest.raises(DataError, match="holds 4"):
        tessarix.did(d.assign(first=d["first"].map({2004: 4, 2006: 6, 0: 0})), **DID)


def test_lifts_in_percent_draw_a_warning():
    d = panel(n_units=8, n_times=20)
    args = dict(unit="unit", time="year", outcome="y", treated="u3", test_len=4, method="sc")
    with pytest.warns(UserWarning, match=r"lifts are fractions of the baseline: 5 means \+500 %; for \+5 % pass 0.05"):
        tessarix.geo.power(d.assign(y=d["y"] + 10), lifts=[0, 5, 10], **args)


def test_unknown_options_and_methods_are_refused():
    d = panel()
    with pytest.raises(TypeError, match=r"synth\(method='sc'\) got an unexpected option 'zeta_scale'"):
        tessarix.synth(d, **SYNTH, zeta_scale=1.0)
    with pytest.raises(ValueError, match=r"inference='jackknife' is not available for method='sc'"):
        tessarix.synth(d, **SYNTH, inference="jackknife")
    with pytest.raises(ValueError, match="method='xyz' is not one of cs, sa, twfe"):
        tessarix.did(d, **DID, method="xyz")
    with pytest.raises(TypeError, match="data must be a data frame"):
        tessarix.synth(np.zeros((3, 3)), **SYNTH)


def test_importing_the_package_loads_no_numpy_or_frame_library():
    code = ("import sys, tessarix\n"
            "print(sorted(m for m in ('numpy', 'narwhals', 'pandas', 'polars', 'pyarrow') if m in sys.modules))\n"
            "tessarix.synth\n"
            "print('narwhals' in sys.modules, 'pandas' in sys.modules)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == ["[]", "True False"]


@pytest.mark.parametrize("tz", ["UTC", "US/Eastern"])
def test_a_time_zone_aware_start_finds_its_period(tz):
    # A zone-aware time column arrives as UTC instants; a start in the column's own zone is
    # the same instant, so it names the same period as the naive start does.
    y = np.random.default_rng(0).normal(size=(5, 8)).cumsum(axis=1)
    times = pd.date_range("2000-01-01", periods=8, freq="YS", tz=tz)
    df = pd.DataFrame({"u": np.repeat(np.arange(5), 8), "t": np.tile(times, 5), "y": y.ravel()})
    res = tessarix.synth(df, unit="u", time="t", outcome="y", treated=0, start=pd.Timestamp("2005-01-01", tz=tz))
    naive = df.assign(t=df["t"].dt.tz_convert(None))
    assert res.design.t0 == 5
    assert res.att == tessarix.synth(naive, unit="u", time="t", outcome="y", treated=0,
                                     start=times[5].tz_convert(None)).att
