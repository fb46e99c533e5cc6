"""The three-party protocol end to end, and the matching relation it rests on."""
import os
import subprocess
import sys
import textwrap

import nacl.bindings as nb
import pytest

import edwards_model as em
import kestrova
from protocol_flow import bank_rows, make_transactions, run_protocol

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="module")
def world():
    keys = {name: kestrova.key_gen() for name in ("a", "b", "w")}
    rows_a, rows_b = bank_rows("A", 150), bank_rows("B", 120)
    okvs_a = kestrova.build_okvs(keys["a"][0], rows_a)
    okvs_b = kestrova.build_okvs(keys["b"][0], rows_b)
    senders, receivers, truth = make_transactions(rows_a, rows_b, (60, 40, 40, 30))
    return keys, okvs_a, okvs_b, senders, receivers, truth


def test_protocol_finds_exactly_the_transactions_with_both_rows(world):
    keys, okvs_a, okvs_b, senders, receivers, truth = world
    assert sum(truth) == 60
    assert run_protocol(keys, okvs_a, okvs_b, senders, receivers, "a", "b") == truth


def test_roles_swapped(world):
    keys, okvs_a, okvs_b, senders, receivers, truth = world
    assert run_protocol(keys, okvs_b, okvs_a, receivers, senders, "b", "a") == truth


def test_wrong_bank_key_finds_nothing(world):
    keys, okvs_a, okvs_b, senders, receivers, truth = world
    assert not any(run_protocol(keys, okvs_a, okvs_b, senders, receivers, "b", "a"))


def test_single_worker_thread_gives_the_same_answers(world, tmp_path):
    keys, okvs_a, okvs_b, senders, receivers, truth = world
    script = tmp_path / "run.py"
    script.write_text(
        textwrap.dedent(
            f"""
            import json, sys
            sys.path.insert(0, {HERE!r})
            from protocol_flow import bank_rows, make_transactions, run_protocol
            import kestrova
            keys = {{n: kestrova.key_gen() for n in "abw"}}
            rows_a, rows_b = bank_rows("A", 80), bank_rows("B", 80)
            okvs_a = kestrova.build_okvs(keys["a"][0], rows_a)
            okvs_b = kestrova.build_okvs(keys["b"][0], rows_b)
            s, r, truth = make_transactions(rows_a, rows_b, (30, 20, 20, 10), seed=5)
            print(json.dumps(run_protocol(keys, okvs_a, okvs_b, s, r, "a", "b") == truth))
            """
        )
    )
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    out = subprocess.run([sys.executable, str(script)], env=env, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "true"


def mul(k, p):
    return nb.crypto_scalarmult_ed25519_noclamp(bytes(k), bytes(p))


def test_fresh_queries_satisfy_the_matching_relation(world):
    keys, okvs_a, okvs_b, senders, receivers, truth = world
    (_, k_s), (_, k_r), (pk_w, k_w) = keys["a"], keys["b"], keys["w"]
    cts = kestrova.initiate_queries(senders, receivers, okvs_a, okvs_b, pk_w)
    for i, present in enumerate(truth):
        ct = bytes(cts[128 * i: 128 * i + 128])
        sender, receiver, gamma, delta = (ct[32 * k: 32 * k + 32] for k in range(4))
        # gamma carries z·B, so k_W·gamma is z·PK_W.
        if present:
            rhs = nb.crypto_core_ed25519_add(nb.crypto_core_ed25519_add(mul(k_s, sender), mul(k_r, receiver)),
                                             mul(k_w, gamma))
            assert rhs == delta
    # Absent rows give points outside the prime-order group too; check a few with the model.
    for i in [i for i, present in enumerate(truth) if not present][:4]:
        ct = cts[128 * i: 128 * i + 128]
        sender, receiver, gamma, delta = (em.decompress(ct[32 * k: 32 * k + 32]) for k in range(4))
        rhs = em.add(em.add(em.mul(em.scalar(k_s), sender), em.mul(em.scalar(k_r), receiver)),
                     em.mul(em.scalar(k_w), gamma))
        assert list(em.compress(rhs)) != list(em.compress(delta))


def test_queries_of_absent_rows_stay_in_the_prime_order_subgroup(world):
    # A component outside it would tell a bank that a row was absent.
    keys, okvs_a, okvs_b, senders, receivers, truth = world
    assert not all(truth)
    cts = bytes(kestrova.initiate_queries(senders, receivers, okvs_a, okvs_b, keys["w"][0]))
    for i in range(0, len(cts), 32):
        assert nb.crypto_core_ed25519_is_valid_point(cts[i: i + 32]), f"point {i // 32}"


def test_same_transaction_twice_gives_different_ciphertexts(world):
    keys, okvs_a, okvs_b, senders, receivers, truth = world
    i = truth.index(True)
    cts = kestrova.initiate_queries([senders[i]] * 2, [receivers[i]] * 2, okvs_a, okvs_b, keys["w"][0])
    assert cts[:128] != cts[128:]
    assert run_protocol(keys, okvs_a, okvs_b, [senders[i]] * 2, [receivers[i]] * 2, "a", "b") == [True, True]


def test_stores_of_the_same_rows_differ_but_answer_alike(world):
    keys, okvs_a, okvs_b, senders, receivers, truth = world
    again = kestrova.build_okvs(keys["a"][0], bank_rows("A", 150))
    assert again != okvs_a and len(again) == len(okvs_a)
    assert run_protocol(keys, again, okvs_b, senders, receivers, "a", "b") == truth


def test_row_split_into_columns_differently_is_the_same_key():
    keys = {n: kestrova.key_gen() for n in "abw"}
    okvs_a = kestrova.build_okvs(keys["a"][0], [["ab", "c"], ["x"]])
    okvs_b = kestrova.build_okvs(keys["b"][0], [["y"]])
    flags = run_protocol(keys, okvs_a, okvs_b, [["abc"], ["a", "bc"], ["ab"]], [["y"]] * 3, "a", "b")
    assert flags == [True, True, False]


def test_empty_bank_store_never_matches():
    keys = {n: kestrova.key_gen() for n in "abw"}
    empty = kestrova.build_okvs(keys["a"][0], [])
    assert len(empty) == 2072
    okvs_b = kestrova.build_okvs(keys["b"][0], [["r1"], ["r2"]])
    assert run_protocol(keys, empty, okvs_b, [["s1"], [""]], [["r1"], ["r2"]], "a", "b") == [False, False]


@pytest.mark.parametrize("start_method", ["os.fork", "multiprocessing"])
def test_pool_works_after_fork(start_method, tmp_path):
    script = tmp_path / "fork.py"
    script.write_text(
        textwrap.dedent(
            """
            import multiprocessing, os, sys
            import kestrova
            pk, sk = kestrova.key_gen()
            points = kestrova.decrypt(pk * 64, sk)  # the parent's pool is running now

            def work(_):
                return kestrova.decrypt(pk * 64, sk) == points

            if sys.argv[1] == "os.fork":
                pid = os.fork()
                if pid == 0:
                    os._exit(0 if work(0) else 3)
                _, status = os.waitpid(pid, 0)
                print("child", os.waitstatus_to_exitcode(status))
            else:
                with multiprocessing.get_context("fork").Pool(2) as pool:
                    print("pool", all(pool.map(work, range(4))))
            print("parent", work(0))
            """
        )
    )
    out = subprocess.run([sys.executable, str(script), start_method], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.split()
    assert lines[-1] == "True" and lines[1] in ("0", "True")


def store_lookup(data: bytes, key):
    """Reads a serialized store at one key with an independent XXH3."""
    import xxhash

    m = (len(data) - 2072) // 64
    seeds = [int.from_bytes(data[8 * i: 8 * i + 8], "little") for i in range(3)]
    cell = lambda c: int.from_bytes(data[24 + 64 * c: 88 + 64 * c], "little")  # noqa: E731
    value = cell(xxhash.xxh3_64_intdigest(key, seeds[0]) % m) ^ cell(xxhash.xxh3_64_intdigest(key, seeds[1]) % m)
    mask = xxhash.xxh3_64_intdigest(key, seeds[2])
    dense = data[len(data) - 2048:]
    for j in range(32):
        if mask >> j & 1:
            value ^= int.from_bytes(dense[64 * j: 64 * j + 64], "little")
    return value.to_bytes(64, "little")


def test_stored_values_decrypt_to_neutral_and_hide_their_sign(internal):
    pk, sk = kestrova.key_gen()
    rows = [[f"row {i}", "x"] for i in range(2000)]
    store = bytes(kestrova.build_okvs(pk, rows))
    odd = [0, 0]
    for i, row in enumerate(rows):
        value = store_lookup(store, "".join(row).encode())
        odd[0] += value[0] & 1
        odd[1] += value[32] & 1
        if i < 40:
            r_point = internal.representative_to_point(value[:32])
            s_point = internal.representative_to_point(value[32:])
            # (R, S) = (r·B, r·PK): an encryption of the neutral element under PK.
            assert kestrova.decrypt(list(r_point), sk) == list(s_point)
    # An absent row looks up random bytes: stored ones must not be told apart by bit 0.
    for count in odd:
        assert 0.42 < count / len(rows) < 0.58
