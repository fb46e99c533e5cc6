"""Checks a built wheel the way a user without a compiler would meet it.

Usage: check_wheel.py WHEEL README

Installs WHEEL into a fresh virtual environment (binary only), runs the Python
example of README there and compares what it prints with the comments on its
print lines, and checks with ldd that the extension loads nothing beyond the
C and C++ runtimes every manylinux system has. Standard library only.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import venv
from pathlib import Path

# Libraries the manylinux policies let a wheel take from the system.
SYSTEM_LIBRARIES = {
    "linux-vdso.so.1", "ld-linux-x86-64.so.2", "libc.so.6", "libm.so.6", "libstdc++.so.6",
    "libgcc_s.so.1", "libpthread.so.0", "libdl.so.2", "librt.so.1",
}
EXAMPLE_HEADING = "## The protocol in Python"


class CheckFailed(Exception):
    pass


def run(argv, **kwargs):
    result = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise CheckFailed(f"{' '.join(map(str, argv))} exited with {result.returncode}:\n"
                          f"{result.stdout}{result.stderr}")
    return result.stdout


def readme_example(readme):
    """The first python code block after the example's heading."""
    text = readme.read_text(encoding="utf-8")
    start = text.find(EXAMPLE_HEADING)
    if start < 0:
        raise CheckFailed(f"{readme} has no heading {EXAMPLE_HEADING!r}")
    block = re.search(r"^```python\n(.*?)^```", text[start:], re.MULTILINE | re.DOTALL)
    if not block:
        raise CheckFailed(f"no python code block under {EXAMPLE_HEADING!r}")
    return block.group(1)


def expected_output(code):
    """The README states each print's output as a comment on the same line."""
    return [m.group(1).strip() for m in re.finditer(r"^print\(.*\)\s*#\s*(.+)$", code, re.MULTILINE)]


def foreign_libraries(ldd_output):
    """Sonames ldd lists that are not system libraries, and those it cannot find."""
    foreign = []
    for line in ldd_output.splitlines():
        line = line.strip()
        if not line or line.startswith("statically linked"):
            continue
        name = Path(line.split()[0]).name
        if "not found" in line or name not in SYSTEM_LIBRARIES:
            foreign.append(line)
    return foreign


def main(wheel, readme):
    wheel, readme = Path(wheel).resolve(), Path(readme).resolve()
    env = dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1", PYTHONNOUSERSITE="1")
    env.pop("PYTHONPATH", None)
    work = Path(tempfile.mkdtemp(prefix="kestrova-wheel-check-"))
    python = work / "venv" / "bin" / "python"
    state = {}

    def install():
        if "manylinux" not in wheel.name:
            raise CheckFailed(f"{wheel.name} has no manylinux platform tag")
        venv.EnvBuilder(with_pip=True, clear=True).create(work / "venv")
        run([python, "-m", "pip", "install", "-q", "--only-binary", ":all:", wheel], env=env, cwd=work)
        # -I: the fresh environment only, not this checkout or the caller's paths.
        state["so"] = run([python, "-I", "-c", "import kestrova; print(kestrova.__file__)"],
                          env=env, cwd=work).strip()
        if not Path(state["so"]).is_relative_to(work / "venv"):
            raise CheckFailed(f"kestrova was imported from {state['so']}, not from the fresh environment")
        return f"installed {wheel.name}"

    def version():
        version_in_name = wheel.name.split("-")[1]
        found = run([python, "-I", "-c", "import importlib.metadata as m; print(m.version('kestrova'))"],
                    env=env, cwd=work).strip()
        if found != version_in_name:
            raise CheckFailed(f"importlib.metadata gives {found!r}, the wheel is {version_in_name!r}")
        return f"version {found}"

    def example():
        code = readme_example(readme)
        expected = expected_output(code)
        printed = run([python, "-I", "-c", code], env=env, cwd=work).splitlines()
        if printed != expected:
            raise CheckFailed(f"README example printed {printed}, its comments say {expected}")
        return f"README example printed {printed}"

    def libraries():
        output = run(["ldd", state["so"]], env=env)
        foreign = foreign_libraries(output)
        if foreign:
            raise CheckFailed("the extension needs non-system libraries:\n  " + "\n  ".join(foreign))
        return "ldd: " + ", ".join(sorted(Path(l.split()[0]).name for l in output.splitlines() if l.strip()))

    checks = [install, version, example, libraries]
    passed = failed = 0
    try:
        for check in checks:
            try:
                print(f"ok   {check()}")
                passed += 1
            except CheckFailed as e:
                print(f"FAIL {check.__name__}: {e}")
                failed += 1
                break  # later checks need the earlier ones
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"wheel-check: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
