"""fit_cpasc: validation order and messages, the per-unit fits against separate augmented fits,
and the pooling weights and permutation p-value re-derived from the reported fields."""

import numpy as np
import pytest

import tessarix


@pytest.fixture
def y():
    rng = np.random.default_rng(3)
    return np.cumsum(rng.normal(size=(10, 16)), axis=1) + 20.0 + np.arange(10.0)[:, None]


def inverse_error(mspe):
    m = max(float(np.median(mspe)), np.finfo(float).tiny)
    v = 1.0 / (m + np.asarray(mspe))
    return v / v.sum()


def window_p(z, t0, block_len):
    """Share of cyclic windows whose mean absolute value reaches the observed one; windows of
    the same terms count as ties."""
    n = len(z)
    b = min(block_len or 1, n) if block_len is not None else max(n - t0, 1)
    stats = np.array([np.abs(np.take(z, range(j, j + b), mode="wrap")).mean() for j in range(n)])
    return np.mean(stats >= stats[t0] * (1 - 1e-12))


# --- validation ----------------------------------------------------------------------------

BAD_Y = np.ones((0, 4))

CASES = [
    # The mode is examined before anything about the panel.
    (dict(y=BAD_Y, mode="MSPE"), "unknown CP-ASC mode 'MSPE' (expected mspe/stratified/cumulative)"),
    (dict(y=BAD_Y, mode="stratified"), "y must be a non-empty N×T panel; got shape (0, 4)"),
    (dict(treated=[]), "`treated` must list at least one treated unit index"),
    (dict(treated=[0, 10]), "treated unit index 10 out of range [0, 10)"),
    (dict(treat_time=16, sc_ridge=-1.0), "treat_time 16 must be in [1, 16) so there is at least one pre- and one post-period"),
    (dict(sc_ridge=-1.0, aug_lambda=0.0), "sc_ridge must be finite and >= 0; got -1"),
    (dict(sc_ridge=np.inf), "sc_ridge must be finite and >= 0; got inf"),
    (dict(aug_lambda=0.0, n_strata=0), "aug_lambda must be finite and > 0; got 0"),
    (dict(aug_lambda=np.nan), "aug_lambda must be finite and > 0; got NaN"),
    (dict(n_strata=0, block_len=0), "n_strata must be >= 1; got 0"),
    (dict(block_len=0), "block_len must be >= 1; got 0"),
]


@pytest.mark.parametrize("override, message", CASES)
def test_validation_messages_in_order(y, override, message):
    args = dict(y=y, treated=[0, 3], treat_time=12) | override
    with pytest.raises(ValueError) as err:
        tessarix.fit_cpasc(**args)
    assert str(err.value) == message


def test_signature_docstring_and_result(y):
    assert tessarix.fit_cpasc.__text_signature__ == (
        '(y, treated, treat_time, mode="mspe", n_strata=3, block_len=None, sc_ridge=0.0, aug_lambda=None)')
    assert tessarix.fit_cpasc.__doc__.endswith(
        'Fit a CP-ASC-family estimator (novel). `mode` is "mspe" (CP-ASC),\n'
        '"stratified" (Strat-CP-ASC), or "cumulative" (C-AS-CP-ASC).')
    res = tessarix.fit_cpasc(y, [3, 0], 12, block_len=None, aug_lambda=None)
    assert isinstance(res, tessarix.CPASCResult)
    assert res.unit_ids == [0, 3] and res.t0 == 12
    assert len(res.pooled_residual) == len(res.null_residual) == 16


# --- estimates -----------------------------------------------------------------------------

@pytest.mark.parametrize("options", [dict(), dict(sc_ridge=0.5, aug_lambda=2.0)])
def test_units_are_separate_augmented_fits(y, options):
    treated = [1, 4, 7]
    res = tessarix.fit_cpasc(y, treated, 11, **options)
    donors = [i for i in range(10) if i not in treated]
    pooled = np.zeros(16)
    for k, u in enumerate(treated):
        # The unit alone against the never-treated units: the other treated rows are dropped.
        keep = sorted(donors + [u])
        alone = tessarix.fit_asc(y[keep], [keep.index(u)], 11, **options)
        assert res.unit_att[k] == pytest.approx(alone.att, abs=1e-10)
        assert res.unit_mspe[k] == pytest.approx(alone.pre_rmspe**2, rel=1e-9)
        pre_gap = y[u, :11] - np.asarray(alone.weights) @ y[donors, :11]
        pooled += res.unit_weight[k] * np.concatenate([pre_gap, alone.att_path])
    np.testing.assert_allclose(res.pooled_residual, pooled, atol=1e-10)
    assert res.att == pytest.approx(np.dot(res.unit_weight, res.unit_att), abs=1e-12)


def test_weights_follow_the_mode(y):
    treated = [0, 2, 5, 6, 8]
    mspe_fit = tessarix.fit_cpasc(y, treated, 12)
    np.testing.assert_allclose(mspe_fit.unit_weight, inverse_error(mspe_fit.unit_mspe), rtol=1e-13)
    # One stratum per unit: equal shares whatever the errors.
    many = tessarix.fit_cpasc(y, treated, 12, mode="stratified", n_strata=50)
    np.testing.assert_allclose(many.unit_weight, [0.2] * 5, rtol=1e-15)
    one = tessarix.fit_cpasc(y, treated, 12, mode="stratified", n_strata=1)
    np.testing.assert_allclose(one.unit_weight, mspe_fit.unit_weight, rtol=1e-15)
    # Cumulative: shares of the absolute pre-period level.
    level = np.abs(y[treated, :12].mean(axis=1))
    cum = tessarix.fit_cpasc(y, treated, 12, mode="cumulative")
    np.testing.assert_allclose(cum.unit_weight, level / level.sum(), rtol=1e-13)
    for res in (mspe_fit, many, one, cum):
        assert sum(res.unit_weight) == pytest.approx(1.0, abs=1e-14)
        assert res.unit_att == mspe_fit.unit_att  # the mode changes the pooling only


@pytest.mark.parametrize("block_len", [None, 1, 3, 16, 40])
def test_p_value_from_the_null_residuals(y, block_len):
    res = tessarix.fit_cpasc(y, [2, 9], 10, block_len=block_len)
    assert res.p_value * 16 == pytest.approx(round(res.p_value * 16), abs=1e-12)
    assert 1 / 16 <= res.p_value <= 1.0
    assert res.p_value == pytest.approx(window_p(np.asarray(res.null_residual), 10, block_len))
    if block_len is not None and block_len >= 16:
        assert res.p_value == 1.0  # every window covers the whole series


def test_exact_donor_copies_pool_to_their_common_effect(y):
    # Four treated units copy donors exactly before treatment and gain 3.0 after it.
    panel = y.copy()
    for u in range(4):
        panel[u] = y[u + 5]
        panel[u, 12:] += 3.0
    res = tessarix.fit_cpasc(panel, [0, 1, 2, 3], 12)
    assert res.unit_mspe == [0.0] * 4
    np.testing.assert_allclose(res.unit_weight, [0.25] * 4, rtol=1e-15)
    assert res.att == pytest.approx(3.0, abs=1e-10)


def test_extreme_magnitudes(y):
    # Both extremes are fitted at the same canonical scale, so they agree exactly once scaled
    # back; the panel as given is fitted at its own scale, equal up to solver tolerance.
    base = tessarix.fit_cpasc(y, [1, 6], 12, mode="stratified", n_strata=2)
    tiny, huge = (tessarix.fit_cpasc(np.ldexp(y, e), [1, 6], 12, mode="stratified", n_strata=2)
                  for e in (-700, 900))
    assert np.ldexp(tiny.att, 700) == np.ldexp(huge.att, -900)
    assert tiny.unit_weight == huge.unit_weight and tiny.p_value == huge.p_value
    for res, e in ((tiny, -700), (huge, 900)):
        assert np.isfinite(res.att) and res.p_value == base.p_value
        np.testing.assert_allclose(res.unit_weight, base.unit_weight, rtol=1e-6)
        assert np.ldexp(res.att, -e) == pytest.approx(base.att, rel=1e-7)
