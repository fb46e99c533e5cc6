"""The tools' native engine against the module on the same inputs."""
import array
import hashlib
import json
import mmap
import os
import subprocess
import sys
import textwrap

import pytest

import edwards_model as em
import kestrova
from kestrova_protocol import engine
from kestrova_protocol.errors import PartyError


def as_bytes(value):
    return bytes(value)


def keys_of(rows):
    return engine.pack_keys([engine.key_bytes(r) for r in rows])


def write_store(public_key, batches, out, progress=None):
    builder = engine.StoreBuilder(public_key)
    for keys in batches:
        builder.add(keys)
    out.flush()
    return builder.write(out.fileno(), progress)


def engine_store(tmp_path, public_key, rows, name):
    path = tmp_path / name
    with open(path, "wb") as out:
        counts = write_store(public_key, (keys_of(rows[i:i + 7]) for i in range(0, len(rows), 7)), out)
    assert counts["rows"] == len({engine.key_bytes(r) for r in rows})
    return engine.parse_store(path.read_bytes())


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("engine")
    keys = {name: tuple(map(as_bytes, kestrova.key_gen())) for name in ("a", "b", "w")}
    rows_a = [[f"A-{i:04d}", f"Zoë {i}"] for i in range(90)]
    rows_b = [[f"B-{i:04d}", "x"] for i in range(70)]
    # Transactions: both known, only one side known, neither.
    senders = rows_a[:20] + rows_a[20:30] + [["A-none", "?"]] * 10
    receivers = rows_b[:20] + [["B-none", "?"]] * 10 + rows_b[20:30]
    stores = {
        "engine": (engine_store(tmp, keys["a"][0], rows_a, "a"), engine_store(tmp, keys["b"][0], rows_b, "b")),
        "module": (engine.Store(as_bytes(kestrova.build_okvs(keys["a"][0], rows_a))),
                   engine.Store(as_bytes(kestrova.build_okvs(keys["b"][0], rows_b)))),
    }
    return dict(keys=keys, senders=senders, receivers=receivers, stores=stores,
                expected=[1] * 20 + [0] * 20, tmp=tmp)


def flags(world, queries):
    k = world["keys"]
    sender, receiver, gamma, delta = engine.combine(engine.randomize(queries), engine.randomize(queries))
    return list(engine.finish(engine.decrypt(sender, k["a"][1]), engine.decrypt(receiver, k["b"][1]),
                              gamma, delta, k["w"][1]))


@pytest.mark.parametrize("built_by", ["engine", "module"])
def test_queries_match_exactly_the_rows_present(world, built_by):
    sender_store, receiver_store = world["stores"][built_by]
    queries = engine.query(keys_of(world["senders"]), keys_of(world["receivers"]), sender_store, receiver_store,
                           world["keys"]["w"][0])
    assert len(queries) == 128 * len(world["senders"])
    assert flags(world, queries) == world["expected"]


def test_module_reads_engine_stores(world):
    sender_store, receiver_store = world["stores"]["engine"]
    with open(world["tmp"] / "a", "rb") as a, open(world["tmp"] / "b", "rb") as b:
        queries = as_bytes(kestrova.initiate_queries(world["senders"], world["receivers"], a.read(), b.read(),
                                                     world["keys"]["w"][0]))
    assert flags(world, queries) == world["expected"]


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, "mmap"])
def test_deterministic_steps_equal_the_module_byte_for_byte(world, wrap, tmp_path):
    sender_store, receiver_store = world["stores"]["module"]
    k = world["keys"]
    queries = engine.query(keys_of(world["senders"]), keys_of(world["receivers"]), sender_store, receiver_store,
                           k["w"][0])
    other = engine.randomize(queries)
    if wrap == "mmap":
        path = tmp_path / "q"
        path.write_bytes(queries)
        with open(path, "rb") as f:
            mapped = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        given = mapped
    else:
        given = wrap(queries)
    parts = engine.combine(given, other)
    assert list(parts) == [as_bytes(p) for p in kestrova.combine(queries, other)]
    decrypted = engine.decrypt(memoryview(parts[0]), k["a"][1])
    assert decrypted == as_bytes(kestrova.decrypt(parts[0], k["a"][1]))
    into = bytearray(len(parts[0]))
    assert engine._engine.decrypt(parts[0], k["a"][1], out=into) is None and into == decrypted
    d_r = engine.decrypt(parts[1], k["b"][1])
    ours = engine.finish(decrypted, d_r, parts[2], parts[3], k["w"][1])
    assert list(ours) == [int(b) for b in kestrova.finish(decrypted, d_r, parts[2], parts[3], k["w"][1])]


def test_plain_keying_collisions_are_one_row(tmp_path):
    # ["ab", "c"] and ["a", "bc"] are the same key bytes to the module.
    pk, _ = map(as_bytes, kestrova.key_gen())
    w_pk, _ = map(as_bytes, kestrova.key_gen())
    phases = []
    with open(tmp_path / "s", "wb") as out:
        counts = write_store(pk, [keys_of([["ab", "c"], ["x", "y"]]), keys_of([["a", "bc"]])], out,
                             progress=lambda *p: phases.append(p))
    assert (counts["rows"], counts["duplicates"]) == (2, 1)
    assert [p[0] for p in phases[:2]] == ["keys hashed", "store solved"]
    assert phases[-1] == ("rows encrypted", 2, 2)
    assert os.path.getsize(tmp_path / "s") == counts["bytes"] == engine.store_bytes(2)
    assert counts["digest"] == hashlib.sha256((tmp_path / "s").read_bytes()).digest()


@pytest.mark.parametrize("rows", [0, 1, 5000])
def test_store_digest_is_of_the_bytes_written_after_what_was_there(tmp_path, rows):
    pk, _ = map(as_bytes, kestrova.key_gen())
    lead = b"header before the store"
    with open(tmp_path / "s", "wb") as out:
        out.write(lead)
        out.flush()
        counts = write_store(pk, [keys_of([["row", str(i)] for i in range(rows)])], out)
    written = (tmp_path / "s").read_bytes()
    assert written.startswith(lead) and len(written) == len(lead) + engine.store_bytes(rows)
    assert counts["digest"] == hashlib.sha256(written[len(lead):]).digest()


def test_failures_are_one_error_without_a_report(world, capfd):
    bad_point = bytes([2] + [0] * 31)  # y = 2 is on no curve point
    with pytest.raises(PartyError) as e:
        engine.decrypt(bad_point, world["keys"]["a"][1])
    with pytest.raises(PartyError, match="whole number of 128-byte"):
        engine.randomize(bytes(100))
    assert capfd.readouterr().err == ""
    with pytest.raises(BaseException) as module:
        kestrova.decrypt(bad_point, world["keys"]["a"][1])
    assert str(e.value) == str(module.value)


IDENTITY = bytes([1] + [0] * 31)
P = (1 << 255) - 19
KEY = bytes(kestrova.key_gen()[0])


# The model's points are independent of the engine's decoding; small-order parts of every order come from T8.
@pytest.mark.parametrize("point, encoded", [
    (engine.BASE_POINT, "prime order"),
    (KEY, "prime order"),
    (em.compress(em.neg(em.decompress(KEY))), "prime order"),
    *[(em.compress(t), "small order") for t in em.SMALL_ORDER],
    (IDENTITY[:31] + b"\x80", "not canonical"),  # the identity with the sign bit of x = 0 set
    *[(em.compress(em.add(em.decompress(KEY), t)), "mixed order") for t in em.SMALL_ORDER[1:]],
    (P.to_bytes(32, "little"), "not canonical"),
    ((P + 1).to_bytes(32, "little"), "not canonical"),  # y = 1 written as p + 1
    ((P + 3 + (1 << 255)).to_bytes(32, "little"), "not canonical"),  # y = 3 is on the curve
    (bytes([2]) + bytes(31), "not on the curve"),
])
def test_classify_point_tells_a_key_of_prime_order(point, encoded):
    assert engine.classify_point(point) == encoded


def test_classify_point_refuses_other_lengths():
    with pytest.raises(PartyError, match="32 bytes"):
        engine.classify_point(KEY + b"\0")


# The engine's pool takes the size it is told before its first call, ahead of
# the environment, which the module's own pool still follows.
POOL_SIZE = textwrap.dedent("""
    import os, kestrova
    from kestrova_protocol import engine
    def workers():
        return sum(open(f"/proc/self/task/{t}/comm").read().startswith("kestrova-w") for t in os.listdir("/proc/self/task"))
    told = engine.use_threads(3)
    engine.randomize(IDENTITY * 8)
    print(told, workers(), engine.use_threads(5), end=" ")
    kestrova.randomize(IDENTITY * 8)
    print(workers())
""")


def test_pool_size_is_told_before_the_pool_starts():
    code = f"IDENTITY = {IDENTITY!r}\n" + POOL_SIZE
    env = dict(os.environ, RAYON_NUM_THREADS="2")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["3", "3", "3", "5"]


@pytest.mark.parametrize("offsets, problem", [
    (array.array("q", [0, 5, 3]), "decrease"),
    (array.array("q", [0, 4, 99]), "past the"),
    (array.array("i", [2, -1]), "past the"),
    (array.array("q"), "one more entry"),
    (array.array("h", [0, 1]), "32- or 64-bit"),
])
def test_key_offsets_are_checked_before_any_read(offsets, problem):
    pk = bytes(kestrova.key_gen()[0])
    with pytest.raises(ValueError, match=problem):
        engine._engine.Builder(pk).add(b"abcdef", offsets)


BUILD = textwrap.dedent("""
    import json, resource, sys
    from kestrova_protocol import cli, engine, keyer, tables
    def peak():  # VmHWM: ru_maxrss also counts the parent's memory at the spawn
        return int(next(l for l in open("/proc/self/status") if l.startswith("VmHWM")).split()[1]) * 1024
    folder, n, limit = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    with open(f"{folder}/rows.csv", "w") as rows:
        rows.write("account,name\\n" + "".join(f"NL{i:012d},Zoë {i}\\n" for i in range(n)))
    assert cli.main(["keygen", "--out", f"{folder}/A", "--force"]) == 0
    if limit:
        engine.randomize(b"")  # the pool's threads start before the limit, and so does Arrow's CSV reading
        open(f"{folder}/one.csv", "w").write("a\\n1\\n")
        # Arrow fills its UTF-8 tables on first use, and aborts if that allocation fails: keyed once before.
        keyer.keyer(table := tables.Table(f"{folder}/one.csv", ["a"]), "nfc", None)(0, *next(table.batches()))
        size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + limit, resource.RLIM_INFINITY))
    code = cli.main(["build-store", "--public-key", f"{folder}/A.pub", "--rows", f"{folder}/rows.csv",
                     "--columns", "account,name", "--out", f"{folder}/A.store", "--quiet", "--force"])
    print(json.dumps([code, peak()]))
""")


def build(folder, rows, limit=0, env=None):
    done = subprocess.run([sys.executable, "-c", BUILD, str(folder), str(rows), str(limit)], capture_output=True,
                          text=True, env=env)
    return json.loads(done.stdout), done.stderr


def test_build_store_peak_memory_grows_with_the_store_once(tmp_path):
    # One allocator arena: the worker threads' own arenas hold a few MB more or less as the machine's load moves
    # when they start, which is not what the build holds.
    env = dict(os.environ, MALLOC_ARENA_MAX="1")
    (code_small, small), _ = build(tmp_path, 15_000, env=env)
    (code_large, large), _ = build(tmp_path, 165_000, env=env)
    assert code_small == code_large == 0
    # The store is 1.0 of the growth, the build's own working set ~0.15; the
    # rows, their values or the store held a second time would pass 1.4.
    assert large - small < 1.4 * (engine.store_bytes(165_000) - engine.store_bytes(15_000))


def test_a_build_without_the_memory_it_needs_is_one_line(tmp_path):
    # The limit holds the rows' keys and the threads that key them (a stack each), not the store.
    (code, _), stderr = build(tmp_path, 300_000, limit=64 << 20)
    assert code == 1
    assert stderr.splitlines()[-1].startswith("kestrova-party: error: build-store: building a store of 300,000 rows "
                                              "needs about")
