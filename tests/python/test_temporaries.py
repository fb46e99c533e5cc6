"""Temporaries: owned by a lock its run holds, named within NAME_MAX, kept where the output's folder was."""
import os
import subprocess
import sys
import textwrap

import pytest

from kestrova_protocol import engine, outputs, party, temporaries

ONE = bytes([1] + [0] * 31) * 4  # a ciphertext of four identity points

HOLD = textwrap.dedent("""
    import fcntl, os, sys, time
    fd = os.open(sys.argv[1], os.O_WRONLY | os.O_CREAT, 0o600)
    fcntl.flock(fd, fcntl.LOCK_EX)
    print("held", flush=True)
    time.sleep(120)
""")


@pytest.fixture
def holder():
    started = []

    def hold(path):
        child = subprocess.Popen([sys.executable, "-c", HOLD, str(path)], stdout=subprocess.PIPE, text=True)
        started.append(child)
        assert child.stdout.readline().strip() == "held"
        return child

    yield hold
    for child in started:
        child.kill()
        child.wait()


@pytest.mark.parametrize("pid, held, kept", [
    (os.getpid(), False, False),    # a reused live PID, yet no run holds it: stale
    (4_000_000, True, True),        # a PID from another namespace, held by a live run there
    (os.getpid(), True, True),
    (4_000_000, False, False),
])
def test_a_rerun_removes_exactly_the_temporaries_no_live_run_holds(tmp_path, holder, pid, held, kept):
    temporary = tmp_path / f".out.bin.{pid}-0badf00d.part"
    temporary.write_bytes(b"partial")
    if held:
        holder(temporary)
    assert temporaries.owned_by_live_run(str(temporary)) == held
    outputs.check_writable([str(tmp_path / "out.bin")], force=False)
    assert temporary.exists() == kept


def test_a_live_runs_temporary_survives_another_runs_cleanup(tmp_path, monkeypatch):
    (tmp_path / "in.raw").write_bytes(ONE * 50)
    real, seen = engine.randomize, []

    def meanwhile(batch):
        # Another run of the same output starts while this one writes.
        seen.extend(n for n in os.listdir(tmp_path) if n.endswith(".part"))
        outputs.check_writable([str(tmp_path / "out.raw")], force=True)
        return real(batch)

    monkeypatch.setattr(engine, "randomize", meanwhile)
    party.randomize(str(tmp_path / "in.raw"), str(tmp_path / "out.raw"),
                    party.Options(raw_in=True, raw_out=True, quiet=True, batch=10))
    assert seen
    assert os.path.getsize(tmp_path / "out.raw") == len(ONE) * 50


@pytest.mark.parametrize("length", [200, 235, 250, 255])
@pytest.mark.parametrize("force", [False, True])
def test_every_valid_output_name_can_be_written(tmp_path, length, force):
    (tmp_path / "in.raw").write_bytes(ONE * 3)
    name = "é" * ((length - 1) // 2) + "x" * (1 + (length - 1) % 2)  # multi-byte, cut mid-character too
    assert len(os.fsencode(name)) == length
    out = tmp_path / name
    options = party.Options(raw_in=True, raw_out=True, quiet=True, force=force)
    party.randomize(str(tmp_path / "in.raw"), str(out), options)
    if force:
        party.randomize(str(tmp_path / "in.raw"), str(out), options)
    assert os.path.getsize(out) == len(ONE) * 3
    assert sorted(os.listdir(tmp_path)) == sorted(["in.raw", name])


def test_a_folder_link_retargeted_mid_run_changes_nothing(tmp_path, monkeypatch):
    first, second = tmp_path / "first", tmp_path / "second"
    first.mkdir()
    second.mkdir()
    (tmp_path / "in.raw").write_bytes(ONE * 40)
    (tmp_path / "link").symlink_to(first)
    real = engine.randomize

    def retarget(batch):
        if (tmp_path / "link").resolve() == first:
            (tmp_path / "link").unlink()
            (tmp_path / "link").symlink_to(second)
        return real(batch)

    monkeypatch.setattr(engine, "randomize", retarget)
    party.randomize(str(tmp_path / "in.raw"), str(tmp_path / "link" / "out.raw"),
                    party.Options(raw_in=True, raw_out=True, quiet=True, batch=10))
    assert os.listdir(first) == ["out.raw"] and os.listdir(second) == []
    assert os.path.getsize(first / "out.raw") == len(ONE) * 40
