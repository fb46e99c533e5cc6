"""KESTROVA_BACKEND: read once, when the first batch call chooses the backend; the engine and
`kestrova-party --version` tell which one runs."""
import os
import subprocess
import sys
from importlib.metadata import version

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

ENGINE_PROBE = """
import kestrova_protocol._engine as engine
try:
    print(engine.backend())
except BaseException as e:
    print(type(e).__name__, e)
"""

REFUSALS = {"avx512ifma": "this processor lacks AVX-512 IFMA", "avx2": "this processor lacks AVX2"}
VALUES = [None, "serial", "avx2", "avx512ifma", "fast", "Serial", "AVX2"]


def environment(value):
    env = dict(os.environ)
    env.pop("KESTROVA_BACKEND", None)
    if value is not None:
        env["KESTROVA_BACKEND"] = value
    return env


def run_probe(value, folder):
    out = subprocess.run([sys.executable, "-c", PROBE.format(folder=folder)], env=environment(value),
                         capture_output=True, text=True, timeout=120, check=True)
    return out.stdout.strip()


@pytest.fixture(scope="module")
def folder(internal):
    return os.environ["KESTROVA_INTERNAL_DIR"]


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def expected_choice(value):
    """(backend, None), or (None, the refusal's message), for KESTROVA_BACKEND=value on this processor.

    /proc/cpuinfo is the reference: Linux leaves out the flags of a state it does not enable.
    """
    flags = cpu_flags()
    if value is None:
        return ("avx512ifma" if "avx512ifma" in flags else "avx2" if "avx2" in flags else "serial"), None
    if value == "serial" or (value in REFUSALS and value in flags):
        return value, None
    if value in REFUSALS:
        return None, f"KESTROVA_BACKEND={value}, but {REFUSALS[value]}"
    return None, "KESTROVA_BACKEND must be serial, avx2 or avx512ifma, not " + value


@pytest.mark.parametrize("value", VALUES)
def test_module_takes_the_backend_or_fails_every_call(folder, value):
    name, refusal = expected_choice(value)
    assert run_probe(value, folder) == (name if refusal is None else f"PanicException {refusal}")


@pytest.mark.parametrize("value", VALUES[:5])
def test_engine_tells_the_backend_it_runs(value):
    out = subprocess.run([sys.executable, "-c", ENGINE_PROBE], env=environment(value), capture_output=True,
                         text=True, timeout=120, check=True)
    name, refusal = expected_choice(value)
    assert out.stdout.strip() == (name if refusal is None else f"EngineError {refusal}")


@pytest.mark.parametrize("value", VALUES[:5])
def test_party_version_names_the_backend_or_refuses_in_one_line(value):
    out = subprocess.run([sys.executable, "-m", "kestrova_protocol", "--version"], env=environment(value),
                         capture_output=True, text=True, timeout=120)
    name, refusal = expected_choice(value)
    if refusal is None:
        assert (out.returncode, out.stdout, out.stderr) == (
            0, f"kestrova-party {version('kestrova')} (backend: {name})\n", "")
    else:
        assert (out.returncode, out.stdout, out.stderr) == (1, "", f"kestrova-party: error: {refusal}\n")
