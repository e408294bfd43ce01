"""bootstrap_mean: validation order, the invariants of block and stationary resampling, the
sampling formula in the i.i.d. case and no spread from a single replicate (independence of the
worker count: test_parallel; Ctrl-C: test_interrupt; extreme magnitudes: the C++ tests)."""

import math

import numpy as np
import pytest

import tessarix

KINDS = ("block", "stationary")


def test_validation_messages_in_order():
    nan, inf = float("nan"), float("inf")
    cases = [
        (([],), {}, "series must be non-empty and finite"),
        (([1.0, nan],), {"block_len": 0}, "series must be non-empty and finite"),
        (([1.0, -inf],), {}, "series must be non-empty and finite"),
        (([1.0, 2.0],), {"block_len": 0, "n_reps": 0}, "block_len must be >= 1; got 0"),
        (([1.0, 2.0],), {"n_reps": 0, "level": 2.0}, "n_reps must be >= 1; got 0"),
        (([1.0, 2.0],), {"level": 1.0, "kind": "Block"}, "level must be in (0, 1); got 1"),
        (([1.0, 2.0],), {"level": nan}, "level must be in (0, 1); got NaN"),
        (([1.0, 2.0],), {"kind": "Block"}, "unknown bootstrap kind 'Block' (expected block/stationary)"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(ValueError) as err:
            tessarix.bootstrap_mean(*args, **kwargs)
        assert str(err.value) == message, (args, kwargs)
    with pytest.raises(TypeError, match="^argument 'series': "):
        tessarix.bootstrap_mean("1.0")
    with pytest.raises(TypeError, match="^argument 'level': "):
        tessarix.bootstrap_mean([1.0], level=None)
    with pytest.raises(OverflowError):
        tessarix.bootstrap_mean([1.0], n_reps=-1)


@pytest.mark.parametrize("kind", KINDS)
def test_constant_series_reproducibility_and_one_replicate(kind):
    assert tessarix.bootstrap_mean([3.0] * 10, kind=kind) == (0.0, 3.0, 3.0)
    x = np.random.default_rng(1).normal(size=40).tolist()
    res = tessarix.bootstrap_mean(x, kind=kind, block_len=3, n_reps=500, seed=4)
    assert type(res) is tuple and all(type(v) is float for v in res)
    assert tessarix.bootstrap_mean(x, kind=kind, block_len=3, n_reps=500, seed=4) == res
    assert tessarix.bootstrap_mean(x, kind=kind, block_len=3, n_reps=500, seed=5) != res
    assert all(math.isnan(v) for v in tessarix.bootstrap_mean(x, kind=kind, n_reps=1))


def test_iid_resampling_matches_the_sampling_formula_and_blocks_see_dependence():
    rng = np.random.default_rng(3)
    x = rng.normal(size=4000)
    plug_in = x.std() / math.sqrt(x.size)  # the i.i.d. bootstrap's own target
    for kind in KINDS:
        se, _, _ = tessarix.bootstrap_mean(x.tolist(), kind=kind, block_len=1, n_reps=4000, seed=1)
        assert se == pytest.approx(plug_in, rel=0.05), kind
    # AR(1) with phi = 0.8: the long-run standard error is 3 times the i.i.d. one; long blocks
    # recover most of it, single values none.
    ar = np.zeros(4000)
    for t in range(1, ar.size):
        ar[t] = 0.8 * ar[t - 1] + rng.normal()
    iid = tessarix.bootstrap_mean(ar.tolist(), block_len=1, n_reps=2000)[0]
    for kind in KINDS:
        assert tessarix.bootstrap_mean(ar.tolist(), kind=kind, block_len=50, n_reps=2000)[0] > 2.0 * iid, kind
