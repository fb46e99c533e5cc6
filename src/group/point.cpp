#include "group/point.h"

#include <algorithm>

#include "group/point_internal.h"

namespace kestrova::group {

using namespace field;

Point identity() { return Point{fe_zero(), fe_one(), fe_one(), fe_zero()}; }

DecompressState decompress_start(const uint8_t in[kPointBytes]) {
    DecompressState s;
    s.y = fe_from_bytes(in);  // bit 255 dropped, y >= p taken modulo p
    s.sign = ct::Choice::from_bit(in[31] >> 7);
    const Fe yy = fe_square(s.y);
    s.u = fe_sub(yy, fe_one());
    s.v = fe_add(fe_mul(yy, kFeD), fe_one());
    fe_sqrt_ratio_prepare(s.u, s.v, s.uv3, s.uv7);
    return s;
}

std::optional<Point> decompress_finish_vartime(const DecompressState& s, const Fe& pow) {
    const SqrtRatio root = fe_sqrt_ratio_finish(s.u, s.v, fe_mul(s.uv3, pow));
    // Encodings are public data: failing here is no leak.
    if (!ct::to_bool_vartime(root.is_square)) return std::nullopt;
    // For x = 0 the negation is 0 again, so either sign bit is accepted.
    const Fe x = fe_cneg(root.root, s.sign);
    return Point{x, s.y, fe_one(), fe_mul(x, s.y)};
}

std::optional<Point> decompress_vartime(const uint8_t in[kPointBytes]) {
    const DecompressState s = decompress_start(in);
    return decompress_finish_vartime(s, fe_pow22523(s.uv7));
}

void compress(const Point& p, uint8_t out[kPointBytes]) {
    const Fe inv = fe_invert(p.Z);
    const Fe x = fe_mul(p.X, inv);
    const Fe y = fe_mul(p.Y, inv);
    fe_to_bytes(out, y);
    out[31] |= uint8_t(fe_is_negative(x).bit() << 7);
}

Point add(const Point& a, const Point& b) { return to_p3(add_p1p1(a, to_cached(b))); }

Point dbl(const Point& a) { return to_p3(dbl_p1p1(to_p2(a))); }

Point neg(const Point& a) { return Point{fe_neg(a.X), a.Y, a.Z, fe_neg(a.T)}; }

ct::Choice equal(const Point& a, const Point& b) {
    return fe_equal(fe_mul(a.X, b.Z), fe_mul(b.X, a.Z)) & fe_equal(fe_mul(a.Y, b.Z), fe_mul(b.Y, a.Z));
}

ct::Choice is_valid(const Point& p) {
    // -X^2 Z^2 + Y^2 Z^2 = Z^4 + d X^2 Y^2, and T Z = X Y.
    const Fe xx = fe_square(p.X), yy = fe_square(p.Y), zz = fe_square(p.Z);
    const Fe lhs = fe_mul(fe_sub(yy, xx), zz);
    const Fe rhs = fe_add(fe_square(zz), fe_mul(kFeD, fe_mul(xx, yy)));
    return fe_equal(lhs, rhs) & fe_equal(fe_mul(p.T, p.Z), fe_mul(p.X, p.Y)) & (!fe_is_zero(p.Z));
}

ct::Choice is_small_order(const Point& p, unsigned order) {
    Point m = p;
    for (unsigned k = order; k > 1; k /= 2) m = dbl(m);
    return equal(m, identity());
}

Point clear_cofactor(const Point& p) { return dbl(dbl(dbl(p))); }

namespace {

// The prime order of the base point, little-endian.
constexpr uint8_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

// The scalars reduce modulo the order, so the order times P is a plain double-and-add.
Point times_order_vartime(const Point& p) {
    Point r = identity();
    for (int bit = 252; bit >= 0; --bit) {
        r = dbl(r);
        if ((kOrder[bit / 8] >> (bit % 8)) & 1) r = add(r, p);
    }
    return r;
}

}  // namespace

Encoding classify_vartime(const uint8_t in[kPointBytes]) {
    uint8_t y[kPointBytes];
    fe_to_bytes(y, fe_from_bytes(in));
    y[31] |= in[31] & 0x80;
    if (!std::equal(y, y + kPointBytes, in)) return Encoding::kNotCanonical;
    const std::optional<Point> p = decompress_vartime(in);
    if (!p) return Encoding::kNotOnCurve;
    // x = 0 decodes with either sign bit; only the clear one is how the point is written.
    compress(*p, y);
    if (!std::equal(y, y + kPointBytes, in)) return Encoding::kNotCanonical;
    if (ct::to_bool_vartime(is_small_order(*p, 8))) return Encoding::kSmallOrder;
    if (!ct::to_bool_vartime(equal(times_order_vartime(*p), identity()))) return Encoding::kMixedOrder;
    return Encoding::kPrimeOrder;
}

void compress_batch(const Point* points, uint8_t* out, size_t n) {
    // Blocks keep the scratch on the stack; one inversion per block.
    constexpr size_t kBlock = 64;
    Fe z[kBlock], scratch[kBlock];
    for (size_t start = 0; start < n; start += kBlock) {
        const size_t m = std::min(kBlock, n - start);
        for (size_t i = 0; i < m; ++i) z[i] = points[start + i].Z;
        fe_batch_invert(z, m, scratch);
        for (size_t i = 0; i < m; ++i) {
            const Point& p = points[start + i];
            uint8_t* o = out + kPointBytes * (start + i);
            fe_to_bytes(o, fe_mul(p.Y, z[i]));
            o[31] |= uint8_t(fe_is_negative(fe_mul(p.X, z[i])).bit() << 7);
        }
    }
}

PointNiels niels_from_affine(const Fe& x, const Fe& y) {
    return PointNiels{fe_canonical(fe_add(y, x)), fe_canonical(fe_sub(y, x)),
                      fe_canonical(fe_mul(fe_mul(x, y), kFeD2))};
}

}  // namespace kestrova::group
