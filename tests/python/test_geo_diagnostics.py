"""geo_diagnostics: validation order and messages, the warnings' texts, and the volume,
seasonality and stability scores against a NumPy re-derivation."""

import numpy as np
import pytest

import tessarix

TREATED_FIRST = "`treated` must list at least one treated unit index"
NO_PRE = "test_len must be in [1, {}) so at least one pre-period remains; got {}"


@pytest.fixture
def y():
    rng = np.random.default_rng(11)
    return 10.0 + rng.normal(size=(6, 10)).cumsum(axis=1)


def test_validation_messages_in_order(y):
    nan = y.copy()
    nan[2, 3] = np.nan
    cases = [
        # A bad panel is reported before bad indices and a bad test length.
        ((np.ones((0, 4)), [7], 0), "y must be a non-empty N×T panel; got shape (0, 4)"),
        ((nan, [], 10), "y contains NaN or inf; tessarix requires a complete, finite panel"),
        ((y, [], 10), TREATED_FIRST),
        ((y, [1, 1, 6], 10), "treated unit index 1 listed more than once"),
        ((y, [6, 1, 1], 10), "treated unit index 6 out of range [0, 6)"),
        ((y, list(range(6)), 0), "every unit is treated; need at least one never-treated unit as a donor/control"),
        ((y, [1], 0), NO_PRE.format(10, 0)),
        ((y, [1], 10), NO_PRE.format(10, 10)),
    ]
    for args, message in cases:
        with pytest.raises(ValueError) as err:
            tessarix.geo_diagnostics(*args)
        assert str(err.value) == message
    # One pre-period is enough here: no power-analysis window is required.
    assert tessarix.geo_diagnostics(y, [1], 9).seasonality_strength == 0.0
    with pytest.raises(TypeError, match="^argument 'y': "):
        tessarix.geo_diagnostics(y.tolist(), [1], 3)


def test_warning_texts():
    rng = np.random.default_rng(5)
    # A large, volatile, seasonal treated market above three small donors, 12 pre-periods
    # for an 8-period test.
    changes = np.tile([3.0, -1.0, -1.0, -1.0], 5)[:19]
    treated = np.concatenate([[4.0], 4.0 + changes.cumsum()])
    donors = 0.5 + 0.05 * rng.normal(size=(3, 20))
    d = tessarix.geo_diagnostics(np.vstack([treated, donors]), [0], 8)
    pre = treated[:12]
    swings = 100 * np.diff(pre).std(ddof=1) / pre.mean()
    share = 100 * treated.sum() / (treated.sum() + donors.sum())
    assert d.warnings == [
        f"Weak pre-period fit (relative RMSPE {d.pre_fit_rel:.2f}); the synthetic control tracks "
        "the treated markets poorly — treat results with caution.",
        f"Treated markets are volatile pre-period (period-to-period swings ≈{swings:.0f}% of level); "
        "power may be unstable.",
        "Seasonality detected (≈4-period cycle); ensure the test window spans comparable seasonal "
        "conditions.",
        f"Treated markets are {share:.0f}% of volume — a large holdout leaves a thin, possibly "
        "poor-matching donor pool.",
        "Only 3 donor markets; synthetic control needs a richer donor pool for a stable "
        "counterfactual.",
        "Short pre-period (12 periods) relative to the 8-period test; more history improves the fit.",
    ]

    # A flat market far below six donors: a tiny share, and no donor mix reaches its level.
    y = np.vstack([np.full(30, 0.1), 10.0 + rng.normal(size=(6, 30))])
    d = tessarix.geo_diagnostics(y, [0], 5)
    share = 100 * 3.0 / y.sum()
    assert d.warnings == [
        f"Weak pre-period fit (relative RMSPE {d.pre_fit_rel:.2f}); the synthetic control tracks "
        "the treated markets poorly — treat results with caution.",
        f"Treated markets are only {share:.1f}% of volume — likely too small to detect realistic lifts.",
    ]


def seasonality(c):
    """Largest autocorrelation of the changes at lags 2 .. min(n // 2, 60), ignoring negatives."""
    n, dev = len(c), c - c.mean()
    total = (dev**2).sum()
    if total <= 0 or n < 4:
        return 0.0
    r = [(dev[k:] * dev[:-k]).sum() / total for k in range(2, min(n // 2, 60) + 1)]
    return max([0.0, *r])


@pytest.mark.parametrize("seed", range(4))
def test_scores_match_numpy(seed):
    rng = np.random.default_rng(seed)
    n, t, test_len = 9, 40, 10
    # Random walks with a weekly pattern, so the seasonality score has something to find.
    y = 20.0 + rng.normal(size=(n, t)).cumsum(axis=1) + 2.0 * np.tile([1, 0, 0, -1, 0, 1, -1], 6)[:t]
    treated = sorted(rng.choice(n, size=3, replace=False).tolist())
    d = tessarix.geo_diagnostics(y, treated, test_len)

    x = y[treated, : t - test_len].mean(axis=0)
    c = np.diff(x)
    volatility = c.std(ddof=1) / abs(x.mean())
    assert d.holdout_pct == pytest.approx(y[treated].sum() / y.sum(), rel=1e-12)
    assert d.seasonality_strength == pytest.approx(seasonality(c), abs=1e-12)
    assert d.stability_score == pytest.approx(1 / (1 + 8 * volatility), rel=1e-12)
    assert 0.0 <= d.improvement_vs_naive <= 1.0
    assert 0.0 <= d.confidence <= 100.0
