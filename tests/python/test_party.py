"""kestrova-party: the three parties as separate processes in separate folders."""
import csv
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

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


@pytest.fixture(scope="module")
def central(tmp_path_factory):
    return run_flow(tmp_path_factory.mktemp("flow"))


def test_three_parties_in_separate_folders(central):
    rows = finish(central, "again.csv")  # without --transactions: 0-based indices
    assert rows == [["transaction", "match"]] + [[str(i), f] for i, f in enumerate(EXPECTED["nfc"])]
    with open(central / "flags.csv", newline="", encoding="utf-8") as f:
        assert list(csv.reader(f)) == [["tx_id", "match"]] + [[t[0], f] for t, f in zip(TRANSACTIONS, EXPECTED["nfc"])]
    assert os.stat(central / "W.key").st_mode & 0o777 == 0o600


def test_plain_keying_from_parquet(tmp_path):
    central = run_flow(tmp_path, keying="plain", parquet=True)
    with open(central / "flags.csv", newline="", encoding="utf-8") as f:
        assert flags_of(list(csv.reader(f))) == EXPECTED["plain"]


def test_bare_bytes_in_and_out(central):
    # One bank exports bare ciphertexts; the central party imports them beside a headered copy.
    bank = central.parent / "bank_a"
    ok(bank, "randomize", "--raw=out", "--in", "Q.cts", "--out", "QA.raw")
    assert (bank / "QA.raw").stat().st_size == 128 * len(TRANSACTIONS)
    send(central.parent, "QA.raw", "bank_a", "central")
    ok(central, "combine", "--raw=in", "--in", "QA.raw", "QB.cts", "--out-prefix", "D")
    ok(central, "decrypt", "--secret-key", "../bank_a/A.key", "--in", "D.sender", "--out", "DS.dec")
    ok(central, "decrypt", "--secret-key", "../bank_b/B.key", "--in", "D.receiver", "--out", "DR.dec")
    # Lists of another combination of the same queries would give all-false flags.
    mixed = party(central, *replace(FINISH, "S.dec", "DS.dec"))
    assert mixed.returncode == 1 and "R.dec: belongs to another batch than DS.dec" in mixed.stderr
    ok(central, "finish", "--secret-key", "W.key", "--sender", "DS.dec", "--receiver", "DR.dec",
       "--gamma", "D.gamma", "--delta", "D.delta", "--out", "raw2.csv")
    with open(central / "raw2.csv", newline="", encoding="utf-8") as f:
        assert flags_of(list(csv.reader(f))) == EXPECTED["nfc"]


def damaged(central, name, how):
    data = bytearray((central / name).read_bytes())
    if how == "truncate":
        data = data[:-7]
    else:
        data[-40] ^= 1
    (central / f"{how}-{name}").write_bytes(bytes(data))
    return f"{how}-{name}"


@pytest.fixture(scope="module")
def second_batch(central):
    ok(central, "query", "--sender-store", "A.store", "--receiver-store", "B.store", "--central-key", "W.pub",
       "--transactions", "tx.csv", "--sender-columns", "from_account,from_name",
       "--receiver-columns", "to_account,to_name", "--out", "Q2.cts")
    ok(central, "randomize", "--in", "Q2.cts", "--out", "Q2A.cts")
    ok(central, "randomize", "--in", "Q2.cts", "--out", "Q2B.cts")
    ok(central, "combine", "--in", "Q2A.cts", "Q2B.cts", "--out-prefix", "C2")
    (central / "bad.csv").write_bytes(b"a,b\n1,2\n3\n")
    (central / "latin1.csv").write_bytes(b"a,b\n1,2\n3,caf\xe9\n")
    (central / "sep.csv").write_bytes("a,b\n1,x\x1fy\n".encode())
    (central / "folder").mkdir()
    write_csv(central / "short.csv", ["tx_id"], [["only"]])
    return central


FINISH = ["finish", "--secret-key", "W.key", "--sender", "S.dec", "--receiver", "R.dec", "--gamma", "C.gamma",
          "--delta", "C.delta", "--out", "out.csv"]
STORE = ["build-store", "--public-key", "W.pub", "--columns", "a,b", "--out", "out.store", "--rows"]


def replace(args, old, new):
    return [new if a == old else a for a in args]


@pytest.mark.parametrize("args, message", [
    (["randomize", "--in", "W.pub", "--out", "out.cts"], "W.pub: is a public key file, expected query ciphertexts"),
    (["randomize", "--in", "tx.csv", "--out", "out.cts"], "tx.csv: not a kestrova-party file"),
    (["randomize", "--in", ("Q.cts", "truncate"), "--out", "out.cts"], "truncated or damaged"),
    (["randomize", "--in", ("Q.cts", "alter"), "--out", "out.cts"], "damaged or altered"),
    (replace(FINISH, "S.dec", ("S.dec", "alter")), "damaged or altered"),
    (replace(FINISH, "S.dec", "R.dec"), "R.dec: is a decrypted receiver points file, expected decrypted sender"),
    (["combine", "--in", "QA.cts", "Q2A.cts", "--out-prefix", "out"], "Q2A.cts: belongs to another batch than QA.cts"),
    (["combine", "--in", "QA.cts", "QA.cts", "--out-prefix", "out"], "each bank randomises its own copy"),
    (replace(FINISH, "C.gamma", "C2.gamma"), "C2.gamma: belongs to another batch than S.dec"),
    (["decrypt", "--secret-key", "../bank_b/B.key", "--in", "C.sender", "--out", "out.dec"],
     "B.key: not the key of the bank whose store these sender points were made with"),
    (replace(FINISH, "W.key", "../bank_a/A.key"), "A.key: not the central key these points were made for"),
    (["query", "--sender-store", "A.store", "--receiver-store", "B.store", "--central-key", "W.pub", "--transactions",
      "tx.csv", "--sender-columns", "from_account", "--receiver-columns", "to_account", "--out", "out.cts",
      "--keying", "plain"], "A.store: built with --keying nfc, this query uses --keying plain"),
    (STORE + ["missing.csv"], "missing.csv: no such file"),
    (STORE + ["folder"], "folder: is a directory"),
    (replace(STORE, "a,b", "a,c") + ["bad.csv"], "bad.csv: no column 'c'"),
    (STORE + ["bad.csv"], "bad.csv:3: 1 fields, the header has 2"),
    (STORE + ["latin1.csv"], "latin1.csv:3: not UTF-8"),
    (STORE + ["sep.csv"], "sep.csv:2: a value contains U+001F"),
    (FINISH + ["--transactions", "short.csv"], "short.csv: fewer transactions than the 5 points"),
    (replace(FINISH, "out.csv", "flags.csv"), "flags.csv: exists (use --force"),
    (replace(FINISH, "out.csv", "nowhere/out.csv"), "nowhere/out.csv: cannot write"),
])
def test_refusals_are_one_line_and_leave_no_output(second_batch, args, message):
    args = [damaged(second_batch, *a) if isinstance(a, tuple) else a for a in args]
    before = sorted(os.listdir(second_batch))
    result = party(second_batch, *args)
    assert result.returncode == 1
    assert result.stderr.count("\n") == 1 and result.stderr.startswith("kestrova-party: error: "), result.stderr
    assert message in result.stderr
    assert sorted(os.listdir(second_batch)) == before  # no output, no temporary file


# The command's own peak (VmHWM): a forked child's rusage would count the parent's pages too.
PEAK = ("import sys; from kestrova_protocol.cli import main; code = main(sys.argv[1:]); "
        "print([l for l in open('/proc/self/status') if l.startswith('VmHWM')][0].split()[1]); sys.exit(code)")


def test_open_secret_key_is_warned_about_and_output_replaced_with_force(central):
    shutil.copyfile(central / "W.key", central / "open.key")
    os.chmod(central / "open.key", 0o644)
    result = ok(central, *replace(replace(FINISH, "W.key", "open.key"), "out.csv", "flags.csv"), "--force")
    assert "open.key: secret key is readable by others" in result.stderr
    with open(central / "flags.csv", newline="", encoding="utf-8") as f:
        assert list(csv.reader(f))[0] == ["transaction", "match"]  # replaced: no --transactions this time


def peak_rss_kib(folder, *args):
    result = subprocess.run([sys.executable, "-c", PEAK, *map(str, args)], cwd=folder, capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return int(result.stdout)


def test_query_memory_does_not_grow_with_the_transactions(central):
    peaks = {}
    for n in (2_000, 40_000):
        write_csv(central / f"tx{n}.csv", ["s", "r"], [[f"NL{i}", f"FR{i}"] for i in range(n)])
        peaks[n] = peak_rss_kib(central, "query", "--sender-store", "A.store", "--receiver-store", "B.store",
                                "--central-key", "W.pub", "--transactions", f"tx{n}.csv", "--sender-columns", "s,s",
                                "--receiver-columns", "r,r", "--out", f"q{n}.cts", "--batch", 1000, "--quiet")
        assert (central / f"q{n}.cts").stat().st_size > 128 * n
    # Holding the 40 000 rows would take about 13 MiB more, their results as lists of ints 40 MiB.
    assert peaks[40_000] - peaks[2_000] < 6 * 1024, peaks


def test_batches_overlap_keep_their_order_and_name_a_refusal():
    from kestrova_protocol import batches, engine
    from kestrova_protocol.errors import PartyError

    read = []

    def source(n):
        for i in range(n):
            read.append(i)
            yield (i,)

    def work(i):
        if i == 3:
            raise engine.Refusal("bad point")
        return i * 2

    run = batches.in_order("step", work, source(3))
    assert next(run) == 0 and read == [0, 1]  # the next batch is read before the first result is handed on
    run.close()
    assert read == [0, 1]
    assert list(batches.in_order("step", work, source(3))) == [0, 2, 4]
    got = []
    with pytest.raises(PartyError, match="step: batch 3: the module refused the data \\(bad point\\)"):
        got.extend(batches.in_order("step", work, source(5)))
    assert got == [0, 2, 4]
