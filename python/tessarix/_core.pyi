"""Type stubs of the compiled extension module `tessarix._core`."""

from typing import Callable, Literal, overload, NotRequired, Sequence, SupportsFloat, SupportsIndex, TypedDict

from ._tessarix import DiDResult, MarketCandidate, PowerResult, SCResult

import numpy as np
import numpy.typing as npt

_Panel = npt.NDArray[np.float64]
_Progress = Callable[[int, int], object] | None
_Floats = Sequence[SupportsFloat] | npt.NDArray[np.float64]

class _ScPaths(TypedDict):
    treated: npt.NDArray[np.float64]
    synthetic: npt.NDArray[np.float64]
    gap: npt.NDArray[np.float64]
    placebo_units: NotRequired[npt.NDArray[np.int64]]
    placebo_gaps: NotRequired[npt.NDArray[np.float64]]

class _SdidPaths(_ScPaths):
    time_weights: npt.NDArray[np.float64]
    intercept: float

class _McnnmPaths(TypedDict):
    treated: npt.NDArray[np.float64]
    synthetic: npt.NDArray[np.float64]
    gap: npt.NDArray[np.float64]

class _SetPlacebo(TypedDict):
    att: float
    stat: float
    p_value: float
    se: float
    ci_lower: float
    ci_upper: float
    exhaustive: bool
    placebo_units: npt.NDArray[np.int64]
    placebo_stats: npt.NDArray[np.float64]
    placebo_atts: npt.NDArray[np.float64]
    placebo_gaps: npt.NDArray[np.float64]

class _ScPredictorFit(TypedDict):
    att: float
    att_path: npt.NDArray[np.float64]
    counterfactual: npt.NDArray[np.float64]
    treated_post: npt.NDArray[np.float64]
    pre_gap: npt.NDArray[np.float64]
    weights: npt.NDArray[np.float64]
    donor_ids: npt.NDArray[np.int64]
    pre_rmspe: float
    post_rmspe: float
    v: npt.NDArray[np.float64]
    loss: float
    treated: npt.NDArray[np.float64]
    synthetic: npt.NDArray[np.float64]
    gap: npt.NDArray[np.float64]
    placebo_test: NotRequired[_SetPlacebo]

class _GeoWindows(TypedDict):
    starts: npt.NDArray[np.int64]
    null_att: npt.NDArray[np.float64]
    weights: NotRequired[npt.NDArray[np.float64]]

class _Imputation(TypedDict):
    result: DiDResult
    vcov: npt.NDArray[np.float64]
    effects: npt.NDArray[np.float64]
    n_leads: int
    n_untreated: int
    n_imputed: int
    n_excluded: int

class _Pivot(TypedDict):
    unit_major: bool
    unit_first: npt.NDArray[np.int64]
    time_first: npt.NDArray[np.int64]
    cells: list[npt.NDArray[np.float64] | None]
    units: list[npt.NDArray[np.int64] | npt.NDArray[np.float64]]
    n_missing: int
    first_missing: tuple[int, int] | None
    duplicate: tuple[int, int] | None
    nonfinite: list[tuple[int, int | None]]
    varying: list[int | None]

def pivot_long(
    unit_keys: npt.NDArray[np.int64],
    time_keys: npt.NDArray[np.int64],
    cell_columns: list[npt.NDArray[np.float64]],
    unit_columns: list[npt.NDArray[np.int64] | npt.NDArray[np.float64]],
) -> _Pivot:
    """Long rows to a units x periods panel, every defect located by row."""

def paths_sc(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    ridge: SupportsFloat = 0.0,
    penalty: SupportsFloat = 0.0,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    placebo: bool = False,
) -> _ScPaths:
    """Full paths of the synthetic-control fit of `fit_sc` (same arguments and checks)."""

def paths_asc(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    sc_ridge: SupportsFloat = 0.0,
    aug_lambda: SupportsFloat | None = None,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    placebo: bool = False,
) -> _ScPaths:
    """Full paths of the augmented synthetic-control fit of `fit_asc`."""

def paths_fp(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    ridge: SupportsFloat = 0.0,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    placebo: bool = False,
) -> _ScPaths:
    """Full paths of the demeaned synthetic-control fit of `fit_fp`."""

def paths_rsc(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    rank: SupportsIndex | None = None,
    energy: SupportsFloat = 0.999,
    ridge: SupportsFloat = 0.0,
    placebo: bool = False,
) -> _ScPaths:
    """Full paths of the robust synthetic-control fit of `fit_rsc`."""

def paths_sdid(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    zeta_scale: SupportsFloat = 1.0,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    placebo: bool = False,
) -> _SdidPaths:
    """Full paths, time weights and intercept of the SDID fit of `fit_sdid`."""

def paths_mcnnm(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    lambda_: SupportsFloat | None = None,
    max_iter: SupportsIndex = 200,
    tol: SupportsFloat = 1e-5,
    seed: SupportsIndex = 0,
    max_rank: SupportsIndex | None = None,
) -> _McnnmPaths:
    """Full paths of the matrix-completion fit of `fit_mcnnm`."""

def fit_sc_predictors(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    predictors: _Panel,
    v: _Floats | None = None,
    loss_periods: Sequence[SupportsIndex] = [],
    placebo: bool = False,
    draws: SupportsIndex = 1000,
    seed: SupportsIndex = 0,
    level: SupportsFloat = 0.95,
    progress: _Progress = None,
) -> _ScPredictorFit:
    """Synthetic control matched on predictors, V given or chosen by the nested search."""

def fit_many_predictors(
    y3: npt.NDArray[np.float64],
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    predictors: _Panel,
    v: _Floats | None = None,
    loss_periods: Sequence[SupportsIndex] = [],
) -> npt.NDArray[np.float64]:
    """`fit_many` for the synthetic control matched on predictors."""

def placebo_sc(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    ridge: SupportsFloat = 0.0,
    penalty: SupportsFloat = 0.0,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    draws: SupportsIndex = 1000,
    seed: SupportsIndex = 0,
    level: SupportsFloat = 0.95,
    progress: _Progress = None,
) -> _SetPlacebo:
    """Placebo test of the `fit_sc` fit with pseudo-treated sets as large as the treated group."""

def placebo_asc(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    sc_ridge: SupportsFloat = 0.0,
    aug_lambda: SupportsFloat | None = None,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    draws: SupportsIndex = 1000,
    seed: SupportsIndex = 0,
    level: SupportsFloat = 0.95,
    progress: _Progress = None,
) -> _SetPlacebo:
    """Placebo test of the `fit_asc` fit with pseudo-treated sets as large as the treated group."""

def placebo_sdid(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    zeta_scale: SupportsFloat = 1.0,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    draws: SupportsIndex = 1000,
    seed: SupportsIndex = 0,
    level: SupportsFloat = 0.95,
    progress: _Progress = None,
) -> _SetPlacebo:
    """Placebo test of the `fit_sdid` fit with pseudo-treated sets as large as the treated group."""

def placebo_fp(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    ridge: SupportsFloat = 0.0,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    draws: SupportsIndex = 1000,
    seed: SupportsIndex = 0,
    level: SupportsFloat = 0.95,
    progress: _Progress = None,
) -> _SetPlacebo:
    """Placebo test of the `fit_fp` fit with pseudo-treated sets as large as the treated group."""

def placebo_rsc(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    rank: SupportsIndex | None = None,
    energy: SupportsFloat = 0.999,
    ridge: SupportsFloat = 0.0,
    draws: SupportsIndex = 1000,
    seed: SupportsIndex = 0,
    level: SupportsFloat = 0.95,
    progress: _Progress = None,
) -> _SetPlacebo:
    """Placebo test of the `fit_rsc` fit with pseudo-treated sets as large as the treated group."""

class _Conformal(TypedDict):
    att: float
    att_path: npt.NDArray[np.float64]
    statistic: float
    p_value: float
    residuals: npt.NDArray[np.float64]
    ci_lower: npt.NDArray[np.float64]
    ci_upper: npt.NDArray[np.float64]

def conformal_sc(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    ridge: SupportsFloat = 0.0,
    penalty: SupportsFloat = 0.0,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    null: _Floats | None = None,
    scheme: Literal["block", "iid"] = "block",
    permutations: SupportsIndex = 999,
    seed: SupportsIndex = 0,
    q: SupportsFloat = 1.0,
    level: SupportsFloat = 0.95,
    intervals: bool = True,
    progress: _Progress = None,
) -> _Conformal:
    """Conformal permutation test and pointwise intervals of the `fit_sc` fit."""

def conformal_asc(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    sc_ridge: SupportsFloat = 0.0,
    aug_lambda: SupportsFloat | None = None,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    null: _Floats | None = None,
    scheme: Literal["block", "iid"] = "block",
    permutations: SupportsIndex = 999,
    seed: SupportsIndex = 0,
    q: SupportsFloat = 1.0,
    level: SupportsFloat = 0.95,
    intervals: bool = True,
    progress: _Progress = None,
) -> _Conformal:
    """Conformal permutation test and pointwise intervals of the `fit_asc` fit."""

def conformal_sdid(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    zeta_scale: SupportsFloat = 1.0,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    null: _Floats | None = None,
    scheme: Literal["block", "iid"] = "block",
    permutations: SupportsIndex = 999,
    seed: SupportsIndex = 0,
    q: SupportsFloat = 1.0,
    level: SupportsFloat = 0.95,
    intervals: bool = True,
    progress: _Progress = None,
) -> _Conformal:
    """Conformal permutation test and pointwise intervals of the `fit_sdid` fit."""

def conformal_fp(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    ridge: SupportsFloat = 0.0,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    null: _Floats | None = None,
    scheme: Literal["block", "iid"] = "block",
    permutations: SupportsIndex = 999,
    seed: SupportsIndex = 0,
    q: SupportsFloat = 1.0,
    level: SupportsFloat = 0.95,
    intervals: bool = True,
    progress: _Progress = None,
) -> _Conformal:
    """Conformal permutation test and pointwise intervals of the `fit_fp` fit."""

def conformal_rsc(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    rank: SupportsIndex | None = None,
    energy: SupportsFloat = 0.999,
    ridge: SupportsFloat = 0.0,
    null: _Floats | None = None,
    scheme: Literal["block", "iid"] = "block",
    permutations: SupportsIndex = 999,
    seed: SupportsIndex = 0,
    q: SupportsFloat = 1.0,
    level: SupportsFloat = 0.95,
    intervals: bool = True,
    progress: _Progress = None,
) -> _Conformal:
    """Conformal permutation test and pointwise intervals of the `fit_rsc` fit."""

class _HonestRm(TypedDict):
    mbar: npt.NDArray[np.float64]
    lower: npt.NDArray[np.float64]
    upper: npt.NDArray[np.float64]
    open: npt.NDArray[np.int64]
    original: tuple[float, float]

class _HonestSd(TypedDict):
    m: npt.NDArray[np.float64]
    lower: npt.NDArray[np.float64]
    upper: npt.NDArray[np.float64]
    half_length: npt.NDArray[np.float64]
    sd: npt.NDArray[np.float64]
    worst_bias: npt.NDArray[np.float64]
    weights: npt.NDArray[np.float64]
    original: tuple[float, float]

def conformal_sc_predictors(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    predictors: _Panel,
    v: _Floats | None = None,
    loss_periods: Sequence[SupportsIndex] = [],
    null: _Floats | None = None,
    scheme: Literal["block", "iid"] = "block",
    permutations: SupportsIndex = 999,
    seed: SupportsIndex = 0,
    q: SupportsFloat = 1.0,
    level: SupportsFloat = 0.95,
    intervals: bool = True,
    progress: _Progress = None,
) -> _Conformal:
    """Conformal permutation test and pointwise intervals of the `fit_sc_predictors` fit."""

def honest_relative_magnitude(
    betahat: _Floats,
    sigma: _Panel,
    num_pre: SupportsIndex,
    num_post: SupportsIndex,
    mbar: _Floats,
    l_vec: _Floats | None = None,
    alpha: SupportsFloat = 0.05,
    method: Literal["C-LF", "Conditional"] = "C-LF",
    grid_points: SupportsIndex = 1000,
    grid_lb: SupportsFloat | None = None,
    grid_ub: SupportsFloat | None = None,
    draws: npt.NDArray[np.float64] | None = None,
) -> _HonestRm:
    """Robust confidence sets for l'tau_post under relative magnitudes Delta^RM(Mbar)."""

def honest_rm_draw_covariances(
    sigma: _Panel,
    num_pre: SupportsIndex,
    num_post: SupportsIndex,
    mbar: _Floats,
) -> npt.NDArray[np.float64]:
    """The covariance of each piece's moments, which the least-favourable hybrid draws from."""

def honest_smoothness(
    betahat: _Floats,
    sigma: _Panel,
    num_pre: SupportsIndex,
    num_post: SupportsIndex,
    m: _Floats = [],
    l_vec: _Floats | None = None,
    alpha: SupportsFloat = 0.05,
) -> _HonestSd:
    """Fixed-length confidence intervals for l'tau_post under smoothness Delta^SD(M)."""

def geo_windows(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    test_len: SupportsIndex,
    method: str = "sdid",
    min_pre: SupportsIndex = 0,
    lookback: SupportsIndex | None = None,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    members: Sequence[str] | None = None,
    weights: Sequence[SupportsFloat] | None = None,
    predictors: _Panel | None = None,
) -> _GeoWindows:
    """The placebo windows of a power analysis: each window's start and no-lift estimate."""

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
    progress: _Progress = None,
) -> SCResult:
    """`tessarix.fit_sc`, reporting the progress of its placebo refits."""

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
    progress: _Progress = None,
) -> SCResult:
    """`tessarix.fit_asc`, reporting the progress of its placebo refits."""

def fit_sdid(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    zeta_scale: SupportsFloat = 1.0,
    inference: Literal["none", "placebo", "jackknife"] = "none",
    level: SupportsFloat = 0.95,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    progress: _Progress = None,
) -> SCResult:
    """`tessarix.fit_sdid`, reporting the progress of its placebo refits."""

def fit_fp(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    ridge: SupportsFloat = 0.0,
    placebo: bool = False,
    level: SupportsFloat = 0.95,
    min_weight: SupportsFloat = 0.0,
    max_weight: SupportsFloat = 1.0,
    progress: _Progress = None,
) -> SCResult:
    """`tessarix.fit_fp`, reporting the progress of its placebo refits."""

def fit_rsc(
    y: _Panel,
    treated: Sequence[SupportsIndex],
    treat_time: SupportsIndex,
    rank: SupportsIndex | None = None,
    energy: SupportsFloat = 0.999,
    ridge: SupportsFloat = 0.0,
    placebo: bool = False,
    level: SupportsFloat = 0.95,
    progress: _Progress = None,
) -> SCResult:
    """`tessarix.fit_rsc`, reporting the progress of its placebo refits."""

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
    progress: _Progress = None,
    predictors: _Panel | None = None,
) -> PowerResult:
    """`tessarix.geo_power`, reporting the progress of its placebo windows."""

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
    progress: _Progress = None,
) -> PowerResult:
    """`tessarix.geo_power_ensemble`, reporting the progress of its member fits."""

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
    progress: _Progress = None,
) -> list[MarketCandidate]:
    """`tessarix.geo_select`, reporting the progress of its candidates."""

def geo_candidates(
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
) -> list[list[int]]:
    """The candidate sets `geo_select` evaluates, in its generation order."""

def geo_evaluate(
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
    candidates: Sequence[Sequence[SupportsIndex]] = [],
    progress: _Progress = None,
) -> list[MarketCandidate]:
    """The given candidate sets evaluated as `geo_select` evaluates each, not ranked."""

@overload
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
    progress: _Progress = None,
    event_vcov: Literal[False] = False,
    est_method: Literal["reg", "dr", "ipw"] = "reg",
    on_dropped: Callable[[int, int, npt.NDArray[np.int64]], object] | None = None,
) -> DiDResult:
    """`tessarix.fit_callaway_py`, reporting the progress of its cells and band bootstrap, by
    outcome regression, doubly robust or inverse-probability-weighted estimation."""
@overload
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
    progress: _Progress = None,
    *,
    event_vcov: Literal[True],
    est_method: Literal["reg", "dr", "ipw"] = "reg",
    on_dropped: Callable[[int, int, npt.NDArray[np.int64]], object] | None = None,
) -> tuple[DiDResult, npt.NDArray[np.float64]]:
    """The same with the covariance of its event-study estimates."""
@overload
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
    progress: _Progress = None,
    event_vcov: bool = False,
    est_method: Literal["reg", "dr", "ipw"] = "reg",
    on_dropped: Callable[[int, int, npt.NDArray[np.int64]], object] | None = None,
) -> DiDResult | tuple[DiDResult, npt.NDArray[np.float64]]:
    """The result, and the covariance of its event-study estimates when asked for."""

def fit_sunab_py(
    y: _Panel, cohorts: Sequence[SupportsIndex]
) -> tuple[DiDResult, npt.NDArray[np.float64]]:
    """`tessarix.fit_sunab_py` with the covariance of its event-study estimates."""

def fit_imputation(
    y: _Panel,
    cohorts: Sequence[SupportsIndex],
    anticipation: SupportsIndex = 0,
    leads: SupportsIndex | None = None,
) -> _Imputation:
    """Borusyak, Jaravel & Spiess (2024) imputation estimator: the event study (pre-trend leads
    with never-treated units, then the horizons), cohort and overall effects in `result`, their
    covariance `vcov` (event study, then overall), the imputed cell effects and cell counts."""

def geo_rank(candidates: Sequence[MarketCandidate]) -> list[MarketCandidate]:
    """The candidates ranked as `geo_select` ranks them."""
