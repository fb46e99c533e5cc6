// The intermediate point forms of the group formulas, their building blocks
// and the constant-time table scans: for the group's own multiplication loops
// and the batch backends, not for the rest of the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "field/field.h"
#include "group/point.h"

namespace kestrova::group {

// (X : Y : Z) without T, enough for doubling.
struct PointP2 {
    field::Fe X, Y, Z;
};

// Result of an addition or doubling before the final multiplications:
// x = X/Z, y = Y/T.
struct PointP1P1 {
    field::Fe X, Y, Z, T;
};

// A point prepared as the second operand of additions.
struct PointCached {
    field::Fe YplusX, YminusX, Z, T2d;
};

// An affine point prepared for mixed addition (Z = 1).
struct PointNiels {
    field::Fe yplusx, yminusx, xy2d;
};

// Decompression split around its exponentiation (for vector backends):
// start, then pow = uv7^((p-5)/8) computed anywhere, then finish.
struct DecompressState {
    field::Fe y, u, v, uv3, uv7;
    ct::Choice sign;
};
DecompressState decompress_start(const uint8_t in[kPointBytes]);
std::optional<Point> decompress_finish_vartime(const DecompressState& s, const field::Fe& pow);

inline PointP2 to_p2(const PointP1P1& r) {
    return PointP2{field::fe_mul(r.X, r.T), field::fe_mul(r.Y, r.Z), field::fe_mul(r.Z, r.T)};
}

inline Point to_p3(const PointP1P1& r) {
    return Point{field::fe_mul(r.X, r.T), field::fe_mul(r.Y, r.Z), field::fe_mul(r.Z, r.T), field::fe_mul(r.X, r.Y)};
}

inline PointP2 to_p2(const Point& p) { return PointP2{p.X, p.Y, p.Z}; }

inline PointCached to_cached(const Point& p) {
    return PointCached{field::fe_add(p.Y, p.X), field::fe_sub_nc(p.Y, p.X), p.Z, field::fe_mul(p.T, field::kFeD2)};
}

inline PointCached cached_identity() { return PointCached{field::fe_one(), field::fe_one(), field::fe_one(), field::fe_zero()}; }
inline PointNiels niels_identity() { return PointNiels{field::fe_one(), field::fe_one(), field::fe_zero()}; }

inline PointP1P1 dbl_p1p1(const PointP2& p) {
    const field::Fe xx = field::fe_square(p.X);
    const field::Fe yy = field::fe_square(p.Y);
    const field::Fe zz2 = field::fe_add(field::fe_square(p.Z), field::fe_square(p.Z));
    const field::Fe xy2 = field::fe_square(field::fe_add(p.X, p.Y));
    const field::Fe y3 = field::fe_add(yy, xx);
    const field::Fe z3 = field::fe_sub_nc(yy, xx);
    // Every output feeds only the multiplications of to_p2/to_p3: no carries.
    return PointP1P1{field::fe_sub4_nc(xy2, y3), y3, z3, field::fe_sub4_nc(zz2, z3)};
}

inline PointP1P1 add_p1p1(const Point& p, const PointCached& q) {
    const field::Fe a = field::fe_mul(field::fe_add(p.Y, p.X), q.YplusX);
    const field::Fe b = field::fe_mul(field::fe_sub_nc(p.Y, p.X), q.YminusX);
    const field::Fe c = field::fe_mul(q.T2d, p.T);
    const field::Fe zz = field::fe_mul(p.Z, q.Z);
    const field::Fe d = field::fe_add(zz, zz);
    return PointP1P1{field::fe_sub_nc(a, b), field::fe_add(a, b), field::fe_add(d, c), field::fe_sub_nc(d, c)};
}

inline PointP1P1 madd_p1p1(const Point& p, const PointNiels& q) {
    const field::Fe a = field::fe_mul(field::fe_add(p.Y, p.X), q.yplusx);
    const field::Fe b = field::fe_mul(field::fe_sub_nc(p.Y, p.X), q.yminusx);
    const field::Fe c = field::fe_mul(q.xy2d, p.T);
    const field::Fe d = field::fe_add(p.Z, p.Z);
    return PointP1P1{field::fe_sub_nc(a, b), field::fe_add(a, b), field::fe_add(d, c), field::fe_sub_nc(d, c)};
}

// The negation of a prepared point swaps y+x with y-x and negates the T term.
inline void cneg(PointCached& c, ct::Choice negate) {
    field::fe_cswap(c.YplusX, c.YminusX, negate);
    c.T2d = field::fe_cneg(c.T2d, negate);
}

inline void cneg(PointNiels& c, ct::Choice negate) {
    field::fe_cswap(c.yplusx, c.yminusx, negate);
    c.xy2d = field::fe_cneg(c.xy2d, negate);
}

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
        const uint64_t m = ct::eq(magnitude, uint64_t(j + 1)).mask().word();
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
PointNiels niels_from_affine(const field::Fe& x, const field::Fe& y);

}  // namespace kestrova::group
