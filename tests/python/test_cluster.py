"""kestrova-party --dask: the batched steps as tasks on local Dask workers."""
import os

import pytest

import dask_cluster
import kestrova
from kestrova_protocol import cluster, engine
from party_flow import EXPECTED, finish, flags_of, ok, party, run_flow

pytestmark = pytest.mark.slow


def error_line(result):
    assert result.returncode == 1
    return [line for line in result.stderr.splitlines() if line.startswith("kestrova-party: error: ")]


@pytest.fixture(scope="module")
def two_workers(tmp_path_factory):
    """One scheduler and two worker processes for the whole flow: a cluster per step would cost
    most of the test in start-ups (`local:N` itself is tested below)."""
    folder = tmp_path_factory.mktemp("cluster")
    with dask_cluster.scheduler(folder) as address:
        workers = [dask_cluster.start_worker(folder, address) for _ in range(2)]
        try:
            dask_cluster.wait_for_workers(address, 2)
            yield address
        finally:
            for w in workers:
                w.terminate()
                w.wait(timeout=30)


def test_three_parties_on_dask_write_what_one_process_writes(tmp_path, two_workers):
    central = run_flow(tmp_path, extra=("--dask", two_workers))
    on_dask = (central / "flags.csv").read_bytes()
    assert flags_of(finish(central, "here.csv", "--transactions", "tx.csv", "--id-column", "tx_id")) == EXPECTED["nfc"]
    assert (central / "here.csv").read_bytes() == on_dask
    # Again in-process from the same randomised copies: combine, decrypt and finish draw nothing.
    ok(central, "combine", "--in", "QA.cts", "QB.cts", "--out-prefix", "L", "--batch", 3)
    for part in ("sender", "receiver", "gamma", "delta"):
        assert (central / f"L.{part}").read_bytes() == (central / f"C.{part}").read_bytes(), part
    bank = tmp_path / "bank_a"
    ok(bank, "decrypt", "--secret-key", "A.key", "--in", "C.sender", "--out", "L.dec")
    assert (bank / "L.dec").read_bytes() == (bank / "S.dec").read_bytes()

    # A batch the module refuses fails the step as in-process, named by its number.
    ok(central, "randomize", "--raw=out", "--in", "Q.cts", "--out", "Q.raw")
    items = (central / "Q.raw").read_bytes()
    (central / "bad.raw").write_bytes(items[:384] + bytes([2] + [0] * 127) + items[512:])  # the 4th of 5
    refusals = [error_line(party(central, "randomize", "--raw", "--in", "bad.raw", "--out", "out.raw", "--batch", 2,
                                 *extra)) for extra in ((), ("--dask", two_workers))]
    assert refusals[0] == refusals[1] and "randomize: the engine refused batch 1: " in refusals[0][0]
    assert not (central / "out.raw").exists()


def test_workers_start_apart_and_size_their_pool():
    public, _ = kestrova.key_gen()
    ciphertexts = bytes(public) * 8  # two ciphertexts
    here = engine.randomize(ciphertexts)  # this process's generators are keyed now
    with cluster.connect("local:2", threads=3) as client:
        client.wait_for_workers(2)
        drawn = client.run(engine.randomize, ciphertexts)
        pools = client.run(engine.use_threads, 1)  # too late: the size it runs with
        environments = client.run(os.getenv, "RAYON_NUM_THREADS")
    assert len(set(drawn.values()) | {here}) == 3
    assert list(pools.values()) == [3, 3] and set(environments.values()) == {os.getenv("RAYON_NUM_THREADS")}
