"""kestrova-party against bad files, faults and neighbours: refused in one line, nothing left behind."""
import contextlib
import errno
import http.client
import os
import shutil
import signal
import stat
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

import edwards_model as em
from kestrova_protocol import central, commit, engine, inputs, lineage, party, querying
from kestrova_protocol.errors import PartyError
from kestrova_protocol.header import HEADER, Kind
from kestrova_protocol.outputs import check_writable
from party_flow import FINISH, party as run_party, replace, run_flow

KINDS = {"A.pub": Kind.PUBLIC_KEY, "A.key": Kind.SECRET_KEY, "A.store": Kind.STORE,
         "Q.cts": Kind.QUERY, "QA.cts": Kind.RANDOMIZED, "C.sender": Kind.SENDER,
         "C.gamma": Kind.GAMMA, "S.dec": Kind.DECRYPTED_SENDER}


@pytest.fixture(scope="module")
def flow(tmp_path_factory):
    central = run_flow(tmp_path_factory.mktemp("faults"))
    for name in ("A.pub", "A.key", "S.dec"):
        shutil.copyfile(central.parent / "bank_a" / name, central / name)
    shutil.copyfile(central.parent / "bank_b" / "B.key", central / "B.key")
    return central


def refused(result, message=""):
    assert result.returncode == 1, result.stderr
    assert result.stderr.count("\n") == 1 and result.stderr.startswith("kestrova-party: error: "), result.stderr
    assert message in result.stderr
    return result.stderr


def leftovers(folder):
    return sorted(n for n in os.listdir(folder) if n.endswith(".part"))


def rewrite(path, header):
    """The file again under a changed header, its digest made to fit (as a careless tool would)."""
    data = path.read_bytes()
    payload = data[HEADER.size:]
    import hashlib
    header.digest = header.payload_digest(hashlib.sha256(payload).digest())
    path.write_bytes(header.pack() + payload)


def read_header(path):
    return inputs.Input(str(path), list(Kind)).header


@pytest.mark.parametrize("name", KINDS)
def test_every_header_bit_flip_is_refused(flow, tmp_path, name):
    data = (flow / name).read_bytes()
    target = tmp_path / name
    for bit in range(8 * HEADER.size):
        damaged = bytearray(data)
        damaged[bit // 8] ^= 1 << (bit % 8)
        target.write_bytes(bytes(damaged))
        with pytest.raises(PartyError):
            inputs.Input(str(target), [KINDS[name]]).read_all()


@pytest.mark.parametrize("name, field", [(n, f) for n in KINDS for f in lineage.fields_of(KINDS[n])])
def test_a_zeroed_fingerprint_is_damage_not_a_wildcard(flow, tmp_path, name, field):
    data = bytearray((flow / name).read_bytes())
    at = HEADER.size - lineage.FP_BYTES * (len(lineage.FIELDS) - lineage.FIELDS.index(field))
    data[at:at + lineage.FP_BYTES] = bytes(lineage.FP_BYTES)
    (tmp_path / name).write_bytes(bytes(data))
    with pytest.raises(PartyError, match="damaged or altered"):
        inputs.Input(str(tmp_path / name), [KINDS[name]]).read_all()


def test_lineage_checks_that_a_consistent_header_cannot_dodge(flow):
    # Bank B's key on bank A's points, their bank-key fingerprint zeroed: damage, not a wildcard.
    data = bytearray((flow / "C.sender").read_bytes())
    at = HEADER.size - lineage.FP_BYTES * (len(lineage.FIELDS) - lineage.FIELDS.index("sender_key"))
    data[at:at + lineage.FP_BYTES] = bytes(lineage.FP_BYTES)
    (flow / "zeroed.sender").write_bytes(bytes(data))
    refused(run_party(flow, "decrypt", "--secret-key", "B.key", "--in", "zeroed.sender", "--out", "x.dec"),
            "damaged or altered")
    # A sender list decrypted by someone else than the sender bank: finish refuses it.
    header = read_header(flow / "S.dec")
    header.decrypted_by = lineage.fingerprint(b"some other key")
    (flow / "other.dec").write_bytes((flow / "S.dec").read_bytes())
    rewrite(flow / "other.dec", header)
    refused(run_party(flow, *replace(FINISH, "S.dec", "other.dec")), "other.dec: decrypted with a key that is not the sender bank's")
    # A store whose payload does not fit its row count never reaches the module.
    header = read_header(flow / "A.store")
    header.count += 1
    (flow / "long.store").write_bytes((flow / "A.store").read_bytes())
    rewrite(flow / "long.store", header)
    refused(run_party(flow, "query", "--sender-store", "long.store", "--receiver-store", "B.store", "--central-key",
                      "W.pub", "--transactions", "tx.csv", "--sender-columns", "from_account,from_name",
                      "--receiver-columns", "to_account,to_name", "--out", "x.cts"), "a store of 3 rows has")
    old = bytearray((flow / "Q.cts").read_bytes())
    old[8] = 1
    (flow / "old.cts").write_bytes(bytes(old))
    refused(run_party(flow, "randomize", "--in", "old.cts", "--out", "x.cts"), "older kestrova-party")
    assert not leftovers(flow)


P = (1 << 255) - 19
SMALL_ORDER = [bytes([1]) + bytes(31), (P - 1).to_bytes(32, "little"), bytes(32)]  # orders 1, 2, 4


@pytest.mark.parametrize("key, message", [(k, "small order") for k in SMALL_ORDER] +
                         [(em.compress(em.add(em.BASE, em.T8)), "a point with a small-order part"),
                          (P.to_bytes(32, "little"), "not a canonical point encoding"),
                          (bytes([2]) + bytes(31), "not a point of the curve")])
def test_keys_that_would_reveal_rows_are_refused(flow, key, message):
    (flow / "bad.pub").write_bytes(key)
    refused(run_party(flow, "build-store", "--raw=in", "--public-key", "bad.pub", "--rows", "tx.csv",
                      "--columns", "tx_id", "--out", "x.store"), message)
    refused(run_party(flow, "query", "--raw=in", "--sender-store", "A.store", "--receiver-store", "B.store",
                      "--central-key", "bad.pub", "--transactions", "tx.csv", "--sender-columns",
                      "from_account,from_name", "--receiver-columns", "to_account,to_name", "--out", "x.cts"), message)


@pytest.fixture
def fifo(flow):
    path = flow / "pipe"
    os.mkfifo(path)
    yield "pipe"
    os.unlink(path)


@pytest.mark.parametrize("args, message", [
    (["randomize", "--in", "{pipe}", "--out", "x.cts"], "pipe: is a named pipe"),
    (["build-store", "--public-key", "A.pub", "--rows", "{pipe}", "--columns", "a", "--out", "x.store"],
     "pipe: is a named pipe"),
    (replace(FINISH, "W.key", "{pipe}"), "pipe: is a named pipe"),
    (["randomize", "--raw=in", "--in", "/dev/zero", "--out", "x.cts"], "/dev/zero: is a device"),
    (["build-store", "--public-key", "A.pub", "--rows", "/dev/zero", "--columns", "a", "--out", "x.store"],
     "/dev/zero: is a device"),
    (["randomize", "--in", "Q.cts", "--out", "Q.cts", "--force"], "Q.cts: is the input Q.cts"),
    (["randomize", "--in", "Q.cts", "--out", "linked.cts", "--force"], "linked.cts: is the input Q.cts"),
    (["build-store", "--public-key", "A.pub", "--rows", "tx.csv", "--columns", "tx_id", "--out", "tx.csv",
      "--force"], "tx.csv: is the input tx.csv"),
    (["randomize", "--in", "Q.cts", "--out", "/dev/full", "--force"], "/dev/full: is a device"),
    (["randomize", "--in", "Q.cts", "--out", "A.key", "--force"], "A.key: is a secret key"),
    (["randomize", "--in", "Q.cts", "--out", ""], "an empty output name"),
    (["randomize", "--in", "Q.cts", "--out", "sub/"], "names a folder"),
    (["keygen", "--out", "sub/"], "expected DIR/NAME"),
])
def test_inputs_and_outputs_that_are_not_plain_files(flow, fifo, args, message):
    (flow / "sub").mkdir(exist_ok=True)
    if not (flow / "linked.cts").exists():
        os.link(flow / "Q.cts", flow / "linked.cts")
    before = {n: (flow / n).read_bytes() for n in ("Q.cts", "tx.csv", "A.key")}
    result = subprocess.run([str(party_script()), *[a.format(pipe=fifo) for a in args]], cwd=flow,
                            capture_output=True, text=True, timeout=60)
    refused(result, message)
    assert {n: (flow / n).read_bytes() for n in before} == before
    assert stat.S_ISCHR(os.stat("/dev/full").st_mode)
    assert not leftovers(flow) and not leftovers(flow.parent) and os.listdir(flow / "sub") == []


def party_script():
    from party_flow import SCRIPT
    return SCRIPT


def test_engine_refusal_is_one_line_without_the_panic_report(flow):
    (flow / "bad.raw").write_bytes(bytes([2] + [0] * 127))
    text = refused(run_party(flow, "randomize", "--raw", "--in", "bad.raw", "--out", "x.raw"),
                   "the engine refused batch 0: ")
    assert "panicked" not in text and "/src/" not in text


def test_an_input_that_grows_while_read_fails_the_step(flow, monkeypatch):
    shutil.copyfile(flow / "Q.cts", flow / "growing.cts")
    real = engine.randomize

    def grow(batch):
        with open(flow / "growing.cts", "ab") as f:
            f.write(bytes(128))
        return real(batch)

    monkeypatch.setattr(engine, "randomize", grow)
    with pytest.raises(PartyError, match="growing.cts: changed while being read"):
        party.randomize(str(flow / "growing.cts"), str(flow / "grown.cts"), party.Options(batch=2, quiet=True))
    assert not (flow / "grown.cts").exists() and not leftovers(flow)


def test_two_writers_of_one_output_cannot_both_win(flow):
    name = str(flow / "race.bin")
    outputs = [commit.Outputs() for _ in range(2)]
    for out in outputs:
        check_writable([name], force=False)
        out.add(commit.Output(name)).write(b"mine")
    outputs[0].__exit__(None, None, None)
    with pytest.raises(PartyError, match="exists"):
        outputs[1].__exit__(None, None, None)
    assert not leftovers(flow)


@pytest.mark.parametrize("force", [False, True])
def test_a_failure_between_commits_undoes_the_first(flow, monkeypatch, force):
    prefix = flow / "F"
    if force:
        party.combine(str(flow / "QA.cts"), str(flow / "QB.cts"), str(prefix), party.Options(quiet=True))
    before = {p: (flow / f"F.{p}").read_bytes() for p in central.COMPONENTS} if force else {}
    name = "rename" if force else "link"
    real, calls = getattr(os, name), []

    def second_fails(*args):
        calls.append(args)
        if len(calls) == 2:
            raise OSError(errno.EIO, "Input/output error")
        return real(*args)

    monkeypatch.setattr(os, name, second_fails)
    with pytest.raises(PartyError, match="cannot write"):
        party.combine(str(flow / "QA.cts"), str(flow / "QB.cts"), str(prefix), party.Options(quiet=True, force=force))
    monkeypatch.undo()
    after = {p: (flow / f"F.{p}").read_bytes() for p in central.COMPONENTS if (flow / f"F.{p}").exists()}
    assert after == before and not leftovers(flow)


def test_sigterm_removes_temporaries_and_a_rerun_removes_a_killed_runs(flow):
    one = (flow / "QA.cts").read_bytes()[HEADER.size:][:128]
    (flow / "many.raw").write_bytes(one * 100_000)
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    stale = flow / f".stopped.raw.{dead.stdout.strip()}-0000.part"
    stale.write_bytes(b"left by a killed run")
    step = subprocess.Popen([str(party_script()), "randomize", "--raw", "--in", "many.raw", "--out", "stopped.raw",
                             "--batch", "100"], cwd=flow, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not [n for n in leftovers(flow) if str(step.pid) in n]:
        assert time.monotonic() < deadline and step.poll() is None, "the step never started writing"
        time.sleep(0.01)
    assert not stale.exists()
    step.send_signal(signal.SIGTERM)
    _, err = step.communicate(timeout=60)
    assert step.returncode == 128 + signal.SIGTERM, err
    assert "stopped by SIGTERM" in err and not (flow / "stopped.raw").exists() and not leftovers(flow)


def test_a_full_disk_is_one_line(flow, tmp_path):
    disk = tmp_path / "disk"
    disk.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(disk)],
                                           capture_output=True).returncode:
        pytest.skip("needs root to mount a small tmpfs")
    try:
        one = (flow / "QA.cts").read_bytes()[HEADER.size:][:128]
        (flow / "big.raw").write_bytes(one * 2_000)
        refused(run_party(flow, "randomize", "--raw", "--in", "big.raw", "--out", str(disk / "out.raw")),
                "No space left on device")
        assert os.listdir(disk) == []
    finally:
        subprocess.run(["umount", str(disk)], check=True)


def test_a_local_cluster_is_closed_to_other_processes():
    from kestrova_protocol import cluster
    with cluster.connect("local:2") as client:
        client.wait_for_workers(2)
        address = client.scheduler.address
        assert address.startswith("tls://127.0.0.1:")
        workers = list(client.scheduler_info()["workers"])
        assert all(w.startswith("tls://127.0.0.1:") for w in workers)
        listening = client.run_on_scheduler(_listening_ports) + sum(client.run(_listening_ports).values(), [])
        for target in [address, address.replace("tls://", "tcp://")] + workers:
            outsider = subprocess.run(
                [sys.executable, "-c", f"from distributed import Client; c = Client({target!r}, timeout=5); "
                 "print(c.run(lambda dask_worker: len(dask_worker.data)))"],
                capture_output=True, text=True, timeout=120)
            assert outsider.returncode != 0, (target, outsider.stdout)
    assert listening and all(host == "127.0.0.1" for host, _ in listening)
    for _, port in listening:  # nothing answers plain HTTP: no dashboard, metrics or API
        for path in ("/health", "/status", "/metrics", "/json/identity.json", "/api/v1"):
            try:
                answer = urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=5).status
            except (urllib.error.URLError, OSError, http.client.HTTPException):
                answer = None
            assert answer != 200, (port, path)


def _listening_ports():
    import psutil
    return [(c.laddr.ip, c.laddr.port) for c in psutil.Process().net_connections(kind="inet")
            if c.status == "LISTEN"]


def test_a_store_truncated_while_query_runs_cannot_crash_it(flow, monkeypatch):
    shutil.copyfile(flow / "A.store", flow / "shrinking.store")
    real = querying._held_store

    @contextlib.contextmanager
    def read_then_truncate(report, source, *args):  # once the store is in, another process cuts it short
        with real(report, source, *args) as store:
            if source.path.endswith("shrinking.store"):
                os.truncate(source.path, HEADER.size)
            yield store

    monkeypatch.setattr(querying, "_held_store", read_then_truncate)
    party.query(str(flow / "shrinking.store"), str(flow / "B.store"), str(flow / "W.pub"), str(flow / "tx.csv"),
                ["from_account", "from_name"], ["to_account", "to_name"], str(flow / "cut.cts"),
                options=party.Options(quiet=True))
    assert (flow / "cut.cts").stat().st_size == HEADER.size + 128 * 5
