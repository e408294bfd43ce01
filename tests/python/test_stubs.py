"""The type stubs agree with the compiled modules: the same functions with the parameter names
and defaults that their declarations give the text signatures, and the same classes with the
same attributes in the same order."""

import ast
import inspect
import pathlib

import pytest

import tessarix
from tessarix import _core, _tessarix

MODULES = [_tessarix, _core]
REQUIRED = object()


def stub_defs(module, kind):
    """The stub's top-level definitions of `kind`; private helpers (typed dicts) left out."""
    name = module.__name__.rpartition(".")[2]
    stub = ast.parse(pathlib.Path(tessarix.__file__).with_name(f"{name}.pyi").read_text(encoding="utf-8"))
    return {node.name: node for node in stub.body if isinstance(node, kind) and not node.name.startswith("_")}


def builtins_of(module):
    return [n for n in dir(module) if not n.startswith("_") and inspect.isbuiltin(getattr(module, n))]


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_stub_functions_have_the_declared_signatures(module):
    stubs = stub_defs(module, ast.FunctionDef)
    assert sorted(stubs) == sorted(builtins_of(module))
    for name, node in stubs.items():
        args = node.args
        assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg), name
        defaults = [REQUIRED] * (len(args.args) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
        stub = [(a.arg, d) for a, d in zip(args.args, defaults)]
        declared = [(p.name, REQUIRED if p.default is p.empty else p.default)
                    for p in inspect.signature(getattr(module, name)).parameters.values()]
        assert all(p.kind == p.POSITIONAL_OR_KEYWORD
                   for p in inspect.signature(getattr(module, name)).parameters.values()), name
        # Compare types too, so that 1 and 1.0 or 0 and False count as different defaults.
        assert [(n, d, type(d)) for n, d in stub] == [(n, d, type(d)) for n, d in declared], name


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_stub_classes_have_the_module_attributes(module):
    stubs = stub_defs(module, ast.ClassDef)
    classes = [n for n in dir(module) if isinstance(getattr(module, n), type)]
    assert sorted(stubs) == sorted(classes)
    for name, node in stubs.items():
        stub_attrs = [f.name for f in node.body if isinstance(f, ast.FunctionDef)]
        cls = getattr(module, name)
        attrs = [a for a, v in vars(cls).items() if inspect.isgetsetdescriptor(v)]
        assert stub_attrs == attrs, name


# Every function called as a user would, with the result attributes read; mypy must accept it
# against the stubs that ship with the package.
CALLS = '''
import numpy as np
import tessarix

y = np.ones((6, 10))
y3 = np.ones((2, 6, 10))
version: str = tessarix.version()
fits = [tessarix.fit_sc(y, [0], 5, placebo=True), tessarix.fit_asc(y, [0], 5, aug_lambda=0.1),
        tessarix.fit_sdid(y, [0, 1], 5, inference="jackknife"), tessarix.fit_fp(y, [0], 5),
        tessarix.fit_rsc(y, [0], 5, rank=2), tessarix.fit_mcnnm(y, [0], 5, lambda_=0.5, max_rank=2)]
att: float = fits[0].att
p: float | None = fits[0].p_value
cp = tessarix.fit_cpasc(y, [0, 1], 5, mode="stratified", block_len=2)
weights: list[float] = cp.unit_weight
se, lo, hi = tessarix.bootstrap_mean([1.0, 2.0, 3.0], kind="stationary")
atts = tessarix.fit_many(y3, [0], 5, method="sdid")
did = [tessarix.fit_twfe_py(y, [3, -1, -1, -1, -1, -1]),
       tessarix.fit_callaway_py(y, [3, -1, -1, -1, -1, -1], control="notyet", bands=True),
       tessarix.fit_sunab_py(y, [3, -1, -1, -1, -1, -1])]
band: float | None = did[1].band_crit
bacon = tessarix.bacon_decompose_py(y, [3, 5, -1, -1, -1, -1])
kinds: list[str] = [c.kind for c in bacon.components]
power = tessarix.geo_power(y, [0], 3, [0.0, 0.1], method="sc", lookback=4)
ens = tessarix.geo_power_ensemble(y, [0], 3, [0.1], members=["sc", "asc"], weights=[1.0, 1.0])
mde: float | None = power.mde_pct
diag = tessarix.geo_diagnostics(y, [0], 3)
warnings: list[str] = diag.warnings
ranked: list[tessarix.MarketCandidate] = tessarix.geo_select(y, [0, 1, 2], 2, 3, 0.1, exact_size=2)

from tessarix import _core
paths = [_core.paths_sc(y, [0], 5, placebo=True), _core.paths_asc(y, [0], 5, aug_lambda=0.1),
         _core.paths_fp(y, [0], 5), _core.paths_rsc(y, [0], 5, rank=2)]
gap: np.ndarray = paths[0]["gap"]
sdid = _core.paths_sdid(y, [0, 1], 5, placebo=True)
intercept: float = sdid["intercept"]
mc = _core.paths_mcnnm(y, [0], 5, lambda_=0.5)
windows = _core.geo_windows(y, [0], 3, members=["sc", "asc"], weights=[1.0, 1.0])
starts: np.ndarray = windows["starts"]
es_sigma = np.eye(5) * 0.01
covs: np.ndarray = _core.honest_rm_draw_covariances(es_sigma, 3, 2, [0.0, 1.0])
rm = _core.honest_relative_magnitude(np.zeros(5), es_sigma, 3, 2, [0.0, 1.0], method="Conditional", grid_points=50)
rm_upper: np.ndarray = rm["upper"]
sm = _core.honest_smoothness(np.zeros(5), es_sigma, 3, 2, [0.0], l_vec=[0.5, 0.5], alpha=0.1)
sm_weights: np.ndarray = sm["weights"]
sens = tessarix.sensitivity
pivot = _core.pivot_long(np.array([1, 1, 2, 2]), np.array([5, 6, 5, 6]), [np.ones(4)], [np.zeros(4)])
missing: int = pivot["n_missing"]
shown = lambda done, total: None
cs_progress: tessarix.DiDResult = _core.fit_callaway_py(y, [3, -1, -1, -1, -1, -1], bands=True, progress=shown)
cs_vcov: np.ndarray = _core.fit_callaway_py(y, [3, -1, -1, -1, -1, -1], event_vcov=True)[1]
sa_vcov: np.ndarray = _core.fit_sunab_py(y, [3, -1, -1, -1, -1, -1])[1]
cs_dr: tessarix.DiDResult = _core.fit_callaway_py(y, [3, -1, -1, -1, -1, -1], covariates=y[:, :1], est_method="dr")
imp = _core.fit_imputation(y, [3, 5, -1, -1, -1, -1], anticipation=1, leads=2)
imp_vcov: np.ndarray = imp["vcov"]
imp_result: tessarix.DiDResult = imp["result"]
refits = [_core.fit_sc(y, [0], 5, placebo=True, progress=shown), _core.fit_asc(y, [0], 5),
          _core.fit_sdid(y, [0, 1], 5, inference="placebo"), _core.fit_fp(y, [0], 5), _core.fit_rsc(y, [0], 5)]
tests = [_core.placebo_sc(y, [0, 1], 5, draws=5, seed=1, progress=shown), _core.placebo_asc(y, [0], 5),
         _core.placebo_sdid(y, [0], 5, level=0.9), _core.placebo_fp(y, [0], 5), _core.placebo_rsc(y, [0], 5, rank=2)]
placebo_p: float = tests[0]["p_value"]
conformal = [_core.conformal_sc(y, [0], 5, null=[0.0] * 5, scheme="iid", permutations=50, progress=shown),
             _core.conformal_asc(y, [0], 5, q=2.0), _core.conformal_sdid(y, [0, 1], 5, level=0.9),
             _core.conformal_fp(y, [0], 5, intervals=False), _core.conformal_rsc(y, [0], 5, null=np.zeros(5))]
conformal_upper: np.ndarray = conformal[0]["ci_upper"]
scp = _core.fit_sc_predictors(y, [0], 5, y[:, :2], v=[0.5, 0.5], loss_periods=[1, 2], placebo=True, progress=shown)
scp_v: np.ndarray = scp["v"]
scp_nested = _core.fit_sc_predictors(y, [0], 5, np.ones((6, 1)), draws=5, seed=1, level=0.9)
geo_p: tessarix.PowerResult = _core.geo_power(y, [0], 3, [0.0, 0.1], progress=shown)
conformal_x = _core.conformal_sc_predictors(y, [0], 5, y[:, :2], v=[1.0, 1.0], scheme="iid", permutations=20)
many_x: np.ndarray = _core.fit_many_predictors(y3, [0], 5, y[:, :2], v=[1.0, 2.0], loss_periods=[1, 2])
geo_x = _core.geo_power(y, [0], 3, [0.0, 0.1], method="sc", predictors=y[:, :2])
geo_xw = _core.geo_windows(y, [0], 3, method="sc", predictors=np.ones((6, 1)))
geo_e = _core.geo_power_ensemble(y, [0], 3, [0.1], progress=shown)
sets: list[list[int]] = _core.geo_candidates(y, [0, 1, 2], 2, 3, 0.1)
ranked2 = _core.geo_rank(_core.geo_evaluate(y, [0, 1, 2], 2, 3, 0.1, candidates=sets) + _core.geo_select(y, [0, 1], 1, 3, 0.1))

frame = {"u": ["a"], "t": [1], "y": [1.0]}
res = tessarix.synth(frame, unit="u", time="t", outcome="y", treated="a", start=1, method="sdid")
interval: tuple[float, float] | None = res.ci
dd = tessarix.did(frame, unit="u", time="t", outcome="y", cohort="c", method="sa")
p_did: float | None = dd.p_value
curve = tessarix.geo.power(frame, unit="u", time="t", outcome="y", treated="a", test_len=1, lifts=[0.1])
mde_geo: float | None = curve.mde
'''


def test_mypy_accepts_every_call(tmp_path):
    api = pytest.importorskip("mypy.api")
    script = tmp_path / "calls.py"
    script.write_text(CALLS, encoding="utf-8")
    out, err, status = api.run(["--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(script)])
    assert status == 0, out + err
    functions = builtins_of(_tessarix)
    classes = [n for n in dir(_tessarix) if isinstance(getattr(_tessarix, n), type)]
    assert (len(functions), len(classes)) == (18, 8)
    assert all(f"tessarix.{name}(" in CALLS for name in functions)
    assert all(f"_core.{name}(" in CALLS for name in builtins_of(_core))
