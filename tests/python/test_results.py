import numpy as np
import pytest

import tessarix
from tessarix import DiDResult


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
