#!/usr/bin/env python3
"""The three parties end to end through kestrova-party, against the module's own work on the same items.

Each round runs this package's parties as examples/parties.py plays them
(one kestrova-party process per step) and sums the steps' process wall
times; right beside each step it runs the module's function of that step in
a process of its own, on the very files the step reads (two builds, query,
two randomisations, combine, two decryptions, finish), timing the call's
CPU. The ratio

    wall / (module CPU / cores)

is 1.0 for the module's own work spread perfectly over every core, and
carries from one machine to another where wall times do not. Per step, the
step's CPU over the module's CPU on the same items.

On a shared host a run's timings move with the load by more than the gaps
measured here, within minutes. So a step and the module's call of it run
back to back, the module first in even rounds and last in odd ones, and the
page gives the median of the rounds.

    python bench/python/end_to_end.py [--accounts 1000000] [--transactions 1000000] [--rounds 3]
                                      [--other CHECKOUT] [--json FILE]

--other also runs CHECKOUT's examples/parties.py with CHECKOUT/.venv's
interpreter on data of the same size, in the same rounds (before this
package's run in even rounds, after it in odd ones), and compares it with
the module's calls of the round.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import io
import json
import os
import platform
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
from demo import BANK_COLUMNS, RECEIVER_COLUMNS, SENDER_COLUMNS, check, data_arguments, write_tables  # noqa: E402

# A row of examples/parties.py's table: name (party), items, seconds, items/s, process seconds[, CPU seconds].
STEP = re.compile(r"^(\S+ \(\w+\))\s+([\d,]+)\s+[\d.]+\s+[\d,]+\s+([\d.]+)(?:[ \t]+([\d.]+))?$", re.MULTILINE)

# The module's calls of one run, as (step, party): in the order the parties run them.
MODULE_STEPS = [("build-store", "bank_a"), ("build-store", "bank_b"), ("query", "central"),
                ("randomize", "bank_a"), ("randomize", "bank_b"), ("combine", "central"),
                ("decrypt", "bank_a"), ("decrypt", "bank_b"), ("finish", "central")]


def parties(python: str, checkout: Path, accounts: int, transactions: int, workdir: str) -> dict:
    done = subprocess.run([python, str(checkout / "examples" / "parties.py"), "--accounts", str(accounts),
                           "--transactions-count", str(transactions), "--workdir", workdir],
                          capture_output=True, text=True)
    if done.returncode:
        sys.exit(f"{checkout}: parties.py failed:\n{done.stdout}\n{done.stderr}")
    found = STEP.findall(done.stdout)
    steps = {name: float(wall) for name, _, wall, _ in found}
    cpu = by_kind({name: float(seconds) for name, _, _, seconds in found if seconds})
    return {"steps": steps, "wall": sum(steps.values()), "cpu": cpu}


def by_kind(per_step: dict) -> dict:
    """Seconds per "step (party)" summed per step: both banks' builds are one build-store."""
    kinds: dict = {}
    for step, seconds in per_step.items():
        kind = step.split(" ")[0]
        kinds[kind] = kinds.get(kind, 0.0) + seconds
    return kinds


def cpu() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def keys_of(path: Path, columns) -> list:
    """A table's rows keyed as the tools key them by default."""
    from kestrova_protocol.keying import NFC, row_key
    with open(path, newline="", encoding="utf-8") as f:
        reader = csv.DictReader(f)
        return [row_key([row[c] for c in columns], NFC) for row in reader]


def module_step(step: str, folder: Path) -> float:
    """The CPU seconds of the module's call for one step, on the payloads of the files the step read."""
    import kestrova
    from kestrova_protocol.header import Kind
    from kestrova_protocol.inputs import read_whole

    def payload(name: str, kind: Kind) -> bytes:
        return bytes(read_whole(str(folder / name), kind)[1])

    bank = folder.name[-1].upper()
    if step == "build-store":
        args = (payload(f"{bank}.pub", Kind.PUBLIC_KEY), keys_of(folder / "accounts.csv", BANK_COLUMNS))
        call = kestrova.build_okvs
    elif step == "query":
        table = folder / "transactions.csv"
        args = (keys_of(table, SENDER_COLUMNS), keys_of(table, RECEIVER_COLUMNS), payload("A.store", Kind.STORE),
                payload("B.store", Kind.STORE), payload("W.pub", Kind.PUBLIC_KEY))
        call = kestrova.initiate_queries
    elif step == "randomize":
        args, call = (payload("Q.cts", Kind.QUERY),), kestrova.randomize
    elif step == "combine":
        args, call = (payload("QA.cts", Kind.RANDOMIZED), payload("QB.cts", Kind.RANDOMIZED)), kestrova.combine
    elif step == "decrypt":
        points = ("C.sender", Kind.SENDER) if bank == "A" else ("C.receiver", Kind.RECEIVER)
        args, call = (payload(*points), payload(f"{bank}.key", Kind.SECRET_KEY)), kestrova.decrypt
    else:
        args = (payload("S.dec", Kind.DECRYPTED_SENDER), payload("R.dec", Kind.DECRYPTED_RECEIVER),
                payload("C.gamma", Kind.GAMMA), payload("C.delta", Kind.DELTA), payload("W.key", Kind.SECRET_KEY))
        call = kestrova.finish
    start = cpu()
    call(*args)
    return cpu() - start


def module_call(step: str, folder: Path) -> float:
    """The CPU seconds of the module's call for `step` on the files in `folder`, in a process of its own."""
    done = subprocess.run([sys.executable, __file__, "--module-step", step, "--folder", str(folder)],
                          capture_output=True, text=True)
    if done.returncode:
        sys.exit(f"the module's {step} for {folder.name} failed:\n{done.stderr}")
    return float(done.stdout.strip())


def paired(accounts: int, transactions: int, workdir: Path, module_first: bool) -> tuple:
    """This package's parties and, beside each step, the module's call of it: (parties, module)."""
    import parties as played

    defaults = argparse.ArgumentParser()
    data_arguments(defaults)
    d = defaults.parse_args([])
    spent: dict = {}

    class Paired(played.Run):
        def party(self, who: str, *args: str, batched: bool = False) -> None:
            beside = (args[0], who) in MODULE_STEPS
            if beside and module_first:
                spent[args[0]] = spent.get(args[0], 0.0) + module_call(args[0], self.root / who)
            super().party(who, *args, batched=batched)
            if beside and not module_first:
                spent[args[0]] = spent.get(args[0], 0.0) + module_call(args[0], self.root / who)

    rows = write_tables(workdir, accounts, transactions, d.mix, d.seed)
    run = Paired(workdir, str(d.threads), d.batch)
    played.play(run)
    with contextlib.redirect_stdout(io.StringIO()) as said:
        wrong = check(workdir / "central" / "flags.csv", *rows)
    if wrong:
        sys.exit(f"wrong flags:\n{said.getvalue()}")
    steps = {name: wall for name, _, _, _, wall, _ in run.steps}
    return ({"steps": steps, "wall": sum(steps.values()),
             "cpu": by_kind({name: cpu for name, _, _, _, _, cpu in run.steps})},
            {"steps": spent, "cpu": sum(spent.values())})


def commit_of(checkout: Path) -> str:
    return subprocess.run(["git", "-C", str(checkout), "rev-parse", "--short", "HEAD"],
                          capture_output=True, text=True).stdout.strip()


def summary(rounds: list, modules: list, cores: int) -> dict:
    """Each round's ratios against the module's run of that round, and their medians."""
    ratios = [r["wall"] / (m["cpu"] / cores) for r, m in zip(rounds, modules)]
    per_step = {}
    for kind in modules[0]["steps"]:
        paired = [r["cpu"][kind] / m["steps"][kind] for r, m in zip(rounds, modules) if kind in r["cpu"]]
        if paired:
            per_step[kind] = {"median": statistics.median(paired), "rounds": paired}
    return {"ratio": statistics.median(ratios), "ratios": ratios,
            "wall": statistics.median(r["wall"] for r in rounds), "cpu_ratio": per_step}


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--accounts", type=int, default=1_000_000)
    p.add_argument("--transactions", type=int, default=1_000_000)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--other", type=Path, help="a second checkout to run in the same rounds")
    p.add_argument("--json")
    p.add_argument("--module-step", help=argparse.SUPPRESS)
    p.add_argument("--folder", type=Path, help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.module_step:
        print(module_step(args.module_step, args.folder))
        return 0

    cores = len(os.sched_getaffinity(0))
    out = {"machine": platform.processor() or platform.machine(), "cores": cores, "accounts": args.accounts,
           "transactions": args.transactions, "rounds": args.rounds, "load_before": os.getloadavg()[0]}
    runs = {"this": (sys.executable, ROOT)}
    if args.other:
        runs["other"] = (str(args.other / ".venv" / "bin" / "python"), args.other)
    found: dict = {name: [] for name in list(runs) + ["module"]}
    with tempfile.TemporaryDirectory() as tmp:
        for r in range(args.rounds):
            for name in (list(runs) if r % 2 else list(runs)[::-1]):
                python, checkout = runs[name]
                workdir = Path(tmp) / f"{name}-{r}"
                if name == "this":
                    parts, spent = paired(args.accounts, args.transactions, workdir, module_first=r % 2 == 0)
                    found["this"].append(parts)
                    found["module"].append(spent)
                    print(f"round {r}: module's CPU {spent['cpu']:.1f} s", flush=True)
                else:
                    found[name].append(parties(python, checkout, args.accounts, args.transactions, str(workdir)))
                shutil.rmtree(workdir)
                print(f"round {r}: {name}: steps' wall {found[name][-1]['wall']:.1f} s", flush=True)
    out["module"] = {"runs": found["module"], "cpu": statistics.median(m["cpu"] for m in found["module"]),
                     "steps": {k: statistics.median(m["steps"][k] for m in found["module"])
                               for k in found["module"][0]["steps"]}}
    for name, (_, checkout) in runs.items():
        out[name] = {"commit": commit_of(checkout), "runs": found[name], **summary(found[name], found["module"], cores)}
        print(f"{name}: wall / (module CPU / cores), median {out[name]['ratio']:.2f} of "
              + ", ".join(f"{x:.2f}" for x in out[name]["ratios"]))
        print("  CPU over the module's, per step: " + ", ".join(
            f"{k} {v['median']:.2f} ({', '.join(f'{x:.2f}' for x in v['rounds'])})"
            for k, v in out[name]["cpu_ratio"].items()))
    out["load_after"] = os.getloadavg()[0]
    print(f"load average {out['load_before']:.1f} before, {out['load_after']:.1f} after")
    if args.json:
        Path(args.json).write_text(json.dumps(out, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
