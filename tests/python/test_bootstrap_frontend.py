"""tessarix.bootstrap and tessarix.optimal_block_length: the automatic block length against the
arch package's, the front end against the compiled call it wraps (same numbers, same mean),
every input kind alike, the guards, and a seed's reproducibility (the resampling itself:
test_bootstrap)."""

import math
import warnings

import narwhals.stable.v2 as nw
import numpy as np
import pytest

import tessarix
from tessarix import _tessarix

KINDS = ("block", "stationary")
# arch and this selector do the same arithmetic in a different order.
PEER_RTOL = 1e-10


def ar1(rng, n, phi):
    x = np.empty(n)
    x[0] = rng.normal()
    for t in range(1, n):
        x[t] = phi * x[t - 1] + rng.normal()
    return x


def generated_series():
    """(label, series): AR(1) over a range of persistence and lengths, white noise, MA, trends,
    random walks, cycles, steps and near-constant series."""
    rng = np.random.default_rng(20240611)
    out = []
    for n in (8, 9, 10, 12, 15, 20, 30, 50):
        for phi in (-0.6, 0.0, 0.5, 0.9):
            out.append((f"ar({phi}) n={n}", ar1(rng, n, phi)))
    for n in (200, 1000):
        for phi in (-0.5, 0.3, 0.5, 0.8, 0.95, 0.99):
            out.append((f"ar({phi}) n={n}", ar1(rng, n, phi)))
    t = np.arange(400.0)
    out += [
        ("ar(0.5) n=10000", ar1(rng, 10_000, 0.5)),
        ("white noise n=10000", rng.normal(size=10_000)),
        ("ma(3)", np.convolve(rng.normal(size=403), [1.0, 0.8, 0.5, 0.3], "valid")),
        ("trend", 0.02 * t + rng.normal(size=t.size)),
        ("random walk", np.cumsum(rng.normal(size=t.size))),
        ("cycle", np.sin(t / 6.0) + 0.3 * rng.normal(size=t.size)),
        ("step", np.r_[np.zeros(20), np.ones(20)]),
        ("lone spike", np.r_[np.zeros(30), 1.0]),
        ("near-constant", 5.0 + 1e-9 * rng.normal(size=60)),
        ("three levels", rng.integers(0, 3, 25).astype(float)),
    ]
    return out


@pytest.mark.parametrize("label,x", generated_series(), ids=lambda v: v if isinstance(v, str) else "")
def test_block_length_matches_arch(label, x):
    arch = pytest.importorskip("arch.bootstrap")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # arch warns on lags whose correlation is undefined
        peer = arch.optimal_block_length(x)
    ours = tessarix.optimal_block_length(x)
    np.testing.assert_allclose(ours, [peer["stationary"].iloc[0], peer["circular"].iloc[0]], rtol=PEER_RTOL, atol=0)


def test_block_length_is_scale_free_and_defined_where_the_rule_is_not():
    z = np.random.default_rng(3).normal(size=60)
    wanted = tessarix.optimal_block_length(z)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        # Powers of two scale exactly: the same lengths, even where squares overflow or vanish.
        for scale in (2.0**-1000, 2.0**-600, 2.0**1000):
            assert tessarix.optimal_block_length(z * scale) == wanted
        # No variance, or too short to see any dependence: value-by-value resampling.
        for x in ([3.0] * 40, [0.1] * 37, [1.0, 2.0, 4.0, 8.0, 3.0, 5.0, 6.0], [7.0]):
            assert tessarix.optimal_block_length(x) == (1.0, 1.0)
            res = tessarix.bootstrap(x, n_reps=50)
            assert res.block_len == 1 and res.block_len_optimal == 1.0
    stationary, circular = wanted
    assert circular / stationary == pytest.approx(1.5 ** (1 / 3))  # D_SB / D_CB = 3/2


@pytest.mark.parametrize("kind", KINDS)
def test_front_end_is_the_compiled_call_with_the_rounded_up_length(kind):
    rng = np.random.default_rng(7)
    for x in (ar1(rng, 300, 0.6), rng.normal(size=90), ar1(rng, 25, 0.9)):
        stationary, circular = tessarix.optimal_block_length(x)
        optimal = circular if kind == "block" else stationary
        res = tessarix.bootstrap(x, kind=kind, n_reps=700, seed=11, level=0.9)
        assert res.block_len_optimal == optimal and res.block_len == max(1, math.ceil(optimal))
        native = _tessarix.bootstrap_mean(x.tolist(), kind=kind, block_len=res.block_len, n_reps=700,
                                          seed=11, level=0.9)
        assert (res.se_bootstrap, *res.ci_percentile) == native
        assert (res.kind, res.level, res.n_reps, res.seed, res.n_obs) == (kind, 0.9, 700, 11, x.size)
    # A given length is used as given (a circular block at most the series); no optimum.
    x = rng.normal(size=12)
    given = tessarix.bootstrap(x, kind=kind, block_len=40, n_reps=100)
    assert given.block_len_optimal is None
    assert given.block_len == (12 if kind == "block" else 40)
    assert (given.se_bootstrap, *given.ci_percentile) == _tessarix.bootstrap_mean(x.tolist(), kind=kind,
                                                                                  block_len=40, n_reps=100)


def test_estimate_is_the_compiled_mean():
    rng = np.random.default_rng(5)
    # Against the sum written out: left to right from -0.0, then divided by n.
    for x in (rng.normal(size=1001) * 10.0 ** rng.integers(-8, 8, 1001), rng.normal(size=3) + 1e16, [-0.0, -0.0]):
        total = -0.0
        for v in x:
            total += float(v)
        est = tessarix.bootstrap(x, n_reps=2).estimate
        assert est == total / len(x) and math.copysign(1.0, est) == math.copysign(1.0, total)
    # Against the compiled call itself: with blocks as long as the series every replicate is
    # a rotation of it, and these sums are exact in any order, so the interval collapses onto
    # the compiled mean; the extreme magnitudes need its rescaling (a plain sum overflows).
    for x in ([3.0 * 2.0**1021, 3.0 * 2.0**1021, -2.0**1022], [5e-324, 5e-324, 1e-323, 2e-323],
              [0.5, 0.25, 0.125, 3.0, -1.0], [1e308, 1e308, 1e308]):
        _, lower, upper = _tessarix.bootstrap_mean(x, kind="block", block_len=len(x), n_reps=40)
        assert tessarix.bootstrap(x, block_len=len(x), n_reps=40).estimate == lower == upper


def input_kinds(values):
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow")
    return {
        "list": (values.tolist(), dict),
        "tuple": (tuple(values.tolist()), dict),
        "ndarray": (values, dict),
        "pandas": (pd.Series(values, name="y", index=np.arange(values.size) * 3), pd.DataFrame),
        "pandas nullable": (pd.Series(values, dtype="Float64"), pd.DataFrame),
        "polars": (pl.Series("y", values), pl.DataFrame),
        "pyarrow array": (pa.array(values), pa.Table),
        "pyarrow chunked": (pa.chunked_array([values[:7], values[7:]]), pa.Table),
    }


def test_every_input_kind_gives_the_same_result():
    x = ar1(np.random.default_rng(9), 60, 0.7)
    wanted = tessarix.bootstrap(x, kind="stationary", n_reps=300, seed=2)
    for name, (series, frame_type) in input_kinds(x).items():
        res = tessarix.bootstrap(series, kind="stationary", n_reps=300, seed=2)
        assert res == wanted, name
        frame = res.to_frame()
        assert isinstance(frame, frame_type), name
        columns = frame if isinstance(frame, dict) else nw.from_native(frame).to_dict(as_series=False)
        assert list(columns) == ["term", "estimate", "se", "ci_lower", "ci_upper", "p_value"], name
        row = [columns[c][0] for c in columns]
        assert row[:5] == ["mean", res.estimate, res.se, *res.ci], name
        assert row[5] is None or math.isnan(row[5]), name  # no p-value
    # Integer columns are read as numbers too.
    ints = np.arange(30) % 7
    assert tessarix.bootstrap(ints, n_reps=50) == tessarix.bootstrap(ints.astype(float).tolist(), n_reps=50)


def test_bad_inputs_are_refused_with_the_problem_named():
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    nan, inf = float("nan"), float("inf")
    cases = [
        ([], tessarix.DataError, r"^series is empty"),
        (np.array([]), tessarix.DataError, r"^series is empty"),
        ([1.0, 2.0, nan, inf], tessarix.DataError,
         r"2 missing or non-finite value\(s\); the first \(nan\) is at position 2"),
        ([1.0, None, 2.0], tessarix.DataError, r"the first \(missing\) is at position 1"),
        (pd.Series([1.0, 2.0, None]), tessarix.DataError, r"the first \(missing\) is at position 2"),
        (pl.Series([1.0, 2.0, 3.0, -inf]), tessarix.DataError, r"the first \(-inf\) is at position 3"),
        (np.ones((3, 2)), tessarix.DataError, r"one-dimensional; got an array of shape \(3, 2\)"),
        ([[1.0], [2.0, 3.0]], tessarix.DataError, r"one-dimensional"),
        (pd.DataFrame({"y": [1.0, 2.0]}), tessarix.DataError, r"one column, not a data frame"),
        (["a", "b"], tessarix.DataError, r"must hold numbers; it holds text values"),
        ([1.0, "b"], tessarix.DataError, r"must hold numbers; it holds text values"),
        ([1.0, object()], tessarix.DataError, r"position 1 holds <object"),
        ([True, False], tessarix.DataError, r"boolean values; cast them to numbers"),
        (pd.Series(["a", "b"]), tessarix.DataError, r"it holds String values"),
        (pl.Series([True, False]), tessarix.DataError, r"it holds Boolean values; cast them to numbers"),
        ("1.5", TypeError, r"^series must be a sequence of numbers"),
        (4.0, TypeError, r"^series must be a sequence of numbers"),
    ]
    for series, error, message in cases:
        with pytest.raises(error, match=message):
            tessarix.bootstrap(series)
        with pytest.raises(error, match=message):
            tessarix.optimal_block_length(series)
    with pytest.raises(ValueError, match=r"^kind='Block' is not a bootstrap kind"):
        tessarix.bootstrap([1.0, 2.0], kind="Block")
    # The arguments the compiled call shares are checked by it, with its own messages.
    with pytest.raises(ValueError, match=r"^block_len must be >= 1; got 0"):
        tessarix.bootstrap([1.0, 2.0], block_len=0)
    with pytest.raises(TypeError, match=r"^argument 'block_len'"):
        tessarix.bootstrap([1.0, 2.0], block_len=2.5)
    with pytest.raises(ValueError, match=r"^level must be in \(0, 1\)"):
        tessarix.bootstrap([1.0, 2.0], level=1.0)


def test_a_seed_reproduces_the_bootstrap_and_the_length_does_not_depend_on_it():
    x = ar1(np.random.default_rng(4), 120, 0.5)
    first = tessarix.bootstrap(x, n_reps=400, seed=8)
    assert tessarix.bootstrap(x, n_reps=400, seed=8) == first
    other = tessarix.bootstrap(x, n_reps=400, seed=9)
    assert other.se != first.se and other.block_len_optimal == first.block_len_optimal


def test_summary_reports_the_length_and_how_it_was_chosen():
    x = ar1(np.random.default_rng(1), 80, 0.6)
    chosen = tessarix.bootstrap(x, kind="stationary", n_reps=100)
    text = chosen.summary()
    assert text.startswith("Stationary bootstrap of the mean")
    assert f"mean block length: {chosen.block_len}, chosen from the data" in text
    assert f"variance ratio {chosen.variance_ratio:.3f}" in text
    given = tessarix.bootstrap(x, block_len=3, n_reps=100).summary()
    assert given.startswith("Circular block bootstrap of the mean") and "block length: 3, given" in given


@pytest.mark.parametrize("kind", ["block", "stationary"])
def test_variance_correction_recovers_what_short_blocks_miss(kind):
    # AR(1) with coefficient phi: R(k) = phi^|k| R(0). Blocks of two keep the pairs one lap
    # apart with chance 1/2 (circular) or (1/2)^k (stationary), so the bootstrap sees
    # 1 + phi (circular) or 1 + 2 phi / (2 - phi) (stationary) of the long-run
    # (1 + phi) / (1 - phi), less the centring's b / n.
    phi, n, b = 0.5, 40_000, 2
    x = ar1(np.random.default_rng(3), n, phi)
    seen = 1.0 + phi if kind == "block" else 1.0 + 2.0 * phi / (2.0 - phi)
    long_run = (1.0 + phi) / (1.0 - phi)
    res = tessarix.bootstrap(x, kind=kind, block_len=b, n_reps=200)
    assert res.variance_ratio == pytest.approx(long_run / (seen - long_run * b / n), rel=0.05)
    assert res.se == pytest.approx(res.se_bootstrap * math.sqrt(res.variance_ratio), rel=1e-12)
    # Independent values: nothing to correct, and the interval's t quantile tends to the normal one.
    iid = tessarix.bootstrap(np.random.default_rng(4).normal(size=n), kind=kind, block_len=1, n_reps=200)
    assert iid.variance_ratio == pytest.approx(1.0, abs=0.05)
    half = (iid.ci[1] - iid.ci[0]) / 2.0
    assert half / iid.se == pytest.approx(1.959964, rel=1e-4)
