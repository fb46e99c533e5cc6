#!/usr/bin/env python3
"""The parties' steps through the native engine, against the module on bytes.

Three parts, each ratio measured in this one run:

  steps   Per step, the CPU time (user + system, all threads) per item of the
          engine as the tools drive it (rows packed into key bytes, batches of
          --batch items, stores read from files and parsed once) over the module's own cost
          on the same items (one call on bytes). The engine's steps in a row,
          two store builds, query, two randomisations, combine, two
          decryptions and finish, give the end-to-end wall time.
  build   A store build of R rows streamed in batches, in a subprocess: peak
          resident memory over the store's bytes, and its time.
  query   Queries against a store of R rows (held twice, as both sides), in
          a subprocess: transactions per second, system over user time, and
          peak resident memory over the two stores' bytes plus 150 MB.

    python bench/python/parties.py [--rows 1000000] [--transactions 1000000] [--batch 10000]
                                   [--large-rows 10000000] [--skip-steps] [--json FILE]

--large-rows adds the build and query parts at that size (10^7 rows take
minutes per store).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time

import kestrova
from kestrova_protocol import engine

SEP = "\x1f"


def bank(prefix: str, start: int, stop: int):
    return [f"{prefix}{i:010d}{SEP}Zoë Nowak {i}{SEP}ALPHNL2A" for i in range(start, stop)]


def peak():  # VmHWM: ru_maxrss also counts the parent's memory at the spawn
    return int(next(l for l in open("/proc/self/status") if l.startswith("VmHWM")).split()[1]) * 1024


def usage():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime, r.ru_stime, time.perf_counter()


def since(start):
    u, s, w = usage()
    return {"user": u - start[0], "sys": s - start[1], "wall": w - start[2]}


def batches(items, size):
    for i in range(0, len(items), size):
        yield items[i:i + size]


def write_store(public_key: bytes, keys, path: str, expected_rows: int) -> dict:
    """A store over batches of packed keys, written to `path` as the command writes it."""
    builder = engine.StoreBuilder(public_key, expected_rows)
    for packed in keys:
        builder.add(packed)
    with open(path, "wb") as out:
        return builder.write(out.fileno())


def read_store(path: str) -> engine.Store:
    """A store file held in memory and parsed once, as the command's query holds it."""
    with open(path, "rb") as f:
        return engine.parse_store(f.read())


def build_with_engine(public_key: bytes, rows, path: str, batch: int):
    return write_store(public_key, (engine.pack_keys([r.encode() for r in b]) for b in batches(rows, batch)), path,
                       len(rows))


def steps(args, tmp):
    n, t, size = args.rows, args.transactions, args.batch
    keys = {p: tuple(bytes(k) for k in kestrova.key_gen()) for p in "abw"}
    rows_a, rows_b = bank("NL", 0, n), bank("FR", 0, n)
    senders = [rows_a[(7 * i) % n] for i in range(t)]
    # Even transactions match; odd ones have an unknown receiver.
    receivers = [rows_b[(11 * i) % n] if i % 2 == 0 else f"XX{i:010d}" for i in range(t)]
    out = {}

    def measure(name, items, module_call, engine_call):
        start = usage()
        module_result = module_call()
        m = since(start)
        start = usage()
        engine_result = engine_call()
        e = since(start)
        out[name] = {"items": items, "module": m, "engine": e,
                     "cpu_ratio": (e["user"] + e["sys"]) / (m["user"] + m["sys"])}
        return module_result, engine_result

    path_a, path_b = os.path.join(tmp, "a.store"), os.path.join(tmp, "b.store")
    measure("build-store", n, lambda: bytes(kestrova.build_okvs(keys["a"][0], [[r] for r in rows_a])),
            lambda: build_with_engine(keys["a"][0], rows_a, path_a, size))
    start = usage()
    build_with_engine(keys["b"][0], rows_b, path_b, size)
    second_build = since(start)

    def module_query():
        with open(path_a, "rb") as a, open(path_b, "rb") as b:
            store_a, store_b = a.read(), b.read()
        return bytes(kestrova.initiate_queries([[s] for s in senders], [[r] for r in receivers], store_a, store_b,
                                               keys["w"][0]))

    def engine_query():
        a, b = read_store(path_a), read_store(path_b)
        return b"".join(engine.query(engine.pack_keys([s.encode() for s in ss]),
                                     engine.pack_keys([r.encode() for r in rs]), a, b, keys["w"][0])
                        for ss, rs in zip(batches(senders, size), batches(receivers, size)))

    _, queries = measure("query", t, module_query, engine_query)
    step = 128 * size

    def chunked(data, width):
        return (data[i:i + width] for i in range(0, len(data), width))

    _, first = measure("randomize", t, lambda: bytes(kestrova.randomize(queries)),
                       lambda: b"".join(engine.randomize(c) for c in chunked(queries, step)))
    start = usage()
    second = b"".join(engine.randomize(c) for c in chunked(queries, step))
    second_randomize = since(start)

    def engine_combine():
        parts = [engine.combine(x, y) for x, y in zip(chunked(first, step), chunked(second, step))]
        return [b"".join(p[k] for p in parts) for k in range(4)]

    _, (p_s, p_r, gamma, delta) = measure("combine", t, lambda: kestrova.combine(first, second), engine_combine)
    point_step = 32 * size
    _, d_s = measure("decrypt", t, lambda: bytes(kestrova.decrypt(p_s, keys["a"][1])),
                     lambda: b"".join(engine.decrypt(c, keys["a"][1]) for c in chunked(p_s, point_step)))
    start = usage()
    d_r = b"".join(engine.decrypt(c, keys["b"][1]) for c in chunked(p_r, point_step))
    second_decrypt = since(start)

    def engine_finish():
        return b"".join(engine.finish(*c, keys["w"][1]) for c in zip(*(chunked(x, point_step)
                                                                     for x in (d_s, d_r, gamma, delta))))

    module_flags, flags = measure("finish", t, lambda: kestrova.finish(d_s, d_r, gamma, delta, keys["w"][1]),
                                  engine_finish)
    matches = sum(flags)
    assert matches == (t + 1) // 2 and list(flags) == [int(f) for f in module_flags], "wrong flags"
    end_to_end = (sum(out[s]["engine"]["wall"] for s in out) + second_build["wall"] + second_randomize["wall"]
                  + second_decrypt["wall"])
    return {"per_step": out, "end_to_end_wall": end_to_end, "matches": matches}


BUILD = """
import json, resource, sys, time
sys.path.insert(0, sys.argv[4])
import kestrova
from kestrova_protocol import engine
from parties import bank, peak, write_store
n, path, batch = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
pk = bytes(kestrova.key_gen()[0])
start = time.perf_counter()
# Rows made batch by batch, as the command reads a table: none are held beside the builder's keys.
counts = write_store(pk, (engine.pack_keys([r.encode() for r in bank(path[-1], s, min(n, s + batch))])
                         for s in range(0, n, batch)), path, n)
print(json.dumps({"rows": n, "seconds": time.perf_counter() - start, "store_bytes": counts["bytes"],
                  "peak_rss": peak()}))
"""

QUERY = """
import json, resource, sys, time
sys.path.insert(0, sys.argv[5])
import kestrova
from kestrova_protocol import engine
from parties import bank, batches, peak, read_store
path_a, path_b, n, t = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
w_pk = bytes(kestrova.key_gen()[0])
size = 10000
senders = [bank("a", (7919 * i) % n, (7919 * i) % n + 1)[0].encode() for i in range(t)]
receivers = [bank("a", (104729 * i) % n, (104729 * i) % n + 1)[0].encode() for i in range(t)]
r0 = resource.getrusage(resource.RUSAGE_SELF)
start = time.perf_counter()
a, b = read_store(path_a), read_store(path_b)
with open(path_a + ".q", "wb") as out:
    for ss, rs in zip(batches(senders, size), batches(receivers, size)):
        out.write(engine.query(engine.pack_keys(ss), engine.pack_keys(rs), a, b, w_pk))
stores = a.nbytes + b.nbytes
seconds = time.perf_counter() - start
r1 = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps({"rows": n, "transactions": t, "per_second": t / seconds, "user": r1.ru_utime - r0.ru_utime,
                  "sys": r1.ru_stime - r0.ru_stime, "stores_bytes": stores, "peak_rss": peak()}))
"""


def child(code, *argv):
    here = os.path.dirname(os.path.abspath(__file__))
    done = subprocess.run([sys.executable, "-c", code, *map(str, argv), here], check=True, capture_output=True,
                          text=True)
    return json.loads(done.stdout)


def scale(rows, transactions, batch, tmp):
    # One store serves as both sides: its size is what is measured, and one build of 10^7 rows takes long enough.
    a = os.path.join(tmp, f"{rows}.a")
    build = child(BUILD, rows, a, batch)
    q = child(QUERY, a, a, rows, transactions)
    for p in (a, a + ".q"):
        os.unlink(p)
    return {"build": build, "query": q}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--transactions", type=int, default=1_000_000)
    parser.add_argument("--batch", type=int, default=10_000)
    parser.add_argument("--large-rows", type=int, default=0)
    parser.add_argument("--query-transactions", type=int, default=200_000)
    parser.add_argument("--skip-steps", action="store_true", help="only the build and query parts")
    parser.add_argument("--json")
    args = parser.parse_args()
    report = {"processor": platform.processor() or platform.machine(), "load": os.getloadavg()}
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            report["processor"] = line.split(":", 1)[1].strip()
            break
    with tempfile.TemporaryDirectory() as tmp:
        if not args.skip_steps:
            report["steps"] = steps(args, tmp)
        report["scale"] = {str(args.rows): scale(args.rows, args.query_transactions, args.batch, tmp)}
        if args.large_rows:
            report["scale"][str(args.large_rows)] = scale(args.large_rows, args.query_transactions, args.batch, tmp)
    report["load_after"] = os.getloadavg()

    print(f"{report['processor']}; load {report['load'][0]:.2f} before, {report['load_after'][0]:.2f} after")
    for name, s in report.get("steps", {}).get("per_step", {}).items():
        if name == "build-store":
            print(f"{'step':12} {'items':>9} {'module CPU/item':>16} {'engine CPU/item':>16} {'ratio':>6} "
                  f"{'sys/user':>9}")
        m, e = s["module"], s["engine"]
        print(f"{name:12} {s['items']:9} {1e6 * (m['user'] + m['sys']) / s['items']:13.1f} us "
              f"{1e6 * (e['user'] + e['sys']) / s['items']:13.1f} us {s['cpu_ratio']:6.2f} "
              f"{e['sys'] / max(e['user'], 1e-9):9.3f}")
    if "steps" in report:
        print(f"end to end through the engine: {report['steps']['end_to_end_wall']:.1f} s wall, "
              f"{report['steps']['matches']} matches")
    base = None
    for rows, s in report["scale"].items():
        b, q = s["build"], s["query"]
        base = base or q["per_second"]
        print(f"{rows} rows: build {b['seconds']:.1f} s, peak {b['peak_rss'] / 2**20:.0f} MiB = "
              f"{b['peak_rss'] / b['store_bytes']:.2f} x store; query {q['per_second']:.0f}/s "
              f"({q['per_second'] / base:.2f} of the first size), sys/user {q['sys'] / q['user']:.3f}, "
              f"peak {q['peak_rss'] / (q['stores_bytes'] + 150e6):.2f} x (stores + 150 MB)")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)


if __name__ == "__main__":
    main()
