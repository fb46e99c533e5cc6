// The field in four lanes for the AVX2 backend: ten limbs of 26 and 25 bits
// (radix 2^25.5), one 64-bit lane per element, so that every limb product is
// one 32x32->64-bit multiply. Every function carries the AVX2 target itself
// (no target pragma), so nothing else in a translation unit that includes
// this is compiled for AVX2, and a build for another processor leaves the
// backend out whole.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "panic/verify.h"

#define KESTROVA_AVX2 __attribute__((target("avx2")))
// Sums, differences and carries are inlined into their callers. Products are
// not: a point operation with every product inlined outgrows the instruction
// cache, and the ten limbs of an operand outnumber the registers anyway.
#define KESTROVA_AVX2_INLINE inline __attribute__((target("avx2"), always_inline))
#define KESTROVA_AVX2_OUTLINE inline __attribute__((target("avx2"), noinline))
// -O2 keeps short loops rolled, which sends every limb through memory.
#define KESTROVA_UNROLL _Pragma("GCC unroll 100")

namespace kestrova::backend::avx2_lanes {

inline constexpr int kLanes = 4;
inline constexpr int kLimbs = 10;

using V = __m256i;

// Limb k of four elements; limb k has weight 2^ceil(25.5 k).
struct F {
    V l[kLimbs];
};

// Limb k of lane i at [k][i]: the layout loads and stores use.
struct FeLanes {
    alignas(32) uint64_t limb[kLimbs][kLanes];
};

constexpr int limb_bits(int k) { return k % 2 == 0 ? 26 : 25; }

// Bounds, limb by limb (even, odd), checked under KESTROVA_VERIFY.
//  carried: what every carry leaves; products, stores and the table entries.
//  loose: up to three carried elements added, or a + 2p - b with a and b
//         carried; the most a multiplication takes (19 times a limb stays
//         below 2^32, a column of ten products below 2^63).
inline constexpr uint64_t kCarriedEven = (uint64_t(1) << 26) + (uint64_t(1) << 18);
inline constexpr uint64_t kCarriedOdd = (uint64_t(1) << 25) + (uint64_t(1) << 18);
inline constexpr uint64_t kLooseEven = 3 * (uint64_t(1) << 26) + (uint64_t(1) << 20);
inline constexpr uint64_t kLooseOdd = 3 * (uint64_t(1) << 25) + (uint64_t(1) << 20);
// N p limb by limb: limb 0 is 2^26 - 19, the others 2^26 - 1 or 2^25 - 1.
constexpr uint64_t np_limb(uint64_t n, int k) {
    return n * (k == 0 ? (uint64_t(1) << 26) - 19 : (uint64_t(1) << limb_bits(k)) - 1);
}

KESTROVA_AVX2_INLINE V bc(uint64_t x) { return _mm256_set1_epi64x(static_cast<long long>(x)); }

// Every limb of every lane at most (even, odd).
KESTROVA_AVX2_INLINE bool f_at_most(const F& a, uint64_t even, uint64_t odd) {
    bool ok = true;
    for (int k = 0; k < kLimbs; ++k) {
        alignas(32) uint64_t w[kLanes];
        _mm256_store_si256(reinterpret_cast<V*>(w), a.l[k]);
        for (int i = 0; i < kLanes; ++i) ok = ok && w[i] <= (k % 2 == 0 ? even : odd);
    }
    return ok;
}
KESTROVA_AVX2_INLINE bool f_carried(const F& a) { return f_at_most(a, kCarriedEven, kCarriedOdd); }
KESTROVA_AVX2_INLINE bool f_loose(const F& a) { return f_at_most(a, kLooseEven, kLooseOdd); }

KESTROVA_AVX2_INLINE F f_const(uint64_t v0) {
    F f;
    f.l[0] = bc(v0);
    KESTROVA_UNROLL
    for (int k = 1; k < kLimbs; ++k) f.l[k] = _mm256_setzero_si256();
    return f;
}

KESTROVA_AVX2_INLINE F f_load(const FeLanes& s) {
    F f;
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) f.l[k] = _mm256_load_si256(reinterpret_cast<const V*>(s.limb[k]));
    return f;
}

KESTROVA_AVX2_INLINE void f_store(FeLanes& s, const F& f) {
    KESTROVA_VERIFY_CHECK(f_carried(f));
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) _mm256_store_si256(reinterpret_cast<V*>(s.limb[k]), f.l[k]);
}

KESTROVA_AVX2_INLINE V times19(V c) {
    return _mm256_add_epi64(_mm256_add_epi64(_mm256_slli_epi64(c, 4), _mm256_slli_epi64(c, 1)), c);
}

// Limb k's carry into limb k + 1 (limb 9's comes round to limb 0 as 19).
template <int k>
KESTROVA_AVX2_INLINE void carry_step(F& a) {
    const V c = _mm256_srli_epi64(a.l[k], limb_bits(k));
    a.l[k] = _mm256_and_si256(a.l[k], bc((uint64_t(1) << limb_bits(k)) - 1));
    if constexpr (k == kLimbs - 1) {
        a.l[0] = _mm256_add_epi64(a.l[0], times19(c));
    } else {
        a.l[k + 1] = _mm256_add_epi64(a.l[k + 1], c);
    }
}

// One carry pass: each limb's carry moves up one place at the same time (a
// short dependency chain, where the ripple of the serial code waits limb by limb).
KESTROVA_AVX2_INLINE F carry_pass(F a) {
    V c[kLimbs];
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) {
        c[k] = _mm256_srli_epi64(a.l[k], limb_bits(k));
        a.l[k] = _mm256_and_si256(a.l[k], bc((uint64_t(1) << limb_bits(k)) - 1));
    }
    a.l[0] = _mm256_add_epi64(a.l[0], times19(c[kLimbs - 1]));
    KESTROVA_UNROLL
    for (int k = 1; k < kLimbs; ++k) a.l[k] = _mm256_add_epi64(a.l[k], c[k - 1]);
    return a;
}

// Columns of a product (below 2^63) to carried limbs: the first pass leaves
// at most 2^39 per limb, the second the carried bound.
KESTROVA_AVX2_INLINE F carry_product(const F& a) {
    KESTROVA_VERIFY_CHECK(f_at_most(a, (uint64_t(1) << 63) - 1, (uint64_t(1) << 63) - 1));
    const F r = carry_pass(carry_pass(a));
    KESTROVA_VERIFY_CHECK(f_carried(r));
    return r;
}

// Limbs below 2^30 (sums, differences) to carried, in one pass.
KESTROVA_AVX2_INLINE F carry(const F& a) {
    KESTROVA_VERIFY_CHECK(f_at_most(a, (uint64_t(1) << 30) - 1, (uint64_t(1) << 30) - 1));
    const F r = carry_pass(a);
    KESTROVA_VERIFY_CHECK(f_carried(r));
    return r;
}

// Limb by limb, no carry: carried plus carried is loose, and so is the sum of three.
KESTROVA_AVX2_INLINE F f_add(const F& a, const F& b) {
    F r;
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) r.l[k] = _mm256_add_epi64(a.l[k], b.l[k]);
    return r;
}

// a + N p - b, no carry: b's limbs at most those of N p.
template <uint64_t N>
KESTROVA_AVX2_INLINE F f_plus_np_minus(const F& a, const F& b) {
    KESTROVA_VERIFY_CHECK(f_at_most(b, np_limb(N, 0), np_limb(N, 1)));
    F r;
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) r.l[k] = _mm256_sub_epi64(_mm256_add_epi64(a.l[k], bc(np_limb(N, k))), b.l[k]);
    return r;
}

// a - b for carried a and b, loose out.
KESTROVA_AVX2_INLINE F f_sub(const F& a, const F& b) {
    KESTROVA_VERIFY_CHECK(f_carried(a) && f_carried(b));
    return f_plus_np_minus<2>(a, b);
}

// a - b for loose a and b, carried out.
KESTROVA_AVX2_INLINE F f_sub_carried(const F& a, const F& b) {
    KESTROVA_VERIFY_CHECK(f_loose(a) && f_loose(b));
    return carry(f_plus_np_minus<4>(a, b));
}

// -a for carried a, loose out.
KESTROVA_AVX2_INLINE F f_neg(const F& a) { return f_sub(f_const(0), a); }

KESTROVA_AVX2_INLINE V mul32(V a, V b) { return _mm256_mul_epu32(a, b); }

// acc + p, kept in the order written: left free, the compiler re-associates
// the column sums into trees whose hundred products all live at once, and
// spills most of them.
KESTROVA_AVX2_INLINE V accumulate(V acc, V p) {
    V r = _mm256_add_epi64(acc, p);
    __asm__("" : "+x"(r));
    return r;
}

// Column i + j takes a_i b_j, twice when both are odd (their weights add up to
// one more than the column's); columns past 9 come round times 19. Row by
// row: the ten columns stay in registers, b and 19 b are read from memory.
KESTROVA_AVX2_INLINE F mul_inline(const F& a, const F& b) {
    KESTROVA_VERIFY_CHECK(f_loose(a) && f_loose(b));
    F b19;
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) b19.l[k] = times19(b.l[k]);
    F h;
    KESTROVA_UNROLL
    for (int i = 0; i < kLimbs; ++i) {
        const V x = a.l[i];
        const V x2 = _mm256_add_epi64(x, x);
        KESTROVA_UNROLL
        for (int j = 0; j < kLimbs; ++j) {
            const int c = (i + j) % kLimbs;
            const V p = mul32((i % 2 == 1 && j % 2 == 1) ? x2 : x, i + j >= kLimbs ? b19.l[j] : b.l[j]);
            h.l[c] = i == 0 ? p : accumulate(h.l[c], p);
        }
    }
    return carry_product(h);
}

// The products a_i a_j for i < j once, doubled through the left operand.
KESTROVA_AVX2_INLINE F sq_inline(const F& a) {
    KESTROVA_VERIFY_CHECK(f_loose(a));
    F a19;
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) a19.l[k] = times19(a.l[k]);
    F h;
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) h.l[k] = _mm256_setzero_si256();
    KESTROVA_UNROLL
    for (int i = 0; i < kLimbs; ++i) {
        const V x = a.l[i];
        const V x2 = _mm256_add_epi64(x, x);
        const V x4 = _mm256_add_epi64(x2, x2);
        KESTROVA_UNROLL
        for (int j = i; j < kLimbs; ++j) {
            const bool both_odd = i % 2 == 1 && j % 2 == 1;
            // i == j: a_i^2 (twice when odd); i < j: 2 a_i a_j (twice more when both odd).
            const V left = i == j ? (both_odd ? x2 : x) : (both_odd ? x4 : x2);
            const int c = (i + j) % kLimbs;
            h.l[c] = accumulate(h.l[c], mul32(left, i + j >= kLimbs ? a19.l[j] : a.l[j]));
        }
    }
    return carry_product(h);
}

// out = a b and out = a^2 (out may be an operand). Written in place: an F
// returned by value from a call is copied, which costs more than the stores.
KESTROVA_AVX2_OUTLINE void f_mul(F& out, const F& a, const F& b) { out = mul_inline(a, b); }
KESTROVA_AVX2_OUTLINE void f_sq(F& out, const F& a) { out = sq_inline(a); }

// Two blocks side by side, for the exponentiation chain of the shared vector code.
struct F2 {
    F a, b;
};
KESTROVA_AVX2_INLINE void f_mul(F2& out, const F2& x, const F2& y) {
    f_mul(out.a, x.a, y.a);
    f_mul(out.b, x.b, y.b);
}
KESTROVA_AVX2_INLINE void f_sq(F2& out, const F2& x) {
    f_sq(out.a, x.a);
    f_sq(out.b, x.b);
}

}  // namespace kestrova::backend::avx2_lanes
