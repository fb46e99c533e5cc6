"""kestrova-party: the three parties as separate processes in separate folders."""
import csv
import json
import os
import shutil
import subprocess
import sys

import pytest

from party_flow import (EXPECTED, FINISH, STORE, TRANSACTIONS, finish, flags_of, ok, party,
                        replace, run_flow, send, write_csv)


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
    # Several batches, keyed on several threads: the refusal still names its own line.
    far = [f"{i},name {i}" for i in range(300_000)]
    far[250_000] = "250000,x\x1fy"
    (central / "sep_far.csv").write_text("a,b\n" + "\n".join(far) + "\n")
    (central / "folder").mkdir()
    write_csv(central / "short.csv", ["tx_id"], [["only"]])
    write_csv(central / "long.csv", ["tx_id"], [[str(i)] for i in range(6)])
    return central


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
    (STORE + ["sep_far.csv"], "sep_far.csv:250002: a value contains U+001F"),
    (FINISH + ["--transactions", "short.csv"], "short.csv: fewer transactions than the 5 points"),
    # The ids are read beside the work: what their reading meets still ends the step, in one line.
    (FINISH + ["--transactions", "long.csv"], "long.csv: more transactions than the 5 points"),
    (FINISH + ["--transactions", "bad.csv", "--id-column", "a"], "bad.csv:3: 1 fields, the header has 2"),
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
    # One allocator arena: the worker threads' own arenas hold a few MB more or less as the machine's load moves
    # when they start, which is not what the step holds.
    result = subprocess.run([sys.executable, "-c", PEAK, *map(str, args)], cwd=folder, capture_output=True,
                            text=True, timeout=300, env=dict(os.environ, MALLOC_ARENA_MAX="1"))
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
    with pytest.raises(PartyError, match="step: the engine refused batch 3: bad point"):
        got.extend(batches.in_order("step", work, source(5)))
    assert got == [0, 2, 4]


# The step in a fresh process, then whether it loaded pyarrow and, if so, which allocator Arrow used.
LOADED = ("import json, sys; from kestrova_protocol import cli; code = cli.command(sys.argv[1:]); "
          "pa = sys.modules.get('pyarrow'); "
          "print(json.dumps([code, pa and pa.default_memory_pool().backend_name, "
          "sys.modules.get('pandas') is not None or sys.modules.get('numpy') is not None]))")


@pytest.mark.parametrize("args, pool", [
    (["keygen", "--out", "lazy"], None),
    (["randomize", "--in", "Q.cts", "--out", "lazy.cts"], None),
    (["combine", "--in", "QA.cts", "QB.cts", "--out-prefix", "lazy"], None),
    (["decrypt", "--secret-key", "../bank_a/A.key", "--in", "C.sender", "--out", "lazy.dec"], None),
    (replace(FINISH, "out.csv", "lazy.csv") + ["--transactions", "tx.csv", "--id-column", "tx_id"], "system"),
    (replace(FINISH, "out.csv", "lazy.csv"), "system"),
    (["build-store", "--public-key", "W.pub", "--rows", "tx.csv", "--columns", "from_account,from_name",
      "--out", "lazy.store"], "system"),
    (["build-store", "--public-key", "W.pub", "--rows", "tx.csv", "--columns", "from_account,from_name:name+words",
      "--out", "lazy.store"], "system"),
    (["query", "--sender-store", "A.store", "--receiver-store", "B.store", "--central-key", "W.pub",
      "--transactions", "tx.csv", "--sender-columns", "from_account,from_name",
      "--receiver-columns", "to_account,to_name", "--out", "lazy.cts"], "system"),
])
def test_a_step_loads_arrow_only_to_read_a_table_and_then_frees_to_the_system(central, args, pool):
    # pyarrow's import is a third of a second of every process's start, and so is pandas', which pyarrow
    # imports (where installed) to convert its first Python value, and numpy's; Arrow's own allocator
    # keeps freed batches, so a step's memory would grow with its input.
    done = subprocess.run([sys.executable, "-c", LOADED, *args, "--force", "--quiet"], cwd=central,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout.splitlines()[-1]) == [0, pool, False]


@pytest.mark.slow
def test_a_table_left_early_never_aborts_the_exit_under_load(second_batch):
    """Arrow's read-ahead thread took the interpreter lock while the interpreter exited: about one run in
    six of this refusal aborted ("terminate called without an active exception") with two busy cores."""
    busy = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2)]
    try:
        for _ in range(15):
            result = party(second_batch, *FINISH, "--transactions", "long.csv")
            assert (result.returncode, result.stderr.strip().splitlines()[-1]) == \
                (1, "kestrova-party: error: long.csv: more transactions than the 5 points")
    finally:
        for p in busy:
            p.kill()
            p.wait()
