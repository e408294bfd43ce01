"""tessarix: fast, exact, reproducible causal inference on panel data.

All numerical work happens in the compiled module ``tessarix._tessarix``; this package
re-exports its functions and result classes.
"""

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

__all__ = [
    "BaconComponent",
    "BaconResult",
    "CPASCResult",
    "DiDResult",
    "GeoDiagnostics",
    "InternalError",
    "MarketCandidate",
    "PowerResult",
    "SCResult",
    "bacon_decompose_py",
    "bootstrap_mean",
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
    "geo_power",
    "geo_power_ensemble",
    "geo_diagnostics",
    "geo_select",
    "version",
]
