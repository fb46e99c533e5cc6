"""--resume: a batched step killed at any moment continues from its last checkpoint."""
import json
import os
import shutil
import subprocess
import sys

import pytest

from kestrova_protocol.header import HEADER
from party_flow import EXPECTED, TRANSACTIONS, ok, party, run_flow

pytestmark = pytest.mark.slow

# Runs the command with Output.write dying at its AT-th call: before writing ("boundary": what came before is
# checkpointed) or after writing half of it ("torn"), as SIGKILL would leave it.
KILLED = """
import os, sys
from kestrova_protocol import cli, commit
at, how = int(sys.argv[1]), sys.argv[2]
real, calls = commit.Output.write, [0]
def write(self, data):
    calls[0] += 1
    if calls[0] == at:
        if how == "torn":
            real(self, data[:len(data) // 2])
            self.file.flush()
        os._exit(9)
    real(self, data)
commit.Output.write = write
sys.exit(cli.main(sys.argv[3:]))
"""

QUERY = ["query", "--sender-store", "A.store", "--receiver-store", "B.store", "--central-key", "W.pub",
         "--transactions", "tx.csv", "--sender-columns", "from_account,from_name",
         "--receiver-columns", "to_account,to_name"]
STEPS = {
    "query": (QUERY + ["--out", "Q2.cts"], ["Q2.cts"]),
    "randomize": (["randomize", "--in", "Q.cts", "--out", "QA2.cts"], ["QA2.cts"]),
    "combine": (["combine", "--in", "QA.cts", "QB.cts", "--out-prefix", "C2"],
                ["C2.sender", "C2.receiver", "C2.gamma", "C2.delta"]),
    "decrypt": (["decrypt", "--secret-key", "A.key", "--in", "C.sender", "--out", "S2.dec"], ["S2.dec"]),
    "finish": (["finish", "--secret-key", "W.key", "--sender", "S.dec", "--receiver", "R.dec", "--gamma", "C.gamma",
                "--delta", "C.delta", "--transactions", "tx.csv", "--id-column", "tx_id", "--out", "flags2.csv"],
               ["flags2.csv"]),
}
# The same outputs from the uninterrupted flow, for the steps that draw no randomness.
SAME_AS = {"C2.sender": "C.sender", "C2.receiver": "C.receiver", "C2.gamma": "C.gamma", "C2.delta": "C.delta",
           "S2.dec": "S.dec", "flags2.csv": "flags.csv"}


@pytest.fixture(scope="module")
def flow(tmp_path_factory):
    central = run_flow(tmp_path_factory.mktemp("resume"))
    for bank, names in (("bank_a", ("A.key", "QA.cts", "S.dec")), ("bank_b", ("QB.cts", "R.dec"))):
        for name in names:
            shutil.copyfile(central.parent / bank / name, central / name)
    os.chmod(central / "A.key", 0o600)
    return central


def killed(folder, at, how, args):
    env = {**os.environ, "KESTROVA_CHECKPOINT_SECONDS": "0"}
    done = subprocess.run([sys.executable, "-c", KILLED, str(at), how, *args, "--batch", "1", "--quiet"],
                          cwd=folder, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 9, done.stderr


def leftovers(folder):
    return sorted(n for n in os.listdir(folder) if n.endswith(".part"))


def checkpoint_of(folder):
    """The killed run's checkpoint; none when it died before its first batch was written."""
    states = [n for n in leftovers(folder) if n.endswith(".state.part")]
    assert len(states) <= 1
    return json.loads((folder / states[0]).read_text()) if states else {"items": 0, "outputs": []}


def clean(folder, outputs):
    for name in outputs:
        (folder / name).unlink(missing_ok=True)
    for name in leftovers(folder):
        (folder / name).unlink()


def flags_after(central, queries=None, randomized=None):
    """The rest of the flow from a resumed Q2.cts or QA2.cts: the flags at the end."""
    bank_a, bank_b = central.parent / "bank_a", central.parent / "bank_b"
    if queries:
        shutil.copyfile(central / queries, bank_a / "Qx.cts")
        shutil.copyfile(central / queries, bank_b / "Qx.cts")
        ok(bank_a, "randomize", "--in", "Qx.cts", "--out", "QAx.cts", "--force")
        ok(bank_b, "randomize", "--in", "Qx.cts", "--out", "QBx.cts", "--force")
        shutil.copyfile(bank_a / "QAx.cts", central / "QAx.cts")
        shutil.copyfile(bank_b / "QBx.cts", central / "QBx.cts")
        first, second = "QAx.cts", "QBx.cts"
    else:
        first, second = randomized, "QB.cts"
    ok(central, "combine", "--in", first, second, "--out-prefix", "X", "--force")
    ok(central, "decrypt", "--secret-key", "A.key", "--in", "X.sender", "--out", "XS.dec", "--force")
    ok(central, "decrypt", "--secret-key", "../bank_b/B.key", "--in", "X.receiver", "--out", "XR.dec", "--force")
    ok(central, "finish", "--secret-key", "W.key", "--sender", "XS.dec", "--receiver", "XR.dec", "--gamma",
       "X.gamma", "--delta", "X.delta", "--out", "Xflags.csv", "--force")
    return [line.split(",")[1] for line in (central / "Xflags.csv").read_text().splitlines()[1:]]


# Output.write calls: the outputs' headers first (four for combine), then one per batch and output.
# decrypt's seventh is its header written at the end; finish writes a CSV with no header to fill in.
CASES = ([(step, at, how) for step, last in (("decrypt", 7), ("finish", 6)) for at in range(2, last + 1)
          for how in ("boundary", "torn")]
         + [("combine", at, how) for at in (6, 11, 17) for how in ("boundary", "torn")]
         + [(step, at, how) for step in ("query", "randomize") for at, how in ((3, "boundary"), (5, "torn"))])


@pytest.mark.parametrize("step, at, how", CASES)
def test_resume_after_a_kill_gives_the_uninterrupted_result(flow, step, at, how):
    args, outputs = STEPS[step]
    clean(flow, outputs)
    killed(flow, at, how, args)
    assert not any((flow / name).exists() for name in outputs)
    state = checkpoint_of(flow)
    written = [(flow / os.path.dirname(r["path"]) / r["temp"]).read_bytes()[:r["length"]] for r in state["outputs"]]
    result = party(flow, *args, "--batch", "1", "--resume")
    assert result.returncode == 0, result.stderr
    assert f"{len(TRANSACTIONS):,} " in result.stderr.splitlines()[-1]
    assert leftovers(flow) == []
    # Continued, not begun again: what was checkpointed is where it was (the header aside, filled in at the end).
    skip = 0 if step == "finish" else HEADER.size
    for name, before in zip(outputs, written):
        assert (flow / name).read_bytes()[skip:len(before)] == before[skip:]
    if step in ("query", "randomize"):
        assert state["items"] > 0
        flags = flags_after(flow, queries="Q2.cts") if step == "query" else flags_after(flow, randomized="QA2.cts")
        assert flags == EXPECTED["nfc"]
    else:
        for name in outputs:
            assert (flow / name).read_bytes() == (flow / SAME_AS[name]).read_bytes()


def test_without_resume_a_rerun_begins_again(flow):
    args, outputs = STEPS["decrypt"]
    clean(flow, outputs)
    killed(flow, 4, "boundary", args)
    ok(flow, *args, "--batch", "1")
    assert leftovers(flow) == []
    assert (flow / "S2.dec").read_bytes() == (flow / "S.dec").read_bytes()


@pytest.mark.parametrize("what", ["output", "checkpoint", "input"])
def test_a_changed_resumable_temporary_is_refused(flow, what):
    args, outputs = STEPS["decrypt"]
    clean(flow, outputs)
    shutil.copyfile(flow / "C.sender", flow / "C.sender.copy")
    killed(flow, 4, "boundary", args)
    state = checkpoint_of(flow)
    (record,) = state["outputs"]
    if what == "output":
        temp = flow / record["temp"]
        data = bytearray(temp.read_bytes())
        data[record["length"] - 1] ^= 1
        temp.write_bytes(bytes(data))
        message = "changed on disk"
    elif what == "checkpoint":
        (name,) = [n for n in leftovers(flow) if n.endswith(".state.part")]
        (flow / name).write_text("{" + (flow / name).read_text())
        message = "damaged or altered"
    else:  # the interrupted run read another input under the same name
        shutil.copyfile(flow / "C.receiver", flow / "C.sender")
        args = ["decrypt", "--secret-key", "../bank_b/B.key", "--in", "C.sender", "--out", "S2.dec"]
        message = "read other inputs"
    try:
        result = party(flow, *args, "--batch", "1", "--resume")
    finally:
        shutil.move(flow / "C.sender.copy", flow / "C.sender")
    assert result.returncode == 1
    assert result.stderr.count("\n") == 1 and message in result.stderr, result.stderr
    assert not (flow / "S2.dec").exists()
    assert leftovers(flow) == []


def test_a_resume_refused_before_it_began_can_be_resumed_again(flow):
    args, outputs = STEPS["decrypt"]
    clean(flow, outputs)
    killed(flow, 5, "boundary", args)
    (flow / "S2.dec").write_bytes(b"in the way")
    result = party(flow, *args, "--batch", "1", "--resume")
    assert result.returncode == 1 and "exists" in result.stderr
    (flow / "S2.dec").unlink()
    ok(flow, *args, "--batch", "1", "--resume")
    assert (flow / "S2.dec").read_bytes() == (flow / "S.dec").read_bytes()
    assert leftovers(flow) == []


def test_a_resumed_run_killed_before_its_first_checkpoint_can_be_resumed_again(flow):
    args, outputs = STEPS["randomize"]
    clean(flow, outputs)
    killed(flow, 4, "boundary", args)
    first = checkpoint_of(flow)["items"]
    killed(flow, 2, "boundary", [*args, "--resume"])  # after taking the temporary over, before writing more
    assert checkpoint_of(flow)["items"] == first
    ok(flow, *args, "--batch", "1", "--resume")
    assert leftovers(flow) == []
    assert flags_after(flow, randomized="QA2.cts") == EXPECTED["nfc"]


@pytest.mark.parametrize("sender, receiver", [("bad.store", "B.store"), ("A.store", "bad.store"),
                                              ("bad.store", "bad.store")])
def test_no_checkpoint_is_kept_from_a_store_whose_digest_is_not_yet_checked(flow, sender, receiver):
    # A store's digest is checked beside the lookups; a run killed at its first checkpoint would otherwise
    # leave batches made from damaged cells, which a resume against the repaired file would keep.
    clean(flow, ["Q2.cts"])
    data = bytearray((flow / ("B.store" if receiver == "bad.store" != sender else "A.store")).read_bytes())
    data[-40] ^= 1
    (flow / "bad.store").write_bytes(bytes(data))
    args = [*STEPS["query"][0], "--batch", "1", "--quiet"]
    args[args.index("A.store")], args[args.index("B.store")] = sender, receiver
    killer = KILLED.replace("real, calls", "from kestrova_protocol import resume\nreal_checkpoint = "
                            "resume.Journal.checkpoint\nresume.Journal.checkpoint = lambda self: "
                            "(real_checkpoint(self), os._exit(9))\nreal, calls")
    env = {**os.environ, "KESTROVA_CHECKPOINT_SECONDS": "0"}
    done = subprocess.run([sys.executable, "-c", killer, "1000000", "boundary", *args], cwd=flow, env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 1, done.stderr
    assert "bad.store: damaged or altered" in done.stderr and done.stderr.count("\n") == 1
    assert not (flow / "Q2.cts").exists() and leftovers(flow) == []
