"""KESTROVA_BACKEND: read once, when the first batch call chooses the backend."""
import os
import subprocess
import sys

import pytest

PROBE = """
import importlib, sys
sys.path.insert(0, {folder!r})
internal = importlib.import_module("_kestrova_internal")
import kestrova
try:
    kestrova.key_gen()
    print(internal.backend_name())
except BaseException as e:
    print(type(e).__name__, e)
"""


def run_probe(value, folder):
    env = dict(os.environ)
    env.pop("KESTROVA_BACKEND", None)
    if value is not None:
        env["KESTROVA_BACKEND"] = value
    out = subprocess.run([sys.executable, "-c", PROBE.format(folder=folder)], env=env, capture_output=True,
                         text=True, timeout=120, check=True)
    return out.stdout.strip()


@pytest.fixture(scope="module")
def folder(internal):
    return os.environ["KESTROVA_INTERNAL_DIR"]


def test_serial_is_taken_when_asked(folder):
    assert run_probe("serial", folder) == "serial"


def test_unset_takes_a_known_backend(folder):
    assert run_probe(None, folder) in ("serial", "avx512ifma")


@pytest.mark.parametrize("value, message", [
    ("fast", "KESTROVA_BACKEND must be serial or avx512ifma, not fast"),
    ("Serial", "KESTROVA_BACKEND must be serial or avx512ifma, not Serial"),
])
def test_unknown_names_fail_every_call(folder, value, message):
    assert run_probe(value, folder) == "PanicException " + message


def test_ifma_is_taken_or_refused(folder):
    assert run_probe("avx512ifma", folder) in (
        "avx512ifma", "PanicException KESTROVA_BACKEND=avx512ifma, but this processor lacks AVX-512 IFMA")
