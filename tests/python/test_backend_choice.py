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


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def test_unset_takes_the_best_this_processor_runs(folder):
    flags = cpu_flags()
    if "avx512ifma" in flags:
        expected = "avx512ifma"
    elif "avx2" in flags:
        expected = "avx2"
    else:
        expected = "serial"
    assert run_probe(None, folder) == expected


@pytest.mark.parametrize("value", ["fast", "Serial", "AVX2"])
def test_unknown_names_fail_every_call(folder, value):
    assert run_probe(value, folder) == (
        "PanicException KESTROVA_BACKEND must be serial, avx2 or avx512ifma, not " + value)


@pytest.mark.parametrize("value, flag, refusal", [
    ("avx512ifma", "avx512ifma", "this processor lacks AVX-512 IFMA"),
    ("avx2", "avx2", "this processor lacks AVX2"),
])
def test_vector_backends_are_taken_or_refused(folder, value, flag, refusal):
    expected = value if flag in cpu_flags() else f"PanicException KESTROVA_BACKEND={value}, but {refusal}"
    assert run_probe(value, folder) == expected
