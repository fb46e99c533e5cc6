#include "point_conversion/elligator.h"

#include "ct/choice.h"
#include "ct/wipe.h"
#include "panic/panic.h"

namespace kestrova::point_conversion {

using field::Fe;
using group::Point;

namespace {

const char* const kInvalidMapMessage = "The point from the Elligator map is invalid, this should never happen.";

// The same point as elligator_map followed by montgomery_to_edwards, with u and
// y kept as fractions so that no inversion is needed: u = un / d1 and
// y = (un - d1) / (un + d1); the decompression takes x^2 as a ratio. `present`
// is false where the map would yield no point (never, by the algebra); no
// branch, so that the encoder may decode its secret output.
ct::CtOption<Point> decode_representative(const uint8_t in[kRepresentativeBytes]) {
    const Fe r = field::fe_from_bytes(in);
    const ct::Choice sign = ct::Choice::from_bit(in[31] >> 7);
    const Fe r2 = field::fe_square(r);
    const Fe d1 = field::fe_add(field::fe_add(r2, r2), field::fe_one());
    // eps * d1^4 = -A d1 (A^2 - A^2 d1 + d1^2) is a square exactly when eps is.
    const Fe a2 = field::fe_mul_small(field::kFeMontA, 486662);
    const Fe inner = field::fe_add(field::fe_sub(a2, field::fe_mul(a2, d1)), field::fe_square(d1));
    const Fe eps = field::fe_neg(field::fe_mul_small(field::fe_mul(d1, inner), 486662));
    const ct::Choice square = field::fe_sqrt_ratio(eps, field::fe_one()).is_square;
    // w = -A / d1; otherwise -w - A = A (1 - d1) / d1.
    Fe un = field::kFeMontNegA;
    field::fe_cmov(un, field::fe_mul_small(field::fe_sub(field::fe_one(), d1), 486662), !square);
    const Fe yn = field::fe_sub(un, d1);
    const Fe yd = field::fe_add(un, d1);
    const Fe yn2 = field::fe_square(yn), yd2 = field::fe_square(yd);
    const field::SqrtRatio root =
        field::fe_sqrt_ratio(field::fe_sub(yn2, yd2), field::fe_add(field::fe_mul(field::kFeD, yn2), yd2));
    const Fe x = field::fe_cneg(root.root, sign);
    // yd = 0 is u = -1.
    return {Point{field::fe_mul(x, yd), yn, yd, field::fe_mul(x, yn)}, (!field::fe_is_zero(yd)) & root.is_square};
}

}  // namespace

Fe elligator_map(const Fe& r) {
    // d1 = 1 + 2 r^2 is never 0 (-1/2 is a non-square), but the inverse of 0 would be 0 anyway.
    const Fe r2 = field::fe_square(r);
    const Fe d1 = field::fe_add(field::fe_add(r2, r2), field::fe_one());
    const Fe w = field::fe_mul(field::kFeMontNegA, field::fe_invert(d1));
    const Fe w2 = field::fe_square(w);
    const Fe eps = field::fe_mul(w, field::fe_add(field::fe_add(w2, field::fe_mul_small(w, 486662)), field::fe_one()));
    const ct::Choice square = field::fe_sqrt_ratio(eps, field::fe_one()).is_square;
    Fe u = w;
    field::fe_cmov(u, field::fe_sub(field::fe_neg(w), field::kFeMontA), !square);
    return field::fe_canonical(u);
}

std::optional<Point> montgomery_to_edwards_vartime(const uint8_t u_bytes[32], bool sign) {
    const Fe u = field::fe_from_bytes(u_bytes);
    if (ct::to_bool_vartime(field::fe_equal(u, field::fe_neg(field::fe_one())))) return std::nullopt;
    const Fe y = field::fe_mul(field::fe_sub(u, field::fe_one()), field::fe_invert(field::fe_add(u, field::fe_one())));
    uint8_t enc[group::kPointBytes];
    field::fe_to_bytes(enc, y);
    enc[31] |= uint8_t(uint8_t(sign) << 7);
    return group::decompress_vartime(enc);
}

Point representative_to_point(const uint8_t in[kRepresentativeBytes]) {
    const ct::CtOption<Point> p = decode_representative(in);
    // Representatives read from a store are public.
    if (!ct::to_bool_vartime(p.present)) kestrova::panic(kInvalidMapMessage);
    return p.value;
}

// With u = N / Dn (N = Z + Y, Dn = Z - Y) the root of 1 / t is Dn times a root
// of 1 / (-2 N (N + A Dn)), so r = +-s N (bit 0) or +-s (N + A Dn) (bit 1); the
// sign goes away with |r|. No inversion is needed.
std::optional<Representative> point_to_representative_with_bit(const Point& p, uint32_t bit) {
    const Fe n = field::fe_add(p.Z, p.Y);
    const Fe dn = field::fe_sub(p.Z, p.Y);
    const Fe na = field::fe_add(n, field::fe_mul_small(dn, 486662));
    const Fe v = field::fe_neg(field::fe_mul(field::fe_add(n, n), na));
    const field::SqrtRatio s = field::fe_sqrt_ratio(field::fe_one(), v);
    // None for u = 0 (the neutral element through Dn = 0, or (0, -1) through
    // N = 0) or t a non-square; the rest runs either way.
    const ct::Choice has = s.is_square & (!field::fe_is_zero(dn));
    Fe factor = n;
    field::fe_cmov(factor, na, ct::Choice::from_bit(bit & 1));
    const Fe r = field::fe_abs(field::fe_mul(s.root, factor));
    Representative out;
    field::fe_to_bytes(out.data(), r);
    // Decoding with sign 0 gives p or -p; the sign bit picks p.
    const ct::CtOption<Point> q = decode_representative(out.data());
    out[31] |= uint8_t((!group::equal(q.value, p)).bit() << 7);
    // Whether p has a representative is the one secret outcome the system
    // branches on (a bank retries with a fresh point until it has).
    if (!ct::declassify(has & q.present)) {
        ct::wipe(out.data(), out.size());
        return std::nullopt;
    }
    return out;
}

std::optional<Representative> point_to_representative(const Point& p, kestrova::random::Generator& g) {
    const uint32_t bit = g.next_u32() >> 31;
    return point_to_representative_with_bit(p, bit);
}

}  // namespace kestrova::point_conversion
