"""The commit of a step's outputs across signals and kills: all or nothing, never the only copy lost."""
import os
import signal
import subprocess
import sys
import textwrap

import pytest

from kestrova_protocol import central, commit, inputs, party
from kestrova_protocol.header import Kind
from party_flow import run_flow

pytestmark = pytest.mark.slow

# Runs a command with the process killed (SIGKILL) before its commit's file
# operation number K, or sent SIGNAL there; K = -1 counts the operations.
CHILD = textwrap.dedent("""
    import os, signal, sys
    from kestrova_protocol import cli, commit
    at, how, argv = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
    seen = 0
    def before(name):
        global seen
        if seen == at:
            os.kill(os.getpid(), getattr(signal, how))
        seen += 1
    commit._before_step = before
    code = cli.main(argv)
    print(seen)
    sys.exit(code)
""")


def run(folder, at, how, *argv):
    return subprocess.run([sys.executable, "-c", CHILD, str(at), how, *argv], cwd=folder, capture_output=True,
                          text=True, timeout=300)


def cli(folder, *argv):
    return subprocess.run([sys.executable, "-m", "kestrova_protocol", *argv], cwd=folder, capture_output=True,
                          text=True, timeout=300)


@pytest.fixture(scope="module")
def flow(tmp_path_factory):
    central = run_flow(tmp_path_factory.mktemp("commit"))
    party.randomize(str(central / "Q.cts"), str(central / "QA2.cts"), party.Options(quiet=True))
    return central


def snapshot(folder, names):
    return {n: (folder / n).read_bytes() for n in names if (folder / n).exists()}


def leftovers(folder):
    return sorted(n for n in os.listdir(folder) if n.endswith(".part") or n.endswith(".commit"))


STEPS = {
    "keygen": (["K.pub", "K.key"], ["keygen", "--out", "K"]),
    "combine": ([f"C.{c}" for c in central.COMPONENTS], ["combine", "--in", "QA.cts", "QB.cts", "--out-prefix", "C"]),
}
FORCED = party.Options(quiet=True, force=True)
# The same steps in this process: the recovery and the rerun after each kill need no interpreter of their own.
RERUN = {
    "keygen": lambda folder: party.keygen(str(folder / "K"), FORCED),
    "combine": lambda folder: party.combine(str(folder / "QA.cts"), str(folder / "QB.cts"), str(folder / "C"), FORCED),
}


def consistent(folder, step, names):
    """The outputs belong to one run: a key pair's halves, or four lists of one combination."""
    headers = [inputs.Input(str(folder / n), list(Kind)).header for n in names]
    if step == "keygen":
        return headers[0].key == headers[1].key
    return len({h.batch for h in headers}) == 1


@pytest.mark.parametrize("force", [False, True], ids=["new", "replacing"])
@pytest.mark.parametrize("step", STEPS)
def test_a_kill_at_any_file_operation_leaves_all_or_nothing(flow, tmp_path, step, force):
    names, argv = STEPS[step]
    for name in ("QA.cts", "QA2.cts", "QB.cts"):
        os.link(flow / name, tmp_path / name)
    if force:
        # The old outputs: another key pair, or the combination of another randomisation.
        old_argv = argv if step == "keygen" else ["combine", "--in", "QA2.cts", "QB.cts", "--out-prefix", "C"]
        assert cli(tmp_path, *old_argv).returncode == 0
        argv = argv + ["--force"]
    old = snapshot(tmp_path, names)
    counted = run(tmp_path, -1, "SIGKILL", *argv)
    assert counted.returncode == 0, counted.stderr
    operations = int(counted.stdout.split()[-1])
    assert operations >= 2 * len(names)
    new = snapshot(tmp_path, names)
    assert consistent(tmp_path, step, names) and new != old
    for at in range(operations):
        for name in names:  # back to the state before the step
            if (tmp_path / name).exists():
                os.unlink(tmp_path / name)
        for name, data in old.items():
            (tmp_path / name).write_bytes(data)
        killed = run(tmp_path, at, "SIGKILL", *argv)
        assert killed.returncode == -signal.SIGKILL, (at, killed.stderr)
        # Any later step writing to the folder finishes the recovery.
        party.keygen(str(tmp_path / "other"), FORCED)
        now = snapshot(tmp_path, names)
        assert now in (old, new) or (step == "keygen" and len(now) == len(names)
                                     and consistent(tmp_path, step, names)), (at, sorted(now))
        # The step's own rerun removes what the killed one left of its temporaries.
        RERUN[step](tmp_path)
        assert leftovers(tmp_path) == [], (at, leftovers(tmp_path))


@pytest.mark.parametrize("number", ["SIGINT", "SIGTERM", "SIGHUP"])
@pytest.mark.parametrize("step", STEPS)
def test_a_signal_during_the_commit_is_told_truthfully(flow, tmp_path, step, number):
    names, argv = STEPS[step]
    for name in ("QA.cts", "QB.cts"):
        os.link(flow / name, tmp_path / name)
    done = run(tmp_path, 1, number, *argv)
    assert done.returncode == 0, done.stderr
    assert "after the outputs were written; they are complete" in done.stderr
    assert "no output written" not in done.stderr
    assert all((tmp_path / n).exists() for n in names) and consistent(tmp_path, step, names)
    assert leftovers(tmp_path) == []


def test_a_record_of_a_live_run_is_left_alone(tmp_path):
    held = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import fcntl, os, sys, time
        fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT, 0o600)
        os.write(fd, b'{"entries": []}')
        fcntl.flock(fd, fcntl.LOCK_EX)
        print("held", flush=True)
        time.sleep(60)
    """), str(tmp_path / ".kestrova.1-00.commit")], stdout=subprocess.PIPE, text=True)
    try:
        assert held.stdout.readline().strip() == "held"
        commit.recover(str(tmp_path))
        assert (tmp_path / ".kestrova.1-00.commit").exists()
    finally:
        held.kill()
        held.wait()
    commit.recover(str(tmp_path))
    assert not (tmp_path / ".kestrova.1-00.commit").exists()
