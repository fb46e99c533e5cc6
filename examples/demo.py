#!/usr/bin/env python3
"""The three parties of the matching protocol on generated data, through the kestrova_protocol package.

Bank A holds the senders' accounts, bank B the receivers' accounts, and the
central party holds the transactions. This script generates their tables,
runs every step with the package in one process (each party in a folder of
its own, as `kestrova-party` would), and checks every flag against the
plain-text answer: any wrong flag exits 1. `parties.py` plays the same with
one `kestrova-party` process per step.

    python examples/demo.py
    python examples/demo.py --accounts 1000 --transactions-count 5000 --threads 1 --workdir /tmp/run
"""

from __future__ import annotations

import argparse
import logging
import csv
import os
import random
import shutil
import sys
import time
from pathlib import Path
from typing import List, Sequence

BANK_COLUMNS = ("account", "name", "bic")
SENDER_COLUMNS = ("sender_account", "sender_name", "sender_bic")
RECEIVER_COLUMNS = ("receiver_account", "receiver_name", "receiver_bic")
PARTIES = ("bank_a", "bank_b", "central")

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


def write_table(path, header: Sequence[str], rows) -> None:
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(header)
        writer.writerows(rows)


def write_tables(root: Path, accounts: int, transactions: int, mix: Sequence[int], seed: int):
    """The parties' folders under `root` (emptied first) with their tables; returns the generated rows."""
    shutil.rmtree(root, ignore_errors=True)
    for who in PARTIES:
        (root / who).mkdir(parents=True)
    bank_a, bank_b, senders, receivers = generate(accounts, transactions, mix, seed)
    write_table(root / "bank_a" / "accounts.csv", BANK_COLUMNS, bank_a)
    write_table(root / "bank_b" / "accounts.csv", BANK_COLUMNS, bank_b)
    write_table(root / "central" / "transactions.csv", ("tx_id",) + SENDER_COLUMNS + RECEIVER_COLUMNS,
                ([f"tx{i:07d}"] + s + r for i, (s, r) in enumerate(zip(senders, receivers))))
    return bank_a, bank_b, senders, receivers


def check(flags_csv: Path, bank_a, bank_b, senders, receivers) -> int:
    """Prints the matches per category and returns 0 when every flag is the plain-text answer."""
    from kestrova_protocol import NFC, row_key

    def key(row):
        return row_key(row, NFC)[0]

    known_a, known_b = {key(row) for row in bank_a}, {key(row) for row in bank_b}
    with open(flags_csv, newline="", encoding="utf-8") as f:
        flags = list(csv.reader(f))[1:]
    counts = {category: [0, 0] for category in CATEGORIES}
    wrong: List[int] = []
    for i, (s, r) in enumerate(zip(senders, receivers)):
        s_known, r_known = key(s) in known_a, key(r) in known_b
        got = flags[i] if i < len(flags) else None
        if got != [f"tx{i:07d}", "true" if s_known and r_known else "false"]:
            wrong.append(i)
        entry = counts[CATEGORIES[(not s_known) + 2 * (not r_known)]]
        entry[0] += 1
        entry[1] += bool(got and got[1] == "true")
    if len(flags) != len(senders):
        wrong.append(len(senders))
    print(f"\n{'transactions':<18} {'count':>10} {'matched':>10}")
    for category, (count, matched) in counts.items():
        print(f"{category:<18} {count:>10,} {matched:>10,}")
    print(f"\ncorrect flags: {len(senders) - len(wrong) if len(flags) == len(senders) else 0} / {len(senders)}")
    for i in wrong[:5]:
        print(f"WRONG: transaction {i}: {flags[i] if i < len(flags) else 'no flag'}", file=sys.stderr)
    return 1 if wrong else 0


def parse_mix(text: str) -> List[int]:
    try:
        weights = [int(x) for x in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError("expected four integers, e.g. 50,20,20,10") from None
    if len(weights) != 4 or min(weights) < 0 or sum(weights) == 0:
        raise argparse.ArgumentTypeError("expected four non-negative integers with a positive sum")
    return weights


def data_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--accounts", type=int, default=20_000, help="accounts per bank")
    p.add_argument("--transactions-count", type=int, default=20_000, metavar="N")
    p.add_argument("--mix", type=parse_mix, default=[50, 20, 20, 10], metavar="W,W,W,W",
                   help="weights of: both present, sender missing, receiver missing, both missing")
    p.add_argument("--seed", type=int, default=1, help="seed of the data generator (keys are always fresh)")
    p.add_argument("--threads", type=int, default=0, help="worker threads (0: one per processor)")
    p.add_argument("--batch", type=int, default=10_000)
    p.add_argument("--workdir", default="build/demo", help="the parties' folders go here (emptied first)")


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    data_arguments(p)
    args = p.parse_args(argv)
    if args.threads:  # the module sizes its pool once, at its first parallel call
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    import kestrova_protocol as kp

    logging.basicConfig(level=logging.INFO, format="%(message)s")  # the steps' closing lines

    root = Path(args.workdir)
    rows = write_tables(root, args.accounts, args.transactions_count, args.mix, args.seed)
    a, b, w = (str(root / who) + "/" for who in PARTIES)
    options = kp.Options(batch=args.batch, quiet=True)
    start = time.perf_counter()
    for folder, name in ((a, "A"), (b, "B"), (w, "W")):
        kp.keygen(folder + name, options)
    for folder, name in ((a, "A"), (b, "B")):
        kp.build_store(f"{folder}{name}.pub", folder + "accounts.csv", BANK_COLUMNS, f"{folder}{name}.store",
                       options=options)
    kp.query(a + "A.store", b + "B.store", w + "W.pub", w + "transactions.csv", SENDER_COLUMNS, RECEIVER_COLUMNS,
             w + "Q.cts", options=options)
    kp.randomize(w + "Q.cts", a + "QA.cts", options)
    kp.randomize(w + "Q.cts", b + "QB.cts", options)
    kp.combine(a + "QA.cts", b + "QB.cts", w + "C", options)
    kp.decrypt(a + "A.key", w + "C.sender", a + "S.dec", options=options)
    kp.decrypt(b + "B.key", w + "C.receiver", b + "R.dec", options=options)
    kp.finish(w + "W.key", a + "S.dec", b + "R.dec", w + "C.gamma", w + "C.delta", w + "flags.csv",
              transactions=w + "transactions.csv", id_column="tx_id", options=options)
    print(f"all steps: {time.perf_counter() - start:.2f} s (the closing line of each is above)")
    return check(root / "central" / "flags.csv", *rows)


if __name__ == "__main__":
    sys.exit(main())
