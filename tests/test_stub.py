"""The type stub names the same public callables, with the same parameters (names, defaults and
kinds, as the methods' declarations give them), as the module."""

import ast
import inspect
import logging
import sys
from pathlib import Path

import pytest

import corvane

STUB = Path(corvane.__file__).with_name("CorvaneClient.pyi")
module = sys.modules["corvane.CorvaneClient"]


def public(name: str) -> bool:
    return not name.startswith("_") or name in {"__init__", "__enter__", "__exit__"}


def stub_classes() -> dict[str, dict[str, ast.FunctionDef]]:
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {
        node.name: {item.name: item for item in node.body
                    if isinstance(item, ast.FunctionDef) and public(item.name)
                    and not any(isinstance(d, ast.Name) and d.id == "property"
                                for d in item.decorator_list)}
        for node in tree.body if isinstance(node, ast.ClassDef)
    }


def stub_value(node: ast.expr | None) -> object:
    if node is None:
        return inspect.Parameter.empty
    return eval(compile(ast.Expression(node), str(STUB), "eval"), {"logging": logging})


def stub_parameters(function: ast.FunctionDef) -> list[tuple[str, object, object]]:
    args = function.args.args
    defaults = [None] * (len(args) - len(function.args.defaults)) + function.args.defaults
    positional = [(a.arg, stub_value(d), inspect.Parameter.POSITIONAL_OR_KEYWORD)
                  for a, d in zip(args, defaults)]
    keyword_only = [(a.arg, stub_value(d), inspect.Parameter.KEYWORD_ONLY)
                    for a, d in zip(function.args.kwonlyargs, function.args.kw_defaults)]
    return positional + keyword_only


def runtime_parameters(function) -> list[tuple[str, object, object]]:
    """What the method's declaration gives: names, defaults and kinds, in order."""
    return [(p.name, p.default, p.kind) for p in inspect.signature(function).parameters.values()]


@pytest.mark.parametrize("class_name", ["CorvaneClient", "_BufferedResponse"])
def test_stub_matches_module(class_name):
    stubbed = stub_classes()[class_name]
    runtime_class = getattr(module, class_name)
    runtime = {name: value for name, value in vars(runtime_class).items()
               if public(name) and callable(value)}
    assert sorted(stubbed) == sorted(runtime)
    for name, function in stubbed.items():
        assert stub_parameters(function) == runtime_parameters(getattr(runtime_class, name)), name


def test_stub_data_ticket_fields_match():
    import dataclasses

    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    [ticket] = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "DataTicket"]
    stubbed = [n.target.id for n in ticket.body if isinstance(n, ast.AnnAssign)]
    assert stubbed == [f.name for f in dataclasses.fields(module.DataTicket)]
