"""``python -m tessarix``: print the version and run a short tour on simulated data."""

import numpy as np

import tessarix


def simulated_staggered_panel(seed: int = 20261208):
    """40 units x 16 periods: unit and period effects, noise, and a true effect of 1.5
    switched on at period 6 for one cohort and at period 10 for another."""
    rng = np.random.default_rng(seed)
    n_units, n_periods = 40, 16
    cohorts = np.array([6] * 12 + [10] * 12 + [-1] * 16)
    unit_effect = rng.normal(0.0, 2.0, size=(n_units, 1))
    period_effect = np.linspace(0.0, 3.0, n_periods)[None, :]
    y = 10.0 + unit_effect + period_effect + rng.normal(0.0, 0.5, size=(n_units, n_periods))
    periods = np.arange(n_periods)[None, :]
    treated = (cohorts[:, None] >= 0) & (periods >= cohorts[:, None])
    y += 1.5 * treated
    return y, cohorts.tolist()


def simulated_factor_panel(seed: int = 20261208):
    """30 regions x 24 months from a two-factor model; region 0 is treated from month 16 with
    a true effect of -3."""
    rng = np.random.default_rng(seed)
    n_units, n_periods, t0 = 30, 24, 16
    factors = np.cumsum(rng.normal(size=(2, n_periods)), axis=1)
    loadings = rng.uniform(0.5, 1.5, size=(n_units, 2))
    y = 50.0 + loadings @ factors + rng.normal(0.0, 0.3, size=(n_units, n_periods))
    y[0, t0:] -= 3.0
    return y, t0


def main() -> None:
    print(f"tessarix {tessarix.version()}")
    print()
    y, cohorts = simulated_staggered_panel()
    print("Two-way fixed effects on a simulated staggered panel")
    print("(40 units, 16 periods, cohorts adopting at periods 6 and 10, true effect 1.5):")
    res = tessarix.fit_twfe_py(y, cohorts)
    print(f"  {res!r}")
    lo, hi = res.att - 1.96 * res.se, res.att + 1.96 * res.se
    print(f"  ATT {res.att:.4f}, unit-clustered SE {res.se:.4f}, 95% CI [{lo:.4f}, {hi:.4f}]")
    print()

    y, t0 = simulated_factor_panel()
    print("Synthetic control with in-space placebo inference")
    print(f"(30 regions, 24 months, region 0 treated from month {t0}, true effect -3):")
    sc = tessarix.fit_sc(y, [0], t0, placebo=True)
    print(f"  {sc!r}")
    top = sorted(zip(sc.weights, sc.donor_ids), reverse=True)[:3]
    print("  largest donor weights: " + ", ".join(f"region {d}: {w:.3f}" for w, d in top))
    print(f"  ATT {sc.att:.4f}, placebo p-value {sc.p_value:.4f} "
          f"({len(sc.placebo_atts or [])} placebo refits), 95% interval [{sc.ci_lower:.4f}, {sc.ci_upper:.4f}]")
    sdid = tessarix.fit_sdid(y, [0], t0, inference="placebo")
    print(f"  synthetic DiD on the same panel: ATT {sdid.att:.4f}, placebo p-value {sdid.p_value:.4f}")


if __name__ == "__main__":
    main()
