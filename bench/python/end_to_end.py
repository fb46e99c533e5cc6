#!/usr/bin/env python3
"""The three parties end to end through kestrova-party, against the module's own work on the same items.

Runs examples/parties.py (one kestrova-party process per step, as `make demo`
plays it) and sums the steps' process wall times; then, in this process,
calls the module's functions on the same rows and transactions (two builds,
query, two randomisations, combine, two decryptions, finish) and measures
their CPU time. The ratio

    wall / (module CPU / cores)

is 1.0 for the module's own work spread perfectly over every core, and
carries from one machine to another where wall times do not.

    python bench/python/end_to_end.py [--accounts 1000000] [--transactions 1000000]
                                      [--other CHECKOUT] [--json FILE]

--other also runs CHECKOUT's examples/parties.py with CHECKOUT/.venv's
interpreter on data of the same size, in the same run (before and after).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import resource
import subprocess
import sys
import tempfile
from pathlib import Path

import kestrova
from kestrova_protocol.keying import NFC, row_key

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
from demo import write_tables  # noqa: E402

# A row of examples/parties.py's table: name (party), items, seconds, items/s, process seconds[, CPU seconds].
STEP = re.compile(r"^(\S+ \(\w+\))\s+([\d,]+)\s+[\d.]+\s+[\d,]+\s+([\d.]+)(?:[ \t]+([\d.]+))?$", re.MULTILINE)


def parties(python: str, checkout: Path, accounts: int, transactions: int, workdir: str) -> dict:
    done = subprocess.run([python, str(checkout / "examples" / "parties.py"), "--accounts", str(accounts),
                           "--transactions-count", str(transactions), "--workdir", workdir],
                          capture_output=True, text=True)
    if done.returncode:
        sys.exit(f"{checkout}: parties.py failed:\n{done.stdout}\n{done.stderr}")
    found = STEP.findall(done.stdout)
    steps = {name: float(wall) for name, _, wall, _ in found}
    cpu = {name: float(cpu) for name, _, _, cpu in found if cpu}
    return {"steps": steps, "wall": sum(steps.values()), "cpu": cpu}


def cpu() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def module(rows) -> dict:
    bank_a, bank_b, senders, receivers = ([row_key(r, NFC) for r in table] for table in rows)
    keys = {p: tuple(bytes(k) for k in kestrova.key_gen()) for p in "abw"}
    spent = {}

    def timed(name, call):
        start = cpu()
        result = call()
        spent[name] = spent.get(name, 0.0) + cpu() - start
        return result

    store_a = timed("build-store", lambda: bytes(kestrova.build_okvs(keys["a"][0], bank_a)))
    store_b = timed("build-store", lambda: bytes(kestrova.build_okvs(keys["b"][0], bank_b)))
    del bank_a, bank_b
    queries = timed("query", lambda: bytes(kestrova.initiate_queries(senders, receivers, store_a, store_b,
                                                                     keys["w"][0])))
    first = timed("randomize", lambda: bytes(kestrova.randomize(queries)))
    second = timed("randomize", lambda: bytes(kestrova.randomize(queries)))
    s, r, gamma, delta = timed("combine", lambda: [bytes(p) for p in kestrova.combine(first, second)])
    s = timed("decrypt", lambda: bytes(kestrova.decrypt(s, keys["a"][1])))
    r = timed("decrypt", lambda: bytes(kestrova.decrypt(r, keys["b"][1])))
    flags = timed("finish", lambda: kestrova.finish(s, r, gamma, delta, keys["w"][1]))
    return {"steps": spent, "cpu": sum(spent.values()), "matches": sum(flags)}


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--accounts", type=int, default=1_000_000)
    p.add_argument("--transactions", type=int, default=1_000_000)
    p.add_argument("--other", type=Path, help="a second checkout to run in the same run")
    p.add_argument("--json")
    args = p.parse_args()
    cores = len(os.sched_getaffinity(0))
    out = {"machine": platform.processor() or platform.machine(), "cores": cores,
           "accounts": args.accounts, "transactions": args.transactions, "load_before": os.getloadavg()[0]}
    with tempfile.TemporaryDirectory() as tmp:
        runs = {"this": (sys.executable, ROOT)}
        if args.other:
            runs["other"] = (str(args.other / ".venv" / "bin" / "python"), args.other)
        for name, (python, checkout) in runs.items():
            out[name] = parties(python, checkout, args.accounts, args.transactions, os.path.join(tmp, name))
            out[name]["commit"] = subprocess.run(["git", "-C", str(checkout), "rev-parse", "--short", "HEAD"],
                                                 capture_output=True, text=True).stdout.strip()
            print(f"{name} ({checkout}): steps' wall {out[name]['wall']:.1f} s", flush=True)
        # The module on this run's data, as the tools key it.
        rows = write_tables(Path(tmp) / "module", args.accounts, args.transactions, (50, 20, 20, 10), 1)
    out["module"] = module(rows)
    out["load_after"] = os.getloadavg()[0]
    spread = out["module"]["cpu"] / cores
    print(f"module's CPU on the same items: {out['module']['cpu']:.1f} s ({spread:.1f} s over {cores} cores)")
    for name in runs:
        out[name]["ratio"] = out[name]["wall"] / spread
        print(f"{name}: wall / (module CPU / cores) = {out[name]['ratio']:.2f}")
        for step, wall in out[name]["steps"].items():
            cpu = out[name]["cpu"].get(step)
            print(f"  {step:<24} {wall:8.2f} s" + (f"  CPU {cpu:8.2f} s" if cpu is not None else ""))
        per_step = {}
        for step, cpu in out[name]["cpu"].items():
            kind = step.split(" ")[0]
            per_step[kind] = per_step.get(kind, 0.0) + cpu
        ratios = {k: v / out["module"]["steps"][k] for k, v in per_step.items() if out["module"]["steps"].get(k)}
        out[name]["cpu_ratio"] = ratios
        if ratios:
            print("  CPU over the module's, per step: " + ", ".join(f"{k} {v:.2f}" for k, v in ratios.items()))
    print(f"per step, the module's CPU: " + ", ".join(f"{k} {v:.1f} s" for k, v in out["module"]["steps"].items()))
    print(f"load average {out['load_before']:.1f} before, {out['load_after']:.1f} after")
    if args.json:
        Path(args.json).write_text(json.dumps(out, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
