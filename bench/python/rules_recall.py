#!/usr/bin/env python3
"""Recall of the column rules: the whole three-party flow on a corpus of payment variations.

For each set of columns, two stores, query, two randomisations, combine, two decryptions and
finish run on the corpus of tests/python/rules_corpus.py; the flags are compared with its truth
file, per variant: true rows, found, false matches. Also the rows each bank's own table merges
under the rules (build-store's count), the names alone that `name` merges in a bank, and the
seconds of build-store and query per set of columns (wall, and CPU of every thread), in this one run.

    python bench/python/rules_recall.py [--accounts 100000] [--transactions 100000] [--workdir DIR] [--json FILE]
"""

from __future__ import annotations

import argparse
import collections
import csv
import json
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "python"))

import rules_corpus  # noqa: E402

PROFILES = {
    "nfc alone": ("iban,name", "sender_iban,sender_name", "receiver_iban,receiver_name"),
    "compact+casefold / trim+casefold": ("iban:compact+casefold,name:trim+casefold", "sender_iban,sender_name",
                                         "receiver_iban,receiver_name"),
    "iban / name": ("iban:iban,name:name", "sender_iban,sender_name", "receiver_iban,receiver_name"),
    "iban / name+words": ("iban:iban,name:name+words", "sender_iban,sender_name", "receiver_iban,receiver_name"),
}


def run(folder: Path, bank_columns: str, sender: str, receiver: str, batch: int):
    import kestrova_protocol as kp
    from kestrova_protocol.keying import parse_columns
    options = kp.Options(batch=batch, quiet=True, force=True)
    for name in ("A", "B", "W"):
        kp.keygen(str(folder / name), options)
    seconds, cpu = {}, {}  # wall and CPU (every thread of this process) per step
    built = {}
    for name, table in (("A", "bank_a.csv"), ("B", "bank_b.csv")):
        start, start_cpu = time.perf_counter(), time.process_time()
        built[name] = kp.build_store(str(folder / f"{name}.pub"), str(folder / table), parse_columns(bank_columns),
                                     str(folder / f"{name}.store"), options=options,
                                     merged=str(folder / f"{name}.merged.csv"))
        seconds[f"build-store {name}"] = time.perf_counter() - start
        cpu[f"build-store {name}"] = time.process_time() - start_cpu
    start, start_cpu = time.perf_counter(), time.process_time()
    queried = kp.query(str(folder / "A.store"), str(folder / "B.store"), str(folder / "W.pub"),
                       str(folder / "transactions.csv"), parse_columns(sender), parse_columns(receiver),
                       str(folder / "Q.cts"), options=options)
    seconds["query"] = time.perf_counter() - start
    cpu["query"] = time.process_time() - start_cpu
    kp.randomize(str(folder / "Q.cts"), str(folder / "QA.cts"), options)
    kp.randomize(str(folder / "Q.cts"), str(folder / "QB.cts"), options)
    kp.combine(str(folder / "QA.cts"), str(folder / "QB.cts"), str(folder / "C"), options)
    kp.decrypt(str(folder / "A.key"), str(folder / "C.sender"), str(folder / "S.dec"), options=options)
    kp.decrypt(str(folder / "B.key"), str(folder / "C.receiver"), str(folder / "R.dec"), options=options)
    kp.finish(str(folder / "W.key"), str(folder / "S.dec"), str(folder / "R.dec"), str(folder / "C.gamma"),
              str(folder / "C.delta"), str(folder / "flags.csv"), transactions_path=str(folder / "transactions.csv"),
              id_column="tx", options=options)
    with open(folder / "flags.csv", newline="", encoding="utf-8") as f:
        flags = {row["tx"]: row["match"] == "true" for row in csv.DictReader(f)}
    return flags, built, queried, seconds, cpu


def table(flags, truth):
    counts = collections.defaultdict(lambda: [0, 0, 0])  # true rows, found, false matches
    for tx, variant, _, true in truth:
        if true == "true":
            counts[variant][0] += 1
            counts[variant][1] += flags[tx]
        else:
            counts[variant][2] += flags[tx]
    return counts


def name_merges(rows, rules):
    """Distinct names of a bank that share their key under `rules` with another name, and examples."""
    import pyarrow as pa
    import pyarrow.compute as pc
    from kestrova_protocol.keying import normalise_column
    names = pa.array(sorted({name for _, name in rows}))
    keyed = pa.table({"name": names, "key": normalise_column(names, rules)})
    groups = keyed.group_by("key").aggregate([("name", "list")])
    shared = [names for names in groups.column("name_list").to_pylist() if len(names) > 1]
    return len(names), sum(len(s) for s in shared), sorted(shared, key=len, reverse=True)[:8]


def umlaut_merges(rows):
    """Distinct names that `name` keys alike only because "ue", "oe", "ae" lose their e."""
    import pyarrow as pa
    from kestrova_protocol import normalise
    names = pa.array(sorted({name for _, name in rows}))
    keyed = normalise.normalise_column(names, ("name",)).to_pylist()
    fold = normalise.umlaut_flag
    normalise.umlaut_flag = lambda rules: 0
    try:
        unfolded = normalise.normalise_column(names, ("name",)).to_pylist()
    finally:
        normalise.umlaut_flag = fold
    groups = collections.defaultdict(set)
    for name, key, key_unfolded in zip(names.to_pylist(), keyed, unfolded):
        groups[key].add((key_unfolded, name))
    merged = [sorted(n for _, n in g) for g in groups.values() if len({k for k, _ in g}) > 1]
    return sum(len(m) for m in merged), merged[:6]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--accounts", type=int, default=100_000)
    parser.add_argument("--transactions", type=int, default=100_000)
    parser.add_argument("--batch", type=int, default=10_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--profiles", default=",".join(PROFILES), help="comma-separated names of PROFILES")
    parser.add_argument("--workdir", type=Path)
    parser.add_argument("--json", type=Path, help="write the figures here too")
    args = parser.parse_args()
    workdir = args.workdir or Path(tempfile.mkdtemp(prefix="rules-recall-"))
    bank_a, bank_b, tx_rows, truth = rules_corpus.make(args.accounts, args.transactions, args.seed)
    rules_corpus.write(workdir, args.accounts, args.transactions, args.seed)
    print(f"corpus: {args.accounts:,} accounts per bank, {args.transactions:,} transactions, seed {args.seed}, "
          f"in {workdir}")
    results = {}
    report = {"accounts": args.accounts, "transactions": args.transactions, "seed": args.seed}
    for profile in args.profiles.split(","):
        bank_columns, sender, receiver = PROFILES[profile]
        flags, built, queried, seconds, cpu = run(workdir, bank_columns, sender, receiver, args.batch)
        results[profile] = table(flags, truth), built, queried, seconds, cpu
        print(f"\n--columns {bank_columns}: " + ", ".join(f"{k} {v:.2f} s ({cpu[k]:.2f} s CPU)"
                                                      for k, v in seconds.items()))
        print(f"  bank A: {built['A']['merged']:,} distinct rows merged, {built['A']['invalid_ibans']:,} invalid "
              f"IBANs; bank B: {built['B']['merged']:,}, {built['B']['invalid_ibans']:,}; transactions with an "
              f"invalid IBAN: {queried.get('invalid_ibans', 0):,}")
    variants = list(rules_corpus.VARIANTS)
    print("\n| variant | " + " | ".join(f"{p}: found of true (false)" for p in results) + " |")
    print("|---|" + "---:|" * len(results))
    for variant in variants:
        cells = []
        for counts, *_ in results.values():
            true, found, false = counts[variant]
            cells.append(f"{found:,} / {true:,} ({100 * found / true:.1f} %), {false}" if true
                         else f"false matches: {false}")
        print(f"| {variant} | " + " | ".join(cells) + " |")
    for profile, (counts, *_) in results.items():
        true = sum(c[0] for c in counts.values())
        found = sum(c[1] for c in counts.values())
        false = sum(c[2] for c in counts.values())
        print(f"{profile}: {found:,} of {true:,} true rows found ({100 * found / true:.1f} %), {false:,} false matches")
    if "nfc alone" in results:
        for what, at in (("wall", 3), ("CPU", 4)):
            base = results["nfc alone"][at]
            for profile, figures in results.items():
                s = figures[at]
                print(f"{profile}, {what}: build-store {(s['build-store A'] + s['build-store B']) / (base['build-store A'] + base['build-store B']):.3f}, "
                      f"query {s['query'] / base['query']:.3f} times nfc alone")
    for bank, rows in (("A", bank_a), ("B", bank_b)):
        for rules in (("name",), ("name", "words")):
            total, merged, examples = name_merges(rows, rules)
            print(f"bank {bank}, names alone under {'+'.join(rules)}: {merged:,} of {total:,} distinct names share "
                  f"a key with another; e.g. {examples[:2]}")
        merged, examples = umlaut_merges(rows)
        print(f"bank {bank}: {merged:,} distinct names meet another only by the e after a, o, u; e.g. {examples}")
        report.setdefault("umlaut_merges", {})[bank] = merged
    if args.json:
        report["profiles"] = {
            profile: {"columns": PROFILES[profile][0], "variants": {v: counts[v] for v in variants},
                      "merged": {b: built[b]["merged"] for b in built},
                      "invalid_ibans": queried.get("invalid_ibans", 0), "seconds": seconds, "cpu_seconds": cpu}
            for profile, (counts, built, queried, seconds, cpu) in results.items()}
        args.json.write_text(json.dumps(report, indent=1))


if __name__ == "__main__":
    main()
