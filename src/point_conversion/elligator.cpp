#include "point_conversion/elligator.h"

#include "panic/panic.h"

namespace kestrova::point_conversion {

using keys::Fe;
using keys::Point;

namespace {

const char* const kInvalidMapMessage = "The point from the Elligator map is invalid, this should never happen.";

}  // namespace

Fe elligator_map(const Fe& r) {
    // d1 = 1 + 2 r^2 is never 0 (-1/2 is a non-square), but the inverse of 0 would be 0 anyway.
    const Fe r2 = keys::fe_square(r);
    const Fe d1 = keys::fe_add(keys::fe_add(r2, r2), keys::fe_one());
    const Fe w = keys::fe_mul(keys::kFeMontNegA, keys::fe_invert(d1));
    const Fe w2 = keys::fe_square(w);
    const Fe eps = keys::fe_mul(w, keys::fe_add(keys::fe_add(w2, keys::fe_mul_small(w, 486662)), keys::fe_one()));
    const uint64_t square = keys::fe_sqrt_ratio(eps, keys::fe_one()).is_square;
    Fe u = w;
    keys::fe_cmov(u, keys::fe_sub(keys::fe_neg(w), keys::kFeMontA), square ^ 1);
    return keys::fe_canonical(u);
}

std::optional<Point> montgomery_to_edwards(const uint8_t u_bytes[32], bool sign) {
    const Fe u = keys::fe_from_bytes(u_bytes);
    if (keys::fe_equal(u, keys::fe_neg(keys::fe_one()))) return std::nullopt;
    const Fe y = keys::fe_mul(keys::fe_sub(u, keys::fe_one()), keys::fe_invert(keys::fe_add(u, keys::fe_one())));
    uint8_t enc[32];
    keys::fe_to_bytes(enc, y);
    enc[31] |= uint8_t(uint8_t(sign) << 7);
    return keys::decompress(enc);
}

// The same point as elligator_map followed by montgomery_to_edwards, with u and
// y kept as fractions so that no inversion is needed: u = un / d1 and
// y = (un - d1) / (un + d1); the decompression takes x^2 as a ratio.
Point representative_to_point(const uint8_t in[32]) {
    const Fe r = keys::fe_from_bytes(in);
    const uint64_t sign = in[31] >> 7;
    const Fe r2 = keys::fe_square(r);
    const Fe d1 = keys::fe_add(keys::fe_add(r2, r2), keys::fe_one());
    // eps * d1^4 = -A d1 (A^2 - A^2 d1 + d1^2) is a square exactly when eps is.
    const Fe a2 = keys::fe_mul_small(keys::kFeMontA, 486662);
    const Fe inner = keys::fe_add(keys::fe_sub(a2, keys::fe_mul(a2, d1)), keys::fe_square(d1));
    const Fe eps = keys::fe_neg(keys::fe_mul_small(keys::fe_mul(d1, inner), 486662));
    const uint64_t square = keys::fe_sqrt_ratio(eps, keys::fe_one()).is_square;
    // w = -A / d1; otherwise -w - A = A (1 - d1) / d1.
    Fe un = keys::kFeMontNegA;
    keys::fe_cmov(un, keys::fe_mul_small(keys::fe_sub(keys::fe_one(), d1), 486662), square ^ 1);
    const Fe yn = keys::fe_sub(un, d1);
    const Fe yd = keys::fe_add(un, d1);
    if (keys::fe_is_zero(yd)) kestrova::panic(kInvalidMapMessage);  // u = -1
    const Fe yn2 = keys::fe_square(yn), yd2 = keys::fe_square(yd);
    const keys::SqrtRatio root =
        keys::fe_sqrt_ratio(keys::fe_sub(yn2, yd2), keys::fe_add(keys::fe_mul(keys::kFeD, yn2), yd2));
    if (!root.is_square) kestrova::panic(kInvalidMapMessage);
    const Fe x = keys::fe_cneg(root.root, sign);
    return Point{keys::fe_mul(x, yd), yn, yd, keys::fe_mul(x, yn)};
}

// With u = N / Dn (N = Z + Y, Dn = Z - Y) the root of 1 / t is Dn times a root
// of 1 / (-2 N (N + A Dn)), so r = +-s N (bit 0) or +-s (N + A Dn) (bit 1); the
// sign goes away with |r|. No inversion is needed.
std::optional<Representative> point_to_representative_with_bit(const Point& p, uint32_t bit) {
    const Fe n = keys::fe_add(p.Z, p.Y);
    const Fe dn = keys::fe_sub(p.Z, p.Y);
    const Fe na = keys::fe_add(n, keys::fe_mul_small(dn, 486662));
    const Fe v = keys::fe_neg(keys::fe_mul(keys::fe_add(n, n), na));
    const keys::SqrtRatio s = keys::fe_sqrt_ratio(keys::fe_one(), v);
    // u = 0 (the neutral element through Dn = 0, or (0, -1) through N = 0), or t a non-square.
    if (!(s.is_square & (keys::fe_is_zero(dn) ^ 1))) return std::nullopt;
    Fe factor = n;
    keys::fe_cmov(factor, na, bit & 1);
    const Fe r = keys::fe_abs(keys::fe_mul(s.root, factor));
    Representative out;
    keys::fe_to_bytes(out.data(), r);
    // Decoding with sign 0 gives p or -p; the sign bit picks p.
    const Point q = representative_to_point(out.data());
    const uint8_t same = keys::equal(q, p) ? 1 : 0;
    out[31] |= uint8_t((same ^ 1) << 7);
    return out;
}

std::optional<Representative> point_to_representative(const Point& p, kestrova::random::Generator& g) {
    const uint32_t bit = g.next_u32() >> 31;
    return point_to_representative_with_bit(p, bit);
}

}  // namespace kestrova::point_conversion
