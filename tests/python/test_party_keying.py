"""kestrova-party: keys that survive formatting, keys the module would merge, and what the command tells."""
import csv
import os
import subprocess

import pytest

from party_flow import SCRIPT, ok, party, write_csv

BANK = [["NL01 ALPH 0000 01", "Zoë  Nowak"], ["NL01ALPH000002", "wang fang "]]
# The central party's spelling of the same accounts: other spaces, other case, trailing blanks.
TX = [["NL01ALPH000001", " ZOË NOWAK", "NL01ALPH000002", "Wang  Fang"],
      ["NL01ALPH000001", "Zoe Nowak", "NL01ALPH000002", "wang fang"]]


def flags(folder, columns, tx_columns=("s_acc,s_name", "r_acc,r_name"), keying="nfc"):
    write_csv(folder / "bank.csv", ["account", "name"], BANK)
    write_csv(folder / "tx.csv", ["s_acc", "s_name", "r_acc", "r_name"], TX)
    for name in ("A", "W"):
        ok(folder, "keygen", "--out", name, "--force")
    ok(folder, "build-store", "--public-key", "A.pub", "--rows", "bank.csv", "--columns", columns,
       "--out", "A.store", "--keying", keying, "--force")
    steps = [["query", "--sender-store", "A.store", "--receiver-store", "A.store", "--central-key", "W.pub",
              "--transactions", "tx.csv", "--sender-columns", tx_columns[0], "--receiver-columns", tx_columns[1],
              "--out", "Q.cts", "--keying", keying],
             ["randomize", "--in", "Q.cts", "--out", "QA.cts"], ["randomize", "--in", "Q.cts", "--out", "QB.cts"],
             ["combine", "--in", "QA.cts", "QB.cts", "--out-prefix", "C"],
             ["decrypt", "--secret-key", "A.key", "--in", "C.sender", "--out", "S.dec"],
             ["decrypt", "--secret-key", "A.key", "--in", "C.receiver", "--out", "R.dec"]]
    for step in steps:
        ok(folder, *step, "--force")
    done = ok(folder, "finish", "--secret-key", "W.key", "--sender", "S.dec", "--receiver", "R.dec", "--gamma",
              "C.gamma", "--delta", "C.delta", "--out", "flags.csv", "--force")
    with open(folder / "flags.csv", newline="") as f:
        found = [row[1] for row in list(csv.reader(f))[1:]]
    assert f"{found.count('true')} matched" in done.stderr.splitlines()[-1]
    return found


@pytest.mark.parametrize("columns, expected", [
    ("account,name", ["false", "false"]),                          # NFC alone: every spelling differs
    ("account:compact,name:trim,casefold", ["true", "false"]),     # "Zoe" is another name, not a spelling
    ("account:compact,name:compact+casefold", ["true", "false"]),
])
def test_normalisations_are_recorded_in_the_store_and_applied_by_query(tmp_path, columns, expected):
    assert flags(tmp_path, columns) == expected


def test_query_refuses_columns_or_rules_other_than_the_stores(tmp_path):
    flags(tmp_path, "account:compact,name:trim")
    base = ["query", "--sender-store", "A.store", "--receiver-store", "A.store", "--central-key", "W.pub",
            "--transactions", "tx.csv", "--receiver-columns", "r_acc,r_name", "--out", "X.cts"]
    for columns, message in (("s_acc", "built over 2 columns, --sender-columns names 1"),
                             ("s_acc:trim,s_name", "normalised as nfc+compact, nfc+trim")):
        result = party(tmp_path, *base, "--sender-columns", columns)
        assert result.returncode == 1 and message in result.stderr, result.stderr


def test_plain_keying_drops_rows_the_module_would_merge(tmp_path):
    write_csv(tmp_path / "split.csv", ["a", "b"], [["ab", "c"], ["a", "bc"]])
    ok(tmp_path, "keygen", "--out", "A")
    built = ok(tmp_path, "build-store", "--public-key", "A.pub", "--rows", "split.csv", "--columns", "a,b",
               "--out", "A.store", "--keying", "plain")
    assert "1 repeated rows dropped" in built.stderr


def test_inspect_names_every_kind_and_damage(tmp_path):
    flags(tmp_path, "account:compact,name")
    shown = {}
    for name in ("A.pub", "A.key", "A.store", "Q.cts", "QA.cts", "C.sender", "C.delta", "S.dec"):
        result = ok(tmp_path, "inspect", name)
        shown[name] = result.stdout
        assert "checksum: matches" in result.stdout and "unknown" not in result.stdout
    assert "kind: store" in shown["A.store"] and "columns: nfc+compact, nfc" in shown["A.store"]
    assert "rows: 2" in shown["A.store"] and "decrypted by key: " in shown["S.dec"]
    data = bytearray((tmp_path / "S.dec").read_bytes())
    data[-1] ^= 1
    (tmp_path / "bad.dec").write_bytes(bytes(data))
    assert "checksum: damaged or altered" in ok(tmp_path, "inspect", "bad.dec").stdout


def test_progress_is_plain_lines_when_stderr_is_a_file(tmp_path):
    flags(tmp_path, "account,name")
    with open(tmp_path / "log", "w") as log:
        subprocess.run([str(SCRIPT), "randomize", "--in", "Q.cts", "--out", "P.cts", "--batch", "1"], cwd=tmp_path,
                       stderr=log, check=True, env={**os.environ, "KESTROVA_PROGRESS_SECONDS": "0"})
    lines = (tmp_path / "log").read_text().splitlines()
    assert lines[:2] == [line for line in lines if "of 2 tx" in line] and "\r" not in "".join(lines)
    assert lines[0].startswith("randomize: 1 of 2 tx (50%), ") and lines[0].endswith(" left")


def test_parquet_columns_that_are_not_text_are_refused(tmp_path):
    pyarrow = pytest.importorskip("pyarrow")
    import pyarrow.parquet
    pyarrow.parquet.write_table(pyarrow.table({"account": [123, 456], "name": ["a", "b"]}), tmp_path / "t.parquet")
    ok(tmp_path, "keygen", "--out", "A")
    result = party(tmp_path, "build-store", "--public-key", "A.pub", "--rows", "t.parquet", "--columns",
                   "account,name", "--out", "A.store")
    assert result.returncode == 1 and "column 'account' is of type int64, not text" in result.stderr
