"""A build from source without its tools stops with one line that names the missing part."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
import kestrova_build_backend as backend  # noqa: E402

GXX = shutil.which("g++")


def fake_compiler(tmp_path, body):
    """A compiler that runs g++ unless `body` (shell, source file in $probe) exits first."""
    path = tmp_path / "fake-c++"
    path.write_text(f'#!/bin/sh\nfor probe; do :; done\n{body}\nexec {GXX} "$@"\n')
    path.chmod(0o755)
    return str(path)


@pytest.mark.parametrize("body, missing", [
    (None, "a C++ compiler"),
    ("exit 1", "a working C++ compiler"),
    ('case "$*" in *c++20*) exit 1;; esac', "a C++20 compiler"),
    ("grep -q xxhash.h \"$probe\" && exit 1", "xxHash's header"),
])
def test_names_what_is_missing(tmp_path, body, missing):
    cxx = str(tmp_path / "no-such-c++") if body is None else fake_compiler(tmp_path, body)
    with pytest.raises(backend.MissingPart) as error:
        backend.check_toolchain(dict(os.environ, CXX=cxx))
    assert str(error.value).startswith(missing)


def test_passes_with_gxx():
    backend.check_toolchain(dict(os.environ, CXX=GXX))


def test_build_stops_with_one_line(tmp_path):
    env = dict(os.environ, CXX=str(tmp_path / "no-such-c++"), PYTHONPATH=str(ROOT / "tools"))
    result = subprocess.run([sys.executable, "-c", "import kestrova_build_backend as b; b.build_wheel('out')"],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode != 0
    assert result.stdout == ""
    assert result.stderr.splitlines() == [
        "kestrova: building from source needs a C++ compiler (g++ 10 or newer, or clang++ 12 or newer; tried "
        + str(tmp_path / "no-such-c++") + ")"]
