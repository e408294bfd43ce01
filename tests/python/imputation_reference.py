"""A dense NumPy re-derivation of Borusyak, Jaravel & Spiess's imputation estimator, written
from the paper's formulas as an independent reference for tessarix's compiled one:

* unit and period fixed effects by least squares (SVD) on an explicit dummy design of the
  untreated cells, the untreated outcome imputed for each treated cell whose unit and period
  both have an untreated cell;
* each estimand's weights w on the imputed cells and its implied weights on the untreated cells
  v = -Z0 (Z0'Z0)^+ Z1' w formed as matrices, and Theorem 3's variance sum_i (sum_t v_it x_it)^2
  with x the fixed-effects residual on untreated cells and, on imputed cells, the effect less its
  cohort x period mean;
* the pre-trend regression of the untreated outcomes on the lead dummies beside the fixed
  effects, with the unit-clustered sandwich times G/(G-1) (N-1)/(N-K), K = leads + periods.

Conventions: periods are column indices; cohorts[u] is unit u's first treated period and a value
outside [0, T) means never treated."""

from types import SimpleNamespace

import numpy as np


def _dummies(codes, k):
    return np.eye(k)[codes]


def imputation_reference(y, cohorts, anticipation=0, leads=None):
    y = np.asarray(y, dtype=float)
    n, t_len = y.shape
    c = np.asarray(cohorts, dtype=np.int64)
    start = np.where((c >= 0) & (c < t_len), c, -1)
    unit, period = np.indices((n, t_len))
    treated = (start[:, None] >= 0) & (period >= start[:, None] - anticipation)
    untreated = ~treated
    imputed = treated & untreated.any(axis=1)[:, None] & untreated.any(axis=0)[None, :]

    def design(mask):  # unit dummies, then period dummies without period 0
        return np.hstack([_dummies(unit[mask], n), _dummies(period[mask], t_len)[:, 1:]])

    z0, z1 = design(untreated), design(imputed)
    coef = np.linalg.lstsq(z0, y[untreated], rcond=None)[0]
    tau = y[imputed] - z1 @ coef
    resid = y[untreated] - z0 @ coef
    u1, t1 = unit[imputed], period[imputed]
    g1 = start[u1]
    h1 = t1 - g1

    # Estimands as weight columns over the imputed cells: horizons, cohorts, overall.
    horizons = np.unique(h1)
    cohort_keys = np.unique(g1)
    cols = [(h1 == h) for h in horizons] + [(g1 == g) for g in cohort_keys] + [np.ones(len(tau), bool)]
    w = np.column_stack([m / m.sum() for m in cols])
    est = w.T @ tau
    v0 = -z0 @ np.linalg.pinv(z0.T @ z0) @ z1.T @ w
    x1 = tau.copy()
    for key in set(zip(g1.tolist(), t1.tolist())):
        m = (g1 == key[0]) & (t1 == key[1])
        x1[m] = tau[m] - tau[m].mean()
    psi = np.zeros((n, w.shape[1]))
    np.add.at(psi, unit[untreated], v0 * resid[:, None])
    np.add.at(psi, u1, w * x1[:, None])

    lead_keys, lead_coef, lead_psi = _leads(y, start, untreated, anticipation, leads)
    nh, ng = len(horizons), len(cohort_keys)
    event_psi = np.hstack([lead_psi, psi[:, :nh], psi[:, -1:]])
    effects = np.full((n, t_len), np.nan)
    effects[imputed] = tau
    se = np.sqrt((psi ** 2).sum(axis=0))
    return SimpleNamespace(
        event_time=[int(k) for k in lead_keys] + horizons.tolist(),
        event_att=np.r_[lead_coef, est[:nh]], event_se=np.r_[np.sqrt((lead_psi ** 2).sum(axis=0)), se[:nh]],
        group_cohort=cohort_keys.tolist(), group_att=est[nh:nh + ng], group_se=se[nh:nh + ng],
        att=est[-1], se=se[-1], vcov=event_psi.T @ event_psi, effects=effects,
        n_untreated=int(untreated.sum()), n_imputed=int(imputed.sum()), n_excluded=int((treated & ~imputed).sum()))


def _leads(y, start, untreated, anticipation, limit):
    """Lead coefficients and their per-unit influence (small-sample factor folded in); none
    without never-treated units."""
    n, t_len = y.shape
    none = ([], np.zeros(0), np.zeros((n, 0)))
    if not (start < 0).any():
        return none
    unit, period = np.indices((n, t_len))
    u0, t0 = unit[untreated], period[untreated]
    rel = np.where(start[u0] >= 0, t0 - start[u0], np.iinfo(np.int64).max)
    keys = sorted({int(k) for k in rel[start[u0] >= 0] if k <= -2 - anticipation})
    if limit is not None:
        keys = keys[len(keys) - min(limit, len(keys)):]
    if not keys:
        return none
    x = np.hstack([np.column_stack([rel == k for k in keys]).astype(float), _dummies(u0, n),
                   _dummies(t0, t_len)[:, 1:]])
    coef = np.linalg.lstsq(x, y[untreated], rcond=None)[0]
    e = y[untreated] - x @ coef
    bread = np.linalg.pinv(x.T @ x)
    scores = np.zeros((n, x.shape[1]))
    np.add.at(scores, u0, x * e[:, None])
    g, cells, k = len(np.unique(u0)), len(u0), len(keys) + t_len
    factor = g / (g - 1) * (cells - 1) / (cells - k)
    psi = np.sqrt(factor) * scores @ bread[:, :len(keys)]
    return keys, coef[:len(keys)], psi
