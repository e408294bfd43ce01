"""tessarix: fast, exact, reproducible causal inference on panel data.

The estimators, resampling and searches run in compiled code: ``tessarix._tessarix`` holds the
array functions and result classes re-exported here. The data-frame front ends
(``tessarix.synth``, ``tessarix.did``, ``tessarix.bacon``, ``tessarix.geo``,
``tessarix.bootstrap`` and ``tessarix.sensitivity``) take long frames and column names (or a
fit) and return labelled results, with a few light statistics of their own in NumPy (the bootstrap's block length and bias correction, the
geo threshold's out-of-sample check); they and NumPy and the frame libraries load on first use.
"""

import importlib
from typing import TYPE_CHECKING, Any

from ._tessarix import (
    BaconComponent,
    BaconResult,
    CPASCResult,
    DiDResult,
    GeoDiagnostics,
    MarketCandidate,
    PowerResult,
    SCResult,
    bacon_decompose_py,
    bootstrap_mean,
    fit_asc,
    fit_callaway_py,
    fit_cpasc,
    fit_fp,
    fit_many,
    fit_mcnnm,
    fit_rsc,
    fit_sc,
    fit_sdid,
    fit_sunab_py,
    fit_twfe_py,
    geo_power,
    geo_power_ensemble,
    geo_diagnostics,
    geo_select,
    version,
)


class InternalError(BaseException):
    """A broken internal invariant inside tessarix's native code.

    Input validation should make this unreachable; if you see it, please report the call
    that raised it. It derives from BaseException so that a generic ``except Exception``
    does not silently swallow a bug.
    """


__version__ = version()

if TYPE_CHECKING:  # the lazily loaded names, for type checkers
    from . import geo
    from .frames.guards import DataError
    from .frontends.bootstrap import bootstrap, optimal_block_length
    from .frontends.did import bacon, did
    from .frontends.sensitivity import sensitivity
    from .frontends.synth import synth

# Front ends, loaded on first access so that `import tessarix` imports no NumPy or frame library.
_LAZY = {
    "synth": ("tessarix.frontends.synth", "synth"),
    "did": ("tessarix.frontends.did", "did"),
    "bacon": ("tessarix.frontends.did", "bacon"),
    "bootstrap": ("tessarix.frontends.bootstrap", "bootstrap"),
    "sensitivity": ("tessarix.frontends.sensitivity", "sensitivity"),
    "optimal_block_length": ("tessarix.frontends.bootstrap", "optimal_block_length"),
    "geo": ("tessarix.geo", None),
    "DataError": ("tessarix.frames.guards", "DataError"),
}


def __getattr__(name: str) -> Any:
    if name not in _LAZY:
        raise AttributeError(f"module 'tessarix' has no attribute {name!r}")
    module_name, attr = _LAZY[name]
    module = importlib.import_module(module_name)
    value = module if attr is None else getattr(module, attr)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))

__all__ = [
    "BaconComponent",
    "DataError",
    "BaconResult",
    "CPASCResult",
    "DiDResult",
    "GeoDiagnostics",
    "InternalError",
    "MarketCandidate",
    "PowerResult",
    "SCResult",
    "bacon",
    "bacon_decompose_py",
    "bootstrap",
    "bootstrap_mean",
    "did",
    "fit_asc",
    "fit_callaway_py",
    "fit_cpasc",
    "fit_fp",
    "fit_many",
    "fit_mcnnm",
    "fit_rsc",
    "fit_sc",
    "fit_sdid",
    "fit_sunab_py",
    "fit_twfe_py",
    "geo",
    "geo_power",
    "geo_power_ensemble",
    "geo_diagnostics",
    "geo_select",
    "optimal_block_length",
    "sensitivity",
    "synth",
    "version",
]
