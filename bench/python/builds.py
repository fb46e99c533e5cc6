#!/usr/bin/env python3
"""Two builds of the module in one process, call for call: the wheel's against the development one.

Both extension files are loaded side by side (each keeps its own pool, on one
thread); every round calls each function once with each build on the same
inputs, in alternating order, so load on a shared machine falls on both alike.
Reported per function: the median over the rounds of CPU microseconds per item
for each build, and the median of the per-round ratios B/A.

    python bench/python/builds.py A.abi3.so B.abi3.so [--n 2000] [--rounds 15] [--functions decrypt,...] [--json]

--json prints one JSON object instead of the table (wheel_parity.py reads it).

A build is a path to its extension file, or a directory where it is installed.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import platform
import statistics
import sys
import time
from pathlib import Path

os.environ.setdefault("RAYON_NUM_THREADS", "1")
sys.path.insert(0, str(Path(__file__).resolve().parent))
from functions import make_data  # noqa: E402

FUNCTIONS = [("build_okvs", "row"), ("randomize", "ciphertext"), ("decrypt", "point")]


def load(location: Path):
    path = location if location.is_file() else next(location.glob("kestrova*.so"))
    found = importlib.util.spec_from_file_location("kestrova", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    sys.modules.pop("kestrova", None)  # the other build loads under the same name
    return module, path


def inputs(kestrova, n: int):
    bank_a, bank_b, senders, receivers = make_data(n)
    (pk_a, sk_a), (pk_b, _), (pk_w, _) = kestrova.key_gen(), kestrova.key_gen(), kestrova.key_gen()
    okvs_a, okvs_b = kestrova.build_okvs(pk_a, bank_a), kestrova.build_okvs(pk_b, bank_b)
    cts = kestrova.initiate_queries(senders, receivers, okvs_a, okvs_b, pk_w)
    sender_points = kestrova.combine(kestrova.randomize(cts), kestrova.randomize(cts))[0]
    return {"build_okvs": (pk_a, bank_a), "randomize": (cts,), "decrypt": (sender_points, sk_a)}


def cpu_seconds(fn, args) -> float:
    c0 = time.process_time()
    fn(*args)
    return time.process_time() - c0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("a", type=Path)
    parser.add_argument("b", type=Path)
    parser.add_argument("--n", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--functions", default=",".join(name for name, _ in FUNCTIONS))
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()
    functions = [(name, per) for name, per in FUNCTIONS if name in args.functions.split(",")]
    (mod_a, path_a), (mod_b, path_b) = load(args.a), load(args.b)
    data = inputs(mod_a, args.n)
    # The same outputs from both builds where no randomness enters.
    if mod_a.decrypt(*data["decrypt"]) != mod_b.decrypt(*data["decrypt"]):
        raise SystemExit("the two builds decrypt differently")
    times = {name: ([], []) for name, _ in functions}
    for r in range(args.rounds):
        for name, _ in functions:
            order = [(0, mod_a), (1, mod_b)] if r % 2 == 0 else [(1, mod_b), (0, mod_a)]
            for which, module in order:
                times[name][which].append(cpu_seconds(getattr(module, name), data[name]) / args.n)
    if args.json:
        print(json.dumps({name: {"a": statistics.median(a), "b": statistics.median(b),
                                 "ratio": statistics.median(y / x for x, y in zip(a, b))}
                          for name, (a, b) in times.items()}))
        return 0
    print(f"A: {path_a}\nB: {path_b}")
    print(f"{platform.processor() or platform.machine()}, load average {os.getloadavg()[0]:.1f}, "
          f"n = {args.n}, {args.rounds} rounds, pool of {os.environ['RAYON_NUM_THREADS']} thread(s)")
    print(f"{'function':<12}{'per':<12}{'A CPU us/item':>15}{'B CPU us/item':>15}{'B/A':>8}")
    for name, per in functions:
        a, b = times[name]
        ratio = statistics.median(y / x for x, y in zip(a, b))
        print(f"{name:<12}{per:<12}{statistics.median(a) * 1e6:>15.2f}{statistics.median(b) * 1e6:>15.2f}{ratio:>8.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
