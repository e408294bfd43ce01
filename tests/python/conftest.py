import ctypes
import importlib
import os
import pathlib

import numpy as np
import pytest


def pytest_sessionstart(session):
    """Under scripts/test-sanitized: refuse to run unless the modules that load are the
    sanitized build in TESSARIX_SANITIZED_SITE, so that the run cannot test another build."""
    site = os.environ.get("TESSARIX_SANITIZED_SITE")
    if not site:
        return
    site = pathlib.Path(site).resolve()
    for name in ("tessarix", "tessarix._tessarix", "tessarix._core", "tessarix._testhooks"):
        path = pathlib.Path(importlib.import_module(name).__file__).resolve()
        if site not in path.parents:
            raise pytest.UsageError(f"{name} loads from {path}, not from the sanitized build in {site}")
        if name == "tessarix":
            continue
        # A symbol looked up through the module's handle is found only in the module and the
        # libraries it links: the sanitizer runtimes for an instrumented build, and UBSan's
        # aborting handlers only when its reports are fatal.
        module = ctypes.CDLL(str(path))
        for symbol in ("__asan_init", "__ubsan_handle_add_overflow_abort"):
            if not hasattr(module, symbol):
                raise pytest.UsageError(f"{path} was not built with the sanitizers ({symbol} is not linked)")
    if not hasattr(ctypes.CDLL(None), "__asan_init"):
        raise pytest.UsageError("the ASan runtime is not preloaded into the interpreter")


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
