import inspect
import subprocess
import sys

import numpy as np
import pytest

import tessarix
from tessarix import _tessarix


def run_python(code):
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return out.stdout.strip()


def test_version_and_docstrings():
    assert tessarix.version() == "0.3.0"
    assert _tessarix.__doc__ == "The compiled extension module `tessarix._tessarix`."
    assert _tessarix.version.__doc__ == "The tessarix version string."
    assert str(inspect.signature(_tessarix.version)) == "()"
    assert str(inspect.signature(_tessarix.fit_twfe_py)) == "(y, cohorts)"
    assert _tessarix.fit_twfe_py.__doc__ == "Two-way fixed-effects DiD with cluster-robust SE."
    with pytest.raises(TypeError):
        _tessarix.version(1)


def test_import_does_not_load_numpy():
    # Neither importing the package nor a call that is refused before any array is seen may
    # import NumPy; the first real array binds it.
    code = (
        "import sys, tessarix\n"
        "print(tessarix.version(), 'numpy' in sys.modules)\n"
        "try:\n"
        "    tessarix.fit_twfe_py([[1.0, 2.0]], [1])\n"
        "except TypeError as e:\n"
        "    print(e)\n"
        "print('numpy' in sys.modules)\n"
    )
    assert run_python(code).splitlines() == [
        "0.3.0 False",
        "argument 'y': expected a 2-D float64 numpy.ndarray, got list",
        "False",
    ]


def test_import_is_warning_free():
    # Creating the result classes must not warn (an import under `-W error` would fail);
    # they live in the package that re-exports them.
    code = "import warnings; warnings.simplefilter('error'); import tessarix; print(repr(tessarix.DiDResult))"
    assert run_python(code) == "<class 'tessarix.DiDResult'>"


def test_module_exports_only_its_functions_and_classes():
    public = {name for name in dir(_tessarix) if not name.startswith("_")}
    assert public == {
        "version",
        "fit_sc",
        "fit_asc",
        "fit_sdid",
        "fit_fp",
        "fit_rsc",
        "fit_mcnnm",
        "fit_cpasc",
        "bootstrap_mean",
        "fit_many",
        "fit_twfe_py",
        "fit_callaway_py",
        "fit_sunab_py",
        "bacon_decompose_py",
        "geo_power",
        "geo_power_ensemble",
        "geo_diagnostics",
        "geo_select",
        "PowerResult",
        "GeoDiagnostics",
        "MarketCandidate",
        "SCResult",
        "CPASCResult",
        "DiDResult",
        "BaconComponent",
        "BaconResult",
    }
    for name in public:
        assert getattr(tessarix, name) is getattr(_tessarix, name)


def test_internal_errors_derive_from_base_exception(hooks):
    assert issubclass(tessarix.InternalError, BaseException)
    assert not issubclass(tessarix.InternalError, Exception)
    for released in (False, True):
        with pytest.raises(tessarix.InternalError, match="^broken invariant$"):
            hooks.invariant("broken invariant", released)
    with pytest.raises(MemoryError):
        hooks.bad_alloc()
    # The module stays usable after a native failure.
    assert tessarix.fit_twfe_py(np.eye(3) + 1.0, [1, -1, -1]).se >= 0.0


@pytest.mark.parametrize("fit", [
    lambda: tessarix.bootstrap_mean([1.0, 2.0, 4.0], n_reps=2**62),
    lambda: tessarix.bootstrap_mean([1.0, 2.0, 4.0], kind="stationary", n_reps=np.uint64(2**64 - 1)),
    lambda: tessarix.fit_callaway_py(np.arange(24.0).reshape(4, 6) ** 1.5, [3, 3, -1, -1], bands=True, n_reps=2**62),
], ids=["block", "stationary", "callaway_bands"])
def test_more_replicates_than_memory_can_hold_is_a_memory_error(fit):
    # A count beyond what any container can index fails as an allocation does, not as an
    # unexplained RuntimeError from the container.
    with pytest.raises(MemoryError):
        fit()


def test_argument_binding_uses_cpython_wording():
    y = np.zeros((3, 4))
    with pytest.raises(TypeError, match=r"fit_twfe_py\(\) missing required argument 'cohorts'"):
        tessarix.fit_twfe_py(y)
    with pytest.raises(TypeError, match=r"fit_twfe_py\(\) got an unexpected keyword argument 'z'"):
        tessarix.fit_twfe_py(y, [1, -1, -1], z=1)
    with pytest.raises(TypeError, match=r"fit_twfe_py\(\) got multiple values for argument 'y'"):
        tessarix.fit_twfe_py(y, [1, -1, -1], y=y)
    with pytest.raises(TypeError, match=r"at most 2 arguments \(3 given\)"):
        tessarix.fit_twfe_py(y, [1, -1, -1], 3)
    res = tessarix.fit_twfe_py(cohorts=[1, -1, -1], y=y + np.arange(4.0))
    assert isinstance(res, tessarix.DiDResult)
