"""The engine called from Python by a caller who gets it wrong, or changes its arrays meanwhile."""
import array
import subprocess
import sys
import textwrap

import pytest

import kestrova
from kestrova_protocol import engine

_engine = engine._engine


@pytest.fixture(scope="module")
def keys():
    return {name: tuple(bytes(k) for k in kestrova.key_gen()) for name in ("a", "b", "w")}


@pytest.fixture(scope="module")
def queries(keys):
    rows = [[f"A-{i:04d}", "x"] for i in range(40)]
    store = engine.Store(bytes(kestrova.build_okvs(keys["a"][0], rows)))
    tx = engine.pack_keys([engine.key_bytes(r) for r in rows[:24]])
    return _engine.query(store, store, *tx, *tx, keys["w"][0])


# Another thread flips the offsets between valid and far past the key bytes while
# the engine works: it must use what it checked, never what the array says later.
RACE = textwrap.dedent("""
    import array, sys, threading, kestrova
    from kestrova_protocol import engine
    _engine = engine._engine
    pk = bytes(kestrova.key_gen()[0])
    # Enough keys that the workers read offsets for a while; the query's curve work makes it costly.
    n = 10_000 if sys.argv[1] == "query" else 50_000
    keys = b"".join(b"k%07d" % i for i in range(n))
    offsets = array.array("q", range(0, 8 * n + 1, 8))
    store = engine.Store(bytes(kestrova.build_okvs(pk, [["k%07d" % i] for i in range(64)])))
    stop = False
    sys.setswitchinterval(1e-4)  # the engine's interrupt checks wait less for the lock
    def flip():
        # One entry far past the key bytes about half the time, while the engine works.
        k, good, bad = n // 2, 8 * (n // 2), 1 << 40
        while not stop:
            offsets[k] = bad
            offsets[k] = good
    t = threading.Thread(target=flip)
    t.start()
    try:
        for _ in range(10):
            try:  # refused when the check saw a bad moment; never a crash
                if sys.argv[1] == "query":
                    _engine.query(store, store, keys, offsets, keys, offsets, pk)
                else:
                    _engine.Builder(pk).add(keys, offsets)
            except ValueError:
                pass
    finally:
        stop = True
        t.join()
    print("ok")
""")



@pytest.mark.slow
@pytest.mark.parametrize("call", ["query", "Builder.add"])
def test_offsets_changed_by_another_thread_are_never_read_again(call):
    done = subprocess.run([sys.executable, "-c", RACE, call], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == "ok"


@pytest.mark.parametrize("offsets", [
    array.array("d", [0.0, 3.0, 6.0]),
    array.array("f", [0.0, 3.0, 6.0]),
    array.array("q", [0, 3, 6]).tobytes(),  # bytes: no integer format
    memoryview(array.array("q", [0, 3, 6]).tobytes()).cast("d"),
])
@pytest.mark.parametrize("call", ["query", "Builder.add"])
def test_offsets_must_be_integers(keys, offsets, call):
    pk = keys["a"][0]
    with pytest.raises(ValueError, match="offsets must be an array of 32- or 64-bit integers"):
        if call == "query":
            store = engine.Store(bytes(kestrova.build_okvs(pk, [["abc"]])))
            _engine.query(store, store, b"abcdef", offsets, b"abcdef", array.array("q", [0, 3, 6]), pk)
        else:
            _engine.Builder(pk).add(b"abcdef", offsets)


@pytest.mark.parametrize("typecode", ["i", "I", "q", "Q", "l"])
def test_integer_offsets_of_either_width_are_taken(keys, typecode):
    assert _engine.Builder(keys["a"][0]).add(b"abcdef", array.array(typecode, [0, 3, 6])) == 2


def shifted(data: bytes, record: int, shift: int):
    """`data` in a buffer, and a view of it `shift` records further on, overlapping it."""
    room = bytearray(len(data) + shift * record)
    room[:len(data)] = data
    view = memoryview(room)
    return view[:len(data)], view[shift * record:]


@pytest.mark.parametrize("step, shift", [("randomize", 1), ("randomize", 3), ("decrypt", 1), ("decrypt", 5)])
def test_out_overlapping_its_input_elsewhere_is_refused(keys, queries, step, shift):
    if step == "randomize":
        source, out = shifted(queries, 128, shift)
        call = lambda: _engine.randomize(source, out=out)
    else:
        points = engine.combine(queries, engine.randomize(queries))[0]
        source, out = shifted(points, 32, shift)
        call = lambda: _engine.decrypt(source, keys["a"][1], out=out)
    with pytest.raises(ValueError, match="out shares memory with an input"):
        call()


def test_out_overlapping_the_key_or_other_lists_is_refused(keys, queries):
    sender, receiver, gamma, delta = engine.combine(queries, engine.randomize(queries))
    n = len(sender) // 32
    room = bytearray(sender)
    with pytest.raises(ValueError, match="out shares memory"):
        _engine.finish(room, receiver, gamma, delta, keys["w"][1], out=memoryview(room)[:n])
    secret = bytearray(keys["a"][1]) + bytearray(len(sender) - 32)
    with pytest.raises(ValueError, match="out shares memory"):
        _engine.decrypt(sender, memoryview(secret)[:32], out=memoryview(secret))


@pytest.mark.parametrize("step", ["randomize", "decrypt"])
def test_out_equal_to_its_input_works_in_place(keys, queries, step):
    sender = engine.combine(queries, engine.randomize(queries))[0]
    if step == "decrypt":
        room = bytearray(sender)
        assert _engine.decrypt(room, keys["a"][1], out=room) is None
        assert bytes(room) == _engine.decrypt(sender, keys["a"][1])
    else:
        room = bytearray(queries)
        assert _engine.randomize(room, out=room) is None
        # Fresh randomness: compare what the ciphertexts decrypt to.
        k = keys
        first, second = engine.combine(bytes(room), engine.randomize(queries)), engine.combine(queries, queries)
        got = engine.finish(engine.decrypt(first[0], k["a"][1]), engine.decrypt(first[1], k["a"][1]), first[2],
                            first[3], k["w"][1])
        want = engine.finish(engine.decrypt(second[0], k["a"][1]), engine.decrypt(second[1], k["a"][1]),
                             second[2], second[3], k["w"][1])
        assert got == want and sum(want) == len(want)
