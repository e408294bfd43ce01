"""``tessarix.sensitivity``: how robust an event study's conclusions are to violations of parallel
trends (Rambachan & Roth, "A More Credible Approach to Parallel Trends"). Robust confidence
intervals for a post-period target under relative-magnitude or smoothness restrictions on the
trend's bias, over a grid of the restriction's bound, with the original interval and the
breakdown value for comparison."""

from __future__ import annotations

import math
import numbers
from typing import Any, Optional, Sequence, Union

import numpy as np

from .. import _core
from ..results.did import DidResult
from ..results.sensitivity import SensitivityResult, TargetSensitivity

KINDS = ("relative_magnitude", "smoothness")
METHODS = {"relative_magnitude": ("C-LF", "Conditional"), "smoothness": ("FLCI",)}
DRAWS = ("legacy", "generator")
# The default grid of Mbar: ten values from 0 to 2 (the original method's default range).
DEFAULT_MBAR = (0.0, 2.0, 10)
# The hybrid's critical value is simulated with this many draws per piece of Delta^RM.
DEFAULT_SIMS = 1000
# The smoothness breakdown value is located to this relative precision by bisection.
BREAKDOWN_RTOL = 1e-6
BREAKDOWN_STEPS = 60

Target = Union[str, Sequence[float]]


def sensitivity(result: DidResult, kind: str = "relative_magnitude", *, mbar: Optional[Sequence[float]] = None,
                m: Optional[Sequence[float]] = None, target: Union[Target, Sequence[Target]] = "first",
                level: float = 0.95, method: Optional[str] = None, grid_points: int = 1000,
                grid_lb: Optional[float] = None, grid_ub: Optional[float] = None, seed: int = 0,
                draws: str = "legacy", sims: int = DEFAULT_SIMS) -> SensitivityResult:
    """Robust confidence intervals for an event study under violations of parallel trends.

    Parameters
    ----------
    result : DidResult
        An event-study fit (``tessarix.did``) whose ``event_vcov`` holds the covariance of its
        event-time estimates. Event times below the reference period are the pre-periods, those
        above it the post-periods; each run must be consecutive, with at least two pre-periods.
    kind : {"relative_magnitude", "smoothness"}
        Relative magnitudes Delta^RM(Mbar): each post-period first difference of the trend's bias
        is at most Mbar times the largest pre-period one. Smoothness Delta^SD(M): each second
        difference of the bias is at most M.
    mbar, m : sequence of float, optional
        The grid of the bound (non-negative). Defaults: ten values of Mbar from 0 to 2; ten
        values of M from 0 to the largest one-sided 95% upper bound on a pre-period second
        difference.
    target : "first", "average", "each", weights, or a list of these
        The effect to bound: the first post period (default), the average of the post periods,
        each post-period event time in turn (targets named "event 0", "event 1", ...), or weights
        over the post periods; a list gives one set of intervals per target.
    level : float
        Confidence level.
    method : str, optional
        Relative magnitudes: "C-LF" (default; the conditional least-favourable hybrid of Andrews,
        Roth & Pakes) or "Conditional". Smoothness: "FLCI" (default; the optimal fixed-length
        interval).
    grid_points, grid_lb, grid_ub
        Relative magnitudes: the theta grid the test is inverted over (default 1000 points
        spanning the identified set at each Mbar and 20 standard deviations either side: of the
        target's estimate, plus Mbar times that of the largest pre-period difference as it
        carries into the target).
    seed, draws, sims
        Relative magnitudes with "C-LF": the hybrid's first-stage critical value is simulated
        from `sims` draws per piece of Delta^RM, each piece drawing afresh from NumPy's
        ``RandomState(seed)`` (``draws="legacy"``, the convention of the ``honestdid`` package)
        or ``default_rng(seed)`` (``draws="generator"``, that of ``moderndid``), by
        ``multivariate_normal`` from the covariance ``tessarix._core.honest_rm_draw_covariances``
        gives.

    Returns
    -------
    SensitivityResult
        The intervals per target and grid value (``to_frame()``), the original intervals and the
        breakdown values (``summary()``).
    """
    if not isinstance(result, DidResult):
        raise TypeError(f"sensitivity needs a DidResult (from tessarix.did), got {type(result).__name__}")
    if kind not in KINDS:
        raise ValueError(f"kind must be one of {', '.join(map(repr, KINDS))}, got {kind!r}")
    method = METHODS[kind][0] if method is None else method
    if method not in METHODS[kind]:
        raise ValueError(f"method for {kind} must be one of {', '.join(map(repr, METHODS[kind]))}, got {method!r}")
    if not (isinstance(level, numbers.Real) and 0.0 < float(level) < 1.0):
        raise ValueError(f"level must lie in (0, 1), got {level!r}")
    if draws not in DRAWS:
        raise ValueError(f"draws must be one of {', '.join(map(repr, DRAWS))}, got {draws!r}")
    alpha = 1.0 - float(level)
    betahat, sigma, num_pre, num_post = _event_study(result)
    first_post = result.reference_period + 1
    targets = [named for t in _target_list(target) for named in _targets(t, num_post, first_post)]

    if kind == "relative_magnitude":
        if m is not None:
            raise ValueError("m is the smoothness bound; relative magnitudes take mbar")
        grid = _grid(mbar, "mbar") if mbar is not None else np.linspace(*DEFAULT_MBAR)
        sim = _rm_draws(sigma, num_pre, num_post, grid, seed, draws, sims) if method == "C-LF" else None
        out = []
        for name, weights in targets:
            r = _core.honest_relative_magnitude(betahat, sigma, num_pre, num_post, grid, l_vec=weights, alpha=alpha,
                                                method=method, grid_points=grid_points, grid_lb=grid_lb,
                                                grid_ub=grid_ub, draws=sim)
            out.append(_entry(name, weights, r["mbar"], r["lower"], r["upper"], r["open"].astype(bool),
                              r["original"], _grid_breakdown(r["mbar"], r["lower"], r["upper"])))
        return SensitivityResult(kind, method, float(level), tuple(out), "grid", result.design.backend)

    if mbar is not None:
        raise ValueError("mbar is the relative-magnitude bound; smoothness takes m")
    grid = _grid(m, "m") if m is not None else []
    out = []
    for name, weights in targets:
        r = _core.honest_smoothness(betahat, sigma, num_pre, num_post, grid, l_vec=weights, alpha=alpha)
        bd = _refined_breakdown(r, betahat, sigma, num_pre, num_post, weights, alpha)
        out.append(_entry(name, weights, r["m"], r["lower"], r["upper"], np.zeros(len(r["m"]), dtype=bool),
                          r["original"], bd))
    return SensitivityResult(kind, method, float(level), tuple(out), "refined", result.design.backend)


def _event_study(result: DidResult) -> tuple[np.ndarray, np.ndarray, int, int]:
    """The pre- then post-period estimates in event-time order and their covariance."""
    ref = result.reference_period
    if ref is None:
        raise ValueError(f"sensitivity needs an event study; method {result.method!r} estimates none")
    if result.event_vcov is None:
        raise ValueError(f"the {result.method!r} fit gives no covariance of its event-study estimates "
                         "(event_vcov is None), which the sensitivity analysis needs")
    times = np.asarray(result.native.event_time, dtype=np.int64)
    est = np.asarray(result.native.event_att, dtype=float)
    vcov = np.asarray(result.event_vcov, dtype=float)
    if vcov.shape != (len(times), len(times)):
        raise ValueError(f"event_vcov must be {len(times)} x {len(times)} (one row per event time), "
                         f"got {vcov.shape}")
    order = np.argsort(times, kind="stable")
    times, est, vcov = times[order], est[order], vcov[np.ix_(order, order)]
    pre, post = times[times < ref], times[times > ref]
    if len(pre) < 2:
        raise ValueError(f"sensitivity needs at least two pre-periods (event times below the reference "
                         f"period {ref}); the event study has {len(pre)}")
    if len(post) < 1:
        raise ValueError(f"sensitivity needs a post-period (an event time above the reference period {ref})")
    if not (np.array_equal(pre, np.arange(ref - len(pre), ref)) and
            np.array_equal(post, np.arange(ref + 1, ref + 1 + len(post)))):
        raise ValueError("the event times must be consecutive on each side of the reference period "
                         f"{ref}; got {times.tolist()}")
    keep = (times < ref) | (times > ref)
    return est[keep], np.ascontiguousarray(vcov[np.ix_(keep, keep)]), len(pre), len(post)


def _target_list(target: Any) -> list[Any]:
    """One target or a list of them (a flat list of numbers is one set of weights)."""
    if isinstance(target, str):
        return [target]
    items = list(target)
    if items and all(isinstance(x, numbers.Real) for x in items):
        return [items]
    if not items:
        raise ValueError("target must not be empty")
    return items


def _targets(target: Any, num_post: int, first_post: int) -> list[tuple[str, list[float]]]:
    """The named weights of one target; "each" is one target per post-period event time."""
    if isinstance(target, str) and target == "each":
        return [(f"event {first_post + k}", [1.0 if j == k else 0.0 for j in range(num_post)])
                for k in range(num_post)]
    return [_target(target, num_post)]


def _target(target: Any, num_post: int) -> tuple[str, list[float]]:
    if isinstance(target, str):
        if target == "first":
            return "first", [1.0] + [0.0] * (num_post - 1)
        if target == "average":
            return "average", [1.0 / num_post] * num_post
        raise ValueError(f"target must be 'first', 'average', 'each' or weights over the {num_post} post-periods, "
                         f"got {target!r}")
    weights = [float(w) for w in target]
    if len(weights) != num_post:
        raise ValueError(f"target weights must have one entry per post-period ({num_post}), got {len(weights)}")
    return "custom", weights


def _grid(values: Sequence[float], name: str) -> list[float]:
    out = [float(v) for v in np.atleast_1d(np.asarray(values, dtype=float))]
    if not out or not all(math.isfinite(v) and v >= 0.0 for v in out):
        raise ValueError(f"{name} must be a non-empty list of finite, non-negative numbers")
    return out


def _rm_draws(sigma: np.ndarray, num_pre: int, num_post: int, grid: Sequence[float], seed: int, draws: str,
              sims: int) -> np.ndarray:
    """The hybrid's simulation draws: per piece a fresh generator from `seed`."""
    if not (isinstance(sims, numbers.Integral) and sims >= 1):
        raise ValueError(f"sims must be a positive integer, got {sims!r}")
    covs = _core.honest_rm_draw_covariances(sigma, num_pre, num_post, grid)
    mean = np.zeros(covs.shape[1])

    def fresh() -> Any:
        return np.random.RandomState(seed) if draws == "legacy" else np.random.default_rng(seed)

    return np.stack([fresh().multivariate_normal(mean, c, size=int(sims)) for c in covs])


def _contains_zero(lower: float, upper: float) -> bool:
    return bool(lower <= 0.0 <= upper)


def _grid_breakdown(grid: np.ndarray, lower: np.ndarray, upper: np.ndarray) -> Optional[float]:
    """The smallest grid value whose interval contains zero, None when none does."""
    for g, lo, hi in sorted(zip(grid, lower, upper)):
        if _contains_zero(lo, hi):
            return float(g)
    return None


def _refined_breakdown(r: dict[str, Any], betahat: np.ndarray, sigma: np.ndarray, num_pre: int, num_post: int,
                       weights: list[float], alpha: float) -> Optional[float]:
    """The grid breakdown value of the smoothness intervals, then the crossing between it and the
    largest smaller grid value whose interval excludes zero, located by bisection."""
    grid, lower, upper = r["m"], r["lower"], r["upper"]
    first = _grid_breakdown(grid, lower, upper)
    if first is None:
        return None
    below = [g for g, lo, hi in zip(grid, lower, upper) if g < first and not _contains_zero(lo, hi)]
    if not below:
        return first
    lo_m, hi_m = max(below), first
    for _ in range(BREAKDOWN_STEPS):
        if hi_m - lo_m <= BREAKDOWN_RTOL * hi_m:
            break
        mid = 0.5 * (lo_m + hi_m)
        s = _core.honest_smoothness(betahat, sigma, num_pre, num_post, [mid], l_vec=weights, alpha=alpha)
        if _contains_zero(s["lower"][0], s["upper"][0]):
            hi_m = mid
        else:
            lo_m = mid
    return hi_m


def _entry(name: str, weights: list[float], grid: Any, lower: Any, upper: Any, open_: Any, original: Any,
           breakdown: Optional[float]) -> TargetSensitivity:
    return TargetSensitivity(name, tuple(float(w) for w in weights), tuple(float(g) for g in grid),
                             tuple(float(v) for v in lower), tuple(float(v) for v in upper),
                             tuple(bool(o) for o in open_), (float(original[0]), float(original[1])), breakdown)
