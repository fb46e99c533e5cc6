"""What a step says when it fails: what happened, in one line, never the engine's internals."""
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

from party_flow import ok, party, run_flow, write_csv

INTERNALS = ("pool", "module", "Traceback", "panicked")
OUT_OF_MEMORY = re.compile(r"out of memory \(needs about \d+\.\d GB, \d+\.\d available\)")


def one_line(result):
    assert result.returncode == 1, result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("kestrova-party: error: "), result.stderr
    assert not any(word in lines[0] for word in INTERNALS), lines[0]
    return lines[0]


@pytest.fixture(scope="module")
def central(tmp_path_factory):
    return run_flow(tmp_path_factory.mktemp("messages"))


# Runs a step with the address space limited to what the process holds after its
# imports (and, for `warm`, after the engine's threads started) plus `room` bytes.
LIMITED = textwrap.dedent("""
    import resource, sys
    from kestrova_protocol import cli, engine
    warm, room, argv = sys.argv[1] == "warm", int(sys.argv[2]), sys.argv[3:]
    if warm:
        engine.randomize(b"")
    size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (size + room, resource.RLIM_INFINITY))
    sys.exit(cli.main(argv))
""")


def limited(folder, warm, room, *argv):
    return subprocess.run([sys.executable, "-c", LIMITED, "warm" if warm else "cold", str(room), *map(str, argv)],
                          cwd=folder, capture_output=True, text=True, timeout=300)


BUILD = ["build-store", "--public-key", "W.pub", "--rows", "tx.csv", "--columns", "tx_id", "--out", "x.store",
         "--quiet"]


def test_a_key_that_is_not_a_point_is_that(central):
    (central / "bad.pub").write_bytes(bytes([2] + [0] * 31))  # y = 2: on no curve point
    line = one_line(party(central, *BUILD[:2], "bad.pub", *BUILD[3:], "--raw", "in"))
    assert line.endswith("bad.pub: not a point of the curve")


@pytest.mark.parametrize("how, says", [
    ("backend", "KESTROVA_BACKEND must be serial, avx2 or avx512ifma, not bogus"),
    ("memory", "cannot start the worker threads: out of memory (needs about"),
])
def test_an_engine_failure_is_not_a_bad_key(central, how, says):
    if how == "backend":
        result = subprocess.run([sys.executable, "-m", "kestrova_protocol", *BUILD], cwd=central,
                                capture_output=True, text=True, env=dict(os.environ, KESTROVA_BACKEND="bogus"))
    else:
        result = limited(central, False, 4 << 20, *BUILD, "--threads", "64")
    line = one_line(result)
    assert "not a point" not in line and says in line


def test_out_of_memory_in_a_batch_says_how_much(central):
    ok(central, "randomize", "--raw=out", "--in", "Q.cts", "--out", "Q.raw")
    (central / "big.raw").write_bytes((central / "Q.raw").read_bytes()[:128] * 200_000)
    line = one_line(limited(central, True, 48 << 20, "randomize", "--raw", "--in", "big.raw", "--out", "big.out",
                            "--batch", 200_000, "--quiet"))
    assert OUT_OF_MEMORY.search(line), line
    assert not (central / "big.out").exists()


@pytest.mark.parametrize("value", ["abc", "-1", "nan"])
def test_a_bad_progress_setting_is_one_line(central, value):
    result = subprocess.run([sys.executable, "-m", "kestrova_protocol", "randomize", "--in", "Q.cts", "--out",
                             "never.cts"], cwd=central, capture_output=True, text=True,
                            env=dict(os.environ, KESTROVA_PROGRESS_SECONDS=value))
    assert one_line(result).endswith(f"KESTROVA_PROGRESS_SECONDS={value}: expected a number of seconds (0 or more)")


def test_randomisations_of_no_transactions_combine(central, tmp_path):
    for name in ("A.store", "B.store", "W.pub"):
        shutil.copyfile(central / name, tmp_path / name)
    write_csv(tmp_path / "none.csv", ["fa", "fn", "ta", "tn"], [])
    ok(tmp_path, "query", "--sender-store", "A.store", "--receiver-store", "B.store", "--central-key", "W.pub",
       "--transactions", "none.csv", "--sender-columns", "fa,fn", "--receiver-columns", "ta,tn", "--out", "Q.cts")
    for copy in ("QA.cts", "QB.cts"):
        ok(tmp_path, "randomize", "--in", "Q.cts", "--out", copy)
    ok(tmp_path, "combine", "--in", "QA.cts", "QB.cts", "--out-prefix", "C")
    assert all(os.path.getsize(tmp_path / f"C.{c}") > 0 for c in ("sender", "receiver", "gamma", "delta"))


def test_a_bare_store_needs_its_keying_given(central, tmp_path):
    for name in ("W.pub", "tx.csv"):
        shutil.copyfile(central / name, tmp_path / name)
    for bank, store in (("bank_a", "A.store"), ("bank_b", "B.store")):
        ok(central.parent / bank, "build-store", "--public-key", f"{bank[-1].upper()}.pub", "--rows", "accounts.csv",
           "--columns", "account,name", "--out", tmp_path / f"{store}.raw", "--raw=out", "--keying", "plain")
    query = ["query", "--sender-store", "A.store.raw", "--receiver-store", "B.store.raw", "--central-key", "W.pub",
             "--transactions", "tx.csv", "--sender-columns", "from_account,from_name", "--receiver-columns",
             "to_account,to_name", "--out", "Q.cts", "--raw=in"]
    line = one_line(party(tmp_path, *query))
    assert "A.store.raw: a bare store does not say how its rows were keyed; give --keying" in line
    ok(tmp_path, *query, "--keying", "plain")
