#!/usr/bin/env python3
"""query against small and large stores, in one run: lookups per second, query throughput, peak memory.

Stores of R rows are made of random cells under a valid header (any bytes
decode to some cell, and a lookup's cost does not depend on what the cells
hold), so a large store costs seconds instead of a build of an hour.

  lookups   engine.lookup of the same keys against each store (held as query
            holds it), interleaved over --rounds rounds: keys per second and
            the large over the small median.
  reading   the large store read as query reads it (until its lookups may start, and until its
            digest is known), against the disk (dd, O_DIRECT), cat and SHA-256 on one core; each
            read starts with the file out of the page cache. --other CHECKOUT reads it as
            that checkout's package does (its .venv's python), in the same rounds.
  query     `kestrova-party query` with two distinct stores of each size, each in
            a subprocess: transactions per second, peak resident memory (VmHWM)
            over the larger store's bytes, and the time spent reading each store.

    python bench/python/query_scale.py --folder DIR [--small 1000000] [--large 10000000]
                                       [--transactions 100000] [--rounds 5] [--other CHECKOUT]
                                       [--json FILE]
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import time

from kestrova_protocol import cli, engine, inputs, lineage, querying
from kestrova_protocol.header import HEADER, Header, Kind
from kestrova_protocol.progress import Report
from kestrova_protocol.steps import Options

QUERY = """
import json, sys
from kestrova_protocol import cli
folder, a, b, n = sys.argv[1:5]
code = cli.main(["query", "--sender-store", f"{folder}/{a}", "--receiver-store", f"{folder}/{b}",
                 "--central-key", f"{folder}/W.pub", "--transactions", f"{folder}/tx{n}.csv",
                 "--sender-columns", "from", "--receiver-columns", "to", "--keying", "plain",
                 "--out", f"{folder}/Q.cts", "--force"])
peak = int(next(l for l in open("/proc/self/status") if l.startswith("VmHWM")).split()[1]) * 1024
print(json.dumps([code, peak]))
"""


def fake_store(path: str, rows: int, key_fp: bytes, seed: int) -> None:
    if os.path.exists(path) and os.path.getsize(path) == HEADER.size + engine.store_bytes(rows):
        return
    size = engine.store_bytes(rows)
    digest = hashlib.sha256()
    with open(path, "wb") as f:
        f.write(bytes(HEADER.size))
        left = size
        block = hashlib.shake_256(seed.to_bytes(8, "little")).digest(1 << 24)
        counter = 0
        while left:
            piece = hashlib.shake_256(block[:64] + counter.to_bytes(8, "little")).digest(min(left, 1 << 24))
            digest.update(piece)
            f.write(piece)
            left -= len(piece)
            counter += 1
        header = Header(Kind.STORE, rows, key=key_fp)
        header.digest = header.payload_digest(digest.digest())
        f.seek(0)
        f.write(header.pack())


def held(path: str):
    """A store held as `query` holds it (its own code), for as long as the context lasts."""
    return querying._held_store(Report("query", quiet=True), inputs.Input(path, (Kind.STORE,)), "", Options())


def lookups(folder: str, small: int, large: int, n: int, rounds: int) -> dict:
    keys = engine.pack_keys([f"NL{i:010d}".encode() for i in range(n)])
    rates = {small: [], large: []}
    with contextlib.ExitStack() as both:
        stores = {size: both.enter_context(held(f"{folder}/S{size}a.store")) for size in (small, large)}
        for _ in range(rounds):
            for size, store in stores.items():
                start = time.perf_counter()
                engine.lookup(keys, store)
                rates[size].append(n / (time.perf_counter() - start))
    ratios = [b / a for a, b in zip(rates[small], rates[large])]
    return {"small_per_s": statistics.median(rates[small]), "large_per_s": statistics.median(rates[large]),
            "ratio_median": statistics.median(ratios), "ratios": ratios}


# A store held as `query` holds it, in a process of its own: seconds until the lookups may start, until
# the digest is checked, and the process's CPU seconds.
HELD = """
import json, resource, sys, time
from kestrova_protocol import inputs, querying
from kestrova_protocol.header import Kind
from kestrova_protocol.progress import Report
from kestrova_protocol.steps import Options
start = time.perf_counter()
with querying._held_store(Report("query", quiet=True), inputs.Input(sys.argv[1], (Kind.STORE,)), "", Options()):
    held = time.perf_counter() - start
usage = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps([held, time.perf_counter() - start, usage.ru_utime + usage.ru_stime]))
"""


def out_of_cache(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def reading(folder: str, size: int, rounds: int, other: str = "") -> dict:
    """A store read as query reads it against the disk's sequential speed (dd with O_DIRECT), cat (through
    the page cache), and SHA-256 on one core (hashlib, in memory); each read begins out of the cache."""
    path = f"{folder}/S{size}b.store"
    pythons = {"query": sys.executable, **({"other": f"{other}/.venv/bin/python"} if other else {})}
    times: dict = {"cat": [], "disk": [], **{f"{k}{part}": [] for k in pythons for part in ("", "_checked", "_cpu")}}
    commands = {"cat": ["cat", path], "disk": ["dd", f"if={path}", "of=/dev/null", "bs=16M", "iflag=direct"]}
    for turn in range(rounds):
        for name, command in commands.items():
            out_of_cache(path)
            start = time.perf_counter()
            subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            times[name].append(time.perf_counter() - start)
        for name, python in list(pythons.items())[::1 if turn % 2 == 0 else -1]:  # either may go first
            out_of_cache(path)
            done = subprocess.run([python, "-c", HELD, path], capture_output=True, text=True, check=True,
                                  cwd="/")
            for part, value in zip(("", "_checked", "_cpu"), json.loads(done.stdout)):
                times[name + part].append(value)
    block = os.urandom(1 << 28)
    start = time.perf_counter()
    hashlib.sha256(block).digest()
    sha_per_s = len(block) / (time.perf_counter() - start)
    medians = {k: statistics.median(v) for k, v in times.items()}
    n = os.path.getsize(path)
    return {"bytes": n, **{f"{k}_s": v for k, v in medians.items()},
            **{f"{k}_per_s": n / v for k, v in medians.items() if not k.endswith("_cpu")},
            "sha256_per_s": sha_per_s,
            "other": other and subprocess.run(["git", "-C", other, "rev-parse", "--short", "HEAD"],
                                              capture_output=True, text=True).stdout.strip()}


def query(folder: str, size: int, n: int) -> dict:
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", QUERY, folder, f"S{size}a.store", f"S{size}b.store", str(n)],
                          capture_output=True, text=True, env={**os.environ, "KESTROVA_PROGRESS_SECONDS": "3600"})
    wall = time.perf_counter() - start
    code, peak = json.loads(done.stdout)
    assert code == 0, done.stderr
    stamps = {text.split(" store")[0]: float(t) for t, text in re.findall(r"\[\s*([\d.]+) s\] (.*)", done.stderr)}
    total = float(re.search(r"in ([\d.]+) s", done.stderr.splitlines()[-1]).group(1))
    store = HEADER.size + engine.store_bytes(size)
    return {"rows": size, "wall_s": wall, "tx_per_s": n / total, "peak_bytes": peak,
            "peak_over_store": peak / store, "peak_minus_store": peak - store,
            "read_sender_s": stamps["sender lookups"] - stamps["reading the sender"],
            "read_receiver_s": stamps["receiver lookups"] - stamps["reading the receiver"],
            "receiver_side_s": total - stamps["receiver lookups"], "store_bytes": store, "phases": stamps}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folder", required=True)
    parser.add_argument("--small", type=int, default=1_000_000)
    parser.add_argument("--large", type=int, default=10_000_000)
    parser.add_argument("--transactions", type=int, default=100_000)
    parser.add_argument("--lookups", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--reading-rounds", type=int, default=3, help="reads of the larger store against dd and cat")
    parser.add_argument("--other", default="", help="a second checkout whose package reads the store too")
    parser.add_argument("--json")
    args = parser.parse_args()
    folder = os.path.abspath(args.folder)
    os.makedirs(folder, exist_ok=True)
    if not os.path.exists(f"{folder}/W.pub"):
        assert cli.main(["keygen", "--out", f"{folder}/W"]) == 0
    key_fp = lineage.fingerprint(inputs.read_whole(f"{folder}/W.pub", Kind.PUBLIC_KEY)[1])
    for size in (args.small, args.large):
        for side, seed in (("a", 1), ("b", 2)):
            fake_store(f"{folder}/S{size}{side}.store", size, key_fp, seed + size)
    tx = f"{folder}/tx{args.transactions}.csv"
    if not os.path.exists(tx):
        with open(tx, "w") as f:
            f.write("from,to\n" + "".join(f"NL{i:010d},FR{i:010d}\n" for i in range(args.transactions)))
    result = {"machine": platform.processor() or platform.machine(), "load_before": os.getloadavg()}
    result["lookups"] = lookups(folder, args.small, args.large, args.lookups, args.rounds)
    result["reading"] = reading(folder, args.large, args.reading_rounds, args.other)
    result["query"] = [query(folder, size, args.transactions) for size in (args.small, args.large)]
    result["query_ratio_large_over_small"] = result["query"][1]["tx_per_s"] / result["query"][0]["tx_per_s"]
    result["load_after"] = os.getloadavg()
    text = json.dumps(result, indent=1)
    print(text)
    if args.json:
        with open(args.json, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
