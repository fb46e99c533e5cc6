// Points of the full edwards25519 group, -x^2 + y^2 = 1 + d x^2 y^2.
// Point holds extended coordinates (x = X/Z, y = Y/Z, x*y = T/Z); the other
// forms are intermediate results that skip work the next step does not need.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>

#include "keys/field.h"

namespace kestrova::keys {

struct Point {
    Fe X, Y, Z, T;
};

// (X : Y : Z) without T, enough for doubling.
struct PointP2 {
    Fe X, Y, Z;
};

// Result of an addition or doubling before the final multiplications:
// x = X/Z, y = Y/T.
struct PointP1P1 {
    Fe X, Y, Z, T;
};

// A point prepared as the second operand of additions.
struct PointCached {
    Fe YplusX, YminusX, Z, T2d;
};

// An affine point prepared for mixed addition (Z = 1).
struct PointNiels {
    Fe yplusx, yminusx, xy2d;
};

Point identity();
std::optional<Point> decompress(const uint8_t in[32]);

// Decompression split around its exponentiation (for vector backends):
// start, then pow = uv7^((p-5)/8) computed anywhere, then finish.
struct DecompressState {
    Fe y, u, v, uv3, uv7;
    uint64_t sign;
};
DecompressState decompress_start(const uint8_t in[32]);
std::optional<Point> decompress_finish(const DecompressState& s, const Fe& pow);
void compress(const Point& p, uint8_t out[32]);
Point add(const Point& a, const Point& b);
Point sub(const Point& a, const Point& b);
Point dbl(const Point& a);
Point neg(const Point& a);
// Same group element (projective comparison on canonical encodings); constant-time.
bool equal(const Point& a, const Point& b);
// 1 when the point satisfies the curve equation and T*Z = X*Y (for tests).
bool is_valid(const Point& p);

// ---- building blocks of the multiplication routines ----

inline PointP2 to_p2(const PointP1P1& r) {
    return PointP2{fe_mul(r.X, r.T), fe_mul(r.Y, r.Z), fe_mul(r.Z, r.T)};
}

inline Point to_p3(const PointP1P1& r) {
    return Point{fe_mul(r.X, r.T), fe_mul(r.Y, r.Z), fe_mul(r.Z, r.T), fe_mul(r.X, r.Y)};
}

inline PointP2 to_p2(const Point& p) { return PointP2{p.X, p.Y, p.Z}; }

inline PointCached to_cached(const Point& p) {
    return PointCached{fe_add(p.Y, p.X), fe_sub_nc(p.Y, p.X), p.Z, fe_mul(p.T, kFeD2)};
}

inline PointCached cached_identity() { return PointCached{fe_one(), fe_one(), fe_one(), fe_zero()}; }
inline PointNiels niels_identity() { return PointNiels{fe_one(), fe_one(), fe_zero()}; }

inline PointP1P1 dbl_p1p1(const PointP2& p) {
    const Fe xx = fe_square(p.X);
    const Fe yy = fe_square(p.Y);
    const Fe zz2 = fe_add(fe_square(p.Z), fe_square(p.Z));
    const Fe xy2 = fe_square(fe_add(p.X, p.Y));
    const Fe y3 = fe_add(yy, xx);
    const Fe z3 = fe_sub_nc(yy, xx);
    // Every output feeds only the multiplications of to_p2/to_p3: no carries.
    return PointP1P1{fe_sub4_nc(xy2, y3), y3, z3, fe_sub4_nc(zz2, z3)};
}

inline PointP1P1 add_p1p1(const Point& p, const PointCached& q) {
    const Fe a = fe_mul(fe_add(p.Y, p.X), q.YplusX);
    const Fe b = fe_mul(fe_sub_nc(p.Y, p.X), q.YminusX);
    const Fe c = fe_mul(q.T2d, p.T);
    const Fe zz = fe_mul(p.Z, q.Z);
    const Fe d = fe_add(zz, zz);
    return PointP1P1{fe_sub_nc(a, b), fe_add(a, b), fe_add(d, c), fe_sub_nc(d, c)};
}

inline PointP1P1 sub_p1p1(const Point& p, const PointCached& q) {
    const Fe a = fe_mul(fe_add(p.Y, p.X), q.YminusX);
    const Fe b = fe_mul(fe_sub_nc(p.Y, p.X), q.YplusX);
    const Fe c = fe_mul(q.T2d, p.T);
    const Fe zz = fe_mul(p.Z, q.Z);
    const Fe d = fe_add(zz, zz);
    return PointP1P1{fe_sub_nc(a, b), fe_add(a, b), fe_sub_nc(d, c), fe_add(d, c)};
}

inline PointP1P1 madd_p1p1(const Point& p, const PointNiels& q) {
    const Fe a = fe_mul(fe_add(p.Y, p.X), q.yplusx);
    const Fe b = fe_mul(fe_sub_nc(p.Y, p.X), q.yminusx);
    const Fe c = fe_mul(q.xy2d, p.T);
    const Fe d = fe_add(p.Z, p.Z);
    return PointP1P1{fe_sub_nc(a, b), fe_add(a, b), fe_add(d, c), fe_sub_nc(d, c)};
}

// The negation of a prepared point swaps y+x with y-x and negates the T term.
inline void cached_cneg(PointCached& c, uint64_t bit) {
    fe_cswap(c.YplusX, c.YminusX, bit);
    c.T2d = fe_cneg(c.T2d, bit);
}

inline void niels_cneg(PointNiels& c, uint64_t bit) {
    fe_cswap(c.yplusx, c.yminusx, bit);
    c.xy2d = fe_cneg(c.xy2d, bit);
}

// f = g when bit is 1, over the structures' words.
template <typename T>
inline void words_cmov(T& f, const T& g, uint64_t bit) {
    static_assert(sizeof(T) % sizeof(uint64_t) == 0);
    constexpr size_t n = sizeof(T) / sizeof(uint64_t);
    uint64_t* dst = reinterpret_cast<uint64_t*>(&f);
    const uint64_t* src = reinterpret_cast<const uint64_t*>(&g);
    const uint64_t m = ct_mask(bit);
    for (size_t i = 0; i < n; ++i) dst[i] ^= m & (dst[i] ^ src[i]);
}

inline void cached_cmov(PointCached& f, const PointCached& g, uint64_t bit) { words_cmov(f, g, bit); }
inline void niels_cmov(PointNiels& f, const PointNiels& g, uint64_t bit) { words_cmov(f, g, bit); }

// 1 when a == b, for small non-negative values.
inline uint64_t ct_eq(uint64_t a, uint64_t b) { return ((a ^ b) - 1) >> 63; }

// The entry (magnitude - 1) of an 8-entry row, or `none` for magnitude 0, by
// reading every entry; two words at a time in 128-bit vectors held in registers.
template <typename T>
inline T scan8(const T* row, uint64_t magnitude, const T& none) {
    typedef uint64_t v2 __attribute__((vector_size(16)));
    constexpr size_t n = sizeof(T) / sizeof(uint64_t);
    constexpr size_t nv = n / 2;
    v2 acc[nv];
    uint64_t tail = 0;
    const char* init = reinterpret_cast<const char*>(&none);
    std::memcpy(acc, init, nv * 16);
    if constexpr (n % 2 == 1) std::memcpy(&tail, init + nv * 16, 8);
    for (int j = 0; j < 8; ++j) {
        const uint64_t m = ct_mask(ct_eq(magnitude, uint64_t(j + 1)));
        const v2 mv = {m, m};
        const char* src = reinterpret_cast<const char*>(&row[j]);
#pragma GCC unroll 16
        for (size_t k = 0; k < nv; ++k) {
            v2 x;
            std::memcpy(&x, src + 16 * k, 16);
            acc[k] ^= mv & (acc[k] ^ x);
        }
        if constexpr (n % 2 == 1) {
            uint64_t x;
            std::memcpy(&x, src + nv * 16, 8);
            tail ^= m & (tail ^ x);
        }
    }
    T out;
    char* dst = reinterpret_cast<char*>(&out);
    std::memcpy(dst, acc, nv * 16);
    if constexpr (n % 2 == 1) std::memcpy(dst + nv * 16, &tail, 8);
    return out;
}

// Affine (x, y) to the mixed-addition form.
PointNiels niels_from_affine(const Fe& x, const Fe& y);

}  // namespace kestrova::keys
