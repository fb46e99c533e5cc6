"""examples/demo.py end to end at a small size."""
import csv
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo.py"


def run_demo(*args, env_extra=None):
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    env.update(env_extra or {})
    return subprocess.run([sys.executable, str(DEMO), "--quiet", *args], capture_output=True, text=True,
                          encoding="utf-8", env=env, timeout=600)


def correct_count(stdout):
    match = re.search(r"^correct flags: (\d+) / (\d+)$", stdout, re.MULTILINE)
    assert match, stdout
    return int(match.group(1)), int(match.group(2))


@pytest.mark.parametrize("threads, mix, expected", [
    ("1", "50,20,20,10", {"both present": [150, 150], "sender missing": [60, 0],
                          "receiver missing": [60, 0], "both missing": [30, 0]}),
    # 301 does not split evenly; a weight of 0 must still give no transaction.
    ("2", "0,1,1,1", {"both present": [0, 0], "sender missing": [101, 0],
                      "receiver missing": [100, 0], "both missing": [100, 0]}),
])
def test_generated_run_gets_every_flag_right(threads, mix, expected):
    total = sum(count for count, _ in expected.values())
    result = run_demo("--accounts", "300", "--transactions-count", str(total), "--batch", "128",
                      "--threads", threads, "--mix", mix)
    assert result.returncode == 0, result.stdout + result.stderr
    assert correct_count(result.stdout) == (total, total)
    assert f"worker threads: {threads}" in result.stdout
    rows = dict(re.findall(r"^(both present|sender missing|receiver missing|both missing)\s+([\d,]+ +[\d,]+)",
                           result.stdout, re.MULTILINE))
    counts = {k: [int(x.replace(",", "")) for x in v.split()] for k, v in rows.items()}
    assert counts == expected


def write_csv(path, header, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(header)
        writer.writerows(rows)


def test_csv_round_trip(tmp_path):
    bank_a = [["A-1", "Zoë Müller", "x"], ["A-2", "王芳", "y"], ["A-3", "O'Brien, Seán", "z"],
              ["A-1", "Zoë Müller", "x"]]  # listed twice: the demo keeps one
    bank_b = [["B-1", "Νίκος"], ["B-2", "Анна"]]
    # (sender account, sender name, receiver account, receiver name, amount), expected flag
    transactions = [
        (["A-1", "Zoë Müller", "B-1", "Νίκος", "10.00"], True),
        (["A-2", "王芳", "B-2", "Анна", "5"], True),
        (["A-3", "O'Brien, Seán", "B-9", "Анна", "1"], False),   # receiver unknown
        (["A-1", "Zoe Muller", "B-1", "Νίκος", "2"], False),     # sender name differs
        (["A-7", "nobody", "B-7", "nobody", "3"], False),
        (["A-2", "王芳", "B-1", "Νίκος", "4"], True),
    ]
    write_csv(tmp_path / "a.csv", ["acct", "holder", "unused"], bank_a)
    write_csv(tmp_path / "b.csv", ["acct", "holder"], bank_b)
    write_csv(tmp_path / "tx.csv", ["from_acct", "from_name", "to_acct", "to_name", "amount"],
              [row for row, _ in transactions])
    out = tmp_path / "flags.csv"
    result = run_demo(
        "--bank-a", str(tmp_path / "a.csv"), "--bank-b", str(tmp_path / "b.csv"),
        "--transactions", str(tmp_path / "tx.csv"), "--bank-columns", "acct,holder",
        "--sender-columns", "from_acct,from_name", "--receiver-columns", "to_acct,to_name",
        "--output", str(out), "--batch", "4")
    assert result.returncode == 0, result.stdout + result.stderr
    assert correct_count(result.stdout) == (6, 6)
    with open(out, newline="", encoding="utf-8") as f:
        flags = list(csv.reader(f))
    assert flags[0] == ["transaction", "match"]
    assert flags[1:] == [[str(i), "true" if expected else "false"] for i, (_, expected) in enumerate(transactions)]


@pytest.mark.parametrize("args, message", [
    (["--bank-a", "a.csv"], "go together"),
    (["--bank-a", "a.csv", "--bank-b", "a.csv", "--transactions", "a.csv", "--bank-columns", "nope"],
     "no column 'nope'"),
])
def test_bad_input_is_reported(tmp_path, args, message):
    write_csv(tmp_path / "a.csv", ["account", "name", "bic"], [["1", "x", "y"]])
    result = subprocess.run([sys.executable, str(DEMO), *args], cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode != 0
    assert message in result.stderr


def test_a_wrong_flag_fails_the_run(tmp_path):
    # A stand-in module that claims every transaction matched.
    (tmp_path / "kestrova.py").write_text(textwrap.dedent("""
        def key_gen(): return [0] * 32, [0] * 32
        def build_okvs(public_key, rows): return [0] * 2072
        def initiate_queries(s, r, a, b, pk): return [0] * (128 * min(len(s), len(r)))
        def randomize(cts): return list(cts)
        def combine(a, b):
            n = min(len(a), len(b)) // 128
            return tuple([0] * (32 * n) for _ in range(4))
        def decrypt(points, key): return list(points)
        def finish(s, r, g, d, key): return [True] * (len(d) // 32)
    """))
    result = run_demo("--accounts", "20", "--transactions-count", "20",
                      env_extra={"PYTHONPATH": str(tmp_path)})
    assert result.returncode == 1, result.stdout + result.stderr
    assert correct_count(result.stdout) == (10, 20)
    assert "WRONG: transaction" in result.stderr


def test_saved_tables_run_again_with_the_same_flags(tmp_path):
    first = run_demo("--accounts", "120", "--transactions-count", "150", "--seed", "7",
                     "--save-data", str(tmp_path), "--output", str(tmp_path / "first.csv"))
    assert first.returncode == 0, first.stdout + first.stderr
    # The saved tables use the default column names, so no --*-columns are needed.
    again = run_demo("--bank-a", str(tmp_path / "bank_a.csv"), "--bank-b", str(tmp_path / "bank_b.csv"),
                     "--transactions", str(tmp_path / "transactions.csv"), "--output", str(tmp_path / "again.csv"))
    assert again.returncode == 0, again.stdout + again.stderr
    assert correct_count(again.stdout) == (150, 150)
    first_flags = (tmp_path / "first.csv").read_text(encoding="utf-8")
    assert first_flags == (tmp_path / "again.csv").read_text(encoding="utf-8")
    assert first_flags.count("true") == 75
