"""The module's surface, argument binding and the panic path."""
import ast
import ctypes
import importlib.metadata
import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest

import kestrova

NAMES = ["key_gen", "build_okvs", "initiate_queries", "randomize", "combine", "decrypt", "finish"]
PARAMETERS = {
    "key_gen": [],
    "build_okvs": ["public_key", "strings_in_each_row"],
    "initiate_queries": ["sender_data", "receiver_data", "sender_okvs", "receiver_okvs", "swift_pk"],
    "randomize": ["ciphertexts"],
    "combine": ["sender_ciphertexts", "receiver_ciphertexts"],
    "decrypt": ["points", "bank_secret_key"],
    "finish": ["sender_points", "receiver_points", "gamma_points", "delta_points", "swift_secret_key"],
}
IDENTITY = [1] + [0] * 31


def panic_type():
    with pytest.raises(BaseException) as info:
        kestrova.decrypt([], [0] * 31)
    return type(info.value)


def test_module_attributes():
    assert kestrova.__all__ == NAMES
    assert kestrova.__doc__ == (
        "A Python module for the cryptographic operations necessary to do feature extraction "
        "(element matching in two datasets)."
    )
    public = {n for n in dir(kestrova) if not n.startswith("__")}
    assert public == set(NAMES)


def test_installed_version_is_the_one_in_pyproject():
    tomllib = pytest.importorskip("tomllib")
    pyproject = Path(__file__).resolve().parents[2] / "pyproject.toml"
    declared = tomllib.loads(pyproject.read_text(encoding="utf-8"))["project"]["version"]
    assert importlib.metadata.version("kestrova") == declared


@pytest.mark.parametrize("name", NAMES)
def test_function_objects(name):
    f = getattr(kestrova, name)
    assert isinstance(f, types.BuiltinFunctionType)
    assert f.__name__ == name
    assert f.__module__ == "kestrova"
    assert f.__self__ is kestrova
    assert f.__text_signature__ is None


def test_docstrings_agree_with_the_stub():
    # The stub may document a function the module leaves undocumented, never contradict one it documents.
    stub = ast.parse((Path(__file__).resolve().parents[2] / "src/binding/kestrova.pyi").read_text(encoding="utf-8"))
    documented = {n.name: ast.get_docstring(n, clean=False) for n in stub.body if isinstance(n, ast.FunctionDef)}
    runtime = {name: getattr(kestrova, name).__doc__ for name in NAMES}
    assert set(documented) == set(runtime)
    assert {name for name, doc in runtime.items() if doc} == {"key_gen", "build_okvs"}
    for name, doc in runtime.items():
        if doc:
            assert documented[name] == doc, name


def test_second_initialisation_fails_and_first_module_keeps_working():
    code = textwrap.dedent(
        """
        import ctypes, kestrova
        init = ctypes.PyDLL(kestrova.__file__).PyInit_kestrova
        init.restype = ctypes.py_object
        try:
            init()
        except ImportError as e:
            print("ImportError", e)
        pk, sk = kestrova.key_gen()
        print(len(pk), len(sk))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "ImportError" in out and "once" in out
    assert out.strip().endswith("32 32")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: kestrova.key_gen(1), "key_gen() takes 0 positional arguments but 1 was given"),
        (lambda: kestrova.key_gen(x=1), "key_gen() got an unexpected keyword argument 'x'"),
        (lambda: kestrova.decrypt(1, 2, 3), "decrypt() takes 2 positional arguments but 3 were given"),
        (lambda: kestrova.decrypt(1, points=2), "decrypt() got multiple values for argument 'points'"),
        (lambda: kestrova.decrypt(points=1, points_=2), "decrypt() got an unexpected keyword argument 'points_'"),
        (lambda: kestrova.finish(1, 2, 3, 4), "finish() missing 1 required positional argument: 'swift_secret_key'"),
        (lambda: kestrova.combine(), "combine() missing 2 required positional arguments: "
                                     "'sender_ciphertexts' and 'receiver_ciphertexts'"),
        (lambda: kestrova.initiate_queries([], []), "initiate_queries() missing 3 required positional arguments: "
                                                    "'sender_okvs', 'receiver_okvs', and 'swift_pk'"),
        (lambda: kestrova.finish(), "finish() missing 5 required positional arguments: 'sender_points', "
                                    "'receiver_points', 'gamma_points', 'delta_points', and 'swift_secret_key'"),
        (lambda: kestrova.randomize(), "randomize() missing 1 required positional argument: 'ciphertexts'"),
        # Positional overflow is reported before any keyword is looked at.
        (lambda: kestrova.randomize(1, 2, bogus=3), "randomize() takes 1 positional arguments but 2 were given"),
        # A keyword error stops binding before missing parameters are counted.
        (lambda: kestrova.finish(bogus=1), "finish() got an unexpected keyword argument 'bogus'"),
        (lambda: kestrova.key_gen(**{"a\ud800b": 1}), "key_gen() got an unexpected keyword argument 'a\ufffdb'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize("name", NAMES[1:])
def test_every_parameter_binds_by_keyword(name):
    # All keywords, each argument a str: binding succeeds and the first
    # conversion refuses the str, which proves every name was accepted.
    kwargs = {p: "x" for p in PARAMETERS[name]}
    with pytest.raises(ValueError, match="^Can't extract `str` to `Vec`$"):
        getattr(kestrova, name)(**kwargs)


def test_panic_exception_class():
    cls = panic_type()
    assert issubclass(cls, BaseException) and not issubclass(cls, Exception)
    assert cls.__name__ == "PanicException"
    assert cls.__module__ != "kestrova"
    assert "BaseException" in cls.__doc__
    assert panic_type() is cls


def test_panic_carries_message_and_module_stays_usable():
    with pytest.raises(BaseException) as info:
        kestrova.build_okvs([0] * 31, [])
    assert str(info.value) == "source slice length (31) does not match destination slice length (32)"
    assert info.value.args == (str(info.value),)
    assert not isinstance(info.value, Exception)
    assert len(kestrova.key_gen()[0]) == 32


def test_panic_report_on_stderr(capfd):
    with pytest.raises(BaseException):
        kestrova.decrypt([], [0] * 33)
    err = capfd.readouterr().err
    assert "panicked at" in err
    assert "source slice length (33) does not match destination slice length (32)" in err
    location = err.split("panicked at ", 1)[1].split("\n", 1)[0]
    path, line, column = location.rstrip(":").rsplit(":", 2)
    assert path.endswith(".cpp") and line.isdigit() and column.isdigit()


def test_panic_raised_from_python_resumes(capfd):
    cls = panic_type()

    class Bad:
        def __index__(self):
            raise cls("from python")

    with pytest.raises(cls) as info:
        kestrova.decrypt([Bad()], [0] * 32)
    assert str(info.value) == "Unwrapped panic from Python code"
    err = capfd.readouterr().err
    assert "Python stack trace below:" in err
    assert "from python" in err


def test_panic_from_discarded_length_error_resumes():
    cls = panic_type()

    class Seq:
        def __len__(self):
            raise cls("len")

        def __getitem__(self, i):
            raise IndexError

    # The capacity hint's error would be dropped; a panic among them is not.
    with pytest.raises(cls, match="^Unwrapped panic from Python code$"):
        kestrova.randomize(Seq())


def test_memory_error_is_not_a_panic():
    # The rows fit in memory, the operation's result buffer does not: MemoryError,
    # and the interpreter lives on.
    code = textwrap.dedent(
        """
        import resource, kestrova
        pk, _ = kestrova.key_gen()
        store = kestrova.build_okvs(pk, [])
        kestrova.decrypt(pk * 2, bytes(32))  # start the worker pool before the limit
        n = 2_000_000
        rows = [["row"]] * n
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (vm + 200 * n, resource.RLIM_INFINITY))
        try:
            kestrova.initiate_queries(rows, rows, store, store, pk)
        except MemoryError:
            print("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(len(kestrova.initiate_queries(rows[:3], rows[:3], store, store, pk)))
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["MemoryError", "384"]
