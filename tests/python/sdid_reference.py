"""A NumPy/SciPy re-derivation of synthetic difference-in-differences, written from the
estimator's definition (Arkhangelsky et al. 2021) and solved with a general-purpose QP solver,
as an independent reference for tessarix's Frank-Wolfe based fit."""

import numpy as np
from scipy.optimize import minimize


def simplex_with_intercept(a, b, ridge):
    """argmin over the simplex (and a free intercept) of 1/2||a w + c - b||^2 + 1/2 ridge||w||^2."""
    ac = a - a.mean(axis=0)
    bc = b - b.mean()
    m = a.shape[1]
    scale = max(float(bc @ bc), 1.0)

    def f(w):
        r = ac @ w - bc
        return (0.5 * r @ r + 0.5 * ridge * w @ w) / scale, (ac.T @ r + ridge * w) / scale

    res = minimize(f, np.full(m, 1.0 / m), jac=True, method="SLSQP", bounds=[(0.0, 1.0)] * m,
                   constraints=[{"type": "eq", "fun": lambda w: w.sum() - 1.0, "jac": lambda w: np.ones(m)}],
                   options={"ftol": 1e-16, "maxiter": 5000})
    assert res.success, res.message
    return res.x


def sdid(y, treated, t0, zeta_scale=1.0):
    """(att, unit weights, time weights) of SDID with a noise-scaled ridge on the unit weights."""
    donors = [u for u in range(y.shape[0]) if u not in treated]
    t_post = y.shape[1] - t0
    ybar = y[treated].mean(axis=0)
    x0 = y[donors, :t0].T            # pre-periods x donors
    x1 = y[donors, t0:].T            # post-periods x donors
    sigma = np.diff(y[donors, :t0], axis=1).ravel().std(ddof=1)
    zeta = sigma * (len(treated) * t_post) ** 0.25 * zeta_scale
    omega = simplex_with_intercept(x0, ybar[:t0], zeta**2 * t0)
    q = x1.mean(axis=0)
    lam = simplex_with_intercept(x0.T, q, 0.0)
    att = (ybar[t0:].mean() - lam @ ybar[:t0]) - omega @ (q - lam @ x0)
    return att, omega, lam


def jackknife_se(y, treated, t0, omega, lam):
    """Fixed-weights leave-one-unit-out jackknife SE."""
    donors = [u for u in range(y.shape[0]) if u not in treated]
    t_post = y.shape[1] - t0

    def contrast(path):
        return path[t0:].sum() / t_post - lam @ path[:t0]

    def att(tr, dn, w):
        return contrast(y[tr].mean(axis=0)) - sum(wi * contrast(y[d]) for wi, d in zip(w, dn))

    loo = [att([u for u in treated if u != p], donors, omega) for p in treated]
    for i, d in enumerate(donors):
        if omega[i] < 1 - 1e-12:
            rest = [x for k, x in enumerate(donors) if k != i]
            w = np.delete(omega, i) / (1 - omega[i])
            loo.append(att(treated, rest, w))
    loo = np.array(loo)
    n = len(loo)
    return np.sqrt((n - 1) / n * ((loo - loo.mean()) ** 2).sum())


def load_prop99(path):
    """Prop 99 panel as (states, years, y[state, year]) with California's row index."""
    import csv

    rows = list(csv.DictReader(open(path), delimiter=";"))
    states = sorted({r["State"] for r in rows})
    years = sorted({int(r["Year"]) for r in rows})
    y = np.full((len(states), len(years)), np.nan)
    for r in rows:
        y[states.index(r["State"]), years.index(int(r["Year"]))] = float(r["PacksPerCapita"])
    return states, years, y
