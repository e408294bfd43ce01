"""Every valid input to the synthetic-control family gives finite numbers: panels of any
magnitude (down to subnormal ones), constant and repeated rows, penalties from tiny to huge. A
native invariant failure (InternalError) or a NaN from finite input is a fault."""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tessarix


@st.composite
def designs(draw):
    n = draw(st.integers(3, 7))
    t = draw(st.integers(3, 9))
    treat_time = draw(st.integers(1, t - 1))
    n_treated = draw(st.integers(1, n - 1))
    treated = draw(st.permutations(range(n)))[:n_treated]
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    kind = draw(st.sampled_from(["walk", "normal", "constant", "repeated", "zeros"]))
    if kind == "walk":
        y = np.cumsum(rng.normal(size=(n, t)), axis=1) + rng.uniform(-5, 5, size=(n, 1))
    elif kind == "normal":
        y = rng.normal(size=(n, t))
    elif kind == "constant":
        y = np.full((n, t), rng.normal())
    elif kind == "repeated":
        y = np.repeat(rng.normal(size=(1, t)), n, axis=0) + rng.normal(scale=1e-9, size=(n, 1))
    else:
        y = np.zeros((n, t))
    # Magnitudes across the double range, subnormal ones included; the top is left to effects
    # that extrapolate (an unconstrained fit may multiply outcomes by a hundred).
    y = y * 10.0 ** draw(st.sampled_from([-323, -310, -300, -150, -12, 0, 7, 150, 300]))
    return y, treated, treat_time


PENALTIES = st.sampled_from([0.0, 1e-300, 1e-12, 0.5, 1e12, 1e300])


def finite_result(res):
    for name in ["att", "pre_rmspe", "post_rmspe"]:
        assert math.isfinite(getattr(res, name)), name
    for name in ["att_path", "counterfactual", "weights"]:
        assert all(math.isfinite(v) for v in getattr(res, name)), name
    for name in ["se", "ci_lower", "ci_upper", "p_value"]:
        value = getattr(res, name)
        assert value is None or math.isfinite(value), name


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(design=designs(), penalty=PENALTIES, aug=st.sampled_from([None, 1e-300, 1e-8, 1.0, 1e300]),
       placebo=st.booleans(), bounded=st.booleans())
def test_every_valid_input_gives_finite_results(design, penalty, aug, placebo, bounded):
    y, treated, t0 = design
    n_donors = y.shape[0] - len(treated)
    bounds = {"min_weight": 0.5 / n_donors, "max_weight": min(1.0, 2.0 / n_donors)} if bounded else {}
    finite_result(tessarix.fit_sc(y, treated, t0, ridge=penalty, placebo=placebo, penalty=penalty, **bounds))
    finite_result(tessarix.fit_asc(y, treated, t0, sc_ridge=penalty, aug_lambda=aug, placebo=placebo, **bounds))
    finite_result(tessarix.fit_fp(y, treated, t0, ridge=penalty, placebo=placebo, **bounds))
    finite_result(tessarix.fit_rsc(y, treated, t0, ridge=penalty, placebo=placebo))
    for inference in ["none", "placebo"] + (["jackknife"] if len(treated) >= 2 else []):
        finite_result(tessarix.fit_sdid(y, treated, t0, zeta_scale=min(penalty, 1e150), inference=inference, **bounds))
    for method in ["sc", "asc", "sdid", "fp", "rsc"]:
        atts = tessarix.fit_many(np.stack([y, y[::-1].copy()]), treated, t0, method=method,
                                 ridge=penalty, **bounds)
        assert np.isfinite(atts).all(), method
