"""Result objects pickle, copy and come back from worker processes with every value intact;
malformed pickled state is refused with an exception, never a crash."""

import copy
import multiprocessing
import pickle
import types

import numpy as np
import pytest

import tessarix

NAN, INF = float("nan"), float("inf")
CLASSES = ["PowerResult", "GeoDiagnostics", "MarketCandidate", "SCResult", "CPASCResult",
           "DiDResult", "BaconComponent", "BaconResult"]
COMPONENTS = [("earlier_vs_later", 3, 5, 0.25, -1.5),
              ("treated_vs_untreated", -7, None, NAN, INF),
              ("later_vs_earlier_forbidden", 2**63 - 1, -(2**63), -0.0, 0.75)]


def attributes(cls):
    return [k for k, v in vars(cls).items() if isinstance(v, types.GetSetDescriptorType)]


def values(obj):
    """Every attribute of a result, Bacon components flattened, as a comparable text: repr
    tells NaN from a number, -0.0 from 0.0 and 1 from 1.0."""
    def plain(v):
        if isinstance(v, list):
            return [plain(x) for x in v]
        if isinstance(v, tessarix.BaconComponent):
            return ("BaconComponent", values(v))
        return v
    return repr([(a, plain(getattr(obj, a))) for a in attributes(type(obj))])


def fitted_sc():
    rng = np.random.default_rng(7)
    y = rng.normal(size=(8, 12)) + np.arange(12.0)
    return tessarix.fit_sc(y, [0], 8, placebo=True)


# Per class, one instance with every field set away from its default (non-finite values,
# extreme integers, non-ASCII text) and one with the defaults (empty lists, absent optionals).
SAMPLES = {
    "PowerResult-full": lambda h: h.make_power_result(
        method="ENSEMBLE", lifts=[0.0, 0.05], power=[0.1, 1.0], est_mean=[NAN, 2.0],
        est_lo=[-INF], est_hi=[INF], mde_pct=1e-5, mde_abs_per_period=-0.0, mde_cumulative=7.5,
        crit=1.25, se_null=0.5, n_windows=2**64 - 1, ensemble_weights=[0.5, 0.25, 0.25]),
    "PowerResult-bare": lambda h: h.make_power_result(),
    "GeoDiagnostics-full": lambda h: h.make_geo_diagnostics(
        holdout_pct=0.125, pre_fit_rel=NAN, improvement_vs_naive=-INF, seasonality_strength=0.3,
        stability_score=0.75, confidence=71.6, warnings=["short pre-period", "é ✓", ""]),
    "GeoDiagnostics-bare": lambda h: h.make_geo_diagnostics(),
    "MarketCandidate-full": lambda h: h.make_market_candidate(
        treated=[1, 4, 2**64 - 1], power_at_target=0.8, mde_pct=2.5, holdout_pct=0.1,
        pre_fit_rel=0.2, stability_score=0.3, confidence=90.0, score=INF),
    "MarketCandidate-bare": lambda h: h.make_market_candidate(),
    "SCResult-full": lambda h: h.make_sc_result(
        att=1.5, att_path=[1.0, NAN], counterfactual=[3.0], treated_post=[4.0],
        weights=[0.25, 0.75], donor_ids=[0, 2**64 - 1], pre_rmspe=0.5, post_rmspe=INF,
        p_value=0.1, se=0.2, ci_lower=-1.0, ci_upper=3.0, inference_distribution=[1.5, -INF],
        placebo_atts=[-0.5]),
    "SCResult-bare": lambda h: h.make_sc_result(),
    "SCResult-fit_sc-placebo": lambda h: fitted_sc(),
    "CPASCResult-full": lambda h: h.make_cpasc_result(
        att=0.5, p_value=0.25, unit_ids=[4, 1], unit_att=[0.1, 0.9], unit_mspe=[NAN, 1.0],
        unit_weight=[0.5, 0.5], pooled_residual=[1.0], null_residual=[0.0, -1.0, 2.0], t0=12),
    "CPASCResult-bare": lambda h: h.make_cpasc_result(),
    # No hook builds a DiDResult: the full one comes from its own reconstructor, the other
    # from a real fit.
    "DiDResult-full": lambda h: tessarix.DiDResult._from_state((
        0.5, 0.125, [-2, -1, 0, 2**63 - 1], [0.1, NAN, 0.0, 1.0], [1.0] * 4, [-INF] * 4,
        [INF] * 4, 2.5, [2000, -(2**63)], [0.5, -0.5], [0.25, 0.25], 0.0, -0.0)),
    "DiDResult-twfe": lambda h: tessarix.fit_twfe_py(np.eye(3) + 1.0, [1, -1, -1]),
    "BaconComponent-full": lambda h: h.make_bacon_component(*COMPONENTS[2]),
    "BaconComponent-never-treated": lambda h: h.make_bacon_component(*COMPONENTS[1]),
    "BaconResult-full": lambda h: h.make_bacon_result(2.0, NAN, COMPONENTS),
    "BaconResult-empty": lambda h: h.make_bacon_result(0.0, 0.0, []),
}


@pytest.fixture(scope="module")
def samples(hooks):
    return {key: build(hooks) for key, build in SAMPLES.items()}


def test_samples_cover_every_class_and_field(samples):
    # A field that no sample moves away from its default would round-trip trivially.
    assert {type(obj).__name__ for obj in samples.values()} == set(CLASSES)
    sc = samples["SCResult-fit_sc-placebo"]
    assert sc.p_value is not None and len(sc.placebo_atts) == 7
    others = {"DiDResult": "DiDResult-twfe", "BaconComponent": "BaconComponent-never-treated",
              "BaconResult": "BaconResult-empty"}
    for name in CLASSES:
        full, other = samples[f"{name}-full"], samples[others.get(name, f"{name}-bare")]
        for attr in attributes(type(full)):
            assert repr(getattr(full, attr)) != repr(getattr(other, attr)), (name, attr)


@pytest.mark.parametrize("key", list(SAMPLES))
def test_round_trips_keep_every_value(samples, key):
    obj = samples[key]
    copies = [pickle.loads(pickle.dumps(obj, protocol))
              for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    copies += [copy.copy(obj), copy.deepcopy(obj), copy.deepcopy([obj, obj])[1]]
    for twin in copies:
        assert type(twin) is type(obj) and twin is not obj
        assert values(twin) == values(obj) and repr(twin) == repr(obj)


def test_results_come_back_from_a_spawned_worker(samples):
    # "spawn" starts a fresh interpreter: the worker imports tessarix from scratch, unpickles
    # what it is sent and pickles its own results back.
    rng = np.random.default_rng(11)
    y = rng.normal(size=(7, 10)) + np.linspace(0.0, 3.0, 10)
    objs = list(samples.values())
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        fitted = pool.apply_async(tessarix.fit_sc, (y, [2], 6), {"placebo": True})
        echoed = pool.apply_async(list, (objs,))
        fitted, echoed = fitted.get(timeout=300), echoed.get(timeout=300)
    local = tessarix.fit_sc(y, [2], 6, placebo=True)
    assert type(fitted) is tessarix.SCResult and values(fitted) == values(local)
    assert [values(o) for o in echoed] == [values(o) for o in objs]


def state_of(obj):
    rebuild, (state,) = obj.__reduce__()
    assert rebuild == type(obj)._from_state
    return state


def replaced(state, index, value):
    return state[:index] + (value,) + state[index + 1:]


# (sample, index of the field to spoil or None for the whole state, bad value, error).
MALFORMED = [
    ("SCResult-full", None, [], TypeError),
    ("SCResult-full", None, None, TypeError),
    ("SCResult-full", None, (), TypeError),
    ("SCResult-full", None, "short", TypeError),
    ("SCResult-full", None, "long", TypeError),
    ("SCResult-full", 0, "1.5", TypeError),           # att
    ("SCResult-full", 0, 1, TypeError),               # att: ints are not stored as floats
    ("SCResult-full", 4, "0.25", TypeError),          # weights: str where a list is stored
    ("SCResult-full", 4, (0.25, 0.75), TypeError),    # weights: tuple where a list is stored
    ("SCResult-full", 4, [0.25, None], TypeError),
    ("SCResult-full", 5, [0, -1], ValueError),        # donor_ids: negative unsigned
    ("SCResult-full", 5, [2**64], ValueError),
    ("SCResult-full", 5, [1.0], TypeError),
    ("SCResult-full", 13, "ab", TypeError),           # placebo_atts: optional list
    ("CPASCResult-full", 8, -1, ValueError),          # t0
    ("PowerResult-full", 0, b"sc", TypeError),        # method
    ("PowerResult-full", 11, None, TypeError),        # n_windows is not optional
    ("GeoDiagnostics-full", 6, "warning", TypeError),
    ("GeoDiagnostics-full", 6, ["ok", 3], TypeError),
    ("DiDResult-full", 2, [2**63], ValueError),       # event_time: signed 64-bit
    ("BaconComponent-full", 0, "\ud800", ValueError),  # kind: not encodable as UTF-8
    ("BaconComponent-full", 2, "3", TypeError),
    ("BaconResult-full", 2, [("k", 1, None, 0.5)], TypeError),
    ("BaconResult-full", 2, [["k", 1, None, 0.5, 0.5]], TypeError),
    ("BaconResult-full", 2, "components", TypeError),
    ("BaconResult-full", 2, [("k", -1, -(2**63) - 1, 0.5, 0.5)], ValueError),
]


@pytest.mark.parametrize("key,index,bad,error", MALFORMED)
def test_malformed_state_is_refused(samples, key, index, bad, error):
    obj = samples[key]
    state = state_of(obj)
    if index is not None:
        bad = replaced(state, index, bad)
    elif bad == "short":
        bad = state[:-1]
    elif bad == "long":
        bad = state + (None,)
    with pytest.raises(error):
        type(obj)._from_state(bad)


def test_malformed_state_messages(samples):
    state = state_of(samples["SCResult-full"])
    with pytest.raises(TypeError, match=r"^SCResult state expects a tuple of 14 values, got 13$"):
        tessarix.SCResult._from_state(state[:-1])
    with pytest.raises(ValueError, match=r"^SCResult state: donor_ids expects an unsigned "
                                         r"64-bit integer, got -1$"):
        tessarix.SCResult._from_state(replaced(state, 5, [-1]))
    with pytest.raises(TypeError, match=r"^BaconComponent state: weight expects a float, got str$"):
        tessarix.BaconResult._from_state(
            replaced(state_of(samples["BaconResult-full"]), 2, [("k", 1, None, "w", 0.5)]))
    # A class's reconstructor builds only its own class.
    with pytest.raises(TypeError):
        vars(tessarix.SCResult)["_from_state"](tessarix.DiDResult, state)
