import gc
import inspect
import pydoc
import sys
import types

import numpy as np
import pytest

import tessarix
from tessarix import DiDResult, _tessarix


@pytest.fixture
def did():
    rng = np.random.default_rng(3)
    return tessarix.fit_twfe_py(rng.normal(size=(6, 5)), [2, 3, -1, -1, 2, 9])


def test_did_result_is_a_read_only_value(did):
    with pytest.raises(TypeError, match="^No constructor defined for DiDResult$"):
        DiDResult()
    with pytest.raises(AttributeError):
        did.att = 1.0
    with pytest.raises(AttributeError):
        del did.se
    with pytest.raises(AttributeError):
        did.extra = 1
    assert DiDResult.__name__ == "DiDResult"
    assert DiDResult.__doc__ == "Result of a difference-in-differences fit, exposed to Python."
    assert did == did and did != tessarix.fit_twfe_py(np.eye(3) + 1.0, [1, -1, -1])


def test_did_result_attributes_from_twfe(did):
    assert isinstance(did.att, float) and isinstance(did.se, float)
    for name in ("event_time", "event_att", "event_se", "event_lo", "event_hi",
                 "group_cohort", "group_att", "group_se"):
        value = getattr(did, name)
        assert value == [] and isinstance(value, list)
    assert did.band_crit is None
    assert did.overall_group_att is None and did.overall_group_se is None
    # Every read is a fresh list: mutating one leaves the next read unchanged.
    lst = did.event_att
    lst.append(1.0)
    assert did.event_att == []


def test_did_result_docs_and_repr(did):
    doc = {name: getattr(DiDResult, name).__doc__ for name in dir(DiDResult) if not name.startswith("_")}
    assert doc["att"] == "Overall ATT."
    assert doc["se"] == "Standard error of the overall ATT (cluster-robust / IF-based)."
    assert doc["event_lo"] == (
        "Simultaneous (sup-t) band bounds per event time, when the multiplier\n"
        "bootstrap ran (`bands=True`); empty otherwise."
    )
    assert doc["group_cohort"] == (
        'Per-cohort ("group") aggregation: cohorts, their ATT_g and SEs.\n'
        "Callaway & Sant'Anna only; empty for TWFE / Sun-Abraham."
    )
    assert doc["event_hi"] is None and doc["group_att"] is None
    assert repr(did) == f"DiDResult(att={did.att:.6f}, se={did.se:.6f}, n_event_times=0)"


# --- every result class ---------------------------------------------------------------------

NAN, INF = float("nan"), float("inf")

# Class name -> its attributes in declaration order, each with its docstring (None: none).
ATTRIBUTES = {
    "PowerResult": [
        ("method", None),
        ("lifts", "True injected lifts (x-axis), as fractions."),
        ("power", "Detection rate at each lift."),
        ("est_mean", "Mean estimated lift (%) at each true lift."),
        ("est_lo", None),
        ("est_hi", None),
        ("mde_pct", None),
        ("mde_abs_per_period", None),
        ("mde_cumulative", None),
        ("crit", None),
        ("se_null", None),
        ("n_windows", None),
        ("ensemble_weights",
         "For the ensemble method: the normalized `[w_sc, w_asc, w_sdid]` weights\n"
         "used. `None` for single-method results."),
    ],
    "GeoDiagnostics": [
        (name, None)
        for name in ("holdout_pct", "pre_fit_rel", "improvement_vs_naive", "seasonality_strength",
                     "stability_score", "confidence", "warnings")
    ],
    "MarketCandidate": [
        (name, None)
        for name in ("treated", "power_at_target", "mde_pct", "holdout_pct", "pre_fit_rel",
                     "stability_score", "confidence", "score")
    ],
    "SCResult": [
        ("att", "Average post-period ATT."),
        ("att_path", "Per-post-period ATT path."),
        ("counterfactual", "Estimated post-period counterfactual."),
        ("treated_post", "Observed (aggregated) treated outcome on the post-period."),
        ("weights", "Donor weights."),
        ("donor_ids", "Donor unit indices matching `weights`."),
        ("pre_rmspe", "Pre-period RMSPE (fit quality)."),
        ("post_rmspe", "Post-period RMSPE."),
        ("p_value", "Placebo p-value, if inference was requested."),
        ("se",
         "ATT-scale standard error (outcome units), if inference was requested.\n"
         "For placebo inference this is the spread of the placebo ATTs, not of\n"
         "the dimensionless RMSPE ratios."),
        ("ci_lower", "ATT-scale confidence bounds, if inference was requested."),
        ("ci_upper", None),
        ("inference_distribution",
         "The test-statistic null distribution (placebo RMSPE ratios \u2014 the\n"
         "dimensionless statistics behind `p_value`), if available."),
        ("placebo_atts",
         "Placebo ATTs in outcome units (one per donor refit as pseudo-treated)\n"
         "\u2014 the ATT-scale null behind `se`/`ci_*`, if placebo inference ran."),
    ],
    "CPASCResult": [
        ("att", "Pooled ATT."),
        ("p_value", "Conformal block-permutation p-value."),
        ("unit_ids", "Treated unit indices."),
        ("unit_att", "Per-unit ATT."),
        ("unit_mspe", "Per-unit pre-period MSPE (fit quality)."),
        ("unit_weight", "Per-unit pooling weight."),
        ("pooled_residual", "Pooled residual path of the main fit (length T; descriptive)."),
        ("null_residual",
         "Pooled residual path of the null-imposed full-sample refit (length T)\n"
         "\u2014 the exchangeable path the conformal permutation tests."),
        ("t0", "First post-period index."),
    ],
    "DiDResult": [
        (name, DiDResult.__dict__[name].__doc__)
        for name in ("att", "se", "event_time", "event_att", "event_se", "event_lo", "event_hi",
                     "band_crit", "group_cohort", "group_att", "group_se", "overall_group_att",
                     "overall_group_se")
    ],
    "BaconComponent": [
        ("kind", '"treated_vs_untreated", "earlier_vs_later", or "later_vs_earlier_forbidden".'),
        ("treated_cohort", None),
        ("comparison_cohort", None),
        ("weight", None),
        ("estimate", None),
    ],
    "BaconResult": [
        ("twfe", "Weighted-average estimate `\u03a3 w\u1d62 \u03b2\u1d62` \u2014 equals the TWFE coefficient."),
        ("forbidden_weight", "Total weight on forbidden (later-vs-earlier) comparisons."),
        ("components", "All 2\u00d72 comparisons."),
    ],
}

CLASS_DOCS = {
    "PowerResult": "Power-analysis result for one estimator (flattened for easy plotting).",
    "GeoDiagnostics": "Design diagnostics, exposed to Python.",
    "MarketCandidate": "One ranked candidate treatment-market set.",
    "SCResult": "Result of a synthetic-control-family fit, exposed to Python.",
    "CPASCResult": "Result of a CP-ASC-family fit, exposed to Python.",
    "DiDResult": "Result of a difference-in-differences fit, exposed to Python.",
    "BaconComponent": "One 2\u00d72 comparison in a Goodman-Bacon decomposition.",
    "BaconResult": "Result of a Goodman-Bacon decomposition.",
}

COMPONENTS = [
    ("earlier_vs_later", 3, 5, 0.25, -1.5),
    ("treated_vs_untreated", -7, None, 0.5, 2.0),
    ("later_vs_earlier_forbidden", 5, 3, 0.25, 0.75),
]


def build(hooks, name):
    """A populated instance of the named class, from the test hooks (DiD from a real fit)."""
    if name == "DiDResult":
        return tessarix.fit_twfe_py(np.eye(3) + 1.0, [1, -1, -1])
    return {
        "PowerResult": lambda: hooks.make_power_result(method="sc", lifts=[0.0, 0.05],
                                                       mde_pct=3.5, n_windows=8),
        "GeoDiagnostics": lambda: hooks.make_geo_diagnostics(holdout_pct=0.2, warnings=["few"]),
        "MarketCandidate": lambda: hooks.make_market_candidate(treated=[2, 9], score=1.0),
        "SCResult": lambda: hooks.make_sc_result(att=1.0, weights=[0.5, 0.5], donor_ids=[1, 2]),
        "CPASCResult": lambda: hooks.make_cpasc_result(att=1.0, unit_ids=[3], t0=4),
        "BaconComponent": lambda: hooks.make_bacon_component(*COMPONENTS[0]),
        "BaconResult": lambda: hooks.make_bacon_result(1.0, 0.25, COMPONENTS),
    }[name]()


def test_classes_are_registered_in_order_and_reexported():
    classes = [n for n in vars(_tessarix) if isinstance(getattr(_tessarix, n), type)]
    assert classes == list(ATTRIBUTES)
    for name in classes:
        cls = getattr(_tessarix, name)
        assert cls.__name__ == name and cls.__doc__ == CLASS_DOCS[name]
        assert getattr(tessarix, name) is cls and name in tessarix.__all__


@pytest.mark.parametrize("name", list(ATTRIBUTES))
def test_result_classes_live_in_the_package(name):
    cls = getattr(_tessarix, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("tessarix", name, name)
    assert inspect.getmodule(cls) is sys.modules["tessarix"]
    # help() documents the class with every attribute, each docstring indented beneath it.
    text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    assert f"class {name} in module tessarix" in text and CLASS_DOCS[name] in text
    for attr, doc in ATTRIBUTES[name]:
        lines = (doc or "").splitlines()
        assert f" |  {attr}\n" + "".join(f" |      {line}\n" for line in lines) in text, attr


@pytest.mark.parametrize("name", list(ATTRIBUTES))
def test_result_class_shape_and_docs(name):
    cls = getattr(_tessarix, name)
    getsets = [k for k, v in vars(cls).items() if isinstance(v, types.GetSetDescriptorType)]
    assert getsets == [attr for attr, _ in ATTRIBUTES[name]]
    # Attributes and __repr__ only: no methods, no identity-breaking comparison or hash.
    assert {k for k in dir(cls) if not k.startswith("_")} == set(getsets)
    assert "__repr__" in vars(cls)
    for dunder in ("__eq__", "__hash__", "__init__", "__dict__"):
        assert dunder not in vars(cls)
    for attr, doc in ATTRIBUTES[name]:
        assert vars(cls)[attr].__doc__ == doc, attr


@pytest.mark.parametrize("name", list(ATTRIBUTES))
def test_result_objects_are_read_only_and_compare_by_identity(hooks, name):
    cls = getattr(_tessarix, name)
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls()
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls(1, x=2)
    obj, twin = build(hooks, name), build(hooks, name)
    assert type(obj) is cls
    for attr, _ in ATTRIBUTES[name]:
        before = getattr(obj, attr)
        with pytest.raises(AttributeError):
            setattr(obj, attr, before)
        with pytest.raises(AttributeError):
            delattr(obj, attr)
        assert repr(getattr(obj, attr)) == repr(before)
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert obj == obj and obj != twin and hash(obj) == object.__hash__(obj)


def test_sc_result_attribute_values_and_types(hooks):
    r = hooks.make_sc_result(
        att=1, att_path=[1.0, 2.0], counterfactual=[3.0], treated_post=[4.0], weights=[0.25, 0.75],
        donor_ids=[0, 2**64 - 1], pre_rmspe=0.5, post_rmspe=NAN, p_value=0.1, se=0.2,
        ci_lower=-1.0, ci_upper=3.0, inference_distribution=[1.5, 2.5], placebo_atts=[-0.5],
    )
    assert type(r.att) is float and r.att == 1.0
    assert (r.att_path, r.counterfactual, r.treated_post) == ([1.0, 2.0], [3.0], [4.0])
    assert r.donor_ids == [0, 2**64 - 1] and all(type(i) is int for i in r.donor_ids)
    assert r.post_rmspe != r.post_rmspe
    assert (r.p_value, r.se, r.ci_lower, r.ci_upper) == (0.1, 0.2, -1.0, 3.0)
    assert (r.inference_distribution, r.placebo_atts) == ([1.5, 2.5], [-0.5])
    bare = hooks.make_sc_result()
    for attr in ("p_value", "se", "ci_lower", "ci_upper", "inference_distribution",
                 "placebo_atts"):
        assert getattr(bare, attr) is None, attr
    # Each read is a new list: mutating one leaves the stored values alone.
    for attr in ("att_path", "weights", "donor_ids", "placebo_atts"):
        first = getattr(r, attr)
        expected = list(first)
        first.append(99)
        assert getattr(r, attr) == expected and getattr(r, attr) is not getattr(r, attr)


def test_other_result_attribute_values_and_types(hooks):
    c = hooks.make_cpasc_result(att=0.5, p_value=0.25, unit_ids=[4, 1], unit_att=[0.1, 0.9],
                                null_residual=[0.0, -1.0, 2.0], t0=12)
    assert (c.att, c.p_value, c.unit_ids, c.unit_att, c.t0) == (0.5, 0.25, [4, 1], [0.1, 0.9], 12)
    assert c.null_residual == [0.0, -1.0, 2.0] and c.pooled_residual == []
    assert type(c.t0) is int and type(c.unit_ids[0]) is int

    p = hooks.make_power_result(method="ensemble", power=[0.1, 0.9], mde_cumulative=7.0,
                                n_windows=3, ensemble_weights=[0.5, 0.25, 0.25])
    assert p.method == "ensemble" and type(p.method) is str
    assert (p.power, p.mde_pct, p.mde_cumulative, p.n_windows) == ([0.1, 0.9], None, 7.0, 3)
    assert p.ensemble_weights == [0.5, 0.25, 0.25]
    assert hooks.make_power_result().ensemble_weights is None

    g = hooks.make_geo_diagnostics(stability_score=0.75, warnings=["short pre-period", "é"])
    assert g.stability_score == 0.75 and g.warnings == ["short pre-period", "é"]
    g.warnings.clear()
    assert len(g.warnings) == 2

    m = hooks.make_market_candidate(treated=[1, 4, 7], mde_pct=2.5, score=0.125)
    assert (m.treated, m.mde_pct, m.score) == ([1, 4, 7], 2.5, 0.125)
    assert hooks.make_market_candidate().mde_pct is None


def test_bacon_components_are_fresh_copies(hooks):
    b = hooks.make_bacon_result(1.25, 0.25, COMPONENTS)
    first, second = b.components, b.components
    assert all(type(c) is _tessarix.BaconComponent for c in first)
    assert [(c.kind, c.treated_cohort, c.comparison_cohort, c.weight, c.estimate)
            for c in first] == COMPONENTS
    assert all(x is not y for x, y in zip(first, second))
    first.pop()
    assert len(b.components) == 3
    # A component does not borrow from its decomposition.
    kept = b.components[1]
    del b, first, second
    gc.collect()
    assert (kept.kind, kept.treated_cohort, kept.comparison_cohort) == (
        "treated_vs_untreated", -7, None)
    assert hooks.make_bacon_result(0.0, 0.0, []).components == []


def test_reprs(hooks):
    sc = {"att": 1.5, "pre_rmspe": 0.25, "post_rmspe": 2, "donor_ids": [0, 1, 2]}
    cases = [
        (hooks.make_sc_result(**sc),
         "SCResult(att=1.500000, pre_rmspe=0.2500, post_rmspe=2.0000, n_donors=3)"),
        (hooks.make_sc_result(**sc, p_value=0.05),
         "SCResult(att=1.500000, p=0.0500, pre_rmspe=0.2500, post_rmspe=2.0000, n_donors=3)"),
        (hooks.make_sc_result(att=NAN, pre_rmspe=INF, post_rmspe=-INF, p_value=NAN),
         "SCResult(att=NaN, p=NaN, pre_rmspe=inf, post_rmspe=-inf, n_donors=0)"),
        (hooks.make_cpasc_result(att=-0.25, p_value=1, unit_ids=[5, 6]),
         "CPASCResult(att=-0.250000, p=1.0000, n_treated=2)"),
        (hooks.make_bacon_result(2.0, 1 / 3, COMPONENTS),
         "BaconResult(twfe=2.000000, forbidden_weight=0.3333, n_components=3)"),
        (hooks.make_bacon_component("earlier_vs_later", 3, 4, 0.5, -1.25),
         "BaconComponent(kind=earlier_vs_later, treated=3, comparison=Some(4), weight=0.5000, "
         "estimate=-1.2500)"),
        (hooks.make_bacon_component("treated_vs_untreated", -2, None, INF, NAN),
         "BaconComponent(kind=treated_vs_untreated, treated=-2, comparison=None, weight=inf, "
         "estimate=NaN)"),
        (hooks.make_power_result(method="sc", n_windows=12),
         "PowerResult(method=sc, mde_pct=None, n_windows=12)"),
        (hooks.make_geo_diagnostics(confidence=71.6, holdout_pct=0.125),
         "GeoDiagnostics(confidence=72, holdout=12.5%, n_warnings=0)"),
        (hooks.make_geo_diagnostics(confidence=NAN, holdout_pct=-INF, warnings=["a", "b"]),
         "GeoDiagnostics(confidence=NaN, holdout=-inf%, n_warnings=2)"),
        (hooks.make_market_candidate(treated=[1, 4, 7], power_at_target=0.8, confidence=90,
                                     score=0.12345),
         "MarketCandidate(treated=[1, 4, 7], power=0.80, confidence=90, score=0.123)"),
        (hooks.make_market_candidate(score=INF),
         "MarketCandidate(treated=[], power=0.00, confidence=0, score=inf)"),
    ]
    for mde, text in [(2.0, "Some(2.0)"), (0.125, "Some(0.125)"), (1e-5, "Some(1e-5)"),
                      (NAN, "Some(NaN)")]:
        cases.append((hooks.make_power_result(method="ensemble", mde_pct=mde, n_windows=1),
                      f"PowerResult(method=ensemble, mde_pct={text}, n_windows=1)"))
    for obj, text in cases:
        assert repr(obj) == text
