"""The three parties' flow through kestrova-party, as several test modules run it: one process per step,
a folder per party."""
import csv
import shutil
import subprocess
import sys
from pathlib import Path

SCRIPT = Path(sys.executable).with_name("kestrova-party")
BANK_A = [["NL01", "Zoë"], ["NL01000", "3"]]
BANK_B = [["FR01", "Søren"], ["FR02", "x"], ["FR02", "x"]]  # listed twice: dropped once
# tx_id, sender account and name, receiver account and name
TRANSACTIONS = [
    ["t1", "NL01", "Zoe\u0308", "FR01", "Søren"],   # "Zoë" with a combining diaeresis
    ["t2", "NL010003", "", "FR02", "x"],            # runs into ("NL01000", "3") without a separator
    ["t3", "NL01000", "3", "FR02", "x"],
    ["t4", "NL01", "Zoë", "FR09", "x"],
    ["t5", "NL99", "Zoë", "FR01", "Søren"],
]
EXPECTED = {"nfc": ["true", "false", "true", "false", "false"],
            "plain": ["false", "true", "true", "false", "false"]}


def party(folder, *args):
    return subprocess.run([str(SCRIPT), *map(str, args)], cwd=folder, capture_output=True, text=True, timeout=300)


def ok(folder, *args):
    result = party(folder, *args)
    assert result.returncode == 0, result.stderr
    return result


def write_csv(path, header, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        csv.writer(f).writerows([header] + rows)


def send(root, name, source, target):
    shutil.copyfile(root / source / name, root / target / name)


def run_flow(root, keying="nfc", parquet=False, extra=()):
    """`extra`: more options for every batched step."""
    a, b, w = (root / p for p in ("bank_a", "bank_b", "central"))
    for folder in (a, b, w):
        folder.mkdir(parents=True)
    write_csv(a / "accounts.csv", ["account", "name"], BANK_A)
    write_csv(b / "accounts.csv", ["account", "name"], BANK_B)
    header = ["tx_id", "from_account", "from_name", "to_account", "to_name"]
    tx = "tx.csv"
    if parquet:
        import pyarrow
        import pyarrow.parquet
        tx = "tx.parquet"
        columns = {name: [row[i] for row in TRANSACTIONS] for i, name in enumerate(header)}
        pyarrow.parquet.write_table(pyarrow.table(columns), w / tx)
    else:
        write_csv(w / tx, header, TRANSACTIONS)
    for folder, name in ((a, "A"), (b, "B")):
        ok(folder, "keygen", "--out", name)
    subprocess.run([sys.executable, "-m", "kestrova_protocol", "keygen", "--out", "W"], cwd=w, check=True)
    ok(a, "build-store", "--public-key", "A.pub", "--rows", "accounts.csv", "--columns", "account,name",
       "--out", "A.store", "--keying", keying)
    dropped = ok(b, "build-store", "--public-key", "B.pub", "--rows", "accounts.csv", "--columns", "account,name",
                 "--out", "B.store", "--keying", keying)
    assert "1 repeated rows dropped" in dropped.stderr
    send(root, "A.store", "bank_a", "central")
    send(root, "B.store", "bank_b", "central")
    ok(w, "query", "--sender-store", "A.store", "--receiver-store", "B.store", "--central-key", "W.pub",
       "--transactions", tx, "--sender-columns", "from_account,from_name", "--receiver-columns", "to_account,to_name",
       "--out", "Q.cts", "--keying", keying, "--batch", 2, *extra)
    for bank, name in ((a, "QA.cts"), (b, "QB.cts")):
        send(root, "Q.cts", "central", bank.name)
        ok(bank, "randomize", "--in", "Q.cts", "--out", name, "--batch", 2, *extra)
        send(root, name, bank.name, "central")
    ok(w, "combine", "--in", "QA.cts", "QB.cts", "--out-prefix", "C", "--batch", 2, *extra)
    for bank, key, part, out in ((a, "A.key", "C.sender", "S.dec"), (b, "B.key", "C.receiver", "R.dec")):
        send(root, part, "central", bank.name)
        ok(bank, "decrypt", "--secret-key", key, "--in", part, "--out", out, "--batch", 2, *extra)
        send(root, out, bank.name, "central")
    finish(w, "flags.csv", "--transactions", tx, "--id-column", "tx_id", *extra)
    return w


def finish(central, out, *extra, sender="S.dec", receiver="R.dec"):
    ok(central, "finish", "--secret-key", "W.key", "--sender", sender, "--receiver", receiver, "--gamma", "C.gamma",
       "--delta", "C.delta", "--out", out, "--batch", 2, *extra)
    with open(central / out, newline="", encoding="utf-8") as f:
        return list(csv.reader(f))


def flags_of(rows):
    return [flag for _, flag in rows[1:]]


FINISH = ["finish", "--secret-key", "W.key", "--sender", "S.dec", "--receiver", "R.dec", "--gamma", "C.gamma",
          "--delta", "C.delta", "--out", "out.csv"]
STORE = ["build-store", "--public-key", "W.pub", "--columns", "a,b", "--out", "out.store", "--rows"]


def replace(args, old, new):
    return [new if a == old else a for a in args]
