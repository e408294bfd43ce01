"""Plain-NumPy re-derivations of the staggered-adoption estimators, written from their
econometric definitions as independent references for tessarix's compiled ones:

* Callaway & Sant'Anna (2021) group-time effects as differences of mean changes (or outcome
  regression on unit covariates), their influence functions, and the simple, dynamic and group
  aggregations with the delta-method correction for weights estimated from cohort shares;
* Sun & Abraham (2021) as one least-squares fit with explicit period dummies (the unit dummies
  absorbed by demeaning within unit), with the unit-clustered sandwich and no small-sample factor;
* Goodman-Bacon (2021) by fitting every 2x2 comparison as its own two-way regression on the
  sub-panel and weighting it by its share of the identifying variance of the treatment dummy.

Conventions: periods are column indices; cohorts[u] is unit u's first treated period and a value
outside [0, T) means never treated."""

from types import SimpleNamespace

import numpy as np


def _starts(cohorts, t):
    c = np.asarray(cohorts, dtype=np.int64)
    return np.where((c >= 0) & (c < t), c, -1)  # -1: never treated


# ---------------------------------------------------------------------------------------------
# Callaway-Sant'Anna


def _aggregate(cells, psi, starts, n):
    """Weighted average of the cells [(cohort, att)] with weights ∝ cohort shares, and its
    influence function including the part due to estimating those shares."""
    if not cells:
        return None
    share = np.array([np.mean(starts == g) for g, _ in cells])
    att = np.array([a for _, a in cells])
    total = share.sum()
    w = share / total
    # d w_j = (dp_j - w_j Σ_k dp_k) / Σ p, with dp_k(u) = 1{G_u = g_k} - p_k.
    dp = np.column_stack([(starts == g) - share[j] for j, (g, _) in enumerate(cells)])
    dw = (dp - np.outer(dp.sum(axis=1), w)) / total
    inf = psi @ w + dw @ att
    return float(w @ att), float(np.sqrt(inf @ inf) / n), inf


def callaway_reference(y, cohorts, control="never", covariates=None, anticipation=0):
    """Group-time ATTs with a universal base period g-1-anticipation, and their aggregations.
    Without covariates a cell is a difference of mean changes; with an N x K covariate matrix it
    is the outcome-regression estimator (a regression of the change on the covariates among the
    controls, imputed for the treated). Standard errors are sqrt(Σψ²)/N from the influence
    functions ψ over all N units. Returns the cells [(cohort, period, att, se)], their influence
    functions (N x cells), and the aggregates under the names of tessarix's DiDResult."""
    y = np.asarray(y, dtype=float)
    n, t_len = y.shape
    starts = _starts(cohorts, t_len)
    never = starts < 0
    x = None if covariates is None else np.column_stack([np.ones(n), np.asarray(covariates, float)])
    cells, psis = [], []
    for g in sorted(set(starts[~never].tolist())):
        if g <= anticipation:
            continue
        b = g - 1 - anticipation
        treated = starts == g
        for t in range(t_len):
            if t == b:
                continue
            if control == "never":
                ctrl = never.copy()
            else:  # not yet treated (nor anticipating) at either period of the comparison
                ctrl = never | ((starts != g) & (starts - anticipation > max(t, b)))
            if not ctrl.any():
                continue
            dy = y[:, t] - y[:, b]
            n_t, n_c = treated.sum(), ctrl.sum()
            psi = np.zeros(n)
            if x is not None and n_c > x.shape[1]:
                xc = x[ctrl]
                beta = np.linalg.lstsq(xc, dy[ctrl], rcond=None)[0]
                r = dy - x @ beta
                att = r[treated].mean()
                # Controls enter through the fitted regression: ψ_c = -r_c x_c'(X_C'X_C)⁻¹ Σ_T x.
                lever = xc @ np.linalg.solve(xc.T @ xc, x[treated].sum(axis=0))
                psi[ctrl] = -r[ctrl] * lever * n / n_t
            else:
                r = dy
                att = r[treated].mean() - r[ctrl].mean()
                psi[ctrl] = -(r[ctrl] - r[ctrl].mean()) * n / n_c
            psi[treated] = (r[treated] - r[treated].mean()) * n / n_t
            cells.append((g, t, att, np.sqrt(psi @ psi) / n))
            psis.append(psi)
    psi_all = np.column_stack(psis) if psis else np.zeros((n, 0))

    def agg(keep):
        idx = [j for j, c in enumerate(cells) if keep(c)]
        return _aggregate([(cells[j][0], cells[j][2]) for j in idx], psi_all[:, idx], starts, n)

    event = [(e, agg(lambda c, e=e: c[1] - c[0] == e))
             for e in sorted({c[1] - c[0] for c in cells})]
    group = [(g, agg(lambda c, g=g: c[0] == g and c[1] >= g)) for g in sorted({c[0] for c in cells})]
    group = [(g, a) for g, a in group if a is not None]
    overall = agg(lambda c: c[1] >= c[0])
    og = _aggregate([(g, a[0]) for g, a in group],
                    np.column_stack([a[2] for _, a in group]) if group else np.zeros((n, 0)),
                    starts, n)
    return SimpleNamespace(
        cells=[(g, t, att, se) for g, t, att, se in cells], psi=psi_all,
        event_time=[e for e, _ in event], event_att=[a[0] for _, a in event],
        event_se=[a[1] for _, a in event],
        event_psi=np.column_stack([a[2] for _, a in event]) if event else np.zeros((n, 0)),
        group_cohort=[g for g, _ in group], group_att=[a[0] for _, a in group],
        group_se=[a[1] for _, a in group],
        att=overall[0] if overall else 0.0, se=overall[1] if overall else 0.0,
        overall_group_att=og[0] if og else 0.0, overall_group_se=og[1] if og else 0.0)


# ---------------------------------------------------------------------------------------------
# Sun-Abraham


def _dummies(codes, k):
    return np.eye(k)[codes]


def sunab_reference(y, cohorts):
    """Saturated event study: OLS of y on cohort x relative-period indicators (every relative
    period but -1, never-treated units as reference) plus unit and period dummies; the
    interaction coefficients are averaged with cohort-share weights, per relative period and over
    all post-treatment cells. Units treated from period 0 are left out. The unit dummies are
    absorbed by demeaning every column within unit (Frisch-Waugh, exact on a balanced panel), the
    period dummies stay explicit, and the cluster sandwich is formed on that design."""
    y = np.asarray(y, dtype=float)
    _, t_len = y.shape
    starts = _starts(cohorts, t_len)
    keep = starts != 0
    y, starts = y[keep], starts[keep]
    n = len(starts)
    period = np.arange(t_len)
    pairs = [(g, e) for g in sorted(set(starts[starts > 0].tolist()))
             for e in range(-g, t_len - g) if e != -1]
    # design[u, t, :] = interaction indicators, then period dummies (period 0 dropped)
    design = np.concatenate([
        np.stack([(starts[:, None] == g) & (period[None, :] == g + e) for g, e in pairs], axis=-1),
        np.broadcast_to(_dummies(period, t_len)[None, :, 1:], (n, t_len, t_len - 1))], axis=-1)
    design = design - design.mean(axis=1, keepdims=True)
    resp = y - y.mean(axis=1, keepdims=True)
    z = design.reshape(n * t_len, -1)
    coef, *_ = np.linalg.lstsq(z, resp.reshape(-1), rcond=None)
    resid = resp - design @ coef
    bread = np.linalg.inv(z.T @ z)
    scores = np.einsum("utk,ut->uk", design, resid)
    v = (bread @ scores.T @ scores @ bread)[:len(pairs), :len(pairs)]
    beta = coef[:len(pairs)]
    size = {g: np.sum(starts == g) for g, _ in pairs}

    def average(select):
        w = np.array([size[g] if select(g, e) else 0.0 for g, e in pairs])
        w /= w.sum()
        return float(w @ beta), float(np.sqrt(w @ v @ w))

    events = sorted({e for _, e in pairs})
    est = [average(lambda g, e, k=k: e == k) for k in events]
    att, se = average(lambda g, e: e >= 0)
    return SimpleNamespace(pairs=pairs, coef=beta, vcov=v, event_time=events,
                           event_att=[a for a, _ in est], event_se=[s for _, s in est], att=att, se=se)


# ---------------------------------------------------------------------------------------------
# Goodman-Bacon


def twfe_regression(y, treat):
    """(coefficient on `treat`, residualised treatment) of y on treat + unit + period dummies."""
    n, t_len = y.shape
    unit = np.repeat(np.arange(n), t_len)
    period = np.tile(np.arange(t_len), n)
    fe = np.column_stack([_dummies(unit, n), _dummies(period, t_len)[:, 1:]])
    d = treat.reshape(-1).astype(float)
    d_tilde = d - fe @ np.linalg.lstsq(fe, d, rcond=None)[0]
    coef = np.linalg.lstsq(np.column_stack([d, fe]), y.reshape(-1), rcond=None)[0][0]
    return float(coef), d_tilde


def bacon_reference(y, cohorts):
    """Every 2x2 comparison as {kind, treated, comparison, estimate, weight}, with the TWFE
    coefficient of the full panel, computed one comparison at a time: the estimate is the two-way
    regression coefficient on the comparison's sub-panel (its two groups over its window), the raw
    weight its share of units squared, times its share of periods squared, times the variance of
    its residualised treatment dummy. The raw weights sum to that variance on the full panel."""
    y = np.asarray(y, dtype=float)
    n, t_len = y.shape
    starts = _starts(cohorts, t_len)
    timing = sorted(set(starts[starts > 0].tolist()))
    never = np.flatnonzero(starts < 0)
    units = n - np.sum(starts == 0)

    def compare(kind, treated, control, first, last, comparison=None):
        rows = np.concatenate([np.flatnonzero(starts == treated), control])
        sub = y[np.ix_(rows, range(first, last))]
        # Within the window the control group's treatment status is constant (never, not yet,
        # or already treated throughout), which its unit dummies absorb: its dose can stay 0.
        dose = np.zeros(sub.shape)
        dose[:np.sum(starts == treated), treated - first:] = 1.0
        est, d_tilde = twfe_regression(sub, dose)
        raw = (len(rows) / units) ** 2 * ((last - first) / t_len) ** 2 * np.mean(d_tilde ** 2)
        return dict(kind=kind, treated=treated, comparison=comparison, estimate=est, raw=raw)

    out = []
    if len(never):
        out += [compare("treated_vs_untreated", k, never, 0, t_len) for k in timing]
    for i, k in enumerate(timing):
        for l in timing[i + 1:]:
            out.append(compare("earlier_vs_later", k, np.flatnonzero(starts == l), 0, l, l))
            out.append(compare("later_vs_earlier_forbidden", l, np.flatnonzero(starts == k), k, t_len, k))
    total = sum(c["raw"] for c in out)
    for c in out:
        c["weight"] = c.pop("raw") / total
    kept = starts != 0
    adopt = np.where(starts[kept] < 0, t_len, starts[kept])
    twfe, _ = twfe_regression(y[kept], np.arange(t_len)[None, :] >= adopt[:, None])
    return SimpleNamespace(components=out, twfe=twfe, raw_total=total,
                           forbidden_weight=sum(c["weight"] for c in out if c["kind"].endswith("forbidden")))


def bacon_totals(components):
    """{kind: (total weight, weight-averaged estimate)} from dicts or BaconComponent objects."""
    get = (lambda c, k: c[k]) if components and isinstance(components[0], dict) else getattr
    out = {}
    for c in components:
        kind = get(c, "kind")
        w, we = out.get(kind, (0.0, 0.0))
        out[kind] = (w + get(c, "weight"), we + get(c, "weight") * get(c, "estimate"))
    return {k: (w, we / w if w else 0.0) for k, (w, we) in out.items()}


# ---------------------------------------------------------------------------------------------
# Panels


def cohort_list(sizes, never):
    """One first treated period per unit from {period: count}, None standing for never treated."""
    return [never if g is None else g for g, k in sizes.items() for _ in range(k)]


def staggered_panel(seed, cohorts, t_len, n_covariates=0, anticipation=0):
    """(y, covariates) for the given cohorts: unit effects, a common trend, covariate-specific
    trends (so that regression adjustment matters), effects that grow with exposure and, with
    anticipation, start that many periods early."""
    rng = np.random.default_rng(seed)
    n = len(cohorts)
    x = rng.normal(size=(n, n_covariates))
    trend = np.linspace(0.0, 2.0, t_len)
    y = rng.normal(size=(n, 1)) + trend + rng.normal(0, 0.3, size=(n, t_len))
    y += (x @ rng.normal(size=n_covariates))[:, None] * trend / 2
    starts = _starts(cohorts, t_len)
    for u, g in enumerate(starts):
        if g >= 0:
            first = max(g - anticipation, 0)
            y[u, first:] += 0.5 + 0.2 * np.arange(t_len - first) + 0.1 * g
    return y, x


def mpdta():
    """Log teen employment of 500 US counties, 2003-2007, with staggered minimum-wage rises
    (Callaway and Sant'Anna 2021), as shipped by the moderndid package: (y 500x5, cohorts as
    column indices, -1 for never treated; log population as a 500x1 covariate matrix)."""
    import moderndid

    df = moderndid.load_mpdta()
    col = {c: np.asarray(df[c]) for c in ("countyreal", "year", "lemp", "lpop", "first.treat")}
    order = np.lexsort((col["year"], col["countyreal"]))
    years = np.unique(col["year"])
    shape = (-1, len(years))
    first = col["first.treat"][order].reshape(shape)[:, 0]
    cohorts = np.array([np.searchsorted(years, f) if f in years else -1 for f in first])
    return col["lemp"][order].reshape(shape), cohorts, col["lpop"][order].reshape(shape)[:, :1]


def castle():
    """Log homicide rate of the 50 US states, 2000-2010, with castle-doctrine laws adopted from
    2006 on (Cheng and Hoekstra 2013), as shipped by the causaldata package: (y 50x11, cohorts as
    column indices of the first year with the law in force, -1 for never)."""
    from causaldata import castle as data

    df = data.load_pandas().data.sort_values(["sid", "year"])
    t_len = df["year"].nunique()
    post = df["post"].to_numpy().reshape(-1, t_len)
    assert np.all(np.diff(post, axis=1) >= 0), "adoption is absorbing"
    cohorts = np.where(post.any(axis=1), post.argmax(axis=1), -1)
    return df["l_homicide"].to_numpy(dtype=np.float64).reshape(-1, t_len), cohorts
