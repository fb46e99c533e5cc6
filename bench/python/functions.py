#!/usr/bin/env python3
"""Cost per item of each of the seven functions, as Python sees them.

Each thread count runs in its own subprocess (RAYON_NUM_THREADS is read once,
when the worker pool starts). Per size n the protocol runs once through:
n key pairs, two stores of n rows, n transactions (half of them match), two
randomizations, combine, two decryptions, finish; byte lists go from one call
to the next as the module returns them, so argument and result conversion are
part of every figure. Every size is repeated (above 10^4, --repeats times) and
the best run is kept.

Reported: microseconds per item per core (wall seconds x threads / n), the
speed-up of 2 threads over 1, and the CPU time of all threads per item (less
sensitive to other load on a shared machine than the wall clock). key_gen runs on the calling thread
only, so its per-core figure doubles with 2 threads by construction.

Cost model: in the same worker process, libsodium's variable-base
multiplication (crypto_scalarmult_ed25519_noclamp, called through ctypes) is
timed too, and every function's one-thread wall time per item is printed as a
multiple of it, beside the 2-thread speed-up at the largest size.

Peak memory: a fresh subprocess per function at one size loads that
function's inputs from files, resets the peak (/proc/self/clear_refs), makes
the one call and reads VmHWM; the growth over the resident size before the
call is the call's own memory, C++ buffers included.

Backends: --backends serial,avx2 times each function on each forced backend
(KESTROVA_BACKEND in the child), alternating within every round, and prints
each one's CPU time per item over the first one's.

    python bench/python/functions.py [--sizes 1000,10000,100000] [--threads 1,2] [--backends A,B] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time

FUNCTIONS = [
    ("key_gen", "key pair"),
    ("build_okvs", "row"),
    ("initiate_queries", "transaction"),
    ("randomize", "ciphertext"),
    ("combine", "ciphertext pair"),
    ("decrypt", "point"),
    ("finish", "transaction"),
]


def make_data(n: int):
    bank_a = [[f"NL{i:010d}", f"Zoë Nowak {i}", "ALPHNL2A"] for i in range(n)]
    bank_b = [[f"FR{i:010d}", f"Søren Øst {i}", "BRAVFRPP"] for i in range(n)]
    # Even transactions match; odd ones have an unknown receiver.
    senders = [bank_a[(7 * i) % n] for i in range(n)]
    receivers = [bank_b[(11 * i) % n] if i % 2 == 0 else [f"XX{i:010d}", "?", "?"] for i in range(n)]
    return bank_a, bank_b, senders, receivers


def timed(fn, *args):
    """Result, wall seconds and CPU seconds of all the process's threads."""
    t0, c0 = time.perf_counter(), time.process_time()
    result = fn(*args)
    return result, (time.perf_counter() - t0, time.process_time() - c0)


def chain(kestrova, n: int):
    """One run through the protocol; returns seconds per function and the intermediate values."""
    bank_a, bank_b, senders, receivers = make_data(n)
    seconds = {}
    keys, seconds["key_gen"] = timed(lambda: [kestrova.key_gen() for _ in range(n)])
    (pk_a, sk_a), (pk_b, sk_b), (pk_w, sk_w) = keys[0], keys[1 % n], keys[2 % n]
    okvs_a, ta = timed(kestrova.build_okvs, pk_a, bank_a)
    okvs_b, tb = timed(kestrova.build_okvs, pk_b, bank_b)
    seconds["build_okvs"] = min(ta, tb)
    cts, seconds["initiate_queries"] = timed(kestrova.initiate_queries, senders, receivers, okvs_a, okvs_b, pk_w)
    r1, t1 = timed(kestrova.randomize, cts)
    r2, t2 = timed(kestrova.randomize, cts)
    seconds["randomize"] = min(t1, t2)
    (s, r, g, d), seconds["combine"] = timed(kestrova.combine, r1, r2)
    s_dec, t1 = timed(kestrova.decrypt, s, sk_a)
    r_dec, t2 = timed(kestrova.decrypt, r, sk_b)
    seconds["decrypt"] = min(t1, t2)
    flags, seconds["finish"] = timed(kestrova.finish, s_dec, r_dec, g, d, sk_w)
    if flags != [i % 2 == 0 for i in range(n)]:
        raise RuntimeError(f"wrong flags at n={n}")
    values = dict(pk_a=pk_a, sk_a=sk_a, pk_b=pk_b, sk_b=sk_b, pk_w=pk_w, sk_w=sk_w, okvs_a=okvs_a,
                  okvs_b=okvs_b, cts=cts, r1=r1, r2=r2, s=s, r=r, g=g, d=d, s_dec=s_dec, r_dec=r_dec)
    return seconds, values


def libsodium_varbase_seconds(count: int = 2000, repeats: int = 5) -> tuple | None:
    """Best wall and CPU time of one crypto_scalarmult_ed25519_noclamp, or None without libsodium."""
    import ctypes
    import ctypes.util

    name = ctypes.util.find_library("sodium")
    if not name:
        return None
    sodium = ctypes.CDLL(name)
    if sodium.sodium_init() < 0:
        return None
    out = ctypes.create_string_buffer(32)
    scalar = ctypes.create_string_buffer(bytes(range(1, 32)) + b"\x05", 32)
    point = ctypes.create_string_buffer(32)
    sodium.crypto_scalarmult_ed25519_base_noclamp(point, scalar)
    mul = sodium.crypto_scalarmult_ed25519_noclamp
    best = (float("inf"), float("inf"))
    for _ in range(repeats):
        t0, c0 = time.perf_counter(), time.process_time()
        for _ in range(count):
            mul(out, scalar, point)
        wall, cpu = (time.perf_counter() - t0) / count, (time.process_time() - c0) / count
        best = (min(best[0], wall), min(best[1], cpu))
    return best


def worker(sizes, repeats_at_large):
    import kestrova

    threads = int(os.environ["RAYON_NUM_THREADS"])
    # The peer is sampled between the protocol runs and its best kept, as for the
    # functions: one sample taken in a busy moment would skew every ratio.
    peer_samples = []
    results = []
    for n in sizes:
        repeats = 3 if n <= 1000 else 2 if n <= 10_000 else repeats_at_large
        best = {}
        for _ in range(repeats):
            peer_samples.append(libsodium_varbase_seconds())
            seconds, _ = chain(kestrova, n)
            for name, value in seconds.items():
                best[name] = min(best.get(name, value), value)
        for name, item in FUNCTIONS:
            wall, cpu = best[name]
            results.append({"function": name, "item": item, "n": n, "threads": threads, "seconds": wall,
                            "cpu_seconds": cpu, "us_per_item_per_core": 1e6 * wall * threads / n,
                            "cpu_us_per_item": 1e6 * cpu / n})
    peer_samples.append(libsodium_varbase_seconds())
    if None not in peer_samples:
        peer = (min(p[0] for p in peer_samples), min(p[1] for p in peer_samples))
        for r in results:
            r["peer_seconds"] = peer
    json.dump(results, sys.stdout)


# ------------------------------------------------------------ peak memory

BYTE_INPUTS = ["pk_a", "sk_a", "pk_b", "sk_b", "pk_w", "sk_w", "okvs_a", "okvs_b", "cts", "r1", "r2",
               "s", "r", "g", "d", "s_dec", "r_dec"]


def prepare(n: int, folder: str):
    import kestrova

    _, values = chain(kestrova, n)
    for name in BYTE_INPUTS:
        with open(os.path.join(folder, name), "wb") as f:
            f.write(bytes(values[name]))


def status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def memory_probe(name: str, n: int, folder: str):
    import gc

    import kestrova

    def load(key):
        with open(os.path.join(folder, key), "rb") as f:
            return list(f.read())  # held as the module returns it

    bank_a, bank_b, senders, receivers = make_data(n)
    calls = {
        "key_gen": lambda: (kestrova.key_gen, ()),
        "build_okvs": lambda: (kestrova.build_okvs, (load("pk_a"), bank_a)),
        "initiate_queries": lambda: (kestrova.initiate_queries,
                                     (senders, receivers, load("okvs_a"), load("okvs_b"), load("pk_w"))),
        "randomize": lambda: (kestrova.randomize, (load("cts"),)),
        "combine": lambda: (kestrova.combine, (load("r1"), load("r2"))),
        "decrypt": lambda: (kestrova.decrypt, (load("s"), load("sk_a"))),
        "finish": lambda: (kestrova.finish, (load("s_dec"), load("r_dec"), load("g"), load("d"), load("sk_w"))),
    }
    fn, args = calls[name]()
    # The pool's threads exist before the measurement, as in any long-lived process.
    kestrova.decrypt([], [0] * 32)
    gc.collect()
    before = status_kib("VmRSS")
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets VmHWM to the current RSS
        reset = True
    except OSError:
        reset = False
    result = fn(*args)
    peak = status_kib("VmHWM")
    del result
    json.dump({"function": name, "n": n, "rss_before_kib": before, "peak_kib": peak,
               "call_kib": peak - before if reset else None, "peak_reset": reset}, sys.stdout)


# ------------------------------------------------------------ driver


def run_child(args, threads: int, backend: str | None = None):
    """Runs this script in a fresh process with its own pool size; returns what it printed, parsed."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    if backend:
        env["KESTROVA_BACKEND"] = backend
    done = subprocess.run([sys.executable, os.path.abspath(__file__), *args], env=env, check=True,
                          stdout=subprocess.PIPE, text=True)
    return json.loads(done.stdout) if done.stdout.strip() else None


def best_of_rounds(timings):
    """One record per function, size and thread count: the fastest wall and CPU times and peer of all rounds."""
    best = {}
    for r in timings:
        key = (r["function"], r["n"], r["threads"], r.get("backend"))
        if key not in best:
            best[key] = dict(r)
            continue
        b = best[key]
        b["seconds"] = min(b["seconds"], r["seconds"])
        b["cpu_seconds"] = min(b["cpu_seconds"], r["cpu_seconds"])
        if "peer_seconds" in r and "peer_seconds" in b:
            b["peer_seconds"] = tuple(min(x, y) for x, y in zip(b["peer_seconds"], r["peer_seconds"]))
    for (_, n, threads, _), b in best.items():
        b["us_per_item_per_core"] = 1e6 * b["seconds"] * threads / n
        b["cpu_us_per_item"] = 1e6 * b["cpu_seconds"] / n
    return list(best.values())


def print_tables(timings, memory, thread_counts):
    base = min(thread_counts)
    by_key = {(r["function"], r["n"], r["threads"]): r for r in timings}
    sizes = sorted({r["n"] for r in timings})
    # (heading, width, value of a (function, n) row) per column, in print order.
    columns = [(f"{t}T us/item/core", 18, lambda k, t=t: by_key[(*k, t)]["us_per_item_per_core"])
               for t in thread_counts]
    columns += [(f"speed-up {t}T", 12, lambda k, t=t: by_key[(*k, base)]["seconds"] / by_key[(*k, t)]["seconds"])
                for t in thread_counts if t != base]
    columns += [(f"{t}T CPU us/item", 16, lambda k, t=t: by_key[(*k, t)]["cpu_us_per_item"]) for t in thread_counts]
    print(f"{'function':<17} {'per':<16} {'n':>7}" + "".join(f" {head:>{width}}" for head, width, _ in columns))
    for name, item in FUNCTIONS:
        for n in sizes:
            print(f"{name:<17} {item:<16} {n:>7,}"
                  + "".join(f" {value((name, n)):>{width}.2f}" for _, width, value in columns))
    print_cost_model(by_key, sizes, thread_counts)
    if memory:
        print(f"\npeak memory, one call at n = {memory[0]['n']:,} "
              f"({memory[0]['threads']} threads; fresh process per function)")
        print(f"{'function':<17} {'RSS before MiB':>15} {'peak MiB':>9} {'call MiB':>9}")
        for m in memory:
            call = f"{m['call_kib'] / 1024:.1f}" if m["call_kib"] is not None else "n/a"
            print(f"{m['function']:<17} {m['rss_before_kib'] / 1024:>15.1f} {m['peak_kib'] / 1024:>9.1f} {call:>9}")


def print_cost_model(by_key, sizes, thread_counts):
    """One-thread cost per item over libsodium's variable-base multiplication, and the 2-thread speed-up."""
    if 1 not in thread_counts:
        return
    n = max(sizes)
    peer = by_key[(FUNCTIONS[0][0], n, 1)].get("peer_seconds")
    if not peer:
        print("\nno libsodium found: no cost model")
        return
    print(f"\ncost per item at n = {n:,}, one worker thread, as a multiple of libsodium's variable-base "
          f"multiplication ({1e6 * peer[0]:.1f} us wall, {1e6 * peer[1]:.1f} us CPU in the same run)")
    head = f"{'function':<17} {'per':<16} {'x lib (wall)':>12} {'x lib (CPU)':>12}"
    if 2 in thread_counts:
        head += f" {'2T speed-up':>12}"
    print(head)
    for name, item in FUNCTIONS:
        one = by_key[(name, n, 1)]
        line = f"{name:<17} {item:<16} {one['seconds'] / n / peer[0]:>12.3f} {one['cpu_seconds'] / n / peer[1]:>12.3f}"
        if 2 in thread_counts:
            line += f" {one['seconds'] / by_key[(name, n, 2)]['seconds']:>12.2f}"
        print(line)


def print_backend_ratios(timings, backends, thread_counts):
    """CPU time per item of each backend over the first, per function, size and thread count."""
    by_key = {(r["function"], r["n"], r["threads"], r["backend"]): r for r in timings}
    sizes = sorted({r["n"] for r in timings})
    first = backends[0]
    print(f"\nCPU time per item over {first}'s (wall-clock ratio in brackets)")
    head = f"{'function':<17} {'n':>7} {'threads':>7}"
    for b in backends[1:]:
        head += f" {b + ' / ' + first:>22}"
    print(head)
    for name, _ in FUNCTIONS:
        for n in sizes:
            for t in thread_counts:
                base = by_key[(name, n, t, first)]
                line = f"{name:<17} {n:>7,} {t:>7}"
                for b in backends[1:]:
                    r = by_key[(name, n, t, b)]
                    line += f" {r['cpu_seconds'] / base['cpu_seconds']:>13.3f} ({r['seconds'] / base['seconds']:.3f})"
                print(line)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="1000,10000,100000")
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--memory-n", type=int, default=100_000, help="0 skips the memory measurement")
    parser.add_argument("--memory-threads", type=int, default=2)
    parser.add_argument("--json", metavar="FILE")
    parser.add_argument("--rounds", type=int, default=1,
                        help="alternate the thread counts this many times, the best of each kept: "
                             "a busy spell then hits one round, not one thread count")
    parser.add_argument("--repeats", type=int, default=2,
                        help="protocol runs per size above 10^4, the best kept (as for the peer)")
    parser.add_argument("--backends", default="",
                        help="comma-separated KESTROVA_BACKEND values to compare (default: the chosen one only)")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--prepare", metavar="DIR", help=argparse.SUPPRESS)
    parser.add_argument("--probe", metavar="FUNCTION", help=argparse.SUPPRESS)
    args = parser.parse_args()
    sizes = [int(x) for x in args.sizes.split(",")]
    thread_counts = [int(x) for x in args.threads.split(",")]

    if args.worker:
        worker(sizes, args.repeats)
        return 0
    if args.prepare and not args.probe:
        prepare(args.memory_n, args.prepare)
        return 0
    if args.probe:
        memory_probe(args.probe, args.memory_n, args.prepare)
        return 0

    print(f"load average before: {' '.join(f'{x:.2f}' for x in os.getloadavg())}", file=sys.stderr)
    backends = [b for b in args.backends.split(",") if b] or [None]
    timings = []
    for round_ in range(args.rounds):
        for threads in thread_counts:
            for backend in backends:
                print(f"round {round_ + 1} of {args.rounds}: timing with {threads} thread(s)"
                      + (f" on {backend}" if backend else "") + " ...", file=sys.stderr, flush=True)
                records = run_child(["--worker", "--sizes", args.sizes, "--repeats", str(args.repeats)], threads,
                                    backend)
                for r in records:
                    r["backend"] = backend
                timings += records
    timings = best_of_rounds(timings)
    memory = []
    if args.memory_n:
        print(f"peak memory at n = {args.memory_n:,} ...", file=sys.stderr, flush=True)
        with tempfile.TemporaryDirectory() as folder:
            common = ["--memory-n", str(args.memory_n), "--prepare", folder]
            run_child(common, args.memory_threads)
            for name, _ in FUNCTIONS:
                m = run_child(common + ["--probe", name], args.memory_threads)
                m["threads"] = args.memory_threads
                memory.append(m)
    for backend in backends:
        if backend:
            print(f"\n==== KESTROVA_BACKEND={backend}")
        # Memory is measured on the default choice, printed once.
        print_tables([r for r in timings if r["backend"] == backend], memory if backend == backends[0] else [],
                     thread_counts)
    if len(backends) > 1:
        print_backend_ratios(timings, backends, thread_counts)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": platform.platform(), "python": sys.version.split()[0], "cpus": os.cpu_count(),
                       "time": time.strftime("%Y-%m-%d %H:%M:%S"),
                       "load_average_after": os.getloadavg(), "timings": timings, "memory": memory}, f,
                      indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
