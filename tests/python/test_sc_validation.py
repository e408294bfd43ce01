"""Validation order and messages of the synthetic-control entry points."""

import numpy as np
import pytest

import tessarix


@pytest.fixture
def y():
    rng = np.random.default_rng(0)
    return np.cumsum(rng.normal(size=(6, 10)), axis=1) + 10.0


def value_error(fn, *args, **kwargs):
    with pytest.raises(ValueError) as err:
        fn(*args, **kwargs)
    return str(err.value)


SC_FAMILY = [tessarix.fit_sc, tessarix.fit_asc, tessarix.fit_fp, tessarix.fit_rsc, tessarix.fit_sdid]
WITH_BOUNDS = [tessarix.fit_sc, tessarix.fit_asc, tessarix.fit_fp, tessarix.fit_sdid]


@pytest.mark.parametrize("fit", SC_FAMILY)
def test_shared_panel_checks_in_order(fit, y):
    assert value_error(fit, np.ones((0, 5)), [0], 2) == "y must be a non-empty N×T panel; got shape (0, 5)"
    bad = y.copy()
    bad[4, 1] = np.inf
    # Finiteness comes before the treated list, which comes before the treatment time.
    assert value_error(fit, bad, [], 0) == "y contains NaN or inf; tessarix requires a complete, finite panel"
    assert value_error(fit, y, [], 0) == "`treated` must list at least one treated unit index"
    assert value_error(fit, y, [6], 2) == "treated unit index 6 out of range [0, 6)"
    assert value_error(fit, y, [1, 1, 9], 2) == "treated unit index 1 listed more than once"
    assert value_error(fit, y, list(range(6)), 2) == (
        "every unit is treated; need at least one never-treated unit as a donor/control")
    for t in (0, 10):
        assert value_error(fit, y, [0], t) == (
            f"treat_time {t} must be in [1, 10) so there is at least one pre- and one post-period")


@pytest.mark.parametrize("fit", WITH_BOUNDS)
def test_weight_bounds_checked_last(fit, y):
    assert value_error(fit, y, [0], 5, level=1.0, min_weight=0.9) == "level must be in (0, 1); got 1"
    assert value_error(fit, y, [0], 5, min_weight=0.5) == (
        "min_weight=0.5 is infeasible with 5 donors: every donor at that floor would need total "
        "weight 2.5000 > 1. Use min_weight <= 0.2000 (= 1/5).")
    assert value_error(fit, y, [0, 1, 2], 5, max_weight=0.25) == (
        "max_weight=0.25 is infeasible with 3 donors: capping every donor there allows total "
        "weight 0.7500 < 1. Use max_weight >= 0.3333 (= 1/3).")
    assert value_error(fit, y, [0], 5, max_weight=0.0) == "max_weight must be in (0, 1]; got 0"
    assert value_error(fit, y, [0], 5, min_weight=-0.1) == "min_weight must be in [0, 1]; got -0.1"
    assert value_error(fit, y, [0], 5, min_weight=0.6, max_weight=0.4) == (
        "min_weight (0.6) must not exceed max_weight (0.4)")
    # Exactly 1/3 on both sides is feasible for 3 donors.
    res = fit(y, [0, 1, 2], 5, min_weight=1 / 3, max_weight=1 / 3)
    assert res.weights == pytest.approx([1 / 3] * 3, abs=1e-12)


def test_per_function_checks(y):
    assert value_error(tessarix.fit_sc, y, [0], 5, ridge=-1) == "ridge must be finite and >= 0; got -1"
    assert value_error(tessarix.fit_sc, y, [0], 5, ridge=1, penalty=np.nan) == (
        "penalty must be finite and >= 0; got NaN")
    # level is validated even without placebo inference.
    assert value_error(tessarix.fit_sc, y, [0], 5, level=0) == "level must be in (0, 1); got 0"
    assert value_error(tessarix.fit_fp, y, [0], 5, ridge=-np.inf) == "ridge must be finite and >= 0; got -inf"
    assert value_error(tessarix.fit_asc, y, [0], 5, sc_ridge=-0.5) == "sc_ridge must be finite and >= 0; got -0.5"
    assert value_error(tessarix.fit_asc, y, [0], 5, aug_lambda=0.0) == "aug_lambda must be finite and > 0; got 0"
    tessarix.fit_asc(y, [0], 5, aug_lambda=None)
    assert value_error(tessarix.fit_rsc, y, [0], 5, ridge=-1, rank=0) == "ridge must be finite and >= 0; got -1"
    assert value_error(tessarix.fit_rsc, y, [0], 5, energy=1.0, rank=0) == "energy must be in (0, 1); got 1"
    assert value_error(tessarix.fit_rsc, y, [0], 5, rank=0) == "rank must be >= 1; got 0"
    # fit_rsc has no weight bounds to check.
    with pytest.raises(TypeError, match="unexpected keyword argument 'min_weight'"):
        tessarix.fit_rsc(y, [0], 5, min_weight=0.9)
    assert value_error(tessarix.fit_sdid, y, [0], 5, zeta_scale=-1) == "zeta_scale must be finite and >= 0; got -1"
    # The inference choice is examined after the numeric checks and is case-sensitive.
    assert value_error(tessarix.fit_sdid, y, [0], 5, level=2, inference="Placebo") == "level must be in (0, 1); got 2"
    assert value_error(tessarix.fit_sdid, y, [0], 5, inference="Placebo") == (
        "unknown SDID inference 'Placebo' (expected none/placebo/jackknife)")
    assert value_error(tessarix.fit_sdid, y, [0], 5, inference="jackknife", min_weight=0.9) == (
        "the SDID jackknife needs >= 2 treated units; use inference='placebo' for a single treated unit")


def test_conversion_errors_are_type_errors(y):
    with pytest.raises(TypeError, match="^argument 'y': expected a 2-D float64 numpy.ndarray, got 2-D int64 ndarray$"):
        tessarix.fit_sc(y.astype(np.int64), [0], 5)
    with pytest.raises(TypeError, match="^argument 'placebo': expected a bool, got int$"):
        tessarix.fit_sc(y, [0], 5, placebo=1)
    with pytest.raises(TypeError, match="^argument 'ridge': must be real number, not NoneType$"):
        tessarix.fit_sc(y, [0], 5, ridge=None)
    with pytest.raises(TypeError, match="^argument 'inference': expected a str, got NoneType$"):
        tessarix.fit_sdid(y, [0], 5, inference=None)
    with pytest.raises(OverflowError):
        tessarix.fit_sc(y, [0], -1)
    # Conversion of every argument precedes validation: a bad flag wins over a bad panel.
    with pytest.raises(TypeError, match="argument 'placebo'"):
        tessarix.fit_sc(np.ones((0, 3)), [], 0, placebo="yes")


def test_fit_many_validation(y):
    stack = np.stack([y, y + 1.0, y * 2.0])
    assert value_error(tessarix.fit_many, np.ones((0, 6, 10)), [0], 5) == (
        "panel stack must be non-empty; got shape (0, 6, 10)")
    assert value_error(tessarix.fit_many, stack, [7], 5) == "treated unit index 7 out of range [0, 6)"
    assert value_error(tessarix.fit_many, stack, [0], 10) == (
        "treat_time 10 must be in [1, 10) so there is at least one pre- and one post-period")
    assert value_error(tessarix.fit_many, stack, [0], 5, min_weight=0.3) == (
        "min_weight=0.3 is infeasible with 5 donors: every donor at that floor would need total "
        "weight 1.5000 > 1. Use min_weight <= 0.2000 (= 1/5).")
    bad = stack.copy()
    bad[2, 0, 5] = np.nan
    bad[2, 3, 1] = np.nan
    assert value_error(tessarix.fit_many, bad, [0], 5) == (
        "panel stack contains a non-finite value at [2, 0, 5]; tessarix requires complete, finite panels")
    # An unknown method is reported only after the whole stack was validated.
    assert value_error(tessarix.fit_many, bad, [0], 5, method="SC").startswith("panel stack contains")
    assert value_error(tessarix.fit_many, stack, [0], 5, method="SC") == (
        "unknown method 'SC' (expected sc/asc/sdid/fp/rsc)")
    assert value_error(tessarix.fit_many, stack, [0], 5, ridge=np.nan) == "ridge must be finite and >= 0; got NaN"
    with pytest.raises(TypeError, match="^argument 'y3': expected a 3-D float64 numpy.ndarray, got 3-D float32 ndarray$"):
        tessarix.fit_many(stack.astype(np.float32), [0], 5)
    with pytest.raises(TypeError, match="^argument 'y3': "):
        tessarix.fit_many(y, [0], 5)
