"""The type stubs agree with the compiled module: the same functions with the parameter names
and defaults that their declarations give the text signatures, and the same classes with the
same attributes in the same order."""

import ast
import inspect
import pathlib

import tessarix
from tessarix import _tessarix

STUB = ast.parse(pathlib.Path(tessarix.__file__).with_name("_tessarix.pyi").read_text(encoding="utf-8"))
REQUIRED = object()


def stub_defs(kind):
    return {node.name: node for node in STUB.body if isinstance(node, kind)}


def test_stub_functions_have_the_declared_signatures():
    stubs = stub_defs(ast.FunctionDef)
    module = [n for n in dir(_tessarix) if not n.startswith("_") and inspect.isbuiltin(getattr(_tessarix, n))]
    assert sorted(stubs) == sorted(module)
    for name, node in stubs.items():
        args = node.args
        assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg), name
        defaults = [REQUIRED] * (len(args.args) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
        stub = [(a.arg, d) for a, d in zip(args.args, defaults)]
        declared = [(p.name, REQUIRED if p.default is p.empty else p.default)
                    for p in inspect.signature(getattr(_tessarix, name)).parameters.values()]
        assert all(p.kind == p.POSITIONAL_OR_KEYWORD
                   for p in inspect.signature(getattr(_tessarix, name)).parameters.values()), name
        # Compare types too, so that 1 and 1.0 or 0 and False count as different defaults.
        assert [(n, d, type(d)) for n, d in stub] == [(n, d, type(d)) for n, d in declared], name


def test_stub_classes_have_the_module_attributes():
    stubs = stub_defs(ast.ClassDef)
    module = [n for n in dir(_tessarix) if isinstance(getattr(_tessarix, n), type)]
    assert sorted(stubs) == sorted(module)
    for name, node in stubs.items():
        stub_attrs = [f.name for f in node.body if isinstance(f, ast.FunctionDef)]
        cls = getattr(_tessarix, name)
        attrs = [a for a, v in vars(cls).items() if inspect.isgetsetdescriptor(v)]
        assert stub_attrs == attrs, name
