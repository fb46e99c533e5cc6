// Arithmetic in GF(2^255 - 19): five 51-bit limbs, 128-bit products.
//
// Limb bounds: every operation except add() returns limbs below 2^52
// ("loose"). add() returns limbs below 2^53 without carrying. mul() and
// square() accept limbs up to 2^54; sub() accepts a subtrahend with limbs up to
// 2^53. The point formulas stay inside these bounds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ct/choice.h"
#include "panic/verify.h"

namespace kestrova::field {

__extension__ using u128 = unsigned __int128;

struct Fe {
    uint64_t v[5];
};

inline constexpr uint64_t kLimbMask = (uint64_t(1) << 51) - 1;

// Limb 0 at most `bound0`, the others at most `bound` (the KESTROVA_VERIFY checks).
inline bool fe_limbs_at_most(const Fe& a, uint64_t bound0, uint64_t bound) {
    return a.v[0] <= bound0 && a.v[1] <= bound && a.v[2] <= bound && a.v[3] <= bound && a.v[4] <= bound;
}
inline bool fe_limbs_below(const Fe& a, uint64_t bound) { return fe_limbs_at_most(a, bound - 1, bound - 1); }

inline constexpr uint64_t kBit52 = uint64_t(1) << 52;
inline constexpr uint64_t kBit53 = uint64_t(1) << 53;
inline constexpr uint64_t kBit54 = uint64_t(1) << 54;

inline constexpr Fe fe_zero() { return Fe{{0, 0, 0, 0, 0}}; }
inline constexpr Fe fe_one() { return Fe{{1, 0, 0, 0, 0}}; }
inline constexpr Fe fe_small(uint64_t n) { return Fe{{n, 0, 0, 0, 0}}; }

inline Fe fe_add(const Fe& a, const Fe& b) {
    return Fe{{a.v[0] + b.v[0], a.v[1] + b.v[1], a.v[2] + b.v[2], a.v[3] + b.v[3], a.v[4] + b.v[4]}};
}

// One carry pass; limb 0 may keep a few bits above 2^51.
inline Fe fe_carry(const Fe& a) {
    KESTROVA_VERIFY_CHECK(fe_limbs_below(a, uint64_t(1) << 63));
    uint64_t h0 = a.v[0], h1 = a.v[1], h2 = a.v[2], h3 = a.v[3], h4 = a.v[4];
    h1 += h0 >> 51; h0 &= kLimbMask;
    h2 += h1 >> 51; h1 &= kLimbMask;
    h3 += h2 >> 51; h2 &= kLimbMask;
    h4 += h3 >> 51; h3 &= kLimbMask;
    h0 += 19 * (h4 >> 51); h4 &= kLimbMask;
    const Fe r{{h0, h1, h2, h3, h4}};
    KESTROVA_VERIFY_CHECK(fe_limbs_below(r, kBit52));
    return r;
}

// a + N·p - b, limb by limb and without a carry; b's limbs must be at most
// those of N·p, so that none goes below zero. a's bound is the caller's.
template <uint64_t N>
inline Fe fe_plus_np_minus(const Fe& a, const Fe& b) {
    constexpr uint64_t k0 = N * ((uint64_t(1) << 51) - 19);
    constexpr uint64_t k = N * ((uint64_t(1) << 51) - 1);
    KESTROVA_VERIFY_CHECK(fe_limbs_at_most(b, k0, k));
    return Fe{{a.v[0] + k0 - b.v[0], a.v[1] + k - b.v[1], a.v[2] + k - b.v[2], a.v[3] + k - b.v[3],
               a.v[4] + k - b.v[4]}};
}

// a - b, computed as a + 4p - b so that no limb goes below zero.
inline Fe fe_sub(const Fe& a, const Fe& b) {
    KESTROVA_VERIFY_CHECK(fe_limbs_below(a, uint64_t(1) << 62));
    return fe_carry(fe_plus_np_minus<4>(a, b));
}

inline Fe fe_neg(const Fe& a) { return fe_sub(fe_zero(), a); }

// a + 2p - b without a carry: b must be loose (limbs below 2^52 - 38). The
// result (limbs below a + 2^52) may only feed mul(), square() or add().
inline Fe fe_sub_nc(const Fe& a, const Fe& b) {
    KESTROVA_VERIFY_CHECK(fe_limbs_below(a, kBit53));
    return fe_plus_np_minus<2>(a, b);
}

// a + 4p - b without a carry: b's limbs below 2^53 - 76, a's below 2^53; the
// result may only feed mul() or square().
inline Fe fe_sub4_nc(const Fe& a, const Fe& b) {
    KESTROVA_VERIFY_CHECK(fe_limbs_below(a, kBit53));
    return fe_plus_np_minus<4>(a, b);
}

inline Fe fe_reduce_wide(u128 r0, u128 r1, u128 r2, u128 r3, u128 r4) {
    r1 += uint64_t(r0 >> 51);
    uint64_t h0 = uint64_t(r0) & kLimbMask;
    r2 += uint64_t(r1 >> 51);
    uint64_t h1 = uint64_t(r1) & kLimbMask;
    r3 += uint64_t(r2 >> 51);
    uint64_t h2 = uint64_t(r2) & kLimbMask;
    r4 += uint64_t(r3 >> 51);
    uint64_t h3 = uint64_t(r3) & kLimbMask;
    h0 += uint64_t(r4 >> 51) * 19;
    uint64_t h4 = uint64_t(r4) & kLimbMask;
    h1 += h0 >> 51;
    h0 &= kLimbMask;
    const Fe r{{h0, h1, h2, h3, h4}};
    KESTROVA_VERIFY_CHECK(fe_limbs_below(r, kBit52));
    return r;
}

__attribute__((always_inline)) inline Fe fe_mul(const Fe& a, const Fe& b) {
    KESTROVA_VERIFY_CHECK(fe_limbs_below(a, kBit54) && fe_limbs_below(b, kBit54));
    const uint64_t a0 = a.v[0], a1 = a.v[1], a2 = a.v[2], a3 = a.v[3], a4 = a.v[4];
    const uint64_t b0 = b.v[0], b1 = b.v[1], b2 = b.v[2], b3 = b.v[3], b4 = b.v[4];
    const uint64_t b1_19 = 19 * b1, b2_19 = 19 * b2, b3_19 = 19 * b3, b4_19 = 19 * b4;
    u128 r0 = u128(a0) * b0 + u128(a1) * b4_19 + u128(a2) * b3_19 + u128(a3) * b2_19 + u128(a4) * b1_19;
    u128 r1 = u128(a0) * b1 + u128(a1) * b0 + u128(a2) * b4_19 + u128(a3) * b3_19 + u128(a4) * b2_19;
    u128 r2 = u128(a0) * b2 + u128(a1) * b1 + u128(a2) * b0 + u128(a3) * b4_19 + u128(a4) * b3_19;
    u128 r3 = u128(a0) * b3 + u128(a1) * b2 + u128(a2) * b1 + u128(a3) * b0 + u128(a4) * b4_19;
    u128 r4 = u128(a0) * b4 + u128(a1) * b3 + u128(a2) * b2 + u128(a3) * b1 + u128(a4) * b0;
    return fe_reduce_wide(r0, r1, r2, r3, r4);
}

__attribute__((always_inline)) inline Fe fe_square(const Fe& a) {
    KESTROVA_VERIFY_CHECK(fe_limbs_below(a, kBit54));
    const uint64_t a0 = a.v[0], a1 = a.v[1], a2 = a.v[2], a3 = a.v[3], a4 = a.v[4];
    const uint64_t d0 = 2 * a0, d1 = 2 * a1, d2 = 2 * a2;
    const uint64_t a3_19 = 19 * a3, a4_19 = 19 * a4;
    u128 r0 = u128(a0) * a0 + u128(d1) * a4_19 + u128(d2) * a3_19;
    u128 r1 = u128(d0) * a1 + u128(d2) * a4_19 + u128(a3) * a3_19;
    u128 r2 = u128(d0) * a2 + u128(a1) * a1 + u128(2 * a3) * a4_19;
    u128 r3 = u128(d0) * a3 + u128(d1) * a2 + u128(a4) * a4_19;
    u128 r4 = u128(d0) * a4 + u128(d1) * a3 + u128(a2) * a2;
    return fe_reduce_wide(r0, r1, r2, r3, r4);
}

// a^(2^n), n >= 1.
inline Fe fe_square_n(Fe a, int n) {
    for (int i = 0; i < n; ++i) a = fe_square(a);
    return a;
}

// a * c for a constant c below 2^32.
inline Fe fe_mul_small(const Fe& a, uint64_t c) {
    return fe_reduce_wide(u128(a.v[0]) * c, u128(a.v[1]) * c, u128(a.v[2]) * c, u128(a.v[3]) * c,
                          u128(a.v[4]) * c);
}

// f = g when c; unchanged otherwise.
inline void fe_cmov(Fe& f, const Fe& g, ct::Choice c) {
    const ct::Mask m = c.mask();
    for (int i = 0; i < 5; ++i) m.cmov(f.v[i], g.v[i]);
}

// Exchanges f and g when c.
inline void fe_cswap(Fe& f, Fe& g, ct::Choice c) {
    const ct::Mask m = c.mask();
    for (int i = 0; i < 5; ++i) m.cswap(f.v[i], g.v[i]);
}

// -f when c, f otherwise.
inline Fe fe_cneg(const Fe& f, ct::Choice c) {
    Fe r = f;
    fe_cmov(r, fe_neg(f), c);
    return r;
}

// Canonical little-endian encoding (value below p, bit 255 clear).
void fe_to_bytes(uint8_t out[32], const Fe& a);
// Bit 255 is ignored; values from p to 2^255 - 1 stand for value - p.
Fe fe_from_bytes(const uint8_t in[32]);

// Fully reduced limbs (each limb below 2^51, value below p).
Fe fe_canonical(const Fe& a);

// The canonical residue is odd.
ct::Choice fe_is_negative(const Fe& a);
// The canonical residue is 0.
ct::Choice fe_is_zero(const Fe& a);
// a and b are the same residue.
ct::Choice fe_equal(const Fe& a, const Fe& b);
// |a|: a when non-negative, -a otherwise.
Fe fe_abs(const Fe& a);

// a^(p-2); the inverse of 0 is 0.
Fe fe_invert(const Fe& a);
// a^((p-5)/8).
Fe fe_pow22523(const Fe& a);

struct SqrtRatio {
    ct::Choice is_square;  // u/v is a square (u = 0 included)
    Fe root;             // the non-negative root when is_square
};
// Root of u/v; v = 0 with u != 0 reports a non-square.
SqrtRatio fe_sqrt_ratio(const Fe& u, const Fe& v);

// sqrt_ratio split around its exponentiation, for backends that run the
// exponentiation elsewhere: prepare gives u v^3 and u v^7; finish takes
// r = (u v^3) (u v^7)^((p-5)/8).
void fe_sqrt_ratio_prepare(const Fe& u, const Fe& v, Fe& uv3, Fe& uv7);
SqrtRatio fe_sqrt_ratio_finish(const Fe& u, const Fe& v, const Fe& r);

// Inverts n elements in place with one inversion; elements equal to 0 give
// garbage for every element, so callers pass only non-zero values.
void fe_batch_invert(Fe* elements, size_t n, Fe* scratch);

// Constants.
extern const Fe kFeD;         // edwards25519 d = -121665/121666
extern const Fe kFeD2;        // 2d
extern const Fe kFeSqrtM1;    // a square root of -1
extern const Fe kFeMontA;     // 486662
extern const Fe kFeMontNegA;  // -486662

}  // namespace kestrova::field
