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
// Inlined field operations let independent ones overlap in the pipeline; a
// call passes every operand through memory.
#define KESTROVA_AVX2_INLINE inline __attribute__((target("avx2"), always_inline))
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
inline constexpr uint64_t kCarriedEven = (uint64_t(1) << 26) + (uint64_t(1) << 17);
inline constexpr uint64_t kCarriedOdd = (uint64_t(1) << 25) + (uint64_t(1) << 17);
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

// Columns of a product (below 2^63) to carried limbs: two interleaved chains,
// so that each step waits on the one two places back.
KESTROVA_AVX2_INLINE F carry_product(F a) {
    KESTROVA_VERIFY_CHECK(f_at_most(a, (uint64_t(1) << 63) - 1, (uint64_t(1) << 63) - 1));
    carry_step<0>(a);
    carry_step<4>(a);
    carry_step<1>(a);
    carry_step<5>(a);
    carry_step<2>(a);
    carry_step<6>(a);
    carry_step<3>(a);
    carry_step<7>(a);
    carry_step<4>(a);
    carry_step<8>(a);
    carry_step<9>(a);
    carry_step<0>(a);
    KESTROVA_VERIFY_CHECK(f_carried(a));
    return a;
}

// Limbs below 2^30 (sums, differences) to carried: each limb's carry moves up
// one place at the same time.
KESTROVA_AVX2_INLINE F carry(F a) {
    KESTROVA_VERIFY_CHECK(f_at_most(a, (uint64_t(1) << 30) - 1, (uint64_t(1) << 30) - 1));
    V c[kLimbs];
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) {
        c[k] = _mm256_srli_epi64(a.l[k], limb_bits(k));
        a.l[k] = _mm256_and_si256(a.l[k], bc((uint64_t(1) << limb_bits(k)) - 1));
    }
    a.l[0] = _mm256_add_epi64(a.l[0], times19(c[kLimbs - 1]));
    KESTROVA_UNROLL
    for (int k = 1; k < kLimbs; ++k) a.l[k] = _mm256_add_epi64(a.l[k], c[k - 1]);
    KESTROVA_VERIFY_CHECK(f_carried(a));
    return a;
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

// Column i + j takes a_i b_j, twice when both are odd (their weights add up to
// one more than the column's); columns past 9 come round times 19.
KESTROVA_AVX2_INLINE F f_mul(const F& a, const F& b) {
    KESTROVA_VERIFY_CHECK(f_loose(a) && f_loose(b));
    V b19[kLimbs], a2[kLimbs];
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) {
        b19[k] = times19(b.l[k]);
        a2[k] = _mm256_add_epi64(a.l[k], a.l[k]);
    }
    F h;
    KESTROVA_UNROLL
    for (int c = 0; c < kLimbs; ++c) {
        V sum = _mm256_setzero_si256();
        KESTROVA_UNROLL
        for (int i = 0; i < kLimbs; ++i) {
            const int j = (c - i + kLimbs) % kLimbs;
            const V x = (i % 2 == 1 && j % 2 == 1) ? a2[i] : a.l[i];
            const V y = i + j >= kLimbs ? b19[j] : b.l[j];
            sum = _mm256_add_epi64(sum, mul32(x, y));
        }
        h.l[c] = sum;
    }
    return carry_product(h);
}

// The products a_i a_j for i < j once, doubled through the left operand.
KESTROVA_AVX2_INLINE F f_sq(const F& a) {
    KESTROVA_VERIFY_CHECK(f_loose(a));
    V a2[kLimbs], a4[kLimbs], a19[kLimbs];
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) {
        a2[k] = _mm256_add_epi64(a.l[k], a.l[k]);
        a4[k] = _mm256_add_epi64(a2[k], a2[k]);
        a19[k] = times19(a.l[k]);
    }
    F h;
    KESTROVA_UNROLL
    for (int c = 0; c < kLimbs; ++c) {
        V sum = _mm256_setzero_si256();
        KESTROVA_UNROLL
        for (int i = 0; i < kLimbs; ++i) {
            const int j = (c - i + kLimbs) % kLimbs;
            if (j < i) continue;
            const bool both_odd = i % 2 == 1 && j % 2 == 1;
            // i == j: a_i^2 (twice when odd); i < j: 2 a_i a_j (twice more when both odd).
            const V x = i == j ? (both_odd ? a2[i] : a.l[i]) : (both_odd ? a4[i] : a2[i]);
            const V y = i + j >= kLimbs ? a19[j] : a.l[j];
            sum = _mm256_add_epi64(sum, mul32(x, y));
        }
        h.l[c] = sum;
    }
    return carry_product(h);
}

// Two blocks side by side: a chain of squarings is bound by latency, and a
// second independent chain fills the idle cycles.
struct F2 {
    F a, b;
};
KESTROVA_AVX2_INLINE F2 f_sq(const F2& x) { return F2{f_sq(x.a), f_sq(x.b)}; }
KESTROVA_AVX2_INLINE F2 f_mul(const F2& x, const F2& y) { return F2{f_mul(x.a, y.a), f_mul(x.b, y.b)}; }

template <class T>
KESTROVA_AVX2_INLINE T f_sqn(T x, int n) {
    for (int i = 0; i < n; ++i) x = f_sq(x);
    return x;
}

// a^((p-5)/8), the chain of the serial code.
template <class T>
KESTROVA_AVX2 T f_pow22523(const T& a) {
    const T a2 = f_sq(a);
    const T a9 = f_mul(f_sqn(a2, 2), a);
    const T a11 = f_mul(a9, a2);
    const T e5 = f_mul(f_sq(a11), a9);
    const T e10 = f_mul(f_sqn(e5, 5), e5);
    const T e20 = f_mul(f_sqn(e10, 10), e10);
    const T e40 = f_mul(f_sqn(e20, 20), e20);
    const T e50 = f_mul(f_sqn(e40, 10), e10);
    const T e100 = f_mul(f_sqn(e50, 50), e50);
    const T e200 = f_mul(f_sqn(e100, 100), e100);
    const T e250 = f_mul(f_sqn(e200, 50), e50);
    return f_mul(f_sqn(e250, 2), a);
}

}  // namespace kestrova::backend::avx2_lanes
