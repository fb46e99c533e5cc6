// The AVX-512 IFMA backend: eight independent items, one per 64-bit
// lane, each field element as five 51-bit limbs in the multiplier's 52-bit
// words (the field itself is in ifma_field.inc). Every lane runs the same
// instruction sequence as the serial routines (same windows, same full table
// scans with per-lane masks), so nothing depends on secret values.
//
// Only the functions between the target pragmas use AVX-512 (GCC's pragma,
// clang's attribute push: each names the same targets); nothing from the
// headers is instantiated inside them, so no shared inline or template code is
// ever compiled for AVX-512 (which would break machines without it).
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "backend/backend.h"
#include "backend/cpu_features.h"
#include "backend/vector_backend.h"
#include "backend/ifma_layout.h"
#include "ct/wipe.h"
#include "field/field.h"
#include "group/point.h"
#include "group/point_internal.h"
#include "group/scalar.h"
#include "group/scalar_mul.h"
#include "panic/verify.h"

namespace kestrova::backend {

using field::Fe;
using group::Point;
using group::PointNiels;
using group::Scalar;

using namespace ifma_layout;

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512ifma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512ifma")
#endif
// GCC 12 misreads the intrinsics' deliberately undefined pass-through operand.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// -O2 keeps short loops rolled, which sends every limb through memory.
#define KESTROVA_UNROLL _Pragma("GCC unroll 32")
// Inlined field operations let independent ones overlap in the pipeline; a
// call passes every operand through memory.
#define KESTROVA_FIELD_OP inline __attribute__((always_inline))

namespace {

#include "backend/ifma_field.inc"

struct VP3 {
    F X, Y, Z, T;
};
struct VP2 {
    F X, Y, Z;
};
struct VP1P1 {
    F X, Y, Z, T;
};
struct VCached {
    F YpX, YmX, Z, T2d;
};
struct VNiels {
    F ypx, ymx, xy2d;
};

inline VP2 to_p2(const VP1P1& r) { return VP2{f_mul(r.X, r.T), f_mul(r.Y, r.Z), f_mul(r.Z, r.T)}; }
inline VP3 to_p3(const VP1P1& r) {
    return VP3{f_mul(r.X, r.T), f_mul(r.Y, r.Z), f_mul(r.Z, r.T), f_mul(r.X, r.Y)};
}
inline VP2 to_p2(const VP3& p) { return VP2{p.X, p.Y, p.Z}; }

inline VP3 v_identity() { return VP3{f_const(0), f_const(1), f_const(1), f_const(0)}; }

inline VCached to_cached(const VP3& p) {
    return VCached{f_add(p.Y, p.X), f_sub(p.Y, p.X), p.Z, f_mul(p.T, f_d2())};
}

inline VP1P1 dbl(const VP2& p) {
    // Squares feed only sums and differences, which carry: they stay wide.
    const F xx = f_sq_wide(p.X);
    const F yy = f_sq_wide(p.Y);
    const F z2 = f_sq_wide(p.Z);
    const F zz2 = f_plus(z2, z2);
    // 2XY as a product: fewer operations here than (X + Y)^2 - X^2 - Y^2.
    const F xy = f_mul_wide(p.X, p.Y);
    const F y3 = f_add(yy, xx);
    const F z3 = f_sub(yy, xx);
    return VP1P1{carry(f_plus(xy, xy)), y3, z3, f_sub(zz2, z3)};
}

inline VP1P1 add_cached(const VP3& p, const VCached& q) {
    const F a = f_mul_wide(f_add(p.Y, p.X), q.YpX);
    const F b = f_mul_wide(f_sub(p.Y, p.X), q.YmX);
    const F c = f_mul_wide(q.T2d, p.T);
    const F zz = f_mul_wide(p.Z, q.Z);
    const F d = f_plus(zz, zz);
    return VP1P1{f_sub(a, b), f_add(a, b), f_add(d, c), f_sub(d, c)};
}

inline VP1P1 madd(const VP3& p, const VNiels& q) {
    const F a = f_mul_wide(f_add(p.Y, p.X), q.ypx);
    const F b = f_mul_wide(f_sub(p.Y, p.X), q.ymx);
    const F c = f_mul_wide(q.xy2d, p.T);
    const F d = f_plus(p.Z, p.Z);
    return VP1P1{f_sub(a, b), f_add(a, b), f_add(d, c), f_sub(d, c)};
}

inline VP3 add_p3(const VP3& a, const VP3& b) { return to_p3(add_cached(a, to_cached(b))); }
inline VP3 dbl_p3(const VP3& a) { return to_p3(dbl(to_p2(a))); }

inline VP3 times16(const VP2& p) {
    VP2 q = to_p2(dbl(p));
    q = to_p2(dbl(q));
    q = to_p2(dbl(q));
    return to_p3(dbl(q));
}

// Per-lane |digit| and sign masks.
inline void split_digits(const int64_t* d, V& magnitude, __mmask8& negative) {
    const V e = _mm512_load_si512(d);
    negative = _mm512_cmplt_epi64_mask(e, _mm512_setzero_si512());
    magnitude = _mm512_abs_epi64(e);
}

inline VCached select_cached(const VCached table[8], const int64_t* digits) {
    V magnitude;
    __mmask8 negative;
    split_digits(digits, magnitude, negative);
    VCached t{f_const(1), f_const(1), f_const(1), f_const(0)};
    KESTROVA_UNROLL
    for (int j = 0; j < 8; ++j) {
        const __mmask8 k = _mm512_cmpeq_epi64_mask(magnitude, bc(uint64_t(j + 1)));
        f_blend(t.YpX, k, table[j].YpX);
        f_blend(t.YmX, k, table[j].YmX);
        f_blend(t.Z, k, table[j].Z);
        f_blend(t.T2d, k, table[j].T2d);
    }
    const F ypx = t.YpX;
    f_blend(t.YpX, negative, t.YmX);
    f_blend(t.YmX, negative, ypx);
    f_blend(t.T2d, negative, f_neg(t.T2d));
    return t;
}

// Constant-time scan of eight Niels entries per lane; load(j, i) gives limb
// word i of entry j for all lanes.
template <class Load>
inline VNiels select_niels_with(const int64_t* digits, const Load& load) {
    V magnitude;
    __mmask8 negative;
    split_digits(digits, magnitude, negative);
    V w[15];
    const V one = bc(1), zero = _mm512_setzero_si512();
    for (int i = 0; i < 15; ++i) w[i] = (i == 0 || i == 5) ? one : zero;
    KESTROVA_UNROLL
    for (int j = 0; j < 8; ++j) {
        const __mmask8 k = _mm512_cmpeq_epi64_mask(magnitude, bc(uint64_t(j + 1)));
        KESTROVA_UNROLL
        for (int i = 0; i < 15; ++i) w[i] = _mm512_mask_mov_epi64(w[i], k, load(j, i));
    }
    VNiels t;
    KESTROVA_UNROLL
    for (int i = 0; i < 5; ++i) {
        t.ypx.l[i] = _mm512_mask_blend_epi64(negative, w[i], w[5 + i]);
        t.ymx.l[i] = _mm512_mask_blend_epi64(negative, w[5 + i], w[i]);
        t.xy2d.l[i] = w[10 + i];
    }
    f_blend(t.xy2d, negative, f_neg(t.xy2d));
    return t;
}

// All lanes scan the same row.
inline VNiels select_niels(const uint64_t (*row)[15], const int64_t* digits) {
    return select_niels_with(digits, [&](int j, int i) { return bc(row[j][i]); });
}

// Each lane scans its own row (lane-major entries).
inline VNiels select_niels_split(const uint64_t (*entries)[15][kLanes], const int64_t* digits) {
    return select_niels_with(digits, [&](int j, int i) { return _mm512_load_si512(entries[j][i]); });
}

inline VP3 load_points(const PointStage& s) {
    return VP3{f_load(s.X), f_load(s.Y), f_load(s.Z), f_load(s.T)};
}

inline void store_points(PointStage& s, const VP3& p) {
    f_store(s.X, p.X);
    f_store(s.Y, p.Y);
    f_store(s.Z, p.Z);
    f_store(s.T, p.T);
}

VP3 v_mul(const VP3& p, const Digits& e) {
    VCached table[8];
    VP3 m[8];
    m[0] = p;
    m[1] = dbl_p3(p);
    m[2] = add_p3(m[1], p);
    m[3] = dbl_p3(m[1]);
    m[4] = add_p3(m[3], p);
    m[5] = dbl_p3(m[2]);
    m[6] = add_p3(m[5], p);
    m[7] = dbl_p3(m[3]);
    for (int j = 0; j < 8; ++j) table[j] = to_cached(m[j]);
    VP3 h = v_identity();
    for (int i = 63;; --i) {
        const VP1P1 r = add_cached(h, select_cached(table, e.d[i]));
        if (i == 0) return to_p3(r);
        h = times16(to_p2(r));
    }
}

VP3 v_mul_table(const Table51& t, const Digits& e) {
    VP3 h = v_identity();
    for (int i = 1; i < 64; i += 2) h = to_p3(madd(h, select_niels(t.w + 8 * (i / 2), e.d[i])));
    h = times16(to_p2(h));
    for (int i = 0; i < 64; i += 2) h = to_p3(madd(h, select_niels(t.w + 8 * (i / 2), e.d[i])));
    return h;
}

constexpr int kPair = 2 * kLanes;

// pow[i] = in[i]^((p-5)/8) for i < m <= 16 (spare lanes repeat item 0).
void pow22523_pair(const Fe* in, Fe* pow, size_t m) {
    Stage w[2];
    for (int lane = 0; lane < kPair; ++lane) w[lane / kLanes].put(lane % kLanes, in[size_t(lane) < m ? lane : 0]);
    const F2 r = f_pow22523(F2{f_load(w[0]), f_load(w[1])});
    f_store(w[0], r.a);
    f_store(w[1], r.b);
    for (size_t i = 0; i < m; ++i) pow[i] = w[i / kLanes].get(int(i % kLanes));
}

// Decompression in lanes, the serial steps one for one: y from the bytes,
// u = y^2 - 1, v = d y^2 + 1, x = sqrt(u / v) with the sign bit's parity.
struct DecompressLanes {
    F y, u, v, uv3, uv7;
    __mmask8 sign = 0;

    DecompressLanes(const uint8_t* in, size_t start, size_t m, int half) {
        Stage ys;
        for (int lane = 0; lane < kLanes; ++lane) {
            const size_t item = start + size_t(half * kLanes + lane);
            const uint8_t* bytes = in + 32 * (item < start + m ? item : start);
            ys.put(lane, field::fe_from_bytes(bytes));
            sign |= __mmask8((bytes[31] >> 7) << lane);
        }
        y = f_load(ys);
        const F one = f_const(1);
        const F yy = f_sq(y);
        u = f_sub(yy, one);
        v = f_add(f_mul(yy, f_broadcast(field::kFeD)), one);
        const F v3 = f_mul(f_sq(v), v);
        const F v7 = f_mul(f_sq(v3), v);
        uv3 = f_mul(u, v3);
        uv7 = f_mul(u, v7);
    }

    // Lanes that decoded; their points written to out[0..].
    __mmask8 finish(const F& pow, Point* out, size_t count) const {
        const F sqrt_m1 = f_broadcast(field::kFeSqrtM1);
        F r = f_mul(uv3, pow);
        const F check = f_mul(v, f_sq(r));
        const F neg_u = f_neg(u);
        const __mmask8 correct = f_equal(check, u);
        const __mmask8 flipped = f_equal(check, neg_u);
        const __mmask8 flipped_i = f_equal(check, f_mul(neg_u, sqrt_m1));
        f_blend(r, flipped | flipped_i, f_mul(r, sqrt_m1));
        // |r|, then negated for a set sign bit: one negation when the two differ.
        const __mmask8 negate = f_is_odd(r) ^ sign;
        f_blend(r, negate, f_neg(r));
        PointStage res;
        f_store(res.X, r);
        f_store(res.Y, y);
        f_store(res.Z, f_const(1));
        f_store(res.T, f_mul(r, y));
        const __mmask8 ok = correct | flipped;
        for (size_t lane = 0; lane < count; ++lane)
            if ((ok >> lane) & 1) out[lane] = res.get(int(lane));  // encodings are public
        return ok;
    }
};

void ifma_decompress_all(const uint8_t* in, Point* out, uint8_t* ok, size_t n) {
    for (size_t start = 0; start < n; start += kPair) {
        const size_t m = std::min(size_t(kPair), n - start);
        const DecompressLanes a(in, start, m, 0), b(in, start, m, 1);
        const F2 pow = f_pow22523(F2{a.uv7, b.uv7});
        const size_t in_a = std::min(m, size_t(kLanes));
        const __mmask8 ok_a = a.finish(pow.a, out + start, in_a);
        const __mmask8 ok_b = m > in_a ? b.finish(pow.b, out + start + in_a, m - in_a) : 0;
        for (size_t i = 0; i < m; ++i) ok[start + i] = i < in_a ? (ok_a >> i) & 1 : (ok_b >> (i - in_a)) & 1;
    }
}

void ifma_pow22523_each(const Fe* in, Fe* out, size_t n) {
    for (size_t start = 0; start < n; start += kPair)
        pow22523_pair(in + start, out + start, std::min(size_t(kPair), n - start));
}

// scalars[i] * base(points[i]), eight items per block.
template <class Base>
void mul_each_of(const Point* points, const Scalar* scalars, Point* out, size_t n, const Base& base) {
    for (size_t start = 0; start < n; start += kLanes) {
        const size_t m = block_items(n, start);
        PointStage in;
        Digits e;
        for (int lane = 0; lane < kLanes; ++lane) {
            const size_t i = lane_item(start, m, lane);
            in.put(lane, points[i]);
            e.put(lane, scalars[i]);
        }
        PointStage res;
        store_points(res, v_mul(base(load_points(in)), e));
        for (size_t lane = 0; lane < m; ++lane) out[start + lane] = res.get(int(lane));
        ct::wipe(&e, sizeof e);
        ct::wipe(&res, sizeof res);
    }
}

void ifma_mul_each(const Point* points, const Scalar* scalars, Point* out, size_t n) {
    mul_each_of(points, scalars, out, n, [](const VP3& p) { return p; });
}

void ifma_mul_all(const Point* points, const Scalar& s, Point* out, size_t n) {
    Digits e;
    for (int lane = 0; lane < kLanes; ++lane) e.put(lane, s);
    for (size_t start = 0; start < n; start += kLanes) {
        const size_t m = block_items(n, start);
        PointStage in;
        for (int lane = 0; lane < kLanes; ++lane) in.put(lane, points[lane_item(start, m, lane)]);
        PointStage res;
        store_points(res, v_mul(load_points(in), e));
        for (size_t lane = 0; lane < m; ++lane) out[start + lane] = res.get(int(lane));
        ct::wipe(&res, sizeof res);
    }
    ct::wipe(&e, sizeof e);
}

void ifma_table_mul_blocks(const Table51& t, const Scalar* scalars, Point* out, size_t n) {
    for (size_t start = 0; start < n; start += kLanes) {
        const size_t m = block_items(n, start);
        Digits e;
        for (int lane = 0; lane < kLanes; ++lane) e.put(lane, scalars[lane_item(start, m, lane)]);
        PointStage res;
        store_points(res, v_mul_table(t, e));
        for (size_t lane = 0; lane < m; ++lane) out[start + lane] = res.get(int(lane));
        ct::wipe(&e, sizeof e);
        ct::wipe(&res, sizeof res);
    }
}

// Each lane sums its four rows (odd digits, times 16, even digits); the eight
// partial sums are then added serially: 8 table additions per lane instead of 64.
Point ifma_mul_split(const SplitTable51& t, const Scalar& s) {
    const SplitDigits d(s);
    VP3 h = v_identity();
    for (int step = 0; step < 4; ++step) h = to_p3(madd(h, select_niels_split(t.w[step], d.odd[step])));
    h = times16(to_p2(h));
    for (int step = 0; step < 4; ++step) h = to_p3(madd(h, select_niels_split(t.w[step], d.even[step])));
    PointStage res;
    store_points(res, h);
    Point sum = res.get(0);
    for (int lane = 1; lane < kLanes; ++lane) sum = group::add(sum, res.get(lane));
    ct::wipe(&res, sizeof res);
    return sum;
}


// The doublings of the cofactor and the addition run in the lanes, ahead of v_mul.
void ifma_mul_cleared_each(const Point* points, const Point& addend, const Scalar* scalars, Point* out, size_t n) {
    PointStage a;
    for (int lane = 0; lane < kLanes; ++lane) a.put(lane, addend);
    const VP3 va = load_points(a);
    mul_each_of(points, scalars, out, n, [&](const VP3& p) { return add_p3(dbl_p3(dbl_p3(dbl_p3(p))), va); });
}

}  // namespace

#undef KESTROVA_UNROLL
#undef KESTROVA_FIELD_OP
#pragma GCC diagnostic pop
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace {

struct IfmaKernels {
    static constexpr const char* kName = "avx512ifma";
    using Rows = Table51;
    using Split = SplitTable51;
    static constexpr auto fill_split = ifma_layout::fill_split;
    static constexpr auto mul_split = ifma_mul_split;
    static constexpr auto table_mul_blocks = ifma_table_mul_blocks;
    static constexpr auto base_rows = base_table51;
    static constexpr auto base_split = base_split_table51;
    static constexpr auto mul_each = ifma_mul_each;
    static constexpr auto mul_all = ifma_mul_all;
    static constexpr auto mul_cleared_each = ifma_mul_cleared_each;
    static constexpr auto decompress_all = ifma_decompress_all;
    static constexpr auto pow22523_each = ifma_pow22523_each;
};

}  // namespace

const Backend* ifma() {
    static const VectorBackend<IfmaKernels> backend;
    if (!cpu_features().avx512ifma) return nullptr;
    return &backend;
}

}  // namespace kestrova::backend
