"""Every picture draws what its result holds: the lines' data are the result's own paths, event
study and curve, and the markers sit where the numbers say."""

import os

import numpy as np
import pandas as pd
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import tessarix  # noqa: E402
from test_frontends import PROP99, sales_panel  # noqa: E402


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


@pytest.fixture(scope="module")
def prop99_fit():
    df = pd.read_csv(PROP99, sep=";")
    return tessarix.synth(df, unit="State", time="Year", outcome="PacksPerCapita", treated="California",
                          start=1989, method="sdid", inference="placebo")


def line(ax, label):
    return next(ln for ln in ax.lines if ln.get_label() == label)


def test_synth_pictures_draw_the_paths_placebos_and_weights(prop99_fit):
    res = prop99_fit
    paths = res.paths
    ax = res.plot()
    np.testing.assert_array_equal(line(ax, "treated").get_ydata(), paths["treated"])
    np.testing.assert_array_equal(line(ax, "synthetic").get_ydata(), paths["synthetic"])
    np.testing.assert_array_equal(line(ax, "treated").get_xdata(), paths["Year"])
    assert line(ax, "start (1989)").get_xdata()[0] == 1989
    ax = res.plot("gap")
    np.testing.assert_array_equal(ax.lines[0].get_ydata(), paths["gap"])
    placebos = res.placebos
    ax = res.plot("placebos")
    grey = [ln for ln in ax.lines if ln.get_color() == "0.7"]
    assert len(grey) == placebos["State"].nunique() == len(res.native.placebo_atts)
    first = placebos[placebos["State"] == placebos["State"].iloc[0]]["gap"].to_numpy()
    np.testing.assert_array_equal(grey[0].get_ydata(), first)
    filtered = res.plot("placebos", max_pre_mspe_ratio=2.0)
    assert 0 < len([ln for ln in filtered.lines if ln.get_color() == "0.7"]) < len(grey)
    ax = res.plot("weights", top=5)
    bars = sorted(p.get_width() for p in ax.patches)
    assert bars == sorted(res.weights["weight"].nlargest(5))
    with pytest.raises(ValueError, match="kind='spaghetti' is not one of"):
        res.plot("spaghetti")


def test_event_study_picture_draws_the_estimates_band_and_reference():
    import moderndid

    df = moderndid.load_mpdta()
    df = df.to_pandas() if hasattr(df, "to_pandas") else df
    res = tessarix.did(df, unit="countyreal", time="year", outcome="lemp", cohort="first.treat", bands=True, seed=2)
    es = res.event_study
    ax = res.plot()
    est = es[~es["reference"]]
    container = ax.containers[0]  # the errorbar: its data line holds the estimates
    np.testing.assert_array_equal(container.lines[0].get_ydata(), est["estimate"])
    np.testing.assert_array_equal(container.lines[0].get_xdata(), est["event_time"])
    ref = line(ax, "reference period (-1)")
    assert list(ref.get_xdata()) == [-1] and list(ref.get_ydata()) == [0.0]
    band = ax.collections[0].get_paths()[0].vertices
    assert band[:, 1].min() == pytest.approx(min(res.native.event_lo))
    assert band[:, 1].max() == pytest.approx(max(res.native.event_hi))
    bres = tessarix.bacon(df, unit="countyreal", time="year", outcome="lemp", cohort="first.treat")
    ax = bres.plot()
    points = np.vstack([c.get_offsets() for c in ax.collections])
    comps = bres.components
    assert sorted(map(tuple, points)) == sorted(zip(comps["weight"], comps["estimate"]))
    assert line(ax, f"TWFE {bres.twfe:.4g}").get_ydata()[0] == bres.twfe


def test_power_picture_marks_the_mde_on_the_target_and_dates_the_history():
    df, _ = sales_panel()
    res = tessarix.geo.power(df, unit="market", time="week", outcome="sales", treated=["m03", "m07"], test_len=6,
                             lifts=[0.0, 0.02, 0.05, 0.1, 0.2], method="sc", target_power=0.7)
    ax = res.plot()
    curve = res.curve
    np.testing.assert_allclose(ax.lines[0].get_xdata(), 100 * curve["lift"])
    np.testing.assert_array_equal(ax.lines[0].get_ydata(), curve["power"])
    mde = next(ln for ln in ax.lines if ln.get_label().startswith("MDE"))
    assert mde.get_xdata()[0] == pytest.approx(100 * res.mde) and mde.get_ydata()[0] == 0.7
    ax = res.plot("history")
    weeks = sorted(df["week"].unique())
    xs = ax.lines[0].get_xdata()
    assert np.asarray(xs).dtype.kind == "M" and pd.Timestamp(xs[0]) == weeks[0]
    sel = tessarix.geo.select(df, unit="market", time="week", outcome="sales", max_treated=2, test_len=6,
                              target_lift=0.1, method="sc", eligible=["m01", "m02", "m03", "m04"], n_candidates=6)
    ax = sel.plot(top=3)
    assert [p.get_width() for p in ax.patches][::-1] == [c.power_at_target for c in sel.native[:3]]
    assert [t.get_text() for t in ax.get_yticklabels()][-1] == ", ".join(sel.best)


def test_plotting_without_matplotlib_says_how_to_install_it():
    code = ("import sys; sys.modules['matplotlib'] = None\n"
            "import pandas as pd, tessarix\n"
            f"df = pd.read_csv({PROP99!r}, sep=';')\n"
            "r = tessarix.synth(df, unit='State', time='Year', outcome='PacksPerCapita', treated='California', start=1989)\n"
            "try:\n    r.plot()\nexcept ImportError as e:\n    print(e)\n")
    import subprocess
    import sys

    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         cwd=os.path.dirname(__file__)).stdout
    assert out.strip() == 'plotting needs matplotlib: pip install "tessarix[plot]"'
