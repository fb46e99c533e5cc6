"""A plain big-integer model of edwards25519 for checking results of any order."""
P = 2**255 - 19
L = 2**252 + 27742317777372353535851937790883648493
D = -121665 * pow(121666, P - 2, P) % P
SQRT_M1 = pow(2, (P - 1) // 4, P)
IDENTITY = (0, 1)


def decompress(data):
    """Permissive decoding: y taken mod p, sign bit honoured, x = 0 with sign 1 allowed."""
    n = int.from_bytes(bytes(data), "little")
    sign, y = n >> 255, (n & ((1 << 255) - 1)) % P
    u, v = (y * y - 1) % P, (D * y * y + 1) % P
    x2 = u * pow(v, P - 2, P) % P
    x = pow(x2, (P + 3) // 8, P)
    if (x * x - x2) % P:
        x = x * SQRT_M1 % P
    if (x * x - x2) % P:
        return None
    if x & 1:
        x = P - x
    if sign:
        x = (P - x) % P
    return (x, y)


def compress(point):
    x, y = point
    return list((y | ((x & 1) << 255)).to_bytes(32, "little"))


def add(a, b):
    (x1, y1), (x2, y2) = a, b
    t = D * x1 * x2 * y1 * y2 % P
    x3 = (x1 * y2 + x2 * y1) * pow(1 + t, P - 2, P) % P
    y3 = (y1 * y2 + x1 * x2) * pow(1 - t, P - 2, P) % P
    return (x3, y3)


def mul(k, point):
    result = IDENTITY
    while k:
        if k & 1:
            result = add(result, point)
        point = add(point, point)
        k >>= 1
    return result


def scalar(data):
    """A secret key as the module reads it: 255 bits, no reduction."""
    return int.from_bytes(bytes(data), "little") & ((1 << 255) - 1)
