#!/usr/bin/env python3
"""Plays the three parties as separate processes through `kestrova-party`.

Each party has its own folder (bank_a, bank_b, central) and only sees the
files it would receive; every step is one `kestrova-party` process run in
that party's folder. The data and the check of every flag against the
plain-text answer come from demo.py; any wrong flag exits 1.

    python examples/parties.py
    python examples/parties.py --accounts 100000 --transactions-count 1000000 --workdir /tmp/run
"""

from __future__ import annotations

import argparse
import json
import resource
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from demo import BANK_COLUMNS, PARTIES, RECEIVER_COLUMNS, SENDER_COLUMNS, check, data_arguments, write_tables  # noqa: E402


def children_cpu() -> float:
    """User and system seconds of the finished child processes so far."""
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def command() -> list:
    script = Path(sys.executable).with_name("kestrova-party")
    return [str(script)] if script.exists() else [sys.executable, "-m", "kestrova_protocol"]


class Run:
    def __init__(self, root: Path, threads: str, batch: int, dask: str = None):
        self.root = root
        self.threads = threads
        self.batch = batch
        self.dask = dask
        self.steps = []

    def party(self, who: str, *args: str, batched: bool = False) -> None:
        extra = ["--log-format", "json"] + ([] if args[0] == "keygen" else ["--threads", self.threads])
        if batched:
            extra += ["--batch", str(self.batch)] + (["--dask", self.dask] if self.dask else [])
        t0, cpu0 = time.perf_counter(), children_cpu()
        done = subprocess.run(command() + list(args) + extra, cwd=self.root / who, capture_output=True, text=True)
        wall, cpu = time.perf_counter() - t0, children_cpu() - cpu0
        if done.returncode:
            sys.exit(f"{who}: kestrova-party {args[0]} failed:\n{done.stderr}")
        # The step's closing summary, one JSON record among its progress records.
        summary = [r for r in map(json.loads, (line for line in done.stderr.splitlines() if line.startswith("{")))
                   if r.get("event") == "done"]
        if not summary:
            sys.exit(f"{who}: kestrova-party {args[0]} logged no closing summary:\n{done.stderr}")
        items, seconds, rate = (summary[-1][k] for k in ("items", "seconds", "rate"))
        self.steps.append((f"{args[0]} ({who})", int(items), seconds, int(rate), wall, cpu))

    def send(self, name: str, source: str, target: str) -> None:
        shutil.copyfile(self.root / source / name, self.root / target / name)


def play(run: Run) -> None:
    """The protocol's steps in order, each in its party's folder, the files passed on between them."""
    columns = ",".join(BANK_COLUMNS)
    run.party("bank_a", "keygen", "--out", "A")
    run.party("bank_b", "keygen", "--out", "B")
    run.party("central", "keygen", "--out", "W")
    run.party("bank_a", "build-store", "--public-key", "A.pub", "--rows", "accounts.csv", "--columns", columns,
              "--out", "A.store")
    run.party("bank_b", "build-store", "--public-key", "B.pub", "--rows", "accounts.csv", "--columns", columns,
              "--out", "B.store")
    run.send("A.store", "bank_a", "central")
    run.send("B.store", "bank_b", "central")
    run.party("central", "query", "--sender-store", "A.store", "--receiver-store", "B.store", "--central-key",
              "W.pub", "--transactions", "transactions.csv", "--sender-columns", ",".join(SENDER_COLUMNS),
              "--receiver-columns", ",".join(RECEIVER_COLUMNS), "--out", "Q.cts", batched=True)
    run.send("Q.cts", "central", "bank_a")
    run.send("Q.cts", "central", "bank_b")
    run.party("bank_a", "randomize", "--in", "Q.cts", "--out", "QA.cts", batched=True)
    run.party("bank_b", "randomize", "--in", "Q.cts", "--out", "QB.cts", batched=True)
    run.send("QA.cts", "bank_a", "central")
    run.send("QB.cts", "bank_b", "central")
    run.party("central", "combine", "--in", "QA.cts", "QB.cts", "--out-prefix", "C", batched=True)
    run.send("C.sender", "central", "bank_a")
    run.send("C.receiver", "central", "bank_b")
    run.party("bank_a", "decrypt", "--secret-key", "A.key", "--in", "C.sender", "--out", "S.dec", batched=True)
    run.party("bank_b", "decrypt", "--secret-key", "B.key", "--in", "C.receiver", "--out", "R.dec", batched=True)
    run.send("S.dec", "bank_a", "central")
    run.send("R.dec", "bank_b", "central")
    run.party("central", "finish", "--secret-key", "W.key", "--sender", "S.dec", "--receiver", "R.dec",
              "--gamma", "C.gamma", "--delta", "C.delta", "--out", "flags.csv",
              "--transactions", "transactions.csv", "--id-column", "tx_id", batched=True)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    data_arguments(p)
    p.add_argument("--dask", metavar="ADDRESS", help="run the batched steps on Dask (e.g. local:2)")
    args = p.parse_args()

    root = Path(args.workdir)
    rows = write_tables(root, args.accounts, args.transactions_count, args.mix, args.seed)
    print(f"parties' folders under {root}/: {', '.join(PARTIES)}; "
          f"{len(rows[0]):,} + {len(rows[1]):,} accounts, {len(rows[2]):,} transactions")

    run = Run(root, str(args.threads), args.batch, args.dask)
    play(run)

    print(f"\n{'step (party)':<26} {'items':>10} {'seconds':>8} {'items/s':>10} {'process s':>10} {'CPU s':>8}")
    for name, items, seconds, rate, wall, cpu in run.steps:
        print(f"{name:<26} {items:>10,} {seconds:>8.2f} {rate:>10,} {wall:>10.2f} {cpu:>8.2f}")

    return check(root / "central" / "flags.csv", *rows)


if __name__ == "__main__":
    sys.exit(main())
