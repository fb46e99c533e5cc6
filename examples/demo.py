#!/usr/bin/env python3
"""Plays the three parties of the matching protocol with kestrova.

Bank A holds the senders' accounts, bank B the receivers' accounts, and the
central party ("swift") holds the transactions. At the end the central party
knows, per transaction, whether both accounts were in the banks' tables; the
script checks every flag against the plain-text answer and exits non-zero if
any flag is wrong.

    python examples/demo.py                            # generated data
    python examples/demo.py --accounts 1000 --transactions-count 5000 --threads 1
    python examples/demo.py --bank-a a.csv --bank-b b.csv --transactions tx.csv \\
        --bank-columns account,name --sender-columns from_account,from_name \\
        --receiver-columns to_account,to_name --output flags.csv

Only the standard library is used besides kestrova.
"""

from __future__ import annotations

import argparse
import csv
import os
import random
import sys
import time
from typing import Dict, List, Optional, Sequence, Tuple

CIPHERTEXT_BYTES = 128
POINT_BYTES = 32

BANK_COLUMNS = ("account", "name", "bic")
SENDER_COLUMNS = ("sender_account", "sender_name", "sender_bic")
RECEIVER_COLUMNS = ("receiver_account", "receiver_name", "receiver_bic")

CATEGORIES = ("both present", "sender missing", "receiver missing", "both missing")

# Names from several scripts, so that rows are not all ASCII.
FIRST_NAMES = (
    "Anna", "José", "Zoë", "Łukasz", "Søren", "Chloé", "Jürgen", "Ægir", "Đorđe", "Åsa",
    "Νίκος", "Анна", "Дмитрий", "王芳", "李伟", "さくら", "Mehmet", "Ayşe", "Noor", "Olúwaseun",
    "Ingrid", "Pál", "Tomáš", "Maëlle", "Björn",
)
LAST_NAMES = (
    "Müller", "García", "Nowak", "Jørgensen", "Lefèvre", "Öztürk", "Papadopoulos", "Иванова",
    "Smith", "Dvořák", "Núñez", "Kovač", "de Vries", "O'Brien", "Østergaard", "Zieliński",
    "田中", "Nguyễn", "Żak", "Çelik",
)
BICS_A = ("ALPHNL2A", "ALPHDEFF", "ALPHBEBB")
BICS_B = ("BRAVFRPP", "BRAVESMM", "BRAVITMM")


# ---------------------------------------------------------------- data


def key_of(row: Sequence[str]) -> str:
    # The module keys a row by its strings' UTF-8 bytes end to end, so the
    # plain-text truth must join them the same way.
    return "".join(row)


def make_accounts(rng: random.Random, prefix: str, bics: Sequence[str], start: int, count: int) -> List[List[str]]:
    rows = []
    for i in range(start, start + count):
        name = f"{rng.choice(FIRST_NAMES)} {rng.choice(LAST_NAMES)}"
        rows.append([f"{prefix}{i:010d}", name, rng.choice(bics)])
    return rows


def absent_account(rng: random.Random, bank: List[List[str]], prefix: str, bics: Sequence[str], serial: int) -> List[str]:
    """An account the bank does not hold: a new number, or a known number under another name."""
    if bank and serial % 2 == 0:
        number, name, bic = rng.choice(bank)
        return [number, name + " Jr.", bic]
    return make_accounts(rng, prefix, bics, 9_000_000_000 + serial, 1)[0]


def split_counts(total: int, weights: Sequence[int]) -> List[int]:
    whole = sum(weights)
    counts = [total * w // whole for w in weights]
    # The rounding remainder goes to the largest fractional parts; a weight of 0 stays 0.
    by_fraction = sorted(range(len(weights)), key=lambda i: -(total * weights[i] % whole))
    for i in by_fraction[:total - sum(counts)]:
        counts[i] += 1
    return counts


def generate(accounts: int, transactions: int, mix: Sequence[int], seed: int):
    rng = random.Random(seed)
    bank_a = make_accounts(rng, "NL00ALPH", BICS_A, 0, accounts)
    bank_b = make_accounts(rng, "FR00BRAV", BICS_B, 0, accounts)
    categories = []
    for category, count in zip(CATEGORIES, split_counts(transactions, mix)):
        categories += [category] * count
    rng.shuffle(categories)
    sender_rows, receiver_rows = [], []
    for serial, category in enumerate(categories):
        sender_known = category in ("both present", "receiver missing")
        receiver_known = category in ("both present", "sender missing")
        sender_rows.append(list(rng.choice(bank_a)) if sender_known and bank_a
                           else absent_account(rng, bank_a, "NL00ALPH", BICS_A, serial))
        receiver_rows.append(list(rng.choice(bank_b)) if receiver_known and bank_b
                             else absent_account(rng, bank_b, "FR00BRAV", BICS_B, serial))
    return bank_a, bank_b, sender_rows, receiver_rows


def read_table(path: str, columns_by_role: Dict[str, Sequence[str]]) -> Dict[str, List[List[str]]]:
    """Reads a CSV with a header line; returns the selected columns per role."""
    with open(path, newline="", encoding="utf-8-sig") as f:
        reader = csv.reader(f)
        try:
            header = next(reader)
        except StopIteration:
            raise SystemExit(f"{path}: empty file, expected a header line")
        index = {name: i for i, name in enumerate(header)}
        picks = {}
        for role, columns in columns_by_role.items():
            missing = [c for c in columns if c not in index]
            if missing:
                raise SystemExit(f"{path}: no column {', '.join(map(repr, missing))} (header: {', '.join(header)})")
            picks[role] = [index[c] for c in columns]
        out: Dict[str, List[List[str]]] = {role: [] for role in columns_by_role}
        for line_no, record in enumerate(reader, start=2):
            if not record:
                continue
            if len(record) < len(header):
                raise SystemExit(f"{path}:{line_no}: {len(record)} fields, header has {len(header)}")
            for role, idx in picks.items():
                out[role].append([record[i] for i in idx])
    return out


def write_table(path: str, header: Sequence[str], rows) -> None:
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(header)
        writer.writerows(rows)


def distinct_rows(rows: List[List[str]]) -> Tuple[List[List[str]], int]:
    # build_okvs refuses two rows with equal key bytes, and a bank table may
    # well list an account twice: keep the first.
    seen = set()
    kept = []
    for row in rows:
        k = key_of(row)
        if k not in seen:
            seen.add(k)
            kept.append(row)
    return kept, len(rows) - len(kept)


# ---------------------------------------------------------------- reporting


class Progress:
    """Phase lines and a progress bar on stderr."""

    def __init__(self, enabled: bool):
        self.enabled = enabled
        self.tty = enabled and sys.stderr.isatty()
        self.start = time.perf_counter()
        self.last_percent = -1
        self.bar_start = self.start

    def phase(self, text: str) -> None:
        if self.enabled:
            sys.stderr.write(f"[{time.perf_counter() - self.start:7.1f} s] {text}\n")
            sys.stderr.flush()

    def bar(self, done: int, total: int) -> None:
        if not self.enabled or total == 0:
            return
        percent = 100 * done // total
        now = time.perf_counter()
        if done == 0:
            self.bar_start = now
        elapsed = now - self.bar_start
        rate = done / elapsed if elapsed > 0 else 0.0
        eta = f", {(total - done) / rate:,.0f} s left" if 0 < done < total and rate > 0 else ""
        if self.tty:
            filled = 30 * done // total
            sys.stderr.write(f"\r  transactions [{'#' * filled}{'.' * (30 - filled)}] "
                             f"{percent:3d}% {done:,}/{total:,} ({rate:,.0f}/s{eta})   ")
            if done == total:
                sys.stderr.write("\n")
            sys.stderr.flush()
        elif percent // 10 != self.last_percent // 10 or done == total:
            # Not a terminal (a log file, CI): one line per tenth.
            self.phase(f"transactions {done:,}/{total:,} ({percent}%)")
        self.last_percent = percent


class Timer:
    def __init__(self):
        self.phases: Dict[str, List[float]] = {}  # name -> [items, seconds]

    def run(self, name: str, items: int, fn, *args):
        t0 = time.perf_counter()
        result = fn(*args)
        elapsed = time.perf_counter() - t0
        entry = self.phases.setdefault(name, [0, 0.0])
        entry[0] += items
        entry[1] += elapsed
        return result


def print_report(timer: Timer, wall: float, by_category, correct: int, total: int, threads: str) -> None:
    print(f"\nworker threads: {threads}")
    print(f"{'phase':<30} {'items':>10} {'seconds':>9} {'items/s':>11}")
    for name, (items, seconds) in timer.phases.items():
        rate = f"{items / seconds:,.0f}" if seconds > 0 else "-"
        print(f"{name:<30} {items:>10,} {seconds:>9.3f} {rate:>11}")
    print(f"{'all phases':<30} {'':>10} {sum(s for _, s in timer.phases.values()):>9.3f}")
    print(f"{'wall clock (incl. data, checks)':<30} {'':>10} {wall:>9.3f}")
    print()
    print(f"{'transactions':<30} {'count':>10} {'matched':>9} {'correct':>11}")
    for category in CATEGORIES:
        count, matched, right = by_category.get(category, (0, 0, 0))
        print(f"{category:<30} {count:>10,} {matched:>9,} {right:>11,}")
    print(f"\ncorrect flags: {correct} / {total}")


# ---------------------------------------------------------------- protocol


def run_protocol(kestrova, bank_a, bank_b, sender_rows, receiver_rows, batch: int, progress: Progress, timer: Timer):
    # Every party makes its own key pair and keeps the secret key.
    pk_a, sk_a = timer.run("key_gen (3 parties)", 1, kestrova.key_gen)
    pk_b, sk_b = timer.run("key_gen (3 parties)", 1, kestrova.key_gen)
    pk_w, sk_w = timer.run("key_gen (3 parties)", 1, kestrova.key_gen)
    progress.phase("key pairs made (bank A, bank B, central party)")

    # Each bank publishes a store over its rows; bytes is how it would travel.
    okvs_a = bytes(timer.run("build_okvs (bank A)", len(bank_a), kestrova.build_okvs, pk_a, bank_a))
    progress.phase(f"bank A published its store: {len(bank_a):,} rows, {len(okvs_a):,} bytes")
    okvs_b = bytes(timer.run("build_okvs (bank B)", len(bank_b), kestrova.build_okvs, pk_b, bank_b))
    progress.phase(f"bank B published its store: {len(bank_b):,} rows, {len(okvs_b):,} bytes")

    total = len(sender_rows)
    flags: List[bool] = []
    progress.bar(0, total)
    for start in range(0, total, batch):
        senders = sender_rows[start:start + batch]
        receivers = receiver_rows[start:start + batch]
        n = len(senders)
        # Central party: one 128-byte ciphertext per transaction.
        cts = timer.run("initiate_queries (central)", n, kestrova.initiate_queries,
                        senders, receivers, okvs_a, okvs_b, pk_w)
        # Each bank re-randomises its own copy; the central party adds the two
        # copies, so neither bank alone picks the final scalar.
        r_a = timer.run("randomize (bank A)", n, kestrova.randomize, cts)
        r_b = timer.run("randomize (bank B)", n, kestrova.randomize, cts)
        s, r, g, d = timer.run("combine (central)", n, kestrova.combine, r_a, r_b)
        # Each bank removes its key from its own component.
        s_dec = timer.run("decrypt (bank A)", n, kestrova.decrypt, s, sk_a)
        r_dec = timer.run("decrypt (bank B)", n, kestrova.decrypt, r, sk_b)
        batch_flags = timer.run("finish (central)", n, kestrova.finish, s_dec, r_dec, g, d, sk_w)
        if len(batch_flags) != n:
            raise RuntimeError(f"finish returned {len(batch_flags)} flags for {n} transactions")
        flags.extend(batch_flags)
        progress.bar(start + n, total)
    progress.phase(f"central party has {len(flags):,} flags")
    return flags


# ---------------------------------------------------------------- main


def parse_columns(text: str) -> List[str]:
    columns = [c.strip() for c in text.split(",") if c.strip()]
    if not columns:
        raise argparse.ArgumentTypeError("expected one or more comma-separated column names")
    return columns


def parse_mix(text: str) -> List[int]:
    try:
        weights = [int(x) for x in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError("expected four integers, e.g. 50,20,20,10")
    if len(weights) != 4 or min(weights) < 0 or sum(weights) == 0:
        raise argparse.ArgumentTypeError("expected four non-negative integers with a positive sum")
    return weights


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def non_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must be at least 0")
    return value


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        description="Run the three-party matching protocol end to end and check every flag.",
        formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    g = p.add_argument_group("generated data")
    g.add_argument("--accounts", type=non_negative, default=20_000, help="accounts per bank")
    g.add_argument("--transactions-count", type=non_negative, default=20_000, metavar="N",
                   help="number of transactions")
    g.add_argument("--mix", type=parse_mix, default=[50, 20, 20, 10], metavar="W,W,W,W",
                   help="weights of: both present, sender missing, receiver missing, both missing")
    g.add_argument("--seed", type=int, default=1, help="seed of the data generator (keys are always fresh)")
    g.add_argument("--save-data", metavar="DIR",
                   help="also write the generated tables as bank_a.csv, bank_b.csv, transactions.csv")
    c = p.add_argument_group("your own tables (CSV with a header line, UTF-8)")
    c.add_argument("--bank-a", metavar="CSV", help="the sender's bank's accounts")
    c.add_argument("--bank-b", metavar="CSV", help="the receiver's bank's accounts")
    c.add_argument("--transactions", metavar="CSV", help="the transactions")
    c.add_argument("--bank-columns", type=parse_columns, default=list(BANK_COLUMNS), metavar="A,B,..",
                   help="columns of both bank tables that make up an account")
    c.add_argument("--sender-columns", type=parse_columns, default=list(SENDER_COLUMNS), metavar="A,B,..",
                   help="columns of the transactions that give the sender's account")
    c.add_argument("--receiver-columns", type=parse_columns, default=list(RECEIVER_COLUMNS), metavar="A,B,..",
                   help="columns of the transactions that give the receiver's account")
    r = p.add_argument_group("running")
    r.add_argument("--threads", type=non_negative, metavar="N",
                   help="worker threads (sets RAYON_NUM_THREADS; 0 = all processors)")
    r.add_argument("--batch", type=positive, default=2_000, help="transactions per batch")
    r.add_argument("--output", metavar="CSV", help="write the flags as CSV: transaction,match")
    r.add_argument("--quiet", action="store_true", help="no progress on stderr")
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    csv_inputs = [args.bank_a, args.bank_b, args.transactions]
    if any(csv_inputs) and not all(csv_inputs):
        build_parser().error("--bank-a, --bank-b and --transactions go together")

    # The pool is sized once per process, at its first use: set this first.
    if args.threads is not None:
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    import kestrova

    progress = Progress(not args.quiet)
    wall_start = time.perf_counter()
    if all(csv_inputs):
        bank_a = read_table(args.bank_a, {"bank": args.bank_columns})["bank"]
        bank_b = read_table(args.bank_b, {"bank": args.bank_columns})["bank"]
        tx = read_table(args.transactions, {"sender": args.sender_columns, "receiver": args.receiver_columns})
        sender_rows, receiver_rows = tx["sender"], tx["receiver"]
        progress.phase(f"read {len(bank_a):,} + {len(bank_b):,} accounts and {len(sender_rows):,} transactions")
    else:
        bank_a, bank_b, sender_rows, receiver_rows = generate(
            args.accounts, args.transactions_count, args.mix, args.seed)
        progress.phase(f"generated {len(bank_a):,} + {len(bank_b):,} accounts and "
                       f"{len(sender_rows):,} transactions")
        if args.save_data:
            os.makedirs(args.save_data, exist_ok=True)
            write_table(os.path.join(args.save_data, "bank_a.csv"), BANK_COLUMNS, bank_a)
            write_table(os.path.join(args.save_data, "bank_b.csv"), BANK_COLUMNS, bank_b)
            write_table(os.path.join(args.save_data, "transactions.csv"), SENDER_COLUMNS + RECEIVER_COLUMNS,
                        (s + r for s, r in zip(sender_rows, receiver_rows)))
            progress.phase(f"tables written to {args.save_data}")

    for label, rows in (("bank A", bank_a), ("bank B", bank_b)):
        kept, dropped = distinct_rows(rows)
        if dropped:
            progress.phase(f"{label}: {dropped:,} repeated rows dropped (equal rows cannot share a store)")
        rows[:] = kept

    timer = Timer()
    flags = run_protocol(kestrova, bank_a, bank_b, sender_rows, receiver_rows, args.batch, progress, timer)

    known_a = {key_of(row) for row in bank_a}
    known_b = {key_of(row) for row in bank_b}
    by_category: Dict[str, Tuple[int, int, int]] = {}
    correct = 0
    wrong_examples = []
    for i, (flag, s, r) in enumerate(zip(flags, sender_rows, receiver_rows)):
        s_known, r_known = key_of(s) in known_a, key_of(r) in known_b
        truth = s_known and r_known
        category = CATEGORIES[(not s_known) + 2 * (not r_known)]
        count, matched, right = by_category.get(category, (0, 0, 0))
        by_category[category] = (count + 1, matched + bool(flag), right + (flag == truth))
        if flag == truth:
            correct += 1
        elif len(wrong_examples) < 5:
            wrong_examples.append((i, flag, truth))

    if args.output:
        write_table(args.output, ("transaction", "match"),
                    ((i, "true" if f else "false") for i, f in enumerate(flags)))
        progress.phase(f"flags written to {args.output}")

    threads = os.environ.get("RAYON_NUM_THREADS") or "default (all processors)"
    print_report(timer, time.perf_counter() - wall_start, by_category, correct, len(sender_rows), threads)
    for i, flag, truth in wrong_examples:
        print(f"WRONG: transaction {i}: flag {flag}, expected {truth}", file=sys.stderr)
    return 0 if correct == len(sender_rows) == len(flags) else 1


if __name__ == "__main__":
    sys.exit(main())
