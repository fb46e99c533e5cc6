"""examples/demo.py end to end at a small size, and its check of the flags."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))
import demo  # noqa: E402


def categories(stdout):
    rows = re.findall(r"^(both present|sender missing|receiver missing|both missing)\s+([\d,]+) +([\d,]+)$",
                      stdout, re.MULTILINE)
    return {name: [int(count.replace(",", "")), int(matched.replace(",", ""))] for name, count, matched in rows}


@pytest.mark.parametrize("script, mix, expected", [
    ("demo.py", "50,20,20,10", {"both present": [150, 150], "sender missing": [60, 0],
                                "receiver missing": [60, 0], "both missing": [30, 0]}),
    # 301 does not split evenly; a weight of 0 must still give no transaction.
    ("parties.py", "0,1,1,1", {"both present": [0, 0], "sender missing": [101, 0],
                               "receiver missing": [100, 0], "both missing": [100, 0]}),
])
def test_generated_run_gets_every_flag_right(tmp_path, script, mix, expected):
    total = sum(count for count, _ in expected.values())
    result = subprocess.run([sys.executable, str(EXAMPLES / script), "--accounts", "300", "--transactions-count",
                             str(total), "--batch", "128", "--mix", mix, "--workdir", str(tmp_path / "run")],
                            capture_output=True, text=True, encoding="utf-8", timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"correct flags: {total} / {total}" in result.stdout
    assert categories(result.stdout) == expected


def test_a_wrong_or_missing_flag_fails_the_check(tmp_path, capsys):
    rows = demo.generate(20, 10, [1, 1, 1, 1], seed=3)
    bank_a, bank_b, senders, receivers = rows
    known = [s in bank_a and r in bank_b for s, r in zip(senders, receivers)]
    flags = [[f"tx{i:07d}", "true" if k else "false"] for i, k in enumerate(known)]
    for case, body in (("right", flags), ("flipped", flags[:3] + [[flags[3][0], str(not known[3]).lower()]]
                                          + flags[4:]), ("short", flags[:-1])):
        demo.write_table(tmp_path / f"{case}.csv", ("tx_id", "match"), body)
        assert demo.check(tmp_path / f"{case}.csv", *rows) == (case != "right"), case
    assert "WRONG: transaction 3" in capsys.readouterr().err
