"""Type stubs of the compiled extension module `tessarix._tessarix`."""

from typing import Literal, Sequence, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

_Panel = npt.NDArray[np.float64]

def version() -> str:
    """The tessarix version string."""

def fit_sc(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    ridge: SupportsFloat = 0.0,
    placebo: bool = False,
    level: SupportsFloat = 0.95,
    penalty: SupportsFloat = 0.0,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
) -> SCResult:
    """Fit synthetic control."""

def fit_asc(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    sc_ridge: SupportsFloat = 0.0,
    aug_lambda: SupportsFloat | None = None,
    placebo: bool = False,
    level: SupportsFloat = 0.95,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
) -> SCResult:
    """Fit Augmented Synthetic Control (Ben-Michael et al. 2021)."""

def fit_sdid(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    zeta_scale: SupportsFloat = 1.0,
    inference: Literal["none", "placebo", "jackknife"] = "none",
    level: SupportsFloat = 0.95,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
) -> SCResult:
    """Fit Synthetic Difference-in-Differences (Arkhangelsky et al. 2021)."""

def fit_fp(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    ridge: SupportsFloat = 0.0,
    placebo: bool = False,
    level: SupportsFloat = 0.95,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
) -> SCResult:
    """Fit the demeaned synthetic control (Ferman & Pinto 2021)."""

def fit_rsc(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    rank: SupportsIndex | None = None,
    energy: SupportsFloat = 0.999,
    ridge: SupportsFloat = 0.0,
    placebo: bool = False,
    level: SupportsFloat = 0.95,
) -> SCResult:
    """Fit robust / spectrally de-noised synthetic control (Amjad, Shah & Shen 2018)."""

def fit_mcnnm(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    lambda_: SupportsFloat | None = None,
    max_iter: SupportsIndex = 200,
    tol: SupportsFloat = 1e-5,
    seed: SupportsIndex = 0,
    max_rank: SupportsIndex | None = None,
) -> SCResult:
    """Fit Matrix-Completion NNM (Athey et al. 2021)."""

def fit_cpasc(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    mode: Literal["mspe", "stratified", "cumulative"] = "mspe",
    n_strata: SupportsIndex = 3,
    block_len: SupportsIndex | None = None,
    sc_ridge: SupportsFloat = 0.0,
    aug_lambda: SupportsFloat | None = None,
) -> CPASCResult:
    """Fit a CP-ASC-family estimator (novel)."""

def bootstrap_mean(
    series: Sequence[SupportsFloat],
    kind: Literal["block", "stationary"] = "block",
    block_len: SupportsIndex = 4,
    n_reps: SupportsIndex = 2000,
    seed: SupportsIndex = 0,
    level: SupportsFloat = 0.95,
) -> tuple[float, float, float]:
    """Block / stationary bootstrap of the mean of a series; returns (se, ci_lower, ci_upper)."""

def fit_many(
    y3: npt.NDArray[np.float64],
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    method: Literal["sc", "asc", "sdid", "fp", "rsc"] = "sc",
    ridge: SupportsFloat = 0.0,
    zeta_scale: SupportsFloat = 1.0,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
) -> npt.NDArray[np.float64]:
    """Batched, parallel fitting for Monte-Carlo / power-analysis / robustness runs."""

def fit_twfe_py(y: _Panel, cohorts: Sequence[SupportsIndex]) -> DiDResult:
    """Two-way fixed-effects DiD with cluster-robust SE."""

def fit_callaway_py(
    y: _Panel,
    cohorts: Sequence[SupportsIndex],
    control: Literal["never", "notyet", "not_yet_treated"] = "never",
    covariates: _Panel | None = None,
    anticipation: SupportsIndex = 0,
    bands: bool = False,
    n_reps: SupportsIndex = 999,
    seed: SupportsIndex = 0,
    level: SupportsFloat = 0.95,
) -> DiDResult:
    """Callaway & Sant'Anna group-time ATTs aggregated to overall + event study."""

def fit_sunab_py(y: _Panel, cohorts: Sequence[SupportsIndex]) -> DiDResult:
    """Sun & Abraham interaction-weighted event study."""

def bacon_decompose_py(y: _Panel, cohorts: Sequence[SupportsIndex]) -> BaconResult:
    """Goodman-Bacon decomposition of the TWFE estimate into 2×2 comparisons."""

def geo_power(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    test_len: SupportsIndex,
    lifts: Sequence[SupportsFloat],
    method: str = "sdid",
    alpha: SupportsFloat = 0.1,
    target_power: SupportsFloat = 0.8,
    min_pre: SupportsIndex = 0,
    lookback: SupportsIndex | None = None,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
) -> PowerResult:
    """Power analysis for one method via historical placebo with injected lift."""

def geo_power_ensemble(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    test_len: SupportsIndex,
    lifts: Sequence[SupportsFloat],
    alpha: SupportsFloat = 0.1,
    target_power: SupportsFloat = 0.8,
    min_pre: SupportsIndex = 0,
    lookback: SupportsIndex | None = None,
    weights: Sequence[SupportsFloat] | None = None,
    members: Sequence[str] | None = None,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
) -> PowerResult:
    """Power analysis for a **weighted-average ensemble** of base methods."""

def geo_diagnostics(
    y: _Panel, treated: Sequence[SupportsIndex], test_len: SupportsIndex
) -> GeoDiagnostics:
    """Design diagnostics for a treated-market set."""

def geo_select(
    y: _Panel,
    eligible: Sequence[SupportsIndex],
    max_treated: SupportsIndex,
    test_len: SupportsIndex,
    target_lift: SupportsFloat,
    method: str = "sdid",
    alpha: SupportsFloat = 0.1,
    target_power: SupportsFloat = 0.8,
    min_pre: SupportsIndex = 0,
    n_candidates: SupportsIndex = 200,
    seed: SupportsIndex = 0,
    exact_size: SupportsIndex | None = None,
    lookback: SupportsIndex | None = None,
    include: Sequence[SupportsIndex] | None = None,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
) -> list[MarketCandidate]:
    """Search and rank candidate treatment-market sets."""

@final
class DiDResult:
    """Result of a difference-in-differences fit, exposed to Python."""

    @property
    def att(self) -> float: ...
    @property
    def se(self) -> float: ...
    @property
    def event_time(self) -> list[int]: ...
    @property
    def event_att(self) -> list[float]: ...
    @property
    def event_se(self) -> list[float]: ...
    @property
    def event_lo(self) -> list[float]: ...
    @property
    def event_hi(self) -> list[float]: ...
    @property
    def band_crit(self) -> float | None: ...
    @property
    def group_cohort(self) -> list[int]: ...
    @property
    def group_att(self) -> list[float]: ...
    @property
    def group_se(self) -> list[float]: ...
    @property
    def overall_group_att(self) -> float | None: ...
    @property
    def overall_group_se(self) -> float | None: ...

@final
class SCResult:
    """Result of a synthetic-control-family fit, exposed to Python."""

    @property
    def att(self) -> float: ...
    @property
    def att_path(self) -> list[float]: ...
    @property
    def counterfactual(self) -> list[float]: ...
    @property
    def treated_post(self) -> list[float]: ...
    @property
    def weights(self) -> list[float]: ...
    @property
    def donor_ids(self) -> list[int]: ...
    @property
    def pre_rmspe(self) -> float: ...
    @property
    def post_rmspe(self) -> float: ...
    @property
    def p_value(self) -> float | None: ...
    @property
    def se(self) -> float | None: ...
    @property
    def ci_lower(self) -> float | None: ...
    @property
    def ci_upper(self) -> float | None: ...
    @property
    def inference_distribution(self) -> list[float] | None: ...
    @property
    def placebo_atts(self) -> list[float] | None: ...

@final
class CPASCResult:
    """Result of a CP-ASC-family fit, exposed to Python."""

    @property
    def att(self) -> float: ...
    @property
    def p_value(self) -> float: ...
    @property
    def unit_ids(self) -> list[int]: ...
    @property
    def unit_att(self) -> list[float]: ...
    @property
    def unit_mspe(self) -> list[float]: ...
    @property
    def unit_weight(self) -> list[float]: ...
    @property
    def pooled_residual(self) -> list[float]: ...
    @property
    def null_residual(self) -> list[float]: ...
    @property
    def t0(self) -> int: ...

@final
class BaconComponent:
    """One 2×2 comparison in a Goodman-Bacon decomposition."""

    @property
    def kind(self) -> str: ...
    @property
    def treated_cohort(self) -> int: ...
    @property
    def comparison_cohort(self) -> int | None: ...
    @property
    def weight(self) -> float: ...
    @property
    def estimate(self) -> float: ...

@final
class BaconResult:
    """Result of a Goodman-Bacon decomposition."""

    @property
    def twfe(self) -> float: ...
    @property
    def forbidden_weight(self) -> float: ...
    @property
    def components(self) -> list[BaconComponent]: ...

@final
class PowerResult:
    """Power-analysis result for one estimator (flattened for easy plotting)."""

    @property
    def method(self) -> str: ...
    @property
    def lifts(self) -> list[float]: ...
    @property
    def power(self) -> list[float]: ...
    @property
    def est_mean(self) -> list[float]: ...
    @property
    def est_lo(self) -> list[float]: ...
    @property
    def est_hi(self) -> list[float]: ...
    @property
    def mde_pct(self) -> float | None: ...
    @property
    def mde_abs_per_period(self) -> float | None: ...
    @property
    def mde_cumulative(self) -> float | None: ...
    @property
    def crit(self) -> float: ...
    @property
    def se_null(self) -> float: ...
    @property
    def n_windows(self) -> int: ...
    @property
    def ensemble_weights(self) -> list[float] | None: ...

@final
class GeoDiagnostics:
    """Design diagnostics, exposed to Python."""

    @property
    def holdout_pct(self) -> float: ...
    @property
    def pre_fit_rel(self) -> float: ...
    @property
    def improvement_vs_naive(self) -> float: ...
    @property
    def seasonality_strength(self) -> float: ...
    @property
    def stability_score(self) -> float: ...
    @property
    def confidence(self) -> float: ...
    @property
    def warnings(self) -> list[str]: ...

@final
class MarketCandidate:
    """One ranked candidate treatment-market set."""

    @property
    def treated(self) -> list[int]: ...
    @property
    def power_at_target(self) -> float: ...
    @property
    def mde_pct(self) -> float | None: ...
    @property
    def holdout_pct(self) -> float: ...
    @property
    def pre_fit_rel(self) -> float: ...
    @property
    def stability_score(self) -> float: ...
    @property
    def confidence(self) -> float: ...
    @property
    def score(self) -> float: ...
