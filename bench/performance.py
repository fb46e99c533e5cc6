#!/usr/bin/env python3
"""Runs the benchmarks and writes docs/performance.md from their figures.

Each benchmark's last run is kept in bench/figures/NAME.json with the commit,
processor, backend and load it ran on; the page is made from those files
alone, so every figure on it says where it came from and none is typed by
hand. Run it from a checkout after `make install` (the benchmarks use the
installed package).

    python bench/performance.py                      # write the page from bench/figures/
    python bench/performance.py --run NAME[,NAME...]  # run those benchmarks first ("all" for every one)
    python bench/performance.py --run all --quick     # smaller sizes, to try the pipeline
    python bench/performance.py --check              # exit 1 if the page is not what the figures give

NAME is one of: functions, end_to_end, parties, query_scale, kill_resume, rules_recall, wheel_parity.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench" / "python"))
from end_to_end import by_kind  # noqa: E402
from wheel_parity import available_backends, processor  # noqa: E402
FIGURES = ROOT / "bench" / "figures"
PAGE = ROOT / "docs" / "performance.md"

# The arguments of each benchmark as the page quotes it, and smaller ones for --quick.
# {folder} is a scratch folder of the run's own.
BENCHMARKS = {
    "functions": ("bench/python/functions.py",
                  "--sizes 100000 --memory-n 0 --repeats 1 --rounds 2 --backends {backends} --json {json}",
                  "--sizes 10000 --memory-n 0 --repeats 1 --rounds 1 --backends {backends} --json {json}"),
    "end_to_end": ("bench/python/end_to_end.py",
                   "--accounts 1000000 --transactions 1000000 --json {json}",
                   "--accounts 20000 --transactions 20000 --json {json}"),
    "parties": ("bench/python/parties.py",
                "--rows 1000000 --transactions 300000 --large-rows 10000000 --query-transactions 100000 "
                "--json {json}",
                "--rows 20000 --transactions 20000 --large-rows 100000 --query-transactions 10000 --json {json}"),
    "query_scale": ("bench/python/query_scale.py",
                    "--folder {folder} --small 1000000 --large 100000000 --transactions 1000000 --reading-rounds 1 "
                    "--json {json}",
                    "--folder {folder} --small 10000 --large 100000 --transactions 10000 --lookups 100000 "
                    "--rounds 2 --json {json}"),
    "kill_resume": ("bench/python/kill_resume.py",
                    "--folder {folder} --accounts 100000 --transactions 10000000 --kills 5 --json {json}",
                    "--folder {folder} --accounts 1000 --transactions 100000 --kills 2 --json {json}"),
    "rules_recall": ("bench/python/rules_recall.py",
                     "--accounts 100000 --transactions 100000 --workdir {folder} --json {json}",
                     "--accounts 5000 --transactions 5000 --workdir {folder} --json {json}"),
    "wheel_parity": ("bench/python/wheel_parity.py",
                     "--work {folder} --repeats 5 --json {json}",
                     "--work {folder} --repeats 1 --rounds 3 --json {json}"),
}

GOALS = {"build_okvs": 0.35, "initiate_queries": 0.40, "randomize": 0.40, "combine": 0.12, "decrypt": 0.10,
         "finish": 0.15}
PER = {"key_gen": "key pair", "build_okvs": "row", "initiate_queries": "transaction", "randomize": "ciphertext",
       "combine": "ciphertext pair", "decrypt": "point", "finish": "transaction"}


# ---- running -------------------------------------------------------------------------------------------------

def commit() -> str:
    head = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True, text=True)
    dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"], cwd=ROOT,
                           capture_output=True, text=True)
    name = head.stdout.strip() or "unknown"
    return name + ("+changes" if dirty.stdout.strip() else "")


def backend() -> str:
    done = subprocess.run([sys.executable, "-c", "from kestrova_protocol import _engine; print(_engine.backend())"],
                          capture_output=True, text=True)
    return done.stdout.strip() or "unknown"


def backends() -> str:
    """Every backend this processor runs, the fastest first (what the engine chooses by default)."""
    return ",".join(available_backends())


def installed_is_current() -> bool:
    """The package the benchmarks import was built from this checkout (the Makefile's own stamp)."""
    return subprocess.run(["make", "-q", "install"], cwd=ROOT, capture_output=True).returncode == 0


def merged(arguments: str, extra: str) -> str:
    """`arguments` with `extra`'s options in place of their defaults, so the page quotes each once."""
    given = shlex.split(extra)
    named = {t for t in given if t.startswith("--")}
    kept, tokens = [], shlex.split(arguments)
    i = 0
    while i < len(tokens):
        if tokens[i] in named:
            i += 2 if i + 1 < len(tokens) and not tokens[i + 1].startswith("--") else 1
            continue
        kept.append(tokens[i])
        i += 1
    return " ".join(kept + given)


def run(name: str, quick: bool, extra: str = "") -> None:
    script, full, small = BENCHMARKS[name]
    arguments = merged(small if quick else full, extra)
    with tempfile.TemporaryDirectory(prefix=f"perf-{name}-") as folder:
        out = os.path.join(folder, "figures.json")
        work = os.path.join(folder, "work")
        given = {"json": out, "folder": work, "backends": backends()}
        argv = shlex.split(arguments.format(**given))
        shown = arguments.format(**{**given, "json": "FILE", "folder": "DIR"})
        record = {"benchmark": name, "command": f"{script} {shown}",
                  "commit": commit(), "processor": processor(), "cores": len(os.sched_getaffinity(0)),
                  "backend": os.environ.get("KESTROVA_BACKEND") or backend(),
                  "started": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
                  "load_before": round(os.getloadavg()[0], 1)}
        print(f"== {name}: {record['command']}", flush=True)
        times = cpu_times()
        done = subprocess.run([sys.executable, str(ROOT / script), *argv], cwd=ROOT)
        if done.returncode:
            raise SystemExit(f"{name} failed (exit {done.returncode}); bench/figures/{name}.json left as it was")
        record["load_after"] = round(os.getloadavg()[0], 1)
        spent = [b - a for a, b in zip(times, cpu_times())]
        if sum(spent):
            record["steal"] = round(spent[7] / sum(spent), 3)
        with open(out) as f:
            record["figures"] = json.load(f)
    FIGURES.mkdir(parents=True, exist_ok=True)
    (FIGURES / f"{name}.json").write_text(json.dumps(record, indent=1) + "\n")


def cpu_times() -> list:
    """The machine's CPU times of /proc/stat (the 8th is steal: what the hypervisor gave to other guests)."""
    with open("/proc/stat") as f:
        return [int(x) for x in f.readline().split()[1:9]]


# ---- the page ------------------------------------------------------------------------------------------------

def load() -> dict:
    found = {}
    for path in sorted(FIGURES.glob("*.json")):
        found[path.stem] = json.loads(path.read_text())
    return found


def provenance(r: dict) -> str:
    return (f"Measured by `{r['command']}` at commit {r['commit']}, {r['started']}, on {r['processor']} "
            f"({r['cores']} cores, the `{r['backend']}` backend), load average {r['load_before']} before and "
            f"{r['load_after']} after" + (f", {r['steal']:.0%} of the CPU time taken by the host for other "
                                            f"guests (steal)" if "steal" in r else "") + ".")


def missing(name: str) -> str:
    return f"Not measured yet: `python bench/performance.py --run {name}`.\n"


def section(title: str, benchmark: str):
    """A section of the page from one benchmark's record, or a line saying how to measure it."""
    def wrap(body):
        def render(figures: dict) -> str:
            r = figures.get(benchmark)
            lines = [f"## {title}\n"] + (body(r) if r is not None else [missing(benchmark)])
            return "\n".join(lines)
        return render
    return wrap


def chosen_backend(r: dict) -> list:
    """The timings of the backend the engine chooses here (the first timed, or the only one)."""
    timings = r["figures"]["timings"]
    first = timings[0].get("backend")
    return [t for t in timings if t.get("backend") == first]


@section("Cost per item", "functions")
def section_functions(r: dict) -> list:
    out = []
    timings = chosen_backend(r)
    n = max(t["n"] for t in timings)
    by = {(t["function"], t["threads"]): t for t in timings if t["n"] == n}
    peer = by[("key_gen", 1)].get("peer_seconds")
    out.append("Each of the module's seven functions at n = {:,}, one worker thread, as a multiple of libsodium's "
               "variable-base multiplication (`crypto_scalarmult_ed25519_noclamp`, timed in the same process between "
               "the runs), with the goal aimed at and the speed-up of two threads over one (wall clock). The best of "
               "each function's runs is kept, so a busy spell on a shared machine costs a round rather than a "
               "figure. {}\n".format(n, provenance(r)))
    if not peer:
        out.append("libsodium was not found in that run, so there is no cost table.\n")
        return out
    out.append(f"libsodium's multiplication took {1e6 * peer[0]:.1f} µs there.\n")
    out.append("| function | per | cost | goal | 2-thread speed-up |\n|---|---|---:|---:|---:|")
    for name, per in PER.items():
        one = by[(name, 1)]
        two = by.get((name, 2))
        speed = f"{one['seconds'] / two['seconds']:.2f}" if two else ""
        goal = f"{GOALS[name]:.2f}" if name in GOALS else ""
        out.append(f"| {name} | {per} | {one['seconds'] / n / peer[0]:.3f} | {goal} | {speed} |")
    out.append("\n`key_gen` runs on the calling thread only, so its speed-up says nothing. A processor without "
               "AVX-512 IFMA runs the AVX2 backend (the serial one only where AVX2 is missing too), which is "
               "slower.\n")
    return out


@section("End to end through `kestrova-party`", "end_to_end")
def section_end_to_end(r: dict) -> list:
    out = []
    f = r["figures"]
    this, module = f["this"], f["module"]

    def rounds(values) -> str:
        return ", ".join(f"{v:.2f}" for v in values)

    out.append(f"`examples/parties.py` plays the three parties with one `kestrova-party` process per step, as "
               f"`make demo` does, on {f['accounts']:,} accounts per bank and {f['transactions']:,} transactions. "
               f"Right beside each step, the module's function of that step runs in a process of its own on the "
               f"very files the step reads, and only its call is timed: before the step in even rounds, after it "
               f"in odd ones, so that the two meet the same load of a shared host. Every figure is the median of "
               f"{f['rounds']} rounds, and a step's ratio pairs it with the module's call beside it. "
               f"{provenance(r)}\n")
    out.append(f"The steps' wall times add up to {this['wall']:.1f} s against the module's {module['cpu']:.1f} s of "
               f"CPU, {module['cpu'] / f['cores']:.1f} s over {f['cores']} cores: **{this['ratio']:.2f}** times the "
               f"module's work spread over every core (rounds: {rounds(this['ratios'])}; 1.0 would be the module on "
               f"every core with nothing else; the goal is 1.05).\n")
    out.append("| step | wall s | CPU s | module CPU s | CPU / module's | rounds |\n|---|---:|---:|---:|---:|---|")
    walls = [by_kind(run["steps"]) for run in this["runs"]]
    for kind in walls[0]:
        wall = statistics.median(w[kind] for w in walls)
        c = [run["cpu"][kind] for run in this["runs"] if kind in run["cpu"]]
        ratio = this["cpu_ratio"].get(kind)
        m = module["steps"].get(kind)
        cells = [f"{wall:.1f}", f"{statistics.median(c):.1f}" if c else "", "" if m is None else f"{m:.1f}",
                 f"{ratio['median']:.2f}" if ratio else "", rounds(ratio["rounds"]) if ratio else ""]
        out.append(f"| {kind} | " + " | ".join(cells) + " |")
    out.append("\nA step's CPU includes starting Python (about 0.1 s), reading its input files and checking their "
               "digests and, in the steps that read a table (`build-store`, `query`, `finish`), importing pyarrow "
               "(about 0.15 s more) and parsing the table (`finish` parses the transactions only for their ids), "
               "which the module's calls, handed their bytes and keys, do not pay; `keygen` has no module step to "
               "compare.\n")
    other = f.get("other")
    if other:
        before = ", ".join(f"{k} {v['median']:.2f}" for k, v in other["cpu_ratio"].items())
        out.append(f"In the same rounds (before this package in even rounds, after it in odd ones), the package "
                   f"of commit {other['commit']} took {other['wall']:.1f} s, "
                   f"**{other['ratio']:.2f}** times the module's work over the cores (rounds: "
                   f"{rounds(other['ratios'])}); CPU over the module's per step: {before}.\n")
    return out


@section("The tools' engine against the module", "parties")
def section_parties(r: dict) -> list:
    out = []
    f = r["figures"]
    out.append(f"Each step as the tools drive the engine (key bytes in batches, stores from files) against the "
               f"module's one call on bytes, on the same items; then store builds streamed in batches and queries "
               f"against one store named as both sides, at two sizes, each in a process of its own. "
               f"{provenance(r)}\n")
    steps = f.get("steps", {}).get("per_step", {})
    if steps:
        out.append("| step | items | module CPU µs/item | engine CPU µs/item | engine / module |\n"
                   "|---|---:|---:|---:|---:|")
        for name, s in steps.items():
            m, e = s["module"], s["engine"]
            out.append(f"| {name} | {s['items']:,} | {1e6 * (m['user'] + m['sys']) / s['items']:.1f} | "
                       f"{1e6 * (e['user'] + e['sys']) / s['items']:.1f} | {s['cpu_ratio']:.2f} |")
        out.append("")
    out.append("| store rows | build s | build peak MiB | peak / store | query tx/s | against the smaller store |\n"
               "|---:|---:|---:|---:|---:|---:|")
    base = None
    for rows, s in f["scale"].items():
        b, q = s["build"], s["query"]
        base = base or q["per_second"]
        out.append(f"| {int(rows):,} | {b['seconds']:.1f} | {b['peak_rss'] / 2**20:,.0f} | "
                   f"{b['peak_rss'] / b['store_bytes']:.2f} | {q['per_second']:,.0f} | {q['per_second'] / base:.2f} |")
    out.append("\nThe build's peak includes the interpreter's own memory, which weighs more in a small store.\n")
    return out


@section("`query` against large stores", "query_scale")
def section_query_scale(r: dict) -> list:
    out = []
    f = r["figures"]
    small, large = f["query"]
    look = f["lookups"]
    out.append(f"Stores of random cells under valid headers (a lookup's cost does not depend on what the cells "
               f"hold), two distinct stores per size, {small['rows']:,} and {large['rows']:,} rows. {provenance(r)}\n")
    out.append("| stores of | query tx/s, whole step | tx/s once the stores were in | peak / one store | "
               "peak − one store MB | reading each store s |\n|---:|---:|---:|---:|---:|---:|")
    after = []
    given = r["command"].split()
    transactions = int(given[given.index("--transactions") + 1]) if "--transactions" in given else 100_000
    for q in (small, large):
        total = transactions / q["tx_per_s"]
        rate = transactions / (total - q["read_sender_s"] - q["read_receiver_s"])
        after.append(rate)
        out.append(f"| {q['rows']:,} rows | {q['tx_per_s']:,.0f} | {rate:,.0f} | {q['peak_over_store']:.3f} | "
                   f"{q['peak_minus_store'] / 1e6:,.0f} | {q['read_sender_s']:.1f}, {q['read_receiver_s']:.1f} |")
    out.append(f"\nOnce the stores were in, `query` ran at **{after[1] / after[0]:.2f}** times its rate against the "
               f"smaller stores (goal 0.8; one run of each size, one after the other, so a change of load between "
               f"them moves this ratio: the bare lookups below alternate). Bare lookups, interleaved rounds: "
               f"{_lookup_line(look)}. {_reading_line(f['reading'])}\n")
    return out


def _reading_line(read: dict) -> str:
    def held(name: str) -> str:
        return (f"the lookups could start after {read[name + '_s']:.1f} s ({read[name + '_per_s'] / 1e9:.2f} GB/s) "
                f"and the digest was checked after {read[name + '_checked_s']:.1f} s, "
                f"{read[name + '_cpu_s']:.1f} s of CPU")
    text = (f"Reading a {read['bytes'] / 1e9:.2f} GB store as `query` does, each read begun with the file out of "
            f"the page cache: {held('query')}, **{read['query_per_s'] / read['disk_per_s']:.2f}** of the disk's "
            f"speed. The disk read at {read['disk_per_s'] / 1e9:.2f} GB/s past the page cache (`dd` with O_DIRECT), "
            f"`cat` at {read['cat_per_s'] / 1e9:.2f} GB/s through it, and SHA-256 ran at "
            f"{read['sha256_per_s'] / 1e9:.2f} GB/s on one core.")
    if read.get("other"):
        text += f" The package of {read['other']}, in the same rounds: {held('other')}."
    return text


def _lookup_line(look: dict) -> str:
    return (f"{look['large_per_s']:,.0f} a second against the larger stores, {look['small_per_s']:,.0f} against "
            f"the smaller, a median ratio of {look['ratio_median']:.2f} (rounds from {min(look['ratios']):.2f} to "
            f"{max(look['ratios']):.2f})")


@section("A step killed and resumed", "kill_resume")
def section_kill_resume(r: dict) -> list:
    out = []
    f = r["figures"]
    out.append(f"`query` and `randomize` of {f['transactions']:,} transactions, each killed with SIGKILL at random "
               f"moments (a checkpoint every second) and started again with `--resume`, then left to finish; the "
               f"flags at the end of the protocol compared with those of a run left alone ({f['matches']:,} "
               f"matches). {provenance(r)}\n")
    out.append("| step | items checkpointed at each kill | flags equal to the run left alone |\n|---|---|---|")
    for step in ("query", "randomize"):
        kills = ", ".join(f"{k:,}" if isinstance(k, int) else str(k) for k in f[f"{step}_kills"])
        out.append(f"| `{step}` | {kills} | {'yes' if f[f'{step}_flags_equal'] else 'NO'} |")
    left = f.get("leftovers") or []
    out.append(f"\nTemporaries left in the folder at the end: {', '.join(left) if left else 'none'}.\n")
    return out


@section("Column rules", "rules_recall")
def section_rules(r: dict) -> list:
    out = []
    f = r["figures"]
    profiles = f["profiles"]
    out.append(f"The whole three-party flow on the payment corpus of `tests/python/rules_corpus.py` "
               f"({f['accounts']:,} accounts per bank, {f['transactions']:,} transactions, seed {f['seed']}) for each "
               f"set of bank columns, the flags compared with the corpus's truth file. Found of the true rows per "
               f"variant; the last rows count the false matches. {provenance(r)}\n")
    names = list(profiles)
    out.append("| variant | " + " | ".join(f"`{profiles[p]['columns']}`" for p in names) + " |")
    out.append("|---|" + "---:|" * len(names))
    variants = list(profiles[names[0]]["variants"])
    totals = {p: [0, 0, 0] for p in names}
    for v in variants:
        cells = []
        for p in names:
            true, found, false = profiles[p]["variants"][v]
            for i, x in enumerate((true, found, false)):
                totals[p][i] += x
            cells.append(f"{100 * found / true:.1f} %" if true else f"{false:,} false")
        out.append(f"| {v} | " + " | ".join(cells) + " |")
    out.append("| all true rows | " + " | ".join(f"{100 * t[1] / t[0]:.1f} % of {t[0]:,}" for t in totals.values())
               + " |")
    out.append("| false matches in all | " + " | ".join(f"{t[2]:,}" for t in totals.values()) + " |")
    base = profiles.get("nfc alone")
    if base:
        # CPU seconds (every thread of the process) drift less than wall time with a shared machine's load.
        kinds = [k for k in ("cpu_seconds", "seconds") if k in base]
        out.append("\nSeconds of " + " and of ".join({"cpu_seconds": "CPU", "seconds": "wall time"}[k] for k in kinds)
                   + " in the same run, against NFC alone (`iban,name`), whole steps through the API in one process:\n")
        heads = [f"{step} ({'CPU' if k == 'cpu_seconds' else 'wall'})" for k in kinds
                 for step in ("build-store (both banks)", "query")]
        out.append("| columns | " + " | ".join(heads) + " |\n|---|" + "---:|" * len(heads))
        for p in names:
            cells = []
            for k in kinds:
                s, b = profiles[p][k], base[k]
                cells += [f"{(s['build-store A'] + s['build-store B']) / (b['build-store A'] + b['build-store B']):.2f}",
                          f"{s['query'] / b['query']:.2f}"]
            out.append(f"| `{profiles[p]['columns']}` | " + " | ".join(cells) + " |")
    merges = f.get("umlaut_merges")
    if merges:
        out.append("\nDistinct names within a bank that meet another only because the e after a, o, u is dropped: "
                   + ", ".join(f"bank {b} {n:,}" for b, n in merges.items()) + ".")
    out.append("")
    return out


@section("The wheel against a source build", "wheel_parity")
def section_wheel(r: dict) -> list:
    out = []
    f = r["figures"]
    out.append(f"The x86-64 wheel as `make wheel` builds it against the source build `pip install .` makes on this "
               f"machine, both loaded in one process per backend, each backend forced, one worker thread, calls "
               f"alternating; medians over {f['repeats']} repeats of {f['rounds']} rounds at n = {f['n']:,}, and "
               f"the ratio's range. Unforced, the source build chose `{f['unforced']['source']}` and the wheel "
               f"`{f['unforced']['wheel']}`. {provenance(r)}\n")
    out.append("| backend | function | source µs/item | wheel µs/item | wheel / source (range) |\n"
               "|---|---|---:|---:|---:|")
    for row in f["rows"]:
        out.append(f"| {row['backend']} | `{row['function']}` | {row['source_us']:.2f} | {row['wheel_us']:.2f} | "
                   f"{row['ratio']:.3f} ({row['ratio_min']:.3f}–{row['ratio_max']:.3f}) |")
    out.append("")
    return out


def header_bytes() -> int:
    from kestrova_protocol.header import HEADER
    return HEADER.size


def store_bytes(rows: int) -> int:
    from kestrova_protocol import engine  # the size rule lives in the engine
    return header_bytes() + engine.store_bytes(rows)


def section_sizing(functions: dict | None) -> str:
    rows, transactions = 10**8, 5 * 10**7
    out = ["## Sizing a network day\n",
           f"A network whose largest banks hold {rows:.0e} accounts, with {transactions:.0e} transactions a day. "
           "Every file but the tables and the flags has a size fixed by its counts (a 200-byte header, then the "
           "bytes of [Byte formats](formats.md)):\n".replace("1e+08", "10^8").replace("5e+07", "5·10^7")]
    try:
        store = store_bytes(rows)
    except ImportError:
        store = None
    cts, point = header_bytes() + 128 * transactions, header_bytes() + 32 * transactions
    spill = 72 * transactions + 30 * transactions
    gb = lambda b: f"{b / 1e9:.2f} GB"  # noqa: E731
    out.append("| file | who keeps it | size |\n|---|---|---:|")
    out.append(f"| a store of 10^8 rows | the bank (built), the central party (queried) | "
               f"{gb(store) if store else 'see formats'} |")
    out.append(f"| `Q.cts`, `QA.cts`, `QB.cts` (128 bytes a transaction) | central party; each bank its own copy | "
               f"{gb(cts)} each |")
    out.append(f"| `C.sender`, `C.receiver`, `C.gamma`, `C.delta`, `S.dec`, `R.dec` (32 bytes) | central party; "
               f"each bank the ones it decrypts | {gb(point)} each |")
    out.append(f"| `query`'s unnamed spill while `query` runs (72 bytes and a receiver's key bytes a transaction) | "
               f"central party | {gb(spill)} with 30-byte keys |")
    if store:
        out.append(f"\nDisk at the peak, beside the tables: a bank needs its store and `randomize`'s input and "
                   f"output, {gb(store + 2 * cts)}; the central party peaks during `query` with both stores, "
                   f"`Q.cts` and the spill, {gb(2 * store + cts + spill)}. Memory: a bank's build about 1.15 times "
                   f"its store, `query` the larger store and 0.5 GB ([the tools' engine](engine.md)).\n")
    if functions:
        timings = functions["figures"]["timings"]
        n = max(t["n"] for t in timings)
        names = list(dict.fromkeys(t.get("backend") for t in timings))
        by = {(t.get("backend"), t["function"]): t for t in timings if t["n"] == n and t["threads"] == 1}
        counts = {"build_okvs": ("`build-store`, per store", rows),
                  "initiate_queries": ("`query`", transactions),
                  "randomize": ("`randomize`, per bank", transactions),
                  "combine": ("`combine`", transactions),
                  "decrypt": ("`decrypt`, per bank", transactions),
                  "finish": ("`finish`", transactions)}
        out.append(f"Time of one core for the day's steps, from the module's CPU per item of the cost run (n = {n:,}, "
                   f"{functions['processor']}, each backend forced); the tools' steps add to it what the "
                   f"end-to-end section shows, and two cores divide it by the speed-ups of the cost table:\n")
        out.append("| step | " + " | ".join(f"`{b or functions['backend']}` µs per item, one core for the day"
                                            for b in names) + " |")
        out.append("|---|" + "---:|" * len(names))
        for name, (label, items) in counts.items():
            cells = []
            for b in names:
                us = 1e6 * by[(b, name)]["cpu_seconds"] / n
                cells.append(f"{us:.1f} µs, {us * items / 1e6 / 3600:,.1f} h")
            out.append(f"| {label} | " + " | ".join(cells) + " |")
        out.append("")
    return "\n".join(out)


def page(figures: dict) -> str:
    parts = [
        "# Performance\n",
        "Every figure on this page is written by `bench/performance.py` from the last run of each benchmark "
        "(kept in `bench/figures/`), with the commit, processor, backend and load of that run; run it again to "
        "measure on your machine. Machines differ (Intel Xeon and AMD EPYC, with and without AVX-512 IFMA), and "
        "on a shared machine only ratios measured in one run carry over. Older figures are in the "
        "[changelog](../CHANGELOG.md#benchmark-history).\n",
        section_functions(figures),
        section_end_to_end(figures),
        section_parties(figures),
        section_query_scale(figures),
        section_kill_resume(figures),
        section_rules(figures),
        section_wheel(figures),
        section_sizing(figures.get("functions")),
        "## Reproducing\n",
        "`python bench/performance.py --run all` runs every benchmark above with the arguments quoted in its "
        "section (an hour or more on two cores: the end-to-end run at 10^6, a store of 10^7 rows and the wheels "
        "are built), and `--run NAME` one of them; `--quick` tries the pipeline at small sizes. `make bench` builds "
        "the C++ benchmarks (Google Benchmark, with libsodium in the same run) and runs `bench/run_all.py`, which "
        "writes JSON under `bench/results/` and plots µs per item against n; those runs are not on this page. "
        "`bench/python/` holds the scripts, each with its own `--help`.\n",
    ]
    return "\n".join(parts).rstrip() + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--run", default="", help="comma-separated benchmarks to run first, or 'all'")
    parser.add_argument("--quick", action="store_true", help="small sizes")
    parser.add_argument("--check", action="store_true", help="only compare the page with what the figures give")
    parser.add_argument("--extra", action="append", default=[], metavar="NAME=ARGS",
                        help="more arguments for one benchmark, recorded with its command "
                             "(e.g. wheel_parity='--wheel dist/W.whl' to time a wheel already built)")
    args = parser.parse_args()
    if args.check:
        if PAGE.read_text() != page(load()):
            print(f"{PAGE.relative_to(ROOT)} is not what bench/figures/ gives: run python bench/performance.py",
                  file=sys.stderr)
            return 1
        return 0
    names = list(BENCHMARKS) if args.run == "all" else [n for n in args.run.split(",") if n]
    extra = dict(e.split("=", 1) for e in args.extra)
    if names and not installed_is_current():
        raise SystemExit("the installed package is older than this checkout: run `make install` first, so that "
                         "the figures are of the commit they are recorded with")
    for name in names:
        if name not in BENCHMARKS:
            raise SystemExit(f"no benchmark {name!r}; one of {', '.join(BENCHMARKS)}")
        run(name, args.quick, extra.get(name, ""))
    PAGE.write_text(page(load()))
    print(f"wrote {PAGE.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
