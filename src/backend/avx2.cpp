// The AVX2 backend: four independent items, one per 64-bit lane, each field
// element as ten limbs of radix 2^25.5 (avx2_field.h). Every lane runs the
// same instruction sequence as the serial routines (same windows, same full
// table scans with per-lane masks), so nothing depends on secret values.
//
// Only functions marked with the AVX2 target use it; everything else here,
// and every inline function from the headers, is compiled for the baseline.
#include <immintrin.h>

#include <algorithm>

#include "backend/avx2_field.h"
#include "backend/avx2_layout.h"
#include "backend/backend.h"
#include "backend/cpu_features.h"
#include "backend/vector_backend.h"
#include "ct/wipe.h"
#include "field/field.h"
#include "group/point.h"
#include "group/point_internal.h"
#include "group/scalar.h"
#include "group/scalar_mul.h"

namespace kestrova::backend {

using field::Fe;
using group::Point;
using group::PointNiels;
using group::Scalar;

using namespace avx2_lanes;

namespace {

struct Limbs {
    uint64_t l[kLimbs];
};
Limbs limbs_of(const Fe& f) {
    Limbs r;
    fe_to_limbs(f, r.l);
    return r;
}
const Limbs kD2 = limbs_of(field::kFeD2);

// A P2 point is held in a VP3 whose T is not used.
struct VP3 {
    F X, Y, Z, T;
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

// Every point operation writes its result in place (see f_mul); the outputs
// never alias the inputs.
KESTROVA_AVX2_INLINE void f_copy(F& out, const F& a) {
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) out.l[k] = a.l[k];
}

KESTROVA_AVX2_INLINE void f_broadcast(F& out, const Limbs& c) {
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) out.l[k] = bc(c.l[k]);
}

// t = src in the lanes where mask is all ones.
KESTROVA_AVX2_INLINE void f_blend(F& t, V mask, const F& src) {
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) t.l[k] = _mm256_blendv_epi8(t.l[k], src.l[k], mask);
}

KESTROVA_AVX2_INLINE void to_p2(VP3& o, const VP1P1& r) {
    f_mul(o.X, r.X, r.T);
    f_mul(o.Y, r.Y, r.Z);
    f_mul(o.Z, r.Z, r.T);
}
KESTROVA_AVX2_INLINE void to_p3(VP3& o, const VP1P1& r) {
    to_p2(o, r);
    f_mul(o.T, r.X, r.Y);
}

KESTROVA_AVX2_INLINE void set_identity(VP3& o) {
    o.X = f_const(0);
    o.Y = f_const(1);
    o.Z = f_const(1);
    o.T = f_const(0);
}

KESTROVA_AVX2 void to_cached(VCached& o, const VP3& p) {
    o.YpX = f_add(p.Y, p.X);
    o.YmX = f_sub(p.Y, p.X);
    f_copy(o.Z, p.Z);
    F d2;
    f_broadcast(d2, kD2);
    f_mul(o.T2d, p.T, d2);
}

// Products come out carried, so only the differences of sums need a carry.
KESTROVA_AVX2 void dbl(VP1P1& o, const VP3& p) {
    F xx, yy, zz, xy2;
    f_sq(xx, p.X);
    f_sq(yy, p.Y);
    f_sq(zz, p.Z);
    // 2XY as (X + Y)^2 - X^2 - Y^2: a square costs little more than half a product.
    f_sq(xy2, f_add(p.X, p.Y));
    o.Y = f_add(yy, xx);
    o.X = f_sub_carried(xy2, o.Y);
    o.Z = f_sub(yy, xx);
    o.T = f_sub_carried(f_add(zz, zz), o.Z);
}

KESTROVA_AVX2 void add_cached(VP1P1& o, const VP3& p, const VCached& q) {
    F a, b, c, zz, t;
    t = f_add(p.Y, p.X);
    f_mul(a, t, q.YpX);
    t = f_sub(p.Y, p.X);
    f_mul(b, t, q.YmX);
    f_mul(c, q.T2d, p.T);
    f_mul(zz, p.Z, q.Z);
    const F d = f_add(zz, zz);
    o.X = f_sub(a, b);
    o.Y = f_add(a, b);
    o.Z = f_add(d, c);
    o.T = f_sub_carried(d, c);
}

KESTROVA_AVX2 void madd(VP1P1& o, const VP3& p, const VNiels& q) {
    F a, b, c, t;
    t = f_add(p.Y, p.X);
    f_mul(a, t, q.ypx);
    t = f_sub(p.Y, p.X);
    f_mul(b, t, q.ymx);
    f_mul(c, q.xy2d, p.T);
    const F d = f_add(p.Z, p.Z);
    o.X = f_sub(a, b);
    o.Y = f_add(a, b);
    o.Z = f_add(d, c);
    o.T = f_sub_carried(d, c);
}

KESTROVA_AVX2 void add_p3(VP3& o, const VP3& a, const VP3& b) {
    VCached c;
    VP1P1 r;
    to_cached(c, b);
    add_cached(r, a, c);
    to_p3(o, r);
}

KESTROVA_AVX2 void dbl_p3(VP3& o, const VP3& a) {
    VP1P1 r;
    dbl(r, a);
    to_p3(o, r);
}

// o = 2^n r; r is left with o as a completed point.
KESTROVA_AVX2 void doublings(VP3& o, VP1P1& r, int n) {
    VP3 q;
    for (int i = 0; i < n; ++i) {
        to_p2(q, r);
        dbl(r, q);
    }
    to_p3(o, r);
}

KESTROVA_AVX2 void times16(VP3& h) {
    VP1P1 r;
    dbl(r, h);
    doublings(h, r, 3);
}

// Per-lane |digit| and the lanes (all ones) whose digit is negative.
KESTROVA_AVX2_INLINE void split_digits(const int64_t* d, V& magnitude, V& negative) {
    const V e = _mm256_load_si256(reinterpret_cast<const V*>(d));
    negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), e);
    magnitude = _mm256_sub_epi64(_mm256_xor_si256(e, negative), negative);
}

// The entry of -P from that of P, in the lanes of mask: y + x and y - x
// exchanged, the product term negated.
KESTROVA_AVX2_INLINE void negate_where(F& ypx, F& ymx, F& t2d, V mask) {
    KESTROVA_UNROLL
    for (int i = 0; i < kLimbs; ++i) {
        const V a = ypx.l[i], b = ymx.l[i];
        ypx.l[i] = _mm256_blendv_epi8(a, b, mask);
        ymx.l[i] = _mm256_blendv_epi8(b, a, mask);
    }
    f_blend(t2d, mask, f_neg(t2d));
}

KESTROVA_AVX2 void select_cached(VCached& t, const VCached table[8], const int64_t* digits) {
    V magnitude, negative;
    split_digits(digits, magnitude, negative);
    t.YpX = f_const(1);
    t.YmX = f_const(1);
    t.Z = f_const(1);
    t.T2d = f_const(0);
    for (int j = 0; j < 8; ++j) {
        const V k = _mm256_cmpeq_epi64(magnitude, bc(uint64_t(j + 1)));
        f_blend(t.YpX, k, table[j].YpX);
        f_blend(t.YmX, k, table[j].YmX);
        f_blend(t.Z, k, table[j].Z);
        f_blend(t.T2d, k, table[j].T2d);
    }
    negate_where(t.YpX, t.YmX, t.T2d, negative);
}

// Constant-time scan of eight Niels entries per lane; load(j, i) gives limb
// word i of entry j for all lanes.
template <class Load>
KESTROVA_AVX2 void select_niels_with(VNiels& t, const int64_t* digits, const Load& load) {
    V magnitude, negative;
    split_digits(digits, magnitude, negative);
    F* w[3] = {&t.ypx, &t.ymx, &t.xy2d};
    t.ypx = f_const(1);
    t.ymx = f_const(1);
    t.xy2d = f_const(0);
    for (int j = 0; j < 8; ++j) {
        const V k = _mm256_cmpeq_epi64(magnitude, bc(uint64_t(j + 1)));
        KESTROVA_UNROLL
        for (int i = 0; i < kEntryWords; ++i) {
            V& word = w[i / kLimbs]->l[i % kLimbs];
            word = _mm256_blendv_epi8(word, load(j, i), k);
        }
    }
    negate_where(t.ypx, t.ymx, t.xy2d, negative);
}

// All lanes scan the same row.
struct RowLoad {
    const uint64_t (*row)[kEntryWords];
    KESTROVA_AVX2_INLINE V operator()(int j, int i) const { return bc(row[j][i]); }
};

// Each lane scans its own row (lane-major entries).
struct SplitLoad {
    const uint64_t (*entries)[kEntryWords][kLanes];
    KESTROVA_AVX2_INLINE V operator()(int j, int i) const {
        return _mm256_load_si256(reinterpret_cast<const V*>(entries[j][i]));
    }
};

KESTROVA_AVX2_INLINE void load_points(VP3& o, const PointStage& s) {
    o.X = f_load(s.X);
    o.Y = f_load(s.Y);
    o.Z = f_load(s.Z);
    o.T = f_load(s.T);
}

KESTROVA_AVX2_INLINE void store_points(PointStage& s, const VP3& p) {
    f_store(s.X, p.X);
    f_store(s.Y, p.Y);
    f_store(s.Z, p.Z);
    f_store(s.T, p.T);
}

// o = e p, the window of the serial code.
KESTROVA_AVX2 void v_mul(VP3& o, const VP3& p, const Digits& e) {
    VCached table[8];
    {
        VP3 m[8];
        m[0] = p;
        dbl_p3(m[1], p);
        add_p3(m[2], m[1], p);
        dbl_p3(m[3], m[1]);
        add_p3(m[4], m[3], p);
        dbl_p3(m[5], m[2]);
        add_p3(m[6], m[5], p);
        dbl_p3(m[7], m[3]);
        for (int j = 0; j < 8; ++j) to_cached(table[j], m[j]);
        ct::wipe(m, sizeof m);
    }
    VP3 h;
    set_identity(h);
    VCached q;
    VP1P1 r;
    for (int i = 63;; --i) {
        select_cached(q, table, e.d[i]);
        add_cached(r, h, q);
        if (i == 0) break;
        doublings(h, r, 4);
    }
    to_p3(o, r);
    // The multiples and the running sum reveal the point and the scalar.
    ct::wipe(table, sizeof table);
    ct::wipe(&h, sizeof h);
    ct::wipe(&q, sizeof q);
    ct::wipe(&r, sizeof r);
}

// h += the entry of each lane's digit, row by row.
template <class Load>
KESTROVA_AVX2 void add_selected(VP3& h, const int64_t* digits, const Load& load) {
    VNiels q;
    VP1P1 r;
    select_niels_with(q, digits, load);
    madd(r, h, q);
    to_p3(h, r);
}

KESTROVA_AVX2 void v_mul_table(VP3& h, const Table& t, const Digits& e) {
    set_identity(h);
    for (int i = 1; i < 64; i += 2) add_selected(h, e.d[i], RowLoad{t.w + 8 * (i / 2)});
    times16(h);
    for (int i = 0; i < 64; i += 2) add_selected(h, e.d[i], RowLoad{t.w + 8 * (i / 2)});
}

constexpr int kPair = 2 * kLanes;

// pow[i] = in[i]^((p-5)/8) for i < m <= 8 (spare lanes repeat item 0).
KESTROVA_AVX2 void pow22523_pair(const Fe* in, Fe* pow, size_t m) {
    Stage w[2];
    for (int lane = 0; lane < kPair; ++lane) w[lane / kLanes].put(lane % kLanes, in[size_t(lane) < m ? lane : 0]);
    F2 x{f_load(w[0]), f_load(w[1])};
    f_pow22523(x, x);
    f_store(w[0], x.a);
    f_store(w[1], x.b);
    for (size_t i = 0; i < m; ++i) pow[i] = w[i / kLanes].get(int(i % kLanes));
    ct::wipe(w, sizeof w);
}

void avx2_pow22523_each(const Fe* in, Fe* out, size_t n) {
    for (size_t start = 0; start < n; start += kPair)
        pow22523_pair(in + start, out + start, std::min(size_t(kPair), n - start));
}

// The serial steps around the exponentiation, which runs in the lanes.
void avx2_decompress_all(const uint8_t* in, Point* out, uint8_t* ok, size_t n) {
    for (size_t start = 0; start < n; start += kPair) {
        const size_t m = std::min(size_t(kPair), n - start);
        group::DecompressState s[kPair];
        Fe uv7[kPair], pow[kPair];
        for (size_t i = 0; i < m; ++i) {
            s[i] = group::decompress_start(in + group::kPointBytes * (start + i));
            uv7[i] = s[i].uv7;
        }
        pow22523_pair(uv7, pow, m);
        for (size_t i = 0; i < m; ++i) {
            const std::optional<Point> p = group::decompress_finish_vartime(s[i], pow[i]);
            ok[start + i] = p.has_value() ? 1 : 0;
            if (p) out[start + i] = *p;  // encodings are public
        }
    }
}

// out[0 .. m) = e * base(points[lane_item(start, m, lane)]) for one block of lanes.
template <class Base>
KESTROVA_AVX2 void mul_block(const Point* points, size_t start, size_t m, const Digits& e, const Base& base,
                             Point* out) {
    PointStage in;
    for (int lane = 0; lane < kLanes; ++lane) in.put(lane, points[lane_item(start, m, lane)]);
    VP3 p, q;
    load_points(p, in);
    base(q, p);
    v_mul(p, q, e);
    PointStage res;
    store_points(res, p);
    for (size_t lane = 0; lane < m; ++lane) out[lane] = res.get(int(lane));
    ct::wipe(&in, sizeof in);
    ct::wipe(&res, sizeof res);
    ct::wipe(&p, sizeof p);
    ct::wipe(&q, sizeof q);
}

// scalars[i] * base(points[i]), four items per block.
template <class Base>
KESTROVA_AVX2 void mul_each_of(const Point* points, const Scalar* scalars, Point* out, size_t n, const Base& base) {
    for (size_t start = 0; start < n; start += kLanes) {
        const size_t m = block_items(n, start);
        Digits e;
        for (int lane = 0; lane < kLanes; ++lane) e.put(lane, scalars[lane_item(start, m, lane)]);
        mul_block(points, start, m, e, base, out + start);
        ct::wipe(&e, sizeof e);
    }
}

struct Plain {
    KESTROVA_AVX2_INLINE void operator()(VP3& o, const VP3& p) const { o = p; }
};

// The doublings of the cofactor and the addition run in the lanes, ahead of v_mul.
struct Cleared {
    VP3 addend;
    KESTROVA_AVX2_INLINE void operator()(VP3& o, const VP3& p) const {
        VP3 t;
        dbl_p3(o, p);
        dbl_p3(t, o);
        dbl_p3(o, t);
        t = o;
        add_p3(o, t, addend);
    }
};

void avx2_mul_each(const Point* points, const Scalar* scalars, Point* out, size_t n) {
    mul_each_of(points, scalars, out, n, Plain{});
}

KESTROVA_AVX2 void avx2_mul_cleared_each(const Point* points, const Point& addend, const Scalar* scalars, Point* out,
                                         size_t n) {
    PointStage a;
    for (int lane = 0; lane < kLanes; ++lane) a.put(lane, addend);
    Cleared cleared;
    load_points(cleared.addend, a);
    mul_each_of(points, scalars, out, n, cleared);
}

KESTROVA_AVX2 void avx2_mul_all(const Point* points, const Scalar& s, Point* out, size_t n) {
    Digits e;
    for (int lane = 0; lane < kLanes; ++lane) e.put(lane, s);
    for (size_t start = 0; start < n; start += kLanes)
        mul_block(points, start, block_items(n, start), e, Plain{}, out + start);
    ct::wipe(&e, sizeof e);
}

KESTROVA_AVX2 void avx2_table_mul_blocks(const Table& t, const Scalar* scalars, Point* out, size_t n) {
    for (size_t start = 0; start < n; start += kLanes) {
        const size_t m = block_items(n, start);
        Digits e;
        for (int lane = 0; lane < kLanes; ++lane) e.put(lane, scalars[lane_item(start, m, lane)]);
        VP3 h;
        v_mul_table(h, t, e);
        PointStage res;
        store_points(res, h);
        for (size_t lane = 0; lane < m; ++lane) out[start + lane] = res.get(int(lane));
        ct::wipe(&e, sizeof e);
        ct::wipe(&res, sizeof res);
        ct::wipe(&h, sizeof h);
    }
}

// Each lane sums its eight rows (odd digits, times 16, even digits); the four
// partial sums are then added serially: 16 table additions per lane instead of 64.
KESTROVA_AVX2 Point avx2_mul_split(const SplitTable& t, const Scalar& s) {
    const SplitDigits d(s);
    VP3 h;
    set_identity(h);
    for (int step = 0; step < kSplitSteps; ++step) add_selected(h, d.odd[step], SplitLoad{t.w[step]});
    times16(h);
    for (int step = 0; step < kSplitSteps; ++step) add_selected(h, d.even[step], SplitLoad{t.w[step]});
    PointStage res;
    store_points(res, h);
    Point sum = res.get(0);
    for (int lane = 1; lane < kLanes; ++lane) sum = group::add(sum, res.get(lane));
    ct::wipe(&res, sizeof res);
    ct::wipe(&h, sizeof h);
    return sum;
}

struct Avx2Kernels {
    static constexpr const char* kName = "avx2";
    using Rows = Table;
    using Split = SplitTable;
    static constexpr auto fill_split = avx2_lanes::fill_split;
    static constexpr auto mul_split = avx2_mul_split;
    static constexpr auto table_mul_blocks = avx2_table_mul_blocks;
    static constexpr auto base_rows = avx2_lanes::base_table;
    static constexpr auto base_split = base_split_table;
    static constexpr auto mul_each = avx2_mul_each;
    static constexpr auto mul_all = avx2_mul_all;
    static constexpr auto mul_cleared_each = avx2_mul_cleared_each;
    static constexpr auto decompress_all = avx2_decompress_all;
    static constexpr auto pow22523_each = avx2_pow22523_each;
};

}  // namespace

const Backend* avx2() {
    static const VectorBackend<Avx2Kernels> backend;
    if (!cpu_features().avx2) return nullptr;
    return &backend;
}

}  // namespace kestrova::backend
