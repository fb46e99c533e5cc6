"""query with large stores: one store held at a time, refused in one line when memory or the stores fail it."""
import fcntl
import hashlib
import json
import mmap
import os
import random
import shutil
import subprocess
import sys
import textwrap

import pytest

from kestrova_protocol import cli, engine, inputs, lineage, memory, querying
from kestrova_protocol.errors import PartyError
from kestrova_protocol.header import HEADER, Header, Kind

pytestmark = pytest.mark.slow

QUERY = textwrap.dedent("""
    import json, sys
    from kestrova_protocol import cli
    folder, a, b = sys.argv[1:4]
    code = cli.main(["query", "--sender-store", f"{folder}/{a}", "--receiver-store", f"{folder}/{b}",
                     "--central-key", f"{folder}/W.pub", "--transactions", f"{folder}/tx.csv",
                     "--sender-columns", "from", "--receiver-columns", "to", "--keying", "plain",
                     "--out", f"{folder}/Q.cts", "--quiet", "--force"])
    peak = int(next(l for l in open("/proc/self/status") if l.startswith("VmHWM")).split()[1]) * 1024
    print(json.dumps([code, peak]))
""")


def fake_store(path, rows, key_fp, seed):
    """A store's byte form of random cells (any bytes decode to some value) under a valid header."""
    payload = random.Random(seed).randbytes(engine.store_bytes(rows))
    header = Header(Kind.STORE, rows, key=key_fp)
    header.digest = header.payload_digest(hashlib.sha256(payload).digest())
    path.write_bytes(header.pack() + payload)


@pytest.fixture(scope="module")
def stores(tmp_path_factory):
    folder = tmp_path_factory.mktemp("scale")
    assert cli.main(["keygen", "--out", str(folder / "W")]) == 0
    key_fp = lineage.fingerprint(inputs.read_whole(str(folder / "W.pub"), Kind.PUBLIC_KEY)[1])
    for name, rows, seed in (("S1", 10_000, 1), ("S2", 10_000, 2), ("L1", 1_000_000, 3), ("L2", 1_000_000, 4)):
        fake_store(folder / f"{name}.store", rows, key_fp, seed)
    shutil.copyfile(folder / "L1.store", folder / "L1copy.store")
    with open(folder / "tx.csv", "w") as tx:
        tx.write("from,to\n" + "".join(f"NL{i:010d},FR{i:010d}\n" for i in range(20_000)))
    return folder


def peak_of(folder, a, b):
    done = subprocess.run([sys.executable, "-c", QUERY, str(folder), a, b], capture_output=True, text=True)
    code, peak = json.loads(done.stdout)
    assert code == 0, done.stderr
    return peak


@pytest.mark.parametrize("a, b", [("L1", "L2"), ("L1", "L1"), ("L1", "L1copy")])
def test_query_holds_one_store_at_a_time(stores, a, b):
    small = peak_of(stores, "S1.store", "S2.store")
    large = peak_of(stores, f"{a}.store", f"{b}.store")
    # One store's growth is 1.0 of the bound; both stores held, or one twice, would be 2.0.
    assert large - small < 1.4 * (engine.store_bytes(1_000_000) - engine.store_bytes(10_000))


def query_args(folder, a, b):
    return ["query", "--sender-store", str(folder / a), "--receiver-store", str(folder / b),
            "--central-key", str(folder / "W.pub"), "--transactions", str(folder / "tx.csv"),
            "--sender-columns", "from", "--receiver-columns", "to", "--keying", "plain",
            "--out", str(folder / "cut.cts"), "--quiet", "--force"]


def one_line(capfd, code):
    err = capfd.readouterr().err
    assert code == 1 and err.count("\n") == 1 and err.startswith("kestrova-party: error: "), err
    return err


@pytest.mark.parametrize("how, message", [("truncate", "became shorter"), ("rewrite", "changed while being read")])
def test_a_receiver_store_changed_while_the_sender_side_runs_is_one_line(stores, monkeypatch, capfd, how, message):
    shutil.copyfile(stores / "S2.store", stores / "changing.store")
    real = querying.Table

    def change_then_read(*args):  # the sender store is in; another process changes the receiver's
        if how == "truncate":
            os.truncate(stores / "changing.store", HEADER.size + 4096)
        else:
            with open(stores / "changing.store", "r+b") as f:
                f.seek(HEADER.size + 100)
                f.write(b"\xff" * 64)
        return real(*args)

    monkeypatch.setattr(querying, "Table", change_then_read)
    err = one_line(capfd, cli.main(query_args(stores, "S1.store", "changing.store")))
    assert "changing.store" in err and message in err
    assert not (stores / "cut.cts").exists()
    assert not [n for n in os.listdir(stores) if n.endswith(".part")]


def mappings_of(size):
    """This process's mappings of `size` bytes: (permissions, THPeligible) of each, from /proc/self/smaps."""
    found, current = [], None
    with open("/proc/self/smaps") as f:
        for line in f:
            first = line.split()[0]
            if "-" in first and not first.endswith(":"):
                start, end = (int(x, 16) for x in first.split("-"))
                current = line.split()[1] if end - start == size else None
            elif current and first == "THPeligible:":
                found.append((current, int(line.split()[1])))
    return found


def test_a_held_store_is_private_memory_that_may_get_huge_pages(stores):
    thp = "/sys/kernel/mm/transparent_hugepage/enabled"
    if not os.path.exists(thp) or "[never]" in open(thp).read():
        pytest.skip("this kernel gives no transparent huge pages")
    from kestrova_protocol.progress import Report
    from kestrova_protocol.steps import Options
    source = inputs.Input(str(stores / "L1.store"), (Kind.STORE,))
    with querying._held_store(Report("query", quiet=True), source, "sender", Options()):
        held = mappings_of(source.held_bytes)
    # Shared anonymous memory is shared memory, which gets no huge pages: lookups then miss the TLB.
    assert held == [("rw-p", 1)]


def reads_past_the_cache(path):
    try:
        os.close(os.open(path, os.O_RDONLY | os.O_DIRECT))
    except OSError:
        return False
    return True


@pytest.mark.parametrize("direct", [True, False])
@pytest.mark.parametrize("damage, message", [(None, None), ("alter", "damaged or altered"),
                                             ("truncate", "became shorter")])
def test_a_held_store_is_what_its_file_holds(stores, tmp_path, monkeypatch, direct, damage, message):
    data = bytearray((stores / "S1.store").read_bytes())
    assert len(data) % 4096  # the last read of a block-aligned reader is a short one
    if damage == "alter":
        data[-40] ^= 1
    path = tmp_path / "s.store"
    path.write_bytes(bytes(data))
    if direct and not reads_past_the_cache(path):
        pytest.skip("this file system cannot be read past its page cache (no O_DIRECT)")
    monkeypatch.setattr(inputs, "DIRECT_BYTES", 0 if direct else 1 << 62)
    monkeypatch.setattr(inputs, "_HASH_SLICE", 3 << 16)  # many slices
    source = inputs.Input(str(path), (Kind.STORE,))
    if damage == "truncate":  # by another process, after the header was read
        os.truncate(path, len(data) - 5000)
    modes, real = [], os.preadv

    def preadv(fd, buffers, at):
        modes.append(bool(fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_DIRECT))
        return real(fd, buffers, at)

    monkeypatch.setattr(os, "preadv", preadv)
    held = mmap.mmap(-1, source.held_bytes)
    with memoryview(held) as view:
        if damage == "truncate":
            with pytest.raises(PartyError, match=message):
                source.read_held(view)
        else:
            source.read_held(view)
            assert held[:len(data)] == data
            if damage:
                with pytest.raises(PartyError, match=message):
                    source.verify()
            else:
                source.verify()
                assert source.hashed()
    held.close()
    assert modes[0] is direct and (damage == "truncate" or set(modes) == {direct})


def test_query_without_the_memory_for_its_store_is_one_line(stores, monkeypatch, capfd, tmp_path):
    (tmp_path / "meminfo").write_text("MemTotal: 1000000 kB\nMemAvailable:  102400 kB\n")
    monkeypatch.setattr(memory, "MEMINFO", str(tmp_path / "meminfo"))
    err = one_line(capfd, cli.main(query_args(stores, "L1.store", "L2.store")))
    assert "holding a store of" in err and "MemAvailable is 100 MiB" in err and "cgroup" in err
    assert not (stores / "cut.cts").exists()


def test_a_store_named_as_both_sides_gives_the_flags_of_one_pass(tmp_path):
    from party_flow import ok, run_flow
    central = run_flow(tmp_path)
    bank = central.parent / "bank_a"
    # Both sides looked up in bank A's store: a transaction matches where its sender is one of A's rows.
    ok(central, "query", "--sender-store", "A.store", "--receiver-store", "A.store", "--central-key", "W.pub",
       "--transactions", "tx.csv", "--sender-columns", "from_account,from_name",
       "--receiver-columns", "from_account,from_name", "--out", "QS.cts", "--batch", 2)
    shutil.copyfile(central / "QS.cts", bank / "QS.cts")
    for name in ("QS1.cts", "QS2.cts"):
        ok(bank, "randomize", "--in", "QS.cts", "--out", name)
    ok(bank, "combine", "--in", "QS1.cts", "QS2.cts", "--out-prefix", "S")
    ok(bank, "decrypt", "--secret-key", "A.key", "--in", "S.sender", "--out", "S.sdec")
    ok(bank, "decrypt", "--secret-key", "A.key", "--in", "S.receiver", "--out", "S.rdec")
    shutil.copyfile(central / "W.key", bank / "W.key")
    os.chmod(bank / "W.key", 0o600)
    ok(bank, "finish", "--secret-key", "W.key", "--sender", "S.sdec", "--receiver", "S.rdec", "--gamma", "S.gamma",
       "--delta", "S.delta", "--out", "S.csv")
    flags = [line.split(",")[1] for line in (bank / "S.csv").read_text().splitlines()[1:]]
    assert flags == ["true", "false", "true", "true", "false"]
