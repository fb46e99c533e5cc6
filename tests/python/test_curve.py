"""Field, group and key routines against PyNaCl and a big-integer model."""
import os

import nacl.bindings as nb
import pytest
from hypothesis import given, settings, strategies as st

from edwards_model import (
    BASE, IDENTITY, L, P, SMALL_ORDER, T8, add, compress, decompress, is_square, le, load, mul, neg, sqrt_nonneg, store,
)


scalars_255 = st.integers(min_value=0, max_value=2**255 - 1)
bytes32 = st.binary(min_size=32, max_size=32)


def test_model_torsion_point_has_order_8():
    assert mul(8, T8) == IDENTITY and mul(4, T8) != IDENTITY


# ---- field ----


@given(bytes32, bytes32)
def test_field_ops_match_integers(internal, a, b):
    x, y = load(a), load(b)
    assert internal.fe_add(a, b) == store(x + y)
    assert internal.fe_sub(a, b) == store(x - y)
    assert internal.fe_mul(a, b) == store(x * y)
    assert internal.fe_square(a) == store(x * x)
    assert internal.fe_neg(a) == store(-x)
    assert internal.fe_invert(a) == store(pow(x, P - 2, P))
    assert internal.fe_load_store(a) == store(x)
    assert internal.fe_cneg(a, True) == store(-x) and internal.fe_cneg(a, False) == store(x)
    assert internal.fe_abs(a) == store(x if x % 2 == 0 else -x)


@pytest.mark.parametrize("k", [0, 1, 18])
@pytest.mark.parametrize("top", [0, 1])
def test_field_loads_values_from_p_and_ignores_bit_255(internal, k, top):
    raw = (P + k + (top << 255)).to_bytes(32, "little")
    assert internal.fe_load_store(raw) == store(k)


@given(bytes32, bytes32)
def test_sqrt_ratio_matches_model(internal, a, b):
    u, v = load(a), load(b)
    flag, root = internal.fe_sqrt_ratio(a, b)
    if u == 0:
        assert flag and root == store(0)
    elif v == 0:
        assert not flag
    else:
        q = u * pow(v, P - 2, P) % P
        assert flag == is_square(q)
        if flag:
            assert root == store(sqrt_nonneg(q))


@given(bytes32)
def test_sqrt_ratio_of_squares(internal, a):
    x = load(a)
    flag, root = internal.fe_sqrt_ratio(store(x * x), store(1))
    assert flag and root == store(x if x % 2 == 0 else P - x)


# ---- points: PyNaCl for the prime-order subgroup ----


@settings(max_examples=60)
@given(scalars_255)
def test_mul_base_matches_libsodium(internal, k):
    s = le(k)
    expected = nb.crypto_scalarmult_ed25519_base_noclamp(s) if k % L else compress(IDENTITY)
    assert internal.mul_base(s) == expected


@settings(max_examples=40)
@given(st.integers(min_value=1, max_value=L - 1), scalars_255)
def test_mul_matches_libsodium(internal, a, k):
    p = nb.crypto_scalarmult_ed25519_base_noclamp(le(a))
    expected = nb.crypto_scalarmult_ed25519_noclamp(le(k), p) if k % L else compress(IDENTITY)
    assert internal.mul(p, le(k)) == expected
    assert internal.table_mul(p, le(k)) == expected


@settings(max_examples=40)
@given(st.integers(min_value=1, max_value=L - 1), st.integers(min_value=1, max_value=L - 1))
def test_add_matches_libsodium(internal, a, b):
    p = nb.crypto_scalarmult_ed25519_base_noclamp(le(a))
    q = nb.crypto_scalarmult_ed25519_base_noclamp(le(b))
    if (a + b) % L:
        assert internal.point_add(p, q) == nb.crypto_core_ed25519_add(p, q)


# ---- points: the model for what libsodium refuses ----


def mixed_point(k, j):
    return add(mul(k, BASE), SMALL_ORDER[j])


@settings(max_examples=15, deadline=None)
@given(st.integers(min_value=0, max_value=L - 1), st.integers(min_value=0, max_value=7), scalars_255)
def test_mul_on_mixed_order_points_uses_the_whole_integer(internal, k, j, s):
    pt = mixed_point(k, j)
    expected = compress(mul(s, pt))
    assert internal.mul(compress(pt), le(s)) == expected
    assert internal.table_mul(compress(pt), le(s)) == expected


@pytest.mark.parametrize("j", range(8))
@pytest.mark.parametrize("s", [0, 1, 5, L, L + 3, 2**255 - 1])
def test_mul_small_order_points(internal, j, s):
    assert internal.mul(compress(SMALL_ORDER[j]), le(s)) == compress(mul(s % 8, SMALL_ORDER[j]))


@settings(max_examples=20, deadline=None)
@given(st.integers(min_value=0, max_value=L - 1), st.integers(0, 7), st.integers(0, L - 1), st.integers(0, 7))
def test_group_laws_on_mixed_points(internal, a, i, b, j):
    p, q = mixed_point(a, i), mixed_point(b, j)
    cp, cq = compress(p), compress(q)
    assert internal.point_add(cp, cq) == compress(add(p, q))
    assert internal.point_add(cp, cq) == internal.point_add(cq, cp)
    assert internal.point_double(cp) == compress(add(p, p))
    assert internal.point_neg(cp) == compress(neg(p))
    assert internal.point_add(cp, internal.point_neg(cp)) == compress(IDENTITY)
    assert internal.point_equal(cp, cq) == (p == q)


@settings(max_examples=300)
@given(bytes32)
def test_decompress_agrees_with_model(internal, data):
    expected = decompress(data)
    got = internal.decompress(data)
    assert (got is None) == (expected is None)
    if expected is not None:
        assert got == compress(expected)


@pytest.mark.parametrize("y", [1, P + 1, 0, P, P - 1, 18, P + 18])
@pytest.mark.parametrize("sign", [0, 1])
def test_decompress_non_canonical_and_zero_x(internal, y, sign):
    data = (y | (sign << 255)).to_bytes(32, "little")
    expected = decompress(data)
    assert expected is not None
    assert internal.decompress(data) == compress(expected)
    # Identity written with either sign bit is equal to the identity.
    if y % P == 1:
        assert internal.point_equal(data, compress(IDENTITY))


# ---- key routines ----

LENGTH_MESSAGE = "source slice length ({}) does not match destination slice length (32)"


@pytest.mark.parametrize("n", [0, 31, 33])
def test_key_lengths_reported_before_validity(internal, n):
    with pytest.raises(RuntimeError, match=r"^" + LENGTH_MESSAGE.format(n).replace("(", r"\(").replace(")", r"\)")):
        internal.decode_public_key(b"\x02" * n)
    with pytest.raises(RuntimeError) as e:
        internal.decode_secret_scalar(b"\x02" * n)
    assert str(e.value) == LENGTH_MESSAGE.format(n)


@pytest.mark.parametrize(
    "data, expected",
    [
        (le(1), le(1)),
        (le(1 | 1 << 255), le(1)),
        (le(P + 1), le(1)),  # y = p + 1: the identity
        (le(P + 18), le(18)),
    ],
)
def test_public_keys_accepted(internal, data, expected):
    assert internal.decode_public_key(data) == expected


def test_public_key_y2_refused(internal):
    with pytest.raises(RuntimeError) as e:
        internal.decode_public_key(le(2))
    assert str(e.value) == "The public key was not a valid curve point."


def test_secret_scalar_drops_bit_255_only(internal):
    raw = b"\xff" * 32
    assert internal.decode_secret_scalar(raw) == b"\xff" * 31 + b"\x7f"


@given(st.binary(min_size=64, max_size=64))
def test_wide_reduction(internal, wide):
    assert internal.scalar_from_wide(wide) == le(int.from_bytes(wide, "little") % L)


def test_key_pairs_match_libsodium(internal):
    seen = set()
    for _ in range(20):
        pub, sec = internal.generate_key_pair()
        assert int.from_bytes(sec, "little") < L
        assert nb.crypto_scalarmult_ed25519_base_noclamp(sec) == pub
        seen.add(sec)
    assert len(seen) == 20


# ---- batch kernels ----


def test_batch_kernels_match_single(internal):
    pts = [compress(mixed_point(int.from_bytes(os.urandom(32), "little") % L, i % 8)) for i in range(70)]
    scs = [os.urandom(31) + bytes([os.urandom(1)[0] & 0x7F]) for _ in pts]
    joined_p, joined_s = b"".join(pts), b"".join(scs)
    each = internal.batch_mul_each(joined_p, joined_s)
    assert [each[32 * i : 32 * i + 32] for i in range(len(pts))] == [internal.mul(p, s) for p, s in zip(pts, scs)]
    alls = internal.batch_mul_all(joined_p, scs[0])
    assert [alls[32 * i : 32 * i + 32] for i in range(len(pts))] == [internal.mul(p, scs[0]) for p in pts]
    base = internal.batch_mul_base_each(joined_s)
    assert [base[32 * i : 32 * i + 32] for i in range(len(pts))] == [internal.mul_base(s) for s in scs]
    bad = le(2)
    assert internal.batch_decompress(b"".join(pts[:3]) + bad) == pts[:3] + [None]
