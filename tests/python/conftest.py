import os

import numpy as np
import pytest


@pytest.fixture(scope="session")
def hooks():
    """The test-only module exposing each argument converter (built by scripts/test)."""
    try:
        from tessarix import _testhooks
    except ImportError:
        if os.environ.get("TESSARIX_REQUIRE_TEST_HOOKS"):
            raise
        pytest.skip("tessarix was built without TESSARIX_TEST_HOOKS=ON")
    return _testhooks


def layouts(a):
    """The same 2-D values in C order, Fortran order, as a strided slice of a larger
    array, and through negative strides."""
    a = np.ascontiguousarray(a, dtype=np.float64)
    n, t = a.shape
    big = np.full((2 * n + 1, 3 * t), np.nan)
    big[1::2, ::3] = a
    rev = np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1]
    return {
        "C": a,
        "F": np.asfortranarray(a),
        "sliced": big[1::2, ::3],
        "negative": rev,
    }
