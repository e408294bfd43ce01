"""The synthetic-control family: CP-ASC's conformal p-value on a simulated factor-model panel.

The design (fixed before any run):

* 50 units observed for 30 periods; units 0-4 are treated from period 25 on (25 pre-periods,
  5 post-periods), the other 45 are donors. Treated units are drawn exactly like the donors.
* y_it = a_i + m_i' f_t + u_it  with unit levels a_i ~ N(0, 1), three factors f_t, each a
  stationary AR(1) series with coefficient 0.5 and unit variance, loadings 1 on the first
  factor for every unit and N(1, 1) on the other two, and idiosyncratic errors u_it ~ N(0, 1).
  The panel is stationary in time, so under no effect the residual blocks are exchangeable up
  to the estimation of the fit.
* No effect (size), and an effect of 1 (one error s.d.) added to every treated unit in every
  post-period (power), on the same draw.

The p-value ranks the post-period block among the 30 cyclic windows of 5 periods, so it takes
the values k/30 and a test at 0.10 rejects when p <= 3/30.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from harness import SIZE_10, Context, Row, proportion
from studies.did import ar1

N_UNITS, N_TREATED = 50, 5
N_PERIODS, START = 30, 25
N_FACTORS = 3
FACTOR_AR = 0.5
EFFECT = 1.0
ALPHA = 0.10


def factor_panel(rng: np.random.Generator, n_units: int = N_UNITS, n_periods: int = N_PERIODS) -> np.ndarray:
    f = ar1(rng, N_FACTORS, n_periods, FACTOR_AR)
    loadings = np.column_stack([np.ones(n_units), rng.normal(1.0, 1.0, size=(n_units, N_FACTORS - 1))])
    level = rng.normal(0.0, 1.0, size=n_units)
    return level[:, None] + loadings @ f + rng.normal(0.0, 1.0, size=(n_units, n_periods))


def long_frame(y: np.ndarray) -> dict:
    n, t = y.shape
    return {"unit": np.repeat(np.arange(n), t), "time": np.tile(np.arange(t), n), "y": y.ravel()}


def cpasc_replication(rng: np.random.Generator) -> tuple[float, float]:
    import tessarix

    y = factor_panel(rng)
    treated = list(range(N_TREATED))
    args: dict[str, Any] = dict(unit="unit", time="time", outcome="y", treated=treated, start=START, method="cpasc",
                inference="conformal")
    null = tessarix.synth(long_frame(y), **args).p_value
    y[:N_TREATED, START:] += EFFECT
    alt = tessarix.synth(long_frame(y), **args).p_value
    assert null is not None and alt is not None  # CP-ASC always reports its p-value
    return float(null), float(alt)


def cpasc(ctx: Context) -> list[Row]:
    recs = np.array(ctx.replicate(cpasc_replication))
    n = len(recs)
    reject = recs <= ALPHA + 1e-12
    size, size_se = proportion(reject[:, 0])
    power, power_se = proportion(reject[:, 1])
    path = f"synth cpasc conformal, {N_TREATED} treated"
    return [Row(path, "size at 0.10 (no effect)", ALPHA, size, size_se, SIZE_10, n,
                note=f"{path}: mean p-value under no effect {recs[:, 0].mean():.3f} (0.5167 if uniform on k/30)"),
            Row(path, f"power at 0.10 (effect {EFFECT:g} = 1 error s.d.)", None, power, power_se, None, n)]
