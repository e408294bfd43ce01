"""Validation order and messages of the staggered-adoption entry points, and the designs they
refuse because nothing would be identified."""

import numpy as np
import pytest

import tessarix

NO_COHORT = ("{}: no estimable cohort. Every unit is either never treated or treated from "
             "period 0 (no pre-period), so no treatment effect is identified.")
SUNAB_NEVER = ("Sun-Abraham needs at least one never-treated unit (treat_start < 0, or at/after "
               "the last period) as a control. The interaction-weighted estimator uses "
               "never-treated units as the reference group.")
CS_NEVER = ("Callaway-Sant'Anna with control='never' needs at least one never-treated unit "
            "(treat_start < 0, or at/after the last period) as a control. If every unit "
            "eventually adopts, pass control='notyet' to compare against not-yet-treated units "
            "instead.")
BACON_ZERO = ("Goodman-Bacon: units already treated at period 0 have no pre-period and cannot "
              "enter the decomposition, which would break the `twfe == sum(weight * estimate)` "
              "identity against the full-panel TWFE. Drop those units (or start the panel "
              "earlier) and re-run.")


@pytest.fixture
def y():
    rng = np.random.default_rng(3)
    return rng.normal(size=(6, 8)).cumsum(axis=1)


def message(fn, *args, **kwargs):
    with pytest.raises(ValueError) as err:
        fn(*args, **kwargs)
    return str(err.value)


@pytest.mark.parametrize("fn, name", [
    (tessarix.fit_callaway_py, "Callaway-Sant'Anna"),
    (tessarix.fit_sunab_py, "Sun-Abraham"),
    (tessarix.bacon_decompose_py, "Goodman-Bacon"),
])
def test_shared_panel_checks_in_order(fn, name, y):
    assert message(fn, np.ones((0, 4)), []) == "y must be a non-empty N×T panel; got shape (0, 4)"
    bad = y.copy()
    bad[1, 2] = -np.inf
    assert message(fn, bad, [1]) == "y contains NaN or inf; tessarix requires a complete, finite panel"
    assert message(fn, y, [2] * 5) == "treat_start has 5 entries but the panel has 6 units"
    # -1, T and far past T all mean never treated; 0 is treated from the first period.
    for cohorts in ([-1, 8, 13, -1, -5, 2**40], [0] * 6, [0, -1, 0, 8, 0, -1]):
        assert message(fn, y, cohorts) == NO_COHORT.format(name)


@pytest.mark.parametrize("layout", ["C", "F", "strided"])
def test_non_finite_cell_found_anywhere_in_the_copy(layout):
    # The finiteness test rides along the panel copy: rows come in groups of eight plus a
    # tail, and other layouts in blocks; a bad cell must be found wherever it sits.
    base = np.random.default_rng(4).normal(size=(38, 6))
    for cell in [(0, 0), (9, 2), (15, 5), (17, 1), (18, 4)]:
        for bad in (np.nan, np.inf, -np.inf):
            y = base.copy()
            y[2 * cell[0] if layout == "strided" else cell[0], cell[1]] = bad
            view = {"C": lambda a: a[:19], "F": lambda a: np.asfortranarray(a[:19]),
                    "strided": lambda a: a[::2]}[layout](y)
            assert message(tessarix.fit_callaway_py, view, [2] * 10 + [-1] * 9) == (
                "y contains NaN or inf; tessarix requires a complete, finite panel")
    view = {"C": base[:19], "F": np.asfortranarray(base[:19]), "strided": base[::2]}[layout]
    assert tessarix.fit_callaway_py(view, [2] * 10 + [-1] * 9).att == (
        tessarix.fit_callaway_py(np.ascontiguousarray(view), [2] * 10 + [-1] * 9).att)


def test_callaway_checks_in_order(y):
    cs = tessarix.fit_callaway_py
    # The control group is examined before the panel.
    assert message(cs, np.ones((0, 4)), [], control="NotYet") == (
        "unknown control group 'NotYet' (expected never/notyet)")
    assert message(cs, y, [2, 2, 4, -1, -1, -1], level=1.0, n_reps=0) == "level must be in (0, 1); got 1"
    # n_reps is checked even without bands.
    assert message(cs, y, [2, 2, 4, -1, -1, -1], n_reps=0, anticipation=9) == "n_reps must be >= 1; got 0"
    assert message(cs, y, [1, 1, 2, 2, -1, -1], anticipation=2) == (
        "anticipation=2: no cohort has a usable base period              (need treat_start >= 3)")
    assert message(cs, y, [1, 1, 2, 2, -1, -1], anticipation=2**64 - 1) == (
        "anticipation=18446744073709551615: no cohort has a usable base period              "
        "(need treat_start >= 18446744073709551616)")
    cs(y, [1, 1, 3, 3, -1, -1], anticipation=2)
    assert message(cs, y, [2, 2, 4, 4, 5, 5], covariates=np.ones((2, 1))) == CS_NEVER
    for control in ("notyet", "not_yet_treated"):
        cs(y, [2, 2, 4, 4, 5, 5], control=control)
    cohorts = [2, 2, 4, -1, -1, -1]
    assert message(cs, y, cohorts, covariates=np.ones((5, 2))) == (
        "covariates must have one row per unit (6); got 5")
    x = np.ones((6, 2))
    x[3, 1] = np.nan
    assert message(cs, y, cohorts, covariates=x) == (
        "covariates contain NaN or inf; provide complete, finite covariates")
    # No covariate columns at all is the unadjusted estimator.
    plain = cs(y, cohorts)
    assert cs(y, cohorts, covariates=np.ones((6, 0))).att == pytest.approx(plain.att, abs=1e-12)


def test_sunab_and_bacon_specific_checks(y):
    assert message(tessarix.fit_sunab_py, y, [2, 2, 4, 4, 5, 5]) == SUNAB_NEVER
    assert message(tessarix.bacon_decompose_py, y, [2, 0, 4, -1, -1, -1]) == BACON_ZERO


def test_unidentified_designs_are_refused(y):
    # Every unit adopts at period 3: with not-yet-treated controls no post-treatment cell has
    # a control, so there is no effect to report (rather than an ATT and SE of 0).
    assert message(tessarix.fit_callaway_py, y, [3] * 6, control="notyet") == (
        "Callaway-Sant'Anna: no post-treatment group-time cell has a control unit (every unit "
        "has adopted or is anticipating by then), so no treatment effect is identified.")
    # One cohort and no never-treated units: the TWFE coefficient the decomposition would
    # split is not identified, as fit_twfe_py says for the same panel.
    assert message(tessarix.bacon_decompose_py, y, [3] * 6) == (
        "Goodman-Bacon: every unit adopts at the same period and there are no control units, "
        "so the unit and time fixed effects absorb the treatment indicator entirely.")
    # Two adoption periods without never-treated units are identified for all three.
    cohorts = [3, 3, 3, 5, 5, 5]
    d = tessarix.bacon_decompose_py(y, cohorts)
    assert [c.kind for c in d.components] == ["earlier_vs_later", "later_vs_earlier_forbidden"]
    assert d.twfe == pytest.approx(tessarix.fit_twfe_py(y, cohorts).att, rel=1e-10)
    assert tessarix.fit_callaway_py(y, cohorts, control="notyet").event_time == [-3, -2, 0, 1]


def test_conversion_errors():
    y = np.zeros((4, 5))
    with pytest.raises(TypeError, match="^argument 'bands': "):
        tessarix.fit_callaway_py(y, [1, -1, -1, -1], bands=1)
    with pytest.raises(TypeError, match="^argument 'control': "):
        tessarix.fit_callaway_py(y, [1, -1, -1, -1], control=None)
    with pytest.raises(TypeError, match="^argument 'covariates': "):
        tessarix.fit_callaway_py(y, [1, -1, -1, -1], covariates=[[1.0]] * 4)
