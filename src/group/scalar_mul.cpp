#include "group/scalar_mul.h"

#include <vector>

#include "ct/choice.h"
#include "ct/wipe.h"
#include "group/point_internal.h"

namespace kestrova::group {

using field::Fe;

namespace {

const PointNiels kBaseTable[32][8] = {
#include "group/base_table.inc"
};

// The digit's sign and magnitude without a branch.
inline void digit_split(int8_t digit, ct::Choice& negative, uint64_t& magnitude) {
    negative = ct::Choice::from_bit(uint64_t(uint8_t(digit)) >> 7);
    const int64_t d = digit;
    magnitude = uint64_t(d - int64_t(negative.mask().word() & uint64_t(2 * d)));
}

// digit * (row point) from a row of the multiples 1..8, by a full scan.
template <typename T>
inline T select(const T row[8], int8_t digit, const T& none) {
    ct::Choice negative;
    uint64_t magnitude;
    digit_split(digit, negative, magnitude);
    T t = scan8(row, magnitude, none);
    cneg(t, negative);
    return t;
}

// 16 * p: three doublings that skip T, the last one restores it.
inline Point times16(const PointP2& p) {
    PointP2 q = to_p2(dbl_p1p1(p));
    q = to_p2(dbl_p1p1(q));
    q = to_p2(dbl_p1p1(q));
    return to_p3(dbl_p1p1(q));
}

}  // namespace

const PointNiels* base_table() { return &kBaseTable[0][0]; }

Point mul_table(const PointNiels* table, const Scalar& s) {
    int8_t e[64];
    scalar_signed_radix16(s, e);
    // Odd digits first, then 16 * their sum, then the even digits.
    Point h = identity();
    for (int i = 1; i < 64; i += 2) h = to_p3(madd_p1p1(h, select(table + 8 * (i / 2), e[i], niels_identity())));
    h = times16(to_p2(h));
    for (int i = 0; i < 64; i += 2) h = to_p3(madd_p1p1(h, select(table + 8 * (i / 2), e[i], niels_identity())));
    ct::wipe(e, sizeof e);
    return h;
}

void fill_table(const Point& p, PointNiels table[kTableEntries]) {
    std::vector<Point> m(kTableEntries);
    Point base = p;
    for (int i = 0; i < 32; ++i) {
        m[8 * i] = base;
        for (int j = 1; j < 8; ++j) m[8 * i + j] = add(m[8 * i + j - 1], base);
        if (i == 31) break;
        // 256 * base = 32 * (8 * base)
        PointP2 q = to_p2(m[8 * i + 7]);
        for (int k = 0; k < 4; ++k) q = to_p2(dbl_p1p1(q));
        base = to_p3(dbl_p1p1(q));
    }
    std::vector<Fe> z(kTableEntries), scratch(kTableEntries);
    for (int k = 0; k < kTableEntries; ++k) z[k] = m[k].Z;
    field::fe_batch_invert(z.data(), z.size(), scratch.data());
    for (int k = 0; k < kTableEntries; ++k) {
        table[k] = niels_from_affine(field::fe_mul(m[k].X, z[k]), field::fe_mul(m[k].Y, z[k]));
    }
}

Point mul_point(const Point& p, const Scalar& s) {
    // Multiples 1..8 of P.
    PointCached table[8];
    Point m[8];
    m[0] = p;
    m[1] = dbl(p);
    m[2] = add(m[1], p);
    m[3] = dbl(m[1]);
    m[4] = add(m[3], p);
    m[5] = dbl(m[2]);
    m[6] = add(m[5], p);
    m[7] = dbl(m[3]);
    for (int j = 0; j < 8; ++j) table[j] = to_cached(m[j]);

    int8_t e[64];
    scalar_signed_radix16(s, e);
    Point h = identity();
    for (int i = 63;; --i) {
        const PointP1P1 r = add_p1p1(h, select(table, e[i], cached_identity()));
        if (i == 0) {
            ct::wipe(e, sizeof e);
            return to_p3(r);
        }
        h = times16(to_p2(r));
    }
}

}  // namespace kestrova::group
