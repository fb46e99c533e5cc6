#!/usr/bin/env python3
"""query and randomize killed with SIGKILL at random moments, resumed, and checked against a run left alone.

Two banks of --accounts accounts, --transactions transactions of which about
a third match. Each step is started, killed after a random time (between 1 s and a
(--kills + 1)-th of the uninterrupted run's length, so that every kill finds work left; checkpoints every second), started again with --resume, ... --kills times,
then left to finish with --resume. The flags at the end of the protocol from
the resumed file must equal those from the uninterrupted one (both steps draw
randomness, so the files themselves differ).

    python bench/python/kill_resume.py --folder DIR [--accounts 1000] [--transactions 200000] [--kills 5] [--json FILE]
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import random
import signal
import subprocess
import sys
import time

PARTY = [sys.executable, "-m", "kestrova_protocol"]
# A checkpoint every second, so that kills a few seconds apart each leave one.
os.environ["KESTROVA_CHECKPOINT_SECONDS"] = "1"


def run(folder, *args):
    quiet = [] if args[0] == "keygen" else ["--quiet"]
    done = subprocess.run([*PARTY, *map(str, args), *quiet], cwd=folder, capture_output=True, text=True)
    if done.returncode:
        raise SystemExit(f"{args[0]}: {done.stderr}")
    return done.stderr


def checkpointed(folder, out):
    states = glob.glob(os.path.join(folder, f".{out}.*.state.part"))
    if not states:
        return 0
    try:
        with open(states[0]) as f:
            return json.load(f)["items"]
    except (OSError, ValueError):
        return -1


def killed_and_resumed(folder, args, out, length, kills, rng):
    """Returns the items checkpointed before each kill."""
    seen = []
    for k in range(kills):
        extra = ["--resume"] if k else []
        process = subprocess.Popen([*PARTY, *args, "--quiet", *extra], cwd=folder, stderr=subprocess.DEVNULL)
        # Each kill within a share of the whole run, so that work is left for every kill.
        time.sleep(rng.uniform(1.0, max(1.0, length / (kills + 1))))
        if process.poll() is not None:
            seen.append("finished")
            return seen
        process.send_signal(signal.SIGKILL)
        process.wait()
        seen.append(checkpointed(folder, out))
    run(folder, *args, "--resume")
    return seen


def flags(folder, queries, randomized=None, times=None):
    """The protocol's flags from `queries`; bank A's randomisation is `randomized` where given, and bank
    B's is the QB.cts already in the folder then (made from the same queries). `times` gets each step's
    seconds."""
    steps = []
    if randomized is None:
        steps += [("randomize", "--in", queries, "--out", "QA.cts", "--force"),
                  ("randomize", "--in", queries, "--out", "QB.cts", "--force")]
    steps += [("combine", "--in", randomized or "QA.cts", "QB.cts", "--out-prefix", "C", "--force"),
              ("decrypt", "--secret-key", "A.key", "--in", "C.sender", "--out", "S.dec", "--force"),
              ("decrypt", "--secret-key", "B.key", "--in", "C.receiver", "--out", "R.dec", "--force"),
              ("finish", "--secret-key", "W.key", "--sender", "S.dec", "--receiver", "R.dec", "--gamma",
               "C.gamma", "--delta", "C.delta", "--out", "flags.csv", "--force")]
    for step in steps:
        start = time.monotonic()
        run(folder, *step)
        if times is not None:
            times.setdefault(step[0], time.monotonic() - start)
    with open(os.path.join(folder, "flags.csv")) as f:
        return f.read()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folder", required=True)
    parser.add_argument("--accounts", type=int, default=1000)
    parser.add_argument("--transactions", type=int, default=200_000)
    parser.add_argument("--kills", type=int, default=5)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--json", metavar="FILE", help="write the report here too")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    folder = os.path.abspath(args.folder)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "a.csv"), "w") as f:
        f.write("account\n" + "".join(f"NL{i}\n" for i in range(args.accounts)))
    with open(os.path.join(folder, "b.csv"), "w") as f:
        f.write("account\n" + "".join(f"FR{i}\n" for i in range(args.accounts)))
    with open(os.path.join(folder, "tx.csv"), "w") as f:
        f.write("from,to\n" + "".join(f"NL{rng.randrange(3 * args.accounts)},FR{rng.randrange(args.accounts)}\n"
                                      for _ in range(args.transactions)))
    for name in ("A", "B", "W"):
        run(folder, "keygen", "--out", name, "--force")
    run(folder, "build-store", "--public-key", "A.pub", "--rows", "a.csv", "--columns", "account", "--out",
        "A.store", "--force")
    run(folder, "build-store", "--public-key", "B.pub", "--rows", "b.csv", "--columns", "account", "--out",
        "B.store", "--force")
    query = ["query", "--sender-store", "A.store", "--receiver-store", "B.store", "--central-key", "W.pub",
             "--transactions", "tx.csv", "--sender-columns", "from", "--receiver-columns", "to"]
    report = {"transactions": args.transactions, "load_before": os.getloadavg()}
    start = time.monotonic()
    run(folder, *query, "--out", "Q.cts", "--force")
    times = {"query": time.monotonic() - start}
    expected = flags(folder, "Q.cts", times=times)
    report["matches"] = expected.count("true")
    # randomize first, while bank B's QB.cts of the same queries is still there: bank A's copy killed
    # and resumed, combined with bank B's as it was
    report["randomize_kills"] = killed_and_resumed(folder, ["randomize", "--in", "Q.cts", "--out", "QAx.cts"],
                                                   "QAx.cts", times["randomize"], args.kills, rng)
    report["randomize_flags_equal"] = flags(folder, "Q.cts", randomized="QAx.cts") == expected
    report["query_kills"] = killed_and_resumed(folder, [*query, "--out", "Q2.cts"], "Q2.cts", times["query"],
                                               args.kills, rng)
    report["query_flags_equal"] = flags(folder, "Q2.cts") == expected
    report["leftovers"] = sorted(n for n in os.listdir(folder) if n.endswith(".part"))
    report["load_after"] = os.getloadavg()
    text = json.dumps(report, indent=1)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
