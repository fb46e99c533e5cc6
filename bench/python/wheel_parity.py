#!/usr/bin/env python3
"""The x86-64 wheel against a source build, per backend, on one worker thread.

Builds both in this run (or takes them as given): the source build as
`pip install .` makes it (this machine's compiler), the wheel as `make wheel`
makes it (zig's clang for glibc 2.17); each is installed into a folder of its
own under --work. Then, for every backend this processor runs (each forced
with KESTROVA_BACKEND in a fresh process, as the choice is made once per
process), builds.py loads both modules in one process and times `decrypt`
and `randomize` call for call, alternating. That is repeated --repeats times,
the backends interleaved; printed per backend and function: the median over
the repeats of each build's CPU microseconds per item and of the ratio
wheel / source (with its range), and what each build's engine chooses unforced.

    python bench/python/wheel_parity.py [--wheel WHEEL] [--source DIR] [--work DIR]
        [--n 2000] [--rounds 15] [--repeats 5] [--backends avx512ifma,avx2,serial] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent
FUNCTIONS = ["decrypt", "randomize"]
BACKEND = "import sys; sys.path.insert(0, sys.argv[1]); import kestrova_protocol._engine as e; print(e.backend())"


def cpu_flags() -> set:
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    return set()


def processor() -> str:
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown processor"


def available_backends() -> list:
    flags = cpu_flags()
    found = ["serial"]
    if "avx2" in flags:
        found.insert(0, "avx2")
        if {"avx512f", "avx512ifma"} <= flags:
            found.insert(0, "avx512ifma")
    return found


def pip(*args, env=None):
    subprocess.run([sys.executable, "-m", "pip", *args], check=True, cwd=ROOT, env=env)


def build_wheel(out: Path, toolchain: Path | None, build_dir: str) -> Path:
    """One wheel into `out`: with the zig toolchain file, the wheel recipe of the Makefile."""
    env = dict(os.environ)
    options = [f"-Cbuild-dir={build_dir}"]
    if toolchain is not None:
        env["_PYTHON_HOST_PLATFORM"] = "manylinux_2_17_x86_64"
        options += ["-Cinstall.strip=false", f"-Ccmake.define.CMAKE_TOOLCHAIN_FILE={toolchain}"]
    for old in out.glob("kestrova-*.whl"):
        old.unlink()
    pip("wheel", "-q", "--no-build-isolation", "--no-deps", "-w", str(out), *options, ".", env=env)
    return next(out.glob("kestrova-*.whl"))


def install(wheel: Path, target: Path) -> Path:
    pip("install", "-q", "--no-deps", "--upgrade", "--target", str(target), str(wheel))
    return target


def chosen(target: Path, backend: str | None) -> str:
    env = dict(os.environ)
    env.pop("KESTROVA_BACKEND", None)
    if backend:
        env["KESTROVA_BACKEND"] = backend
    out = subprocess.run([sys.executable, "-c", BACKEND, str(target)], env=env, capture_output=True, text=True)
    return out.stdout.strip() or out.stderr.strip().splitlines()[-1]


def timed_pair(source: Path, wheel: Path, backend: str, n: int, rounds: int) -> dict:
    env = dict(os.environ, KESTROVA_BACKEND=backend, RAYON_NUM_THREADS="1")
    out = subprocess.run([sys.executable, str(HERE / "builds.py"), str(source), str(wheel), "--n", str(n),
                          "--rounds", str(rounds), "--functions", ",".join(FUNCTIONS), "--json"],
                         env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--wheel", type=Path, help="an x86-64 wheel already built (default: build one)")
    parser.add_argument("--source", type=Path, help="a source build already installed there (default: build one)")
    parser.add_argument("--work", type=Path, default=ROOT / "build/parity")
    parser.add_argument("--n", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--backends", help="comma-separated (default: every one this processor runs)")
    parser.add_argument("--json", metavar="FILE", help="write the figures here too")
    args = parser.parse_args()
    work = args.work.resolve()
    work.mkdir(parents=True, exist_ok=True)

    if args.source:
        source = args.source.resolve()
    else:
        print("building the source build (this machine's compiler)", flush=True)
        source = install(build_wheel(work / "source-dist", None, "build/wheel"), work / "source")
    wheel_file = args.wheel
    if wheel_file is None:
        print("building the wheel (zig's clang)", flush=True)
        wheel_file = build_wheel(work / "wheel-dist", ROOT / "cmake/zig-x86_64.cmake", "build/wheel-x86_64")
    wheel = install(wheel_file.resolve(), work / "wheel")

    backends = args.backends.split(",") if args.backends else available_backends()
    for name in backends:
        told = chosen(source, name), chosen(wheel, name)
        if told != (name, name):
            raise SystemExit(f"KESTROVA_BACKEND={name}: the source build runs {told[0]!r}, the wheel {told[1]!r}")

    results = {(b, f): [] for b in backends for f in FUNCTIONS}
    loads = []
    for r in range(args.repeats):
        loads.append(os.getloadavg()[0])
        for name in (backends if r % 2 == 0 else backends[::-1]):
            for function, figures in timed_pair(source, wheel, name, args.n, args.rounds).items():
                results[(name, function)].append(figures)
            print(f"repeat {r + 1}/{args.repeats}: {name} done", file=sys.stderr, flush=True)

    print(f"source build: {source}\nwheel: {wheel_file}")
    print(f"{processor()}; unforced, the source build runs {chosen(source, None)}, the wheel {chosen(wheel, None)}")
    print(f"one worker thread, n = {args.n}, {args.rounds} rounds x {args.repeats} repeats; "
          f"load average {min(loads):.1f} to {max(loads):.1f} on {os.cpu_count()} processors")
    print(f"{'backend':<12}{'function':<11}{'source us/item':>15}{'wheel us/item':>15}{'wheel/source':>14}"
          f"{'range':>16}")
    for (name, function), runs in results.items():
        ratios = [x["ratio"] for x in runs]
        print(f"{name:<12}{function:<11}{statistics.median(x['a'] for x in runs) * 1e6:>15.2f}"
              f"{statistics.median(x['b'] for x in runs) * 1e6:>15.2f}{statistics.median(ratios):>14.3f}"
              f"{f'{min(ratios):.3f}-{max(ratios):.3f}':>16}")
    if args.json:
        rows = [{"backend": name, "function": function,
                 "source_us": statistics.median(x["a"] for x in runs) * 1e6,
                 "wheel_us": statistics.median(x["b"] for x in runs) * 1e6,
                 "ratio": statistics.median(x["ratio"] for x in runs),
                 "ratio_min": min(x["ratio"] for x in runs), "ratio_max": max(x["ratio"] for x in runs)}
                for (name, function), runs in results.items()]
        Path(args.json).write_text(json.dumps({
            "n": args.n, "rounds": args.rounds, "repeats": args.repeats, "load": [min(loads), max(loads)],
            "unforced": {"source": chosen(source, None), "wheel": chosen(wheel, None)}, "rows": rows}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
