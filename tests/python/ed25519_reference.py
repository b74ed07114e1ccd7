"""Pure-Python Ed25519 (RFC 8032, pure variant) for checking signatures.

Slow and not constant-time: it exists only so that tests can recompute keys
and signatures from first principles instead of trusting the module's own
crypto. Verification is the cofactorless check [S]B == R + [k]A with S < L.
"""

import hashlib

P = 2**255 - 19
L = 2**252 + 27742317777372353535851937790883648493
D = -121665 * pow(121666, P - 2, P) % P
SQRT_M1 = pow(2, (P - 1) // 4, P)


def _inv(x):
    return pow(x, P - 2, P)


def _add(a, b):
    # Extended homogeneous coordinates (X, Y, Z, T), x = X/Z, y = Y/Z, xy = T/Z.
    e1 = (a[1] - a[0]) * (b[1] - b[0]) % P
    e2 = (a[1] + a[0]) * (b[1] + b[0]) % P
    c = 2 * a[3] * b[3] * D % P
    d = 2 * a[2] * b[2] % P
    e, f, g, h = e2 - e1, d - c, d + c, e2 + e1
    return (e * f % P, g * h % P, f * g % P, e * h % P)


def _mul(s, point):
    acc = (0, 1, 1, 0)
    while s > 0:
        if s & 1:
            acc = _add(acc, point)
        point = _add(point, point)
        s >>= 1
    return acc


def _equal(a, b):
    return (a[0] * b[2] - b[0] * a[2]) % P == 0 and (a[1] * b[2] - b[1] * a[2]) % P == 0


def recover_x(y, sign):
    """x for y and the sign bit, or None when the curve has no such point."""
    if y >= P:
        return None
    x2 = (y * y - 1) * _inv(D * y * y + 1) % P
    if x2 == 0:
        return None if sign else 0
    x = pow(x2, (P + 3) // 8, P)
    if (x * x - x2) % P != 0:
        x = x * SQRT_M1 % P
    if (x * x - x2) % P != 0:
        return None
    if (x & 1) != sign:
        x = P - x
    return x


_GY = 4 * _inv(5) % P
_GX = recover_x(_GY, 0)
BASE = (_GX, _GY, 1, _GX * _GY % P)


def compress(point):
    zinv = _inv(point[2])
    x = point[0] * zinv % P
    y = point[1] * zinv % P
    return (y | ((x & 1) << 255)).to_bytes(32, "little")


def decompress(data):
    if len(data) != 32:
        return None
    y = int.from_bytes(data, "little")
    sign = y >> 255
    y &= (1 << 255) - 1
    x = recover_x(y, sign)
    if x is None:
        return None
    return (x, y, 1, x * y % P)


def _expand(seed):
    h = hashlib.sha512(seed).digest()
    a = int.from_bytes(h[:32], "little")
    a &= (1 << 254) - 8
    a |= 1 << 254
    return a, h[32:]


def _hash_mod_l(data):
    return int.from_bytes(hashlib.sha512(data).digest(), "little") % L


def public_key(seed):
    a, _ = _expand(seed)
    return compress(_mul(a, BASE))


def sign(seed, message):
    a, prefix = _expand(seed)
    pub = compress(_mul(a, BASE))
    r = _hash_mod_l(prefix + message)
    big_r = compress(_mul(r, BASE))
    s = (r + _hash_mod_l(big_r + pub + message) * a) % L
    return big_r + s.to_bytes(32, "little")


def verify(pub, message, signature):
    if len(signature) != 64:
        return False
    a = decompress(pub)
    r = decompress(signature[:32])
    if a is None or r is None:
        return False
    s = int.from_bytes(signature[32:], "little")
    if s >= L:
        return False
    k = _hash_mod_l(signature[:32] + pub + message)
    return _equal(_mul(s, BASE), _add(r, _mul(k, a)))
