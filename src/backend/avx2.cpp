// The AVX2 backend: four independent items, one per 64-bit lane, each field
// element as ten limbs of radix 2^25.5 (avx2_field.h). Every lane runs the
// same instruction sequence as the serial routines (same windows, same full
// table scans with per-lane masks), so nothing depends on secret values.
//
// Only the kernels between the target pragmas, and the field's functions
// (marked with the target themselves), use AVX2; everything else here, and
// every inline function from the headers, is compiled for the baseline.
#include <immintrin.h>

#include <algorithm>
#include <optional>

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

}  // namespace
}  // namespace kestrova::backend

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
// Inside the region the target comes from the pragmas.
#define KESTROVA_LANE_INLINE inline __attribute__((always_inline))

namespace kestrova::backend {
namespace {

#include "backend/vector_points.inc"

// Every point operation writes its result in place (see f_mul); the outputs
// never alias the inputs.
KESTROVA_LANE_INLINE void f_copy(F& out, const F& a) {
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) out.l[k] = a.l[k];
}

KESTROVA_LANE_INLINE void f_broadcast(F& out, const Limbs& c) {
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) out.l[k] = bc(c.l[k]);
}

// t = src in the lanes where mask is all ones.
KESTROVA_LANE_INLINE void f_blend(F& t, V mask, const F& src) {
    KESTROVA_UNROLL
    for (int k = 0; k < kLimbs; ++k) t.l[k] = _mm256_blendv_epi8(t.l[k], src.l[k], mask);
}

KESTROVA_LANE_INLINE void to_p2(VP3& o, const VP1P1& r) {
    f_mul(o.X, r.X, r.T);
    f_mul(o.Y, r.Y, r.Z);
    f_mul(o.Z, r.Z, r.T);
}
KESTROVA_LANE_INLINE void to_p3(VP3& o, const VP1P1& r) {
    to_p2(o, r);
    f_mul(o.T, r.X, r.Y);
}

void to_cached(VCached& o, const VP3& p) {
    o.YpX = f_add(p.Y, p.X);
    o.YmX = f_sub(p.Y, p.X);
    f_copy(o.Z, p.Z);
    F d2;
    f_broadcast(d2, kD2);
    f_mul(o.T2d, p.T, d2);
}

// Products come out carried, so only the differences of sums need a carry.
void dbl(VP1P1& o, const VP3& p) {
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

void add_cached(VP1P1& o, const VP3& p, const VCached& q) {
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

void madd(VP1P1& o, const VP3& p, const VNiels& q) {
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

// Per-lane |digit| and the lanes (all ones) whose digit is negative.
KESTROVA_LANE_INLINE void split_digits(const int64_t* d, V& magnitude, V& negative) {
    const V e = _mm256_load_si256(reinterpret_cast<const V*>(d));
    negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), e);
    magnitude = _mm256_sub_epi64(_mm256_xor_si256(e, negative), negative);
}

// The entry of -P from that of P, in the lanes of mask: y + x and y - x
// exchanged, the product term negated.
KESTROVA_LANE_INLINE void negate_where(F& ypx, F& ymx, F& t2d, V mask) {
    KESTROVA_UNROLL
    for (int i = 0; i < kLimbs; ++i) {
        const V a = ypx.l[i], b = ymx.l[i];
        ypx.l[i] = _mm256_blendv_epi8(a, b, mask);
        ymx.l[i] = _mm256_blendv_epi8(b, a, mask);
    }
    f_blend(t2d, mask, f_neg(t2d));
}

void select_cached(VCached& t, const VCached table[8], const int64_t* digits) {
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
void select_niels_with(VNiels& t, const int64_t* digits, const Load& load) {
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
    KESTROVA_LANE_INLINE V operator()(int j, int i) const { return bc(row[j][i]); }
};

// Each lane scans its own row (lane-major entries).
struct SplitLoad {
    const uint64_t (*entries)[kEntryWords][kLanes];
    KESTROVA_LANE_INLINE V operator()(int j, int i) const {
        return _mm256_load_si256(reinterpret_cast<const V*>(entries[j][i]));
    }
};

using Rows = Table;
using Split = SplitTable;

#include "backend/vector_mul.inc"

}  // namespace
}  // namespace kestrova::backend

#undef KESTROVA_LANE_INLINE
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace kestrova::backend {
namespace {

// The serial steps around the exponentiation, which runs in the lanes.
void decompress_all(const uint8_t* in, Point* out, uint8_t* ok, size_t n) {
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

struct Avx2Kernels {
    static constexpr const char* kName = "avx2";
    using Rows = Table;
    using Split = SplitTable;
    static constexpr auto fill_split = avx2_lanes::fill_split;
    static constexpr auto mul_split = backend::mul_split;
    static constexpr auto table_mul_blocks = backend::table_mul_blocks;
    static constexpr auto base_rows = avx2_lanes::base_table;
    static constexpr auto base_split = base_split_table;
    static constexpr auto mul_each = backend::mul_each;
    static constexpr auto mul_all = backend::mul_all;
    static constexpr auto mul_cleared_each = backend::mul_cleared_each;
    static constexpr auto decompress_all = backend::decompress_all;
    static constexpr auto pow22523_each = backend::pow22523_each;
};

}  // namespace

const Backend* avx2() {
    static const VectorBackend<Avx2Kernels> backend;
    if (!cpu_features().avx2) return nullptr;
    return &backend;
}

}  // namespace kestrova::backend
