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

Point representative_to_point(const uint8_t in[32]) {
    const Fe r = keys::fe_from_bytes(in);
    const bool sign = (in[31] >> 7) != 0;
    uint8_t u[32];
    keys::fe_to_bytes(u, elligator_map(r));
    const std::optional<Point> p = montgomery_to_edwards(u, sign);
    if (!p) kestrova::panic(kInvalidMapMessage);
    return *p;
}

std::optional<Representative> point_to_representative_with_bit(const Point& p, uint32_t bit) {
    // u = (1 + y) / (1 - y); the neutral element gets u = 0 through the inverse of 0.
    const Fe u = keys::fe_canonical(keys::fe_mul(keys::fe_add(p.Z, p.Y), keys::fe_invert(keys::fe_sub(p.Z, p.Y))));
    const Fe u_plus_a = keys::fe_add(u, keys::kFeMontA);
    const Fe t = keys::fe_neg(keys::fe_mul(keys::fe_add(u, u), u_plus_a));
    const keys::SqrtRatio s = keys::fe_sqrt_ratio(keys::fe_one(), t);
    if (!s.is_square) return std::nullopt;  // t = 0 (u = 0) or t a non-square
    Fe factor = u;
    keys::fe_cmov(factor, u_plus_a, bit & 1);
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
