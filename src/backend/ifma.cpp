// The AVX-512 IFMA backend: eight independent items, one per 64-bit
// lane, each field element as five 52-bit limbs. Every lane runs the same
// instruction sequence as the serial routines (same windows, same full table
// scans with per-lane masks), so nothing depends on secret values.
//
// Only the functions between the target pragmas use AVX-512; nothing from the
// headers is instantiated inside them, so no shared inline or template code is
// ever compiled for AVX-512 (which would break machines without it).
#include <immintrin.h>

#include <cstring>
#include <memory>

#include "backend/backend.h"
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
using group::DecompressState;
using group::Point;
using group::PointNiels;
using group::Scalar;

using namespace ifma_layout;

#pragma GCC push_options
#pragma GCC target("avx512f,avx512ifma")
// GCC 12 misreads the intrinsics' deliberately undefined pass-through operand.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// -O2 keeps short loops rolled, which sends every limb through memory.
#define KESTROVA_UNROLL _Pragma("GCC unroll 32")

namespace {

using V = __m512i;

struct F {
    V l[5];
};

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

inline V bc(uint64_t x) { return _mm512_set1_epi64(static_cast<long long>(x)); }

inline F f_const(uint64_t v0) { return F{{bc(v0), bc(0), bc(0), bc(0), bc(0)}}; }

inline F f_load(const Stage& s) {
    F f;
    KESTROVA_UNROLL
    for (int k = 0; k < 5; ++k) f.l[k] = _mm512_load_si512(s.limb[k]);
    return f;
}

inline void f_store(Stage& s, const F& f) {
    KESTROVA_UNROLL
    for (int k = 0; k < 5; ++k) _mm512_store_si512(s.limb[k], f.l[k]);
}

// Every limb of every lane at most bound[k] (the KESTROVA_VERIFY checks).
inline bool f_at_most(const F& a, const uint64_t bound[5]) {
    __mmask8 over = 0;
    KESTROVA_UNROLL
    for (int k = 0; k < 5; ++k) over |= _mm512_cmpgt_epu64_mask(a.l[k], bc(bound[k]));
    return over == 0;
}

// The multiplier uses only the low 52 bits of each limb.
constexpr uint64_t kBelow52[5] = {kM52, kM52, kM52, kM52, kM52};
constexpr uint64_t kBelow63[5] = {~uint64_t(0) >> 1, ~uint64_t(0) >> 1, ~uint64_t(0) >> 1, ~uint64_t(0) >> 1,
                                  ~uint64_t(0) >> 1};
constexpr uint64_t kNormalized[5] = {kM52, kM52, kM52, kM52, uint64_t(1) << 47};

inline V times19(V c) {
    return _mm512_add_epi64(_mm512_add_epi64(_mm512_slli_epi64(c, 4), _mm512_slli_epi64(c, 1)), c);
}

inline V times608(V c) {
    return _mm512_add_epi64(_mm512_add_epi64(_mm512_slli_epi64(c, 9), _mm512_slli_epi64(c, 6)),
                            _mm512_slli_epi64(c, 5));
}

// Limbs below 2^63 in, limbs below 2^52 out (limb 4 below 2^47 + 1).
inline F normalize(F a) {
    KESTROVA_VERIFY_CHECK(f_at_most(a, kBelow63));
    const V m52 = bc(kM52), m47 = bc((uint64_t(1) << 47) - 1);
    KESTROVA_UNROLL
    for (int i = 0; i < 4; ++i) {
        a.l[i + 1] = _mm512_add_epi64(a.l[i + 1], _mm512_srli_epi64(a.l[i], 52));
        a.l[i] = _mm512_and_si512(a.l[i], m52);
    }
    const V c = _mm512_srli_epi64(a.l[4], 47);  // bits from 2^255 up: 2^255 = 19
    a.l[4] = _mm512_and_si512(a.l[4], m47);
    a.l[0] = _mm512_add_epi64(a.l[0], times19(c));
    KESTROVA_UNROLL
    for (int i = 0; i < 4; ++i) {
        a.l[i + 1] = _mm512_add_epi64(a.l[i + 1], _mm512_srli_epi64(a.l[i], 52));
        a.l[i] = _mm512_and_si512(a.l[i], m52);
    }
    KESTROVA_VERIFY_CHECK(f_at_most(a, kNormalized));
    return a;
}

inline F f_add(const F& a, const F& b) {
    F r;
    KESTROVA_UNROLL
    for (int k = 0; k < 5; ++k) r.l[k] = _mm512_add_epi64(a.l[k], b.l[k]);
    return normalize(r);
}

// a + 2p - b; b normalized (limb 4 below 2^48 - 2).
inline F f_sub(const F& a, const F& b) {
    static constexpr uint64_t k2p[5] = {2 * (kM52 - 18), 2 * kM52, 2 * kM52, 2 * kM52,
                                        2 * ((uint64_t(1) << 47) - 1)};
    KESTROVA_VERIFY_CHECK(f_at_most(b, k2p));
    F r;
    KESTROVA_UNROLL
    for (int k = 0; k < 5; ++k) r.l[k] = _mm512_sub_epi64(_mm512_add_epi64(a.l[k], bc(k2p[k])), b.l[k]);
    return normalize(r);
}

inline F f_neg(const F& a) { return f_sub(f_const(0), a); }

// Products of normalized operands; the 2^260 = 608 (mod p) fold keeps all sums below 2^64.
// Folds the ten 52-bit columns of a product back into five limbs.
inline F reduce_product(V c[10]) {
    const V m52 = bc(kM52);
    KESTROVA_UNROLL
    for (int k = 5; k < 9; ++k) {
        c[k + 1] = _mm512_add_epi64(c[k + 1], _mm512_srli_epi64(c[k], 52));
        c[k] = _mm512_and_si512(c[k], m52);
    }
    const V c10 = _mm512_srli_epi64(c[9], 52);
    c[9] = _mm512_and_si512(c[9], m52);
    F r;
    KESTROVA_UNROLL
    for (int k = 0; k < 5; ++k) r.l[k] = _mm512_add_epi64(c[k], times608(c[k + 5]));
    r.l[0] = _mm512_add_epi64(r.l[0], times608(times608(c10)));
    return normalize(r);
}

inline void clear(V c[10]) {
    KESTROVA_UNROLL
    for (int k = 0; k < 10; ++k) c[k] = _mm512_setzero_si512();
}

// Adds the 104-bit product x * y into columns k (low 52 bits) and k + 1 (high).
inline void mac(V c[10], int k, V x, V y) {
    c[k] = _mm512_madd52lo_epu64(c[k], x, y);
    c[k + 1] = _mm512_madd52hi_epu64(c[k + 1], x, y);
}

inline F f_mul(const F& a, const F& b) {
    KESTROVA_VERIFY_CHECK(f_at_most(a, kBelow52) && f_at_most(b, kBelow52));
    V c[10];
    clear(c);
    KESTROVA_UNROLL
    for (int i = 0; i < 5; ++i) {
        KESTROVA_UNROLL
        for (int j = 0; j < 5; ++j) mac(c, i + j, a.l[i], b.l[j]);
    }
    return reduce_product(c);
}

inline F f_sq(const F& a) {
    KESTROVA_VERIFY_CHECK(f_at_most(a, kBelow52));
    // Cross products once, doubled, plus the squares of the limbs.
    V c[10];
    clear(c);
    KESTROVA_UNROLL
    for (int i = 0; i < 5; ++i) {
        KESTROVA_UNROLL
        for (int j = i + 1; j < 5; ++j) mac(c, i + j, a.l[i], a.l[j]);
    }
    KESTROVA_UNROLL
    for (auto& x : c) x = _mm512_add_epi64(x, x);
    KESTROVA_UNROLL
    for (int i = 0; i < 5; ++i) mac(c, 2 * i, a.l[i], a.l[i]);
    return reduce_product(c);
}

inline void f_blend(F& t, __mmask8 k, const F& src) {
    KESTROVA_UNROLL
    for (int i = 0; i < 5; ++i) t.l[i] = _mm512_mask_blend_epi64(k, t.l[i], src.l[i]);
}

inline F f_d2() {
    const uint64_t* d2 = d2_r52();
    F f;
    KESTROVA_UNROLL
    for (int k = 0; k < 5; ++k) f.l[k] = bc(d2[k]);
    return f;
}

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
    const F xx = f_sq(p.X);
    const F yy = f_sq(p.Y);
    const F z2 = f_sq(p.Z);
    const F zz2 = f_add(z2, z2);
    const F xy2 = f_sq(f_add(p.X, p.Y));
    const F y3 = f_add(yy, xx);
    const F z3 = f_sub(yy, xx);
    return VP1P1{f_sub(xy2, y3), y3, z3, f_sub(zz2, z3)};
}

inline VP1P1 add_cached(const VP3& p, const VCached& q) {
    const F a = f_mul(f_add(p.Y, p.X), q.YpX);
    const F b = f_mul(f_sub(p.Y, p.X), q.YmX);
    const F c = f_mul(q.T2d, p.T);
    const F zz = f_mul(p.Z, q.Z);
    const F d = f_add(zz, zz);
    return VP1P1{f_sub(a, b), f_add(a, b), f_add(d, c), f_sub(d, c)};
}

inline VP1P1 madd(const VP3& p, const VNiels& q) {
    const F a = f_mul(f_add(p.Y, p.X), q.ypx);
    const F b = f_mul(f_sub(p.Y, p.X), q.ymx);
    const F c = f_mul(q.xy2d, p.T);
    const F d = f_add(p.Z, p.Z);
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

VP3 v_mul_table(const Table52& t, const Digits& e) {
    VP3 h = v_identity();
    for (int i = 1; i < 64; i += 2) h = to_p3(madd(h, select_niels(t.w + 8 * (i / 2), e.d[i])));
    h = times16(to_p2(h));
    for (int i = 0; i < 64; i += 2) h = to_p3(madd(h, select_niels(t.w + 8 * (i / 2), e.d[i])));
    return h;
}

inline F f_sqn(F x, int n) {
    for (int i = 0; i < n; ++i) x = f_sq(x);
    return x;
}

// a^((p-5)/8), the chain of the serial code.
F f_pow22523(const F& a) {
    const F a2 = f_sq(a);
    const F a9 = f_mul(f_sqn(a2, 2), a);
    const F a11 = f_mul(a9, a2);
    const F e5 = f_mul(f_sq(a11), a9);
    const F e10 = f_mul(f_sqn(e5, 5), e5);
    const F e20 = f_mul(f_sqn(e10, 10), e10);
    const F e40 = f_mul(f_sqn(e20, 20), e20);
    const F e50 = f_mul(f_sqn(e40, 10), e10);
    const F e100 = f_mul(f_sqn(e50, 50), e50);
    const F e200 = f_mul(f_sqn(e100, 100), e100);
    const F e250 = f_mul(f_sqn(e200, 50), e50);
    return f_mul(f_sqn(e250, 2), a);
}

void ifma_decompress_all(const uint8_t* in, Point* out, uint8_t* ok, size_t n) {
    for (size_t start = 0; start < n; start += kLanes) {
        const size_t m = block_items(n, start);
        DecompressState st[kLanes];
        Stage w;
        for (int lane = 0; lane < kLanes; ++lane) {
            st[lane] = group::decompress_start(in + 32 * lane_item(start, m, lane));
            w.put(lane, st[lane].uv7);
        }
        Stage pw;
        f_store(pw, f_pow22523(f_load(w)));
        for (size_t lane = 0; lane < m; ++lane) {
            const std::optional<Point> p = group::decompress_finish_vartime(st[lane], pw.get(int(lane)));
            ok[start + lane] = p.has_value() ? 1 : 0;
            if (p) out[start + lane] = *p;
        }
    }
}

void ifma_pow22523_each(const Fe* in, Fe* out, size_t n) {
    for (size_t start = 0; start < n; start += kLanes) {
        const size_t m = block_items(n, start);
        Stage w;
        for (int lane = 0; lane < kLanes; ++lane) w.put(lane, in[lane_item(start, m, lane)]);
        f_store(w, f_pow22523(f_load(w)));
        for (size_t lane = 0; lane < m; ++lane) out[start + lane] = w.get(int(lane));
    }
}

void ifma_mul_each(const Point* points, const Scalar* scalars, Point* out, size_t n) {
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
        store_points(res, v_mul(load_points(in), e));
        for (size_t lane = 0; lane < m; ++lane) out[start + lane] = res.get(int(lane));
        ct::wipe(&e, sizeof e);
        ct::wipe(&res, sizeof res);
    }
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

void table_mul_blocks(const Table52& t, const Scalar* scalars, Point* out, size_t n) {
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

void ifma_mul_base_each(const Scalar* scalars, Point* out, size_t n) {
    table_mul_blocks(base_table52(), scalars, out, n);
}

// Each lane sums its four rows (odd digits, times 16, even digits); the eight
// partial sums are then added serially: 8 table additions per lane instead of 64.
Point mul_split(const SplitTable52& t, const Scalar& s) {
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

Point ifma_mul_base_one(const Scalar& s) { return mul_split(base_split_table52(), s); }

// The doublings of the cofactor and the addition run in the lanes, ahead of v_mul.
void ifma_mul_cleared_each(const Point* points, const Point& addend, const Scalar* scalars, Point* out, size_t n) {
    PointStage a;
    for (int lane = 0; lane < kLanes; ++lane) a.put(lane, addend);
    const VP3 va = load_points(a);
    for (size_t start = 0; start < n; start += kLanes) {
        const size_t m = block_items(n, start);
        PointStage in;
        Digits e;
        for (int lane = 0; lane < kLanes; ++lane) {
            const size_t i = lane_item(start, m, lane);
            in.put(lane, points[i]);
            e.put(lane, scalars[i]);
        }
        const VP3 base = add_p3(dbl_p3(dbl_p3(dbl_p3(load_points(in)))), va);
        PointStage res;
        store_points(res, v_mul(base, e));
        for (size_t lane = 0; lane < m; ++lane) out[start + lane] = res.get(int(lane));
        ct::wipe(&e, sizeof e);
        ct::wipe(&res, sizeof res);
    }
}

}  // namespace

#undef KESTROVA_UNROLL
#pragma GCC diagnostic pop
#pragma GCC pop_options

namespace {

// A run-time table in both layouts: rows for blocks of eight scalars, split
// over the lanes for single multiplications.
class IfmaTable final : public PreparedTable {
public:
    explicit IfmaTable(const PointNiels* entries) {
        rows_->fill(entries);
        fill_split(*split_, *rows_);
    }
    Point mul(const Scalar& s) const override { return mul_split(*split_, s); }
    void mul_each(const Scalar* scalars, Point* out, size_t n) const override {
        table_mul_blocks(*rows_, scalars, out, n);
    }

private:
    std::unique_ptr<Table52> rows_ = std::make_unique<Table52>();
    std::unique_ptr<SplitTable52> split_ = std::make_unique<SplitTable52>();
};

class IfmaBackend final : public Backend {
public:
    const char* name() const override { return "avx512ifma"; }
    void mul_each(const Point* points, const Scalar* scalars, Point* out, size_t n) const override {
        ifma_mul_each(points, scalars, out, n);
    }
    void mul_all(const Point* points, const Scalar& s, Point* out, size_t n) const override {
        ifma_mul_all(points, s, out, n);
    }
    void mul_cleared_each(const Point* points, const Point& addend, const Scalar* scalars, Point* out,
                          size_t n) const override {
        ifma_mul_cleared_each(points, addend, scalars, out, n);
    }
    void mul_base_each(const Scalar* scalars, Point* out, size_t n) const override {
        ifma_mul_base_each(scalars, out, n);
    }
    Point mul_base_one(const Scalar& s) const override { return ifma_mul_base_one(s); }
    void compress_all(const Point* points, uint8_t* out, size_t n) const override {
        group::compress_batch(points, out, n);
    }
    void decompress_all(const uint8_t* in, Point* out, uint8_t* ok, size_t n) const override {
        ifma_decompress_all(in, out, ok, n);
    }
    void pow22523_each(const Fe* in, Fe* out, size_t n) const override { ifma_pow22523_each(in, out, n); }
    std::unique_ptr<PreparedTable> prepare_table(const PointNiels* entries) const override {
        return std::make_unique<IfmaTable>(entries);
    }
};

}  // namespace

const Backend* ifma() {
    static const IfmaBackend backend;
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx512f") || !__builtin_cpu_supports("avx512ifma")) return nullptr;
    return &backend;
}

}  // namespace kestrova::backend
