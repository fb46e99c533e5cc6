"""The type stub describes the module as Python sees it."""
import ast
import re
import typing
from pathlib import Path

import pytest

import kestrova

STUB_PATH = Path(__file__).resolve().parents[2] / "src" / "binding" / "kestrova.pyi"
STUB = ast.parse(STUB_PATH.read_text(encoding="utf-8"), filename=str(STUB_PATH), feature_version=(3, 9))
STUB_FUNCTIONS = [node for node in STUB.body if isinstance(node, ast.FunctionDef)]
BY_NAME = {node.name: node for node in STUB_FUNCTIONS}


def runtime_parameters(function):
    """Parameter names as the binding reports them (there is no __text_signature__)."""
    with pytest.raises(TypeError) as too_many:
        function(*[None] * 9)
    count = int(re.fullmatch(r"\w+\(\) takes (\d+) positional arguments? but 9 were given",
                             str(too_many.value)).group(1))
    if count == 0:
        return []
    with pytest.raises(TypeError) as missing:
        function()
    match = re.fullmatch(r"\w+\(\) missing (\d+) required positional arguments?: (.*)", str(missing.value))
    names = re.findall(r"'([^']*)'", match.group(2))
    assert int(match.group(1)) == count == len(names)
    return names


def test_stub_names_the_module_functions_in_order():
    assert [node.name for node in STUB_FUNCTIONS] == kestrova.__all__


@pytest.mark.parametrize("name", kestrova.__all__)
def test_stub_parameters_match_the_binding(name):
    function = getattr(kestrova, name)
    node = BY_NAME[name]
    args = node.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg or args.defaults)
    stub_names = [a.arg for a in args.args]
    assert stub_names == runtime_parameters(function)
    if stub_names:
        # Every name binds as a keyword: the call then fails converting the first one.
        with pytest.raises(TypeError, match=rf"^argument '{stub_names[0]}': 'NoneType' object"):
            function(**{n: None for n in stub_names})


def evaluated_returns():
    namespace = {}
    imports_and_aliases = [n for n in STUB.body if isinstance(n, (ast.ImportFrom, ast.Assign, ast.Import))]
    exec(compile(ast.Module(body=imports_and_aliases, type_ignores=[]), str(STUB_PATH), "exec"), namespace)
    return {node.name: eval(ast.unparse(node.returns), namespace) for node in STUB_FUNCTIONS}


def conforms(value, hint):
    origin, params = typing.get_origin(hint), typing.get_args(hint)
    if origin is list:
        return isinstance(value, list) and all(conforms(v, params[0]) for v in value)
    if origin is tuple:
        return isinstance(value, tuple) and len(value) == len(params) and all(
            conforms(v, p) for v, p in zip(value, params))
    if hint is int:
        return type(value) is int and 0 <= value <= 255
    return type(value) is hint


def test_stub_return_types_describe_real_results():
    returns = evaluated_returns()
    pk_a, sk_a = kestrova.key_gen()
    pk_b, sk_b = kestrova.key_gen()
    pk_w, sk_w = kestrova.key_gen()
    rows_a = [["acct-1", "Zoë"], ["acct-2", "Łukasz"]]
    rows_b = [["acct-9", "王芳"]]
    okvs_a = kestrova.build_okvs(pk_a, rows_a)
    okvs_b = kestrova.build_okvs(pk_b, rows_b)
    cts = kestrova.initiate_queries(rows_a, [rows_b[0], ["nobody"]], okvs_a, okvs_b, pk_w)
    randomized = kestrova.randomize(cts)
    combined = kestrova.combine(randomized, kestrova.randomize(cts))
    s_dec = kestrova.decrypt(combined[0], sk_a)
    flags = kestrova.finish(s_dec, kestrova.decrypt(combined[1], sk_b), combined[2], combined[3], sk_w)
    results = {
        "key_gen": (pk_a, sk_a), "build_okvs": okvs_a, "initiate_queries": cts, "randomize": randomized,
        "combine": combined, "decrypt": s_dec, "finish": flags,
    }
    for name in kestrova.__all__:
        assert conforms(results[name], returns[name]), name
    assert flags == [True, False]


@pytest.mark.parametrize("name", ["key_gen", "build_okvs"])
def test_stub_docstrings_are_the_module_docstrings(name):
    assert ast.get_docstring(BY_NAME[name], clean=False) == getattr(kestrova, name).__doc__
