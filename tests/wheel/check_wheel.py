"""Checks built wheels the way a user without a compiler would meet them.

Usage: check_wheel.py [--sysroot DIR] README WHEEL...

For each WHEEL: its tag is the stable-ABI floor of pyproject.toml with an old
manylinux tag, which `auditwheel show` confirms; `abi3audit` finds no call
outside the stable ABI; the extension needs nothing but the C library. Then it
is installed (binary only) and the Python example of README runs there, its
printed lines compared with the comments on its print lines:
- x86-64: into a fresh virtual environment of every CPython from the floor on
  that this machine has (this one at least). In each, the backend chosen by
  default must be the best that /proc/cpuinfo lists (Linux lists no flag
  whose register state it does not enable), as `kestrova-party --version`
  and the engine tell it; then, in the first, every backend this processor
  has is forced in turn and the protocol tests run on it;
- aarch64: for an aarch64 CPython from Debian unpacked in DIR (made by
  aarch64_sysroot.sh), run under qemu-aarch64-static, which chooses the
  serial backend by default and runs the protocol tests on it.
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE_HEADING = "## The protocol in Python"
# glibc's own libraries: what "only the C library" allows a wheel to need.
C_LIBRARY = re.compile(r"^(libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|"
                       r"ld-linux-(x86-64|aarch64)\.so\.[12]|linux-vdso\.so\.1)$")
WHEEL_TAG = re.compile(r"-(?P<py>cp3\d+)-abi3-(?P<platform>manylinux_2_(17|28)_(?P<arch>x86_64|aarch64))\.whl$")
PROTOCOL_TESTS = ["tests/python/test_protocol.py"]
# What the protocol tests need beside the wheel, in the x86-64 environment.
TEST_REQUIREMENTS = ["pytest", "hypothesis", "pynacl"]
ENGINE_BACKEND = "import kestrova_protocol._engine as e; print(e.backend())"


class CheckFailed(Exception):
    pass


def run(argv, stderr=subprocess.PIPE, **kwargs):
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=stderr, text=True, **kwargs)
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


def foreign_libraries(names):
    """The entries of a library list (ldd's lines or bare sonames) that are not glibc's."""
    foreign = []
    for line in names:
        line = line.strip()
        # "(0x...)" alone is the vDSO, which qemu's loader lists without a name.
        if not line or line.startswith("statically linked") or line.startswith("("):
            continue
        if "not found" in line or not C_LIBRARY.match(Path(line.split()[0]).name):
            foreign.append(line)
    return foreign


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def available_backends():
    """The backends this processor runs, best first, by /proc/cpuinfo: the reference apart from the engine."""
    flags = cpu_flags()
    found = ["serial"]
    if "avx2" in flags:
        found.insert(0, "avx2")
        if {"avx512f", "avx512ifma"} <= flags:
            found.insert(0, "avx512ifma")
    return found


def stable_abi_floor():
    return tomllib.loads((ROOT / "pyproject.toml").read_text())["tool"]["scikit-build"]["wheel"]["py-api"]


def local_pythons(floor):
    """This Python and the other CPythons from the floor on that this machine has, one per minor."""
    found = {sys.version_info[:2]: sys.executable}
    pyenv = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    candidates = glob.glob(f"{pyenv}/versions/3.*/bin/python3") + \
        [p for p in (shutil.which(f"python3.{m}") for m in range(10, 20)) if p]
    for path in candidates:
        out = subprocess.run([path, "-c", "import sys; print(*sys.version_info[:2])"], capture_output=True, text=True)
        if out.returncode == 0:
            version = tuple(map(int, out.stdout.split()))
            if version >= floor:
                found.setdefault(version, path)
    return [found[v] for v in sorted(found)]


class Wheel:
    def __init__(self, path, readme, sysroot, work):
        self.path, self.readme, self.sysroot, self.work = path, readme, sysroot, work
        self.tag = WHEEL_TAG.search(path.name)
        self.env = dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1", PYTHONNOUSERSITE="1")
        self.env.pop("PYTHONPATH", None)

    def checks(self):
        common = [self.tag_and_audit, self.abi3audit, self.needed, self.imports]
        if self.tag and self.tag["arch"] == "aarch64":
            return common + [self.emulated_install, self.emulated_example, self.emulated_ldd, self.emulated_tests]
        return common + [self.native, self.forced_backends, self.default_backend]

    def tag_and_audit(self):
        floor = stable_abi_floor()
        if not self.tag or self.tag["py"] != floor:
            raise CheckFailed(f"{self.path.name} is not tagged {floor}-abi3-manylinux_2_17/2_28_<arch>")
        out = " ".join(run([Path(sys.executable).parent / "auditwheel", "show", self.path]).split())
        consistent = re.search(r'is consistent with the following platform tag: "([^"]+)"', out)
        if not consistent or consistent.group(1) != self.tag["platform"]:
            raise CheckFailed(f"auditwheel show does not confirm {self.tag['platform']}:\n{out}")
        return "auditwheel show: " + consistent.group(0)

    def abi3audit(self):
        out = " ".join(run([Path(sys.executable).parent / "abi3audit", "--strict", "--verbose", self.path],
                           stderr=subprocess.STDOUT).split())
        found = re.search(r"(\d+) extensions scanned; (\d+) ABI version mismatches and (\d+) ABI violations found", out)
        if not found or found.group(1) == "0" or found.group(2, 3) != ("0", "0"):
            raise CheckFailed(f"abi3audit does not pass the wheel:\n{out}")
        return "abi3audit: " + found.group(0)

    def extracted(self):
        """The wheel unpacked: its extension modules."""
        target = self.work / f"unpacked-{self.tag['arch']}"
        if not target.exists():
            shutil.unpack_archive(self.path, target, "zip")
        modules = sorted(target.rglob("*.abi3.so"))
        if not modules or any(p.suffixes[-2:] != [".abi3", ".so"] for p in modules):
            raise CheckFailed(f"no *.abi3.so in {self.path.name}")
        return modules

    def needed(self):
        names = []
        for module in self.extracted():
            out = run(["readelf", "-d", module])
            names += re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)
        foreign = foreign_libraries(names)
        if foreign:
            raise CheckFailed("the extension needs libraries beyond glibc's: " + ", ".join(foreign))
        return "NEEDED: " + ", ".join(sorted(set(names)))

    def imports(self):
        """Every symbol a module must find at load time is CPython's or glibc's up to the manylinux floor.

        auditwheel judges versioned imports only: an unversioned one (a glibc
        function newer than the floor, or one of a C++ runtime) passes it and
        fails to load where the function is missing."""
        floor = tuple(map(int, self.tag["platform"].split("_")[1:3]))
        bad = []
        for module in self.extracted():
            for line in run(["readelf", "--dyn-syms", "--wide", module]).splitlines():
                fields = line.split()
                if len(fields) < 8 or fields[6] != "UND" or fields[4] == "WEAK":
                    continue
                name = fields[7]
                version = re.fullmatch(r"[^@]+@GLIBC_(\d+)\.(\d+)(?:\.\d+)?", name)
                if version and tuple(map(int, version.groups())) <= floor:
                    continue
                if not version and re.match(r"_?Py", name):
                    continue
                bad.append(f"{module.name}: {name}")
        if bad:
            raise CheckFailed(f"imports beyond CPython and glibc {floor[0]}.{floor[1]}: " + ", ".join(bad))
        return f"imports: CPython's and glibc {floor[0]}.{floor[1]}'s only"

    def native(self):
        floor = (int(self.tag["py"][2]), int(self.tag["py"][3:]))  # cp310 -> (3, 10)
        code = readme_example(self.readme)
        expected = expected_output(code)
        versions = []
        self.environments = []
        for i, base in enumerate(local_pythons(floor)):
            env_dir = self.work / f"venv-{i}"
            run([base, "-m", "venv", "--clear", "--without-pip", env_dir])
            python = env_dir / "bin" / "python"
            # This pip installs for that Python: it picks the dependencies for it and checks the tag.
            run([sys.executable, "-m", "pip", "--python", python, "install", "-q", "--only-binary", ":all:", self.path],
                env=self.env, cwd=self.work)
            # -I: the fresh environment only, not this checkout or the caller's paths.
            so = run([python, "-I", "-c", "import kestrova; print(kestrova.__file__)"], env=self.env, cwd=self.work).strip()
            if not Path(so).is_relative_to(env_dir):
                raise CheckFailed(f"kestrova was imported from {so}, not from the fresh environment")
            printed = run([python, "-I", "-c", code], env=self.env, cwd=self.work).splitlines()
            if printed != expected:
                raise CheckFailed(f"README example printed {printed} on {base}, its comments say {expected}")
            foreign = foreign_libraries(run(["ldd", so]).splitlines())
            if foreign:
                raise CheckFailed("ldd: the extension loads more than glibc:\n  " + "\n  ".join(foreign))
            versions.append(run([python, "-c", "import platform; print(platform.python_version())"]).strip())
            self.environments.append(env_dir)
        return f"installed, README example printed {expected}, ldd glibc only, on CPython " + ", ".join(versions)

    def default_backend(self):
        best = available_backends()[0]
        env = dict(self.env)
        env.pop("KESTROVA_BACKEND", None)
        version = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
        expected = f"kestrova-party {version} (backend: {best})"
        for env_dir in self.environments:
            told = run([env_dir / "bin/kestrova-party", "--version"], env=env, cwd=self.work).strip()
            engine = run([env_dir / "bin/python", "-I", "-c", ENGINE_BACKEND], env=env, cwd=self.work).strip()
            if (told, engine) != (expected, best):
                raise CheckFailed(f"/proc/cpuinfo lists {best} as the best backend here, but in {env_dir.name} "
                                  f"`kestrova-party --version` says {told!r} and the engine {engine!r}")
        return f"default backend {best} (the best /proc/cpuinfo lists), by --version and the engine"

    def forced_backends(self):
        env_dir = self.environments[0]
        python = env_dir / "bin/python"
        run([sys.executable, "-m", "pip", "--python", python, "install", "-q", "--only-binary", ":all:",
             *TEST_REQUIREMENTS], env=self.env, cwd=self.work)
        summaries = []
        for name in available_backends():
            env = dict(self.env, KESTROVA_BACKEND=name)
            env.pop("KESTROVA_INTERNAL_DIR", None)
            # -I: the wheel's modules, never this checkout's; pytest adds the tests' own folder.
            result = subprocess.run([python, "-I", "-m", "pytest", "-q", "-p", "no:cacheprovider", *PROTOCOL_TESTS],
                                    capture_output=True, text=True, env=env, cwd=ROOT)
            summary = (result.stdout.strip().splitlines() or ["(no output)"])[-1]
            if result.returncode != 0:
                raise CheckFailed(f"protocol tests with KESTROVA_BACKEND={name}: {summary}\n"
                                  f"{result.stdout[-4000:]}{result.stderr[-2000:]}")
            engine = run([python, "-I", "-c", ENGINE_BACKEND], env=env, cwd=self.work).strip()
            if engine != name:
                raise CheckFailed(f"KESTROVA_BACKEND={name}: the engine runs {engine!r}")
            summaries.append(f"{name}: {summary}")
        return "protocol tests, each backend forced: " + "; ".join(summaries)

    # aarch64: the wheel installed for Debian's aarch64 CPython, which runs under qemu.
    def emulated_python(self):
        """A launcher that qemu passes as argv[0], so the tests' subprocesses are emulated too."""
        launcher = self.work / "python3-aarch64"
        if not launcher.exists():
            python = self.sysroot / "usr/bin/python3.11"
            if not python.exists():
                raise CheckFailed(f"no aarch64 CPython in {self.sysroot} (run tests/wheel/aarch64_sysroot.sh)")
            launcher.write_text(f'#!/bin/sh\nexec qemu-aarch64-static -L "{self.sysroot}" -0 "$0" "{python}" "$@"\n')
            launcher.chmod(0o755)
        return launcher

    def emulated_env(self):
        return dict(self.env, PYTHONPATH=f"{self.work / 'aarch64-site'}:{self.sysroot / 'site'}",
                    KESTROVA_BACKEND="serial")

    def emulated_install(self):
        # pip checks the tag against what an aarch64 CPython 3.11 accepts.
        run([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--only-binary", ":all:",
             "--platform", self.tag["platform"], "--python-version", "3.11", "--implementation", "cp",
             "--target", self.work / "aarch64-site", self.path], env=self.env)
        so = run([self.emulated_python(), "-c", "import kestrova, platform; print(platform.machine(), kestrova.__file__)"],
                 env=self.emulated_env(), cwd=self.work).split()
        if so[0] != "aarch64" or not Path(so[1]).is_relative_to(self.work / "aarch64-site"):
            raise CheckFailed(f"imported {so}, not the aarch64 wheel")
        self.so = so[1]
        env = self.emulated_env()
        del env["KESTROVA_BACKEND"]
        default = run([self.emulated_python(), "-c", ENGINE_BACKEND], env=env, cwd=self.work).strip()
        if default != "serial":
            raise CheckFailed(f"the aarch64 engine runs {default!r} by default, not serial")
        return f"installed for aarch64 CPython 3.11, imported under qemu from {Path(so[1]).name}, serial by default"

    def emulated_example(self):
        code = readme_example(self.readme)
        printed = run([self.emulated_python(), "-c", code], env=self.emulated_env(), cwd=self.work).splitlines()
        if printed != expected_output(code):
            raise CheckFailed(f"README example printed {printed} under qemu, its comments say {expected_output(code)}")
        return f"README example printed {printed} under qemu"

    def emulated_ldd(self):
        loader = self.sysroot / "lib/ld-linux-aarch64.so.1"
        out = run(["qemu-aarch64-static", "-L", self.sysroot, loader, "--list", self.so])
        foreign = foreign_libraries(out.splitlines())
        if foreign:
            raise CheckFailed("the aarch64 extension loads more than glibc:\n  " + "\n  ".join(foreign))
        names = [Path(line.split()[0]).name for line in out.splitlines() if line.strip() and line.split()[0][0] != "("]
        return "ldd (emulated loader): " + ", ".join(sorted(names))

    def emulated_tests(self):
        result = subprocess.run([self.emulated_python(), "-m", "pytest", "-q", "-p", "no:cacheprovider", *PROTOCOL_TESTS],
                                capture_output=True, text=True, env=self.emulated_env(), cwd=ROOT)
        summary = (result.stdout.strip().splitlines() or ["(no output)"])[-1]
        if result.returncode != 0:
            raise CheckFailed(f"protocol tests under qemu: {summary}\n{result.stdout[-4000:]}{result.stderr[-2000:]}")
        return f"protocol tests under qemu, serial backend: {summary}"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sysroot", type=Path, default=ROOT / "build/aarch64-sysroot")
    parser.add_argument("readme", type=Path)
    parser.add_argument("wheels", type=Path, nargs="+")
    args = parser.parse_args(argv)
    passed = failed = 0
    for path in args.wheels:
        work = Path(tempfile.mkdtemp(prefix="kestrova-wheel-check-"))
        wheel = Wheel(path.resolve(), args.readme.resolve(), args.sysroot.resolve(), work)
        print(path.name)
        try:
            for check in wheel.checks():
                try:
                    print(f"ok   {check()}", flush=True)
                    passed += 1
                except CheckFailed as e:
                    print(f"FAIL {check.__name__}: {e}", flush=True)
                    failed += 1
                    break  # later checks need the earlier ones
        finally:
            shutil.rmtree(work, ignore_errors=True)
    print(f"wheel-check: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
