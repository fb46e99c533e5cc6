"""Edge cases of the individual operations: chunking, ordering of failures, encodings."""
import os
import subprocess
import sys
import textwrap

import pytest

import edwards_model as em
import kestrova

IDENTITY = [1] + [0] * 31
IDENTITY_SIGNED = [1] + [0] * 30 + [0x80]
IDENTITY_NONCANONICAL = [0xEE] + [0xFF] * 30 + [0x7F]  # y = p + 1
ORDER_TWO = [0xEC] + [0xFF] * 30 + [0x7F]  # y = p - 1
ORDER_FOUR = [0] * 32  # y = 0
NOT_A_POINT = [2] + [0] * 31  # y = 2 has no x
UNWRAP = "called `Option::unwrap()` on a `None` value"
KEY = list(range(32))


def panic_message(call):
    with pytest.raises(BaseException) as info:
        call()
    assert not isinstance(info.value, Exception), repr(info.value)
    return str(info.value)


def short(end, length):
    return f"range end index {end} out of range for slice of length {length}"


def mismatch(given):
    return f"source slice length ({given}) does not match destination slice length (32)"


@pytest.fixture(scope="module")
def keypair():
    return kestrova.key_gen()


@pytest.fixture(scope="module")
def ciphertexts(keypair):
    """Valid ciphertexts made of prime-order points, for lists of any length."""
    pk, _ = keypair
    pts = kestrova.decrypt(pk * 40, list(range(1, 33)))
    return [b for i in range(10) for b in pts[128 * i: 128 * i + 128]]


# --- key_gen -------------------------------------------------------------------

def test_key_gen_pair_is_consistent():
    pk, sk = kestrova.key_gen()
    assert len(pk) == len(sk) == 32 and sk[31] <= 0x10
    assert list(em.compress(em.mul(em.scalar(sk), em.BASE))) == pk
    assert kestrova.key_gen() != (pk, sk)


# --- key decoding ----------------------------------------------------------------

@pytest.mark.parametrize("key, message", [
    ([], mismatch(0)), ([0] * 31, mismatch(31)), ([0] * 33, mismatch(33)),
    ([2] * 33, mismatch(33)),  # the length is reported before validity
    (NOT_A_POINT, "The public key was not a valid curve point."),
])
def test_public_key_refusals(key, message):
    assert panic_message(lambda: kestrova.build_okvs(key, [])) == message
    assert panic_message(lambda: kestrova.initiate_queries([], [], [0] * 2072, [0] * 2072, key)) == message


@pytest.mark.parametrize("key", [IDENTITY, IDENTITY_SIGNED, IDENTITY_NONCANONICAL, ORDER_TWO,
                                 [0xFF] * 31 + [0x7F]])
def test_permissive_public_keys_accepted_without_rows(key):
    assert len(kestrova.build_okvs(key, [])) == 2072


@pytest.mark.parametrize("key", [IDENTITY, IDENTITY_SIGNED, ORDER_TWO])
def test_public_key_of_order_one_or_two_refused_when_there_are_rows(key):
    assert "order 1 or 2" in panic_message(lambda: kestrova.build_okvs(key, [["row"]]))


def test_small_order_key_of_order_four_still_builds():
    assert len(kestrova.build_okvs(ORDER_FOUR, [["a"], ["b"], ["c"]])) == 2072 + 64 * 8


def test_equal_key_bytes_are_refused():
    pk, _ = kestrova.key_gen()
    for rows in ([["ab", "c"], ["abc"]], [[], [""]], [["x"], ["y"], ["x"]]):
        assert "same key bytes" in panic_message(lambda: kestrova.build_okvs(pk, rows))


@pytest.mark.parametrize("n, length", [(0, 2072), (1, 2264), (10, 3608), (1000, 155672)])
def test_store_lengths(keypair, n, length):
    assert len(kestrova.build_okvs(keypair[0], [[str(i)] for i in range(n)])) == length


# --- initiate_queries ---------------------------------------------------------------

@pytest.mark.parametrize("length, message", [
    (0, short(8, 0)), (7, short(8, 7)), (8, short(16, 8)), (23, short(24, 23)),
    (24, short(2**64 - 2024, 24)), (2047, short(2**64 - 1, 2047)),
    (2048, "slice index starts at 24 but ends at 0"), (2071, "slice index starts at 24 but ends at 23"),
])
def test_short_store_messages(keypair, length, message):
    good = [0] * 2072
    assert panic_message(lambda: kestrova.initiate_queries([], [], [0] * length, good, keypair[0])) == message
    # The sender's store is parsed first.
    assert panic_message(lambda: kestrova.initiate_queries([], [], [0] * length, [0], keypair[0])) == message
    assert panic_message(lambda: kestrova.initiate_queries([], [], good, [0] * length, keypair[0])) == message


def test_queries_pair_the_common_prefix(keypair):
    store = kestrova.build_okvs(keypair[0], [["a"]])
    out = kestrova.initiate_queries([["a"], ["b"], ["c"]], [["a"], ["b"]], store, store, keypair[0])
    assert len(out) == 256 and all(0 <= b <= 255 for b in out)
    assert kestrova.initiate_queries([], [["a"]], store, store, keypair[0]) == []


# --- randomize ---------------------------------------------------------------------------

def test_randomize_keeps_length_and_changes_encodings(ciphertexts):
    a, b = kestrova.randomize(ciphertexts), kestrova.randomize(ciphertexts)
    assert len(a) == len(b) == len(ciphertexts) and a != b
    assert kestrova.randomize([]) == []


@pytest.mark.parametrize("length, end, rest", [(130, 32, 2), (200, 96, 72), (255, 128, 127)])
def test_short_last_ciphertext(ciphertexts, length, end, rest):
    data = (ciphertexts * 2)[:length]
    assert panic_message(lambda: kestrova.randomize(data)) == short(end, rest)
    if length > 128:
        other = ciphertexts[:256]
        assert panic_message(lambda: kestrova.combine(other, data)) == short(end, rest)


def test_randomize_canonicalises_and_fixes_the_identity():
    out = kestrova.randomize(IDENTITY + IDENTITY_SIGNED + IDENTITY_NONCANONICAL + IDENTITY)
    assert out == IDENTITY * 4


@pytest.mark.parametrize("threads", ["1", "2", "8"])
def test_lowest_index_failure_is_reported(ciphertexts, threads, tmp_path):
    # Ciphertext 10 has an undecodable delta, 700 an undecodable sender, the list ends short.
    script = tmp_path / "lowest.py"
    script.write_text(textwrap.dedent(f"""
        import kestrova
        good = {ciphertexts[:128]!r} * 1000
        bad = {NOT_A_POINT!r}
        cts = good + [1] * 50
        pt = good[:32]
        cts[128 * 10 + 96: 128 * 11] = bad
        cts[128 * 700: 128 * 700 + 32] = bad
        for call in (lambda: kestrova.randomize(cts), lambda: kestrova.combine(cts, cts),
                     lambda: kestrova.decrypt(good[:32 * 500] + bad + good[:3200] + [1], [1] * 32),
                     lambda: kestrova.decrypt(good[:32 * 500] + [1], [1] * 32),
                     # finish checks sender, receiver, gamma, delta per transaction, on the pool too.
                     lambda: kestrova.finish(pt * 900 + [1], pt * 899 + bad + pt, pt * 901, pt * 901, [1] * 32),
                     lambda: kestrova.finish(pt * 900 + [1], pt * 901, pt * 901, pt * 900 + bad, [1] * 32)):
            try:
                call()
            except BaseException as e:
                print(e)
    """))
    env = dict(os.environ, RAYON_NUM_THREADS=threads)
    out = subprocess.run([sys.executable, str(script)], env=env, capture_output=True, text=True, timeout=300)
    assert out.stdout.splitlines() == [UNWRAP, UNWRAP, UNWRAP, mismatch(1), UNWRAP, mismatch(1)]


def test_undecodable_point_in_first_ciphertext_beats_short_tail(ciphertexts):
    data = ciphertexts[:96] + NOT_A_POINT + ciphertexts[:100]
    assert panic_message(lambda: kestrova.randomize(data)) == UNWRAP


def test_undecodable_gamma_parses_but_fails_when_used(ciphertexts):
    bad = ciphertexts[:64] + NOT_A_POINT + ciphertexts[96:128]
    assert panic_message(lambda: kestrova.randomize(bad)) == UNWRAP


# --- combine -----------------------------------------------------------------------------

def test_combine_pairs_the_common_prefix(ciphertexts):
    first = ciphertexts[:128]
    garbage = [2] * 128
    assert kestrova.combine(first + garbage, first) == kestrova.combine(first, first)
    assert all(len(p) == 64 for p in kestrova.combine(ciphertexts[:256] + [9] * 44, ciphertexts[:256]))
    assert kestrova.combine([], ciphertexts) == ([], [], [], [])
    assert kestrova.combine(ciphertexts, []) == ([], [], [], [])


def test_combine_with_itself_doubles_and_with_identity_reencodes(ciphertexts):
    x = ciphertexts[:256]
    doubled = kestrova.combine(x, x)
    ident = kestrova.combine(x, IDENTITY_NONCANONICAL * 8)
    for k in range(4):
        for i in range(2):
            p = em.decompress(x[128 * i + 32 * k: 128 * i + 32 * k + 32])
            assert doubled[k][32 * i: 32 * i + 32] == list(em.compress(em.add(p, p)))
            assert ident[k][32 * i: 32 * i + 32] == x[128 * i + 32 * k: 128 * i + 32 * k + 32]


def test_combine_is_symmetric(ciphertexts):
    a, b = ciphertexts[:384], kestrova.randomize(ciphertexts[:384])
    assert kestrova.combine(a, b) == kestrova.combine(b, a)


# --- decrypt -----------------------------------------------------------------------------

def test_decrypt_edges(keypair):
    pk, sk = keypair
    assert kestrova.decrypt([], sk) == []
    assert panic_message(lambda: kestrova.decrypt([], sk[:31])) == mismatch(31)
    assert panic_message(lambda: kestrova.decrypt(pk + [0], sk)) == mismatch(1)
    assert kestrova.decrypt(pk * 3, [0] * 32) == IDENTITY * 3
    high = sk[:31] + [sk[31] | 0x80]
    assert kestrova.decrypt(pk, high) == kestrova.decrypt(pk, sk)
    a, b = kestrova.key_gen()[1], kestrova.key_gen()[1]
    assert kestrova.decrypt(kestrova.decrypt(pk * 2, a), b) == kestrova.decrypt(kestrova.decrypt(pk * 2, b), a)


def test_decrypt_uses_all_255_key_bits_on_small_order_points():
    # A key of 2^254 + 1 differs from its reduction mod l on points with a small-order part.
    key = list(((1 << 254) + 1).to_bytes(32, "little"))
    mixed = list(em.compress(em.add(em.decompress(ORDER_FOUR), em.BASE)))
    for point in (ORDER_FOUR, mixed, IDENTITY_NONCANONICAL):
        expected = list(em.compress(em.mul(em.scalar(key), em.decompress(point))))
        assert kestrova.decrypt(point, key) == expected


# --- finish ------------------------------------------------------------------------------

def test_finish_edges():
    assert kestrova.finish([], [], [], [], KEY) == []
    assert kestrova.finish([], IDENTITY * 5, IDENTITY * 5, IDENTITY * 5, KEY) == []
    for bad in (KEY[:31], KEY + [0]):
        assert panic_message(lambda: kestrova.finish(IDENTITY, IDENTITY, IDENTITY, NOT_A_POINT, bad)) == \
            mismatch(len(bad))
    assert kestrova.finish(IDENTITY, IDENTITY, IDENTITY, IDENTITY + NOT_A_POINT, KEY) == [True]
    assert panic_message(lambda: kestrova.finish(IDENTITY + [1] * 8, IDENTITY * 2, IDENTITY * 2, IDENTITY * 2,
                                                 KEY)) == mismatch(8)
    assert panic_message(lambda: kestrova.finish(IDENTITY, IDENTITY, NOT_A_POINT, IDENTITY, KEY)) == UNWRAP
    assert kestrova.finish(IDENTITY, IDENTITY, IDENTITY, IDENTITY_SIGNED, KEY) == [True]


def test_finish_relation_and_symmetry(keypair):
    pk, sk = keypair
    k_w = kestrova.key_gen()[1]
    gamma = pk
    s = kestrova.decrypt(pk, list(range(32)))
    r = kestrova.decrypt(pk, [7] * 31 + [0])
    z = em.add(em.add(em.decompress(s), em.decompress(r)), em.mul(em.scalar(k_w), em.decompress(gamma)))
    delta = list(em.compress(z))
    assert kestrova.finish(s, r, gamma, delta, k_w) == [True]
    assert kestrova.finish(r, s, gamma, delta, k_w) == [True]
    assert kestrova.finish(s, r, gamma, delta, k_w[:31] + [k_w[31] | 0x80]) == [True]
    assert kestrova.finish(s, r, gamma, pk, k_w) == [False]
