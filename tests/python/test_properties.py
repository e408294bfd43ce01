"""Properties of every entry point, array functions and data-frame front ends alike.

Arbitrary arguments (wrong types, NaN and inf, empty panels, out-of-range indices, magnitudes
across the double range, unknown options) give a result or a TypeError, ValueError or
OverflowError: never another exception, never InternalError (a broken native invariant) and
never a crash. Finite, valid input gives finite headline numbers, p-values and powers in
[0, 1]. Relabelling the units leaves every estimate unchanged, and adding a constant to the
panel every shift-invariant estimator's effects. A panel multiplied by 2^k gives effects
multiplied by 2^k and the same geo design numbers: bit for bit for the closed-form and
relative-tolerance estimators at any magnitude, and for the synthetic-control family and the
geo design wherever both panels are fitted at their canonical scale; to solver precision
where the weight solvers, which stop on absolute tolerances, fit the panels as they are.

Every test runs a fixed, derandomized set of examples, so a CI run is reproducible.
"""

import math
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import tessarix
from tessarix import _tessarix

BASE = settings(derandomize=True, database=None, deadline=None, print_blob=True,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                       HealthCheck.filter_too_much])

# The only exceptions arbitrary arguments may raise: a refused type, a refused value, a number
# too large for its machine representation (DataError, the front ends' refusal, is a
# ValueError).
REFUSALS = (TypeError, ValueError, OverflowError)


# --- arbitrary values ---------------------------------------------------------------------

FLOAT_EDGES = [0.0, -0.0, 5e-324, 2.2250738585072014e-308, 1e-300, 1e-12, 0.5, 1.0, 2.0, 1e12, 1e300,
               1.7976931348623157e308, -1.0, -1e300, math.inf, -math.inf, math.nan]
INT_EDGES = [-1, -(2**63), 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**200, -(2**200)]
ODD = [None, "1", b"1", [], (), {}, 1j, object(), Fraction(1, 3), np.float32(0.25), np.int8(-3),
       np.uint64(2**64 - 1), np.bool_(True), np.array([1.0]), np.array(2.0)]

wild_reals = st.one_of(st.floats(), st.sampled_from(FLOAT_EDGES), st.integers(-(2**1100), 2**1100),
                       st.sampled_from(ODD))
# Counts that only select or bound (ranks, block lengths, window limits, seeds): any size.
wild_counts = st.one_of(st.integers(-3, 40), st.sampled_from(INT_EDGES), st.sampled_from(ODD + [2.0, 2.5]))
# Counts that set an amount of work (replicates, iterations, candidates): bounded, or out of
# every machine range. A valid request too large for memory (2^62 replicates) is refused with
# a MemoryError, which test_module covers.
work_counts = st.one_of(st.integers(-3, 60), st.sampled_from([-1, 2**64, 2**200, -(2**63)]),
                        st.sampled_from([v for v in ODD if not isinstance(v, np.uint64)] + [2.0]))
wild_flags = st.one_of(st.booleans(), st.sampled_from([0, 1, None, "True", np.bool_(False), 1.0]))
wild_names = st.one_of(st.text(max_size=8), st.sampled_from(["sc", "SC", "Sdid", "asc", "fp", "dsc", "rsc",
                                                             "mcnnm", "sc\x00", "", "é"]),
                       st.sampled_from(ODD))


def wild_index_lists(n):
    ints = st.one_of(st.integers(-2, n + 2), st.sampled_from(INT_EDGES))
    return st.one_of(
        st.lists(ints, max_size=n + 2),
        st.lists(ints, max_size=n + 2).map(tuple),
        hnp.arrays(st.sampled_from([np.int8, np.uint8, np.int32, np.uint64, np.int64, np.float64]),
                   st.integers(0, n + 1), elements=st.integers(0, max(n - 1, 0))),
        hnp.arrays(np.bool_, st.integers(0, n + 1)),
        st.lists(st.one_of(ints, st.sampled_from(ODD)), max_size=3),
        st.sampled_from(ODD + ["01", range(2)]),
    )


def wild_real_lists(max_size=5):
    return st.one_of(st.lists(st.one_of(st.floats(-2, 2), wild_reals), max_size=max_size),
                     hnp.arrays(np.float64, st.integers(0, max_size)), st.sampled_from(ODD + ["0.1"]))


def wild_panels(ndim=2):
    """Arrays of every value, shape, dtype and layout, and things that are not arrays."""
    shape = hnp.array_shapes(min_dims=ndim, max_dims=ndim, min_side=0, max_side=7)
    return st.one_of(
        hnp.arrays(np.float64, shape, elements=st.floats()),
        hnp.arrays(st.sampled_from([np.int64, np.float32, np.complex128, np.bool_, np.dtype(">f8")]), shape),
        hnp.arrays(np.float64, hnp.array_shapes(min_dims=1, max_dims=4, max_side=4)),
        hnp.arrays(np.float64, shape).map(lambda a: np.broadcast_to(a[:1], a.shape) if a.size else a),
        hnp.arrays(np.float64, shape).map(lambda a: a.tolist()),
        st.sampled_from(ODD + ["panel"]),
    )


@st.composite
def walks(draw, n, t, positive=False):
    """A generic panel: unit-level random walks, no two rows alike, at a magnitude drawn from
    across the double range (outcomes up to about 2^5 times 2^k)."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    y = np.cumsum(rng.normal(size=(n, t)), axis=1) + rng.uniform(-3, 3, size=(n, 1))
    if positive:
        y = np.abs(y) + 5.0
    return np.ldexp(y, draw(st.sampled_from([-1000, -300, -40, 0, 4, 40, 300, 1000])))


# --- valid calls --------------------------------------------------------------------------

PENALTIES = [0.0, 1e-300, 0.1, 1e300]
LEVELS = [1e-6, 0.5, 0.95, 1 - 1e-9]
GEO_METHODS = ["sdid", "sc", "asc", "fp", "rsc", "dsc", "SDID"]


def subsets(n, min_size=1, max_size=None):
    return st.lists(st.integers(0, n - 1), min_size=min_size, max_size=n - 1 if max_size is None else max_size,
                    unique=True)


def weight_bounds(draw, n_donors):
    """Bounds on donor weights that leave the simplex feasible: none, a floor, a cap or both."""
    return {"min_weight": draw(st.sampled_from([0.0, 0.5 / n_donors])),
            "max_weight": draw(st.sampled_from([1.0, min(1.0, 2.0 / n_donors)]))}


@st.composite
def valid_calls(draw, name):
    """(n, params, n_positional) for a call of `name` that every check accepts, with options at
    both ends of their ranges; params maps each argument to its value, in signature order,
    and the first n_positional are passed by position."""
    pick = lambda values: draw(st.sampled_from(values))  # noqa: E731
    n, t = draw(st.integers(3, 7)), draw(st.integers(6, 14))
    geo = name.startswith("geo")
    y = draw(walks(n, t, positive=geo))
    treated = draw(subsets(n))
    donors = n - len(treated)
    if name in ("fit_sc", "fit_asc", "fit_sdid", "fit_fp", "fit_rsc", "fit_mcnnm", "fit_cpasc", "fit_many"):
        p = {"y": y, "treated": treated, "treat_time": draw(st.integers(1, t - 1))}
        if name == "fit_many":
            p["y"] = np.stack([draw(walks(n, t)) for _ in range(draw(st.integers(1, 3)))])
            p.update(method=pick(["sc", "asc", "sdid", "fp", "rsc"]), ridge=pick(PENALTIES),
                     zeta_scale=pick([0.0, 1.0, 1e150]), **weight_bounds(draw, donors))
        elif name == "fit_sc":
            p.update(ridge=pick(PENALTIES), placebo=draw(st.booleans()), level=pick(LEVELS), penalty=pick(PENALTIES),
                     **weight_bounds(draw, donors))
        elif name == "fit_asc":
            p.update(sc_ridge=pick(PENALTIES), aug_lambda=pick([None, 1e-300, 1.0, 1e300]),
                     placebo=draw(st.booleans()), level=pick(LEVELS), **weight_bounds(draw, donors))
        elif name == "fit_sdid":
            p.update(zeta_scale=pick([0.0, 1e-300, 1.0, 1e150]),
                     inference=pick(["none", "placebo"] + (["jackknife"] if len(treated) > 1 else [])),
                     level=pick(LEVELS), **weight_bounds(draw, donors))
        elif name == "fit_fp":
            p.update(ridge=pick(PENALTIES), placebo=draw(st.booleans()), level=pick(LEVELS),
                     **weight_bounds(draw, donors))
        elif name == "fit_rsc":
            p.update(rank=pick([None, 1, 2, 2**62]), energy=pick([1e-9, 0.5, 0.999, 1 - 1e-16]), ridge=pick(PENALTIES),
                     placebo=draw(st.booleans()), level=pick(LEVELS))
        elif name == "fit_mcnnm":
            p.update(lambda_=pick([None, 1e-300, 0.1, 1e300]), max_iter=pick([1, 20, 200]),
                     tol=pick([1e-300, 1e-5, 0.5, 1e300]), seed=pick([0, 2**64 - 1]),
                     max_rank=pick([None, 1, 3, 2**62]))
        else:
            p.update(mode=pick(["mspe", "stratified", "cumulative"]), n_strata=pick([1, 2, 3, 2**62]),
                     block_len=pick([None, 1, 2, 2**62]), sc_ridge=pick(PENALTIES),
                     aug_lambda=pick([None, 1e-300, 1.0, 1e300]))
        return n, p, 3
    if name == "bootstrap_mean":
        series = np.ldexp(draw(st.lists(st.floats(-10, 10), min_size=1, max_size=15)),
                          pick([-1060, -1000, 0, 1000, 1019]))
        return n, {"series": list(series), "kind": pick(["block", "stationary"]),
                   "block_len": pick([1, 3, 20, 2**62]), "n_reps": draw(st.integers(2, 200)),
                   "seed": pick([0, 2**64 - 1]), "level": pick(LEVELS)}, 1
    if name in ("fit_twfe_py", "fit_callaway_py", "fit_sunab_py", "bacon_decompose_py"):
        # Never treated: a negative start or one at or after the last period; at least one
        # such unit and one cohort with two pre-periods (a base period under anticipation).
        cohorts = draw(st.lists(st.sampled_from([-1, -(2**63), t, 2**62] + list(range(1, t))), min_size=n, max_size=n))
        cohorts[0], cohorts[1] = pick([-1, t]), draw(st.integers(2, t - 1))
        p = {"y": y, "cohorts": cohorts}
        if name == "fit_callaway_py":
            k = draw(st.integers(0, 2))
            p.update(control=pick(["never", "notyet", "not_yet_treated"]),
                     covariates=None if k == 0 else draw(hnp.arrays(np.float64, (n, k), elements=st.floats(-2, 2))),
                     anticipation=pick([0, 1]), bands=draw(st.booleans()), n_reps=draw(st.integers(2, 60)),
                     seed=pick([0, 2**64 - 1]), level=pick(LEVELS))
        return n, p, 2
    test_len = draw(st.integers(1, min(t // 2, t - 2)))
    common = {"alpha": pick([1e-9, 0.1, 0.5, 1 - 1e-9]), "target_power": pick([1e-9, 0.8, 1 - 1e-9]),
              "min_pre": pick([0, 2, t - test_len]), "lookback": pick([None, 1, 3, 2**62])}
    lifts = draw(st.lists(st.sampled_from([0.0, -0.0, 1e-300, 0.05, 0.2, 5.0]), max_size=4))
    if name == "geo_power":
        return n, {"y": y, "treated": treated, "test_len": test_len, "lifts": lifts, "method": pick(GEO_METHODS),
                   **common, **weight_bounds(draw, donors)}, 4
    if name == "geo_power_ensemble":
        members = pick([None, ["sc", "fp", "rsc"], ["sdid"], ["asc", "ASC"]])
        weights = None if members is None else pick([None, [1.0] * len(members), [0.0] * (len(members) - 1) + [3.0]])
        return n, {"y": y, "treated": treated, "test_len": test_len, "lifts": lifts, **common, "weights": weights,
                   "members": members, **weight_bounds(draw, donors)}, 4
    if name == "geo_diagnostics":
        return n, {"y": y, "treated": treated, "test_len": draw(st.integers(1, t - 1))}, 3
    if name == "geo_select":
        eligible = draw(subsets(n, max_size=n))
        include = draw(st.sampled_from([None, [], eligible[:1]]))
        forced = len(include or [])
        max_treated = draw(st.integers(max(1, forced), n - 1))
        exact = pick([None, draw(st.integers(max(1, forced), n - 1))])
        del common["lookback"]
        return n, {"y": y, "eligible": eligible, "max_treated": max_treated, "test_len": test_len,
                   "target_lift": pick([1e-300, 0.05, 0.2]), "method": pick(GEO_METHODS), **common,
                   "n_candidates": draw(st.integers(1, 10)), "seed": pick([0, 2**64 - 1]), "exact_size": exact,
                   "lookback": pick([None, 1, 3, 2**62]), "include": include,
                   # A floor feasible for the largest donor pool, a cap for the smallest.
                   "min_weight": pick([0.0, 0.5 / (n - 1)]),
                   "max_weight": pick([1.0, min(1.0, 2.0 / (n - max(max_treated, exact or 0)))])}, 5
    assert name == "version"
    return n, {}, 0


ENTRY_POINTS = ["fit_sc", "fit_asc", "fit_sdid", "fit_fp", "fit_rsc", "fit_mcnnm", "fit_cpasc", "fit_many",
                "bootstrap_mean", "fit_twfe_py", "fit_callaway_py", "fit_sunab_py", "bacon_decompose_py",
                "geo_power", "geo_power_ensemble", "geo_diagnostics", "geo_select", "version"]


def as_call(params, n_positional):
    items = list(params.items())
    return [v for _, v in items[:n_positional]], dict(items[n_positional:])


# --- calls with arbitrary arguments ---------------------------------------------------------

def wild_value(name, n):
    """An arbitrary value for the argument `name` of a panel of n units."""
    if name in ("y", "covariates"):
        return wild_panels(2)
    if name == "y3":
        return wild_panels(3)
    if name in ("treated", "eligible", "include", "cohorts"):
        return wild_index_lists(n)
    if name in ("n_reps", "max_iter", "n_candidates"):
        return work_counts
    if name in ("treat_time", "test_len", "max_treated", "rank", "max_rank", "n_strata", "block_len", "min_pre",
                "lookback", "seed", "exact_size", "anticipation"):
        return wild_counts
    if name in ("placebo", "bands"):
        return wild_flags
    if name in ("inference", "method", "mode", "kind", "control"):
        return wild_names
    if name in ("lifts", "weights", "series"):
        return wild_real_lists()
    if name == "members":
        return st.one_of(st.lists(wild_names, max_size=3), st.sampled_from(ODD + ["sc"]))
    return wild_reals


@st.composite
def arbitrary_calls(draw, name):
    """(args, kwargs) for `name`: a valid call with up to two arguments replaced by arbitrary
    values and the options at their defaults left out at random; sometimes an unknown
    keyword or a surplus positional argument."""
    n, params, n_positional = draw(valid_calls(name))
    names = list(params)
    for key in draw(st.sets(st.sampled_from(names or [""]), max_size=2)):
        if key:
            params[key] = draw(wild_value(key, n))
    for key in names[n_positional:]:
        if draw(st.integers(0, 3)) == 0:
            del params[key]
    args, kwargs = as_call(params, n_positional)
    extra = draw(st.integers(0, 19))
    if extra == 0:
        kwargs["bogus_option"] = 1
    elif extra == 1:
        args.append(draw(wild_reals))
    return args, kwargs


def call(fn, args, kwargs):
    """fn(*args, **kwargs), its result, or None if it refused the arguments."""
    try:
        return fn(*args, **kwargs)
    except REFUSALS:
        return None


# --- headline numbers -----------------------------------------------------------------------

def finite(x):
    return x is not None and math.isfinite(x)


def is_probability(x):
    return finite(x) and 0.0 <= x <= 1.0


def check_headline(res):
    """The numbers a reader acts on are finite; probabilities lie in [0, 1]."""
    if isinstance(res, _tessarix.SCResult):
        assert all(finite(v) for v in [res.att, res.pre_rmspe, res.post_rmspe] + res.att_path + res.weights)
        for v in (res.se, res.ci_lower, res.ci_upper):
            assert v is None or finite(v)
        assert res.p_value is None or is_probability(res.p_value)
    elif isinstance(res, _tessarix.CPASCResult):
        assert finite(res.att) and is_probability(res.p_value)
        assert all(finite(v) for v in res.unit_att + res.unit_weight)
    elif isinstance(res, _tessarix.DiDResult):
        assert finite(res.att) and finite(res.se) and res.se >= 0
        assert all(finite(v) for v in res.event_att + res.group_att)
        assert res.band_crit is None or finite(res.band_crit)
        assert all(finite(v) for v in res.event_lo + res.event_hi)
    elif isinstance(res, _tessarix.BaconResult):
        assert finite(res.twfe) and is_probability(res.forbidden_weight)
        assert all(finite(c.estimate) and is_probability(c.weight) for c in res.components)
    elif isinstance(res, _tessarix.PowerResult):
        # The relative estimates (est_mean, est_lo, est_hi) are NaN by design where the treated
        # markets' level is zero: a lift relative to nothing is undefined.
        assert all(is_probability(p) for p in res.power)
        assert finite(res.crit) and finite(res.se_null)
        for v in (res.mde_pct, res.mde_abs_per_period, res.mde_cumulative):
            assert v is None or finite(v)
        assert all(is_probability(w) for w in res.ensemble_weights or [])
    elif isinstance(res, _tessarix.GeoDiagnostics):
        numbers = [res.holdout_pct, res.pre_fit_rel, res.improvement_vs_naive, res.seasonality_strength,
                   res.stability_score, res.confidence]
        assert all(finite(v) for v in numbers) and 0 <= res.confidence <= 100
    elif isinstance(res, list):  # ranked market candidates
        for c in res:
            assert is_probability(c.power_at_target) and 0 <= c.confidence <= 100
            assert all(finite(v) for v in [c.holdout_pct, c.pre_fit_rel, c.stability_score, c.score])
            assert c.mde_pct is None or finite(c.mde_pct)
    elif isinstance(res, tuple):  # bootstrap (se, lower, upper)
        se, lo, hi = res
        assert finite(se) and se >= 0 and finite(lo) and finite(hi) and lo <= hi
    elif isinstance(res, np.ndarray):
        assert np.isfinite(res).all()
    else:
        assert isinstance(res, str)


@pytest.mark.parametrize("name", ENTRY_POINTS)
@settings(BASE, max_examples=80)
@given(data=st.data())
def test_arbitrary_arguments_give_a_result_or_a_refusal(name, data):
    args, kwargs = data.draw(arbitrary_calls(name))
    res = call(getattr(tessarix, name), args, kwargs)
    if res is None:
        return
    if name == "bootstrap_mean" and kwargs.get("n_reps") in (1, True):
        # One replicate has no spread to estimate: NaN, as documented, never a confident 0.
        assert all(math.isnan(v) for v in res)
    else:
        check_headline(res)


@pytest.mark.parametrize("name", ENTRY_POINTS)
@settings(BASE, max_examples=30)
@given(data=st.data())
def test_valid_input_gives_finite_headline_numbers(name, data):
    _, params, n_positional = data.draw(valid_calls(name))
    args, kwargs = as_call(params, n_positional)
    check_headline(getattr(tessarix, name)(*args, **kwargs))


# --- the data-frame front ends with arbitrary arguments ------------------------------------

@st.composite
def long_frames(draw, n, t, cohorts=None):
    """A long frame of a generic panel (markets m0.., periods 2000..), as pandas, polars,
    pyarrow or a dict of columns; sometimes with a defect: a missing, duplicated or non-finite
    cell, an outlier a trillion times its neighbours, or a column of another type. (An outlier
    at the top of the double range in a panel near 1e-12 can put the true effect of the
    extrapolating fits, the augmented and robust ones, beyond the doubles: there +-inf is the
    right answer, not a defect.)"""
    y = draw(walks(n, t, positive=True))
    cols = {"unit": np.repeat([f"m{i}" for i in range(n)], t), "time": np.tile(np.arange(2000, 2000 + t), n),
            "y": y.reshape(-1)}
    if cohorts is not None:
        cols["first"] = np.repeat([0 if c < 0 else 2000 + c for c in cohorts], t)
        cols["on"] = ((cols["first"] > 0) & (cols["time"] >= cols["first"])).astype(np.int64)
    defect = draw(st.integers(0, 9))
    if defect == 0:
        cols = {k: v[1:] for k, v in cols.items()}
    elif defect == 1:
        cols = {k: np.concatenate([v, v[:1]]) for k, v in cols.items()}
    elif defect == 2:
        cols["y"] = cols["y"].copy()
        cols["y"][draw(st.integers(0, n * t - 1))] *= draw(st.sampled_from([math.nan, math.inf, 1e12]))
    elif defect == 3:
        cols[draw(st.sampled_from(sorted(cols)))] = np.array(["x"] * len(cols["y"]), dtype=object)
    kind = draw(st.sampled_from(["pandas", "pandas", "polars", "pyarrow", "dict"]))
    if kind == "dict":
        return cols
    df = pd.DataFrame(cols)
    if kind == "polars":
        import polars as pl
        return pl.from_pandas(df)
    if kind == "pyarrow":
        import pyarrow as pa
        return pa.Table.from_pandas(df, preserve_index=False)
    return df


def maybe(draw, valid, wild):
    """A valid value eight times in nine, else an arbitrary one."""
    return draw(wild) if draw(st.integers(0, 8)) == 0 else draw(valid)


wild_labels = st.one_of(st.sampled_from(["m0", "m1", "zz", "", None, 3, 2000, "unit", math.nan]),
                        st.lists(st.sampled_from(["m0", "m1", "m2", "zz", None]), max_size=3), st.sampled_from(ODD))
wild_columns = st.sampled_from(["unit", "time", "y", "nope", "", None, 0, b"y", ("y",)])
SYNTH_OPTIONS = {
    "sc": {"ridge": st.sampled_from([0.0, 0.1]), "penalty": st.sampled_from([0.0, 0.01]), "level": st.just(0.9),
           "min_weight": st.just(0.0), "max_weight": st.just(1.0)},
    "asc": {"sc_ridge": st.just(0.1), "aug_lambda": st.sampled_from([None, 1.0]), "level": st.just(0.9)},
    "sdid": {"zeta_scale": st.sampled_from([0.5, 1.0]), "level": st.just(0.9), "max_weight": st.just(0.9)},
    "fp": {"ridge": st.just(0.1), "level": st.just(0.8)},
    "rsc": {"rank": st.sampled_from([None, 1]), "energy": st.just(0.9), "ridge": st.just(0.0)},
    "mcnnm": {"lambda_": st.sampled_from([None, 0.5]), "max_iter": st.just(50), "tol": st.just(1e-4),
              "seed": st.just(1), "max_rank": st.sampled_from([None, 2])},
    "cpasc": {"mode": st.sampled_from(["mspe", "stratified", "cumulative"]), "n_strata": st.just(2),
              "block_len": st.sampled_from([None, 2])},
}
INFERENCE = {"sc": [None, "placebo"], "asc": [None, "placebo"], "sdid": [None, "none", "placebo", "jackknife"],
             "fp": [None, "placebo"], "rsc": [None, "placebo"], "mcnnm": [None], "cpasc": [None, "conformal"]}


def options_of(draw, table):
    """A subset of the options in `table`, each valid or (rarely) an arbitrary value of its
    kind, and rarely an option the call does not take."""
    out = {}
    for name, valid in table.items():
        if draw(st.booleans()):
            out[name] = maybe(draw, valid, wild_value(name, 3))
    if draw(st.integers(0, 14)) == 0:
        out["bogus_option"] = 1
    return out


@st.composite
def synth_calls(draw):
    n, t = draw(st.integers(2, 6)), draw(st.integers(3, 10))
    method = maybe(draw, st.sampled_from(sorted(SYNTH_OPTIONS)), wild_names)
    kwargs = dict(unit=maybe(draw, st.just("unit"), wild_columns), time=maybe(draw, st.just("time"), wild_columns),
                  outcome=maybe(draw, st.just("y"), wild_columns), method=method,
                  treated=maybe(draw, st.lists(st.sampled_from([f"m{i}" for i in range(n)]), min_size=1, max_size=2, unique=True)
                                | st.just("m0"), wild_labels),
                  start=maybe(draw, st.integers(2000, 2000 + t - 1), st.sampled_from([1999, 2000 + t, "2001", None, 2001.5])),
                  inference=maybe(draw, st.sampled_from(INFERENCE.get(str(method), [None])), wild_names))
    kwargs.update(options_of(draw, SYNTH_OPTIONS.get(str(method), {})))
    return draw(long_frames(n, t)), kwargs


@st.composite
def did_calls(draw):
    n, t = draw(st.integers(3, 7)), draw(st.integers(3, 9))
    cohorts = draw(st.lists(st.sampled_from([-1, -1] + list(range(1, t))), min_size=n, max_size=n))
    method = maybe(draw, st.sampled_from(["cs", "sa", "twfe", "bacon"]), wild_names)
    kwargs = dict(unit=maybe(draw, st.just("unit"), wild_columns), time=maybe(draw, st.just("time"), wild_columns),
                  outcome=maybe(draw, st.just("y"), wild_columns))
    if draw(st.booleans()):
        kwargs["cohort"] = maybe(draw, st.just("first"), wild_columns)
    else:
        kwargs["treatment"] = maybe(draw, st.just("on"), wild_columns)
    if method != "bacon":
        kwargs["method"] = method
        if method == "cs":
            kwargs.update(options_of(draw, {"control": st.sampled_from(["never", "notyet"]),
                                            "anticipation": st.sampled_from([0, 1]), "bands": st.booleans(),
                                            "n_reps": st.just(30), "seed": st.just(2), "level": st.just(0.9)}))
            if draw(st.booleans()):
                kwargs["covariates"] = maybe(draw, st.just(["y"]), st.sampled_from([["nope"], "time", [], None, 3]))
        else:
            kwargs.update(options_of(draw, {"level": st.just(0.9)}))
    return draw(long_frames(n, t, cohorts)), kwargs


GEO_OPTIONS = {"alpha": st.sampled_from([0.1, 0.2]), "target_power": st.just(0.8), "min_pre": st.sampled_from([0, 2]),
               "lookback": st.sampled_from([None, 4]), "min_weight": st.just(0.0), "max_weight": st.just(1.0)}


@st.composite
def geo_calls(draw):
    n, t = draw(st.integers(3, 6)), draw(st.integers(4, 14))
    which = draw(st.sampled_from(["power", "power_ensemble", "select", "diagnose"]))
    kwargs = dict(unit=maybe(draw, st.just("unit"), wild_columns), time=maybe(draw, st.just("time"), wild_columns),
                  outcome=maybe(draw, st.just("y"), wild_columns),
                  test_len=maybe(draw, st.integers(1, max(1, t // 3)), wild_counts))
    labels = st.lists(st.sampled_from([f"m{i}" for i in range(n)]), min_size=1, max_size=2, unique=True)
    if which == "select":
        kwargs.update(max_treated=maybe(draw, st.integers(1, n - 1), wild_counts),
                      target_lift=maybe(draw, st.sampled_from([0.05, 0.2]), wild_reals))
        if draw(st.booleans()):
            kwargs["eligible"] = maybe(draw, labels, wild_labels)
        if draw(st.booleans()):
            kwargs["include"] = maybe(draw, st.just(["m0"]), wild_labels)
        kwargs.update(options_of(draw, {**GEO_OPTIONS, "method": st.sampled_from(["sc", "sdid"]),
                                        "n_candidates": st.integers(1, 6), "seed": st.just(3),
                                        "exact_size": st.sampled_from([None, 1])}))
    else:
        kwargs["treated"] = maybe(draw, labels | st.just("m1"), wild_labels)
    if which in ("power", "power_ensemble"):
        kwargs["lifts"] = maybe(draw, st.lists(st.sampled_from([0.0, 0.05, 0.2]), max_size=3), wild_real_lists())
        table = dict(GEO_OPTIONS, method=st.sampled_from(["sc", "sdid", "fp"])) if which == "power" else \
            dict(GEO_OPTIONS, members=st.sampled_from([None, ["sc", "fp"]]), weights=st.sampled_from([None]))
        kwargs.update(options_of(draw, table))
    return which, draw(long_frames(n, t)), kwargs


def check_front_end(res):
    """A front end's result: its native result's headline numbers, and its own."""
    check_headline(res.native)
    for attr in ("att", "se", "twfe"):
        value = getattr(res, attr, None)
        assert value is None or finite(value), attr
    p = getattr(res, "p_value", None)
    assert p is None or is_probability(p)


@pytest.mark.filterwarnings("ignore:lifts are fractions", "ignore:target_lift are fractions")
@settings(BASE, max_examples=60)
@given(data=st.data())
def test_front_ends_with_arbitrary_arguments_give_a_result_or_a_refusal(data):
    frame, kwargs = data.draw(synth_calls(), label="synth")
    res = call(tessarix.synth, [frame], kwargs)
    if res is not None:
        check_front_end(res)
    frame, kwargs = data.draw(did_calls(), label="did")
    fn = tessarix.did if "method" in kwargs else tessarix.bacon
    res = call(fn, [frame], kwargs)
    if res is not None:
        check_front_end(res)
    which, frame, kwargs = data.draw(geo_calls(), label="geo")
    res = call(getattr(tessarix.geo, which), [frame], kwargs)
    if res is not None:
        check_headline(res.native)


# --- invariances ------------------------------------------------------------------------------

# Relabelled or shifted panels reach each estimate along another rounding path. The weight
# solvers (simplex Frank-Wolfe, SDID's regularised problems) stop once the duality gap of a
# quadratic objective is within tau = 1e-10 of its minimum, which leaves the weights within
# about sqrt(tau / curvature) of the optimum: effects, built from the weights, agree to
# sqrt(tau) = 1e-5 of the outcome scale, the weights themselves to 1e-4 (measured: 4e-7 of the
# scale and 4e-5 under a shift of up to 100 times the scale, 1e-9 under relabelling; the shifts
# drawn below stay within 10 times the scale).
SOLVER_RTOL = 1e-5
WEIGHT_ATOL = 1e-4
# Closed-form estimators (fixed-effects regressions, 2x2 comparisons, cell means) only sum in
# another order: differences of a few ulps per operation, measured below 1e-13.
ROUNDING_RTOL = 1e-10
# Standard errors are compared through their squares: a variance that is zero in exact
# arithmetic comes out as rounding noise of 1e-16, whose square root (1e-8) is no defect.
SPREADS = {"se", "event_se", "group_se", "overall_group_se", "se_null"}
# Rank statistics (placebo p-values, powers, window counts) compare exactly: on generic panels
# no placebo statistic lies within rounding of another.
EXACT = {"p_value", "power", "n_windows", "donor_ids", "event_time", "group_cohort", "lifts", "unit_ids", "t0",
         "warnings", "method", "kind", "treated_cohort", "comparison_cohort", "mde_pct"}
# Per result type: the fields in outcome units, in squared outcome units, and scale-free.
UNITS = {
    _tessarix.SCResult: (["att", "att_path", "counterfactual", "treated_post", "pre_rmspe", "post_rmspe", "se",
                          "ci_lower", "ci_upper", "placebo_atts"], [], ["weights", "donor_ids", "p_value"]),
    _tessarix.CPASCResult: (["att", "unit_att", "pooled_residual", "null_residual"], ["unit_mspe"],
                            ["p_value", "unit_ids", "unit_weight", "t0"]),
    _tessarix.DiDResult: (["att", "se", "event_att", "event_se", "event_lo", "event_hi", "group_att", "group_se",
                           "overall_group_att", "overall_group_se"], [], ["event_time", "group_cohort", "band_crit"]),
    _tessarix.BaconResult: (["twfe"], [], ["forbidden_weight"]),
    _tessarix.PowerResult: (["crit", "se_null", "mde_abs_per_period", "mde_cumulative"], [],
                            ["method", "lifts", "power", "est_mean", "est_lo", "est_hi", "mde_pct", "n_windows",
                             "ensemble_weights"]),
    _tessarix.GeoDiagnostics: ([], [], ["holdout_pct", "pre_fit_rel", "improvement_vs_naive", "seasonality_strength",
                                        "stability_score", "confidence", "warnings"]),
    _tessarix.MarketCandidate: ([], [], ["treated", "power_at_target", "mde_pct", "holdout_pct", "pre_fit_rel",
                                         "stability_score", "confidence", "score"]),
}


# Per result type, the fields that relabelling the units must leave unchanged (the per-unit
# ones, in row order, are compared by label apart).
FIELDS = {
    _tessarix.SCResult: ["att", "att_path", "counterfactual", "treated_post", "pre_rmspe", "post_rmspe", "se",
                         "ci_lower", "ci_upper", "p_value"],
    _tessarix.CPASCResult: ["att", "p_value", "pooled_residual", "null_residual", "t0"],
    **{kind: [f for group in UNITS[kind] for f in group] for kind in (
        _tessarix.DiDResult, _tessarix.PowerResult, _tessarix.GeoDiagnostics)},
    _tessarix.MarketCandidate: UNITS[_tessarix.MarketCandidate][2][1:],  # all but the treated rows
}


def assert_same(a, b, rtol, scale, where=""):
    """a and b agree: exact fields exactly, the others within rtol of their size or, for
    numbers in outcome units, of the panel's scale (squares of spreads within rtol of its
    square); an ill-conditioned design (near-collinear covariates) may make a number far larger
    than the outcomes, and its rounding with it."""
    if isinstance(a, list) and a and not isinstance(a[0], (int, float)):
        assert len(a) == len(b), where
        for x, z in zip(a, b):
            assert_same(x, z, rtol, scale, where)
        return
    if type(a) not in FIELDS:
        np.testing.assert_allclose(b, a, rtol=0, atol=rtol * scale, err_msg=where)
        return
    linear = UNITS[type(a)][0]
    for name in FIELDS[type(a)]:
        x, z = getattr(a, name), getattr(b, name)
        if name in EXACT or isinstance(x, str) or (isinstance(x, list) and x and isinstance(x[0], (str, int))):
            assert x == z, f"{where}{name}: {x} != {z}"
        elif x is None or z is None:
            assert x is z, f"{where}{name}"
        elif name in SPREADS:
            np.testing.assert_allclose(np.square(np.divide(z, scale)), np.square(np.divide(x, scale)), rtol=rtol,
                                       atol=rtol, err_msg=where + name)
        elif name in linear:
            np.testing.assert_allclose(z, x, rtol=rtol, atol=rtol * scale, err_msg=where + name)
        else:  # scale-free: shares, ratios, scores, weights
            np.testing.assert_allclose(z, x, rtol=rtol, atol=rtol, err_msg=where + name)


def by_label(res, perm):
    """The donor weights and placebo effects keyed by the donor's original row (perm maps a
    relabelled row to its original one)."""
    ids = [int(perm[d]) for d in res.donor_ids]
    out = {("w", i): w for i, w in zip(ids, res.weights)}
    out.update({("placebo", i): v for i, v in zip(ids, res.placebo_atts or [])})
    return out


@st.composite
def generic_designs(draw, staggered=False, donor_rich=False):
    """A panel of generic random walks, its treated rows or cohorts, and a relabelling of its
    units. More pre-periods than donors, so that the simplex weights are unique; or, donor
    rich, more donors than pre-periods, so that SDID's time weights are (their ridge, a
    millionth of the noise level, leaves them flat along some directions when there are fewer
    donors than pre-periods: the solver stops at a point that depends on the donors' order,
    measured to move an effect by 0.5 % of the outcome scale)."""
    if donor_rich:
        t0 = draw(st.integers(3, 5))
        n = t0 + draw(st.integers(3, 6))
    else:
        n = draw(st.integers(4, 7))
        t0 = draw(st.integers(n + 2, n + 6))
    t = t0 + draw(st.integers(1, 4))
    y = draw(walks(n, t))
    perm = np.array(draw(st.permutations(range(n))))
    if staggered:
        cohorts = draw(st.lists(st.sampled_from([-1, 2, 4, t - 2]), min_size=n, max_size=n))
        cohorts[0], cohorts[1] = -1, 3
        return y, cohorts, t0, perm
    return y, sorted(draw(st.lists(st.integers(0, n - 1), min_size=1, max_size=2, unique=True))), t0, perm


def relabelled(treated, perm):
    """Rows of `treated` after the relabelling y[perm] (row r of it is the original perm[r])."""
    inverse = np.argsort(perm)
    return sorted(int(inverse[i]) for i in treated)


# Fits of (panel, treated rows, t0) whose estimates neither the order of the units nor (the
# shift-invariant ones) a constant added to every outcome may change.
SC_FITS = {
    "sc": lambda y, tr, t0: tessarix.fit_sc(y, tr, t0, placebo=True),
    "sc_options": lambda y, tr, t0: tessarix.fit_sc(y, tr, t0, placebo=True, ridge=0.1, penalty=0.01,
                                                    max_weight=min(1.0, 2.0 / (len(y) - len(tr)))),
    "asc": lambda y, tr, t0: tessarix.fit_asc(y, tr, t0, placebo=True),
    "sdid_placebo": lambda y, tr, t0: tessarix.fit_sdid(y, tr, t0, inference="placebo"),
    "sdid_jackknife": lambda y, tr, t0: tessarix.fit_sdid(y, tr, t0, inference="jackknife" if len(tr) > 1 else "none"),
    "fp": lambda y, tr, t0: tessarix.fit_fp(y, tr, t0, placebo=True, min_weight=0.02),
    "rsc": lambda y, tr, t0: tessarix.fit_rsc(y, tr, t0, placebo=True),
    "mcnnm": lambda y, tr, t0: tessarix.fit_mcnnm(y, tr, t0),
    "mcnnm_penalty": lambda y, tr, t0: tessarix.fit_mcnnm(y, tr, t0, lambda_=0.3, max_rank=2),
    "cpasc": lambda y, tr, t0: tessarix.fit_cpasc(y, tr, t0, mode="stratified", n_strata=2),
    "cpasc_cumulative": lambda y, tr, t0: tessarix.fit_cpasc(y, tr, t0, mode="cumulative", block_len=2),
    "many": lambda y, tr, t0: np.concatenate([tessarix.fit_many(np.stack([y, y[:, ::-1]]), tr, t0, method=m)
                                              for m in ("sc", "asc", "fp")]),
    "many_sdid": lambda y, tr, t0: tessarix.fit_many(np.stack([y, y[:, ::-1]]), tr, t0, method="sdid"),
}
DONOR_RICH = {"sdid_placebo", "sdid_jackknife", "many_sdid"}
# Not shift-invariant by construction: robust SC regresses on the donors' leading singular
# vectors without an intercept, with unconstrained weights, so a constant added to the panel
# changes its spectrum and the fit; cumulative CP-ASC weighs each treated unit by its share of
# the treated outcome level, which a constant changes (the stratified mode only ranks levels).
NOT_SHIFT_INVARIANT = {"rsc", "cpasc_cumulative"}
# The default penalty of matrix completion is chosen on cells held out at random in row order:
# relabelled units hold out other cells, as another seed would.
NOT_RELABELLING_INVARIANT = {"mcnnm"}


def magnitude(y):
    return float(np.max(np.abs(y)))


@pytest.mark.parametrize("name", sorted(set(SC_FITS) - NOT_RELABELLING_INVARIANT))
@settings(BASE, max_examples=12)
@given(data=st.data())
def test_relabelling_units_leaves_synthetic_control_estimates_unchanged(name, data):
    y, treated, t0, perm = data.draw(generic_designs(donor_rich=name in DONOR_RICH))
    fit = SC_FITS[name]
    ref, got = fit(y, treated, t0), fit(y[perm], relabelled(treated, perm), t0)
    assert_same(ref, got, SOLVER_RTOL, magnitude(y), f"{name} ")
    if isinstance(ref, _tessarix.SCResult):
        a, b = by_label(ref, np.arange(len(y))), by_label(got, perm)
        assert a.keys() == b.keys()
        for key in a:
            tol = WEIGHT_ATOL if key[0] == "w" else SOLVER_RTOL * magnitude(y)
            assert b[key] == pytest.approx(a[key], rel=0, abs=tol), (name, key)
        if ref.inference_distribution is not None:
            np.testing.assert_allclose(sorted(got.inference_distribution), sorted(ref.inference_distribution),
                                       rtol=SOLVER_RTOL, atol=SOLVER_RTOL * magnitude(y))


@pytest.mark.parametrize("name", sorted(set(SC_FITS) - NOT_SHIFT_INVARIANT))
@settings(BASE, max_examples=12)
@given(data=st.data(), shift=st.floats(-10, 10))
def test_a_constant_added_to_the_panel_leaves_synthetic_control_effects_unchanged(name, data, shift):
    # Simplex weights sum to one, SDID and the demeaned fit carry intercepts, the augmentation's
    # ridge works on donor-centred outcomes, matrix completion absorbs a constant into its
    # unit and period effects: the counterfactual moves with the constant, the effect stays.
    y, treated, t0, _ = data.draw(generic_designs(donor_rich=name in DONOR_RICH))
    shift *= magnitude(y)
    fit = SC_FITS[name]
    ref, got = fit(y, treated, t0), fit(y + shift, treated, t0)
    scale = magnitude(y) + abs(shift)
    if isinstance(ref, _tessarix.SCResult):
        assert got.p_value == ref.p_value
        for attr in ["att", "att_path", "pre_rmspe", "post_rmspe", "se", "placebo_atts"]:
            if getattr(ref, attr) is not None:
                np.testing.assert_allclose(getattr(got, attr), getattr(ref, attr), rtol=0,
                                           atol=SOLVER_RTOL * scale, err_msg=attr)
        np.testing.assert_allclose(got.weights, ref.weights, rtol=0, atol=WEIGHT_ATOL)
        np.testing.assert_allclose(got.counterfactual, np.add(ref.counterfactual, shift), rtol=0,
                                   atol=SOLVER_RTOL * scale)
    elif isinstance(ref, _tessarix.CPASCResult):
        assert got.p_value == ref.p_value
        np.testing.assert_allclose([got.att] + got.unit_att, [ref.att] + ref.unit_att, rtol=0,
                                   atol=SOLVER_RTOL * scale)
    else:
        np.testing.assert_allclose(got, ref, rtol=0, atol=SOLVER_RTOL * scale)


# Staggered designs: (panel, cohorts, unit covariates) -> result. Relabelling permutes the
# units with their cohorts and covariates; the sup-t bands are left out there, since their
# multipliers are drawn unit by unit in row order (a relabelling draws others, as a seed would).
DID_FITS = {
    "twfe": lambda y, g, x, bands: tessarix.fit_twfe_py(y, g),
    "callaway": lambda y, g, x, bands: tessarix.fit_callaway_py(y, g, bands=bands, n_reps=99),
    "callaway_notyet_covariates": lambda y, g, x, bands: tessarix.fit_callaway_py(
        y, g, control="notyet", covariates=x, anticipation=1, bands=bands, n_reps=99),
    "sunab": lambda y, g, x, bands: tessarix.fit_sunab_py(y, g),
    "bacon": lambda y, g, x, bands: tessarix.bacon_decompose_py(y, g),
}


def bacon_components(res):
    return {(c.kind, c.treated_cohort, c.comparison_cohort): (c.weight, c.estimate) for c in res.components}


def assert_same_did(ref, got, scale, shift=0.0):
    if isinstance(ref, _tessarix.BaconResult):
        a, b = bacon_components(ref), bacon_components(got)
        assert a.keys() == b.keys()
        for key in a:
            assert b[key][0] == pytest.approx(a[key][0], rel=ROUNDING_RTOL, abs=ROUNDING_RTOL), key
            assert b[key][1] == pytest.approx(a[key][1], rel=ROUNDING_RTOL, abs=ROUNDING_RTOL * scale), key
        assert got.twfe == pytest.approx(ref.twfe, rel=ROUNDING_RTOL, abs=ROUNDING_RTOL * scale)
        return
    assert_same(ref, got, ROUNDING_RTOL, scale)
    if ref.band_crit is not None:
        assert got.band_crit == pytest.approx(ref.band_crit, rel=ROUNDING_RTOL)


@pytest.mark.parametrize("name", sorted(DID_FITS))
@settings(BASE, max_examples=15)
@given(design=generic_designs(staggered=True), shift=st.floats(-100, 100), x=st.lists(st.floats(-1, 1), min_size=7, max_size=7))
def test_relabelling_and_shifting_leave_did_estimates_unchanged(name, design, shift, x):
    # Every staggered estimator compares changes over time within units: a constant added to
    # every outcome cancels from each of them.
    y, cohorts, _, perm = design
    x = np.array(x[:len(y)])[:, None]
    fit = DID_FITS[name]
    ref = fit(y, cohorts, x, False)
    assert_same_did(ref, fit(y[perm], [cohorts[i] for i in perm], x[perm], False), magnitude(y))
    c = shift * magnitude(y)
    assert_same_did(fit(y, cohorts, x, True), fit(y + c, cohorts, x, True), magnitude(y) + abs(c))


@st.composite
def geo_designs(draw):
    """A positive sales panel of generic walks, treated markets and a relabelling."""
    n = draw(st.integers(4, 6))
    t = draw(st.integers(n + 8, n + 14))
    y = draw(walks(n, t, positive=True))
    return y, sorted(draw(st.lists(st.integers(0, n - 1), min_size=1, max_size=2, unique=True))), \
        np.array(draw(st.permutations(range(n))))


GEO_CALLS = {
    "power": lambda y, tr: tessarix.geo_power(y, tr, 3, [0.0, 0.05, 0.3]),
    "power_sc": lambda y, tr: tessarix.geo_power(y, tr, 3, [0.0, 0.05, 0.3], method="sc", max_weight=0.8),
    "power_ensemble": lambda y, tr: tessarix.geo_power_ensemble(y, tr, 2, [0.0, 0.1], members=["sc", "fp", "rsc"]),
    "diagnostics": lambda y, tr: tessarix.geo_diagnostics(y, tr, 3),
}


def candidates_by_markets(ranked, perm):
    """Each candidate keyed by its treated markets' original rows."""
    return {frozenset(int(perm[i]) for i in c.treated): c for c in ranked}


@settings(BASE, max_examples=15)
@given(design=geo_designs())
def test_relabelling_markets_leaves_geo_design_numbers_unchanged(design):
    y, treated, perm = design
    moved = relabelled(treated, perm)
    scale = magnitude(y)
    for name, fit in GEO_CALLS.items():
        assert_same(fit(y, treated), fit(y[perm], moved), SOLVER_RTOL, scale, f"{name} ")
    # Every set of at most two markets fits within n_candidates: the search is exhaustive, so
    # both rankings hold the same sets (ties in score may order them differently).
    select = lambda v: tessarix.geo_select(v, list(range(len(y))), 2, 3, 0.1, method="sc", n_candidates=40)  # noqa: E731
    ref = candidates_by_markets(select(y), np.arange(len(y)))
    got = candidates_by_markets(select(y[perm]), perm)
    assert ref.keys() == got.keys()
    for key in ref:
        assert_same(ref[key], got[key], SOLVER_RTOL, 1.0, f"select {sorted(key)} ")


# --- power-of-two multiples ------------------------------------------------------------------

def bits(values):
    """Exact images of numbers (float.hex), NaN included; None and other values as they are."""
    if isinstance(values, (list, tuple, np.ndarray)):
        return [bits(v) for v in values]
    return float(values).hex() if isinstance(values, float) else values


def times(values, k):
    if isinstance(values, (list, tuple, np.ndarray)):
        return [times(v, k) for v in values]
    return None if values is None else math.ldexp(values, k)


def squares_representable(y, k):
    """Whether squares of y's outcomes and of their 2^k multiples are normal doubles."""
    e = math.frexp(magnitude(y))[1]
    return all(-500 < m < 500 for m in (e, e + k))


def assert_scaled(ref, got, k, statistic_in_units=False, squares=True):
    """got is ref with every outcome-unit number times 2^k, bit for bit, the rest unchanged
    (numbers in squared units times 2^2k, when those squares are representable)."""
    if isinstance(ref, list) and ref and not isinstance(ref[0], (int, float)):
        assert len(ref) == len(got)
        for a, b in zip(ref, got):
            assert_scaled(a, b, k, statistic_in_units, squares)
        return
    if type(ref) not in UNITS:  # a batch of effects or a bootstrap's (se, lower, upper)
        assert bits(got) == bits(times(ref, k))
        return
    linear, squared, free = UNITS[type(ref)]
    for name in linear:
        assert bits(getattr(got, name)) == bits(times(getattr(ref, name), k)), name
    for name in squared if squares else []:
        assert bits(getattr(got, name)) == bits(times(getattr(ref, name), 2 * k)), name
    for name in free:
        assert bits(getattr(got, name)) == bits(getattr(ref, name)), name
    if isinstance(ref, _tessarix.SCResult) and ref.inference_distribution is not None:
        # Placebo statistics: |ATT| for SDID and the demeaned fit, RMSPE ratios for the others.
        want = times(ref.inference_distribution, k) if statistic_in_units else ref.inference_distribution
        assert bits(got.inference_distribution) == bits(want)
    if isinstance(ref, _tessarix.BaconResult):
        assert [(c.kind, c.treated_cohort, c.comparison_cohort, bits(c.weight)) for c in got.components] == \
            [(c.kind, c.treated_cohort, c.comparison_cohort, bits(c.weight)) for c in ref.components]
        assert bits([c.estimate for c in got.components]) == bits(times([c.estimate for c in ref.components], k))


# Exactly scale-equivariant at every magnitude: closed-form DiD, matrix completion (relative
# stopping rules), robust SC (spectral cut by shares of energy), the bootstrap. Each takes the
# panel; a penalty in outcome units is set relative to its largest outcome, so that it goes
# with the panel.
STAGGERED = [2, -1, 4, -1, 6, 4, -1]  # cohorts of the first rows of a panel


def did_fit(name):
    fit = DID_FITS[name]
    return lambda y: fit(y, STAGGERED[:len(y)], np.linspace(-1.0, 1.0, len(y))[:, None], True)


EQUIVARIANT = {
    **{name: did_fit(name) for name in DID_FITS},
    "mcnnm": lambda y: tessarix.fit_mcnnm(y, [0, 2], y.shape[1] - 2),
    "mcnnm_penalty": lambda y: tessarix.fit_mcnnm(y, [0], y.shape[1] - 2, lambda_=0.5 * magnitude(y), max_rank=2),
    "rsc": lambda y: tessarix.fit_rsc(y, [1], y.shape[1] - 3, placebo=True),
    "bootstrap": lambda y: tessarix.bootstrap_mean(list(y[0]), kind="stationary", block_len=3, n_reps=200),
}
# Fitted at the canonical scale (2^e y with max |y| in [1, 2)) when outside the ordinary range
# [1, 2^100), and as they are inside it, where solvers stop on absolute tolerances: a panel
# and its multiple agree bit for bit when both are fitted at the canonical scale.
CANONICAL = {
    "sc": lambda y: tessarix.fit_sc(y, [0, 1], y.shape[1] - 3, placebo=True, max_weight=0.6),
    "asc": lambda y: tessarix.fit_asc(y, [0], y.shape[1] - 3, placebo=True),
    "sdid": lambda y: tessarix.fit_sdid(y, [0, 1], y.shape[1] - 3, inference="jackknife"),
    "sdid_placebo": lambda y: tessarix.fit_sdid(y, [1], y.shape[1] - 3, inference="placebo"),
    "fp": lambda y: tessarix.fit_fp(y, [0], y.shape[1] - 3, placebo=True),
    "cpasc": lambda y: tessarix.fit_cpasc(y, [0, 1], y.shape[1] - 3, mode="stratified"),
    "many": lambda y: tessarix.fit_many(np.stack([y, y[::-1]]), [0], y.shape[1] - 3, method="asc"),
    "geo_power": lambda y: tessarix.geo_power(np.abs(y), [0, 2], 3, [0.0, 0.05, 0.2]),
    "geo_ensemble": lambda y: tessarix.geo_power_ensemble(np.abs(y), [1], 2, [0.0, 0.1], members=["sc", "fp"]),
    "geo_diagnostics": lambda y: tessarix.geo_diagnostics(np.abs(y), [0, 2], 3),
    "geo_select": lambda y: tessarix.geo_select(np.abs(y), [0, 1, 2, 3], 2, 3, 0.1, n_candidates=5, seed=2),
}
IN_UNITS_STATISTIC = {"fp", "sdid_placebo"}
# Magnitudes (powers of two) outside the ordinary range once the walks' own size (below 2^6)
# is added; k = target - start moves a panel from one to another.
OUTSIDE = [-1000, -600, -300, -40, 150, 300, 900]


@st.composite
def scaled_panels(draw, outside):
    n, t = draw(st.integers(5, 7)), draw(st.integers(11, 14))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    y = np.cumsum(rng.normal(size=(n, t)), axis=1) + rng.uniform(-3, 3, size=(n, 1))
    if outside:
        start, target = draw(st.sampled_from(OUTSIDE)), draw(st.sampled_from(OUTSIDE))
    else:
        start = draw(st.sampled_from([-40, 0, 4, 40]))
        target = start + draw(st.sampled_from([-600, -20, -3, -1, 1, 3, 20, 600]))
    return np.ldexp(y, start), target - start


@pytest.mark.parametrize("name", sorted(EQUIVARIANT))
@settings(BASE, max_examples=10)
@given(case=scaled_panels(outside=False))
def test_power_of_two_multiples_scale_exactly_at_any_magnitude(name, case):
    y, k = case
    fit = EQUIVARIANT[name]
    assert_scaled(fit(y), fit(np.ldexp(y, k)), k, squares=squares_representable(y, k))


@pytest.mark.parametrize("name", sorted(CANONICAL))
@settings(BASE, max_examples=10)
@given(case=scaled_panels(outside=True))
def test_power_of_two_multiples_fitted_at_the_canonical_scale_scale_exactly(name, case):
    y, k = case
    fit = CANONICAL[name]
    assert_scaled(fit(y), fit(np.ldexp(y, k)), k, statistic_in_units=name in IN_UNITS_STATISTIC,
                  squares=squares_representable(y, k))


@pytest.mark.parametrize("name", sorted(CANONICAL))
@settings(BASE, max_examples=10)
@given(case=scaled_panels(outside=False))
def test_power_of_two_multiples_in_the_ordinary_range_agree_to_solver_precision(name, case):
    y, k = case
    fit = CANONICAL[name]
    ref, got = fit(y), fit(np.ldexp(y, k))
    if isinstance(ref, (list, np.ndarray)):
        ref, got = (ref, got) if isinstance(ref, list) else (list(ref), [math.ldexp(v, -k) for v in got])
    if isinstance(ref, list) and ref and isinstance(ref[0], _tessarix.MarketCandidate):
        for a, b in zip(ref, got):
            assert_same(a, b, SOLVER_RTOL, 1.0, name)
        return
    if isinstance(ref, list):
        np.testing.assert_allclose(got, ref, rtol=0, atol=SOLVER_RTOL * magnitude(y))
        return
    linear, squared, free = UNITS[type(ref)]
    for attr in linear:
        a, b = getattr(ref, attr), getattr(got, attr)
        if a is not None:
            np.testing.assert_allclose(times(b, -k), a, rtol=0, atol=SOLVER_RTOL * magnitude(y), err_msg=attr)
    for attr in free:
        a, b = getattr(ref, attr), getattr(got, attr)
        if isinstance(a, float) or (isinstance(a, list) and a and isinstance(a[0], float)):
            np.testing.assert_allclose(b, a, rtol=SOLVER_RTOL, atol=WEIGHT_ATOL, err_msg=attr)


@st.composite
def relabelled_frames(draw):
    """A long frame of a generic design and the same frame with its units renamed so that
    their sorted order, and so every row of the panel, moves; with the renaming."""
    y, cohorts, t0, perm = draw(generic_designs(staggered=True))
    n, t = y.shape
    names = {i: f"u{int(np.argsort(perm)[i]):02d}" for i in range(n)}  # row perm[r] sorts to row r

    def frame(label):
        return pd.DataFrame({"unit": np.repeat([label(i) for i in range(n)], t), "time": np.tile(np.arange(t), n) + 2000,
                             "y": y.reshape(-1), "first": np.repeat([2000 + c if c > 0 else 0 for c in cohorts], t)})
    return frame(lambda i: f"u{i:02d}"), frame(names.get), names, t0


@settings(BASE, max_examples=8)
@given(case=relabelled_frames())
def test_front_ends_give_the_same_estimates_for_renamed_units(case):
    plain, renamed, names, t0 = case
    scale = magnitude(plain["y"].to_numpy())
    long = dict(unit="unit", time="time", outcome="y")
    for method, inference in [("sc", "placebo"), ("sdid", "jackknife"), ("fp", None)]:
        args = dict(long, start=2000 + t0, method=method, inference=inference)
        ref = tessarix.synth(plain, **args, treated=["u00", "u01"])
        got = tessarix.synth(renamed, **args, treated=[names[0], names[1]])
        assert_same(ref.native, got.native, SOLVER_RTOL, scale, method)
    for method in ["cs", "sa", "twfe"]:
        ref, got = (tessarix.did(f, **long, cohort="first", method=method) for f in (plain, renamed))
        assert_same(ref.native, got.native, ROUNDING_RTOL, scale, method)
    ref, got = (tessarix.geo.diagnose(f, **long, treated=[n], test_len=3) for f, n in ((plain, "u02"), (renamed, names[2])))
    assert_same(ref.native, got.native, SOLVER_RTOL, scale)


# --- the bootstrap front end ----------------------------------------------------------------

@settings(BASE, max_examples=60)
@given(series=st.one_of(st.lists(wild_reals, max_size=30), st.sampled_from(ODD)),
       kind=st.one_of(st.sampled_from(["block", "stationary"]), wild_names),
       block_len=st.one_of(st.none(), wild_counts), n_reps=work_counts, level=wild_reals)
def test_bootstrap_with_arbitrary_arguments_gives_a_result_or_a_refusal(series, kind, block_len, n_reps, level):
    res = call(tessarix.bootstrap, [series], dict(kind=kind, block_len=block_len, n_reps=n_reps, level=level))
    if res is not None and res.n_reps >= 2:
        assert all(finite(v) for v in (res.estimate, res.se, *res.ci, res.variance_ratio, res.df))
        assert res.ci[0] <= res.estimate <= res.ci[1]


@settings(BASE, max_examples=25)
@given(x=st.lists(st.floats(-1e6, 1e6), min_size=1, max_size=60), k=st.integers(-60, 60),
       kind=st.sampled_from(["block", "stationary"]))
def test_bootstrap_scales_exactly_by_powers_of_two(x, k, kind):
    ref = tessarix.bootstrap(x, kind=kind, n_reps=50)
    got = tessarix.bootstrap([math.ldexp(v, k) for v in x], kind=kind, n_reps=50)
    assert (got.block_len, got.variance_ratio, got.df) == (ref.block_len, ref.variance_ratio, ref.df)
    for a, b in ((ref.estimate, got.estimate), (ref.se, got.se), *zip(ref.ci, got.ci)):
        assert b == math.ldexp(a, k)
