#include "point_conversion/elligator_batch.h"

#include <algorithm>

#include "ct/choice.h"
#include "curve/batch.h"
#include "field/field.h"
#include "panic/panic.h"

namespace kestrova::point_conversion {

using field::Fe;
using group::Point;

namespace {

constexpr size_t kChunk = 32;
// Decoding shares one inversion per chunk: larger chunks, fewer inversions.
constexpr size_t kDecodeChunk = 128;
const char* const kInvalidMapMessage = "The point from the Elligator map is invalid, this should never happen.";

// root[i] = the sqrt_ratio(u[i], v[i]) of the field code, exponentiations batched.
void sqrt_ratio_each(const Fe* u, const Fe* v, field::SqrtRatio* root, size_t m) {
    Fe uv3[kChunk], pw[kChunk];
    for (size_t i = 0; i < m; ++i) field::fe_sqrt_ratio_prepare(u[i], v[i], uv3[i], pw[i]);
    curve::pow22523_each({pw, m}, {pw, m});
    for (size_t i = 0; i < m; ++i) root[i] = field::fe_sqrt_ratio_finish(u[i], v[i], field::fe_mul(uv3[i], pw[i]));
}

// root[i] = sqrt_ratio(u[i], 1): with v = 1, u v^3 = u v^7 = u.
void sqrt_each(const Fe* u, field::SqrtRatio* root, size_t m) {
    Fe pw[kDecodeChunk];
    curve::pow22523_each({u, m}, {pw, m});
    for (size_t i = 0; i < m; ++i) {
        root[i] = field::fe_sqrt_ratio_finish(u[i], field::fe_one(), field::fe_mul(u[i], pw[i]));
    }
}

// sqrt(-(A + 2)), the factor of the map to the Edwards x, and that times (1 - i).
constexpr Fe kEdwardsX = {{0x604aaff457e06, 0x2296fa350598d, 0x7f13dfb16874f, 0x35de93d846e01, 0xf26edf460a00}};
constexpr Fe kEdwardsXOneMinusI = {{0x4d9a9bcdc21b, 0x30e78f5bcd6c2, 0x7c3d9b8a3ef96, 0x4b5ca4d582b6d,
                                    0x7b0be28c5a49c}};

// The points of representative_to_point with one exponentiation instead of two.
// With w = -A / d1 and g(u) = u (u^2 + A u + 1), the square test of g(w) also
// yields a root of it: root^2 = d1^4 g(w) when square, i d1^4 g(w) otherwise.
// Then g(-w - A) = 2 r^2 g(w), so (r (1 - i) root)^2 = d1^4 g(-w - A), and both
// u share u^2 + A u + 1 = inner / d1^2. The Edwards x = sqrt(-(A + 2)) v / (u^2 + A u + 1)
// is therefore (c root, or c (1 - i) r root) / inner: one shared inversion gives
// its sign. y = (un - d1) / (un + d1) as in the single decoder.
void decode_chunk(const uint8_t* in, Point* out, size_t m) {
    const Fe one = field::fe_one();
    const Fe a2 = field::fe_mul_small(field::kFeMontA, 486662);
    Fe r[kDecodeChunk], d1[kDecodeChunk], inner[kDecodeChunk], eps[kDecodeChunk], scratch[kDecodeChunk];
    field::SqrtRatio root[kDecodeChunk];
    for (size_t i = 0; i < m; ++i) {
        r[i] = field::fe_from_bytes(in + kRepresentativeBytes * i);
        const Fe r2 = field::fe_square(r[i]);
        d1[i] = field::fe_add(field::fe_add(r2, r2), one);
        inner[i] = field::fe_add(field::fe_sub(a2, field::fe_mul(a2, d1[i])), field::fe_square(d1[i]));
        eps[i] = field::fe_neg(field::fe_mul_small(field::fe_mul(d1[i], inner[i]), 486662));
    }
    sqrt_each(eps, root, m);
    Fe xn[kDecodeChunk], yn[kDecodeChunk], yd[kDecodeChunk];
    for (size_t i = 0; i < m; ++i) {
        const ct::Choice non_square = !root[i].is_square;
        Fe un = field::kFeMontNegA;
        field::fe_cmov(un, field::fe_mul_small(field::fe_sub(one, d1[i]), 486662), non_square);
        yn[i] = field::fe_sub(un, d1[i]);
        yd[i] = field::fe_add(un, d1[i]);
        Fe factor = kEdwardsX;
        field::fe_cmov(factor, field::fe_mul(kEdwardsXOneMinusI, r[i]), non_square);
        xn[i] = field::fe_mul(factor, root[i].root);
    }
    // inner is never 0: A^2 - 4 is a non-square.
    field::fe_batch_invert(inner, m, scratch);
    for (size_t i = 0; i < m; ++i) {
        // yd = 0 is u = -1, the one u without an Edwards point; elsewhere the map
        // lands on the curve, which the single decoder's square test confirms.
        // Representatives read from a store are public.
        if (ct::to_bool_vartime(field::fe_is_zero(yd[i]))) kestrova::panic(kInvalidMapMessage);
        const Fe x = field::fe_cneg(field::fe_abs(field::fe_mul(xn[i], inner[i])),
                                    ct::Choice::from_bit(in[kRepresentativeBytes * i + 31] >> 7));
        out[i] = Point{field::fe_mul(x, yd[i]), yn[i], yd[i], field::fe_mul(x, yn[i])};
    }
}

void start_chunk(const Point* p, const uint32_t* bits, Representative* out, uint8_t* ok, size_t m) {
    Fe n[kChunk], dn[kChunk], na[kChunk], v[kChunk]{}, ones[kChunk]{};
    field::SqrtRatio s[kChunk];
    for (size_t i = 0; i < m; ++i) {
        n[i] = field::fe_add(p[i].Z, p[i].Y);
        dn[i] = field::fe_sub(p[i].Z, p[i].Y);
        na[i] = field::fe_add(n[i], field::fe_mul_small(dn[i], 486662));
        v[i] = field::fe_neg(field::fe_mul(field::fe_add(n[i], n[i]), na[i]));
        ones[i] = field::fe_one();
    }
    sqrt_ratio_each(ones, v, s, m);
    for (size_t i = 0; i < m; ++i) {
        // Whether p has a representative is the one secret outcome the system
        // branches on (a bank retries with a fresh point until it has).
        ok[i] = ct::declassify(s[i].is_square & (!field::fe_is_zero(dn[i]))) ? 1 : 0;
        Fe factor = n[i];
        field::fe_cmov(factor, na[i], ct::Choice::from_bit(bits[i] & 1));
        field::fe_to_bytes(out[i].data(), field::fe_abs(field::fe_mul(s[i].root, factor)));
    }
}

template <size_t kSize = kChunk, class F>
void in_chunks(size_t n, const F& chunk) {
    for (size_t first = 0; first < n; first += kSize) chunk(first, std::min(kSize, n - first));
}

}  // namespace

void representatives_to_points(const uint8_t* in, Point* out, size_t n) {
    in_chunks<kDecodeChunk>(n, [&](size_t first, size_t m) { decode_chunk(in + kRepresentativeBytes * first, out + first, m); });
}

void start_representatives(const Point* p, const uint32_t* bits, Representative* out, uint8_t* ok, size_t n) {
    in_chunks(n, [&](size_t first, size_t m) { start_chunk(p + first, bits + first, out + first, ok + first, m); });
}

void finish_representatives(const Point* p, Representative* out, size_t n) {
    // Decoding a representative with sign 0 gives p's y and the non-negative
    // root for x, so the flag is just the sign of p's affine x (never 0 for a
    // point with a representative): one shared inversion instead of a decoding.
    in_chunks(n, [&](size_t first, size_t m) {
        Fe z[kChunk], scratch[kChunk];
        for (size_t i = 0; i < m; ++i) z[i] = p[first + i].Z;
        field::fe_batch_invert(z, m, scratch);
        for (size_t i = 0; i < m; ++i) {
            const ct::Choice negative = field::fe_is_negative(field::fe_mul(p[first + i].X, z[i]));
            out[first + i][31] |= uint8_t(negative.bit() << 7);
        }
    });
}

}  // namespace kestrova::point_conversion
