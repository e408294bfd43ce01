"""Placebo inference of the synthetic-control front end, and SDID's jackknife beside it.

The designs (fixed before any run):

* A factor-model panel: y_it = a_i + m_i' f_t + u_it with unit levels a_i ~ N(0, 1), three
  factors f_t, each a stationary AR(1) series with coefficient 0.5 and unit variance, loadings
  1 on the first factor for every unit and N(1, 1) on the other two, and errors u_it ~ N(0, 1).
  Treated units are drawn like every other unit and chosen at random, so that units are
  exchangeable and a placebo estimate has the null distribution of the real one.
* One treated unit (`sc`, `sdid`): 41 units, 30 periods, treatment from period 20. With one
  treated unit every donor is a placebo in turn: 40 placebos, enough for a finite 95 % interval
  (39 are needed) and a p-value on the grid k/41.
* Ten treated units (`sdid10`): 50 units, 40 periods, treatment from period 30, the design in
  which the compiled module's per-donor placebo test covered 1.000. The front end draws
  its default 1000 sets of ten donors; the jackknife runs on the same draws.
* Each draw is fitted without an effect (coverage of 0, size) and with an effect added to every
  treated unit in every post-period (power): for one treated unit an effect of 1.5, for ten an
  effect of 0.5, about three times the placebo standard error. SC and SDID weights rest on the
  pre-periods only, so the effect shifts the estimate and its interval by exactly the effect:
  coverage with an effect is coverage without one, draw for draw.

Coverage is of the true effect by the front end's 95 % interval; size is the rejection rate of
its p-value at 0.10 under no effect (for the jackknife both come from t with nine degrees of
freedom, the treated units less one).
"""

from __future__ import annotations

import numpy as np

from harness import COVERAGE_95, SIZE_10, Context, Row, proportion
from studies.synth import factor_panel, long_frame

ALPHA = 0.10


# (units, periods, start, treated count, effect) of each design.
DESIGNS = {"one": (41, 30, 20, 1, 1.5), "ten": (50, 40, 30, 10, 0.5)}


def placebo_replication(rng: np.random.Generator, method: str, design: str, jackknife: bool) -> list[float]:
    """(null: covers 0, rejects; effect: covers it, rejects; se) and the same five for the
    jackknife when asked."""
    import tessarix

    n_units, n_periods, start, n_treated, effect = DESIGNS[design]
    y = factor_panel(rng, n_units, n_periods)
    treated = sorted(rng.choice(n_units, n_treated, replace=False).tolist())
    args = dict(unit="unit", time="time", outcome="y", treated=treated, start=start, method=method)
    out: list[float] = []
    runs = [("placebo", {"inference": "placebo", "seed": int(rng.integers(2**32))})]
    if jackknife:
        runs.append(("jackknife", {"inference": "jackknife"}))
    shifted = y.copy()
    shifted[treated, start:] += effect
    for kind, options in runs:
        for tau, panel in ((0.0, y), (effect, shifted)):
            res = tessarix.synth(long_frame(panel), **args, **options)
            lo, hi = res.ci  # the default level, 95 %
            out += [float(lo <= tau <= hi), float(res.p_value <= ALPHA + 1e-12)]
        out.append(float(res.se))
    return out


def _rows(path: str, recs: np.ndarray, effect: float) -> list[Row]:
    n = len(recs)
    cover0, size = proportion(recs[:, 0]), proportion(recs[:, 1])
    power = proportion(recs[:, 3])
    se = float(recs[:, 4].mean())
    same = bool(np.array_equal(recs[:, 0], recs[:, 2]))
    return [Row(path, "95% coverage", 0.95, *cover0, COVERAGE_95, n,
                note=f"{path}: coverage with the effect {'equals' if same else 'DIFFERS FROM'} coverage without, "
                     "draw for draw"),
            Row(path, "size at 0.10 (no effect)", ALPHA, *size, SIZE_10, n),
            Row(path, f"power at 0.10 (effect {effect:g})", None, *power, None, n,
                note=f"{path}: mean standard error {se:.3f}, so the effect {effect:g} is {effect / se:.1f} s.e.")]


def sc_one(ctx: Context) -> list[Row]:
    recs = np.array(ctx.replicate(placebo_replication, "sc", "one", False))
    return _rows("synth sc placebo, 1 treated", recs, DESIGNS["one"][4])


def sdid_one(ctx: Context) -> list[Row]:
    recs = np.array(ctx.replicate(placebo_replication, "sdid", "one", False))
    return _rows("synth sdid placebo, 1 treated", recs, DESIGNS["one"][4])


def sdid_ten(ctx: Context) -> list[Row]:
    recs = np.array(ctx.replicate(placebo_replication, "sdid", "ten", True))
    effect = DESIGNS["ten"][4]
    return (_rows("synth sdid placebo, 10 treated", recs[:, :5], effect)
            + _rows("synth sdid jackknife, 10 treated", recs[:, 5:], effect))
