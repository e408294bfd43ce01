"""Staggered-adoption DiD: Callaway-Sant'Anna, Sun-Abraham and TWFE inference on simulated
panels with known effects.

The design (fixed before any run):

* 500 units observed in periods 1..10. Each unit independently joins cohort 4, 6 or 8 (its
  first treated period) with probability 0.2 each, or stays never treated (0.4).
* Untreated outcome  y0_it = a_i + l_t + u_it,  with a_i ~ N(0.5 k_i, 1) where k_i is the
  cohort's order (0 never, 1, 2, 3: levels differ by cohort, which DiD allows), a common trend
  l_t = 0.2 t + N(0, 0.5^2) shocks, and errors AR(1) in time with coefficient 0.5 and unit
  variance, independent across units. Parallel trends hold and nobody anticipates treatment.
* Dynamic, heterogeneous effects (cs, sa): a unit of cohort g gains  c_g (1 + e/2)  at event
  time e = t - g >= 0, with c_4 = 1.5, c_6 = 1.0, c_8 = 0.5 (earlier adopters gain more and
  every effect grows with exposure). Homogeneous effects (twfe): a constant effect tau on every
  treated cell, tau = 1 for coverage and tau = 0 for size; TWFE is unbiased there.

The truths: an event-time effect is the cohort-weighted mean of c_g (1 + e/2) over the cohorts
observed at that event time, and 0 before adoption. For Callaway-Sant'Anna the weights are the
population cohort shares (equal here), the estimand its influence functions target, cohort shares
being estimated. For Sun-Abraham they are the realized cohort sizes of the replication: its
clustered standard errors hold the interaction weights fixed, so it is judged on the estimand
conditional on the cohort sizes.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from harness import COVERAGE_95, SIZE_10, Context, Row, coverage_rows, mean_se, proportion

N_UNITS = 500
TIMES = np.arange(1, 11)
COHORTS = np.array([4, 6, 8])
COHORT_PROB = np.array([0.2, 0.2, 0.2])     # never treated: the remaining 0.4
COHORT_GAIN = np.array([1.5, 1.0, 0.5])
ERROR_AR = 0.5
TREND = 0.2
SHOCK_SD = 0.5
LEVEL_STEP = 0.5
ARGS = dict(unit="unit", time="time", outcome="y", cohort="first_treated")


def dynamic_effect(k: int, e: np.ndarray | int) -> np.ndarray:
    """The effect of cohort COHORTS[k] at event time e (0 before adoption)."""
    e = np.asarray(e, dtype=float)
    return np.where(e >= 0, COHORT_GAIN[k] * (1.0 + e / 2.0), 0.0)


def ar1(rng: np.random.Generator, rows: int, cols: int, phi: float) -> np.ndarray:
    """Stationary AR(1) series along axis 1 with unit variance, one per row."""
    e = rng.standard_normal((rows, cols))
    x = np.empty_like(e)
    x[:, 0] = e[:, 0]
    s = np.sqrt(1.0 - phi * phi)
    for t in range(1, cols):
        x[:, t] = phi * x[:, t - 1] + s * e[:, t]
    return x


def staggered_panel(rng: np.random.Generator, n_units: int = N_UNITS):
    """One draw of the design before effects: (untreated outcomes units x periods, each unit's
    cohort order k (0 never, 1..3), each unit's first treated period (0 never))."""
    k = rng.choice(len(COHORTS) + 1, size=n_units, p=np.concatenate([[1.0 - COHORT_PROB.sum()], COHORT_PROB]))
    first = np.where(k > 0, COHORTS[np.maximum(k - 1, 0)], 0)
    level = rng.normal(LEVEL_STEP * k, 1.0)
    trend = TREND * TIMES + rng.normal(0.0, SHOCK_SD, size=len(TIMES))
    y0 = level[:, None] + trend[None, :] + ar1(rng, n_units, len(TIMES), ERROR_AR)
    return y0, k, first


def exposure(first: np.ndarray) -> np.ndarray:
    """Event time t - g of every cell (a large negative number for never-treated units)."""
    return np.where(first[:, None] > 0, TIMES[None, :] - first[:, None], -10**6)


def dynamic_effects(k: np.ndarray, first: np.ndarray) -> np.ndarray:
    e = exposure(first)
    out = np.zeros(e.shape)
    for j in range(len(COHORTS)):
        rows = k == j + 1
        out[rows] = dynamic_effect(j, e[rows])
    return out


def long_frame(y: np.ndarray, first: np.ndarray) -> dict:
    n, t = y.shape
    return {"unit": np.repeat(np.arange(n), t), "time": np.tile(TIMES, n), "y": y.ravel(),
            "first_treated": np.repeat(first, t)}


def event_truth(event_times, weights: np.ndarray) -> np.ndarray:
    """Each event time's true effect: the `weights`-weighted mean over the cohorts observed at it."""
    out = []
    for e in event_times:
        seen = [j for j, g in enumerate(COHORTS) if TIMES[0] <= g + e <= TIMES[-1]]
        w = weights[seen]
        out.append(float(np.dot(w, [float(dynamic_effect(j, e)) for j in seen]) / w.sum()))
    return np.array(out)


def overall_truth() -> float:
    """Callaway-Sant'Anna's overall ATT: post-treatment cells weighted by cohort share."""
    num = den = 0.0
    for j, g in enumerate(COHORTS):
        e = np.arange(0, TIMES[-1] - g + 1)
        num += COHORT_PROB[j] * dynamic_effect(j, e).sum()
        den += COHORT_PROB[j] * len(e)
    return num / den


def _covers(lo, hi, truth) -> np.ndarray:
    return (np.asarray(lo) <= truth) & (truth <= np.asarray(hi))


def _estimated(es) -> tuple[np.ndarray, np.ndarray]:
    """The estimated (non-reference) event times of an event-study table and their row mask."""
    keep = ~np.asarray(es["reference"], dtype=bool)
    return np.asarray(es["event_time"])[keep], keep


# ----------------------------------------------------------------------------------------------
# Callaway-Sant'Anna


def cs_replication(rng: np.random.Generator) -> dict:
    import tessarix

    y0, k, first = staggered_panel(rng)
    frame = long_frame(y0 + dynamic_effects(k, first), first)
    out: dict[str, Any] = {}
    fit = tessarix.did(frame, **ARGS, method="cs", bands=True, n_reps=999, seed=int(rng.integers(2**31)))
    es = fit.event_study
    e, keep = _estimated(es)
    truth = event_truth(e, COHORT_PROB)
    out["event_time"] = e
    out["point"] = _covers(np.asarray(es["ci_lower"])[keep], np.asarray(es["ci_upper"])[keep], truth)
    out["band"] = bool(np.all(_covers(np.asarray(es["band_lower"])[keep], np.asarray(es["band_upper"])[keep], truth)))
    out["crit"] = float(fit.band_crit or np.nan)
    lo, hi = fit.ci
    out["att"] = lo <= overall_truth() <= hi
    nyt = tessarix.did(frame, **ARGS, method="cs", control="notyet")
    es = nyt.event_study
    e2, keep = _estimated(es)
    out["notyet_event_time"] = e2
    out["notyet_point"] = _covers(np.asarray(es["ci_lower"])[keep], np.asarray(es["ci_upper"])[keep],
                                  event_truth(e2, COHORT_PROB))
    return out


def _stack(records, key, times_key) -> tuple[np.ndarray, np.ndarray]:
    times = records[0][times_key]
    for r in records:
        if not np.array_equal(r[times_key], times):
            raise RuntimeError(f"event times differ between replications: {times} vs {r[times_key]}")
    return np.array([r[key] for r in records]), times


def callaway_santanna(ctx: Context) -> list[Row]:
    recs = ctx.replicate(cs_replication)
    n = len(recs)
    point, times = _stack(recs, "point", "event_time")
    path = "did cs, never-treated controls"
    rows = coverage_rows(path, point, list(times))
    band, band_se = proportion([r["band"] for r in recs])
    rows.append(Row(path, f"sup-t band 95% simultaneous coverage, all {len(times)} e", 0.95, band, band_se,
                    COVERAGE_95, n, note=f"{path}: mean sup-t critical value {np.mean([r['crit'] for r in recs]):.3f} "
                                         f"(999 multiplier draws per fit)"))
    att, att_se = proportion([r["att"] for r in recs])
    rows.append(Row(path, "overall ATT 95% coverage", 0.95, att, att_se, COVERAGE_95, n))
    point, times = _stack(recs, "notyet_point", "notyet_event_time")
    rows.extend(coverage_rows("did cs, not-yet-treated controls", point, list(times)))
    return rows


# ----------------------------------------------------------------------------------------------
# Sun-Abraham


def sa_replication(rng: np.random.Generator) -> dict:
    import tessarix

    y0, k, first = staggered_panel(rng)
    fit = tessarix.did(long_frame(y0 + dynamic_effects(k, first), first), **ARGS, method="sa")
    es = fit.event_study
    e, keep = _estimated(es)
    lo, hi = np.asarray(es["ci_lower"])[keep], np.asarray(es["ci_upper"])[keep]
    sizes = np.bincount(k, minlength=len(COHORTS) + 1)[1:].astype(float)
    return {"event_time": e, "point": _covers(lo, hi, event_truth(e, sizes)),
            "population": _covers(lo, hi, event_truth(e, COHORT_PROB))[e >= 0]}


def sun_abraham(ctx: Context) -> list[Row]:
    recs = ctx.replicate(sa_replication)
    point, times = _stack(recs, "point", "event_time")
    path = "did sa, never-treated controls"
    rows = coverage_rows(path, point, list(times))
    population = np.array([r["population"] for r in recs], dtype=float)
    cover, cover_se = mean_se(population.mean(axis=1))
    what = f"95% coverage of the population-share effects, pooled over {population.shape[1]} e >= 0"
    rows.append(Row(path, what, 0.95, cover, cover_se, None, len(recs),
                    note=f"{path}: its standard errors hold the cohort weights fixed, so it is judged on the "
                         f"effects weighted by each replication's cohort sizes; against the population-share "
                         f"weights (where cohort effects differ) its intervals miss the weights' own noise"))
    return rows


# ----------------------------------------------------------------------------------------------
# TWFE under a homogeneous effect


TWFE_EFFECT = 1.0


def twfe_replication(rng: np.random.Generator) -> tuple[bool, bool]:
    import tessarix

    y0, _, first = staggered_panel(rng)
    treated = (exposure(first) >= 0).astype(float)
    fit = tessarix.did(long_frame(y0 + TWFE_EFFECT * treated, first), **ARGS, method="twfe")
    lo, hi = fit.ci
    p = tessarix.did(long_frame(y0, first), **ARGS, method="twfe").p_value
    return bool(lo <= TWFE_EFFECT <= hi), p is not None and p < 0.10


def twfe(ctx: Context) -> list[Row]:
    recs = ctx.replicate(twfe_replication)
    n = len(recs)
    cover, cover_se = proportion([r[0] for r in recs])
    size, size_se = proportion([r[1] for r in recs])
    path = "did twfe, constant effect"
    return [Row(path, f"95% coverage of the effect ({TWFE_EFFECT:g})", 0.95, cover, cover_se, COVERAGE_95, n),
            Row(path, "size at 0.10 (no effect)", 0.10, size, size_se, SIZE_10, n)]
