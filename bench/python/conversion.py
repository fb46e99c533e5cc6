#!/usr/bin/env python3
"""Speed of the byte-vector conversion at the module boundary, both directions.

Input: `decrypt(points, key)` with a 31-byte key converts `points` completely,
then refuses the key before any point is touched, so the time of the call is
the conversion of `points` (plus one fixed per-call cost, also reported).
Every input type carries the same 10^7 bytes, except `range`: a range of byte
values cannot be longer than 256, so it is passed 256 items per call, as many
calls as make up 10^7 items, and that includes the per-call cost each time.

Output: no function returns a list without doing cryptography first, so the
output side is reported as the whole `build_okvs` call (the store comes back
as one int per byte), next to what the interpreter itself needs to make a list
of as many ints from `bytes` (`list(b)`): the first is an upper bound of the
conversion, the second what a list of that size costs at the least.

    python bench/python/conversion.py [--items N] [--json FILE]
"""

from __future__ import annotations

import argparse
import collections.abc
import contextlib
import json
import os
import platform
import sys
import time


class ByteSequence(collections.abc.Sequence):
    """A user's own sequence type: only __getitem__ and __len__."""

    def __init__(self, data: bytes):
        self._data = data

    def __len__(self) -> int:
        return len(self._data)

    def __getitem__(self, index):
        return self._data[index]


@contextlib.contextmanager
def quiet_stderr():
    # Each refused key writes a panic report to stderr; keep it off the terminal.
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(devnull)
        os.close(saved)


def refused_call(kestrova, points, key) -> float:
    t0 = time.perf_counter()
    try:
        kestrova.decrypt(points, key)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # PanicException derives from BaseException
        elapsed = time.perf_counter() - t0
        if "source slice length (31)" not in str(error):
            raise RuntimeError(f"expected the key-length refusal, got {type(error).__name__}: {error}")
        return elapsed
    raise RuntimeError("decrypt accepted a 31-byte key")


def best_of(repeats, fn):
    return min(fn() for _ in range(repeats))


def measure_input(kestrova, items: int, repeats: int):
    key = [0] * 31
    data = bytes(i % 256 for i in range(256)) * (items // 256) + bytes(i % 256 for i in range(items % 256))
    cases = [
        ("bytes", "fast", lambda: data),
        ("bytearray", "fast", lambda: bytearray(data)),
        ("list", "fast", lambda: list(data)),
        ("tuple", "fast", lambda: tuple(data)),
        ("memoryview", "generic", lambda: memoryview(data)),
        ("ByteSequence (Sequence subclass)", "generic", lambda: ByteSequence(data)),
    ]
    try:
        import numpy  # a data team's usual container; its items are numpy scalars
        cases.append(("numpy.ndarray of uint8", "generic", lambda: numpy.frombuffer(data, dtype=numpy.uint8)))
    except ImportError:
        pass
    results = []
    with quiet_stderr():
        per_call = best_of(max(repeats, 20), lambda: refused_call(kestrova, b"", key))
        for name, path, make in cases:
            value = make()
            slow = path == "generic"
            seconds = best_of(1 if slow else repeats, lambda: refused_call(kestrova, value, key))
            results.append({"input": name, "path": path, "items": len(value), "seconds": seconds})
            del value
        small = range(256)
        calls = items // 256

        def all_ranges():
            t0 = time.perf_counter()
            for _ in range(calls):
                refused_call(kestrova, small, key)
            return time.perf_counter() - t0

        results.append({"input": f"range(256) x {calls} calls", "path": "generic", "items": calls * 256,
                        "seconds": best_of(repeats, all_ranges)})
    for r in results:
        r["items_per_second"] = r["items"] / r["seconds"]
        r["ns_per_item"] = 1e9 * r["seconds"] / r["items"]
    return per_call, results


def measure_output(kestrova, target_items: int):
    # A store of n rows has 2072 + 64 * ceil(2.4 n) bytes; pick n for about target_items.
    rows_needed = max(1, (target_items - 2072) // 154)
    rows = [[f"account-{i:09d}", "name"] for i in range(rows_needed)]
    public_key, _ = kestrova.key_gen()
    t0 = time.perf_counter()
    store = kestrova.build_okvs(public_key, rows)
    call = time.perf_counter() - t0
    raw = bytes(store)
    del store
    t0 = time.perf_counter()
    rebuilt = list(raw)
    reference = time.perf_counter() - t0
    del rebuilt
    return {
        "rows": rows_needed,
        "ints": len(raw),
        "build_okvs_seconds": call,
        "build_okvs_ints_per_second": len(raw) / call,
        "list_from_bytes_seconds": reference,
        "list_from_bytes_ints_per_second": len(raw) / reference,
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--items", type=int, default=10_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--json", metavar="FILE", help="write the results here")
    args = parser.parse_args()
    import kestrova

    per_call, inputs = measure_input(kestrova, args.items, args.repeats)
    output = measure_output(kestrova, args.items)
    slowest_fast = min(r["items_per_second"] for r in inputs if r["path"] == "fast")

    print(f"input conversion, {args.items:,} items (decrypt refusing a 31-byte key; "
          f"per-call cost {per_call * 1e6:.1f} us)")
    print(f"  {'input':<34} {'path':<8} {'seconds':>9} {'ns/item':>9} {'Mitems/s':>9}")
    for r in inputs:
        print(f"  {r['input']:<34} {r['path']:<8} {r['seconds']:>9.4f} {r['ns_per_item']:>9.2f} "
              f"{r['items_per_second'] / 1e6:>9.1f}")
    for r in inputs:
        if r["path"] == "generic":
            r["slowest_fast_over_this"] = slowest_fast / r["items_per_second"]
            print(f"  slowest fast path ({slowest_fast / 1e6:.0f} M/s) over {r['input']}: "
                  f"{r['slowest_fast_over_this']:.1f}x (target >= 5x)")
    print(f"output conversion, build_okvs over {output['rows']:,} rows returns {output['ints']:,} ints")
    print(f"  whole call (encryption included): {output['build_okvs_seconds']:.3f} s, "
          f"{output['build_okvs_ints_per_second'] / 1e6:.2f} M ints/s")
    print(f"  list(bytes) of the same size:     {output['list_from_bytes_seconds']:.3f} s, "
          f"{output['list_from_bytes_ints_per_second'] / 1e6:.1f} M ints/s")

    if args.json:
        with open(args.json, "w") as f:
            json.dump({
                "machine": platform.platform(), "python": sys.version.split()[0],
                "cpus": os.cpu_count(), "threads": os.environ.get("RAYON_NUM_THREADS"),
                "time": time.strftime("%Y-%m-%d %H:%M:%S"),
                "load_average": os.getloadavg(), "items": args.items,
                "per_call_seconds": per_call, "input": inputs, "output": output,
            }, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
