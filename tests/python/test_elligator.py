"""Representatives, bit for bit against a big-integer model of the maps."""
import os

import pytest
from hypothesis import given, settings, strategies as st

from edwards_model import BASE, IDENTITY, L, P, SMALL_ORDER, add, compress, decompress, is_square, load, mul, neg, sqrt_nonneg, store

A = 486662


def inv(x):
    return pow(x, P - 2, P)


def model_map(r):
    """r -> u of the forward map."""
    w = -A * inv(1 + 2 * r * r) % P
    eps = w * (w * w + A * w + 1) % P
    return w if is_square(eps) else (-w - A) % P


def model_montgomery_to_edwards(u, sign):
    if u % P == P - 1:
        return None
    y = (u - 1) * inv(u + 1) % P
    return decompress((y | (sign << 255)).to_bytes(32, "little"))


def model_decode(data):
    r, sign = load(data), data[31] >> 7
    return model_montgomery_to_edwards(model_map(r), sign)


def model_encode(pt, bit):
    x, y = pt
    u = (1 + y) * inv(1 - y) % P
    t = -2 * u * (u + A) % P
    if t == 0 or not is_square(t):
        return None
    s = sqrt_nonneg(inv(t))
    r = s * (u + A if bit else u) % P
    r = r if r % 2 == 0 else P - r
    out = bytearray(store(r))
    if model_decode(bytes(out)) != pt:
        out[31] |= 0x80
    return bytes(out)


def random_point(mixed):
    k = int.from_bytes(os.urandom(32), "little") % L
    pt = mul(k, BASE)
    return add(pt, SMALL_ORDER[int.from_bytes(os.urandom(1), "little") % 8]) if mixed else pt


bytes32 = st.binary(min_size=32, max_size=32)


@settings(max_examples=300)
@given(bytes32)
def test_decoding_agrees_with_model_for_any_string(internal, data):
    expected = model_decode(data)
    assert expected is not None
    assert internal.representative_to_point(data) == compress(expected)
    assert internal.elligator_map(data) == store(model_map(load(data)))


@settings(max_examples=100)
@given(bytes32)
def test_r_and_minus_r_decode_alike(internal, data):
    minus = bytearray(store(-load(data)))
    minus[31] |= data[31] & 0x80
    assert internal.representative_to_point(bytes(minus)) == internal.representative_to_point(data)


@pytest.mark.parametrize("mixed", [False, True])
def test_encoding_agrees_with_model_for_both_bits(internal, mixed):
    present = 0
    for _ in range(60):
        pt = random_point(mixed)
        enc = compress(pt)
        reps = [internal.point_to_representative_with_bit(enc, b) for b in (False, True)]
        assert reps == [model_encode(pt, b) for b in (0, 1)]
        assert (reps[0] is None) == (reps[1] is None)
        if reps[0] is None:
            continue
        present += 1
        assert reps[0] != reps[1]
        for rep in reps:
            assert rep[0] & 1 == 0
            assert int.from_bytes(rep, "little") & ((1 << 255) - 1) < P
            assert internal.representative_to_point(rep) == enc
        # The negated point's representative differs in bit 255 only.
        neg_rep = internal.point_to_representative_with_bit(compress(neg(pt)), False)
        assert neg_rep == reps[0][:31] + bytes([reps[0][31] ^ 0x80])
    assert 10 < present < 50


def test_public_encoder_returns_one_of_the_two(internal):
    for _ in range(30):
        enc = compress(random_point(True))
        both = {internal.point_to_representative_with_bit(enc, b) for b in (False, True)}
        assert internal.point_to_representative(enc) in both


@pytest.mark.parametrize("pt", [IDENTITY, (0, P - 1)], ids=["neutral", "order-2"])
def test_no_representative_for_u_zero(internal, pt):
    for b in (False, True):
        assert internal.point_to_representative_with_bit(compress(pt), b) is None
    assert internal.point_to_representative(compress(pt)) is None


@pytest.mark.parametrize("j", [2, 6])
def test_order_four_points_round_trip(internal, j):
    pt = SMALL_ORDER[j]
    assert mul(4, pt) == IDENTITY and mul(2, pt) != IDENTITY
    for b in (False, True):
        rep = internal.point_to_representative_with_bit(compress(pt), b)
        assert rep == model_encode(pt, int(b)) and rep is not None
        assert internal.representative_to_point(rep) == compress(pt)


@pytest.mark.parametrize("r", [0, P, 1 << 255, P | (1 << 255)])
def test_zero_decodes_to_order_two(internal, r):
    assert internal.representative_to_point(r.to_bytes(32, "little")) == compress((0, P - 1))


def test_montgomery_to_edwards_edges(internal):
    minus_one = store(-1)
    assert internal.montgomery_to_edwards(minus_one, False) is None
    assert internal.montgomery_to_edwards(minus_one, True) is None
    assert internal.montgomery_to_edwards(store(9), False) == compress(BASE)
    assert internal.montgomery_to_edwards(store(9), True) == compress(neg(BASE))
