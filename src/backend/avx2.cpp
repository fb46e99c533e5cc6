// The AVX2 backend: four independent items, one per 64-bit lane, each field
// element as ten limbs of radix 2^25.5 (avx2_field.h). Every lane runs the
// same instruction sequence as the serial routines (same windows, same full
// table scans with per-lane masks), so nothing depends on secret values.
//
// Only functions marked with the AVX2 target use it; everything else here,
// and every inline function from the headers, is compiled for the baseline.
#include <immintrin.h>

#include <algorithm>
#include <memory>

#include "backend/avx2_field.h"
#include "backend/avx2_layout.h"
#include "backend/backend.h"
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

KESTROVA_AVX2_INLINE F f_broadcast(const Limbs& c) {
    F f;
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) f.l[k] = bc(c.l[k]);
    return f;
}

// t = src in the lanes where mask is all ones.
KESTROVA_AVX2_INLINE void f_blend(F& t, V mask, const F& src) {
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) t.l[k] = _mm256_blendv_epi8(t.l[k], src.l[k], mask);
}

KESTROVA_AVX2_INLINE VP2 to_p2(const VP1P1& r) { return VP2{f_mul(r.X, r.T), f_mul(r.Y, r.Z), f_mul(r.Z, r.T)}; }
KESTROVA_AVX2_INLINE VP3 to_p3(const VP1P1& r) {
    return VP3{f_mul(r.X, r.T), f_mul(r.Y, r.Z), f_mul(r.Z, r.T), f_mul(r.X, r.Y)};
}
KESTROVA_AVX2_INLINE VP2 to_p2(const VP3& p) { return VP2{p.X, p.Y, p.Z}; }

KESTROVA_AVX2_INLINE VP3 v_identity() { return VP3{f_const(0), f_const(1), f_const(1), f_const(0)}; }

KESTROVA_AVX2_INLINE VCached to_cached(const VP3& p) {
    return VCached{f_add(p.Y, p.X), f_sub(p.Y, p.X), p.Z, f_mul(p.T, f_broadcast(kD2))};
}

// Products come out carried, so only the last difference needs a carry.
KESTROVA_AVX2_INLINE VP1P1 dbl(const VP2& p) {
    const F xx = f_sq(p.X);
    const F yy = f_sq(p.Y);
    const F zz = f_sq(p.Z);
    // 2XY as a product: fewer operations here than (X + Y)^2 - X^2 - Y^2.
    const F xy = f_mul(p.X, p.Y);
    const F z3 = f_sub(yy, xx);
    return VP1P1{f_add(xy, xy), f_add(yy, xx), z3, f_sub_carried(f_add(zz, zz), z3)};
}

KESTROVA_AVX2_INLINE VP1P1 add_cached(const VP3& p, const VCached& q) {
    const F a = f_mul(f_add(p.Y, p.X), q.YpX);
    const F b = f_mul(f_sub(p.Y, p.X), q.YmX);
    const F c = f_mul(q.T2d, p.T);
    const F zz = f_mul(p.Z, q.Z);
    const F d = f_add(zz, zz);
    return VP1P1{f_sub(a, b), f_add(a, b), f_add(d, c), f_sub_carried(d, c)};
}

KESTROVA_AVX2_INLINE VP1P1 madd(const VP3& p, const VNiels& q) {
    const F a = f_mul(f_add(p.Y, p.X), q.ypx);
    const F b = f_mul(f_sub(p.Y, p.X), q.ymx);
    const F c = f_mul(q.xy2d, p.T);
    const F d = f_add(p.Z, p.Z);
    return VP1P1{f_sub(a, b), f_add(a, b), f_add(d, c), f_sub_carried(d, c)};
}

KESTROVA_AVX2_INLINE VP3 add_p3(const VP3& a, const VP3& b) { return to_p3(add_cached(a, to_cached(b))); }
KESTROVA_AVX2_INLINE VP3 dbl_p3(const VP3& a) { return to_p3(dbl(to_p2(a))); }

KESTROVA_AVX2_INLINE VP3 times16(const VP2& p) {
    VP2 q = to_p2(dbl(p));
    q = to_p2(dbl(q));
    q = to_p2(dbl(q));
    return to_p3(dbl(q));
}

// Per-lane |digit| and the lanes (all ones) whose digit is negative.
KESTROVA_AVX2_INLINE void split_digits(const int64_t* d, V& magnitude, V& negative) {
    const V e = _mm256_load_si256(reinterpret_cast<const V*>(d));
    negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), e);
    magnitude = _mm256_sub_epi64(_mm256_xor_si256(e, negative), negative);
}

KESTROVA_AVX2_INLINE VCached select_cached(const VCached table[8], const int64_t* digits) {
    V magnitude, negative;
    split_digits(digits, magnitude, negative);
    VCached t{f_const(1), f_const(1), f_const(1), f_const(0)};
    KESTROVA_UNROLL
    for (int j = 0; j < 8; ++j) {
        const V k = _mm256_cmpeq_epi64(magnitude, bc(uint64_t(j + 1)));
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
KESTROVA_AVX2_INLINE VNiels select_niels_with(const int64_t* digits, const Load& load) {
    V magnitude, negative;
    split_digits(digits, magnitude, negative);
    V w[kEntryWords];
    KESTROVA_UNROLL
    for (int i = 0; i < kEntryWords; ++i) w[i] = (i == 0 || i == kLimbs) ? bc(1) : _mm256_setzero_si256();
    KESTROVA_UNROLL
    for (int j = 0; j < 8; ++j) {
        const V k = _mm256_cmpeq_epi64(magnitude, bc(uint64_t(j + 1)));
        KESTROVA_UNROLL
        for (int i = 0; i < kEntryWords; ++i) w[i] = _mm256_blendv_epi8(w[i], load(j, i), k);
    }
    VNiels t;
    KESTROVA_UNROLL
    for (int i = 0; i < kLimbs; ++i) {
        t.ypx.l[i] = _mm256_blendv_epi8(w[i], w[kLimbs + i], negative);
        t.ymx.l[i] = _mm256_blendv_epi8(w[kLimbs + i], w[i], negative);
        t.xy2d.l[i] = w[2 * kLimbs + i];
    }
    f_blend(t.xy2d, negative, f_neg(t.xy2d));
    return t;
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

KESTROVA_AVX2_INLINE VP3 load_points(const PointStage& s) {
    return VP3{f_load(s.X), f_load(s.Y), f_load(s.Z), f_load(s.T)};
}

KESTROVA_AVX2_INLINE void store_points(PointStage& s, const VP3& p) {
    f_store(s.X, p.X);
    f_store(s.Y, p.Y);
    f_store(s.Z, p.Z);
    f_store(s.T, p.T);
}

KESTROVA_AVX2 VP3 v_mul(const VP3& p, const Digits& e) {
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

KESTROVA_AVX2 VP3 v_mul_table(const Table& t, const Digits& e) {
    VP3 h = v_identity();
    for (int i = 1; i < 64; i += 2) h = to_p3(madd(h, select_niels_with(e.d[i], RowLoad{t.w + 8 * (i / 2)})));
    h = times16(to_p2(h));
    for (int i = 0; i < 64; i += 2) h = to_p3(madd(h, select_niels_with(e.d[i], RowLoad{t.w + 8 * (i / 2)})));
    return h;
}

constexpr int kPair = 2 * kLanes;

// pow[i] = in[i]^((p-5)/8) for i < m <= 8 (spare lanes repeat item 0).
KESTROVA_AVX2 void pow22523_pair(const Fe* in, Fe* pow, size_t m) {
    Stage w[2];
    for (int lane = 0; lane < kPair; ++lane) w[lane / kLanes].put(lane % kLanes, in[size_t(lane) < m ? lane : 0]);
    const F2 r = f_pow22523(F2{f_load(w[0]), f_load(w[1])});
    f_store(w[0], r.a);
    f_store(w[1], r.b);
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
            s[i] = group::decompress_start(in + 32 * (start + i));
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

// scalars[i] * base(points[i]), four items per block.
template <class Base>
KESTROVA_AVX2 void mul_each_of(const Point* points, const Scalar* scalars, Point* out, size_t n, const Base& base) {
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

struct Plain {
    KESTROVA_AVX2_INLINE VP3 operator()(const VP3& p) const { return p; }
};

// The doublings of the cofactor and the addition run in the lanes, ahead of v_mul.
struct Cleared {
    VP3 addend;
    KESTROVA_AVX2_INLINE VP3 operator()(const VP3& p) const { return add_p3(dbl_p3(dbl_p3(dbl_p3(p))), addend); }
};

void avx2_mul_each(const Point* points, const Scalar* scalars, Point* out, size_t n) {
    mul_each_of(points, scalars, out, n, Plain{});
}

KESTROVA_AVX2 void avx2_mul_cleared_each(const Point* points, const Point& addend, const Scalar* scalars, Point* out,
                                         size_t n) {
    PointStage a;
    for (int lane = 0; lane < kLanes; ++lane) a.put(lane, addend);
    mul_each_of(points, scalars, out, n, Cleared{load_points(a)});
}

KESTROVA_AVX2 void avx2_mul_all(const Point* points, const Scalar& s, Point* out, size_t n) {
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

KESTROVA_AVX2 void table_mul_blocks(const Table& t, const Scalar* scalars, Point* out, size_t n) {
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

// Each lane sums its eight rows (odd digits, times 16, even digits); the four
// partial sums are then added serially: 16 table additions per lane instead of 64.
KESTROVA_AVX2 Point mul_split(const SplitTable& t, const Scalar& s) {
    const SplitDigits d(s);
    VP3 h = v_identity();
    for (int step = 0; step < kSplitSteps; ++step) h = to_p3(madd(h, select_niels_with(d.odd[step], SplitLoad{t.w[step]})));
    h = times16(to_p2(h));
    for (int step = 0; step < kSplitSteps; ++step)
        h = to_p3(madd(h, select_niels_with(d.even[step], SplitLoad{t.w[step]})));
    PointStage res;
    store_points(res, h);
    Point sum = res.get(0);
    for (int lane = 1; lane < kLanes; ++lane) sum = group::add(sum, res.get(lane));
    ct::wipe(&res, sizeof res);
    return sum;
}

// A run-time table in both layouts: rows for blocks of four scalars, split
// over the lanes for single multiplications.
class Avx2Table final : public PreparedTable {
public:
    explicit Avx2Table(const PointNiels* entries) {
        rows_->fill(entries);
        fill_split(*split_, *rows_);
    }
    Point mul(const Scalar& s) const override { return mul_split(*split_, s); }
    void mul_each(const Scalar* scalars, Point* out, size_t n) const override {
        table_mul_blocks(*rows_, scalars, out, n);
    }

private:
    std::unique_ptr<Table> rows_ = std::make_unique<Table>();
    std::unique_ptr<SplitTable> split_ = std::make_unique<SplitTable>();
};

class Avx2Backend final : public Backend {
public:
    const char* name() const override { return "avx2"; }
    void mul_each(const Point* points, const Scalar* scalars, Point* out, size_t n) const override {
        avx2_mul_each(points, scalars, out, n);
    }
    void mul_all(const Point* points, const Scalar& s, Point* out, size_t n) const override {
        avx2_mul_all(points, s, out, n);
    }
    void mul_cleared_each(const Point* points, const Point& addend, const Scalar* scalars, Point* out,
                          size_t n) const override {
        avx2_mul_cleared_each(points, addend, scalars, out, n);
    }
    void mul_base_each(const Scalar* scalars, Point* out, size_t n) const override {
        table_mul_blocks(avx2_lanes::base_table(), scalars, out, n);
    }
    Point mul_base_one(const Scalar& s) const override { return mul_split(base_split_table(), s); }
    void compress_all(const Point* points, uint8_t* out, size_t n) const override {
        group::compress_batch(points, out, n);
    }
    void decompress_all(const uint8_t* in, Point* out, uint8_t* ok, size_t n) const override {
        avx2_decompress_all(in, out, ok, n);
    }
    void pow22523_each(const Fe* in, Fe* out, size_t n) const override { avx2_pow22523_each(in, out, n); }
    std::unique_ptr<PreparedTable> prepare_table(const PointNiels* entries) const override {
        return std::make_unique<Avx2Table>(entries);
    }
};

}  // namespace

const Backend* avx2() {
    static const Avx2Backend backend;
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2")) return nullptr;
    return &backend;
}

}  // namespace kestrova::backend
