"""A plain big-integer model of GF(p) and edwards25519, for checking results of any order."""

P = 2**255 - 19
L = 2**252 + 27742317777372353535851937790883648493
D = -121665 * pow(121666, P - 2, P) % P
SQRT_M1 = pow(2, (P - 1) // 4, P)
IDENTITY = (0, 1)
BASE_Y = 4 * pow(5, P - 2, P) % P


def load(b):
    return (int.from_bytes(b, "little") & ((1 << 255) - 1)) % P


def store(x):
    return (x % P).to_bytes(32, "little")


def is_square(x):
    return x % P == 0 or pow(x, (P - 1) // 2, P) == 1


def sqrt_nonneg(x):
    """The even square root of x, or None."""
    x %= P
    r = pow(x, (P + 3) // 8, P)
    if (r * r - x) % P:
        r = r * SQRT_M1 % P
    if (r * r - x) % P:
        return None
    return P - r if r & 1 else r


def decompress(data):
    n = int.from_bytes(data, "little")
    sign, y = n >> 255, (n & ((1 << 255) - 1)) % P
    x = sqrt_nonneg((y * y - 1) * pow(D * y * y + 1, P - 2, P))
    if x is None:
        return None
    return ((P - x) % P if sign else x, y)


def compress(pt):
    x, y = pt
    return (y | ((x & 1) << 255)).to_bytes(32, "little")


def add(a, b):
    (x1, y1), (x2, y2) = a, b
    t = D * x1 * x2 * y1 * y2 % P
    return ((x1 * y2 + x2 * y1) * pow(1 + t, P - 2, P) % P, (y1 * y2 + x1 * x2) * pow(1 - t, P - 2, P) % P)


def neg(a):
    return ((P - a[0]) % P, a[1])


def _add_projective(a, b):
    """The same sum in (X : Y : Z), x = X/Z and y = Y/Z, so that a product needs one inversion, not one per step."""
    (x1, y1, z1), (x2, y2, z2) = a, b
    za = z1 * z2 % P
    zz, xx, yy = za * za % P, x1 * x2 % P, y1 * y2 % P
    e = D * xx * yy % P
    f, g = (zz - e) % P, (zz + e) % P
    return (za * f * ((x1 + y1) * (x2 + y2) - xx - yy) % P, za * g * (yy + xx) % P, f * g % P)


def mul(k, pt):
    r, q = (0, 1, 1), (pt[0], pt[1], 1)
    while k:
        if k & 1:
            r = _add_projective(r, q)
        q = _add_projective(q, q)
        k >>= 1
    z = pow(r[2], P - 2, P)
    return (r[0] * z % P, r[1] * z % P)


BASE = decompress(store(BASE_Y))
T8 = decompress(bytes.fromhex("26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05"))
SMALL_ORDER = [mul(k, T8) for k in range(8)]


def le(n):
    return n.to_bytes(32, "little")


def scalar(data):
    """A secret key as the module reads it: 255 bits, no reduction."""
    return int.from_bytes(bytes(data), "little") & ((1 << 255) - 1)
