"""Argument conversion shared by every entry point, exercised through the test hooks."""

import decimal

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from conftest import layouts


def col_major(a):
    return np.asarray(a, dtype=np.float64).flatten(order="F").tolist()


def test_panel_copy_is_layout_independent(hooks):
    a = np.arange(12.0).reshape(3, 4) / 7.0
    for name, view in layouts(a).items():
        assert hooks.panel(view, "y") == (3, 4, col_major(a)), name
    # An unaligned float64 buffer is read safely.
    raw = np.zeros(12 * 8 + 1, dtype=np.uint8)
    unaligned = np.frombuffer(raw.data, dtype=np.float64, count=12, offset=1).reshape(3, 4)
    assert not unaligned.flags.aligned
    assert hooks.panel(unaligned, "y") == (3, 4, [0.0] * 12)
    assert hooks.panel(np.zeros((0, 5)), "y") == (0, 5, [])


@settings(max_examples=60, deadline=None)
@given(
    a=hnp.arrays(np.float64, hnp.array_shapes(min_dims=2, max_dims=2, max_side=7),
                 elements=st.floats(-1e6, 1e6)),
    step0=st.sampled_from([1, 2, -1, -2]),
    step1=st.sampled_from([1, 3, -1, -3]),
    fortran=st.booleans(),
)
def test_panel_copy_of_any_strided_view(hooks, a, step0, step1, fortran):
    base = np.asfortranarray(a) if fortran else a
    view = base[::step0, ::step1]
    assert hooks.panel(view, "y") == (view.shape[0], view.shape[1], col_major(view))


@pytest.mark.parametrize(
    "value, described",
    [
        (np.zeros((2, 2), dtype=np.float32), "2-D float32 ndarray"),
        (np.zeros((2, 2), dtype=np.int64), "2-D int64 ndarray"),
        ([[1.0, 2.0], [3.0, 4.0]], "list"),
        (np.zeros(3), "1-D float64 ndarray"),
        (np.zeros((2, 2, 2)), "3-D float64 ndarray"),
        (np.zeros((2, 2), dtype=">f8"), "2-D non-native byte order float64 ndarray"),
        (None, "NoneType"),
    ],
)
def test_panel_refuses_everything_but_2d_float64(hooks, value, described):
    with pytest.raises(TypeError) as err:
        hooks.panel(value, "covariates")
    assert str(err.value) == f"argument 'covariates': expected a 2-D float64 numpy.ndarray, got {described}"


def test_panel_stack(hooks):
    s = np.arange(24.0).reshape(2, 3, 4)
    assert hooks.panel_stack(s, "y3") == [(3, 4, col_major(s[0])), (3, 4, col_major(s[1]))]
    assert hooks.panel_stack(np.asfortranarray(s)[:, ::-1, :], "y3") == [
        (3, 4, col_major(s[r, ::-1, :])) for r in range(2)
    ]
    with pytest.raises(TypeError, match=r"^argument 'y3': expected a 3-D float64 numpy.ndarray, got 3-D float32 ndarray$"):
        hooks.panel_stack(s.astype(np.float32), "y3")
    with pytest.raises(TypeError, match="got 2-D float64 ndarray"):
        hooks.panel_stack(s[0], "y3")


def test_check_panel_scans_only_the_view(hooks):
    big = np.ones((5, 9))
    big[:, 1::2] = np.nan
    assert hooks.check_panel(big[:, ::2], "y") == (5, 5)
    bad = np.ones((4, 4), order="F")
    bad[3, 2] = -np.inf
    with pytest.raises(ValueError, match="^y contains NaN or inf; tessarix requires a complete, finite panel$"):
        hooks.check_panel(bad, "y")
    with pytest.raises(ValueError, match=r"^y must be a non-empty N×T panel; got shape \(5, 0\)$"):
        hooks.check_panel(np.ones((5, 0)), "y")


def test_index_and_cohort_lists(hooks):
    assert hooks.index_list([3, 0, 2], "treated") == [3, 0, 2]
    assert hooks.index_list((np.int64(4), np.uint8(1), True), "treated") == [4, 1, 1]
    assert hooks.index_list(np.array([5, 6], dtype=np.int32), "treated") == [5, 6]
    assert hooks.index_list(range(3), "treated") == [0, 1, 2]
    assert hooks.index_list([], "treated") == []
    assert hooks.cohort_list([-1, 0, 7, np.int16(-3)], "cohorts") == [-1, 0, 7, -3]
    with pytest.raises(TypeError, match=r"^argument 'treated': a str cannot be taken as a list"):
        hooks.index_list("012", "treated")
    with pytest.raises(TypeError, match=r"^argument 'treated': expected a sequence .* got set$"):
        hooks.index_list({1, 2}, "treated")
    with pytest.raises(TypeError, match=r"^argument 'cohorts': 'float' object cannot be interpreted as an integer$"):
        hooks.cohort_list([1, 2.0], "cohorts")
    # CPython's own OverflowError passes through without the argument prefix.
    with pytest.raises(OverflowError, match="^can't convert negative int to unsigned$"):
        hooks.index_list([1, -1], "treated")
    with pytest.raises(OverflowError) as err:
        hooks.cohort_list([2**70], "cohorts")
    assert "argument" not in str(err.value)


def outcome(fn, *args):
    try:
        return fn(*args)
    except (TypeError, OverflowError) as err:
        return type(err), str(err)


@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32,
                                   np.int64, np.uint64, np.bool_, np.float64, ">i8"])
def test_integer_arrays_convert_as_their_lists(hooks, dtype):
    # NumPy integer arrays are read in place; whatever the dtype, layout or values, the result
    # (or the error) is that of the same items given one by one.
    values = np.array([0, 3, 1, 2**40, 7, 1, 2**63 - 1, 5]) if np.dtype(dtype).itemsize == 8 else np.arange(8)
    for a in (np.array(values).astype(dtype), np.array(values).astype(dtype)[::3],
              np.array(values).astype(dtype)[::-2], (-np.array(values)).astype(dtype),
              np.array([2**64 - 1, 1], dtype=np.uint64), np.zeros((2, 2), dtype=dtype)):
        for fn in (hooks.index_list, hooks.cohort_list):
            assert outcome(fn, a, "cohorts") == outcome(fn, list(a), "cohorts")


def test_float_and_name_lists(hooks):
    assert hooks.float_list([1, 2.5, np.float32(0.5), decimal.Decimal("0.25")], "lifts") == [1.0, 2.5, 0.5, 0.25]
    assert hooks.float_list(np.array([0.1, 0.2]), "lifts") == [0.1, 0.2]
    with pytest.raises(TypeError, match=r"^argument 'weights': must be real number, not NoneType$"):
        hooks.float_list([1.0, None], "weights")
    with pytest.raises(TypeError, match=r"^argument 'series': a str cannot be taken as a list"):
        hooks.float_list("1.0", "series")
    assert hooks.name_list(["sc", "sdid"], "members") == ["sc", "sdid"]
    assert hooks.name_list(("ünï",), "members") == ["ünï"]
    with pytest.raises(TypeError, match=r"^argument 'members': expected str items, got int$"):
        hooks.name_list(["sc", 1], "members")
    with pytest.raises(TypeError, match=r"^argument 'members': a str cannot be taken as a list"):
        hooks.name_list("sc", "members")


def test_scalars(hooks):
    assert hooks.count(7, "n_reps") == 7
    assert hooks.count(np.int64(3), "seed") == 3
    assert hooks.count(2**64 - 1, "seed") == 2**64 - 1
    for bad in (-1, 2**64):
        with pytest.raises(OverflowError) as err:
            hooks.count(bad, "seed")
        assert "argument" not in str(err.value)
    with pytest.raises(TypeError, match=r"^argument 'treat_time': 'float' object cannot be interpreted as an integer$"):
        hooks.count(3.0, "treat_time")
    with pytest.raises(TypeError, match=r"^argument 'treat_time': 'NoneType' object"):
        hooks.count(None, "treat_time")

    assert hooks.real(0.5, "ridge") == 0.5
    assert hooks.real(2, "ridge") == 2.0
    assert hooks.real(np.float32(0.25), "ridge") == 0.25

    class Floaty:
        def __float__(self):
            return 1.25

    assert hooks.real(Floaty(), "ridge") == 1.25
    assert np.isnan(hooks.real(float("nan"), "ridge"))
    with pytest.raises(TypeError, match=r"^argument 'ridge': must be real number, not NoneType$"):
        hooks.real(None, "ridge")
    with pytest.raises(TypeError, match=r"^argument 'level': must be real number, not str$"):
        hooks.real("0.9", "level")

    assert hooks.flag(True, "placebo") is True
    assert hooks.flag(np.bool_(False), "bands") is False
    for bad, kind in ((1, "int"), ("True", "str"), (None, "NoneType")):
        with pytest.raises(TypeError, match=rf"^argument 'placebo': expected a bool, got {kind}$"):
            hooks.flag(bad, "placebo")

    assert hooks.choice("sdid", "method") == "sdid"
    with pytest.raises(TypeError, match=r"^argument 'method': expected a str, got bytes$"):
        hooks.choice(b"sdid", "method")

    assert hooks.optional_count(None, "rank") is None
    assert hooks.optional_count(4, "rank") == 4
    with pytest.raises(OverflowError):
        hooks.optional_count(-2, "rank")
