"""The type stubs beside the module describe the module that runs."""

import ast
import inspect
import os

import flumina

STUBS = os.path.join(os.path.dirname(flumina.__file__), "flumina.pyi")


def stub_class():
    with open(STUBS, encoding="utf-8") as f:
        tree = ast.parse(f.read(), STUBS)
    [cls] = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "flm"]
    return cls


def stub_parameters(function):
    """[(name, default or inspect.Parameter.empty)] of a stub's def, all positional-or-keyword."""
    args = function.args
    assert not (args.posonlyargs or args.vararg or args.kwonlyargs or args.kwarg), function.name
    defaults = [inspect.Parameter.empty] * (len(args.args) - len(args.defaults))
    defaults += [ast.literal_eval(default) for default in args.defaults]
    return [(arg.arg, default) for arg, default in zip(args.args, defaults)]


def test_every_method_has_the_running_modules_parameters_and_defaults():
    stubbed = {node.name: node for node in stub_class().body if isinstance(node, ast.FunctionDef)}
    methods = {name for name, value in vars(flumina.flm).items() if callable(value)}
    assert set(stubbed) == methods
    for name, function in stubbed.items():
        running = inspect.signature(getattr(flumina.flm, name)).parameters.values()
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in running), name
        assert stub_parameters(function) == [(p.name, p.default) for p in running], name
        assert ast.get_docstring(function), f"{name} has no docstring"


def test_every_attribute_of_a_session_is_typed():
    body = stub_class().body
    typed = [node.target.id for node in body if isinstance(node, ast.AnnAssign)]
    assert typed == list(vars(flumina.flm()))
    # Each annotation is followed by its docstring.
    for node, after in zip(body, body[1:]):
        if isinstance(node, ast.AnnAssign):
            assert isinstance(after, ast.Expr) and isinstance(after.value, ast.Constant), node.target.id
