#!/usr/bin/env python3
"""Runs every benchmark and writes the results under bench/results/.

- the C++ benchmark executables under <build>/bench/<area>/ (Google Benchmark,
  JSON to bench/results/<name>.json), built by `make bench`;
- bench/python/conversion.py and bench/python/functions.py (JSON to
  bench/results/python_conversion.json and python_functions.json);
- one plot, bench/results/functions.png: microseconds per item against n for
  each of the seven functions, one line per thread count.

    python bench/run_all.py [--build-dir build/bench] [--skip-cpp] [--skip-python] [--quick]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
RESULTS = ROOT / "bench" / "results"


def machine() -> dict:
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"cpu": model, "cpus": os.cpu_count(), "platform": platform.platform(),
            "python": sys.version.split()[0], "date": time.strftime("%Y-%m-%d %H:%M:%S"),
            "load_average": os.getloadavg()}


def ensure_matplotlib() -> bool:
    try:
        import matplotlib  # noqa: F401
        return True
    except ImportError:
        pass
    requirements = ROOT / "requirements-bench.txt"
    print(f"installing {requirements.name} into {sys.prefix}", flush=True)
    done = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "-r", str(requirements)])
    if done.returncode != 0:
        print("matplotlib could not be installed; no plot", file=sys.stderr)
        return False
    import importlib
    importlib.invalidate_caches()
    return True


def uses_google_benchmark(path: Path) -> bool:
    # Linked statically or not, the executable names symbols of namespace benchmark.
    with open(path, "rb") as f:
        return b"_ZN9benchmark" in f.read()


def cpp_executables(build_dir: Path):
    found, others = [], []
    for area in sorted((build_dir / "bench").glob("*/")):
        if not area.is_dir() or area.name == "CMakeFiles":
            continue
        for path in sorted(area.iterdir()):
            if path.is_file() and os.access(path, os.X_OK) and path.suffix not in (".so", ".a"):
                (found if uses_google_benchmark(path) else others).append(path)
    return found, others


def run_cpp(build_dir: Path, extra_args) -> list:
    executables, others = cpp_executables(build_dir)
    for path in others:
        print(f"skipped {path.name}: not a Google Benchmark executable (run it by hand)", file=sys.stderr)
    if not executables:
        print(f"no C++ benchmark executables under {build_dir / 'bench'} (run `make bench`)", file=sys.stderr)
        return []
    ran = []
    for exe in executables:
        out = RESULTS / f"{exe.name}.json"
        print(f"\n== {exe.relative_to(ROOT) if exe.is_relative_to(ROOT) else exe}", flush=True)
        with open(out, "w") as f:
            done = subprocess.run([str(exe), "--benchmark_format=json", *extra_args], stdout=f)
        if done.returncode != 0:
            print(f"{exe.name} exited with {done.returncode}", file=sys.stderr)
            ran.append({"name": exe.name, "returncode": done.returncode})
            continue
        with open(out) as f:
            report = json.load(f)
        for b in report.get("benchmarks", []):
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "mean":
                continue
            rate = b.get("items_per_second")
            rate_text = f"{rate:>14,.0f} items/s" if rate else ""
            print(f"  {b['name']:<60} {b['real_time']:>12.1f} {b.get('time_unit', 'ns'):<2} {rate_text}")
        ran.append({"name": exe.name, "returncode": 0, "json": str(out.relative_to(ROOT))})
    return ran


def run_python(quick: bool) -> list:
    scripts = [
        ("conversion.py", ["--items", "1000000"] if quick else []),
        ("functions.py", ["--sizes", "1000,10000", "--memory-n", "10000"] if quick else []),
    ]
    ran = []
    for script, args in scripts:
        out = RESULTS / f"python_{Path(script).stem}.json"
        print(f"\n== bench/python/{script}", flush=True)
        done = subprocess.run([sys.executable, str(ROOT / "bench" / "python" / script), *args, "--json", str(out)])
        ran.append({"name": script, "returncode": done.returncode, "json": str(out.relative_to(ROOT))})
    return ran


def plot(functions_json: Path, png: Path) -> bool:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    with open(functions_json) as f:
        data = json.load(f)
    timings = data["timings"]
    names = list(dict.fromkeys(r["function"] for r in timings))
    threads = sorted({r["threads"] for r in timings})
    fig, axes = plt.subplots(2, 4, figsize=(16, 7.5))
    for ax, name in zip(axes.flat, names):
        rows = [r for r in timings if r["function"] == name]
        for t in threads:
            points = sorted((r["n"], 1e6 * r["seconds"] / r["n"]) for r in rows if r["threads"] == t)
            ax.plot([p[0] for p in points], [p[1] for p in points], marker="o",
                    label=f"{t} thread{'s' if t > 1 else ''}")
        ax.set_xscale("log")
        ax.set_ylim(bottom=0)
        ax.set_title(f"{name} (per {rows[0]['item']})")
        ax.set_xlabel("n")
        ax.set_ylabel("µs per item (wall clock)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    for ax in list(axes.flat)[len(names):]:
        ax.axis("off")
    info = machine()
    fig.suptitle(f"kestrova from Python: {info['cpu']}, {data['cpus']} CPUs, measured {data['time']}")
    fig.tight_layout()
    fig.savefig(png, dpi=100)
    plt.close(fig)
    return True


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "bench"))
    parser.add_argument("--skip-cpp", action="store_true")
    parser.add_argument("--skip-python", action="store_true")
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a check that all runs")
    parser.add_argument("--benchmark-arg", action="append", default=[],
                        help="passed on to every C++ benchmark, e.g. --benchmark-arg=--benchmark_min_time=0.1")
    args = parser.parse_args()
    RESULTS.mkdir(parents=True, exist_ok=True)
    can_plot = ensure_matplotlib()

    summary = {"machine": machine(), "cpp": [], "python": []}
    if not args.skip_cpp:
        summary["cpp"] = run_cpp(Path(args.build_dir), args.benchmark_arg)
    if not args.skip_python:
        summary["python"] = run_python(args.quick)
        functions_json = RESULTS / "python_functions.json"
        if can_plot and functions_json.exists():
            png = RESULTS / "functions.png"
            plot(functions_json, png)
            summary["plot"] = str(png.relative_to(ROOT))
            print(f"\nplot: {png.relative_to(ROOT)}")
    with open(RESULTS / "summary.json", "w") as f:
        json.dump(summary, f, indent=2)
    failed = [r["name"] for r in summary["cpp"] + summary["python"] if r["returncode"] != 0]
    if failed:
        print(f"failed: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
